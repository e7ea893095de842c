// Helpers of the plug-in tests: registry trees as text, the engine's threads,
// the plug-in's own log file.
#pragma once

#include <windows.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "codec/codec.h"
#include "common/test_support.h"
#include "platform/log.h"
#include "plugin/plugin_ids.h"
#include "rdclient/standin.h"

namespace plugintest {

inline std::string utf8(const std::wstring& w) { return tvxlog::toUtf8(std::u16string(w.begin(), w.end())); }
inline std::wstring wide(std::u16string_view s) { return std::wstring(s.begin(), s.end()); }

inline const std::wstring kClsid = wide(kDozaPluginClsidText);
inline const std::wstring kLibid = wide(kDozaPluginLibidText);
inline const std::wstring kAddInPath = standin::kAddInKey;

inline bool keyExists(HKEY root, const std::wstring& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

// Every key and value below path, one per line, relative to path: "" for the
// key itself, "\sub" for subkeys; values as " name = s:text" (REG_SZ),
// " name = d:n" (REG_DWORD) or " name = type N", "@" naming the default value.
inline void dumpInto(HKEY root, const std::wstring& path, const std::wstring& relative,
                     std::vector<std::string>& out) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS) return;
    out.push_back(utf8(relative));
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        DWORD nameChars = 256, type = 0;
        BYTE data[2048];
        DWORD size = sizeof data;
        if (RegEnumValueW(key, i, name, &nameChars, nullptr, &type, data, &size) != ERROR_SUCCESS) break;
        std::string line = utf8(relative) + " " + (nameChars ? utf8(name) : std::string("@")) + " = ";
        if (type == REG_SZ) line += "s:" + utf8(reinterpret_cast<const wchar_t*>(data));
        else if (type == REG_DWORD) line += "d:" + std::to_string(*reinterpret_cast<const DWORD*>(data));
        else line += "type " + std::to_string(type);
        out.push_back(line);
    }
    std::vector<std::wstring> subkeys;
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        DWORD nameChars = 256;
        if (RegEnumKeyExW(key, i, name, &nameChars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        subkeys.emplace_back(name);
    }
    RegCloseKey(key);
    for (const std::wstring& sub : subkeys) dumpInto(root, path + L"\\" + sub, relative + L"\\" + sub, out);
}

inline std::multiset<std::string> dumpTree(HKEY root, const std::wstring& path) {
    std::vector<std::string> lines;
    dumpInto(root, path, L"", lines);
    return {lines.begin(), lines.end()};
}

// Threads of this process started by the C runtime (std::thread), which is
// how the engine starts its task threads and the agent bridge.
inline std::set<DWORD> runtimeThreads() {
    using QueryThread = LONG(WINAPI*)(HANDLE, int, PVOID, ULONG, PULONG);
    static const auto query = reinterpret_cast<QueryThread>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationThread")));
    HMODULE runtime = GetModuleHandleW(L"msvcrt.dll");
    std::set<DWORD> out;
    if (!query || !runtime) return out;
    const auto base = reinterpret_cast<std::uintptr_t>(runtime);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
        base + reinterpret_cast<const IMAGE_DOS_HEADER*>(runtime)->e_lfanew);
    const std::uintptr_t end = base + nt->OptionalHeader.SizeOfImage;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return out;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL ok = Thread32First(snapshot, &entry); ok; ok = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID != GetCurrentProcessId()) continue;
        HANDLE thread = OpenThread(THREAD_QUERY_INFORMATION, FALSE, entry.th32ThreadID);
        if (!thread) continue;
        void* start = nullptr;
        // ThreadQuerySetWin32StartAddress
        if (query(thread, 9, &start, sizeof start, nullptr) == 0) {
            auto at = reinterpret_cast<std::uintptr_t>(start);
            if (at >= base && at < end) out.insert(entry.th32ThreadID);
        }
        CloseHandle(thread);
    }
    CloseHandle(snapshot);
    return out;
}

inline std::set<DWORD> newThreads(const std::set<DWORD>& before) {
    std::set<DWORD> out;
    for (DWORD id : runtimeThreads())
        if (!before.count(id)) out.insert(id);
    return out;
}

// The same once at least `expected` are seen: under Wine a thread started a
// moment ago can be missing from the first look. Gives up after 10 s, to end
// a hung test.
inline std::set<DWORD> newThreads(const std::set<DWORD>& before, std::size_t expected) {
    std::set<DWORD> out = newThreads(before);
    for (int i = 0; i < 1000 && out.size() < expected; ++i) {
        Sleep(10);
        out = newThreads(before);
    }
    return out;
}

inline std::size_t stillRunning(const std::set<DWORD>& threads) {
    std::size_t running = 0;
    for (DWORD id : threads) {
        HANDLE thread = OpenThread(SYNCHRONIZE, FALSE, id);
        if (!thread) continue;
        if (WaitForSingleObject(thread, 0) == WAIT_TIMEOUT) ++running;
        CloseHandle(thread);
    }
    return running;
}

