// The lookup client and WinHTTP against the stand-in location service. Runs
// only where that service answers as geo.telvista.test (the ctest entry
// "windows_location" sets it up); TVX_LOCATION_LOG names the service's
// request log, TVX_LOCATION_PEER the address it sees us come from.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

std::string env(const char* name) { return std::getenv(name) ? std::getenv(name) : ""; }
std::string locationLog() { return env("TVX_LOCATION_LOG"); }
std::string locationPeer() { return env("TVX_LOCATION_PEER"); }
void locationReady() { ASSERT_FALSE(locationLog().empty()) << "run through the windows_location ctest entry"; }

constexpr char kCrackUrlError[] = "WinHttpCrackUrl failed with error : [12006] : ";
constexpr char kNoConnectError[] = "WinHttpSendRequest failed with error : [12029] : ";
// Windows logs the failed read; Wine's WinHTTP ends such a body as if it
// were complete.
constexpr const char* kDroppedBodyError = nullptr;

}  // namespace

#include "common/location_service_cases.h"
