// The probes' system calls: ICMP echo through IP Helper, name resolution and
// TCP connects through Winsock (started by the platform service).
#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>
#include <iphlpapi.h>
#include <icmpapi.h>

#include <chrono>
#include <cstring>
#include <optional>
#include <thread>
#include <utility>

#include "getaddrinfo_text.h"
#include "probes_sys.h"
#include "platform/stop_event_win32.h"
#include "platform/working_task.h"

namespace probesys {
namespace {

constexpr DWORD kConnectDeadlineMs = 2500;

class IcmpHandle {
public:
    IcmpHandle() : handle_(IcmpCreateFile()) {}
    ~IcmpHandle() {
        if (valid()) IcmpCloseHandle(handle_);
    }
    IcmpHandle(const IcmpHandle&) = delete;
    IcmpHandle& operator=(const IcmpHandle&) = delete;
    bool valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
    HANDLE get() const { return handle_; }

private:
    HANDLE handle_;
};

class Socket {
public:
    explicit Socket(SOCKET s) : socket_(s) {}
    ~Socket() {
        if (valid()) closesocket(socket_);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    bool valid() const { return socket_ != INVALID_SOCKET; }
    SOCKET get() const { return socket_; }

private:
    SOCKET socket_;
};

EchoResult echo(std::uint32_t address) {
    IcmpHandle icmp;
    if (!icmp.valid()) return {EchoResult::openFailed, 0, GetLastError()};
    // "Data Buffer", its NUL and padding: 32 bytes.
    char payload[32] = "Data Buffer";
    // One reply record with its 32 data bytes, plus the 8 bytes IP Helper
    // wants for an ICMP error message.
    alignas(ICMP_ECHO_REPLY) unsigned char reply[sizeof(ICMP_ECHO_REPLY) + sizeof payload + 8] = {};
    DWORD replies = IcmpSendEcho(icmp.get(), address, payload, sizeof payload, nullptr, reply, sizeof reply, 1000);
    if (replies == 0) return {EchoResult::sendFailed, 0, GetLastError()};
    ICMP_ECHO_REPLY first;
    std::memcpy(&first, reply, sizeof first);
    // A router's "unreachable" answer is a reply too, but no round trip to the host.
    if (first.Status != IP_SUCCESS) return {EchoResult::sendFailed, 0, first.Status};
    return {EchoResult::reply, first.RoundTripTime, 0};
}

HopReply echoWithTtl(std::uint32_t address, unsigned ttl) {
    IcmpHandle icmp;
    if (!icmp.valid()) return {HopReply::openFailed, 0, GetLastError()};
    char payload[32] = "Data Buffer";
    alignas(ICMP_ECHO_REPLY) unsigned char reply[sizeof(ICMP_ECHO_REPLY) + sizeof payload + 8] = {};
    IP_OPTION_INFORMATION options{};
    options.Ttl = static_cast<UCHAR>(ttl);
    DWORD replies = IcmpSendEcho(icmp.get(), address, payload, sizeof payload, ttl == 0 ? nullptr : &options, reply,
                                 sizeof reply, 1000);
    if (replies == 0) return {HopReply::noReply, 0, GetLastError()};
    ICMP_ECHO_REPLY first;
    std::memcpy(&first, reply, sizeof first);
    return {HopReply::reply, first.Address, first.Status};
}

// A refused connect is final: Windows would otherwise send the SYN again after
// a reset, so a refusal took about 2 s and the round trip measured the
// retries. Before Windows 8, and under Wine, the system refuses the option
// and the socket keeps its retries.
void disableSynRetransmissions(SOCKET s) {
    TCP_INITIAL_RTO_PARAMETERS parameters{};
    parameters.Rtt = TCP_INITIAL_RTO_UNSPECIFIED_RTT;
    parameters.MaxSynRetransmissions = TCP_INITIAL_RTO_NO_SYN_RETRANSMISSIONS;
    DWORD returned = 0;
    WSAIoctl(s, SIO_TCP_INITIAL_RTO, &parameters, sizeof parameters, nullptr, 0, &returned, nullptr, nullptr);
}

int resolve(const std::string& name, std::vector<ResolvedAddress>& out) {
    return resolveBounded(name, out, resolveWithGetaddrinfo, WSAETIMEDOUT);
}

ConnectResult connectOnce(std::uint32_t address, std::uint16_t port) {
    Socket s(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (!s.valid()) return {};
    // The connect is waited for on an event, so the service's stop ends the
    // wait as well as the deadline; selecting the event makes the socket
    // non-blocking.
    WSAEVENT connected = WSACreateEvent();
    if (connected == WSA_INVALID_EVENT) return {};
    struct CloseEvent {
        WSAEVENT e;
        ~CloseEvent() { WSACloseEvent(e); }
    } closeConnected{connected};
    if (WSAEventSelect(s.get(), connected, FD_CONNECT) != 0) return {};
    disableSynRetransmissions(s.get());
    ServiceStopEvent stop;
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(port);
    target.sin_addr.s_addr = address;
    const auto start = std::chrono::steady_clock::now();
    auto elapsed = [&start] {
        return static_cast<std::uint64_t>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start).count() /
            1000000);
    };
    if (connect(s.get(), reinterpret_cast<const sockaddr*>(&target), sizeof target) == 0) return {true, elapsed()};
    const int error = WSAGetLastError();
    if (error == WSAECONNREFUSED) return {true, elapsed()};
    if (error != WSAEWOULDBLOCK) return {};
    HANDLE waits[2] = {connected, stop.get()};
    if (WaitForMultipleObjects(stop.valid() ? 2 : 1, waits, FALSE, kConnectDeadlineMs) != WAIT_OBJECT_0) return {};
    WSANETWORKEVENTS events{};
    if (WSAEnumNetworkEvents(s.get(), connected, &events) != 0 || !(events.lNetworkEvents & FD_CONNECT)) return {};
    const int result = events.iErrorCode[FD_CONNECT_BIT];
    if (result != 0 && result != WSAECONNREFUSED) return {};
    return {true, elapsed()};
}

}  // namespace

Ops systemOps() {
    Ops o;
    o.parseIPv4 = [](const std::string& text, std::uint32_t& address, unsigned long& error) {
        IN_ADDR a{};
        if (InetPtonA(AF_INET, text.c_str(), &a) != 1) {
            error = static_cast<unsigned long>(WSAGetLastError());
            return false;
        }
        address = a.S_un.S_addr;
        return true;
    };
    o.echo = echo;
    o.echoWithTtl = echoWithTtl;
    o.resolve = resolve;
    o.connect = connectOnce;
    // A pause between connects ends with the service's stop.
    o.sleepMs = [](std::uint32_t ms) {
        ServiceStopEvent stop;
        if (stop.valid()) WaitForSingleObject(stop.get(), ms);
        else Sleep(ms);
    };
    o.nowSeconds = [] { return wallClockMs() / 1000; };
    return o;
}

}  // namespace probesys
