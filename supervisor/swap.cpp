#include "swap.h"

#include "log.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

void morvVsetBackswap()
{
    static std::atomic<bool> done{false};
    if (done.exchange(true)) return;
    unlink(NEW_CONFIG);
    unlink(SWAP_CONFIG);
    FILE *f = fopen(BACKSWAP_MARK, "w");
    if (!f) {
        morvVlog("Creation of file %s failed: %s\n", BACKSWAP_MARK, strerror(errno));
        return;
    }
    fclose(f);
}
