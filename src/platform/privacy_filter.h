// Privacy switches: an administrator turns a metric group off with a REG_SZ
// value "false" under Software\Quillmere\Telvista\Metrics, per machine or per
// user. Collectors ask before they write or log a guarded value.
#pragma once

#include <mutex>
#include <set>
#include <string>

#include "winreg.h"

inline constexpr char kPrivacyWifiSsid[] = "WIFISSID";
inline constexpr char kPrivacyWifiBssid[] = "WIFIBSSID";
inline constexpr char kPrivacyIspName[] = "ISPName";
inline constexpr char kPrivacyLocation[] = "Location";
inline constexpr char kPrivacyInactivity[] = "Inactivity";

class dataPrivacyFilter {
public:
    // The one filter, read from the registry on first use. A registry failure
    // (winreg::RegException) leaves it uncreated, and the next call tries again.
    static dataPrivacyFilter& instance();

    virtual ~dataPrivacyFilter() = default;
    dataPrivacyFilter(const dataPrivacyFilter&) = delete;
    dataPrivacyFilter& operator=(const dataPrivacyFilter&) = delete;

    // True unless a hive turns the switch off; the name's ASCII letter case
    // does not matter.
    bool isEnabled(const std::string& name);

    // Reads both hives and logs the switches that are off.
    void updateDisabledKeys();

    // Forgets the filter so that the next instance() reads the registry
    // again. Tests only, while no other thread uses the filter.
    static void resetForTests();

private:
    dataPrivacyFilter();

    std::mutex mutex_;
    std::set<std::string> disabled_;  // lower case
};

// The lower-case names of one hive's switches that are off. Throws
// winreg::RegException when the values cannot be enumerated or read.
std::set<std::string> readDisabledSwitches(winreg::Hkey hive);
