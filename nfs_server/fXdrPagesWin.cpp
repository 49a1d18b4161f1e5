#include "fXdr.h"

#include <windows.h>

// Uncached pages, so that reads with no system buffering land in them directly.
void *AllocatePages(uint32_t size)
{
    return VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE | PAGE_NOCACHE);
}

void FreePages(void *pages) { VirtualFree(pages, 0, MEM_RELEASE); }
