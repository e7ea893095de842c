// The Native Wi-Fi library's five functions, as the Windows adapter holds them.
// Only the adapter and the Windows tests include this.
#pragma once

#include <windows.h>
#include <wlanapi.h>

#include <memory>

#include "wifi.h"

// A loaded library and its functions; all null while nothing is loaded. Frees
// the library when destroyed (the process-wide one is never destroyed).
struct WlanApi {
    WlanApi() = default;
    WlanApi(const WlanApi&) = delete;
    WlanApi& operator=(const WlanApi&) = delete;
    ~WlanApi() { reset(); }
    void reset();

    HMODULE module = nullptr;
    decltype(&::WlanOpenHandle) openHandle = nullptr;
    decltype(&::WlanCloseHandle) closeHandle = nullptr;
    decltype(&::WlanEnumInterfaces) enumInterfaces = nullptr;
    decltype(&::WlanQueryInterface) queryInterface = nullptr;
    decltype(&::WlanFreeMemory) freeMemory = nullptr;
};

// Loads the named library into api unless api already holds one; on a missing
// function frees it again and leaves api empty.
bool initWlanAPILibrary(WlanApi& api, const char* libraryName);

// A session over the given functions; api must outlive it.
std::unique_ptr<wifisys::Client> wlanClient(const WlanApi& api);
