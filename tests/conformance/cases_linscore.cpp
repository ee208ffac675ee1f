// linscore's conformance calls: the worked examples (summation order, signed
// zero, zero scales), the argument checks, vector shapes, and 12,000 generated
// calls whose sums cancel, round and overflow.
#include <cstdint>
#include <vector>

#include "conformance.h"

namespace {

using conformance::Calls;
using conformance::kInf;
using conformance::kNaN;
using conformance::kNegZero;
using conformance::Random;
using mexhost::double_matrix;

// The examples with known answers, the shapes that must not matter, the
// argument checks and the inputs the module refuses.
void fixed_cases(Calls& calls) {
    const auto X = double_matrix(3, 2, {1, 2, 3, -4, 0.5, 8});
    const auto mean = double_matrix(3, 1, {0.5, 1, -1});
    const auto scale = double_matrix(3, 1, {2, 0.25, 3});
    const auto w = double_matrix(4, 1, {1, -2, 0.5, 10});
    calls.call("3 features, 2 samples", 1, X, mean, scale, w);
    calls.call("no result requested", 0, X, mean, scale, w);
    calls.call("row vectors", 1, X, double_matrix(1, 3, {0.5, 1, -1}),
               double_matrix(1, 3, {2, 0.25, 3}), double_matrix(1, 4, {1, -2, 0.5, 10}));
    calls.call("w longer: the bias is element M", 1, X, mean, scale,
               double_matrix(1, 6, {1, -2, 0.5, 10, kNaN, kInf}));

    calls.call("summation in feature order", 1, double_matrix(3, 1, {1e16, 1, 1}),
               double_matrix(3, 1), double_matrix(3, 1, {1, 1, 1}),
               double_matrix(4, 1, {1, 1, 1, 0}));
    calls.call("signed zero: the sum starts at +0", 1, double_matrix(2, 1, {0, 0}),
               double_matrix(2, 1), double_matrix(2, 1, {1, 1}),
               double_matrix(3, 1, {kNegZero, kNegZero, kNegZero}));
    calls.call("no features: the bias", 1, double_matrix(0, 3), double_matrix(0, 0),
               double_matrix(0, 0), double_matrix(1, 1, {2.5}));
    calls.call("no features, bias -0", 1, double_matrix(0, 2), double_matrix(0, 0),
               double_matrix(0, 0), double_matrix(1, 1, {kNegZero}));
    calls.call("no samples", 1, double_matrix(3, 0), double_matrix(0, 0), double_matrix(0, 0),
               double_matrix(0, 0));
    calls.call("0x0", 1, double_matrix(0, 0), double_matrix(0, 0), double_matrix(0, 0),
               double_matrix(0, 0));
    calls.call("zero scales", 1, double_matrix(2, 3, {1, 0, 0, 0, -1, 2}), double_matrix(2, 1),
               double_matrix(2, 1, {0, kNegZero}), double_matrix(3, 1, {1, 1, 0}));
    calls.call("negative scale", 1, X, mean, double_matrix(3, 1, {-2, 0.25, -3}), w);
    calls.call("one sample", 1, double_matrix(3, 1, {1, 2, 3}), mean, scale, w);
    calls.call("one feature", 1, double_matrix(1, 4, {1, 2, 3, 4}), double_matrix(1, 1, {1}),
               double_matrix(1, 1, {3}), double_matrix(2, 1, {0.1, 0.2}));
    calls.call("infinities meet", 1, double_matrix(2, 1, {kInf, kInf}), double_matrix(2, 1),
               double_matrix(2, 1, {1, -1}), double_matrix(3, 1, {1, 1, 0}));
    calls.call("zero weight on infinity", 1, double_matrix(1, 1, {kInf}), double_matrix(1, 1),
               double_matrix(1, 1, {1}), double_matrix(2, 1, {0, 0}));

    // Argument counts: the result count first, then the input count.
    calls.call("two results, three inputs", 2, X, mean, scale);
    calls.call("two results", 2, X, mean, scale, w);
    for (int nlhs = 0; nlhs <= 1; ++nlhs) {
        calls.call("no inputs", nlhs);
        calls.call("three inputs", nlhs, X, mean, scale);
        calls.call("five inputs", nlhs, X, mean, scale, w, w);
    }

    // Inputs that are not real double arrays, and vectors too short for X.
    for (mxClassID classid : {mxSINGLE_CLASS, mxINT32_CLASS, mxLOGICAL_CLASS}) {
        calls.call("X class", 1, conformance::zero_array(classid, 3, 2), mean, scale, w);
        calls.call("w class", 1, X, mean, scale, conformance::zero_array(classid, 4, 1));
    }
    calls.call("complex mean", 1, X, conformance::zero_array(mxDOUBLE_CLASS, 3, 1, true), scale, w);
    calls.call("sparse scale", 1, X, mean, mexhost::sparse_matrix(3, 1, 1), w);
    calls.call("mean too short", 1, X, double_matrix(2, 1), scale, w);
    calls.call("scale too short", 1, X, mean, double_matrix(1, 2), w);
    calls.call("w without bias", 1, X, mean, scale, double_matrix(3, 1, {1, 1, 1}));
    calls.call("no features, no bias", 1, double_matrix(0, 2), double_matrix(0, 0),
               double_matrix(0, 0), double_matrix(0, 0));
}

// A feature value: small integers and dyadic fractions, arbitrary reals over
// many magnitudes (the running sum cancels and rounds), and with
// `with_edge_values` now and then an edge value.
double feature(Random& random, bool with_edge_values) {
    const int32_t kind = random.between(0, 99);
    if (kind < 25) return conformance::small_integer(random);
    if (kind < 45) return conformance::dyadic(random);
    if (kind < 80) return random.uniform(-10.0, 10.0);
    if (kind < 95) {
        const double magnitude = random.pick<double>({1e-300, 1e-8, 1e8, 1e16, 1e300});
        return random.uniform(-magnitude, magnitude);
    }
    if (kind < 98 || !with_edge_values) return conformance::any_finite(random);
    return conformance::edge_value(random);
}

// A scale: positive mostly, negative sometimes, and with `with_edge_values`
// now and then a zero (of either sign) or an infinity.
double scale_value(Random& random, bool with_edge_values) {
    const int32_t kind = random.between(0, 99);
    double value;
    if (kind < 40) {
        value = random.pick<double>({1.0, 2.0, 0.5, 4.0, 0.25, 3.0});
    } else if (kind < 90 || !with_edge_values) {
        value = random.uniform(0.001, 100.0);
    } else {
        value = random.pick<double>({0.0, kNegZero, kInf, conformance::kDenormMin, 1e300});
    }
    return random.chance(15) ? -value : value;
}

int32_t feature_count(Random& random) {
    const int32_t kind = random.between(0, 99);
    if (kind < 5) return 0;
    if (kind < 80) return random.between(1, 8);
    return random.between(1, 40);
}

// Each input is made in its own statement: the order in which a call's
// arguments are evaluated differs between compilers, and the draws must not.
void generated_cases(Calls& calls, Random& random, int count) {
    for (int n = 0; n < count; ++n) {
        const int32_t features = feature_count(random);
        const int32_t samples = random.chance(5) ? 0 : random.between(1, 6);
        const bool with_edge_values = random.chance(10);
        const int nlhs = random.chance(10) ? 0 : 1;
        // mean, scale and w as row or column vectors, now and then longer.
        const bool rows = random.chance(50);
        const size_t extra = random.chance(10) ? random.between(1, 3) : 0;
        auto vector_of = [&](size_t length, auto draw) {
            return rows ? conformance::random_matrix(1, length, draw)
                        : conformance::random_matrix(length, 1, draw);
        };
        const auto X = conformance::random_matrix(
            features, samples, [&] { return feature(random, with_edge_values); });
        const auto mean = vector_of(features + extra, [&] { return feature(random, false); });
        const auto scale = vector_of(features + extra,
                                     [&] { return scale_value(random, with_edge_values); });
        const auto w =
            vector_of(features + 1 + extra, [&] { return feature(random, with_edge_values); });
        calls.call("generated", nlhs, X, mean, scale, w);
    }
}

void linscore_cases(Calls& calls, Random& random) {
    fixed_cases(calls);
    generated_cases(calls, random, 12000);
}

const bool registered = conformance::register_cases("linscore", linscore_cases);

}  // namespace
