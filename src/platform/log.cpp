#include "log.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <mutex>
#include <vector>

#include "log_appenders.h"

namespace tvxlog {

std::atomic<int> g_threshold{0};

const char* severityName(int severity) {
    switch (severity) {
        case fatal: return "FATAL";
        case error: return "ERROR";
        case warning: return "WARN";
        case info: return "INFO";
        case debug: return "DEBUG";
        case verbose: return "VERB";
        case superverbose: return "SVERB";
        default: return "NONE";
    }
}

Record::~Record() {
    try {
        write(severity_, function_, line_, stream_.str());
    } catch (...) {
        // A log line is never worth an exception escaping a destructor.
    }
}

Record& Record::operator<<(const char* text) {
    stream_ << (text ? text : "(null)");
    return *this;
}

Record& Record::operator<<(const wchar_t* text) {
    if (!text) {
        stream_ << "(null)";
        return *this;
    }
    std::u16string wide;
    for (const wchar_t* p = text; *p; ++p) {
        auto c = static_cast<std::uint32_t>(*p);
        if (c > 0xFFFF) {  // four-byte wchar_t hosts: re-encode as a surrogate pair
            c -= 0x10000;
            wide.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
            wide.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
        } else {
            wide.push_back(static_cast<char16_t>(c));
        }
    }
    stream_ << toUtf8(wide);
    return *this;
}

Record& Record::operator<<(const std::u16string& text) {
    stream_ << toUtf8(text);
    return *this;
}

std::string errorSuffix(unsigned long code) {
    return "[" + std::to_string(code) + "] : " + systemErrorText(code);
}

std::string printable(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u != 0x7F) out += c;
        else if (c == '\r') out += "\\r";
        else if (c == '\n') out += "\\n";
        else if (c == '\t') out += "\\t";
        else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", u);
            out += hex;
        }
    }
    return out;
}

std::string toUtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::uint32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;  // a lone surrogate, as WideCharToMultiByte replaces it
        }
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

std::u16string toUtf16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    std::size_t i = 0;
    auto cont = [&](std::size_t k) {
        return i + k < text.size() && (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
    };
    while (i < text.size()) {
        auto b = static_cast<unsigned char>(text[i]);
        std::uint32_t c = 0xFFFD;
        std::size_t len = 1;
        if (b < 0x80) {
            c = b;
        } else if ((b & 0xE0) == 0xC0 && cont(1)) {
            c = ((b & 0x1F) << 6) | (text[i + 1] & 0x3F);
            len = 2;
            if (c < 0x80) c = 0xFFFD;
        } else if ((b & 0xF0) == 0xE0 && cont(1) && cont(2)) {
            c = ((b & 0x0F) << 12) | ((text[i + 1] & 0x3F) << 6) | (text[i + 2] & 0x3F);
            len = 3;
            if (c < 0x800 || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
        } else if ((b & 0xF8) == 0xF0 && cont(1) && cont(2) && cont(3)) {
            c = ((b & 0x07) << 18) | ((text[i + 1] & 0x3F) << 12) | ((text[i + 2] & 0x3F) << 6) |
                (text[i + 3] & 0x3F);
            len = 4;
            if (c < 0x10000 || c > 0x10FFFF) c = 0xFFFD;
        }
        if (c >= 0x10000) {
            c -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(c));
        }
        i += len;
    }
    return out;
}

// ---- the logger: a list of appenders behind one mutex ----

namespace {

struct Logger {
    std::mutex mutex;
    std::vector<std::unique_ptr<Appender>> appenders;
};

Logger& logger() {
    // Never destroyed: task threads may still log while statics go away.
    static Logger* instance = new Logger;
    return *instance;
}

}  // namespace

void write(int severity, const char* function, int line, const std::string& message) {
    LogRecord record{severity, function ? function : "", line, message, currentThreadId(),
                     currentLocalTime()};
    Logger& l = logger();
    std::lock_guard<std::mutex> lock(l.mutex);
    for (auto& a : l.appenders) a->write(record);
}

void startLogger(const std::string& fileName, int threshold, std::uint32_t maxFileSize,
                 std::uint32_t maxFileCount, bool console) {
    Logger& l = logger();
    {
        std::lock_guard<std::mutex> lock(l.mutex);
        l.appenders.push_back(std::make_unique<RollingFileAppender>(fileName, maxFileSize, maxFileCount));
        if (console) l.appenders.push_back(std::make_unique<ColorConsoleAppender>());
    }
    g_threshold.store(std::clamp(threshold, 0, static_cast<int>(superverbose)));
}

void resetLoggerForTests() {
    g_threshold.store(0);
    Logger& l = logger();
    std::lock_guard<std::mutex> lock(l.mutex);
    l.appenders.clear();
}

void addAppenderForTests(std::unique_ptr<Appender> appender, int threshold) {
    Logger& l = logger();
    {
        std::lock_guard<std::mutex> lock(l.mutex);
        l.appenders.push_back(std::move(appender));
    }
    g_threshold.store(threshold);
}

}  // namespace tvxlog
