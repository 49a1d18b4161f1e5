#include "fXdr.h"

#include <cstdlib>

void *AllocatePages(uint32_t size) { return std::aligned_alloc(4096, (size + 4095u) & ~4095u); }

void FreePages(void *pages) { std::free(pages); }
