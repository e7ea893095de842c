// The remote-access (EUC) gateway the client reaches the remote host
// through, found once per process, and the TCP connect time to it.
#pragma once

#include <json/value.h>

#include <cstdint>
#include <optional>
#include <string>

std::int32_t getEucGateway(Json::Value& metrics);
std::int32_t getEucGatewayRoundtrip(Json::Value& metrics);

// Asks the ICA client's session SDK for the gateway of the first session
// that has one. 0 when the SDK was used through to the end, else -1.
std::int32_t getCitrixEucGateway(std::string& gateway);
// The ICA client's folder: under %ProgramFiles(x86)%, then %ProgramFiles%,
// else the host executable's folder; empty when none is known.
std::wstring findIcaClientFolder();
// The folder of a file path (slashes and backslashes alike); a file directly
// in a drive's root gives the root.
std::wstring parentFolder(const std::wstring& path);
// Whether a text pointer handed out by the SDK can be read safely.
bool isReadableText(const char* text);

inline constexpr char kMinimumCcmSdkVersion[] = "25.3.10.0";
// Longest gateway text taken from the SDK (a host name has at most 253).
inline constexpr std::size_t kMaxGatewayText = 256;

// Forgets the discovery so that the next call runs it again. Tests only.
void resetEucGatewayForTests();

// Platform adapter (euc_gateway_win32.cpp / euc_gateway_native.cpp).
namespace eucsys {
std::optional<std::wstring> expandEnvironment(const wchar_t* text);
std::optional<std::wstring> hostExecutablePath();
void* loadLibrary(const std::wstring& path);
void* findFunction(void* module, const char* name);
void freeLibrary(void* module);
}  // namespace eucsys
