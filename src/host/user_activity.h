// What the user at the endpoint is doing: the program behind the active
// window and the seconds since the last keyboard or mouse input.
#pragma once

#include <json/value.h>

#include <cstdint>
#include <optional>
#include <string>

std::int32_t getActiveAppInfo(Json::Value& metrics);
std::int32_t getInactivitySeconds(Json::Value& metrics);

// Seconds between the last input and now (32-bit ticks); 0.01 when the tick
// count is not ahead of the last input (same tick, or wrapped around).
double inactivitySeconds(std::uint32_t nowTick, std::uint32_t lastInputTick);
// The file name of an image path: after the last slash or backslash, or
// after the drive prefix when there is none.
std::wstring imageFileName(const std::wstring& path);

// Platform adapter (user_activity_win32.cpp / user_activity_native.cpp).
namespace activitysys {
// Full image path of the program that owns the active, else the foreground,
// window; nothing when there is no window or the process cannot be asked.
std::optional<std::wstring> activeWindowImagePath();
// As UTF-8.
std::string toNarrow(const std::wstring& text);
bool lastInputTick(std::uint32_t& tick);
std::uint32_t tickCount();
}  // namespace activitysys
