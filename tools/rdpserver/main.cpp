// tvx_rdp_server: a small RDP server on libfreerdp-server2 that plays the
// remote host for one client over loopback. It opens the dynamic channel
// "qmlink-dvc", asks what the Windows demo asks, prints the answers decoded
// and checks them, then ends the session. With --expect-no-addin it checks
// the other outcome: the client ends the session or refuses the channel
// before anything is asked. For scripts/bench, --hold keeps the session idle
// after the requests (or, with --no-channel, without opening the channel).
//   tvx_rdp_server --cert FILE --key FILE [--port N] [--timeout S] [--wait S]
//                  [--expect-no-addin | [--no-channel] --hold S]
#include <freerdp/channels/channels.h>
#include <freerdp/channels/wtsvc.h>
#include <freerdp/freerdp.h>
#include <freerdp/listener.h>
#include <freerdp/peer.h>
#include <freerdp/settings.h>
#include <winpr/ssl.h>
#include <winpr/synch.h>
#include <winpr/wtsapi.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "rdpserver/remote_host.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct Options {
    std::string cert, key;
    long port = 3389;
    std::chrono::seconds timeout{90};
    std::chrono::seconds wait{0};
    std::chrono::seconds hold{0};
    bool expectNoAddIn = false;
    bool noChannel = false;
};

struct PeerContext {
    rdpContext base;  // first: FreeRDP allocates ContextSize and hands out this
    HANDLE vcm;
};

enum class Outcome { none, answered, held, refused, clientLeft };

const char* outcomeText(Outcome o) {
    switch (o) {
        case Outcome::answered: return "the add-in answered on qmlink-dvc";
        case Outcome::held: return "the session was held without qmlink-dvc";
        case Outcome::refused: return "the client refused qmlink-dvc (no listener for it)";
        case Outcome::clientLeft: return "the client ended the session before qmlink-dvc opened";
        case Outcome::none: break;
    }
    return "nothing happened before the deadline";
}

bool parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool value = i + 1 < argc;
        if (arg == "--cert" && value) o.cert = argv[++i];
        else if (arg == "--key" && value) o.key = argv[++i];
        else if (arg == "--port" && value) o.port = std::strtol(argv[++i], nullptr, 10);
        else if (arg == "--timeout" && value) o.timeout = std::chrono::seconds(std::atoi(argv[++i]));
        else if (arg == "--wait" && value) o.wait = std::chrono::seconds(std::atoi(argv[++i]));
        else if (arg == "--hold" && value) o.hold = std::chrono::seconds(std::atoi(argv[++i]));
        else if (arg == "--expect-no-addin") o.expectNoAddIn = true;
        else if (arg == "--no-channel") o.noChannel = true;
        else return false;
    }
    return !o.cert.empty() && !o.key.empty() && o.port > 0 && o.port <= 0xFFFF;
}

// The remote host's thread: opens the channel once drdynvc is ready and plays
// the session; the peer's loop keeps pumping the connection meanwhile.
class RemoteHost {
public:
    RemoteHost(HANDLE vcm, const Options& options) : vcm_(vcm), options_(options) {}
    ~RemoteHost() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (channel_) WTSVirtualChannelClose(channel_);
    }

    void start() { thread_ = std::thread([this] { run(); }); }
    bool started() const { return thread_.joinable(); }
    bool done() const { return done_; }
    Outcome outcome() const { return outcome_; }
    int failures() const { return failures_; }

