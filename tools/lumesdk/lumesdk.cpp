// Stand-in for the endpoint agent's SDK library. A test scripts it through
// files in the folder named by LUMESDK_STUB_DIR:
//   version.txt          what sdkVersion returns (default "stand-in 1.0")
//   config.txt           what fetchConfig returns; missing: an empty text;
//   config.null          present: fetchConfig returns null
//   sendinfo_result.txt  what sendInfo returns (default "ok")
// and reads back what the plug-in did in calls.log, one line per call:
//   fetchConfig <agent name>
//   sendInfo <agent name> <data, line feeds written as \n>
#ifdef _WIN32
#include <windows.h>
#define LUMESDK_EXPORT __declspec(dllexport)
#else
#define LUMESDK_EXPORT __attribute__((visibility("default")))
#endif

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

namespace {

std::mutex callMutex;
std::string lastResult;  // returned texts stay valid until the next call

std::string stubFile(const char* name) {
#ifdef _WIN32
    char dir[MAX_PATH] = {};
    DWORD n = GetEnvironmentVariableA("LUMESDK_STUB_DIR", dir, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return {};
    return std::string(dir) + "\\" + name;
#else
    const char* dir = std::getenv("LUMESDK_STUB_DIR");
    return dir && *dir ? std::string(dir) + "/" + name : std::string();
#endif
}

bool readFile(const char* name, std::string& out) {
    std::string path = stubFile(name);
    if (path.empty()) return false;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    out.clear();
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) out.append(buffer, n);
    std::fclose(f);
    return true;
}

void record(const std::string& line) {
    std::string path = stubFile("calls.log");
    if (path.empty()) return;
    if (FILE* f = std::fopen(path.c_str(), "ab")) {
        std::fwrite(line.data(), 1, line.size(), f);
        std::fputc('\n', f);
        std::fclose(f);
    }
}

[[maybe_unused]] std::string escapeLineFeeds(const char* text) {
    std::string out;
    for (const char* p = text ? text : "(null)"; *p; ++p) {
        if (*p == '\n') out += "\\n";
        else out += *p;
    }
    return out;
}

}  // namespace

extern "C" {

#ifndef LUMESDK_WITHOUT_SDKVERSION
LUMESDK_EXPORT const char* sdkVersion() {
    std::lock_guard<std::mutex> lock(callMutex);
    if (!readFile("version.txt", lastResult)) lastResult = "stand-in 1.0";
    return lastResult.c_str();
}
#endif

#ifndef LUMESDK_WITHOUT_FETCHCONFIG
LUMESDK_EXPORT const char* fetchConfig(const char* agentName) {
    std::lock_guard<std::mutex> lock(callMutex);
    record(std::string("fetchConfig ") + (agentName ? agentName : "(null)"));
    std::string unused;
    if (readFile("config.null", unused)) return nullptr;
    if (!readFile("config.txt", lastResult)) lastResult.clear();
    return lastResult.c_str();
}
#endif

#ifndef LUMESDK_WITHOUT_SENDINFO
LUMESDK_EXPORT const char* sendInfo(const char* agentName, const char* data) {
    std::lock_guard<std::mutex> lock(callMutex);
    record(std::string("sendInfo ") + (agentName ? agentName : "(null)") + " " + escapeLineFeeds(data));
    if (!readFile("sendinfo_result.txt", lastResult)) lastResult = "ok";
    return lastResult.c_str();
}
#endif
}
