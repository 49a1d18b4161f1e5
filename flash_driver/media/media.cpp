// The media layer: checks every request against the current drive's record, marks the drive busy for
// its duration and hands it to the device operation that fits the access type.
#include "media/media.h"

#include "bbm/bbm.h"
#include "hostkernel/kernel.h"
#include "nand/nand_chip.h"
#include "nand/nand_ops.h"
#include "services/services.h"

#include <cstring>

namespace {

const char kRevision[] = "TSR-4711-2.4.17/012.001";

// A range [start, start + length) inside [0, total), without wrapping in 32 bits.
bool InRange(uint32_t ulStart, uint32_t ulLength, uint32_t ulTotal)
{
    return ulStart <= ulTotal && ulLength <= ulTotal - ulStart;
}

// The checks that oemread and oemwrite share; the request lengths that each access type can carry
// are checked here so that no device operation writes past the caller's buffer.
bool Acceptable(uint32_t ulStart, uint16_t uLength, const void *pBuffer, uint16_t uType)
{
    const ExtndMediaInfo &media = *lpThisMedia;
    if (media.bChanged || (media.uStatus & STATUS_NO_ACCESS) || pBuffer == nullptr || uLength == 0)
        return false;
    if ((uLength & 1) || (ulStart & 1) || !InRange(ulStart, uLength, media.ulTotalSize))
        return false;
    switch (uType) {
    case ACCESS_TYPE_DATA:
    case ACCESS_TYPE_RAW:
        return true;
    case ACCESS_TYPE_HIDDEN:
        return uLength % TAG_SIZE == 0;
    case ACCESS_TYPE_SPARE:
        return (media.uFlags & MEDIA_FLAG_EXTENDED) && media.lpExtndDevice != nullptr && uLength >= SPARE_SIZE;
    case ACCESS_TYPE_ECC:
        return uLength % SECTOR_SIZE == 0;
    default:
        return false;
    }
}

} // namespace

ExtndMediaInfo extndMediaInfo[MAX_DRIVES];
uint16_t uCurrentDrive;
ExtndMediaInfo *lpThisMedia = &extndMediaInfo[0];
uint8_t lpcScratchData[LARGE_PAGE_SIZE];

const DeviceInterface devNAND512 = {NANDMount, NANDUnMount, NANDRead, NANDHiddenRead,
                                    NANDWrite, NANDHiddenWrite, NANDErase};
const DeviceInterface devNAND2048 = {NANDMount, NANDUnMount, NANDRead, NANDHiddenReadLarge,
                                     NANDWrite, NANDHiddenWriteLarge, NANDErase};
const DeviceInterface devStub = {ROMMount, ROMUnMount, FailRead, FailRead, FailWrite, FailWrite, FailErase};
const ExtndDeviceInterface extndDevNAND = {NANDRedundantRead, NANDRedundantWrite};
const ExtndDeviceInterface extndDevNAND2048 = {NANDRedundantReadLarge, NANDRedundantWriteLarge};
const DeviceInterface *const deviceList[3] = {&devNAND512, &devNAND2048, &devStub};

uint16_t oeminit(uint32_t, uint16_t *puDrives)
{
    printk("Tessaro revision number %s\n", kRevision);
    if (!InitHardware())
        return 0;
    uint16_t uDrives = 0;
    for (uint16_t uDrive = 0; uDrive < MAX_DRIVES; uDrive++) {
        oemsetcurrentdrive(uDrive);
        oemmount();
        if (lpThisMedia->ulMediaSize != 0)
            uDrives++;
    }
    *puDrives = uDrives;
    return 1;
}

void oemuninit()
{
    UnInitHardware();
}

void oemreset()
{
    std::memset(extndMediaInfo, 0, sizeof extndMediaInfo);
    uCurrentDrive = 0;
    lpThisMedia = &extndMediaInfo[0];
    std::memset(lpcScratchData, 0, sizeof lpcScratchData);
    bbmreset();
    NANDResetState();
    NANDChipResetState();
    HooksResetState();
}

uint16_t oemsetcurrentdrive(uint16_t uDrive)
{
    if (uDrive >= MAX_DRIVES)
        return 0;
    uCurrentDrive = uDrive;
    lpThisMedia = &extndMediaInfo[uDrive];
    return 1;
}

uint16_t oemmount()
{
    BeginAccess(ACCESS_WRITE);
    // The two NAND records share one Mount: detection (and a first format) runs once, not twice.
    uint16_t (*tried)() = nullptr;
    for (const DeviceInterface *device : deviceList) {
        if (device->Mount == tried)
            continue;
        tried = device->Mount;
        lpThisMedia->lpDevice = device;
        if (device->Mount())
            break;
    }
    if (lpThisMedia->lpDevice == &devStub)
        lpThisMedia->lpExtndDevice = nullptr;
    EndAccess(ACCESS_WRITE);
    return lpThisMedia->uStatus;
}

void oemunmount()
{
    if (lpThisMedia->lpDevice != nullptr)
        lpThisMedia->lpDevice->UnMount();
}

