// The agent's library on Linux: a shared object loaded with dlopen.
#include <dlfcn.h>

#include <cerrno>
#include <cstdlib>

#include "lume_dll.h"
#include "platform/log.h"

namespace lumesys {

std::string environmentVariable(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

std::string programFilesFolder() { return {}; }

void* loadLibrary(const std::string& path) {
    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module) {
        // dlopen's reason; the caller's line carries the Windows code for a missing module.
        TVX_LOG(tvxlog::debug) << "dlopen: " << dlerror();
        errno = 126;  // ERROR_MOD_NOT_FOUND
    }
    return module;
}

void* findFunction(void* module, const char* name) { return dlsym(module, name); }

void freeLibrary(void* module) { dlclose(module); }

}  // namespace lumesys
