// Turning the process-wide logger on from the Log\client settings.
#pragma once

#include <cstdint>
#include <string>

#include "log_appenders.h"
#include "winreg.h"

struct LogSettings {
    int threshold = 0;               // 0 ... 7; 0 leaves logging off
    std::string pathRoot;            // UTF-8; empty for the default folder
    std::uint32_t maxFileSize = 0x500000;
    std::uint32_t maxFileCount = 10;
};

// Reads HKCU Software\Quillmere\Telvista\Log\client with its fall-back rules.
// Empty when the key cannot be opened (logging stays off).
bool readLogSettings(LogSettings& out);

// Log kind -> file name part ("test", "citrix", "vmware", "rdp", "amazon_dcv", "none").
const char* logKindName(unsigned logKind);

// Builds the log file path for a kind and a configured folder. 0 or -602.
int makeLogFileName(unsigned logKind, std::string pathRoot, std::string& fileName);

// Turns logging on once per process. 0, -602 or -2.
int initLogging(unsigned logKind, int severity);

// File-system operations the folder rule needs; replaceable by tests.
struct LogFolderOps {
    // 0 when the folder exists afterwards (ERROR_ALREADY_EXISTS counts as 0),
    // otherwise the system error code.
    unsigned long (*createDirectories)(const std::string& path);
    // The common application data folder, or empty when it cannot be found.
    std::string (*commonAppData)();
    // Local time of the call, "%Y-%m-%d %H-%M-%S".
    std::string (*localTimeStamp)();
    // Where a system without the common application data folder keeps its
    // logs (the Linux add-in's state folder), used as it stands; empty or
    // unset: the common folder rule.
    std::string (*defaultFolder)() = nullptr;
};
LogFolderOps& logFolderOps();

namespace tvxlog {
// Allows initLogging to run again; for tests only.
void resetInitLoggingForTests();
}  // namespace tvxlog
