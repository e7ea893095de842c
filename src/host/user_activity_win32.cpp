// Window, process and input queries for the user-activity collectors.
#include <windows.h>

#include "auto_handle_win32.h"
#include "user_activity.h"

namespace activitysys {

std::optional<std::wstring> activeWindowImagePath() {
    HWND window = GetActiveWindow();
    if (!window) window = GetForegroundWindow();
    if (!window) return std::nullopt;
    DWORD pid = 0;
    if (GetWindowThreadProcessId(window, &pid) == 0 || pid == 0) return std::nullopt;
    Utils::QmeAutoHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    if (!process.isValid()) return std::nullopt;
    wchar_t path[MAX_PATH + 1] = {};
    DWORD size = MAX_PATH;
    if (!QueryFullProcessImageNameW(process.get(), 0, path, &size)) return std::nullopt;
    return std::wstring(path, size);
}

std::string toNarrow(const std::wstring& text) {
    if (text.empty()) return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
    return out;
}

bool lastInputTick(std::uint32_t& tick) {
    LASTINPUTINFO info{sizeof(LASTINPUTINFO), 0};
    if (!GetLastInputInfo(&info)) return false;
    tick = info.dwTime;
    return true;
}

std::uint32_t tickCount() { return GetTickCount(); }

}  // namespace activitysys
