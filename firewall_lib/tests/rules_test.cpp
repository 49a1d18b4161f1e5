// Rules, update modes and queues against the real packet filter. The rule list itself is private, so
// membership is read through iterators: a newly added rule comes first, and its successor shows which
// rule the list holds next.
#include "netkeep_fixture.h"

#include "pmrnetconf.h"

#include <algorithm>
#include <iterator>
#include <list>
#include <utility>

using namespace netkeep_test;

namespace {

const char source[] = "192.0.2.10";
const char destination[] = "198.51.100.20";

class Rules : public ChainsTest {
protected:
    // A one-chain rule (type 13): the entry in FromWanToGatewayForAPI shows the port.
    Firewall::RuleIterator addToGateway(int natDstPort, const std::string &mode)
    {
        return firewall.AddAPIRule("Wan", source, "Gateway", "", "udp", Rule::noPort, Rule::noPort, Rule::noPort,
                                   natDstPort, mode);
    }
    Firewall::RuleIterator addCall(const std::string &srcNet, const std::string &dstNet, const std::string &mode)
    {
        return firewall.AddAPIRule(srcNet, source, dstNet, destination, "tcp", 4000, 5060, 31002, 31000, mode);
    }
    static void useDedicatedVoiceDevice() { pmrnetconf_standin::setDevices("eth0", "eth0.5"); }

