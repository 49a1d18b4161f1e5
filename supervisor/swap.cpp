#include "swap.h"

#include "log.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {
std::atomic<bool> backswapSet{false};
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
