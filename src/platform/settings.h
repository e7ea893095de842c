// Readers of the product's registry settings, each with its hive rule and
// default. Settings are read at the moment of use; nothing is cached here.
#pragma once

#include <cstdint>
#include <string>

// Root of every setting, below HKCU or HKLM.
inline constexpr char16_t kSettingsRoot[] = u"Software\\Quillmere\\Telvista";
inline constexpr char16_t kSettingKey[] = u"Software\\Quillmere\\Telvista\\Setting";
inline constexpr char16_t kMetricsKey[] = u"Software\\Quillmere\\Telvista\\Metrics";
inline constexpr char16_t kLogClientKey[] = u"Software\\Quillmere\\Telvista\\Log\\client";

// "PublicIpLookupMethod": HKCU, then HKLM when missing or 0; 0 when both fail.
std::uint32_t readPublicIpLookupMethod();
// HKLM "SampleEndpoint" (REG_SZ only); defaultName when absent or not a string.
std::string readEndPointFromRegistry(const std::string& defaultName);

// Where the location lookup service is. HKLM REG_SZ "LocationServiceHost" and
// "LocationServiceKey" under the Setting key let an operator point the plug-in
// at the deployed service; missing, empty or not a string: the built-in value.
inline constexpr char kDefaultLocationServiceHost[] = "geo.telvista.test";
inline constexpr char kDefaultLocationServiceKey[] = "67J72EDYSQG12LT9NRCMHJX5UPUURXG7LEE9OWSN";
std::string readLocationServiceHost();
std::string readLocationServiceKey();
