// Swap and back-swap of the board's software.
#pragma once

constexpr const char *BOOT_DIR = "/mnt/soft/boot/";
constexpr const char *NEW_CONFIG = "/mnt/soft/boot/configrc.new";
constexpr const char *SWAP_CONFIG = "/mnt/soft/boot/swap.cnf";
constexpr const char *BACKSWAP_MARK = "/mnt/soft/boot/backswap";

// Gives up the swap being tried: the next start runs the previous software again. Once per run.
void morvVsetBackswap();
void morvVresetBackswap();  // back to the state at load
