// patchwarp called through our own host as a script would call it.
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "module_call.h"

using mexhost::double_matrix;
using mexhost::numeric_array;
using mexhost::values;

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

// 5 x 6 image whose value at (r, c) is 10 * r + c.
mexhost::Array ramp() {
    std::vector<double> v;
    for (int c = 0; c < 6; ++c)
        for (int r = 0; r < 5; ++r) v.push_back(10.0 * r + c);
    return double_matrix(5, 6, v);
}

mexhost::Array coefficients(std::vector<double> a) { return double_matrix(2, 3, a); }

// The three results of a call with three requested.
struct Warp {
    std::vector<double> patch, x, y;
};

Warp warp(const mxArray* image, const mxArray* sizeTemplate, const mxArray* A) {
    auto r = module("patchwarp").call(3, {image, sizeTemplate, A});
    if (!r.ok) {
        ADD_FAILURE() << r.identifier << " " << r.message;
        return {};
    }
    EXPECT_TRUE(r.inputs_unchanged);
    for (const auto& out : r.outputs) {
        EXPECT_EQ(mxGetM(out.get()), mxGetM(sizeTemplate));
        EXPECT_EQ(mxGetN(out.get()), mxGetN(sizeTemplate));
    }
    return {values(r.outputs[0].get()), values(r.outputs[1].get()),
            values(r.outputs[2].get())};
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    if (a.size() != b.size()) return false;
    for (size_t k = 0; k < a.size(); ++k)
        if (!::same_bits(a[k], b[k])) return false;
    return true;
}

}  // namespace

// The two count checks, in their order, before anything is created.
TEST(PatchwarpEntry, ArgumentCounts) {
    const auto& patchwarp = module("patchwarp");
    auto image = ramp();
    auto t = double_matrix(1, 1);
    auto A = coefficients({1, 0, 0, 1, 2, 2});
    EXPECT_HOST_ERROR(patchwarp.call(4, {image.get(), t.get(), A.get()}),
                      "Too many output arguments!");
    EXPECT_HOST_ERROR(patchwarp.call(4, {image.get(), t.get()}), "Too many output arguments!");
    EXPECT_HOST_ERROR(patchwarp.call(1, {image.get(), t.get()}), "Not enough input arguments!");
    EXPECT_HOST_ERROR(patchwarp.call(3, {image.get(), t.get(), A.get(), A.get()}),
                      "Not enough input arguments!");
}

// Our host gives exactly max(nlhs, 1) slots (a write past them is a heap
// overrun under the sanitizers): every count computes all three results,
// fills only the slots it has and leaves the rest for the host to release.
TEST(PatchwarpEntry, EveryResultCountIsSafe) {
    const auto& patchwarp = module("patchwarp");
    auto image = ramp();
    auto t = double_matrix(2, 3);
    auto A = coefficients({0.5, 0.25, -0.75, 1, 2.5, 1.5});
    const Warp all = warp(image.get(), t.get(), A.get());
    for (int nlhs : {0, 1, 2, 3}) {
        auto r = patchwarp.call(nlhs, {image.get(), t.get(), A.get()});
        EXPECT_CLEAN_RETURN(r);
        const size_t slots = nlhs > 1 ? nlhs : 1;
        ASSERT_EQ(r.outputs.size(), slots);
        EXPECT_EQ(r.arrays_created, 3u);
        EXPECT_EQ(r.arrays_released, 3u - slots);
        const std::vector<double>* expected[] = {&all.patch, &all.x, &all.y};
        for (size_t s = 0; s < slots; ++s) {
            ASSERT_TRUE(r.outputs[s]);
            EXPECT_TRUE(same_bits(values(r.outputs[s].get()), *expected[s]));
        }
    }
}

// The worked cases: identity block, its transpose, block means on an even
// grid, a centre far off the image, and a 1 x 1 image.
TEST(PatchwarpEntry, WorkedCases) {
    auto image = ramp();
    auto t3 = double_matrix(3, 3);
    const Warp id = warp(image.get(), t3.get(), coefficients({1, 0, 0, 1, 3, 2}).get());
    EXPECT_EQ(id.patch, (std::vector<double>{12, 22, 32, 13, 23, 33, 14, 24, 34}));
    EXPECT_EQ(id.x, (std::vector<double>{2, 2, 2, 3, 3, 3, 4, 4, 4}));
    EXPECT_EQ(id.y, (std::vector<double>{1, 2, 3, 1, 2, 3, 1, 2, 3}));
    const Warp tr = warp(image.get(), t3.get(), coefficients({0, 1, 1, 0, 3, 2}).get());
    EXPECT_EQ(tr.patch, (std::vector<double>{12, 13, 14, 22, 23, 24, 32, 33, 34}));

    auto t2 = double_matrix(2, 2);
    const Warp mean = warp(image.get(), t2.get(), coefficients({1, 0, 0, 1, 1, 1}).get());
    EXPECT_EQ(mean.patch, (std::vector<double>{5.5, 15.5, 6.5, 16.5}));
    EXPECT_EQ(mean.x, (std::vector<double>{0.5, 0.5, 1.5, 1.5}));

    const Warp far = warp(image.get(), t3.get(), coefficients({1, 0, 0, 1, -10, -10}).get());
    EXPECT_EQ(far.patch, std::vector<double>(9, 0.0));
    EXPECT_TRUE(same_bits(far.x, std::vector<double>(9, 0.0)));
    EXPECT_TRUE(same_bits(far.y, std::vector<double>(9, 0.0)));

    auto one = double_matrix(1, 1, {7.25});
    const Warp single = warp(one.get(), t3.get(), coefficients({2, 1, -1, 3, 0.5, 9}).get());
    EXPECT_EQ(single.patch, std::vector<double>(9, 7.25));

    // A NaN coefficient gives NaN in all three results for the cells it reaches.
    const Warp nan = warp(image.get(), t2.get(), coefficients({1, 0, 0, 1, kNaN, 1}).get());
    for (const auto* v : {&nan.patch, &nan.x, &nan.y})
        for (double e : *v) EXPECT_TRUE(std::isnan(e));
}

