#include "dns_query_linux.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

#include "dns_message.h"
#include "platform/log.h"
#include "secure_random.h"
#include "stop_wait_linux.h"

namespace dnsquery {

Outcome askA(std::uint32_t resolver, const std::string& name, std::vector<std::uint32_t>& addresses, int tries,
             int tryMs) {
    addresses.clear();
    std::uint8_t random[2] = {};
    if (!secureRandomBytes(random, sizeof random)) return Outcome::failed;
    // A random id: a forged answer must guess it (and come from the resolver).
    const std::uint16_t id = static_cast<std::uint16_t>(random[0] << 8 | random[1]);
    const std::vector<std::uint8_t> query = dns::buildAQuery(id, name);
    UniqueFd s(socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_UDP));
    if (query.empty() || !s.valid()) return Outcome::failed;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(53);
    to.sin_addr.s_addr = resolver;
    // Connected: the kernel drops datagrams from anyone but the resolver.
    if (connect(s.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) return Outcome::failed;
    stopwait::StopSignal stop;
    for (int attempt = 0; attempt < tries; ++attempt) {
        if (send(s.get(), query.data(), query.size(), 0) < 0) return Outcome::failed;
        const auto deadline = stopwait::Clock::now() + std::chrono::milliseconds(tryMs);
        for (;;) {
            if (stopwait::waitFor(s.get(), POLLIN, stop, deadline) == 0) {
                if (stop.fired()) return Outcome::stopped;
                break;  // this try's second is up
            }
            std::uint8_t reply[1500];
            const ssize_t n = recv(s.get(), reply, sizeof reply, 0);
            if (n < 0) {
                if (errno == EAGAIN || errno == EINTR) continue;
                return Outcome::failed;  // ICMP unreachable: nobody serves DNS there
            }
            switch (dns::parseAReply(reply, static_cast<std::size_t>(n), id, name, addresses)) {
                case dns::Reply::answer: return Outcome::answered;
                case dns::Reply::refused: return Outcome::failed;
                case dns::Reply::foreign:
                case dns::Reply::malformed: continue;  // not ours: keep waiting
            }
        }
    }
    return Outcome::noAnswer;
}

}  // namespace dnsquery
