// Host facts from Linux's own sources: the login name, the host name and
// /proc/stat. Linux has no Ktr agent registry: its key reads as missing.
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <fstream>
#include <sstream>
#include <vector>

#include "host_facts.h"
#include "proc_files.h"

namespace hostsys {

bool userName(std::string& out) {
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found || !found->pw_name)
        return false;
    out = found->pw_name;
    return !out.empty();
}

bool computerName(std::string& out) {
    char name[HOST_NAME_MAX + 1] = {};
    if (gethostname(name, sizeof name - 1) != 0) return false;
    out = name;
    return !out.empty();
}

KtrDeviceIdRead readKtrDeviceId() { return {2, 0, {}}; }  // ERROR_FILE_NOT_FOUND

bool systemTimes(CpuTimes& out) {
    std::ifstream in("/proc/stat");
    std::ostringstream text;
    text << in.rdbuf();
    if (!in || !parseProcStat(text.str(), sysconf(_SC_CLK_TCK), out)) {
        if (errno == 0) errno = ENOENT;
        return false;
    }
    return true;
}

}  // namespace hostsys
