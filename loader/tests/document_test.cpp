// The document in the running application: the ".tav" file through the pages, the target files of each
// road, the service start with its wait, the BOOTP entries and the stop order (through the servers'
// stand-ins), and the view relaying the board's events to the active page.
#include "DocumentFixture.h"

using namespace apptest;
using namespace fixture;
using namespace documenttest;

namespace {

std::string FileBytes(const std::string &path) { return ReadTextFile(path); }

// A page that is never shown, for the preparation every progress page runs before the Install page.
class PreparingPage : public CMyPages {
public:
    PreparingPage() : CMyPages(0) {}
    using CMyPages::PrepareTarget;
};

CTaviDoc *g_cancelling = nullptr;
void CALLBACK CancelFromInsideTheWait(HWND, UINT, UINT_PTR id, DWORD)
{
    KillTimer(nullptr, id);
    g_cancelling->StopServices();
}

bool HasLine(const std::string &text, const std::string &line) { return text.find(line + "\r\n") != std::string::npos; }

// The pause between the two servers' stops, as the servers stand at its start.
struct {
    DWORD millis = 0;
    bool tftpEnded = false, bootpRunning = false;
} g_stopGap;
void WINAPI WatchStopGap(DWORD millis)
{
    g_stopGap.millis = millis;
    g_stopGap.tftpEnded = WaitUntil([] { return !FindWindowA(nullptr, kTftpTitle); });
    g_stopGap.bootpRunning = FindWindowA(nullptr, "BOOTP Desktop") != nullptr;
}

}  // namespace

TEST_F(DocumentTest, ChoicesAreSavedAndReopenedByteForByteAndAFileThatEndsEarlyChangesNothing)
{
    TempFolder files("tavi_documents");
    const MainPageRecord choices = Choices(m_delivery.Path());
    Document().MainPage().Load(choices);
    const std::string first = files.Path() + "\\first.tav";
    ASSERT_TRUE(Document().OnSaveDocument(first));
    // The installation-type page was never shown: type 1 and no storage folder.
    EXPECT_EQ(WriteTavFile(choices, {kTypeMonoMigration, ""}), FileBytes(first));

    const std::string restore = files.Path() + "\\restore.tav";
    WriteTextFile(restore, WriteTavFile(choices, {kTypeInstallRestore, "D:\\Saved boards"}));
    ASSERT_TRUE(Document().OnOpenDocument(restore));
    EXPECT_EQ(kTypeInstallRestore, Document().SecondPage().InstallationType());
    const std::string again = files.Path() + "\\again.tav";
    ASSERT_TRUE(Document().OnSaveDocument(again));
    EXPECT_EQ(FileBytes(restore), FileBytes(again)) << "a loaded type and folder survive a page never shown";

    const std::string cut = files.Path() + "\\cut.tav";
    WriteTextFile(cut, FileBytes(first).substr(0, 20));
    DialogAnswerer box(IDOK, 20000, true);
    EXPECT_FALSE(Document().OnOpenDocument(cut));
    ASSERT_TRUE(box.Wait());
    EXPECT_NE(std::string::npos, box.message.find("cut.tav")) << box.message;
    const std::string after = files.Path() + "\\after.tav";
    ASSERT_TRUE(Document().OnSaveDocument(after));
    EXPECT_EQ(FileBytes(restore), FileBytes(after));
}

TEST_F(DocumentTest, FoldersLongerThanAPathAreShownAndSavedWhole)
{
    TempFolder files("tavi_documents");
    const MainPageRecord choices = Choices("C:\\" + std::string(300, 'd'));
    const InstallTypeRecord type{kTypeInstallRestore, "D:\\" + std::string(300, 's')};
    const std::string original = files.Path() + "\\long.tav";
    WriteTextFile(original, WriteTavFile(choices, type));
    ASSERT_TRUE(Document().OnOpenDocument(original));
    // Both pages show their folder, as they do when the technician goes through them.
    View().Sheet()->SetActivePage(1);
    Pump();
    ASSERT_EQ(UINT(IDD_INSTALLATION_TYPE), View().Sheet()->GetActivePage()->TemplateId());
    const std::string saved = files.Path() + "\\saved.tav";
    ASSERT_TRUE(Document().OnSaveDocument(saved));
    EXPECT_EQ(FileBytes(original), FileBytes(saved));
}

