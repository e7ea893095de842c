#include "winreg.h"

#include <algorithm>
#include <cstring>

#include "log.h"

namespace winreg {

namespace {

class SystemErrorCategory : public std::error_category {
public:
    const char* name() const noexcept override { return "windows"; }
    std::string message(int code) const override {
        return tvxlog::systemErrorText(static_cast<unsigned long>(static_cast<unsigned>(code)));
    }
};

const std::error_category& systemCategory() {
    static const SystemErrorCategory category;
    return category;
}

Backend* replacement = nullptr;

}  // namespace

Backend& defaultBackend();  // winreg_win32.cpp / winreg_native.cpp

Backend& backend() { return replacement ? *replacement : defaultBackend(); }

Backend* setBackend(Backend* next) { return std::exchange(replacement, next); }

bool isPredefinedRoot(Hkey key) {
    switch (reinterpret_cast<std::uintptr_t>(key)) {
        case 0x80000000u:  // HKEY_CLASSES_ROOT
        case 0x80000001u:  // HKEY_CURRENT_USER
        case 0x80000002u:  // HKEY_LOCAL_MACHINE
        case 0x80000003u:  // HKEY_USERS
        case 0x80000004u:  // HKEY_PERFORMANCE_DATA
        case 0x80000005u:  // HKEY_CURRENT_CONFIG
        case 0x80000007u:  // HKEY_CURRENT_USER_LOCAL_SETTINGS
        case 0x80000050u:  // HKEY_PERFORMANCE_TEXT
        case 0x80000060u:  // HKEY_PERFORMANCE_NLSTEXT
            return true;
        default:
            return false;
    }
}

RegException::RegException(long code, const char* message)
    : std::system_error(static_cast<int>(code), systemCategory(), message), code_(code) {}

RegistryKey& RegistryKey::operator=(RegistryKey&& other) noexcept {
    if (this != &other) {
        close();
        key_ = std::exchange(other.key_, nullptr);
    }
    return *this;
}

void RegistryKey::close() {
    if (key_ && !isPredefinedRoot(key_)) backend().closeKey(key_);
    key_ = nullptr;
}

long RegistryKey::tryOpen(Hkey root, const std::u16string& subKeyPath, std::uint32_t access) {
    Hkey opened = nullptr;
    long rc = backend().openKey(root, subKeyPath, access, &opened);
    if (rc == kErrorSuccess) {
        close();
        key_ = opened;
    }
    return rc;
}

std::optional<std::uint32_t> RegistryKey::tryGetDwordValue(const std::u16string& name) const {
    std::uint32_t value = 0;
    std::uint32_t size = sizeof value;
    if (backend().getValue(key_, name, kRrfRtRegDword, nullptr, &value, &size) != kErrorSuccess) return {};
    return value;
}

namespace {

long readString(Hkey key, const std::u16string& name, std::u16string& out, bool& sizeStep) {
    std::uint32_t size = 0;
    sizeStep = true;
    long rc = backend().getValue(key, name, kRrfRtRegSz, nullptr, nullptr, &size);
    if (rc != kErrorSuccess) return rc;
    sizeStep = false;
    std::u16string buffer((size + 1) / sizeof(char16_t), u'\0');
    rc = backend().getValue(key, name, kRrfRtRegSz, nullptr, buffer.data(), &size);
    if (rc != kErrorSuccess) return rc;
    // The reported length counts the terminating NUL.
    std::size_t chars = size / sizeof(char16_t);
    buffer.resize(std::min(buffer.size(), chars > 0 ? chars - 1 : 0));
    out = std::move(buffer);
    return kErrorSuccess;
}

}  // namespace

std::optional<std::u16string> RegistryKey::tryGetStringValue(const std::u16string& name) const {
    std::u16string text;
    bool sizeStep = false;
    if (readString(key_, name, text, sizeStep) != kErrorSuccess) return {};
    return text;
}

std::u16string RegistryKey::getStringValue(const std::u16string& name) const {
    std::u16string text;
    bool sizeStep = false;
    long rc = readString(key_, name, text, sizeStep);
    if (rc != kErrorSuccess)
        throw RegException(rc, sizeStep ? "Cannot get size of string value: RegGetValueW failed."
                                        : "Cannot get string value: RegGetValueW failed.");
    return text;
}

std::vector<std::pair<std::u16string, std::uint32_t>> RegistryKey::enumValues() const {
    std::uint32_t count = 0, longest = 0;
    long rc = backend().queryInfo(key_, &count, &longest);
    if (rc != kErrorSuccess) throw RegException(rc, "RegQueryInfoKeyW failed while preparing for value enumeration.");
    std::vector<std::pair<std::u16string, std::uint32_t>> values;
    std::u16string name(static_cast<std::size_t>(longest) + 1, u'\0');
    for (std::uint32_t i = 0; i < count; ++i) {
        std::uint32_t chars = static_cast<std::uint32_t>(name.size());
        std::uint32_t type = 0;
        rc = backend().enumValue(key_, i, name.data(), &chars, &type);
        if (rc == kErrorNoMoreItems) break;  // values removed while we enumerate
        if (rc != kErrorSuccess) throw RegException(rc, "Cannot enumerate values: RegEnumValueW failed.");
        values.emplace_back(name.substr(0, std::min<std::size_t>(chars, name.size())), type);
    }
    return values;
}

std::optional<std::string> RegistryKey::tryGetRawValue(const std::u16string& name, std::size_t maxBytes) const {
    std::string data(maxBytes, '\0');
    auto size = static_cast<std::uint32_t>(maxBytes);
    if (backend().getValue(key_, name, kRrfRtAny, nullptr, data.data(), &size) != kErrorSuccess) return {};
    data.resize(std::min<std::size_t>(size, maxBytes));
    return data;
}

// ---- in-memory backend ----

std::u16string MemoryBackend::fold(const std::u16string& s) {
    std::u16string out = s;
    for (auto& c : out)
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
    while (!out.empty() && out.back() == u'\\') out.pop_back();
    return out;
}

MemoryBackend::Key& MemoryBackend::keyAt(Hkey root, const std::u16string& path) {
    auto r = reinterpret_cast<std::uintptr_t>(root);
    std::u16string folded = fold(path);
    // Parents exist whenever a child does, as in the real registry.
    for (std::size_t pos = folded.find(u'\\'); pos != std::u16string::npos; pos = folded.find(u'\\', pos + 1))
        keys_[{r, folded.substr(0, pos)}];
    return keys_[{r, folded}];
}

MemoryBackend::Key* MemoryBackend::find(Hkey key) {
    auto r = reinterpret_cast<std::uintptr_t>(key);
    auto it = open_.find(r);
    if (it == open_.end()) return nullptr;
    auto k = keys_.find(it->second);
    return k == keys_.end() ? nullptr : &k->second;
}

void MemoryBackend::createKey(Hkey root, const std::u16string& key) { keyAt(root, key); }

void MemoryBackend::setRaw(Hkey root, const std::u16string& key, const std::u16string& name, std::uint32_t type,
                           std::string bytes) {
    Key& k = keyAt(root, key);
    for (auto& [n, v] : k.values)
        if (fold(n) == fold(name)) {
            v = {type, std::move(bytes)};
            return;
        }
    k.values.emplace_back(name, Value{type, std::move(bytes)});
}

void MemoryBackend::setDword(Hkey root, const std::u16string& key, const std::u16string& name, std::uint32_t v) {
    std::string bytes(4, '\0');
    std::memcpy(bytes.data(), &v, 4);
    setRaw(root, key, name, kRegDword, bytes);
}

void MemoryBackend::setString(Hkey root, const std::u16string& key, const std::u16string& name,
                              const std::u16string& v) {
    std::string bytes((v.size() + 1) * 2, '\0');
    std::memcpy(bytes.data(), v.data(), v.size() * 2);
    setRaw(root, key, name, kRegSz, bytes);
}

void MemoryBackend::clear() {
    keys_.clear();
    enumFailure_ = 0;
}

long MemoryBackend::openKey(Hkey root, const std::u16string& subKey, std::uint32_t, Hkey* out) {
    auto r = reinterpret_cast<std::uintptr_t>(root);
    std::pair<std::uintptr_t, std::u16string> path;
    if (isPredefinedRoot(root)) {
        path = {r, fold(subKey)};
    } else {
        auto it = open_.find(r);
        if (it == open_.end()) return kErrorInvalidHandle;
        path = it->second;
        if (!subKey.empty()) path.second = fold(path.second.empty() ? subKey : path.second + u"\\" + subKey);
    }
    if (!path.second.empty() && keys_.find(path) == keys_.end()) return kErrorFileNotFound;
    std::uintptr_t handle = nextHandle_;
    nextHandle_ += 4;
    open_[handle] = path;
    *out = reinterpret_cast<Hkey>(handle);
    return kErrorSuccess;
}

long MemoryBackend::closeKey(Hkey key) {
    return open_.erase(reinterpret_cast<std::uintptr_t>(key)) ? kErrorSuccess : kErrorInvalidHandle;
}

long MemoryBackend::getValue(Hkey key, const std::u16string& name, std::uint32_t flags, std::uint32_t* type,
                             void* data, std::uint32_t* size) {
    Key* k = find(key);
    if (!k) return kErrorInvalidHandle;
    for (const auto& [n, v] : k->values) {
        if (fold(n) != fold(name)) continue;
        const bool allowed = (flags & kRrfRtAny) == kRrfRtAny ||
                             (v.type == kRegSz && (flags & kRrfRtRegSz)) ||
                             (v.type == kRegDword && (flags & kRrfRtRegDword));
        if (!allowed) return kErrorUnsupportedType;
        if (type) *type = v.type;
        auto needed = static_cast<std::uint32_t>(v.bytes.size());
        if (!data) {
            if (size) *size = needed;
            return kErrorSuccess;
        }
        if (!size || *size < needed) {
            if (size) *size = needed;
            return kErrorMoreData;
        }
        std::memcpy(data, v.bytes.data(), needed);
        *size = needed;
        return kErrorSuccess;
    }
    return kErrorFileNotFound;
}

long MemoryBackend::queryInfo(Hkey key, std::uint32_t* valueCount, std::uint32_t* maxValueNameChars) {
    Key* k = find(key);
    if (!k) return kErrorInvalidHandle;
    std::size_t longest = 0;
    for (const auto& v : k->values) longest = std::max(longest, v.first.size());
    *valueCount = static_cast<std::uint32_t>(k->values.size());
    *maxValueNameChars = static_cast<std::uint32_t>(longest);
    return kErrorSuccess;
}

long MemoryBackend::enumValue(Hkey key, std::uint32_t index, char16_t* name, std::uint32_t* nameChars,
                              std::uint32_t* type) {
    if (enumFailure_) return std::exchange(enumFailure_, 0);
    Key* k = find(key);
    if (!k) return kErrorInvalidHandle;
    if (index >= k->values.size()) return kErrorNoMoreItems;
    const auto& [n, v] = k->values[index];
    if (n.size() + 1 > *nameChars) return kErrorMoreData;
    std::copy(n.begin(), n.end(), name);
    name[n.size()] = u'\0';
    *nameChars = static_cast<std::uint32_t>(n.size());
    if (type) *type = v.type;
    return kErrorSuccess;
}

}  // namespace winreg
