// Documents from the remote host as the agent bridge takes them: arbitrary
// text must be accepted or refused, never crash or leak.
#include <cstddef>
#include <cstdint>
#include <string>

#include "agent/lume_task.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    tvxfuzz::startLogging();
    static LumeDLL noAgent;
    QmLumeTask task(&noAgent);
    const std::string text(reinterpret_cast<const char*>(data), size);
    if (task.setLumeData(text)) {
        // What is kept must always serialise to an object or to nothing.
        std::string kept = task.getLumeData();
        if (!kept.empty() && (kept.front() != '{' || kept.back() != '\n')) tvxfuzz::broken("kept data is not an object", kept.c_str());
    }
    return 0;
}
