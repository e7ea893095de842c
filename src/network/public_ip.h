// The client's public IP, its provider's first public hop ("ISP route"), the
// round trip to that hop, and the provider's name and location. The public
// address and the location come together from the location lookup; the
// other collectors read the cached record.
#pragma once

#include <json/value.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "host/command_runner.h"
#include "location_data.h"
#include "platform/retry_backoff.h"

// The location cache: the record of the latest lookup and the provider's
// route, under one mutex (taken before the lookup cache's own).
// Logs the record and makes it the cached one.
void setLocationDataCache(locationData::LocationRef record);
locationData::LocationRef getCachedLocation();
// The cached record's address; empty without a record.
std::string getCachedPublicIp();
// The provider's first public hop, dotted text; empty until one was found.
std::string getCachedIspRoute();
// Sets the route; when the cached record names no provider, the route's
// record (looked up under the cache's mutex) lends it provider and place.
void setCachedIspRoute(const std::string& route,
                       const std::function<locationData::LocationRef(const std::string&)>& lookup);
// Forgets record and route. Tests only.
void resetLocationCacheForTests();

// What the public-IP collectors need from outside, replaceable in tests.
namespace ispsys {

struct Ops {
    // The location lookup; the empty text asks for the caller's own address.
    std::function<locationData::LocationRef(const std::string& address)> lookup;
    std::function<std::int32_t(const std::string& commandLine, const LineHandler& parseLine)> runCommand;
    // Wall clock, seconds since 1970.
    std::function<std::int64_t()> nowSeconds;
    // The service running flag.
    std::function<bool()> running;
    // The address that method 2, 3 or 4 found ("" when none). Empty: the
    // method's console program through runCommand and its parse step.
    std::function<std::string(int method)> methodAddress;
};

// The platform's own way to methods 2 to 4: empty (console programs) on
// Windows; on Linux, which has none, our own DNS query and HTTPS request.
std::function<std::string(int method)> systemMethodAddress();

Ops& ops();
Ops systemOps();

}  // namespace ispsys

// The special name the resolver answers with the asker's own address, the
// resolver (whose own addresses nslookup prints first) and the echo service.
inline constexpr char kMyIpName[] = "myip.opendns.com";
inline constexpr char kMyIpResolver[] = "resolver1.opendns.com";
inline constexpr char kMyIpWebService[] = "https://ifconfig.me/ip";
inline constexpr char kResolverAddress1[] = "208.67.222.222";
inline constexpr char kResolverAddress2[] = "208.67.220.220";

inline constexpr char kResolveDnsNameCommand[] =
    "PowerShell.exe -NoProfile -NonInteractive -Command \"& {Resolve-DnsName myip.opendns.com -server resolver1.opendns.com -type A | "
    "select -expand IP4Address}\"";
inline constexpr char kWebRequestCommand[] =
    "PowerShell.exe -NoProfile -NonInteractive -Command \"& {(Invoke-WebRequest https://ifconfig.me/ip).Content}\"";
inline constexpr char kNslookupCommand[] = "nslookup -timeout=1 myip.opendns.com resolver1.opendns.com";

// The methods to try, in order, for a "PublicIpLookupMethod" value; values
// outside 1..4 count as 1.
std::vector<int> publicIpMethodOrder(std::uint32_t value);

// Parse steps of methods 2 to 4: each keeps the line's address in address
// when it is one (nslookup's: unless it is the resolver's own).
void parseResolveDnsNameLine(const std::string& line, std::string& address);
void parseWebRequestLine(const std::string& line, std::string& address);
void parseNslookupLine(const std::string& line, std::string& address);

// The lookup methods; empty on failure.
locationData::LocationRef getPublicIpByService();
locationData::LocationRef getPublicIpByResolveDnsName();
locationData::LocationRef getPublicIpByWebRequest();
locationData::LocationRef getPublicIpByNslookup();

// "City, Region, Country", leaving out empty city and region.
std::string formatLocation(const locationData::LOCATION_DATA& record);

// False for the private blocks (10/8, 172.16/12, 192.168/16), loopback,
// link-local, 0/8, multicast and above (the address in network byte order);
// everything else, carrier-grade NAT included, may be a provider's address.
bool isPublicAddress(std::uint32_t address);
// Dotted text of an address in network byte order.
std::string ipv4Text(std::uint32_t address);

// What getPublicIp keeps between runs (its own task thread only).
struct PublicIpState {
    std::string publicIp;  // empty: look it up when the back-off allows
    std::int64_t refreshedAt = 0;
    std::string guid, gateway, privateIp, ssid;  // the network at the last check
    RetryBackoff retry;
};

// What getIspRouteIp keeps between runs; reset is set by getRoundtripIsp.
struct IspRouteState {
    std::string route;
    std::string publicIp;
    std::atomic<bool> reset{false};
    RetryBackoff retry;  // after a search that found nothing
};

// Collectors of the "Common Metrics", "ISP Route", "ISP Location" and
// "ISP Roundtrip" tasks.
std::int32_t getPublicIp(Json::Value& metrics);
std::int32_t getIspRouteIp(Json::Value& metrics);
std::int32_t getIspLocation(Json::Value& metrics);
std::int32_t getRoundtripIsp(Json::Value& metrics);

// The same with the state given (the collectors use process-wide ones).
std::int32_t getPublicIp(Json::Value& metrics, PublicIpState& state);
std::int32_t getIspRouteIp(IspRouteState& state);
std::int32_t getRoundtripIsp(Json::Value& metrics, IspRouteState& routeState);

// Walks the path to the sample endpoint with growing time to live and returns
// the first public hop that answers a direct probe, else the known public IP,
// else the empty text.
std::string traceRouteIsp();
