// The two runs of tvx_endurance.
#pragma once

namespace endurance {

struct BenchOptions {
    int requests = 20000;       // per request kind
    double idleSeconds = 20;    // each idle measurement
    double settleSeconds = 6;   // after the channel opens, before idle is measured
};
// Prints the figures table; 0 when every goal is met.
int runBench(const BenchOptions& options);

struct SoakOptions {
    int sessions = 1000;
    int warmUpSessions = 100;   // the growth checks count from here
    double concurrentSeconds = 60;
    int senders = 4;
};
// Prints the figures and the checks; 0 when every check holds.
int runSoak(const SoakOptions& options);

}  // namespace endurance
