#include "user_activity.h"

#include "platform/log.h"
#include "platform/privacy_filter.h"

double inactivitySeconds(std::uint32_t nowTick, std::uint32_t lastInputTick) {
    if (nowTick > lastInputTick) return static_cast<std::uint32_t>(nowTick - lastInputTick) / 1000.0;
    return 0.01;
}

std::wstring imageFileName(const std::wstring& path) {
    std::size_t cut = path.find_last_of(L"\\/");
    if (cut == std::wstring::npos) cut = path.find(L':');
    return cut == std::wstring::npos ? path : path.substr(cut + 1);
}

std::int32_t getActiveAppInfo(Json::Value& metrics) {
    std::string name;
    if (const auto path = activitysys::activeWindowImagePath()) {
        name = activitysys::toNarrow(imageFileName(*path));
        TVX_LOG(tvxlog::debug) << "\tActive process: " << name;
    }
    metrics["activeProcessName"] = name;
    return 0;
}

std::int32_t getInactivitySeconds(Json::Value& metrics) {
    if (!dataPrivacyFilter::instance().isEnabled(kPrivacyInactivity)) return 0;
    double value = -1.0;
    std::uint32_t last = 0;
    if (activitysys::lastInputTick(last)) {
        const std::uint32_t now = activitysys::tickCount();
        value = inactivitySeconds(now, last);
        TVX_LOG(tvxlog::debug) << "\tinactivity seconds : " << value << ", RAW data: [" << now << ", " << last << "]";
    }
    metrics["inactivityTimeSeconds"] = value;
    return 0;
}
