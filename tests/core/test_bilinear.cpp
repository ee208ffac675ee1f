// The clamping rule and the bilinear kernel, without any host.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "core/bilinear.h"

namespace {

const double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

double sample(const std::vector<double>& image, ImageDims dims, double x, double y) {
    const ImageDims grid{1, 1};
    double out = -1.0;
    gridlerp_ext(image.data(), &dims, &grid, &x, &y, &out);
    return out;
}

// The same arithmetic written out term by term, as a second opinion.
double reference(const std::vector<double>& image, ImageDims dims, double x, double y) {
    const double xmax = dims.cols - 1, ymax = dims.rows - 1;
    x = x < 0 ? 0.0 : (x > xmax ? xmax : x);
    y = y < 0 ? 0.0 : (y > ymax ? ymax : y);
    const int c0 = static_cast<int>(std::floor(x)), r0 = static_cast<int>(std::floor(y));
    const int c1 = std::min(c0 + 1, dims.cols - 1), r1 = std::min(r0 + 1, dims.rows - 1);
    const double fx = x - c0, fy = y - r0;
    auto I = [&](int r, int c) { return image[r + c * dims.rows]; };
    const double s0 = fy * I(r1, c0) + (1.0 - fy) * I(r0, c0);
    const double s1 = fy * I(r1, c1) + (1.0 - fy) * I(r0, c1);
    return (1.0 - fx) * s0 + fx * s1;
}

}  // namespace

// Every region of the clamping table, on a 4 x 5 image (xmax 4, ymax 3).
TEST(ClampToImage, NineRegionsAndSpecialValues) {
    const ImageDims dims{4, 5};
    struct Case { double x, y, cx, cy; } cases[] = {
        {-3.2, 1.5, 0, 1.5}, {7, -1, 4, 0}, {-1, -1, 0, 0}, {9, 9, 4, 3},
        {2.5, 8, 2.5, 3},    {-2, 5, 0, 3}, {4, 3, 4, 3},   {0, 0, 0, 0},
        {std::nextafter(4.0, 5.0), 1, 4, 1}, {kInf, -kInf, 4, 0}, {-kInf, 1.25, 0, 1.25},
        {2, -0.5, 2, 0}, {5, 2, 4, 2}, {-7, 2, 0, 2},
    };
    for (const Case& c : cases) {
        const ImagePosition p = clamp_to_image(c.x, c.y, &dims);
        EXPECT_TRUE(same_bits(p.x, c.cx) && same_bits(p.y, c.cy))
            << "(" << c.x << ", " << c.y << ") -> (" << p.x << ", " << p.y << ")";
    }
    // A replaced coordinate becomes +0.0; -0.0 inside passes through bit for bit.
    EXPECT_TRUE(same_bits(clamp_to_image(-1.0, 1.0, &dims).x, 0.0));
    EXPECT_TRUE(same_bits(clamp_to_image(-0.0, 2.0, &dims).x, -0.0));
    // A NaN in either coordinate is no position at all.
    const ImagePosition p = clamp_to_image(kNaN, 1.0, &dims);
    EXPECT_TRUE(std::isnan(p.x) && std::isnan(p.y));
    EXPECT_TRUE(std::isnan(clamp_to_image(1.0, kNaN, &dims).x));
}

// Worked samples whose values are known exactly.
TEST(Gridlerp, KnownSamples) {
    const std::vector<double> one{7.5};
    EXPECT_EQ(sample(one, {1, 1}, 0, 0), 7.5);
    EXPECT_EQ(sample(one, {1, 1}, -3, 12), 7.5);

    const double p = 3.0, q = 10.0;
    EXPECT_EQ(sample({p, q}, {1, 2}, 0.5, 0), 0.5 * p + 0.5 * q);
    EXPECT_EQ(sample({p, q}, {2, 1}, 0, 0.5), 0.5 * p + 0.5 * q);

    std::vector<double> ramp(16);
    for (int c = 0; c < 4; ++c)
        for (int r = 0; r < 4; ++r) ramp[r + 4 * c] = 10 * r + c;
    EXPECT_EQ(sample(ramp, {4, 4}, 2.75, 1.25), 15.25);
    EXPECT_EQ(sample(ramp, {4, 4}, 3, 3), 33.0);   // last column and row alone
    EXPECT_EQ(sample(ramp, {4, 4}, 2, 1), 12.0);   // on a pixel

    // -0.0 truncates to the integer 0, so fx = -0.0 - 0 = -0.0, and on an
    // all -0.0 image (1 + 0) * -0.0 + (-0.0 * -0.0) gives +0.0.
    const std::vector<double> negative_zeros(4, -0.0);
    EXPECT_TRUE(same_bits(sample(negative_zeros, {2, 2}, -0.0, -0.0), 0.0));
    EXPECT_TRUE(same_bits(sample(negative_zeros, {2, 2}, 0.5, 0.5), -0.0));

    // 2 x 2 image: first row 10 20, second row 30 40.
    const std::vector<double> square{10, 30, 20, 40};
    EXPECT_EQ(sample(square, {2, 2}, 0.5, 0.5), 25.0);
    EXPECT_EQ(sample(square, {2, 2}, -5, 0.5), 20.0);
    EXPECT_EQ(sample(square, {2, 2}, 1, 7), 40.0);
    EXPECT_EQ(sample(square, {2, 2}, 0, 0), 10.0);
}

