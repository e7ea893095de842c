#include "host_facts.h"

#include <chrono>
#include <mutex>

#include "platform/log.h"
#include "platform/platform_service.h"
#include "platform/retry_backoff.h"
#include "version_info.h"

namespace {

double calendarSeconds() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

std::string ownModuleFileVersion() { return CMcVersionInfo().getFileVersionA(); }

// A cached text whose window starts when it was last emptied, not when it
// was last found: a missing fact is looked for again on every call.
struct Cached {
    std::mutex mutex;
    std::string value;
    std::string second;  // the OS version beside the OS name
    double windowStart = 0;

    void applyExpiry() {
        const double now = hostOps().now();
        if (now - windowStart > kHostFactLifetimeSeconds) {
            value.clear();
            second.clear();
            windowStart = now;
        }
    }
};

Cached userCache, computerCache, osCache, ktrCache, versionCache;
// OS facts not found (no wmic, no PowerShell) are looked for again later and
// later, not with two PowerShell cold starts every pass. Under osCache.mutex.
RetryBackoff osRetry;

struct CpuState {
    CpuTimes previous;
    bool first = true;
} cpuState;

}  // namespace

HostOps systemHostOps() {
    return {&hostsys::userName, &hostsys::computerName, &runCommand, &hostsys::readKtrDeviceId,
            &hostsys::systemTimes, &ownModuleFileVersion, &calendarSeconds};
}

HostOps& hostOps() {
    static HostOps ops = systemHostOps();
    return ops;
}

void resetHostFactsForTests() {
    for (Cached* c : {&userCache, &computerCache, &osCache, &ktrCache, &versionCache}) {
        std::lock_guard<std::mutex> lock(c->mutex);
        c->value.clear();
        c->second.clear();
        c->windowStart = 0;
        if (c == &osCache) osRetry.reset();
    }
    cpuState = CpuState{};
}

std::int32_t getCurrentUserName(Json::Value& metrics) {
    std::lock_guard<std::mutex> lock(userCache.mutex);
    std::string& name = userCache.value;
    userCache.applyExpiry();
    if (name.empty()) {
        TVX_LOG(tvxlog::verbose) << "get user name ...";
        std::string fromSystem;
        if (hostOps().userName(fromSystem)) name = fromSystem;
        if (name.empty())
            hostOps().runCommand(kWhoamiCommand, [&](const std::string& line) { scanLine(line, "%256[^\r\n]", 256, name); });
        const std::size_t slash = name.find('\\');
        if (slash != std::string::npos) name = name.substr(slash + 1);
        TVX_LOG(tvxlog::verbose) << "\tUser name : " << tvxlog::printable(name);
    }
    metrics["userName"] = name;
    return 0;
}

std::int32_t getComputerName(Json::Value& metrics) {
    std::lock_guard<std::mutex> lock(computerCache.mutex);
    std::string& name = computerCache.value;
    computerCache.applyExpiry();
    if (name.empty()) {
        TVX_LOG(tvxlog::verbose) << "get computer name ...";
        std::string fromSystem;
        if (hostOps().computerName(fromSystem)) name = fromSystem;
        if (name.empty()) {
            hostOps().runCommand(kHostnameCommand, [&](const std::string& line) { scanLine(line, "%15[^\r\n]", 15, name); });
            TVX_LOG(tvxlog::verbose) << "\tComputer Name: " << tvxlog::printable(name);
        }
    }
    metrics["computerName"] = name;
    return 0;
}

