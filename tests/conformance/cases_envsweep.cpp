// envsweep's conformance calls: the worked examples of the map and of single
// lines (ties, boundaries held in single precision, positions off the map),
// the argument checks, inputs of other classes, and 12,000 generated calls.
#include <cstdint>
#include <vector>

#include "conformance.h"

namespace {

using conformance::Calls;
using conformance::kInf;
using conformance::kNaN;
using conformance::Random;
using mexhost::double_matrix;

// The nine scalar inputs after the map, in call order.
struct Scalars {
    double col_quad, col_lin, row_quad, row_lin, col_first, row_first, out_cols, out_rows,
        pos_step;
};

std::vector<double> as_list(const Scalars& s) {
    return {s.col_quad, s.col_lin,  s.row_quad, s.row_lin, s.col_first,
            s.row_first, s.out_cols, s.out_rows, s.pos_step};
}

// Calls with the map and the scalars, each scalar of class double unless
// `classes` names another for it.
void sweep(Calls& calls, const std::string& label, int nlhs, const mexhost::Array& source,
           const Scalars& scalars, const std::vector<mxClassID>& classes = {}) {
    const std::vector<double> values = as_list(scalars);
    std::vector<mexhost::Array> arrays;
    std::vector<const mxArray*> inputs{source.get()};
    for (size_t i = 0; i < values.size(); ++i) {
        arrays.push_back(conformance::scalar_of(i < classes.size() ? classes[i] : mxDOUBLE_CLASS,
                                                values[i]));
        inputs.push_back(arrays.back().get());
    }
    calls.run(label, nlhs, inputs);
}

// The map examples, the line examples run down a single column and across a
// single row (the module negates the coefficients, so a line's minimum is
// asked for with negative ones), the argument checks, and the inputs the
// module refuses or must survive.
void fixed_cases(Calls& calls) {
    // Rows (0, 0, 0, 8), (6, 0, 0, 0), (0, 0, 4, 0).
    const auto map = double_matrix(3, 4, {0, 6, 0, 0, 0, 0, 0, 0, 4, 8, 0, 0});
    sweep(calls, "1x1 map", 3, double_matrix(1, 1, {3}), {1, 0, 1, 0, 1, 1, 2, 2, 1});
    sweep(calls, "3x4 map, step 2", 3, map, {1, 0, 1, 0, 1, 1, 2, 2, 2});
    sweep(calls, "3x4 map, truncated first and count", 3, map, {1, 0, 1, 0, 2.9, 1, 2.9, 2, 1});
    sweep(calls, "linear terms, positions off the map", 3,
          double_matrix(2, 3, {5, 0, 0, 0, 0, 7}), {0.5, 1, 2, -1, 0, 2, 3, 2, 1});
    sweep(calls, "whole 3x4 map, fractional step", 3, map, {0.5, 0.25, 2, -1, -1, 0, 7, 6, 0.75});

    // Lines: (values, quad, lin, first position 0-based, count, step).
    struct Line {
        std::vector<double> values;
        double quad, lin, first, count, step;
    };
    const std::vector<Line> lines = {
        {{0, 1, 0}, 1, 0, 0, 3, 1},              // index 1 removed although it ties
        {{0, 5.0 - 2e-7}, 1, 0, 0, 5, 1},        // boundary rounds to 3 in single precision
        {{0, 5.0 - 4e-7}, 1, 0, 0, 5, 1},        // boundary stays below 3
        {{7}, -1, 0.5, -2, 4, 1},                // a single source element
        {{0, 5}, -1, 0, 0, 2, 1},                // maximum
        {{0, 5}, 1, 0, 0, 2, 1},                 // minimum
        {{0, 0, 0}, -1, -2, 0, 3, 1},            // sign of the linear term
        {{0, 1}, 1, 0, 0, 3, 1},                 // position exactly on a boundary
        {{0, 0, 0, 0, 0, 0}, -1, 0, -3, 4, 1.5}, // positions off the line, fraction lost
        {{2, -1, 4, 0}, 1, 0.5, 1, 5, 0},        // step 0
    };
    for (const Line& line : lines) {
        const size_t n = line.values.size();
        // The module takes the cost, so it negates: cost -quad gives quad.
        sweep(calls, "line down a column", 3, double_matrix(n, 1, line.values),
              {1, 0, -line.quad, -line.lin, 1, line.first + 1, 1, line.count, line.step});
        sweep(calls, "line across a row", 3, double_matrix(1, n, line.values),
              {-line.quad, -line.lin, 1, 0, line.first + 1, 1, line.count, 1, line.step});
    }

    // Argument checks in their order: inputs, outputs, class of the map.
    const Scalars plain{1, 0, 1, 0, 1, 1, 2, 2, 1};
    const std::vector<double> nine = as_list(plain);
    std::vector<mexhost::Array> arrays;
    std::vector<const mxArray*> ten{map.get()};
    for (double v : nine) {
        arrays.push_back(mexhost::double_scalar(v));
        ten.push_back(arrays.back().get());
    }
    std::vector<const mxArray*> eleven = ten, nine_inputs = ten;
    eleven.push_back(map.get());
    nine_inputs.pop_back();
    for (int nlhs : {2, 3}) {
        calls.run("eleven inputs", nlhs, eleven);
        calls.run("nine inputs", nlhs, nine_inputs);
        calls.run("no inputs", nlhs, {});
    }
    for (int nlhs : {0, 1, 2, 4}) sweep(calls, "output count", nlhs, map, plain);
    for (mxClassID classid : {mxSINGLE_CLASS, mxINT32_CLASS, mxLOGICAL_CLASS})
        sweep(calls, "map class", 3, conformance::zero_array(classid, 3, 4), plain);
    sweep(calls, "complex map", 3, conformance::zero_array(mxDOUBLE_CLASS, 3, 4, true), plain);
    sweep(calls, "scalars of other classes", 3, map, {1, 0, 1, 0, 2, 1, 3, 2, 1},
          {mxINT32_CLASS, mxSINGLE_CLASS, mxUINT8_CLASS, mxLOGICAL_CLASS, mxSINGLE_CLASS,
           mxINT32_CLASS, mxUINT8_CLASS, mxLOGICAL_CLASS, mxSINGLE_CLASS});
    {
        // Non-scalar inputs: the first element counts.
        std::vector<mexhost::Array> vectors;
        std::vector<const mxArray*> inputs{map.get()};
        for (double v : nine) {
            vectors.push_back(double_matrix(1, 3, {v, 99, -99}));
            inputs.push_back(vectors.back().get());
        }
        calls.run("vectors as scalars", 3, inputs);
    }

    // Empty outputs; then what the module refuses or must survive.
    sweep(calls, "0 output rows", 3, map, {1, 0, 1, 0, 1, 1, 3, 0, 1});
    sweep(calls, "0 output columns", 3, map, {1, 0, 1, 0, 1, 1, 0, 3, 1});
    sweep(calls, "empty map, empty output", 3, double_matrix(0, 0), {1, 0, 1, 0, 1, 1, 0, 0, 1});
    sweep(calls, "empty map", 3, double_matrix(0, 3), {1, 0, 1, 0, 1, 1, 2, 2, 1});
    sweep(calls, "negative count", 3, map, {1, 0, 1, 0, 1, 1, 2, -1, 1});
    sweep(calls, "NaN first position", 3, map, {1, 0, 1, 0, kNaN, 1, 2, 2, 1});
    sweep(calls, "infinite count", 3, map, {1, 0, 1, 0, 1, 1, kInf, 2, 1});
    sweep(calls, "count above 2^31 - 1", 3, map, {1, 0, 1, 0, 1, 1, 2147483648.0, 1, 1});
    sweep(calls, "negative step", 3, map, {1, 0, 1, 0, 1, 1, 2, 2, -1});
    sweep(calls, "NaN step", 3, map, {1, 0, 1, 0, 1, 1, 2, 2, kNaN});
    sweep(calls, "positions leave the 32-bit range", 3, map,
          {1, 0, 1, 0, 2147483647.0, 1, 3, 2, 1});
    sweep(calls, "positions at the ends of the 32-bit range", 3, map,
          {1, 0, 1, 0, 2147483647.0, -2147483647.0, 2, 2, 0});
    const auto odd_map = double_matrix(3, 4, {0, kNaN, kInf, -kInf, 1, 2, 3, 4, 5, 6, 7, 8});
    for (double coefficient : {0.0, kNaN, kInf})
        sweep(calls, "coefficients out of range", 3, odd_map,
              {coefficient, 1, coefficient, -1, -2, 0, 6, 5, 1.5});
}

double source_value(Random& random, bool with_extremes) {
    const int32_t kind = random.between(0, 99);
    if (kind < 45) return conformance::small_integer(random);
    if (kind < 70) return conformance::dyadic(random);
    if (kind < 95 || !with_extremes) return random.uniform(-100.0, 100.0);
    return random.chance(50) ? conformance::any_finite(random) : conformance::edge_value(random);
}

// A quadratic cost: mostly positive (a maximum), a quarter negative (a
// minimum); exact small powers of two, dyadic fractions or arbitrary reals.
double quadratic(Random& random) {
    const int32_t kind = random.between(0, 99);
    double magnitude;
    if (kind < 50) {
        magnitude = random.pick<double>({1.0, 0.5, 2.0, 0.25, 4.0, 0.125});
    } else if (kind < 70) {
        const double numerator = random.between(1, 64);
        magnitude = numerator / 16.0;
    } else {
        magnitude = random.uniform(0.01, 5.0);
    }
    return random.chance(25) ? -magnitude : magnitude;
}

double linear(Random& random) {
    const int32_t kind = random.between(0, 99);
    if (kind < 40) return 0.0;
    if (kind < 70) return conformance::small_integer(random);
    return random.uniform(-3.0, 3.0);
}

// A 1-based first position along an axis of `size` cells: on the map, off it,
// fractional (truncated toward zero), or far away.
double first_position(Random& random, int32_t size) {
    const int32_t kind = random.between(0, 99);
    const double whole = random.between(-3, size + 3);
    if (kind < 70) return whole;
    if (kind < 90) return whole + random.pick<double>({0.5, 0.9, -0.5, 0.25});
    const double far = random.between(100, 40000);
    return random.chance(50) ? far : -far;
}

double count(Random& random) {
    const double whole = random.between(0, 6);
    return random.chance(10) ? whole + 0.7 : whole;
}

double step(Random& random) {
    if (random.chance(70))
        return random.pick<double>({0.0, 0.5, 1.0, 1.0, 1.0, 1.5, 2.0, 3.0, 0.75});
    return random.uniform(0.0, 3.0);
}

int32_t axis_size(Random& random) {
    return random.chance(85) ? random.between(1, 6) : random.between(1, 20);
}

// Each input is drawn in its own statement: the order in which a call's
// arguments are evaluated differs between compilers, and the draws must not.
void generated_cases(Calls& calls, Random& random, int count_of_calls) {
    for (int n = 0; n < count_of_calls; ++n) {
        const int32_t rows = axis_size(random);
        const int32_t cols = axis_size(random);
        const bool with_extremes = random.chance(3);
        const auto source = conformance::random_matrix(
            rows, cols, [&] { return source_value(random, with_extremes); });
        Scalars s;
        s.col_quad = quadratic(random);
        s.col_lin = linear(random);
        s.row_quad = quadratic(random);
        s.row_lin = linear(random);
        s.col_first = first_position(random, cols);
        s.row_first = first_position(random, rows);
        s.out_cols = count(random);
        s.out_rows = count(random);
        s.pos_step = step(random);

        // Now and then a scalar of another class, or an edge value.
        std::vector<mxClassID> classes;
        if (random.chance(5)) {
            classes.assign(9, mxDOUBLE_CLASS);
            const int32_t which = random.between(0, 8);
            classes[which] = random.pick({mxSINGLE_CLASS, mxINT32_CLASS});
        }
        if (random.chance(2)) {
            std::vector<double> values = as_list(s);
            const int32_t which = random.between(0, 8);
            values[which] = conformance::edge_value(random);
            if (!classes.empty()) classes[which] = mxDOUBLE_CLASS;  // it fits no other class
            s = Scalars{values[0], values[1], values[2], values[3], values[4],
                        values[5], values[6], values[7], values[8]};
        }
        const int nlhs = random.chance(98) ? 3 : random.pick({0, 1, 2, 4});
        sweep(calls, "generated", nlhs, source, s, classes);
    }
}

void envsweep_cases(Calls& calls, Random& random) {
    fixed_cases(calls);
    generated_cases(calls, random, 12000);
}

const bool registered = conformance::register_cases("envsweep", envsweep_cases);

}  // namespace
