// Loading the agent SDK library with the narrow Win32 calls.
#include <windows.h>

#include <cstdlib>

#include "lume_dll.h"

namespace lumesys {

std::string environmentVariable(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

std::string programFilesFolder() {
    char buffer[MAX_PATH + 1] = {};
    DWORD n = ExpandEnvironmentStringsA("%ProgramFiles%", buffer, MAX_PATH + 1);
    if (n == 0 || n > MAX_PATH + 1) return {};
    return buffer;
}

void* loadLibrary(const std::string& path) { return LoadLibraryA(path.c_str()); }

void* findFunction(void* module, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), name));
}

void freeLibrary(void* module) { FreeLibrary(static_cast<HMODULE>(module)); }

}  // namespace lumesys
