#include "xdg_dirs.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace {

std::string homeFolder() {
    if (const char* home = std::getenv("HOME"); home && *home) return home;
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_dir)
        return found->pw_dir;
    return {};
}

// Relative values are to be ignored, as the base directory rules say.
std::string baseFolder(const char* variable, const char* fallback) {
    if (const char* value = std::getenv(variable); value && value[0] == '/') return value;
    const std::string home = homeFolder();
    return home.empty() ? std::string() : home + fallback;
}

}  // namespace

std::string xdgConfigHome() { return baseFolder("XDG_CONFIG_HOME", "/.config"); }
std::string xdgStateHome() { return baseFolder("XDG_STATE_HOME", "/.local/state"); }
