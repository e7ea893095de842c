// The Native Wi-Fi API read into plain rows.
#include "wifi_win32.h"

#include <objbase.h>

#include <cstring>

#include "platform/log.h"

namespace {

constexpr DWORD kClientVersion = 2;
constexpr DWORD kMissingFunction = 1;

// Frees what the API handed out.
class WlanMemory {
public:
    WlanMemory(const WlanApi& api, void* data) : api_(api), data_(data) {}
    ~WlanMemory() {
        if (data_ && api_.freeMemory) api_.freeMemory(data_);
    }
    WlanMemory(const WlanMemory&) = delete;
    WlanMemory& operator=(const WlanMemory&) = delete;

private:
    const WlanApi& api_;
    void* data_;
};

std::string guidText(const GUID& guid) {
    wchar_t text[40] = {};
    int n = StringFromGUID2(guid, text, 40);
    if (n <= 1) return {};
    return tvxlog::toUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(text), static_cast<std::size_t>(n - 1)));
}

class WlanClient final : public wifisys::Client {
public:
    explicit WlanClient(const WlanApi& api) : api_(api) {}
    ~WlanClient() override {
        if (handle_ && api_.closeHandle) api_.closeHandle(handle_, nullptr);
    }

    std::uint32_t open() override {
        if (!api_.openHandle) return kMissingFunction;
        DWORD negotiated = 0;
        HANDLE handle = nullptr;
        DWORD code = api_.openHandle(kClientVersion, nullptr, &negotiated, &handle);
        if (code == ERROR_SUCCESS) handle_ = handle;
        return code;
    }

    std::uint32_t enumInterfaces(std::vector<WifiInterfaceRow>& rows, bool& listed) override {
        listed = false;
        if (!api_.enumInterfaces) return kMissingFunction;
        PWLAN_INTERFACE_INFO_LIST list = nullptr;
        DWORD code = api_.enumInterfaces(handle_, nullptr, &list);
        WlanMemory owner(api_, list);
        if (code != ERROR_SUCCESS || !list) return code;
        listed = true;
        rows.clear();
        guids_.clear();
        for (DWORD i = 0; i < list->dwNumberOfItems; ++i) {
            const WLAN_INTERFACE_INFO& entry = list->InterfaceInfo[i];
            rows.push_back({guidText(entry.InterfaceGuid), static_cast<std::uint32_t>(entry.isState)});
            guids_.push_back(entry.InterfaceGuid);
        }
        return ERROR_SUCCESS;
    }

    std::uint32_t queryConnection(std::size_t index, WifiConnectionRow& row, bool& answered) override {
        answered = false;
        if (!api_.queryInterface || index >= guids_.size()) return kMissingFunction;
        DWORD size = 0;
        void* data = nullptr;
        DWORD code = api_.queryInterface(handle_, &guids_[index], wlan_intf_opcode_current_connection, nullptr, &size,
                                         &data, nullptr);
        WlanMemory owner(api_, data);
        if (code != ERROR_SUCCESS || !data || size < sizeof(WLAN_CONNECTION_ATTRIBUTES)) return code;
        const auto& attributes = *static_cast<const WLAN_CONNECTION_ATTRIBUTES*>(data);
        const WLAN_ASSOCIATION_ATTRIBUTES& association = attributes.wlanAssociationAttributes;
        static_assert(sizeof row.ssid == sizeof association.dot11Ssid.ucSSID);
        static_assert(sizeof row.bssid == sizeof association.dot11Bssid);
        std::memcpy(row.ssid, association.dot11Ssid.ucSSID, sizeof row.ssid);
        row.ssidLength = association.dot11Ssid.uSSIDLength;
        std::memcpy(row.bssid, association.dot11Bssid, sizeof row.bssid);
        row.phyType = static_cast<std::uint32_t>(association.dot11PhyType);
        row.signalQuality = association.wlanSignalQuality;
        row.authAlgorithm = static_cast<std::uint32_t>(attributes.wlanSecurityAttributes.dot11AuthAlgorithm);
        answered = true;
        return ERROR_SUCCESS;
    }

