// tvx_labclient: the Remote Desktop client stand-in as the network lab's
// tests and benchmarks drive it. It plays a list of steps against one
// plug-in object and prints one line per step, "STEP OUTCOME FIGURE", so a
// caller can check what happened and in which order, and read how long it
// took. A call into the plug-in that does not return within the bound ends
// the program ("STEP timeout BOUND", then "end killed"): a plug-in held by
// the network must not hold its caller too.
//
//   tvx_labclient [--bound S] [--location-host HOST[:PORT]] [--sample-endpoint HOST]
//                 [--lookup-method N] [--console NAME=STEPS]... STEP...
//
// Steps (X names a channel instance, any word):
//   open:X        OnNewChannelConnection with a new channel       ok|refused SECONDS
//   close:X       OnClose of X's callback                         ok SECONDS
//   ask:X         GET_METRICS on X                                answered|silent SECONDS
//   disconnect    Disconnected(0)                                 ok SECONDS
//   terminate     Terminated                                      ok SECONDS
//   release       every reference the client holds                ok SECONDS
//   sleep:S       waits S seconds
//   threads       the plug-in's threads                           COUNT
//   watch:S[:K,K] GET_METRICS on the newest instance every 50 ms for S
//                 seconds or until the metrics K are all live; one line
//                 "live KEY SECONDS" (since the first open) per metric that
//                 leaves its default, then "watch all-live SECONDS" or
//                 "watch missing K,K SECONDS"
//   idle:S        this process's CPU over S seconds               idle PERCENT
//   unload:S      DllCanUnloadNow until S_OK, at most S seconds   ok|refused SECONDS
//
// The settings given are written for the run and removed at its end; a
// console stand-in NAME.exe (tools/console) runs STEPS from a folder of the
// run's own, which becomes the current folder. Runs the real collectors, so
// only inside the lab (tests/lab/lab --wine) or scripts/wine-run.
#include <windows.h>

#include <objbase.h>
#include <shellapi.h>
#include <tlhelp32.h>

#include <cstdio>
#include <exception>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "codec/codec.h"
#include "rdclient/network_guard.h"
#include "rdclient/report.h"
#include "rdclient/standin.h"

namespace {

using standin::Ref;

const wchar_t kSetting[] = L"Software\\Quillmere\\Telvista\\Setting";
const wchar_t kMetrics[] = L"Software\\Quillmere\\Telvista\\Metrics";

double now() {
    LARGE_INTEGER t, f;
    QueryPerformanceCounter(&t);
    QueryPerformanceFrequency(&f);
    return static_cast<double>(t.QuadPart) / static_cast<double>(f.QuadPart);
}

// Registry values written for the run; removed again on every way out.
struct Written {
    HKEY root;
    const wchar_t* key;
    const wchar_t* name;
};
std::vector<Written> written;
// Console stand-ins placed for the run, and their folder.
std::vector<std::string> placed;
std::string consoleFolder;

bool setValue(HKEY root, const wchar_t* key, const wchar_t* name, const std::wstring* text, DWORD number) {
    written.push_back({root, key, name});
    return text ? RegSetKeyValueW(root, key, name, REG_SZ, text->c_str(), static_cast<DWORD>((text->size() + 1) * 2)) == 0
                : RegSetKeyValueW(root, key, name, REG_DWORD, &number, sizeof number) == 0;
}

// A stand-in still running (ended with the bound) may stay behind.
void cleanUp() {
    for (const Written& w : written) RegDeleteKeyValueW(w.root, w.key, w.name);
    written.clear();
    if (consoleFolder.empty()) return;
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    SetCurrentDirectoryA(temp);
    for (const std::string& file : placed) DeleteFileA(file.c_str());
    RemoveDirectoryA(consoleFolder.c_str());
}

// Ends the program at once: the plug-in may hold threads that never return.
[[noreturn]] void endKilled() {
    std::printf("end killed\n");
    std::fflush(stdout);
    cleanUp();
    TerminateProcess(GetCurrentProcess(), 3);
    ExitProcess(3);
}

// Runs the call on a thread of its own; returns its duration, or ends the
// program when the call outlives the bound.
double timed(const std::string& step, double bound, const std::function<void()>& call) {
    auto* work = new std::function<void()>(call);
    const double t0 = now();
    HANDLE thread = CreateThread(nullptr, 0, [](void* p) -> DWORD {
        auto* f = static_cast<std::function<void()>*>(p);
        (*f)();
        delete f;
        return 0;
    }, work, 0, nullptr);
    if (!thread) endKilled();
    if (WaitForSingleObject(thread, static_cast<DWORD>(bound * 1000)) != WAIT_OBJECT_0) {
        std::printf("%s timeout %.3f\n", step.c_str(), bound);
        endKilled();
    }
    CloseHandle(thread);
    return now() - t0;
}

// Threads started by the C runtime or from inside the plug-in's image: the
// engine's tasks and the agent bridge, never this program's own.
int pluginThreads(HMODULE plugin) {
    using QueryThread = LONG(WINAPI*)(HANDLE, int, PVOID, ULONG, PULONG);
    static const auto query = reinterpret_cast<QueryThread>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationThread")));
    auto image = [](HMODULE m) {
        const auto base = reinterpret_cast<std::uintptr_t>(m);
        if (!base) return std::make_pair(base, std::uintptr_t{0});
        return std::make_pair(base, static_cast<std::uintptr_t>(reinterpret_cast<const IMAGE_NT_HEADERS*>(
            base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew)->OptionalHeader.SizeOfImage));
    };
    const auto crt = image(GetModuleHandleW(L"msvcrt.dll")), own = image(plugin);
    int count = 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL ok = Thread32First(snapshot, &entry); ok; ok = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID != GetCurrentProcessId()) continue;
        HANDLE thread = OpenThread(THREAD_QUERY_INFORMATION, FALSE, entry.th32ThreadID);
        void* start = nullptr;
        // ThreadQuerySetWin32StartAddress
        if (thread && query(thread, 9, &start, sizeof start, nullptr) == 0) {
            const auto at = reinterpret_cast<std::uintptr_t>(start);
            if (at - crt.first < crt.second || at - own.first < own.second) ++count;
        }
        if (thread) CloseHandle(thread);
    }
    CloseHandle(snapshot);
    return count;
}

