// User, computer, registry and system times through the Win32 calls; names
// through the wide calls, as UTF-8.
#include <windows.h>

#include "host_facts.h"
#include "platform/log.h"

namespace hostsys {

namespace {

std::string utf8(const wchar_t* text, std::size_t n) {
    return tvxlog::toUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(text), n));
}

}  // namespace

bool userName(std::string& out) {
    wchar_t buffer[257] = {};
    DWORD size = 256;
    if (!GetUserNameW(buffer, &size)) return false;
    out = utf8(buffer, wcsnlen(buffer, 256));
    return true;
}

// Room for 15 characters, as before: a name of 15 comes from hostname.
bool computerName(std::string& out) {
    wchar_t buffer[16] = {};
    DWORD size = 15;
    if (!GetComputerNameW(buffer, &size)) return false;
    out = utf8(buffer, size < 16 ? size : 15);
    return true;
}

KtrDeviceIdRead readKtrDeviceId() {
    KtrDeviceIdRead result;
    HKEY key = nullptr;
    result.openError = RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Ombrel\\KTR", 0, KEY_READ | KEY_WOW64_64KEY, &key);
    if (result.openError != ERROR_SUCCESS) return result;
    char data[65] = {};
    DWORD size = 64;
    result.readError = RegQueryValueExA(key, "device_id", nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size);
    if (result.readError != ERROR_SUCCESS) size = 0;
    result.bytes.assign(data, size <= 64 ? size : 64);
    RegCloseKey(key);
    return result;
}

bool systemTimes(CpuTimes& out) {
    FILETIME idle, kernel, user;
    if (!GetSystemTimes(&idle, &kernel, &user)) return false;
    auto u64 = [](const FILETIME& t) { return (std::uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime; };
    out = {u64(idle), u64(kernel), u64(user)};
    return true;
}

}  // namespace hostsys
