#include "settings.h"

#include <exception>
#include <optional>

#include "log.h"
#include "winreg.h"

namespace {

std::optional<std::uint32_t> readDword(winreg::Hkey hive, const char16_t* key, const char16_t* name) {
    winreg::RegistryKey k;
    if (k.tryOpen(hive, key) != 0) return {};
    return k.tryGetDwordValue(name);
}

std::string readMachineText(const char16_t* name, const char* defaultValue) {
    winreg::RegistryKey k;
    if (k.tryOpen(winreg::localMachine(), kSettingKey) != 0) return defaultValue;
    auto value = k.tryGetStringValue(name);
    return value && !value->empty() ? tvxlog::toUtf8(*value) : std::string(defaultValue);
}

}  // namespace

std::uint32_t readPublicIpLookupMethod() {
    std::uint32_t method = readDword(winreg::currentUser(), kSettingKey, u"PublicIpLookupMethod").value_or(0);
    if (method == 0) method = readDword(winreg::localMachine(), kSettingKey, u"PublicIpLookupMethod").value_or(0);
    return method;
}

std::string readEndPointFromRegistry(const std::string& defaultName) {
    try {
        winreg::RegistryKey key;
        long rc = key.tryOpen(winreg::localMachine(), kMetricsKey);
        if (rc != 0) {
            TVX_LOG(tvxlog::warning) << "Cannot open registry key HKLM\\" << tvxlog::toUtf8(kMetricsKey)
                                     << "; error: " << tvxlog::systemErrorText(static_cast<unsigned long>(rc));
            return defaultName;
        }
        auto value = key.tryGetStringValue(u"SampleEndpoint");
        if (!value) return defaultName;
        return tvxlog::toUtf8(*value);
    } catch (const std::exception& e) {
        TVX_LOG(tvxlog::error) << "Exception on open registry key sampleEndpoint " << e.what();
    } catch (...) {
        TVX_LOG(tvxlog::error) << "error on open registry key sampleEndpoint " << tvxlog::lastSystemError();
    }
    return defaultName;
}

std::string readLocationServiceHost() { return readMachineText(u"LocationServiceHost", kDefaultLocationServiceHost); }

std::string readLocationServiceKey() { return readMachineText(u"LocationServiceKey", kDefaultLocationServiceKey); }
