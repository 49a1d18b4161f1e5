#include "LocalIpAddress.h"

#include "ServerSocket.h"
#include "framework/Profile.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>

namespace {

constexpr int kHostNameSize = 51;
constexpr int kHostNotFound = 11001;
constexpr const char *kNoAddress = "0.0.0.0";
// Any routable address outside the PC's networks: connecting a datagram socket to it sends nothing and
// makes the system choose the local address it would send from.
constexpr const char *kOutsideAddress = "192.0.2.1";

bool HostNameAddress(in_addr &found, int &error)
{
    char host[kHostNameSize] = {};
    if (gethostname(host, sizeof host - 1) == SOCKET_ERROR) {
        error = WSAGetLastError();
        return false;
    }
    const hostent *entry = gethostbyname(host);
    if (entry == nullptr || entry->h_addrtype != AF_INET || entry->h_addr_list[0] == nullptr) return false;
    std::memcpy(&found, entry->h_addr_list[0], sizeof found);
    return true;
}

// Error stays untouched when the probe never reached its connect.
bool RouteAddress(in_addr &found, int &error)
{
    SOCKET probe = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (probe == INVALID_SOCKET) return false;
    error = 0;
    sockaddr_in outside = {};
    outside.sin_family = AF_INET;
    outside.sin_port = htons(kLoaderPort);
    inet_pton(AF_INET, kOutsideAddress, &outside.sin_addr);
    bool ok = false;
    if (connect(probe, reinterpret_cast<sockaddr *>(&outside), sizeof outside) == SOCKET_ERROR) {
        error = WSAGetLastError();
    } else {
        sockaddr_in local = {};
        int size = sizeof local;
        ok = getsockname(probe, reinterpret_cast<sockaddr *>(&local), &size) == 0;
        if (ok) found = local.sin_addr;
    }
    closesocket(probe);
    return ok;
}

}  // namespace

int GetLocalIpAddress(std::string &address)
{
    address = profile::GetString(kConfigSection, "IpAddress", "");
    // An override of "0.0.0.0" names no address either; the text is kept as the technician set it.
    if (!address.empty()) return address == kNoAddress ? kHostNotFound : 0;

    int error = 0;
    in_addr found = {};
    if (!HostNameAddress(found, error) && !RouteAddress(found, error)) found.s_addr = 0;
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &found, text, sizeof text);
    address = text;
    if (error != 0) return error;
    // No address at all is a failure, whatever the steps above reported.
    return address.empty() || address == kNoAddress ? kHostNotFound : 0;
}
