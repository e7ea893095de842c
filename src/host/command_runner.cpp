#include "command_runner.h"

#include <cctype>
#include <cstdio>
#include <vector>

#include "platform/log.h"

std::int32_t runCommand(const std::string& commandLine, const LineHandler& parseLine) {
    return runCommandFor(commandLine, parseLine, kCommandTimeLimitMs) == CommandOutcome::failed ? -1 : 0;
}

void LineSplitter::feed(std::string_view chunk) {
    if (form_ == Form::unknown && !chunk.empty()) {
        const bool bom = chunk.starts_with("\xFF\xFE");
        form_ = bom || (chunk.size() >= 2 && chunk[0] != '\0' && chunk[1] == '\0') ? Form::utf16 : Form::bytes;
        if (bom) chunk.remove_prefix(2);
    }
    if (form_ == Form::utf16) return feedUtf16(chunk);
    chunk = chunk.substr(0, chunk.find('\0'));
    for (;;) {
        const std::size_t lf = chunk.find('\n');
        const std::string_view piece = chunk.substr(0, lf);
        if (pending_.size() < kMaxLine) pending_.append(piece.substr(0, kMaxLine - pending_.size()));
        if (lf == std::string_view::npos) return;
        emit();
        chunk.remove_prefix(lf + 1);
    }
}

void LineSplitter::feedUtf16(std::string_view chunk) {
    for (char c : chunk) {
        const auto byte = static_cast<unsigned char>(c);
        if (oddByte_ < 0) {
            oddByte_ = byte;
            continue;
        }
        const auto unit = static_cast<char16_t>(oddByte_ | byte << 8);
        oddByte_ = -1;
        if (unit == u'\n') emit();
        else if (unit != 0 && wide_.size() < kMaxLine) wide_ += unit;
    }
}

void LineSplitter::emit() {
    if (form_ == Form::utf16) {
        pending_ = tvxlog::toUtf8(wide_);
        wide_.clear();
    } else if (decode_) {
        pending_ = decode_(pending_);
    }
    parseLine_(pending_);
    pending_.clear();
}

void LineSplitter::finish() {
    if (pending_.empty() && wide_.empty()) return;
    emit();
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

std::string systemProgramPath(const std::string& commandLine, const std::string& systemFolder) {
    if (commandLine.starts_with('"')) {
        const std::size_t end = commandLine.find('"', 1);
        const std::string path = commandLine.substr(1, end == std::string::npos ? end : end - 1);
        const bool absolute = (path.size() > 2 && path[1] == ':' && (path[2] == '\\' || path[2] == '/')) ||
                              path.starts_with("\\\\");
        return end != std::string::npos && absolute ? path : std::string();
    }
    std::string name = commandLine.substr(0, commandLine.find(' '));
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (name.ends_with(".exe")) name.resize(name.size() - 4);
    static constexpr std::pair<const char*, const char*> programs[] = {
        {"whoami", "whoami.exe"},
        {"hostname", "hostname.exe"},
        {"nslookup", "nslookup.exe"},
        {"wmic", "wbem\\wmic.exe"},
        {"powershell", "WindowsPowerShell\\v1.0\\powershell.exe"},
    };
    for (const auto& [program, path] : programs)
        if (name == program) return systemFolder + "\\" + path;
    return {};
}
