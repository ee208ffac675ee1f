#include "core/envelope.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

namespace {

struct Line {
    std::vector<double> values;
    std::vector<int32_t> args;
};

Line transform(const std::vector<double>& line, double quad, double lin, int32_t first,
               int32_t out_len, double step) {
    Line out{std::vector<double>(out_len > 0 ? out_len : 0, -77.0),
             std::vector<int32_t>(out_len > 0 ? out_len : 0, -77)};
    lower_envelope_1d(line.data(), out.values.data(), out.args.data(), 1,
                      static_cast<int32_t>(line.size()), quad, lin, first, out_len, step);
    return out;
}

// Evaluates every source index at every position; keeps the extreme and,
// among equal values, the smallest index.
Line brute_force(const std::vector<double>& line, double quad, double lin, int32_t first,
                 int32_t out_len, double step) {
    Line out;
    int32_t p = first;
    for (int32_t j = 0; j < out_len; ++j) {
        double best = 0.0;
        int32_t best_v = -1;
        for (int32_t v = 0; v < static_cast<int32_t>(line.size()); ++v) {
            const double d = static_cast<double>(p - v);
            const double value = (quad * (d * d) + lin * d) + line[v];
            const bool better = quad > 0 ? value < best : value > best;
            if (best_v < 0 || better) {
                best = value;
                best_v = v;
            }
        }
        out.values.push_back(best);
        out.args.push_back(best_v);
        p = static_cast<int32_t>(p + step);
    }
    return out;
}

void expect_line(const Line& got, const std::vector<double>& values,
                 const std::vector<int32_t>& args) {
    ASSERT_EQ(got.values.size(), values.size());
    for (size_t j = 0; j < values.size(); ++j) {
        EXPECT_EQ(got.values[j], values[j]) << "position " << j;
        EXPECT_EQ(got.args[j], args[j]) << "position " << j;
    }
}

}  // namespace

// The documented behaviour on small lines: minimum and maximum, the sign of
// the linear term, a single source element, positions outside the line.
TEST(LowerEnvelope, WorkedExamples) {
    expect_line(transform({0, 5}, -1, 0, 0, 2, 1), {4, 5}, {1, 1});
    expect_line(transform({0, 5}, 1, 0, 0, 2, 1), {0, 1}, {0, 0});
    expect_line(transform({0, 0, 0}, -1, -2, 0, 3, 1), {1, 1, 0}, {1, 2, 2});
    expect_line(transform({7}, -1, 0.5, -2, 4, 1), {2, 5.5, 7, 6.5}, {0, 0, 0, 0});
    expect_line(transform({0, 0, 0, 0, 0, 0}, -1, 0, -3, 4, 1.5), {-9, -1, 0, 0},
                {0, 0, 0, 1});
    // Fraction lost at every step: positions 0, 1, 2, 3.
    expect_line(transform({0, 0, 0, 0}, 1, 0, 0, 4, 1.5), {0, 0, 0, 0}, {0, 1, 2, 3});
    // Zero step: every element is the result at the first position.
    expect_line(transform({3, 1, 4}, 1, 0, 5, 3, 0), {13, 13, 13}, {2, 2, 2});
}

// Ties go to the smallest index: a position on a boundary takes the left
// piece, and a piece squeezed to an empty interval is removed.
TEST(LowerEnvelope, TiesReportSmallestIndex) {
    expect_line(transform({0, 1, 0}, 1, 0, 0, 3, 1), {0, 1, 0}, {0, 0, 2});
    expect_line(transform({0, 1}, 1, 0, 0, 3, 1), {0, 1, 2}, {0, 0, 1});
}

// Boundaries are single precision: one within half a single unit of an
// integer counts as that integer, one farther away does not.
TEST(LowerEnvelope, BoundariesRoundToSingle) {
    const double near = 5 - 2e-7;
    expect_line(transform({0, near}, 1, 0, 0, 5, 1), {0, 1, 4, 9, 9 + near},
                {0, 0, 0, 0, 1});
    const double far = 5 - 4e-7;
    expect_line(transform({0, far}, 1, 0, 0, 5, 1), {0, 1, 4, 4 + far, 9 + far},
                {0, 0, 0, 1, 1});
    // Rounded only after the division in double: the numerator 18 - 8.4e-7
    // is 18 in single, yet the boundary 3 - 1.4e-7 rounds below 3.
    const double steep = 15 - 8.4e-7;
    expect_line(transform({0, steep}, 3, 0, 3, 1, 1), {12 + steep}, {1});
    // Compared with the position exactly: 2^24 + 1 is 2^24 in single, yet it
    // lies right of the boundary 2^24.
    expect_line(transform({0, 33554431}, 1, 0, 16777217, 1, 1),
                {16777216.0 * 16777216.0 + 33554431}, {1});
}

