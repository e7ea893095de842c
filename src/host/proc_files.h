// Readers of the files in which Linux keeps the host facts: /proc/stat and
// os-release. Plain text in, plain values out.
#pragma once

#include <string>
#include <string_view>

#include "host_facts.h"

// The machine-wide "cpu" line of /proc/stat in the Windows shape: 100 ns
// units, kernel time including the idle time. clockTicks is USER_HZ. False
// when the line is missing or short.
bool parseProcStat(std::string_view text, long clockTicks, CpuTimes& out);

struct OsRelease {
    std::string prettyName;  // PRETTY_NAME, else NAME
    std::string versionId;   // VERSION_ID
};
// os-release's shell-like assignments: quotes and backslash escapes removed.
OsRelease parseOsRelease(std::string_view text);
