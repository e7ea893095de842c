// Reads the links, their IPv4 addresses and the main routing table through
// rtnetlink, and what netlink does not carry (link speed, wireless) from
// /sys/class/net, into the rows the interface choice reads on Windows.
#include <arpa/inet.h>
#include <linux/if_arp.h>
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "interface_guid.h"
#include "network_info.h"
#include "platform/log.h"
#include "unique_fd_linux.h"
#include "wifi.h"
#include "platform/platform_service.h"

namespace {

using Fd = UniqueFd;

struct Link {
    std::uint32_t index = 0;
    std::string name;
    unsigned short hardwareType = 0;
    std::vector<std::uint8_t> mac;
    std::uint64_t txErrors = 0;
};
struct Address {
    std::uint32_t index = 0;
    std::string text;
};
struct Route {
    std::uint32_t index = 0;
    std::string destination;
    std::uint32_t metric = 0;
    std::string gateway;
};
struct Snapshot {
    std::vector<Link> links;
    std::vector<Address> addresses;  // primary addresses first, per interface
    std::vector<Route> routes;       // the main table's IPv4 routes
};

std::string ipv4Text(const void* raw) {
    char text[INET_ADDRSTRLEN] = "";
    if (inet_ntop(AF_INET, raw, text, sizeof text) == nullptr) return {};
    return text;
}

// One dump request answered in full; each message goes to onMessage. 0 or errno.
int dump(std::uint16_t type, unsigned char family, const std::function<void(const nlmsghdr*)>& onMessage) {
    Fd s(socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
    if (!s.valid()) return errno;
    struct {
        nlmsghdr header;
        rtgenmsg body;
    } request{};
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = type;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.header.nlmsg_seq = 1;
    request.body.rtgen_family = family;
    if (send(s.get(), &request, sizeof request, 0) < 0) return errno;
    alignas(nlmsghdr) static thread_local char buffer[32768];
    for (;;) {
        const ssize_t n = recv(s.get(), buffer, sizeof buffer, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (n == 0) return EPROTO;
        int left = static_cast<int>(n);
        for (auto* h = reinterpret_cast<const nlmsghdr*>(buffer); NLMSG_OK(h, left); h = NLMSG_NEXT(h, left)) {
            if (h->nlmsg_type == NLMSG_DONE) return 0;
            if (h->nlmsg_type == NLMSG_ERROR) {
                const auto* e = static_cast<const nlmsgerr*>(NLMSG_DATA(h));
                return e->error == 0 ? 0 : -e->error;
            }
            onMessage(h);
        }
    }
}

// The attributes of one message, by type (the last of each kind wins).
std::map<unsigned short, const rtattr*> attributes(const rtattr* first, int length) {
    std::map<unsigned short, const rtattr*> found;
    for (const rtattr* a = first; RTA_OK(a, length); a = RTA_NEXT(a, length)) found[a->rta_type] = a;
    return found;
}

void addLink(const nlmsghdr* h, Snapshot& out) {
    const auto* info = static_cast<const ifinfomsg*>(NLMSG_DATA(h));
    Link link;
    link.index = static_cast<std::uint32_t>(info->ifi_index);
    link.hardwareType = info->ifi_type;
    for (const auto& [type, a] : attributes(IFLA_RTA(info), static_cast<int>(IFLA_PAYLOAD(h)))) {
        const auto* data = static_cast<const unsigned char*>(RTA_DATA(a));
        const std::size_t size = RTA_PAYLOAD(a);
        if (type == IFLA_IFNAME) {
            link.name.assign(reinterpret_cast<const char*>(data), strnlen(reinterpret_cast<const char*>(data), size));
        } else if (type == IFLA_ADDRESS) {
            link.mac.assign(data, data + size);
        } else if (type == IFLA_STATS64 && size >= sizeof(rtnl_link_stats64)) {
            rtnl_link_stats64 stats;
            std::memcpy(&stats, data, sizeof stats);
            link.txErrors = stats.tx_errors;
        }
    }
    out.links.push_back(std::move(link));
}

void addAddress(const nlmsghdr* h, std::vector<Address>& primary, std::vector<Address>& secondary) {
    const auto* info = static_cast<const ifaddrmsg*>(NLMSG_DATA(h));
    if (info->ifa_family != AF_INET) return;
    auto found = attributes(IFA_RTA(info), static_cast<int>(IFA_PAYLOAD(h)));
    // IFA_LOCAL is the interface's own address; IFA_ADDRESS the peer's on a point-to-point link.
    auto a = found.count(IFA_LOCAL) ? found[IFA_LOCAL] : found.count(IFA_ADDRESS) ? found[IFA_ADDRESS] : nullptr;
    if (a == nullptr || RTA_PAYLOAD(a) < 4) return;
    (info->ifa_flags & IFA_F_SECONDARY ? secondary : primary).push_back({info->ifa_index, ipv4Text(RTA_DATA(a))});
}

void addRoute(const nlmsghdr* h, Snapshot& out) {
    const auto* info = static_cast<const rtmsg*>(NLMSG_DATA(h));
    if (info->rtm_family != AF_INET || info->rtm_type != RTN_UNICAST) return;
    auto found = attributes(RTM_RTA(info), static_cast<int>(RTM_PAYLOAD(h)));
    std::uint32_t table = info->rtm_table;
    if (found.count(RTA_TABLE)) std::memcpy(&table, RTA_DATA(found[RTA_TABLE]), sizeof table);
    if (table != RT_TABLE_MAIN) return;
    Route route;
    route.destination = "0.0.0.0";
    if (info->rtm_dst_len != 0 && found.count(RTA_DST)) route.destination = ipv4Text(RTA_DATA(found[RTA_DST]));
    if (found.count(RTA_PRIORITY)) std::memcpy(&route.metric, RTA_DATA(found[RTA_PRIORITY]), sizeof route.metric);
    if (found.count(RTA_GATEWAY)) route.gateway = ipv4Text(RTA_DATA(found[RTA_GATEWAY]));
    if (found.count(RTA_OIF)) {
        std::memcpy(&route.index, RTA_DATA(found[RTA_OIF]), sizeof route.index);
    } else if (found.count(RTA_MULTIPATH) && RTA_PAYLOAD(found[RTA_MULTIPATH]) >= sizeof(rtnexthop)) {
        // A multipath route counts by its first next hop.
        const auto* hop = static_cast<const rtnexthop*>(RTA_DATA(found[RTA_MULTIPATH]));
        route.index = static_cast<std::uint32_t>(hop->rtnh_ifindex);
        auto inner = attributes(RTNH_DATA(hop), static_cast<int>(hop->rtnh_len - sizeof(rtnexthop)));
        if (inner.count(RTA_GATEWAY)) route.gateway = ipv4Text(RTA_DATA(inner[RTA_GATEWAY]));
    }
    out.routes.push_back(std::move(route));
}

int readSnapshot(Snapshot& out) {
    if (int rc = dump(RTM_GETLINK, AF_UNSPEC, [&](const nlmsghdr* h) {
            if (h->nlmsg_type == RTM_NEWLINK) addLink(h, out);
        }))
        return rc;
    std::vector<Address> secondary;
    if (int rc = dump(RTM_GETADDR, AF_INET, [&](const nlmsghdr* h) {
            if (h->nlmsg_type == RTM_NEWADDR) addAddress(h, out.addresses, secondary);
        }))
        return rc;
    out.addresses.insert(out.addresses.end(), secondary.begin(), secondary.end());
    return dump(RTM_GETROUTE, AF_INET, [&](const nlmsghdr* h) {
        if (h->nlmsg_type == RTM_NEWROUTE) addRoute(h, out);
    });
}

bool sysEntryExists(const std::string& name, const char* entry) {
    return access(("/sys/class/net/" + name + "/" + entry).c_str(), F_OK) == 0;
}

// Mb/s from sysfs; 0 where the driver does not know (it reads -1 or fails).
std::uint64_t linkSpeedBits(const std::string& name) {
    std::ifstream in("/sys/class/net/" + name + "/speed");
    long long mbps = 0;
    if (!(in >> mbps) || mbps <= 0) return 0;
    return static_cast<std::uint64_t>(mbps) * 1000000u;
}

// The IANA interface type Windows reports, from the ARP hardware type.
std::uint32_t ianaType(const Link& link) {
    switch (link.hardwareType) {
        case ARPHRD_ETHER:
            return sysEntryExists(link.name, "wireless") || sysEntryExists(link.name, "phy80211") ? 71 : 6;
        case ARPHRD_IEEE80211:
        case ARPHRD_IEEE80211_PRISM:
        case ARPHRD_IEEE80211_RADIOTAP: return 71;
        case ARPHRD_LOOPBACK: return 24;
        case ARPHRD_PPP: return 23;
        case ARPHRD_IEEE802_TR: return 9;
        case ARPHRD_ATM: return 37;
        case ARPHRD_IEEE1394: return 144;
        case ARPHRD_IEEE802154: return 259;
        case ARPHRD_TUNNEL:
        case ARPHRD_TUNNEL6:
        case ARPHRD_SIT:
        case ARPHRD_IPGRE:
        case ARPHRD_NONE: return 131;
        default: return 1;  // IF_TYPE_OTHER
    }
}

bool readInterfaces(std::vector<InterfaceRow>& out, TableError& failure) {
    Snapshot snapshot;
    if (int rc = readSnapshot(snapshot)) {
        failure = {"GetIfTable error : ", static_cast<unsigned long>(rc)};
        return false;
    }
    for (const Link& link : snapshot.links) {
        InterfaceRow row;
        row.connectorPresent = link.hardwareType != ARPHRD_LOOPBACK;
        row.physicalAddress = link.mac;
        row.type = ianaType(link);
        row.transmitLinkSpeed = linkSpeedBits(link.name);
        row.outErrors = link.txErrors;
        out.push_back(std::move(row));
    }
    return true;
}

bool readAdapters(std::vector<AdapterRow>& out, TableError& failure) {
    Snapshot snapshot;
    if (int rc = readSnapshot(snapshot)) {
        failure = {"GetAdaptersInfo error : ", static_cast<unsigned long>(rc)};
        return false;
    }
    for (const Link& link : snapshot.links) {
        if (link.hardwareType == ARPHRD_LOOPBACK) continue;
        AdapterRow row;
        row.name = linuxInterfaceGuid(link.mac.data(), link.mac.size(), link.index);
        row.description = link.name;
        row.address = link.mac;
        // As GetAdaptersInfo: the first address and the default gateway
        // (the one of least metric), "0.0.0.0" when there is none.
        row.firstIp = row.firstGateway = "0.0.0.0";
        for (const Address& a : snapshot.addresses)
            if (a.index == link.index) {
                row.firstIp = a.text;
                break;
            }
        const Route* best = nullptr;
        for (const Route& r : snapshot.routes)
            if (r.index == link.index && r.destination == "0.0.0.0" && !r.gateway.empty() &&
                (best == nullptr || r.metric < best->metric))
                best = &r;
        if (best != nullptr) row.firstGateway = best->gateway;
        out.push_back(std::move(row));
    }
    return true;
}

}  // namespace

DefaultRouteMetrics getInetIPForwardTableInfo() {
    Snapshot snapshot;
    if (int rc = readSnapshot(snapshot)) {
        TVX_LOG_AS(tvxlog::error, kForwardTableFunction) << "GetIpForwardTable error : "
                                                         << tvxlog::errorSuffix(static_cast<unsigned long>(rc));
        return {};
    }
    std::vector<RouteRow> routes;
    for (const Route& r : snapshot.routes) routes.push_back({r.index, r.destination, r.metric});
    std::vector<AddressRow> rows;
    for (const Address& a : snapshot.addresses) rows.push_back({a.index, a.text});
    return buildDefaultRouteMetrics(routes, rows);
}

NetworkSources systemNetworkSources() {
    NetworkSources s;
    s.readInterfaces = readInterfaces;
    s.readAdapters = readAdapters;
    s.defaultRouteMetrics = getInetIPForwardTableInfo;
    s.wifiQuery = [](std::string& guid, std::string& ssid, std::string& bssid, std::string& authentication,
                     std::string& radioType, int& strength, int& channel) {
        return getWifiMetricsImpl(guid, ssid, bssid, authentication, radioType, strength, channel);
    };
    s.running = isServiceRunning;
    return s;
}
