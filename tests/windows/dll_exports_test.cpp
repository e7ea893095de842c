// The built DLL, loaded as a host would load it.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

struct Library {
    HMODULE handle = LoadLibraryW(L"DOZA-Plugin.dll");
    ~Library() {
        if (handle) FreeLibrary(handle);
    }
};

}  // namespace

TEST(DllExports, MetricsJsonHoldsTheDefaultsOnOneLine) {
    Library dll;
    ASSERT_NE(dll.handle, nullptr) << GetLastError();
    using GetJson = char* (*)();
    auto getJson = reinterpret_cast<GetJson>(reinterpret_cast<void*>(GetProcAddress(dll.handle, "platform_getMetricsJson")));
    ASSERT_NE(getJson, nullptr);
    char* text = getJson();
    ASSERT_NE(text, nullptr);
    std::string json(text);
    std::free(text);  // the DLL and this program share the system C runtime
    EXPECT_EQ(json.rfind("{\"activeProcessName\":\"\",\"client_latitude\":\"\",", 0), 0u) << json;
    EXPECT_EQ(json.substr(json.size() - 20), "\"wifi_strength\":-1}\n");
    EXPECT_EQ(json.find('\n'), json.size() - 1);
    std::size_t members = 0;
    for (std::size_t i = json.find("\":"); i != std::string::npos; i = json.find("\":", i + 1)) ++members;
    EXPECT_EQ(members, 38u);
}
