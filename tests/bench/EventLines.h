// Counts the benchmark's PartyHangup lines (CallRef 0, 1, 2, ...) in the console's
// output: found whole and in order, and found only after stray bytes.
#pragma once

#include <cstdio>
#include <string>

namespace quvo::bench {

struct EventTally {
    long good = 0;  // lines found whole
    long torn = 0;  // of those, lines with stray bytes before them
};

inline EventTally CountEventLines(const std::string& output, long events) {
    EventTally tally;
    size_t pos = output.find("Event : PartyHangup");
    char expected[64];
    for (long i = 0; i < events && pos != std::string::npos; ++i) {
        const int length =
            std::snprintf(expected, sizeof expected, "Event : PartyHangup,  CallRef=%ld\n> ", i);
        const size_t found = output.find(expected, pos, static_cast<size_t>(length));
        if (found == std::string::npos) continue;
        if (found != pos) ++tally.torn;
        pos = found + static_cast<size_t>(length);
        ++tally.good;
    }
    return tally;
}

}  // namespace quvo::bench
