// The provider route search against real ICMP time-to-live walks inside the
// network lab (tests/lab/lab): the client behind a NAT home router whose
// public address is 203.0.113.77, a private provider router, one at
// 172.20.0.1 that shows in traces only, and the route's hop 203.0.113.49 that
// answers TCP on port 443 only. Each test belongs to one lab variant and
// skips in the others.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include <chrono>
#include <thread>
#include <vector>

#include "codec/codec.h"
#include "common/test_support.h"
#include "network/probes.h"
#include "network/public_ip.h"
#include "plugin_test_support.h"

namespace {

constexpr char kPublicIp[] = "203.0.113.77";
constexpr char kRouteHop[] = "203.0.113.49";

// A registry value for the life of the object.
class RegValue {
public:
    RegValue(HKEY root, const wchar_t* key, const wchar_t* name, const std::wstring& text) : name_(name) {
        RegCreateKeyExW(root, key, 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key_, nullptr);
        RegSetValueExW(key_, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                       static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    }
    ~RegValue() {
        RegDeleteValueW(key_, name_.c_str());
        RegCloseKey(key_);
    }
    RegValue(const RegValue&) = delete;
    RegValue& operator=(const RegValue&) = delete;

private:
    HKEY key_ = nullptr;
    std::wstring name_;
};

// HKCU "PublicIpLookupMethod" for the life of the object.
class LookupMethod {
public:
    explicit LookupMethod(DWORD method) {
        RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Quillmere\\Telvista\\Setting", 0, nullptr, 0,
                        KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key_, nullptr);
        RegSetValueExW(key_, L"PublicIpLookupMethod", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&method),
                       sizeof method);
    }
    ~LookupMethod() {
        RegDeleteValueW(key_, L"PublicIpLookupMethod");
        RegCloseKey(key_);
    }
    LookupMethod(const LookupMethod&) = delete;
    LookupMethod& operator=(const LookupMethod&) = delete;

private:
    HKEY key_ = nullptr;
};

std::string exeFolder() {
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string p = path;
    return p.substr(0, p.find_last_of('\\'));
}

// nslookup.exe and PowerShell.exe stand-ins beside the tests, where the
// process search looks first, scripted through TVX_CONSOLE_<NAME>.
class ConsoleStandIns {
public:
    ConsoleStandIns(const char* nslookup, const char* powerShell) {
        for (auto [name, steps] : {std::pair{"nslookup", nslookup}, std::pair{"PowerShell", powerShell}}) {
            const std::string target = exeFolder() + "\\" + name + ".exe";
            CopyFileA((exeFolder() + "\\tvx_console.exe").c_str(), target.c_str(), FALSE);
            placed_.push_back(target);
            std::string upper = name;
            for (auto& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
            SetEnvironmentVariableA(("TVX_CONSOLE_" + upper).c_str(), steps);
        }
    }
    ~ConsoleStandIns() {
        for (const auto& f : placed_) DeleteFileA(f.c_str());
    }
    ConsoleStandIns(const ConsoleStandIns&) = delete;
    ConsoleStandIns& operator=(const ConsoleStandIns&) = delete;

private:
    std::vector<std::string> placed_;
};

class IspLab : public ::testing::Test {
protected:
    // Skips unless the lab runs the given variant.
    void inVariant(const char* variant) {
        const char* lab = std::getenv("TVX_LAB");
        const char* v = std::getenv("TVX_LAB_VARIANT");
        if (lab == nullptr || std::string(lab) != "1" || v == nullptr || std::string(v) != variant)
            GTEST_SKIP() << "runs only in the lab's \"" << variant << "\" variant";
        WSADATA data;
        ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
        started_ = true;
        saved_ = ispsys::ops();
        ispsys::ops().running = [] { return true; };
        ispsys::ops().lookup = [](const std::string&) { return locationData::LocationRef(); };
        resetLocationCacheForTests();
    }
    void knownPublicIp() {
        auto r = std::make_shared<locationData::LOCATION_DATA>();
        r->ip = kPublicIp;
        r->ispName = "Lab Telecom";
        setLocationDataCache(r);
    }
    void TearDown() override {
        if (!started_) return;
        ispsys::ops() = saved_;
        resetLocationCacheForTests();
        WSACleanup();
    }
    static constexpr const wchar_t* kMetrics = L"Software\\Quillmere\\Telvista\\Metrics";
    bool started_ = false;
    ispsys::Ops saved_;
};

}  // namespace

