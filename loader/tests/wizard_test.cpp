// A technician's roads through the wizard, driven through its window: the folder typed, the country
// chosen, the type clicked, the buttons pressed and the questions answered, while a simulated board
// reports through the view. Each road checks the pages it visits, the target files, the folder served, the
// services and the progress bars; each page's picture goes to the test artefacts.
#include "DocumentFixture.h"
#include "WindowProbe.h"

#include <shlobj.h>
#include <windowsx.h>

#include <atomic>
#include <thread>

using namespace apptest;
using namespace fixture;
using namespace documenttest;

namespace {

class WizardTest : public DocumentTest {
protected:
    void SetUp() override
    {
        DocumentTest::SetUp();
        profile::WriteInt("Timeouts", "WStartServices", 100);
        CTaviDoc::s_stopGapMillis = 50;
        WriteTextFile(GetAppFilePath("migration_bin\\pemrocom"), "migration boot list");
    }
    void TearDown() override
    {
        DocumentTest::TearDown();
        RemoveTree(GetAppFilePath("migration_bin"));
    }

    HWND Sheet() { return View().Sheet()->GetSafeHwnd(); }
    HWND Page() { return PropSheet_GetCurrentPageHwnd(Sheet()); }
    UINT PageId()
    {
        Pump();
        CMyPages *page = View().Sheet()->GetActivePage();
        return page ? page->TemplateId() : 0;
    }
    bool ButtonEnabled(int id)
    {
        Pump();
        return inspector::IsControlEnabled(Sheet(), id);
    }

    // The Main page as a technician fills it: the folder typed, the country chosen.
    void ChooseDelivery(const char *release, const char *country = "fr")
    {
        MakeNewStyleDelivery(m_delivery.Path(), release, "TOLMA");
        SetDlgItemTextA(Page(), IDC_DELIVERY_FOLDER, m_delivery.Path().c_str());
        // Leaving the box and coming back makes the page read the folder, as activation does.
        View().Sheet()->SetActivePage(0);
        Pump();
        HWND list = GetDlgItem(Page(), IDC_COUNTRY);
        ComboBox_SelectString(list, -1, country);
    }

    // Presses a wizard button; the message boxes that follow are answered in order, each with its button.
    void Press(int button, std::vector<int> answers = {})
    {
        Pump();
        std::atomic<bool> done{answers.empty()};
        std::vector<std::string> seen;
        std::thread answerer([&] {
            for (int answer : answers) {
                HWND box = inspector::WaitForMessageBox(GetCurrentProcessId(), 20000);
                if (!box) break;
                seen.push_back(inspector::MessageBoxText(box));
                inspector::PressButton(box, answer);
                inspector::WaitForWindowGone(box, 20000);
            }
            done = true;
        });
        PropSheet_PressButton(Sheet(), button);
        for (DWORD start = GetTickCount(); !done && GetTickCount() - start < 30000;) {
            Pump();
            Sleep(10);
        }
        answerer.join();
        Pump();
        EXPECT_EQ(answers.size(), seen.size()) << "message boxes answered";
        m_questions.insert(m_questions.end(), seen.begin(), seen.end());
    }

    void Picture(const std::string &name)
    {
        Pump();
        inspector::SaveScreenshot(std::string(TAVI_ARTIFACTS) + "wizard-" + name + ".bmp",
                                  Frame().GetSafeHwnd());
    }

    void Board(int id, const std::string &text = "", std::uint32_t status = kStatusAck)
    {
        if (id >= kMsgSaveTeleStart && id <= kMsgSaveIaEnd)
            View().OnSaveProgress(id, status, text);
        else if (id >= kMsgRestoreTeleStart && id <= kMsgRestoreIaEnd)
            View().OnRestoreProgress(id, status, text);
        else if (id == kMsgCopyWait)
            View().OnCopyProgress(id, status, text);
        else
            View().OnBoardEvent(id, status, text);
        Pump();
    }

    std::string Target(const char *name) { return ReadTextFile(GetTftpbootPath() + "\\" + name); }
    std::string Served()
    {
        std::string record;
        WaitUntil([&] {
            record = ReadTextFile(GetAppFilePath("Seldrix.exe.record"));
            return record.find("Root ") != std::string::npos;
        });
        const size_t at = record.rfind("Root ");
        return at == std::string::npos ? "" : record.substr(at + 5, record.find('\n', at) - at - 5);
    }
    bool ServicesRun() { return FindWindowA(nullptr, kTftpTitle) && FindWindowA(nullptr, "BOOTP Desktop"); }
    std::pair<int, int> Range(int bar) { return inspector::ProgressRange(Page(), bar); }
    int Position(int bar) { return inspector::ProgressPos(Page(), bar); }
    bool Shown(int id) { return inspector::IsControlVisible(Page(), id); }

    void ChooseType(int type, const std::string &storage)
    {
        const int radios[] = {IDC_TYPE_INSTALL, IDC_TYPE_MONO, IDC_TYPE_MULTI, IDC_TYPE_RESTORE};
        CheckRadioButton(Page(), IDC_TYPE_INSTALL, IDC_TYPE_RESTORE, radios[type]);
        SetDlgItemTextA(Page(), IDC_STORAGE_FOLDER, storage.c_str());
    }

