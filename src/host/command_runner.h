// Runs a console program hidden and hands each line of what it writes
// (standard output and standard error through one pipe) to a parse step.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

// Receives one output line without its line feed; a carriage return stays on.
using LineHandler = std::function<void(const std::string& line)>;

// How long a command may run. PowerShell's cold start with a WMI query takes
// several seconds on a slow machine; a program still running after this is
// ended together with everything it started.
inline constexpr std::uint32_t kCommandTimeLimitMs = 60000;

enum class CommandOutcome {
    failed,    // pipe or process not created; nothing parsed
    finished,  // the program ended by itself
    timedOut,  // ended by the runner at the time limit
    stopped,   // ended by the runner because the service stopped
};

// 0 once the process was created and has ended (whatever its exit status, and
// also when the runner had to end it), -1 when the pipe or the process could
// not be created.
std::int32_t runCommand(const std::string& commandLine, const LineHandler& parseLine);

// The runner itself, with the time limit given (platform adapter).
CommandOutcome runCommandFor(const std::string& commandLine, const LineHandler& parseLine,
                             std::uint32_t timeLimitMs);

// Cuts the program's output into lines. Each read is single-byte text that
// ends at its first NUL; a line that straddles two reads is carried over and
// reaches the parse step whole.
class LineSplitter {
public:
    static constexpr std::size_t kReadSize = 10240;
    // A line is kept up to this length; the scans look at its start only.
    static constexpr std::size_t kMaxLine = 65536;

    explicit LineSplitter(const LineHandler& parseLine) : parseLine_(parseLine) {}
    void feed(std::string_view chunk);
    // The program has ended: its last line may lack a line feed.
    void finish();

private:
    const LineHandler& parseLine_;
    std::string pending_;
};

// A parse step: sscanf with a format of one field of the given width; on a
// match the scanned text replaces dest, otherwise dest is left as it was.
bool scanLine(const std::string& line, const char* format, std::size_t width, std::string& dest);
// wmic's "/value" lines: "Caption=" fills the name, "Version=" the version.
void parseWmicLine(const std::string& line, std::string& osName, std::string& osVersion);

inline constexpr char kWhoamiCommand[] = "whoami";
inline constexpr char kHostnameCommand[] = "hostname";
inline constexpr char kWmicOsCommand[] = "wmic os get Caption, Version /value";
inline constexpr char kPowerShellCaptionCommand[] =
    "PowerShell.exe -Command \"& {(Get-WmiObject Win32_OperatingSystem).Caption}\"";
inline constexpr char kPowerShellVersionCommand[] =
    "PowerShell.exe -Command \"& {(Get-WmiObject Win32_OperatingSystem).Version}\"";
