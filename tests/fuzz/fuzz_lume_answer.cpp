// The agent's answers to fetchConfig as the bridge reads them. An element of
// "DataRequested" that is not text throws by design (the pass guard logs
// it); anything else must end in a result, and failures keep the flags.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>

#include "agent/lume_task.h"
#include "fuzz/fuzz_support.h"

namespace {
std::string answer;
const char* fetchConfig(const char*) { return answer.c_str(); }
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    tvxfuzz::startLogging();
    static LumeDLL agent;
    agent.fetchConfig = &fetchConfig;
    answer.assign(reinterpret_cast<const char*>(data), size);
    QmLumeTask task(&agent);
    try {
        const bool read = task.recvLumeRequests();
        if (!read && task.dataRequested() != 0) tvxfuzz::broken("a failed read changed the flags");
        if (task.dataRequested() > 3) tvxfuzz::broken("unknown flag bits");
    } catch (const std::exception&) {
        if (task.dataRequested() != 0) tvxfuzz::broken("a throwing read changed the flags");
    }
    return 0;
}
