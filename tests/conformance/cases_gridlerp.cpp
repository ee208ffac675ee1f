// gridlerp's conformance calls: the worked examples, every clamping region,
// the argument checks, and 12,000 generated calls on small images.
#include <vector>

#include "conformance.h"

namespace {

using conformance::Calls;
using conformance::kInf;
using conformance::kNaN;
using conformance::kNegZero;
using conformance::Random;
using mexhost::double_matrix;

// The examples with known answers, the nine clamping regions and the values on
// and just beyond the borders, and the argument checks in their order.
void fixed_cases(Calls& calls) {
    const auto square = double_matrix(2, 2, {10, 30, 20, 40});
    calls.call("2x2 example", 1, square, double_matrix(1, 4, {0.5, -5, 1, 0}),
               double_matrix(4, 1, {0.5, 0.5, 7, 0}));
    calls.call("2x2 example, nlhs 0", 0, square, double_matrix(1, 1, {0.5}),
               double_matrix(1, 1, {0.5}));
    calls.call("2x2 example, long Y", 1, square, double_matrix(1, 4, {0.5, -5, 1, 0}),
               double_matrix(1, 6, {0.5, 0.5, 7, 0, kNaN, kNaN}));

    std::vector<double> ramp(16);
    for (int c = 0; c < 4; ++c)
        for (int r = 0; r < 4; ++r) ramp[r + 4 * c] = 10.0 * r + c;
    calls.call("ramp reproduced", 1, double_matrix(4, 4, ramp), double_matrix(1, 1, {2.75}),
               double_matrix(1, 1, {1.25}));
    calls.call("1x2 halfway", 1, double_matrix(1, 2, {3, 8}), double_matrix(1, 1, {0.5}),
               double_matrix(1, 1, {0}));
    calls.call("2x1 halfway", 1, double_matrix(2, 1, {3, 8}), double_matrix(1, 1, {0}),
               double_matrix(1, 1, {0.5}));
    calls.call("1x1 image", 1, double_matrix(1, 1, {7}), double_matrix(1, 3, {0, -2, 9}),
               double_matrix(1, 3, {0, 5, -kInf}));

    // 4 rows, 5 columns: xmax = 4, ymax = 3.
    std::vector<double> image(20);
    for (int i = 0; i < 20; ++i) image[i] = i * 1.5 - 7;
    const auto four_by_five = double_matrix(4, 5, image);
    const double just_past_4 = conformance::step_up(4.0);
    calls.call("clamping regions", 1, four_by_five,
               double_matrix(1, 14, {-3.2, 7, -1, 9, 2.5, -2, 4, 0, just_past_4, kNegZero, kInf,
                                     -kInf, 4, conformance::step_down(0.0)}),
               double_matrix(1, 14, {1.5, -1, -1, 9, 8, 5, 3, 0, 2, 2, -kInf, 1.25,
                                     conformance::step_up(3.0), kNegZero}));
    calls.call("NaN positions", 1, four_by_five, double_matrix(1, 3, {kNaN, 1, kNaN}),
               double_matrix(1, 3, {1, kNaN, kNaN}));

    // Non-finite neighbours enter the sums even at weight 0.
    calls.call("infinite neighbour at weight 0", 1, double_matrix(2, 2, {1, kInf, 2, 3}),
               double_matrix(1, 3, {0, 1, 0.5}), double_matrix(1, 3, {0, 0, 1}));
    calls.call("NaN neighbour at weight 0", 1, double_matrix(2, 2, {1, 2, kNaN, 3}),
               double_matrix(1, 2, {0, 1}), double_matrix(1, 2, {1, 1}));

    calls.call("empty grid", 1, double_matrix(0, 0), double_matrix(0, 3), double_matrix(0, 0));
    calls.call("3-D X", 1, square, mexhost::numeric_array(mxDOUBLE_CLASS, {2, 3, 2}),
               double_matrix(12, 1));

    // Argument counts: the result count first, then the input count.
    const auto x = double_matrix(1, 1, {0.5}), y = double_matrix(1, 1, {0.5});
    calls.call("two results", 2, square, x, y);
    calls.call("two results, two inputs", 2, square, x);
    for (int nlhs = 0; nlhs <= 1; ++nlhs) {
        calls.call("no inputs", nlhs);
        calls.call("one input", nlhs, square);
        calls.call("two inputs", nlhs, square, x);
        calls.call("four inputs", nlhs, square, x, y, y);
    }

    // Inputs that are not real double arrays, and sizes that cannot be sampled.
    for (mxClassID classid : {mxSINGLE_CLASS, mxINT32_CLASS, mxLOGICAL_CLASS, mxCHAR_CLASS}) {
        calls.call("image class", 1, conformance::zero_array(classid, 2, 2), x, y);
        calls.call("X class", 1, square, conformance::zero_array(classid, 1, 1), y);
        calls.call("Y class", 1, square, x, conformance::zero_array(classid, 1, 1));
    }
    calls.call("complex image", 1, conformance::zero_array(mxDOUBLE_CLASS, 2, 2, true), x, y);
    calls.call("sparse X", 1, square, mexhost::sparse_matrix(1, 1, 1), y);
    calls.call("empty image", 1, double_matrix(0, 3), x, y);
    calls.call("Y too short", 1, square, double_matrix(2, 2, {0, 0, 1, 1}),
               double_matrix(1, 3, {0, 0, 1}));
}

// A position along an axis of `size` pixels: inside at random, on a pixel,
// between pixels at exact fractions (ties), on and just past each border,
// far outside, infinite, signed zero, subnormal, and now and then NaN.
double position(Random& random, int32_t size) {
    const double last = size - 1.0;
    const int32_t kind = random.between(0, 99);
    if (kind < 30) return random.uniform(0.0, last > 0.0 ? last : 1.0);
    if (kind < 45) return random.between(0, size > 0 ? size - 1 : 0);
    if (kind < 55) {
        const double whole = random.between(0, size > 1 ? size - 2 : 0);
        return whole + random.between(1, 7) / 8.0;
    }
    if (kind < 63) {
        return random.pick<double>({0.0, last, kNegZero, conformance::step_up(last),
                                    conformance::step_down(0.0), conformance::step_down(last)});
    }
    if (kind < 78) return random.uniform(-3.0, last + 3.0);
    if (kind < 85) {
        const double far = random.chance(20) ? conformance::kMaxFinite : random.uniform(1e3, 1e12);
        return random.chance(50) ? far : -far;
    }
    if (kind < 90) return random.chance(50) ? kInf : -kInf;
    if (kind < 94) return conformance::kDenormMin * random.between(1, 1000);
    if (kind < 97) return kNegZero;
    if (kind < 99) return conformance::any_finite(random);
    return random.chance(50) ? kNaN : conformance::edge_value(random);
}

int32_t axis_size(Random& random) {
    const int32_t kind = random.between(0, 99);
    if (kind < 70) return random.between(1, 4);
    if (kind < 95) return random.between(1, 12);
    return random.between(1, 64);
}

// Each input is made in its own statement: the order in which a call's
// arguments are evaluated differs between compilers, and the draws must not.
void generated_cases(Calls& calls, Random& random, int count) {
    for (int n = 0; n < count; ++n) {
        const int32_t rows = axis_size(random);
        const int32_t cols = axis_size(random);
        const size_t m = random.between(0, 4);
        const size_t k = random.between(0, 4);
        const bool with_edge_values = random.chance(15);
        const int nlhs = random.chance(10) ? 0 : 1;
        auto draw_pixel = [&] { return conformance::image_value(random, with_edge_values); };
        auto draw_x = [&] { return position(random, cols); };
        auto draw_y = [&] { return position(random, rows); };

        const int32_t shape = random.between(0, 99);
        if (shape < 88) {
            const auto image = conformance::random_matrix(rows, cols, draw_pixel);
            const auto x = conformance::random_matrix(m, k, draw_x);
            const auto y = conformance::random_matrix(m, k, draw_y);
            calls.call("generated", nlhs, image, x, y);
        } else if (shape < 93) {
            // Y longer than X, shaped otherwise: only its first M*N elements count.
            const size_t extra = random.between(1, 5);
            const auto image = conformance::random_matrix(rows, cols, draw_pixel);
            const auto x = conformance::random_matrix(m, k, draw_x);
            const auto y = conformance::random_matrix(1, m * k + extra, draw_y);
            calls.call("generated, long Y", nlhs, image, x, y);
        } else if (shape < 96) {
            // X and the image of three dimensions: trailing dimensions count as columns.
            const size_t pages = random.between(1, 3);
            const auto image =
                conformance::random_array({size_t(rows), size_t(cols), 2}, draw_pixel);
            const auto x = conformance::random_array({m, k, pages}, draw_x);
            const auto y = conformance::random_matrix(m * k * pages, 1, draw_y);
            calls.call("generated, 3-D", nlhs, image, x, y);
        } else if (shape < 98) {
            const auto image = conformance::random_matrix(rows, cols, draw_pixel);
            const auto x = conformance::random_matrix(m + 1, k + 1, draw_x);
            const auto y = conformance::random_matrix(1, (m + 1) * (k + 1) - 1, draw_y);
            calls.call("generated, Y too short", nlhs, image, x, y);
        } else {
            const int32_t image_rows = random.chance(50) ? 0 : rows;
            const auto image = conformance::random_matrix(image_rows, 0, draw_pixel);
            const auto x = conformance::random_matrix(m, k, draw_x);
            const auto y = conformance::random_matrix(m, k, draw_y);
            calls.call("generated, empty image", nlhs, image, x, y);
        }
    }
}

void gridlerp_cases(Calls& calls, Random& random) {
    fixed_cases(calls);
    generated_cases(calls, random, 12000);
}

const bool registered = conformance::register_cases("gridlerp", gridlerp_cases);

}  // namespace
