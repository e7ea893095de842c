// The command runner and the host facts under Wine, with the scripted
// console program (also under the names of the commands) and Wine's own
// calls and programs.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "common/test_support.h"
#include "host/command_runner.h"
#include "host/host_facts.h"
#include "host/version_info.h"
#include "native/engine_support.h"

namespace {

std::string console(const std::string& steps) { return "\"" + tvxtest::exeFolder().string() + "\\tvx_console.exe\" " + steps; }

struct Ran {
    CommandOutcome outcome;
    std::vector<std::string> lines;
};
Ran run(const std::string& command, std::uint32_t limitMs = kCommandTimeLimitMs) {
    Ran r;
    r.outcome = runCommandFor(command, [&r](const std::string& line) { r.lines.push_back(line); }, limitMs);
    return r;
}

bool processGone(DWORD pid) {
    HANDLE h = OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (!h) return true;
    const bool gone = WaitForSingleObject(h, 10000) == WAIT_OBJECT_0;
    CloseHandle(h);
    return gone;
}

}  // namespace

TEST(HostCommandRunner, ScriptedOutput) {
    using V = std::vector<std::string>;
    EXPECT_EQ(run(console("out:CORP\\alice")).lines, V{"CORP\\alice\r"});
    EXPECT_EQ(run(console("raw:Caption=Wi pause:300 out:ne|Version=8")).lines, (V{"Caption=Wine\r", "Version=8\r"}));
    EXPECT_EQ(run(console("nul")).lines, V{"ab"});
    EXPECT_EQ(run(console("err:oops out:fine")).lines, (V{"oops\r", "fine\r"}));
    EXPECT_EQ(run(console("raw:no-line-end")).lines, V{"no-line-end"});
    const Ran silent = run(console("exit:3"));
    EXPECT_EQ(silent.outcome, CommandOutcome::finished);
    EXPECT_TRUE(silent.lines.empty());

    const Ran longLine = run(console("long:15000 out:after"));
    ASSERT_EQ(longLine.lines.size(), 2u);
    EXPECT_EQ(longLine.lines[0], std::string(15000, 'x') + "\r");
    // Far beyond the pipe's buffer: read while the program writes, every line kept.
    const Ran flood = run(console("flood:30000"));
    EXPECT_EQ(flood.outcome, CommandOutcome::finished);
    ASSERT_EQ(flood.lines.size(), 30001u);
    EXPECT_EQ(flood.lines[29999], "line 30000\r");
    EXPECT_EQ(flood.lines.back(), "END\r");

    std::string dest = "kept";
    EXPECT_EQ(runCommand("no-such-program-here", [&dest](const std::string& l) { dest = l; }), -1);
    EXPECT_EQ(dest, "kept");
}

TEST(HostCommandRunner, OverrunEndsTheProgramAndWhatItStarted) {
    const Ran r = run(console("spawn forever"), 1500);
    EXPECT_EQ(r.outcome, CommandOutcome::timedOut);
    ASSERT_EQ(r.lines.size(), 1u);
    EXPECT_TRUE(processGone(static_cast<DWORD>(std::stoul(r.lines[0].substr(6)))));
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
    // The two-byte wmic output never matches; PowerShell's last line wins.
    EXPECT_EQ(metrics["osName"], "Wine-OS");
    EXPECT_EQ(metrics["osVersionNumber"], "Wine-OS");
}

TEST_F(HostCommandNames, WineFactsAndVersion) {
    getCurrentUserName(metrics);
    getComputerName(metrics);
    getOSVersion(metrics);
    getClientVersion(metrics);
    char user[257] = {};
    DWORD size = 256;
    ASSERT_TRUE(GetUserNameA(user, &size));
    EXPECT_EQ(metrics["userName"], user);
    EXPECT_FALSE(metrics["computerName"].asString().empty());
    std::cout << "Wine facts: " << metrics.toStyledString();
    EXPECT_EQ(metrics["client_version"], TVX_VERSION_TEXT);
    EXPECT_EQ(CMcVersionInfo(std::wstring(L"DOZA-Plugin.dll")).getFileVersionA(), TVX_VERSION_TEXT);
    EXPECT_EQ(CMcVersionInfo((tvxtest::exeFolder().string() + "\\DOZA-Plugin.dll")).getProductVersionA(), TVX_VERSION_TEXT);
    EXPECT_EQ(CMcVersionInfo(tvxtest::exeFolder().string() + "\\tvx_console.exe").getFileVersionA(), "0.0.0.0");
}

TEST_F(HostCommandNames, KtrDeviceIdFromTheRegistry) {
    tvxtest::LogCapture log;
    const wchar_t* keyPath = L"SOFTWARE\\Ombrel\\KTR";
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, keyPath, KEY_WOW64_64KEY, 0);
    getKtrDeviceId(metrics);
    EXPECT_EQ(metrics["ktrDeviceId"], "");
    EXPECT_EQ(log.lines().lines().back().message.rfind("Cannot open registry key HKLM\\SOFTWARE\\Ombrel\\KTR; error : [2] : ", 0), 0u);

    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, &key, nullptr), 0);
    const std::string tooLong(65, 'z');
    RegSetValueExA(key, "device_id", 0, REG_SZ, reinterpret_cast<const BYTE*>(tooLong.c_str()), 66);
    getKtrDeviceId(metrics);  // tried again at once: nothing was found
    EXPECT_EQ(metrics["ktrDeviceId"], "");
    EXPECT_TRUE(log.contains(tvxlog::debug, "getKtrDeviceId", "Detected KTR deviceId : "));
    EXPECT_TRUE(log.containsPrefix(tvxlog::warning, "getKtrDeviceId",
                                   "Cannot read registry value HKLM\\SOFTWARE\\Ombrel\\KTR\\device_id; error : [234] : "));

    RegSetValueExA(key, "device_id", 0, REG_SZ, reinterpret_cast<const BYTE*>("dev-42"), 7);
    getKtrDeviceId(metrics);
    EXPECT_EQ(metrics["ktrDeviceId"], "dev-42");
    RegCloseKey(key);
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, keyPath, KEY_WOW64_64KEY, 0);
}
