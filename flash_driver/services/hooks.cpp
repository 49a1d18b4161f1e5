// Hooks of the media layer, the system-service shims and the stub device.
#include "services/services.h"

#include "media/media.h"

namespace {

uint16_t access_bit(uint16_t uKind)
{
    switch (uKind) {
    case ACCESS_READ:
        return STATUS_READING;
    case ACCESS_WRITE:
        return STATUS_WRITING;
    case ACCESS_ERASE:
        return STATUS_ERASING;
    default:
        return 0;
    }
}

} // namespace

uint16_t InitHardware()
{
    return 1;
}

void UnInitHardware()
{
}

void ShutDownHardware()
{
}

void HardwareInterface(uint32_t, uint16_t)
{
}

void CheckStatus()
{
    lpThisMedia->bChanged = 0;
}

uint16_t BeginAccess(uint16_t uKind)
{
    uint16_t bit = access_bit(uKind);
    if (bit)
        lpThisMedia->uStatus = static_cast<uint16_t>((lpThisMedia->uStatus | bit) & ~STATUS_IDLE);
    return lpThisMedia->uStatus;
}

uint16_t EndAccess(uint16_t uKind)
{
    uint16_t bit = access_bit(uKind);
    if (bit)
        lpThisMedia->uStatus = static_cast<uint16_t>((lpThisMedia->uStatus & ~bit) | STATUS_IDLE);
    return lpThisMedia->uStatus;
}

void *_sysmalloc(uint32_t ulSize)
{
    pgprot_t protection = PAGE_KERNEL;
    if (cpu_has_pge)
        protection = __pgprot(pgprot_val(PAGE_KERNEL) | _PAGE_GLOBAL);
    return __vmalloc(ulSize, GFP_KERNEL | __GFP_HIGHMEM, protection);
}

void _sysfree(void *pAddress)
{
    vfree(pAddress);
}

uint8_t _sysinp(uint16_t uPort)
{
    return inb(uPort);
}

uint8_t _sysoutp(uint16_t uPort, uint8_t ucValue)
{
    outb(ucValue, uPort);
    return ucValue;
}

void _sysputc(char c)
{
    printk("%c", c);
}

int _sysgetc()
{
    return 0;
}

uint16_t ROMMount()
{
    return 1;
}

void ROMUnMount()
{
}

uint16_t FailRead(uint32_t, uint16_t, uint8_t *)
{
    return 0;
}

uint16_t FailWrite(uint32_t, uint16_t, const uint8_t *)
{
    return 0;
}

uint16_t FailErase(uint32_t, uint32_t)
{
    return 0;
}
