// Seldrix: a user-mode NFS version 3 server with its own MOUNT service and portmapper.
#include "fDSettings.h"

#include <winsock2.h>
#include <windows.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    WSADATA wsa;
    bool socketsStarted = WSAStartup(MAKEWORD(1, 1), &wsa) == 0;
    int code = 0;
    try {
        TDSettings settings(instance);
        MSG msg;
        while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
            if (settings.IsFormMessage(msg)) continue;
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        code = static_cast<int>(msg.wParam);
    } catch (const std::exception &error) {
        ShowException(error);
        code = 1;
    }
    if (socketsStarted) WSACleanup();
    return code;
}
