// Host facts on captured output and fake system calls: the parse steps,
// versions, the hour-long caches, CPU rounding and inactivity.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/test_support.h"
#include "host/command_runner.h"
#include "host/host_facts.h"
#include "host/user_activity.h"
#include "host/version_info.h"

namespace {

// A read ends at its first NUL (UTF-16 output), lines keep their CR and may
// straddle reads. (The other splitting and scanning cases run under Wine.)
TEST(HostCommandOutput, SplitterCutsEachReadAtItsFirstNul) {
    std::vector<std::string> lines;
    const LineHandler collect = [&lines](const std::string& line) { lines.push_back(line); };
    LineSplitter splitter(collect);
    for (const std::string& read : {std::string("ab\0cd\r\n", 7), std::string("ef\r\nla"), std::string("st")})
        splitter.feed(read);
    splitter.finish();
    EXPECT_EQ(lines, (std::vector<std::string>{"abef\r", "last"}));
}

// UTF-16 output (its mark, a unit split between reads) and single-byte
// output through the decoder both reach the parse step as UTF-8.
TEST(HostCommandOutput, Utf16AndDecodedLines) {
    std::vector<std::string> lines;
    const LineHandler collect = [&lines](const std::string& line) { lines.push_back(line); };
    LineSplitter utf16(collect), decoded(collect, [](std::string_view l) { return std::string(l) + "\xC3\xA9"; });
    for (const std::string& read : {std::string("\xFF\xFEJ\0\xE9", 5), std::string("\0\n\0\x34\xD8\x1E", 6)})
        utf16.feed(read);
    utf16.feed("\xDD");
    utf16.finish();
    decoded.feed("Jos\n");
    EXPECT_EQ(lines, (std::vector<std::string>{"J\xC3\xA9", "\xF0\x9D\x84\x9E", "Jos\xC3\xA9"}));
}

// wmic's caption and version among blank lines; an empty caption keeps what
// was there.
TEST(HostCommandOutput, WmicLines) {
    std::string name, version;
    for (const char* line : {"Version=10.0.19045\r", "\r", "Caption=Windows 10 Pro\r", "Caption=\r"})
        parseWmicLine(line, name, version);
    EXPECT_EQ(name + "|" + version, "Windows 10 Pro|10.0.19045");
}

TEST(HostVersion, ParsingAndOrder) {
    tvxtest::LogCapture log;
    EXPECT_EQ(Version("1.x.3").components(), (std::vector<std::int32_t>{1, 3}));
    EXPECT_TRUE(log.contains(tvxlog::error, "Version::updateListFromString", "invalid version characters invalid stoi argument"));
    EXPECT_EQ(Version(" 7b.99999999999").components(), (std::vector<std::int32_t>{7}));
    EXPECT_TRUE(log.contains(tvxlog::error, "Version::updateListFromString", "invalid version characters stoi argument out of range"));
    EXPECT_TRUE(Version("1.2.3") < Version("1.2.3.0"));
    EXPECT_TRUE(Version("25.3.9") < Version("25.3.10.0"));
    EXPECT_FALSE(Version("26") < Version("25.3.10.0"));
    EXPECT_EQ(formatVersion((25ull << 48) | (3ull << 32) | (10ull << 16)), "25.3.10.0");
}

// Fake system calls; a command prints `output`, PowerShell's version command `versionOutput`.
class HostFacts : public ::testing::Test {
protected:
    void SetUp() override {
        hostOps().userName = [](std::string&) { return false; };
        hostOps().runCommand = [](const std::string& command, const LineHandler& parse) {
            for (const auto& line : command == kPowerShellVersionCommand ? versionOutput : output) parse(line);
            return std::int32_t{0};
        };
        hostOps().systemTimes = [](CpuTimes& t) {
            t = times;
            return true;
        };
        hostOps().now = [] { return now; };
        resetHostFactsForTests();
    }
    void TearDown() override { resetHostFactsForTests(); }
    static inline double now = 10000;
    static inline std::vector<std::string> output, versionOutput;
    static inline CpuTimes times;
    tvxtest::Restore<HostOps> keep_{hostOps()};
    Json::Value metrics;
};

TEST_F(HostFacts, CachesExpireAfterAnHourWindow) {
    output = {"DOMAIN\\bob\\x\r", "\r"};
    getCurrentUserName(metrics);
    EXPECT_EQ(metrics["userName"], "bob\\x");
    now += 3599;
    output = {"OTHER\r"};
    getCurrentUserName(metrics);
    EXPECT_EQ(metrics["userName"], "bob\\x") << "no command within the hour";
    now += 2;  // 3601 s after the window began
    getCurrentUserName(metrics);
    EXPECT_EQ(metrics["userName"], "OTHER");

    // Only the missing OS fact sends for the next command: PowerShell's caption
    // command would read wmic's whole line.
    output = {"Caption=Wine\r"};
    versionOutput = {"8.0\r"};
    getOSVersion(metrics);
    EXPECT_EQ(metrics["osName"], "Wine");
    EXPECT_EQ(metrics["osVersionNumber"], "8.0");
}

TEST_F(HostFacts, CpuUsageRounding) {
    for (auto [percent, expected] : std::vector<std::pair<double, int>>{{0.05, 0}, {0.5, 1}, {1.49, 1}, {37.4, 37}, {37.5, 38}})
        EXPECT_EQ(roundCpuUsage(percent), expected) << percent;
    times = {100, 300, 100};
    getCpuUsage(metrics);
    EXPECT_EQ(metrics["cpu_usage"], 0);  // the first reading has nothing to compare with
    times = {150, 400, 200};
    getCpuUsage(metrics);
    EXPECT_EQ(metrics["cpu_usage"], 75);
    getCpuUsage(metrics);  // no time passed
    EXPECT_EQ(metrics["cpu_usage"], 0);
}

TEST(HostActivity, InactivityAndImageName) {
    EXPECT_DOUBLE_EQ(inactivitySeconds(112345, 100000), 12.345);
    EXPECT_DOUBLE_EQ(inactivitySeconds(5000, 5000), 0.01);
    EXPECT_DOUBLE_EQ(inactivitySeconds(10, 0xfffffff0u), 0.01);
    EXPECT_EQ(imageFileName(L"C:\\Program Files\\App\\tool.exe"), L"tool.exe");
    EXPECT_EQ(imageFileName(L"C:tool.exe"), L"tool.exe");
}

}  // namespace
