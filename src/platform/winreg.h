// Small read-only registry access layer with two backends: the Win32
// registry and an in-memory store used where no Windows registry exists.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

namespace winreg {

// Opaque key handle; an HKEY on Windows.
using Hkey = void*;

inline Hkey predefined(std::uintptr_t v) { return reinterpret_cast<Hkey>(v); }
inline Hkey classesRoot() { return predefined(0x80000000u); }
inline Hkey currentUser() { return predefined(0x80000001u); }
inline Hkey localMachine() { return predefined(0x80000002u); }
inline Hkey users() { return predefined(0x80000003u); }
bool isPredefinedRoot(Hkey key);

constexpr std::uint32_t kReadAccess64 = 0x20119;  // KEY_READ | KEY_WOW64_64KEY
constexpr std::uint32_t kRegSz = 1;
constexpr std::uint32_t kRegExpandSz = 2;
constexpr std::uint32_t kRegBinary = 3;
constexpr std::uint32_t kRegDword = 4;
constexpr std::uint32_t kRegMultiSz = 7;
constexpr std::uint32_t kRegQword = 11;
constexpr std::uint32_t kRrfRtRegSz = 0x00000002;
constexpr std::uint32_t kRrfRtRegDword = 0x00000010;
constexpr std::uint32_t kRrfRtAny = 0x0000ffff;

constexpr long kErrorSuccess = 0;
constexpr long kErrorFileNotFound = 2;
constexpr long kErrorAccessDenied = 5;
constexpr long kErrorInvalidHandle = 6;
constexpr long kErrorInvalidParameter = 87;
constexpr long kErrorMoreData = 234;
constexpr long kErrorNoMoreItems = 259;
constexpr long kErrorUnsupportedType = 1630;

// The registry functions the layer uses, one virtual each, returning the
// Windows error code. Strings are UTF-16; sizes are in bytes unless named
// otherwise.
class Backend {
public:
    virtual ~Backend() = default;
    virtual long openKey(Hkey root, const std::u16string& subKey, std::uint32_t access, Hkey* out) = 0;
    virtual long closeKey(Hkey key) = 0;
    // RegGetValueW on the key itself with a type filter; data may be null to
    // query the size.
    virtual long getValue(Hkey key, const std::u16string& name, std::uint32_t flags,
                          std::uint32_t* type, void* data, std::uint32_t* size) = 0;
    // RegQueryInfoKeyW: number of values and the longest value name in characters.
    virtual long queryInfo(Hkey key, std::uint32_t* valueCount, std::uint32_t* maxValueNameChars) = 0;
    // RegEnumValueW: nameChars holds the buffer size in characters on entry
    // and the name's length without its NUL on return.
    virtual long enumValue(Hkey key, std::uint32_t index, char16_t* name, std::uint32_t* nameChars,
                           std::uint32_t* type) = 0;
};

// The backend in use: Win32 on Windows, the in-memory store elsewhere.
Backend& backend();
// Replaces the backend (tests); null restores the default. Returns the old one.
Backend* setBackend(Backend* replacement);

class RegException : public std::system_error {
public:
    RegException(long code, const char* message);
    long code() const noexcept { return code_; }

private:
    long code_;
};

class RegistryKey {
public:
    RegistryKey() = default;
    explicit RegistryKey(Hkey adopted) : key_(adopted) {}
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;
    RegistryKey(RegistryKey&& other) noexcept : key_(std::exchange(other.key_, nullptr)) {}
    RegistryKey& operator=(RegistryKey&& other) noexcept;
    ~RegistryKey() { close(); }

    Hkey get() const { return key_; }
    bool isValid() const { return key_ != nullptr; }
    void close();

    long tryOpen(Hkey root, const std::u16string& subKeyPath, std::uint32_t access = kReadAccess64);
    std::optional<std::uint32_t> tryGetDwordValue(const std::u16string& name) const;
    std::optional<std::u16string> tryGetStringValue(const std::u16string& name) const;
    std::u16string getStringValue(const std::u16string& name) const;
    std::vector<std::pair<std::u16string, std::uint32_t>> enumValues() const;
    // Raw bytes of a value of any type (at most maxBytes), for values read as
    // narrow characters.
    std::optional<std::string> tryGetRawValue(const std::u16string& name, std::size_t maxBytes) const;

private:
    Hkey key_ = nullptr;
};

// In-memory registry for native tests: roots are the predefined handles,
// keys are paths compared case-insensitively, values keep insertion order.
class MemoryBackend : public Backend {
public:
    struct Value {
        std::uint32_t type;
        std::string bytes;
    };
    void setDword(Hkey root, const std::u16string& key, const std::u16string& name, std::uint32_t v);
    void setString(Hkey root, const std::u16string& key, const std::u16string& name, const std::u16string& v);
    void setRaw(Hkey root, const std::u16string& key, const std::u16string& name, std::uint32_t type,
                std::string bytes);
    void createKey(Hkey root, const std::u16string& key);
    void clear();
    // Makes the next enumeration step fail with this code (0 to stop).
    void failEnumerationWith(long code) { enumFailure_ = code; }
    std::size_t openHandles() const { return open_.size(); }

    long openKey(Hkey root, const std::u16string& subKey, std::uint32_t access, Hkey* out) override;
    long closeKey(Hkey key) override;
    long getValue(Hkey key, const std::u16string& name, std::uint32_t flags, std::uint32_t* type,
                  void* data, std::uint32_t* size) override;
    long queryInfo(Hkey key, std::uint32_t* valueCount, std::uint32_t* maxValueNameChars) override;
    long enumValue(Hkey key, std::uint32_t index, char16_t* name, std::uint32_t* nameChars,
                   std::uint32_t* type) override;

private:
    struct Key {
        std::vector<std::pair<std::u16string, Value>> values;
    };
    static std::u16string fold(const std::u16string& s);
    Key& keyAt(Hkey root, const std::u16string& path);
    Key* find(Hkey key);
    std::map<std::pair<std::uintptr_t, std::u16string>, Key> keys_;
    std::map<std::uintptr_t, std::pair<std::uintptr_t, std::u16string>> open_;
    std::uintptr_t nextHandle_ = 0x1000;
    long enumFailure_ = 0;
};

}  // namespace winreg
