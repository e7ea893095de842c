// The remote host's side of one "qmlink-dvc" session: the requests the
// Windows demo sends, each answer decoded, printed and checked.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace rdpserver {

using Bytes = std::vector<std::uint8_t>;

// Sends one message and returns the one reply, or nothing when none came
// within the wait.
using Ask = std::function<std::optional<Bytes>(const Bytes& message, std::chrono::milliseconds wait)>;

struct Expectations {
    std::string clientVersion;        // "client_version" the add-in must report
    std::string computerName;         // this machine's host name
    std::chrono::seconds factsWait{20};  // how long the first pass may take
    std::chrono::seconds settle{0};      // the metric tasks run this long before the requests
};

// Plays the remote host; returns the number of failed checks.
int playRemoteHost(const Ask& ask, const Expectations& expect);

}  // namespace rdpserver
