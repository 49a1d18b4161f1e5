#include "log.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

namespace {
constexpr const char *TIME_PREFIX_FORMAT = "%b %e %Y %T: ";

// Appends one line with PREFIX to LOG (standard error when it cannot be opened), in one write. A text that
// already ends its line, through its format or through an argument ("%s" of a whole line), gets no second
// newline.
void morvVlogTo(const char *log, const char *prefix, const char *format, va_list args)
{
    va_list measure;
    va_copy(measure, args);
    const int length = vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    std::string line(prefix);
    if (length > 0) {
        std::string text(static_cast<size_t>(length) + 1, '\0');
        vsnprintf(&text[0], text.size(), format, args);
        text.resize(static_cast<size_t>(length));
        line += text;
    }
    if (line.back() != '\n') line += '\n';
    FILE *f = fopen(log, "a");
    FILE *out = f ? f : stderr;
    fputs(line.c_str(), out);
    if (f) fclose(f);
}
}  // namespace

void morvVlogPrefix(char (&prefix)[LOG_PREFIX_SIZE])
{
    const time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    strftime(prefix, sizeof prefix, TIME_PREFIX_FORMAT, &local);
}

void morvVlog(const char *format, ...)
{
    char prefix[LOG_PREFIX_SIZE];
    morvVlogPrefix(prefix);
    va_list args;
    va_start(args, format);
    morvVlogTo(MAIN_LOG, prefix, format, args);
    va_end(args);
}

void morvVlogResources(const char *format, ...)
{
    char prefix[LOG_PREFIX_SIZE];
    morvVlogPrefix(prefix);
    va_list args;
    va_start(args, format);
    morvVlogTo(RESOURCES_LOG, prefix, format, args);
    va_end(args);
}

void morvVlogInChild(const char *prefix, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    morvVlogTo(MAIN_LOG, prefix, format, args);
    va_end(args);
}

void morvVreport_startup_info(const char *format, ...)
{
    FILE *f = fopen(START_INFO_LOG, "a");
    if (!f) {
        morvVlog("morvVreport_startup_info: fopen(%s) error: %s", START_INFO_LOG, strerror(errno));
        return;
    }
    va_list args;
    va_start(args, format);
    vfprintf(f, format, args);
    va_end(args);
    fclose(f);
}
