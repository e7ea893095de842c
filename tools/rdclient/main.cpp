// tvx_rdclient: a stand-in for the Windows Remote Desktop client. It registers
// DOZA-Plugin.dll, finds the class through the add-ins key as the real client
// does, creates the plug-in through COM, opens "qmlink-dvc" and plays the
// remote host, printing what the remote host receives.
//
//   tvx_rdclient [--dll PATH] [--wait SECONDS] [--log-dir DIR] [--sample-endpoint NAME]
//                [--lookup-method N] [--keep-registration] [--installed]
//
// --installed: the plug-in as an installer left it; nothing is registered or
// loaded by hand, COM loads the server that the class names.
#include <windows.h>

#include <shellapi.h>

#include <json/reader.h>
#include <json/value.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "codec/codec.h"
#include "rdclient/network_guard.h"
#include "rdclient/report.h"
#include "rdclient/standin.h"

namespace {

using standin::Bytes;
using standin::printable;
using standin::printFlags;
using standin::table;
using standin::utf8;
using standin::valueText;

struct Options {
    std::wstring dll;
    std::wstring logDir;
    std::wstring sampleEndpoint;
    DWORD lookupMethod = 0;
    unsigned waitSeconds = 8;
    bool keepRegistration = false;
    bool installed = false;
};

bool parseOptions(Options& options) {
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv) return false;
    bool ok = true;
    for (int i = 1; i < argc && ok; ++i) {
        std::wstring arg = argv[i];
        bool hasValue = i + 1 < argc;
        if (arg == L"--dll" && hasValue) options.dll = argv[++i];
        else if (arg == L"--log-dir" && hasValue) options.logDir = argv[++i];
        else if (arg == L"--sample-endpoint" && hasValue) options.sampleEndpoint = argv[++i];
        else if (arg == L"--lookup-method" && hasValue) options.lookupMethod = static_cast<DWORD>(_wtoi(argv[++i]));
        else if (arg == L"--wait" && hasValue) options.waitSeconds = static_cast<unsigned>(_wtoi(argv[++i]));
        else if (arg == L"--keep-registration") options.keepRegistration = true;
        else if (arg == L"--installed") options.installed = true;
        else ok = false;
    }
    LocalFree(argv);
    if (options.dll.empty()) options.dll = standin::pluginPathBesideProgram();
    return ok;
}

// ---- printing ----

standin::Report report;

const char kLumeDocument[] = R"({"machine":{"ComputerName":"REMOTE-HOST-01","MicrosoftTeams":{"version":"24.1"}}})";

// Sent right after the channel opens, before the bridge has asked the agent
// anything: the flags are still 0.
void sendEarlyLumeData(standin::Session& session) {
    Bytes reply;
    if (report.exchange(session, std::string("SET_LUME_DATA ") + kLumeDocument + "  (before the bridge's first pass)",
                 tvxcodec::setLumeDataRequest(kLumeDocument), reply))
        report.decodeOrReport([&] { printFlags(tvxcodec::decodeSetLumeDataReply(reply)); });
}

