// Affine patch extraction (patchwarp) on every path against the scalar path:
// the clamped positions and the samples, for coefficients that map the grid
// inside, across and far beyond the image, overflow to infinities or give NaN
// positions, on images from one pixel to wider than the vector paths take.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "core/patchwarp.h"
#include "path_harness.h"

using namespace pathfuzz;

namespace {

enum Slot { kImage, kA, kOut, kX, kY };

// An image of one to three rows and about 65536 elements: on either side of
// the size where the AVX-512 path hands over to AVX2 and SSE2 prefetches.
ImageDims wide_image(Bytes& in) {
    const int32_t rows = in.in_range(1, 3);
    return {rows, 65536 / rows + in.in_range(-2, 40)};
}

ImageDims image_size(Bytes& in) {
    switch (in.byte() % 64) {
        case 4: case 5: case 6: case 7: return {in.in_range(0, 3), in.in_range(0, 3)};
        case 8: return wide_image(in);
        case 9: return {in.in_range(255, 258), in.in_range(255, 258)};
        case 10: case 11: case 12: case 13: return {in.in_range(1, 64), in.in_range(1, 64)};
        default: return {in.in_range(1, 16), in.in_range(1, 16)};
    }
}

// A coefficient of the linear part: the steps of a plain, scaled, rotated or
// sheared grid, or any value.
double linear_coefficient(Bytes& in) {
    static const double common[] = {0.0, 1.0, -1.0, 0.5, -0.5, 2.0, 0.25, 1.5,
                                    0.7071067811865476, -0.7071067811865476, 0.8660254037844386,
                                    -0.3, 1e-9, 3.0, 0.0, 1.0};
    const uint8_t b = in.byte();
    return b < 192 ? common[b % 16] : in.value();
}

std::string describe(const ImageDims& image, const ImageDims& grid, const double* A) {
    char text[256];
    std::snprintf(text, sizeof text, "image %d x %d, grid %d x %d\n", image.rows, image.cols,
                  grid.rows, grid.cols);
    return text + describe_values("A", A, 6);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    vector_paths();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Bytes in(data, size);
    const ImageDims image_dims = image_size(in);
    const ImageDims grid{in.in_range(0, 24), in.in_range(0, 24)};
    const uint8_t placement = in.byte();
    const size_t pixels = static_cast<size_t>(image_dims.rows) * image_dims.cols;
    const size_t count = static_cast<size_t>(grid.rows) * grid.cols;

    double* image = guarded_array<double>(kImage, pixels, placement & 1);
    double* A = guarded_array<double>(kA, 6, placement & 2);
    fill_values(in, image, pixels);
    for (int k = 0; k < 4; ++k) A[k] = linear_coefficient(in);
    A[4] = in.position(image_dims.cols);
    A[5] = in.position(image_dims.rows);
    if (in.now_and_then()) {
        seal(kImage);
        seal(kA);
    }
    if (describing()) std::fprintf(stderr, "%s", describe(image_dims, grid, A).c_str());

    // Each path writes over a marker, which shows an element left unwritten.
    const bool at_start = placement & 4;
    struct Results { double* out; double* X; double* Y; };
    auto run = [&](KernelPath path) {
        Results r{guarded_array<double>(kOut, count, at_start),
                  guarded_array<double>(kX, count, !at_start),
                  guarded_array<double>(kY, count, at_start)};
        for (size_t k = 0; k < count; ++k) r.out[k] = r.X[k] = r.Y[k] = -8.125e-7;
        patchwarp(image, &image_dims, &grid, A, r.out, r.X, r.Y, path);
        return r;
    };
    const Results scalar = run(KernelPath::Scalar);
    const std::vector<double> want_out(scalar.out, scalar.out + count);
    const std::vector<double> want_X(scalar.X, scalar.X + count);
    const std::vector<double> want_Y(scalar.Y, scalar.Y + count);
    for (KernelPath path : vector_paths()) {
        const Results got = run(path);
        const struct { const char* name; const double* got; const double* want; } arrays[] = {
            {"X", got.X, want_X.data()}, {"Y", got.Y, want_Y.data()},
            {"out", got.out, want_out.data()}};
        for (const auto& a : arrays) {
            const long at = first_difference(a.got, a.want, count);
            if (at >= 0)
                report("patchwarp", path, a.name, at, a.got[at], a.want[at],
                       describe(image_dims, grid, A));
        }
    }
    return 0;
}
