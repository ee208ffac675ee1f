// linscore called through our own host as a script would call it.
#include <cmath>
#include <limits>

#include "module_call.h"

using mexhost::double_matrix;
using mexhost::numeric_array;
using mexhost::values;

namespace {

const double kInf = std::numeric_limits<double>::infinity();

}  // namespace

// The two count checks, in their order, before anything is created.
TEST(LinscoreEntry, ArgumentCounts) {
    const auto& linscore = module("linscore");
    auto X = double_matrix(1, 1, {2}), one = double_matrix(1, 1, {1});
    auto w = double_matrix(1, 2, {3, 4});
    EXPECT_HOST_ERROR(linscore.call(2, {X.get(), one.get(), one.get()}),
                      "Too many output arguments");
    EXPECT_HOST_ERROR(linscore.call(2, {X.get(), one.get(), one.get(), w.get()}),
                      "Too many output arguments");
    for (int nlhs : {0, 1}) {
        EXPECT_HOST_ERROR(linscore.call(nlhs, {X.get(), one.get(), one.get()}),
                          "incorrect number of inputs!");
        EXPECT_HOST_ERROR(linscore.call(nlhs, {X.get(), one.get(), one.get(), w.get(), w.get()}),
                          "incorrect number of inputs!");
    }
}

// Scores are created and placed also when no result is requested; the
// standardised copy is created through the host and released by it.
TEST(LinscoreEntry, ScoresPlacedAndScratchFromHost) {
    const auto& linscore = module("linscore");
    // 2 features x 3 samples.
    auto X = double_matrix(2, 3, {1, 10, 2, 20, 3, 30});
    auto mean = double_matrix(1, 2, {1, 10}), scale = double_matrix(2, 1, {1, 10});
    auto w = double_matrix(1, 3, {100, 1, 0.5});
    for (int nlhs : {0, 1}) {
        auto r = linscore.call(nlhs, {X.get(), mean.get(), scale.get(), w.get()});
        EXPECT_CLEAN_RETURN(r);
        ASSERT_TRUE(r.outputs[0]);
        EXPECT_EQ(mxGetM(r.outputs[0].get()), 3u);
        EXPECT_EQ(mxGetN(r.outputs[0].get()), 1u);
        EXPECT_EQ(values(r.outputs[0].get()), (std::vector<double>{0.5, 101.5, 202.5}));
        EXPECT_EQ(r.arrays_created, 2u);
        EXPECT_EQ(r.arrays_released, 1u);
    }
}

// Feature order with the bias last, and the +0.0 start of every sum.
TEST(LinscoreEntry, SummationOrderAndSignedZero) {
    const auto& linscore = module("linscore");
    auto X = double_matrix(3, 1, {1e16, 1, 1});
    auto zeros = double_matrix(3, 1, {0, 0, 0}), ones = double_matrix(3, 1, {1, 1, 1});
    auto w = double_matrix(4, 1, {1, 1, 1, 0});
    auto r = linscore.call(1, {X.get(), zeros.get(), ones.get(), w.get()});
    EXPECT_CLEAN_RETURN(r);
    EXPECT_TRUE(same_bits(values(r.outputs[0].get())[0], 1e16));

    auto negzero = double_matrix(3, 1, {-0.0, 0.0, -0.0});
    auto wz = double_matrix(4, 1, {1, -1, 2, -0.0});
    r = linscore.call(1, {negzero.get(), zeros.get(), ones.get(), wz.get()});
    EXPECT_CLEAN_RETURN(r);
    EXPECT_TRUE(same_bits(values(r.outputs[0].get())[0], 0.0));
}

// Shapes of mean, scale and w do not matter, elements past M+1 of w are
// ignored, and a zero scale gives non-finite scores without an error.
TEST(LinscoreEntry, VectorShapesLongWeightsZeroScale) {
    const auto& linscore = module("linscore");
    auto X = double_matrix(2, 2, {1.5, -2, 7, 0.25});
    auto mean_row = double_matrix(1, 2, {0.5, 1}), mean_col = double_matrix(2, 1, {0.5, 1});
    auto scale_row = double_matrix(1, 2, {3, -7}), scale_col = double_matrix(2, 1, {3, -7});
    auto w_row = double_matrix(1, 3, {0.1, 0.2, 0.3});
    auto w_long = double_matrix(5, 1, {0.1, 0.2, 0.3, 1e300, std::nan("")});
    auto a = linscore.call(1, {X.get(), mean_row.get(), scale_row.get(), w_row.get()});
    auto b = linscore.call(1, {X.get(), mean_col.get(), scale_col.get(), w_long.get()});
    EXPECT_CLEAN_RETURN(a);
    EXPECT_CLEAN_RETURN(b);
    const auto va = values(a.outputs[0].get()), vb = values(b.outputs[0].get());
    ASSERT_EQ(va.size(), 2u);
    EXPECT_TRUE(same_bits(va[0], vb[0]) && same_bits(va[1], vb[1]));
    EXPECT_TRUE(same_bits(va[0], (0.0 + 0.1 * ((1.5 - 0.5) / 3)) + 0.2 * ((-2 - 1) / -7.0) + 0.3));

    // Feature 0 over a zero scale: (1.5 - 2) / 0 and (7 - 2) / 0.
    auto mean_two = double_matrix(1, 2, {2, 1}), zero_scale = double_matrix(1, 2, {0, -7});
    auto r = linscore.call(1, {X.get(), mean_two.get(), zero_scale.get(), w_row.get()});
    EXPECT_CLEAN_RETURN(r);
    EXPECT_EQ(values(r.outputs[0].get()), (std::vector<double>{-kInf, kInf}));
}

