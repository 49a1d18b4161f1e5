// The PC address the board is told: the profile's override, or an address the system really has.
#include "LocalIpAddress.h"
#include "framework/Profile.h"

#include <gtest/gtest.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <string>

namespace {

class LocalIp : public ::testing::Test {
protected:
    std::string root;

    void SetUp() override
    {
        WSADATA wsa;
        ASSERT_EQ(0, WSAStartup(MAKEWORD(2, 0), &wsa));
        root = "Software\\TaviTests\\LocalIp" + std::to_string(GetCurrentProcessId());
        profile::SetRoot(root);
    }
    void TearDown() override
    {
        RegDeleteTreeA(HKEY_CURRENT_USER, root.c_str());
        WSACleanup();
    }
};

TEST_F(LocalIp, TheProfileOverrideIsUsedUnchanged)
{
    ASSERT_TRUE(profile::WriteString("Config", "IpAddress", "10.20.30.40 "));
    std::string address;
    EXPECT_EQ(0, GetLocalIpAddress(address));
    EXPECT_EQ("10.20.30.40 ", address);
}

TEST_F(LocalIp, AnOverrideOfNoAddressIsNoSuccess)
{
    ASSERT_TRUE(profile::WriteString("Config", "IpAddress", "0.0.0.0"));
    std::string address;
    EXPECT_EQ(11001, GetLocalIpAddress(address));
    EXPECT_EQ("0.0.0.0", address);
}

TEST_F(LocalIp, WithoutOverrideItIsARealAddressOrAFailure)
{
    std::string address;
    int result = GetLocalIpAddress(address);
    in_addr parsed = {};
    ASSERT_EQ(1, inet_pton(AF_INET, address.c_str(), &parsed)) << address;
    if (result == 0)
        EXPECT_NE("0.0.0.0", address);
    else
        EXPECT_EQ("0.0.0.0", address) << result;
}

}  // namespace
