// Stand-in for the board's configuration library "libconfig.so": reads and writes "config.rc".
//
// Grammar of our "config.rc", one entry per line; empty lines and lines starting with "#" are skipped:
//   version=<number>            (a file without it is version 1)
//   release=<text>
//   item=<name>|<second text>|<link text>|<start text>|<five start flags, 0 or 1>|<location>|<suffix>
// The location is empty, "S", "X" or "H"; it sets the matching found flag.
#include "../boardlibs.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

extern "C" {
char conf_error[256];
}

namespace {
constexpr int ITEM_FIELDS = 7;
constexpr int DEFAULT_VERSION = 1;

// Texts a table points to, owned here until the table is parsed again.
std::map<const ItemTable *, std::vector<std::unique_ptr<char[]>>> tableTexts;

char *keep(const ItemTable *table, const std::string &text)
{
    std::unique_ptr<char[]> copy(new char[text.size() + 1]);
    memcpy(copy.get(), text.c_str(), text.size() + 1);
    char *raw = copy.get();
    tableTexts[table].push_back(std::move(copy));
    return raw;
}

bool fail(const char *format, const std::string &a, int line)
{
    snprintf(conf_error, sizeof conf_error, format, line, a.c_str());
    return false;
}

bool copyField(char *field, size_t size, const std::string &text, const char *name, int line)
{
    if (text.size() >= size) {
        snprintf(conf_error, sizeof conf_error, "line %d: %s \"%s\" is longer than %zu characters", line, name,
                 text.c_str(), size - 1);
        return false;
    }
    memcpy(field, text.c_str(), text.size() + 1);
    return true;
}

std::vector<std::string> split(const std::string &text, char separator)
{
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
        const size_t end = text.find(separator, start);
        fields.push_back(text.substr(start, end - start));
        if (end == std::string::npos) return fields;
        start = end + 1;
    }
}

bool parseItem(ItemTable *table, ConfigItem *item, const std::string &value, int line)
{
    const std::vector<std::string> f = split(value, '|');
    if (f.size() != ITEM_FIELDS) return fail("line %d: an item has 7 fields separated by \"|\": %s", value, line);
    memset(item, 0, sizeof *item);
    item->name = f[0].empty() ? nullptr : keep(table, f[0]);
    item->second = keep(table, f[1]);
    if (!copyField(item->link, sizeof item->link, f[2], "link text", line) ||
        !copyField(item->start, sizeof item->start, f[3], "start text", line) ||
        !copyField(item->suffix, sizeof item->suffix, f[6], "suffix", line))
        return false;
    if (f[4].size() != ITEM_START_FLAGS || f[4].find_first_not_of("01") != std::string::npos)
        return fail("line %d: start flags are five digits 0 or 1: %s", f[4], line);
    for (int i = 0; i < ITEM_START_FLAGS; ++i) item->startFlags[i] = f[4][i] == '1';
    if (f[5] == "S") item->inSoft = 1;
    else if (f[5] == "X") item->inFlashext = 1;
    else if (f[5] == "H") item->inHdext = 1;
    else if (!f[5].empty()) return fail("line %d: unknown location \"%s\" (S, X or H)", f[5], line);
    item->location = f[5].empty() ? nullptr : keep(table, f[5]);
    return true;
}
}  // namespace

