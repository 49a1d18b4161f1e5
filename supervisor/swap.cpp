#include "swap.h"

#include "clock.h"
#include "driver.h"
#include "log.h"
#include "morvash.h"
#include "resetlog.h"
#include "server.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <pthread.h>
#include <semaphore.h>
#include <string>
#include <unistd.h>

namespace {
std::atomic<bool> backswapSet{false};
constexpr const char *CURRENT_CONFIG_LINK = "/current/config.rc";
constexpr const char *CURRENT_ALT_LINK = "/current/configrc.alt";
constexpr const char *SWAP_INDICATION = "/mnt/soft/boot/swap_ind.par";
constexpr const char *RELATIVE_MAIN_CONFIG = "boot/config.rc";  // from "/current/"
constexpr const char *SWAP_SOURCE = "morvash.c";
constexpr size_t SWAP_TEXT_SIZE = 64;
constexpr long SWAP_CONFIRMATION_MS = 2400 * 1000L;
constexpr int ONESHOT_RENAME_TRIES = 5;
constexpr uint8_t VARIANT_LARGE_RAM = 0x92;
constexpr uint32_t LARGE_RAM_MB = 256;
constexpr uint32_t SMALL_RAM_MB = 64;
constexpr uint32_t BYTES_PER_MB = 1048576;
constexpr uint8_t BOOT_DEVICE_FLASH = 0;
constexpr uint8_t BOOT_DEVICE_DISK = 1;
constexpr uint8_t SWAP_FLAG_FLASH = 156;
constexpr uint8_t SWAP_FLAG_DISK = 88;
constexpr uint8_t ONESHOT_STARTED_FLASH = 201;
constexpr uint8_t ONESHOT_STARTED_DISK = 141;

bool exists(const char *path)
{
    return access(path, F_OK) == 0;
}

// A link left by an earlier run is replaced.
void replaceLink(const char *target, const char *name, const char *caller = "check_current_state")
{
    unlink(name);
    if (symlink(target, name) != 0)
        morvVlog("%s: link creation of %s to %s failed with error: %s\n", caller, name, target, strerror(errno));
}

void fatal(int line, const char *text)
{
    morvVsignalErrorAndExit(SWAP_SOURCE, line, RESET_SEVERITY, text);
}

// A swap step failed: the next start runs the old software. With "-noreboot" the start goes on normally.
void backOut(int line, const char *text)
{
    morvVprintBackswap();
    morvVsetBackswap();
    fatal(line, text);
}

int normalStart(char *path, size_t size)
{
    snprintf(path, size, "%s", MAIN_CONFIG);
    replaceLink(MAIN_CONFIG, CURRENT_CONFIG_LINK);
    replaceLink(ALT_CONFIG, CURRENT_ALT_LINK);
    morvVwriteResetInfo(false);
    return 0;
}

void resetSwapFlag(const char *failure)
{
    if (pmrSresetSwapflag() != 0) morvVlog(failure, errno, strerror(errno));
}

constexpr const char *RESET_FLAG_FAILED = "check_kernel_and_ramdisk_swap: ioctl RESET_SWAPFLAG failed: (%d) %s\n";

sem_t *swapSemaphore()
{
    static sem_t semaphore;
    static pthread_once_t once = PTHREAD_ONCE_INIT;
    pthread_once(&once, [] { sem_init(&semaphore, 0, 0); });
    return &semaphore;
}
}  // namespace

void morvVprintBackswap()
{
    printf("\n\t*********************************\n");
    printf("\t* ERROR: BACKSWAP IN PROGRESS ! *\n");
    printf("\t*********************************\n\n");
    fflush(stdout);
}

void morvVsetBackswap()
{
    if (backswapSet.exchange(true)) return;
    unlink(NEW_CONFIG);
    unlink(SWAP_CONFIG);
    FILE *f = fopen(BACKSWAP_MARK, "w");
    if (!f) {
        morvVlog("Creation of file %s failed: %s\n", BACKSWAP_MARK, strerror(errno));
        return;
    }
    fclose(f);
}

void morvVresetBackswap()
{
    backswapSet = false;
}

