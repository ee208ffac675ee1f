// Standardisation and scoring (rescale_and_score) on every path against the
// scalar path, in the standardised copy and in the scores: feature counts
// around and well beyond the vector widths and blocks, sample counts that
// leave every remainder, zero and negative scales, signed zeros, infinities,
// NaNs, subnormals and sums whose order decides their rounding.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "core/linscore.h"
#include "path_harness.h"

using namespace pathfuzz;

namespace {

enum Slot { kX, kMean, kScale, kW, kZ, kScores };

// A scale: the common ones, zeros of both signs, or any value.
double scale_value(Bytes& in) {
    static const double common[] = {1, 1, 2, 0.5, -1, 0, -0.0, 3, 0.1, 1e-300, 1e300, 4};
    const uint8_t b = in.byte();
    return b < 128 ? common[b % 12] : in.value();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Bytes in(data, size);
    int32_t features, samples;
    switch (in.byte() % 8) {
        case 6:  // many features: the blocks a vector path stages in cache
            features = in.in_range(60, 300);
            samples = in.in_range(0, 12);
            break;
        case 7:  // counts at and below zero
            features = in.in_range(-2, 1);
            samples = in.in_range(-2, 9);
            break;
        default:
            features = in.in_range(0, 20);
            samples = in.in_range(0, 24);
    }
    const uint8_t placement = in.byte();
    const size_t M = features > 0 ? static_cast<size_t>(features) : 0;
    const size_t N = samples > 0 ? static_cast<size_t>(samples) : 0;

    double* X = guarded_array<double>(kX, M * N, placement & 1);
    double* mean = guarded_array<double>(kMean, M, placement & 2);
    double* scale = guarded_array<double>(kScale, M, placement & 4);
    double* w = guarded_array<double>(kW, M + 1, placement & 8);
    fill_values(in, X, M * N);
    for (size_t i = 0; i < M; ++i) mean[i] = in.value();
    for (size_t i = 0; i < M; ++i) scale[i] = scale_value(in);
    fill_values(in, w, M + 1);
    if (in.now_and_then()) {
        seal(kX);
        seal(kMean);
        seal(kScale);
        seal(kW);
    }
    auto context = [&] {
        char head[96];
        std::snprintf(head, sizeof head, "features %d, samples %d\n", features, samples);
        return head + describe_values("X", X, M * N) + describe_values("mean", mean, M) +
               describe_values("scale", scale, M) + describe_values("w", w, M + 1);
    };
    if (describing()) std::fprintf(stderr, "%s", context().c_str());

    // Each path writes over a marker, which shows an element left unwritten.
    struct Results { double* Z; double* scores; };
    auto run = [&](KernelPath path) {
        Results r{guarded_array<double>(kZ, M * N, placement & 16),
                  guarded_array<double>(kScores, N, placement & 32)};
        for (size_t k = 0; k < M * N; ++k) r.Z[k] = -8.125e-7;
        for (size_t k = 0; k < N; ++k) r.scores[k] = -8.125e-7;
        rescale_and_score(X, r.Z, mean, scale, w, r.scores, samples, features, path);
        return r;
    };
    const Results scalar = run(KernelPath::Scalar);
    const std::vector<double> want_Z(scalar.Z, scalar.Z + M * N);
    const std::vector<double> want_scores(scalar.scores, scalar.scores + N);
    for (KernelPath path : vector_paths()) {
        const Results got = run(path);
        long at = first_difference(got.Z, want_Z.data(), M * N);
        if (at >= 0) report("rescale_and_score", path, "Z", at, got.Z[at], want_Z[at], context());
        at = first_difference(got.scores, want_scores.data(), N);
        if (at >= 0)
            report("rescale_and_score", path, "scores", at, got.scores[at], want_scores[at],
                   context());
    }
    return 0;
}
