// Texts: every user-visible text is a string resource, taken from the current language module first and
// from the program's own table second.
#pragma once

#include <windows.h>

#include <string>

// Longest text a resource may give, without the terminator.
constexpr int kMaxResStringLength = 511;

class CTaviString {
public:
    CTaviString() = default;
    CTaviString(const char *text) : m_text(text ? text : "") {}
    CTaviString(const std::string &text) : m_text(text) {}

    CTaviString &operator=(const std::string &text)
    {
        m_text = text;
        return *this;
    }
    // Loads text `id` (module first, then program); the number of characters loaded, 0 when missing.
    int LoadResString(UINT id);
    // Text `id`, or `fallback` when the text is missing everywhere.
    static CTaviString LoadOr(UINT id, const char *fallback);

    CTaviString operator+(const CTaviString &other) const { return CTaviString(m_text + other.m_text); }
    const std::string &Str() const { return m_text; }
    const char *c_str() const { return m_text.c_str(); }
    bool IsEmpty() const { return m_text.empty(); }

private:
    std::string m_text;
};

// The same rule into a plain string, for page and control texts; the count of characters loaded.
int LoadResString(std::string &text, UINT id);

// The language module currently loaded, or none (kept by the application object).
HMODULE TaviLanguageModule();

// Fallbacks for texts that a caller must show even when no table holds them.
extern const char kFallbackMainHardReady[];   // 61204
extern const char kFallbackHardReady1[];      // 61207
extern const char kFallbackService[];         // 61208
extern const char kFallbackPrepareTarget[];   // 61209

// The user-interface languages: locale identifier, two-letter code, menu command.
struct LanguageEntry {
    LANGID id;
    const char *code;
    UINT command;
};

// The entry of a locale identifier; identifiers outside the table give English's code and command.
LanguageEntry FindLanguage(int identifier);
// The identifier a language menu command switches to; 0 when the command is not a language command.
int LanguageOfCommand(UINT command);
// Every language command, in menu order.
const LanguageEntry *LanguageTable(size_t &count);
// The installer's "InstLanguage" text mapped to a locale identifier.
int LanguageFromInstaller(const std::string &instLanguage);

// The system's text for a Win32 error code, in the language of the "Language" setting, else in the
// user's default language; false when the system has none.
bool LoadSystemMessage(DWORD code, std::string &text);