    std::vector<std::string> m_questions;
    TempFolder m_storage{"tavi_wizard_storage"};
};

// The name of the folder chosen in a folder browser's tree.
std::string SelectedName(HWND browser)
{
    HWND tree = FindWindowExA(browser, nullptr, WC_TREEVIEWA, nullptr);
    char name[MAX_PATH] = {};
    TVITEMA item = {};
    item.mask = TVIF_TEXT;
    item.hItem = tree ? reinterpret_cast<HTREEITEM>(SendMessageA(tree, TVM_GETNEXTITEM, TVGN_CARET, 0)) : nullptr;
    item.pszText = name;
    item.cchTextMax = sizeof name;
    if (!item.hItem || !SendMessageA(tree, TVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&item))) return "";
    return name;
}

bool Has(const std::string &text, const std::string &line) { return text.find("export " + line + "\r\n") != std::string::npos; }

}  // namespace

TEST_F(WizardTest, BelowVersion300TheShortRoadGoesStraightToTheInstallPage)
{
    ChooseDelivery("PMR_R250.001 | Short road");
    Picture("main");
    EXPECT_TRUE(ButtonEnabled(12324));
    Press(PSBTN_NEXT, {IDYES});
    ASSERT_EQ(UINT(IDD_INSTALL), PageId());
    EXPECT_TRUE(Has(Target("target.conf"), "INSTALL=yes"));
    EXPECT_TRUE(Has(Target("target.conf"), "COUNTRY=fr"));
    EXPECT_TRUE(ServicesRun());
    EXPECT_FALSE(Shown(IDC_COPY_BAR)) << "no copy bar below version 300";
    EXPECT_FALSE(Shown(IDC_RESTORE_BAR));
    EXPECT_FALSE(ButtonEnabled(12324));
    Picture("install-short");

    Board(kMsgConnect, "PMR 2.5");
    EXPECT_TRUE(Frame().ConnectedIconShown());
    Board(kMsgDisconnect);
    EXPECT_FALSE(ServicesRun());
    EXPECT_TRUE(ButtonEnabled(12324));
    EXPECT_TRUE(Shown(IDC_INSTALL_END));
    Press(PSBTN_NEXT);
    EXPECT_EQ(UINT(IDD_MAIN_PAGE), PageId()) << "no question after a plain installation";
}

TEST_F(WizardTest, AnInstallationFrom300ServesTheDeliveryAndFollowsTheCopy)
{
    ChooseDelivery("PMR_R700.001 | Installation");
    Press(PSBTN_NEXT);
    ASSERT_EQ(UINT(IDD_INSTALLATION_TYPE), PageId());
    EXPECT_TRUE(ButtonEnabled(12323)) << "Back";
    Picture("installation-type");
    ChooseType(kTypeInstallation, "");
    Press(PSBTN_NEXT, {IDYES});
    ASSERT_EQ(UINT(IDD_INSTALL), PageId());
    EXPECT_TRUE(Has(Target("target.conf"), "INSTALL=yes"));
    EXPECT_EQ(m_delivery.Path() + "\\DownloadingItems", Served());
    EXPECT_TRUE(ServicesRun());
    Board(kMsgConnect, "PMR 7.0");
    Board(kMsgCopyWait, "0/250", kStatusAck);
    EXPECT_EQ(std::make_pair(0, 250), Range(IDC_COPY_BAR));
    Board(kMsgCopyWait, "100/34", kStatusCopying);
    EXPECT_EQ(98, Position(IDC_COPY_BAR));
    Board(kMsgCopyWait, "garbled", kStatusCopying);
    EXPECT_EQ(98, Position(IDC_COPY_BAR)) << "an unreadable progress text moves nothing";
    Picture("install");
    Board(kMsgDisconnect);
    Press(PSBTN_NEXT);
    EXPECT_EQ(UINT(IDD_MAIN_PAGE), PageId());
}

TEST_F(WizardTest, AMonoMigrationFrom800SavesThenInstallsAndRestores)
{
    ChooseDelivery("PMR_R800.001 | Migration");
    Press(PSBTN_NEXT);
    ChooseType(kTypeMonoMigration, m_storage.Path());
    Press(PSBTN_NEXT, {IDYES});
    ASSERT_EQ(UINT(IDD_DATA_SAVING), PageId());
    const std::string first = Target("target_dravenle.conf"), second = Target("target.conf");
    EXPECT_TRUE(Has(first, "SAVE_TELE=yes"));
    EXPECT_FALSE(Has(first, "SAVE_IA=yes"));
    EXPECT_TRUE(Has(second, "SAVE_TELE=yes"));
    EXPECT_NE(std::string::npos, second.find("CurDeliv")) << "the migration target mounts the share\n" << second;
    EXPECT_FALSE(g_bMigrationTarget);
    EXPECT_TRUE(FileExists(GetTftpbootPath() + "\\pemrocom")) << "the migration boot files";
    EXPECT_EQ(m_storage.Path(), Served());
    EXPECT_FALSE(Shown(IDC_SAVE_IA_BAR)) << "one bar from version 800";
    Board(kMsgSaveTeleStart, "10/110");
    EXPECT_EQ(std::make_pair(10, 110), Range(IDC_SAVE_TELE_BAR));
    EXPECT_EQ(10, Position(IDC_SAVE_TELE_BAR)) << "position 0 shows as the range's lower end";
    Board(kMsgSaveTeleEnd, "110/110");
    EXPECT_EQ(110, Position(IDC_SAVE_TELE_BAR));
    Picture("data-saving");
    Board(kMsgDisconnect);
    EXPECT_TRUE(Shown(IDC_SAVING_END));
    EXPECT_TRUE(ButtonEnabled(12324));

    Press(PSBTN_NEXT, {IDYES});
    ASSERT_EQ(UINT(IDD_INSTALL), PageId());
    EXPECT_TRUE(Has(Target("target_dravenle.conf"), "RESTORE_TELE=yes"));
    EXPECT_TRUE(Has(Target("target_dravenle.conf"), "INSTALL=yes"));
    EXPECT_TRUE(Shown(IDC_RESTORE_BAR));
    Board(kMsgRestoreTeleStart, "5/50");
    EXPECT_EQ(std::make_pair(5, 50), Range(IDC_RESTORE_BAR));
    EXPECT_EQ(5, Position(IDC_RESTORE_BAR));
    Board(kMsgCopyWait, "20/50", kStatusAck);
    EXPECT_EQ(20, Position(IDC_RESTORE_BAR)) << "a started restore takes the copy progress";
    Board(kMsgRestoreTeleEnd, "50/50");
    EXPECT_EQ(50, Position(IDC_RESTORE_BAR));
    Board(kMsgDisconnect);
    WriteTextFile(m_storage.Path() + "\\saved.tgz", "saved data");
    Press(PSBTN_NEXT, {IDYES});
    EXPECT_EQ(UINT(IDD_MAIN_PAGE), PageId());
    EXPECT_EQ(3u, m_questions.size()) << "the switch, the hardware and the end questions";
    EXPECT_TRUE(CDelivery::IsFolderEmpty(m_storage.Path())) << "Yes empties the storage folder";
}

