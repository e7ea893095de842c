// The nl80211 readers on answers built the way the kernel lays them out.
#include <gtest/gtest.h>
#include <linux/nl80211.h>
#include <netlink/attr.h>
#include <netlink/genl/genl.h>
#include <netlink/msg.h>

#include <string>
#include <vector>

#include "network/wifi_nl80211.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

class Answer {
public:
    explicit Answer(std::uint8_t command) : m_(nlmsg_alloc()) { genlmsg_put(m_, 0, 0, 0x1c, 0, 0, command, 0); }
    ~Answer() { nlmsg_free(m_); }
    Answer& put(int type, const Bytes& b) { return nla_put(m_, type, static_cast<int>(b.size()), b.data()), *this; }
    Answer& u32(int type, std::uint32_t v) { return nla_put_u32(m_, type, v), *this; }
    Answer& u8(int type, std::uint8_t v) { return nla_put_u8(m_, type, v), *this; }
    Answer& nest(int type) { return nests_.push_back(nla_nest_start(m_, type)), *this; }
    Answer& end() { return nla_nest_end(m_, nests_.back()), nests_.pop_back(), *this; }
    const nlmsghdr* header() const { return nlmsg_hdr(m_); }

private:
    nl_msg* m_;
    std::vector<nlattr*> nests_;
};

Bytes element(std::uint8_t id, Bytes body) {
    body.insert(body.begin(), {id, static_cast<std::uint8_t>(body.size())});
    return body;
}
// RSN with CCMP and the given AKM suite types of 00-0F-AC.
Bytes rsn(const Bytes& akms) {
    Bytes body{1, 0, 0x00, 0x0F, 0xAC, 4, 1, 0, 0x00, 0x0F, 0xAC, 4, static_cast<std::uint8_t>(akms.size()), 0};
    for (auto a : akms) body.insert(body.end(), {0x00, 0x0F, 0xAC, a});
    return element(48, body);
}
Bytes operator+(Bytes a, const Bytes& b) { return a.insert(a.end(), b.begin(), b.end()), a; }

const Bytes kBssid{0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F};

struct Link {
    const char* name;
    std::uint32_t frequency;
    std::string ssid;  // the interface's own attribute; empty: none
    Bytes ies;
    int rate;  // the MCS attribute of the TX rate; 0 a legacy rate; -1 no station answer
    std::uint32_t bitrate;
    const char *ssidText, *auth, *radio;
    std::uint32_t strength;
};

