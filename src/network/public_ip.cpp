#include "public_ip.h"

#include <chrono>
#include <cstdio>
#include <mutex>

#include "location_lookup.h"
#include "network_data.h"
#include "platform/log.h"
#include "platform/platform_service.h"
#include "platform/platform_task.h"
#include "platform/privacy_filter.h"
#include "platform/settings.h"
#include "probes.h"
#include "probes_sys.h"
#include "platform/working_task.h"

using locationData::LocationRef;

namespace {

struct LocationCache {
    std::mutex mutex;  // the location mutex: taken before the lookup cache's
    LocationRef record;
    std::string ispRoute;
};

LocationCache& cache() {
    static LocationCache c;
    return c;
}

}  // namespace

void setLocationDataCache(LocationRef record) {
    if (!record) return;
    // A pass that outlived its session leaves the cache to the new one.
    if (!isPassCurrent()) return;
    TVX_LOG(tvxlog::debug) << "Found public IP : " << record->ip;
    if (dataPrivacyFilter::instance().isEnabled(kPrivacyIspName))
        TVX_LOG(tvxlog::debug) << "Found ISP name : " << tvxlog::printable(record->ispName);
    if (dataPrivacyFilter::instance().isEnabled(kPrivacyLocation))
        TVX_LOG(tvxlog::debug) << "Found location Data : " << tvxlog::printable(formatLocation(*record));
    bool newAddress = false;
    {
        std::lock_guard<std::mutex> lock(cache().mutex);
        newAddress = !cache().record || cache().record->ip != record->ip;
        cache().record = std::move(record);
    }
    if (newAddress) announceInput(MetricInput::publicIp);
    announceInput(MetricInput::location);
}

LocationRef getCachedLocation() {
    std::lock_guard<std::mutex> lock(cache().mutex);
    return cache().record;
}

std::string getCachedPublicIp() {
    std::lock_guard<std::mutex> lock(cache().mutex);
    return cache().record ? cache().record->ip : std::string();
}

std::string getCachedIspRoute() {
    std::lock_guard<std::mutex> lock(cache().mutex);
    return cache().ispRoute;
}

void resetLocationCacheForTests() {
    std::lock_guard<std::mutex> lock(cache().mutex);
    cache().record.reset();
    cache().ispRoute.clear();
}

void setCachedIspRoute(const std::string& route, const std::function<LocationRef(const std::string&)>& lookup) {
    if (!isPassCurrent()) return;
    bool newRoute = false;
    bool wantsProvider = false;
    {
        std::lock_guard<std::mutex> lock(cache().mutex);
        newRoute = cache().ispRoute != route;
        cache().ispRoute = route;
        wantsProvider = !cache().record || cache().record->ispName.empty();
    }
    if (newRoute) announceInput(MetricInput::ispRoute);
    if (!wantsProvider) return;
    // Looked up without the mutex: no lock is held across a request.
    LocationRef r = lookup(route);
    if (!r) return;
    {
        std::lock_guard<std::mutex> lock(cache().mutex);
        // A lookup that found the provider meanwhile wins.
        if (cache().record && !cache().record->ispName.empty()) return;
        // The route's provider and place, but not its address: the public
        // IP stays the client's own (unknown when there was no record).
        auto merged = std::make_shared<locationData::LOCATION_DATA>(*r);
        merged->ip = cache().record ? cache().record->ip : std::string();
        cache().record = std::move(merged);
    }
    announceInput(MetricInput::location);
}

namespace ispsys {

Ops& ops() {
    static Ops current = systemOps();
    return current;
}

Ops systemOps() {
    Ops o;
    o.lookup = [](const std::string& address) { return ::getLocationByIp(address); };
    o.runCommand = [](const std::string& commandLine, const LineHandler& parseLine) {
        return ::runCommand(commandLine, parseLine);
    };
    o.nowSeconds = [] { return wallClockMs() / 1000; };
    // A pass that outlived its session ends its loops as a stop would.
    o.running = [] { return isServiceRunning() && isPassCurrent(); };
    o.methodAddress = systemMethodAddress();
    return o;
}

}  // namespace ispsys

std::vector<int> publicIpMethodOrder(std::uint32_t value) {
    const int first = value >= 1 && value <= 4 ? static_cast<int>(value) : 1;
    std::vector<int> order;
    for (int k = 0; k < 4; ++k) order.push_back((first - 1 + k) % 4 + 1);
    return order;
}

namespace {

void keepAddress(const std::string& line, const char* format, std::size_t width, std::string& address) {
    std::string word;
    if (scanLine(line, format, width, word) && isValidIPv4(word)) address = word;
}

// Looks up the address that a method found (by its command, unless the
// platform finds it another way).
LocationRef lookupMethodAddress(int method, const char* commandLine, void (*parse)(const std::string&, std::string&)) {
    std::string address;
    if (ispsys::ops().methodAddress)
        address = ispsys::ops().methodAddress(method);
    else
        ispsys::ops().runCommand(commandLine, [&address, parse](const std::string& line) { parse(line, address); });
    if (address.empty()) return {};
    return ispsys::ops().lookup(address);
}

}  // namespace

