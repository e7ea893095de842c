// Linux has none of the Windows console programs. The one question among
// them that Linux answers locally, the OS name and version, is answered from
// os-release in wmic's "/value" lines; every other command is not installed.
#include <fstream>
#include <sstream>

#include "command_runner.h"
#include "proc_files.h"

namespace {

std::string readOsRelease() {
    for (const char* path : {"/etc/os-release", "/usr/lib/os-release"}) {
        std::ifstream in(path);
        if (!in) continue;
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }
    return {};
}

}  // namespace

CommandOutcome runCommandFor(const std::string& commandLine, const LineHandler& parseLine, std::uint32_t) {
    if (commandLine != kWmicOsCommand) return CommandOutcome::failed;
    const OsRelease os = parseOsRelease(readOsRelease());
    parseLine("Caption=" + os.prettyName + "\r");
    parseLine("Version=" + os.versionId + "\r");
    return CommandOutcome::finished;
}
