// A small host of the real board dialogue for the wire tests: the loader's CServerSocket on UDP port
// 6010 over the framework's socket and timer, its settings in the registry profile, and an owner that
// writes every call as one line to a file.
//
//   dialogue_test_host EVENTS_FILE [--tick-ms N] [--type N] [--set SECTION/ENTRY=NUMBER]...
//                      [--set-text SECTION/ENTRY=TEXT]...
//
// It writes "ready" once the socket is bound, and ends when the file EVENTS_FILE.stop appears or after
// a minute.
#include "DialogueFakes.h"
#include "LocalIpAddress.h"
#include "ServerSocket.h"
#include "framework/AsyncSocket.h"
#include "framework/Profile.h"
#include "framework/ProfileSettings.h"
#include "framework/Timer.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr unsigned kLifetimeMs = 60000;
constexpr const char *kProfileRoot = "Software\\TaviTests\\DialogueHost";

bool SetProfileValue(const std::string &assignment, bool number)
{
    std::size_t slash = assignment.find('/'), equals = assignment.find('=');
    if (slash == std::string::npos || equals == std::string::npos || equals < slash) return false;
    std::string section = assignment.substr(0, slash), entry = assignment.substr(slash + 1, equals - slash - 1);
    std::string value = assignment.substr(equals + 1);
    return number ? profile::WriteInt(section.c_str(), entry.c_str(), std::atoi(value.c_str()))
                  : profile::WriteString(section.c_str(), entry.c_str(), value);
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: dialogue_test_host EVENTS_FILE [options]\n");
        return 2;
    }
    const std::string eventsPath = argv[1];
    unsigned tickMs = 3000;
    RecordingOwner owner;
    // Each run starts from an empty profile.
    profile::SetRoot(kProfileRoot);
    RegDeleteTreeA(HKEY_CURRENT_USER, kProfileRoot);
    for (int i = 2; i < argc; i += 2) {
        const std::string option = argv[i], value = i + 1 < argc ? argv[i + 1] : "";
        bool ok = i + 1 < argc;
        if (option == "--tick-ms")
            tickMs = static_cast<unsigned>(std::atoi(value.c_str()));
        else if (option == "--type")
            owner.installationType = std::atoi(value.c_str());
        else if (option == "--set" || option == "--set-text")
            ok = ok && SetProfileValue(value, option == "--set");
        else
            ok = false;
        if (!ok) {
            std::fprintf(stderr, "dialogue_test_host: bad option %s %s\n", option.c_str(), value.c_str());
            return 2;
        }
    }

    FILE *events = std::fopen(eventsPath.c_str(), "wb");
    if (events == nullptr) return 1;
    owner.sink = [events](const std::string &line) {
        std::fprintf(events, "%s\n", line.c_str());
        std::fflush(events);
    };

    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 0), &wsa) != 0) return 1;
    CProfileSettings settings;
    CServerSocket server(settings, std::make_unique<CAsyncSocket>(), &GetLocalIpAddress);
    if (!server.Open(&owner)) {
        std::fprintf(stderr, "dialogue_test_host: port %u not bound\n", unsigned(kLoaderPort));
        return 1;
    }
    const CServerSocket::StepAllowances &a = server.Allowances();
    std::fprintf(events, "allowances %d %d %d %d %d %d %d timeouts %d\nready\n", a.TOCmd, a.TOAliveX, a.TOCopy,
                 a.TOConfBoot, a.TOConfTarget, a.TOFormat, a.TOSignVerify, server.UseTimeouts() ? 1 : 0);
    std::fflush(events);

    const std::string stopPath = eventsPath + ".stop";
    const DWORD started = GetTickCount();
    CTimer ticks, watch;
    ticks.Start(tickMs, [&] { server.OnTick(); });
    watch.Start(50, [&] {
        if (GetFileAttributesA(stopPath.c_str()) != INVALID_FILE_ATTRIBUTES || GetTickCount() - started > kLifetimeMs)
            PostQuitMessage(0);
    });
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) DispatchMessageA(&msg);
    ticks.Stop();
    watch.Stop();
    return 0;
}
