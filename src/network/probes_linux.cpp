// The probes' system calls on Linux: echo through datagram ICMP sockets (no
// privilege, as long as net.ipv4.ping_group_range admits the process), the
// routers' answers of a time-to-live walk from the socket's error queue, TCP
// connects and pauses that end with the deadline or the service's stop.
#include <arpa/inet.h>
#include <linux/errqueue.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/ip_icmp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>

#include "platform/log.h"
#include "stop_wait_linux.h"
#include "unique_fd_linux.h"
#include "platform/platform_service.h"
#include "platform/working_task.h"
#include "getaddrinfo_text.h"
#include "probes_sys.h"

namespace probesys {
namespace {

constexpr int kEchoDeadlineMs = 1000;
constexpr int kConnectDeadlineMs = 2500;
// The statuses IcmpSendEcho reports, which the portable code reads.
constexpr unsigned long kIpDestNetUnreachable = 11002;
constexpr unsigned long kIpDestHostUnreachable = 11003;
constexpr unsigned long kIpDestProtUnreachable = 11004;
constexpr unsigned long kIpDestPortUnreachable = 11005;
constexpr unsigned long kIpTtlExpiredTransit = 11013;
constexpr int kWsaTimedOut = 10060;

using Fd = UniqueFd;

using stopwait::Clock;
using stopwait::remainingMs;
using stopwait::StopSignal;
using stopwait::waitFor;

unsigned long unreachableStatus(std::uint8_t code) {
    switch (code) {
        case ICMP_NET_UNREACH: return kIpDestNetUnreachable;
        case ICMP_PROT_UNREACH: return kIpDestProtUnreachable;
        case ICMP_PORT_UNREACH: return kIpDestPortUnreachable;
        default: return kIpDestHostUnreachable;
    }
}

unsigned long sendErrorStatus(int error) {
    if (error == ENETUNREACH) return kIpDestNetUnreachable;
    if (error == EHOSTUNREACH) return kIpDestHostUnreachable;
    return static_cast<unsigned long>(error);
}

// What one echo met: a reply (from, status 0), a router's error (its
// address, the IcmpSendEcho status), nothing, or a socket that cannot be had.
struct EchoAnswer {
    enum Kind { reply, routerError, timedOut, refused, failed } kind = timedOut;
    std::uint32_t from = 0;
    unsigned long status = kIpReqTimedOut;
    std::uint32_t roundTripMs = 0;
};

// The kernel's ICMP sockets are open to the groups in ping_group_range only;
// without them the TCP probes are all there is, which is worth one line.
void noteIcmpRefused(int error) {
    static std::atomic<bool> said{false};
    if (!said.exchange(true))
        TVX_LOG(tvxlog::warning) << "ICMP sockets refused (" << std::strerror(error)
                                 << "; see net.ipv4.ping_group_range): round trips come from TCP probes";
}

// A router's answer from the error queue, when there is one.
bool readRouterError(int s, EchoAnswer& answer) {
    unsigned char data[64];
    alignas(cmsghdr) unsigned char control[512];
    sockaddr_in peer{};
    iovec io{data, sizeof data};
    msghdr msg{};
    msg.msg_name = &peer;
    msg.msg_namelen = sizeof peer;
    msg.msg_iov = &io;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    if (recvmsg(s, &msg, MSG_ERRQUEUE | MSG_DONTWAIT) < 0) return false;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != SOL_IP || c->cmsg_type != IP_RECVERR) continue;
        sock_extended_err ee;
        std::memcpy(&ee, CMSG_DATA(c), sizeof ee);
        if (ee.ee_origin != SO_EE_ORIGIN_ICMP) continue;
        sockaddr_in offender;
        std::memcpy(&offender, reinterpret_cast<const unsigned char*>(CMSG_DATA(c)) + sizeof ee, sizeof offender);
        answer.kind = EchoAnswer::routerError;
        answer.from = offender.sin_family == AF_INET ? offender.sin_addr.s_addr : 0;
        answer.status = ee.ee_type == ICMP_TIME_EXCEEDED ? kIpTtlExpiredTransit : unreachableStatus(ee.ee_code);
        return true;
    }
    return false;
}