TEST_F(WizardTest, AMultiMigrationPassesFromTelephonyToInternetAccessWhenTheBoardDisconnects)
{
    ChooseDelivery("PMR_R700.001 | Multi");
    Press(PSBTN_NEXT);
    ChooseType(kTypeMultiMigration, m_storage.Path());
    Press(PSBTN_NEXT, {IDYES});
    ASSERT_EQ(UINT(IDD_SAVING_TELEPHONY), PageId());
    EXPECT_TRUE(Has(Target("target_ia.conf"), "SAVE_IA=yes"));
    EXPECT_TRUE(Has(Target("target_ia.conf"), "REBOOT=no"));
    EXPECT_TRUE(Has(Target("target.conf"), "SAVE_IA_MULTI=yes"));
    Board(kMsgSaveTeleStart, "3/30");
    EXPECT_EQ(3, Position(IDC_TELEPHONY_BAR));
    Board(kMsgSaveTeleEnd, "3/30");
    EXPECT_TRUE(Shown(IDC_TELEPHONY_END));
    Picture("saving-telephony");
    Board(kMsgDisconnect);
    Pump();
    ASSERT_EQ(UINT(IDD_SAVE_IA), PageId()) << "no click needed";
    EXPECT_TRUE(ServicesRun()) << "the board boots again for the Internet Access save";
    Board(kMsgSaveIaStart, "0/40");
    Board(kMsgSaveIaEnd, "0/40");
    EXPECT_EQ(40, Position(IDC_IA_BAR));
    EXPECT_TRUE(Shown(IDC_IA_END));
    Picture("save-internet-access");
    Press(PSBTN_NEXT, {IDYES});
    EXPECT_EQ(UINT(IDD_INSTALL), PageId());
}

TEST_F(WizardTest, AnInstallWithRestoreAsksAtTheEndAndNoKeepsTheStorage)
{
    ChooseDelivery("PMR_R700.001 | Restore");
    Press(PSBTN_NEXT);
    WriteTextFile(m_storage.Path() + "\\saved.tgz", "saved data");
    ChooseType(kTypeInstallRestore, m_storage.Path());
    Press(PSBTN_NEXT, {IDYES});
    ASSERT_EQ(UINT(IDD_INSTALL), PageId());
    EXPECT_TRUE(Has(Target("target.conf"), "RESTORE_IA=yes"));
    EXPECT_NE(std::string::npos, Target("target.conf").find("PC_FREE_SIZE"));
    EXPECT_EQ(m_delivery.Path() + "\\DownloadingItems", Served());
    Board(kMsgDisconnect);
    Press(PSBTN_NEXT, {IDNO});
    EXPECT_EQ(UINT(IDD_MAIN_PAGE), PageId());
    EXPECT_TRUE(FileExists(m_storage.Path() + "\\saved.tgz"));
}

TEST_F(WizardTest, RefusalsKeepTheWizardOnItsPage)
{
    MakeNewStyleDelivery(m_delivery.Path(), "PMR_R700.001 | r", "TOLMA");
    SetDlgItemTextA(Page(), IDC_DELIVERY_FOLDER, m_delivery.Path().c_str());
    View().Sheet()->SetActivePage(0);
    Press(PSBTN_NEXT, {IDOK});
    EXPECT_EQ(UINT(IDD_MAIN_PAGE), PageId()) << "no country";
    ComboBox_SelectString(GetDlgItem(Page(), IDC_COUNTRY), -1, "de");
    Press(PSBTN_NEXT);
    ASSERT_EQ(UINT(IDD_INSTALLATION_TYPE), PageId());

    WriteTextFile(m_storage.Path() + "\\old.tgz", "an earlier board's data");
    ChooseType(kTypeMonoMigration, m_storage.Path());
    Press(PSBTN_NEXT, {IDOK});
    EXPECT_EQ(UINT(IDD_INSTALLATION_TYPE), PageId()) << "a storage folder that is not empty";
    ChooseType(kTypeInstallRestore, "");
    Press(PSBTN_NEXT, {IDOK});
    EXPECT_EQ(UINT(IDD_INSTALLATION_TYPE), PageId()) << "no storage folder";
    EXPECT_NE(std::string::npos, m_questions.back().find("<Storage Empty !!!>"));
    ChooseType(kTypeInstallation, "");
    Press(PSBTN_NEXT, {IDNO});
    EXPECT_EQ(UINT(IDD_INSTALLATION_TYPE), PageId()) << "No to the switch question";
    EXPECT_FALSE(ServicesRun());

    // A boot folder that cannot be emptied keeps the page, instead of going on with nothing prepared.
    RemoveTree(GetTftpbootPath());
    WriteTextFile(GetTftpbootPath(), "a file where the boot folder belongs");
    Press(PSBTN_NEXT, {IDOK});
    EXPECT_EQ(UINT(IDD_INSTALLATION_TYPE), PageId());
    DeleteFileA(GetTftpbootPath().c_str());
}

