// Gateway discovery under Wine with the stand-in session SDK placed in test
// folders that the environment points at, the engine started as a Citrix
// host (client kind 1).
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "common/test_support.h"
#include "host/euc_gateway.h"
#include "native/engine_support.h"

namespace {

// In text mode: the stand-in SDK writes its log with CR LF line ends.
std::string readAll(const std::wstring& path) {
    std::ifstream in(path.c_str());
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class HostEucGateway : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = tvxtest::tempFolder("doza-euc").wstring();
        sdkFolder_ = root_ + L"\\pf\\Citrix\\ICA Client";
        for (const auto& f : {root_, root_ + L"\\pf", root_ + L"\\pf\\Citrix", sdkFolder_})
            CreateDirectoryW(f.c_str(), nullptr);
        SetEnvironmentVariableW(L"ProgramFiles(x86)", (root_ + L"\\missing").c_str());
        SetEnvironmentVariableW(L"ProgramFiles", (root_ + L"\\pf").c_str());
        resetEucGatewayForTests();
        setClientKind(1);
    }
    void TearDown() override {
        for (const auto& f : {L"\\CCMSDK64.DLL", L"\\ccmsdk.txt", L"\\ccmsdk-calls.log"})
            DeleteFileW((sdkFolder_ + f).c_str());
        SetEnvironmentVariableW(L"ProgramFiles", L"C:\\Program Files");
        SetEnvironmentVariableW(L"ProgramFiles(x86)", L"C:\\Program Files (x86)");
        resetEucGatewayForTests();
    }
    // The engine records the client kind it was started with.
    static void setClientKind(unsigned kind) {
        enginetest::Engine engine({{"Euc Roundtrip ", {}}}, 60000);
        ASSERT_EQ(platform_init(kind), 0);
        platform_shutdown();
    }
    void placeSdk(const wchar_t* built, const char* script) {
        ASSERT_TRUE(CopyFileW((tvxtest::exeFolder().wstring() + L"\\" + built).c_str(), (sdkFolder_ + L"\\CCMSDK64.DLL").c_str(), FALSE));
        std::ofstream((sdkFolder_ + L"\\ccmsdk.txt").c_str()) << script;
    }
    std::wstring root_, sdkFolder_;
    Json::Value metrics;
};

}  // namespace

TEST_F(HostEucGateway, IcaClientFolderCandidates) {
    EXPECT_EQ(findIcaClientFolder(), sdkFolder_);
    SetEnvironmentVariableW(L"ProgramFiles(x86)", (root_ + L"\\pf").c_str());
    EXPECT_EQ(findIcaClientFolder(), sdkFolder_);
    SetEnvironmentVariableW(L"ProgramFiles(x86)", (root_ + L"\\missing").c_str());
    SetEnvironmentVariableW(L"ProgramFiles", (root_ + L"\\missing").c_str());
    EXPECT_EQ(findIcaClientFolder(), tvxtest::exeFolder().wstring());
    EXPECT_EQ(parentFolder(L"C:\\app.exe"), L"C:\\");
    EXPECT_EQ(parentFolder(L"C:\\a/\\b.exe"), L"C:\\a");
}

TEST_F(HostEucGateway, RefusedSdks) {
    struct Case {
        const wchar_t* built;
        const char* script;
        const char* warning;
    } cases[] = {
        {nullptr, "", "Citrix ICA Client SDK file: 'CCMSDK64.DLL' not found!"},
        {L"ccmsdk_25_3_9.dll", "", "Citrix ICA Client SDK version is too old!"},
        {L"ccmsdk_noversion.dll", "", "Citrix ICA Client SDK version is too old!"},
        {L"ccmsdk_25_3_10.dll", "init 5", "CCMInitialize error: 5"},
        {L"ccmsdk_25_3_10.dll", "enum 9", "CCMEnumerateSessions error : 9"},
    };
    for (const Case& c : cases) {
        tvxtest::LogCapture log;
        if (c.built) placeSdk(c.built, c.script);
        std::string gateway = "stale";
        EXPECT_EQ(getCitrixEucGateway(gateway), -1) << c.warning;
        EXPECT_EQ(gateway, "");
        EXPECT_TRUE(log.contains(tvxlog::warning, "getCitrixEucGateway", c.warning)) << c.warning;
    }
}

