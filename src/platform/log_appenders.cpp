#include "log_appenders.h"

#include <cstdio>
#include <filesystem>
#include <iomanip>
#include <sstream>

#include "log.h"

namespace tvxlog {

namespace {
// Names use backslashes as on Windows; both systems' file layers take slashes.
std::filesystem::path utf8Path(const std::string& name) {
    std::u8string text(name.begin(), name.end());
    for (auto& c : text)
        if (c == u8'\\') c = u8'/';
    return std::filesystem::path(text);
}
}  // namespace

std::size_t openForAppend(std::ofstream& file, const std::string& utf8Name) {
    file.open(utf8Path(utf8Name), std::ios::binary | std::ios::app);
    if (!file) return 0;
    std::error_code ec;
    auto size = std::filesystem::file_size(utf8Path(utf8Name), ec);
    return ec ? 0 : static_cast<std::size_t>(size);
}

bool removeFile(const std::string& utf8Name) {
    std::error_code ec;
    return std::filesystem::remove(utf8Path(utf8Name), ec);
}

bool renameFile(const std::string& from, const std::string& to) {
    std::error_code ec;
    std::filesystem::rename(utf8Path(from), utf8Path(to), ec);
    return !ec;
}

std::string formatTxtLine(const LogRecord& r) {
    std::ostringstream ss;
    ss << r.time.year << "-" << std::setfill('0') << std::setw(2) << r.time.month << "-" << std::setw(2)
       << r.time.day << " ";
    ss << std::setw(2) << r.time.hour << ":" << std::setw(2) << r.time.minute << ":" << std::setw(2)
       << r.time.second << "." << std::setw(3) << r.time.millisecond << " ";
    ss << std::setfill(' ') << std::setw(5) << std::left << severityName(r.severity) << " ";
    ss << "[" << r.threadId << "] ";
    ss << "[" << r.function << "@" << r.line << "] ";
    ss << r.message << kNewLine;
    return ss.str();
}

RollingFileAppender::RollingFileAppender(std::string fileName, std::size_t maxFileSize, std::size_t maxFiles)
    : maxFileSize_(std::max<std::size_t>(maxFileSize, 1000)), maxFiles_(maxFiles) {
    // The extension is what follows the last dot of the file part.
    auto slash = fileName.find_last_of("\\/");
    auto dot = fileName.rfind('.');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) {
        base_ = fileName.substr(0, dot);
        ext_ = fileName.substr(dot + 1);
    } else {
        base_ = fileName;
    }
}

std::string RollingFileAppender::rolledName(std::size_t number) const {
    std::string name = base_;
    if (number > 0) name += "." + std::to_string(number);
    if (!ext_.empty()) name += "." + ext_;
    return name;
}

void RollingFileAppender::open() {
    fileSize_ = openForAppend(file_, rolledName(0));
    if (fileSize_ == 0 && file_) {
        static const char kBom[] = "\xEF\xBB\xBF";
        file_.write(kBom, 3);
        file_.flush();
        fileSize_ = 3;
    }
}

void RollingFileAppender::roll() {
    file_.close();
    removeFile(rolledName(maxFiles_ - 1));
    for (std::size_t n = maxFiles_ - 1; n-- > 0;) renameFile(rolledName(n), rolledName(n + 1));
    open();
}

void RollingFileAppender::write(const LogRecord& record) {
    if (firstWrite_) {
        open();
        firstWrite_ = false;
    } else if (maxFiles_ > 0 && fileSize_ > maxFileSize_) {
        roll();
    }
    if (!file_) return;
    std::string line = formatTxtLine(record);
    file_.write(line.data(), static_cast<std::streamsize>(line.size()));
    file_.flush();
    if (file_) fileSize_ += line.size();
}

void MemoryAppender::write(const LogRecord& record) {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back({record.severity, record.function, record.line, record.message});
}

std::vector<MemoryAppender::Line> MemoryAppender::lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
}

void MemoryAppender::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
}

bool MemoryAppender::contains(int severity, const std::string& function, const std::string& message) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& l : lines_)
        if (l.severity == severity && l.function == function && l.message == message) return true;
    return false;
}

}  // namespace tvxlog
