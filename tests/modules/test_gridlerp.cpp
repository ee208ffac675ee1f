// gridlerp called through our own host as a script would call it.
#include <cmath>
#include <limits>

#include "module_call.h"

using mexhost::double_matrix;
using mexhost::numeric_array;
using mexhost::values;

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

// 2 x 2 image: first row 10 20, second row 30 40.
mexhost::Array square() { return double_matrix(2, 2, {10, 30, 20, 40}); }

}  // namespace

// The two count checks, in their order, before anything is created.
TEST(GridlerpEntry, ArgumentCounts) {
    const auto& gridlerp = module("gridlerp");
    auto image = square();
    auto x = double_matrix(1, 1, {0}), y = double_matrix(1, 1, {0});
    EXPECT_HOST_ERROR(gridlerp.call(2, {image.get(), x.get(), y.get()}),
                      "Too many output arguments!");
    EXPECT_HOST_ERROR(gridlerp.call(2, {image.get(), x.get()}), "Too many output arguments!");
    EXPECT_HOST_ERROR(gridlerp.call(1, {image.get(), x.get()}), "Not enough input arguments!");
    EXPECT_HOST_ERROR(gridlerp.call(1, {image.get(), x.get(), y.get(), y.get()}),
                      "Not enough input arguments!");
    EXPECT_HOST_ERROR(gridlerp.call(0, {}), "Not enough input arguments!");
    for (int nlhs : {0, 1}) {
        auto r = gridlerp.call(nlhs, {image.get(), x.get(), y.get()});
        EXPECT_CLEAN_RETURN(r);
        ASSERT_TRUE(r.outputs[0]);
        EXPECT_EQ(values(r.outputs[0].get()), std::vector<double>{10});
    }
}

// Samples inside, beside and beyond the image, shaped like X and paired by index with Y.
TEST(GridlerpEntry, SamplesShapedLikeX) {
    const auto& gridlerp = module("gridlerp");
    auto image = square();
    auto x = double_matrix(1, 4, {0.5, -5, 1, 0});
    auto y = double_matrix(4, 1, {0.5, 0.5, 7, 0});
    auto r = gridlerp.call(1, {image.get(), x.get(), y.get()});
    EXPECT_CLEAN_RETURN(r);
    EXPECT_EQ(mxGetM(r.outputs[0].get()), 1u);
    EXPECT_EQ(mxGetN(r.outputs[0].get()), 4u);
    EXPECT_EQ(values(r.outputs[0].get()), (std::vector<double>{25, 20, 40, 10}));

    // A Y longer than X: the extra elements are ignored.
    auto long_y = double_matrix(1, 6, {0.5, 0.5, 7, 0, kNaN, kNaN});
    r = gridlerp.call(1, {image.get(), x.get(), long_y.get()});
    EXPECT_CLEAN_RETURN(r);
    EXPECT_EQ(values(r.outputs[0].get()), (std::vector<double>{25, 20, 40, 10}));

    // X of more than two dimensions: columns are all trailing dimensions together.
    auto x3 = numeric_array(mxDOUBLE_CLASS, {2, 3, 2});
    auto y3 = numeric_array(mxDOUBLE_CLASS, {12, 1});
    r = gridlerp.call(1, {image.get(), x3.get(), y3.get()});
    EXPECT_CLEAN_RETURN(r);
    EXPECT_EQ(mxGetM(r.outputs[0].get()), 2u);
    EXPECT_EQ(mxGetN(r.outputs[0].get()), 6u);
    EXPECT_EQ(values(r.outputs[0].get()), std::vector<double>(12, 10.0));
}

// Empty grids give empty results and read nothing, even from an empty image.
TEST(GridlerpEntry, EmptyGrid) {
    const auto& gridlerp = module("gridlerp");
    auto image = double_matrix(0, 0);
    auto x = double_matrix(0, 3), y = double_matrix(0, 0);
    auto r = gridlerp.call(1, {image.get(), x.get(), y.get()});
    EXPECT_CLEAN_RETURN(r);
    EXPECT_EQ(mxGetM(r.outputs[0].get()), 0u);
    EXPECT_EQ(mxGetN(r.outputs[0].get()), 3u);
}

// A NaN position yields NaN for that element alone.
TEST(GridlerpEntry, NaNPositionGivesNaN) {
    const auto& gridlerp = module("gridlerp");
    auto image = square();
    auto x = double_matrix(1, 3, {kNaN, 0.5, 1});
    auto y = double_matrix(1, 3, {0, kNaN, 1});
    auto r = gridlerp.call(1, {image.get(), x.get(), y.get()});
    EXPECT_CLEAN_RETURN(r);
    const auto out = values(r.outputs[0].get());
    EXPECT_TRUE(std::isnan(out[0]) && std::isnan(out[1]));
    EXPECT_EQ(out[2], 40.0);
}

// Inputs the kernel cannot use safely end the call with a clear error, before
// anything is created.
TEST(GridlerpEntry, BadInputsAreRejected) {
    const auto& gridlerp = module("gridlerp");
    auto image = square();
    auto x = double_matrix(2, 2), y = double_matrix(2, 2);
    auto single = numeric_array(mxSINGLE_CLASS, {2, 2});
    auto int32 = numeric_array(mxINT32_CLASS, {2, 2});
    auto complex = numeric_array(mxDOUBLE_CLASS, {2, 2}, true);
    auto sparse = mexhost::sparse_matrix(2, 2, 1);
    for (const mxArray* bad : {single.get(), int32.get(), complex.get(), sparse.get()}) {
        EXPECT_HOST_ERROR_ID(gridlerp.call(1, {bad, x.get(), y.get()}), "gridlerp:notRealDouble");
        EXPECT_HOST_ERROR_ID(gridlerp.call(1, {image.get(), bad, y.get()}), "gridlerp:notRealDouble");
        EXPECT_HOST_ERROR_ID(gridlerp.call(1, {image.get(), x.get(), bad}), "gridlerp:notRealDouble");
    }
    auto empty = double_matrix(0, 5);
    EXPECT_HOST_ERROR_ID(gridlerp.call(1, {empty.get(), x.get(), y.get()}), "gridlerp:emptyImage");
    auto short_y = double_matrix(1, 3);
    EXPECT_HOST_ERROR_ID(gridlerp.call(1, {image.get(), x.get(), short_y.get()}),
                         "gridlerp:tooFewElements");
    // Counts beyond the 32-bit signed range, on arrays that hold no element.
    auto tall = numeric_array(mxDOUBLE_CLASS, {size_t{1} << 31, 0});
    EXPECT_HOST_ERROR_ID(gridlerp.call(1, {image.get(), tall.get(), y.get()}), "gridlerp:tooLarge");
    EXPECT_HOST_ERROR_ID(gridlerp.call(1, {tall.get(), x.get(), y.get()}), "gridlerp:tooLarge");
    auto wide = numeric_array(mxDOUBLE_CLASS, {0, 70000, 70000});
    EXPECT_HOST_ERROR_ID(gridlerp.call(1, {image.get(), wide.get(), y.get()}), "gridlerp:tooLarge");
}
