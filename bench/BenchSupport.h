#pragma once

// Small helpers shared by the benchmarks' own mains.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace bench {

// The three load averages, as the kernel gives them.
inline std::string loadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string a, b, c;
    in >> a >> b >> c;
    return a + " " + b + " " + c;
}

inline double median(std::vector<double> v) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// The number of interleaved rounds: --rounds=N, else VELNOR_BENCH_ROUNDS, else 7. Google Benchmark's
// own flags (passed on by bench/run.sh) are ignored; anything else prints the usage and gives -1.
inline int roundsFromCommandLine(int argc, char** argv) {
    const char* fromEnvironment = std::getenv("VELNOR_BENCH_ROUNDS");
    int rounds = std::max(1, fromEnvironment ? std::atoi(fromEnvironment) : 7);
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--rounds=", 0) == 0) {
            rounds = std::max(1, std::atoi(arg.c_str() + 9));
        } else if (arg.rfind("--benchmark_", 0) != 0) {
            std::fprintf(stderr, "usage: %s [--rounds=N]\n", argv[0]);
            return -1;
        }
    }
    return rounds;
}

} // namespace bench
