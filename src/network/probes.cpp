#include "probes.h"

#include <map>
#include <mutex>
#include <optional>
#include <regex>

#include "platform/bounded_call.h"
#include "platform/log.h"
#include "platform/platform_service.h"
#include "platform/settings.h"
#include "probes_sys.h"

namespace probesys {

Ops& ops() {
    static Ops current = systemOps();
    return current;
}

int resolveBounded(const std::string& name, std::vector<ResolvedAddress>& out,
                   int (*resolveNow)(const std::string& name, std::vector<ResolvedAddress>& out), int timedOutCode) {
    if (isValidIPv4(name)) return resolveNow(name, out);
    using Answer = std::pair<int, std::vector<ResolvedAddress>>;
    std::optional<Answer> answer = callBounded<Answer>(
        [name, resolveNow] {
            Answer a;
            a.first = resolveNow(name, a.second);
            return a;
        },
        std::chrono::milliseconds(5000));
    if (!answer) return timedOutCode;
    out = std::move(answer->second);
    return answer->first;
}

}  // namespace probesys

namespace {

constexpr std::uint32_t kNoResult = 0xFFFFFFFFu;

std::mutex& lastRoundTripMutex() {
    static std::mutex m;
    return m;
}

std::map<std::string, std::uint32_t>& lastRoundTripByIp() {
    static std::map<std::string, std::uint32_t> table;
    return table;
}

struct SampleEndpointCache {
    std::mutex mutex;
    std::optional<std::string> name;
    std::optional<std::string> address;
    std::int64_t refreshedAt = 0;
};

SampleEndpointCache& sampleEndpoint() {
    static SampleEndpointCache cache;
    return cache;
}

// First IPv4 result, or the last result when none is IPv4; empty when none.
std::string pickAddress(const std::vector<probesys::ResolvedAddress>& results) {
    std::string text;
    for (const auto& r : results) {
        text = r.text;
        if (r.ipv4) break;
    }
    return text;
}

}  // namespace

int getRoundTripToIP_impl(const std::string& ip) {
    TVX_LOG(tvxlog::verbose) << "getRoundTripToIP : " << ip;
    auto& sys = probesys::ops();
    std::uint32_t address = 0;
    unsigned long parseError = 0;
    if (!sys.parseIPv4(ip, address, parseError) || address == 0xFFFFFFFFu) {
        TVX_LOG(tvxlog::warning) << "Cannot transform IPADDRESS [" << ip << "]" << "to InetPtonA; error = "
                                 << tvxlog::errorSuffix(parseError);
        return -1;
    }
    const probesys::EchoResult result = sys.echo(address);
    if (result.outcome == probesys::EchoResult::reply) {
        std::lock_guard<std::mutex> lock(lastRoundTripMutex());
        lastRoundTripByIp()[ip] = result.roundTripMs;
        return static_cast<int>(result.roundTripMs);
    }
    if (result.outcome == probesys::EchoResult::openFailed)
        TVX_LOG(tvxlog::error) << "IcmpCreatefile returned error: " << tvxlog::errorSuffix(result.error);
    else if (result.error == probesys::kIpReqTimedOut)
        TVX_LOG(tvxlog::debug) << "IcmpSendEcho '" << ip << "' timed out (IP_REQ_TIMED_OUT)";
    else
        TVX_LOG(tvxlog::error) << "IcmpSendEcho '" << ip << "' failed: IP_STATUS=" << result.error;

    // One failure after a success still reports the previous time.
    std::lock_guard<std::mutex> lock(lastRoundTripMutex());
    auto& table = lastRoundTripByIp();
    auto it = table.find(ip);
    const std::uint32_t previous = it == table.end() ? kNoResult : it->second;
    table[ip] = kNoResult;
    return static_cast<int>(previous);
}

int getTcpConnectTime(const char* host, std::uint16_t port, std::uint32_t delayMs, int attempts,
                      std::uint32_t& averageMs) {
    averageMs = kNoResult;
    if (host == nullptr || *host == '\0') return -1;
    auto& sys = probesys::ops();
    std::vector<probesys::ResolvedAddress> results;
    if (sys.resolve(host, results) != 0 || results.empty()) return -1;
    std::uint32_t address = 0;
    unsigned long error = 0;
    if (!sys.parseIPv4(pickAddress(results), address, error)) return -1;
    if (attempts < 1) return 0;

    std::uint64_t total = 0;
    std::uint32_t reached = 0;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        if (attempt > 0) sys.sleepMs(delayMs);
        const probesys::ConnectResult r = sys.connect(address, port);
        if (!r.reached) continue;
        total += r.elapsedMs;
        ++reached;
    }
    if (reached > 0) averageMs = static_cast<std::uint32_t>(total / reached);
    return 0;
}

int getRoundTripToHost(const std::string& host) {
    int rtt = getRoundTripToIP_impl(host);
    if (rtt != -1) return rtt;
    for (std::uint16_t port : {std::uint16_t{443}, std::uint16_t{80}}) {
        std::uint32_t average = kNoResult;
        if (getTcpConnectTime(host.c_str(), port, 0, 1, average) == 0 && average != kNoResult)
            return static_cast<int>(average);
    }
    return -1;
}

std::string resolveEndpoint(const std::string& name) {
    std::vector<probesys::ResolvedAddress> results;
    const int rc = probesys::ops().resolve(name, results);
    if (rc != 0) {
        TVX_LOG(tvxlog::error) << "getaddrinfo '" << name << "'  error: "
                               << tvxlog::systemErrorText(static_cast<unsigned long>(rc));
        return {};
    }
    return pickAddress(results);
}

bool isValidIPv4(const std::string& text) {
    // Nothing longer than "255.255.255.255" can match; spares the regex long input.
    if (text.size() > 15) return false;
    static const std::regex pattern(
        "^((25[0-5]|2[0-4][0-9]|[01]?[0-9][0-9]?)\\.){3}(25[0-5]|2[0-4][0-9]|[01]?[0-9][0-9]?)$",
        std::regex::ECMAScript);
    return std::regex_match(text, pattern);
}

std::string getPingIp(std::string& endpointName) {
    SampleEndpointCache& cache = sampleEndpoint();
    std::string name;
    {
        std::lock_guard<std::mutex> lock(cache.mutex);
        const std::int64_t now = probesys::ops().nowSeconds();
        if (now - cache.refreshedAt > 600) {
            cache.refreshedAt = now;
            cache.name.reset();
            cache.address.reset();
        }
        if (!cache.name) cache.name = readEndPointFromRegistry("8.8.8.8");
        endpointName = *cache.name;
        if (cache.address) return *cache.address;
        name = *cache.name;
    }
    // Resolved without the mutex: no lock is held across a lookup. Two
    // tasks may resolve at once; the first answer stays.
    std::string address;
    if (name.empty()) address.clear();
    else if (isValidIPv4(name)) address = name;
    else address = resolveEndpoint(name);
    // A resolution cut short by a stop says nothing about the name.
    if (!isPassCurrent()) return address;
    std::lock_guard<std::mutex> lock(cache.mutex);
    if (cache.address || !cache.name || *cache.name != name) return cache.address.value_or(address);
    // A failed resolution is kept too: retried at the next refresh only.
    cache.address = address;
    TVX_LOG(tvxlog::info) << "SampleEndpoint: '" << name << "' resolved to: " << address;
    return address;
}
