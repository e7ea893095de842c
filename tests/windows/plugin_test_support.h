// Helpers of the plug-in tests: the engine's threads, the plug-in's own log
// lines, GET_METRICS through the client stand-in.
#pragma once

#include <windows.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "codec/codec.h"
#include "common/test_support.h"
#include "plugin/plugin_ids.h"
#include "rdclient/standin.h"

namespace plugintest {

inline std::wstring wide(std::u16string_view s) { return std::wstring(s.begin(), s.end()); }

inline const std::wstring kClsid = wide(kDozaPluginClsidText);

// Threads of this process started by the C runtime (std::thread), which is
// how the engine starts its task threads and the agent bridge, less those in
// `before`. Looks again until at least `expected` are seen: under Wine a
// thread started a moment ago can be missing from the first look. Gives up
// after 10 s, to end a hung test.
inline std::set<DWORD> newThreads(const std::set<DWORD>& before = {}, std::size_t expected = 0) {
    using QueryThread = LONG(WINAPI*)(HANDLE, int, PVOID, ULONG, PULONG);
    static const auto query = reinterpret_cast<QueryThread>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationThread")));
    const auto base = reinterpret_cast<std::uintptr_t>(GetModuleHandleW(L"msvcrt.dll"));
    const std::uintptr_t size = reinterpret_cast<const IMAGE_NT_HEADERS*>(
        base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew)->OptionalHeader.SizeOfImage;
    std::set<DWORD> out;
    for (int look = 0; look < 1000; ++look) {
        if (look) Sleep(10);
        out.clear();
        HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
        THREADENTRY32 entry{};
        entry.dwSize = sizeof entry;
        for (BOOL ok = Thread32First(snapshot, &entry); ok; ok = Thread32Next(snapshot, &entry)) {
            if (entry.th32OwnerProcessID != GetCurrentProcessId() || before.count(entry.th32ThreadID)) continue;
            HANDLE thread = OpenThread(THREAD_QUERY_INFORMATION, FALSE, entry.th32ThreadID);
            void* start = nullptr;
            // ThreadQuerySetWin32StartAddress
            if (thread && query(thread, 9, &start, sizeof start, nullptr) == 0 &&
                reinterpret_cast<std::uintptr_t>(start) - base < size)
                out.insert(entry.th32ThreadID);
            if (thread) CloseHandle(thread);
        }
        CloseHandle(snapshot);
        if (out.size() >= expected) break;
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

// Empty when the expected lines, each "SEVERITY function message", appear in
// the log text in this order (other lines may stand between them); else the
// first one missing. A line reads "date time SEVER [tid] [function@line] message".
inline std::string findInOrder(const std::string& text, const std::vector<std::string>& expected) {
    static const std::regex form(R"(\S+ \S+ (\w+) +\[\d+\] \[(.*?)@\d+\] ([^\r]*)\r?)");
    std::istringstream in(text);
    std::string line;
    std::smatch m;
    for (const std::string& want : expected) {
        bool found = false;
        while (!found && std::getline(in, line))
            found = std::regex_match(line, m, form) && m.str(1) + " " + m.str(2) + " " + m.str(3) == want;
        if (!found) return want;
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
