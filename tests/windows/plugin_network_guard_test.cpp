// The stand-in's guard that keeps the plug-in's collectors away from real
// networks.
#include <gtest/gtest.h>

#include "rdclient/network_guard.h"

using standin::InterfaceAddress;

TEST(PluginNetworkGuard, AcceptsOnlyLoopbackLinkLocalAndTheLabsRanges) {
    const std::vector<std::uint8_t> ipv6Loopback = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    const std::vector<std::uint8_t> linkLocal = {0xFE, 0x80, 0, 0, 0, 0, 0, 0, 0x02, 0x11, 0x22, 0xFF, 0xFE, 0x33, 0x44, 0x55};
    const std::vector<std::uint8_t> global = {0x20, 0x01, 0x0D, 0xB8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    for (const auto& address : std::vector<std::vector<std::uint8_t>>{
             {127, 0, 0, 1}, {127, 9, 9, 9}, {198, 51, 100, 1}, {203, 0, 113, 254}, {198, 18, 0, 1}, {198, 19, 255, 9}, ipv6Loopback,
             linkLocal})
        EXPECT_TRUE(standin::isTestAddress(address)) << standin::addressText(address);
    for (const auto& address : std::vector<std::vector<std::uint8_t>>{
             {10, 0, 0, 5}, {192, 168, 1, 2}, {8, 8, 8, 8}, {198, 51, 101, 1}, {203, 0, 112, 1}, {0, 0, 0, 0},
             {192, 0, 2, 7}, {198, 17, 0, 1}, {198, 20, 0, 1}, global})
        EXPECT_FALSE(standin::isTestAddress(address)) << standin::addressText(address);

    EXPECT_EQ(standin::checkTestNetworkOnly({{"lo", true, {127, 0, 0, 1}}, {"veth0", false, {198, 51, 100, 2}}}), "");
    EXPECT_EQ(standin::checkTestNetworkOnly(
                  {{"lo", true, {127, 0, 0, 1}}, {"eth0", false, {10, 1, 2, 3}}, {"wlan0", false, global}}),
              "an interface outside the test networks is up: eth0 10.1.2.3, wlan0 2001:db8::1");
}

TEST(PluginNetworkGuard, TheWindowsTestsRunInANamespaceWithoutARealNetwork) {
    std::vector<InterfaceAddress> addresses;
    std::string error;
    ASSERT_TRUE(standin::readInterfaceAddresses(addresses, error)) << error;
    EXPECT_FALSE(addresses.empty()) << "loopback at least is up";
    EXPECT_EQ(standin::whyNotATestNetwork(), "");
}
