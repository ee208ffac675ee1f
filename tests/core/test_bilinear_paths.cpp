// Every vector path of the bilinear kernel against its scalar path, bit for bit.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "core/bilinear.h"
#include "kernel_paths.h"

namespace {

const double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();

// A position drawn to hit what the clamp and the kernel treat specially:
// borders, whole numbers, -0.0, the largest double below a border,
// infinities, NaNs, and plain values inside and outside.
double awkward_position(std::mt19937_64& rng, int32_t size) {
    std::uniform_real_distribution<double> spread(-2.0, size + 1.0);
    switch (rng() % 12) {
        case 0: return 0.0;
        case 1: return -0.0;
        case 2: return size - 1.0;
        case 3: return std::nextafter(size - 1.0, 0.0);
        case 4: return std::nextafter(size - 1.0, kInf);
        case 5: return std::floor(spread(rng));
        case 6: return rng() % 2 ? kInf : -kInf;
        case 7: return rng() % 4 == 0 ? kNaN : spread(rng);
        case 8: return from_bits(0xfff4000000000123ULL);  // a negative signalling NaN
        default: return spread(rng);
    }
}

// Image values with some infinities and -0.0, and, when `with_nans`, NaNs of
// different payloads and signs.
std::vector<double> awkward_image(std::mt19937_64& rng, size_t count, bool with_nans) {
    std::uniform_real_distribution<double> value(-1e3, 1e3);
    std::vector<double> image(count);
    for (double& v : image) {
        switch (with_nans ? rng() % 40 : 2 + rng() % 38) {
            case 0: v = from_bits(0x7ff8000000000000ULL | (rng() & 0xffff)); break;
            case 1: v = from_bits(0xfff8000000000000ULL | (rng() & 0xffff)); break;
            case 2: v = kInf; break;
            case 3: v = -kInf; break;
            case 4: v = -0.0; break;
            default: v = value(rng);
        }
    }
    return image;
}

}  // namespace

// Random images and positions, grid sizes that leave every possible tail
// after the vector width, and both entry points; the largest image outgrows
// the cache, which turns on prefetching of the positions ahead. Without NaNs in the image
// every bit must agree (the NaNs that arise, from NaN pairs and from 0 * inf
// or inf - inf, each have one fixed pattern); with them, a NaN payload may
// differ where two NaNs meet.
TEST(GridlerpPaths, RandomInputsGiveScalarBits) {
    std::mt19937_64 rng(2024);
    const ImageDims images[] = {{1, 1}, {1, 9}, {7, 1}, {2, 2}, {13, 17}, {64, 3}, {300, 301}};
    for (int round = 0; round < 2; ++round)
    for (ImageDims dims : images) {
        const bool with_nans = round == 1;
        const auto image =
            awkward_image(rng, static_cast<size_t>(dims.rows) * dims.cols, with_nans);
        auto differs = [&](const std::vector<double>& got, const std::vector<double>& expected) {
            return with_nans ? first_difference_but_nan_payload(got, expected)
                             : first_difference(got, expected);
        };
        for (int32_t m = 1; m <= 9; m += 2) {
            const ImageDims grid{m, 97 + m};
            const size_t count = static_cast<size_t>(grid.rows) * grid.cols;
            std::vector<double> X(count), Y(count);
            for (size_t k = 0; k < count; ++k) {
                X[k] = awkward_position(rng, dims.cols);
                Y[k] = awkward_position(rng, dims.rows);
            }
            std::vector<double> expected(count), got(count);
            gridlerp_ext(image.data(), &dims, &grid, X.data(), Y.data(), expected.data(),
                         KernelPath::Scalar);
            for (KernelPath path : vector_paths()) {
                std::fill(got.begin(), got.end(), 1.0);
                gridlerp_ext(image.data(), &dims, &grid, X.data(), Y.data(), got.data(), path);
                ASSERT_EQ(differs(got, expected), -1)
                    << path_name(path) << " image " << dims.rows << "x" << dims.cols;
                std::fill(got.begin(), got.end(), 1.0);
                gridlerp(image.data(), &dims, &grid, got.data(), X.data(), Y.data(), path);
                ASSERT_EQ(differs(got, expected), -1) << path_name(path);
            }
        }
    }
}

