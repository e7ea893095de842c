#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "network/dns_message.h"
#include "network/public_ip.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::uint16_t kId = 0xBEEF;
const std::string kName = "myip.opendns.com";

// A reply to our query: flags, then the answer section's raw records.
Bytes reply(std::uint16_t flags, std::uint16_t answers, const Bytes& records, const std::string& asked = kName,
            std::uint16_t id = kId) {
    Bytes r = dns::buildAQuery(id, asked);
    r[2] = static_cast<std::uint8_t>(flags >> 8), r[3] = static_cast<std::uint8_t>(flags);
    r[7] = static_cast<std::uint8_t>(answers);
    r.insert(r.end(), records.begin(), records.end());
    return r;
}

// Owner by pointer to the question (offset 12), type, class IN, TTL, data.
Bytes record(Bytes owner, std::uint8_t type, const Bytes& data) {
    owner.insert(owner.end(), {0, type, 0, 1, 0, 0, 0, 60, 0, static_cast<std::uint8_t>(data.size())});
    owner.insert(owner.end(), data.begin(), data.end());
    return owner;
}
const Bytes kOurs = {0xC0, 12};

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

}  // namespace

// Names never come from outside (the DNS method asks a fixed one): the layout
// is what matters.
TEST(DnsMessage, QueryLayout) {
    EXPECT_EQ(dns::buildAQuery(0x1234, "a.bc"), (Bytes{0x12, 0x34, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 1, 'a', 2, 'b', 'c', 0, 0, 1, 0, 1}));
}

TEST(DnsMessage, RepliesReadWithEveryCheck) {
    const Bytes a1 = record(kOurs, 1, {203, 0, 113, 77});
    // An alias of ours (x.test, written after the question) and its address;
    // an address of a name we did not ask for is not taken.
    const Bytes alias = record(kOurs, 5, {1, 'x', 4, 't', 'e', 's', 't', 0});
    const Bytes aliasA = record({0xC0, 46}, 1, {198, 51, 100, 7});
    const Bytes other = record({1, 'y', 0}, 1, {198, 51, 100, 9});
    const Bytes loop = record({0xC0, 34}, 1, {1, 2, 3, 4});
    Bytes shortData = record(kOurs, 1, {1, 2, 3, 4});
    shortData.pop_back();
    struct Case {
        const char* what;
        Bytes datagram;
        dns::Reply expected;
        std::vector<std::string> addresses;
    } cases[] = {
        {"one answer", reply(0x8180, 1, a1), dns::Reply::answer, {"203.0.113.77"}},
        {"name in other case", reply(0x8180, 1, a1, "MyIP.OpenDNS.com"), dns::Reply::answer, {"203.0.113.77"}},
        {"alias chain, foreign owner", reply(0x8180, 3, alias + aliasA + other), dns::Reply::answer, {"198.51.100.7"}},
        {"no answer", reply(0x8180, 0, {}), dns::Reply::answer, {}},
        {"another id", reply(0x8180, 1, a1, kName, 0xBEEE), dns::Reply::foreign, {}},
        {"a query, not a reply", reply(0x0100, 1, a1), dns::Reply::foreign, {}},
        {"another question", reply(0x8180, 1, a1, "myip.opendns.org"), dns::Reply::foreign, {}},
        {"refused", reply(0x8185, 0, {}), dns::Reply::refused, {}},
        {"more answers than sent", reply(0x8180, 2, a1), dns::Reply::malformed, {}},
        {"data beyond the end", reply(0x8180, 1, shortData), dns::Reply::malformed, {}},
        {"pointer loop", reply(0x8180, 1, loop), dns::Reply::malformed, {}},
        {"pointer beyond the end", reply(0x8180, 1, record({0xC0, 0xFF}, 1, {1, 2, 3, 4})), dns::Reply::malformed, {}},
        {"header cut", Bytes{0xBE, 0xEF, 0x81}, dns::Reply::malformed, {}},
    };
    for (const auto& c : cases) {
        std::vector<std::uint32_t> got = {42};
        EXPECT_EQ(dns::parseAReply(c.datagram.data(), c.datagram.size(), kId, kName, got), c.expected) << c.what;
        std::vector<std::string> texts;
        for (std::uint32_t a : got) texts.push_back(ipv4Text(a));
        if (c.expected == dns::Reply::answer) { EXPECT_EQ(texts, c.addresses) << c.what; }
    }
}
