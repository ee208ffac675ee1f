#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "core/bilinear.h"
#include "core/patchwarp.h"

namespace {

struct Patch {
    std::vector<double> out, X, Y;
};

Patch warp(const std::vector<double>& image, ImageDims imageDims,
           ImageDims gridDims, const std::vector<double>& A) {
    const size_t n = static_cast<size_t>(gridDims.rows) * gridDims.cols;
    Patch p{std::vector<double>(n), std::vector<double>(n),
            std::vector<double>(n)};
    patchwarp(image.data(), &imageDims, &gridDims, A.data(), p.out.data(),
              p.X.data(), p.Y.data());
    return p;
}

// Image whose value at (r, c) is 100 * r + c, so every pixel is recognisable.
std::vector<double> ramp(ImageDims d) {
    std::vector<double> image(static_cast<size_t>(d.rows) * d.cols);
    for (int32_t c = 0; c < d.cols; ++c)
        for (int32_t r = 0; r < d.rows; ++r)
            image[r + static_cast<size_t>(c) * d.rows] = 100.0 * r + c;
    return image;
}

}  // namespace

// Positions off the image are clamped before they are stored and sampled; an
// overflow to infinity clamps like any far position; a NaN pair (NaN
// coefficient, 0 * inf, or opposite infinities) stores NaN and samples NaN.
TEST(Patchwarp, ClampsOffImageAndYieldsNaNForNoPosition) {
    const ImageDims img{4, 5};
    const std::vector<double> image = ramp(img);
    const Patch far = warp(image, img, {3, 3}, {1, 0, 0, 1, -10, -10});
    for (size_t k = 0; k < 9; ++k) {
        EXPECT_EQ(far.X[k], 0.0);
        EXPECT_FALSE(std::signbit(far.X[k]));
        EXPECT_EQ(far.Y[k], 0.0);
        EXPECT_EQ(far.out[k], image[0]);
    }
    const Patch one = warp({7.5}, {1, 1}, {2, 3}, {3, -2, 5, 1, 40, -9});
    for (double v : one.out) EXPECT_EQ(v, 7.5);

    // 1 x 5 grid, dx = -2 .. 2 and dy = 0: 1e308 * 2 overflows to infinity.
    const double big = 1e308;
    const Patch over = warp(image, img, {1, 5}, {big, 0, 0, 1, 2, 1});
    EXPECT_EQ(over.X, (std::vector<double>{0, 0, 2, 4, 4}));
    EXPECT_EQ(over.out[4], image[1 + 4 * 4]);
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const Patch nanA = warp(image, img, {1, 5}, {1, 0, 0, 1, nan, 1});
    const Patch infA = warp(image, img, {1, 5}, {inf, 0, 0, 1, 2, 1});
    for (size_t k = 0; k < 5; ++k) {
        EXPECT_TRUE(std::isnan(nanA.X[k]) && std::isnan(nanA.Y[k]));
        EXPECT_TRUE(std::isnan(nanA.out[k]));
        // Only the centre column meets 0 * inf.
        EXPECT_EQ(std::isnan(infA.X[k]), k == 2);
        EXPECT_EQ(std::isnan(infA.Y[k]), k == 2);
        EXPECT_EQ(std::isnan(infA.out[k]), k == 2);
    }
    // 5 x 5 grid: at dx = dy = 2 the products overflow with opposite signs;
    // at dx = 2, dy = -2 with the same sign, which clamps.
    const Patch opp = warp(image, img, {5, 5}, {big, 0, -big, 1, 2, 1});
    EXPECT_TRUE(std::isnan(opp.X[24]) && std::isnan(opp.Y[24]));
    EXPECT_TRUE(std::isnan(opp.out[24]));
    EXPECT_EQ(opp.X[20], 4.0);
    EXPECT_EQ(opp.out[20], image[0 + 4 * 4]);
}

// An empty grid touches neither the image nor the coefficients.
TEST(Patchwarp, EmptyGridReadsNothing) {
    const ImageDims img{0, 0};
    for (ImageDims grid : {ImageDims{0, 4}, ImageDims{4, 0}, ImageDims{0, 0}}) {
        patchwarp(nullptr, &img, &grid, nullptr, nullptr, nullptr, nullptr);
    }
}

// The mapped position adds the two products first and the translation last:
// 1 + 2^-53 rounds back to 1 before the second 2^-53 arrives, while any other
// grouping gives 1 + 2^-52. Random maps agree bit for bit with the formula
// computed one rounded step at a time, and the patch is the kernel's sample
// at exactly the positions handed back.
TEST(Patchwarp, OperationOrderIsExact) {
    const ImageDims img{8, 8};
    const std::vector<double> image = ramp(img);
    const double tiny = std::ldexp(1.0, -53);
    const Patch g = warp(image, img, {3, 3}, {1, tiny, tiny, 1, tiny, tiny});
    EXPECT_EQ(g.X[8], 1.0);  // cell (2, 2): dx = dy = 1
    EXPECT_EQ(g.Y[8], 1.0);

    std::mt19937_64 rng(12345);
    std::uniform_real_distribution<double> u(-3.0, 3.0);
    for (int trial = 0; trial < 500; ++trial) {
        const ImageDims grid{1 + trial % 6, 1 + (trial / 6) % 7};
        std::vector<double> A(6);
        for (double& a : A) a = u(rng);
        A[4] += 3.5;
        A[5] += 3.5;
        const Patch p = warp(image, img, grid, A);
        for (int32_t j = 0; j < grid.cols; ++j) {
            for (int32_t i = 0; i < grid.rows; ++i) {
                const size_t k = i + static_cast<size_t>(j) * grid.rows;
                volatile double dx = j - (grid.cols - 1) * 0.5;
                volatile double dy = i - (grid.rows - 1) * 0.5;
                volatile double px = A[0] * dx, qx = A[2] * dy;
                volatile double sx = px + qx;
                volatile double py = A[1] * dx, qy = A[3] * dy;
                volatile double sy = py + qy;
                const ImagePosition c =
                    clamp_to_image(sx + A[4], sy + A[5], &img);
                ASSERT_EQ(p.X[k], c.x);
                ASSERT_EQ(p.Y[k], c.y);
            }
        }
        std::vector<double> again(p.out.size());
        gridlerp(image.data(), &img, &grid, again.data(), p.X.data(),
                 p.Y.data());
        ASSERT_EQ(p.out, again);
    }
}
