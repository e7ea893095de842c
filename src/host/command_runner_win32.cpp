// Running a console program with its output read while it runs. The read end
// is an overlapped pipe, so one wait covers new output, the program's end,
// the service's stop and the time limit. The program runs in a job object
// that kills on close: ending the job ends whatever the program started.
#include <windows.h>

#include <atomic>
#include <cstring>
#include <string>

#include "auto_handle_win32.h"
#include "command_runner.h"
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

}  // namespace

CommandOutcome runCommandFor(const std::string& commandLine, const LineHandler& parseLine, std::uint32_t timeLimitMs) {
    char command[1024] = {};
    std::strncpy(command, commandLine.c_str(), sizeof command - 1);

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

    STARTUPINFOA startup{};
    GetStartupInfoA(&startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW | STARTF_USESTDHANDLES;
    startup.wShowWindow = SW_HIDE;
    startup.hStdInput = input.get();
    startup.hStdOutput = pipe.write.get();
    startup.hStdError = pipe.write.get();
    // The C runtime's inherited-descriptor table of our own start belongs to us.
    startup.cbReserved2 = 0;
    startup.lpReserved2 = nullptr;

    PROCESS_INFORMATION info{};
    if (!CreateProcessA(nullptr, command, &inheritable, &inheritable, TRUE, NORMAL_PRIORITY_CLASS | CREATE_SUSPENDED,
                        nullptr, nullptr, &startup, &info))
        return CommandOutcome::failed;
    QmeAutoHandle process(info.hProcess);
    QmeAutoHandle thread(info.hThread);
    if (job.isValid() && !AssignProcessToJobObject(job.get(), process.get())) job.reset();
    ResumeThread(thread.get());
    // Only the child holds the write end now, so its end ends the pipe.
    pipe.write.reset();
    input.reset();

    LineSplitter splitter(parseLine);
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
