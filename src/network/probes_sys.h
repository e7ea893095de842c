// What the probes need from the system, as replaceable functions: the Win32
// adapter (probes_win32.cpp) on Windows, an inert one in the host build, fakes
// in tests. Addresses are IPv4 in network byte order.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace probesys {

struct EchoResult {
    enum Outcome { reply, openFailed, sendFailed };
    Outcome outcome = sendFailed;
    std::uint32_t roundTripMs = 0;
    unsigned long error = 0;  // the system's code when not a reply
};

struct ResolvedAddress {
    bool ipv4 = false;
    std::string text;
};

// A TCP connect that reached the host (accepted or refused) and how long it took.
struct ConnectResult {
    bool reached = false;
    std::uint64_t elapsedMs = 0;
};

// The answer to one echo of a time-to-live walk: from whom, whatever its
// status (a router's time-exceeded is 11013, the target's echo reply 0).
struct HopReply {
    enum Outcome { reply, openFailed, noReply };
    Outcome outcome = noReply;
    std::uint32_t from = 0;
    unsigned long status = 0;  // the reply's status, or the system's code when none
};

inline constexpr unsigned long kIpReqTimedOut = 11010;

struct Ops {
    // inet_pton for IPv4; on failure error gets the socket layer's last error.
    std::function<bool(const std::string& text, std::uint32_t& address, unsigned long& error)> parseIPv4;
    // One echo request with its own ICMP handle, opened and closed here.
    std::function<EchoResult(std::uint32_t address)> echo;
    // getaddrinfo for stream sockets, every result rendered in order; 0 or
    // getaddrinfo's code.
    std::function<int(const std::string& name, std::vector<ResolvedAddress>& out)> resolve;
    // One non-blocking connect with its own socket, waited on for at most 2.5 s.
    std::function<ConnectResult(std::uint32_t address, std::uint16_t port)> connect;
    // One echo with the given time to live (0: the system's own) and its own
    // ICMP handle; any reply counts, whatever its status.
    std::function<HopReply(std::uint32_t address, unsigned ttl)> echoWithTtl;
    std::function<void(std::uint32_t ms)> sleepMs;
    // Wall clock, seconds since 1970.
    std::function<std::int64_t()> nowSeconds;
};

// getaddrinfo cannot be cancelled and waits as long as the resolver does (a
// DNS server that never answers): the adapters' resolve runs resolveNow on a
// thread of its own, waited for at most 5 s or until the service stops, when
// it answers timedOutCode. A dotted address is answered at once.
int resolveBounded(const std::string& name, std::vector<ResolvedAddress>& out,
                   int (*resolveNow)(const std::string& name, std::vector<ResolvedAddress>& out), int timedOutCode);

// The ops in use; tests replace members and restore them afterwards.
Ops& ops();
// The platform's own ops.
Ops systemOps();

}  // namespace probesys
