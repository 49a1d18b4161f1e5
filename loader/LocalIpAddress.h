// The PC's IPv4 address as the board dialogue and the target file give it to the board.
#pragma once

#include <string>

// The "IpAddress" setting of section "Config" when there is one, else the host name's first IPv4
// address, else the local address of a datagram socket connected outwards. Returns 0, a socket error
// code, or 11001 (host not found) when no address was found; the text is then "0.0.0.0".
int GetLocalIpAddress(std::string &address);
