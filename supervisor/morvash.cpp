// morvash: the board's start-up supervisor. The main thread reads the options, becomes a daemon, opens
// the board driver and walks the start sequence; then it ends and the other threads carry on.
#include "driver.h"
#include "dlibmgt.h"
#include "launchers.h"
#include "log.h"
#include "morvash.h"
#include "process.h"
#include "resetlog.h"
#include "resources.h"
#include "server.h"
#include "shutdown.h"
#include "subconfig.h"
#include "swap.h"
#include "watchdog.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {
constexpr const char *CONSOLE = "/dev/console";
constexpr const char *WORKING_DIR = "/current/";
constexpr rlim_t CORE_LIMIT = 131072;
constexpr int DRIVER_OPEN_FAILED = 255;
constexpr size_t CONFIG_PATH_SIZE = 256;
constexpr const char *BANNER_LINE = "==========================================================================\n";
constexpr const char *VERSION_LINE = "===================================================\n";

struct Options {
    bool startWatchdog = false;
    bool stopWatchdog = false;
    bool startBios = true;
};
Options options;

void printHelp()
{
    printf("Following options are recognized:\n");
    printf("\t-help :\t\tdisplay this help and exit.\n");
    printf("\t-noreboot :\tdo not reboot the system on error.\n");
    printf("\t-wd :\t\tstart the hard watchdog and exit.\n");
    printf("\t-nowd :\t\tstop the hard watchdog and exit.\n");
    printf("\t-nobios :\tdo not start the bios manager.\n");
    printf("\t-nolib :\tdo not try to put in place the brenvik libraries.\n");
}

void readOptions(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "-help") {
            printHelp();
            exit(0);
        } else if (word == "-noreboot") {
            g_rebootOnFatal = false;
        } else if (word == "-wd") {
            options.startWatchdog = true;
        } else if (word == "-nowd") {
            options.stopWatchdog = true;
        } else if (word == "-nobios") {
            options.startBios = false;
        } else if (word == "-nolib") {
            g_noLibraries = true;
        } else {
            printf("Option %s not recognized (ignored)n\n", argv[i]);
        }
    }
    fflush(stdout);
}

void morvVparentQuit(int)
{
    _exit(0);
}

// The parent waits until the child has its own session and console, then leaves it to the board.
void daemonise()
{
    struct sigaction quit = {};
    quit.sa_handler = morvVparentQuit;
    sigemptyset(&quit.sa_mask);
    sigaction(SIGQUIT, &quit, nullptr);
    const pid_t child = fork();
    if (child < 0) {
        morvVlog("Error forking morvash: %s\n", strerror(errno));
    } else if (child > 0) {
        int status;
        while (wait(&status) < 0 && errno == EINTR) {
        }
        exit(0);
    } else {
        signal(SIGQUIT, SIG_DFL);
        close(0);
        close(1);
        close(2);
        if (open(CONSOLE, O_RDWR | O_NONBLOCK) == 0) {
            dup2(0, 1);
            dup2(0, 2);
        }
        if (setsid() < 0) morvVlog("setsid error;\n");
        sleep(1);
        kill(getppid(), SIGQUIT);
    }
    struct rlimit core = {CORE_LIMIT, CORE_LIMIT};
    setrlimit(RLIMIT_CORE, &core);
    for (long fd = 3; fd < g_openFilesBound; ++fd) close(static_cast<int>(fd));
}

bool networkBoot()
{
    const int dip = g_cpuConfig.dipSwitch;
    return dip == 10 || dip == 13 || dip == 14;
}

void fatal(int line, const char *text)
{
    morvVsignalErrorAndExit(MORVASH_SOURCE, line, RESET_SEVERITY, text);
}

void readResetStatus()
{
    uint32_t status = 0;
    if (pmrSgetResetStatus(&status) != 0) {
        morvVlog("Error getting corvo reset status. Ioctl failed with error %d: %s\n", errno, strerror(errno));
        return;
    }
    if (!(status & PMR_RESET_WATCHDOG)) return;
    ResetRecord record;
    morvVmakeResetRecord(&record, MORVASH_SOURCE, 318, RESET_SEVERITY, "Corvo Watchdog Timer time-out");
    VStoreResetInfo(&record);
    pmrSackResetStatus();
}

void printRunningVersion()
{
    printf("\n\t************************************\n");
    printf("\t* Running version %s *\n", g_itemTable.release);
    printf("\t************************************\n\n");
    fflush(stdout);
    morvVlog("%s", VERSION_LINE);
    morvVlog("======== Starting version %s ========\n", g_itemTable.release);
    morvVlog("%s", VERSION_LINE);
}

// The BIOS manager runs before the items; a shut-down asked for meanwhile is carried out after it.
void launchBiosManager()
{
    g_biosLaunchState = BIOS_LAUNCH_RUNNING;
    if (morvIlaunch_bios_mgt() != 0) morvVlog("morvIlaunch_bios_mgt error\n");
    if (g_biosLaunchState.exchange(BIOS_LAUNCH_IDLE) == BIOS_LAUNCH_SHUTDOWN_DELAYED) processVrequestShutdown();
}

