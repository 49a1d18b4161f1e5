// The dump-device hooks: after a crash the board kernel writes its dump through the translation
// layer of one drive, holding flash_mutex from the init hook to the end hook.
#include "blockdev/flashd.h"

#include "ftl/vbf.h"
#include "media/media.h"

namespace {

constexpr unsigned kSettleSteps = 8; // waits of 1 ms
const char kAssertion[] = "<1>RAWSYNC: assertion (%s) failed at line %d of %s in %s\n";
const char kFile[] = "flashd";

// Set while a dump holds flash_mutex, so that only a started dump writes and ends.
bool dump_running = false;

int refuse(const char *condition, int line, int code)
{
    printk(kAssertion, condition, line, kFile, "tso_dump_init");
    return code;
}

void settle()
{
    for (unsigned step = 0; step < kSettleSteps; step++)
        mdelay(1);
}

} // namespace

int tso_dump_init(struct rawsync_data *data)
{
    if (!data)
        return refuse("rawsync_data", __LINE__, 1);
    if (!data->hook)
        return refuse("hook", __LINE__, 2);
    if (MAJOR(data->rawsync_dev) == 0)
        return refuse("MAJOR(rawsync_data->rawsync_dev)", __LINE__, 3);
    const int iDrive = fd_drive(MINOR(data->rawsync_dev));
    if (iDrive < 0)
        return refuse("MINOR(rawsync_data->rawsync_dev) - 16 < numDrives", __LINE__, 3);
    down(&flash_mutex);
    dump_running = true;
    fd_select(static_cast<uint16_t>(iDrive));
    if (oemstatus() & FD_BUSY_MASK) {
        // The crash stopped an access halfway: the drive is taken as idle and changed.
        settle();
        lpThisMedia->bChanged = 1;
        lpThisMedia->uStatus &= static_cast<uint16_t>(~FD_BUSY_MASK);
    }
    return 0;
}

int tso_dump_write(struct rawsync_data *, unsigned int start, unsigned short length, void *buffer)
{
    if (!dump_running)
        return 1;
    const uint16_t uWritten = vbfwrite(start, length, static_cast<const uint8_t *>(buffer));
    if (bvk_machine_id == BOARD_PIII)
        settle();
    return uWritten ? 0 : 1;
}

int tso_dump_end()
{
    if (dump_running) {
        dump_running = false;
        up(&flash_mutex);
    }
    return 0;
}
