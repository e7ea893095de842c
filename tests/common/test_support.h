// Helpers shared by the native and the Windows tests.
#pragma once

#include <memory>
#include <string>

#include "platform/log.h"
#include "platform/log_appenders.h"
#include "platform/winreg.h"

namespace tvxtest {

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

}  // namespace tvxtest
