// Parameter keywords: a parameter word naming one is replaced by board data just before a child runs.
#include "driver.h"
#include "log.h"
#include "process.h"

#include <cstring>

namespace {
constexpr uint32_t SIGMOD_VALUE = 1;

struct Keyword {
    const char *name;
    // The keyword's text, or -1 when the board data cannot be read.
    int (*text)(const char *name, std::string *out);
};

int cpuConf(const char *name, std::string *out)
{
    CpuConfig config;
    if (pmrSgetCpuConfig(&config) != 0) return -1;
    *out = processSformatKeyword(name, &config, sizeof config, 1);
    return 0;
}

int netConf(const char *name, std::string *out)
{
    NetConfig config;
    if (pmrSgetNetConfig(&config) != 0) return -1;
    *out = processSformatKeyword(name, &config, sizeof config, 1);
    return 0;
}

int dipSwitch(const char *name, std::string *out)
{
    CpuConfig config;
    if (pmrSgetCpuConfig(&config) != 0) return -1;
    *out = processSformatKeyword(name, &config.dipSwitch, 1, 1);
    return 0;
}

int sigmod(const char *name, std::string *out)
{
    *out = processSformatKeyword(name, &SIGMOD_VALUE, 1, sizeof SIGMOD_VALUE);
    return 0;
}

const Keyword keywords[] = {
    {"cpu_conf", cpuConf},     {"net_conf", netConf},       {"dip_switch", dipSwitch},
    {"sigmod_ia", sigmod},     {"sigmod_voip", sigmod},     {"sigmod_ras", sigmod},
};

unsigned long long element(const void *values, int index, int size)
{
    const auto *bytes = static_cast<const unsigned char *>(values) + static_cast<size_t>(index) * size;
    switch (size) {
    case 1: return *bytes;
    case 2: { uint16_t v; memcpy(&v, bytes, sizeof v); return v; }
    case 4: { uint32_t v; memcpy(&v, bytes, sizeof v); return v; }
    default: { uint64_t v; memcpy(&v, bytes, sizeof v); return v; }
    }
}
}  // namespace

std::string processSformatKeyword(const char *keyword, const void *values, int count, int elementSize)
{
    if (count <= 0) return "";
    std::string text;
    if (count == 1) {
        text = std::string(keyword) + "=";
    } else {
        text = std::string(keyword) + "_lg=" + std::to_string(count) + " " + keyword + "=";
    }
    for (int i = 0; i < count; ++i) {
        if (i > 0) text += ",";
        text += std::to_string(element(values, i, elementSize));
    }
    return text;
}

void processVtreat_kw(std::vector<std::string> &words)
{
    for (std::string &word : words) {
        for (const Keyword &k : keywords) {
            if (word != k.name) continue;
            std::string text;
            const int result = k.text(k.name, &text);
            if (result != 0) {
                morvVlog("[processVtreat_kw] : Keyword [%s] failed [%d]\n", k.name, result);
                text = " ";
            }
            word = text;
            break;
        }
    }
}
