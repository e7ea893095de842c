// Windows side of the logger: thread ids, local time, console colours, error
// texts and the log folder.
#include <windows.h>
#include <shlobj.h>

#include <cstdio>
#include <ctime>
#include <string>

#include "log.h"
#include "log_appenders.h"
#include "logging.h"

namespace tvxlog {

const char* const kNewLine = "\r\n";

unsigned long currentThreadId() { return GetCurrentThreadId(); }

unsigned long lastSystemError() { return GetLastError(); }

LocalTime currentLocalTime() {
    SYSTEMTIME st;
    GetLocalTime(&st);
    return {st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds};
}

std::string systemErrorText(unsigned long code) {
    wchar_t* buffer = nullptr;
    DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                 FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                             reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::u16string text;
    if (n && buffer) text.assign(reinterpret_cast<const char16_t*>(buffer), n);
    if (buffer) LocalFree(buffer);
    while (!text.empty() && (text.back() == u'\r' || text.back() == u'\n' || text.back() == u' '))
        text.pop_back();
    return toUtf8(text);
}

void ColorConsoleAppender::write(const LogRecord& record) {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    CONSOLE_SCREEN_BUFFER_INFO info{};
    const bool console = out != INVALID_HANDLE_VALUE && GetConsoleScreenBufferInfo(out, &info);
    WORD colour = 0;
    switch (record.severity) {
        case fatal: colour = FOREGROUND_RED | FOREGROUND_GREEN | FOREGROUND_BLUE | FOREGROUND_INTENSITY | BACKGROUND_RED; break;
        case error: colour = static_cast<WORD>(FOREGROUND_RED | FOREGROUND_INTENSITY | (info.wAttributes & 0xf0)); break;
        case warning: colour = static_cast<WORD>(FOREGROUND_RED | FOREGROUND_GREEN | FOREGROUND_INTENSITY | (info.wAttributes & 0xf0)); break;
        case debug:
        case verbose: colour = static_cast<WORD>(FOREGROUND_GREEN | FOREGROUND_BLUE | FOREGROUND_INTENSITY | (info.wAttributes & 0xf0)); break;
        default: break;
    }
    if (console && colour) SetConsoleTextAttribute(out, colour);
    std::fwrite(record.message.data(), 1, record.message.size(), stdout);
    std::fputs("\n", stdout);
    std::fflush(stdout);
    if (console && colour) SetConsoleTextAttribute(out, info.wAttributes);
}

}  // namespace tvxlog

namespace {

unsigned long createDirectoriesWin32(const std::string& path) {
    std::u16string wide = tvxlog::toUtf16(path);
    int rc = SHCreateDirectoryExW(nullptr, reinterpret_cast<const wchar_t*>(wide.c_str()), nullptr);
    if (rc == ERROR_SUCCESS || rc == ERROR_ALREADY_EXISTS || rc == ERROR_FILE_EXISTS) return 0;
    return static_cast<unsigned long>(rc);
}

std::string commonAppDataWin32() {
    char folder[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder))) return {};
    return folder;
}

std::string localTimeStampWin32() {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_s(&tm, &now);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H-%M-%S", &tm);
    return text;
}

}  // namespace

LogFolderOps& logFolderOps() {
    static LogFolderOps ops{createDirectoriesWin32, commonAppDataWin32, localTimeStampWin32};
    return ops;
}