// No term is skipped for a zero weight: a non-finite neighbour poisons the sample.
TEST(Gridlerp, NonFiniteNeighbourAtZeroWeight) {
    const std::vector<double> image{1.0, kInf, 2.0, 3.0};   // I(1, 0) is infinite
    EXPECT_TRUE(std::isnan(sample(image, {2, 2}, 0, 0)));
    // On the last row the neighbour falls back onto the row itself.
    EXPECT_EQ(sample({1.0, 2.0}, {1, 2}, 1, 0), 2.0);
}

// NaN positions yield NaN and never reach the image; an empty image is never read.
TEST(Gridlerp, NoPositionReadsOutsideTheImage) {
    const std::vector<double> image{1, 2, 3, 4};
    EXPECT_TRUE(std::isnan(sample(image, {2, 2}, kNaN, 0.5)));
    EXPECT_TRUE(std::isnan(sample(image, {2, 2}, 0.5, kNaN)));
    const ImageDims empty{0, 3}, grid{1, 2};
    const double X[2] = {0, 1}, Y[2] = {0, 1};
    double out[2] = {0, 0};
    gridlerp(nullptr, &empty, &grid, out, X, Y);
    EXPECT_TRUE(std::isnan(out[0]) && std::isnan(out[1]));
    // The kernel itself clamps whatever it is given.
    double far_x = 1e300, far_y = -1e300, o = 0;
    const ImageDims dims{2, 2}, single{1, 1};
    gridlerp(image.data(), &dims, &single, &o, &far_x, &far_y);
    EXPECT_EQ(o, 3.0);
}

// An empty grid reads nothing at all (null pointers would fault if touched).
TEST(Gridlerp, EmptyGridTouchesNothing) {
    const ImageDims dims{2, 2};
    for (ImageDims grid : {ImageDims{0, 3}, ImageDims{3, 0}}) {
        gridlerp_ext(nullptr, &dims, &grid, nullptr, nullptr, nullptr);
        gridlerp(nullptr, &dims, &grid, nullptr, nullptr, nullptr);
    }
}

// Random positions inside, on and outside the image agree bit for bit with the
// term-by-term reference, and the position arrays are left as they were.
TEST(Gridlerp, MatchesReferenceOnRandomPositions) {
    std::mt19937_64 rng(12345);
    std::uniform_real_distribution<double> value(-1e3, 1e3);
    for (ImageDims dims : {ImageDims{1, 1}, ImageDims{1, 7}, ImageDims{6, 1}, ImageDims{17, 23}}) {
        std::vector<double> image(static_cast<size_t>(dims.rows) * dims.cols);
        for (double& v : image) v = value(rng);
        std::uniform_real_distribution<double> xs(-3.0, dims.cols + 2.0), ys(-3.0, dims.rows + 2.0);
        const ImageDims grid{37, 29};
        std::vector<double> X(37 * 29), Y(37 * 29), out(37 * 29);
        for (size_t k = 0; k < X.size(); ++k) {
            X[k] = k % 5 == 0 ? std::floor(xs(rng)) : xs(rng);
            Y[k] = k % 7 == 0 ? std::floor(ys(rng)) : ys(rng);
        }
        const std::vector<double> X0 = X, Y0 = Y;
        gridlerp_ext(image.data(), &dims, &grid, X.data(), Y.data(), out.data());
        for (size_t k = 0; k < X.size(); ++k)
            ASSERT_TRUE(same_bits(out[k], reference(image, dims, X[k], Y[k]))) << k;
        EXPECT_EQ(X, X0);
        EXPECT_EQ(Y, Y0);
    }
}