// The cases the clamp and the blend treat specially, one by one, on every
// path: -0.0 keeps its sign into the fraction, a NaN pair gives the quiet
// NaN, 0 * inf at a zero weight poisons the sample.
TEST(GridlerpPaths, SpecialPositionsOnEveryPath) {
    const ImageDims dims{2, 3};
    const std::vector<double> image{-0.0, kInf, -0.0, -0.0, 5.0, 6.0};
    const std::vector<double> X{-0.0, 0.5, kNaN, 1.0, -kInf, 2.0, 2.0, 0.0};
    const std::vector<double> Y{-0.0, -0.0, 0.0, kNaN, kInf, 1.0, 0.5, 0.0};
    const ImageDims grid{1, static_cast<int32_t>(X.size())};
    std::vector<double> expected(X.size()), got(X.size());
    gridlerp_ext(image.data(), &dims, &grid, X.data(), Y.data(), expected.data(),
                 KernelPath::Scalar);
    EXPECT_TRUE(std::isnan(expected[2]) && std::isnan(expected[3]));
    EXPECT_TRUE(std::isnan(expected[7]));  // I(1, 0) is infinite at weight 0
    for (KernelPath path : vector_paths()) {
        gridlerp_ext(image.data(), &dims, &grid, X.data(), Y.data(), got.data(), path);
        EXPECT_EQ(first_difference(got, expected), -1) << path_name(path);
    }
}

// The sign of a zero sample follows the sign of the position: at x = -0.0 the
// column fraction is -0.0, and (-0.0) * s1 added to a zero s0 of sign minus
// gives -0.0 where +0.0 would give +0.0. A vector maximum taken for the clamp
// would turn -0.0 into +0.0 (as NEON's does).
TEST(GridlerpPaths, NegativeZeroPositionKeepsTheSignOfAZeroSample) {
    const ImageDims dims{2, 2};
    const std::vector<double> image{-0.0, -1.0, 2.0, 3.0};
    const std::vector<double> X{-0.0, -0.0, 0.0, -0.0}, Y{0.0, 0.0, 0.0, -0.0};
    const ImageDims grid{1, static_cast<int32_t>(X.size())};
    std::vector<double> expected(X.size()), got(X.size());
    gridlerp_ext(image.data(), &dims, &grid, X.data(), Y.data(), expected.data(),
                 KernelPath::Scalar);
    EXPECT_TRUE(expected[0] == 0.0 && std::signbit(expected[0]));
    EXPECT_TRUE(expected[2] == 0.0 && !std::signbit(expected[2]));
    for (KernelPath path : vector_paths()) {
        gridlerp_ext(image.data(), &dims, &grid, X.data(), Y.data(), got.data(), path);
        EXPECT_EQ(first_difference(got, expected), -1) << path_name(path);
    }
}

// An empty image still gives NaN everywhere and reads nothing on every path.
TEST(GridlerpPaths, EmptyImageOnEveryPath) {
    const ImageDims empty{0, 4}, grid{3, 3};
    const std::vector<double> X(9, 0.0), Y(9, 0.0);
    for (KernelPath path : vector_paths()) {
        std::vector<double> out(9, 1.0);
        gridlerp_ext(nullptr, &empty, &grid, X.data(), Y.data(), out.data(), path);
        for (double v : out) EXPECT_TRUE(std::isnan(v)) << path_name(path);
    }
}

// Fastest resolves to a path this processor runs; Scalar stays scalar.
TEST(KernelPathChoice, ResolvesToAnAvailablePath) {
    EXPECT_EQ(resolve_kernel_path(KernelPath::Scalar), KernelPath::Scalar);
    const KernelPath fastest = resolve_kernel_path(KernelPath::Fastest);
    EXPECT_NE(fastest, KernelPath::Fastest);
    EXPECT_TRUE(kernel_path_available(fastest));
    EXPECT_TRUE(kernel_path_available(resolve_kernel_path(KernelPath::AVX2)));
}

