#include "endurance/process_stats.h"

#include <windows.h>

#include <psapi.h>
#include <winternl.h>

#include <algorithm>
#include <cstddef>
#include <vector>

namespace endurance {

namespace {

using Query = NTSTATUS(WINAPI*)(ULONG, PVOID, ULONG, PULONG);

// The system information of one class, grown until it fits; empty on failure.
std::vector<BYTE> querySystem(ULONG infoClass) {
    static const auto query = reinterpret_cast<Query>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    constexpr NTSTATUS kLengthMismatch = static_cast<NTSTATUS>(0xC0000004L);
    std::vector<BYTE> buffer(256 * 1024);
    for (int attempt = 0; query && attempt < 6; ++attempt) {
        ULONG needed = 0;
        NTSTATUS status = query(infoClass, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
        if (status >= 0) return buffer;
        if (status != kLengthMismatch) break;
        buffer.resize(std::max<std::size_t>(buffer.size() * 2, needed + 65536));
    }
    return {};
}

// Threads of this process from the system's process list.
std::uint32_t countThreads() {
    const std::vector<BYTE> list = querySystem(SystemProcessInformation);
    const auto self = static_cast<ULONG_PTR>(GetCurrentProcessId());
    for (std::size_t offset = 0; !list.empty();) {
        const auto* entry = reinterpret_cast<const SYSTEM_PROCESS_INFORMATION*>(list.data() + offset);
        if (reinterpret_cast<ULONG_PTR>(entry->UniqueProcessId) == self) return entry->NumberOfThreads;
        if (entry->NextEntryOffset == 0) break;
        offset += entry->NextEntryOffset;
    }
    return 0;
}

// Handles of this process from the system's handle list. Wine's per-process
// handle count gives the size of the handle table, not what is in it.
std::uint32_t countHandles() {
    struct Entry {
        ULONG ownerPid;
        BYTE objectType;
        BYTE flags;
        USHORT value;
        PVOID object;
        ULONG access;
    };
    struct List {
        ULONG count;
        Entry entries[1];
    };
    constexpr ULONG kSystemHandleInformation = 16;
    const std::vector<BYTE> buffer = querySystem(kSystemHandleInformation);
    if (buffer.empty()) return 0;
    const auto* list = reinterpret_cast<const List*>(buffer.data());
    const std::size_t fits = (buffer.size() - offsetof(List, entries)) / sizeof(Entry);
    const ULONG self = GetCurrentProcessId();
    std::uint32_t n = 0;
    for (std::size_t i = 0; i < std::min<std::size_t>(list->count, fits); ++i)
        if (list->entries[i].ownerPid == self) ++n;
    return n;
}

std::uint64_t ticks100ns(const FILETIME& t) {
    return (static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}

}  // namespace

ProcessStats readProcessStats() {
    ProcessStats stats;
    stats.threads = countThreads();
    stats.handles = countHandles();
    PROCESS_MEMORY_COUNTERS memory{};
    if (K32GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory))
        stats.workingSetBytes = memory.WorkingSetSize;
    return stats;
}

double processCpuSeconds() {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
    return static_cast<double>(ticks100ns(kernel) + ticks100ns(user)) / 1e7;
}

double nowSeconds() {
    static const double frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<double>(f.QuadPart);
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) / frequency;
}

}  // namespace endurance