// Only every stride-th element is read and written; nothing is written for an
// empty destination or an empty source.
TEST(LowerEnvelope, WritesOnlyItsElements) {
    const std::vector<double> line = {0, 9, 5, 9, 0, 9};  // stride 2: 0, 5, 0
    std::vector<double> values(7, -1.0);
    std::vector<int32_t> args(7, -1);
    lower_envelope_1d(line.data(), values.data(), args.data(), 2, 3, -1, 0, 0, 3, 1);
    EXPECT_EQ(values, (std::vector<double>{4, -1, 5, -1, 4, -1, -1}));
    EXPECT_EQ(args, (std::vector<int32_t>{1, -1, 1, -1, 1, -1, -1}));

    for (int32_t out_len : {0, -3}) {
        lower_envelope_1d(line.data(), values.data(), args.data(), 1, 6, 1, 0, 0, out_len, 1);
    }
    for (int32_t line_len : {0, -1}) {
        lower_envelope_1d(line.data(), values.data(), args.data(), 1, line_len, 1, 0, 0, 7, 1);
    }
    EXPECT_EQ(values, (std::vector<double>{4, -1, 5, -1, 4, -1, -1}));
    EXPECT_EQ(args, (std::vector<int32_t>{1, -1, 1, -1, 1, -1, -1}));
}

// Random lines with small integer values and coefficients keep every
// boundary exact or far from an integer, so the envelope must agree bit for
// bit with evaluating every source index, ties included.
TEST(LowerEnvelope, MatchesBruteForceOnRandomLines) {
    std::mt19937 rng(12345);
    const double quads[] = {-2, -1, -0.5, -0.25, 0.25, 0.5, 1, 2};
    const double lins[] = {-2, -1, -0.5, 0, 0, 0.5, 1, 3};
    const double steps[] = {0, 0.5, 1, 1, 1.5, 2, 2.5, 3};
    for (int trial = 0; trial < 3000; ++trial) {
        const int32_t len = 1 + static_cast<int32_t>(rng() % 30);
        std::vector<double> line(len);
        const int32_t spread = 1 + static_cast<int32_t>(rng() % 12);
        for (double& value : line) value = static_cast<double>(rng() % spread) - spread / 2;
        const double quad = quads[rng() % 8];
        const double lin = lins[rng() % 8];
        const double step = steps[rng() % 8];
        const int32_t first = static_cast<int32_t>(rng() % (len + 20)) - 10;
        const int32_t out_len = static_cast<int32_t>(rng() % 25);
        const Line got = transform(line, quad, lin, first, out_len, step);
        const Line want = brute_force(line, quad, lin, first, out_len, step);
        ASSERT_EQ(got.args, want.args) << "trial " << trial;
        ASSERT_EQ(got.values, want.values) << "trial " << trial;
    }
}

// Lines longer than 46341 and positions far outside: squared differences
// beyond 32 bits must come out right, not wrap around.
TEST(LowerEnvelope, LongLinesAndFarPositions) {
    const int32_t len = 60000;
    const std::vector<double> zeros(len, 0.0);
    const Line near_end = transform(zeros, 1, 0, 59990, 20, 1);
    for (int32_t j = 0; j < 20; ++j) {
        const int32_t p = 59990 + j;
        const int32_t v = p < len ? p : len - 1;
        const double d = p - v;
        EXPECT_EQ(near_end.args[j], v);
        EXPECT_EQ(near_end.values[j], d * d);
    }
    expect_line(transform({2, 0, 0}, 1, 1, -100000, 1, 0), {1e10 - 1e5 + 2}, {0});
    expect_line(transform({2, 0, 0}, -1, 0, 200000, 1, 0), {-199998.0 * 199998.0}, {2});
}

// A coefficient or source value that pushes a boundary below the lower end
// of the envelope must not remove its first piece; the index stays valid and
// the dominating element is reported.
TEST(LowerEnvelope, NeverRemovesFirstPiece) {
    expect_line(transform({0, -1e30}, 1, 0, 0, 2, 1), {-1e30 + 1, -1e30}, {1, 1});
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<std::vector<double>> lines = {
        {inf, -inf, 0, 1}, {nan, 0, nan, -inf}, {0, 1e300, -1e300, 3}, {1, 2, 3, 4}};
    for (const auto& line : lines) {
        for (double quad : {0.0, 1.0, -1.0, inf, nan, 1e-300}) {
            const Line got = transform(line, quad, 1, -5, 12, 1);
            for (int32_t arg : got.args) {
                EXPECT_GE(arg, 0);
                EXPECT_LT(arg, 4);
            }
        }
    }
}

