// The agent bridge task: keeps the remote host's latest "machine" document,
// hands it to the endpoint agent and reads back which data the agent wants.
#pragma once

#include <json/value.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "lume_dll.h"
#include "platform/working_task.h"

// Data-requested flags.
inline constexpr std::uint32_t kLumeRequestsTeams = 1;
inline constexpr std::uint32_t kLumeRequestsEmployeeScore = 2;

class QmLumeTask : public QmWorkingTask {
public:
    // sdk: the agent library to use; null means the process-wide one, taken
    // on the bridge thread at the first pass.
    explicit QmLumeTask(LumeDLL* sdk = nullptr) : sdk_(sdk) {}

    void run() override;

    bool setLumeData(const std::string& text);
    bool setLumeDataImpl(const Json::Value& root);
    std::string getLumeData();
    bool sendLumeData();
    bool recvLumeRequests();
    static std::uint32_t json2dataRequested(const Json::Value& data);
    // Reads "Lume" and "LumeInterval(sec)"; whether the exchange is on.
    static bool isDealWithLume(std::uint32_t& intervalMs);

    std::uint32_t dataRequested() const { return dataRequested_.load(); }

private:
    LumeDLL& sdk();

    LumeDLL* sdk_;
    std::mutex mutex_;
    Json::Value lumeData_;
    std::atomic<std::uint32_t> dataRequested_{0};
};

// Whether the bridge is meant to run (between lume_init and lume_shutdown).
bool isLumeRunning();
// Whether a bridge thread exists, from its start until a stop has joined it.
bool isLumeThreadPresent();

// Hands every bridge task created from now on this agent library instead of
// the process-wide one; null restores it. For tests.
void setLumeSdkForTests(LumeDLL* sdk);
