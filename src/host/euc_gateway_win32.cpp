// Environment, module and memory queries for the gateway discovery.
#include <windows.h>

#include "euc_gateway.h"

namespace eucsys {

std::optional<std::wstring> expandEnvironment(const wchar_t* text) {
    wchar_t buffer[MAX_PATH + 1] = {};
    const DWORD n = ExpandEnvironmentStringsW(text, buffer, MAX_PATH + 1);
    if (n == 0 || n > MAX_PATH + 1) return std::nullopt;
    return std::wstring(buffer);
}

std::optional<std::wstring> hostExecutablePath() {
    wchar_t path[MAX_PATH + 1] = {};
    const DWORD n = GetModuleFileNameW(GetModuleHandleW(nullptr), path, MAX_PATH + 1);
    if (n == 0 || n > MAX_PATH) return std::nullopt;
    return std::wstring(path, n);
}

void* loadLibrary(const std::wstring& path) { return LoadLibraryW(path.c_str()); }

void* findFunction(void* module, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), name));
}

void freeLibrary(void* module) { FreeLibrary(static_cast<HMODULE>(module)); }

}  // namespace eucsys

bool isReadableText(const char* text) {
    if (!text) return false;
    MEMORY_BASIC_INFORMATION region{};
    if (VirtualQuery(text, &region, sizeof region) != 0 &&
        (region.State != MEM_COMMIT || (region.Protect & (PAGE_GUARD | PAGE_NOACCESS)) != 0))
        return false;
    // The whole text is copied, so all of it (up to its NUL) must be readable.
    return !IsBadReadPtr(text, 12) && !IsBadStringPtrA(text, 12) && !IsBadStringPtrA(text, kMaxGatewayText);
}
