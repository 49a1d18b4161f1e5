#include "IPAddress.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <memory>
#include <stdexcept>

IPAddress::IPAddress(const std::string &text)
{
    if (text.empty())
        return;
    in_addr parsed{};
    if (inet_pton(AF_INET, text.c_str(), &parsed) != 1)
        throw std::invalid_argument("IPAddress - not an IPv4 address: \"" + text + "\"");
    addr_ = parsed.s_addr;
}

IPAddress::IPAddress(const char *text) : IPAddress(std::string(text ? text : "")) {}

bool IPAddress::operator==(const IPAddress &other) const { return addr_ == other.addr_; }

bool IPAddress::operator==(const std::string &text) const { return *this == IPAddress(text); }

bool IPAddress::operator==(const char *text) const { return *this == IPAddress(text); }

IPAddress::operator int() const { return static_cast<int>(addr_); }

IPAddress::operator in_addr() const
{
    in_addr a{};
    a.s_addr = addr_;
    return a;
}

std::string IPAddress::toString() const
{
    char text[INET_ADDRSTRLEN];
    const in_addr a = *this;
    return inet_ntop(AF_INET, &a, text, sizeof text);
}

IPAddress getAddress(const std::string &interfaceName)
{
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0)
        throw std::runtime_error("getAddress - cannot list the network interfaces");
    std::unique_ptr<ifaddrs, void (*)(ifaddrs *)> owned(list, freeifaddrs);
    for (const ifaddrs *i = list; i; i = i->ifa_next) {
        if (i->ifa_addr && i->ifa_addr->sa_family == AF_INET && interfaceName == i->ifa_name) {
            return IPAddress(reinterpret_cast<const sockaddr_in *>(i->ifa_addr)->sin_addr);
        }
    }
    throw std::runtime_error("getAddress - no IPv4 address on interface " + interfaceName);
}
