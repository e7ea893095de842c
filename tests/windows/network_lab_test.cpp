// The collectors against the real IP Helper, ICMP and Winsock, inside the
// network lab (tests/lab/lab): two wired interfaces with default routes of
// metric 25 (eth0) and 35 (eth1), the gateway 198.51.100.1, a sample endpoint
// one router further, a host that refuses TCP and ignores ping, and one that
// drops everything. Outside the lab these tests skip.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "codec/codec.h"
#include "network/probes.h"
#include "plugin_test_support.h"
#include "rdclient/network_guard.h"

namespace {

constexpr char kGateway[] = "198.51.100.1";
constexpr char kRefuser[] = "203.0.113.18";
constexpr char kDropper[] = "203.0.113.30";
constexpr char kEth0Guid[] = "{00000002-0000-0000-0000-4E6574446576}";

class NetworkLab : public ::testing::Test {
protected:
    void SetUp() override {
        const char* lab = std::getenv("TVX_LAB");
        if (lab == nullptr || std::string(lab) != "1") GTEST_SKIP() << "runs only inside tests/lab/lab";
        ASSERT_EQ(standin::whyNotATestNetwork(), "");
        WSADATA data;
        ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    }
    void TearDown() override {
        if (!IsSkipped()) WSACleanup();
    }
};

// HKLM\...\Metrics "SampleEndpoint" for the life of the object.
class SampleEndpointValue {
public:
    explicit SampleEndpointValue(const std::wstring& name) {
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key_,
                        nullptr);
        RegSetValueExW(key_, L"SampleEndpoint", 0, REG_SZ, reinterpret_cast<const BYTE*>(name.c_str()),
                       static_cast<DWORD>((name.size() + 1) * sizeof(wchar_t)));
    }
    ~SampleEndpointValue() {
        RegDeleteValueW(key_, L"SampleEndpoint");
        RegCloseKey(key_);
    }
    SampleEndpointValue(const SampleEndpointValue&) = delete;
    SampleEndpointValue& operator=(const SampleEndpointValue&) = delete;

private:
    static constexpr const wchar_t* kKey = L"Software\\Quillmere\\Telvista\\Metrics";
    HKEY key_ = nullptr;
};

}  // namespace

TEST_F(NetworkLab, IcmpAndTcpProbes) {
    EXPECT_GE(getRoundTripToIP_impl(kGateway), 0);
    EXPECT_GE(getRoundTripToIP_impl("203.0.113.10"), 0) << "one router further";
    EXPECT_EQ(getRoundTripToIP_impl(kDropper), -1);
    EXPECT_EQ(getRoundTripToIP_impl(kRefuser), -1) << "the refusing host ignores ping";
    EXPECT_EQ(getRoundTripToIP_impl("8.8.8.8"), -1) << "a router's unreachable answer is no round trip";

    std::uint32_t average = 0;
    EXPECT_EQ(getTcpConnectTime(kRefuser, 443, 0, 2, average), 0);
    EXPECT_NE(average, 0xFFFFFFFFu) << "a refusal counts as reached";
    EXPECT_EQ(getTcpConnectTime(kDropper, 443, 0, 1, average), 0);
    EXPECT_EQ(average, 0xFFFFFFFFu);

    // Ping first, then TCP on 443 and 80; names resolve through the lab hosts file.
    EXPECT_GE(getRoundTripToHost(kGateway), 0);
    EXPECT_GE(getRoundTripToHost(kRefuser), 0);
    EXPECT_GE(getRoundTripToHost("sample.telvista.test"), 0);
    EXPECT_EQ(getRoundTripToHost(kDropper), -1);
    EXPECT_EQ(resolveEndpoint("refuse.lab.test"), kRefuser);
    EXPECT_EQ(resolveEndpoint("nowhere.lab.test"), "");
}

// The plug-in through the client stand-in: GET_METRICS shows the lab's network,
// the lower-metric interface (eth0) and a sample endpoint named in the registry.
TEST_F(NetworkLab, GetMetricsThroughTheClientStandIn) {
    SampleEndpointValue endpoint(L"sample.telvista.test");
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    {
        standin::PluginDll dll(standin::pluginPathBesideProgram());
        ASSERT_TRUE(dll.loaded());
        ASSERT_EQ(dll.registerServer(), S_OK);
        CLSID clsid{};
        std::optional<std::wstring> name = standin::readAddInClassText();
        ASSERT_TRUE(name);
        ASSERT_EQ(CLSIDFromString(name->c_str(), &clsid), S_OK);
        {
            standin::Session session;
            ASSERT_EQ(session.create(clsid), S_OK);
            ASSERT_EQ(session.initialize(), S_OK);
            BOOL accepted = FALSE;
            ASSERT_EQ(session.openChannel(&accepted), S_OK);
            // The first passes start at once; the gateway probe needs the
            // interface choice of the first "Common Metrics" pass, so it is
            // measured from the second pass on (5 s later).
            Json::Value result;
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
            do {
                std::this_thread::sleep_for(std::chrono::milliseconds(250));
                auto writes = session.send(tvxcodec::jsonRpcFrame(
                    tvxcodec::jsonRpcPayload("GET_METRICS", Json::Value(), Json::Value(1))));
                ASSERT_EQ(writes.size(), 1u);
                result = tvxcodec::decodeJsonRpcFrame(writes.front()).value["result"];
            } while (result["roundtripMs"].asInt() < 0 && std::chrono::steady_clock::now() < deadline);
            EXPECT_EQ(result["if_guid"], kEth0Guid);
            EXPECT_EQ(result["description"], "eth0");
            EXPECT_EQ(result["gateway"], kGateway);
            EXPECT_EQ(result["privateIpAddress"], "198.51.100.2");
            EXPECT_EQ(result["mac_address"], "02-1A-00-00-00-01");
            EXPECT_EQ(result["if_type"], "Ethernet");
            EXPECT_EQ(result["if_type_value"], 6);
            EXPECT_EQ(result["wifi_channel"], -1);
            EXPECT_GE(result["roundtripMs"].asInt(), 0);
            EXPECT_EQ(result["latencyTarget"], "sample.telvista.test");
            EXPECT_GE(result["roundtripGoogleMs"].asInt(), 0);
            EXPECT_EQ(result["roundtripAdcMs"], -1);
            EXPECT_EQ(session.closeChannel(), S_OK);
            EXPECT_EQ(session.terminated(), S_OK);
            session.release();
        }
        dll.unregisterServer();
    }
    CoUninitialize();
}
