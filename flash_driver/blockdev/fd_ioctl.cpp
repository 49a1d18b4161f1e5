// The control calls of the block device: disk geometry, the kernel callers' discard and the type 'F'
// calls of the board's flash tools, each on the drive of the device's minor under flash_mutex.
#include "blockdev/flashd.h"

#include "bbm/bbm.h"
#include "ftl/vbf.h"
#include "kit/kit.h"
#include "media/media.h"

#include <cstring>

namespace {

constexpr uint32_t kMaxLength = 0xFFFF; // the layers below take 16-bit lengths
constexpr unsigned kTypeFirst = 0x30;
constexpr unsigned kTypeLast = 0xF0;

// The media information record as the board's tools lay it out (i386 alignment), in 36 bytes.
enum : unsigned {
    MI_TYPE_FLAGS = 0,
    MI_MEDIA_SIZE = 4,
    MI_BLOCK_SIZE = 8,
    MI_LARGE_PAGE = 12,
    MI_CHIP_SIZE = 16,
    MI_MAKER = 20,
    MI_DEVICE = 21,
    MI_FOURTH = 22,
};

char *at(unsigned long ulArgument, unsigned uOffset)
{
    return reinterpret_cast<char *>(ulArgument) + uOffset;
}

// Fields of the caller's control block, through the user-copy service.
template <typename T>
bool get_field(unsigned long ulArgument, unsigned uOffset, T &value)
{
    return copy_from_user(&value, at(ulArgument, uOffset), sizeof value) == 0;
}

template <typename T>
bool put_field(unsigned long ulArgument, unsigned uOffset, T value)
{
    return copy_to_user(at(ulArgument, uOffset), &value, sizeof value) == 0;
}

template <typename T>
void put_bytes(uint8_t *pRecord, unsigned uOffset, T value)
{
    std::memcpy(pRecord + uOffset, &value, sizeof value);
}

// Reads or writes through the translation layer, or raw through the media layer with an access type;
// the data sits at CB_DATA of the caller's block.
int transfer_call(unsigned long ulArgument, bool bWrite, bool bRaw)
{
    uint32_t ulStart = 0, ulLength = 0;
    uint16_t uType = 0;
    if (!get_field(ulArgument, CB_START, ulStart) || !get_field(ulArgument, CB_LENGTH, ulLength) ||
        (bRaw && !get_field(ulArgument, CB_SELECT, uType)))
        return FD_EFAULT;
    if (ulLength > kMaxLength)
        return FD_EINVAL;
    // The translation layer holds whole sectors: a part of one is refused before anything is done,
    // rather than failing on the flash as if the drive were broken.
    if (!bRaw && (ulStart % FD_SECTOR_SIZE || ulLength % FD_SECTOR_SIZE))
        return FD_EINVAL;
    auto *pBuffer = static_cast<uint8_t *>(kmalloc(ulLength ? ulLength : 1, GFP_KERNEL));
    if (!pBuffer)
        return FD_ENOMEM;
    const uint16_t uLength = static_cast<uint16_t>(ulLength);
    int iResult = 0;
    if (bWrite) {
        if (copy_from_user(pBuffer, at(ulArgument, CB_DATA), ulLength))
            iResult = FD_EFAULT;
        else if (!(bRaw ? oemwrite(ulStart, uLength, pBuffer, uType) : vbfwrite(ulStart, uLength, pBuffer)))
            iResult = FD_EIO;
    } else {
        if (!(bRaw ? oemread(ulStart, uLength, pBuffer, uType) : vbfread(ulStart, uLength, pBuffer)))
            iResult = FD_EIO;
        else if (copy_to_user(at(ulArgument, CB_DATA), pBuffer, ulLength))
            iResult = FD_EFAULT;
    }
    kfree(pBuffer);
    return iResult;
}

// Discards a range in pieces the translation layer takes; a long discard yields between pieces when
// the scheduler asks. A range past the drive's end is refused as a whole, and a piece the layer could
// not discard ends the call with an error.
// The layer discards only the whole pages of a piece, so every piece but the last ends on a page
// boundary: no page of the range straddles two pieces and stays behind.
int discard_range(uint32_t ulStart, uint32_t ulLength, bool bYield)
{
    if (ulLength > 0xFFFFFFFFu - ulStart)
        return FD_EINVAL;
    const uint32_t ulSize = vbfclientsize();
    if (ulSize == 0)
        return FD_EIO;
    if (ulStart > ulSize || ulLength > ulSize - ulStart)
        return FD_EINVAL;
    const uint32_t ulPiece = fd_piece();
    const uint32_t ulPage = lpThisMedia->bLLMode ? LARGE_PAGE_SIZE : SMALL_PAGE_SIZE;
    while (ulLength) {
        if (bYield && current->need_resched) {
            set_current_state(TASK_INTERRUPTIBLE);
            schedule_timeout(0);
        }
        uint32_t ulCount = ulLength < ulPiece ? ulLength : ulPiece;
        if (ulCount < ulLength)
            ulCount -= (ulStart + ulCount) % ulPage;
        if (!vbfdiscard(ulStart, static_cast<uint16_t>(ulCount)))
            return FD_EIO;
        ulStart += ulCount;
        ulLength -= ulCount;
    }
    return 0;
}

int geometry_call(unsigned long ulArgument)
{
    uint32_t ulSectors = vbfclientsize() / FD_SECTOR_SIZE;
    uint16_t uHeads = 0, uTrack = 0, uCylinders = 0;
    BuildCHS(&ulSectors, &uHeads, &uTrack, &uCylinders);
    // Heads, sectors per track and cylinders; the start field is left as it is.
    uint8_t geometry[4] = {static_cast<uint8_t>(uHeads), static_cast<uint8_t>(uTrack)};
    std::memcpy(geometry + 2, &uCylinders, sizeof uCylinders);
    return copy_to_user(reinterpret_cast<void *>(ulArgument), geometry, sizeof geometry) ? FD_EFAULT : 0;
}

int mount_call(int iDrive)
{
    oemmount();
    OemMediaInfo info;
    oemmediainfo(&info);
    int iMounted = 0;
    if (info.ulMediaSize && info.ulBlockSize)
        iMounted = vbfmount() ? 1 : 0;
    int iSize = 0;
    if (iMounted)
        iSize = static_cast<int>(vbfclientsize() / 1024);
    else if (info.ulBlockSize == 0)
        iSize = static_cast<int>(info.ulMediaSize / 1024);
    if (blk_size[FD_MAJOR])
        blk_size[FD_MAJOR][FD_MINOR_BASE + iDrive] = iSize;
    return iMounted;
}

int format_call(unsigned long ulArgument)
{
    uint32_t ulStart = 0, ulSize = 0, ulSpares = 0, ulSerial = 0;
    int32_t lCushion = 0;
    if (!get_field(ulArgument, CB_START, ulStart) || !get_field(ulArgument, CB_LENGTH, ulSize) ||
        !get_field(ulArgument, CB_THIRD, lCushion) || !get_field(ulArgument, CB_FOURTH, ulSpares) ||
        !get_field(ulArgument, CB_OUT, ulSerial))
        return FD_EFAULT;
    if (!vbfformat(ulSerial, lCushion, &ulSize, &ulStart, &ulSpares))
        return FD_EFAULT;
    if (!put_field(ulArgument, CB_START, ulStart) || !put_field(ulArgument, CB_LENGTH, ulSize) ||
        !put_field(ulArgument, CB_FOURTH, ulSpares))
        return FD_EFAULT;
    return 0;
}

int media_info_call(unsigned long ulArgument)
{
    OemMediaInfo info;
    oemmediainfo(&info);
    uint8_t record[CB_MEDIA_INFO_SIZE] = {};
    put_bytes(record, MI_TYPE_FLAGS, info.uTypeFlags);
    put_bytes(record, MI_MEDIA_SIZE, info.ulMediaSize);
    put_bytes(record, MI_BLOCK_SIZE, info.ulBlockSize);
    put_bytes(record, MI_LARGE_PAGE, info.bLargePage);
    put_bytes(record, MI_CHIP_SIZE, info.ulChipSize);
    record[MI_MAKER] = info.ucMakerId;
    record[MI_DEVICE] = info.ucDeviceId;
    record[MI_FOURTH] = info.ucIdByte4;
    return copy_to_user(at(ulArgument, CB_OUT), record, sizeof record) ? FD_EFAULT : 0;
}

int interface_call(unsigned long ulArgument)
{
    uint32_t ulLength = 0;
    if (!get_field(ulArgument, CB_LENGTH, ulLength))
        return FD_EFAULT;
    if (ulLength > kMaxLength)
        return FD_EINVAL;
    auto *pBuffer = static_cast<uint8_t *>(kmalloc(ulLength ? ulLength : 1, GFP_KERNEL));
    if (!pBuffer)
        return FD_ENOMEM;
    // Whatever the hardware interface leaves unwritten goes out as zeros, not as old kernel memory.
    std::memset(pBuffer, 0, ulLength ? ulLength : 1);
    oeminterface(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pBuffer)), static_cast<uint16_t>(ulLength));
    const int iResult = copy_to_user(at(ulArgument, CB_DATA), pBuffer, ulLength) ? FD_EFAULT : 0;
    kfree(pBuffer);
    return iResult;
}

