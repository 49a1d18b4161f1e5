// The board driver's character device "/dev/pmr": its requests and the records two of them fill.
// Shared with the driver stand-in.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr const char *PMR_DEVICE_NAME = "pmr";

enum PmrRequest : unsigned long {
    PMR_WATCHDOG_START = 0x11800,
    PMR_WATCHDOG_STOP = 0x11801,
    PMR_WATCHDOG_REFRESH = 0x11802,
    PMR_LED_ON = 0x11803,
    PMR_LED_OFF = 0x11804,
    PMR_GET_NETCONF = 0x11806,
    PMR_SET_PID = 0x11807,
    PMR_GET_CPUCONF = 0x1180A,
    PMR_ACTIVATE_ONESHOT = 0x1180B,
    PMR_GETSTAT_ONESHOT = 0x1180C,
    PMR_RESET_SWAPFLAG = 0x1180D,
    PMR_GET_LIBNAME = 0x1180F,
    PMR_GET_RESET_STATUS = 0x11810,
    PMR_ACK_RESET_STATUS = 0x11811,
};

constexpr int PMR_SIGNAL_POWER_OFF = 30;
constexpr int PMR_SIGNAL_WATCHDOG_NMI = 31;
constexpr uint32_t PMR_RESET_WATCHDOG = 8;   // reset status bit: the last reset was a watchdog time-out
constexpr size_t PMR_LIBNAME_SIZE = 64;      // buffer given to PMR_GET_LIBNAME

struct __attribute__((packed)) NetConfig {
    uint8_t reserved0[82];
    uint32_t serverAddress;                  // boot server's IPv4 address, network order
    uint8_t reserved86[152];
};
static_assert(sizeof(NetConfig) == 238 && offsetof(NetConfig, serverAddress) == 82, "NetConfig layout");

struct __attribute__((packed)) CpuConfig {
    uint8_t reserved0[36];
    uint8_t dipSwitch;                       // boot mode
    uint8_t reserved37[2];
    uint8_t bootDevice;
    uint8_t reserved40[40];
    uint32_t ramSize;                        // bytes
    uint8_t reserved84;
    uint8_t cpuCode;                         // CPU configuration code
    uint8_t variant;                         // board variant
    uint8_t reserved87[65];
};
static_assert(sizeof(CpuConfig) == 152 && offsetof(CpuConfig, dipSwitch) == 36 &&
                  offsetof(CpuConfig, bootDevice) == 39 && offsetof(CpuConfig, ramSize) == 80 &&
                  offsetof(CpuConfig, cpuCode) == 85 && offsetof(CpuConfig, variant) == 86,
              "CpuConfig layout");

struct OneshotStatus {
    uint8_t state;                           // 201 or 141: started from the one-shot image
    uint8_t swapFlag;                        // 156 or 88
};
