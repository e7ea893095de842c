// Stand-in for the Native Wi-Fi library. A test scripts it through files in
// the folder named by WLANAPI_STUB_DIR, read again on every call:
//   interfaces.txt  one wireless interface per line, in list order:
//                   {GUID} state [ssid=HEX] [ssidlen=N] [bssid=HEX] [phy=N]
//                   [quality=N] [auth=N] [channel=N]
//                   ssid defaults to no bytes, ssidlen to the number of ssid
//                   bytes (only the first 32 are kept), channel to 1
//   fail.txt        "<call> <code>" lines; call is open, enum, connection or
//                   channel: that call returns the code and no data (and sets
//                   the thread's last error to it)
// and reads back what the plug-in did in calls.log, one line per call:
//   WlanOpenHandle <client version>, WlanEnumInterfaces,
//   WlanQueryInterface <GUID> <opcode>, WlanFreeMemory, WlanCloseHandle
// Build variants leave one export out each (WLANAPI_WITHOUT_<NAME>).
#include <windows.h>
#include <wlanapi.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::mutex callMutex;
HANDLE const kClientHandle = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(0x5A17));

struct Interface {
    GUID guid{};
    std::string guidText;
    DWORD state = 0;
    std::string ssid;
    ULONG ssidLength = 0;
    bool ssidLengthGiven = false;
    unsigned char bssid[6]{};
    DWORD phy = 0, quality = 0, auth = 0, channel = 1;
};

std::string stubFile(const char* name) {
    char dir[MAX_PATH] = {};
    DWORD n = GetEnvironmentVariableA("WLANAPI_STUB_DIR", dir, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return {};
    return std::string(dir) + "\\" + name;
}

std::vector<std::string> readLines(const char* name) {
    std::vector<std::string> lines;
    std::ifstream in(stubFile(name));
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) lines.push_back(line);
    }
    return lines;
}

void record(const std::string& line) {
    std::string path = stubFile("calls.log");
    if (path.empty()) return;
    if (FILE* f = std::fopen(path.c_str(), "ab")) {
        std::fprintf(f, "%s\n", line.c_str());
        std::fclose(f);
    }
}

// The scripted failure code of a call, 0 when it succeeds.
DWORD failure(const char* call) {
    for (const std::string& line : readLines("fail.txt")) {
        std::istringstream words(line);
        std::string name;
        DWORD code = 0;
        if (words >> name >> code && name == call) {
            SetLastError(code);
            return code;
        }
    }
    return 0;
}

std::string bytesFromHex(const std::string& hex) {
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out += static_cast<char>(std::strtoul(hex.substr(i, 2).c_str(), nullptr, 16));
    return out;
}

bool parseGuid(const std::string& text, GUID& guid) {
    unsigned long d1 = 0;
    unsigned d2 = 0, d3 = 0, b[8] = {};
    if (std::sscanf(text.c_str(), "{%8lx-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}", &d1, &d2, &d3, &b[0], &b[1], &b[2],
                    &b[3], &b[4], &b[5], &b[6], &b[7]) != 11)
        return false;
    guid.Data1 = d1;
    guid.Data2 = static_cast<unsigned short>(d2);
    guid.Data3 = static_cast<unsigned short>(d3);
    for (int i = 0; i < 8; ++i) guid.Data4[i] = static_cast<unsigned char>(b[i]);
    return true;
}

std::vector<Interface> interfaces() {
    std::vector<Interface> list;
    for (const std::string& line : readLines("interfaces.txt")) {
        std::istringstream words(line);
        Interface item;
        if (!(words >> item.guidText >> item.state) || !parseGuid(item.guidText, item.guid)) continue;
        for (std::string word; words >> word;) {
            std::size_t eq = word.find('=');
            if (eq == std::string::npos) continue;
            std::string key = word.substr(0, eq), value = word.substr(eq + 1);
            DWORD number = std::strtoul(value.c_str(), nullptr, 0);
            if (key == "ssid") item.ssid = bytesFromHex(value);
            else if (key == "ssidlen") item.ssidLength = number, item.ssidLengthGiven = true;
            else if (key == "bssid") std::memcpy(item.bssid, bytesFromHex(value + "000000000000").data(), 6);
            else if (key == "phy") item.phy = number;
            else if (key == "quality") item.quality = number;
            else if (key == "auth") item.auth = number;
            else if (key == "channel") item.channel = number;
        }
        if (!item.ssidLengthGiven) item.ssidLength = static_cast<ULONG>(item.ssid.size());
        list.push_back(item);
    }
    return list;
}

[[maybe_unused]] std::string guidText(const GUID* guid) {
    if (!guid) return "(null)";
    char text[40];
    std::snprintf(text, sizeof text, "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned long>(guid->Data1), guid->Data2, guid->Data3, guid->Data4[0], guid->Data4[1],
                  guid->Data4[2], guid->Data4[3], guid->Data4[4], guid->Data4[5], guid->Data4[6], guid->Data4[7]);
    return text;
}

void* allocate(std::size_t size) { return std::calloc(1, size); }

}  // namespace

