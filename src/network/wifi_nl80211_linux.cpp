// Reads nl80211's attribute sets with libnl's policies, so every attribute
// is at least as long as its type before it is read, and walks the
// information elements inside their buffer.
#include <linux/nl80211.h>
#include <netlink/attr.h>
#include <netlink/genl/genl.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "wifi_nl80211.h"

namespace nl80211 {

namespace {

template <std::size_t Max>
using Table = std::array<nlattr*, Max + 1>;
template <std::size_t Max>
using Policy = std::array<nla_policy, Max + 1>;

template <std::size_t N>
bool parseMessage(const nlmsghdr* message, std::array<nlattr*, N>& tb, const std::array<nla_policy, N>& policy) {
    tb.fill(nullptr);
    return genlmsg_parse(const_cast<nlmsghdr*>(message), 0, tb.data(), N - 1, policy.data()) == 0;
}

template <std::size_t N>
bool parseNested(nlattr* nest, std::array<nlattr*, N>& tb, const std::array<nla_policy, N>& policy) {
    tb.fill(nullptr);
    return nest != nullptr && nla_parse_nested(tb.data(), N - 1, nest, policy.data()) == 0;
}

std::vector<std::uint8_t> bytes(const nlattr* a) {
    const auto* data = static_cast<const std::uint8_t*>(nla_data(a));
    return {data, data + nla_len(a)};
}

constexpr std::size_t kRsnElement = 48;
constexpr std::size_t kVendorElement = 221;

// Calls visit(id, body, length) for each whole element; an element that runs
// past the buffer ends the walk.
template <class Visit>
void forEachElement(const std::uint8_t* ies, std::size_t size, Visit visit) {
    std::size_t at = 0;
    while (ies != nullptr && size - at >= 2) {
        const std::size_t length = ies[at + 1];
        if (length > size - at - 2) return;
        visit(ies[at], ies + at + 2, length);
        at += 2 + length;
    }
}

std::uint32_t suiteAt(const std::uint8_t* p) {
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

// The AKM suites of an RSN or WPA body (version, group cipher, pairwise
// suites, AKM suites). A body that ends before the AKM list has the default,
// 802.1X of the element's own organisation; a count larger than the body
// gives the suites that are there.
std::vector<std::uint32_t> akmSuites(const std::uint8_t* body, std::size_t size, std::uint32_t defaultSuite) {
    std::size_t at = 2 + 4;
    if (size < at + 2) return {defaultSuite};
    const std::size_t pairwise = body[at] | std::size_t{body[at + 1]} << 8;
    at += 2;
    if (pairwise > (size - at) / 4) return {};
    at += 4 * pairwise;
    if (size < at + 2) return {defaultSuite};
    const std::size_t count = body[at] | std::size_t{body[at + 1]} << 8;
    at += 2;
    std::vector<std::uint32_t> suites;
    for (std::size_t i = 0; i < count && size - at >= 4; ++i, at += 4) suites.push_back(suiteAt(body + at));
    return suites;
}

constexpr std::uint32_t kAuthOpen = 1, kAuthWpa = 3, kAuthWpaPsk = 4, kAuthRsna = 6, kAuthRsnaPsk = 7, kAuthSae = 9,
                        kAuthOwe = 10, kAuthWpa3Enterprise = 11, kAuthUnknown = 0x80000000u;

// AKM suite -> Native Wi-Fi authentication number:
//   00-0F-AC:1 802.1X, :3 FT-802.1X, :5 802.1X-SHA256        -> 6  WPA2
//   00-0F-AC:2 PSK, :4 FT-PSK, :6 PSK-SHA256, :19/:20 SHA384  -> 7  WPA2-Personal (PSK)
//   00-0F-AC:8 SAE, :9 FT-SAE, :24/:25 SAE-EXT-KEY            -> 9  WPA3-Personal
//   00-0F-AC:18 OWE                                            -> 10 OWE
//   00-0F-AC:11/:12 suite-B, :13 FT-802.1X-SHA384              -> 11 WPA3-Enterprise
//   00-50-F2:1 WPA 802.1X -> 3 WPA;  00-50-F2:2 WPA PSK       -> 4  WPA-Personal (PSK)
// 0 for a suite not listed.
std::uint32_t authOfSuite(std::uint32_t suite) {
    switch (suite) {
        case 0x000FAC01: case 0x000FAC03: case 0x000FAC05: return kAuthRsna;
        case 0x000FAC02: case 0x000FAC04: case 0x000FAC06: case 0x000FAC13: case 0x000FAC14: return kAuthRsnaPsk;
        case 0x000FAC08: case 0x000FAC09: case 0x000FAC18: case 0x000FAC19: return kAuthSae;
        case 0x000FAC12: return kAuthOwe;
        case 0x000FAC0B: case 0x000FAC0C: case 0x000FAC0D: return kAuthWpa3Enterprise;
        case 0x0050F201: return kAuthWpa;
        case 0x0050F202: return kAuthWpaPsk;
        default: return 0;
    }
}

// Where an access point offers several, the strongest is reported: it is the
// one a supplicant that can do it picks.
int strength(std::uint32_t auth) {
    switch (auth) {
        case kAuthWpa3Enterprise: return 5;
        case kAuthOwe: return 4;
        case kAuthSae: return 3;
        case kAuthRsna: case kAuthWpa: return 2;
        case kAuthRsnaPsk: case kAuthWpaPsk: return 1;
        default: return 0;
    }
}

std::uint32_t strongest(const std::vector<std::uint32_t>& suites) {
    std::uint32_t best = kAuthUnknown;
    for (std::uint32_t s : suites)
        if (strength(authOfSuite(s)) > strength(best)) best = authOfSuite(s);
    return best;
}

RateKind rateKind(nlattr* nest, std::uint32_t& bitrate) {
    static const Policy<NL80211_RATE_INFO_MAX> policy = [] {
        Policy<NL80211_RATE_INFO_MAX> p{};
        p[NL80211_RATE_INFO_BITRATE] = {NLA_U16, 0, 0};
        p[NL80211_RATE_INFO_BITRATE32] = {NLA_U32, 0, 0};
        p[NL80211_RATE_INFO_MCS] = {NLA_U8, 0, 0};
        p[NL80211_RATE_INFO_VHT_MCS] = {NLA_U8, 0, 0};
        p[NL80211_RATE_INFO_HE_MCS] = {NLA_U8, 0, 0};
        p[NL80211_RATE_INFO_EHT_MCS] = {NLA_U8, 0, 0};
        return p;
    }();
    Table<NL80211_RATE_INFO_MAX> tb;
    if (!parseNested(nest, tb, policy)) return RateKind::unknown;
    if (tb[NL80211_RATE_INFO_BITRATE32]) bitrate = nla_get_u32(tb[NL80211_RATE_INFO_BITRATE32]);
    else if (tb[NL80211_RATE_INFO_BITRATE]) bitrate = nla_get_u16(tb[NL80211_RATE_INFO_BITRATE]);
    if (tb[NL80211_RATE_INFO_EHT_MCS]) return RateKind::eht;
    if (tb[NL80211_RATE_INFO_HE_MCS]) return RateKind::he;
    if (tb[NL80211_RATE_INFO_VHT_MCS]) return RateKind::vht;
    if (tb[NL80211_RATE_INFO_MCS]) return RateKind::ht;
    return bitrate != 0 ? RateKind::legacy : RateKind::unknown;
}

}  // namespace

bool parseInterface(const nlmsghdr* message, Interface& out) {
    static const Policy<NL80211_ATTR_MAX> policy = [] {
        Policy<NL80211_ATTR_MAX> p{};
        p[NL80211_ATTR_IFINDEX] = {NLA_U32, 0, 0};
        p[NL80211_ATTR_IFTYPE] = {NLA_U32, 0, 0};
        p[NL80211_ATTR_MAC] = {NLA_UNSPEC, 6, 0};
        p[NL80211_ATTR_WIPHY_FREQ] = {NLA_U32, 0, 0};
        return p;
    }();
    Table<NL80211_ATTR_MAX> tb;
    if (!parseMessage(message, tb, policy) || !tb[NL80211_ATTR_IFINDEX] || !tb[NL80211_ATTR_IFTYPE]) return false;
    out = {};
    out.index = nla_get_u32(tb[NL80211_ATTR_IFINDEX]);
    out.type = nla_get_u32(tb[NL80211_ATTR_IFTYPE]);
    if (tb[NL80211_ATTR_MAC] && nla_len(tb[NL80211_ATTR_MAC]) == 6) out.mac = bytes(tb[NL80211_ATTR_MAC]);
    if (tb[NL80211_ATTR_WIPHY_FREQ]) out.frequency = nla_get_u32(tb[NL80211_ATTR_WIPHY_FREQ]);
    if (tb[NL80211_ATTR_SSID]) out.ssid = bytes(tb[NL80211_ATTR_SSID]);
    return true;
}

bool parseBss(const nlmsghdr* message, Bss& out) {
    static const Policy<NL80211_ATTR_MAX> top = [] {
        Policy<NL80211_ATTR_MAX> p{};
        p[NL80211_ATTR_BSS] = {NLA_NESTED, 0, 0};
        return p;
    }();
    static const Policy<NL80211_BSS_MAX> policy = [] {
        Policy<NL80211_BSS_MAX> p{};
        p[NL80211_BSS_BSSID] = {NLA_UNSPEC, 6, 0};
        p[NL80211_BSS_FREQUENCY] = {NLA_U32, 0, 0};
        p[NL80211_BSS_STATUS] = {NLA_U32, 0, 0};
        p[NL80211_BSS_SIGNAL_MBM] = {NLA_U32, 0, 0};
        p[NL80211_BSS_SIGNAL_UNSPEC] = {NLA_U8, 0, 0};
        return p;
    }();
    Table<NL80211_ATTR_MAX> tb;
    Table<NL80211_BSS_MAX> bss;
    if (!parseMessage(message, tb, top) || !parseNested(tb[NL80211_ATTR_BSS], bss, policy)) return false;
    out = {};
    if (bss[NL80211_BSS_BSSID]) {
        std::memcpy(out.bssid, nla_data(bss[NL80211_BSS_BSSID]), sizeof out.bssid);
        out.hasBssid = true;
    }
    if (bss[NL80211_BSS_FREQUENCY]) out.frequency = nla_get_u32(bss[NL80211_BSS_FREQUENCY]);
    out.associated = bss[NL80211_BSS_STATUS] && nla_get_u32(bss[NL80211_BSS_STATUS]) == NL80211_BSS_STATUS_ASSOCIATED;
    if (bss[NL80211_BSS_SIGNAL_MBM])
        out.signalDbm = static_cast<std::int32_t>(nla_get_u32(bss[NL80211_BSS_SIGNAL_MBM])) / 100;
    if (bss[NL80211_BSS_SIGNAL_UNSPEC]) out.signalQuality = nla_get_u8(bss[NL80211_BSS_SIGNAL_UNSPEC]);
    if (bss[NL80211_BSS_INFORMATION_ELEMENTS]) out.ies = bytes(bss[NL80211_BSS_INFORMATION_ELEMENTS]);
    else if (bss[NL80211_BSS_BEACON_IES]) out.ies = bytes(bss[NL80211_BSS_BEACON_IES]);
    return true;
}

bool parseStation(const nlmsghdr* message, Station& out) {
    static const Policy<NL80211_ATTR_MAX> top = [] {
        Policy<NL80211_ATTR_MAX> p{};
        p[NL80211_ATTR_STA_INFO] = {NLA_NESTED, 0, 0};
        return p;
    }();
    static const Policy<NL80211_STA_INFO_MAX> policy = [] {
        Policy<NL80211_STA_INFO_MAX> p{};
        p[NL80211_STA_INFO_SIGNAL] = {NLA_U8, 0, 0};
        p[NL80211_STA_INFO_SIGNAL_AVG] = {NLA_U8, 0, 0};
        p[NL80211_STA_INFO_TX_BITRATE] = {NLA_NESTED, 0, 0};
        p[NL80211_STA_INFO_RX_BITRATE] = {NLA_NESTED, 0, 0};
        return p;
    }();
    Table<NL80211_ATTR_MAX> tb;
    Table<NL80211_STA_INFO_MAX> info;
    if (!parseMessage(message, tb, top) || !parseNested(tb[NL80211_ATTR_STA_INFO], info, policy)) return false;
    out = {};
    // The average is steadier than the last frame's level.
    if (nlattr* s = info[NL80211_STA_INFO_SIGNAL_AVG] ? info[NL80211_STA_INFO_SIGNAL_AVG] : info[NL80211_STA_INFO_SIGNAL])
        out.signalDbm = static_cast<std::int8_t>(nla_get_u8(s));
    out.rate = rateKind(info[NL80211_STA_INFO_TX_BITRATE], out.bitrate);
    if (out.rate == RateKind::unknown) out.rate = rateKind(info[NL80211_STA_INFO_RX_BITRATE], out.bitrate);
    return true;
}

bool isStation(const Interface& interface) { return interface.type == NL80211_IFTYPE_STATION; }

std::optional<std::vector<std::uint8_t>> ssidFromIes(const std::uint8_t* ies, std::size_t size) {
    std::optional<std::vector<std::uint8_t>> ssid;
    forEachElement(ies, size, [&](std::size_t id, const std::uint8_t* body, std::size_t length) {
        if (id == 0 && !ssid) ssid.emplace(body, body + length);
    });
    return ssid;
}

std::uint32_t authenticationFromIes(const std::uint8_t* ies, std::size_t size) {
    std::optional<std::uint32_t> rsn, wpa;
    forEachElement(ies, size, [&](std::size_t id, const std::uint8_t* body, std::size_t length) {
        static const std::uint8_t wpaType[] = {0x00, 0x50, 0xF2, 0x01};
        if (id == kRsnElement && !rsn) {
            rsn = strongest(akmSuites(body, length, 0x000FAC01));
        } else if (id == kVendorElement && !wpa && length >= 4 && std::memcmp(body, wpaType, 4) == 0) {
            wpa = strongest(akmSuites(body + 4, length - 4, 0x0050F201));
        }
    });
    // WPA beside RSN is the older clients' way in; the link uses RSN.
    if (rsn) return *rsn;
    if (wpa) return *wpa;
    return kAuthOpen;
}

std::uint32_t radioTypeOf(const Station& station, std::uint32_t frequency) {
    constexpr std::uint32_t kOfdm = 4, kHrDsss = 5, kErp = 6, kHt = 7, kVht = 8, kDmg = 9, kHe = 10, kEht = 11;
    if (frequency >= 45000) return kDmg;
    switch (station.rate) {
        case RateKind::eht: return kEht;
        case RateKind::he: return kHe;
        case RateKind::vht: return kVht;
        case RateKind::ht: return kHt;
        case RateKind::legacy:
            if (frequency >= 4900) return kOfdm;
            return station.bitrate > 110 ? kErp : kHrDsss;
        case RateKind::unknown: break;
    }
    return 0;
}

int channelFromFrequency(std::uint32_t mhz) {
    const auto step = [mhz](std::uint32_t base, std::uint32_t spacing) {
        return (mhz - base) % spacing == 0 ? static_cast<int>((mhz - base) / spacing) : -1;
    };
    if (mhz == 2484) return 14;
    if (mhz >= 2412 && mhz <= 2472) return step(2407, 5);
    if (mhz >= 4910 && mhz <= 4980) return step(4000, 5);  // Japan's 4.9 GHz channels 182-196
    if (mhz > 5000 && mhz <= 5925) return step(5000, 5);
    if (mhz == 5935) return 2;  // the 6 GHz band's channel 2 lies below its channel 1
    if (mhz >= 5955 && mhz <= 7115) return step(5950, 5);
    if (mhz >= 58320 && mhz <= 69120) return step(56160, 2160);
    return -1;
}

// Linear between -100 dBm (0) and -50 dBm (100), as Windows reports quality.
std::uint32_t qualityFromDbm(int dbm) { return static_cast<std::uint32_t>(std::clamp(2 * (dbm + 100), 0, 100)); }

WifiConnectionRow connectionRow(const Interface& interface, const Bss& bss, const Station* station) {
    WifiConnectionRow row;
    // The kernel names the network it connected to; a hidden network's
    // beacon carries no name, so the element is only the fallback.
    std::vector<std::uint8_t> ssid = interface.ssid;
    if (ssid.empty()) ssid = ssidFromIes(bss.ies.data(), bss.ies.size()).value_or(std::vector<std::uint8_t>{});
    row.ssidLength = static_cast<std::uint32_t>(ssid.size());
    std::copy_n(ssid.begin(), std::min(ssid.size(), sizeof row.ssid), row.ssid);
    std::memcpy(row.bssid, bss.bssid, sizeof row.bssid);
    const std::uint32_t frequency = interface.frequency != 0 ? interface.frequency : bss.frequency;
    row.phyType = station != nullptr ? radioTypeOf(*station, frequency) : 0;
    if (station != nullptr && station->signalDbm) row.signalQuality = qualityFromDbm(*station->signalDbm);
    else if (bss.signalDbm) row.signalQuality = qualityFromDbm(*bss.signalDbm);
    else if (bss.signalQuality) row.signalQuality = std::min(*bss.signalQuality, 100u);
    row.authAlgorithm = authenticationFromIes(bss.ies.data(), bss.ies.size());
    return row;
}

}  // namespace nl80211
