#include "version_info.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <exception>
#include <stdexcept>

#include "platform/log.h"

namespace {

// The root entry's words: signature, structure version, then the file
// version (most, least significant) and the product version.
constexpr int kFileVersionMs = 2;
constexpr int kProductVersionMs = 4;
constexpr unsigned kFixedInfoBytes = 13 * 4;

struct StoiError : std::exception {
    const char* text;
    explicit StoiError(const char* t) : text(t) {}
    const char* what() const noexcept override { return text; }
};

// std::stoi's rules (blanks and a sign accepted, stops at the first
// non-digit) with the texts the log has always shown.
std::int32_t toInt(const std::string& part) {
    const char* begin = part.c_str();
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(begin, &end, 10);
    if (end == begin) throw StoiError("invalid stoi argument");
    if (errno == ERANGE || v < INT32_MIN || v > INT32_MAX) throw StoiError("stoi argument out of range");
    return static_cast<std::int32_t>(v);
}

}  // namespace

CMcVersionInfo::CMcVersionInfo() {
    if (versionsys::readOwnModuleBlock(block_)) fixedInfo_ = versionsys::fixedInfo(block_, fixedInfoLength_);
}

CMcVersionInfo::CMcVersionInfo(const std::wstring& path) {
    if (versionsys::readBlock(path, block_)) fixedInfo_ = versionsys::fixedInfo(block_, fixedInfoLength_);
}

CMcVersionInfo::CMcVersionInfo(const std::string& path) {
    if (versionsys::readBlock(path, block_)) fixedInfo_ = versionsys::fixedInfo(block_, fixedInfoLength_);
}

std::uint64_t CMcVersionInfo::word64(int msIndex) const {
    if (!fixedInfo_ || fixedInfoLength_ < kFixedInfoBytes) return 0;
    return (std::uint64_t{fixedInfo_[msIndex]} << 32) | fixedInfo_[msIndex + 1];
}

std::string CMcVersionInfo::getFileVersionA() const { return formatVersion(word64(kFileVersionMs)); }
std::wstring CMcVersionInfo::getFileVersionW() const { return formatVersionW(word64(kFileVersionMs)); }
std::string CMcVersionInfo::getProductVersionA() const { return formatVersion(word64(kProductVersionMs)); }
std::wstring CMcVersionInfo::getProductVersionW() const { return formatVersionW(word64(kProductVersionMs)); }

std::string formatVersion(std::uint64_t v) {
    const std::uint64_t a = v >> 48, b = (v >> 32) & 0xffff, c = (v >> 16) & 0xffff, d = v & 0xffff;
    const int n = std::snprintf(nullptr, 0, "%" PRIu64 ".%" PRIu64 ".%" PRIu64 ".%" PRIu64, a, b, c, d);
    if (n < 0) throw std::runtime_error("Error during formatting.");
    std::string text(static_cast<std::size_t>(n) + 1, '\0');
    std::snprintf(text.data(), text.size(), "%" PRIu64 ".%" PRIu64 ".%" PRIu64 ".%" PRIu64, a, b, c, d);
    text.resize(static_cast<std::size_t>(n));
    return text;
}

std::wstring formatVersionW(std::uint64_t v) {
    const std::string narrow = formatVersion(v);
    return std::wstring(narrow.begin(), narrow.end());
}

void Version::updateListFromString(const std::string& text) {
    if (text.empty()) return;
    try {
        std::size_t at = 0;
        for (;;) {
            const std::size_t dot = text.find('.', at);
            const std::string part = text.substr(at, dot == std::string::npos ? std::string::npos : dot - at);
            try {
                list_.push_back(toInt(part));
            } catch (const StoiError& e) {
                TVX_LOG(tvxlog::error) << "invalid version characters " << e.what();
            }
            if (dot == std::string::npos) break;
            at = dot + 1;
        }
    } catch (const std::exception& e) {
        TVX_LOG(tvxlog::error) << "error on creating version " << e.what();
    }
}

bool operator<(const Version& a, const Version& b) {
    return std::lexicographical_compare(a.list_.begin(), a.list_.end(), b.list_.begin(), b.list_.end());
}
