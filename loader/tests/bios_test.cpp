// The BIOS update dialog driven as a technician would, with the gzip and server stand-ins beside this
// program: the boot list per CPU kind, the refusals, the servers' start and stop order, a corrupt image;
// and the bounds of RunAndWait.
#include "AppFixture.h"
#include "BootFolder.h"
#include "Delivery.h"
#include "DeliveryFixture.h"
#include "ExtService.h"
#include "TaviBios.h"
#include "WindowProbe.h"
#include "res/resource.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>

using namespace fixture;

namespace {

const char kTftpTitle[] = "TFTP stand-in of the BIOS test";
const char kBootpTitle[] = "BOOTP stand-in of the BIOS test";
constexpr DWORD kWaitMillis = 30000;

void WriteGzip(const std::string &path, const std::string &content)
{
    WriteTextFile(path, "");
    gzFile file = gzopen(path.c_str(), "wb");
    ASSERT_NE(nullptr, file);
    ASSERT_EQ(static_cast<int>(content.size()), gzwrite(file, content.data(), static_cast<unsigned>(content.size())));
    ASSERT_EQ(Z_OK, gzclose(file));
}

bool WaitForText(const std::string &path, const std::string &part)
{
    const DWORD start = GetTickCount();
    while (ReadTextFile(path).find(part) == std::string::npos) {
        if (GetTickCount() - start > kWaitMillis) return false;
        Sleep(20);
    }
    return true;
}

class BiosTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Clean();
        CExtService::s_waitRoundMillis = 2000;
        HKEY key = apptest::CreateMachineKey(MachineKeyPath());
        ASSERT_NE(nullptr, key);
        const std::string record = " /record \"" + m_record + "\"";
        SetValue(key, "TftpName", kTftpTitle);
        SetValue(key, "TftpPath", "\"" + GetAppFilePath("tftpdesk.exe") + "\" /title \"" + kTftpTitle + "\"" + record);
        SetValue(key, "BootpName", kBootpTitle);
        SetValue(key, "BootpPath", "\"" + GetAppFilePath("bootpdesk.exe") + "\" /title \"" + kBootpTitle + "\"" + record);
        RegCloseKey(key);
        WriteGzip(m_delivery.Path() + "\\DownloadingItems\\bios\\pmr_bios.hex.gz", kCorvoImage);
        WriteGzip(m_delivery.Path() + "\\DownloadingItems\\bspiii\\pmr_bios.hex.gz", kPiiiImage);
        m_deliveryObject.SetDeliveryPath(m_delivery.Path());
    }
    void TearDown() override
    {
        EXPECT_TRUE(apptest::QuitServerWindows({kTftpTitle, kBootpTitle}));
        Clean();
    }
    void Clean()
    {
        apptest::DeleteMachineKey(MachineKeyPath());
        for (const std::string &file : {m_record, Boot("pmr_bios.hex"), Boot("pmr_bios.hex.gz"), Boot(kBootListFlash)})
            DeleteFileA(file.c_str());
    }
    static void SetValue(HKEY key, const char *name, const std::string &value)
    {
        RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(value.c_str()),
                       static_cast<DWORD>(value.size() + 1));
    }
    static std::string Boot(const std::string &name) { return GetTftpbootPath() + "\\" + name; }

    // Runs the dialog modally here while `drive` plays the technician on a thread of its own; the dialog is
    // cancelled at the end whatever the driver saw.
    void RunDialog(const std::function<void(HWND)> &drive)
    {
        std::thread technician([&] {
            HWND dialog = inspector::WaitForDialog(GetCurrentProcessId(), kWaitMillis);
            if (!dialog) return;
            m_title = inspector::Text(dialog);
            drive(dialog);
            inspector::PressButton(dialog, IDCANCEL);
        });
        CTaviBios bios(m_deliveryObject);
        EXPECT_EQ(IDCANCEL, bios.DoModal(nullptr));
        technician.join();
    }
    // Presses Start and answers the message box it shows; its text.
    std::string StartExpectingBox(HWND dialog)
    {
        inspector::PressButton(dialog, IDC_BIOS_START);
        HWND box = inspector::WaitForMessageBox(GetCurrentProcessId(), kWaitMillis);
        if (!box) return "(no box)";
        const std::string text = inspector::MessageBoxText(box);
        inspector::PressButton(box, IDOK);
        return text;
    }
    void ExpectNothingServed()
    {
        EXPECT_FALSE(FileExists(Boot("pmr_bios.hex")));
        EXPECT_FALSE(FileExists(Boot("pmr_bios.hex.gz")));
        EXPECT_FALSE(FileExists(Boot(kBootListFlash)));
        EXPECT_EQ(std::string::npos, ReadTextFile(m_record).find("start ")) << ReadTextFile(m_record);
    }

    const std::string kCorvoImage = std::string(70000, 'C') + ":00000001FF\r\n";
    const std::string kPiiiImage = ":020000040000FA\r\n:00000001FF\r\n";
    const std::string m_record = GetAppFilePath("bios.record");
    TempFolder m_delivery{"bios-delivery"};
    CDelivery m_deliveryObject;
    std::string m_title;
};

