// Endurance: many sessions opened and closed through COM, then requests from
// several threads while the channel closes and reopens. Nothing may leak and
// no request may lose or double its reply.
#include "endurance/endurance.h"

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "endurance/harness.h"
#include "endurance/process_stats.h"

namespace endurance {

namespace {

// Allowed growth after the warm-up: Wine's heap keeps some pages it once
// used, and a handle may be in flight while the count is read.
constexpr double kWorkingSetSlackMb = 2;
constexpr std::uint32_t kHandleSlack = 2;

struct Tally {
    long requests = 0;
    long answered = 0;
    long unansweredWhileClosing = 0;  // sent while the channel was going or coming
    long lost = 0;                    // no reply although the channel was open throughout
    long doubled = 0;
    long wrong = 0;                   // a reply that is not the one asked for
    std::string firstProblem;

    void add(const Tally& o) {
        requests += o.requests;
        answered += o.answered;
        unansweredWhileClosing += o.unansweredWhileClosing;
        lost += o.lost;
        doubled += o.doubled;
        wrong += o.wrong;
        if (firstProblem.empty()) firstProblem = o.firstProblem;
    }
    long problems() const { return lost + doubled + wrong; }
    void problem(const std::string& what) {
        if (firstProblem.empty()) firstProblem = what;
    }
};

// Sends one request and files its outcome. generation, when given, is odd
// while the channel is being closed or reopened; a request during which it
// stayed even and unchanged had the channel throughout and must be answered.
void exchange(const Client& client, const RequestKind& kind, int id, const std::atomic<std::uint64_t>* generation,
              Tally& tally) {
    ReplySink sink;
    sink.keep = true;
    const Bytes message = kind.build(id);
    const std::uint64_t before = generation ? generation->load() : 0;
    client.send(message, sink);
    const bool open = !generation || (generation->load() == before && before % 2 == 0);
    ++tally.requests;
    if (sink.count == 1) {
        ++tally.answered;
        if (std::string why = kind.check(sink.last, id); !why.empty()) {
            ++tally.wrong;
            tally.problem(kind.name + ": " + why);
        }
    } else if (sink.count > 1) {
        ++tally.doubled;
        tally.problem(kind.name + ": " + std::to_string(sink.count) + " replies");
    } else if (open) {
        ++tally.lost;
        tally.problem(kind.name + ": no reply");
    } else {
        ++tally.unansweredWhileClosing;
    }
}

bool check(bool ok, const std::string& what, int& failures) {
    std::printf("  %-70s %s\n", what.c_str(), ok ? "ok" : "FAILED");
    if (!ok) ++failures;
    return ok;
}

double mb(std::uint64_t bytes) { return static_cast<double>(bytes) / (1024.0 * 1024.0); }

void printStats(const char* when, const ProcessStats& s) {
    std::printf("  %-34s threads %3u  handles %5u  working set %8.2f MB\n", when, s.threads, s.handles,
                mb(s.workingSetBytes));
}

void printTally(const Tally& t) {
    std::printf("  requests %ld: answered %ld, unanswered while the channel closed %ld, lost %ld, doubled %ld, wrong %ld\n",
                t.requests, t.answered, t.unansweredWhileClosing, t.lost, t.doubled, t.wrong);
    if (!t.firstProblem.empty()) std::printf("  first problem: %s\n", t.firstProblem.c_str());
}

}  // namespace

int runSoak(const SoakOptions& options) {
    RegisteredPlugin plugin;
    if (!plugin.error().empty()) {
        std::fprintf(stderr, "soak: %s\n", plugin.error().c_str());
        return 3;
    }
    int failures = 0;
    const auto& kinds = requestKinds();
    const ProcessStats start = readProcessStats();
    ProcessStats warm = start;

    std::printf("%d sessions, each: create through COM, open, every request kind once, close, release\n",
                options.sessions);
    Tally sessions;
    const double t0 = nowSeconds();
    for (int s = 0; s < options.sessions; ++s) {
        Client client(plugin.clsid());
        if (!client.error().empty() || !client.open()) {
            sessions.problem("session " + std::to_string(s) + ": " + client.error());
            ++sessions.lost;
            continue;
        }
        for (std::size_t k = 0; k < kinds.size(); ++k)
            exchange(client, kinds[k], s * 10 + static_cast<int>(k), nullptr, sessions);
        client.close();
        client.end();
        if (s + 1 == options.warmUpSessions) warm = readProcessStats();
    }
    const ProcessStats afterSessions = readProcessStats();
    std::printf("  %.1f s, %.1f ms per session\n", nowSeconds() - t0, (nowSeconds() - t0) * 1000 / options.sessions);
    printStats("before the first session", start);
    printStats("after the warm-up", warm);
    printStats("after the last session", afterSessions);
    printTally(sessions);
    check(sessions.problems() == 0 && sessions.answered == sessions.requests, "every request got exactly its one reply",
          failures);
    // The system's own worker pools (WinHTTP's asynchronous requests) stay
    // once made; the plug-in's threads are gone when DllCanUnloadNow agrees.
    check(afterSessions.threads <= warm.threads, "thread count not grown after the warm-up", failures);
    check(afterSessions.handles <= warm.handles + kHandleSlack, "handles not grown after the warm-up", failures);
    check(mb(afterSessions.workingSetBytes) <= mb(warm.workingSetBytes) + kWorkingSetSlackMb,
          "working set not grown after the warm-up", failures);
    check(plugin.canUnloadNow() == S_OK, "DllCanUnloadNow S_OK", failures);

    std::printf("\n%d threads send requests for %.0f s while another closes and reopens the channel\n",
                options.senders, options.concurrentSeconds);
    Tally concurrent;
    long cycles = 0;
    ProcessStats closedWarm, closedLast;
    {
        Client client(plugin.clsid());
        if (!client.error().empty() || !client.open()) {
            std::fprintf(stderr, "soak: %s\n", client.error().c_str());
            return 3;
        }
        std::atomic<std::uint64_t> generation{0};
        std::atomic<bool> stop{false};
        std::vector<Tally> tallies(static_cast<std::size_t>(options.senders));
        std::vector<std::thread> senders;
        for (int t = 0; t < options.senders; ++t)
            senders.emplace_back([&, t] {
                Tally& tally = tallies[static_cast<std::size_t>(t)];
                for (int n = 0; !stop.load(); ++n)
                    exchange(client, kinds[static_cast<std::size_t>(n + t) % kinds.size()], n * options.senders + t,
                             &generation, tally);
            });
        const double begin = nowSeconds(), deadline = begin + options.concurrentSeconds;
        // Growth is measured while the channel is closed (only the senders
        // run), from a quarter of the run on: contended locks get their
        // kernel objects on first contention and keep them.
        bool warmedUp = false;
        while (nowSeconds() < deadline) {
            ++generation;
            client.close();
            if (warmedUp) {
                closedLast = readProcessStats();
            } else if (nowSeconds() > begin + options.concurrentSeconds / 4) {
                closedWarm = closedLast = readProcessStats();
                warmedUp = true;
            }
            client.open();
            ++generation;
            ++cycles;
            Sleep(static_cast<DWORD>(5 + cycles % 25));
        }
        stop = true;
        for (auto& sender : senders) sender.join();
        for (const Tally& t : tallies) concurrent.add(t);
        client.close();
        client.end();
    }
    const ProcessStats end = readProcessStats();
    std::printf("  the channel closed and reopened %ld times\n", cycles);
    printStats("channel closed, a quarter in", closedWarm);
    printStats("channel closed, last time", closedLast);
    printStats("after the concurrent run", end);
    printTally(concurrent);
    check(concurrent.problems() == 0 && concurrent.answered > 0,
          "every request got at most one reply, the right one, and exactly one while the channel was open", failures);
    check(ReplyChannel::strays() == 0, "no reply on a thread that sent no request", failures);
    check(ReplyChannel::live() == 0, "every channel released", failures);
    check(end.threads <= warm.threads, "thread count back to where the sessions left it", failures);
    check(closedLast.handles <= closedWarm.handles + kHandleSlack, "handles not grown after a quarter of the run", failures);
    check(mb(closedLast.workingSetBytes) <= mb(closedWarm.workingSetBytes) + kWorkingSetSlackMb,
          "working set not grown after a quarter of the run", failures);
    check(plugin.canUnloadNow() == S_OK, "DllCanUnloadNow S_OK", failures);

    std::printf("\n%s\n", failures ? "SOAK FAILED" : "SOAK PASSED");
    return failures ? 1 : 0;
}

}  // namespace endurance
