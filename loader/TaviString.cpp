#include "TaviString.h"

#include "framework/Profile.h"
#include "res/resource.h"

#include <cstdlib>

const char kFallbackMainHardReady[] = "*!IDS_PRPG_MAIN_HARD_READY TBD";
const char kFallbackHardReady1[] = "*IDS_PRPG_HARD_READY1 not defined !!!";
const char kFallbackService[] = "*IDS_PRPG_SERVICE not defined !!!";
const char kFallbackPrepareTarget[] = "*IDS_PRPG_PREP_TARGET not defined !!!";

namespace {

constexpr LANGID kEnglish = 1033;

const LanguageEntry kLanguages[] = {
    {1033, "en", ID_LANGUAGE_EN}, {1036, "fr", ID_LANGUAGE_FR}, {1031, "de", ID_LANGUAGE_DE},
    {1034, "es", ID_LANGUAGE_ES}, {1040, "it", ID_LANGUAGE_IT}, {1038, "hu", ID_LANGUAGE_HU},
    {2070, "pt", ID_LANGUAGE_PT}, {1045, "pl", ID_LANGUAGE_PL}, {1029, "cz", ID_LANGUAGE_CZ},
    {1060, "si", ID_LANGUAGE_SI}, {1051, "sk", ID_LANGUAGE_SK}, {1043, "nl", ID_LANGUAGE_NL},
    {1048, "ro", ID_LANGUAGE_RO},
};

int LoadFrom(HMODULE module, UINT id, std::string &text)
{
    char buffer[kMaxResStringLength + 1] = {};
    int length = LoadStringA(module, id, buffer, sizeof buffer);
    text.assign(buffer, length > 0 ? static_cast<size_t>(length) : 0);
    return length > 0 ? length : 0;
}

}  // namespace

int LoadResString(std::string &text, UINT id)
{
    HMODULE module = TaviLanguageModule();
    if (module) {
        int length = LoadFrom(module, id, text);
        if (length > 0) return length;
    }
    return LoadFrom(GetModuleHandleA(nullptr), id, text);
}

int CTaviString::LoadResString(UINT id) { return ::LoadResString(m_text, id); }

CTaviString CTaviString::LoadOr(UINT id, const char *fallback)
{
    CTaviString text;
    if (text.LoadResString(id) == 0) text = std::string(fallback);
    return text;
}

LanguageEntry FindLanguage(int identifier)
{
    for (const LanguageEntry &entry : kLanguages)
        if (entry.id == identifier) return entry;
    return kLanguages[0];
}

int LanguageOfCommand(UINT command)
{
    for (const LanguageEntry &entry : kLanguages)
        if (entry.command == command) return entry.id;
    return 0;
}

const LanguageEntry *LanguageTable(size_t &count)
{
    count = sizeof kLanguages / sizeof kLanguages[0];
    return kLanguages;
}

int LanguageFromInstaller(const std::string &instLanguage)
{
    static const char *const kSameNumber[] = {"1036", "1029", "1038", "1040", "1043", "1045", "2070", "1060", "1051"};
    if (instLanguage == "9") return kEnglish;
    if (instLanguage == "7") return 1031;
    if (instLanguage == "10") return 1034;
    for (const char *number : kSameNumber)
        if (instLanguage == number) return std::atoi(number);
    return kEnglish;
}

bool LoadSystemMessage(DWORD code, std::string &text)
{
    constexpr DWORD kDefaultMessageLanguage = 1024;
    constexpr DWORD kMaxSystemText = 255;
    const DWORD language = static_cast<DWORD>(profile::GetInt(nullptr, "Language", kDefaultMessageLanguage));
    char buffer[kMaxSystemText + 1] = {};
    const DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    DWORD length = FormatMessageA(flags, nullptr, code, language, buffer, kMaxSystemText, nullptr);
    if (length == 0) length = FormatMessageA(flags, nullptr, code, kDefaultMessageLanguage, buffer, kMaxSystemText, nullptr);
    if (length == 0) return false;
    text.assign(buffer, length);
    return true;
}
