// The board's two outside libraries, opened by name and bound symbol by symbol.
#pragma once

#include "boardlibs.h"

#include <cstddef>

constexpr const char *CONFIG_LIBRARY = "libconfig.so";
constexpr const char *SCKAPI_LIBRARY = "libsckapi.so";

struct BoardLibraries {
    void *config;
    void *sckapi;
    confSparse_config_t confSparse_config;
    confSshort_basename_t confSshort_basename;
    confSfind_item_t confSfind_item;
    const char *conf_error;  // the library's last error text
    confSconfig_file_t confSconfig_file;
    sckClientSendMessage_t sckClientSendMessage;
    sckServerInit_t sckServerInit;
    sckServerDoJob_t sckServerDoJob;
    sckMessageMakeReply_t sckMessageMakeReply;
    sckServerSendReply_t sckServerSendReply;  // a reply sent later, from another thread
};

extern BoardLibraries g_boardLibs;

constexpr const char *TFTPBOOT_DIR = "/tftpboot/";
constexpr const char *LIBRARY_LIST = "libbvkcom";
constexpr const char *APPLI_BOOT_LIST = "/tftpboot/pemrocom";
constexpr const char *APPLI_BOOT_KERNEL = "/tftpboot/vmlinuz";
constexpr const char *APPLI_BOOT_RAMDISK = "/tftpboot/initrd.gz";
constexpr const char *CURRENT_KERNEL = "/current/kernel/vmlinuz";
constexpr const char *CURRENT_RAMDISK = "/current/ramdsk/initrd.gz";
constexpr int APPLI_BOOT_FAILED = -14;

// Puts the library package in place (fetched from the boot server on a network boot, else named by the
// driver and published in "/tftpboot/"), runs its sub-configuration and opens the two libraries; 0 or -1.
int dlibmgtSinit(bool networkBoot);
// Publishes the package NAME (linked in "/current/") for the co-CPU boards: "/tftpboot/libbvkcom" and a
// link to the package.
void dlibmgtVcreateTftpFiles(const char *name);
// Fetches the library list and the package it names from the boot server into "/mnt/soft/"; NAME gets
// the package directory's name. Works in the current directory, "/current/". 0 or -1.
int dlibmgtSdownload(char *name, size_t size);
// The co-CPU boards' boot files: links to the kernel and RAM disk and the two-record boot LIST.
// 0 or APPLI_BOOT_FAILED.
int morvISetupAppliBoot(const char *list, const char *kernelLink, const char *ramdiskLink);

// Opens both libraries and binds their nine entry points; 0, or -1 after logging the first failure.
int dlibmgtSbindLibraries();
void dlibmgtVunloadAll();