void morvVwriteResetInfo(bool swap)
{
    printf("\n");
    FILE *f = fopen(RESET_INFO, "w");
    if (!f) {
        morvVlog("check_current_state: failed open %s file, errno=%d %s\n", RESET_INFO, errno, strerror(errno));
        return;
    }
    std::string kind = exists(WARM_MARK) ? "WARM" : "COLD";
    if (swap) {
        if (FILE *indication = fopen(SWAP_INDICATION, "r")) {
            // Written outside this program: the text is bounded.
            int mode = 0;
            char text[SWAP_TEXT_SIZE] = "";
            if (fscanf(indication, "%d | %63s", &mode, text) >= 1) {
                morvVlog("check_current_state: found mode %d str=%s \n", mode, text);
                kind = std::string("SWAP_") + text;
            }
            fclose(indication);
        }
    }
    fputs(kind.c_str(), f);
    fclose(f);
    printf("Morvash wrote in %s file %s\n", RESET_INFO, kind.c_str());
    fflush(stdout);
}

int check_current_state(char *path, size_t size)
{
    if (!exists(NEW_CONFIG)) {
        if (exists(SWAP_CONFIG)) {
            morvVlog("File %s exists; A previous swap has failed\n", SWAP_CONFIG);
            morvVprintBackswap();
            morvVsetBackswap();
        } else if (exists(BACKSWAP_MARK)) {
            morvVprintBackswap();
        }
        return normalStart(path, size);
    }
    printf("\n\t**********************\n");
    printf("\t* SWAP IN PROGRESS ! *\n");
    printf("\t**********************\n\n");
    fflush(stdout);
    morvVwriteResetInfo(true);

    const uint32_t requiredMb = g_cpuConfig.variant == VARIANT_LARGE_RAM ? LARGE_RAM_MB : SMALL_RAM_MB;
    if (g_cpuConfig.ramSize < requiredMb * BYTES_PER_MB) {
        morvVlog("Not enough RAM to run this software version (%d Mb instead of %d Mb)\n",
                 static_cast<int>(g_cpuConfig.ramSize / BYTES_PER_MB), static_cast<int>(requiredMb));
        morvVlog("==> Swap failed, Backswaping !!!\n");
        backOut(1113, "Not enough RAM -> backswapping");
        return normalStart(path, size);
    }
    if (rename(NEW_CONFIG, SWAP_CONFIG) != 0) {
        morvVlog("Renaming file %s to %s failed: error %s\n", NEW_CONFIG, SWAP_CONFIG, strerror(errno));
        morvVlog("==> Swap failed, Backswaping !!!\n");
        backOut(1123, "Error moving swap config files -> backswapping");
        return normalStart(path, size);
    }
    if (check_kernel_and_ramdisk_swap() != 0) {
        backOut(1146, "Error swapping kernel and ramdisk -> backswapping");
        return normalStart(path, size);
    }
    g_swapInProgress = true;
    // A verdict counts only when it comes for this try.
    while (sem_trywait(swapSemaphore()) == 0) {
    }
    snprintf(path, size, "%s", SWAP_CONFIG);
    replaceLink(SWAP_CONFIG, CURRENT_CONFIG_LINK);
    replaceLink(MAIN_CONFIG, CURRENT_ALT_LINK);
    return 0;
}