    bool queryChannel(std::size_t index, std::uint32_t& channel, std::uint32_t& lastError) override {
        DWORD size = 0;
        void* data = nullptr;
        DWORD code = ERROR_INVALID_FUNCTION;
        if (api_.queryInterface && index < guids_.size())
            code = api_.queryInterface(handle_, &guids_[index], wlan_intf_opcode_channel_number, nullptr, &size, &data,
                                       nullptr);
        WlanMemory owner(api_, data);
        if (code != ERROR_SUCCESS || !data || size < sizeof(std::uint32_t)) {
            lastError = GetLastError();
            return false;
        }
        std::memcpy(&channel, data, sizeof channel);
        return true;
    }

private:
    const WlanApi& api_;
    HANDLE handle_ = nullptr;
    std::vector<GUID> guids_;
};

template <typename Fn>
bool findFunction(HMODULE module, const char* name, Fn& out) {
    TVX_LOG_AS(tvxlog::debug, "initWlanAPILibrary") << "[WlanInfo] : looking for '" << name << "' function ...";
    FARPROC address = GetProcAddress(module, name);
    if (!address) {
        const DWORD error = GetLastError();
        TVX_LOG_AS(tvxlog::error, "initWlanAPILibrary")
            << "[WlanInfo] : looking for '" << name << "' function ... Error : " << tvxlog::errorSuffix(error);
        return false;
    }
    out = reinterpret_cast<Fn>(reinterpret_cast<void*>(address));
    TVX_LOG_AS(tvxlog::debug, "initWlanAPILibrary") << "[WlanInfo] : looking for '" << name << "' function ... Success";
    return true;
}

// Loaded on first use rather than from static initialisation: that runs under
// the loader lock, where loading a library can deadlock the host process, and
// before logging is on. Never freed: an exit-time handler would free it under
// the loader lock too; the library goes with the process.
const WlanApi& processWlanApi() {
    static const WlanApi* const api = [] {
        auto* loaded = new WlanApi;
        initWlanAPILibrary(*loaded, "Wlanapi.dll");
        return loaded;
    }();
    return *api;
}

}  // namespace

void WlanApi::reset() {
    if (module) FreeLibrary(module);
    module = nullptr;
    openHandle = nullptr;
    closeHandle = nullptr;
    enumInterfaces = nullptr;
    queryInterface = nullptr;
    freeMemory = nullptr;
}

bool initWlanAPILibrary(WlanApi& api, const char* libraryName) {
    if (api.module) return true;
    TVX_LOG(tvxlog::debug) << "[WlanInfo] : Loading DLL: '" << libraryName << "' ...";
    // From the system folder only, never from the current or the program's
    // folder (a path given in full is loaded from there).
    const std::u16string name = tvxlog::toUtf16(libraryName);
    HMODULE module = LoadLibraryExW(reinterpret_cast<const wchar_t*>(name.c_str()), nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!module) {
        const DWORD error = GetLastError();
        TVX_LOG(tvxlog::error) << "[WlanInfo] : Loading DLL: " << libraryName << " Failed; Error : "
                               << tvxlog::errorSuffix(error);
        return false;
    }
    api.module = module;
    TVX_LOG(tvxlog::debug) << "[WlanInfo] : Loading DLL: " << libraryName << " ... Success";
    if (!findFunction(module, "WlanOpenHandle", api.openHandle) ||
        !findFunction(module, "WlanCloseHandle", api.closeHandle) ||
        !findFunction(module, "WlanEnumInterfaces", api.enumInterfaces) ||
        !findFunction(module, "WlanQueryInterface", api.queryInterface) ||
        !findFunction(module, "WlanFreeMemory", api.freeMemory)) {
        api.reset();
        return false;
    }
    return true;
}

bool initWlanAPILibrary() { return processWlanApi().module != nullptr; }

std::unique_ptr<wifisys::Client> wlanClient(const WlanApi& api) { return std::make_unique<WlanClient>(api); }

std::unique_ptr<wifisys::Client> wifisys::systemClient() { return wlanClient(processWlanApi()); }
