// Format of a drive and the erase unit header: build, vote, repair, check, write.
#include "ftl/vbf.h"
#include "ftl/vbf_internal.h"

#include "hostkernel/kernel.h"
#include "nand/nand_ops.h"

#include <algorithm>
#include <cstring>

const uint8_t acVbfSignature[16] = {0xCC, 0xDD, 'Q', 'V', '_', 'F', 'S', '3', '.', '0', '0', 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

namespace {

constexpr uint16_t kSignatureValue = 0xDDCC;
constexpr uint32_t kCopyOffsets[3] = {0, 128, 256};
constexpr uint32_t kSparePerBytes = 0x1FE0000; // one default spare unit per this many media bytes
constexpr uint32_t kLargeUnitFrom = 0x1FFFFFF;  // drives above this get units of up to 128 KB

OemMediaInfo mediaInfo;
EUH euhNew;
uint16_t uCushionDivisor = 100;
uint16_t bDefaultSpareUnits;
uint32_t ulRegionSize;
uint16_t bSkipErase;
uint32_t ulFormatSize;  // the size to format
uint32_t ulAreaStart;
uint32_t ulUnitSizeNew;
uint16_t uSpareCount;
uint32_t ulSerialNew;

uint8_t euhPage[LARGE_PAGE_SIZE];

uint8_t MediaType()
{
    return static_cast<uint8_t>(mediaInfo.uTypeFlags & 0xFF);
}

bool HiddenList(uint8_t type)
{
    return type == 4 || type == 5;
}

uint32_t RoundUp(uint32_t value, uint32_t step)
{
    return (value + step - 1) / step * step;
}

void Progress(uint32_t address, uint32_t size)
{
    const uint32_t hundredth = std::max<uint32_t>(size / 100, 1);
    printk(" %2u%%\b\b\b\b", address / hundredth);
}

uint32_t ComputeUnitSize()
{
    const uint32_t block = mediaInfo.ulBlockSize;
    if (block == 0)
        return 0;
    uint32_t unit = block;
    uint32_t count = ulFormatSize / block;
    while (unit < VBF_MIN_UNIT && count > 0) {
        count /= 2;
        unit *= 2;
    }
    if (count < 2)
        return 0;
    const uint32_t target = ulFormatSize > kLargeUnitFrom ? 128 * 1024 : 32 * 1024;
    while (unit < target && count > 16) {
        count /= 2;
        unit *= 2;
    }
    return unit;
}

uint16_t ComputeFormattedSize()
{
    const uint32_t unit = euhNew.ulUnitSize;
    const uint32_t page = euhNew.uPageSize;
    uint32_t overhead = page;
    if (!HiddenList(MediaType()))
        overhead += RoundUp(unit / page * 4, page);
    overhead += RoundUp(unit / uCushionDivisor, page);
    if (mediaInfo.bLargePage)
        overhead *= 2;
    if (overhead >= unit || unit > VBF_RAW_REGION)
        return 0;
    const uint64_t usable = unit - overhead;
    const uint64_t region = usable * (VBF_RAW_REGION / unit);
    if (euhNew.uUnitCount <= euhNew.uSpareUnits)
        return 0;
    const uint64_t formatted = usable * (euhNew.uUnitCount - euhNew.uSpareUnits);
    if (formatted < VBF_MIN_FORMATTED || formatted > VBF_MAX_FORMATTED || region / page > 4095)
        return 0;
    euhNew.ulFormattedSize = static_cast<uint32_t>(formatted);
    euhNew.ulRegionSize = static_cast<uint32_t>(region);
    ulRegionSize = euhNew.ulRegionSize;
    return 1;
}

uint16_t SetupEUH()
{
    std::memset(&euhNew, 0xFF, sizeof euhNew);
    std::memcpy(euhNew.acSignature, acVbfSignature, sizeof acVbfSignature);
    const uint32_t unit = ComputeUnitSize();
    if (unit == 0 || ulFormatSize <= ulAreaStart || ulFormatSize - ulAreaStart <= unit)
        return 0;
    euhNew.ulUnitSize = unit;
    euhNew.ulAreaStart = RoundUp(ulAreaStart, unit);
    const uint32_t count = ulFormatSize / unit - euhNew.ulAreaStart / unit;
    if (count < 2 || count > 0xFFFF)
        return 0;
    euhNew.uUnitCount = static_cast<uint16_t>(count);
    euhNew.uSpareUnits = uSpareCount;
    euhNew.uAllocOffset = HiddenList(MediaType()) ? 0 : 1;
    euhNew.uPageSize = static_cast<uint16_t>(VbfPageSize());
    if (!ComputeFormattedSize())
        return 0;
    euhNew.ulEraseCount = 1;
    euhNew.ulSerial = ulSerialNew;
    euhNew.uCopySource = EUH_NO_SOURCE;
    return 1;
}

bool EraseWithVerify(uint32_t address, uint32_t length, uint16_t verify)
{
    const uint16_t saved = VerifyErase;
    VerifyErase = verify;
    const bool erased = oemerase(address, length) != 0;
    VerifyErase = saved;
    return erased;
}

bool Blank(uint32_t unit)
{
    uint8_t sector[SECTOR_SIZE];
    const uint32_t page = VbfPageSize();
    for (uint32_t address = unit; address < unit + ulUnitSizeNew; address += page) {
        if (!oemread(address, SECTOR_SIZE, sector, ACCESS_TYPE_DATA))
            return false;
        if (std::any_of(sector, sector + SECTOR_SIZE, [](uint8_t b) { return b != 0xFF; }))
            return false;
    }
    return true;
}

// A format in progress is marked on the first unit of its area by version bytes of 0, programmed over
// what the page holds (the current version and the older policy's both only lose bits to it), and
// the first unit is pre-erased and formatted last: until its header is written, a mount finds a format
// that did not finish, never a drive of old units and new ones mixed.
void MarkFormatInProgress(uint8_t *pPage)
{
    const uint32_t page = VbfPageSize();
    std::memset(pPage, 0xFF, page);
    std::memset(pPage + page - 3, 0, 3);
    oemwrite(ulAreaStart, static_cast<uint16_t>(page), pPage, ACCESS_TYPE_RAW);
}

// The units of the area with the first one last.
uint32_t NextUnit(uint32_t address, uint32_t unit)
{
    if (address == ulAreaStart)
        return ulFormatSize;
    address += unit;
    return address < ulFormatSize ? address : ulAreaStart;
}

void PreEraseMedia()
{
    uint32_t failed = 0;
    static uint8_t sector[LARGE_PAGE_SIZE];
    MarkFormatInProgress(sector);
    std::memset(sector, 0xFF, sizeof sector);
    std::memcpy(sector, acVbfSignature, sizeof acVbfSignature);
    std::memset(sector + VbfPageSize() - 3, 0, 3);
    const uint32_t first = ulAreaStart + ulUnitSizeNew < ulFormatSize ? ulAreaStart + ulUnitSizeNew : ulAreaStart;
    for (uint32_t address = first; address < ulFormatSize; address = NextUnit(address, ulUnitSizeNew)) {
        Progress(address, ulFormatSize);
        bool ok = bSkipErase && Blank(address);
        if (!ok)
            ok = EraseWithVerify(address, ulUnitSizeNew, 1);
        if (ok)
            ok = oemwrite(address, static_cast<uint16_t>(VbfPageSize()), sector, ACCESS_TYPE_RAW) != 0;
        if (ok)
            continue;
        if (!bDefaultSpareUnits) {
            uSpareCount++;
        } else if (++failed == uSpareCount) {
            uSpareCount++;
        }
    }
}

uint16_t FormatVbfUnits()
{
    if (!SetupEUH())
        return 0;
    const uint32_t unit = euhNew.ulUnitSize;
    uint64_t boundary = static_cast<uint64_t>(ulFormatSize) - static_cast<uint64_t>(uSpareCount) * unit;
    uint32_t skipped = 0;
    uint8_t sector[SECTOR_SIZE];
    EUH first;
    bool firstUsable = false;
    for (uint32_t address = euhNew.ulAreaStart; address < ulFormatSize; address += unit) {
        Progress(address, ulFormatSize);
        if (!oemread(address, SECTOR_SIZE, sector, ACCESS_TYPE_RAW) ||
            std::memcmp(sector, acVbfSignature, sizeof acVbfSignature) != 0) {
            boundary += unit;
            skipped += unit;
            continue;
        }
        EUH h = euhNew;
        if (address < boundary) {
            h.uState = EUH_STATE_VALID;
            h.ulRegionAddress = ((address - euhNew.ulAreaStart - skipped) / VBF_RAW_REGION) * euhNew.ulRegionSize;
            SetCheckSum(&h);
        } else {
            h.uState = EUH_STATE_SPARE;
            h.ulRegionAddress = VBF_NO_REGION;
            h.ucCheckSum = 0xFF;
        }
        if (address == euhNew.ulAreaStart) {
            first = h;
            firstUsable = true;
            continue;
        }
        if (!EraseWithVerify(address, mediaInfo.ulBlockSize, 0) || !FormatUnit(address, &h))
            return 0;
    }
    // The first unit's header ends the format.
    if (firstUsable &&
        (!EraseWithVerify(euhNew.ulAreaStart, mediaInfo.ulBlockSize, 0) || !FormatUnit(euhNew.ulAreaStart, &first)))
        return 0;
    return 1;
}

// Units of an earlier format below the new area start would be found first by a mount.
void ClearBelowArea()
{
    uint8_t sector[SECTOR_SIZE];
    for (uint32_t address = 0; address < ulAreaStart; address += mediaInfo.ulBlockSize)
        if (oemread(address, SECTOR_SIZE, sector, ACCESS_TYPE_RAW) && sector[0] == 0xCC && sector[1] == 0xDD)
            oemerase(address, mediaInfo.ulBlockSize);
}

} // namespace

uint32_t VbfPageSize()
{
    return lpThisMedia->bLLMode ? LARGE_PAGE_SIZE : SMALL_PAGE_SIZE;
}

uint16_t VbfPageShift()
{
    return lpThisMedia->bLLMode ? 11 : 9;
}

uint16_t vbfformat(uint32_t ulSerial, int32_t lCushion, uint32_t *pulSize, uint32_t *pulStart, uint32_t *pulSpares)
{
    oemmediainfo(&mediaInfo);
    if (mediaInfo.ulMediaSize == 0 || mediaInfo.ulBlockSize == 0)
        return 0;
    // The drive's mapping in memory no longer holds once its flash is formatted again.
    VbfForgetDrive();
    if (lCushion != static_cast<int32_t>(VBF_DEFAULT)) {
        if (lCushion < 1 || lCushion > 25)
            return 0;
        uCushionDivisor = static_cast<uint16_t>(100 / lCushion);
    }
    const uint32_t page = VbfPageSize();
    const bool defaultSize = *pulSize == VBF_DEFAULT;
    if (!defaultSize) {
        if (*pulSize >= mediaInfo.ulMediaSize)
            return 0;
        ulFormatSize = *pulSize;
    } else {
        ulFormatSize = mediaInfo.ulMediaSize - mediaInfo.ulMediaSize % mediaInfo.ulBlockSize;
    }
    ulUnitSizeNew = ComputeUnitSize();
    if (ulUnitSizeNew == 0)
        return 0;
    if (defaultSize)
        ulFormatSize -= ulFormatSize % ulUnitSizeNew;
    if (ulFormatSize == 0 || ulFormatSize % page || ulFormatSize % mediaInfo.ulBlockSize ||
        ulFormatSize <= mediaInfo.ulBlockSize)
        return 0;
    *pulSize = ulFormatSize;

    uint32_t start = *pulStart == VBF_DEFAULT ? 0 : *pulStart;
    if (start > VBF_MOUNT_WINDOW)
        return 0;
    start = RoundUp(start, ulUnitSizeNew);
    if (start > 0xF0000)
        start -= ulUnitSizeNew;
    // A mount looks for headers below 1 MB only: an area starting there could never be found.
    if (start >= VBF_MOUNT_WINDOW || start >= ulFormatSize)
        return 0;
    ulAreaStart = start;
    *pulStart = start;

    if (*pulSpares == VBF_DEFAULT) {
        bDefaultSpareUnits = 1;
        uSpareCount = static_cast<uint16_t>(mediaInfo.ulMediaSize / kSparePerBytes + 1);
    } else {
        bDefaultSpareUnits = 0;
        uSpareCount = static_cast<uint16_t>(*pulSpares);
    }
    ulSerialNew = ulSerial;

    ClearBelowArea();
    PreEraseMedia();
    printk("-----: Pre-Erase Media Done : 100%%\n");
    *pulSpares = uSpareCount;
    if (!FormatVbfUnits())
        return 0;
    printk("-----: FormatVbfUnits Done : 100%%\n");
    return vbfwriteEUHversion(ulAreaStart, VBF_FORMAT_VERSION);
}

namespace {

// The one rule of trust for the header page read last: two copies that agree byte for byte and make a
// valid header, else a copy that is valid with a good checksum; -1 when no copy can be trusted.
int TrustedCopy()
{
    EUH h;
    for (unsigned i = 0; i < 2; i++)
        for (unsigned j = i + 1; j < 3; j++)
            if (std::memcmp(euhPage + kCopyOffsets[i], euhPage + kCopyOffsets[j], sizeof h) == 0) {
                std::memcpy(&h, euhPage + kCopyOffsets[i], sizeof h);
                if (IsValidEUH(&h))
                    return static_cast<int>(i);
            }
    for (unsigned i = 0; i < 3; i++) {
        std::memcpy(&h, euhPage + kCopyOffsets[i], sizeof h);
        if (h.uState == EUH_STATE_VALID && IsValidEUH(&h))
            return static_cast<int>(i);
    }
    return -1;
}

} // namespace

uint16_t ReadEUH(uint32_t ulAddress, EUH *pEuh, uint16_t bRepair)
{
    const uint32_t page = VbfPageSize();
    std::memset(euhPage, 0xFF, sizeof euhPage);
    if (!oemread(ulAddress, static_cast<uint16_t>(page), euhPage, ACCESS_TYPE_RAW)) {
        std::memset(pEuh, 0xFF, sizeof *pEuh);
        return 0;
    }
    const int trusted = TrustedCopy();
    if (trusted < 0) {
        // Moving the block would mend nothing and spend a reserve block at every mount.
        if (bRepair && euhPage[256] != 0xFF)
            printk("TESSARO error: ReadEUH on device %d \n", uCurrentDrive);
        std::memcpy(pEuh, euhPage, sizeof *pEuh);
        return 0;
    }
    std::memcpy(pEuh, euhPage + kCopyOffsets[trusted], sizeof *pEuh);
    bool whole = true;
    for (uint32_t offset : kCopyOffsets)
        whole = whole && std::memcmp(euhPage + offset, pEuh, sizeof *pEuh) == 0;
    // A page whose third copy is unwritten is a header write cut short, not a worn page.
    if (bRepair && !whole && euhPage[256] != 0xFF) {
        for (uint32_t offset : kCopyOffsets)
            std::memcpy(euhPage + offset, pEuh, sizeof *pEuh);
        // The trusted copy has the header: a block that cannot be moved (reserve spent) keeps its
        // page as it is, and the unit is not lost over it.
        if (!oemprocessbadblock(1, euhPage, ulAddress))
            printk("TESSARO error: ReadEUH on device %d could not move the block at 0x%x\n", uCurrentDrive,
                   ulAddress);
    }
    return 1;
}

namespace {

uint16_t WriteEUHPage(uint32_t ulAddress, const EUH *pEuh, uint8_t uVersion)
{
    const uint32_t page = VbfPageSize();
    std::memset(lpcScratchData, 0xFF, page);
    for (uint32_t offset : kCopyOffsets)
        std::memcpy(lpcScratchData + offset, pEuh, sizeof *pEuh);
    std::memset(lpcScratchData + page - 3, uVersion, 3);
    return oemwrite(ulAddress, static_cast<uint16_t>(page), lpcScratchData, ACCESS_TYPE_RAW);
}

} // namespace

uint16_t WriteEUH(uint32_t ulAddress, const EUH *pEuh)
{
    return WriteEUHPage(ulAddress, pEuh, VBF_FORMAT_VERSION);
}

uint16_t FormatUnfinished(uint32_t ulAddress)
{
    const uint32_t page = VbfPageSize();
    if (!oemread(ulAddress, static_cast<uint16_t>(page), euhPage, ACCESS_TYPE_RAW))
        return 0;
    // Header writes and erases leave these bytes at the current version or unwritten, a bit error
    // changes one of them: two others are the mark, whole or torn.
    unsigned marked = 0;
    for (uint32_t i = page - 3; i < page; i++)
        marked += euhPage[i] != VBF_FORMAT_VERSION && euhPage[i] != 0xFF;
    return marked >= 2;
}

uint16_t LastEUHVersion(uint8_t *pVersion)
{
    const uint8_t *v = euhPage + VbfPageSize() - 3;
    if (v[0] != v[1] && v[0] != v[2] && v[1] != v[2])
        return 0;
    *pVersion = v[0] == v[1] || v[0] == v[2] ? v[0] : v[1];
    return 1;
}

uint16_t IsValidEUH(const EUH *pEuh)
{
    const uint16_t signature = static_cast<uint16_t>(pEuh->acSignature[0] | pEuh->acSignature[1] << 8);
    if (signature != kSignatureValue)
        return 0;
    if (pEuh->uState == EUH_STATE_VALID && CheckSum(pEuh, sizeof *pEuh) != 0)
        return 0;
    // Zero or implausible sizes would divide by zero or walk past the tables.
    const uint32_t unit = pEuh->ulUnitSize;
    if (unit == 0 || unit % VBF_MIN_UNIT || unit > VBF_RAW_REGION)
        return 0;
    if (pEuh->uPageSize != SMALL_PAGE_SIZE && pEuh->uPageSize != LARGE_PAGE_SIZE)
        return 0;
    if (pEuh->ulRegionSize == 0 || pEuh->ulRegionSize % pEuh->uPageSize ||
        pEuh->ulRegionSize / pEuh->uPageSize > 4095 || pEuh->ulRegionSize > VBF_RAW_REGION)
        return 0;
    if (pEuh->ulAreaStart % unit || pEuh->ulAreaStart >= VBF_MOUNT_WINDOW || pEuh->uUnitCount < 2)
        return 0;
    // No more client bytes than its data units hold.
    if (pEuh->uSpareUnits >= pEuh->uUnitCount || pEuh->ulFormattedSize == 0 ||
        pEuh->ulFormattedSize > static_cast<uint64_t>(pEuh->uUnitCount - pEuh->uSpareUnits) * unit)
        return 0;
    return 1;
}

uint8_t CheckSum(const EUH *pEuh, uint16_t uLength)
{
    const uint8_t *bytes = reinterpret_cast<const uint8_t *>(pEuh);
    uint8_t sum = 0;
    for (uint16_t i = 0; i < uLength; i++)
        sum = static_cast<uint8_t>(sum + bytes[i]);
    return sum;
}

void SetCheckSum(EUH *pEuh)
{
    pEuh->ucCheckSum = static_cast<uint8_t>(-CheckSum(pEuh, sizeof *pEuh - 1));
}

uint16_t ReadSoundEUH(uint32_t ulAddress, EUH *pEuh)
{
    return ReadEUH(ulAddress, pEuh, 0);
}

uint16_t MountEUH(EUH *pEuh)
{
    OemMediaInfo info;
    oemmediainfo(&info);
    if (info.ulBlockSize == 0)
        return 0;
    for (uint32_t address = 0; address < VBF_MOUNT_WINDOW && address < info.ulMediaSize; address += info.ulBlockSize)
        if (ReadSoundEUH(address, pEuh))
            return 1;
    return 0;
}

uint16_t FormatUnit(uint32_t ulAddress, EUH *pEuh)
{
    const uint32_t page = pEuh->uPageSize;
    AllocEntry system = {1, 0, ALLOC_SYSTEM};
    uint16_t type = ACCESS_TYPE_HIDDEN;
    if (pEuh->uAllocOffset != 0) {
        const uint32_t list = pEuh->ulUnitSize / page * 4;
        system.uLength = static_cast<uint8_t>(1 + std::max<uint32_t>(list / page, 1));
        type = ACCESS_TYPE_DATA;
    }
    const uint16_t saved = lpThisMedia->bUseVBFEcc;
    lpThisMedia->bUseVBFEcc = 1;
    const uint16_t written = oemwrite(ulAddress + pEuh->uAllocOffset * page, sizeof system,
                                      reinterpret_cast<const uint8_t *>(&system), type);
    lpThisMedia->bUseVBFEcc = saved;
    return written && WriteEUH(ulAddress, pEuh) ? 1 : 0;
}

uint16_t FormatSpareUnit(uint32_t ulAddress, EUH *pEuh)
{
    pEuh->uState = EUH_STATE_SPARE;
    pEuh->ucCheckSum = 0xFF;
    pEuh->uCopySource = EUH_NO_SOURCE;
    pEuh->ulRegionAddress = VBF_NO_REGION;
    pEuh->ulEraseCount++;
    if (!EraseUnit(ulAddress, pEuh->ulUnitSize))
        return 0;
    return FormatUnit(ulAddress, pEuh);
}

uint16_t EraseUnit(uint32_t ulAddress, uint32_t ulUnitSize)
{
    return oemerase(ulAddress, ulUnitSize) ? 1 : 0;
}

uint16_t vbfreadEUHversion(uint32_t ulAddress, uint8_t *pVersion)
{
    if (lpThisMedia->uType != MEDIA_TYPE_NAND)
        return 0;
    const uint32_t page = VbfPageSize();
    if (!oemread(ulAddress, static_cast<uint16_t>(page), euhPage, ACCESS_TYPE_DATA))
        return 0;
    uint8_t *v = euhPage + page - 3;
    if (v[0] == v[1] && v[1] == v[2]) {
        *pVersion = v[0];
        return 1;
    }
    const uint32_t last = page - SECTOR_SIZE;
    if (v[0] == v[1] || v[0] == v[2] || v[1] == v[2]) {
        const uint8_t value = v[0] == v[1] || v[0] == v[2] ? v[0] : v[1];
        v[0] = v[1] = v[2] = value;
        *pVersion = value;
        // The block moves with the mended sector; the vote has the version even where it cannot.
        oemprocessbadblock(1, euhPage + last, ulAddress + last);
        return 1;
    }
    printk("TESSARO error: EUHversion corrupted on device %d \n", uCurrentDrive);
    oemprocessbadblock(0, euhPage + last, ulAddress + last);
    return 0;
}

uint16_t vbfwriteEUHversion(uint32_t ulAddress, uint8_t uVersion)
{
    if (lpThisMedia->uType != MEDIA_TYPE_NAND)
        return 1;
    const uint32_t page = VbfPageSize();
    if (!oemread(ulAddress, static_cast<uint16_t>(page), euhPage, ACCESS_TYPE_DATA))
        return 0;
    std::memset(euhPage + page - 3, uVersion, 3);
    return oemwrite(ulAddress, static_cast<uint16_t>(page), euhPage, ACCESS_TYPE_DATA);
}

uint16_t vbfupgradepolicy()
{
    printk("   Upgrading protection Policy \n");
    if (lpThisMedia->uType == MEDIA_TYPE_NAND) {
        const uint32_t page = VbfPageSize();
        const uint32_t start = static_cast<uint32_t>(StartUnit()) * UnitSize();
        const uint32_t end = start + static_cast<uint32_t>(TotalUnits()) * UnitSize();
        // The headers keep the older version until every tag is upgraded: a mount after a cut in
        // between still takes the drive for one of the older policy and upgrades it again.
        for (uint32_t address = start; address < end; address += page) {
            if (address % 0x100000 == 0)
                printk("                  : %ld MB upgraded  \r", static_cast<long>((address - start) >> 20));
            if (address % UnitSize() == 0) {
                EUH h;
                // A unit without a valid header (bad at format, or cut short) has nothing to upgrade.
                if (ReadEUH(address, &h, 1)) {
                    uint8_t version = 0xFF;
                    LastEUHVersion(&version);
                    if (!WriteEUHPage(address, &h, version))
                        return 0;
                }
            }
            if (!oemupgradeECCtag(address))
                return 0;
        }
        for (uint32_t address = start; address < end; address += UnitSize()) {
            EUH h;
            if (ReadEUH(address, &h, 1) && !WriteEUH(address, &h))
                return 0;
        }
    }
    printk("   Upgrade succeded                     \n");
    return 1;
}
