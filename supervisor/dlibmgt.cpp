#include "dlibmgt.h"

#include "log.h"

#include <cstdio>
#include <dlfcn.h>

BoardLibraries g_boardLibs;

namespace {
template <typename T>
bool bind(void *library, const char *symbol, T *target)
{
    dlerror();
    void *address = dlsym(library, symbol);
    if (!address) {
        morvVlog("dlibmgtSinit - %s: %s\n", symbol, dlerror());
        return false;
    }
    *target = reinterpret_cast<T>(address);
    return true;
}

void *openLibrary(const char *name)
{
    void *library = dlopen(name, RTLD_NOW | RTLD_GLOBAL);
    if (!library) morvVlog("dlibmgtSinit - %s\n", dlerror());
    return library;
}
}  // namespace

int dlibmgtSbindLibraries()
{
    BoardLibraries &l = g_boardLibs;
    const bool config = (l.config = openLibrary(CONFIG_LIBRARY)) != nullptr &&
                        bind(l.config, "confSparse_config", &l.confSparse_config) &&
                        bind(l.config, "confSshort_basename", &l.confSshort_basename) &&
                        bind(l.config, "confSfind_item", &l.confSfind_item) &&
                        bind(l.config, "conf_error", &l.conf_error) &&
                        bind(l.config, "confSconfig_file", &l.confSconfig_file);
    const bool sckapi = config && (l.sckapi = openLibrary(SCKAPI_LIBRARY)) != nullptr &&
                        bind(l.sckapi, "sckClientSendMessage", &l.sckClientSendMessage) &&
                        bind(l.sckapi, "sckServerInit", &l.sckServerInit) &&
                        bind(l.sckapi, "sckServerDoJob", &l.sckServerDoJob) &&
                        bind(l.sckapi, "sckMessageMakeReply", &l.sckMessageMakeReply);
    return sckapi ? 0 : -1;
}

void dlibmgtVunloadAll()
{
    BoardLibraries &l = g_boardLibs;
    if (l.sckClientSendMessage || l.sckServerInit || l.sckServerDoJob || l.sckMessageMakeReply) {
        if (dlclose(l.sckapi) != 0) printf("dlibmgtVunloadAll libsckapi - %s\n", dlerror());
    }
    if (l.confSshort_basename || l.confSparse_config || l.confSconfig_file) {
        if (dlclose(l.config) != 0) printf("dlibmgtVunloadAll libconfig - %s\n", dlerror());
    }
    l = BoardLibraries{};
}