TEST_F(HostEucGateway, ThirdSessionGivesTheGatewayOnce) {
    placeSdk(L"ccmsdk_25_3_10.dll", "init 65522\nsession 11 5 a.test\nsession 12 7 b.test\nsession 13 0 localhost\n");
    tvxtest::LogCapture log;
    EXPECT_EQ(getEucGateway(metrics), 0);
    EXPECT_EQ(metrics["eucGateway"], "localhost");
    EXPECT_TRUE(log.contains(tvxlog::info, "getCitrixEucGateway", "CCMInitialize result: success"));
    EXPECT_EQ(readAll(sdkFolder_ + L"\\ccmsdk-calls.log"),
              "CCMInitialize CCM_Debug\nCCMEnumerateSessions\nCCMGetSessionInfo_V2 11\nCCMGetSessionInfo_V2 12\n"
              "CCMGetSessionInfo_V2 13\nCCMFreeICASession 3\nCCMUninitialize\n");
    // Loopback refuses port 443: a refusal counts as reached.
    getEucGatewayRoundtrip(metrics);
    EXPECT_GE(metrics["roundtripEucGatewayMs"].asInt(), 0);
    // Discovery ran once: later calls report the cache without the SDK.
    DeleteFileW((sdkFolder_ + L"\\CCMSDK64.DLL").c_str());
    EXPECT_EQ(getEucGateway(metrics), 0);
    EXPECT_EQ(metrics["eucGateway"], "localhost");
}

TEST_F(HostEucGateway, UnreadableOrUnresolvedGatewayIsEmpty) {
    for (const char* gateway : {"@guard", "@noaccess", "@null", "no-such-gateway.invalid"}) {
        tvxtest::LogCapture log;
        resetEucGatewayForTests();
        placeSdk(L"ccmsdk_25_3_10.dll", (std::string("session 1 0 ") + gateway).c_str());
        EXPECT_EQ(getEucGateway(metrics), 0) << gateway;
        EXPECT_EQ(metrics["eucGateway"], "") << gateway;
        EXPECT_EQ(log.contains(tvxlog::warning, "getCitrixEucGateway", "CCSDK - invalid session data!"), gateway[0] == '@')
            << gateway;
    }
    getEucGatewayRoundtrip(metrics);
    EXPECT_EQ(metrics["roundtripEucGatewayMs"], -1);
}

TEST_F(HostEucGateway, RemoteDesktopClientHasNoGateway) {
    setClientKind(3);
    tvxtest::LogCapture log;
    EXPECT_EQ(getEucGateway(metrics), -1);
    EXPECT_EQ(getEucGateway(metrics), 0);
    EXPECT_EQ(metrics["eucGateway"], "");
    EXPECT_TRUE(log.contains(tvxlog::info, "getEucGateway", "*** RDS framework: not implemeted yet."));
    getEucGatewayRoundtrip(metrics);
    EXPECT_EQ(metrics["roundtripEucGatewayMs"], -1);
}

// Inside the network lab, whose hosts file names the sample endpoint.
TEST_F(HostEucGateway, GatewayNameResolvesThroughTheLab) {
    if (!tvxtest::inLab()) GTEST_SKIP() << "runs only inside tests/lab/lab";
    WSADATA data;
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    for (auto [name, reported] : {std::pair{"sample.telvista.test", "sample.telvista.test"}, std::pair{"nowhere.lab.test", ""}}) {
        resetEucGatewayForTests();
        placeSdk(L"ccmsdk_25_3_10.dll", (std::string("session 4 0 ") + name).c_str());
        EXPECT_EQ(getEucGateway(metrics), 0);
        EXPECT_EQ(metrics["eucGateway"], reported);
    }
    WSACleanup();
}
