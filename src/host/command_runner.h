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

// Cuts the program's output into lines of UTF-8. Output that starts as
// UTF-16 (a byte-order mark, or a zero second byte: wmic writing to a pipe) is
// read as UTF-16; other output is single-byte text in which each read ends
// at its first NUL, and each line goes through the decoder (the console's
// code page). A line that straddles two reads reaches the parse step whole.
class LineSplitter {
public:
    static constexpr std::size_t kReadSize = 10240;
    // A line is kept up to this length; the scans look at its start only.
    static constexpr std::size_t kMaxLine = 65536;
    using Decoder = std::string (*)(std::string_view line);

    explicit LineSplitter(const LineHandler& parseLine, Decoder decode = nullptr)
        : parseLine_(parseLine), decode_(decode) {}
    void feed(std::string_view chunk);
    // The program has ended: its last line may lack a line feed.
    void finish();

private:
    enum class Form { unknown, bytes, utf16 };
    void feedUtf16(std::string_view chunk);
    void emit();

    const LineHandler& parseLine_;
    Decoder decode_;
    Form form_ = Form::unknown;
    std::string pending_;
    std::u16string wide_;
    int oddByte_ = -1;  // the first half of a UTF-16 unit split between reads
};

// A parse step: sscanf with a format of one field of the given width; on a
// match the scanned text replaces dest, otherwise dest is left as it was.
bool scanLine(const std::string& line, const char* format, std::size_t width, std::string& dest);
// wmic's "/value" lines: "Caption=" fills the name, "Version=" the version.
void parseWmicLine(const std::string& line, std::string& osName, std::string& osVersion);

// The program a command line starts, as a path: a quoted absolute path as it
// stands; a bare name only when it is one of the system programs the
// collectors run, under the system folder given, never searched for (a
// program planted in the current folder must not run). Empty otherwise.
std::string systemProgramPath(const std::string& commandLine, const std::string& systemFolder);

inline constexpr char kWhoamiCommand[] = "whoami";
inline constexpr char kHostnameCommand[] = "hostname";
inline constexpr char kWmicOsCommand[] = "wmic os get Caption, Version /value";
inline constexpr char kPowerShellCaptionCommand[] =
    "PowerShell.exe -NoProfile -NonInteractive -Command \"& {(Get-WmiObject Win32_OperatingSystem).Caption}\"";
inline constexpr char kPowerShellVersionCommand[] =
    "PowerShell.exe -NoProfile -NonInteractive -Command \"& {(Get-WmiObject Win32_OperatingSystem).Version}\"";
