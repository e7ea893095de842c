// tvx_endurance: the plug-in inside a Remote Desktop client stand-in, measured
// (bench) or worn down (soak). Runs the real collectors, so only where they
// cannot reach a real network (scripts/wine-run).
//
//   tvx_endurance bench [--requests N] [--idle-seconds S] [--settle-seconds S]
//   tvx_endurance soak  [--sessions N] [--warm-up N] [--seconds S] [--senders N]
#include <windows.h>

#include <objbase.h>

#include <shellapi.h>

#include <cstdio>
#include <string>

#include "endurance/endurance.h"
#include "rdclient/network_guard.h"

namespace {

bool parse(int argc, wchar_t** argv, endurance::BenchOptions& bench, endurance::SoakOptions& soak) {
    for (int i = 2; i < argc; ++i) {
        if (i + 1 >= argc) return false;
        const std::wstring name = argv[i];
        const double value = _wtof(argv[++i]);
        if (value < 0) return false;
        if (name == L"--requests") bench.requests = static_cast<int>(value);
        else if (name == L"--idle-seconds") bench.idleSeconds = value;
        else if (name == L"--settle-seconds") bench.settleSeconds = value;
        else if (name == L"--sessions") soak.sessions = static_cast<int>(value);
        else if (name == L"--warm-up") soak.warmUpSessions = static_cast<int>(value);
        else if (name == L"--seconds") soak.concurrentSeconds = value;
        else if (name == L"--senders") soak.senders = static_cast<int>(value);
        else return false;
    }
    return bench.requests > 0 && soak.sessions > 0 && soak.senders > 0;
}

}  // namespace

int main() {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    endurance::BenchOptions bench;
    endurance::SoakOptions soak;
    const std::wstring mode = argv && argc > 1 ? argv[1] : L"";
    const bool ok = (mode == L"bench" || mode == L"soak") && parse(argc, argv, bench, soak);
    LocalFree(argv);
    if (!ok) {
        std::fprintf(stderr,
                     "usage: tvx_endurance bench [--requests N] [--idle-seconds S] [--settle-seconds S]\n"
                     "       tvx_endurance soak  [--sessions N] [--warm-up N] [--seconds S] [--senders N]\n");
        return 2;
    }
    if (std::string why = standin::whyNotATestNetwork(); !why.empty()) {
        std::fprintf(stderr, "refusing to run the plug-in's collectors here: %s\n", why.c_str());
        return 3;
    }
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 4;
    const int status = mode == L"bench" ? endurance::runBench(bench) : endurance::runSoak(soak);
    CoUninitialize();
    return status;
}
