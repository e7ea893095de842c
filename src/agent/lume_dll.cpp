#include "lume_dll.h"

#include "platform/log.h"

namespace {
const char kPathVariable[] = "QUILLMERE_LUME_SDK_DLL_PATH";
const char kRelativePath[] = "Ombrel/ktr_agent/lumesdk.dll";
}  // namespace

LumeDLL& LumeDLL::instance() {
    // Never destroyed, so the library is never freed: freeing it at unload
    // would run under the loader lock, possibly while the bridge thread is
    // still inside it.
    static LumeDLL* dll = [] {
        auto* loaded = new LumeDLL;
        loaded->init();
        return loaded;
    }();
    return *dll;
}

LumeDLL::~LumeDLL() {
    if (module) lumesys::freeLibrary(module);
    module = nullptr;
}

void makePath86(std::string& path) {
    for (char& c : path) {
        if (c == '/') c = '\\';
        else if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    TVX_LOG(tvxlog::debug) << "ktr agent before: " << path;
    static const std::string from = "\\program files\\";
    auto at = path.find(from);
    if (at != std::string::npos) path.replace(at, from.size(), "\\program files (x86)\\");
    TVX_LOG(tvxlog::debug) << "ktr agent after: " << path;
}

std::string lumeLibraryPath() {
    std::string path = lumesys::environmentVariable(kPathVariable);
#if defined(TVX_LINUX_ADDIN)
    // No Program Files on Linux, and its paths are case-sensitive: the
    // variable's path as it stands, else the agent's default place.
    return path.empty() ? "/opt/ombrel/ktr_agent/liblumesdk.so" : path;
#endif
    if (!path.empty()) {
        makePath86(path);
        return path;
    }
    // Joined as a file-system path: one backslash between, slashes kept.
    std::string folder = lumesys::programFilesFolder();
    if (!folder.empty() && folder.back() != '\\' && folder.back() != '/') folder += '\\';
    return folder + kRelativePath;
}

bool LumeDLL::init() {
    const std::string path = lumeLibraryPath();
    if (!module) module = lumesys::loadLibrary(path);
    if (!module) {
        const unsigned long error = tvxlog::lastSystemError();
        TVX_LOG(tvxlog::error) << "Failed to load lume dll: '" << path << "': " << tvxlog::errorSuffix(error);
        return false;
    }
    TVX_LOG(tvxlog::debug) << "lume dll is loaded successfuly: '" << path << "'";

    sdkVersion = reinterpret_cast<SdkVersionFn>(lumesys::findFunction(module, "sdkVersion"));
    if (!sdkVersion) TVX_LOG(tvxlog::error) << "Failed to get 'sdkVersion'";
    fetchConfig = reinterpret_cast<FetchConfigFn>(lumesys::findFunction(module, "fetchConfig"));
    if (!fetchConfig) TVX_LOG(tvxlog::error) << "Failed to get 'fetchConfig'";
    sendInfo = reinterpret_cast<SendInfoFn>(lumesys::findFunction(module, "sendInfo"));
    if (!sendInfo) TVX_LOG(tvxlog::error) << "Failed to get 'sendInfo'";

    if (sdkVersion)
        TVX_LOG(tvxlog::info) << "Lume SDK version: " << sdkVersion();
    else
        TVX_LOG(tvxlog::info) << "Lume SDK version: " << "'sdkVersion' method is null";
    if (fetchConfig)
        TVX_LOG(tvxlog::info) << "Lume config: " << fetchConfig("qmAgent");
    else
        TVX_LOG(tvxlog::info) << "Lume config: " << "'fetchConfig' method is null";
    return true;
}
