// The board application's IPv4 address value as libnetkeep uses it: four bytes in network order.
// The default value 0.0.0.0 is also what the empty text stands for, so "no address" compares equal to "".
#pragma once

#include <netinet/in.h>
#include <string>

class IPAddress {
public:
    IPAddress() = default;
    // Dotted-quad text; the empty text gives the default value. Anything else throws std::invalid_argument.
    IPAddress(const std::string &text);
    IPAddress(const char *text);
    explicit IPAddress(in_addr address) : addr_(address.s_addr) {}

    bool operator==(const IPAddress &other) const;
    bool operator==(const std::string &text) const;
    bool operator==(const char *text) const;
    bool operator!=(const IPAddress &other) const { return !(*this == other); }

    // Network byte order, as the packet filter's records hold it.
    operator int() const;
    operator in_addr() const;

    std::string toString() const;

private:
    in_addr_t addr_ = INADDR_ANY;
};

// The IPv4 address of a network interface; std::runtime_error when it has none.
IPAddress getAddress(const std::string &interfaceName);
