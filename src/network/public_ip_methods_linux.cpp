// Methods 2 to 4 without console programs: the DNS methods ask the public
// resolver themselves, as nslookup -timeout=1 would; the web method fetches
// the echo service with the plug-in's own HTTPS client.
#include <sstream>

#include "dns_query_linux.h"
#include "getaddrinfo_text.h"
#include "http_request.h"
#include "platform/log.h"
#include "probes_sys.h"
#include "public_ip.h"

namespace {

constexpr int kWsaTimedOut = 10060;

std::string addressFromDns() {
    std::vector<probesys::ResolvedAddress> found;
    const int rc = probesys::resolveBounded(kMyIpResolver, found, probesys::resolveWithGetaddrinfo, kWsaTimedOut);
    std::uint32_t resolver = 0;
    unsigned long error = 0;
    for (const auto& a : found)
        if (a.ipv4 && probesys::ops().parseIPv4(a.text, resolver, error)) break;
    if (rc != 0 || resolver == 0) {
        TVX_LOG(tvxlog::debug) << "cannot resolve " << kMyIpResolver << ": " << rc;
        return {};
    }
    std::vector<std::uint32_t> addresses;
    const dnsquery::Outcome outcome = dnsquery::askA(resolver, kMyIpName, addresses);
    if (outcome != dnsquery::Outcome::answered) {
        TVX_LOG(tvxlog::debug) << "no answer for " << kMyIpName << " from " << kMyIpResolver << " ("
                               << static_cast<int>(outcome) << ")";
        return {};
    }
    // nslookup's rule: the last address, never one of the resolver's own.
    std::string address;
    for (std::uint32_t a : addresses) parseNslookupLine("Address: " + ipv4Text(a), address);
    return address;
}

std::string addressFromWeb() {
    const std::string url(kMyIpWebService);
    const std::string body =
        systemHttpClient().request(u"GET", std::u16string(url.begin(), url.end()), {}, std::string());
    std::string address;
    std::istringstream lines(body);
    for (std::string line; std::getline(lines, line);) parseWebRequestLine(line, address);
    return address;
}

}  // namespace

std::function<std::string(int)> ispsys::systemMethodAddress() {
    return [](int method) { return method == 3 ? addressFromWeb() : addressFromDns(); };
}