std::string ExpectedList(size_t size)
{
    return "pmr_bios.hex;" + std::to_string(size) + ";HEX;1048576;1048576\nnone;0;STOP;0;0\nnone;0;BOOT;0;4294967295\n";
}

}  // namespace

TEST_F(BiosTest, EachCpuKindServesItsImageThroughTftpThenBootpAndCancelStopsBootpFirst)
{
    struct Kind {
        int radio;
        const std::string *image;
    };
    for (const Kind &kind : {Kind{IDC_BIOS_CORVO, &kCorvoImage}, Kind{IDC_BIOS_PIII, &kPiiiImage}}) {
        DeleteFileA(m_record.c_str());
        bool served = false;
        RunDialog([&](HWND dialog) {
            CheckDlgButton(dialog, kind.radio, BST_CHECKED);
            inspector::PressButton(dialog, IDC_BIOS_START);
            served = WaitForText(m_record, "window " + std::string(kBootpTitle));
        });
        ASSERT_TRUE(served) << ReadTextFile(m_record);
        EXPECT_EQ("Bios Update", m_title);
        EXPECT_EQ(*kind.image, ReadTextFile(Boot("pmr_bios.hex")));
        EXPECT_FALSE(FileExists(Boot("pmr_bios.hex.gz")));
        EXPECT_EQ(ExpectedList(kind.image->size()), ReadTextFile(Boot(kBootListFlash)));

        ASSERT_TRUE(WaitForText(m_record, "end " + std::string(kTftpTitle))) << ReadTextFile(m_record);
        const std::string record = ReadTextFile(m_record);
        EXPECT_LT(record.find("tftpdesk.exe"), record.find("bootpdesk.exe")) << record;
        EXPECT_LT(record.find("end " + std::string(kBootpTitle)), record.find("end " + std::string(kTftpTitle)))
            << record;
    }
}

TEST_F(BiosTest, StartRefusesWithoutCpuKindOrDelivery)
{
    std::string text;
    RunDialog([&](HWND dialog) { text = StartExpectingBox(dialog); });
    EXPECT_EQ("Check Kind of CPU", text);
    ExpectNothingServed();

    m_deliveryObject.SetDeliveryPath("");
    RunDialog([&](HWND dialog) {
        CheckDlgButton(dialog, IDC_BIOS_PIII, BST_CHECKED);
        text = StartExpectingBox(dialog);
    });
    EXPECT_EQ("Empty or Bad delivery ....", text);
    ExpectNothingServed();
}

