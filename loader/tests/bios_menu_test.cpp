// Tavi.exe's "Bios" menu command opens the BIOS update dialog on the document's delivery.
#include "AppFixture.h"
#include "res/resource.h"

#include <gtest/gtest.h>

using namespace apptest;

namespace {

constexpr DWORD kWaitMillis = 20000;

class BiosMenuTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetSettings();
        HKEY config = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, (std::string(kProfileRoot) + "\\Config").c_str(),
                                                 0, nullptr, 0, KEY_WRITE, nullptr, &config, nullptr));
        const DWORD one = 1;
        RegSetValueExA(config, "Bios", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&one), sizeof one);
        RegCloseKey(config);
    }
    void TearDown() override { ResetSettings(); }
};

}  // namespace

TEST_F(BiosMenuTest, TheCommandOpensTheDialogOnTheDocumentsDelivery)
{
    TaviProcess tavi;
    HWND main = tavi.WaitForMainWindow();
    ASSERT_NE(nullptr, main);
    PostMessageA(main, WM_COMMAND, ID_BIOS, 0);
    HWND bios = inspector::WaitForWindow("#32770", "Bios Update", tavi.Pid(), kWaitMillis);
    ASSERT_NE(nullptr, bios);

    // No delivery has been chosen on the Main page yet.
    inspector::PressButton(bios, IDC_BIOS_START);
    HWND box = inspector::WaitForMessageBox(tavi.Pid(), kWaitMillis);
    ASSERT_NE(nullptr, box);
    EXPECT_EQ("Empty or Bad delivery ....", inspector::MessageBoxText(box));
    inspector::PressButton(box, IDOK);

    inspector::PressButton(bios, IDCANCEL);
    EXPECT_TRUE(inspector::WaitForWindowGone(bios, kWaitMillis));
    EXPECT_EQ(0, tavi.Close());
}
