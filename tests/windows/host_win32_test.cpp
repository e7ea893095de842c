// The command runner, the host facts and the gateway discovery under Wine,
// with the scripted console program (also under the names of the commands),
// the stand-in session SDK and Wine's own calls and programs.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "common/test_support.h"
#include "host/command_runner.h"
#include "host/euc_gateway.h"
#include "host/host_facts.h"
#include "host/version_info.h"
#include "native/engine_support.h"

namespace {

std::string console(const std::string& steps) { return "\"" + tvxtest::exeFolder().string() + "\\tvx_console.exe\" " + steps; }

// The outcome and the lines printed.
std::pair<CommandOutcome, std::vector<std::string>> run(const std::string& command,
                                                        std::uint32_t limitMs = kCommandTimeLimitMs) {
    std::vector<std::string> lines;
    const auto outcome = runCommandFor(command, [&lines](const std::string& line) { lines.push_back(line); }, limitMs);
    return {outcome, lines};
}

bool processGone(DWORD pid) {
    HANDLE h = OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (!h) return true;
    const bool gone = WaitForSingleObject(h, 10000) == WAIT_OBJECT_0;
    CloseHandle(h);
    return gone;
}

// The stand-in session SDK in test folders that the environment points at,
// the engine started as a Citrix host (client kind 1).
class HostEucGateway : public ::testing::Test {
protected:
    void SetUp() override {
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
    void placeSdk(const wchar_t* built, const std::string& script) {
        ASSERT_TRUE(CopyFileW((tvxtest::exeFolder().wstring() + L"\\" + built).c_str(), (sdkFolder_ + L"\\CCMSDK64.DLL").c_str(), FALSE));
        std::ofstream((sdkFolder_ + L"\\ccmsdk.txt").c_str()) << script;
    }
    const std::wstring root_ = tvxtest::tempFolder("doza-euc").wstring();
    const std::wstring sdkFolder_ = root_ + L"\\pf\\Citrix\\ICA Client";
    Json::Value metrics;
};

}  // namespace

TEST(HostCommandRunner, ScriptedOutput) {
    // A line over two reads, standard error in the same pipe, a last line
    // without its end, a line longer than a read.
    const std::pair<const char*, std::vector<std::string>> cases[] = {
        {"raw:Caption=Wi pause:300 out:ne|Version=8", {"Caption=Wine\r", "Version=8\r"}},
        {"err:oops out:fine", {"oops\r", "fine\r"}},
        {"raw:no-line-end", {"no-line-end"}},
        {"exit:3", {}},
        {"long:15000 out:after", {std::string(15000, 'x') + "\r", "after\r"}},
    };
    for (const auto& [steps, lines] : cases)
        EXPECT_EQ(run(console(steps)), std::pair(CommandOutcome::finished, lines)) << steps;
    // Far beyond the pipe's buffer: read while the program writes, every line kept.
    const auto [outcome, flood] = run(console("flood:30000"));
    EXPECT_EQ(outcome, CommandOutcome::finished);
    ASSERT_EQ(flood.size(), 30001u);
    EXPECT_EQ(flood[29999], "line 30000\r");
    EXPECT_EQ(flood.back(), "END\r");

    std::string dest = "kept";
    EXPECT_EQ(runCommand("no-such-program-here", [&dest](const std::string& l) { dest = l; }), -1);
    EXPECT_EQ(dest, "kept");
}

TEST(HostCommandRunner, OverrunEndsTheProgramAndWhatItStarted) {
    const auto [outcome, lines] = run(console("spawn forever"), 1500);
    EXPECT_EQ(outcome, CommandOutcome::timedOut);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(processGone(static_cast<DWORD>(std::stoul(lines[0].substr(6)))));
}

TEST(HostCommandRunner, ServiceStopEndsTheProgramAtOnce) {
    enginetest::Engine engine({{"Common Metrics", {}}}, 60000);
    std::atomic<bool> started{false};
    std::atomic<int> outcome{-1};
    enginetest::onPass = [&](int, Json::Value&) {
        outcome = static_cast<int>(runCommandFor(console("out:started forever"), [&](const std::string&) { started = true; },
                                                 kCommandTimeLimitMs));
    };
    ASSERT_EQ(platform_init(3), 0);
    ASSERT_TRUE(enginetest::waitUntil([&] { return started.load(); }));
    platform_shutdown();
    EXPECT_EQ(outcome.load(), static_cast<int>(CommandOutcome::stopped));
}

// Commands named by the console program stand-ins, system calls restored after.
class HostCommandNames : public ::testing::Test {
protected:
    void SetUp() override { resetHostFactsForTests(); }
    void TearDown() override { resetHostFactsForTests(); }
    static bool refuse(std::string&) { return false; }
    tvxtest::Restore<HostOps> keep_{hostOps()};
    tvxtest::ConsoleStandIns standIns_;
    Json::Value metrics;
};

TEST_F(HostCommandNames, FallBacksThroughCommands) {
    for (auto [name, steps] : {std::pair{"whoami", "out:WINEDOM\\carol"}, {"hostname", "out:ABCDEFGHIJKLMNOPQRST"},
                               {"wmic", "utf16:Caption=Wine|Version=8"}, {"PowerShell", "err:warming-up out:Wine-OS"}})
        ASSERT_TRUE(standIns_.place(name, steps));
    hostOps().userName = &refuse;
    hostOps().computerName = &refuse;
    getCurrentUserName(metrics);
    getComputerName(metrics);
    getOSVersion(metrics);
    EXPECT_EQ(metrics["userName"], "carol");
    EXPECT_EQ(metrics["computerName"], "ABCDEFGHIJKLMNO");
    // wmic writes UTF-16 to a pipe: read as such, PowerShell is not asked.
    EXPECT_EQ(metrics["osName"], "Wine");
    EXPECT_EQ(metrics["osVersionNumber"], "8");
}

// Programs named by the commands, planted in the current folder (beside an
// .rdp file, say), never run: only the system folder's own programs do.
TEST_F(HostCommandNames, AProgramPlantedInTheCurrentFolderIsNotRun) {
    const std::filesystem::path planted = tvxtest::tempFolder("doza-planted"), previous = std::filesystem::current_path();
    CreateDirectoryW(planted.c_str(), nullptr);
    for (const std::string name : {"whoami", "hostname", "wmic", "PowerShell"}) {
        CopyFileW((tvxtest::exeFolder() / "tvx_console.exe").c_str(), (planted / (name + ".exe")).c_str(), FALSE);
        SetEnvironmentVariableA(("TVX_CONSOLE_" + name).c_str(), "out:PLANTED");
    }
    std::filesystem::current_path(planted);
    for (const char* command : {kWhoamiCommand, kHostnameCommand, kWmicOsCommand, kPowerShellCaptionCommand})
        for (const auto& line : run(command, 20000).second) EXPECT_EQ(line.find("PLANTED"), std::string::npos) << command;
    std::filesystem::current_path(previous);
}

TEST_F(HostCommandNames, WineFactsAndVersion) {
    getCurrentUserName(metrics);
    getComputerName(metrics);
    getClientVersion(metrics);
    char user[257] = {};
    DWORD size = 256;
    ASSERT_TRUE(GetUserNameA(user, &size));
    EXPECT_EQ(metrics["userName"], user);
    EXPECT_FALSE(metrics["computerName"].asString().empty());
    EXPECT_EQ(metrics["client_version"], TVX_VERSION_TEXT);
    const std::string folder = tvxtest::exeFolder().string() + "\\";
    EXPECT_EQ(CMcVersionInfo(std::wstring(L"DOZA-Plugin.dll")).getFileVersionA(), TVX_VERSION_TEXT);
    EXPECT_EQ(CMcVersionInfo(folder + "DOZA-Plugin.dll").getProductVersionA(), TVX_VERSION_TEXT);
    EXPECT_EQ(CMcVersionInfo(folder + "tvx_console.exe").getFileVersionA(), "0.0.0.0");
}

// No key, a value too long for the read, a good one: each read at once, as
// nothing was found before.
TEST_F(HostCommandNames, KtrDeviceIdFromTheRegistry) {
    const wchar_t* keyPath = L"SOFTWARE\\Ombrel\\KTR";
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, keyPath, KEY_WOW64_64KEY, 0);
    const std::tuple<std::optional<std::wstring>, const char*, const char*> cases[] = {
        {std::nullopt, "", "Cannot open registry key HKLM\\SOFTWARE\\Ombrel\\KTR; error : [2] : "},
        {std::wstring(65, L'z'), "",
         "Cannot read registry value HKLM\\SOFTWARE\\Ombrel\\KTR\\device_id; error : [234] : "},
        {L"dev-42", "dev-42", nullptr},
    };
    for (const auto& [value, id, warning] : cases) {
        SCOPED_TRACE(id);
        tvxtest::LogCapture log;
        std::optional<tvxtest::RegValue> stored;
        if (value) stored.emplace(HKEY_LOCAL_MACHINE, keyPath, L"device_id", *value);
        getKtrDeviceId(metrics);
        EXPECT_EQ(metrics["ktrDeviceId"], id);
        EXPECT_EQ(log.countPrefix(tvxlog::warning, "getKtrDeviceId", warning ? warning : ""), warning ? 1u : 0u);
        EXPECT_EQ(log.contains(tvxlog::debug, "getKtrDeviceId", "Detected KTR deviceId : " + std::string(id)),
                  value.has_value());
    }
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, keyPath, KEY_WOW64_64KEY, 0);
}

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