TEST_F(BiosTest, ACorruptOrMissingImageIsShownAndNoStaleImageIsServed)
{
    WriteTextFile(m_delivery.Path() + "\\DownloadingItems\\bios\\pmr_bios.hex.gz", "not a compressed image");
    for (const int radio : {IDC_BIOS_CORVO, IDC_BIOS_PIII}) {
        if (radio == IDC_BIOS_PIII) DeleteFileA((m_delivery.Path() + "\\DownloadingItems\\bspiii\\pmr_bios.hex.gz").c_str());
        // What an earlier, successful run left.
        WriteTextFile(Boot("pmr_bios.hex"), kPiiiImage);
        WriteTextFile(Boot(kBootListFlash), ExpectedList(kPiiiImage.size()));
        std::string text;
        RunDialog([&](HWND dialog) {
            CheckDlgButton(dialog, radio, BST_CHECKED);
            text = StartExpectingBox(dialog);
        });
        EXPECT_NE(std::string::npos, text.find(radio == IDC_BIOS_CORVO ? "gzip" : "bspiii")) << text;
        ExpectNothingServed();
    }
}

TEST_F(BiosTest, AnImageThatUnpacksToNothingOrAListThatCannotBeWrittenStartsNoServer)
{
    struct Case {
        const char *name;
        std::function<void()> prepare;
        const char *named;  // what the box names
    };
    const std::string list = Boot(kBootListFlash);
    const std::string corvo = m_delivery.Path() + "\\DownloadingItems\\bios\\pmr_bios.hex.gz";
    const Case cases[] = {
        {"empty image", [&] { WriteGzip(corvo, ""); }, "pmr_bios.hex]"},
        {"list not writable",
         [&] {
             WriteGzip(corvo, kCorvoImage);
             CreateDirectoryA(list.c_str(), nullptr);
         },
         kBootListFlash},
    };
    for (const Case &c : cases) {
        DeleteFileA(m_record.c_str());
        c.prepare();
        std::string text;
        RunDialog([&](HWND dialog) {
            CheckDlgButton(dialog, IDC_BIOS_CORVO, BST_CHECKED);
            text = StartExpectingBox(dialog);
        });
        RemoveDirectoryA(list.c_str());
        EXPECT_NE(std::string::npos, text.find(c.named)) << c.name << ": " << text;
        EXPECT_FALSE(FileExists(list)) << c.name;
        EXPECT_FALSE(FileExists(Boot("pmr_bios.hex"))) << c.name;
        EXPECT_EQ(std::string::npos, ReadTextFile(m_record).find("start ")) << c.name << "\n" << ReadTextFile(m_record);
    }
}

namespace {

// A hasty technician: Start, then OK or Cancel before the unpack is over. Both clicks wait in the queue
// while gzip runs, and the servers' start is the first to handle waiting messages.
class HastyBios : public CTaviBios {
public:
    HastyBios(const CDelivery &delivery, int end) : CTaviBios(delivery), m_end(end) {}

protected:
    BOOL OnInitDialog() override
    {
        CheckDlgButton(m_hWnd, IDC_BIOS_CORVO, BST_CHECKED);
        for (const int button : {int(IDC_BIOS_START), m_end}) inspector::PressButton(m_hWnd, button);
        return TRUE;
    }

private:
    int m_end;
};

}  // namespace

TEST_F(BiosTest, OkOrCancelDuringStartEndsTheUpdateWithNothingRunningAndNoListServed)
{
    for (const int end : {IDCANCEL, IDOK}) {
        DeleteFileA(m_record.c_str());
        EXPECT_EQ(end, HastyBios(m_deliveryObject, end).DoModal(nullptr));
        ExpectNothingServed();
        const auto anyServer = [] { return FindWindowA(nullptr, kTftpTitle) || FindWindowA(nullptr, kBootpTitle); };
        for (const DWORD start = GetTickCount(); anyServer() && GetTickCount() - start < kWaitMillis;) Sleep(20);
        EXPECT_FALSE(anyServer()) << end;
    }
}

