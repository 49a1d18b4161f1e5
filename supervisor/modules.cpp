#include "modules.h"

#include "files.h"
#include "log.h"
#include "morvash.h"
#include "process.h"
#include "subconfig.h"

#include <cerrno>
#include <cstring>
#include <list>
#include <mutex>
#include <string>
#include <unistd.h>

namespace {
constexpr const char *INSMOD = "insmod";
constexpr const char *RMMOD = "rmmod";
constexpr int RMMOD_TIMEOUT = 30;
constexpr const char *OBJECT_SUFFIX = ".o";

struct LoadedModule {
    char item[ITEM_NAME_SIZE];                  // base name of the item that inserted it; empty when none
    std::string name;                           // the file's base name without ".o"
};

std::mutex modulesMutex;
std::list<LoadedModule> modules;                // newest first

std::string moduleName(const std::string &file)
{
    std::string name = processObaseName(file.c_str());
    const size_t suffix = strlen(OBJECT_SUFFIX);
    if (name.size() >= suffix && name.compare(name.size() - suffix, suffix, OBJECT_SUFFIX) == 0)
        name.resize(name.size() - suffix);
    return name;
}

// Runs PROGRAM with PARAMS as a oneshot entry and waits for its thread. False when it could not be
// started or waited for; else RESULT gets the thread's result. NAME and WHAT make the messages.
bool runAndWait(int index, const char *name, const char *what, const char *program, const std::string &params,
                int timeout, char failParam, const std::string &module, int *result)
{
    processVsetProgram(index, "", TYPE_ONESHOT, program, params.c_str(), timeout, "", "", failParam);
    pthread_t thread;
    if (processIStartProcess(index, &thread) != 0) {
        morvVlog("%s: Error starting thread for %s module %s\n", name, what, module.c_str());
        processVfreeEntry(index);
        return false;
    }
    void *value;
    const int status = pthread_join(thread, &value);
    if (status != 0) {
        morvVlog("%s: Error (ignored) joining thread %s module %s: %s\n", name, what, module.c_str(), strerror(status));
        return false;
    }
    *result = static_cast<int>(reinterpret_cast<intptr_t>(value));
    return true;
}

// Removes the modules of ITEM (all of them when null), newest first; -1 for each failed start or wait.
int removeModules(const char *name, const char *item)
{
    int result = 0;
    for (;;) {
        LoadedModule module;
        {
            std::lock_guard<std::mutex> lock(modulesMutex);
            auto m = modules.begin();
            while (m != modules.end() && item && strcmp(m->item, item) != 0) ++m;
            if (m == modules.end()) return result;
            module = *m;
            modules.erase(m);
        }
        const int index = morvIGetFreeTableEntry();
        if (index < 0) {
            morvVlog("%s failed: no more free entries in the process table\n", name);
            std::lock_guard<std::mutex> lock(modulesMutex);
            modules.push_front(module);
            return result - 1;
        }
        int status;
        if (runAndWait(index, name, "removing", RMMOD, module.name, RMMOD_TIMEOUT, FAIL_IGNORE, module.name, &status)) {
            morvVlog("%s: rmmod %s OK.\n", name, module.name.c_str());
        } else {
            result -= 1;
        }
    }
}
}  // namespace

int modulesSinsertModule(const char *rest)
{
    if (!rest) {
        morvVlog("modulesSinsertModule: no module specified\n");
        return -1;
    }
    const int index = morvIGetFreeTableEntry();
    if (index < 0) {
        morvVlog("modulesSinsertModule failed: no more free entries in the process table\n");
        return -1;
    }
    const std::string file = filesSfieldWord(rest, 0);
    if (file.empty()) {
        morvVlog("modulesSinsertModule: Error scanning module name\n");
        processVfreeEntry(index);
        return -1;
    }
    std::string field;
    const std::string params = filesBfield(rest, 1, &field) ? filesStrim(field) : "";
    // The blank between the two counts: the command line must fit the entry whole.
    const std::string commandLine = params.empty() ? file : file + " " + params;
    if (commandLine.size() >= PROG_PARAMS_SIZE) {
        morvVlog("modulesSinsertModule %s : string parameters (%s) too long...", file.c_str(), params.c_str());
        processVfreeEntry(index);
        return -1;
    }
    int timeout = MODULE_DEFAULT_TIMEOUT;
    bool given;
    if (filesBfield(rest, 2, &field) && !morvBparseTimeout(field, &given, &timeout)) {
        morvVlog("modulesSinsertModule %s : invalid time-out in \"%s\"\n", file.c_str(), field.c_str());
        processVfreeEntry(index);
        return -1;
    }
    int result;
    if (!runAndWait(index, "modulesSinsertModule", "inserting", INSMOD, commandLine, timeout, FAIL_FATAL, file, &result))
        return -1;
    if (result != 0) {
        morvVlog("modulesSinsertModule %s: an error occured\n", file.c_str());
        return result;
    }
    LoadedModule module{};
    const int item = g_currentItem;
    if (item >= 0 && item < MAX_CONFIG_ITEMS && g_itemTable.items[item].name)
        snprintf(module.item, sizeof module.item, "%s", processObaseName(g_itemTable.items[item].name));
    module.name = moduleName(file);
    std::lock_guard<std::mutex> lock(modulesMutex);
    modules.push_front(module);
    return 0;
}

int modulesSinsertCompressedModule(const char *rest)
{
    if (!rest) {
        morvVlog("modulesSinsertCompressedModule: no module specified\n");
        return -1;
    }
    const std::string file = filesSfieldWord(rest, 0);
    if (file.empty()) {
        morvVlog("modulesSinsertCompressedModule: Error scanning module name\n");
        return -1;
    }
    const std::string uncompressed = filesOuncompressInDir(file.c_str(), MODULE_TMP_DIR);
    if (uncompressed.empty()) {
        morvVlog("modulesSinsertCompressedModule: Error uncompressing module %s\n", file.c_str());
        return -1;
    }
    const char *afterModule = strchr(rest, '|');
    const std::string line = uncompressed + "|" + (afterModule ? afterModule + 1 : "");
    const int result = modulesSinsertModule(line.c_str());
    if (unlink(uncompressed.c_str()) != 0) {
        morvVlog("modulesSinsertCompressedModule: Error removing uncompressed module: %s (%d)\n", strerror(errno), errno);
    }
    return result;
}

void modulesVremoveAll()
{
    removeModules("modulesVremoveAll", nullptr);
}

int modulesSremoveByItem(const char *item)
{
    return removeModules("modulesSremoveByItem", item);
}

void modulesVreset()
{
    std::lock_guard<std::mutex> lock(modulesMutex);
    modules.clear();
}
