// The network never holds the plug-in: tvx_labclient drives the plug-in in
// the network lab against a service that trickles, one that never answers
// TLS, a provider that drops everything, a resolver that never answers and a
// console program that pauses; each case checks what happened and in which
// order. The client runs as a child, ended if it outlives its bound, so a
// plug-in that hangs fails the case instead of holding the tests.
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "common/test_support.h"

namespace {

struct StopCase {
    const char* name;
    const char* variant;
    const char* args;
    // Regular expressions that lines of the client's output match, in order.
    std::vector<const char*> expected;
};

// The client's output lines; "end killed" is all there is when it outlived the bound.
std::vector<std::string> runLabClient(const std::string& args) {
    const std::string folder = tvxtest::exeFolder().string() + "\\";
    const std::string out = tvxtest::tempFolder("tvx-labclient.out").string();
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE file = CreateFileA(out.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = file;
    PROCESS_INFORMATION info{};
    std::string command = "\"" + folder + "tvx_labclient.exe\" " + args;
    const BOOL started = CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info);
    CloseHandle(file);
    if (!started) return {"cannot start " + command};
    if (WaitForSingleObject(info.hProcess, 120000) != WAIT_OBJECT_0) TerminateProcess(info.hProcess, 9);
    CloseHandle(info.hProcess);
    CloseHandle(info.hThread);
    std::ifstream in(out);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line.substr(0, line.find_last_not_of("\r") + 1));
    return lines;
}

void PrintTo(const StopCase& c, std::ostream* os) { *os << c.name; }

class StopLab : public ::testing::TestWithParam<StopCase> {};

TEST_P(StopLab, EndsInOrder) {
    const StopCase& c = GetParam();
    if (!tvxtest::inLabVariant(c.variant))
        GTEST_SKIP() << "runs only in the lab's \"" << c.variant << "\" variant";
    const std::vector<std::string> lines = runLabClient(c.args);
    std::ostringstream all;
    for (const auto& line : lines) all << "\n  " << line;
    auto line = lines.begin();
    for (const char* want : c.expected) {
        const std::regex form(want);
        while (line != lines.end() && !std::regex_match(*line, form)) ++line;
        if (line == lines.end()) FAIL() << "no line \"" << want << "\" in order in:" << all.str();
        ++line;
    }
    // The engine's threads never drop below what the first count saw while
    // an instance stays open.
    const std::regex threads(R"(threads (\d+))");
    int first = -1;
    std::smatch m;
    for (const auto& l : lines)
        if (std::regex_match(l, m, threads)) {
            if (first < 0) first = std::stoi(m[1]);
            EXPECT_GE(std::stoi(m[1]), first) << all.str();
        }
    EXPECT_NE(first, 0) << all.str();
}

// After the references went the plug-in's threads end and the module may go;
// a thread still in a system call (a name lookup) may keep it a while.
#define ENDS "close:\\w ok .*", "release ok .*", "unload:\\d+ ok .*", "end ok"

INSTANTIATE_TEST_SUITE_P(
    Cases, StopLab,
    ::testing::Values(
        StopCase{"TricklingService", "provider", "--location-host geo.telvista.test:9443 open:A sleep:2 close:A release unload:30",
                 {ENDS}},
        // Wine's WinHTTP never lets go of a request stuck in its TLS handshake,
        // so the request's module hold (its callback may still come) stays:
        // the close returns at once all the same.
        StopCase{"SilentTls", "provider", "--location-host geo.telvista.test:9444 open:A sleep:2 close:A release",
                 {"close:A ok .*", "release ok .*", "end ok"}},
        StopCase{"ProviderDrops", "dropped", "open:A sleep:3 close:A open:A sleep:5 close:A release unload:30",
                 {"close:A ok .*", ENDS}},
        // Local facts are answered while the lookup still waits for the resolver.
        StopCase{"DeadResolver", "deaddns",
                 "open:A watch:5:userName,computerName,if_guid,gateway,privateIpAddress close:A release unload:30",
                 {"watch all-live .*", ENDS}},
        // Closing one instance leaves the other served and the engine running.
        StopCase{"CloseFirstOfTwo", "provider", "open:A open:B sleep:1 threads close:A ask:B threads close:B release unload:30",
                 {"close:A ok .*", "ask:B answered .*", ENDS}},
        StopCase{"CloseSecondOfTwo", "provider", "open:A open:B sleep:1 threads close:B ask:A threads close:A release unload:30",
                 {"close:B ok .*", "ask:A answered .*", ENDS}},
        // A restart while a console program pauses in the middle of a pass.
        StopCase{"RestartDuringSlowConsole", "provider",
                 "--console wmic=pause:30000 open:A sleep:1 threads open:B sleep:1 threads ask:B close:B close:A release unload:30",
                 {"open:B ok .*", "ask:B answered .*", ENDS}}),
    [](const ::testing::TestParamInfo<StopCase>& info) { return std::string(info.param.name); });

}  // namespace
