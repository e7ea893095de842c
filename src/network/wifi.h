// Wi-Fi link facts of the machine's first connected wireless interface, from
// the Native Wi-Fi library loaded on first use.
#pragma once

#include <string>

// Fills the seven outputs and returns true when a connected wireless interface
// was found. The caller sets the defaults (texts empty, numbers -1) first; the
// GUID also carries the caller's interface GUID in and is replaced only when a
// connected interface is found.
bool getWifiMetricsImpl(std::string& interfaceGuid, std::string& ssid, std::string& bssid,
                        std::string& authentication, std::string& radioType, int& strength, int& channel);
