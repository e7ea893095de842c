// Native benchmarks of the request paths and the engine's publication, with
// the goal of each beside its figure (scripts/bench). Not part of the tests.
#include <benchmark/benchmark.h>
#include <json/value.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "agent/lume_api.h"
#include "codec/codec.h"
#include "platform/metric_store.h"
#include "platform/task_table.h"
#include "protocol/client_data.h"
#include "protocol/dispatcher.h"

namespace {

// Takes every reply and keeps nothing.
struct DiscardingChannel : ChannelWriter {
    bool hasChannel() const override { return true; }
    void write(const std::uint8_t* data, std::uint32_t size) override {
        benchmark::DoNotOptimize(data);
        benchmark::DoNotOptimize(size);
    }
};

void dispatch(benchmark::State& state, const tvxcodec::Bytes& message) {
    DiscardingChannel channel;
    for (auto _ : state) dispatchChannelMessage(channel, static_cast<std::uint32_t>(message.size()), message.data());
}

void BM_Ping(benchmark::State& state) { dispatch(state, tvxcodec::pingRequest()); }
void BM_GetClientData(benchmark::State& state) { dispatch(state, tvxcodec::getClientDataRequest()); }
void BM_GetClientDataV2(benchmark::State& state) { dispatch(state, tvxcodec::getClientDataV2Request()); }

void BM_SetLumeData(benchmark::State& state) {
    // The bridge runs (without an agent), so the document is parsed and kept.
    static const bool started = (lume_init(), true);
    (void)started;
    dispatch(state, tvxcodec::setLumeDataRequest(R"({"machine":{"ComputerName":"VM7","MicrosoftTeams":{"calls":2}}})"));
}

void BM_JsonRpcPing(benchmark::State& state) {
    dispatch(state, tvxcodec::jsonRpcFrame(tvxcodec::jsonRpcPayload("PING", Json::Value(), Json::Value(1))));
}

void BM_JsonRpcGetMetrics(benchmark::State& state) {
    dispatch(state, tvxcodec::jsonRpcFrame(tvxcodec::jsonRpcPayload("GET_METRICS", Json::Value(), Json::Value(2))));
}

void BM_JsonRpcBatchOf10(benchmark::State& state) {
    std::string batch = "[";
    for (int i = 0; i < 10; ++i)
        batch += std::string(i ? "," : "") + R"({"jsonrpc":"2.0","id":)" + std::to_string(i) + R"(,"method":")" +
                 (i % 2 ? "PING" : "GET_METRICS") + R"(","params":{"serverRoundtripMs":12}})";
    dispatch(state, tvxcodec::jsonRpcFrame(batch + "]"));
}

void BM_FillClientData(benchmark::State& state) {
    CLIENT_DATA record;
    for (auto _ : state) {
        platform_getClientData(&record);
        benchmark::DoNotOptimize(record);
    }
}

void BM_FillClientDataV2(benchmark::State& state) {
    CLIENT_DATA_V2 record;
    for (auto _ : state) {
        platform_getClientDataV2(&record);
        benchmark::DoNotOptimize(record);
    }
}

// One pass's end for the task with the most keys: its merge into the store
// and the publication of the snapshot.
void BM_MergeAndPublish(benchmark::State& state) {
    const auto& task = *productTaskTable().front();
    Json::Value result(Json::objectValue);
    for (const auto& key : task.keys()) result[key] = key.size() % 2 ? Json::Value(42) : Json::Value("some text");
    for (auto _ : state) mergeTaskResult(result, task.keys());
}

BENCHMARK(BM_Ping);
BENCHMARK(BM_GetClientData);
BENCHMARK(BM_GetClientDataV2);
BENCHMARK(BM_SetLumeData);
BENCHMARK(BM_JsonRpcPing);
BENCHMARK(BM_JsonRpcGetMetrics);
BENCHMARK(BM_JsonRpcBatchOf10);
BENCHMARK(BM_FillClientData);
BENCHMARK(BM_FillClientDataV2);
BENCHMARK(BM_MergeAndPublish);

// Goals in microseconds per call: the request kinds must stay well inside
// what the client's callback thread can spare.
const std::map<std::string, double> kGoalsUs = {
    {"BM_Ping", 5},           {"BM_GetClientData", 20},     {"BM_GetClientDataV2", 20},
    {"BM_SetLumeData", 20},   {"BM_JsonRpcPing", 20},       {"BM_JsonRpcGetMetrics", 50},
    {"BM_JsonRpcBatchOf10", 500}, {"BM_FillClientData", 20}, {"BM_FillClientDataV2", 20},
    {"BM_MergeAndPublish", 50},
};

// Prints one line per benchmark: its median (or its only run) and its goal.
class GoalReporter : public benchmark::BenchmarkReporter {
public:
    bool ReportContext(const Context&) override {
        // The same columns as the rows that scripts/bench adds from under Wine.
        std::printf("%-40s %12s %10s  %s\n", "measure", "figure", "goal", "unit");
        return true;
    }
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median") continue;
            if (run.run_type == Run::RT_Iteration && run.repetitions > 1) continue;
            const std::string name = run.run_name.function_name;
            const double us = run.GetAdjustedRealTime() * multiplier(run.time_unit);
            const auto goal = kGoalsUs.find(name);
            if (goal == kGoalsUs.end()) {
                std::printf("%-40s %12.2f %10s  us\n", ("native " + name + " median").c_str(), us, "-");
            } else {
                const bool met = us <= goal->second;
                failed_ = failed_ || !met;
                std::printf("%-40s %12.2f %10.2f  us   %s\n", ("native " + name + " median").c_str(), us, goal->second,
                            met ? "ok" : "MISSED");
            }
        }
    }
    bool failed() const { return failed_; }

private:
    static double multiplier(benchmark::TimeUnit unit) {
        switch (unit) {
            case benchmark::kNanosecond: return 1e-3;
            case benchmark::kMicrosecond: return 1;
            case benchmark::kMillisecond: return 1e3;
            default: return 1e6;
        }
    }
    bool failed_ = false;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;
    GoalReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return reporter.failed() ? 1 : 0;
}