extern "C" {

int confSparse_config(const char *path, ItemTable *table, int maxItems)
{
    FILE *f = fopen(path, "r");
    if (!f) {
        snprintf(conf_error, sizeof conf_error, "cannot open %s: %s", path, strerror(errno));
        return -1;
    }
    ItemTable parsed;
    memset(&parsed, 0, sizeof parsed);
    parsed.version = DEFAULT_VERSION;
    bool ok = true;
    char *buffer = nullptr;
    size_t capacity = 0;
    int line = 0;
    while (ok && getline(&buffer, &capacity, f) >= 0) {
        ++line;
        std::string text(buffer);
        text.erase(text.find_last_not_of("\r\n") + 1);
        if (text.empty() || text[0] == '#') continue;
        const size_t eq = text.find('=');
        const std::string key = text.substr(0, eq);
        const std::string value = eq == std::string::npos ? "" : text.substr(eq + 1);
        if (eq == std::string::npos) {
            ok = fail("line %d: expected key=value: %s", text, line);
        } else if (key == "version") {
            parsed.version = static_cast<uint8_t>(atoi(value.c_str()));
        } else if (key == "release") {
            ok = copyField(parsed.release, sizeof parsed.release, value, "release", line);
        } else if (key == "item") {
            if (static_cast<int>(parsed.count) >= maxItems || parsed.count >= MAX_CONFIG_ITEMS)
                ok = fail("line %d: more than the table's items: %s", value, line);
            else
                ok = parseItem(&parsed, &parsed.items[parsed.count++], value, line);
        } else {
            ok = fail("line %d: unknown key %s", key, line);
        }
    }
    free(buffer);
    fclose(f);
    // The texts of the last good parse stay valid until a new parse of the same table succeeds.
    if (!ok) {
        tableTexts.erase(&parsed);
        return -1;
    }
    tableTexts[table] = std::move(tableTexts[&parsed]);
    tableTexts.erase(&parsed);
    memcpy(table, &parsed, sizeof parsed);
    return 0;
}

int confSconfig_file(const char *path, const ItemTable *table)
{
    const std::string temporary = std::string(path) + ".new";
    FILE *f = fopen(temporary.c_str(), "w");
    if (!f) {
        snprintf(conf_error, sizeof conf_error, "cannot create %s: %s", temporary.c_str(), strerror(errno));
        return -1;
    }
    fprintf(f, "version=%d\nrelease=%.*s\n", table->version, RELEASE_TEXT_SIZE - 1, table->release);
    for (uint32_t i = 0; i < table->count && i < MAX_CONFIG_ITEMS; ++i) {
        const ConfigItem &item = table->items[i];
        fprintf(f, "item=%s|%s|%.*s|%.*s|", item.name ? item.name : "", item.second ? item.second : "",
                ITEM_TEXT_SIZE - 1, item.link, ITEM_TEXT_SIZE - 1, item.start);
        for (int flag = 0; flag < ITEM_START_FLAGS; ++flag) fputc(item.startFlags[flag] ? '1' : '0', f);
        fprintf(f, "|%s|%.*s\n", item.location ? item.location : "", ITEM_SUFFIX_SIZE - 1, item.suffix);
    }
    // The old file stays whole until the new one is complete.
    if (fclose(f) != 0 || rename(temporary.c_str(), path) != 0) {
        snprintf(conf_error, sizeof conf_error, "cannot write %s: %s", path, strerror(errno));
        unlink(temporary.c_str());
        return -1;
    }
    return 0;
}

#ifndef CONFIG_WITHOUT_FIND_ITEM
int confSfind_item(const char *name, const ItemTable *table, int from)
{
    for (int i = from < 0 ? 0 : from; i < static_cast<int>(table->count) && i < MAX_CONFIG_ITEMS; ++i) {
        if (table->items[i].name && strcmp(table->items[i].name, name) == 0) return i;
    }
    return -1;
}
#endif

// OUT must hold at least strlen(NAME) + 1 characters: the short base name is never longer.
int confSshort_basename(const char *name, char *out)
{
    const char *slash = strrchr(name, '/');
    const std::string base = slash ? slash + 1 : name;
    for (size_t pos = base.size(); pos-- > 0;) {
        if (base[pos] != '_' || pos + 1 >= base.size()) continue;
        const char letter = base[pos + 1];
        const char after = pos + 2 < base.size() ? base[pos + 2] : '\0';
        if ((letter == 'a' || letter == 'b') && (after == '\0' || after == '_' || after == '.')) {
            memcpy(out, base.c_str(), pos);
            out[pos] = '\0';
            return 0;
        }
    }
    snprintf(conf_error, sizeof conf_error, "%s has no _a or _b part", name);
    return 1;
}
}