uint16_t oemread(uint32_t ulStart, uint16_t uLength, uint8_t *pBuffer, uint16_t uType)
{
    CheckStatus();
    if (!Acceptable(ulStart, uLength, pBuffer, uType))
        return 0;
    ExtndMediaInfo &media = *lpThisMedia;
    BeginAccess(ACCESS_READ);
    const uint16_t bUseECC = media.bUseECC;
    const uint16_t bUseVBFEcc = media.bUseVBFEcc;
    uint16_t uResult = 0;
    switch (uType) {
    case ACCESS_TYPE_DATA:
    case ACCESS_TYPE_RAW:
        media.bUseECC = 0;
        uResult = media.lpDevice->Read(ulStart, uLength, pBuffer);
        break;
    case ACCESS_TYPE_ECC:
        media.bUseECC = 1;
        uResult = media.lpDevice->Read(ulStart, uLength, pBuffer);
        break;
    case ACCESS_TYPE_HIDDEN:
        media.bUseVBFEcc = 1;
        uResult = media.lpDevice->HiddenRead(ulStart, uLength, pBuffer);
        break;
    case ACCESS_TYPE_SPARE:
        uResult = media.lpExtndDevice->RedundantRead(ulStart, uLength, pBuffer);
        break;
    }
    EndAccess(ACCESS_READ);
    if (uResult == 0)
        printk("<4>oemreadFailed type=%d ulStart=0x%x uLength=0x%x bUseECC=%d bUseVBFEcc=%d\n", uType, ulStart,
               uLength, media.bUseECC, media.bUseVBFEcc);
    media.bUseECC = bUseECC;
    media.bUseVBFEcc = bUseVBFEcc;
    return uResult;
}

uint16_t oemwrite(uint32_t ulStart, uint16_t uLength, const uint8_t *pBuffer, uint16_t uType)
{
    CheckStatus();
    if ((lpThisMedia->uStatus & STATUS_READ_ONLY) || !Acceptable(ulStart, uLength, pBuffer, uType))
        return 0;
    ExtndMediaInfo &media = *lpThisMedia;
    BeginAccess(ACCESS_WRITE);
    const uint16_t bUseECC = media.bUseECC;
    uint16_t uResult = 0;
    switch (uType) {
    case ACCESS_TYPE_DATA:
    case ACCESS_TYPE_RAW:
        media.bUseECC = 0;
        uResult = media.lpDevice->Write(ulStart, uLength, pBuffer);
        break;
    case ACCESS_TYPE_ECC:
        media.bUseECC = 1;
        uResult = media.lpDevice->Write(ulStart, uLength, pBuffer);
        break;
    case ACCESS_TYPE_HIDDEN:
        uResult = media.lpDevice->HiddenWrite(ulStart, uLength, pBuffer);
        break;
    case ACCESS_TYPE_SPARE:
        uResult = media.lpExtndDevice->RedundantWrite(ulStart, uLength, pBuffer);
        break;
    }
    EndAccess(ACCESS_WRITE);
    media.bUseECC = bUseECC;
    return uResult;
}

int16_t oemerase(uint32_t ulStart, uint32_t ulLength)
{
    CheckStatus();
    const ExtndMediaInfo &media = *lpThisMedia;
    if (media.bChanged || (media.uStatus & (STATUS_NO_ACCESS | STATUS_READ_ONLY)))
        return 0;
    if (ulLength == 0 || (ulLength & 1) || (ulStart & 1) || media.ulBlockSize == 0)
        return 0;
    if (ulLength % media.ulBlockSize != 0 || ulStart % media.ulBlockSize != 0 ||
        !InRange(ulStart, ulLength, media.ulTotalSize))
        return 0;
    BeginAccess(ACCESS_ERASE);
    const int16_t iResult = static_cast<int16_t>(media.lpDevice->Erase(ulStart, ulLength));
    EndAccess(ACCESS_ERASE);
    return iResult;
}

uint16_t oemstatus()
{
    CheckStatus();
    const uint16_t uStatus = lpThisMedia->uStatus;
    lpThisMedia->uStatus &= static_cast<uint16_t>(~(STATUS_EVENT_1 | STATUS_EVENT_2));
    return uStatus;
}

uint16_t oemchanged()
{
    CheckStatus();
    if (!lpThisMedia->bChanged)
        return 0;
    lpThisMedia->bChanged = 0;
    return 1;
}

void oemmediainfo(OemMediaInfo *pInfo)
{
    const ExtndMediaInfo &media = *lpThisMedia;
    pInfo->uTypeFlags = static_cast<uint16_t>(media.uType | (media.uFlags << 8));
    pInfo->ulMediaSize = media.ulMediaSize;
    pInfo->ulBlockSize = media.ulBlockSize;
    pInfo->bLargePage = media.bLargePage;
    pInfo->ulChipSize = media.ulChipSize;
    pInfo->ucMakerId = media.ucMakerId;
    pInfo->ucDeviceId = media.ucDeviceId;
    pInfo->ucIdByte4 = media.ucIdByte4;
}

void oempowerdown()
{
    ShutDownHardware();
}

uint16_t oeminterface(uint32_t ulArgument, uint16_t uCode)
{
    HardwareInterface(ulArgument, uCode);
    return uCode;
}

uint16_t oemprocessbadblock(int16_t bCopy, const uint8_t *pSector, uint32_t ulStart)
{
    if (lpThisMedia->uType != MEDIA_TYPE_NAND)
        return 1;
    return NANDRegisterBadBlock(static_cast<uint16_t>(bCopy), pSector, ulStart);
}

int16_t oemupgradeECCtag(uint32_t ulStart)
{
    return static_cast<int16_t>(NANDUpgradeEccTag(ulStart));
}
