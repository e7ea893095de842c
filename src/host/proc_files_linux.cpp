#include "proc_files.h"

#include <cstdint>
#include <sstream>
#include <vector>

bool parseProcStat(std::string_view text, long clockTicks, CpuTimes& out) {
    if (clockTicks <= 0) return false;
    std::istringstream in{std::string(text)};
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string label;
        fields >> label;
        if (label != "cpu") continue;
        // user nice system idle iowait irq softirq steal (guest is inside user)
        std::vector<std::uint64_t> t;
        std::uint64_t v = 0;
        while (t.size() < 8 && fields >> v) t.push_back(v);
        if (t.size() < 4) return false;
        t.resize(8, 0);
        const std::uint64_t unit = 10000000ull / static_cast<std::uint64_t>(clockTicks);
        const std::uint64_t idle = t[3] + t[4];
        out.idle = idle * unit;
        out.user = (t[0] + t[1]) * unit;
        out.kernel = (t[2] + t[5] + t[6] + t[7] + idle) * unit;
        return true;
    }
    return false;
}

namespace {

// One value as a POSIX shell would read it: quotes removed, \" \\ \$ \` kept literal.
std::string unquote(std::string_view raw) {
    std::string out;
    char quote = 0;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        const char c = raw[i];
        if (quote == '\'') {
            if (c == '\'') quote = 0;
            else out += c;
        } else if (c == '\\' && i + 1 < raw.size()) {
            out += raw[++i];
        } else if (c == '"' || (c == '\'' && !quote)) {
            quote = quote == c ? 0 : c;
        } else if (!quote && (c == ' ' || c == '\t' || c == '#')) {
            break;
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace

OsRelease parseOsRelease(std::string_view text) {
    OsRelease r;
    std::string name;
    std::istringstream in{std::string(text)};
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const auto eq = line.find('=');
        if (line.empty() || line[0] == '#' || eq == std::string::npos) continue;
        const std::string key = line.substr(0, eq);
        const std::string value = unquote(std::string_view(line).substr(eq + 1));
        if (key == "PRETTY_NAME") r.prettyName = value;
        else if (key == "NAME") name = value;
        else if (key == "VERSION_ID") r.versionId = value;
    }
    if (r.prettyName.empty()) r.prettyName = name;
    return r;
}