int check_kernel_and_ramdisk_swap()
{
    OneshotStatus oneshot;
    if (pmrSgetOneshot(&oneshot) != 0) {
        morvVlog("check_kernel_and_ramdisk_swap: ioctl GETSTAT_ONESHOT failed: (%d) %s\n", errno, strerror(errno));
        fatal(2282, "ioctl error on pmr device");
        return -1;
    }
    // The flag that matches the boot device asks whether the one-shot image did start; the other one is
    // only cleared, and any other flag passes untouched.
    uint8_t expectedFlag = SWAP_FLAG_FLASH, otherFlag = SWAP_FLAG_DISK, startedState = ONESHOT_STARTED_FLASH;
    const char *failed = "Oneshot start failed 1... backswapping\n";
    const char *otherFailure = "check_kernel_and_ramdisk_swap: ioctl RESET_SWAPFLAG failed : HD not expected: (%d) %s\n";
    switch (g_cpuConfig.bootDevice) {
    case BOOT_DEVICE_FLASH:
        break;
    case BOOT_DEVICE_DISK:
        expectedFlag = SWAP_FLAG_DISK;
        otherFlag = SWAP_FLAG_FLASH;
        startedState = ONESHOT_STARTED_DISK;
        failed = "Oneshot start failed 2... backswapping\n";
        otherFailure = "check_kernel_and_ramdisk_swap FL: ioctl RESET_SWAPFLAG failed : flash expected (%d) %s\n";
        break;
    default:
        morvVlog("check_kernel_and_ramdisk_swap: unknown boot device %x, assuming NAND FLASH\n", g_cpuConfig.bootDevice);
        resetSwapFlag(RESET_FLAG_FAILED);
        if (oneshot.state != ONESHOT_STARTED_FLASH) {
            morvVlog("Oneshot start failed 3... backswapping\n");
            return -1;
        }
        g_oneshotInUse = true;
        return 0;
    }
    if (oneshot.swapFlag == otherFlag) {
        resetSwapFlag(otherFailure);
        return 0;
    }
    if (oneshot.swapFlag != expectedFlag) return 0;
    resetSwapFlag(RESET_FLAG_FAILED);
    if (oneshot.state != startedState) {
        morvVlog("%s", failed);
        return -1;
    }
    g_oneshotInUse = true;
    return 0;
}

void valid_swap()
{
    // The whole wait unless the verdict really came: a spurious wake or a signal does not end it.
    const struct timespec deadline = clockOafter(SWAP_CONFIRMATION_MS);
    int taken;
    while ((taken = clockIwaitSemaphore(swapSemaphore(), deadline)) != 0 && errno == EINTR) {
    }
    if (backswapSet) return;
    if (taken != 0) {
        morvVlog("valid_swap: Swap not confirmed by LP_CM\n");
        fatal(963, "Swap not confirmed by LP_CM");
        return;
    }
    if (g_swapStatus == SWAP_STATUS_KO) {
        morvVlog("valid_swap: LP_CM_SWAP_KO -> backswapping\n");
        morvVsetBackswap();
        fatal(971, "LP_CM_SWAP_KO -> backswapping");
        return;
    }
    if (rename(MAIN_CONFIG, ALT_CONFIG) != 0) {
        morvVlog("valid_swap: rename(%s, %s): %s\n", MAIN_CONFIG, ALT_CONFIG, strerror(errno));
        fatal(978, "Error validating swap");
        return;
    }
    if (rename(SWAP_CONFIG, MAIN_CONFIG) != 0) {
        morvVlog("valid_swap: rename(%s, %s): %s\n", SWAP_CONFIG, MAIN_CONFIG, strerror(errno));
        // The board keeps a "config.rc" to start from whatever the back-swap then removes.
        if (rename(ALT_CONFIG, MAIN_CONFIG) != 0)
            morvVlog("valid_swap: rename(%s, %s): %s\n", ALT_CONFIG, MAIN_CONFIG, strerror(errno));
        fatal(984, "Error validating swap");
        return;
    }
    if (g_oneshotInUse) {
        for (int tries = 0; tries < ONESHOT_RENAME_TRIES && access(ONESHOT_BOOT_CONFIG, R_OK) == 0; ++tries) {
            if (rename(ONESHOT_BOOT_CONFIG, BOOT_CONFIG) == 0) break;
            morvVlog("valid_swap: Error (%d) renaming file %s to %s: %s\n", errno, ONESHOT_BOOT_CONFIG, BOOT_CONFIG,
                     strerror(errno));
            clockVsleep(1000);
        }
    }
    replaceLink(RELATIVE_MAIN_CONFIG, CURRENT_CONFIG_LINK, "valid_swap");
    replaceLink(ALT_CONFIG, CURRENT_ALT_LINK, "valid_swap");
    morvVsendAckToLpcm();
    g_swapInProgress = false;
}

void morvVpostSwapSemaphore()
{
    sem_post(swapSemaphore());
}
