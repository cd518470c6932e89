// Overshoot of sleepMs for the short waits that go through the precise wait: how much later than
// asked each wait ends, as the median and the 99th percentile of many runs per duration.
// Usage: bench_precise_wait [runs per duration, at least 200]

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "comm/UtilTimeout.h"

namespace {

using Clock = std::chrono::steady_clock;

double percentile(const std::vector<double>& sorted, double p) {
    const size_t rank = static_cast<size_t>(std::ceil(p * static_cast<double>(sorted.size())));
    return sorted[std::clamp<size_t>(rank, 1, sorted.size()) - 1];
}

}  // namespace

int main(int argc, char** argv) {
    constexpr int kMinRuns = 200;
    int runs = kMinRuns;
    if (argc > 1) {
        runs = std::max(kMinRuns, std::atoi(argv[1]));
    }
    const uint32_t durations[] = {1, 3, 8, 20, 39};

    std::printf("sleepMs overshoot, %d runs each (ms)\n", runs);
    std::printf("%8s %10s %10s %10s\n", "wait", "median", "p99", "max");
    for (const uint32_t ms : durations) {
        std::vector<double> overshoot;
        overshoot.reserve(static_cast<size_t>(runs));
        for (int i = 0; i < runs; ++i) {
            const auto start = Clock::now();
            sleepMs(ms);
            const double took = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
            overshoot.push_back(took - ms);
        }
        std::sort(overshoot.begin(), overshoot.end());
        std::printf("%8u %10.3f %10.3f %10.3f\n", ms, percentile(overshoot, 0.5), percentile(overshoot, 0.99),
                    overshoot.back());
    }
    return 0;
}
