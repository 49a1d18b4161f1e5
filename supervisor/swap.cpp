#include "swap.h"

#include "log.h"

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
constexpr size_t SWAP_TEXT_SIZE = 64;

bool exists(const char *path)
{
    return access(path, F_OK) == 0;
}

// A link left by an earlier run is replaced.
void replaceLink(const char *target, const char *name)
{
    unlink(name);
    if (symlink(target, name) != 0)
        morvVlog("check_current_state: link creation of %s to %s failed with error: %s\n", name, target,
                 strerror(errno));
}

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
    }
    snprintf(path, size, "%s", MAIN_CONFIG);
    replaceLink(MAIN_CONFIG, CURRENT_CONFIG_LINK);
    replaceLink(ALT_CONFIG, CURRENT_ALT_LINK);
    morvVwriteResetInfo(false);
    return 0;
}

void morvVpostSwapSemaphore()
{
    sem_post(swapSemaphore());
}