// BITEXACT_KERNEL_PATH caps what Fastest resolves to: a path's name (either
// case) gives what a request for that path gives (itself, or the best path
// below it that runs); unset, empty or naming no path, the best path runs; a
// request for a particular path is not affected. Read anew on every call.
TEST(KernelPathChoice, VariableCapsTheFastestPath) {
    const char* before = std::getenv("BITEXACT_KERNEL_PATH");
    const std::string saved = before != nullptr ? before : "";
    unsetenv("BITEXACT_KERNEL_PATH");
    const KernelPath best = resolve_kernel_path(KernelPath::Fastest);
    bool known = false;
    EXPECT_EQ(kernel_path_cap(&known), KernelPath::Fastest);
    EXPECT_TRUE(known);
    const struct {
        const char* value;
        KernelPath named;
    } named[] = {{"avx512", KernelPath::AVX512}, {"avx2", KernelPath::AVX2},
                 {"sse2", KernelPath::SSE2},     {"neon", KernelPath::NEON},
                 {"scalar", KernelPath::Scalar}, {"AVX512", KernelPath::AVX512},
                 {"Sse2", KernelPath::SSE2}};
    for (const auto& n : named) {
        setenv("BITEXACT_KERNEL_PATH", n.value, 1);
        EXPECT_EQ(kernel_path_cap(&known), n.named) << n.value;
        EXPECT_TRUE(known) << n.value;
        EXPECT_EQ(resolve_kernel_path(KernelPath::Fastest), resolve_kernel_path(n.named))
            << n.value;
        EXPECT_EQ(kernel_path_in_force(), resolve_kernel_path(n.named)) << n.value;
        EXPECT_TRUE(kernel_path_available(kernel_path_in_force())) << n.value;
        EXPECT_EQ(resolve_kernel_path(KernelPath::Scalar), KernelPath::Scalar) << n.value;
    }
    for (const char* value : {"", "avx", "avx5120", "sse", "fastest", " avx2"}) {
        setenv("BITEXACT_KERNEL_PATH", value, 1);
        EXPECT_EQ(kernel_path_cap(&known), KernelPath::Fastest) << value;
        EXPECT_EQ(known, *value == '\0') << value;
        EXPECT_EQ(resolve_kernel_path(KernelPath::Fastest), best) << value;
    }
    setenv("BITEXACT_KERNEL_PATH", "scalar", 1);
    EXPECT_NE(resolve_kernel_path(KernelPath::SSE2), KernelPath::Scalar);
    if (before != nullptr) setenv("BITEXACT_KERNEL_PATH", saved.c_str(), 1);
    else unsetenv("BITEXACT_KERNEL_PATH");
}

// NEON is part of every 64-bit ARM processor, so the kernels run it there
// unasked, and a request for SSE2 (the x86 path of the same width) gets it;
// elsewhere a request for NEON falls back to a path that runs.
TEST(KernelPathChoice, NeonOnEveryArmProcessorOnly) {
#if defined(__aarch64__) || defined(_M_ARM64)
    EXPECT_TRUE(kernel_path_available(KernelPath::NEON));
    if (kernel_path_cap() == KernelPath::Fastest) {
        EXPECT_EQ(resolve_kernel_path(KernelPath::Fastest), KernelPath::NEON);
    }
    EXPECT_EQ(resolve_kernel_path(KernelPath::SSE2), KernelPath::NEON);
    EXPECT_EQ(resolve_kernel_path(KernelPath::AVX2), KernelPath::NEON);
#else
    EXPECT_FALSE(kernel_path_available(KernelPath::NEON));
    EXPECT_NE(resolve_kernel_path(KernelPath::NEON), KernelPath::NEON);
    EXPECT_TRUE(kernel_path_available(resolve_kernel_path(KernelPath::NEON)));
#endif
}

