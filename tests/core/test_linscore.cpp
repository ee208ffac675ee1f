#include "core/linscore.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

namespace {

const double inf = std::numeric_limits<double>::infinity();

uint64_t bits(double v)
{
    uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

// Standardise then score, as the module does.
std::vector<double> score(const std::vector<double>& X, const std::vector<double>& mean,
                          const std::vector<double>& scale, const std::vector<double>& w,
                          int32_t samples, int32_t features)
{
    std::vector<double> Z(X.size());
    std::vector<double> out(samples);
    rescale(X.data(), Z.data(), mean.data(), scale.data(), samples, features);
    predict_scores(out.data(), Z.data(), w.data(), samples, features);
    return out;
}

}  // namespace

// The additions run in feature order with the bias last: any other order
// rounds differently on these values.
TEST(LinscoreCore, SummationOrderIsFeatureOrderThenBias)
{
    // 1e16 + 1 rounds back to 1e16 twice; summing from the end would give 1e16 + 2.
    auto s = score({1e16, 1, 1}, {0, 0, 0}, {1, 1, 1}, {1, 1, 1, 0}, 1, 3);
    EXPECT_EQ(bits(s[0]), bits(1e16));

    // Bias added last: (1e16 + 1) - 1e16 is 0, not the 1 an earlier bias would leave.
    s = score({1e16, 1}, {0, 0}, {1, 1}, {1, 1, -1e16}, 1, 2);
    EXPECT_EQ(bits(s[0]), bits(0.0));
}

// Sample j is column j and feature i is row i of the column-major matrix;
// each feature uses its own mean, scale and weight.
TEST(LinscoreCore, LayoutFeaturesByRowsSamplesByColumns)
{
    // 2 features x 3 samples.
    const std::vector<double> X = {1, 10, 2, 20, 3, 30};
    auto s = score(X, {1, 10}, {1, 10}, {100, 1, 0.5}, 3, 2);
    ASSERT_EQ(s.size(), 3u);
    EXPECT_EQ(s[0], 0.5);          // Z column (0, 0)
    EXPECT_EQ(s[1], 101.5);        // Z column (1, 1)
    EXPECT_EQ(s[2], 202.5);        // Z column (2, 2)
}

// The standardised value is a rounded difference divided by the scale with a
// true IEEE division; zero, negative and signed-zero scales follow IEEE rules.
TEST(LinscoreCore, DivisionFollowsIeee)
{
    const std::vector<double> X = {5, 5, 0, -1, 4, 7};
    const std::vector<double> mean = {0, 0, 0, 0, 4, 3};
    const std::vector<double> scale = {3, 0, 0, -0.0, -2, 7};
    std::vector<double> Z(X.size());
    rescale(X.data(), Z.data(), mean.data(), scale.data(), 1, 6);
    EXPECT_EQ(bits(Z[0]), bits(1.6666666666666667));  // 5 * (1/3) would be ...665
    EXPECT_EQ(Z[1], inf);
    EXPECT_TRUE(std::isnan(Z[2]));                    // 0 / 0
    EXPECT_EQ(Z[3], inf);                             // -1 / -0.0
    EXPECT_EQ(bits(Z[4]), bits(-0.0));                // +0 / -2
    EXPECT_EQ(bits(Z[5]), bits(4.0 / 7.0));

    // A zero scale makes every score non-finite; the rest still computes.
    auto s = score({1, -1, 0}, {0, 0, 0}, {0, 0, 0}, {1, 0}, 3, 1);
    EXPECT_EQ(s[0], inf);
    EXPECT_EQ(s[1], -inf);
    EXPECT_TRUE(std::isnan(s[2]));
    s = score({1}, {0}, {0}, {0, 2}, 1, 1);             // 0 * inf
    EXPECT_TRUE(std::isnan(s[0]));
}

// The running sum starts at +0.0: signed zeros and a -0.0 bias give +0.0.
TEST(LinscoreCore, SignedZero)
{
    auto s = score({-0.0, 0.0}, {0.0, 0.0}, {1, -1}, {1, 1, -0.0}, 1, 2);
    EXPECT_EQ(bits(s[0]), bits(0.0));
    s = score({-0.0}, {0.0}, {1}, {1, -0.0}, 1, 1);   // product -0.0
    EXPECT_EQ(bits(s[0]), bits(0.0));
}

// Empty counts: no features scores the bias alone; no samples touches nothing,
// not even mean, scale or w (null pointers prove it).
TEST(LinscoreCore, EmptyCounts)
{
    const double w[] = {-0.0, 7.5};
    double scores[3] = {9, 9, 9};
    predict_scores(scores, nullptr, w, 2, 0);
    EXPECT_EQ(bits(scores[0]), bits(0.0));   // +0.0 + -0.0
    EXPECT_EQ(bits(scores[1]), bits(0.0));
    EXPECT_EQ(scores[2], 9);
    const double bias[] = {7.5};
    predict_scores(scores, nullptr, bias, 1, 0);
    EXPECT_EQ(scores[0], 7.5);

    double Z[2] = {9, 9};
    rescale(nullptr, Z, nullptr, nullptr, 5, 0);
    rescale(nullptr, Z, nullptr, nullptr, 0, 5);
    predict_scores(scores, nullptr, nullptr, 0, 5);
    EXPECT_EQ(Z[0], 9);
    EXPECT_EQ(Z[1], 9);
    EXPECT_EQ(scores[1], 0.0);
    EXPECT_EQ(scores[2], 9);
}
