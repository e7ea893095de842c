// Facts about the endpoint: user, computer, OS, the Ktr agent's device id,
// the plug-in's version and CPU usage. The slow ones are cached for an hour
// (the version for the life of the process).
#pragma once

#include <json/value.h>

#include <cstdint>
#include <string>

#include "command_runner.h"

std::int32_t getCurrentUserName(Json::Value& metrics);
std::int32_t getComputerName(Json::Value& metrics);
std::int32_t getOSVersion(Json::Value& metrics);
std::int32_t getKtrDeviceId(Json::Value& metrics);
std::int32_t getClientVersion(Json::Value& metrics);
std::int32_t getCpuUsage(Json::Value& metrics);

inline constexpr double kHostFactLifetimeSeconds = 3600.0;

struct CpuTimes {
    std::uint64_t idle = 0, kernel = 0, user = 0;  // 100 ns units; kernel includes idle
};

// Busy share in percent between two readings; 0.0 when no time passed.
double cpuUsagePercent(const CpuTimes& previous, const CpuTimes& now);
// The reported integer: below 0.1 is 0, below 1 is 1, otherwise rounded half up.
int roundCpuUsage(double percent);

// Result of reading HKLM\SOFTWARE\Ombrel\KTR "device_id" as narrow text into
// 64 bytes: the registry calls' codes and the bytes read.
struct KtrDeviceIdRead {
    long openError = 0;
    long readError = 0;
    std::string bytes;
};

// The system calls behind the facts; the product's are the platform
// adapter's, tests put their own in place.
struct HostOps {
    bool (*userName)(std::string& out);      // user of the calling thread (256 bytes)
    bool (*computerName)(std::string& out);  // refuses 15-character names
    std::int32_t (*runCommand)(const std::string& commandLine, const LineHandler& parseLine);
    KtrDeviceIdRead (*readKtrDeviceId)();
    bool (*systemTimes)(CpuTimes& out);
    std::string (*ownFileVersion)();  // the plug-in module's file version
    double (*now)();                  // calendar time in seconds
};
HostOps& hostOps();
// The product's operations.
HostOps systemHostOps();
// Empties every cache and the CPU state. Tests only.
void resetHostFactsForTests();

// Platform adapter (host_facts_win32.cpp / host_facts_native.cpp).
namespace hostsys {
bool userName(std::string& out);
bool computerName(std::string& out);
KtrDeviceIdRead readKtrDeviceId();
bool systemTimes(CpuTimes& out);
}  // namespace hostsys
