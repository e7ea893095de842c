// The agent SDK loader and the bridge with the stand-in agent library, under
// Wine: the library paths, missing exports and the full round over the channel.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "common/test_support.h"
#include "agent/lume_api.h"
#include "agent/lume_dll.h"
#include "agent/lume_task.h"
#include "codec/codec.h"
#include "common/protocol_test_support.h"
#include "platform/working_task.h"
#include "protocol/dispatcher.h"

namespace {

// Places a stand-in library where the plug-in will look and scripts it
// through a folder of its own.
class AgentLibrary : public ::testing::Test {
protected:
    void SetUp() override {
        stubDir_ = tvxtest::tempFolder("doza-lumesdk").string();
        CreateDirectoryA(stubDir_.c_str(), nullptr);
        DeleteFileA((stubDir_ + "\\calls.log").c_str());
        DeleteFileA((stubDir_ + "\\config.txt").c_str());
        SetEnvironmentVariableA("LUMESDK_STUB_DIR", stubDir_.c_str());
        _putenv_s("QUILLMERE_LUME_SDK_DLL_PATH", "");
    }
    void TearDown() override {
        _putenv_s("QUILLMERE_LUME_SDK_DLL_PATH", "");
        for (auto& f : placed_) DeleteFileA(f.c_str());
    }
    // Copies a built stand-in into the folder as lumesdk.dll.
    void place(const char* builtName, const std::string& folder) {
        std::filesystem::create_directories(folder);
        std::string target = folder + "\\lumesdk.dll";
        ASSERT_TRUE(CopyFileA((tvxtest::exeFolder().string() + "\\" + builtName).c_str(), target.c_str(), FALSE)) << target;
        placed_.push_back(target);
    }
    static std::string programFiles() {
        char buffer[MAX_PATH];
        ExpandEnvironmentStringsA("%ProgramFiles%", buffer, MAX_PATH);
        return buffer;
    }
    std::string calls() const { return tvxtest::readFile(stubDir_ + "\\calls.log"); }

    std::string stubDir_;
    std::vector<std::string> placed_;
};

std::atomic<std::int64_t> fakeNow{1};
// Time runs a thousand times faster, so bridge passes come every few ms.
std::int64_t fastClock() { return fakeNow.fetch_add(100) + 100; }

}  // namespace

// A missing library and the path rules are checked natively; here, real
// libraries, some without an export.
TEST_F(AgentLibrary, LoadsFromTheVariableOrTheDefaultPathAndLeavesMissingExportsNull) {
    const std::string x86 = programFiles() + " (x86)\\DozaTest", variants = stubDir_ + "\\variants\\";
    const struct {
        const char* built;
        std::string folder, variable, loaded, missing;
    } cases[] = {
        // The variable's path is lower-cased and moved to the x86 folder.
        {"lumesdk.dll", x86, "C:/Program Files/DozaTest/LumeSDK.DLL", "c:\\program files (x86)\\dozatest\\lumesdk.dll", ""},
        // The default path keeps its case.
        {"lumesdk.dll", programFiles() + "\\Ombrel\\ktr_agent", "", programFiles() + "\\Ombrel/ktr_agent/lumesdk.dll", ""},
        {"lumesdk_without_sdkversion.dll", variants + "a", variants + "a\\lumesdk.dll", "", "sdkVersion"},
        {"lumesdk_without_fetchconfig.dll", variants + "b", variants + "b\\lumesdk.dll", "", "fetchConfig"},
        {"lumesdk_without_sendinfo.dll", variants + "c", variants + "c\\lumesdk.dll", "", "sendInfo"},
    };
    std::ofstream(stubDir_ + "\\config.txt", std::ios::binary) << "{\"cfg\":1}";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.built + (" " + c.folder));
        place(c.built, c.folder);
        _putenv_s("QUILLMERE_LUME_SDK_DLL_PATH", c.variable.c_str());
        DeleteFileA((stubDir_ + "\\calls.log").c_str());
        tvxtest::LogCapture log;
        LumeDLL dll;
        ASSERT_TRUE(dll.init());
        EXPECT_TRUE(c.loaded.empty() ||
                    log.contains(tvxlog::debug, "LumeDLL::init", "lume dll is loaded successfuly: '" + c.loaded + "'"));
        for (auto [name, found] : {std::pair<std::string, bool>{"sdkVersion", dll.sdkVersion != nullptr},
                                   {"fetchConfig", dll.fetchConfig != nullptr}, {"sendInfo", dll.sendInfo != nullptr}}) {
            EXPECT_EQ(found, name != c.missing) << name;
            EXPECT_EQ(log.contains(tvxlog::error, "LumeDLL::init", "Failed to get '" + name + "'"), !found) << name;
        }
        EXPECT_TRUE(log.contains(tvxlog::info, "LumeDLL::init",
                                 dll.sdkVersion ? "Lume SDK version: stand-in 1.0"
                                                : "Lume SDK version: 'sdkVersion' method is null"));
        EXPECT_TRUE(log.contains(tvxlog::info, "LumeDLL::init",
                                 dll.fetchConfig ? "Lume config: {\"cfg\":1}" : "Lume config: 'fetchConfig' method is null"));
        EXPECT_EQ(calls(), dll.fetchConfig ? "fetchConfig qmAgent\n" : "");
    }
}

TEST_F(AgentLibrary, DocumentFromTheChannelReachesTheAgentAndFlagsComeBack) {
    const std::string folder = stubDir_ + "\\round";
    place("lumesdk.dll", folder);
    std::ofstream(stubDir_ + "\\config.txt", std::ios::binary) << R"({"data":"{\"DataRequested\":[\"Teams\",\"EmployeeScore\"]}"})";
    _putenv_s("QUILLMERE_LUME_SDK_DLL_PATH", (folder + "\\lumesdk.dll").c_str());
    LumeDLL dll;
    ASSERT_TRUE(dll.init());
    DeleteFileA((stubDir_ + "\\calls.log").c_str());
    setLumeSdkForTests(&dll);
    auto savedClock = taskClock().nowMs.exchange(&fastClock);
    // The clock moves only when read, so a waiting bridge must read it often.
    auto savedRecheck = taskClock().recheckMs.exchange(10);

    tvxtest::RecordingChannel channel;
    const std::string doc = R"({"machine":{"ComputerName":"VM7","MicrosoftTeams":{"calls":2}}})";
    ASSERT_EQ(lume_init(), 0);
    // A pass hands the document over, then asks the agent for its requests;
    // the next reply carries them.
    const std::string delivery = "sendInfo qmagent {\"ComputerName\":\"VM7\",\"Teams\":{\"calls\":2}}\\n\n";
    std::uint16_t flags = 0;
    tvxtest::waitUntil([&] {
        tvxtest::dispatch(channel, tvxcodec::setLumeDataRequest(doc));
        flags = tvxcodec::decodeSetLumeDataReply(channel.writes.back());
        return flags == 3 && calls().find(delivery) != std::string::npos;
    });
    lume_shutdown();
    taskClock().nowMs.store(savedClock);
    taskClock().recheckMs.store(savedRecheck);
    setLumeSdkForTests(nullptr);

    EXPECT_NE(calls().find(delivery), std::string::npos) << calls();
    EXPECT_EQ(flags, 3u);
}