    Firewall firewall{"H323"};
};

TEST_F(Rules, VoicelanToGatewayOnASharedDeviceIsAnOpenDatalanRule)
{
    const Firewall::RuleIterator rule = firewall.AddAPIRule(
        "Voicelan", source, "Gateway", "", "udp", Rule::noPort, Rule::noPort, Rule::noPort, 31000, "Synchronous");
    EXPECT_EQ(Rule::typeDatalanToGateway, rule->type);
    EXPECT_EQ("Datalan", rule->srcNet);
    EXPECT_EQ("Gateway", rule->dstNet);
    EXPECT_EQ(Rule::idUsed, rule->id);
    EXPECT_EQ(Rule::stateOpen, rule->state);
    EXPECT_EQ(std::vector<std::string>{"-A FromDatalanToGatewayForAPI -s 192.0.2.10/32 -p udp -m udp --dport 31000 "
                                       "-j Accept"},
              allEntries());
}

TEST_F(Rules, TheNetworkPairAndTheVoiceDeviceChooseTypeAndChains)
{
    struct Case {
        const char *src, *dst;
        bool dedicated;
        int type;
        const char *srcNet, *dstNet;
        std::vector<std::string> chains;
    };
    const Case cases[] = {
        {"Wan", "Voicelan", true, 11, "Wan", "Voicelan", {"FromWanForAPI", "FromWanToVoicelanForAPI"}},
        {"Wan", "Voicelan", false, 15, "Wan", "Datalan", {"FromWanForAPI", "FromWanToDatalanForAPI"}},
        {"Wan", "Gateway", true, 13, "Wan", "Gateway", {"FromWanToGatewayForAPI"}},
        {"Wan", "Gateway", false, 13, "Wan", "Gateway", {"FromWanToGatewayForAPI"}},
        {"Voicelan", "Wan", true, 12, "Voicelan", "Wan", {"ToWanForAPI", "FromVoicelanToWanForAPI"}},
        {"Voicelan", "Wan", false, 16, "Datalan", "Wan", {"ToWanForAPI", "FromDatalanToWanForAPI"}},
        {"Voicelan", "Gateway", true, 14, "Voicelan", "Gateway", {"FromVoicelanToGatewayForAPI"}},
        {"Voicelan", "Gateway", false, 17, "Datalan", "Gateway", {"FromDatalanToGatewayForAPI"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.src) + " to " + c.dst + (c.dedicated ? ", dedicated" : ", shared"));
        pmrnetconf_standin::setDevices("eth0", c.dedicated ? "eth0.5" : "eth0");
        const Firewall::RuleIterator rule = addCall(c.src, c.dst, "NoUpdate");
        EXPECT_EQ(c.type, rule->type);
        EXPECT_EQ(c.srcNet, rule->srcNet);
        EXPECT_EQ(c.dstNet, rule->dstNet);
        EXPECT_EQ(Rule::stateAdded, rule->state);

        std::vector<std::string> written;
        for (const std::string &entry : allEntries())
            written.push_back(entry.substr(3, entry.find(' ', 3) - 3));
        std::vector<std::string> expected = c.chains;
        std::sort(expected.begin(), expected.end());
        std::sort(written.begin(), written.end());
        EXPECT_EQ(expected, written);

        firewall.DeleteAPIRule(rule, "NoUpdate");
        EXPECT_TRUE(allEntries().empty());
    }
}

TEST_F(Rules, AnyModeTextButTheTwoNamedOnesOpensAtOnce)
{
    for (const char *mode : {"Synchronous", "", "synchronous", "SYNCHRONOUS", "asynchronous"}) {
        SCOPED_TRACE(mode);
        EXPECT_EQ(Rule::stateOpen, addToGateway(31000, mode)->state);
    }
    EXPECT_EQ(Rule::stateAdded, addToGateway(31001, "NoUpdate")->state);
    EXPECT_EQ(6u, entriesOf("filter", "FromWanToGatewayForAPI").size());
}

TEST_F(Rules, WrongNetworksAreRefusedBeforeAnythingIsWritten)
{
    const auto add = [this](const char *src, const char *dst) {
        return thrown<std::invalid_argument>([&] { addCall(src, dst, "Synchronous"); });
    };
    EXPECT_EQ("AddAPIRule - Wrong src net id", add("Datalan", "Wan"));
    EXPECT_EQ("AddAPIRule - Wrong src net id", add("Gateway", "Wan"));
    EXPECT_EQ("AddAPIRule - Wrong src net id", add("wan", "Gateway"));
    EXPECT_EQ("AddAPIRule - Wrong src net id", add("Datalan", "Datalan"));
    EXPECT_EQ("AddAPIRule - Src net id Wan, but wrong dest net id", add("Wan", "Wan"));
    EXPECT_EQ("AddAPIRule - Src net id Wan, but wrong dest net id", add("Wan", "Datalan"));
    EXPECT_EQ("AddAPIRule - Src net id Voicelan, but wrong dest net id", add("Voicelan", "Voicelan"));
    EXPECT_TRUE(allEntries().empty());
}

TEST_F(Rules, AnUnreadableVlanConfigurationStopsTheAdd)
{
    pmrnetconf_standin::setDevices(nullptr, "eth0");
    EXPECT_EQ("check_dedicated_voicelan - cannot read Data Vlan config",
              thrown<std::invalid_argument>([this] { addCall("Wan", "Gateway", "Synchronous"); }));
    pmrnetconf_standin::setDevices("eth0", nullptr);
    EXPECT_EQ("check_dedicated_voicelan - cannot read Voice Vlan config",
              thrown<std::invalid_argument>([this] { addCall("Wan", "Gateway", "Synchronous"); }));
    EXPECT_TRUE(allEntries().empty());
}

TEST_F(Rules, TheThirtyFirstQueuedOpenIsRefusedWithNothingLeftBehind)
{
    std::vector<Firewall::RuleIterator> queued;
    for (int i = 0; i < 30; ++i)
        queued.push_back(addToGateway(31000 + i, "Asynchronous"));
    EXPECT_EQ("AddAPIRule - Firewall asynchronous update impossible",
              thrown<std::runtime_error>([this] { addToGateway(31100, "Asynchronous"); }));
    EXPECT_EQ(30u, entriesOf("filter", "FromWanToGatewayForAPI").size());
    EXPECT_EQ(queued.back(), std::next(addToGateway(31200, "NoUpdate")));
    for (const Firewall::RuleIterator &rule : queued)
        EXPECT_EQ(Rule::stateAdded, rule->state);

    firewall.SynchronizeFW(0);
    for (const Firewall::RuleIterator &rule : queued)
        EXPECT_EQ(Rule::stateOpen, rule->state);
    EXPECT_EQ(Rule::stateAdded, addToGateway(31300, "Asynchronous")->state);
}

TEST_F(Rules, SynchronizeOpensTheNewestQueuedRulesFirst)
{
    for (int count : {2, 0, 5, 7}) {
        SCOPED_TRACE(count);
        Firewall fresh("H323");
        std::vector<Firewall::RuleIterator> queued;
        for (int i = 0; i < 5; ++i)
            queued.push_back(fresh.AddAPIRule("Wan", source, "Gateway", "", "tcp", Rule::noPort, Rule::noPort,
                                              Rule::noPort, 31000 + count * 10 + i, "Asynchronous"));
        fresh.SynchronizeFW(count);
        const std::size_t opened = count == 2 ? 2 : 5;
        for (std::size_t i = 0; i < queued.size(); ++i)
            EXPECT_EQ(i >= queued.size() - opened ? Rule::stateOpen : Rule::stateAdded, queued[i]->state) << i;
    }
}

TEST_F(Rules, ReplayedEntriesLeaveTheQueueAndTheOldestWaitTheirTurn)
{
    std::vector<Firewall::RuleIterator> queued;
    for (int i = 0; i < 5; ++i)
        queued.push_back(addToGateway(31000 + i, "Asynchronous"));
    firewall.SynchronizeFW(2);
    firewall.SynchronizeFW(2);
    EXPECT_EQ(Rule::stateAdded, queued[0]->state);
    EXPECT_EQ(Rule::stateOpen, queued[1]->state);
    firewall.SynchronizeFW(2);
    EXPECT_EQ(Rule::stateOpen, queued[0]->state);
}

TEST_F(Rules, AnErasedQueuedRuleIsSkippedByTheReplay)
{
    const Firewall::RuleIterator older = addToGateway(31000, "NoUpdate");
    const Firewall::RuleIterator queued = addToGateway(31001, "Asynchronous");
    firewall.DeleteAPIRule(queued, "NoUpdate");
    // The list's freed node is likely to be reused here: a stale queue entry would then open this rule.
    const Firewall::RuleIterator later = addToGateway(31002, "NoUpdate");
    EXPECT_EQ(older, std::next(later));
    firewall.SynchronizeFW(0);
    EXPECT_EQ(Rule::stateAdded, later->state);
    EXPECT_EQ(Rule::stateAdded, older->state);
    EXPECT_EQ(2u, entriesOf("filter", "FromWanToGatewayForAPI").size());
}

TEST_F(Rules, AnAsynchronousDeleteRemovesTheEntriesAtOnceAndTheRuleAtTheReplay)
{
    const Firewall::RuleIterator older = addCall("Wan", "Voicelan", "Synchronous");
    const Firewall::RuleIterator deleted = addCall("Voicelan", "Wan", "Synchronous");
    const Firewall::RuleIterator newer = addCall("Voicelan", "Gateway", "Synchronous");

    firewall.DeleteAPIRule(deleted, "Asynchronous");
    EXPECT_TRUE(entriesOf("nat", "ToWanForAPI").empty());
    EXPECT_TRUE(entriesOf("filter", "FromDatalanToWanForAPI").empty());
    EXPECT_EQ(deleted, std::next(newer));
    EXPECT_EQ(Rule::stateOpen, deleted->state);

    firewall.SynchronizeFW(0);
    EXPECT_EQ(older, std::next(newer));
    EXPECT_EQ(3u, allEntries().size());
}

TEST_F(Rules, TheThirtyFirstQueuedCloseIsRefusedBeforeAnyEntryIsRemoved)
{
    std::vector<Firewall::RuleIterator> rules;
    for (int i = 0; i < 31; ++i)
        rules.push_back(addToGateway(31000 + i, "NoUpdate"));
    for (int i = 0; i < 30; ++i)
        firewall.DeleteAPIRule(rules[i], "Asynchronous");
    EXPECT_EQ("DeleteAPIRule - Firewall asynchronous update impossible",
              thrown<std::runtime_error>([&] { firewall.DeleteAPIRule(rules[30], "Asynchronous"); }));
    EXPECT_EQ(std::vector<std::string>{"-A FromWanToGatewayForAPI -s 192.0.2.10/32 -p udp -m udp --dport 31030 "
                                       "-j Accept"},
              allEntries());
    firewall.DeleteAPIRule(rules[30], "NoUpdate");
    EXPECT_TRUE(allEntries().empty());
}

TEST_F(Rules, ASynchronousDeleteErasesTheRuleAndOnlyItsEntries)
{
    const Firewall::RuleIterator older = addToGateway(31000, "Synchronous");
    const Firewall::RuleIterator deleted = addToGateway(31001, "Synchronous");
    const Firewall::RuleIterator newer = addToGateway(31002, "NoUpdate");
    firewall.DeleteAPIRule(deleted, "Synchronous");
    EXPECT_EQ(older, std::next(newer));
    const std::vector<std::string> left = entriesOf("filter", "FromWanToGatewayForAPI");
    ASSERT_EQ(2u, left.size());
    EXPECT_NE(std::string::npos, left[0].find("31000"));
    EXPECT_NE(std::string::npos, left[1].find("31002"));
}

TEST_F(Rules, RulesThatWereNeverAddedAreRefused)
{
    std::list<Rule> own(1);
    EXPECT_EQ("DeleteAPIRule - Invalid rule record id (not used)",
              thrown<std::invalid_argument>([&] { firewall.DeleteAPIRule(own.begin(), "NoUpdate"); }));
    int first = 0, second = 0;
    EXPECT_EQ("GetReservedPorts - Invalid rule record id (not used)",
              thrown<std::invalid_argument>([&] { firewall.GetReservedPorts(own.begin(), &first, &second); }));

    own.front().id = Rule::idUsed;
    own.front().type = 18;
    EXPECT_EQ("DeleteAPIRule - Wrong rule type", thrown<std::runtime_error>([&] { firewall.DeleteAPIRule(own.begin(), "NoUpdate"); }));
}

TEST_F(Rules, ReservedPortsAreTheTranslationPorts)
{
    int natSrcPort = 0, natDstPort = 0;
    const Firewall::RuleIterator rule = addCall("Voicelan", "Wan", "NoUpdate");
    firewall.GetReservedPorts(rule, &natSrcPort, &natDstPort);
    EXPECT_EQ(31002, natSrcPort);
    EXPECT_EQ(31000, natDstPort);
    for (auto [source, destination] : {std::pair<int *, int *>{nullptr, &natDstPort}, {&natSrcPort, nullptr}})
        EXPECT_EQ("GetReservedPorts - Null output pointer",
                  thrown<std::invalid_argument>([&] { firewall.GetReservedPorts(rule, source, destination); }));
}

TEST_F(Rules, WhenTheSecondChainFailsTheFirstChainsEntryIsTakenBack)
{
    useDedicatedVoiceDevice();
    const Firewall::RuleIterator older = addToGateway(31000, "NoUpdate");
    shell("iptables-legacy -w -X FromWanToVoicelanForAPI");
    EXPECT_EQ("FromWanToVoicelanForAPI - Chain not found",
              thrown<std::runtime_error>([this] { addCall("Wan", "Voicelan", "Synchronous"); }));
    EXPECT_TRUE(entriesOf("nat", "FromWanForAPI").empty());
    EXPECT_EQ(older, std::next(addToGateway(31001, "NoUpdate")));
}

TEST_F(Rules, WhenTheSecondChainFailsOnDeleteTheFirstEntryIsPutBack)
{
    const Firewall::RuleIterator rule = addCall("Wan", "Voicelan", "Synchronous");
    shell("iptables-legacy -w -F FromWanToDatalanForAPI");
    const std::string failure = thrown<std::runtime_error>([&] { firewall.DeleteAPIRule(rule, "Synchronous"); });
    EXPECT_EQ(0u, failure.rfind("FromWanToDatalanForAPI - ", 0)) << failure;
    EXPECT_EQ(1u, entriesOf("nat", "FromWanForAPI").size());

    // The rule is still listed and whole: once its filter entry is back, it deletes as usual.
    firewall.FromWanToDatalanForAPI(*rule, Firewall::commandAdd);
    firewall.DeleteAPIRule(rule, "Synchronous");
    EXPECT_TRUE(allEntries().empty());
}

} // namespace