TEST_F(DocumentTest, TargetFilesCarryTheChoicesAndTheStepFlagsOfEachRoad)
{
    TempFolder storage("tavi_document_storage");
    struct Road {
        const char *release;
        int type;
        int flags;
        std::vector<std::string> yes;
        std::vector<std::string> no;
    };
    const Road roads[] = {
        {"PMR_R800.001 | r", kTypeInstallation, kStepInstall, {"INSTALL=yes", "REBOOT=no", "RAS=yes"},
         {"PC_FREE_SIZE", "SAVE_TELE", "IA_MULTI=yes"}},
        {"PMR_R700.001 | r", kTypeMonoMigration, kStepSaveIa | kStepSaveTele,
         {"SAVE_IA=yes", "SAVE_TELE=yes", "REBOOT=yes", "INSTALL=no", "PC_FREE_SIZE"}, {"SAVE_IA_MULTI=yes"}},
        {"PMR_R800.001 | r", kTypeMultiMigration, kStepSaveIa, {"SAVE_IA=yes", "REBOOT=no", "SAVE_IA_MULTI=no"}, {"SAVE_TELE"}},
        {"PMR_R800.001 | r", kTypeMultiMigration, kStepSaveTele, {"SAVE_TELE=yes", "SAVE_IA_MULTI=yes", "REBOOT=no"}, {}},
        {"PMR_R800.001 | r", kTypeInstallRestore, kStepRestore | kStepInstall, {"RESTORE_TELE=yes", "INSTALL=yes"},
         {"RESTORE_IA"}},
        {"PMR_R700.001 | r", kTypeInstallRestore, kStepRestore | kStepInstall, {"RESTORE_TELE=yes", "RESTORE_IA=yes"}, {}},
        {"PMR_R150.070 | r", kTypeInstallation, kStepInstall, {"IA_MULTI=yes"}, {"RAS=yes"}},
    };
    for (const Road &road : roads) {
        MakeNewStyleDelivery(m_delivery.Path(), road.release, "TOLMA");
        Document().Delivery().SetDeliveryPath(m_delivery.Path());
        ASSERT_TRUE(Document().Delivery().ReadDelivery());
        Document().MainPage().Load(Choices(m_delivery.Path()));
        Document().SecondPage().Load({road.type, storage.Path()});
        const std::string path = GetTftpbootPath() + "\\target.conf";
        ASSERT_TRUE(Document().WriteTargetFile(path, road.flags))
            << road.release << ": " << Document().Delivery().LastErrorText() << Document().Delivery().ErrorContext();
        const std::string text = ReadTextFile(path);
        for (const std::string &line : {"IA=yes", "VOIP=yes", "ACD=yes", "LUMASET=yes", "CLR_NOR_FK=yes", "COUNTRY=fr"})
            EXPECT_TRUE(HasLine(text, "export " + line)) << line << "\n" << text;
        for (const std::string &line : road.yes)
            EXPECT_NE(std::string::npos, text.find("export " + line)) << road.release << " " << road.flags << " " << line
                                                                        << "\n" << text;
        for (const std::string &line : road.no)
            EXPECT_EQ(std::string::npos, text.find("export " + line)) << road.release << " " << road.flags << " " << line
                                                                        << "\n" << text;
        EXPECT_EQ(road.flags, Document().LastTargetFlags());
        EXPECT_EQ("fr", Document().CountryText());
        // The boot folder was filled on the way.
        EXPECT_TRUE(FileExists(GetTftpbootPath() + "\\vmlinuz"));
    }
}

