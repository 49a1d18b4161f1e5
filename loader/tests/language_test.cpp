// The application object in this process: start-up language, the language switch and its failure path,
// texts from the module with fallbacks, the BIOS menu item, the About box and the missing help file.
#include "AboutDlg.h"
#include "SplashDlg.h"
#include "TavFile.h"
#include "AppFixture.h"
#include "BoardMessage.h"
#include "Delivery.h"
#include "MainFrm.h"
#include "MyPages.h"
#include "TaviApp.h"
#include "TaviNewView.h"
#include "TaviString.h"
#include "framework/Profile.h"
#include "res/resource.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include <memory>

using namespace apptest;

namespace {

class AppTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetSettings();
        CSplashDlg::s_showMillis = 1;
    }

    void TearDown() override
    {
        if (m_app) {
            if (m_app->GetMainWnd()) DestroyWindow(m_app->GetMainWnd()->GetSafeHwnd());
            m_app->ExitInstance();
            m_app.reset();
        }
        ResetSettings();
    }

    bool Start(const char *commandLine = "")
    {
        m_app = std::make_unique<CTaviApp>();
        return m_app->Start(GetModuleHandleA(nullptr), commandLine);
    }

    HWND Main() const { return m_app->GetMainWnd()->GetSafeHwnd(); }

    std::string TopMenuText(int position) const
    {
        char text[128] = {};
        GetMenuStringA(GetMenu(Main()), position, text, sizeof text, MF_BYPOSITION);
        return text;
    }

    bool Checked(UINT command) const
    {
        return (GetMenuState(GetMenu(Main()), command, MF_BYCOMMAND) & MF_CHECKED) != 0;
    }

    std::string StatusText() const
    {
        char text[256] = {};
        SendMessageA(m_app->MainFrame()->StatusBar(), SB_GETTEXTA, 0, reinterpret_cast<LPARAM>(text));
        return text;
    }

    // What the open debug log holds so far.
    std::string DebugLog() const
    {
        HANDLE file = CreateFileA(m_app->DebugLogPath().c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0,
                                  nullptr);
        if (file == INVALID_HANDLE_VALUE) return "";
        char text[4096] = {};
        DWORD read = 0;
        ReadFile(file, text, sizeof text - 1, &read, nullptr);
        CloseHandle(file);
        return std::string(text, read);
    }

    static void InstallerLanguage(const char *value)
    {
        HKEY key = CreateMachineKey(kInstallKey);
        ASSERT_NE(nullptr, key);
        RegSetValueExA(key, "InstLanguage", 0, REG_SZ, reinterpret_cast<const BYTE *>(value), lstrlenA(value) + 1);
        RegCloseKey(key);
    }

    std::unique_ptr<CTaviApp> m_app;
};

}  // namespace

TEST_F(AppTest, StartsInTheInstallersLanguage)
{
    InstallerLanguage("10");
    ASSERT_TRUE(Start());
    // The Spanish module has no menu: its texts are used, nothing else changes or is stored.
    EXPECT_EQ("es", m_app->LanguageCode());
    EXPECT_EQ("Listo", StatusText());
    EXPECT_EQ("&File", TopMenuText(0));
    DWORD stored = 0;
    EXPECT_FALSE(StoredDword(nullptr, "Language", stored));
}

TEST_F(AppTest, AStoredLanguageWinsOverTheInstallersChoice)
{
    InstallerLanguage("10");
    profile::WriteInt(nullptr, "Language", 1036);
    ASSERT_TRUE(Start());
    EXPECT_EQ("fr", m_app->LanguageCode());
    EXPECT_EQ("&Fichier", TopMenuText(0));
    EXPECT_TRUE(Checked(ID_LANGUAGE_FR));
}

TEST_F(AppTest, AnUnknownInstallerLanguageStartsInEnglish)
{
    InstallerLanguage("1048");
    ASSERT_TRUE(Start());
    EXPECT_EQ("en", m_app->LanguageCode());
    DWORD stored = 0;
    ASSERT_TRUE(StoredDword(nullptr, "Language", stored));
    EXPECT_EQ(1033u, stored);
    EXPECT_TRUE(Checked(ID_LANGUAGE_EN));
}

