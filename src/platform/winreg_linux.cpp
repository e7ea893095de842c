// Linux has no registry: the settings files stand in for its two hives.
#include "settings_file.h"
#include "xdg_dirs.h"

namespace winreg {
Backend& defaultBackend() {
    static SettingsFileBackend files("/etc/doza-plugin/settings.conf", [] {
        const std::string config = xdgConfigHome();
        return config.empty() ? std::string() : config + "/doza-plugin/settings.conf";
    }());
    return files;
}
}  // namespace winreg
