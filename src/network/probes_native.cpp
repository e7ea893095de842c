// The host build sends no probes: ICMP cannot be opened, names do not
// resolve and connects never reach anything. Tests put fakes in place.
#include <arpa/inet.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "probes_sys.h"
#include "platform/working_task.h"

namespace probesys {

Ops systemOps() {
    Ops o;
    o.parseIPv4 = [](const std::string& text, std::uint32_t& address, unsigned long& error) {
        in_addr a{};
        if (inet_pton(AF_INET, text.c_str(), &a) != 1) {
            error = static_cast<unsigned long>(errno);
            return false;
        }
        address = a.s_addr;
        return true;
    };
    o.echo = [](std::uint32_t) { return EchoResult{EchoResult::openFailed, 0, 50}; };  // ERROR_NOT_SUPPORTED
    o.echoWithTtl = [](std::uint32_t, unsigned) { return HopReply{HopReply::openFailed, 0, 50}; };
    o.resolve = [](const std::string&, std::vector<ResolvedAddress>&) { return 11001; };  // WSAHOST_NOT_FOUND
    o.connect = [](std::uint32_t, std::uint16_t) { return ConnectResult{}; };
    o.sleepMs = [](std::uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); };
    o.nowSeconds = [] { return wallClockMs() / 1000; };
    return o;
}

}  // namespace probesys