int unit_info_call(unsigned long ulArgument)
{
    uint16_t uUnit = 0;
    if (!get_field(ulArgument, CB_SELECT, uUnit))
        return FD_EFAULT;
    auto *pInfo = static_cast<VbfUnitInfo *>(kmalloc(sizeof(VbfUnitInfo), GFP_KERNEL));
    if (!pInfo)
        return FD_ENOMEM;
    std::memset(pInfo, 0, sizeof *pInfo);
    pInfo->uUnit = uUnit;
    const bool bValid = vbfgetunitinfo(pInfo) && pInfo->bValid;
    int iResult = put_field(ulArgument, CB_VALID, static_cast<uint16_t>(bValid ? 1 : 0)) ? 0 : FD_EFAULT;
    if (iResult == 0 && bValid) {
        const uint32_t ulPages =
            pInfo->ulPagesPerUnit < sizeof pInfo->acBlockMap ? pInfo->ulPagesPerUnit : sizeof pInfo->acBlockMap;
        if (copy_to_user(at(ulArgument, CB_INFO), &pInfo->ulRegionAddress, CB_UNIT_WORDS * sizeof(uint32_t)) ||
            copy_to_user(at(ulArgument, CB_DATA), pInfo->acBlockMap, ulPages))
            iResult = FD_EFAULT;
    }
    kfree(pInfo);
    return iResult;
}

