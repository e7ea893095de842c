#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <tuple>

#include "common/test_support.h"
#include "platform/log.h"
#include "platform/log_appenders.h"
#include "platform/logging.h"
#include "platform/settings.h"

namespace fs = std::filesystem;
using tvxlog::detail::msvcFunctionName;

namespace {

std::string nameOf(const char* pretty) { return msvcFunctionName(pretty).c_str(); }

using tvxtest::readFile;

std::string appData;

// A scratch folder that stands in for the common application data folder.
class LogFolder : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               (std::string("tvx-log-") + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        appData = dir_.string() + "/ProgramData";
        logFolderOps().commonAppData = [] { return appData; };
        logFolderOps().localTimeStamp = [] { return std::string("2025-03-01 09-15-42"); };
        tvxlog::resetLoggerForTests();
        tvxlog::resetInitLoggingForTests();
    }
    void TearDown() override {
        tvxlog::resetLoggerForTests();
        tvxlog::resetInitLoggingForTests();
        fs::remove_all(dir_);
    }
    std::vector<fs::path> logFiles() const {
        std::vector<fs::path> files;
        for (auto& e : fs::recursive_directory_iterator(dir_))
            if (e.is_regular_file()) files.push_back(e.path());
        return files;
    }
    fs::path dir_;
    tvxtest::Restore<LogFolderOps> keep_{logFolderOps()};
    tvxtest::MemoryRegistry registry_;
};

}  // namespace

TEST(LogFunctionName, FollowsTheMsvcForm) {
    EXPECT_EQ(nameOf("virtual HRESULT DOZAPlugin::OnDataReceived(ULONG, BYTE*)"), "DOZAPlugin::OnDataReceived");
    EXPECT_EQ(nameOf("int {anonymous}::process_request(const Json::Value&, Json::Value&)"),
              "`anonymous-namespace'::process_request");
    EXPECT_EQ(nameOf("int (anonymous namespace)::process_request(int)"), "`anonymous-namespace'::process_request");
    EXPECT_EQ(nameOf("std::vector<int> a::b<T>::c(std::map<int, int>) [with T = int]"), "a::b::c");
    EXPECT_EQ(nameOf("QmPlatformTask::run()::<lambda()>"), "QmPlatformTask::run");
    EXPECT_EQ(nameOf("bool Foo::operator()(int) const"), "Foo::operator()");
    EXPECT_EQ(nameOf("B *(anonymous namespace)::process_request(int)"), "`anonymous-namespace'::process_request");
    EXPECT_EQ(nameOf("std::string &Foo::ref()"), "Foo::ref");
}

TEST(LogStatement, TestsTheThresholdBeforeFormatting) {
    tvxtest::LogCapture log(tvxlog::warning);
    int formatted = 0;
    auto expensive = [&] { return ++formatted; };
    TVX_LOG(tvxlog::info) << expensive();
    TVX_LOG(tvxlog::debug) << expensive();
    EXPECT_EQ(formatted, 0);
    TVX_LOG(tvxlog::warning) << "n=" << expensive() << " text " << static_cast<const char*>(nullptr);
    TVX_LOG(tvxlog::error) << L"wide " << std::u16string(u"\u00e9t\u00e9");
    ASSERT_EQ(log.count(), 2u);
    EXPECT_EQ(log.lines().lines()[0].message, "n=1 text (null)");
    EXPECT_EQ(log.lines().lines()[1].message, "wide \xC3\xA9t\xC3\xA9");
    // Nothing is written below 1, even at a high threshold.
    TVX_LOG(0) << "never";
    EXPECT_EQ(log.count(), 2u);
}

