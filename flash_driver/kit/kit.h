// The flash kit's small runtime: number conversion, formatted console output through the kernel log,
// the assertion code line, the disk geometry of a drive and the write-interruption test aid.
#ifndef TESSARO_KIT_KIT_H
#define TESSARO_KIT_KIT_H

#include <cstdint>

// On the host the driver shares its process with the C library, so the kit's functions that carry
// C library names live in this namespace; the driver calls them as kit::printf and so on.
namespace kit {
long atol(const char *pText);
int atoi(const char *pText);
// Formats into the 100-byte prbuff (longer output is cut) and prints it through puts.
int printf(const char *pFormat, ...);
// Writes at most 150 characters to the kernel log, a carriage return before each line feed.
int puts(const char *pText);
// Reads console characters into pBuffer until a carriage return, the end of input or a full buffer,
// echoing them; returns pBuffer, always terminated.
char *gets(char *pBuffer, uint16_t uSize);
} // namespace kit

enum : uint16_t {
    KIT_PRINT_BUFFER = 100,
    KIT_PUTS_LIMIT = 150,
};

extern char prbuff[KIT_PRINT_BUFFER];
// Fill character of xitoa's left padding.
extern char fillchar;

// The digits of ulValue in uRadix (2 to 16, upper-case letters), left-padded with fillchar to uWidth;
// pBuffer must hold the longer of uWidth and 32 characters, plus the terminator.
char *xitoa(char *pBuffer, uint32_t ulValue, uint16_t uRadix, uint16_t uWidth);

// Prints "TSERR Code a.b" and a line end.
void _sysassert(uint16_t uArea, uint16_t uCode);

// A cylinders/heads/sectors geometry for a disk of *pulSectors sectors: heads up to 64, sectors per
// track up to 63, cylinders below 1024 where that is reachable; *pulSectors becomes the geometry's total.
void BuildCHS(uint32_t *pulSectors, uint16_t *puHeads, uint16_t *puSectorsPerTrack, uint16_t *puCylinders);

// Write-interruption test aid: VbfWriteInt(point) answers 1 where a simulated power loss should strike.
void VbfWintStart();
uint16_t VbfWriteInt(uint16_t uPoint);
uint16_t VbfWintDone();
void VbfWintEnd();

#endif