private:
    void run() {
        if (!options_.noChannel) openAndAsk();
        else outcome_ = Outcome::held;
        if (options_.hold.count()) {
            std::printf("[server] holding the session idle for %lld s\n", static_cast<long long>(options_.hold.count()));
            for (auto end = Clock::now() + options_.hold; !stop_ && Clock::now() < end;) std::this_thread::sleep_for(50ms);
        }
        std::fflush(stdout);
        done_ = true;
    }

    void openAndAsk() {
        DWORD bytes = 0;
        ULONG* sessionId = nullptr;
        if (WTSQuerySessionInformationA(vcm_, WTS_CURRENT_SESSION, WTSSessionId, reinterpret_cast<LPSTR*>(&sessionId),
                                        &bytes) && sessionId) {
            channel_ = WTSVirtualChannelOpenEx(*sessionId, const_cast<char*>("qmlink-dvc"), WTS_CHANNEL_OPTION_DYNAMIC);
            WTSFreeMemory(sessionId);
        }
        std::printf("[server] drdynvc ready; opening \"qmlink-dvc\": %s\n", channel_ ? "create request sent" : "failed");
        if (channel_ && waitOpen()) {
            std::printf("[server] the client accepted \"qmlink-dvc\"\n");
            rdpserver::Expectations expect;
            expect.settle = options_.wait;
            expect.clientVersion = TVX_VERSION_TEXT;
            char host[HOST_NAME_MAX + 1] = {};
            gethostname(host, sizeof host - 1);
            expect.computerName = host;
            failures_ = rdpserver::playRemoteHost(
                [this](const rdpserver::Bytes& m, std::chrono::milliseconds w) { return ask(m, w); }, expect);
            outcome_ = Outcome::answered;
        } else if (channel_) {
            outcome_ = Outcome::refused;
        }
    }

    bool waitOpen() {
        for (auto deadline = Clock::now() + 10s; !stop_ && Clock::now() < deadline;) {
            void* buffer = nullptr;
            DWORD size = 0;
            if (!WTSVirtualChannelQuery(channel_, WTSVirtualChannelReady, &buffer, &size)) return false;
            const bool ready = size == sizeof(BOOL) && *static_cast<BOOL*>(buffer);
            WTSFreeMemory(buffer);
            if (ready) return true;
            std::this_thread::sleep_for(20ms);
        }
        return false;
    }

    // The server side reassembles a fragmented message: one read, one message.
    std::optional<rdpserver::Bytes> ask(const rdpserver::Bytes& message, std::chrono::milliseconds wait) {
        ULONG written = 0;
        rdpserver::Bytes copy = message;
        if (!WTSVirtualChannelWrite(channel_, reinterpret_cast<PCHAR>(copy.data()), static_cast<ULONG>(copy.size()),
                                    &written))
            return std::nullopt;
        for (auto deadline = Clock::now() + wait; !stop_ && Clock::now() < deadline;) {
            ULONG size = 0;
            if (WTSVirtualChannelRead(channel_, 0, nullptr, 0, &size) && size > 0) {
                rdpserver::Bytes reply(size);
                if (!WTSVirtualChannelRead(channel_, 0, reinterpret_cast<PCHAR>(reply.data()), size, &size))
                    return std::nullopt;
                reply.resize(size);
                return reply;
            }
            std::this_thread::sleep_for(5ms);
        }
        return std::nullopt;
    }

    HANDLE vcm_;
    const Options& options_;
    HANDLE channel_ = nullptr;
    std::thread thread_;
    std::atomic<bool> stop_{false}, done_{false};
    Outcome outcome_ = Outcome::none;
    int failures_ = 0;
};

freerdp_peer* accepted = nullptr;

freerdp_peer* acceptOne(freerdp_listener* listener, Clock::time_point deadline) {
    listener->PeerAccepted = [](freerdp_listener*, freerdp_peer* peer) {
        accepted = peer;
        return TRUE;
    };
    while (!accepted && Clock::now() < deadline) {
        HANDLE handles[32];
        const DWORD count = listener->GetEventHandles(listener, handles, 32);
        if (count == 0 || WaitForMultipleObjects(count, handles, FALSE, 100) == WAIT_FAILED) break;
        if (!listener->CheckFileDescriptor(listener)) break;
    }
    return accepted;
}

