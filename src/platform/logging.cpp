#include "logging.h"

#include <algorithm>
#include <mutex>

#include "log.h"
#include "settings.h"

namespace {

std::mutex loggingMutex;
bool loggingInitialised = false;

constexpr int kFolderError = -602;
constexpr std::uint32_t kDefaultMaxFileSize = 0x500000;
constexpr std::uint32_t kDefaultMaxFileCount = 10;

int effectiveThreshold(std::uint32_t severity) {
    // Negative values read as unsigned are above 7 too.
    return static_cast<int>(std::min<std::uint32_t>(severity, 7));
}

}  // namespace

const char* logKindName(unsigned logKind) {
    switch (logKind) {
        case 0: return "test";
        case 1: return "citrix";
        case 2: return "vmware";
        case 3: return "rdp";
        case 4: return "amazon_dcv";
        default: return "none";
    }
}

bool readLogSettings(LogSettings& out) {
    winreg::RegistryKey key;
    if (key.tryOpen(winreg::currentUser(), kLogClientKey) != 0) return false;
    out = LogSettings{};
    out.threshold = effectiveThreshold(key.tryGetDwordValue(u"severity").value_or(0));
    out.pathRoot = tvxlog::toUtf8(key.tryGetStringValue(u"path_root").value_or(u""));
    auto size = key.tryGetDwordValue(u"max_file_size").value_or(0);
    auto count = key.tryGetDwordValue(u"max_file_count").value_or(0);
    // Either one missing or zero: both take their defaults together.
    if (size == 0 || count == 0) {
        size = kDefaultMaxFileSize;
        count = kDefaultMaxFileCount;
    }
    out.maxFileSize = size;
    out.maxFileCount = count;
    return true;
}

int makeLogFileName(unsigned logKind, std::string pathRoot, std::string& fileName) {
    LogFolderOps& ops = logFolderOps();
    if (pathRoot.size() >= 3 && ops.createDirectories(pathRoot) != 0) pathRoot.clear();
    std::string folder;
    if (pathRoot.size() >= 4) {
        folder = pathRoot;
    } else {
        // A system with a state folder of its own (the Linux add-in) logs there.
        if (ops.defaultFolder) folder = ops.defaultFolder();
        if (folder.empty()) {
            folder = ops.commonAppData();
            if (folder.empty()) folder = "c:\\temp";
            folder += "\\Quillmere\\Telvista\\Logs";
        }
    }
    if (ops.createDirectories(folder) != 0) return kFolderError;
    fileName = folder + "\\tvx_client_dll_" + logKindName(logKind) + "_[" + ops.localTimeStamp() + "].log";
    return 0;
}

int initLogging(unsigned logKind, int severity) {
    std::lock_guard<std::mutex> lock(loggingMutex);
    if (loggingInitialised) return 0;
    loggingInitialised = true;
    try {
        if (logKind == 0) {
            int threshold = severity == 0 ? 7 : severity;
            std::string fileName;
            if (makeLogFileName(0, std::string(), fileName) != 0) return kFolderError;
            tvxlog::startLogger(fileName, threshold, kDefaultMaxFileSize, kDefaultMaxFileCount, true);
            return 0;
        }
        LogSettings settings;
        if (!readLogSettings(settings)) return 0;
        if (settings.threshold == 0) return 0;
        std::string fileName;
        if (makeLogFileName(logKind, settings.pathRoot, fileName) != 0) return kFolderError;
        tvxlog::startLogger(fileName, settings.threshold, settings.maxFileSize, settings.maxFileCount, false);
        return 0;
    } catch (...) {
        return -2;
    }
}

namespace tvxlog {
void resetInitLoggingForTests() {
    std::lock_guard<std::mutex> lock(loggingMutex);
    loggingInitialised = false;
}
}  // namespace tvxlog