double cpuSeconds() {
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    auto seconds = [](FILETIME f) { return static_cast<double>((ULONGLONG(f.dwHighDateTime) << 32) | f.dwLowDateTime) / 1e7; };
    return seconds(kernel) + seconds(user);
}

bool isDefault(const Json::Value& v) {
    return v.isNull() || (v.isString() && v.asString().empty()) || (v.isNumeric() && v.asDouble() == -1.0);
}

std::vector<std::string> split(const std::string& text, char at) {
    std::vector<std::string> parts;
    std::string::size_type start = 0, end;
    while ((end = text.find(at, start)) != std::string::npos) {
        parts.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    parts.push_back(text.substr(start));
    return parts;
}

// A console stand-in in a folder of this run's own, made the current folder
// (the command runner finds programs there before the system's).
bool placeConsole(const std::string& name, const std::string& steps) {
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    const std::string folder = consoleFolder = std::string(temp) + "tvx-labclient-" + std::to_string(GetCurrentProcessId());
    CreateDirectoryA(folder.c_str(), nullptr);
    placed.push_back(folder + "\\" + name + ".exe");
    std::string upper = name;
    for (auto& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    const std::wstring beside = standin::pluginPathBesideProgram();
    const std::string console = standin::utf8(beside.substr(0, beside.find_last_of(L"\\/") + 1)) + "tvx_console.exe";
    return SetEnvironmentVariableA(("TVX_CONSOLE_" + upper).c_str(), steps.c_str()) &&
           CopyFileA(console.c_str(), placed.back().c_str(), FALSE) &&
           SetCurrentDirectoryA(folder.c_str());
}

class Run {
public:
    explicit Run(double bound) : bound_(bound) {}

    // Empty when the plug-in was created and initialised, else why not.
    std::string start(const CLSID& clsid) {
        if (FAILED(session_.create(clsid))) return "CoCreateInstance failed";
        if (FAILED(session_.initialize())) return "Initialize failed";
        session_.connected();
        listener_ = session_.manager().listenerFor(standin::kChannelName);
        return listener_ ? "" : "no listener for the channel";
    }

    bool step(const std::string& text, HMODULE plugin) {
        const auto parts = split(text, ':');
        const std::string& verb = parts[0];
        const std::string arg = parts.size() > 1 ? parts[1] : "";
        if (verb == "open" && parts.size() == 2) return open(text, arg);
        if (verb == "close" && instances_.count(arg)) {
            const Ref<IWTSVirtualChannelCallback> callback = instances_[arg].callback;
            return report(text, "ok", timed(text, bound_, [callback] { callback->OnClose(); }));
        }
        if (verb == "ask" && instances_.count(arg)) return ask(text, instances_[arg]);
        if (verb == "disconnect") return report(text, "ok", timed(text, bound_, [this] { session_.disconnected(0); }));
        if (verb == "terminate") return report(text, "ok", timed(text, bound_, [this] { session_.terminated(); }));
        if (verb == "release")
            return report(text, "ok", timed(text, bound_, [this] {
                              instances_.clear();
                              listener_.reset();
                              session_.release();
                          }));
        if (verb == "sleep" && parts.size() == 2) return Sleep(static_cast<DWORD>(std::stod(arg) * 1000)), true;
        if (verb == "threads") return std::printf("threads %d\n", pluginThreads(plugin)) > 0;
        if (verb == "watch" && parts.size() >= 2) return watch(std::stod(arg), parts.size() > 2 ? split(parts[2], ',') : std::vector<std::string>{});
        if (verb == "idle" && parts.size() == 2) {
            const double cpu0 = cpuSeconds(), t0 = now();
            Sleep(static_cast<DWORD>(std::stod(arg) * 1000));
            return std::printf("idle %.3f\n", 100.0 * (cpuSeconds() - cpu0) / (now() - t0)) > 0;
        }
        return false;
    }

private:
    struct Instance {
        Ref<standin::Channel> channel;
        Ref<IWTSVirtualChannelCallback> callback;
    };

    static bool report(const std::string& step, const char* outcome, double seconds) {
        std::printf("%s %s %.3f\n", step.c_str(), outcome, seconds);
        return true;
    }

    bool open(const std::string& text, const std::string& name) {
        Instance& instance = instances_[name];
        instance.channel = standin::Channel::create();
        BOOL accept = FALSE;
        IWTSListenerCallback* listener = listener_.get();
        IWTSVirtualChannel* channel = instance.channel.get();
        IWTSVirtualChannelCallback** callback = instance.callback.put();
        if (firstOpen_ == 0) firstOpen_ = now();
        const double seconds = timed(text, bound_, [=, &accept] {
            listener->OnNewChannelConnection(channel, nullptr, &accept, callback);
        });
        newest_ = name;
        return report(text, accept && instance.callback ? "ok" : "refused", seconds);
    }

    // GET_METRICS on one instance; null when no reply came on its channel.
    Json::Value metrics(Instance& instance, const std::string& step) {
        const std::size_t before = instance.channel->writeCount();
        const Ref<IWTSVirtualChannelCallback> callback = instance.callback;
        const auto request = tvxcodec::jsonRpcFrame(tvxcodec::jsonRpcPayload("GET_METRICS", {}, 1));
        timed(step, bound_, [&] {
            callback->OnDataReceived(static_cast<ULONG>(request.size()), const_cast<BYTE*>(request.data()));
        });
        const auto writes = instance.channel->writes();
        if (writes.size() <= before) return Json::Value();
        try {
            return tvxcodec::decodeJsonRpcFrame(writes.back()).value["result"];
        } catch (...) {
            return Json::Value();
        }
    }

    bool ask(const std::string& text, Instance& instance) {
        const double t0 = now();
        const bool answered = metrics(instance, text).isObject();
        return report(text, answered ? "answered" : "silent", now() - t0);
    }

    bool watch(double seconds, const std::vector<std::string>& wanted) {
        if (!instances_.count(newest_)) return false;
        const double end = now() + seconds;
        std::set<std::string> waiting(wanted.begin(), wanted.end());
        do {
            const Json::Value result = metrics(instances_[newest_], "watch");
            for (const std::string& key : result.isObject() ? result.getMemberNames() : std::vector<std::string>{}) {
                if (isDefault(result[key]) || !live_.insert(key).second) continue;
                std::printf("live %s %.3f\n", key.c_str(), now() - firstOpen_);
                waiting.erase(key);
            }
            if (waiting.empty() && !wanted.empty()) return report("watch", "all-live", now() - firstOpen_);
            Sleep(50);
        } while (now() < end);
        std::string missing;
        for (const std::string& key : waiting) missing += (missing.empty() ? "" : ",") + key;
        std::printf("watch missing %s %.3f\n", missing.empty() ? "-" : missing.c_str(), now() - firstOpen_);
        return true;
    }

    double bound_;
    double firstOpen_ = 0;
    standin::Session session_;
    Ref<IWTSListenerCallback> listener_;
    std::map<std::string, Instance> instances_;
    std::string newest_;
    std::set<std::string> live_;
};

}  // namespace

int main() {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    double bound = 10;
    std::vector<std::string> steps;
    bool ok = argv != nullptr;
    for (int i = 1; ok && i < argc; ++i) {
        const std::wstring arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == L"--bound" && hasValue) bound = _wtof(argv[++i]);
        else if (arg == L"--location-host" && hasValue) {
            const std::wstring host = argv[++i];
            ok = setValue(HKEY_LOCAL_MACHINE, kSetting, L"LocationServiceHost", &host, 0);
        } else if (arg == L"--sample-endpoint" && hasValue) {
            const std::wstring host = argv[++i];
            ok = setValue(HKEY_LOCAL_MACHINE, kMetrics, L"SampleEndpoint", &host, 0);
        } else if (arg == L"--lookup-method" && hasValue) {
            ok = setValue(HKEY_CURRENT_USER, kSetting, L"PublicIpLookupMethod", nullptr, static_cast<DWORD>(_wtoi(argv[++i])));
        } else if (arg == L"--console" && hasValue) {
            const std::string named = standin::utf8(argv[++i]);
            const auto equals = named.find('=');
            ok = equals != std::string::npos && placeConsole(named.substr(0, equals), named.substr(equals + 1));
        } else if (arg.rfind(L"--", 0) == 0) ok = false;
        else steps.push_back(standin::utf8(arg));
    }
    if (argv) LocalFree(argv);
    if (!ok || steps.empty() || bound <= 0) {
        cleanUp();
        std::fprintf(stderr, "usage: tvx_labclient [--bound S] [--location-host HOST[:PORT]] [--sample-endpoint HOST]\n"
                             "                     [--lookup-method N] [--console NAME=STEPS]... STEP...\n");
        return 2;
    }
    if (std::string why = standin::whyNotATestNetwork(); !why.empty()) {
        cleanUp();
        std::fprintf(stderr, "refusing to run the plug-in's collectors here: %s\n", why.c_str());
        return 3;
    }
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    int status = 0;
    {
        standin::PluginDll dll(standin::pluginPathBesideProgram());
        CLSID clsid{};
        if (!dll.loaded() || FAILED(dll.registerServer()) ||
            FAILED(CLSIDFromString(standin::readAddInClassText().value_or(L"").c_str(), &clsid))) {
            std::fprintf(stderr, "cannot load and register the plug-in\n");
            status = 3;
        } else {
            Run run(bound);
            const std::string why = run.start(clsid);
            if (!why.empty()) {
                std::fprintf(stderr, "%s\n", why.c_str());
                status = 3;
            }
            for (std::size_t i = 0; status == 0 && i < steps.size(); ++i) {
                if (steps[i].rfind("unload:", 0) == 0) {
                    // Polled after the references went; the plug-in may
                    // keep itself loaded while its last threads end.
                    const double t0 = now(), end = t0 + std::stod(steps[i].substr(7));
                    HRESULT hr;
                    while ((hr = dll.canUnloadNow()) != S_OK && now() < end) Sleep(20);
                    std::printf("%s %s %.3f\n", steps[i].c_str(), hr == S_OK ? "ok" : "refused", now() - t0);
                } else {
                    bool done = false;
                    try {
                        done = run.step(steps[i], dll.module());
                    } catch (const std::exception&) {
                        // a number that does not read as one
                    }
                    if (!done) {
                        std::fprintf(stderr, "cannot run the step \"%s\"\n", steps[i].c_str());
                        status = 2;
                    }
                }
            }
            dll.unregisterServer();
        }
        std::printf("end %s\n", status == 0 ? "ok" : "failed");
        std::fflush(stdout);
        cleanUp();
        // A plug-in that kept threads must not hold the program's exit.
        TerminateProcess(GetCurrentProcess(), static_cast<UINT>(status));
    }
    return status;
}
