// Swap and back-swap of the board's software.
#pragma once

#include <cstddef>

constexpr const char *BOOT_DIR = "/mnt/soft/boot/";
constexpr const char *MAIN_CONFIG = "/mnt/soft/boot/config.rc";
constexpr const char *NEW_CONFIG = "/mnt/soft/boot/configrc.new";
constexpr const char *SWAP_CONFIG = "/mnt/soft/boot/swap.cnf";
constexpr const char *ALT_CONFIG = "/mnt/soft/boot/configrc.alt";
constexpr const char *BACKSWAP_MARK = "/mnt/soft/boot/backswap";
constexpr const char *WARM_MARK = "/mnt/soft/boot/warm";
constexpr const char *ONESHOT_BOOT_CONFIG = "/mnt/soft/boot/oneshot.cnf";
constexpr const char *BOOT_CONFIG = "/mnt/soft/boot/grub.cnf";
constexpr const char *RESET_INFO = "/tmp/reset_info";
constexpr int SWAP_STATUS_KO = 1;  // LP_CM's verdict in message 9

// Decides how the board starts and gives the "config.rc" to read in PATH; always 0.
int check_current_state(char *path, size_t size);
// The one-shot boot state against the boot device: 0 when the new kernel and RAM disk did start, -1 not.
int check_kernel_and_ramdisk_swap();
// After every item has started during a swap: waits (2400 s at most) for LP_CM's verdict, then puts the new
// software in force and acknowledges, or backs out through a fatal error.
void valid_swap();
// Gives up the swap being tried: the next start runs the previous software again. Once per run.
void morvVsetBackswap();
void morvVresetBackswap();  // back to the state at load
void morvVprintBackswap();
// "/tmp/reset_info" for the board's other programs: how this start came about.
void morvVwriteResetInfo(bool swap);
// LP_CM's verdict on a swap has come (message 9).
void morvVpostSwapSemaphore();
