// The board's network-configuration lookup: the device that carries a VLAN (null: the data VLAN,
// "VOICE": the voice VLAN) is written into DEVICE, at most SIZE characters and a terminator.
// Returns non-zero on success, 0 when the configuration cannot be read.
#pragma once

extern "C" int pmrnetconf_getdevice(const char *vlan, char *device, int size);

// Stand-in only: the devices that the lookup reports. A null device makes that VLAN's lookup fail.
// Both start as "eth0", one device shared by the data and the voice VLAN.
namespace pmrnetconf_standin {
void setDevices(const char *dataDevice, const char *voiceDevice);
}