TEST_F(WizardTest, CancelOnEveryPageReturnsToTheMainPageWithTheServicesStopped)
{
    ChooseDelivery("PMR_R700.001 | Cancel");
    for (UINT page : {UINT(IDD_MAIN_PAGE), UINT(IDD_INSTALLATION_TYPE), UINT(IDD_DATA_SAVING), UINT(IDD_SAVING_TELEPHONY),
                      UINT(IDD_SAVE_IA), UINT(IDD_INSTALL)}) {
        Document().Delivery().SetCancelled(false);
        Document().StartServices(&Document().Delivery());
        ASSERT_TRUE(ServicesRun());
        const int index = page == IDD_MAIN_PAGE ? 0 : page == IDD_INSTALLATION_TYPE ? 1 : page == IDD_DATA_SAVING ? 2
                          : page == IDD_SAVING_TELEPHONY ? 3 : page == IDD_SAVE_IA ? 4 : 5;
        View().Sheet()->SetActivePage(index);
        ASSERT_EQ(page, PageId());
        Press(PSBTN_CANCEL);
        EXPECT_EQ(UINT(IDD_MAIN_PAGE), PageId()) << page;
        EXPECT_TRUE(IsWindow(Sheet())) << page;
        EXPECT_TRUE(WaitUntil([&] { return !ServicesRun(); })) << page;
    }
}

TEST_F(WizardTest, TheMainPageAppliesTheVersionAndBoardRulesToItsOptions)
{
    struct Rule {
        const char *release;
        const char *board;
        bool rasShown, rasEnabled, acdShown, iaEnabled, voipEnabled, farlinkEnabled, lumasetEnabled;
    };
    const Rule rules[] = {
        {"PMR_R205.001 | r", "TOLMA", false, true, false, true, true, false, false},
        {"PMR_R210.001 | r", "TOLMA", true, true, false, true, true, false, false},
        {"PMR_R809.001 | r", "TOLMA", true, false, true, false, true, false, false},
        {"PMR_R810.001 | r", "TOLMA", true, false, true, false, true, false, true},
        {"PMR_R810.001 | r", "VUSKO", true, false, true, false, false, false, false},
        {"RCE_R500.001 | r | x | ONE", "TOLMA", true, false, true, false, true, true, false},
    };
    for (const Rule &rule : rules) {
        g_boardType = rule.board;  // as the folder browser reads it
        CheckDlgButton(Page(), IDC_OPTION_RAS, BST_CHECKED);
        CheckDlgButton(Page(), IDC_OPTION_IA, BST_CHECKED);
        ChooseDelivery(rule.release);
        ASSERT_TRUE(ButtonEnabled(12324)) << rule.release;
        const HWND page = Page();
        EXPECT_EQ(rule.rasShown, inspector::IsControlVisible(page, IDC_OPTION_RAS)) << rule.release;
        if (!rule.rasShown || !rule.rasEnabled) EXPECT_FALSE(IsDlgButtonChecked(page, IDC_OPTION_RAS)) << rule.release;
        EXPECT_EQ(rule.rasEnabled, inspector::IsControlEnabled(page, IDC_OPTION_RAS)) << rule.release;
        EXPECT_EQ(rule.acdShown, inspector::IsControlVisible(page, IDC_OPTION_ACD)) << rule.release;
        EXPECT_EQ(rule.iaEnabled, inspector::IsControlEnabled(page, IDC_OPTION_IA)) << rule.release;
        EXPECT_EQ(rule.voipEnabled, inspector::IsControlEnabled(page, IDC_OPTION_VOIP)) << rule.release;
        EXPECT_EQ(rule.farlinkEnabled, inspector::IsControlEnabled(page, IDC_OPTION_FARLINK)) << rule.release;
        EXPECT_EQ(rule.lumasetEnabled, inspector::IsControlEnabled(page, IDC_OPTION_LUMASET)) << rule.release;
    }
    // Lumaset brings VoIP with it; VoIP alone takes Lumaset away.
    const HWND page = Page();
    g_boardType = "TOLMA";
    ChooseDelivery("PMR_R810.001 | r");
    CheckDlgButton(page, IDC_OPTION_VOIP, BST_UNCHECKED);
    SendMessageA(GetDlgItem(page, IDC_OPTION_LUMASET), BM_CLICK, 0, 0);
    EXPECT_EQ(BST_CHECKED, IsDlgButtonChecked(page, IDC_OPTION_VOIP));
    SendMessageA(GetDlgItem(page, IDC_OPTION_VOIP), BM_CLICK, 0, 0);
    EXPECT_EQ(BST_UNCHECKED, IsDlgButtonChecked(page, IDC_OPTION_LUMASET));
}

