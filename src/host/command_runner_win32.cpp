// Running a console program with its output read while it runs. The read end
// is an overlapped pipe, so one wait covers new output, the program's end,
// the service's stop and the time limit. The program runs in a job object
// that kills on close: ending the job ends whatever the program started.
#include <windows.h>

#include <atomic>
#include <string>
#include <vector>

#include "auto_handle_win32.h"
#include "command_runner.h"
#include "platform/log.h"
#include "platform/platform_service.h"

using Utils::QmeAutoHandle;

namespace {

std::atomic<unsigned> pipeSerial{0};

struct Pipe {
    QmeAutoHandle read;   // ours, overlapped, not inherited
    QmeAutoHandle write;  // the child's standard output and error
};

bool createPipe(Pipe& pipe, SECURITY_ATTRIBUTES& inheritable) {
    const std::string name = "\\\\.\\pipe\\doza-cmd-" + std::to_string(GetCurrentProcessId()) + "-" +
                             std::to_string(pipeSerial.fetch_add(1)) + "-" + std::to_string(GetTickCount64());
    pipe.read.reset(CreateNamedPipeA(name.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                     PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 0, 4096, 0, nullptr));
    if (!pipe.read.isValid()) return false;
    pipe.write.reset(CreateFileA(name.c_str(), GENERIC_WRITE, 0, &inheritable, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return pipe.write.isValid();
}

// One overlapped read at a time into the runner's buffer.
class PipeReader {
public:
    PipeReader(HANDLE pipe, LineSplitter& splitter) : pipe_(pipe), splitter_(splitter) {
        event_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    }
    ~PipeReader() { cancel(); }
    PipeReader(const PipeReader&) = delete;
    PipeReader& operator=(const PipeReader&) = delete;

    bool ready() const { return event_.isValid(); }
    HANDLE event() const { return event_.get(); }
    bool open() const { return open_; }

    // Starts the next read; false once the pipe is at its end or broken.
    bool start() {
        ov_ = OVERLAPPED{};
        ov_.hEvent = event_.get();
        ResetEvent(event_.get());
        if (!ReadFile(pipe_, buffer_, LineSplitter::kReadSize, nullptr, &ov_) && GetLastError() != ERROR_IO_PENDING)
            return open_ = pending_ = false;
        return pending_ = true;
    }
    // The event fired: hands the bytes read to the splitter.
    bool complete() {
        DWORD n = 0;
        pending_ = false;
        if (!GetOverlappedResult(pipe_, &ov_, &n, FALSE)) return open_ = false;
        buffer_[n] = '\0';
        splitter_.feed(std::string_view(buffer_, n));
        return true;
    }
    // Reads what is waiting in the pipe now, without waiting for more.
    void drain() {
        cancel();
        DWORD waiting = 0;
        while (open_ && PeekNamedPipe(pipe_, nullptr, 0, nullptr, &waiting, nullptr) && waiting != 0) {
            if (!start()) break;
            DWORD n = 0;
            pending_ = false;
            if (!GetOverlappedResult(pipe_, &ov_, &n, TRUE)) break;
            buffer_[n] = '\0';
            splitter_.feed(std::string_view(buffer_, n));
        }
    }
    // Ends a pending read; the bytes it may still have got are kept.
    void cancel() {
        if (!pending_) return;
        CancelIoEx(pipe_, &ov_);
        DWORD n = 0;
        pending_ = false;
        if (GetOverlappedResult(pipe_, &ov_, &n, TRUE) && n != 0) {
            buffer_[n] = '\0';
            splitter_.feed(std::string_view(buffer_, n));
        }
    }

private:
    HANDLE pipe_;
    LineSplitter& splitter_;
    QmeAutoHandle event_;
    OVERLAPPED ov_{};
    bool pending_ = false;
    bool open_ = true;
    char buffer_[LineSplitter::kReadSize + 1] = {};
};

QmeAutoHandle createKillOnCloseJob() {
    QmeAutoHandle job(CreateJobObjectW(nullptr, nullptr));
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (job.isValid() && !SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits))
        job.reset();
    return job;
}

// A line of console output (the OEM code page, a console's own) as UTF-8.
std::string fromConsoleCodePage(std::string_view line) {
    if (line.empty()) return {};
    const int n = MultiByteToWideChar(CP_OEMCP, 0, line.data(), static_cast<int>(line.size()), nullptr, 0);
    if (n <= 0) return std::string(line);
    std::u16string wide(static_cast<std::size_t>(n), u'\0');
    MultiByteToWideChar(CP_OEMCP, 0, line.data(), static_cast<int>(line.size()), reinterpret_cast<wchar_t*>(wide.data()), n);
    return tvxlog::toUtf8(wide);
}

// The system folder, UTF-8; empty when the system does not say.
std::string systemFolder() {
    wchar_t folder[MAX_PATH + 1] = {};
    const UINT n = GetSystemDirectoryW(folder, MAX_PATH);
    if (n == 0 || n > MAX_PATH) return {};
    return tvxlog::toUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(folder), n));
}