TEST_F(IspLab, TheWalkSkipsThePrivateAndTheTraceOnlyHopsAndFindsTheTcpOnlyHop) {
    inVariant("provider");
    if (IsSkipped()) return;
    RegValue endpoint(HKEY_LOCAL_MACHINE, kMetrics, L"SampleEndpoint", L"sample.telvista.test");
    tvxtest::LogCapture log;
    knownPublicIp();  // the home router's public address answers nothing
    IspRouteState state;
    ASSERT_EQ(getIspRouteIp(state), 0);
    EXPECT_EQ(getCachedIspRoute(), kRouteHop);
    EXPECT_TRUE(log.contains(tvxlog::verbose, "traceRouteIsp", "IcmpSendEcho TTL=1 no response"));
    EXPECT_TRUE(log.contains(tvxlog::debug, "traceRouteIsp",
                             "\thop '172.20.0.1' emits TTL-exceeded but does not respond to direct probes; skipping"));
    EXPECT_FALSE(log.containsPrefix(tvxlog::debug, "traceRouteIsp", "\thop '10.64.0.1'"));
    Json::Value m;
    EXPECT_EQ(getRoundtripIsp(m, state), 0);
    EXPECT_GE(m["roundtripIspMs"].asInt(), 0) << "by TCP on port 443";
}

TEST_F(IspLab, APublicAddressThatAnswersIsTheRouteWithoutAWalk) {
    inVariant("direct");
    if (IsSkipped()) return;
    tvxtest::LogCapture log;
    knownPublicIp();
    IspRouteState state;
    ASSERT_EQ(getIspRouteIp(state), 0);
    EXPECT_EQ(getCachedIspRoute(), kPublicIp);
    EXPECT_TRUE(log.contains(tvxlog::debug, "getIspRouteIp",
                             "\tpublic IP '203.0.113.77' responds directly; skipping traceroute"));
    EXPECT_FALSE(log.containsPrefix(tvxlog::verbose, "traceRouteIsp", "IcmpSendEcho TTL="));
}

TEST_F(IspLab, SilentHopsFallBackToThePublicIp) {
    inVariant("silent");
    if (IsSkipped()) return;
    RegValue endpoint(HKEY_LOCAL_MACHINE, kMetrics, L"SampleEndpoint", L"drop.lab.test");
    tvxtest::LogCapture log;
    knownPublicIp();
    IspRouteState state;
    ASSERT_EQ(getIspRouteIp(state), 0);
    EXPECT_EQ(getCachedIspRoute(), kPublicIp);
    EXPECT_TRUE(log.contains(tvxlog::verbose, "traceRouteIsp", "IcmpSendEcho TTL=19 no response"));
    EXPECT_TRUE(log.contains(tvxlog::debug, "traceRouteIsp",
                             "\ttraceroute exhausted; falling back to public IP '203.0.113.77' as ISP route"));
    Json::Value m;
    EXPECT_EQ(getRoundtripIsp(m, state), -1) << "the public address answers nothing";
    EXPECT_FALSE(m.isMember("roundtripIspMs"));
    EXPECT_TRUE(state.reset);
}

TEST_F(IspLab, ARouteThatFallsSilentIsSearchedAgain) {
    inVariant("fading");
    if (IsSkipped()) return;
    RegValue endpoint(HKEY_LOCAL_MACHINE, kMetrics, L"SampleEndpoint", L"sample.telvista.test");
    knownPublicIp();
    IspRouteState state;
    Json::Value m;
    ASSERT_EQ(getIspRouteIp(state), 0);
    ASSERT_EQ(getCachedIspRoute(), kRouteHop);
    ASSERT_EQ(getRoundtripIsp(m, state), 0);
    // The knock: from now on the hop drops everything sent to it.
    std::uint32_t average = 0;
    getTcpConnectTime(kRouteHop, 4000, 0, 1, average);
    m = Json::Value();
    EXPECT_EQ(getRoundtripIsp(m, state), -1);
    EXPECT_TRUE(state.reset);
    tvxtest::LogCapture log;
    ASSERT_EQ(getIspRouteIp(state), 0);
    EXPECT_TRUE(log.contains(tvxlog::debug, "traceRouteIsp",
                             "\thop '203.0.113.49' emits TTL-exceeded but does not respond to direct probes; skipping"));
    EXPECT_EQ(getCachedIspRoute(), "198.18.0.2") << "the next router beyond";
    EXPECT_EQ(getRoundtripIsp(m, state), 0);
}

