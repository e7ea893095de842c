#include "settings_file.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "log.h"
#include "settings.h"

namespace winreg {

namespace {

std::string_view trim(std::string_view s) {
    const auto first = s.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) return {};
    return s.substr(first, s.find_last_not_of(" \t\r") - first + 1);
}

// A DWORD as the registry holds it: decimal, 0x hex, or negative (two's complement).
bool parseDword(std::string_view text, std::uint32_t& out, bool& looksNumeric) {
    std::string s(text);
    const bool negative = !s.empty() && s[0] == '-';
    const std::string digits = negative ? s.substr(1) : s;
    const bool hex = digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X');
    looksNumeric = !digits.empty() && (hex || digits.find_first_not_of("0123456789") == std::string::npos);
    if (!looksNumeric) return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(digits.c_str(), &end, hex ? 16 : 10);
    if (errno == ERANGE || *end != '\0') return false;
    if (negative ? v > 0x80000000ull : v > 0xFFFFFFFFull) return false;
    out = static_cast<std::uint32_t>(negative ? 0ull - v : v);
    return true;
}

}  // namespace

std::vector<std::string> parseSettingsFile(std::string_view text, Hkey root, MemoryBackend& store) {
    std::vector<std::string> problems;
    std::u16string key = kSettingsRoot;
    store.createKey(root, key);
    std::size_t lineNumber = 0;
    while (!text.empty()) {
        const auto eol = text.find('\n');
        const std::string_view line = trim(text.substr(0, eol));
        text = eol == std::string_view::npos ? std::string_view() : text.substr(eol + 1);
        ++lineNumber;
        auto problem = [&](const char* what) {
            problems.push_back("line " + std::to_string(lineNumber) + ": " + what + ": " + std::string(line));
        };
        if (line.empty() || line[0] == '#' || line[0] == ';') continue;
        if (line[0] == '[') {
            std::string name = line.back() == ']' ? std::string(trim(line.substr(1, line.size() - 2))) : "";
            if (name.empty()) {
                problem("section without its name or closing bracket");
                // Values up to the next good section would land in the wrong key.
                key.clear();
                continue;
            }
            for (char& c : name)
                if (c == '/') c = '\\';
            key = std::u16string(kSettingsRoot) + u"\\" + tvxlog::toUtf16(name);
            store.createKey(root, key);
            continue;
        }
        const auto eq = line.find('=');
        if (eq == std::string_view::npos || trim(line.substr(0, eq)).empty()) {
            problem("not a name = value line");
            continue;
        }
        if (key.empty()) {
            problem("value under a section that could not be read");
            continue;
        }
        const std::u16string name = tvxlog::toUtf16(trim(line.substr(0, eq)));
        const std::string_view value = trim(line.substr(eq + 1));
        if (!value.empty() && value.front() == '"') {
            if (value.size() < 2 || value.back() != '"') {
                problem("text without its closing quote");
                continue;
            }
            store.setString(root, key, name, tvxlog::toUtf16(value.substr(1, value.size() - 2)));
            continue;
        }
        std::uint32_t number = 0;
        bool numeric = false;
        if (parseDword(value, number, numeric)) {
            store.setDword(root, key, name, number);
        } else if (numeric) {
            problem("number outside 32 bits");
        } else {
            store.setString(root, key, name, tvxlog::toUtf16(value));
        }
    }
    return problems;
}

SettingsFileBackend::SettingsFileBackend(std::string machineFile, std::string userFile)
    : files_{{std::move(machineFile), localMachine()}, {std::move(userFile), currentUser()}} {}

void SettingsFileBackend::refresh() {
    bool changed = false;
    for (File& f : files_) {
        struct stat st {};
        std::string stamp;
        if (!f.path.empty() && ::stat(f.path.c_str(), &st) == 0)
            stamp = std::to_string(st.st_ino) + ":" + std::to_string(st.st_size) + ":" +
                    std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
        if (stamp == f.stamp) continue;
        changed = true;
        f.stamp = stamp;
        f.text.clear();
        if (!stamp.empty()) {
            std::ifstream in(f.path, std::ios::binary);
            std::ostringstream content;
            content << in.rdbuf();
            f.text = content.str();
        }
        f.reported = false;
    }
    if (changed) {
        store_.clear();
        for (File& f : files_) {
            f.problems.clear();
            if (!f.stamp.empty()) f.problems = parseSettingsFile(f.text, f.root, store_);
        }
    }
    // Files are first read while logging starts; their problems are told once it is on.
    for (File& f : files_) {
        if (f.reported || !tvxlog::isEnabled(tvxlog::warning)) continue;
        f.reported = true;
        for (const auto& p : f.problems) TVX_LOG(tvxlog::warning) << "settings file " << f.path << " " << p << " (skipped)";
    }
}

long SettingsFileBackend::openKey(Hkey root, const std::u16string& subKey, std::uint32_t access, Hkey* out) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (isPredefinedRoot(root)) {
        if (root != localMachine() && root != currentUser()) return kErrorFileNotFound;
        refresh();
    }
    return store_.openKey(root, subKey, access, out);
}

long SettingsFileBackend::closeKey(Hkey key) {
    std::lock_guard<std::mutex> lock(mutex_);
    return store_.closeKey(key);
}

long SettingsFileBackend::getValue(Hkey key, const std::u16string& name, std::uint32_t flags, std::uint32_t* type,
                                   void* data, std::uint32_t* size) {
    std::lock_guard<std::mutex> lock(mutex_);
    return store_.getValue(key, name, flags, type, data, size);
}

long SettingsFileBackend::queryInfo(Hkey key, std::uint32_t* valueCount, std::uint32_t* maxValueNameChars) {
    std::lock_guard<std::mutex> lock(mutex_);
    return store_.queryInfo(key, valueCount, maxValueNameChars);
}

long SettingsFileBackend::enumValue(Hkey key, std::uint32_t index, char16_t* name, std::uint32_t* nameChars,
                                    std::uint32_t* type) {
    std::lock_guard<std::mutex> lock(mutex_);
    return store_.enumValue(key, index, name, nameChars, type);
}

}  // namespace winreg