int partition_info_call(unsigned long ulArgument)
{
    uint32_t aulInfo[CB_PARTITION_WORDS] = {};
    if (!vbfgetpartitioninfo(aulInfo))
        return FD_EIO;
    return copy_to_user(at(ulArgument, CB_INFO), aulInfo, sizeof aulInfo) ? FD_EFAULT : 0;
}

int region_call(unsigned long ulArgument)
{
    uint16_t uRegion = 0;
    if (!get_field(ulArgument, CB_SELECT, uRegion))
        return FD_EFAULT;
    if (!IsValidPartition() || RegionSize() == 0)
        return FD_EIO;
    // Regions cover the formatted size, the last one possibly in part.
    if (static_cast<uint64_t>(uRegion) * RegionSize() >= FormattedSize())
        return FD_EINVAL;
    if (!MountRegion(uRegion, 0))
        return FD_EIO;
    const uint16_t uUnits = regionCache.uUnitCount < VBF_MAX_REGION_UNITS ? regionCache.uUnitCount
                                                                            : uint16_t{VBF_MAX_REGION_UNITS};
    uint32_t aulUnits[VBF_MAX_REGION_UNITS];
    for (uint16_t i = 0; i < uUnits; i++)
        aulUnits[i] = regionCache.auUnits[i];
    if (!put_field(ulArgument, CB_VALID, regionCache.bValid) ||
        !put_field(ulArgument, CB_WORD0, regionCache.uEntryCount) || !put_field(ulArgument, CB_WORD1, uUnits) ||
        copy_to_user(at(ulArgument, CB_INFO), aulUnits, uUnits * sizeof(uint32_t)))
        return FD_EFAULT;
    return 0;
}

