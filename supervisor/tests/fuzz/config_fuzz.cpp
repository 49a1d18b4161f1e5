// Fuzz target for the configuration readers: the item table of "config.rc" (first byte even), a program
// line of "conf.rc" (first byte 1 modulo 4) and a whole "conf.rc" (3 modulo 4; bits 2-3 choose the start
// mode). A table that reads is written back and must read the same; a program line that reads has a path,
// parameters and a failure letter within their fields; each line a "conf.rc" hands on has a letter and a
// rest within the line, and is carried out by nothing here.
#include "boardlibs.h"
#include "log.h"
#include "morvash.h"
#include "subconfig.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

extern "C" {
int confSparse_config(const char *path, ItemTable *table, int maxItems);
int confSconfig_file(const char *path, const ItemTable *table);
}

// The supervisor's logs are the board's files: here they go nowhere.
void morvVlog(const char *, ...) {}
void morvVlogResources(const char *, ...) {}
void morvVreport_startup_info(const char *, ...) {}
void morvVlogPrefix(char (&prefix)[LOG_PREFIX_SIZE])
{
    prefix[0] = '\0';
}
void morvVlogInChild(const char *, const char *, ...) {}

namespace {

void check(bool condition, const char *what)
{
    if (condition) return;
    fprintf(stderr, "broken expectation: %s\n", what);
    abort();
}

std::string text(const char *field)
{
    return field ? field : "(none)";
}

bool sameItem(const ConfigItem &a, const ConfigItem &b)
{
    return text(a.name) == text(b.name) && text(a.second) == text(b.second) && text(a.location) == text(b.location) &&
           strcmp(a.link, b.link) == 0 && strcmp(a.start, b.start) == 0 && strcmp(a.suffix, b.suffix) == 0 &&
           memcmp(a.startFlags, b.startFlags, sizeof a.startFlags) == 0 && a.inSoft == b.inSoft &&
           a.inFlashext == b.inFlashext && a.inHdext == b.inHdext;
}

void readTable(const uint8_t *data, size_t size)
{
    const int fd = memfd_create("config.rc", 0);
    if (fd < 0) return;
    if (write(fd, data, size) != static_cast<ssize_t>(size)) {
        close(fd);
        return;
    }
    char path[64];
    snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    static ItemTable table, again;
    const int parsed = confSparse_config(path, &table, MAX_CONFIG_ITEMS);
    close(fd);
    if (parsed != 0) return;
    check(table.count <= MAX_CONFIG_ITEMS, "at most the table's items");
    check(memchr(table.release, '\0', sizeof table.release) != nullptr, "the release ends within its field");
    check(confSconfig_file("config.rc", &table) == 0, "a table read is written");
    check(confSparse_config("config.rc", &again, MAX_CONFIG_ITEMS) == 0, "a table written reads again");
    check(again.count == table.count && again.version == table.version && strcmp(again.release, table.release) == 0,
          "the table reads back the same");
    for (uint32_t i = 0; i < table.count; ++i) check(sameItem(table.items[i], again.items[i]), "each item reads back the same");
}

void readProgramLine(const uint8_t *data, size_t size)
{
    const std::string rest(reinterpret_cast<const char *>(data), size);
    BinaryLine line;
    if (parse_formated_string_for_binary(rest.c_str(), &line) != 0) return;
    const size_t path = strnlen(line.path, sizeof line.path);
    check(path > 0 && path < sizeof line.path, "a program's path is there and within its field");
    check(strpbrk(line.path, " \t") == nullptr, "a path has no blanks");
    check(strnlen(line.params, sizeof line.params) < sizeof line.params, "parameters end within their field");
    check(line.failParam != '\0' && strchr("CFNRT", line.failParam) != nullptr, "a known failure letter");
    check(!line.hasTimeout || line.timeout >= 0, "a time-out given is a number of seconds");
}

int checkLine(char letter, const char *rest, const char *)
{
    check(letter != '\0' && letter != ' ' && letter != '\t', "a line's letter is its first non-blank character");
    check(!rest || strlen(rest) < SUBCONFIG_LINE_SIZE, "a line's rest lies within the line");
    if (rest && strchr("ADEST", letter)) readProgramLine(reinterpret_cast<const uint8_t *>(rest), strlen(rest));
    return 0;
}

void readSubconfig(uint8_t mode, const uint8_t *data, size_t size)
{
    const int fd = memfd_create("conf.rc", 0);
    if (fd < 0) return;
    if (write(fd, data, size) == static_cast<ssize_t>(size)) {
        char path[64];
        snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
        static const char modes[] = {0, START_MODE_LOCAL, START_MODE_NETWORK, 0};
        g_startMode = modes[mode % 4];
        check(morvIparseSubconfig(path, checkLine) == 0, "a file whose lines are all carried out reads whole");
    }
    close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0) return 0;
    if (data[0] % 2 == 0)
        readTable(data + 1, size - 1);
    else if (data[0] % 4 == 1)
        readProgramLine(data + 1, size - 1);
    else
        readSubconfig(static_cast<uint8_t>(data[0] >> 2), data + 1, size - 1);
    return 0;
}