std::int32_t getOSVersion(Json::Value& metrics) {
    std::lock_guard<std::mutex> lock(osCache.mutex);
    std::string& name = osCache.value;
    std::string& version = osCache.second;
    osCache.applyExpiry();
    const auto nowMs = static_cast<std::int64_t>(hostOps().now() * 1000);
    if ((name.empty() || version.empty()) && osRetry.due(nowMs)) {
        TVX_LOG(tvxlog::verbose) << "get os version...";
        hostOps().runCommand(kWmicOsCommand, [&](const std::string& line) { parseWmicLine(line, name, version); });
        if (name.empty())
            hostOps().runCommand(kPowerShellCaptionCommand,
                                 [&](const std::string& line) { scanLine(line, "%255[^\r\n]", 255, name); });
        if (version.empty())
            hostOps().runCommand(kPowerShellVersionCommand,
                                 [&](const std::string& line) { scanLine(line, "%255[^\r\n]", 255, version); });
        TVX_LOG(tvxlog::debug) << "\tos info: \n\t\tname : " << tvxlog::printable(name)
                               << "\n\t\tversion : " << tvxlog::printable(version);
        if (!name.empty() && !version.empty()) osRetry.reset();
        else if (isPassCurrent()) osRetry.failed(nowMs);
    }
    metrics["osName"] = name;
    metrics["osVersionNumber"] = version;
    return 0;
}

std::int32_t getKtrDeviceId(Json::Value& metrics) {
    // Called from the common-metrics task only; the lock is the one thread.
    std::string& id = ktrCache.value;
    ktrCache.applyExpiry();
    if (id.empty()) {
        TVX_LOG(tvxlog::verbose) << "Calling getKtrDeviceId...";
        const KtrDeviceIdRead read = hostOps().readKtrDeviceId();
        if (read.openError != 0) {
            TVX_LOG(tvxlog::warning) << "Cannot open registry key HKLM\\SOFTWARE\\Ombrel\\KTR; error : "
                                     << tvxlog::errorSuffix(static_cast<unsigned long>(read.openError));
        } else {
            if (read.readError != 0)
                TVX_LOG(tvxlog::warning) << "Cannot read registry value HKLM\\SOFTWARE\\Ombrel\\KTR\\device_id; error : "
                                         << tvxlog::errorSuffix(static_cast<unsigned long>(read.readError));
            const std::string bytes = read.readError != 0 ? std::string() : read.bytes;
            id = bytes.substr(0, bytes.find('\0'));
            TVX_LOG(tvxlog::debug) << "Detected KTR deviceId : " << id;
        }
    }
    metrics["ktrDeviceId"] = id;
    return 0;
}

std::int32_t getClientVersion(Json::Value& metrics) {
    std::lock_guard<std::mutex> lock(versionCache.mutex);
    if (versionCache.value.empty()) {
        versionCache.value = hostOps().ownFileVersion();
        TVX_LOG(tvxlog::debug) << "Client version: " << versionCache.value;
    }
    metrics["client_version"] = versionCache.value;
    return 0;
}

double cpuUsagePercent(const CpuTimes& previous, const CpuTimes& now) {
    const std::uint64_t idle = now.idle - previous.idle;
    const std::uint64_t total = (now.kernel - previous.kernel) + (now.user - previous.user);
    if (total == 0) return 0.0;
    // Counters that went backwards between readings give 0, not a huge share.
    const double busy = static_cast<double>(total) - static_cast<double>(idle);
    return busy <= 0 ? 0.0 : busy * 100.0 / static_cast<double>(total);
}

int roundCpuUsage(double percent) {
    if (percent < 0.1) return 0;
    if (percent < 1.0) return 1;
    return static_cast<int>(percent + 0.5);
}

std::int32_t getCpuUsage(Json::Value& metrics) {
    CpuTimes now;
    double usage = -1.0;
    if (hostOps().systemTimes(now)) {
        usage = cpuState.first ? 0.0 : cpuUsagePercent(cpuState.previous, now);
        cpuState.first = false;
        cpuState.previous = now;
    }
    if (usage < 0) {
        const unsigned long code = tvxlog::lastSystemError();
        TVX_LOG(tvxlog::error) << "CPU Usage error : " << tvxlog::errorSuffix(code);
        return -1;
    }
    TVX_LOG(tvxlog::debug) << "CPU Usage : " << usage;
    metrics["cpu_usage"] = roundCpuUsage(usage);
    return 0;
}
