// Every vector path of patchwarp against its scalar path, bit for bit, in
// all three results.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "core/patchwarp.h"
#include "kernel_paths.h"

namespace {

const double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();

struct Patch {
    std::vector<double> out, X, Y;
};

// Results in arrays one element longer than the grid, so that a write past
// the last cell shows.
Patch warp(const std::vector<double>& image, ImageDims dims, ImageDims grid, const double* A,
           KernelPath path) {
    const size_t cells = static_cast<size_t>(grid.rows) * grid.cols + 1;
    Patch p{std::vector<double>(cells, -5.0), std::vector<double>(cells, -5.0),
            std::vector<double>(cells, -5.0)};
    patchwarp(image.data(), &dims, &grid, A, p.out.data(), p.X.data(), p.Y.data(), path);
    return p;
}

}  // namespace

// Random images (some -0.0 and infinite pixels), grids whose columns leave
// every remainder after the vector width, rotations, scales and shifts that
// take the patch off the image, and coefficients that are not finite.
TEST(PatchwarpPaths, RandomMapsGiveScalarBits) {
    std::mt19937_64 rng(99);
    std::uniform_real_distribution<double> pixel(-50, 50), angle(0, 6.3), scale(0.1, 3);
    const ImageDims images[] = {{1, 5}, {2, 2}, {3, 7}, {16, 9}, {40, 33}};
    for (int trial = 0; trial < 200; ++trial) {
        const ImageDims dims = images[trial % 5];
        std::vector<double> image(static_cast<size_t>(dims.rows) * dims.cols);
        for (double& v : image) v = rng() % 50 == 0 ? (rng() % 2 ? kInf : -0.0) : pixel(rng);
        const ImageDims grid{1 + static_cast<int32_t>(rng() % 11),
                             1 + static_cast<int32_t>(rng() % 9)};
        const double a = angle(rng), s = scale(rng);
        double A[6] = {s * std::cos(a), s * std::sin(a), -s * std::sin(a), s * std::cos(a),
                       std::uniform_real_distribution<double>(-5, dims.cols + 5)(rng),
                       std::uniform_real_distribution<double>(-5, dims.rows + 5)(rng)};
        switch (trial % 10) {
            case 7: A[rng() % 6] = kNaN; break;
            case 8: A[rng() % 6] = rng() % 2 ? kInf : -kInf; break;
            case 9: A[rng() % 4] = 1e308; break;
            default: break;
        }
        const Patch want = warp(image, dims, grid, A, KernelPath::Scalar);
        for (KernelPath path : vector_paths()) {
            const Patch got = warp(image, dims, grid, A, path);
            const long bad_x = first_difference(got.X, want.X);
            const long bad_y = first_difference(got.Y, want.Y);
            const long bad_out = first_difference(got.out, want.out);
            ASSERT_EQ(bad_x, -1) << "trial " << trial << " " << path_name(path);
            ASSERT_EQ(bad_y, -1) << "trial " << trial << " " << path_name(path);
            ASSERT_EQ(bad_out, -1) << "trial " << trial << " " << path_name(path);
        }
    }
}

// A grid larger than the cache, with columns that do not fill whole vectors
// (the AVX-512 path carries lanes from one column into the next).
TEST(PatchwarpPaths, LargeGridGivesScalarBits) {
    const ImageDims dims{37, 41}, grid{701, 389};
    std::vector<double> image(static_cast<size_t>(dims.rows) * dims.cols);
    std::mt19937_64 rng(5);
    for (double& v : image) v = std::uniform_real_distribution<double>(-9, 9)(rng);
    const double A[6] = {0.061, -0.013, 0.027, 0.052, 20.5, 18.25};
    const Patch want = warp(image, dims, grid, A, KernelPath::Scalar);
    for (KernelPath path : vector_paths()) {
        const Patch got = warp(image, dims, grid, A, path);
        EXPECT_EQ(first_difference(got.X, want.X), -1) << path_name(path);
        EXPECT_EQ(first_difference(got.Y, want.Y), -1) << path_name(path);
        EXPECT_EQ(first_difference(got.out, want.out), -1) << path_name(path);
    }
}