// One echo request of 32 bytes ("Data Buffer" and padding, as IcmpSendEcho
// sends), waited for at most a second or until the service stops.
EchoAnswer echoOnce(std::uint32_t address, unsigned ttl) {
    EchoAnswer answer;
    Fd s(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP));
    if (!s.valid()) {
        answer.status = static_cast<unsigned long>(errno);
        if (errno == EACCES || errno == EPERM) {
            noteIcmpRefused(errno);
            answer.kind = EchoAnswer::refused;
        } else {
            answer.kind = EchoAnswer::failed;
        }
        return answer;
    }
    const int on = 1;
    setsockopt(s.get(), SOL_IP, IP_RECVERR, &on, sizeof on);
    if (ttl != 0) {
        const int value = static_cast<int>(ttl);
        setsockopt(s.get(), SOL_IP, IP_TTL, &value, sizeof value);
    }
    unsigned char packet[sizeof(icmphdr) + 32] = {};
    icmphdr header{};
    header.type = ICMP_ECHO;
    header.un.echo.sequence = htons(1);  // the kernel sets the identifier and checksum
    std::memcpy(packet, &header, sizeof header);
    std::memcpy(packet + sizeof header, "Data Buffer", 11);
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_addr.s_addr = address;
    StopSignal stop;
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::milliseconds(kEchoDeadlineMs);
    if (sendto(s.get(), packet, sizeof packet, 0, reinterpret_cast<const sockaddr*>(&target), sizeof target) < 0) {
        answer.kind = EchoAnswer::routerError;
        answer.status = sendErrorStatus(errno);
        return answer;
    }
    for (;;) {
        const short seen = waitFor(s.get(), POLLIN, stop, deadline);
        if (seen == 0) return answer;
        if ((seen & POLLERR) && readRouterError(s.get(), answer)) return answer;
        unsigned char reply[sizeof packet + 64];
        sockaddr_in from{};
        socklen_t fromLength = sizeof from;
        const ssize_t n = recvfrom(s.get(), reply, sizeof reply, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from),
                                   &fromLength);
        if (n < static_cast<ssize_t>(sizeof(icmphdr))) continue;
        icmphdr got;
        std::memcpy(&got, reply, sizeof got);
        if (got.type != ICMP_ECHOREPLY || got.un.echo.sequence != header.un.echo.sequence) continue;
        answer.kind = EchoAnswer::reply;
        answer.from = from.sin_addr.s_addr;
        answer.status = 0;
        answer.roundTripMs = static_cast<std::uint32_t>(
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
        return answer;
    }
}

EchoResult echo(std::uint32_t address) {
    const EchoAnswer a = echoOnce(address, 0);
    switch (a.kind) {
        case EchoAnswer::reply: return {EchoResult::reply, a.roundTripMs, 0};
        // A refused ICMP socket is a failed echo, not a broken collector:
        // the TCP probes stand in.
        case EchoAnswer::refused: return {EchoResult::sendFailed, 0, a.status};
        case EchoAnswer::failed: return {EchoResult::openFailed, 0, a.status};
        default: return {EchoResult::sendFailed, 0, a.status};
    }
}

HopReply echoWithTtl(std::uint32_t address, unsigned ttl) {
    const EchoAnswer a = echoOnce(address, ttl);
    switch (a.kind) {
        case EchoAnswer::reply:
        case EchoAnswer::routerError:
            if (a.from == 0) return {HopReply::noReply, 0, a.status};
            return {HopReply::reply, a.from, a.status};
        case EchoAnswer::failed: return {HopReply::openFailed, 0, a.status};
        default: return {HopReply::noReply, 0, a.status};
    }
}

int resolve(const std::string& name, std::vector<ResolvedAddress>& out) {
    return resolveBounded(name, out, resolveWithGetaddrinfo, kWsaTimedOut);
}

ConnectResult connectOnce(std::uint32_t address, std::uint16_t port) {
    Fd s(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP));
    if (!s.valid()) return {};
    StopSignal stop;
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(port);
    target.sin_addr.s_addr = address;
    const auto start = Clock::now();
    auto elapsed = [&start] {
        return static_cast<std::uint64_t>(
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
    };
    if (connect(s.get(), reinterpret_cast<const sockaddr*>(&target), sizeof target) == 0) return {true, elapsed()};
    if (errno == ECONNREFUSED) return {true, elapsed()};
    if (errno != EINPROGRESS) return {};
    if (waitFor(s.get(), POLLOUT, stop, start + std::chrono::milliseconds(kConnectDeadlineMs)) == 0) return {};
    const std::uint64_t took = elapsed();
    int result = 0;
    socklen_t length = sizeof result;
    if (getsockopt(s.get(), SOL_SOCKET, SO_ERROR, &result, &length) != 0) return {};
    if (result != 0 && result != ECONNREFUSED) return {};
    return {true, took};
}

}  // namespace

Ops systemOps() {
    Ops o;
    o.parseIPv4 = [](const std::string& text, std::uint32_t& address, unsigned long& error) {
        in_addr a{};
        if (inet_pton(AF_INET, text.c_str(), &a) != 1) {
            error = static_cast<unsigned long>(EINVAL);
            return false;
        }
        address = a.s_addr;
        return true;
    };
    o.echo = echo;
    o.echoWithTtl = echoWithTtl;
    o.resolve = resolve;
    o.connect = connectOnce;
    // A pause between connects ends with the service's stop.
    o.sleepMs = [](std::uint32_t ms) {
        StopSignal stop;
        pollfd fd{stop.fd(), POLLIN, 0};
        const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
        while (poll(&fd, stop.fd() >= 0 ? 1 : 0, remainingMs(deadline)) < 0 && errno == EINTR) {
        }
    };
    o.nowSeconds = [] { return wallClockMs() / 1000; };
    return o;
}

}  // namespace probesys
