// The public-IP methods and the libcurl client of the Linux add-in inside the
// network lab (provider variant): the stand-in location service, the echo
// service (ifconfig.me) and the public resolver that answer with the
// address the home router translates us to.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <json/json.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "common/test_support.h"
#include "network/dns_query_linux.h"
#include "network/public_ip.h"
#include "platform/platform_service.h"

namespace {

constexpr char kTranslated[] = "203.0.113.77";

std::string locationLog() { return "/run/tvx-lab/location-requests.log"; }
std::string locationPeer() { return kTranslated; }
void locationReady() {
    if (!tvxtest::inLabVariant("provider")) GTEST_SKIP() << "runs only in the lab's \"provider\" variant";
}

constexpr char kCrackUrlError[] = "WinHttpCrackUrl failed with error : [";
constexpr char kNoConnectError[] = "WinHttpSendRequest failed with error : [7] : ";
constexpr const char* kDroppedBodyError = "WinHttpReadData failed with error : [18] : ";

}  // namespace

#include "common/location_service_cases.h"

// Each method first in turn: the methods that ran and the addresses the
// location lookup was asked about show which one found the address.
TEST(LinuxPublicIpLab, EachMethodFindsTheTranslatedAddress) {
    if (!tvxtest::inLabVariant("provider")) GTEST_SKIP();
    tvxtest::MemoryRegistry registry;
    tvxtest::Restore<ispsys::Ops> keep{ispsys::ops()};
    auto& ops = ispsys::ops();
    std::vector<int> ran;
    std::vector<std::string> asked;
    ops.running = [] { return true; };
    ops.lookup = [&asked, real = ops.lookup](const std::string& a) { return asked.push_back(a), real(a); };
    ops.methodAddress = [&ran, real = ops.methodAddress](int method) { return ran.push_back(method), real(method); };
    for (std::uint32_t first : {1u, 2u, 3u, 4u}) {
        SCOPED_TRACE(first);
        registry->setDword(winreg::currentUser(), u"Software\\Quillmere\\Telvista\\Setting", u"PublicIpLookupMethod",
                           first);
        resetLocationCacheForTests();
        ran.clear(), asked.clear();
        PublicIpState state;
        Json::Value m;
        getPublicIp(m, state);
        EXPECT_EQ(m["publicIpAddress"], kTranslated);
        EXPECT_EQ(ran, first == 1 ? std::vector<int>{} : std::vector<int>{static_cast<int>(first)});
        EXPECT_EQ(asked, std::vector<std::string>{first == 1 ? "" : kTranslated});
    }
}

// A request to the port that trickles and a question to a resolver that
// swallows it both end with the service's stop, not with their own limits.
TEST(LinuxPublicIpLab, TheStopEndsAnHttpsRequestAndADnsQuery) {
    if (!tvxtest::inLabVariant("provider")) GTEST_SKIP();
    tvxtest::LogCapture log;
    std::atomic<bool> done{false};
    std::thread request([&] {
        systemHttpClient().request(u"GET", u"https://geo.telvista.test:9443/", {}, "");
        done = true;
    });
    ASSERT_TRUE(tvxtest::waitUntil([&] { return notifyServiceStopWatches(), done.load(); }));
    request.join();
    EXPECT_TRUE(log.contains(tvxlog::debug, "httprequest_win_impl::do_request", "request given up: the service stops"));

    done = false;
    std::vector<std::uint32_t> addresses;
    auto outcome = dnsquery::Outcome::answered;
    std::thread query([&] {
        // The dropper; 30 tries of a second each would outlast the wait below.
        outcome = dnsquery::askA(inet_addr("203.0.113.30"), kMyIpName, addresses, 30, 1000);
        done = true;
    });
    ASSERT_TRUE(tvxtest::waitUntil([&] { return notifyServiceStopWatches(), done.load(); }));
    query.join();
    EXPECT_EQ(outcome, dnsquery::Outcome::stopped);
}
