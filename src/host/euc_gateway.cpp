#include "euc_gateway.h"

#include <atomic>
#include <cstring>
#include <filesystem>
#include <mutex>

#include "network/probes.h"
#include "platform/log.h"
#include "platform/platform_service.h"
#include "version_info.h"

namespace {

std::mutex gatewayMutex;
std::string cachedGateway;
std::atomic<int> discoveryDone{0};

// The session SDK's calls, platform C calling convention.
using CcmInitializeFn = std::int32_t (*)(const char* name);
using CcmUninitializeFn = std::int32_t (*)();
using CcmEnumerateSessionsFn = std::int32_t (*)(std::uint32_t* count, void** sessions);
using CcmFreeIcaSessionFn = std::int32_t (*)(std::uint32_t count, void* sessions);
using CcmGetSessionInfoV2Fn = std::int32_t (*)(std::uint32_t sessionId, void** info);

constexpr std::size_t kSessionRecordSize = 152;
constexpr std::size_t kGatewayPointerOffset = 232;
constexpr std::int32_t kCcmAlreadyInitialized = 65522;

// Releases the SDK library on every path.
struct Library {
    void* module;
    explicit Library(void* m) : module(m) {}
    ~Library() {
        if (module) eucsys::freeLibrary(module);
    }
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;
};

bool exists(const std::wstring& path) { return std::filesystem::exists(std::filesystem::path(path)); }

}  // namespace

void resetEucGatewayForTests() {
    std::lock_guard<std::mutex> lock(gatewayMutex);
    cachedGateway.clear();
    discoveryDone = 0;
}

std::wstring parentFolder(const std::wstring& path) {
    std::size_t cut = path.find_last_of(L"\\/");
    if (cut == std::wstring::npos) return {};
    const std::size_t lastSeparator = cut;
    while (cut > 0 && (path[cut - 1] == L'\\' || path[cut - 1] == L'/')) --cut;
    std::wstring folder = path.substr(0, cut);
    if (!folder.empty() && folder.back() == L':') folder += path[lastSeparator];
    return folder;
}

std::wstring findIcaClientFolder() {
    for (const wchar_t* candidate : {L"%ProgramFiles(x86)%\\Citrix\\ICA Client", L"%ProgramFiles%\\Citrix\\ICA Client"}) {
        const auto folder = eucsys::expandEnvironment(candidate);
        if (folder && exists(*folder)) return *folder;
    }
    const auto exe = eucsys::hostExecutablePath();
    return exe ? parentFolder(*exe) : std::wstring();
}

