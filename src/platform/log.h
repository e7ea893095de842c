// Process-wide logger: plog's plain-text layout, a rolling file appender and a
// message-only coloured console appender. Statements test the threshold before
// anything is formatted, so a disabled level costs one atomic load.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <string_view>

namespace tvxlog {

enum Severity : int {
    none = 0,
    fatal = 1,
    error = 2,
    warning = 3,
    info = 4,
    debug = 5,
    verbose = 6,
    // Admits what verbose admits; no message is written at this level.
    superverbose = 7,
};

// "NONE", "FATAL", ... "VERB", "SVERB"; any other number is "NONE".
const char* severityName(int severity);

// Current threshold; 0 while no logger exists.
extern std::atomic<int> g_threshold;

inline bool isEnabled(int severity) {
    return severity <= g_threshold.load(std::memory_order_relaxed) && severity > 0;
}

// Writes one finished record to every appender; called only after isEnabled.
void write(int severity, const char* function, int line, const std::string& message);

// One statement's message, written when the statement ends.
class Record {
public:
    Record(int severity, const char* function, int line)
        : severity_(severity), function_(function), line_(line) {}
    Record(const Record&) = delete;
    Record& operator=(const Record&) = delete;
    ~Record();

    template <typename T>
    Record& operator<<(const T& value) {
        stream_ << value;
        return *this;
    }
    // A null text is written as "(null)"; char pointers are texts, not addresses.
    Record& operator<<(const char* text);
    Record& operator<<(char* text) { return *this << static_cast<const char*>(text); }
    Record& operator<<(const wchar_t* text);
    Record& operator<<(const std::wstring& text) { return *this << text.c_str(); }
    Record& operator<<(const std::u16string& text);
    // Narrow byte values stream as numbers, as they do in the original logs.
    Record& operator<<(unsigned char v) { stream_ << static_cast<unsigned>(v); return *this; }
    Record& operator<<(signed char v) { stream_ << static_cast<int>(v); return *this; }

private:
    int severity_;
    const char* function_;
    int line_;
    std::ostringstream stream_;
};

// "[", code, "] : " and the system's text for the code (FormatMessageW on
// Windows), with trailing line breaks removed.
std::string errorSuffix(unsigned long code);
// The system's description of an error code, without trailing line breaks.
std::string systemErrorText(unsigned long code);

// The thread's last system error (GetLastError on Windows, errno elsewhere).
unsigned long lastSystemError();

std::string toUtf8(std::u16string_view text);
std::u16string toUtf16(std::string_view text);

// Text from the network or a program's output, made safe for one log line:
// control characters become \r, \n, \t or \xNN, so that it cannot end the
// line and forge the next one.
std::string printable(std::string_view text);

namespace detail {

// Turns the compiler's decorated signature into the qualified name that MSVC's
// __FUNCTION__ gives: no return type, no parameters, no template arguments,
// and "`anonymous-namespace'" for an unnamed namespace.
struct FunctionName {
    std::array<char, 256> text{};
    constexpr const char* c_str() const { return text.data(); }
};

constexpr bool startsWith(std::string_view s, std::size_t at, std::string_view what) {
    return s.substr(at, what.size()) == what;
}

constexpr FunctionName msvcFunctionName(std::string_view pretty) {
    // Cut at the parameter list: the first '(' outside template brackets that
    // is not part of "(anonymous namespace)" or of an "operator()" name.
    std::size_t end = pretty.size();
    int depth = 0;
    for (std::size_t i = 0; i < pretty.size(); ++i) {
        char c = pretty[i];
        if (c == '<') ++depth;
        else if (c == '>' && depth > 0) --depth;
        else if (c == '(' && depth == 0) {
            if (startsWith(pretty, i, "(anonymous namespace)")) { i += 20; continue; }
            if (i >= 8 && startsWith(pretty, i - 8, "operator")) { ++i; continue; }
            end = i;
            break;
        }
    }
    // The name starts after the last blank outside template brackets.
    std::size_t begin = 0;
    depth = 0;
    for (std::size_t i = 0; i < end; ++i) {
        char c = pretty[i];
        if (c == '<') ++depth;
        else if (c == '>' && depth > 0) --depth;
        else if (c == '(' && startsWith(pretty, i, "(anonymous namespace)")) i += 20;
        else if (c == ' ' && depth == 0 && !(i >= 8 && startsWith(pretty, i - 8, "operator")))
            begin = i + 1;
    }
    // clang writes a pointer or reference return type against the name.
    while (begin < end && (pretty[begin] == '*' || pretty[begin] == '&')) ++begin;
    FunctionName out{};
    std::size_t n = 0;
    auto put = [&](std::string_view piece) {
        for (char ch : piece)
            if (n + 1 < out.text.size()) out.text[n++] = ch;
    };
    depth = 0;
    for (std::size_t i = begin; i < end; ++i) {
        if (startsWith(pretty, i, "{anonymous}")) { put("`anonymous-namespace'"); i += 10; continue; }
        if (startsWith(pretty, i, "(anonymous namespace)")) { put("`anonymous-namespace'"); i += 20; continue; }
        char c = pretty[i];
        if (c == '<' && !(i >= 8 && startsWith(pretty, i - 8, "operator"))) { ++depth; continue; }
        if (c == '>' && depth > 0) { --depth; continue; }
        if (depth == 0) put(std::string_view(&pretty[i], 1));
    }
    return out;
}

// A compile-time copy of the compiler's function text, usable as a template
// argument so each function's name is derived once.
template <std::size_t N>
struct FixedText {
    char text[N]{};
    constexpr FixedText(const char (&source)[N]) {
        for (std::size_t i = 0; i < N; ++i) text[i] = source[i];
    }
};

template <FixedText Pretty>
struct FunctionNameOf {
    static constexpr FunctionName value = msvcFunctionName(std::string_view(Pretty.text));
};

// Turns the streamed record into a void expression.
struct Voidify {
    void operator&(Record&) const {}
    void operator&(Record&&) const {}
};

}  // namespace detail
}  // namespace tvxlog

// The one compiler-specific spot: the decorated name of the enclosing function.
#if defined(_MSC_VER) && !defined(__clang__)
#define TVX_PRETTY_FUNCTION __FUNCTION__
#else
#define TVX_PRETTY_FUNCTION __PRETTY_FUNCTION__
#endif

// TVX_LOG(tvxlog::info) << "text " << value;
// An expression, so it nests under an unbraced if/else like any statement;
// the function name is computed at compile time, once per function.
#define TVX_LOG(severity)                                                                  \
    !::tvxlog::isEnabled(severity)                                                         \
        ? (void)0                                                                          \
        : ::tvxlog::detail::Voidify() &                                                    \
              ::tvxlog::Record(severity,                                                   \
                               ::tvxlog::detail::FunctionNameOf<::tvxlog::detail::FixedText< \
                                   sizeof(TVX_PRETTY_FUNCTION)>(TVX_PRETTY_FUNCTION)>::value.c_str(), \
                               __LINE__)

// Logs under an explicit function name (for lines whose writer must carry
// another name than the enclosing function's).
#define TVX_LOG_AS(severity, function)                                                     \
    !::tvxlog::isEnabled(severity) ? (void)0                                               \
                                   : ::tvxlog::detail::Voidify() & ::tvxlog::Record(severity, function, __LINE__)
