// Helpers shared by the native and the Windows tests.
#pragma once

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#endif

#include "platform/log.h"
#include "platform/log_appenders.h"
#include "platform/winreg.h"

namespace tvxtest {

#ifdef _WIN32
// The test program's folder, where the build puts the DLL and the stand-ins.
inline std::filesystem::path exeFolder() {
    wchar_t path[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    return std::filesystem::path(std::wstring(path, n)).parent_path();
}
#endif

// Captures every log line at the given threshold for the life of the object.
class LogCapture {
public:
    explicit LogCapture(int threshold = tvxlog::verbose) {
        tvxlog::resetLoggerForTests();
        auto appender = std::make_unique<tvxlog::MemoryAppender>();
        memory_ = appender.get();
        tvxlog::addAppenderForTests(std::move(appender), threshold);
    }
    ~LogCapture() { tvxlog::resetLoggerForTests(); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    tvxlog::MemoryAppender& lines() { return *memory_; }
    bool contains(int severity, const std::string& function, const std::string& message) const {
        return memory_->contains(severity, function, message);
    }
    // A line whose message starts with text (the system's message text follows).
    bool containsPrefix(int severity, const std::string& function, const std::string& text) const {
        for (const auto& l : memory_->lines())
            if (l.severity == severity && l.function == function && l.message.rfind(text, 0) == 0) return true;
        return false;
    }
    std::size_t count() const { return memory_->lines().size(); }

private:
    tvxlog::MemoryAppender* memory_;
};

// Routes the registry layer to an empty in-memory registry for the life of
// the object.
class MemoryRegistry {
public:
    MemoryRegistry() : previous_(winreg::setBackend(&store_)) {}
    ~MemoryRegistry() { winreg::setBackend(previous_); }
    MemoryRegistry(const MemoryRegistry&) = delete;
    MemoryRegistry& operator=(const MemoryRegistry&) = delete;
    winreg::MemoryBackend* operator->() { return &store_; }
    winreg::MemoryBackend& store() { return store_; }

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
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace tvxtest
