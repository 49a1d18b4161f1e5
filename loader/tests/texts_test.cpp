// Texts without a language module, the language table, the installer's language, log-line collapsing and
// board-error texts.
#include "BoardMessage.h"
#include "MyPages.h"
#include "TaviNewView.h"
#include "TaviString.h"
#include "res/resource.h"

#include <gtest/gtest.h>

TEST(Texts, WithoutAModuleTextsComeFromTheProgramAndMissingOnesAreEmpty)
{
    CTaviString text;
    EXPECT_EQ(5, text.LoadResString(IDS_IDLE_MESSAGE));
    EXPECT_EQ("Ready", text.Str());
    EXPECT_EQ(0, text.LoadResString(2001));
    EXPECT_TRUE(text.IsEmpty());
    EXPECT_EQ("*Multi CPU", CTaviString::LoadOr(IDS_MULTI_CPU, "x").Str());
    EXPECT_EQ(kFallbackHardReady1, CTaviString::LoadOr(IDS_PRPG_HARD_READY1, kFallbackHardReady1).Str());
    EXPECT_EQ("*IDS_PRPG_HARD_READY1 not defined !!!", std::string(kFallbackHardReady1));
}

TEST(Texts, TheProgramsTableHoldsItsTextsExactlyAndLeavesModuleTextsOut)
{
    const std::pair<UINT, const char *> own[] = {
        {104, "Windows sockets initialization failed."},
        {57344, "Tavi"},
        {57345, "Ready"},
        {57346, "Please wait processing"},
        {59137, "CAP"},
        {59138, "NUM"},
        {59139, "SCRL"},
        {59142, "          "},
        {32772, "*Changing the language\nLanguage"},
        {61204, "*Is the dip switch on CPU OK (tavi mode)?\nBe sure physical ethernet link is up\n-If you have "
                "selected a realease from a network volume, please wait until the next windows is activated "
                "before pluging the cross network cable on the PC."},
        {61205, "*Multi CPU"},
        {61206, "*Please Select country"},
    };
    for (const auto &[id, expected] : own) {
        CTaviString text;
        text.LoadResString(id);
        EXPECT_EQ(expected, text.Str()) << "text " << id;
    }
    // Control, button, message and board texts exist only in the language modules.
    const UINT moduleOnly[] = {1, 2, 9, 44, 77, 1024, 1033, 1036, 1064, 2000, 2006, 3012, 12321, 12323, 12324};
    for (UINT id : moduleOnly) {
        CTaviString text;
        EXPECT_EQ(0, text.LoadResString(id)) << "text " << id << ": " << text.Str();
    }
}

TEST(Languages, TheProgramsMenuNamesEachLanguageInItsOwnLetters)
{
    HMENU menu = LoadMenuW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDR_MAINFRAME));
    ASSERT_NE(nullptr, menu);
    const std::pair<UINT, const wchar_t *> names[] = {
        {ID_LANGUAGE_FR, L"Fran\u00E7ais"}, {ID_LANGUAGE_ES, L"Espa\u00F1ol"},     {ID_LANGUAGE_CZ, L"\u010Cesky"},
        {ID_LANGUAGE_SI, L"Sloven\u0161\u010Dina"}, {ID_LANGUAGE_SK, L"Sloven\u010Dina"}, {ID_LANGUAGE_RO, L"Rom\u00E2n\u0103"},
    };
    for (const auto &[command, expected] : names) {
        wchar_t text[64] = {};
        GetMenuStringW(menu, command, text, 64, MF_BYCOMMAND);
        EXPECT_EQ(std::wstring(expected), text) << "command " << command;
    }
    DestroyMenu(menu);
}

TEST(Languages, TableGivesCodeAndCommandAndUnknownIdentifiersGiveEnglish)
{
    EXPECT_STREQ("ro", FindLanguage(1048).code);
    EXPECT_EQ(UINT(ID_LANGUAGE_RO), FindLanguage(1048).command);
    EXPECT_STREQ("pt", FindLanguage(2070).code);
    EXPECT_STREQ("en", FindLanguage(1049).code);
    EXPECT_EQ(UINT(ID_LANGUAGE_EN), FindLanguage(1049).command);
    EXPECT_EQ(1036, LanguageOfCommand(ID_LANGUAGE_FR));
    EXPECT_EQ(0, LanguageOfCommand(ID_APP_ABOUT));
    size_t count = 0;
    LanguageTable(count);
    EXPECT_EQ(13u, count);
}

TEST(Languages, InstallerChoiceMapsToAnIdentifier)
{
    EXPECT_EQ(1033, LanguageFromInstaller("9"));
    EXPECT_EQ(1031, LanguageFromInstaller("7"));
    EXPECT_EQ(1034, LanguageFromInstaller("10"));
    EXPECT_EQ(1036, LanguageFromInstaller("1036"));
    EXPECT_EQ(2070, LanguageFromInstaller("2070"));
    EXPECT_EQ(1033, LanguageFromInstaller("1048"));
    EXPECT_EQ(1033, LanguageFromInstaller(""));
    EXPECT_EQ(1033, LanguageFromInstaller("1036 "));
}

TEST(LogLines, ConsecutiveWaitLinesCollapseIntoOneCountedLine)
{
    std::string log;
    int counter = 0;
    AppendLogLine(log, counter, "10:00:00  first");
    AppendLogLine(log, counter, "10:00:01  _WAIT_");
    AppendLogLine(log, counter, "10:00:02  _WAIT_");
    AppendLogLine(log, counter, "10:00:03  _WAIT_");
    EXPECT_EQ(3, counter);
    EXPECT_EQ("10:00:00  first\r\n10:00:03  ..... 3", log);
    AppendLogLine(log, counter, "10:00:04  next");
    EXPECT_EQ(0, counter);
    EXPECT_EQ("10:00:00  first\r\n10:00:03  ..... 3\r\n10:00:04  next\r\n", log);
}

TEST(LogLines, AWaitingLineWithTextKeepsItsText)
{
    std::string log;
    int counter = 0;
    AppendLogLine(log, counter, "10:00:01  copying_WAIT_");
    AppendLogLine(log, counter, "10:00:02  copying_WAIT_");
    EXPECT_EQ("10:00:01  copying10:00:02  copying..... 2", log);
}

TEST(BoardErrors, TextNumberAndTheBoardsWords)
{
    BoardErrorText error = ParseBoardError(kMsgFormatErr, "12 Disk full");
    EXPECT_EQ(3012u, error.textId);
    EXPECT_EQ("Disk full", error.rest);
    error = ParseBoardError(kMsgFormatErr, "7");
    EXPECT_EQ(3007u, error.textId);
    EXPECT_EQ("", error.rest);
    // A one-digit code keeps the first letter of the words (the plain "skip 3" rule would drop it).
    error = ParseBoardError(kMsgFormatErr, "7 Disk full");
    EXPECT_EQ("Disk full", error.rest);
    error = ParseBoardError(kMsgFormatErr, "no number here");
    EXPECT_EQ(3000u, error.textId);
    EXPECT_EQ("number here", error.rest);
    EXPECT_EQ(2003u, ParseBoardError(kMsgCopyWait, "5 copy failed").textId);
    // A number whose text would lie outside the board texts' range names none of them.
    for (const char *outside : {"-2999 x", "62536 x", "18446744073709551621 x"}) {
        error = ParseBoardError(kMsgFormatErr, outside);
        EXPECT_EQ(3000u, error.textId) << outside;
        EXPECT_EQ("x", error.rest) << outside;
    }
}