TEST_F(DocumentTest, AFailedBootFolderOrTargetFileIsReportedAsAFailure)
{
    MakeNewStyleDelivery(m_delivery.Path(), "PMR_R800.001 | r", "TOLMA");
    Document().Delivery().SetDeliveryPath(m_delivery.Path());
    Document().MainPage().Load(Choices(m_delivery.Path()));
    const std::string target = GetTftpbootPath() + "\\target.conf";
    {
        WriteTextFile(GetTftpbootPath(), "a file where the boot folder belongs");
        DialogAnswerer box(IDOK, 20000, true);
        EXPECT_FALSE(Document().WriteTargetFile(target, kStepInstall));
        ASSERT_TRUE(box.Wait()) << Document().Delivery().LastErrorText() << Document().Delivery().ErrorContext();
        EXPECT_EQ("Error tftpboot directory should be a directory", box.message);
        EXPECT_FALSE(Document().Delivery().LastErrorText().empty());
        DeleteFileA(GetTftpbootPath().c_str());
    }
    // The boot folder fills, but the target file itself cannot be written.
    CreateDirectoryA(GetTftpbootPath().c_str(), nullptr);
    CreateDirectoryA(target.c_str(), nullptr);
    EXPECT_FALSE(Document().WriteTargetFile(target, kStepInstall));
    EXPECT_TRUE(FileExists(GetTftpbootPath() + "\\vmlinuz")) << "the boot folder was filled";
    EXPECT_FALSE(Document().Delivery().LastErrorText().empty());
    EXPECT_EQ("[" + target + "]", Document().Delivery().ErrorContext());
    RemoveDirectoryA(target.c_str());
}

TEST_F(DocumentTest, ServicesStartAfterTheWaitTftpFirstAndStopTftpFirst)
{
    CDelivery &delivery = Document().Delivery();
    const DWORD called = GetTickCount();
    EXPECT_EQ(kServicesStarted, Document().StartServices(&delivery));
    const std::string tftp = ReadTextFile(Record("tftp"));
    const std::string bootp = ReadTextFile(Record("bootp"));
    ASSERT_NE(0u, RecordedTick(tftp, "started-at")) << tftp;
    ASSERT_NE(0u, RecordedTick(bootp, "started-at")) << bootp;
    EXPECT_GE(RecordedTick(tftp, "started-at") - called, 300u) << "the service-start timer runs first";
    EXPECT_GE(RecordedTick(bootp, "started-at"), RecordedTick(tftp, "started-at"));
    EXPECT_EQ(kServicesNoDelivery, Document().StartServices(nullptr));

    HWND tftpWindow = FindWindowA(nullptr, kTftpTitle), bootpWindow = FindWindowA(nullptr, "BOOTP Desktop");
    ASSERT_NE(nullptr, tftpWindow);
    ASSERT_NE(nullptr, bootpWindow);
    CTaviDoc::s_stopGap = WatchStopGap;
    Document().StopServices();
    CTaviDoc::s_stopGap = Sleep;
    EXPECT_TRUE(delivery.Cancelled());
    EXPECT_EQ(300u, g_stopGap.millis);
    EXPECT_TRUE(g_stopGap.tftpEnded && g_stopGap.bootpRunning) << "the BOOTP server stops after the TFTP server";
    EXPECT_TRUE(inspector::WaitForWindowGone(bootpWindow, 30000));
    EXPECT_FALSE(Frame().ConnectedIconShown());
}

