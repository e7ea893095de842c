// Scripted console program for the command runner's tests and the demo. It
// runs the steps given on its command line, or, when it was copied to
// another name (whoami.exe, wmic.exe, ...), the steps in the environment
// variable TVX_CONSOLE_<NAME> (upper case, e.g. TVX_CONSOLE_WMIC), split at
// blanks. Texts use "|" between lines, each written with CR LF, and "~" for
// a blank.
//   out:TEXT      lines to standard output          err:TEXT   to standard error
//   raw:TEXT      TEXT as it is, no line ends       nul        "ab", NUL, "cd" CR LF, "ef" CR LF
//   utf16:TEXT    lines as UTF-16 (as wmic writes to a pipe)
//   flood:N       N numbered lines "line K" and a last line "END"
//   long:N        one line of N letters x
//   pause:MS      flushes, then sleeps               forever   sleeps without end
//   spawn         starts "<self> forever", prints "child PID"
//   exit:CODE     ends with that exit status         (no steps: no output, status 0)
//   when:WORD     the steps up to the next when: run only if the command
//                 line holds WORD (one stand-in, several commands)
//   nslookup:ADDR what nslookup prints for "nslookup [-opt] NAME SERVER":
//                 the server's lines, then NAME with ADDR; no ADDR: the
//                 server's lines and its "can't find" error
#include <windows.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

void writeTo(HANDLE h, const std::string& bytes) {
    DWORD written = 0;
    if (!bytes.empty()) WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

std::string lines(const std::string& text) {
    std::string out;
    for (char c : text) out += c == '|' ? std::string("\r\n") : std::string(1, c == '~' ? ' ' : c);
    return out + "\r\n";
}

std::string selfPath() {
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    return path;
}

std::string selfName() {
    std::string path = selfPath();
    std::string name = path.substr(path.find_last_of("\\/") + 1);
    name = name.substr(0, name.find_last_of('.'));
    for (auto& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return name;
}

// nslookup's own layout: the server first, the answer's origin on standard error.
void nslookup(HANDLE out, HANDLE err, const std::vector<std::string>& args, const std::string& address) {
    std::vector<std::string> names;
    for (const std::string& a : args)
        if (!a.empty() && a[0] != '-') names.push_back(a);
    const std::string name = names.empty() ? "" : names.front();
    const std::string server = names.size() > 1 ? names.back() : "UnKnown";
    writeTo(out, "Server:  " + server + "\r\nAddress:  208.67.222.222\r\n\r\n");
    if (address.empty()) {
        writeTo(err, "*** " + server + " can't find " + name + ": Non-existent domain\r\n");
        return;
    }
    writeTo(err, "Non-authoritative answer:\r\n");
    writeTo(out, "Name:    " + name + "\r\nAddress:  " + address + "\r\n\r\n");
}

int run(const std::vector<std::string>& steps, const std::vector<std::string>& args) {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    const std::string commandLine = GetCommandLineA();
    int status = 0;
    bool active = true;
    for (const std::string& step : steps) {
        const std::string arg = step.substr(step.find(':') == std::string::npos ? step.size() : step.find(':') + 1);
        if (step.rfind("when:", 0) == 0) {
            active = commandLine.find(arg) != std::string::npos;
            continue;
        }
        if (!active) continue;
        if (step.rfind("out:", 0) == 0) writeTo(out, lines(arg));
        else if (step.rfind("nslookup:", 0) == 0) nslookup(out, err, args, arg);
        else if (step.rfind("err:", 0) == 0) writeTo(err, lines(arg));
        else if (step.rfind("raw:", 0) == 0) writeTo(out, arg);
        else if (step == "nul") writeTo(out, std::string("ab\0cd\r\nef\r\n", 11));
        else if (step.rfind("utf16:", 0) == 0) {
            std::string wide;
            for (char c : lines(arg)) wide += std::string{c, '\0'};
            writeTo(out, wide);
        } else if (step.rfind("flood:", 0) == 0) {
            const int n = std::atoi(arg.c_str());
            std::string text;
            for (int k = 1; k <= n; ++k) text += "line " + std::to_string(k) + "\r\n";
            writeTo(out, text + "END\r\n");
        } else if (step.rfind("long:", 0) == 0) {
            writeTo(out, std::string(static_cast<std::size_t>(std::atoi(arg.c_str())), 'x') + "\r\n");
        } else if (step.rfind("pause:", 0) == 0) {
            FlushFileBuffers(out);
            Sleep(static_cast<DWORD>(std::atoi(arg.c_str())));
        } else if (step == "forever") {
            Sleep(INFINITE);
        } else if (step == "spawn") {
            std::string command = "\"" + selfPath() + "\" forever";
            STARTUPINFOA si{};
            si.cb = sizeof si;
            PROCESS_INFORMATION pi{};
            if (CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
                writeTo(out, "child " + std::to_string(pi.dwProcessId) + "\r\n");
                CloseHandle(pi.hThread);
                CloseHandle(pi.hProcess);
            }
        } else if (step.rfind("exit:", 0) == 0) {
            status = std::atoi(arg.c_str());
        }
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> steps(argv + 1, argv + argc);
    const std::string name = selfName();
    if (name != "TVX_CONSOLE") {
        steps.clear();
        const char* script = std::getenv(("TVX_CONSOLE_" + name).c_str());
        std::string text = script ? script : "";
        for (std::size_t at = 0; at < text.size();) {
            std::size_t end = text.find(' ', at);
            if (end == std::string::npos) end = text.size();
            if (end > at) steps.push_back(text.substr(at, end - at));
            at = end + 1;
        }
    }
    return run(steps, std::vector<std::string>(argv + 1, argv + argc));
}
