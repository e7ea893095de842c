// The host build has no desktop: no active window and no input time.
#include "user_activity.h"

#include "platform/log.h"

namespace activitysys {
std::optional<std::wstring> activeWindowImagePath() { return std::nullopt; }
std::string toNarrow(const std::wstring& text) { return tvxlog::toUtf8(std::u16string(text.begin(), text.end())); }
bool lastInputTick(std::uint32_t&) { return false; }
std::uint32_t tickCount() { return 0; }
}  // namespace activitysys
