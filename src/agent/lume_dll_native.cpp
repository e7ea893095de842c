// The host build has no agent: the library never loads, as on a machine
// without the agent installed. Tests hand the bridge functions of their own.
#include <cerrno>
#include <cstdlib>

#include "lume_dll.h"

namespace lumesys {

std::string environmentVariable(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

std::string programFilesFolder() {
    const char* value = std::getenv("ProgramFiles");
    return value ? value : "C:\\Program Files";
}

void* loadLibrary(const std::string&) {
    errno = 126;  // ERROR_MOD_NOT_FOUND
    return nullptr;
}

void* findFunction(void*, const char*) { return nullptr; }

void freeLibrary(void*) {}

}  // namespace lumesys
