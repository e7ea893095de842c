// Host side of the logger, for the native build and its tests. Paths use
// backslashes as on Windows; they are turned into slashes at the file system.
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>

#include "log.h"
#include "log_appenders.h"
#include "logging.h"

namespace tvxlog {

const char* const kNewLine = "\n";

unsigned long currentThreadId() { return static_cast<unsigned long>(::syscall(SYS_gettid)); }

unsigned long lastSystemError() { return static_cast<unsigned long>(errno); }

LocalTime currentLocalTime() {
    auto now = std::chrono::system_clock::now();
    std::time_t t = std::chrono::system_clock::to_time_t(now);
    std::tm tm{};
    localtime_r(&t, &tm);
    int ms = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
    return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, ms};
}

// The texts Windows gives for the codes the host build meets.
std::string systemErrorText(unsigned long code) {
    switch (code) {
        case 0: return "The operation completed successfully.";
        case 2: return "The system cannot find the file specified.";
        case 3: return "The system cannot find the path specified.";
        case 5: return "Access is denied.";
        case 6: return "The handle is invalid.";
        case 8: return "Not enough memory resources are available to process this command.";
        case 87: return "The parameter is incorrect.";
        case 234: return "More data is available.";
        case 259: return "No more data is available.";
        case 1630: return "Data of this type is not supported.";
        default: return "Unknown error " + std::to_string(code) + ".";
    }
}

void ColorConsoleAppender::write(const LogRecord& record) {
    const bool tty = ::isatty(STDOUT_FILENO);
    const char* colour = nullptr;
    switch (record.severity) {
        case fatal: colour = "\x1B[97m\x1B[41m"; break;
        case error: colour = "\x1B[91m"; break;
        case warning: colour = "\x1B[93m"; break;
        case debug:
        case verbose: colour = "\x1B[96m"; break;
        default: break;
    }
    if (tty && colour) std::fputs(colour, stdout);
    std::fwrite(record.message.data(), 1, record.message.size(), stdout);
    if (tty && colour) std::fputs("\x1B[0m\x1B[0K", stdout);
    std::fputs("\n", stdout);
    std::fflush(stdout);
}

}  // namespace tvxlog

namespace {

std::string hostPath(std::string path) {
    for (auto& c : path)
        if (c == '\\') c = '/';
    return path;
}

unsigned long createDirectoriesNative(const std::string& path) {
    std::error_code ec;
    std::filesystem::create_directories(hostPath(path), ec);
    if (!ec || std::filesystem::is_directory(hostPath(path))) return 0;
    return 3;  // ERROR_PATH_NOT_FOUND
}

std::string commonAppDataNative() {
    const char* dir = std::getenv("TVX_COMMON_APPDATA");
    return dir ? dir : "/tmp/tvx-programdata";
}

std::string localTimeStampNative() {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H-%M-%S", &tm);
    return text;
}

}  // namespace

LogFolderOps& logFolderOps() {
    static LogFolderOps ops{createDirectoriesNative, commonAppDataNative, localTimeStampNative};
    return ops;
}
