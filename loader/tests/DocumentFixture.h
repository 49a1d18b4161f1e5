// The running application with its document, the outside servers' stand-ins configured as the loader's
// servers, a BOOTP database and the PC's address: the fixture of the document and wizard tests.
#pragma once

#include "AppFixture.h"
#include "BoardMessage.h"
#include "BootFolder.h"
#include "DeliveryFixture.h"
#include "ExtService.h"
#include "MainFrm.h"
#include "SplashDlg.h"
#include "TaviApp.h"
#include "TaviDoc.h"
#include "TaviNewView.h"
#include "framework/Profile.h"
#include "res/resource.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

namespace documenttest {

using namespace apptest;
using namespace fixture;

inline const char kTftpTitle[] = "TFTP stand-in of the document test";
inline const char kBootpKey[] = "SOFTWARE\\WS\\BOOTP Desktop";
inline const char kPcAddress[] = "192.168.77.1";

class DocumentTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetSettings();
        Clean();
        CSplashDlg::s_showMillis = 1;
        CExtService::s_waitRoundMillis = 2000;
        CTaviDoc::s_stopGapMillis = 300;
        profile::WriteString("Config", "IpAddress", kPcAddress);
        profile::WriteInt("Timeouts", "WStartServices", 300);
        m_machine = CreateMachineKey(MachineKeyPath());
        SetMachineValue("TftpName", kTftpTitle);
        SetMachineValue("TftpPath", "\"" + GetAppFilePath("tftpdesk.exe") + "\" /title \"" + kTftpTitle + "\" /record \"" +
                                        Record("tftp") + "\"");
        SetMachineValue("BootpPath", "\"" + GetAppFilePath("bootpdesk.exe") + "\" /record \"" + Record("bootp") + "\"");
        HKEY bootp = CreateMachineKey(kBootpKey);
        const std::string database = GetAppFilePath("bootptab.ini");
        RegSetValueExA(bootp, "DatabasePath", 0, REG_SZ, reinterpret_cast<const BYTE *>(database.c_str()),
                       static_cast<DWORD>(database.size() + 1));
        RegCloseKey(bootp);
        m_app = std::make_unique<CTaviApp>();
        ASSERT_TRUE(m_app->Start(GetModuleHandleA(nullptr), ""));
    }

    void TearDown() override
    {
        if (m_app) {
            if (m_app->GetMainWnd()) DestroyWindow(m_app->GetMainWnd()->GetSafeHwnd());
            m_app->ExitInstance();
            m_app.reset();
        }
        // The closed main window asked the thread to quit; the next case starts afresh.
        MSG quit;
        while (PeekMessageA(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
        }
        EXPECT_TRUE(QuitServerWindows({kTftpTitle, "BOOTP Desktop"}));
        CExtNfs::KillByName();
        if (m_machine) RegCloseKey(m_machine);
        Clean();
        ResetSettings();
        g_deliveryVersion = 0;
        g_boardType.clear();
    }

    void Clean()
    {
        DeleteMachineKey(MachineKeyPath());
        DeleteMachineKey(kBootpKey);
        for (const char *name : {"tftp", "bootp", "Seldrix.exe"}) DeleteFileA(Record(name).c_str());
        RegDeleteTreeA(HKEY_CURRENT_USER, "SOFTWARE\\Seldrix");
        DeleteFileA(GetAppFilePath("bootptab.ini").c_str());
        RemoveTree(GetTftpbootPath());
    }

    static std::string Record(const char *server) { return GetAppFilePath(std::string(server) + ".record"); }
    void SetMachineValue(const char *name, const std::string &value)
    {
        RegSetValueExA(m_machine, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(value.c_str()),
                       static_cast<DWORD>(value.size() + 1));
    }

    CTaviDoc &Document() { return *dynamic_cast<CTaviDoc *>(m_app->Template()->GetDocument()); }
    CTaviNewView &View() { return *m_app->MainView(); }
    CMainFrame &Frame() { return *m_app->MainFrame(); }

    // Handles what is waiting, so that posted wizard buttons and relayed events take effect.
    static void Pump()
    {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }

    // The number after "<what> " in a stand-in's record; 0 when it is not there.
    static DWORD RecordedTick(const std::string &record, const std::string &what)
    {
        const size_t at = record.find(what + " ");
        return at == std::string::npos ? 0 : std::strtoul(record.c_str() + at + what.size() + 1, nullptr, 10);
    }

    static MainPageRecord Choices(const std::string &folder)
    {
        MainPageRecord main;
        main.deliveryFolder = folder;
        main.options = {1, 1, 1, 1, 1, 1};
        main.countries = {"de", "fr"};
        main.selectedCountry = 1;
        return main;
    }

    HangWatch m_hangWatch{[] {
        QuitServerWindows({kTftpTitle, "BOOTP Desktop"});
        CExtNfs::KillByName();
    }};
    std::unique_ptr<CTaviApp> m_app;
    HKEY m_machine = nullptr;
    TempFolder m_delivery{"tavi_document_delivery"};
};

}  // namespace documenttest
