// Tavi.exe as a process: what start-up leaves in the registry, one instance only, the debug log, and a
// screenshot of the main window for a reviewer.
#include "AppFixture.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

using namespace apptest;

namespace {

class StartupTest : public ::testing::Test {
protected:
    void SetUp() override { ResetSettings(); }
    void TearDown() override { ResetSettings(); }
};

// A fresh, empty folder for the child's temporary files.
std::string FreshTempFolder()
{
    char base[MAX_PATH] = {};
    GetTempPathA(sizeof base, base);
    std::string folder = std::string(base) + "tavi_debug_" + std::to_string(GetCurrentProcessId());
    CreateDirectoryA(folder.c_str(), nullptr);
    return folder;
}

std::string OnlyFileIn(const std::string &folder)
{
    WIN32_FIND_DATAA found = {};
    HANDLE search = FindFirstFileA((folder + "\\*.tmp").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return "";
    std::string name = found.cFileName;
    const bool more = FindNextFileA(search, &found);
    FindClose(search);
    return more ? "" : folder + "\\" + name;
}

}  // namespace

TEST_F(StartupTest, StartUpStoresTheLanguageAndExitStoresTheRecentFiles)
{
    TaviProcess tavi;
    ASSERT_TRUE(tavi.Started());
    ASSERT_NE(nullptr, tavi.WaitForMainWindow());
    DWORD language = 0;
    ASSERT_TRUE(StoredDword(nullptr, "Language", language));
    EXPECT_EQ(1033u, language);
    EXPECT_EQ(0, tavi.Close());
    std::string first;
    EXPECT_TRUE(StoredString("Recent File List", "File1", first));
    EXPECT_EQ("", first);
}

TEST_F(StartupTest, ASecondStartRestoresTheFirstInstanceAndEnds)
{
    TaviProcess first;
    HWND main = first.WaitForMainWindow();
    ASSERT_NE(nullptr, main);
    ShowWindow(main, SW_MINIMIZE);
    ASSERT_TRUE(IsIconic(main));

    TaviProcess second;
    ASSERT_TRUE(second.Started());
    EXPECT_EQ(0, second.WaitForExit(30000));
    EXPECT_FALSE(IsIconic(main));
    EXPECT_EQ(main, inspector::WaitForWindow("TaviApp", nullptr, 0, 0));
    EXPECT_EQ(0, first.Close());
}

TEST_F(StartupTest, DebugInAnyCaseWritesTheLogHeaderAndTheLogGoesAtExit)
{
    const std::string folder = FreshTempFolder();
    SetEnvironmentVariableA("TMP", folder.c_str());
    SetEnvironmentVariableA("TEMP", folder.c_str());
    TaviProcess tavi("/DeBuG");
    ASSERT_NE(nullptr, tavi.WaitForMainWindow());

    const std::string logFile = OnlyFileIn(folder);
    ASSERT_FALSE(logFile.empty());
    EXPECT_EQ(0u, logFile.rfind(folder + "\\Tav", 0)) << logFile;
    std::ifstream in(logFile, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    in.close();
    const std::string text = content.str();
    const size_t header = text.find("\r\n\r\nTavi\r\n4.0 - 30.1\r\nCopyright (C) QelTools\r\n");
    ASSERT_NE(std::string::npos, header) << text;
    EXPECT_GT(header, 8u) << "the time comes first";

    EXPECT_EQ(0, tavi.Close());
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(logFile.c_str()));
    RemoveDirectoryA(folder.c_str());
}

TEST_F(StartupTest, ScreenshotOfTheMainWindow)
{
    TaviProcess tavi;
    HWND main = tavi.WaitForMainWindow();
    ASSERT_NE(nullptr, main);
    // The window and its children paint now, before the picture of that window alone is taken.
    RedrawWindow(main, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN | RDW_UPDATENOW);
    EXPECT_TRUE(inspector::SaveScreenshot(TAVI_SCREENSHOT, main));
    EXPECT_EQ(0, tavi.Close());
}
