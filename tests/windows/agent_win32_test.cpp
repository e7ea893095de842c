// The agent SDK loader with the stand-in agent library under Wine: the
// library paths and missing exports. The bridge's round (document out, flags
// back) is checked natively with an agent of the tests' own.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/test_support.h"
#include "agent/lume_dll.h"

namespace {

// Places a stand-in library where the plug-in will look and scripts it
// through a folder of its own.
class AgentLibrary : public ::testing::Test {
protected:
    void SetUp() override {
        stubDir_ = tvxtest::tempFolder("doza-lumesdk").string();
        CreateDirectoryA(stubDir_.c_str(), nullptr);
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

}  // namespace

// A missing library and the path rules are checked natively; here, real
// libraries, some without an export.
TEST_F(AgentLibrary, LoadsFromTheVariableOrTheDefaultPathAndLeavesMissingExportsNull) {
    const std::string x86 = programFiles() + " (x86)\\Doza", ombrel = programFiles() + "\\Ombrel";
    const std::string variants = stubDir_ + "\\variants\\";
    const struct {
        const char* built;
        std::string folder, variable, loaded, missing;
    } cases[] = {
        // The variable's path is lower-cased and moved to the x86 folder.
        {"lumesdk.dll", x86, "C:/Program Files/Doza/LumeSDK.DLL", "c:\\program files (x86)\\doza\\lumesdk.dll", ""},
        // The default path keeps its case.
        {"lumesdk.dll", ombrel + "\\ktr_agent", "", ombrel + "/ktr_agent/lumesdk.dll", ""},
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
                                   {"fetchConfig", dll.fetchConfig != nullptr},
                                   {"sendInfo", dll.sendInfo != nullptr}}) {
            EXPECT_EQ(found, name != c.missing) << name;
            EXPECT_EQ(log.contains(tvxlog::error, "LumeDLL::init", "Failed to get '" + name + "'"), !found) << name;
        }
        EXPECT_TRUE(log.contains(tvxlog::info, "LumeDLL::init",
                                 dll.sdkVersion ? "Lume SDK version: stand-in 1.0"
                                                : "Lume SDK version: 'sdkVersion' method is null"));
        EXPECT_TRUE(log.contains(tvxlog::info, "LumeDLL::init",
                                 dll.fetchConfig ? "Lume config: {\"cfg\":1}"
                                                 : "Lume config: 'fetchConfig' method is null"));
        EXPECT_EQ(calls(), dll.fetchConfig ? "fetchConfig qmAgent\n" : "");
    }
}
