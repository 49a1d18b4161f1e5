// What the firewall library's tests share: they run as root, each in a network namespace of its own
// (tools/ns/netns-run.sh), against the real packet filter through iptables-legacy and libiptc.
#pragma once

#include "Firewall.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace netkeep_test {

extern const char *const natChains[2];
extern const char *const filterChains[7];

// Runs COMMAND under sh; its standard output, and a test failure when it exits non-zero.
std::string shell(const std::string &command);

// The "-A" lines of one chain, as iptables-legacy -S prints them.
std::vector<std::string> entriesOf(const std::string &table, const std::string &chain);

// Every entry of the nine user chains, in chain order.
std::vector<std::string> allEntries();

int openDescriptors();

// The text of what CALL threw; the test fails when it threw nothing, or not an EXCEPTION.
template <typename Exception, typename Call> std::string thrown(Call call)
{
    try {
        call();
    } catch (const Exception &e) {
        return e.what();
    } catch (const std::exception &e) {
        ADD_FAILURE() << "wrong exception type for: " << e.what();
        return e.what();
    }
    ADD_FAILURE() << "nothing thrown";
    return {};
}

// Refuses to run outside a network namespace of the test's own, so that the host's tables are never touched.
class NamespaceTest : public ::testing::Test {
protected:
    void SetUp() override;
};

// The board's firewall set-up: the nine user chains and "Accept", which jumps to ACCEPT; one VLAN device
// shared by the data and the voice LAN.
class ChainsTest : public NamespaceTest {
protected:
    void SetUp() override;
};

} // namespace netkeep_test
