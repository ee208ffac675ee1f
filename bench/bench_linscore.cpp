// Times the standardisation and the scoring of linscore on wide and tall
// inputs, and compares the sample-by-sample walk of rescale (contiguous for
// column-major data) with a feature-by-feature walk (stride M) that gives
// the same values. Build and run from the repository root:
//   g++ -std=c++17 -O2 -ffp-contract=off -I. bench/bench_linscore.cpp
//       core/linscore.cpp -o build/bench_linscore && build/bench_linscore
// (one command line).
#include "core/linscore.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

// The same values as rescale, visiting one feature across all samples at a time.
void rescale_feature_by_feature(const double* X, double* Z, const double* mean,
                                const double* scale, int32_t samples, int32_t features) {
    for (int32_t i = 0; i < features; ++i)
        for (int32_t j = 0; j < samples; ++j) {
            const std::ptrdiff_t at = i + static_cast<std::ptrdiff_t>(j) * features;
            Z[at] = (X[at] - mean[i]) / scale[i];
        }
}

template <typename F>
double best_ms(F run) {
    double best = 1e300;
    for (int repeat = 0; repeat < 5; ++repeat) {
        const auto start = std::chrono::steady_clock::now();
        run();
        const auto stop = std::chrono::steady_clock::now();
        best = std::min(best, std::chrono::duration<double, std::milli>(stop - start).count());
    }
    return best;
}

}  // namespace

int main() {
    const int32_t shapes[][2] = {{512, 65536}, {16, 1000000}};
    for (const auto& shape : shapes) {
        const int32_t features = shape[0], samples = shape[1];
        const size_t count = static_cast<size_t>(features) * samples;
        std::vector<double> X(count), Z(count), Z_strided(count), scores(samples);
        std::vector<double> mean(features), scale(features), w(features + 1);
        for (size_t k = 0; k < count; ++k) X[k] = static_cast<double>(k % 977) * 1.5 - 300;
        for (int32_t i = 0; i < features; ++i) {
            mean[i] = 0.25 * i;
            scale[i] = 1 + 0.5 * i;
            w[i] = 0.1 * i - 1;
        }
        w[features] = 2;

        const double strided = best_ms([&] {
            rescale_feature_by_feature(X.data(), Z_strided.data(), mean.data(), scale.data(),
                                       samples, features);
        });
        const double contiguous = best_ms([&] {
            rescale(X.data(), Z.data(), mean.data(), scale.data(), samples, features);
        });
        const double scoring = best_ms([&] {
            predict_scores(scores.data(), Z.data(), w.data(), samples, features);
        });
        const bool same = std::memcmp(Z.data(), Z_strided.data(), count * sizeof(double)) == 0;
        std::printf("%d x %d: rescale %.1f ms (feature by feature %.1f ms, %s), "
                    "predict_scores %.1f ms\n",
                    features, samples, contiguous, strided, same ? "same bits" : "DIFFERENT",
                    scoring);
        if (!same) return 1;
    }
    return 0;
}