// Each method finds the home router's address: the service sees it as the
// request's origin, the stand-ins print it; the others print addresses of
// their own, so the result tells which method won. Method 2's address is
// one the service cannot place, so method 3 follows.
TEST_F(IspLab, EachLookupMethodFindsTheTranslatedAddress) {
    inVariant("provider");
    if (IsSkipped()) return;
    ispsys::ops().lookup = saved_.lookup;
    struct Case {
        DWORD method;
        const char* nslookup;
        const char* powerShell;
    };
    const Case cases[] = {
        {1, "nslookup:198.51.100.91", "when:Resolve-DnsName out:198.51.100.92 when:Invoke-WebRequest out:198.51.100.93"},
        {2, "nslookup:198.51.100.91", "when:Resolve-DnsName out:203.0.113.77 when:Invoke-WebRequest out:198.51.100.93"},
        {3, "nslookup:", "err:Resolve-DnsName~:~DNS~name~does~not~exist when:Invoke-WebRequest out:203.0.113.77"},
        {4, "nslookup:203.0.113.77", "when:Resolve-DnsName out:198.51.100.92 when:Invoke-WebRequest out:198.51.100.93"},
        {2, "nslookup:198.51.100.91", "when:Resolve-DnsName out:198.18.0.1 when:Invoke-WebRequest out:203.0.113.77"},
    };
    for (const Case& c : cases) {
        LookupMethod method(c.method);
        ConsoleStandIns standIns(c.nslookup, c.powerShell);
        PublicIpState state;
        Json::Value m;
        getPublicIp(m, state);
        EXPECT_EQ(m["publicIpAddress"], kPublicIp) << "method " << c.method << ", " << c.powerShell;
    }
}

// The plug-in through the client stand-in: the public address, provider,
// location and ISP round trip as the remote host receives them, then the
// same with the privacy switches "ISPName" and "Location" off.
TEST_F(IspLab, ProviderAndLocationThroughTheClientStandIn) {
    inVariant("direct");
    if (IsSkipped()) return;
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    auto session = [](bool hidden) {
        std::optional<RegValue> isp, location;
        if (hidden) {
            isp.emplace(HKEY_CURRENT_USER, kMetrics, L"ISPName", L"false");
            location.emplace(HKEY_LOCAL_MACHINE, kMetrics, L"Location", L"FALSE");
        }
        standin::PluginDll dll(standin::pluginPathBesideProgram());
        EXPECT_EQ(dll.registerServer(), S_OK);
        CLSID clsid{};
        CLSIDFromString(standin::readAddInClassText().value_or(L"").c_str(), &clsid);
        Json::Value result;
        {
            standin::Session s;
            EXPECT_EQ(s.create(clsid), S_OK);
            s.initialize();
            BOOL accepted = FALSE;
            s.openChannel(&accepted);
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
            do {
                std::this_thread::sleep_for(std::chrono::milliseconds(250));
                auto writes = s.send(tvxcodec::jsonRpcFrame(
                    tvxcodec::jsonRpcPayload("GET_METRICS", Json::Value(), Json::Value(1))));
                if (writes.size() == 1) result = tvxcodec::decodeJsonRpcFrame(writes.front()).value["result"];
            } while (result["roundtripIspMs"].asInt() < 0 && std::chrono::steady_clock::now() < deadline);
            s.closeChannel();
            s.terminated();
            s.release();
        }
        dll.unregisterServer();
        return result;
    };
    Json::Value shown = session(false);
    EXPECT_EQ(shown["publicIpAddress"], kPublicIp);
    EXPECT_GE(shown["roundtripIspMs"].asInt(), 0) << "the public address answers ping in this variant";
    EXPECT_EQ(shown["isp_name"], "Lab Home Broadband");
    EXPECT_EQ(shown["client_location"], "Lyon, Auvergne-Rhone-Alpes, France");
    EXPECT_EQ(shown["client_latitude"], "45.764000000000003");
    Json::Value hidden = session(true);
    EXPECT_EQ(hidden["publicIpAddress"], kPublicIp);
    EXPECT_EQ(hidden["isp_name"], "");
    EXPECT_EQ(hidden["client_location"], "");
    EXPECT_EQ(hidden["client_longitude"], "");
    CoUninitialize();
}
