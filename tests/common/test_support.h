// Helpers shared by the native and the Windows tests.
#pragma once

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#ifdef _WIN32
#include <windows.h>

#include "host/command_runner.h"
#endif

#include "platform/log.h"
#include "platform/log_appenders.h"
#include "platform/winreg.h"

namespace tvxtest {

// The helpers below own what they change; a copy would undo it twice.
struct NoCopy {
    NoCopy() = default;
    NoCopy(const NoCopy&) = delete;
    NoCopy& operator=(const NoCopy&) = delete;
};

// Inside tests/lab/lab; the lab tests skip elsewhere.
inline bool inLab() {
    const char* lab = std::getenv("TVX_LAB");
    return lab != nullptr && std::string(lab) == "1";
}

// In the lab, and the lab runs this variant of its topology.
inline bool inLabVariant(const char* variant) {
    const char* v = std::getenv("TVX_LAB_VARIANT");
    return inLab() && v != nullptr && std::string(v) == variant;
}

#ifdef _WIN32
// The test program's folder, where the build puts the DLL and the stand-ins.
inline std::filesystem::path exeFolder() {
    wchar_t path[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    return std::filesystem::path(std::wstring(path, n)).parent_path();
}

// A folder of that name in the temporary folder.
inline std::filesystem::path tempFolder(const char* name) {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    return std::filesystem::path(temp) / name;
}

// A registry value (text or DWORD) for the life of the object.
class RegValue : NoCopy {
public:
    RegValue(HKEY root, const wchar_t* key, const wchar_t* name, std::variant<std::wstring, DWORD> v)
        : root_(root), key_(key), name_(name) {
        if (auto* text = std::get_if<std::wstring>(&v))
            RegSetKeyValueW(root, key, name, REG_SZ, text->c_str(), static_cast<DWORD>((text->size() + 1) * 2));
        else
            RegSetKeyValueW(root, key, name, REG_DWORD, &std::get<DWORD>(v), sizeof(DWORD));
    }
    ~RegValue() { RegDeleteKeyValueW(root_, key_, name_); }

private:
    HKEY root_;
    const wchar_t *key_, *name_;
};

// The scripted console program put where the command runner looks for a
// command (whoami, wmic, PowerShell...): the system folder of the tests' own
// Wine prefix. Each copy follows the steps in TVX_CONSOLE_<NAME>; the
// system's own program is set aside and put back afterwards.
class ConsoleStandIns : NoCopy {
public:
    ConsoleStandIns() = default;
    ConsoleStandIns(std::initializer_list<std::pair<std::string, std::string>> named) {
        for (const auto& [name, steps] : named) place(name, steps);
    }
    ~ConsoleStandIns() {
        for (const auto& f : placed_) {
            DeleteFileW(f.c_str());
            MoveFileExW((f.wstring() + L".tvx-saved").c_str(), f.c_str(), MOVEFILE_REPLACE_EXISTING);
        }
    }
    bool place(const std::string& name, const std::string& steps) {
        wchar_t system[MAX_PATH] = {};
        const UINT n = GetSystemDirectoryW(system, MAX_PATH);
        const std::u16string folder(reinterpret_cast<const char16_t*>(system), n);
        const std::filesystem::path path = tvxlog::toUtf16(systemProgramPath(name, tvxlog::toUtf8(folder)));
        std::error_code ignored;
        std::filesystem::create_directories(path.parent_path(), ignored);
        const std::wstring saved = path.wstring() + L".tvx-saved";
        if (GetFileAttributesW(saved.c_str()) == INVALID_FILE_ATTRIBUTES) MoveFileW(path.c_str(), saved.c_str());
        placed_.push_back(path);
        std::string upper = name;
        for (auto& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
        SetEnvironmentVariableA(("TVX_CONSOLE_" + upper).c_str(), steps.c_str());
        return CopyFileW((exeFolder() / "tvx_console.exe").c_str(), path.c_str(), FALSE);
    }

private:
    std::vector<std::filesystem::path> placed_;
};
#endif

// Captures every log line at the given threshold for the life of the object.
class LogCapture : NoCopy {
public:
    explicit LogCapture(int threshold = tvxlog::verbose) {
        tvxlog::resetLoggerForTests();
        auto appender = std::make_unique<tvxlog::MemoryAppender>();
        memory_ = appender.get();
        tvxlog::addAppenderForTests(std::move(appender), threshold);
    }
    ~LogCapture() { tvxlog::resetLoggerForTests(); }

    tvxlog::MemoryAppender& lines() { return *memory_; }
    std::size_t count() const { return memory_->lines().size(); }
    // Lines whose message is the text, or starts with it when the system's
    // message text follows.
    std::size_t count(int severity, const std::string& function, const std::string& text, bool prefix = false) const {
        std::size_t n = 0;
        for (const auto& l : memory_->lines())
            n += l.severity == severity && l.function == function &&
                 (prefix ? l.message.rfind(text, 0) == 0 : l.message == text);
        return n;
    }
    bool contains(int severity, const std::string& function, const std::string& message) const {
        return count(severity, function, message) > 0;
    }
    bool containsPrefix(int severity, const std::string& function, const std::string& text) const {
        return count(severity, function, text, true) > 0;
    }
    std::size_t countPrefix(int severity, const std::string& function, const std::string& text) const {
        return count(severity, function, text, true);
    }

private:
    tvxlog::MemoryAppender* memory_;
};

// Puts a replaceable value (a table of system calls) back as it was when the
// object was made.
template <typename T>
class Restore : NoCopy {
public:
    explicit Restore(T& value) : value_(value), saved_(value) {}
    ~Restore() { value_ = saved_; }
    const T& saved() const { return saved_; }

private:
    T& value_;
    T saved_;
};

// Routes the registry layer to an empty in-memory registry for the life of
// the object.
class MemoryRegistry : NoCopy {
public:
    MemoryRegistry() : previous_(winreg::setBackend(&store_)) {}
    ~MemoryRegistry() { winreg::setBackend(previous_); }
    winreg::MemoryBackend* operator->() { return &store_; }

private:
    winreg::MemoryBackend store_;
    winreg::Backend* previous_;
};

// Waits for a condition; false (the test fails) only when it never comes,
// which guards against a hang rather than measuring speed.
template <typename Predicate>
bool waitUntil(Predicate done) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!done()) {
        if (std::chrono::steady_clock::now() > limit) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

inline std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace tvxtest