// Stepping stays defined at the ends of the 32-bit range: the step after the
// last position is not taken, sums beyond the range saturate, and the check
// tells exactly when the positions are all representable.
TEST(LowerEnvelope, PositionsAtTheRangeEnds) {
    const int32_t top = std::numeric_limits<int32_t>::max();
    const int32_t bottom = std::numeric_limits<int32_t>::min();
    const Line last = transform({0, 0}, 1, 0, top, 1, 1e300);
    EXPECT_EQ(last.args[0], 1);
    EXPECT_EQ(last.values[0], static_cast<double>(top - 1) * static_cast<double>(top - 1));

    EXPECT_EQ(next_envelope_position(top, 1), top);
    EXPECT_EQ(next_envelope_position(bottom, -1), bottom);
    EXPECT_EQ(next_envelope_position(bottom, -0.5), bottom);
    EXPECT_EQ(next_envelope_position(-3, 1.5), -1);
    EXPECT_EQ(next_envelope_position(5, std::nan("")), 5);

    EXPECT_TRUE(envelope_positions_fit(top - 1, 2, 1));
    EXPECT_FALSE(envelope_positions_fit(top - 1, 3, 1));
    EXPECT_TRUE(envelope_positions_fit(bottom, 2, -0.5));
    EXPECT_FALSE(envelope_positions_fit(bottom, 2, -1));
    EXPECT_TRUE(envelope_positions_fit(top, 1, std::nan("")));
    EXPECT_FALSE(envelope_positions_fit(0, 2, std::nan("")));
    EXPECT_FALSE(envelope_positions_fit(0, 2, std::numeric_limits<double>::infinity()));
    EXPECT_TRUE(envelope_positions_fit(-3, 1000, 1.5));
}

// The range check skips over runs of equal steps instead of walking every
// position: it must give the walk's answer for steps whose rounding depends on
// the size of the sum (just below a whole number, tiny, huge), for positions
// that stall, and for walks that leave the range on either side.
TEST(LowerEnvelope, RangeCheckAgreesWithWalkingEveryPosition) {
    const auto walk_fits = [](int32_t first, int32_t out_len, double step) {
        int32_t p = first;
        for (int32_t j = 1; j < out_len; ++j) {
            const double sum = static_cast<double>(p) + step;
            if (!(sum > -2147483649.0 && sum < 2147483648.0)) return false;
            p = static_cast<int32_t>(sum);
        }
        return true;
    };
    const int32_t top = std::numeric_limits<int32_t>::max();
    const int32_t bottom = std::numeric_limits<int32_t>::min();
    std::vector<double> steps = {0,   0.5,        1,    1.5,    2,   3,   1e-300, 0x1p-60,
                                 0x1p-30, 1 - 0x1p-53, 1 - 0x1p-40, 2 - 0x1p-30, 1000.75,
                                 65536.25, 2147483647.5, 4294967296.0, 1e10, 1e300};
    const size_t positive = steps.size();
    for (size_t i = 0; i < positive; ++i) steps.push_back(-steps[i]);
    std::vector<int32_t> firsts = {0, 1, -1, 7, -7, top, top - 1, top - 5000, bottom,
                                   bottom + 1, bottom + 5000, 1 << 30, -(1 << 30)};
    std::mt19937 random(14);
    for (int i = 0; i < 40; ++i) {
        firsts.push_back(static_cast<int32_t>(random()));
        steps.push_back(std::ldexp(static_cast<double>(random()), -static_cast<int>(random() % 40)));
    }
    for (double step : steps)
        for (int32_t first : firsts)
            for (int32_t out_len : {0, 1, 2, 3, 1000, 4096, 20000})
                EXPECT_EQ(envelope_positions_fit(first, out_len, step),
                          walk_fits(first, out_len, step))
                    << "first " << first << ", " << out_len << " positions, step " << step;

    // Long walks that end just inside or just outside the range.
    EXPECT_TRUE(envelope_positions_fit(0, top, 1));
    EXPECT_TRUE(envelope_positions_fit(1, top, 1));
    EXPECT_FALSE(envelope_positions_fit(2, top, 1));
    EXPECT_TRUE(envelope_positions_fit(bottom, top, 0.75));
    EXPECT_FALSE(envelope_positions_fit(0, top, 2));
    EXPECT_TRUE(envelope_positions_fit(0, 1073741824, 2));
    EXPECT_FALSE(envelope_positions_fit(0, 1073741825, 2));
    EXPECT_TRUE(envelope_positions_fit(-top, top, 2));
}
