// patchwarp's conformance calls: the worked examples, the argument checks and
// every result count, and 12,000 generated calls with affine maps that land
// on pixels, between them, on the borders, off the image and past overflow.
#include <vector>

#include "conformance.h"

namespace {

using conformance::Calls;
using conformance::kInf;
using conformance::kNaN;
using conformance::kNegZero;
using conformance::Random;
using mexhost::double_matrix;

mexhost::Array coefficients(const std::vector<double>& a) { return double_matrix(2, 3, a); }

// The examples with known answers, the shapes that must not matter, the
// argument checks and the inputs the module refuses.
void fixed_cases(Calls& calls) {
    // 5 x 6 image whose value at (r, c) is 10 * r + c.
    std::vector<double> ramp;
    for (int c = 0; c < 6; ++c)
        for (int r = 0; r < 5; ++r) ramp.push_back(10.0 * r + c);
    const auto image = double_matrix(5, 6, ramp);
    const auto t33 = double_matrix(3, 3);
    const auto identity = coefficients({1, 0, 0, 1, 2, 2});

    calls.call("identity block", 3, image, t33, identity);
    calls.call("transposed block", 3, image, t33, coefficients({0, 1, 1, 0, 2, 2}));
    calls.call("1x1 template", 3, image, double_matrix(1, 1),
               coefficients({3, 4, 5, 6, 1.5, 2.25}));
    calls.call("2x2 template, centre (1, 1)", 3, image, double_matrix(2, 2),
               coefficients({1, 0, 0, 1, 1, 1}));
    calls.call("centre off the image", 3, image, t33, coefficients({1, 0, 0, 1, -10, -10}));
    calls.call("1x1 image", 3, double_matrix(1, 1, {4.5}), double_matrix(2, 3),
               coefficients({0.3, -2, 7, 1, 0.5, -9}));
    calls.call("rotation by a right angle, 2x4", 3, image, double_matrix(2, 4),
               coefficients({0, -1, 1, 0, 2.5, 2}));
    calls.call("scaled by a half", 3, image, double_matrix(4, 5),
               coefficients({0.5, 0, 0, 0.5, 2, 2}));

    // A given as 1 x 6, 6 x 1, 3 x 2 and longer: its first six elements count.
    const std::vector<double> a = {0.75, -0.25, 0.5, 1.25, 2.5, 1.75};
    calls.call("A 2x3", 3, image, t33, double_matrix(2, 3, a));
    calls.call("A 1x6", 3, image, t33, double_matrix(1, 6, a));
    calls.call("A 6x1", 3, image, t33, double_matrix(6, 1, a));
    calls.call("A 3x2", 3, image, t33, double_matrix(3, 2, a));
    calls.call("A 1x8", 3, image, t33,
               double_matrix(1, 8, {0.75, -0.25, 0.5, 1.25, 2.5, 1.75, kNaN, kInf}));

    // The template's class and values play no part; its trailing dimensions
    // count as columns.
    for (mxClassID classid : {mxSINGLE_CLASS, mxINT32_CLASS, mxLOGICAL_CLASS, mxCHAR_CLASS})
        calls.call("template class", 3, image, conformance::zero_array(classid, 3, 3), identity);
    calls.call("template values", 3, image, double_matrix(3, 3, {kNaN, 1, 2, 3, 4, 5, 6, 7, kInf}),
               identity);
    calls.call("3-D template", 3, image, mexhost::numeric_array(mxDOUBLE_CLASS, {2, 2, 2}),
               identity);

    // Empty grids: empty results, even from an empty image and a short A.
    calls.call("0 rows", 3, double_matrix(0, 0), double_matrix(0, 4), double_matrix(1, 2));
    calls.call("0 columns", 3, double_matrix(0, 0), double_matrix(3, 0), double_matrix(0, 0));

    // Mapped positions that are not numbers, or overflow to infinities.
    calls.call("NaN coefficient", 3, image, t33, coefficients({1, 0, 0, 1, kNaN, 2}));
    calls.call("infinite coefficient", 3, image, t33, coefficients({kInf, 0, 0, 1, 2, 2}));
    calls.call("overflow to infinities", 3, image, t33,
               coefficients({conformance::kMaxFinite, 0, 0, -conformance::kMaxFinite, 2, 2}));
    calls.call("opposite infinities", 3, image, double_matrix(2, 2),
               coefficients({conformance::kMaxFinite, 0, conformance::kMaxFinite, 0, 0, 0}));
    calls.call("signed zeros", 3, image, t33,
               coefficients({kNegZero, kNegZero, 0, 0, kNegZero, 0}));

    // Argument counts: the result count first, then the input count; every
    // result count from none to three gives the same results.
    for (int nlhs = 0; nlhs <= 3; ++nlhs) calls.call("result count", nlhs, image, t33, identity);
    calls.call("four results", 4, image, t33, identity);
    calls.call("four results, two inputs", 4, image, t33);
    for (int nlhs = 0; nlhs <= 3; ++nlhs) {
        calls.call("no inputs", nlhs);
        calls.call("two inputs", nlhs, image, t33);
        calls.call("four inputs", nlhs, image, t33, identity, identity);
    }

    // Inputs that are not real double arrays, and sizes that cannot be sampled.
    for (mxClassID classid : {mxSINGLE_CLASS, mxINT32_CLASS, mxLOGICAL_CLASS}) {
        calls.call("image class", 3, conformance::zero_array(classid, 5, 6), t33, identity);
        calls.call("A class", 3, image, t33, conformance::zero_array(classid, 2, 3));
    }
    calls.call("complex A", 3, image, t33, conformance::zero_array(mxDOUBLE_CLASS, 2, 3, true));
    calls.call("sparse image", 3, mexhost::sparse_matrix(5, 6, 1), t33, identity);
    calls.call("empty image", 3, double_matrix(0, 6), t33, identity);
    calls.call("A of five elements", 3, image, t33, double_matrix(1, 5, {1, 0, 0, 1, 2}));
}

// One coefficient of the linear part: exact dyadic steps (pixel-aligned and
// half-pixel maps, exact ties), rotations and shears with arbitrary reals,
// and now and then a zero, a signed zero or a large value.
double linear_coefficient(Random& random) {
    const int32_t kind = random.between(0, 99);
    if (kind < 30) return random.pick<double>({0.0, 1.0, -1.0, 0.5, -0.5, 2.0, 0.25, 1.5});
    if (kind < 55) return conformance::dyadic(random);
    if (kind < 90) return random.uniform(-2.0, 2.0);
    if (kind < 93) return kNegZero;
    if (kind < 97) return random.uniform(-1e6, 1e6);
    return conformance::any_finite(random);
}

// The translation along an axis of `size` pixels: inside, on pixels and half
// pixels, on the borders, off the image.
double translation(Random& random, int32_t size) {
    const int32_t kind = random.between(0, 99);
    if (kind < 35) return random.uniform(0.0, size - 1.0 > 0.0 ? size - 1.0 : 1.0);
    if (kind < 55) return random.between(0, size - 1);
    if (kind < 70) return random.between(0, size - 1) + 0.5;
    if (kind < 78) return random.pick<double>({0.0, size - 1.0, kNegZero});
    if (kind < 95) return random.uniform(-4.0, size + 3.0);
    return random.uniform(-1e9, 1e9);
}

int32_t axis_size(Random& random) {
    const int32_t kind = random.between(0, 99);
    if (kind < 70) return random.between(1, 5);
    if (kind < 95) return random.between(1, 12);
    return random.between(1, 40);
}

// Each input is made in its own statement: the order in which a call's
// arguments are evaluated differs between compilers, and the draws must not.
void generated_cases(Calls& calls, Random& random, int count) {
    for (int n = 0; n < count; ++n) {
        const int32_t rows = axis_size(random);
        const int32_t cols = axis_size(random);
        const size_t m = random.between(0, 5);
        const size_t k = random.between(0, 5);
        const bool with_edge_values = random.chance(15);
        const int nlhs = random.between(0, 3);

        std::vector<double> a(6);
        for (int i = 0; i < 4; ++i) a[i] = linear_coefficient(random);
        a[4] = translation(random, cols);
        a[5] = translation(random, rows);
        if (random.chance(2)) {
            const int32_t which = random.between(0, 5);
            a[which] = conformance::edge_value(random);
        }

        const auto image = conformance::random_matrix(
            rows, cols, [&] { return conformance::image_value(random, with_edge_values); });
        const bool plain_template = random.chance(90);
        const mxClassID template_class =
            plain_template ? mxDOUBLE_CLASS : random.pick({mxSINGLE_CLASS, mxINT32_CLASS});
        const auto size_template = conformance::zero_array(template_class, m, k);
        const auto A = random.chance(90) ? double_matrix(2, 3, a) : double_matrix(1, 6, a);
        calls.call("generated", nlhs, image, size_template, A);
    }
}

void patchwarp_cases(Calls& calls, Random& random) {
    fixed_cases(calls);
    generated_cases(calls, random, 12000);
}

const bool registered = conformance::register_cases("patchwarp", patchwarp_cases);

}  // namespace
