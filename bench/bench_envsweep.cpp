// Times the two-dimensional envsweep transform on square maps from 64 x 64 to
// 2048 x 2048 with an output of the same size, and once more with the output
// grid far outside the map: the time per cell should stay within a small
// band (the transform is linear in the map and output sizes, whatever the
// distance). Build and run from the repository root:
//   g++ -std=c++17 -O2 -ffp-contract=off -I. bench/bench_envsweep.cpp
//       core/envelope.cpp core/envsweep.cpp -o build/bench_envsweep && build/bench_envsweep
// (one command line).
#include "core/envsweep.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

template <typename F>
double best_ms(int repeats, F run) {
    double best = 1e300;
    for (int repeat = 0; repeat < repeats; ++repeat) {
        const auto start = std::chrono::steady_clock::now();
        run();
        const auto stop = std::chrono::steady_clock::now();
        best = std::min(best, std::chrono::duration<double, std::milli>(stop - start).count());
    }
    return best;
}

}  // namespace

int main() {
    std::printf("%-12s %12s %10s %16s %10s\n", "map", "near (ms)", "ns/cell", "far away (ms)",
                "ns/cell");
    for (int32_t n = 64; n <= 2048; n *= 2) {
        const size_t cells = static_cast<size_t>(n) * n;
        std::vector<double> map(cells), mid_map(cells), out(cells);
        std::vector<int32_t> mid_row(cells), best_col(cells), best_row(cells);
        for (size_t k = 0; k < cells; ++k) map[k] = static_cast<double>((k * 7919) % 1000) / 8;
        const SweepCost cost{0.01, 0.1, 0.02, -0.1};
        const int repeats = n <= 256 ? 20 : 3;
        double ms[2];
        const int32_t firsts[2] = {-3, -1000000};
        for (int k = 0; k < 2; ++k) {
            const SweepGrid grid{firsts[k], firsts[k], {n, n}, 1.0};
            ms[k] = best_ms(repeats, [&] {
                envsweep_transform(map.data(), {n, n}, cost, grid, mid_map.data(),
                                   mid_row.data(), out.data(), best_col.data(), best_row.data());
            });
        }
        char size[32];
        std::snprintf(size, sizeof size, "%d x %d", n, n);
        std::printf("%-12s %12.2f %10.1f %16.2f %10.1f\n", size, ms[0], ms[0] * 1e6 / cells,
                    ms[1], ms[1] * 1e6 / cells);
    }
    return 0;
}