#if !defined(__aarch64__) && !defined(_M_ARM64)
// The x86 paths offered agree with what the system reports of the processor
// (on Linux, /proc/cpuinfo, which also accounts for the registers the system
// saves), and a path asked for falls back to one that runs.
TEST(KernelPathChoice, AgreesWithTheSystemsReport) {
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line, flags;
    while (flags.empty() && std::getline(cpuinfo, line)) {
        if (line.rfind("flags", 0) == 0) flags = line + " ";
    }
    for (KernelPath path : {KernelPath::AVX2, KernelPath::AVX512})
        EXPECT_TRUE(kernel_path_available(resolve_kernel_path(path))) << path_name(path);
    if (flags.empty()) {
        std::printf("not checked on this machine: the choice of vector path against the "
                    "processor's flags (no /proc/cpuinfo)\n");
        return;
    }
    const auto has = [&](const char* flag) {
        return flags.find(" " + std::string(flag) + " ") != std::string::npos;
    };
    EXPECT_EQ(kernel_path_available(KernelPath::AVX2), has("avx2"));
    EXPECT_EQ(kernel_path_available(KernelPath::AVX512),
              has("avx2") && has("avx512f") && has("avx512dq") && has("avx512vl"));
    if (kernel_path_available(KernelPath::AVX512) && kernel_path_cap() == KernelPath::Fastest) {
        EXPECT_EQ(resolve_kernel_path(KernelPath::Fastest), KernelPath::AVX512);
    }
}
#endif

// The strided kernel reads the image, X and Y and writes out where they lie,
// in every layout the package hands it (each vector path has its own loads
// for images whose rows or columns lie side by side, and samples other
// images element by element); every layout and path gives the bits of the
// column-major scalar call, and nothing outside out is written. The large
// image turns on prefetching.
TEST(GridlerpPaths, EveryLayoutGivesTheColumnMajorBits) {
    std::mt19937_64 rng(77);
    const ImageDims images[] = {{1, 6}, {5, 1}, {2, 2}, {13, 17}, {300, 301}};
    for (ImageDims dims : images) {
        const auto image = awkward_image(rng, static_cast<size_t>(dims.rows) * dims.cols, false);
        const ImageDims grid{7, 11};
        const size_t count = static_cast<size_t>(grid.rows) * grid.cols;
        std::vector<double> X(count), Y(count), expected(count);
        for (size_t k = 0; k < count; ++k) {
            X[k] = awkward_position(rng, dims.cols);
            Y[k] = awkward_position(rng, dims.rows);
        }
        gridlerp_ext(image.data(), &dims, &grid, X.data(), Y.data(), expected.data(),
                     KernelPath::Scalar);
        for (int layout = 0; layout < kLayouts; ++layout) {
            Placed im = placed_copy(layout, image, dims.rows, dims.cols, 7.0);
            Placed x = placed_copy((layout + 1) % kLayouts, X, grid.rows, grid.cols, 7.0);
            Placed y = placed_copy((layout + 2) % kLayouts, Y, grid.rows, grid.cols, 7.0);
            const ConstView image_view{im.data(), dims.rows, dims.cols, im.row_step,
                                       im.col_step};
            const ConstView x_view{x.data(), grid.rows, grid.cols, x.row_step, x.col_step};
            const ConstView y_view{y.data(), grid.rows, grid.cols, y.row_step, y.col_step};
            for (int out_layout : {layout, (layout + 1) % kLayouts}) {
                for (KernelPath path : vector_paths()) {
                    Placed out = placed(out_layout, grid.rows, grid.cols, -3.0);
                    gridlerp_strided(image_view, x_view, y_view,
                                     {out.data(), grid.rows, grid.cols, out.row_step,
                                      out.col_step},
                                     path);
                    ASSERT_EQ(first_difference(read_back(out, grid.rows, grid.cols), expected),
                              -1)
                        << path_name(path) << ", image " << dims.rows << "x" << dims.cols
                        << " " << im.name << ", out " << out.name;
                    ASSERT_TRUE(only_matrix_written(out, grid.rows, grid.cols, -3.0));
                }
                // X, Y and out of one layout are sampled as one run of
                // elements, the largest run the vector paths get.
                Placed xs = placed_copy(out_layout, X, grid.rows, grid.cols, 7.0);
                Placed ys = placed_copy(out_layout, Y, grid.rows, grid.cols, 7.0);
                Placed out = placed(out_layout, grid.rows, grid.cols, -3.0);
                gridlerp_strided(image_view,
                                 {xs.data(), grid.rows, grid.cols, xs.row_step, xs.col_step},
                                 {ys.data(), grid.rows, grid.cols, ys.row_step, ys.col_step},
                                 {out.data(), grid.rows, grid.cols, out.row_step, out.col_step});
                ASSERT_EQ(first_difference(read_back(out, grid.rows, grid.cols), expected), -1)
                    << im.name << ", positions " << out.name;
            }
        }
    }
}
