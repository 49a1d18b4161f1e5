// Seldrix.exe starts under Wine, shows its main window and ends cleanly when it is closed.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

TEST(SeldrixStart, OpensItsMainWindowAndClosesCleanly)
{
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string exe = self;
    exe = exe.substr(0, exe.find_last_of('\\') + 1) + "Seldrix.exe";

    STARTUPINFOA si = {sizeof si};
    PROCESS_INFORMATION pi = {};
    ASSERT_TRUE(CreateProcessA(exe.c_str(), nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        << exe;
    HWND wnd = nullptr;
    for (int i = 0; i < 200 && !wnd; ++i) {
        wnd = FindWindowA("TSeldrixForm", nullptr);
        if (!wnd) Sleep(50);
    }
    ASSERT_NE(nullptr, wnd);
    PostMessageA(wnd, WM_CLOSE, 0, 0);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(pi.hProcess, 20000));
    DWORD code = 1;
    GetExitCodeProcess(pi.hProcess, &code);
    EXPECT_EQ(0u, code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
}