TEST_F(HostEucGateway, ThirdSessionGivesTheGatewayOnce) {
    placeSdk(L"ccmsdk_25_3_10.dll", "init 65522\nsession 11 5 a.test\nsession 12 7 b.test\nsession 13 0 localhost\n");
    tvxtest::LogCapture log;
    EXPECT_EQ(getEucGateway(metrics), 0);
    EXPECT_EQ(metrics["eucGateway"], "localhost");
    EXPECT_TRUE(log.contains(tvxlog::info, "getCitrixEucGateway", "CCMInitialize result: success"));
    std::string calls = tvxtest::readFile(sdkFolder_ + L"\\ccmsdk-calls.log");
    std::erase(calls, '\r');
    EXPECT_EQ(calls, "CCMInitialize CCM_Debug\nCCMEnumerateSessions\nCCMGetSessionInfo_V2 11\nCCMGetSessionInfo_V2 12\n"
                     "CCMGetSessionInfo_V2 13\nCCMFreeICASession 3\nCCMUninitialize\n");
    // Loopback refuses port 443: a refusal counts as reached.
    getEucGatewayRoundtrip(metrics);
    EXPECT_GE(metrics["roundtripEucGatewayMs"].asInt(), 0);
    // Discovery ran once: later calls report the cache without the SDK.
    DeleteFileW((sdkFolder_ + L"\\CCMSDK64.DLL").c_str());
    EXPECT_EQ(getEucGateway(metrics), 0);
    EXPECT_EQ(metrics["eucGateway"], "localhost");
}