void parseResolveDnsNameLine(const std::string& line, std::string& address) {
    keepAddress(line, "%255s", 255, address);
}

void parseWebRequestLine(const std::string& line, std::string& address) {
    keepAddress(line, "%1024s", 1024, address);
}

void parseNslookupLine(const std::string& line, std::string& address) {
    std::string word;
    if (!scanLine(line, "Address:%*[ \t]%255s", 255, word) || !isValidIPv4(word)) return;
    if (word == kResolverAddress1 || word == kResolverAddress2) return;
    address = word;
}

LocationRef getPublicIpByService() { return ispsys::ops().lookup(""); }
LocationRef getPublicIpByResolveDnsName() {
    return lookupMethodAddress(2, kResolveDnsNameCommand, parseResolveDnsNameLine);
}
LocationRef getPublicIpByWebRequest() { return lookupMethodAddress(3, kWebRequestCommand, parseWebRequestLine); }
LocationRef getPublicIpByNslookup() { return lookupMethodAddress(4, kNslookupCommand, parseNslookupLine); }

std::string formatLocation(const locationData::LOCATION_DATA& r) {
    std::string text;
    if (!r.city.empty()) text += r.city + ", ";
    if (!r.region.empty()) text += r.region + ", ";
    return text + r.countryName;
}

bool isPublicAddress(std::uint32_t address) {
    // Blocks as first octet, second octet and the second octet's mask.
    // Carrier-grade NAT (100.64.0.0/10) stays: it is the provider's own network.
    static constexpr unsigned char blocks[][3] = {
        {0, 0, 0},         // "this network", 0.0.0.0 included
        {10, 0, 0},        // private
        {127, 0, 0},       // loopback
        {169, 254, 0xFF},  // link-local
        {172, 16, 0xF0},   // private, 172.16.0.0/12
        {192, 168, 0xFF},  // private
    };
    const unsigned first = address & 0xFFu;
    const unsigned second = (address >> 8) & 0xFFu;
    for (const auto& b : blocks)
        if (first == b[0] && (second & b[2]) == b[1]) return false;
    return first < 224;  // multicast and the reserved block above it
}

std::string ipv4Text(std::uint32_t address) {
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", address & 0xFFu, (address >> 8) & 0xFFu, (address >> 16) & 0xFFu,
                  (address >> 24) & 0xFFu);
    return text;
}

std::int32_t getPublicIp(Json::Value& metrics, PublicIpState& state) {
    auto& sys = ispsys::ops();
    const std::int64_t now = sys.nowSeconds();
    if (now - state.refreshedAt > 1800) {
        state.refreshedAt = now;
        state.publicIp.clear();
    }
    // A new private address behind the same gateway is a new network too
    // (two homes whose routers share 192.168.1.1).
    std::string guid = getIfGuid(), gateway = getGateway(), privateIp = getPrivateIp(), ssid = getWifiSsid();
    if (guid != state.guid || gateway != state.gateway || privateIp != state.privateIp || ssid != state.ssid) {
        state.guid = std::move(guid);
        state.gateway = std::move(gateway);
        state.privateIp = std::move(privateIp);
        state.ssid = std::move(ssid);
        state.publicIp.clear();
        state.retry.reset();
    }
    // After a failed lookup the next waits its turn; the last known
    // address is reported meanwhile.
    if (state.publicIp.empty() && state.retry.due(now * 1000)) {
        TVX_LOG(tvxlog::verbose) << "looking for public ip, location data, isp route ...";
        using Method = LocationRef (*)();
        static const Method methods[] = {getPublicIpByService, getPublicIpByResolveDnsName, getPublicIpByWebRequest,
                                         getPublicIpByNslookup};
        for (int method : publicIpMethodOrder(readPublicIpLookupMethod())) {
            LocationRef record = methods[method - 1]();
            if (record && !record->ip.empty()) {
                state.publicIp = record->ip;
                state.retry.reset();
                setLocationDataCache(std::move(record));
                break;
            }
            if (!sys.running()) return -1;
        }
        if (state.publicIp.empty()) {
            state.retry.failed(now * 1000);
            TVX_LOG(tvxlog::debug) << "public ip not found; next lookup in " << state.retry.delayMs() / 1000 << " s";
        }
    }
    metrics["publicIpAddress"] = getCachedPublicIp();
    return 0;
}

std::int32_t getIspLocation(Json::Value& metrics) {
    metrics["client_location"] = "";
    metrics["client_latitude"] = "";
    metrics["client_longitude"] = "";
    const LocationRef record = getCachedLocation();
    if (!record) return -1;
    if (dataPrivacyFilter::instance().isEnabled(kPrivacyIspName)) metrics["isp_name"] = record->ispName;
    if (dataPrivacyFilter::instance().isEnabled(kPrivacyLocation)) {
        metrics["client_location"] = formatLocation(*record);
        metrics["client_latitude"] = record->latitude;
        metrics["client_longitude"] = record->longitude;
    }
    return 0;
}