TEST_F(AppTest, SwitchingToFrenchSwapsMenuTextsLocaleAndStoredLanguage)
{
    ASSERT_TRUE(Start());
    SendMessageA(Main(), WM_COMMAND, ID_LANGUAGE_FR, 0);
    EXPECT_EQ("fr", m_app->LanguageCode());
    EXPECT_EQ("&Fichier", TopMenuText(0));
    EXPECT_TRUE(Checked(ID_LANGUAGE_FR));
    EXPECT_FALSE(Checked(ID_LANGUAGE_EN));
    EXPECT_EQ(LCID(MAKELCID(1036, SORT_DEFAULT)), GetThreadLocale());
    EXPECT_EQ("Pr\xEAt", StatusText());
    DWORD stored = 0;
    ASSERT_TRUE(StoredDword(nullptr, "Language", stored));
    EXPECT_EQ(1036u, stored);

    // A text the module lacks comes from the program; one missing everywhere is empty.
    EXPECT_EQ("*Multi CPU", CTaviString::LoadOr(IDS_MULTI_CPU, "").Str());
    EXPECT_EQ("Veuillez choisir un pays", CTaviString::LoadOr(IDS_SELECT_COUNTRY, "").Str());
    CTaviString missing;
    EXPECT_EQ(0, missing.LoadResString(2001));
    EXPECT_EQ(kFallbackPrepareTarget, CTaviString::LoadOr(IDS_PRPG_PREP_TARGET, kFallbackPrepareTarget).Str());
}

TEST_F(AppTest, AnIdentifierOutsideTheTableLoadsEnglishButStoresTheIdentifier)
{
    ASSERT_TRUE(Start());
    m_app->SetLanguage(1036);
    m_app->SetLanguage(1049);
    EXPECT_EQ("en", m_app->LanguageCode());
    EXPECT_EQ("&File", TopMenuText(0));
    EXPECT_TRUE(Checked(ID_LANGUAGE_EN));
    DWORD stored = 0;
    ASSERT_TRUE(StoredDword(nullptr, "Language", stored));
    EXPECT_EQ(1049u, stored);
}

TEST_F(AppTest, AMissingModuleShowsTheSystemErrorAndKeepsTheCurrentLanguage)
{
    ASSERT_TRUE(Start());
    m_app->SetLanguage(1036);
    HMODULE french = m_app->LanguageModule();
    {
        DialogAnswerer box;
        m_app->SetLanguage(1048);
        ASSERT_TRUE(box.Wait());
        EXPECT_NE(std::string::npos, box.message.find("language_ro.dll")) << box.message;
        EXPECT_GT(box.message.find("language_ro.dll"), 2u) << "the system text comes first: " << box.message;
    }
    EXPECT_EQ(french, m_app->LanguageModule());
    EXPECT_EQ("&Fichier", TopMenuText(0));
    EXPECT_TRUE(Checked(ID_LANGUAGE_FR));
    EXPECT_EQ("Veuillez choisir un pays", CTaviString::LoadOr(IDS_SELECT_COUNTRY, "").Str());
    DWORD stored = 0;
    ASSERT_TRUE(StoredDword(nullptr, "Language", stored));
    EXPECT_EQ(1036u, stored);
    EXPECT_EQ("ro", m_app->LanguageCode());
    EXPECT_NE(std::string::npos, m_app->MainView()->Log().find("language_ro.dll"));
}

TEST_F(AppTest, AStartUpLanguageWithoutItsModuleIsReportedInTheDebugLogAndChangesNothingElse)
{
    profile::WriteInt("Config", "Debug", 1);
    profile::WriteInt(nullptr, "Language", 1048);
    DialogAnswerer box(IDOK, 20000, true);
    ASSERT_TRUE(Start());
    ASSERT_TRUE(box.Wait());
    EXPECT_NE(std::string::npos, box.message.find("language_ro.dll")) << box.message;
    EXPECT_EQ("ro", m_app->LanguageCode());
    EXPECT_EQ(nullptr, m_app->LanguageModule());
    EXPECT_EQ("&File", TopMenuText(0));
    EXPECT_EQ("Ready", StatusText());
    DWORD stored = 0;
    ASSERT_TRUE(StoredDword(nullptr, "Language", stored));
    EXPECT_EQ(1048u, stored);

    // The debug log is open before the language is chosen, so it holds the failure.
    EXPECT_NE(std::string::npos, DebugLog().find("language_ro.dll]"));
}

TEST_F(AppTest, TheBiosItemIsAddedOnlyForOneAndSurvivesALanguageSwitch)
{
    profile::WriteInt("Config", "Bios", 2);
    ASSERT_TRUE(Start());
    EXPECT_EQ(UINT(-1), GetMenuState(GetMenu(Main()), ID_BIOS, MF_BYCOMMAND));
    TearDown();

    profile::WriteInt("Config", "Bios", 1);
    ASSERT_TRUE(Start());
    HMENU third = GetSubMenu(GetMenu(Main()), 2);
    ASSERT_NE(nullptr, third);
    EXPECT_EQ(UINT(ID_BIOS), GetMenuItemID(third, GetMenuItemCount(third) - 1));
    m_app->SetLanguage(1036);
    third = GetSubMenu(GetMenu(Main()), 2);
    EXPECT_EQ(UINT(ID_BIOS), GetMenuItemID(third, GetMenuItemCount(third) - 1));
    char text[32] = {};
    GetMenuStringA(third, ID_BIOS, text, sizeof text, MF_BYCOMMAND);
    EXPECT_STREQ("Bios", text);
}