TEST(LogLayout, MatchesThePlainTextFormat) {
    std::string message = "'Common Metrics' thread started.";
    tvxlog::LogRecord r{tvxlog::info, "QmPlatformTask::run", 131, message, 4242, {2025, 3, 1, 9, 15, 42, 123}};
    EXPECT_EQ(tvxlog::formatTxtLine(r), std::string("2025-03-01 09:15:42.123 INFO  [4242] [QmPlatformTask::run@131] "
                                                    "'Common Metrics' thread started.") +
                                            tvxlog::kNewLine);
    r.severity = tvxlog::verbose;
    r.time = {2026, 12, 31, 23, 5, 7, 4};
    EXPECT_EQ(tvxlog::formatTxtLine(r).substr(0, 30), "2026-12-31 23:05:07.004 VERB  ");
    for (auto [severity, name] : {std::pair{0, "NONE"}, {3, "WARN"}, {6, "VERB"}, {8, "NONE"}, {-1, "NONE"}})
        EXPECT_STREQ(tvxlog::severityName(severity), name) << severity;
}

TEST(Utf, RoundTripsAndReplacesBrokenInput) {
    std::u16string wide = u"Logs \u00e4\u4e2d\U0001F600";
    EXPECT_EQ(tvxlog::toUtf16(tvxlog::toUtf8(wide)), wide);
    std::u16string lone = u"a";
    lone.push_back(static_cast<char16_t>(0xD800));
    EXPECT_EQ(tvxlog::toUtf8(lone), "a\xEF\xBF\xBD");
    EXPECT_EQ(tvxlog::toUtf16("\xC3"), u"\uFFFD");
    EXPECT_EQ(tvxlog::toUtf16("\xE2\x82"), u"\uFFFD\uFFFD");
}

TEST_F(LogFolder, RollingKeepsTheConfiguredNumberOfFiles) {
    std::string name = (dir_ / "tvx_client_dll_rdp_[2025-03-01 09-15-42].log").string();
    tvxlog::RollingFileAppender appender(name, 1000, 3);
    EXPECT_EQ(appender.rolledName(2), (dir_ / "tvx_client_dll_rdp_[2025-03-01 09-15-42].2.log").string());
    std::string message(200, 'x');
    for (int i = 0; i < 40; ++i) {
        message[0] = static_cast<char>('A' + i % 26);
        tvxlog::LogRecord r{tvxlog::info, "f", i, message, 1, {2025, 3, 1, 9, 15, 42, 0}};
        appender.write(r);
    }
    auto files = logFiles();
    ASSERT_EQ(files.size(), 3u);
    EXPECT_TRUE(fs::exists(appender.rolledName(2)));
    // A file rolls once it has grown past the limit: never more than one line over.
    for (auto& f : files) EXPECT_LE(fs::file_size(f), 1000u + 3u + 260u) << f;
    // Every file starts with a byte order mark; the newest holds the last line
    // (an empty text where a file is missing).
    std::string current = readFile(name);
    EXPECT_EQ(current.substr(0, 3), "\xEF\xBB\xBF");
    EXPECT_NE(current.find("[f@39] N"), std::string::npos);
    EXPECT_EQ(readFile(appender.rolledName(1)).substr(0, 3), "\xEF\xBB\xBF");
}

TEST_F(LogFolder, SettingsRules) {
    // The severity, count and size stored (nothing: absent); the threshold, size and count read.
    using Stored = std::optional<std::uint32_t>;
    const std::tuple<Stored, Stored, Stored, std::tuple<int, std::uint32_t, std::uint32_t>> cases[] = {
        {{}, {}, {}, {0, 0x500000, 10}}, {4, {}, {}, {4, 0x500000, 10}}, {0xFFFFFFFF, {}, {}, {7, 0x500000, 10}},
        {8, {}, {}, {7, 0x500000, 10}},
        // Either size or count falling back takes both to their defaults.
        {{}, 3, {}, {0, 0x500000, 10}}, {{}, 3, 0, {0, 0x500000, 10}}, {{}, 3, 2000, {0, 2000, 3}}};
    auto hkcu = winreg::currentUser();
    LogSettings s;
    for (const auto& [severity, count, size, read] : cases) {
        registry_->clear();
        registry_->createKey(hkcu, kLogClientKey);
        if (severity) registry_->setDword(hkcu, kLogClientKey, u"severity", *severity);
        if (count) registry_->setDword(hkcu, kLogClientKey, u"max_file_count", *count);
        if (size) registry_->setDword(hkcu, kLogClientKey, u"max_file_size", *size);
        s = {};
        ASSERT_TRUE(readLogSettings(s));
        EXPECT_EQ(std::tuple(s.threshold, s.maxFileSize, s.maxFileCount), read)
            << severity.value_or(99) << " " << count.value_or(99) << " " << size.value_or(99);
    }
    // A severity that is not a DWORD counts as none.
    registry_->setString(hkcu, kLogClientKey, u"severity", u"4");
    ASSERT_TRUE(readLogSettings(s));
    EXPECT_EQ(s.threshold, 0);
    // Per-machine values have no effect.
    registry_->clear();
    registry_->setDword(winreg::localMachine(), kLogClientKey, u"severity", 4);
    EXPECT_FALSE(readLogSettings(s));
}

