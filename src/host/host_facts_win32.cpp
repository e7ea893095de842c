// User, computer, registry and system times through the narrow Win32 calls.
#include <windows.h>

#include "host_facts.h"

namespace hostsys {

bool userName(std::string& out) {
    char buffer[257] = {};
    DWORD size = 256;
    if (!GetUserNameA(buffer, &size)) return false;
    out = buffer;
    return true;
}

bool computerName(std::string& out) {
    char buffer[16] = {};
    DWORD size = 15;
    if (!GetComputerNameA(buffer, &size)) return false;
    out.assign(buffer, size < 16 ? size : 15);
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