// The plug-in's log, turned on for this process by the first Initialize: the
// Log\client values are set only around that call, and the DLL is kept loaded
// so that its logger lives on. Must run before any other Initialize.
class PluginLog {
public:
    static PluginLog& instance() {
        static PluginLog log;
        return log;
    }
    const std::filesystem::path& file() const { return file_; }
    // Text written since the last mark.
    std::string mark() {
        std::string all = read();
        std::string since = all.size() >= offset_ ? all.substr(offset_) : all;
        offset_ = all.size();
        return since;
    }

private:
    PluginLog() {
        const std::filesystem::path folder = tvxtest::tempFolder("doza-plugin-test-log");
        std::error_code ec;
        std::filesystem::remove_all(folder, ec);
        std::filesystem::create_directories(folder, ec);
        const wchar_t* key = L"Software\\Quillmere\\Telvista\\Log\\client";
        HKEY log = nullptr;
        RegCreateKeyExW(HKEY_CURRENT_USER, key, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &log, nullptr);
        DWORD debug = 5;
        std::wstring root = folder.wstring();
        RegSetValueExW(log, L"severity", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&debug), sizeof debug);
        RegSetValueExW(log, L"path_root", 0, REG_SZ, reinterpret_cast<const BYTE*>(root.c_str()),
                       static_cast<DWORD>((root.size() + 1) * sizeof(wchar_t)));
        RegCloseKey(log);

        dll_ = LoadLibraryW(standin::pluginPathBesideProgram().c_str());
        {
            standin::PluginDll dll(standin::pluginPathBesideProgram());
            IClassFactory* factory = nullptr;
            CLSID clsid{};
            CLSIDFromString(kClsid.c_str(), &clsid);
            if (SUCCEEDED(dll.getClassObject(clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory)))) {
                IWTSPlugin* plugin = nullptr;
                if (SUCCEEDED(factory->CreateInstance(nullptr, __uuidof(IWTSPlugin), reinterpret_cast<void**>(&plugin)))) {
                    standin::Ref<standin::ChannelManager> manager = standin::ChannelManager::create();
                    plugin->Initialize(manager.get());
                    plugin->Release();
                    manager->dropListeners();
                }
                factory->Release();
            }
        }
        // Only what this helper made; parents that hold anything else stay.
        for (const wchar_t* made : {key, L"Software\\Quillmere\\Telvista\\Log", L"Software\\Quillmere\\Telvista",
                                    L"Software\\Quillmere"})
            if (RegDeleteKeyW(HKEY_CURRENT_USER, made) != ERROR_SUCCESS) break;
        for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) file_ = entry.path();
        offset_ = read().size();
    }
    std::string read() const { return tvxtest::readFile(file_); }

    HMODULE dll_ = nullptr;
    std::filesystem::path file_;
    std::size_t offset_ = 0;
};

struct LogLine {
    std::string severity, function, message;
};

// Empty when the expected lines appear in the log text in this order (other
// lines may stand between them); else the first one missing. A line reads
// "date time SEVER [tid] [function@line] message".
inline std::string findInOrder(const std::string& text, const std::vector<LogLine>& expected) {
    std::istringstream in(text);
    std::string line;
    for (const LogLine& want : expected) {
        const std::string severity = " " + (want.severity + "     ").substr(0, 5) + " [";
        const std::string function = "] [" + want.function + "@";
        bool found = false;
        while (!found && std::getline(in, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            const std::size_t at = line.find(function), close = line.find("] ", at + function.size());
            found = line.find(severity) != std::string::npos && at != std::string::npos &&
                    close != std::string::npos && line.substr(close + 2) == want.message;
        }
        if (!found) return want.severity + " [" + want.function + "] " + want.message;
    }
    return {};
}

// GET_METRICS through the client stand-in, asked every 250 ms until `done`
// holds or `seconds` pass: the first passes start with the channel, and some
// metrics need an earlier pass's results. Registers and unregisters the DLL.
inline Json::Value metricsThroughTheClientStandIn(const std::function<bool(const Json::Value&)>& done, int seconds) {
    standin::PluginDll dll(standin::pluginPathBesideProgram());
    EXPECT_TRUE(dll.loaded());
    EXPECT_EQ(dll.registerServer(), S_OK);
    CLSID clsid{};
    EXPECT_EQ(CLSIDFromString(standin::readAddInClassText().value_or(L"").c_str(), &clsid), S_OK);
    Json::Value result;
    standin::Session s;
    EXPECT_EQ(s.create(clsid), S_OK);
    EXPECT_EQ(s.initialize(), S_OK);
    EXPECT_EQ(s.openChannel(), S_OK);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    do {
        Sleep(250);
        auto writes = s.send(tvxcodec::jsonRpcFrame(tvxcodec::jsonRpcPayload("GET_METRICS", {}, 1)));
        EXPECT_EQ(writes.size(), 1u);
        if (writes.size() == 1) result = tvxcodec::decodeJsonRpcFrame(writes.front()).value["result"];
    } while (!done(result) && std::chrono::steady_clock::now() < deadline);
    EXPECT_EQ(s.closeChannel(), S_OK);
    EXPECT_EQ(s.terminated(), S_OK);
    s.release();
    dll.unregisterServer();
    return result;
}

}  // namespace plugintest