TEST_F(LogFolder, FolderAndFileNameRules) {
    const std::string logs = appData + "\\Quillmere\\Telvista\\Logs\\tvx_client_dll_";
    const std::string root = dir_.string() + "/mine/logs", mine = root + "\\tvx_client_dll_";
    const std::string stamp = "_[2025-03-01 09-15-42].log";
    // The client kind, the root folder asked for and the file name made.
    const std::tuple<unsigned, std::string, std::string> cases[] = {
        {3, "", logs + "rdp" + stamp},
        {1, "abc", logs + "citrix" + stamp},  // a root of three characters is too short
        {4, root, mine + "amazon_dcv" + stamp},
        {0, root, mine + "test" + stamp},
        {2, root, mine + "vmware" + stamp},
        {9, root, mine + "none" + stamp},
    };
    std::string file;
    for (const auto& [kind, asked, made] : cases) {
        ASSERT_EQ(makeLogFileName(kind, asked, file), 0);
        EXPECT_EQ(file, made);
    }
    EXPECT_TRUE(fs::is_directory(appData + "/Quillmere/Telvista/Logs"));
    EXPECT_TRUE(fs::is_directory(root));

    // Folders whose path holds the text cannot be made (every folder: "").
    static std::string failing;
    logFolderOps().createDirectories = [](const std::string& p) { return p.find(failing) == p.npos ? 0ul : 5ul; };
    // An uncreatable root falls back to the default folder.
    failing = "nowhere";
    ASSERT_EQ(makeLogFileName(3, "Q:\\nowhere", file), 0);
    EXPECT_EQ(file.rfind(appData, 0), 0u);
    // An uncreatable default folder is an error.
    failing = "Telvista";
    EXPECT_EQ(makeLogFileName(3, "", file), -602);
    logFolderOps().commonAppData = [] { return std::string(); };
    failing = "|";
    ASSERT_EQ(makeLogFileName(3, "", file), 0);
    EXPECT_EQ(file.rfind("c:\\temp\\Quillmere\\Telvista\\Logs\\", 0), 0u);

    // A start that cannot make its folder leaves logging off; it is not retried.
    registry_->setDword(winreg::currentUser(), kLogClientKey, u"severity", 4);
    failing = "";
    EXPECT_EQ(initLogging(3, 0), -602);
    EXPECT_FALSE(tvxlog::isEnabled(tvxlog::fatal));
    EXPECT_EQ(initLogging(3, 0), 0);
}

TEST_F(LogFolder, TestKindLogsEverythingToTheDefaultFolderAndConsole) {
    testing::internal::CaptureStdout();
    ASSERT_EQ(initLogging(0, 0), 0);
    TVX_LOG(tvxlog::verbose) << "verbose to console";
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "verbose to console\n");
    auto files = logFiles();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].filename().string(), "tvx_client_dll_test_[2025-03-01 09-15-42].log");
    EXPECT_NE(readFile(files[0]).find("VERB  ["), std::string::npos);

    // Later calls change nothing, whatever they ask for.
    registry_->setDword(winreg::currentUser(), kLogClientKey, u"severity", 1);
    EXPECT_EQ(initLogging(3, 0), 0);
    testing::internal::CaptureStdout();
    TVX_LOG(tvxlog::verbose) << "still verbose";
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "still verbose\n");
    EXPECT_EQ(logFiles().size(), 1u);
}
