// The flash kit's small runtime.
#include "kit/kit.h"

#include "services/services.h"

#include <cstdarg>
#include <cstddef>

namespace {

constexpr uint16_t kMaxDigits = 32;
constexpr uint16_t kWintPoints = 9;
constexpr uint16_t kWintCountdown = 20;
constexpr uint16_t kWintBudget = 5;

constexpr uint16_t kHeadsStart = 2;
constexpr uint16_t kHeadsMax = 64;
constexpr uint16_t kTrackStart = 16;
constexpr uint16_t kTrackStep = 16;
constexpr uint16_t kTrackMax = 63;
constexpr uint32_t kCylindersMax = 1024;

// Write-interruption state.
uint16_t wint_point = 0;
uint16_t wint_countdown = kWintCountdown;
uint16_t wint_budget = kWintBudget;
bool wint_done = true;

// Appends to the print buffer, dropping what does not fit.
class Output {
public:
    void put(char c)
    {
        if (length_ + 1 < KIT_PRINT_BUFFER)
            prbuff[length_++] = c;
    }
    void put(const char *text, char fill, unsigned width)
    {
        unsigned count = 0;
        while (text[count])
            count++;
        for (; width > count; width--)
            put(fill);
        while (*text)
            put(*text++);
    }
    void finish() { prbuff[length_] = '\0'; }

private:
    uint16_t length_ = 0;
};

// Digits of an unsigned value, without padding.
void digits(char *buffer, unsigned long long value, unsigned radix)
{
    char reversed[sizeof(unsigned long long) * 8 + 1];
    unsigned count = 0;
    do {
        unsigned digit = static_cast<unsigned>(value % radix);
        reversed[count++] = static_cast<char>(digit < 10 ? '0' + digit : 'A' + digit - 10);
        value /= radix;
    } while (value != 0);
    while (count)
        *buffer++ = reversed[--count];
    *buffer = '\0';
}

void lower(char *text)
{
    for (; *text; text++)
        if (*text >= 'A' && *text <= 'F')
            *text = static_cast<char>(*text - 'A' + 'a');
}

} // namespace

char prbuff[KIT_PRINT_BUFFER];
char fillchar = '0';

namespace kit {

long atol(const char *pText)
{
    long lValue = 0;
    for (; *pText >= '0' && *pText <= '9'; pText++)
        lValue = lValue * 10 + (*pText - '0');
    return lValue;
}

int atoi(const char *pText)
{
    return static_cast<int>(atol(pText));
}

int printf(const char *pFormat, ...)
{
    va_list args;
    va_start(args, pFormat);
    Output out;
    char number[sizeof(unsigned long long) * 8 + 2];
    for (const char *p = pFormat; *p; p++) {
        if (*p != '%') {
            out.put(*p);
            continue;
        }
        p++;
        char fill = ' ';
        if (*p == '0') {
            fill = '0';
            p++;
        }
        unsigned width = 0;
        while (*p >= '0' && *p <= '9')
            width = width * 10 + static_cast<unsigned>(*p++ - '0');
        bool isLong = false;
        if (*p == 'l') {
            isLong = true;
            p++;
        }
        switch (*p) {
        case '%':
            out.put('%');
            break;
        case 'c': {
            char text[2] = {static_cast<char>(va_arg(args, int)), '\0'};
            out.put(text, ' ', width);
            break;
        }
        case 's': {
            const char *text = va_arg(args, const char *);
            out.put(text ? text : "(null)", ' ', width);
            break;
        }
        case 'd': {
            long long value = isLong ? va_arg(args, long) : va_arg(args, int);
            unsigned long long magnitude =
                value < 0 ? 0ULL - static_cast<unsigned long long>(value) : static_cast<unsigned long long>(value);
            digits(number + 1, magnitude, 10);
            if (value < 0 && fill == '0') {
                // The sign goes before zero padding, as in "-0042".
                out.put('-');
                out.put(number + 1, fill, width ? width - 1 : 0);
            } else if (value < 0) {
                number[0] = '-';
                out.put(number, fill, width);
            } else {
                out.put(number + 1, fill, width);
            }
            break;
        }
        case 'u':
        case 'x':
        case 'X': {
            unsigned long long value = isLong ? va_arg(args, unsigned long) : va_arg(args, unsigned int);
            digits(number, value, *p == 'u' ? 10 : 16);
            if (*p == 'x')
                lower(number);
            out.put(number, fill, width);
            break;
        }
        case 'p':
            digits(number, reinterpret_cast<uintptr_t>(va_arg(args, void *)), 16);
            lower(number);
            out.put(number, fill, width);
            break;
        case '\0':
            p--;
            break;
        default:
            out.put('%');
            out.put(*p);
            break;
        }
    }
    va_end(args);
    out.finish();
    return puts(prbuff);
}

int puts(const char *pText)
{
    int count = 0;
    for (; count < KIT_PUTS_LIMIT && pText[count]; count++) {
        if (pText[count] == '\n')
            _sysputc('\r');
        _sysputc(pText[count]);
    }
    return count;
}

char *gets(char *pBuffer, uint16_t uSize)
{
    uint16_t uLength = 0;
    while (uSize != 0 && uLength + 1 < uSize) {
        int c = _sysgetc();
        if (c == '\r' || c <= 0)
            break;
        _sysputc(static_cast<char>(c));
        pBuffer[uLength++] = static_cast<char>(c);
    }
    if (uSize != 0)
        pBuffer[uLength] = '\0';
    return pBuffer;
}

} // namespace kit

