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

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Bytes in(data, size);
    const ImageCase c = image_case(in, kImage);
    const ImageDims& image_dims = c.image_dims;
    const ImageDims& grid = c.grid;
    const uint8_t placement = c.placement;
    const size_t count = c.count;
    double* image = c.image;
    double* A = guarded_array<double>(kA, 6, placement & 2);
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