TEST_F(BiosTest, RunAndWaitIsBoundedAndHandsBackAQuit)
{
    const std::string server = "\"" + GetAppFilePath("tftpdesk.exe") + "\" /title \"" + kTftpTitle + "\"";
    DWORD exitCode = 0;
    EXPECT_EQ(static_cast<DWORD>(ERROR_TIMEOUT), RunAndWait(server, false, exitCode, 2));
    EXPECT_EQ(nullptr, FindWindowA(nullptr, kTftpTitle));

    PostQuitMessage(7);
    EXPECT_EQ(static_cast<DWORD>(ERROR_CANCELLED), RunAndWait(server, true, exitCode));
    MSG quit;
    ASSERT_TRUE(PeekMessageA(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(7u, quit.wParam);

    EXPECT_EQ(0u, RunAndWait("\"" + GetAppFilePath("gzip.exe") + "\" -df \"" + m_delivery.Path() + "\\none.gz\"", false,
                             exitCode));
    EXPECT_EQ(1u, exitCode);
}

namespace {

// Start pressed once or twice before the dialog's loop runs (the second click waits in the queue of the
// first Start's box or loop); Cancel pressed only once the outermost Start has returned, so nothing
// but Start itself decides what runs.
class StartingBios : public CTaviBios {
public:
    StartingBios(const CDelivery &delivery, int starts, bool corvo)
        : CTaviBios(delivery), m_starts(starts), m_corvo(corvo)
    {
    }

protected:
    BOOL OnInitDialog() override
    {
        if (m_corvo) CheckDlgButton(m_hWnd, IDC_BIOS_CORVO, BST_CHECKED);
        for (int i = 0; i < m_starts; ++i) inspector::PressButton(m_hWnd, IDC_BIOS_START);
        return TRUE;
    }
    bool OnCommand(UINT id, UINT code) override
    {
        ++m_depth;
        const bool handled = CTaviBios::OnCommand(id, code);
        if (--m_depth == 0 && id == IDC_BIOS_START) inspector::PressButton(m_hWnd, IDCANCEL);
        return handled;
    }

private:
    int m_starts;
    bool m_corvo;
    int m_depth = 0;
};

}  // namespace

TEST_F(BiosTest, ASecondStartDuringStartAndAListThatCannotBeWrittenRunNothingMore)
{
    struct Case {
        const char *name;
        int starts;
        bool corvo;
        bool listBlocked;
    };
    // No CPU kind: Start's box is open when the second click comes, which must not ask again.
    // The boot list blocked by a folder of its name: Start shows the failure and starts no server.
    const Case cases[] = {{"second Start", 2, false, false}, {"list not writable", 1, true, true}};
    const std::string list = Boot(kBootListFlash);
    for (const Case &c : cases) {
        DeleteFileA(m_record.c_str());
        CreateDirectoryA(GetTftpbootPath().c_str(), nullptr);
        if (c.listBlocked) ASSERT_TRUE(CreateDirectoryA(list.c_str(), nullptr)) << GetLastError();
        std::atomic<bool> ended{false};
        std::atomic<int> boxes{0};
        std::thread technician([&] {
            while (!ended)
                if (HWND box = inspector::WaitForMessageBox(GetCurrentProcessId(), 50)) {
                    ++boxes;
                    inspector::PressButton(box, IDOK);
                    inspector::WaitForWindowGone(box, kWaitMillis);
                }
        });
        EXPECT_EQ(IDCANCEL, StartingBios(m_deliveryObject, c.starts, c.corvo).DoModal(nullptr)) << c.name;
        ended = true;
        technician.join();
        RemoveDirectoryA(list.c_str());
        EXPECT_EQ(1, boxes.load()) << c.name;
        EXPECT_EQ(std::string::npos, ReadTextFile(m_record).find("start ")) << c.name << "\n" << ReadTextFile(m_record);
    }
}