TEST_F(WizardTest, EveryTypeOnEitherSideOfVersion800WritesItsTargetsServesItsFolderAndGoesToItsPage)
{
    struct Road {
        const char *release;
        int type;
        UINT page;
        std::vector<std::pair<const char *, const char *>> targets;  // file, a line it holds
        bool servesStorage;
    };
    const Road roads[] = {
        {"PMR_R300.001 | r", kTypeInstallation, IDD_INSTALL, {{"target.conf", "INSTALL=yes"}}, false},
        {"PMR_R800.001 | r", kTypeInstallation, IDD_INSTALL, {{"target_dravenle.conf", "INSTALL=yes"}}, false},
        {"PMR_R799.001 | r", kTypeMonoMigration, IDD_DATA_SAVING, {{"target.conf", "SAVE_IA=yes"}}, true},
        {"PMR_R800.001 | r", kTypeMonoMigration, IDD_DATA_SAVING,
         {{"target_dravenle.conf", "SAVE_TELE=yes"}, {"target.conf", "SAVE_TELE=yes"}}, true},
        {"PMR_R300.001 | r", kTypeMultiMigration, IDD_SAVING_TELEPHONY,
         {{"target_ia.conf", "SAVE_IA=yes"}, {"target.conf", "SAVE_IA_MULTI=yes"}}, true},
        {"PMR_R800.001 | r", kTypeMultiMigration, IDD_SAVING_TELEPHONY,
         {{"target_ia.conf", "REBOOT=no"}, {"target.conf", "SAVE_TELE=yes"}}, true},
        {"PMR_R799.001 | r", kTypeInstallRestore, IDD_INSTALL, {{"target.conf", "RESTORE_IA=yes"}}, false},
        {"PMR_R800.001 | r", kTypeInstallRestore, IDD_INSTALL, {{"target_dravenle.conf", "RESTORE_TELE=yes"}}, false},
    };
    for (const Road &road : roads) {
        ChooseDelivery(road.release);
        Press(PSBTN_NEXT);
        ASSERT_EQ(UINT(IDD_INSTALLATION_TYPE), PageId()) << road.release;
        DeleteFileA(GetAppFilePath("Seldrix.exe.record").c_str());
        ChooseType(road.type, m_storage.Path());
        Press(PSBTN_NEXT, {IDYES});
        EXPECT_EQ(road.page, PageId()) << road.release << " type " << road.type;
        for (const auto &[file, line] : road.targets)
            EXPECT_TRUE(Has(Target(file), line)) << road.release << " type " << road.type << " " << file << " " << line;
        EXPECT_EQ(road.servesStorage ? m_storage.Path() : m_delivery.Path() + "\\DownloadingItems", Served())
            << road.release << " type " << road.type;
        EXPECT_TRUE(ServicesRun()) << road.release << " type " << road.type;
        Press(PSBTN_CANCEL);
        ASSERT_EQ(UINT(IDD_MAIN_PAGE), PageId());
    }
}

TEST_F(WizardTest, ABoardErrorStopsTheServicesButAMessageErrorOnlyShowsItself)
{
    ChooseDelivery("PMR_R250.001 | r");
    Press(PSBTN_NEXT, {IDYES});
    ASSERT_EQ(UINT(IDD_INSTALL), PageId());
    ASSERT_TRUE(ServicesRun());
    // Below version 300 only a failed copy is shown; from 300 a message error is shown and stops nothing.
    View().OnBoardError(kMsgMsgErr, kStatusAck, "3 board message");
    EXPECT_TRUE(ServicesRun());
    g_deliveryVersion = 300;
    {
        DialogAnswerer message(IDOK, 20000, true);
        View().OnBoardError(kMsgMsgErr, kStatusAck, "3 board message");
        Pump();
        ASSERT_TRUE(message.Wait());
        EXPECT_EQ("board message", message.message);
    }
    EXPECT_TRUE(ServicesRun());
    g_deliveryVersion = 250;
    DialogAnswerer box(IDOK, 20000, true);
    View().OnBoardError(kMsgCopyWait, kStatusEnd, "7 copy failed");
    Pump();
    ASSERT_TRUE(box.Wait());
    EXPECT_EQ("copy failed", box.message);
    EXPECT_TRUE(WaitUntil([&] { return !ServicesRun(); }));
}

TEST_F(WizardTest, TheFolderBrowserTakesOnlyADeliveryAndReadsItsBoardType)
{
    MakeNewStyleDelivery(m_delivery.Path(), "PMR_R810.001 | r", "VUSKO");
    // The technician picks the delivery's folder in the browser and confirms once its OK takes the folder.
    // The browser is modal and knows no time limit: after 90 s the technician cancels it, so the case ends.
    const std::string folder = m_delivery.Path();
    std::atomic<bool> closed{false};
    std::thread technician([&] {
        for (const DWORD start = GetTickCount(); !closed;) {
            HWND browser = inspector::WaitForDialog(GetCurrentProcessId(), 100);
            if (!browser) continue;
            if (GetTickCount() - start > 90000) {
                inspector::PressButton(browser, IDCANCEL);
            } else {
                SendMessageA(browser, BFFM_SETSELECTIONA, TRUE, reinterpret_cast<LPARAM>(folder.c_str()));
                // OK goes once the tree shows the folder chosen and the page's check has let OK take it.
                if (SelectedName(browser) == folder.substr(folder.rfind('\\') + 1) &&
                    inspector::IsControlEnabled(browser, IDOK))
                    inspector::PressButton(browser, IDOK);
            }
            inspector::WaitForWindowGone(browser, 1000);
        }
    });
    SendMessageA(GetDlgItem(Page(), IDC_DELIVERY_BROWSE), BM_CLICK, 0, 0);
    closed = true;
    technician.join();
    Pump();
    EXPECT_EQ(folder, inspector::ControlText(Page(), IDC_DELIVERY_FOLDER));
    EXPECT_EQ("VUSKO", g_boardType);
    EXPECT_EQ(BST_CHECKED, IsDlgButtonChecked(Page(), IDC_OPTION_VOIP)) << "a VUSKO board always has VoIP";
    EXPECT_FALSE(inspector::IsControlEnabled(Page(), IDC_OPTION_VOIP));
    EXPECT_TRUE(ButtonEnabled(12324));
}