std::string traceRouteIsp() {
    std::string ignored;
    std::string target = getPingIp(ignored);
    if (target.empty()) target = "8.8.8.8";
    auto& probes = probesys::ops();
    std::uint32_t address = 0;
    unsigned long error = 0;
    if (!probes.parseIPv4(target, address, error)) {
        TVX_LOG(tvxlog::error) << "Error converting IP address to numeric form.";
        return {};
    }
    std::string route;
    for (unsigned ttl = 0; ttl < 20; ++ttl) {
        if (!ispsys::ops().running()) break;
        const probesys::HopReply reply = probes.echoWithTtl(address, ttl);
        if (reply.outcome == probesys::HopReply::openFailed) {
            TVX_LOG(tvxlog::error) << "IcmpCreateFile failed : Unable to open handle. Error : "
                                   << tvxlog::errorSuffix(reply.status);
            return {};
        }
        if (reply.outcome == probesys::HopReply::noReply) {
            TVX_LOG(tvxlog::verbose) << "IcmpSendEcho TTL=" << ttl << " no response";
            continue;
        }
        if (ttl == 0) continue;
        // The target itself answered: every hop before it has been seen.
        if (reply.from == address) break;
        const std::string hop = ipv4Text(reply.from);
        if (hop.empty() || !isPublicAddress(reply.from)) continue;
        if (getRoundTripToHost(hop) != -1) {
            route = hop;
            break;
        }
        TVX_LOG(tvxlog::debug) << "\thop '" << hop
                               << "' emits TTL-exceeded but does not respond to direct probes; skipping";
    }
    if (route.empty()) {
        const std::string ip = getCachedPublicIp();
        if (!ip.empty() && ip != "0.0.0.0") {
            TVX_LOG(tvxlog::debug) << "\ttraceroute exhausted; falling back to public IP '" << ip << "' as ISP route";
            route = ip;
        }
    }
    return route;
}

std::int32_t getIspRouteIp(IspRouteState& state) {
    const std::string p = getCachedPublicIp();
    if (p != state.publicIp) {
        state.publicIp = p;
        state.route.clear();
        state.retry.reset();
    }
    if (state.reset.exchange(false)) state.route.clear();
    if (!state.route.empty()) return 0;
    const std::int64_t nowMs = ispsys::ops().nowSeconds() * 1000;
    if (!state.retry.due(nowMs)) return -1;
    TVX_LOG(tvxlog::verbose) << "get isp route ip ...";
    std::string route;
    if (!p.empty() && p != "0.0.0.0" && getRoundTripToHost(p) != -1) {
        route = p;
        TVX_LOG(tvxlog::debug) << "\tpublic IP '" << p << "' responds directly; skipping traceroute";
    } else {
        route = traceRouteIsp();
    }
    if (route.empty()) {
        TVX_LOG(tvxlog::debug) << "\tispRouteIp failed : reset ISP ip.";
        if (ispsys::ops().running()) state.retry.failed(nowMs);
        return -1;
    }
    TVX_LOG(tvxlog::debug) << "\tISP route ip: '" << route << "'";
    state.route = route;
    state.retry.reset();
    setCachedIspRoute(route, ispsys::ops().lookup);
    return 0;
}

std::int32_t getRoundtripIsp(Json::Value& metrics, IspRouteState& routeState) {
    const std::string route = getCachedIspRoute();
    if (route.empty()) return -1;
    int t = getRoundTripToIP_impl(route);
    if (t == -1) {
        for (std::uint16_t port : {std::uint16_t{443}, std::uint16_t{80}}) {
            std::uint32_t average = 0xFFFFFFFFu;
            if (getTcpConnectTime(route.c_str(), port, 0, 1, average) == 0 && average != 0xFFFFFFFFu) {
                t = static_cast<int>(average);
                break;
            }
        }
    }
    if (t == -1) {
        routeState.reset = true;
        return -1;
    }
    TVX_LOG(tvxlog::debug) << "ISP roundtrip : " << t << " ms";
    metrics["roundtripIspMs"] = t;
    return 0;
}

namespace {

PublicIpState& publicIpState() {
    static PublicIpState s;
    return s;
}

IspRouteState& ispRouteState() {
    static IspRouteState s;
    return s;
}

}  // namespace

std::int32_t getPublicIp(Json::Value& metrics) { return getPublicIp(metrics, publicIpState()); }
std::int32_t getIspRouteIp(Json::Value&) { return getIspRouteIp(ispRouteState()); }
std::int32_t getRoundtripIsp(Json::Value& metrics) { return getRoundtripIsp(metrics, ispRouteState()); }
