#include "command_runner.h"

#include <cstdio>
#include <vector>

std::int32_t runCommand(const std::string& commandLine, const LineHandler& parseLine) {
    return runCommandFor(commandLine, parseLine, kCommandTimeLimitMs) == CommandOutcome::failed ? -1 : 0;
}

void LineSplitter::feed(std::string_view chunk) {
    chunk = chunk.substr(0, chunk.find('\0'));
    for (;;) {
        const std::size_t lf = chunk.find('\n');
        const std::string_view piece = chunk.substr(0, lf);
        if (pending_.size() < kMaxLine) pending_.append(piece.substr(0, kMaxLine - pending_.size()));
        if (lf == std::string_view::npos) return;
        parseLine_(pending_);
        pending_.clear();
        chunk.remove_prefix(lf + 1);
    }
}

void LineSplitter::finish() {
    if (pending_.empty()) return;
    parseLine_(pending_);
    pending_.clear();
}

bool scanLine(const std::string& line, const char* format, std::size_t width, std::string& dest) {
    std::vector<char> field(width + 1, '\0');
    if (std::sscanf(line.c_str(), format, field.data()) != 1) return false;
    field[width] = '\0';
    dest = field.data();
    return true;
}

void parseWmicLine(const std::string& line, std::string& osName, std::string& osVersion) {
    scanLine(line, "Caption=%255[^\r\n]", 255, osName);
    scanLine(line, "Version=%255[^\r\n]", 255, osVersion);
}