// The boot folder on a disk too small for the delivery (full_disk_test.sh gives it one of 64 KiB): the
// copy the disk cut short is a failure, shown with the system's words, and the wizard stays on its page.
TEST_F(WizardTest, ACopyIntoAFullBootFolderIsShownAndTheWizardStays)
{
    CreateDirectoryA(GetTftpbootPath().c_str(), nullptr);
    ULARGE_INTEGER size = {};
    if (!GetDiskFreeSpaceExA(GetTftpbootPath().c_str(), nullptr, &size, nullptr) || size.QuadPart > (1u << 20))
        GTEST_SKIP() << "the boot folder is not on a small disk here";
    ChooseDelivery("PMR_R700.001 | Full disk");
    WriteTextFile(m_delivery.Path() + "\\DownloadingItems\\inskrn\\kernel.img", std::string(200000, 'k'));
    Press(PSBTN_NEXT);
    ChooseType(kTypeInstallation, "");
    Press(PSBTN_NEXT, {IDYES, IDOK});
    EXPECT_EQ(UINT(IDD_INSTALLATION_TYPE), PageId());
    char full[256] = {};
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, ERROR_DISK_FULL, 0, full,
                   sizeof full, nullptr);
    std::string reason = full;
    reason.erase(reason.find_last_not_of(" \r\n") + 1);
    ASSERT_FALSE(m_questions.empty());
    EXPECT_NE(std::string::npos, m_questions.back().find(reason)) << m_questions.back();
    // The step that failed is the copy, not a later write that found the disk full.
    EXPECT_NE(std::string::npos, m_questions.back().find("\\inskrn -> ")) << m_questions.back();
    EXPECT_FALSE(ServicesRun());
}

namespace {

// A close of the main window (as automation or "taskkill" sends it) while a handler waits for the
// technician: the question of a page, or the BIOS update dialog.
struct CloseDuringWait {
    const char *name;
    // Brings the wizard to the step; the trigger then opens the wait.
    void (*prepare)(class CloseDuringWaitTest &);
    bool bios;
    int answer;
};

void PrintTo(const CloseDuringWait &road, std::ostream *out) { *out << road.name; }

class CloseDuringWaitTest : public WizardTest, public ::testing::WithParamInterface<CloseDuringWait> {
public:
    using WizardTest::Board;
    using WizardTest::ChooseDelivery;
    using WizardTest::ChooseType;
    using WizardTest::Press;
    TempFolder &Storage() { return m_storage; }
};

const CloseDuringWait kCloseDuringWait[] = {
    {"InstallationTypeQuestion",
     [](CloseDuringWaitTest &t) {
         t.ChooseDelivery("PMR_R700.001 | r");
         t.Press(PSBTN_NEXT);
         t.ChooseType(kTypeInstallation, "");
     },
     false, IDYES},
    {"DataSavingQuestion",
     [](CloseDuringWaitTest &t) {
         t.ChooseDelivery("PMR_R800.001 | r");
         t.Press(PSBTN_NEXT);
         t.ChooseType(kTypeMonoMigration, t.Storage().Path());
         t.Press(PSBTN_NEXT, {IDYES});
         t.Board(kMsgDisconnect);
     },
     false, IDYES},
    {"ShortRoadQuestion", [](CloseDuringWaitTest &t) { t.ChooseDelivery("PMR_R250.001 | r"); }, false, IDYES},
    {"InstallEndQuestion",
     [](CloseDuringWaitTest &t) {
         t.ChooseDelivery("PMR_R700.001 | r");
         t.Press(PSBTN_NEXT);
         t.ChooseType(kTypeInstallRestore, t.Storage().Path());
         t.Press(PSBTN_NEXT, {IDYES});
         t.Board(kMsgDisconnect);
     },
     false, IDYES},
    {"BiosDialog", [](CloseDuringWaitTest &) {}, true, IDCANCEL},
};

}  // namespace