// What the stand-in agent library recorded, when the demo runs one.
void printAgentRecord() {
    char dir[MAX_PATH] = {};
    DWORD n = GetEnvironmentVariableA("LUMESDK_STUB_DIR", dir, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return;
    report.heading("What the endpoint agent (stand-in SDK) received");
    std::ifstream in(std::string(dir) + "\\calls.log", std::ios::binary);
    std::string line;
    while (std::getline(in, line)) std::printf("  %s\n", line.c_str());
}

void playRemoteHost(standin::Session& session) {
    report.heading("The remote host's requests and what it receives");
    if (GetEnvironmentVariableA("TVX_LAB", nullptr, 0) != 0)
        std::printf("  (the plug-in measures the network lab it runs in: interface, gateway, round trips, the\n"
                    "   public address behind the home router, the provider's route hop and the location; the\n"
                    "   lab has no Wi-Fi, so the wifi_* metrics keep their defaults: -1 for numbers, \"\" for texts)\n");
    else
        std::printf("  (inside the demo's namespace there is no gateway, internet or Wi-Fi, so the network\n"
                    "   metrics keep their defaults: -1 for numbers, \"\" for texts)\n");
    Bytes reply;

    if (report.exchange(session, "PING", tvxcodec::pingRequest(), reply))
        report.decodeOrReport([&] {
            std::int32_t level = tvxcodec::decodePingReply(reply);
            std::printf("    %s\n    binary protocol level: %d\n", tvxcodec::hex(reply).c_str(), level);
        });

    if (report.exchange(session, "GET_CLIENT_DATA (version 1 record)", tvxcodec::getClientDataRequest(), reply))
        report.decodeOrReport([&] { table(tvxcodec::decodeClientData(reply)); });

    if (report.exchange(session, "GET_CLIENT_DATA_V2 (kind text + version 2 record)", tvxcodec::getClientDataV2Request(),
                 reply))
        report.decodeOrReport([&] { table(tvxcodec::decodeClientDataV2Reply(reply)); });

    Json::Value id(1);
    std::string payload = tvxcodec::jsonRpcPayload("PING", Json::Value(), id);
    if (report.exchange(session, "PROTOCOL_JSON_RPC " + payload, tvxcodec::jsonRpcFrame(payload), reply))
        report.decodeOrReport([&] { std::printf("    %s", tvxcodec::decodeJsonRpcFrame(reply).text.c_str()); });

    payload = tvxcodec::jsonRpcPayload("GET_METRICS", Json::Value(), Json::Value(2));
    if (report.exchange(session, "PROTOCOL_JSON_RPC " + payload, tvxcodec::jsonRpcFrame(payload), reply))
        report.decodeOrReport([&] {
            Json::Value answer = tvxcodec::decodeJsonRpcFrame(reply).value;
            std::printf("    id %s, result:\n", valueText(answer["id"]).c_str());
            table(answer["result"], "      ");
        });

    const std::string document = kLumeDocument;
    if (report.exchange(session, "SET_LUME_DATA " + document + "  (after the bridge's passes)",
                 tvxcodec::setLumeDataRequest(document), reply))
        report.decodeOrReport([&] {
            std::printf("    %s\n", tvxcodec::hex(reply).c_str());
            printFlags(tvxcodec::decodeSetLumeDataReply(reply));
        });

    Json::Value params(Json::objectValue);
    Json::Reader().parse(document, params["lume_msg"]);
    payload = tvxcodec::jsonRpcPayload("SET_LUME_DATA", params, Json::Value(3));
    if (report.exchange(session, "PROTOCOL_JSON_RPC " + payload, tvxcodec::jsonRpcFrame(payload), reply))
        report.decodeOrReport([&] {
            tvxcodec::JsonRpcReply answer = tvxcodec::decodeJsonRpcFrame(reply);
            std::printf("    %s", answer.text.c_str());
            printFlags(answer.value["result"]["request_from_lume"].asUInt());
        });

    const Bytes unknown = {'p', 'i', 'n', 'g', 0};
    std::printf("\n> %s  (%zu bytes)\n", printable(unknown).c_str(), unknown.size());
    std::vector<Bytes> writes = session.send(unknown);
    std::printf("< %s\n", writes.empty() ? "no reply (unknown kind; the plug-in logs an error)" : "unexpected reply");
    if (!writes.empty()) report.fail();
}

// Where COM found the server: the file the class registration names.
void printLoadedServer() {
    HMODULE module = GetModuleHandleW(L"DOZA-Plugin.dll");
    wchar_t path[MAX_PATH] = {};
    if (!module || GetModuleFileNameW(module, path, MAX_PATH) == 0) {
        std::printf("  !! DOZA-Plugin.dll is not loaded\n");
        report.fail();
        return;
    }
    std::printf("  server loaded from %s\n", utf8(path).c_str());
}

// ---- settings and the log file ----

bool enableLogging(const std::wstring& folder) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Quillmere\\Telvista\\Log\\client", 0, nullptr, 0,
                        KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return false;
    DWORD debug = 5;
    bool ok = RegSetValueExW(key, L"severity", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&debug), sizeof debug) ==
                  ERROR_SUCCESS &&
              RegSetValueExW(key, L"path_root", 0, REG_SZ, reinterpret_cast<const BYTE*>(folder.c_str()),
                             static_cast<DWORD>((folder.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
    RegCloseKey(key);
    return ok;
}

// HKLM "SampleEndpoint", the host the plug-in probes for roundtripGoogleMs.
bool setSampleEndpoint(const std::wstring& name) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Quillmere\\Telvista\\Metrics", 0, nullptr, 0,
                        KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return false;
    bool ok = RegSetValueExW(key, L"SampleEndpoint", 0, REG_SZ, reinterpret_cast<const BYTE*>(name.c_str()),
                             static_cast<DWORD>((name.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
    RegCloseKey(key);
    return ok;
}

// HKCU "PublicIpLookupMethod", the public-IP lookup method tried first.
bool setLookupMethod(DWORD method) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Quillmere\\Telvista\\Setting", 0, nullptr, 0,
                        KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return false;
    bool ok = RegSetValueExW(key, L"PublicIpLookupMethod", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&method),
                             sizeof method) == ERROR_SUCCESS;
    RegCloseKey(key);
    return ok;
}

void printNewestLog(const std::wstring& folder) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\tvx_client_dll_rdp_*.log").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        std::printf("  no log file in %s\n", utf8(folder).c_str());
        return;
    }
    std::wstring newest;
    FILETIME newestTime{};
    do {
        if (CompareFileTime(&found.ftLastWriteTime, &newestTime) >= 0) {
            newestTime = found.ftLastWriteTime;
            newest = found.cFileName;
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
    std::wstring path = folder + L"\\" + newest;
    report.heading("The plug-in's log file " + utf8(path));
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    std::string content = text.str();
    if (content.rfind("\xEF\xBB\xBF", 0) == 0) content.erase(0, 3);
    content.erase(std::remove(content.begin(), content.end(), '\r'), content.end());
    std::fwrite(content.data(), 1, content.size(), stdout);
}

}  // namespace

int main() {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    Options options;
    if (!parseOptions(options)) {
        std::fprintf(stderr, "usage: tvx_rdclient [--dll PATH] [--wait SECONDS] [--log-dir DIR] [--sample-endpoint NAME]\n"
                             "                    [--lookup-method N] [--keep-registration] [--installed]\n");
        return 2;
    }

    std::printf("DOZA-Plugin driven by the Remote Desktop client stand-in\n");
    report.heading("Network");
    std::vector<standin::InterfaceAddress> addresses;
    std::string error;
    if (!standin::readInterfaceAddresses(addresses, error)) {
        std::printf("  cannot read the interfaces (%s); refusing to run the collectors\n", error.c_str());
        return 3;
    }
    for (const auto& a : addresses)
        std::printf("  %-20s %s\n", a.interfaceName.c_str(), standin::addressText(a.address).c_str());
    if (std::string why = standin::checkTestNetworkOnly(addresses); !why.empty()) {
        std::printf("  refusing to run the plug-in's collectors here: %s\n"
                    "  run it through scripts/demo (a loopback-only network namespace) or the lab\n",
                    why.c_str());
        return 3;
    }
    std::printf("  only loopback and test addresses: the collectors cannot reach a real network\n");

    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 4;
    int exitCode = 0;
    {
        report.heading(options.installed ? "Registration (left by the installer)"
                                         : "Registration (as regsvr32 DOZA-Plugin.dll does)");
        if (!options.logDir.empty()) {
            CreateDirectoryW(options.logDir.c_str(), nullptr);
            bool ok = enableLogging(options.logDir);
            std::printf("  HKCU\\Software\\Quillmere\\Telvista\\Log\\client: severity 5 (DEBUG), path_root %s%s\n",
                        utf8(options.logDir).c_str(), ok ? "" : "  !! not written");
        }
        if (!options.sampleEndpoint.empty())
            std::printf("  HKLM\\Software\\Quillmere\\Telvista\\Metrics: SampleEndpoint %s%s\n",
                        utf8(options.sampleEndpoint).c_str(),
                        setSampleEndpoint(options.sampleEndpoint) ? "" : "  !! not written");
        if (options.lookupMethod != 0)
            std::printf("  HKCU\\Software\\Quillmere\\Telvista\\Setting: PublicIpLookupMethod %lu%s\n",
                        options.lookupMethod, setLookupMethod(options.lookupMethod) ? "" : "  !! not written");
        std::optional<standin::PluginDll> dll;
        if (!options.installed) {
            dll.emplace(options.dll);
            if (!dll->loaded()) {
                std::printf("  cannot load %s (error %lu)\n", utf8(options.dll).c_str(), GetLastError());
                CoUninitialize();
                return 4;
            }
            std::printf("  %s\n", utf8(options.dll).c_str());
            report.step("DllRegisterServer", dll->registerServer());
        }

        report.heading("The Remote Desktop client loads its add-in");
        std::optional<std::wstring> classText = standin::readAddInClassText();
        std::printf("  HKCU\\%s\n    Name = %s\n", utf8(standin::kAddInKey).c_str(),
                    classText ? utf8(*classText).c_str() : "(missing)");
        CLSID clsid{};
        if (!classText || FAILED(CLSIDFromString(classText->c_str(), &clsid))) {
            std::printf("  !! no class to create\n");
            CoUninitialize();
            return 1;
        }
        standin::Session session;
        report.step("CoCreateInstance(Name, IWTSPlugin)", session.create(clsid));
        if (session.plugin()) {
            if (options.installed) printLoadedServer();
            else report.step("DllCanUnloadNow while the plug-in lives", dll->canUnloadNow(), S_FALSE);
            report.step("IWTSPlugin::Initialize(channel manager)", session.initialize());
            for (const auto& r : session.manager().registrations())
                std::printf("    CreateListener(\"%s\", flags %lu)\n", r.channelName.c_str(), r.flags);
            report.step("IWTSPlugin::Connected", session.connected());

            report.heading("The remote host opens \"qmlink-dvc\"");
            BOOL accepted = FALSE;
            report.step("IWTSListenerCallback::OnNewChannelConnection", session.openChannel(&accepted));
            std::printf("    accepted: %s; the metric tasks and the agent bridge start\n", accepted ? "yes" : "no");
            sendEarlyLumeData(session);
            std::printf("  letting the metric tasks run for %u s ...\n", options.waitSeconds);
            Sleep(options.waitSeconds * 1000);

            playRemoteHost(session);

            printAgentRecord();
            report.heading("The session ends");
            report.step("IWTSVirtualChannelCallback::OnClose", session.closeChannel());
            report.step("IWTSPlugin::Disconnected(0)", session.disconnected(0));
            report.step("IWTSPlugin::Terminated", session.terminated());
            session.release();
            std::printf("  plug-in released; channel writes with a reserved argument: %zu\n",
                        session.channel() ? session.channel()->reservedArguments() : 0);
            if (dll) report.step("DllCanUnloadNow after the release", dll->canUnloadNow());
        }
        if (dll && !options.keepRegistration) report.step("DllUnregisterServer", dll->unregisterServer());
        if (!options.logDir.empty()) printNewestLog(options.logDir);
    }
    CoUninitialize();
    if (report.failures()) {
        std::printf("\n%d check(s) failed\n", report.failures());
        exitCode = 1;
    }
    return exitCode;
}
