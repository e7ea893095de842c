#include "privacy_filter.h"

#include <atomic>
#include <memory>

#include "log.h"
#include "settings.h"

namespace {

std::string asciiLower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

// Only the comparison with "false" matters, and no character outside ASCII
// lower-cases to one of its letters, so the ASCII rule decides it alike.
std::u16string lowerData(std::u16string text) {
    for (char16_t& c : text)
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    return text;
}

std::mutex creationMutex;
// Never destroyed: collectors may still ask while the process ends.
std::atomic<dataPrivacyFilter*> filterInstance{nullptr};

}  // namespace

std::set<std::string> readDisabledSwitches(winreg::Hkey hive) {
    std::set<std::string> disabled;
    winreg::RegistryKey key;
    if (key.tryOpen(hive, kMetricsKey) != winreg::kErrorSuccess) return disabled;
    for (const auto& [name, type] : key.enumValues()) {
        (void)type;
        if (!key.tryGetStringValue(name)) continue;
        if (lowerData(key.getStringValue(name)) == u"false") disabled.insert(asciiLower(tvxlog::toUtf8(name)));
    }
    return disabled;
}

dataPrivacyFilter::dataPrivacyFilter() { updateDisabledKeys(); }

dataPrivacyFilter& dataPrivacyFilter::instance() {
    if (dataPrivacyFilter* filter = filterInstance.load()) return *filter;
    std::lock_guard<std::mutex> lock(creationMutex);
    if (dataPrivacyFilter* filter = filterInstance.load()) return *filter;
    std::unique_ptr<dataPrivacyFilter> created(new dataPrivacyFilter);
    filterInstance.store(created.get());
    return *created.release();
}

void dataPrivacyFilter::resetForTests() {
    std::lock_guard<std::mutex> lock(creationMutex);
    delete filterInstance.exchange(nullptr);
}

bool dataPrivacyFilter::isEnabled(const std::string& name) {
    const std::string lower = asciiLower(name);
    std::lock_guard<std::mutex> lock(mutex_);
    return disabled_.find(lower) == disabled_.end();
}

void dataPrivacyFilter::updateDisabledKeys() {
    std::lock_guard<std::mutex> lock(mutex_);
    disabled_ = readDisabledSwitches(winreg::localMachine());
    disabled_.merge(readDisabledSwitches(winreg::currentUser()));
    TVX_LOG(tvxlog::info) << "-------------------- Disabled metric keys --------------------";
    for (const auto& name : disabled_) TVX_LOG(tvxlog::info) << "\t[" << name << "]";
}
