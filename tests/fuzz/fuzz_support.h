// Shared by the fuzz targets: every log line is formatted (the first line of
// the dispatcher reads the message) and then dropped.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "platform/log.h"
#include "platform/log_appenders.h"

namespace tvxfuzz {

class DroppingAppender : public tvxlog::Appender {
public:
    void write(const tvxlog::LogRecord& record) override { (void)tvxlog::formatTxtLine(record); }
};

inline void startLogging() {
    static const bool started = [] {
        tvxlog::addAppenderForTests(std::make_unique<DroppingAppender>(), tvxlog::verbose);
        return true;
    }();
    (void)started;
}

// A broken invariant is a finding: report it and stop with a crash libFuzzer saves.
[[noreturn]] inline void broken(const char* what, const char* detail = "") {
    std::fprintf(stderr, "invariant broken: %s %s\n", what, detail);
    std::abort();
}

}  // namespace tvxfuzz
