// The vector paths of rescale_and_score against its scalar path (rescale,
// then predict_scores), bit for bit in the scores and the standardised copy.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "core/linscore.h"
#include "kernel_paths.h"

namespace {

const double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();

struct Result {
    std::vector<double> Z, scores;
};

// Z and the scores one element longer than needed, so that a write past the
// end shows.
Result run(const std::vector<double>& X, const std::vector<double>& mean,
           const std::vector<double>& scale, const std::vector<double>& w, int32_t features,
           int32_t samples, KernelPath path) {
    Result r{std::vector<double>(X.size() + 1, -3.0), std::vector<double>(samples + 1, -3.0)};
    rescale_and_score(X.data(), r.Z.data(), mean.data(), scale.data(), w.data(),
                      r.scores.data(), samples, features, path);
    return r;
}

// Random inputs of these sizes: values of the given spreads with 1e16, -0.0,
// 0 and 1 mixed in (infinities and NaNs in place of 0 and 1 when `special`),
// now and then a zero scale of either sign, and a -0.0 bias with
// `negative_zero_bias`.
struct Inputs {
    std::vector<double> X, mean, scale, w;
};

Inputs random_inputs(std::mt19937_64& rng, int32_t features, int32_t samples, bool special,
                     bool negative_zero_bias) {
    auto value = [&](double spread) {
        switch (rng() % 16) {
            case 0: return 1e16;
            case 1: return -0.0;
            case 2: return special ? kInf : 0.0;
            case 3: return special ? kNaN : 1.0;
            default: return std::uniform_real_distribution<double>(-spread, spread)(rng);
        }
    };
    Inputs in{std::vector<double>(static_cast<size_t>(features) * samples),
              std::vector<double>(features), std::vector<double>(features),
              std::vector<double>(features + 1)};
    for (double& v : in.X) v = value(100);
    for (double& v : in.mean) v = value(10);
    for (double& v : in.scale) v = rng() % 12 == 0 ? (rng() % 2 ? 0.0 : -0.0) : value(4);
    for (double& v : in.w) v = value(2);
    if (negative_zero_bias) in.w[features] = -0.0;
    return in;
}

}  // namespace

// Every feature count around the vector width (and none), sample counts
// that leave remainders, the summation order (large and small terms mixed),
// signed zeros and a -0.0 bias, zero and negative scales; with `special`
// values also infinities and NaNs in X, where only a NaN's payload may differ
// (two NaNs meeting in a sum).
TEST(LinscorePaths, RandomInputsGiveScalarBits) {
    std::mt19937_64 rng(4242);
    for (int trial = 0; trial < 300; ++trial) {
        const int32_t features = static_cast<int32_t>(rng() % 14);
        const int32_t samples = static_cast<int32_t>(rng() % 19);
        const bool special = trial % 4 == 3;
        const Inputs in = random_inputs(rng, features, samples, special, trial % 5 == 0);
        const std::vector<double>&X = in.X, &mean = in.mean, &scale = in.scale, &w = in.w;
        const Result want = run(X, mean, scale, w, features, samples, KernelPath::Scalar);
        for (KernelPath path : vector_paths()) {
            const Result got = run(X, mean, scale, w, features, samples, path);
            ASSERT_EQ(first_difference(got.Z, want.Z), -1) << "trial " << trial;
            ASSERT_EQ(first_difference_but_nan_payload(got.scores, want.scores), -1)
                << "trial " << trial << " " << path_name(path);
            if (!special) {
                ASSERT_EQ(first_difference(got.scores, want.scores), -1) << trial;
            }
        }
    }
}

// The scalar path of the fused function is rescale followed by
// predict_scores.
TEST(LinscorePaths, ScalarPathIsRescaleThenScore) {
    const std::vector<double> X{1, 2, 3, 4, 5, 6}, mean{0.5, 1, -1}, scale{2, 0.25, 3},
        w{1, -2, 0.5, 0.125};
    std::vector<double> Z(6), scores(2), Z2(6), scores2(2);
    rescale(X.data(), Z.data(), mean.data(), scale.data(), 2, 3);
    predict_scores(scores.data(), Z.data(), w.data(), 2, 3);
    rescale_and_score(X.data(), Z2.data(), mean.data(), scale.data(), w.data(), scores2.data(), 2,
                      3, KernelPath::Scalar);
    EXPECT_EQ(first_difference(Z2, Z), -1);
    EXPECT_EQ(first_difference(scores2, scores), -1);
}

// A standardised copy large enough to be written past the caches, at every
// alignment of Z, with samples left over after the groups of four.
TEST(LinscorePaths, LargeCopiesAtEveryAlignment) {
    const int32_t features = 8, samples = 131077;
    const size_t count = static_cast<size_t>(features) * samples;
    std::mt19937_64 rng(5);
    std::uniform_real_distribution<double> value(-100, 100);
    std::vector<double> X(count), mean(features), scale(features), w(features + 1);
    for (double& v : X) v = value(rng);
    for (double& v : mean) v = value(rng);
    for (double& v : scale) v = value(rng);
    for (double& v : w) v = value(rng);
    std::vector<double> Z0(count), scores0(samples);
    rescale_and_score(X.data(), Z0.data(), mean.data(), scale.data(), w.data(), scores0.data(),
                      samples, features, KernelPath::Scalar);
    for (size_t shift = 0; shift < 4; ++shift) {
        std::vector<double> storage(count + 4, -3.0), scores(samples);
        rescale_and_score(X.data(), storage.data() + shift, mean.data(), scale.data(), w.data(),
                          scores.data(), samples, features, KernelPath::Fastest);
        const std::vector<double> Z(storage.begin() + shift, storage.begin() + shift + count);
        EXPECT_EQ(first_difference(Z, Z0), -1) << "shift " << shift;
        EXPECT_EQ(first_difference(scores, scores0), -1) << "shift " << shift;
        EXPECT_EQ(storage[count + shift], -3.0);
        if (shift > 0) {
            EXPECT_EQ(storage[shift - 1], -3.0);
        }
    }
}

