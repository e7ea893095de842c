// The Win32 registry behind the access layer.
#include <windows.h>

#include "winreg.h"

namespace winreg {
namespace {

HKEY h(Hkey key) { return reinterpret_cast<HKEY>(key); }
const wchar_t* w(const std::u16string& s) { return reinterpret_cast<const wchar_t*>(s.c_str()); }

class Win32Backend final : public Backend {
public:
    long openKey(Hkey root, const std::u16string& subKey, std::uint32_t access, Hkey* out) override {
        HKEY opened = nullptr;
        LSTATUS rc = RegOpenKeyExW(h(root), w(subKey), 0, access, &opened);
        if (rc == ERROR_SUCCESS) *out = reinterpret_cast<Hkey>(opened);
        return rc;
    }
    long closeKey(Hkey key) override { return RegCloseKey(h(key)); }
    long getValue(Hkey key, const std::u16string& name, std::uint32_t flags, std::uint32_t* type, void* data,
                  std::uint32_t* size) override {
        DWORD t = 0;
        DWORD s = size ? *size : 0;
        LSTATUS rc = RegGetValueW(h(key), nullptr, w(name), flags, &t, data, size ? &s : nullptr);
        if (type) *type = t;
        if (size) *size = s;
        return rc;
    }
    long queryInfo(Hkey key, std::uint32_t* valueCount, std::uint32_t* maxValueNameChars) override {
        DWORD count = 0, longest = 0;
        LSTATUS rc = RegQueryInfoKeyW(h(key), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count,
                                      &longest, nullptr, nullptr, nullptr);
        *valueCount = count;
        *maxValueNameChars = longest;
        return rc;
    }
    long enumValue(Hkey key, std::uint32_t index, char16_t* name, std::uint32_t* nameChars,
                   std::uint32_t* type) override {
        DWORD chars = *nameChars;
        DWORD t = 0;
        LSTATUS rc = RegEnumValueW(h(key), index, reinterpret_cast<wchar_t*>(name), &chars, nullptr, &t, nullptr,
                                   nullptr);
        *nameChars = chars;
        if (type) *type = t;
        return rc;
    }
};

}  // namespace

Backend& defaultBackend() {
    static Win32Backend registry;
    return registry;
}

}  // namespace winreg
