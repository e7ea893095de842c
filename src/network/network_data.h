// The facts of the latest interface choice, shared with the collectors of
// other tasks (the gateway probe, the public-IP lookup).
#pragma once

#include <string>

// Replaces all five fields in one locked step.
void setNetworkDataCache(const std::string& guid, const std::string& gateway, const std::string& privateIp,
                         const std::string& mac, const std::string& ssid);
std::string getIfGuid();
std::string getGateway();
std::string getPrivateIp();
std::string getMacAddress();
// Kept even when the privacy filter hides the SSID from the metrics.
std::string getWifiSsid();