// X stored feature by feature (a C-ordered features x samples array): every
// path gives the scores of the column-ordered kernel on the same matrix, bit
// for bit, for sample counts within one block and across blocks with
// remainders, signed zeros, a -0.0 bias, zero scales, and with `special` also
// infinities and NaNs (where only a NaN's payload may differ).
TEST(LinscorePaths, FeatureRowsGiveTheScoresOfColumns) {
    std::mt19937_64 rng(1919);
    for (int trial = 0; trial < 120; ++trial) {
        const int32_t features = static_cast<int32_t>(rng() % 11);
        // Blocks are of 32768 samples.
        const int32_t samples = static_cast<int32_t>(trial % 6 == 0 ? 32760 + rng() % 40
                                                                    : rng() % 19);
        const bool special = trial % 4 == 3;
        const Inputs in = random_inputs(rng, features, samples, special, trial % 5 == 0);
        const std::vector<double>&X = in.X, &mean = in.mean, &scale = in.scale, &w = in.w;
        // The same matrix by columns, scored by the column-ordered kernel.
        std::vector<double> columns(X.size());
        for (int32_t i = 0; i < features; ++i)
            for (int32_t j = 0; j < samples; ++j)
                columns[i + static_cast<size_t>(j) * features] = X[j + static_cast<size_t>(i) * samples];
        const Result want = run(columns, mean, scale, w, features, samples, KernelPath::Scalar);
        std::vector<KernelPath> paths = vector_paths();
        paths.insert(paths.begin(), KernelPath::Scalar);
        for (KernelPath path : paths) {
            std::vector<double> scores(samples + 1, -3.0);
            score_feature_rows(X.data(), mean.data(), scale.data(), w.data(), scores.data(),
                               samples, features, path);
            ASSERT_EQ(first_difference_but_nan_payload(scores, want.scores), -1)
                << "trial " << trial << " " << path_name(path);
            if (!special) {
                ASSERT_EQ(first_difference(scores, want.scores), -1)
                    << "trial " << trial << " " << path_name(path);
            }
        }
    }
}

// linscore_strided on every path and layout (X in column order, in row order,
// as one channel of an interleaved matrix, as a slice of a larger one; the
// vectors contiguous or strided; a block boundary of the column-ordered
// path crossed) against rescale then predict_scores, bit for bit.
TEST(LinscorePaths, StridedViewsGiveScalarBits) {
    std::mt19937_64 rng(2024);
    struct Layout { bool by_rows; int32_t channels; int32_t gap; int32_t vector_step; };
    const Layout layouts[] = {{false, 1, 0, 1}, {true, 1, 0, 1}, {true, 3, 2, 1},
                              {false, 1, 5, 1}, {false, 2, 0, 3}, {true, 1, 0, 2}};
    for (int trial = 0; trial < 60; ++trial) {
        const int32_t features = static_cast<int32_t>(rng() % 9);
        const int32_t samples = static_cast<int32_t>(trial % 10 == 0 ? 16390 / 4 + rng() % 9
                                                                     : 1 + rng() % 23);
        const bool special = trial % 4 == 3;
        const Inputs in = random_inputs(rng, features, samples, special, trial % 5 == 0);
        const Result want = run(in.X, in.mean, in.scale, in.w, features, samples,
                                KernelPath::Scalar);
        std::vector<KernelPath> paths = vector_paths();
        paths.insert(paths.begin(), KernelPath::Scalar);
        for (const Layout& layout : layouts) {
            const std::ptrdiff_t inner = layout.channels;
            const std::ptrdiff_t outer =
                (layout.by_rows ? samples : features) * inner + layout.gap;
            std::vector<double> placed(static_cast<size_t>(outer) * (features + samples + 1),
                                       kNaN);
            const DoubleView X = layout.by_rows
                                     ? DoubleView{placed.data(), features, samples, outer, inner}
                                     : DoubleView{placed.data(), features, samples, inner, outer};
            for (int32_t i = 0; i < features; ++i)
                for (int32_t j = 0; j < samples; ++j)
                    X.at(i, j) = in.X[i + static_cast<size_t>(j) * features];
            const std::ptrdiff_t step = layout.vector_step;
            auto vector = [&](const std::vector<double>& from, std::vector<double>& to) {
                to.assign(from.size() * step + 1, kNaN);
                for (size_t k = 0; k < from.size(); ++k) to[k * step] = from[k];
                return ConstView{to.data(), static_cast<int32_t>(from.size()), 1, step, 0};
            };
            std::vector<double> mean, scale, w;
            const ConstView mean_view = vector(in.mean, mean);
            const ConstView scale_view = vector(in.scale, scale);
            const ConstView w_view = vector(in.w, w);
            for (KernelPath path : paths) {
                std::vector<double> scores(samples + 1, -3.0);
                linscore_strided({X.data, X.rows, X.cols, X.row_step, X.col_step}, mean_view,
                                 scale_view, w_view, {scores.data(), samples, 1, 1, samples},
                                 path);
                ASSERT_EQ(first_difference_but_nan_payload(scores, want.scores), -1)
                    << "trial " << trial << " " << path_name(path) << " rows " << layout.by_rows
                    << " channels " << layout.channels << " gap " << layout.gap;
                if (!special) {
                    ASSERT_EQ(first_difference(scores, want.scores), -1);
                }
            }
        }
    }
}