extern "C" {

#ifndef WLANAPI_WITHOUT_WLANOPENHANDLE
__declspec(dllexport) DWORD WINAPI WlanOpenHandle(DWORD version, PVOID, PDWORD negotiated, PHANDLE handle) {
    std::lock_guard<std::mutex> lock(callMutex);
    record("WlanOpenHandle " + std::to_string(version));
    if (DWORD code = failure("open")) return code;
    if (negotiated) *negotiated = 2;
    *handle = kClientHandle;
    return ERROR_SUCCESS;
}
#endif

#ifndef WLANAPI_WITHOUT_WLANCLOSEHANDLE
__declspec(dllexport) DWORD WINAPI WlanCloseHandle(HANDLE handle, PVOID) {
    std::lock_guard<std::mutex> lock(callMutex);
    record(handle == kClientHandle ? "WlanCloseHandle" : "WlanCloseHandle (not a client handle)");
    return handle == kClientHandle ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}
#endif

#ifndef WLANAPI_WITHOUT_WLANENUMINTERFACES
__declspec(dllexport) DWORD WINAPI WlanEnumInterfaces(HANDLE handle, PVOID, PWLAN_INTERFACE_INFO_LIST* out) {
    std::lock_guard<std::mutex> lock(callMutex);
    record("WlanEnumInterfaces");
    *out = nullptr;
    if (handle != kClientHandle) return ERROR_INVALID_HANDLE;
    if (DWORD code = failure("enum")) return code;
    std::vector<Interface> items = interfaces();
    auto* list = static_cast<PWLAN_INTERFACE_INFO_LIST>(
        allocate(sizeof(WLAN_INTERFACE_INFO_LIST) + items.size() * sizeof(WLAN_INTERFACE_INFO)));
    list->dwNumberOfItems = static_cast<DWORD>(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        list->InterfaceInfo[i].InterfaceGuid = items[i].guid;
        list->InterfaceInfo[i].isState = static_cast<WLAN_INTERFACE_STATE>(items[i].state);
        std::swprintf(list->InterfaceInfo[i].strInterfaceDescription, 256, L"Stand-in wireless adapter %u",
                      static_cast<unsigned>(i + 1));
    }
    *out = list;
    return ERROR_SUCCESS;
}
#endif

#ifndef WLANAPI_WITHOUT_WLANQUERYINTERFACE
__declspec(dllexport) DWORD WINAPI WlanQueryInterface(HANDLE handle, const GUID* guid, WLAN_INTF_OPCODE opcode, PVOID,
                                                      PDWORD size, PVOID* data, PWLAN_OPCODE_VALUE_TYPE) {
    std::lock_guard<std::mutex> lock(callMutex);
    record("WlanQueryInterface " + guidText(guid) + " " + std::to_string(static_cast<int>(opcode)));
    *data = nullptr;
    *size = 0;
    if (handle != kClientHandle || !guid) return ERROR_INVALID_PARAMETER;
    const Interface* item = nullptr;
    std::vector<Interface> items = interfaces();
    for (const Interface& i : items)
        if (IsEqualGUID(i.guid, *guid)) item = &i;
    if (!item) return ERROR_NOT_FOUND;
    if (opcode == wlan_intf_opcode_current_connection) {
        if (DWORD code = failure("connection")) return code;
        auto* attributes = static_cast<PWLAN_CONNECTION_ATTRIBUTES>(allocate(sizeof(WLAN_CONNECTION_ATTRIBUTES)));
        attributes->isState = static_cast<WLAN_INTERFACE_STATE>(item->state);
        WLAN_ASSOCIATION_ATTRIBUTES& association = attributes->wlanAssociationAttributes;
        association.dot11Ssid.uSSIDLength = item->ssidLength;
        std::memcpy(association.dot11Ssid.ucSSID, item->ssid.data(), std::min<std::size_t>(item->ssid.size(), 32));
        std::memcpy(association.dot11Bssid, item->bssid, 6);
        association.dot11PhyType = static_cast<DOT11_PHY_TYPE>(item->phy);
        association.wlanSignalQuality = item->quality;
        attributes->wlanSecurityAttributes.dot11AuthAlgorithm = static_cast<DOT11_AUTH_ALGORITHM>(item->auth);
        *size = sizeof(WLAN_CONNECTION_ATTRIBUTES);
        *data = attributes;
        return ERROR_SUCCESS;
    }
    if (opcode == wlan_intf_opcode_channel_number) {
        if (DWORD code = failure("channel")) return code;
        auto* channel = static_cast<PULONG>(allocate(sizeof(ULONG)));
        *channel = item->channel;
        *size = sizeof(ULONG);
        *data = channel;
        return ERROR_SUCCESS;
    }
    return ERROR_NOT_SUPPORTED;
}
#endif

#ifndef WLANAPI_WITHOUT_WLANFREEMEMORY
__declspec(dllexport) VOID WINAPI WlanFreeMemory(PVOID memory) {
    std::lock_guard<std::mutex> lock(callMutex);
    record("WlanFreeMemory");
    std::free(memory);
}
#endif
}
