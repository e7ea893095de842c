// Appenders of the logger: plog's text layout, its rolling file appender and
// its coloured, message-only console appender.
#pragma once

#include <cstdint>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace tvxlog {

struct LocalTime {
    int year, month, day, hour, minute, second, millisecond;
};

struct LogRecord {
    int severity;
    const char* function;
    int line;
    const std::string& message;
    unsigned long threadId;
    LocalTime time;
};

// Platform adapters (log_sys_*.cpp).
unsigned long currentThreadId();
LocalTime currentLocalTime();
extern const char* const kNewLine;  // "\r\n" on Windows, "\n" elsewhere

// "2025-03-01 09:15:42.123 INFO  [4242] [QmPlatformTask::run@131] message" and a line end.
std::string formatTxtLine(const LogRecord& record);

class Appender {
public:
    virtual ~Appender() = default;
    virtual void write(const LogRecord& record) = 0;
};

// Writes UTF-8 text lines; a new file starts with a byte order mark. When the
// file has grown past the size limit, the next line first rolls the files:
// name.log -> name.1.log -> ... -> name.(count-1).log, the oldest removed.
class RollingFileAppender : public Appender {
public:
    RollingFileAppender(std::string fileName, std::size_t maxFileSize, std::size_t maxFiles);
    void write(const LogRecord& record) override;
    // name.N.ext for N > 0, the file name itself for 0.
    std::string rolledName(std::size_t number) const;

private:
    void open();
    void roll();
    std::string base_;
    std::string ext_;
    std::size_t maxFileSize_;
    std::size_t maxFiles_;
    std::size_t fileSize_ = 0;
    bool firstWrite_ = true;
    std::ofstream file_;
};

// The message alone on a line, coloured by severity when writing to a terminal.
class ColorConsoleAppender : public Appender {
public:
    void write(const LogRecord& record) override;
};

// Keeps formatted lines in memory; for tests.
class MemoryAppender : public Appender {
public:
    struct Line {
        int severity;
        std::string function;
        int line;
        std::string message;
    };
    void write(const LogRecord& record) override;
    std::vector<Line> lines() const;
    void clear();
    // True when some line has exactly this severity, function and message.
    bool contains(int severity, const std::string& function, const std::string& message) const;

private:
    mutable std::mutex mutex_;
    std::vector<Line> lines_;
};

// Starts the file appender (and the console appender when asked) and sets
// the threshold.
void startLogger(const std::string& fileName, int threshold, std::uint32_t maxFileSize,
                 std::uint32_t maxFileCount, bool console);
// Drops every appender and the threshold; for tests only.
void resetLoggerForTests();
// Adds an appender and sets the threshold; for tests.
void addAppenderForTests(std::unique_ptr<Appender> appender, int threshold);

// Opens a file of a UTF-8 name for appending (binary); the size it has.
std::size_t openForAppend(std::ofstream& file, const std::string& utf8Name);
bool removeFile(const std::string& utf8Name);
bool renameFile(const std::string& from, const std::string& to);

}  // namespace tvxlog