TEST(Nl80211, ConnectionRows) {
    const Bytes wpaPsk = element(221, {0x00, 0x50, 0xF2, 1, 1, 0, 0x00, 0x50, 0xF2, 2, 1, 0, 0x00, 0x50, 0xF2, 2, 1, 0,
                                       0x00, 0x50, 0xF2, 2});
    // An RSN claiming three AKM suites with one inside it, then an SSID element
    // whose length runs past the buffer; the bytes behind it would read as SAE.
    const Bytes hostile = Bytes{48, 18, 1, 0, 0x00, 0x0F, 0xAC, 4, 1, 0, 0x00, 0x0F, 0xAC, 4, 3, 0, 0x00, 0x0F, 0xAC, 2} +
                          Bytes{0x00, 0x0F, 0xAC, 0x08};
    const Link links[] = {
        {"WPA2-PSK HT 2.4 GHz", 2437, "HomeNet", element(0, {'H'}) + rsn({2}) + wpaPsk, NL80211_RATE_INFO_MCS, 650,
         "HomeNet", "WPA2-Personal (PSK)", "High Throughput (802.11n)", 80},
        {"SAE HE 6 GHz, name from the element", 5975, "", element(0, {'S', '6'}) + rsn({2, 8}),
         NL80211_RATE_INFO_HE_MCS, 24000, "S6", "WPA3-Personal (H2E)", "High Efficiency (802.11ax / Wi-Fi 6)", 80},
        {"open 802.11g", 2412, "Cafe", element(0, {'C'}), 0, 540, "Cafe", "802.11 Open", "Extended rate PHY (802.11g)",
         80},
        {"open 802.11b", 2484, "Old", {}, 0, 110, "Old", "802.11 Open", "High-rate DSSS (802.11b)", 80},
        {"hostile elements", 5180, "", hostile, 0, 60, "", "WPA2-Personal (PSK)", "OFDM (802.11a)", 80},
        {"no station, SSID past 32", 5180, std::string(40, 'L'), rsn({12}), -1, 0, "LLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLL",
         "WPA3-Enterprise", "Unknown", 30},
    };
    for (const Link& l : links) {
        Answer interface(NL80211_CMD_NEW_INTERFACE), bss(NL80211_CMD_NEW_SCAN_RESULTS), station(NL80211_CMD_NEW_STATION);
        interface.u32(NL80211_ATTR_IFINDEX, 3).u32(NL80211_ATTR_IFTYPE, NL80211_IFTYPE_STATION);
        interface.u32(NL80211_ATTR_WIPHY_FREQ, l.frequency);
        if (!l.ssid.empty()) interface.put(NL80211_ATTR_SSID, Bytes(l.ssid.begin(), l.ssid.end()));
        bss.nest(NL80211_ATTR_BSS).put(NL80211_BSS_BSSID, kBssid).u32(NL80211_BSS_STATUS, NL80211_BSS_STATUS_ASSOCIATED);
        bss.u32(NL80211_BSS_SIGNAL_MBM, static_cast<std::uint32_t>(-8500)).put(NL80211_BSS_INFORMATION_ELEMENTS, l.ies);
        bss.put(NL80211_BSS_BEACON_IES, {0x00, 0x0F, 0xAC, 0x08}).end();
        station.nest(NL80211_ATTR_STA_INFO).u8(NL80211_STA_INFO_SIGNAL, static_cast<std::uint8_t>(-90));
        station.u8(NL80211_STA_INFO_SIGNAL_AVG, static_cast<std::uint8_t>(-60)).nest(NL80211_STA_INFO_TX_BITRATE);
        station.u32(NL80211_RATE_INFO_BITRATE32, l.bitrate);
        if (l.rate > 0) station.u8(l.rate, 7);
        station.end().end();

        nl80211::Interface i;
        nl80211::Bss b;
        nl80211::Station s;
        ASSERT_TRUE(nl80211::parseInterface(interface.header(), i) && nl80211::parseBss(bss.header(), b) &&
                    nl80211::parseStation(station.header(), s) && nl80211::isStation(i) && b.associated)
            << l.name;
        const WifiConnectionRow row = nl80211::connectionRow(i, b, l.rate < 0 ? nullptr : &s);
        EXPECT_EQ(wifiSsidText(row), l.ssidText) << l.name;
        EXPECT_EQ(wifiBssidText(row), "0A-1B-2C-3D-4E-5F") << l.name;
        EXPECT_EQ(wifiAuthenticationName(row.authAlgorithm), l.auth) << l.name;
        EXPECT_EQ(wifiRadioTypeName(row.phyType), l.radio) << l.name;
        EXPECT_EQ(row.signalQuality, l.strength) << l.name;
    }
    // A BSSID shorter than six bytes is no BSS entry at all.
    Answer shortBssid(NL80211_CMD_NEW_SCAN_RESULTS);
    shortBssid.nest(NL80211_ATTR_BSS).put(NL80211_BSS_BSSID, {1, 2, 3, 4, 5}).end();
    nl80211::Bss b;
    EXPECT_FALSE(nl80211::parseBss(shortBssid.header(), b));
}

TEST(Nl80211, ChannelAndQualityEdges) {
    const std::pair<std::uint32_t, int> channels[] = {
        {2412, 1},  {2472, 13}, {2484, 14}, {2407, -1}, {2417, 2},  {2413, -1},  {4920, 184},   {5180, 36},
        {5885, 177}, {5935, 2}, {5955, 1},  {7115, 233}, {7120, -1}, {58320, 1}, {69120, 6}, {60000, -1}, {0, -1}};
    for (const auto& [mhz, channel] : channels) EXPECT_EQ(nl80211::channelFromFrequency(mhz), channel) << mhz;
    const std::pair<int, std::uint32_t> qualities[] = {{-120, 0}, {-100, 0}, {-99, 2}, {-75, 50}, {-51, 98},
                                                       {-50, 100}, {-20, 100}, {0, 100}};
    for (const auto& [dbm, quality] : qualities) EXPECT_EQ(nl80211::qualityFromDbm(dbm), quality) << dbm;
}

}  // namespace
