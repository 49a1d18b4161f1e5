// The table library that the board's applications were written against (iptables 1.2.6a) and the one
// linked here differ in how a handle is passed and freed, in the record alignment and in the names of
// the NAT records. Those differences are kept here, and nowhere else.
#pragma once

#include <libiptc/libiptc.h>
#include <linux/netfilter/nf_nat.h>
#include <linux/netfilter/xt_tcpudp.h>

#include <memory>

// Defined by the program that links the table library; the library reads them in its messages.
extern "C" const char *program_name;
extern "C" const char *program_version;

namespace iptc_compat {

// The old library freed the handle in a successful commit and nowhere else; here it is freed once, on
// every path, whatever became of the commit.
struct HandleRelease {
    void operator()(xtc_handle *handle) const { iptc_free(handle); }
};
using TableHandle = std::unique_ptr<xtc_handle, HandleRelease>;

inline TableHandle open(const char *table) { return TableHandle(iptc_init(table)); }

// Record sizes follow the kernel's alignment for this machine's word size (the board's 32-bit sizes
// are rejected by a 64-bit kernel).
constexpr unsigned align(unsigned size) { return XT_ALIGN(size); }

using NatRange = nf_nat_ipv4_multi_range_compat;
constexpr unsigned natMapAddresses = NF_NAT_RANGE_MAP_IPS;
constexpr unsigned natSpecificPorts = NF_NAT_RANGE_PROTO_SPECIFIED;

} // namespace iptc_compat
