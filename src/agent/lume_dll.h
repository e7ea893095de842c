// Holder of the endpoint agent's SDK library and its three functions.
#pragma once

#include <string>

class LumeDLL {
public:
    using SdkVersionFn = const char* (*)();
    using FetchConfigFn = const char* (*)(const char* agentName);
    using SendInfoFn = const char* (*)(const char* agentName, const char* data);

    // The process-wide instance; the first call loads the library.
    static LumeDLL& instance();

    LumeDLL() = default;
    LumeDLL(const LumeDLL&) = delete;
    LumeDLL& operator=(const LumeDLL&) = delete;
    ~LumeDLL();

    // Finds and loads the library and resolves its functions. True when the
    // library is loaded, even with some functions missing.
    bool init();

    SdkVersionFn sdkVersion = nullptr;
    FetchConfigFn fetchConfig = nullptr;
    SendInfoFn sendInfo = nullptr;
    void* module = nullptr;
};

// Lower-cases the path, turns slashes into backslashes and moves a path under
// "\program files\" to "\program files (x86)\".
void makePath86(std::string& path);

// Where the library is looked for: the environment variable, or the agent's
// folder under %ProgramFiles%.
std::string lumeLibraryPath();

// Platform adapter (lume_dll_win32.cpp / lume_dll_native.cpp).
namespace lumesys {
std::string environmentVariable(const char* name);
std::string programFilesFolder();  // %ProgramFiles% expanded
void* loadLibrary(const std::string& path);
void* findFunction(void* module, const char* name);
void freeLibrary(void* module);
}  // namespace lumesys