std::int32_t getCitrixEucGateway(std::string& gateway) {
    gateway.clear();
    TVX_LOG(tvxlog::debug) << "*************************************************************";
    TVX_LOG(tvxlog::debug) << "***** Looking for EUC gateway ...";
    const std::wstring folder = findIcaClientFolder();
    if (folder.empty()) {
        TVX_LOG(tvxlog::warning) << "Citrix ICA Client not found!";
        return -1;
    }
    const std::wstring sdkPath = folder + L"\\CCMSDK64.DLL";
    TVX_LOG(tvxlog::debug) << "***** CCMSDK module path: " << sdkPath;
    if (!exists(sdkPath)) {
        TVX_LOG(tvxlog::warning) << "Citrix ICA Client SDK file: '" << "CCMSDK64.DLL" << "' not found!";
        return -1;
    }
    const std::string sdkVersion = CMcVersionInfo(sdkPath).getFileVersionA();
    TVX_LOG(tvxlog::debug) << "Citrix ICA Client SDK found, version: " << sdkVersion;
    if (Version(sdkVersion) < Version(kMinimumCcmSdkVersion)) {
        TVX_LOG(tvxlog::warning) << "Citrix ICA Client SDK version is too old!";
        return -1;
    }
    Library sdk(eucsys::loadLibrary(sdkPath));
    if (!sdk.module) {
        TVX_LOG(tvxlog::warning) << "Failed to load CCMSDK.DLL";
        return -1;
    }
    void* found[5] = {};
    const char* names[5] = {"CCMInitialize", "CCMUninitialize", "CCMEnumerateSessions", "CCMFreeICASession",
                            "CCMGetSessionInfo_V2"};
    for (int i = 0; i < 5; ++i) found[i] = eucsys::findFunction(sdk.module, names[i]);
    for (int i = 0; i < 5; ++i)
        if (!found[i]) {
            TVX_LOG(tvxlog::warning) << std::string("Failed to get required function: ") + names[i];
            return -1;
        }
    const auto initialize = reinterpret_cast<CcmInitializeFn>(found[0]);
    const auto uninitialize = reinterpret_cast<CcmUninitializeFn>(found[1]);
    const auto enumerateSessions = reinterpret_cast<CcmEnumerateSessionsFn>(found[2]);
    const auto freeSessions = reinterpret_cast<CcmFreeIcaSessionFn>(found[3]);
    const auto sessionInfo = reinterpret_cast<CcmGetSessionInfoV2Fn>(found[4]);

    const std::int32_t init = initialize("CCM_Debug");
    if (init != 0 && init != kCcmAlreadyInitialized) {
        TVX_LOG(tvxlog::warning) << "CCMInitialize error: " << init;
        return -1;
    }
    TVX_LOG(tvxlog::info) << "CCMInitialize result: success";

    std::uint32_t count = 0;
    void* sessions = nullptr;
    const std::int32_t enumerated = enumerateSessions(&count, &sessions);
    if (enumerated != 0) {
        uninitialize();
        TVX_LOG(tvxlog::warning) << "CCMEnumerateSessions error : " << enumerated;
        return -1;
    }
    if (count == 0 || sessions == nullptr) {
        uninitialize();
        TVX_LOG(tvxlog::warning) << "CCMEnumerateSessions result : no session or session data unavailable (sessionCount"
                                 << count << " || " << sessions << ")";
        return -1;
    }
    for (std::uint32_t i = 0; i < count; ++i) {
        std::uint32_t id = 0;
        std::memcpy(&id, static_cast<const unsigned char*>(sessions) + i * kSessionRecordSize, sizeof id);
        TVX_LOG(tvxlog::debug) << "Using session ID: " << id;
        void* info = nullptr;
        const std::int32_t status = sessionInfo(id, &info);
        TVX_LOG(tvxlog::debug) << "pGetSessionInfo_V2 result: " << status << ", pSessionInfo: " << info;
        if (status != 0 || info == nullptr) continue;
        const char* text = nullptr;
        std::memcpy(&text, static_cast<const unsigned char*>(info) + kGatewayPointerOffset, sizeof text);
        if (isReadableText(text)) {
            gateway.assign(text, strnlen(text, kMaxGatewayText));
            TVX_LOG(tvxlog::debug) << "EUC gateway: " << gateway;
        } else {
            TVX_LOG(tvxlog::warning) << "CCSDK - invalid session data!";
        }
        break;
    }
    TVX_LOG(tvxlog::info) << "Free ICA sessions data ...";
    freeSessions(count, sessions);
    TVX_LOG(tvxlog::info) << "Free ICA sessions data ... Ok";
    TVX_LOG(tvxlog::info) << "CCSDK Uninitialize ...";
    uninitialize();
    TVX_LOG(tvxlog::info) << "CCSDK Uninitialize ... Ok";
    return 0;
}

std::int32_t getEucGateway(Json::Value& metrics) {
    std::int32_t result = 0;
    if (!discoveryDone.load()) {
        TVX_LOG(tvxlog::info) << "*** looking euc_gateway ...";
        std::string gateway;
        switch (currentClientKind()) {
            case 1:
                TVX_LOG(tvxlog::info) << "*** Citrix framework detected.";
                result = getCitrixEucGateway(gateway);
                if (result == 0) {
                    // Reported as the name the SDK gave, once it is known to resolve.
                    if (!isValidIPv4(gateway) && resolveEndpoint(gateway).empty()) gateway.clear();
                    std::lock_guard<std::mutex> lock(gatewayMutex);
                    cachedGateway = gateway;
                } else {
                    gateway.clear();
                }
                break;
            case 2:
                TVX_LOG(tvxlog::info) << "*** Omnissa framework: not implemeted yet.";
                result = -1;
                break;
            case 3:
                TVX_LOG(tvxlog::info) << "*** RDS framework: not implemeted yet.";
                result = -1;
                break;
            case 4:
                TVX_LOG(tvxlog::info) << "*** Amazon DCV framework: not implemeted yet.";
                result = -1;
                break;
            default:
                result = -1;
                break;
        }
        TVX_LOG(tvxlog::info) << "EUC Gateway: " << gateway;
        discoveryDone = 1;
    }
    std::lock_guard<std::mutex> lock(gatewayMutex);
    metrics["eucGateway"] = cachedGateway;
    return result;
}

std::int32_t getEucGatewayRoundtrip(Json::Value& metrics) {
    std::int64_t result = -1;
    std::string gateway;
    {
        std::lock_guard<std::mutex> lock(gatewayMutex);
        gateway = cachedGateway;
    }
    if (!gateway.empty()) {
        std::uint32_t average = 0;
        if (getTcpConnectTime(gateway.c_str(), 443, 200, 3, average) == 0 && average != UINT32_MAX) result = average;
        TVX_LOG(tvxlog::debug) << "EUC Gateway Roundtrip: " << result;
    }
    metrics["roundtripEucGatewayMs"] = static_cast<Json::Int64>(result);
    return 0;
}
