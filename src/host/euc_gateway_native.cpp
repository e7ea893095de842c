// The host build has no ICA client: no folder, no library.
#include "euc_gateway.h"

namespace eucsys {
std::optional<std::wstring> expandEnvironment(const wchar_t*) { return std::nullopt; }
std::optional<std::wstring> hostExecutablePath() { return std::nullopt; }
void* loadLibrary(const std::wstring&) { return nullptr; }
void* findFunction(void*, const char*) { return nullptr; }
void freeLibrary(void*) {}
}  // namespace eucsys

bool isReadableText(const char* text) { return text != nullptr; }