char *xitoa(char *pBuffer, uint32_t ulValue, uint16_t uRadix, uint16_t uWidth)
{
    if (uRadix < 2 || uRadix > 16)
        uRadix = 10;
    char number[kMaxDigits + 1];
    digits(number, ulValue, uRadix);
    uint16_t uLength = 0;
    while (number[uLength])
        uLength++;
    char *p = pBuffer;
    for (; uWidth > uLength; uWidth--)
        *p++ = fillchar;
    for (uint16_t i = 0; i <= uLength; i++)
        *p++ = number[i];
    return pBuffer;
}

void _sysassert(uint16_t uArea, uint16_t uCode)
{
    kit::printf("TSERR Code %u.%u\n", uArea, uCode);
}

void BuildCHS(uint32_t *pulSectors, uint16_t *puHeads, uint16_t *puSectorsPerTrack, uint16_t *puCylinders)
{
    const uint32_t ulSectors = *pulSectors;
    uint32_t ulHeads = kHeadsStart;
    uint32_t ulTrack = kTrackStart;
    uint32_t ulCylinders = ulSectors / (ulHeads * ulTrack);
    while (ulCylinders > kCylindersMax) {
        while (ulHeads < kHeadsMax && ulCylinders >= kCylindersMax) {
            ulHeads += 2;
            ulCylinders = ulSectors / (ulHeads * ulTrack);
        }
        while (ulTrack < kTrackMax && ulCylinders >= kCylindersMax) {
            ulTrack = ulTrack + kTrackStep > kTrackMax ? kTrackMax : ulTrack + kTrackStep;
            ulCylinders = ulSectors / (ulHeads * ulTrack);
        }
        if (ulHeads == kHeadsMax && ulTrack == kTrackMax)
            break;
    }
    // A disk too large for 16-bit cylinders reports the most that fits.
    if (ulCylinders > 0xFFFF)
        ulCylinders = 0xFFFF;
    *puHeads = static_cast<uint16_t>(ulHeads);
    *puSectorsPerTrack = static_cast<uint16_t>(ulTrack);
    *puCylinders = static_cast<uint16_t>(ulCylinders);
    *pulSectors = ulHeads * ulCylinders * ulTrack;
}

void VbfWintStart()
{
    wint_point = 0;
    wint_countdown = kWintCountdown;
    wint_budget = kWintBudget;
    wint_done = false;
}

uint16_t VbfWriteInt(uint16_t uPoint)
{
    if (wint_done || uPoint != wint_point)
        return 0;
    if (--wint_countdown != 0)
        return 0;
    wint_countdown = kWintCountdown;
    if (wint_budget == 0) {
        wint_budget = kWintBudget;
        if (++wint_point >= kWintPoints)
            wint_done = true;
        return 0;
    }
    wint_budget--;
    return 1;
}

uint16_t VbfWintDone()
{
    return wint_done ? 1 : 0;
}

void VbfWintEnd()
{
    kit::printf("\n  %u possible interruptions, %u total tested.\n", kWintPoints, kWintPoints * kWintBudget);
}
