// Version resources through the Windows version library.
#include <windows.h>

#include "version_info.h"

namespace versionsys {

bool readBlock(const std::wstring& path, std::vector<unsigned char>& block) {
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
    if (size == 0) return false;
    block.assign(size, 0);
    return GetFileVersionInfoW(path.c_str(), 0, size, block.data()) != FALSE;
}

bool readBlock(const std::string& path, std::vector<unsigned char>& block) {
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeA(path.c_str(), &handle);
    if (size == 0) return false;
    block.assign(size, 0);
    return GetFileVersionInfoA(path.c_str(), 0, size, block.data()) != FALSE;
}

bool readOwnModuleBlock(std::vector<unsigned char>& block) {
    HMODULE self = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&readOwnModuleBlock), &self))
        return false;
    wchar_t path[MAX_PATH] = {};
    const DWORD n = GetModuleFileNameW(self, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return false;
    return readBlock(std::wstring(path, n), block);
}

const std::uint32_t* fixedInfo(const std::vector<unsigned char>& block, unsigned& length) {
    void* entry = nullptr;
    UINT size = 0;
    if (block.empty() || !VerQueryValueW(block.data(), L"\\", &entry, &size) || !entry) return nullptr;
    length = size;
    return static_cast<const std::uint32_t*>(entry);
}

}  // namespace versionsys