TEST_F(AppTest, TheAboutBoxShowsTheVersionStringsAndTheModulesText)
{
    ASSERT_TRUE(Start());
    DialogAnswerer box;
    SendMessageA(Main(), WM_COMMAND, ID_APP_ABOUT, 0);
    ASSERT_TRUE(box.Wait());
    EXPECT_EQ("Tavi - Tavi400/30.1", box.controls[IDC_ABOUT_PRODUCT - 1014]);
    EXPECT_EQ("4.0", box.controls[IDC_ABOUT_PRODUCT_VERSION - 1014]);
    EXPECT_EQ(" [ R30.1 ] ", box.controls[IDC_ABOUT_SPECIAL_BUILD - 1014]);
    EXPECT_EQ("Copyright (C) QelTools", box.controls[IDC_ABOUT_COPYRIGHT - 1014]);
    EXPECT_EQ("Board loader", box.controls[IDC_ABOUT_TEXT - 1014]);
}

TEST_F(AppTest, AMissingHelpFileIsReportedWithItsName)
{
    ASSERT_TRUE(Start());
    DialogAnswerer box;
    SendMessageA(Main(), WM_COMMAND, ID_HELP_FINDER, 0);
    ASSERT_TRUE(box.Wait());
    EXPECT_NE(std::string::npos, box.message.find("[" + ProgramFileFolder() + "tavihelp_en.chm]")) << box.message;
}

TEST_F(AppTest, TheConfigDebugValueOpensTheLogThatLogLinesReach)
{
    profile::WriteInt("Config", "Debug", 1);
    ASSERT_TRUE(Start());
    ASSERT_TRUE(m_app->DebugFlag());
    const std::string path = m_app->DebugLogPath();
    ASSERT_FALSE(path.empty());
    m_app->MainView()->LogText("board 10.0.0.2", 0, "answered", false);
    m_app->MainView()->LogText("", 0, "", false);
    const std::string log = DebugLog();
    EXPECT_NE(std::string::npos, log.find("  board 10.0.0.2answered\r\n")) << log;
    EXPECT_EQ(log.size() - log.find("answered\r\n"), std::string("answered\r\n").size()) << "an empty line logs nothing";

    TearDown();
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(path.c_str()));
}

TEST_F(AppTest, LogLinesJoinTheirPartsWithBlanksAndAnErrorWithoutSystemTextTakesText77)
{
    ASSERT_TRUE(Start());
    CTaviNewView *view = m_app->MainView();
    view->LogText("10.0.0.2", 77, "[x]", false);
    EXPECT_NE(std::string::npos, view->Log().find("  10.0.0.2 No system text for this error [x]\r\n")) << view->Log();
    view->FormatSystemError(0x2000ABCD, "C:\\lost.dll", false);
    EXPECT_NE(std::string::npos, view->Log().find("  No system text for this error  - 0x2000abcd [C:\\lost.dll] \r\n"))
        << view->Log();
}

