// The plug-in's cost inside the host: request latency through
// OnDataReceived, CPU while idle, working set and threads.
#include "endurance/endurance.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <vector>

#include "endurance/harness.h"
#include "endurance/process_stats.h"
#include "endurance/table.h"

namespace endurance {

namespace {

// Share of one core that this process used while the calling thread slept.
double idleCpuPercent(double seconds) {
    const double cpu0 = processCpuSeconds(), wall0 = nowSeconds();
    Sleep(static_cast<DWORD>(seconds * 1000));
    return 100.0 * (processCpuSeconds() - cpu0) / (nowSeconds() - wall0);
}

double megabytes(std::uint64_t to, std::uint64_t from) {
    return (static_cast<double>(to) - static_cast<double>(from)) / (1024.0 * 1024.0);
}

// Microseconds per request, one entry per request; -1 marks a request that
// did not get exactly one reply.
std::vector<double> timeRequests(const Client& client, const RequestKind& kind, int count) {
    const Bytes message = kind.build(1);
    ReplySink sink;
    for (int i = 0; i < count / 100; ++i) client.send(message, sink);  // warm the caches first
    std::vector<double> us;
    us.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        sink.count = 0;
        const double t0 = nowSeconds();
        client.send(message, sink);
        const double t1 = nowSeconds();
        us.push_back(sink.count == 1 ? (t1 - t0) * 1e6 : -1);
    }
    return us;
}

double percentile(std::vector<double> sorted, double p) {
    const std::size_t rank = static_cast<std::size_t>(std::ceil(p * static_cast<double>(sorted.size())));
    return sorted[std::clamp<std::size_t>(rank, 1, sorted.size()) - 1];
}

}  // namespace

int runBench(const BenchOptions& options) {
    const ProcessStats host = readProcessStats();
    RegisteredPlugin plugin;
    if (!plugin.error().empty()) {
        std::fprintf(stderr, "bench: %s\n", plugin.error().c_str());
        return 3;
    }
    bool met = true;
    {
        Client client(plugin.clsid());
        if (!client.error().empty()) {
            std::fprintf(stderr, "bench: %s\n", client.error().c_str());
            return 3;
        }
        const ProcessStats beforeOpen = readProcessStats();
        const double idleBefore = idleCpuPercent(options.idleSeconds);
        if (!client.open()) {
            std::fprintf(stderr, "bench: the plug-in did not accept the channel\n");
            return 3;
        }
        // The first passes look for everything at once; idle is what follows.
        Sleep(static_cast<DWORD>(options.settleSeconds * 1000));
        const double idleOpen = idleCpuPercent(options.idleSeconds);
        const ProcessStats open = readProcessStats();

        const std::map<std::string, double> medianGoalsUs = {{"GET_CLIENT_DATA_V2", 20}, {"GET_METRICS", 50}};
        std::vector<std::pair<std::string, std::vector<double>>> timings;
        for (const RequestKind& kind : requestKinds()) timings.emplace_back(kind.name, timeRequests(client, kind, options.requests));
        const ProcessStats loaded = readProcessStats();
        client.close();
        client.end();
        const ProcessStats closed = readProcessStats();

        for (auto& [name, us] : timings) {
            const auto unanswered = std::count(us.begin(), us.end(), -1.0);
            if (unanswered) {
                std::printf("%s: %ld of %zu requests did not get exactly one reply\n", name.c_str(),
                            static_cast<long>(unanswered), us.size());
                met = false;
            }
            std::sort(us.begin(), us.end());
            const auto goal = medianGoalsUs.find(name);
            met &= printRow("wine " + name + " median", percentile(us, 0.5), "us",
                            goal == medianGoalsUs.end() ? -1 : goal->second);
            printRow("wine " + name + " p99", percentile(us, 0.99), "us");
        }
        printRow("wine idle CPU before the channel opens", idleBefore, "%");
        met &= printRow("wine idle CPU with the channel open", idleOpen, "%", 0.3);
        met &= printRow("wine working set added by the plug-in", megabytes(loaded.workingSetBytes, host.workingSetBytes),
                        "MB", 25);
        printRow("wine threads before the channel opens", beforeOpen.threads, "");
        printRow("wine threads with the channel open", open.threads, "");
        printRow("wine threads after the channel closed", closed.threads, "");
    }
    return met ? 0 : 1;
}

}  // namespace endurance
