// The texts by which callers name networks, protocols and update modes; compared exactly, whole texts.
#pragma once

#include <string>

namespace netkeep {
inline const std::string tcpName = "tcp";
inline const std::string udpName = "udp";
inline const std::string datalanNet = "Datalan";
inline const std::string voicelanNet = "Voicelan";
inline const std::string wanNet = "Wan";
inline const std::string gatewayNet = "Gateway";
inline const std::string noUpdateMode = "NoUpdate";
inline const std::string asynchronousMode = "Asynchronous";
} // namespace netkeep
