// The texts by which callers name networks, protocols and update modes; compared exactly, whole texts.
// Internal to each file that uses them, so the library exports none of them and can be unloaded.
#pragma once

namespace netkeep {
constexpr char tcpName[] = "tcp";
constexpr char udpName[] = "udp";
constexpr char datalanNet[] = "Datalan";
constexpr char voicelanNet[] = "Voicelan";
constexpr char wanNet[] = "Wan";
constexpr char gatewayNet[] = "Gateway";
constexpr char noUpdateMode[] = "NoUpdate";
constexpr char asynchronousMode[] = "Asynchronous";
} // namespace netkeep