TEST_F(DocumentTest, TheBootpEntryGoesToTheSectionsOfTheBoardByVersionBoardAndKernel)
{
    SetMachineValue("TftpCtrl", "0");
    SetMachineValue("BootpCtrl", "0");
    profile::WriteInt("Timeouts", "WStartServices", 1);
    const std::string database = GetAppFilePath("bootptab.ini");
    const std::string board = IncrementIpAddress(kPcAddress);
    struct Case {
        const char *release;
        const char *boardType;
        const char *kernel;
        std::vector<std::pair<const char *, std::string>> sections;
    };
    const Case cases[] = {
        {"PMR_R799.001 | r", "TOLMA", "kernel100_031", {{kMacSuffixOldBoard, board}}},
        {"PMR_R800.001 | r", "VUSKO", "kernel100_031", {{kMacSuffixVusko, board}}},
        {"PMR_R800.001 | r", "TOLMA", "kernel100_031", {{kMacSuffixMainFirst, board}, {kMacSuffixMainSecond, board}}},
        {"PMR_R800.001 | r", "TOLMA", "kernel100_024", {{kMacSuffixMainFirst, board}, {kMacSuffixMainSecond, ""}}},
    };
    for (const Case &c : cases) {
        DeleteFileA(database.c_str());
        WriteTextFile(m_delivery.Path() + "\\DownloadingItems\\boot\\config.rc",
                      std::string(c.release) + "\r\n" + c.kernel + "_smp\r\n");
        CDelivery &delivery = Document().Delivery();
        delivery.SetDeliveryPath(m_delivery.Path());
        ASSERT_TRUE(delivery.ReadDelivery());
        g_boardType = c.boardType;
        ASSERT_EQ(kServicesStarted, Document().StartServices(&delivery));
        const std::string ini = ReadTextFile(database);
        size_t sections = 0;
        for (const auto &[suffix, address] : c.sections) {
            const std::string section = std::string(kBoardMacPrefix) + "-" + suffix;
            char value[64] = "absent";
            GetPrivateProfileStringA(section.c_str(), "IP address", "absent", value, sizeof value, database.c_str());
            EXPECT_EQ(address, value) << c.release << " " << c.boardType << " " << section << "\n" << ini;
            ++sections;
        }
        EXPECT_EQ(sections, static_cast<size_t>(std::count(ini.begin(), ini.end(), '['))) << ini;
    }
    // Without "Ip_BootpTab" the database is not touched.
    DeleteFileA(database.c_str());
    profile::WriteInt("Config", "Ip_BootpTab", 0);
    EXPECT_EQ(kServicesStarted, Document().StartServices(&Document().Delivery()));
    EXPECT_FALSE(FileExists(database));
}

