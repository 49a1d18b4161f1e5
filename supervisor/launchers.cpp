#include "launchers.h"

#include "log.h"
#include "process.h"

#include <cstring>

namespace {
constexpr int BUILTIN_TIMEOUT = 300;
constexpr int DIP_SWITCH_IA = 14;
constexpr int DIP_SWITCH_RAS = 10;

struct Builtin {
    const char *session;
    char type;
    const char *path;
    const char *params;
    int timeout;
    char failParam;
};

const Builtin BIOS_MGT = {"BIOS_MGT", TYPE_ONESHOT, "bios_mgt", "", BUILTIN_TIMEOUT, FAIL_IGNORE};

// Takes an entry, fills it, starts it and waits for its process thread. Messages begin with the
// launcher's NAME.
int launch(const char *name, const Builtin &b)
{
    const int index = morvIGetFreeTableEntry();
    if (index < 0) {
        morvVlog("%s failed: no more free entries in the process table\n", name);
        return -1;
    }
    processVsetProgram(index, b.session, b.type, b.path, b.params, b.timeout, "", "", b.failParam);
    pthread_t thread;
    if (processIStartProcess(index, &thread) != 0) {
        morvVlog("%s: Error starting binary %s\n", name, b.path);
        processVfreeEntry(index);
        return -1;
    }
    void *result = nullptr;
    const int status = pthread_join(thread, &result);
    if (status != 0) {
        morvVlog("%s: Error joining thread launching %s: %s\n", name, b.path, strerror(status));
        return -1;
    }
    if (result != nullptr) {
        morvVlog("%s: an error occured in %s\n", name, b.path);
        return -1;
    }
    return 0;
}
}  // namespace

int morvIlaunch_bios_mgt()
{
    return launch("morvIlaunch_bios_mgt", BIOS_MGT);
}

int morvIlaunch_downc(int dipSwitch)
{
    const char *mode = dipSwitch == DIP_SWITCH_IA ? "IA" : dipSwitch == DIP_SWITCH_RAS ? "RAS" : "VOIP";
    const Builtin downc = {"DOWNC", TYPE_ONESHOT, "downc", mode, BUILTIN_TIMEOUT, FAIL_FATAL};
    return launch("morvIlaunch_downc", downc);
}