int usage_call(unsigned long ulArgument, bool bErase)
{
    uint32_t aulResult[3] = {};
    const int32_t lCode = bErase ? MediaInfoErase(&aulResult[0], &aulResult[1], &aulResult[2])
                                 : MediaInfoUsage(&aulResult[0], &aulResult[1], &aulResult[2]);
    if (lCode != 0) {
        printk(bErase ? "Media Info Erase Failed\n" : "Media Info Usage Failed\n");
        return lCode;
    }
    if (!put_field(ulArgument, CB_LENGTH, aulResult[0]) || !put_field(ulArgument, CB_THIRD, aulResult[1]) ||
        !put_field(ulArgument, CB_FOURTH, aulResult[2]))
        return FD_EFAULT;
    return 0;
}

int bbm_status_call(unsigned long ulArgument)
{
    auto *pStatus = static_cast<BbmStatus *>(kmalloc(sizeof(BbmStatus), GFP_KERNEL));
    if (!pStatus)
        return FD_ENOMEM;
    bbmstatus(pStatus);
    const int iResult = copy_to_user(at(ulArgument, CB_DATA), pStatus, sizeof *pStatus) ? FD_EFAULT : 0;
    kfree(pStatus);
    return iResult;
}

// A drive number of a selection call, refused outside the driver's table.
int drive_call(unsigned long ulArgument, bool bMedia)
{
    uint16_t uDrive = 0;
    if (!get_field(ulArgument, CB_SELECT, uDrive))
        return FD_EFAULT;
    if (uDrive >= MAX_DRIVES)
        return FD_EINVAL;
    if (bMedia)
        oemsetcurrentdrive(uDrive);
    else
        vbfsetcurrentdrive(uDrive);
    return 0;
}

int put_u16_call(unsigned long ulArgument, unsigned uOffset, uint16_t uValue)
{
    return put_field(ulArgument, uOffset, uValue) ? 0 : FD_EFAULT;
}

