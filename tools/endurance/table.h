// One row of the figures table that scripts/bench and scripts/soak print:
// the same columns as the native benchmarks' rows.
#pragma once

#include <cstdio>
#include <string>

namespace endurance {

inline void printTableHeader() { std::printf("%-40s %12s %10s  %s\n", "measure", "figure", "goal", "unit"); }

// Prints a row; with a goal (a ceiling), says whether it was met and
// returns false when it was not.
inline bool printRow(const std::string& name, double figure, const char* unit, double goal = -1) {
    if (goal < 0) {
        std::printf("%-40s %12.2f %10s  %s\n", name.c_str(), figure, "-", unit);
        return true;
    }
    const bool met = figure <= goal;
    std::printf("%-40s %12.2f %10.2f  %-4s %s\n", name.c_str(), figure, goal, unit, met ? "ok" : "MISSED");
    return met;
}

}  // namespace endurance