// Runs one connection until the remote host is done, the client leaves or
// the deadline passes.
Outcome serve(freerdp_peer* peer, const Options& options, Clock::time_point deadline, int& failures) {
    peer->ContextSize = sizeof(PeerContext);
    peer->ContextNew = [](freerdp_peer* p, rdpContext* c) {
        auto* context = reinterpret_cast<PeerContext*>(c);
        context->vcm = WTSOpenServerA(reinterpret_cast<LPSTR>(p->context));
        return static_cast<BOOL>(context->vcm && context->vcm != INVALID_HANDLE_VALUE);
    };
    peer->ContextFree = [](freerdp_peer*, rdpContext* c) {
        auto* context = reinterpret_cast<PeerContext*>(c);
        if (context && context->vcm && context->vcm != INVALID_HANDLE_VALUE) WTSCloseServer(context->vcm);
    };
    if (!freerdp_peer_context_new(peer)) return Outcome::none;
    rdpSettings* settings = peer->settings;
    freerdp_settings_set_string(settings, FreeRDP_CertificateFile, options.cert.c_str());
    freerdp_settings_set_string(settings, FreeRDP_PrivateKeyFile, options.key.c_str());
    freerdp_settings_set_bool(settings, FreeRDP_RdpSecurity, FALSE);
    freerdp_settings_set_bool(settings, FreeRDP_TlsSecurity, TRUE);
    freerdp_settings_set_bool(settings, FreeRDP_NlaSecurity, FALSE);
    peer->PostConnect = [](freerdp_peer*) { return TRUE; };
    peer->Activate = [](freerdp_peer*) { return TRUE; };
    peer->Initialize(peer);

    HANDLE vcm = reinterpret_cast<PeerContext*>(peer->context)->vcm;
    Outcome outcome = Outcome::none;
    {
        RemoteHost host(vcm, options);
        while (Clock::now() < deadline && !host.done()) {
            HANDLE handles[32];
            DWORD count = peer->GetEventHandles(peer, handles, 31);
            if (count == 0) break;
            handles[count++] = WTSVirtualChannelManagerGetEventHandle(vcm);
            if (WaitForMultipleObjects(count, handles, FALSE, 100) == WAIT_FAILED) break;
            if (!peer->CheckFileDescriptor(peer) || !WTSVirtualChannelManagerCheckFileDescriptor(vcm)) {
                outcome = Outcome::clientLeft;
                break;
            }
            if (!host.started() && WTSVirtualChannelManagerIsChannelJoined(vcm, "drdynvc") &&
                WTSVirtualChannelManagerGetDrdynvcState(vcm) == DRDYNVC_STATE_READY)
                host.start();
        }
        if (host.done()) outcome = host.outcome();
        failures = host.failures();
    }
    peer->Disconnect(peer);
    freerdp_peer_context_free(peer);
    freerdp_peer_free(peer);
    return outcome;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse(argc, argv, options)) {
        std::fprintf(stderr,
                     "usage: tvx_rdp_server --cert FILE --key FILE [--port N] [--timeout S] [--wait S]\n"
                     "                      [--expect-no-addin | [--no-channel] --hold S]\n");
        return 2;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    WTSRegisterWtsApiFunctionTable(FreeRDP_InitWtsApi());
    winpr_InitializeSSL(WINPR_SSL_INIT_DEFAULT);
    const auto deadline = Clock::now() + options.timeout;

    freerdp_listener* listener = freerdp_listener_new();
    if (!listener || !listener->Open(listener, "127.0.0.1", static_cast<UINT16>(options.port))) {
        std::printf("[server] cannot listen on 127.0.0.1:%ld\n", options.port);
        return 1;
    }
    std::printf("[server] listening on 127.0.0.1:%ld\n", options.port);
    freerdp_peer* peer = acceptOne(listener, deadline);
    listener->Close(listener);
    freerdp_listener_free(listener);
    if (!peer) {
        std::printf("[server] no client connected before the deadline\n");
        return 1;
    }
    std::printf("[server] a client connected\n");

    int failures = 0;
    const Outcome outcome = serve(peer, options, deadline, failures);
    std::printf("\n[server] session over: %s\n", outcomeText(outcome));
    const bool ok = options.expectNoAddIn ? outcome == Outcome::clientLeft || outcome == Outcome::refused
                                          : outcome == (options.noChannel ? Outcome::held : Outcome::answered) &&
                                                failures == 0;
    if (failures) std::printf("[server] %d check(s) failed\n", failures);
    return ok ? 0 : 1;
}