// Discovery that reports no gateway, once: the client kind, the SDK build
// copied in (none: no SDK) and its script, the result and one log line.
TEST_F(HostEucGateway, NoGateway) {
    const char* const citrix = "getCitrixEucGateway";
    const wchar_t* const sdk = L"ccmsdk_25_3_10.dll";
    const std::tuple<unsigned, const wchar_t*, const char*, int, int, const char*, const char*> cases[] = {
        {1, nullptr, "", -1, tvxlog::warning, citrix, "Citrix ICA Client SDK file: 'CCMSDK64.DLL' not found!"},
        {1, L"ccmsdk_25_3_9.dll", "", -1, tvxlog::warning, citrix, "Citrix ICA Client SDK version is too old!"},
        {1, L"ccmsdk_noversion.dll", "", -1, tvxlog::warning, citrix, "Citrix ICA Client SDK version is too old!"},
        {1, sdk, "init 5", -1, tvxlog::warning, citrix, "CCMInitialize error: 5"},
        {1, sdk, "enum 9", -1, tvxlog::warning, citrix, "CCMEnumerateSessions error : 9"},
        {1, sdk, "session 1 0 @guard", 0, tvxlog::warning, citrix, "CCSDK - invalid session data!"},
        {1, sdk, "session 1 0 @noaccess", 0, tvxlog::warning, citrix, "CCSDK - invalid session data!"},
        {1, sdk, "session 1 0 @null", 0, tvxlog::warning, citrix, "CCSDK - invalid session data!"},
        {1, sdk, "session 1 0 no-such-gateway.invalid", 0, tvxlog::debug, citrix,
         "EUC gateway: no-such-gateway.invalid"},
        {3, nullptr, "", -1, tvxlog::info, "getEucGateway", "*** RDS framework: not implemeted yet."},
    };
    for (const auto& [kind, built, script, result, severity, function, line] : cases) {
        SCOPED_TRACE(script + std::string(" ") + line);
        if (kind != 1) setClientKind(kind);
        if (built) placeSdk(built, script);
        resetEucGatewayForTests();
        tvxtest::LogCapture log;
        EXPECT_EQ(getEucGateway(metrics), result);
        EXPECT_EQ(getEucGateway(metrics), 0) << "discovered once";
        EXPECT_EQ(metrics["eucGateway"], "");
        EXPECT_TRUE(log.contains(severity, function, line));
        getEucGatewayRoundtrip(metrics);
        EXPECT_EQ(metrics["roundtripEucGatewayMs"], -1);
    }
}
