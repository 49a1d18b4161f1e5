// Stand-in for an outside server the loader starts (the BOOTP and TFTP servers, the NFS server): a Win32
// program whose window carries the server's title and that ends on WM_QUIT. It records what it was
// started with and what the loader wrote for it, one line at a time, in its record file.
//
// Arguments: /title TEXT (default from the program's name), /record FILE (default: program path +
// ".record"), /delay MS (wait before the window appears), /gate FILE (the window appears only once FILE
// exists; without it within a minute the stand-in ends windowless).
#include <windows.h>

#include <cstdlib>
#include <string>

namespace {

std::string g_record;

void Record(const std::string &line)
{
    HANDLE file = CreateFileA(g_record.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    const std::string text = line + "\n";
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
}

std::string RegistryText(HKEY root, const char *key, const char *name)
{
    char value[1024] = {};
    DWORD size = sizeof value;
    // A 32-bit server reads the machine's keys in the 32-bit view.
    const DWORD view = root == HKEY_LOCAL_MACHINE ? RRF_SUBKEY_WOW6432KEY : 0;
    if (RegGetValueA(root, key, name, RRF_RT_REG_SZ | view, nullptr, value, &size) != ERROR_SUCCESS) return "(none)";
    return value;
}

std::string RegistryNumber(HKEY root, const char *key, const char *name)
{
    DWORD value = 0, size = sizeof value;
    if (RegGetValueA(root, key, name, RRF_RT_REG_DWORD, nullptr, &value, &size) != ERROR_SUCCESS) return "(none)";
    return std::to_string(value);
}

// The value after `flag` on the command line (quotes allowed), or empty.
std::string Argument(const std::string &commandLine, const std::string &flag)
{
    size_t at = commandLine.find(" " + flag + " ");
    if (at == std::string::npos) return "";
    at += flag.size() + 2;
    if (commandLine[at] == '"') return commandLine.substr(at + 1, commandLine.find('"', at + 1) - at - 1);
    return commandLine.substr(at, commandLine.find(' ', at) - at);
}

std::string DefaultTitle(const std::string &program)
{
    std::string name = program.substr(program.find_last_of('\\') + 1);
    for (char &c : name) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    if (name == "bootpdesk.exe") return "BOOTP Desktop";
    if (name == "tftpdesk.exe") return "TFTP Desktop";
    return "Seldrix stand-in";
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show)
{
    char program[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, program, sizeof program);
    const std::string commandLine = GetCommandLineA();
    g_record = Argument(commandLine, "/record");
    if (g_record.empty()) g_record = std::string(program) + ".record";
    std::string title = Argument(commandLine, "/title");
    if (title.empty()) title = DefaultTitle(program);

    Record("start " + commandLine);
    Record("started-at " + std::to_string(GetTickCount()));
    Record("pid " + std::to_string(GetCurrentProcessId()));
    Record("show " + std::to_string(show));
    Record("DefaultDirectory " +
           RegistryText(HKEY_LOCAL_MACHINE, "Software\\WS\\TFTP Desktop\\2.5\\Parameters", "DefaultDirectory"));
    Record("Root " + RegistryText(HKEY_CURRENT_USER, "SOFTWARE\\Seldrix", "Root"));
    Record("CodePage " + RegistryNumber(HKEY_CURRENT_USER, "SOFTWARE\\Seldrix", "CodePage"));

    const std::string delay = Argument(commandLine, "/delay");
    if (!delay.empty()) Sleep(static_cast<DWORD>(std::atoi(delay.c_str())));
    const std::string gate = Argument(commandLine, "/gate");
    const DWORD start = GetTickCount();
    while (!gate.empty() && GetFileAttributesA(gate.c_str()) == INVALID_FILE_ATTRIBUTES) {
        if (GetTickCount() - start > 60000) return 1;
        Sleep(20);
    }

    WNDCLASSA wc = {};
    wc.lpfnWndProc = DefWindowProcA;
    wc.hInstance = instance;
    wc.lpszClassName = "ServerStandin";
    RegisterClassA(&wc);
    HWND wnd = CreateWindowA(wc.lpszClassName, title.c_str(), WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, 300,
                             120, nullptr, nullptr, instance, nullptr);
    if (!wnd) return 1;
    ShowWindow(wnd, show);
    Record("window " + title);

    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    Record("quit");
    // Several stand-ins may share one record: this line tells which one ended.
    Record("end " + title);
    DestroyWindow(wnd);
    return static_cast<int>(msg.wParam);
}