// The BIOS manager's outcome: true when the start sequence ends here.
bool endAfterBios()
{
    if (g_biosCopyKo) return true;
    if (!g_shuttingDown) return false;
    if (g_oneshotInUse && pmrSactivateOneshot() != 0) morvVlog("Error in ioctl ACTIVATE_ONESHOT\n");
    if (g_biosSwapError && g_swapInProgress) {
        fatal(485, "Morvash: swap of bios failed");
        return true;
    }
    printf("\n\t******************************\n");
    printf("\t* Reset after swap of BIOS ! *\n");
    printf("\t******************************\n\n");
    fflush(stdout);
    processVrequestShutdown();
    return true;
}

bool itemChosen(const ConfigItem &item)
{
    if (!strchr(item.start, 'A')) return false;
    if (g_startMode == START_MODE_NETWORK) return true;
    for (uint8_t flag : item.startFlags) {
        if (flag) return true;
    }
    return false;
}

void startItems()
{
    for (uint32_t i = 0; i < g_itemTable.count && i < MAX_CONFIG_ITEMS; ++i) {
        const ConfigItem &item = g_itemTable.items[i];
        if (!itemChosen(item)) continue;
        const int result = parse_subconfig(static_cast<int>(i));
        if (result == 0) continue;
        char shortName[CONFIG_PATH_SIZE] = "";
        if (result == SUBCONFIG_NOT_FOUND && !item.startFlags[0]) {
            if (!item.name || g_boardLibs.confSshort_basename(item.name, shortName) != 0)
                snprintf(shortName, sizeof shortName, "%s", item.name ? item.name : "");
            morvVlog("Could not start item %s (not found)\n", shortName);
            morvVreport_startup_info("\n\t*** WARNING: Item \"%s\" can not be started because it was not found on the system ***\n",
                                     shortName);
            continue;
        }
        fatal(533, "Error parsing subconfig file");
    }
}

void printFinalBanner()
{
    printf("\n\t***************************************************\n");
    printf("\t* Morvash has started all binaries successfully ! *\n");
    if (g_oneBinaryFailed) printf("\t*    WARNING: One binary failed (See log file)    *\n");
    printf("\t***************************************************\n\n");
    fflush(stdout);
}

void runStartSequence()
{
    morvVlog("%s", BANNER_LINE);
    morvVlog("========================>>>  START OF MORVASH  <<<========================\n");
    morvVlog("%s", BANNER_LINE);
    processVinit();
    processVsetPeriodicChecks(morvVcheckHourly, morvVcheckDaily);
    if (start_watchdog() != 0) fatal(297, "Error starting watchdog");
    morvVsetMainThread(pthread_self());
    init_shutdown();
    readResetStatus();
    if (pmrSgetCpuConfig(&g_cpuConfig) != 0)
        morvVlog("Error getting CPU config. Ioctl failed with error %d: %s\n", errno, strerror(errno));

    if (chdir(WORKING_DIR) != 0) {
        morvVlog("Error %d (%s) changing current working directory to %s\n", errno, strerror(errno), WORKING_DIR);
        fatal(342, "Error changing current working directory");
    }
    if (dlibmgtSinit(networkBoot()) != 0) fatal(348, "Error loading libraries");

    char configPath[CONFIG_PATH_SIZE];
    if (check_current_state(configPath, sizeof configPath) != 0) fatal(354, "Error checking start mode (swap/normal)");
    if (networkBoot()) {
        morvIlaunch_downc(g_cpuConfig.dipSwitch);
        g_startMode = START_MODE_NETWORK;
    } else {
        g_startMode = START_MODE_LOCAL;
    }

    const bool parsed = g_boardLibs.confSparse_config &&
                        g_boardLibs.confSparse_config(configPath, &g_itemTable, MAX_CONFIG_ITEMS) != -1;
    if (!parsed) {
        morvVlog("Error parsing main config.rc file: %s\n", g_boardLibs.conf_error ? g_boardLibs.conf_error : "");
        fatal(377, "Error in config.rc");
    }
    // Under "-noreboot" the start goes on; a file that could not be read is never rewritten from a table
    // that does not hold it.
    if (parsed && g_itemTable.version < 2) morvImigrateConfig(configPath);
    if (g_startMode == START_MODE_LOCAL) printRunningVersion();
    if (do_links() != 0) fatal(444, "Error creating symbolic links");

    const int status = serverSstart();
    if (status != 0) {
        morvVlog("morvSpthreadCreate error %d:%s\n", status, strerror(status));
        fatal(457, "Error starting server");
    }
    if (options.startBios) launchBiosManager();
    if (endAfterBios()) return;

    startItems();
    g_currentItem = -1;
    if (g_swapInProgress) valid_swap();
    printFinalBanner();
    g_startupFinished = true;
}
}  // namespace

int main(int argc, char **argv)
{
    readOptions(argc, argv);
    struct rlimit files;
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY)
        g_openFilesBound = static_cast<long>(files.rlim_cur);
    daemonise();
    if (pmrSopen() != 0) return DRIVER_OPEN_FAILED;
    if (options.stopWatchdog) {
        pmrSstopWatchdog();
        return 0;
    }
    if (options.startWatchdog) {
        pmrSstartWatchdog();
        return 0;
    }
    runStartSequence();
    // The other threads carry on.
    pthread_exit(nullptr);
}