// A is read as six numbers in storage order whatever its shape; the template
// gives a size and nothing else; an empty template reads neither input.
TEST(PatchwarpEntry, ShapesThatDoNotMatter) {
    auto image = ramp();
    auto t = double_matrix(3, 4);
    const std::vector<double> a = {0.75, -0.5, 0.5, 0.75, 2.25, 1.75};
    const Warp ref = warp(image.get(), t.get(), coefficients(a).get());
    std::vector<double> longer = a;
    longer.insert(longer.end(), {kNaN, kNaN});
    for (auto& A : {double_matrix(1, 6, a), double_matrix(6, 1, a), double_matrix(3, 2, a),
                    double_matrix(1, 8, longer)}) {
        const Warp w = warp(image.get(), t.get(), A.get());
        EXPECT_TRUE(same_bits(w.patch, ref.patch) && same_bits(w.x, ref.x) &&
                    same_bits(w.y, ref.y));
    }
    auto A = coefficients(a);
    auto int8 = numeric_array(mxINT8_CLASS, {3, 4});
    auto cplx = numeric_array(mxSINGLE_CLASS, {3, 4}, true);
    auto sparse = mexhost::sparse_matrix(3, 4, 1);
    auto nans = double_matrix(3, 4, std::vector<double>(12, kNaN));
    auto deep = numeric_array(mxDOUBLE_CLASS, {3, 2, 2});
    for (const mxArray* other : {int8.get(), cplx.get(), sparse.get(), nans.get(), deep.get()}) {
        const Warp w = warp(image.get(), other, A.get());
        EXPECT_TRUE(same_bits(w.patch, ref.patch) && same_bits(w.x, ref.x) &&
                    same_bits(w.y, ref.y));
    }

    auto empty_image = double_matrix(0, 0);
    auto no_coefficients = double_matrix(0, 0);
    for (auto& empty : {double_matrix(0, 4), double_matrix(3, 0)}) {
        const Warp w = warp(empty_image.get(), empty.get(), no_coefficients.get());
        EXPECT_TRUE(w.patch.empty() && w.x.empty() && w.y.empty());
    }
}

// Inputs the kernel cannot use safely end the call with a clear error, before
// anything is created.
TEST(PatchwarpEntry, BadInputsAreRejected) {
    const auto& patchwarp = module("patchwarp");
    auto image = ramp();
    auto t = double_matrix(2, 2);
    auto A = coefficients({1, 0, 0, 1, 1, 1});
    auto single = numeric_array(mxSINGLE_CLASS, {2, 3});
    auto int32 = numeric_array(mxINT32_CLASS, {2, 3});
    auto complex = numeric_array(mxDOUBLE_CLASS, {2, 3}, true);
    auto sparse = mexhost::sparse_matrix(2, 3, 6);
    for (const mxArray* bad : {single.get(), int32.get(), complex.get(), sparse.get()}) {
        EXPECT_HOST_ERROR_ID(patchwarp.call(1, {bad, t.get(), A.get()}), "patchwarp:notRealDouble");
        EXPECT_HOST_ERROR_ID(patchwarp.call(1, {image.get(), t.get(), bad}),
                             "patchwarp:notRealDouble");
    }
    auto empty = double_matrix(0, 5);
    EXPECT_HOST_ERROR_ID(patchwarp.call(1, {empty.get(), t.get(), A.get()}), "patchwarp:emptyImage");
    auto five = double_matrix(1, 5, {1, 0, 0, 1, 1});
    EXPECT_HOST_ERROR_ID(patchwarp.call(3, {image.get(), t.get(), five.get()}),
                         "patchwarp:tooFewElements");
    // Counts beyond the 32-bit signed range, on arrays that hold no element,
    // and a sparse template whose cell count alone is beyond it.
    auto tall = numeric_array(mxDOUBLE_CLASS, {size_t{1} << 31, 0});
    EXPECT_HOST_ERROR_ID(patchwarp.call(1, {image.get(), tall.get(), A.get()}), "patchwarp:tooLarge");
    EXPECT_HOST_ERROR_ID(patchwarp.call(1, {tall.get(), t.get(), A.get()}), "patchwarp:tooLarge");
    auto wide = numeric_array(mxDOUBLE_CLASS, {0, 70000, 70000});
    EXPECT_HOST_ERROR_ID(patchwarp.call(1, {image.get(), wide.get(), A.get()}), "patchwarp:tooLarge");
    auto huge = mexhost::sparse_matrix(65536, 32769, 1);
    EXPECT_HOST_ERROR_ID(patchwarp.call(1, {image.get(), huge.get(), A.get()}), "patchwarp:tooLarge");
}
