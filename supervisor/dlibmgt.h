// The board's two outside libraries, opened by name and bound symbol by symbol.
#pragma once

#include "boardlibs.h"

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
};

extern BoardLibraries g_boardLibs;

// Opens both libraries and binds their nine entry points; 0, or -1 after logging the first failure.
int dlibmgtSbindLibraries();
void dlibmgtVunloadAll();