// The window stays while the handler waits, the answer given after the close starts nothing and asks
// nothing more, and the close is carried out once the wait is over.
TEST_P(CloseDuringWaitTest, TheCloseWaitsForTheHandlerAndThenEndsTheProgram)
{
    const CloseDuringWait &road = GetParam();
    road.prepare(*this);
    const HWND main = Frame().GetSafeHwnd();
    std::atomic<bool> answered{false}, stop{false};
    std::atomic<int> boxesAfter{0};
    bool aliveDuringWait = false;
    std::thread technician([&] {
        const DWORD pid = GetCurrentProcessId();
        HWND wait = inspector::WaitForDialog(pid, 20000);
        if (wait) {
            DWORD_PTR result = 0;
            SendMessageTimeoutA(main, WM_CLOSE, 0, 0, SMTO_NORMAL, 20000, &result);
            aliveDuringWait = IsWindow(main) && IsWindow(wait);
            inspector::PressButton(wait, road.answer);
            inspector::WaitForWindowGone(wait, 20000);
        }
        answered = true;
        while (!stop)
            if (HWND box = inspector::WaitForDialog(pid, 50)) {
                ++boxesAfter;
                inspector::PressButton(box, IDCANCEL);
                inspector::WaitForWindowGone(box, 20000);
            }
    });
    if (road.bios)
        PostMessageA(main, WM_COMMAND, ID_BIOS, 0);
    else
        PropSheet_PressButton(Sheet(), PSBTN_NEXT);
    for (DWORD start = GetTickCount(); (!answered || IsWindow(main)) && GetTickCount() - start < 30000;) {
        Pump();
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
    stop = true;
    technician.join();
    EXPECT_TRUE(aliveDuringWait) << road.name;
    EXPECT_FALSE(IsWindow(main)) << road.name << ": the close is carried out after the wait";
    EXPECT_EQ(nullptr, m_app->GetMainWnd()) << road.name;
    EXPECT_EQ(0, boxesAfter.load()) << road.name;
    const auto anyServer = [] { return FindWindowA(nullptr, kTftpTitle) || FindWindowA(nullptr, "BOOTP Desktop"); };
    EXPECT_TRUE(WaitUntil([&] { return !anyServer(); })) << road.name;
}

INSTANTIATE_TEST_SUITE_P(Waits, CloseDuringWaitTest, ::testing::ValuesIn(kCloseDuringWait),
                         [](const ::testing::TestParamInfo<CloseDuringWait> &info) { return info.param.name; });

namespace {

// What may reach the program while the installation-type page's Next waits out the services' start: a
// menu, toolbar or accelerator command, a recent file, the sheet's own buttons, the end of the session.
struct DuringServiceWait {
    const char *name;
    void (*send)(HWND main, HWND sheet);
    // The program ends once the wait is over, as after a close; otherwise the road goes on untouched.
    bool ends;
};

void PrintTo(const DuringServiceWait &intrusion, std::ostream *out) { *out << intrusion.name; }

class DuringServiceWaitTest : public WizardTest, public ::testing::WithParamInterface<DuringServiceWait> {};

void Command(HWND main, UINT id) { PostMessageA(main, WM_COMMAND, id, 0); }

const DuringServiceWait kDuringServiceWait[] = {
    {"RecentFile", [](HWND main, HWND) { Command(main, ID_FILE_MRU_FILE1); }, false},
    {"FileOpen", [](HWND main, HWND) { Command(main, ID_FILE_OPEN); }, false},
    {"Bios", [](HWND main, HWND) { Command(main, ID_BIOS); }, false},
    {"About", [](HWND main, HWND) { Command(main, ID_APP_ABOUT); }, false},
    {"Next", [](HWND, HWND sheet) { PostMessageA(sheet, PSM_PRESSBUTTON, PSBTN_NEXT, 0); }, false},
    {"NextClicked",
     [](HWND, HWND sheet) {
         PostMessageA(sheet, WM_COMMAND, MAKEWPARAM(12324, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(sheet, 12324)));
     },
     false},
    {"Back", [](HWND, HWND sheet) { PostMessageA(sheet, PSM_PRESSBUTTON, PSBTN_BACK, 0); }, false},
    {"LogOff",
     [](HWND main, HWND) {
         DWORD_PTR result = 0;
         SendMessageTimeoutA(main, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, SMTO_NORMAL, 20000, &result);
         SendMessageTimeoutA(main, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF, SMTO_NORMAL, 20000, &result);
     },
     true},
};

}  // namespace

// Nothing runs inside the handler's wait: no box or dialog opens, the page goes where the one Next
// leads, the services start once; the end of the session is held like a close and starts nothing.
TEST_P(DuringServiceWaitTest, NothingRunsInsideTheWaitAndTheEndOfTheSessionIsHeldLikeAClose)
{
    const DuringServiceWait &intrusion = GetParam();
    m_app->RecentFiles()->Add(GetAppFilePath("no_such_choices.tav"));
    ChooseDelivery("PMR_R700.001 | r");
    Press(PSBTN_NEXT);
    ChooseType(kTypeInstallation, "");
    profile::WriteInt("Timeouts", "WStartServices", 2000);
    const HWND main = Frame().GetSafeHwnd(), sheet = Sheet();
    std::atomic<bool> stop{false}, moved{false};
    std::atomic<int> questions{0}, boxesAfter{0};
    std::thread technician([&] {
        const DWORD pid = GetCurrentProcessId();
        if (HWND question = inspector::WaitForMessageBox(pid, 20000)) {
            ++questions;
            inspector::PressButton(question, IDYES);
            inspector::WaitForWindowGone(question, 20000);
        }
        const HWND wait = inspector::WaitForDialog(pid, 20000);
        const auto currentPage = [&] {
            DWORD_PTR page = 0;
            SendMessageTimeoutA(sheet, PSM_GETCURRENTPAGEHWND, 0, 0, SMTO_NORMAL, 20000, &page);
            return page;
        };
        const DWORD_PTR waitingPage = currentPage();
        if (wait) intrusion.send(main, sheet);
        // The page stays while the handler waits: a page read before the wait's dialog is seen still shown
        // was read during the wait.
        for (DWORD_PTR page; wait && (page = currentPage(), IsWindowVisible(wait));)
            if (page != waitingPage) moved = true;
        while (!stop)
            if (HWND box = inspector::WaitForDialog(pid, 50, wait)) {
                ++boxesAfter;
                inspector::PressButton(box, IDCANCEL);
                inspector::WaitForWindowGone(box, 20000);
            }
    });
    PropSheet_PressButton(sheet, PSBTN_NEXT);
    for (DWORD start = GetTickCount(); intrusion.ends && IsWindow(main) && GetTickCount() - start < 30000;) {
        Pump();
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
    Pump();
    stop = true;
    technician.join();
    EXPECT_EQ(1, questions.load());
    EXPECT_EQ(0, boxesAfter.load()) << "a box or dialog opened inside the wait";
    EXPECT_FALSE(moved) << "the page changed inside the wait";
    if (intrusion.ends) {
        EXPECT_FALSE(IsWindow(main)) << "the end of the session is carried out after the wait";
        EXPECT_FALSE(FindWindowA(nullptr, kTftpTitle) || FindWindowA(nullptr, "BOOTP Desktop"));
    } else {
        EXPECT_EQ(UINT(IDD_INSTALL), PageId());
        EXPECT_TRUE(ServicesRun());
        EXPECT_EQ(1u, m_app->RecentFiles()->Entries().size());
    }
}

INSTANTIATE_TEST_SUITE_P(Intrusions, DuringServiceWaitTest, ::testing::ValuesIn(kDuringServiceWait),
                         [](const ::testing::TestParamInfo<DuringServiceWait> &info) { return info.param.name; });

// A close asked for while a box is open is held; the box's answer given after it counts as Cancel, and
// no further box opens until the close is carried out.
TEST_F(WizardTest, AfterAHeldCloseABoxAnswersCancelAndNoOtherOpens)
{
    const HWND main = Frame().GetSafeHwnd();
    std::atomic<bool> done{false};
    std::atomic<int> boxes{0};
    std::thread technician([&] {
        const DWORD pid = GetCurrentProcessId();
        if (HWND box = inspector::WaitForMessageBox(pid, 20000)) {
            ++boxes;
            DWORD_PTR result = 0;
            SendMessageTimeoutA(main, WM_CLOSE, 0, 0, SMTO_NORMAL, 20000, &result);
            inspector::PressButton(box, IDYES);
            inspector::WaitForWindowGone(box, 20000);
        }
        while (!done)
            if (HWND box = inspector::WaitForMessageBox(pid, 50)) {
                ++boxes;
                inspector::PressButton(box, IDYES);
                inspector::WaitForWindowGone(box, 20000);
            }
    });
    const int first = AfxMessageBox("first question", MB_YESNO);
    const bool heldOpen = IsWindow(main) != FALSE;
    const int second = AfxMessageBox("second question", MB_YESNO);
    done = true;
    technician.join();
    EXPECT_EQ(IDCANCEL, first);
    EXPECT_EQ(IDCANCEL, second);
    EXPECT_EQ(1, boxes.load());
    EXPECT_TRUE(heldOpen) << "the close waits for the box";
    for (DWORD start = GetTickCount(); IsWindow(main) && GetTickCount() - start < 30000;) {
        Pump();
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
    EXPECT_FALSE(IsWindow(main)) << "the close is carried out once the box is gone";
}

namespace {

CTaviNewView *g_disconnectingView = nullptr;
std::atomic<bool> g_disconnected{false};

// A timer fires only once no posted message waits: what the DISCONNECT posted has been handled.
void CALLBACK MarkHandled(HWND, UINT, UINT_PTR id, DWORD)
{
    KillTimer(nullptr, id);
    g_disconnected = true;
}

// The board's DISCONNECT, relayed from inside whatever loop runs when the timer fires.
void CALLBACK DisconnectNow(HWND, UINT, UINT_PTR id, DWORD)
{
    KillTimer(nullptr, id);
    g_disconnectingView->OnBoardEvent(kMsgDisconnect, kStatusAck, "");
    SetTimer(nullptr, 0, 1, MarkHandled);
}

}  // namespace

// The telephony page's own Next press after the board's DISCONNECT waits while a box is open, and is
// dropped when the technician's Cancel has left the page meanwhile.
TEST_F(WizardTest, TheBoardsNextPressWaitsForAnOpenBoxAndIsDroppedOnceThePageIsLeft)
{
    for (const bool cancel : {false, true}) {
        ChooseDelivery("PMR_R700.001 | Multi");
        Press(PSBTN_NEXT);
        ChooseType(kTypeMultiMigration, m_storage.Path());
        Press(PSBTN_NEXT, {IDYES});
        ASSERT_EQ(UINT(IDD_SAVING_TELEPHONY), PageId());
        const HWND sheet = Sheet(), telephony = Page();
        g_disconnectingView = &View();
        g_disconnected = false;
        std::atomic<bool> movedInsideTheBox{false};
        std::thread technician([&] {
            HWND box = inspector::WaitForMessageBox(GetCurrentProcessId(), 20000);
            const auto current = [&] {
                DWORD_PTR page = 0;
                SendMessageTimeoutA(sheet, PSM_GETCURRENTPAGEHWND, 0, 0, SMTO_NORMAL, 20000, &page);
                return reinterpret_cast<HWND>(page);
            };
            for (const DWORD start = GetTickCount(); box && !g_disconnected && GetTickCount() - start < 20000;) Sleep(10);
            if (cancel) {
                PostMessageA(sheet, PSM_PRESSBUTTON, PSBTN_CANCEL, 0);
                for (const DWORD start = GetTickCount(); current() == telephony && GetTickCount() - start < 20000;) Sleep(10);
            } else {
                movedInsideTheBox = current() != telephony;
            }
            if (box) inspector::PressButton(box, IDOK);
        });
        SetTimer(nullptr, 0, 1, DisconnectNow);
        AfxMessageBox("a box of the program's", MB_OK);
        technician.join();
        Pump();
        EXPECT_TRUE(g_disconnected.load());
        EXPECT_FALSE(movedInsideTheBox.load());
        EXPECT_EQ(UINT(cancel ? IDD_MAIN_PAGE : IDD_SAVE_IA), PageId()) << (cancel ? "after a cancel" : "after the box");
        if (!cancel) Press(PSBTN_CANCEL);
    }
}