// No samples: an empty 0 x 1 result; no features: every score is the bias.
TEST(LinscoreEntry, EmptyX) {
    const auto& linscore = module("linscore");
    auto none = double_matrix(0, 0);
    for (size_t rows : {0, 3}) {
        auto X = double_matrix(rows, 0), ms = double_matrix(rows, 1);
        auto w = double_matrix(rows + 1, 1);
        auto r = linscore.call(1, {X.get(), ms.get(), ms.get(), w.get()});
        EXPECT_CLEAN_RETURN(r);
        EXPECT_EQ(mxGetM(r.outputs[0].get()), 0u);
        EXPECT_EQ(mxGetN(r.outputs[0].get()), 1u);
    }
    // With no sample nothing of the model is read, so its lengths do not matter.
    auto wide_empty = double_matrix(2, 0);
    auto r0 = linscore.call(1, {wide_empty.get(), none.get(), none.get(), none.get()});
    EXPECT_CLEAN_RETURN(r0);
    EXPECT_EQ(mxGetM(r0.outputs[0].get()), 0u);

    auto X = double_matrix(0, 3);
    auto bias = double_matrix(1, 1, {-0.0});
    auto r = linscore.call(1, {X.get(), none.get(), none.get(), bias.get()});
    EXPECT_CLEAN_RETURN(r);
    const auto v = values(r.outputs[0].get());
    ASSERT_EQ(v.size(), 3u);
    for (double s : v) EXPECT_TRUE(same_bits(s, 0.0));
}

// Inputs the kernels cannot use safely end the call with a clear error,
// before anything is created.
TEST(LinscoreEntry, BadInputsAreRejected) {
    const auto& linscore = module("linscore");
    auto X = double_matrix(2, 3), two = double_matrix(2, 1), w = double_matrix(3, 1);
    auto single = numeric_array(mxSINGLE_CLASS, {2, 3});
    auto int32 = numeric_array(mxINT32_CLASS, {3, 1});
    auto complex = numeric_array(mxDOUBLE_CLASS, {3, 3}, true);
    auto sparse = mexhost::sparse_matrix(3, 3, 1);
    for (const mxArray* bad : {single.get(), int32.get(), complex.get(), sparse.get()}) {
        EXPECT_HOST_ERROR_ID(linscore.call(1, {bad, two.get(), two.get(), w.get()}),
                             "linscore:notRealDouble");
        EXPECT_HOST_ERROR_ID(linscore.call(1, {X.get(), bad, two.get(), w.get()}),
                             "linscore:notRealDouble");
        EXPECT_HOST_ERROR_ID(linscore.call(1, {X.get(), two.get(), bad, w.get()}),
                             "linscore:notRealDouble");
        EXPECT_HOST_ERROR_ID(linscore.call(0, {X.get(), two.get(), two.get(), bad}),
                             "linscore:notRealDouble");
    }
    // Too short: mean or scale below M, w below M+1.
    auto one = double_matrix(1, 1), none = double_matrix(0, 0);
    EXPECT_HOST_ERROR_ID(linscore.call(1, {X.get(), one.get(), two.get(), w.get()}),
                         "linscore:tooFewElements");
    EXPECT_HOST_ERROR_ID(linscore.call(1, {X.get(), two.get(), one.get(), w.get()}),
                         "linscore:tooFewElements");
    EXPECT_HOST_ERROR_ID(linscore.call(1, {X.get(), two.get(), two.get(), two.get()}),
                         "linscore:tooFewElements");
    auto no_features = double_matrix(0, 4);
    EXPECT_HOST_ERROR_ID(linscore.call(1, {no_features.get(), none.get(), none.get(), none.get()}),
                         "linscore:tooFewElements");
    // Counts beyond the 32-bit signed range, on arrays that hold no element.
    auto tall = numeric_array(mxDOUBLE_CLASS, {size_t{1} << 31, 0});
    EXPECT_HOST_ERROR_ID(linscore.call(1, {tall.get(), two.get(), two.get(), w.get()}),
                         "linscore:tooLarge");
    auto wide = numeric_array(mxDOUBLE_CLASS, {0, 70000, 70000});
    EXPECT_HOST_ERROR_ID(linscore.call(1, {wide.get(), none.get(), none.get(), one.get()}),
                         "linscore:tooLarge");
}