std::wstring wide(const std::string& text) {
    const std::u16string u = tvxlog::toUtf16(text);
    return std::wstring(u.begin(), u.end());
}

// The child inherits these two handles and nothing else of ours.
class InheritedHandles {
public:
    InheritedHandles(HANDLE output, HANDLE input) : handles_{output, input} {
        SIZE_T size = 0;
        InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        buffer_.resize(size);
        list_ = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(buffer_.data());
        if (size == 0 || !InitializeProcThreadAttributeList(list_, 1, 0, &size)) {
            list_ = nullptr;
            return;
        }
        if (!UpdateProcThreadAttribute(list_, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles_, sizeof handles_, nullptr,
                                       nullptr)) {
            DeleteProcThreadAttributeList(list_);
            list_ = nullptr;
        }
    }
    ~InheritedHandles() {
        if (list_) DeleteProcThreadAttributeList(list_);
    }
    InheritedHandles(const InheritedHandles&) = delete;
    InheritedHandles& operator=(const InheritedHandles&) = delete;
    LPPROC_THREAD_ATTRIBUTE_LIST get() const { return list_; }

private:
    HANDLE handles_[2];
    std::vector<char> buffer_;
    LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
};

}  // namespace

CommandOutcome runCommandFor(const std::string& commandLine, const LineHandler& parseLine, std::uint32_t timeLimitMs) {
    const std::string folder = systemFolder();
    const std::string program = folder.empty() ? std::string() : systemProgramPath(commandLine, folder);
    if (program.empty()) return CommandOutcome::failed;
    const std::wstring application = wide(program);
    std::wstring command = wide(commandLine);

    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    Pipe pipe;
    if (!createPipe(pipe, inheritable)) return CommandOutcome::failed;
    // Standard input is the null device: a program that reads its input gets
    // an end at once instead of waiting, or eating its own output.
    QmeAutoHandle input(CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    QmeAutoHandle stop(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!input.isValid() || !stop.isValid()) return CommandOutcome::failed;
    QmeAutoHandle job = createKillOnCloseJob();
    InheritedHandles inherited(pipe.write.get(), input.get());
    if (!inherited.get()) return CommandOutcome::failed;

    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESHOWWINDOW | STARTF_USESTDHANDLES;
    startup.StartupInfo.wShowWindow = SW_HIDE;
    startup.StartupInfo.hStdInput = input.get();
    startup.StartupInfo.hStdOutput = pipe.write.get();
    startup.StartupInfo.hStdError = pipe.write.get();
    startup.lpAttributeList = inherited.get();

    // By its full path: the current folder is never searched. The process
    // and thread handles are not inherited by anything it starts.
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(application.c_str(), command.data(), nullptr, nullptr, TRUE,
                        NORMAL_PRIORITY_CLASS | CREATE_SUSPENDED | CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT,
                        nullptr, nullptr, &startup.StartupInfo, &info))
        return CommandOutcome::failed;
    QmeAutoHandle process(info.hProcess);
    QmeAutoHandle thread(info.hThread);
    if (job.isValid() && !AssignProcessToJobObject(job.get(), process.get())) job.reset();
    ResumeThread(thread.get());
    // Only the child holds the write end now, so its end ends the pipe.
    pipe.write.reset();
    input.reset();

    LineSplitter splitter(parseLine, &fromConsoleCodePage);
    PipeReader reader(pipe.read.get(), splitter);
    ServiceStopWatch watch([h = stop.get()] { SetEvent(h); });

    CommandOutcome outcome = CommandOutcome::finished;
    const ULONGLONG deadline = GetTickCount64() + timeLimitMs;
    bool reading = reader.ready() && reader.start();
    for (;;) {
        const ULONGLONG now = GetTickCount64();
        const DWORD left = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
        HANDLE waits[3] = {process.get(), stop.get(), reader.event()};
        const DWORD r = WaitForMultipleObjects(reading ? 3 : 2, waits, FALSE, left);
        if (r == WAIT_OBJECT_0 + 2) {
            reading = reader.complete() && reader.start();
            continue;
        }
        if (r == WAIT_OBJECT_0) {
            reader.drain();
            splitter.finish();
            break;
        }
        outcome = r == WAIT_OBJECT_0 + 1 ? CommandOutcome::stopped : CommandOutcome::timedOut;
        if (job.isValid()) TerminateJobObject(job.get(), 1);
        else TerminateProcess(process.get(), 1);
        reader.cancel();
        break;
    }
    return outcome;
}
