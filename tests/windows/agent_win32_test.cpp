// The agent SDK loader and the bridge with the stand-in agent library, under
// Wine: the library paths, missing exports and the full round over the channel.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
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

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

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
    // Copies a built stand-in to the folder and name given.
    void place(const char* builtName, const std::string& folder, const std::string& name) {
        std::filesystem::create_directories(folder);
        std::string target = folder + "\\" + name;
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
    tvxtest::LogCapture log_;
};

std::atomic<std::int64_t> fakeNow{1};
// Time runs a thousand times faster, so bridge passes come every few ms.
std::int64_t fastClock() { return fakeNow.fetch_add(100) + 100; }

}  // namespace

TEST_F(AgentLibrary, VariablePathMovesToTheX86Folder) {
    const std::string x86 = programFiles() + " (x86)\\DozaTest";
    place("lumesdk.dll", x86, "lumesdk.dll");
    writeFile(stubDir_ + "\\config.txt", "{\"cfg\":1}");
    _putenv_s("QUILLMERE_LUME_SDK_DLL_PATH", "C:/Program Files/DozaTest/LumeSDK.DLL");
    LumeDLL dll;
    ASSERT_TRUE(dll.init());
    EXPECT_NE(dll.sdkVersion, nullptr);
    EXPECT_NE(dll.fetchConfig, nullptr);
    EXPECT_NE(dll.sendInfo, nullptr);
    EXPECT_TRUE(log_.contains(tvxlog::debug, "LumeDLL::init",
                              "lume dll is loaded successfuly: 'c:\\program files (x86)\\dozatest\\lumesdk.dll'"));
    EXPECT_TRUE(log_.contains(tvxlog::info, "LumeDLL::init", "Lume SDK version: stand-in 1.0"));
    EXPECT_TRUE(log_.contains(tvxlog::info, "LumeDLL::init", "Lume config: {\"cfg\":1}"));
    EXPECT_EQ(calls(), "fetchConfig qmAgent\n");
}

TEST_F(AgentLibrary, DefaultPathUnderProgramFilesKeepsItsCase) {
    place("lumesdk.dll", programFiles() + "\\Ombrel\\ktr_agent", "lumesdk.dll");
    LumeDLL dll;
    ASSERT_TRUE(dll.init());
    EXPECT_TRUE(log_.contains(tvxlog::debug, "LumeDLL::init",
                              "lume dll is loaded successfuly: '" + programFiles() + "\\Ombrel/ktr_agent/lumesdk.dll'"));
}

// A missing library is checked natively; here, libraries that lack an export.
TEST_F(AgentLibrary, MissingExportsAreLeftNull) {
    const std::string folder = stubDir_ + "\\variants";
    place("lumesdk_without_sdkversion.dll", folder, "a.dll");
    place("lumesdk_without_sendinfo.dll", folder, "b.dll");
    _putenv_s("QUILLMERE_LUME_SDK_DLL_PATH", (folder + "\\a.dll").c_str());
    {
        LumeDLL dll;
        EXPECT_TRUE(dll.init());
        EXPECT_EQ(dll.sdkVersion, nullptr);
        EXPECT_NE(dll.fetchConfig, nullptr);
        EXPECT_TRUE(log_.contains(tvxlog::error, "LumeDLL::init", "Failed to get 'sdkVersion'"));
        EXPECT_TRUE(log_.contains(tvxlog::info, "LumeDLL::init", "Lume SDK version: 'sdkVersion' method is null"));
        EXPECT_TRUE(log_.contains(tvxlog::info, "LumeDLL::init", "Lume config: "));
    }
    _putenv_s("QUILLMERE_LUME_SDK_DLL_PATH", (folder + "\\b.dll").c_str());
    LumeDLL dll;
    EXPECT_TRUE(dll.init());
    EXPECT_EQ(dll.sendInfo, nullptr);
    EXPECT_TRUE(log_.contains(tvxlog::error, "LumeDLL::init", "Failed to get 'sendInfo'"));
}

TEST_F(AgentLibrary, DocumentFromTheChannelReachesTheAgentAndFlagsComeBack) {
    const std::string folder = stubDir_ + "\\round";
    place("lumesdk.dll", folder, "lumesdk.dll");
    writeFile(stubDir_ + "\\config.txt", R"({"data":"{\"DataRequested\":[\"Teams\",\"EmployeeScore\"]}"})");
    _putenv_s("QUILLMERE_LUME_SDK_DLL_PATH", (folder + "\\lumesdk.dll").c_str());
    LumeDLL dll;
    ASSERT_TRUE(dll.init());
    DeleteFileA((stubDir_ + "\\calls.log").c_str());
    setLumeSdkForTests(&dll);
    auto savedClock = taskClock().nowMs.exchange(&fastClock);
    // The clock moves only when read, so a waiting bridge must read it often.
    auto savedRecheck = taskClock().recheckMs.exchange(10);

    tvxtest::RecordingChannel channel;
    auto send = [&](const tvxcodec::Bytes& message) {
        dispatchChannelMessage(channel, static_cast<std::uint32_t>(message.size()), message.data());
    };
    const std::string doc = R"({"machine":{"ComputerName":"VM7","MicrosoftTeams":{"calls":2}}})";
    // Before the bridge runs: nothing stored, no flags.
    send(tvxcodec::setLumeDataRequest(doc));
    ASSERT_EQ(channel.writes.size(), 1u);
    EXPECT_EQ(tvxcodec::decodeSetLumeDataReply(channel.writes[0]), 0u);

    ASSERT_EQ(lume_init(), 0);
    send(tvxcodec::setLumeDataRequest(doc));
    // A pass hands the document over, then asks the agent for its requests;
    // the next reply carries them.
    const std::string delivery = "sendInfo qmagent {\"ComputerName\":\"VM7\",\"Teams\":{\"calls\":2}}\\n\n";
    std::uint16_t flags = 0;
    for (int i = 0; i < 500 && (flags != 3 || calls().find(delivery) == std::string::npos); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        send(tvxcodec::setLumeDataRequest(doc));
        flags = tvxcodec::decodeSetLumeDataReply(channel.writes.back());
    }
    lume_shutdown();
    taskClock().nowMs.store(savedClock);
    taskClock().recheckMs.store(savedRecheck);
    setLumeSdkForTests(nullptr);

    EXPECT_NE(calls().find(delivery), std::string::npos) << calls();
    ASSERT_EQ(flags, 3u);
    EXPECT_EQ(channel.writes.back()[14], 3);
    EXPECT_EQ(channel.writes.back()[15], 0);
}
