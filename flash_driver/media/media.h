// The media layer: the one door to a flash drive. One media record per drive, the current-drive
// selection that every lower layer reads through lpThisMedia, and the device-interface records.
#ifndef TESSARO_MEDIA_MEDIA_H
#define TESSARO_MEDIA_MEDIA_H

#include <cstdint>

enum : uint16_t {
    MAX_DRIVES = 2,
};

enum : uint8_t {
    MEDIA_TYPE_NAND = 4,
    MEDIA_FLAG_EXTENDED = 0x40,  // the extended record (spare access) is present
    MEDIA_FLAG_BAD_MARKS = 0x80, // with 0x40: blocks are marked bad on the flash
};

// Bits of uStatus.
enum : uint16_t {
    STATUS_NO_ACCESS = 0x0100,
    STATUS_READ_ONLY = 0x0200,
    STATUS_READING = 0x0400,
    STATUS_WRITING = 0x0800,
    STATUS_ERASING = 0x1000,
    STATUS_EVENT_1 = 0x2000,
    STATUS_EVENT_2 = 0x4000,
    STATUS_IDLE = 0x8000,
    STATUS_BUSY_MASK = 0x7d00,
};

// Access kinds of BeginAccess and EndAccess.
enum : uint16_t {
    ACCESS_READ = 0,
    ACCESS_WRITE = 1,
    ACCESS_ERASE = 2,
};

// Access types of oemread and oemwrite.
enum : uint16_t {
    ACCESS_TYPE_DATA = 0,
    ACCESS_TYPE_HIDDEN = 1,
    ACCESS_TYPE_SPARE = 2,
    ACCESS_TYPE_RAW = 3,
    ACCESS_TYPE_ECC = 4,
};

enum : uint16_t {
    SECTOR_SIZE = 512,
    SPARE_SIZE = 16, // spare bytes of one 512-byte sector
    TAG_SIZE = 4,    // a hidden tag of the translation layer
    SMALL_PAGE_SIZE = 512,
    LARGE_PAGE_SIZE = 2048,
    LARGE_SPARE_SIZE = 64,
};

struct DeviceInterface {
    uint16_t (*Mount)();
    void (*UnMount)();
    uint16_t (*Read)(uint32_t ulStart, uint16_t uLength, uint8_t *pBuffer);
    uint16_t (*HiddenRead)(uint32_t ulHidden, uint16_t uLength, uint8_t *pBuffer);
    uint16_t (*Write)(uint32_t ulStart, uint16_t uLength, const uint8_t *pBuffer);
    uint16_t (*HiddenWrite)(uint32_t ulHidden, uint16_t uLength, const uint8_t *pBuffer);
    uint16_t (*Erase)(uint32_t ulStart, uint32_t ulLength);
};

struct ExtndDeviceInterface {
    uint16_t (*RedundantRead)(uint32_t ulStart, uint16_t uLength, uint8_t *pBuffer);
    uint16_t (*RedundantWrite)(uint32_t ulStart, uint16_t uLength, const uint8_t *pBuffer);
};

struct ExtndMediaInfo {
    uint8_t uType;
    uint8_t uFlags;
    uint16_t uStatus;
    uint32_t ulTotalSize;
    uint32_t ulMediaSize;
    uint32_t ulChipSize;
    uint32_t ulBlockSize;
    uint32_t ulBbmBlockSize;
    uint16_t uPageSize;
    uint16_t uSpareSize;
    const DeviceInterface *lpDevice;
    const ExtndDeviceInterface *lpExtndDevice;
    uint16_t bWaitPageEnd;
    uint16_t bWaitBlockEnd;
    uint16_t bChanged;
    uint16_t bLargePage;
    uint16_t bUseECC;
    uint16_t bUseVBFEcc;
    uint16_t bRawSpare;
    uint16_t bECCHasCorrectedData;
    uint16_t uProcData;
    uint8_t ucMakerId;
    uint8_t ucDeviceId;
    uint8_t ucIdByte4;
    uint16_t bLLMode;
};

// What oemmediainfo hands out; the control call copies it out as 36 bytes, the unused tail zero.
struct OemMediaInfo {
    uint16_t uTypeFlags;
    uint32_t ulMediaSize;
    uint32_t ulBlockSize;
    uint16_t bLargePage;
    uint32_t ulChipSize;
    uint8_t ucMakerId;
    uint8_t ucDeviceId;
    uint8_t ucIdByte4;
};

extern ExtndMediaInfo extndMediaInfo[MAX_DRIVES];
extern uint16_t uCurrentDrive;
extern ExtndMediaInfo *lpThisMedia;

extern const DeviceInterface devNAND512;
extern const DeviceInterface devNAND2048;
extern const DeviceInterface devStub;
extern const ExtndDeviceInterface extndDevNAND;
extern const ExtndDeviceInterface extndDevNAND2048;
extern const DeviceInterface *const deviceList[3];

// A page-sized scratch buffer that the translation layer borrows for header pages.
extern uint8_t lpcScratchData[LARGE_PAGE_SIZE];

uint16_t oeminit(uint32_t ulIgnored, uint16_t *puDrives);
void oemuninit();
// Every layer below the translation layer back to its state at load (caches, guards, selections).
void oemreset();
// Selects the drive that every later call acts on; 0 (and no change) for a drive outside the table.
uint16_t oemsetcurrentdrive(uint16_t uDrive);
uint16_t oemmount();
void oemunmount();
uint16_t oemread(uint32_t ulStart, uint16_t uLength, uint8_t *pBuffer, uint16_t uType);
uint16_t oemwrite(uint32_t ulStart, uint16_t uLength, const uint8_t *pBuffer, uint16_t uType);
int16_t oemerase(uint32_t ulStart, uint32_t ulLength);
uint16_t oemstatus();
uint16_t oemchanged();
void oemmediainfo(OemMediaInfo *pInfo);
void oempowerdown();
uint16_t oeminterface(uint32_t ulArgument, uint16_t uCode);
uint16_t oemprocessbadblock(int16_t bCopy, const uint8_t *pSector, uint32_t ulStart);
int16_t oemupgradeECCtag(uint32_t ulStart);

#endif
