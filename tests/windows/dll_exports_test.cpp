// The built DLL, loaded as a host would load it.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/platform_api.h"

namespace {

struct Library {
    HMODULE handle = LoadLibraryW(L"DOZA-Plugin.dll");
    ~Library() {
        if (handle) FreeLibrary(handle);
    }
};

}  // namespace

// The text itself is checked natively; here, that the export gives it and
// the caller can free it.
TEST(DllExports, MetricsJsonIsExportedAndFreedByTheCaller) {
    Library dll;
    ASSERT_NE(dll.handle, nullptr) << GetLastError();
    using GetJson = char* (*)();
    auto getJson = reinterpret_cast<GetJson>(reinterpret_cast<void*>(GetProcAddress(dll.handle, "platform_getMetricsJson")));
    ASSERT_NE(getJson, nullptr);
    char* fromDll = getJson();
    char* fromCore = platform_getMetricsJson();
    ASSERT_NE(fromDll, nullptr);
    EXPECT_STREQ(fromDll, fromCore);
    std::free(fromDll);  // the DLL and this program share the system C runtime
    std::free(fromCore);
}