TEST_F(AppTest, ClosingTheMainWindowEndsFrameViewAndDocumentBeforeTheApplicationExits)
{
    ASSERT_TRUE(Start());
    SendMessageA(Main(), WM_CLOSE, 0, 0);
    EXPECT_EQ(nullptr, m_app->GetMainWnd());
    EXPECT_EQ(nullptr, m_app->MainView());
    EXPECT_EQ(nullptr, m_app->Template()->GetDocument());
    MSG quit;
    EXPECT_TRUE(PeekMessageA(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
}

TEST_F(AppTest, ADocumentNamedOnTheCommandLineOpensAndJoinsTheRecentFiles)
{
    const std::string document = ProgramFileFolder() + "recent_test.tav";
    const std::string bytes = WriteTavFile(MainPageRecord(), InstallTypeRecord());
    HANDLE file = CreateFileA(document.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    ASSERT_TRUE(Start(("\"" + document + "\"").c_str()));
    EXPECT_EQ(document, m_app->Template()->GetDocument()->GetPathName());
    EXPECT_EQ("recent_test.tav - Tavi", inspector::Text(Main()));
    char item[MAX_PATH + 8] = {};
    GetMenuStringA(GetMenu(Main()), ID_FILE_MRU_FILE1, item, sizeof item, MF_BYCOMMAND);
    EXPECT_EQ("&1 " + document, std::string(item));

    m_app->ExitInstance();
    std::string stored;
    ASSERT_TRUE(StoredString("Recent File List", "File1", stored));
    EXPECT_EQ(document, stored);
    DeleteFileA(document.c_str());
}

TEST_F(AppTest, WithoutRecentFilesTheMenuKeepsItsOwnGrayedItemInEachLanguage)
{
    ASSERT_TRUE(Start());
    char item[64] = {};
    GetMenuStringA(GetMenu(Main()), ID_FILE_MRU_FILE1, item, sizeof item, MF_BYCOMMAND);
    EXPECT_STREQ("Recent File", item);
    EXPECT_TRUE(GetMenuState(GetMenu(Main()), ID_FILE_MRU_FILE1, MF_BYCOMMAND) & MF_GRAYED);
    m_app->SetLanguage(1036);
    GetMenuStringA(GetMenu(Main()), ID_FILE_MRU_FILE1, item, sizeof item, MF_BYCOMMAND);
    EXPECT_STREQ("Fichier r\xE9" "cent", item);
}

TEST_F(AppTest, ADocumentThatCannotBeOpenedIsReportedAndEndsStartUp)
{
    DialogAnswerer box(IDOK, 20000, true);
    EXPECT_FALSE(Start("C:\\no\\such\\installation.tav"));
    ASSERT_TRUE(box.Wait());
    EXPECT_NE(std::string::npos, box.message.find("C:\\no\\such\\installation.tav")) << box.message;
    EXPECT_EQ(nullptr, m_app->GetMainWnd());
}

TEST_F(AppTest, StatusPromptsComeFromTheLanguageAndTheStoredStatusText)
{
    ASSERT_TRUE(Start());
    CMainFrame *frame = m_app->MainFrame();
    EXPECT_EQ("*Changing the language", frame->GetMessageString(ID_LANGUAGE_FR));
    m_app->SetLanguage(1036);
    EXPECT_EQ("Changer de langue", frame->GetMessageString(ID_LANGUAGE_FR));
    frame->SetStatusText("Copying: downloadingitems\\inskrn");
    EXPECT_EQ("Copying: downloadingitems\\inskrn", StatusText());
    frame->SetStatusTextId(IDS_WAIT_MESSAGE);
    EXPECT_EQ("Please wait processing", StatusText());
    frame->SetStatusTextId(IDS_IDLE_MESSAGE);
    EXPECT_EQ("Pr\xEAt", StatusText());
}

namespace {

// A page that is never shown, with a real progress bar as its copy bar.
class ProbePage : public CMyPages {
public:
    explicit ProbePage(HWND bar) : CMyPages(0) { m_copyProgress = bar; }
};

}  // namespace

TEST_F(AppTest, PageDefaultsShowCopyProgressConnectionAndBoardErrors)
{
    ASSERT_TRUE(Start());
    HWND bar = CreateWindowExA(0, PROGRESS_CLASSA, "", WS_CHILD | WS_VISIBLE, 0, 0, 100, 10, Main(),
                               reinterpret_cast<HMENU>(4242), nullptr, nullptr);
    ASSERT_NE(nullptr, bar);
    ProbePage page(bar);
    page.OnCopyProgress(kMsgCopyWait, kStatusAck, "0/250");
    EXPECT_EQ(std::make_pair(0, 250), inspector::ProgressRange(Main(), 4242));
    EXPECT_EQ(0, inspector::ProgressPos(Main(), 4242));
    page.OnCopyProgress(kMsgCopyWait, kStatusCopying, "100/34");
    EXPECT_EQ(98, inspector::ProgressPos(Main(), 4242));
    page.OnCopyProgress(kMsgCopyWait, kStatusAck, "garbled");
    EXPECT_EQ(98, inspector::ProgressPos(Main(), 4242));

    HWND status = m_app->MainFrame()->StatusBar();
    const LRESULT notConnected = SendMessageA(status, SB_GETICON, 4, 0);
    page.OnBoardEvent(kMsgConnect, kStatusAck, "PMR");
    EXPECT_NE(notConnected, SendMessageA(status, SB_GETICON, 4, 0));
    page.OnBoardEvent(kMsgDisconnect, kStatusAck, "");
    EXPECT_EQ(notConnected, SendMessageA(status, SB_GETICON, 4, 0));

    g_deliveryVersion = 250;
    page.OnBoardError(kMsgFormatErr, kStatusEnd, "12 Disk full");
    g_deliveryVersion = 800;
    DialogAnswerer box(IDOK, 20000, true);
    page.OnBoardError(kMsgFormatErr, kStatusEnd, "12 Disk full");
    // The box opens from the view's own message, outside the board's handler.
    for (MSG msg; PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE);) DispatchMessageA(&msg);
    ASSERT_TRUE(box.Wait());
    EXPECT_EQ("Disk full", box.message) << "text 3012 is a language module's";
}
