// Loop-back images: file-system images mounted read-only through the kernel's loop devices, remembered
// per item so that one item or all of them can be unmounted again.
#pragma once

#include <string>

constexpr int LOOP_DEVICE_COUNT = 32;            // "/dev/loop0" to "/dev/loop31"
constexpr const char *LOOP_FS_TYPE = "ext2";

// The first free loop device's name; empty when none.
std::string find_unused_loop_device();
// Binds IMAGE to DEVICE; crypted images get the board's fixed DES-CBC key. 0, or 1 on failure.
int loopbackSset_loop(const char *device, const char *image, bool readOnly, bool crypted);
// Releases DEVICE; 0 or 1.
int loopbackSdel_loop(const char *device);

// An 'L' or 'C' line: "image | mount point"; 0 or -1.
int loopbackSmount_loopback(const char *rest, bool crypted);
void loopbackVunmountAll();
// -1 for each image of ITEM that failed to unmount or release.
int loopbackSunmountByItem(const char *item);
// Forgets every record, as at load (what they name is left as it is).
void loopbackVreset();