TEST_F(DocumentTest, ACancelQuitOrCloseDuringTheWaitStartsNothing)
{
    profile::WriteInt("Timeouts", "WStartServices", 5000);
    CDelivery &delivery = Document().Delivery();
    // The technician's cancel, from a handler that runs inside the wait.
    g_cancelling = &Document();
    SetTimer(nullptr, 0, 100, CancelFromInsideTheWait);
    EXPECT_EQ(kServicesStopped, Document().StartServices(&delivery));

    delivery.SetCancelled(false);
    PostQuitMessage(7);
    EXPECT_EQ(kServicesStopped, Document().StartServices(&delivery));
    MSG quit;
    ASSERT_TRUE(PeekMessageA(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) << "the quit still ends the program";
    EXPECT_EQ(7u, quit.wParam);

    // A close asked for inside the wait ends the wait; the window closes only once the wait is over.
    delivery.SetCancelled(false);
    HWND main = Frame().GetSafeHwnd();
    PostMessageA(main, WM_CLOSE, 0, 0);
    EXPECT_EQ(kServicesStopped, Document().StartServices(&delivery));
    EXPECT_TRUE(IsWindow(main));
    Pump();
    EXPECT_FALSE(IsWindow(main));
    EXPECT_EQ(nullptr, m_app->GetMainWnd());

    EXPECT_FALSE(FileExists(Record("tftp")));
    EXPECT_FALSE(FileExists(Record("bootp")));
}

TEST_F(DocumentTest, TheViewRelaysTheBoardToTheActivePageAndRunsItsTimerFromConnectToDisconnect)
{
    g_deliveryVersion = 800;
    CTaviWiz &sheet = *View().Sheet();
    sheet.SetActivePage(5);
    Pump();
    ASSERT_EQ(UINT(IDD_INSTALL), sheet.GetActivePage()->TemplateId());
    HWND install = sheet.GetActivePage()->GetSafeHwnd();

    View().OnBoardEvent(kMsgConnect, kStatusAck, "PMR 8.0");
    EXPECT_TRUE(Frame().ConnectedIconShown());
    EXPECT_TRUE(View().ViewTimerRunning());
    View().OnCopyProgress(kMsgCopyWait, kStatusAck, "0/250");
    EXPECT_EQ(std::make_pair(0, 250), inspector::ProgressRange(install, IDC_COPY_BAR));
    View().OnCopyProgress(kMsgCopyWait, kStatusCopying, "100/34");
    EXPECT_EQ(98, inspector::ProgressPos(install, IDC_COPY_BAR));

    // Log lines reach the Install page's log box once nothing else waits; waiting lines collapse into one.
    auto &installPage = dynamic_cast<CTaviWizInstall &>(*sheet.GetActivePage());
    auto showLog = [&] {
        for (const DWORD start = GetTickCount(); !installPage.LogShown() && GetTickCount() - start < 20000;) {
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
            Pump();
        }
        EXPECT_TRUE(installPage.LogShown());
    };
    View().LogText("127.0.0.1", 0, " copying", false);
    View().LogText("_WAIT_", 0, "", false);
    View().LogText("_WAIT_", 0, "", false);
    showLog();
    const std::string log = inspector::ControlText(install, IDC_INSTALL_LOG);
    EXPECT_NE(std::string::npos, log.find("127.0.0.1 copying\r\n")) << log;
    EXPECT_EQ(log.size() - 7, log.rfind("..... 2")) << log;

    // A flood of lines: the log and the box keep the newest lines, the box the log's last whole lines.
    for (int i = 0; i < 12000; ++i) View().LogText("10.0.0.9", 0, "line " + std::to_string(i), false);
    View().LogText("_WAIT_", 0, "", false);
    View().LogText("_WAIT_", 0, "", false);
    showLog();
    const std::string &all = View().Log();
    const std::string shown = inspector::ControlText(install, IDC_INSTALL_LOG);
    EXPECT_LT(all.size(), 300u * 1024);
    EXPECT_EQ(std::string::npos, all.find("line 0\r\n"));
    EXPECT_LT(shown.size(), 20u * 1024);
    ASSERT_GT(shown.size(), 1000u);
    EXPECT_EQ(all.substr(all.size() - shown.size()), shown);
    EXPECT_EQ('\n', all[all.size() - shown.size() - 1]);
    EXPECT_NE(std::string::npos, shown.find("line 11999\r\n"));
    EXPECT_EQ(shown.size() - 7, shown.rfind("..... 2")) << shown.substr(shown.size() - 200);

    View().OnBoardEvent(kMsgDisconnect, kStatusAck, "");
    Pump();
    EXPECT_FALSE(Frame().ConnectedIconShown());
    EXPECT_FALSE(View().ViewTimerRunning());
    EXPECT_TRUE(inspector::IsControlEnabled(sheet.GetSafeHwnd(), 12324)) << "Next";
    EXPECT_FALSE(inspector::IsControlEnabled(sheet.GetSafeHwnd(), 12323)) << "Back";
    EXPECT_TRUE(inspector::IsControlVisible(install, IDC_INSTALL_END));

    // A board error stops the timer and is shown; Cancel returns to the Main page and keeps the wizard.
    View().OnBoardEvent(kMsgConnect, kStatusAck, "PMR 8.0");
    {
        DialogAnswerer box(IDOK, 20000, true);
        View().OnBoardError(kMsgFormatErr, kStatusEnd, "12 Disk full");
        Pump();
        ASSERT_TRUE(box.Wait());
        EXPECT_EQ("Disk full", box.message);
    }
    EXPECT_FALSE(View().ViewTimerRunning());
    View().OnBoardEvent(kMsgConnect, kStatusAck, "PMR 8.0");
    PropSheet_PressButton(sheet.GetSafeHwnd(), PSBTN_CANCEL);
    Pump();
    EXPECT_EQ(UINT(IDD_MAIN_PAGE), sheet.GetActivePage()->TemplateId());
    EXPECT_FALSE(View().ViewTimerRunning());
    EXPECT_TRUE(Document().Delivery().Cancelled());
    EXPECT_TRUE(IsWindow(sheet.GetSafeHwnd()));
}

TEST_F(DocumentTest, TheFrameShowsTheWizardWithToolTipsFromTheTexts)
{
    RECT sheet, view;
    GetWindowRect(View().Sheet()->GetSafeHwnd(), &sheet);
    GetClientRect(View().GetSafeHwnd(), &view);
    EXPECT_EQ(sheet.right - sheet.left, view.right) << "the view is as large as the sheet";
    EXPECT_NE(nullptr, Frame().ToolBar());
    EXPECT_EQ("Open", CMainFrame::ToolTipText(ID_FILE_OPEN));
    EXPECT_EQ("Language", CMainFrame::ToolTipText(ID_LANGUAGE_FR));
    NMTTDISPINFOW wide = {};
    wide.hdr.hwndFrom = Frame().ToolBar();
    wide.hdr.idFrom = ID_APP_ABOUT;
    wide.hdr.code = TTN_NEEDTEXTW;
    SendMessageW(Frame().GetSafeHwnd(), WM_NOTIFY, 0, reinterpret_cast<LPARAM>(&wide));
    EXPECT_EQ(std::wstring(L"About"), wide.szText);
}

TEST_F(DocumentTest, PreparingTheTargetServesTheDeliveryAndAfterACancelGoesBackToTheMainPage)
{
    MakeNewStyleDelivery(m_delivery.Path(), "PMR_R800.001 | r", "TOLMA");
    Document().MainPage().Load(Choices(m_delivery.Path()));
    ASSERT_TRUE(Document().MainPage().CheckDelivery(&Document().Delivery(), ""));
    PreparingPage page;
    {
        DialogAnswerer question(IDNO, 20000, true);
        EXPECT_EQ(140, page.PrepareTarget(140, 144)) << "No stays";
        ASSERT_TRUE(question.Wait());
    }
    EXPECT_FALSE(FileExists(GetTftpbootPath() + "\\target_dravenle.conf"));
    {
        DialogAnswerer question(IDYES, 20000, true);
        EXPECT_EQ(144, page.PrepareTarget(140, 144));
        ASSERT_TRUE(question.Wait());
    }
    EXPECT_TRUE(HasLine(ReadTextFile(GetTftpbootPath() + "\\target_dravenle.conf"), "export RESTORE_TELE=yes"));
    EXPECT_EQ(kStepRestore | kStepInstall, Document().LastTargetFlags());
    EXPECT_NE(nullptr, FindWindowA(nullptr, kTftpTitle));
    std::string root;
    WaitUntil([&] {
        root = ReadTextFile(GetAppFilePath("Seldrix.exe.record"));
        return root.find("Root ") != std::string::npos;
    });
    EXPECT_NE(std::string::npos, root.find("Root " + m_delivery.Path() + "\\DownloadingItems\n")) << root;

    // A cancel during the service wait: back to the Main page, never on to a page without services.
    profile::WriteInt("Timeouts", "WStartServices", 5000);
    Document().Delivery().SetCancelled(false);
    g_cancelling = &Document();
    SetTimer(nullptr, 0, 300, CancelFromInsideTheWait);
    DialogAnswerer question(IDYES, 20000, true);
    EXPECT_EQ(IDD_MAIN_PAGE, page.PrepareTarget(140, 144));
    ASSERT_TRUE(question.Wait());
}