// One call, with flash_mutex held and the drive selected.
int run_call(int iDrive, unsigned int command, unsigned long ulArgument)
{
    switch (command) {
    case HDIO_GETGEO:
        return geometry_call(ulArgument);
    case FD_IOCTL_IDENTIFY:
        if (!put_field(ulArgument, CB_WORD0, uint16_t{CB_IDENTIFY_MARK}))
            return FD_EFAULT;
        return put_u16_call(ulArgument, CB_OUT, CB_IDENTIFY_VERSION);
    case FD_IOCTL_MOUNT:
        return mount_call(iDrive);
    case FD_IOCTL_FORMAT:
        return format_call(ulArgument);
    case FD_IOCTL_VBF_MOUNT:
        return vbfmount() ? 0 : FD_ESRMNT;
    case FD_IOCTL_READ:
        return transfer_call(ulArgument, false, false);
    case FD_IOCTL_WRITE:
        return transfer_call(ulArgument, true, false);
    case FD_IOCTL_DISCARD: {
        uint32_t ulStart = 0, ulLength = 0;
        if (!get_field(ulArgument, CB_START, ulStart) || !get_field(ulArgument, CB_LENGTH, ulLength))
            return FD_EFAULT;
        return discard_range(ulStart, ulLength, false);
    }
    case FD_IOCTL_COLLECT:
        return vbfgarbagecollect() ? 0 : FD_ENOSPC;
    case FD_IOCTL_CLIENT_SIZE:
        return put_field(ulArgument, CB_OUT, vbfclientsize()) ? 0 : FD_EFAULT;
    case FD_IOCTL_VBF_STATUS:
        return put_u16_call(ulArgument, CB_OUT, vbfstatus());
    case FD_IOCTL_OEM_MOUNT:
        oemmount();
        return 0;
    case FD_IOCTL_OEM_UNMOUNT:
        oemunmount();
        return 0;
    case FD_IOCTL_POWER_DOWN:
        oempowerdown();
        return 0;
    case FD_IOCTL_RAW_READ:
        return transfer_call(ulArgument, false, true);
    case FD_IOCTL_RAW_WRITE:
        return transfer_call(ulArgument, true, true);
    case FD_IOCTL_ERASE: {
        uint32_t ulStart = 0, ulLength = 0;
        if (!get_field(ulArgument, CB_START, ulStart) || !get_field(ulArgument, CB_LENGTH, ulLength))
            return FD_EFAULT;
        // A refused or failed erase is reported, not taken for done.
        return oemerase(ulStart, ulLength) ? 0 : FD_EIO;
    }
    case FD_IOCTL_OEM_STATUS:
        return put_u16_call(ulArgument, CB_OUT, oemstatus());
    case FD_IOCTL_MEDIA_INFO:
        return media_info_call(ulArgument);
    case FD_IOCTL_INTERFACE:
        return interface_call(ulArgument);
    case FD_IOCTL_OEM_INIT: {
        uint32_t ulValue = 0;
        uint16_t uDrives = 0;
        if (!get_field(ulArgument, CB_VALUE, ulValue))
            return FD_EFAULT;
        if (!oeminit(ulValue, &uDrives))
            return FD_EFAULT;
        return put_u16_call(ulArgument, CB_SELECT, uDrives);
    }
    case FD_IOCTL_OEM_UNINIT:
        oemuninit();
        return 0;
    case FD_IOCTL_POOL_SIZE:
        return put_u16_call(ulArgument, CB_SELECT, vbfpoolsize());
    case FD_IOCTL_VBF_INIT:
        vbfinit();
        return 0;
    case FD_IOCTL_OEM_DRIVE:
        return drive_call(ulArgument, true);
    case FD_IOCTL_VBF_DRIVE:
        return drive_call(ulArgument, false);
    case FD_IOCTL_UNIT_INFO:
        return unit_info_call(ulArgument);
    case FD_IOCTL_PARTITION_INFO:
        return partition_info_call(ulArgument);
    case FD_IOCTL_REGION:
        return region_call(ulArgument);
    case FD_IOCTL_CHANGED:
        oemchanged();
        return 0;
    case FD_IOCTL_USAGE:
        return usage_call(ulArgument, false);
    case FD_IOCTL_ERASE_COUNTS:
        return usage_call(ulArgument, true);
    case FD_IOCTL_BBM_STATUS:
        return bbm_status_call(ulArgument);
    case FD_IOCTL_DISCARD_USER:
    case FD_IOCTL_DISCARD_KERNEL: {
        uint32_t aulRange[2] = {};
        if (command == FD_IOCTL_DISCARD_KERNEL)
            std::memcpy(aulRange, reinterpret_cast<const void *>(ulArgument), sizeof aulRange);
        else if (copy_from_user(aulRange, reinterpret_cast<const void *>(ulArgument), sizeof aulRange))
            return FD_EFAULT;
        return discard_range(aulRange[0], aulRange[1], true);
    }
    default:
        printk("TESSARO : ioctl - unknown command nbr %x\n", command);
        return FD_ENOTTY;
    }
}

} // namespace

int fd_ioctl(struct inode *inode, struct file *, unsigned int command, unsigned long argument)
{
    const bool bTypeF = (command & 0xFF00) == FD_IOCTL_TYPE && (command & 0xFF) >= kTypeFirst &&
                        (command & 0xFF) <= kTypeLast;
    if (command != HDIO_GETGEO && command != FD_IOCTL_DISCARD_KERNEL && !bTypeF)
        return FD_EINVAL;
    kdev_t dev = 0;
    if (command == FD_IOCTL_DISCARD_KERNEL) {
        // A kernel caller passes its mounted file system in place of the inode.
        const auto *pSuper = reinterpret_cast<const struct super_block *>(inode);
        if (!pSuper || !argument)
            return FD_EINVAL;
        dev = pSuper->s_dev;
    } else {
        if (!inode)
            return FD_EINVAL;
        dev = inode->i_rdev;
    }
    const int iDrive = dev ? fd_drive(MINOR(dev)) : -1;
    if (iDrive < 0 || MAJOR(dev) != FD_MAJOR)
        return FD_EINVAL;
    down(&flash_mutex);
    fd_select(static_cast<uint16_t>(iDrive));
    const int iResult = run_call(iDrive, command, argument);
    up(&flash_mutex);
    return iResult;
}
