// Bilinear sampling with clamping (gridlerp_ext) on every path against the
// scalar path: images from empty to wider than the vector paths take, grids
// whose element counts leave every remainder after the vector widths, and
// positions on, between and just beyond the pixels, signed zeros,
// infinities, NaNs and huge values.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "core/bilinear.h"
#include "path_harness.h"

using namespace pathfuzz;

namespace {

enum Slot { kImage, kX, kY, kOut };

std::string describe(const ImageDims& image, const ImageDims& grid, const double* X,
                     const double* Y) {
    char head[128];
    std::snprintf(head, sizeof head, "image %d x %d, grid %d x %d\n", image.rows, image.cols,
                  grid.rows, grid.cols);
    const size_t count = static_cast<size_t>(grid.rows) * grid.cols;
    return head + describe_values("X", X, count) + describe_values("Y", Y, count);
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
    double* X = guarded_array<double>(kX, count, placement & 2);
    double* Y = guarded_array<double>(kY, count, placement & 4);
    for (size_t k = 0; k < count; ++k) {
        X[k] = in.position(image_dims.cols);
        Y[k] = in.position(image_dims.rows);
    }
    if (in.now_and_then()) {
        seal(kImage);
        seal(kX);
        seal(kY);
    }
    if (describing()) std::fprintf(stderr, "%s", describe(image_dims, grid, X, Y).c_str());

    const bool out_at_start = placement & 8;
    // Each path writes over a marker, which shows an element left unwritten.
    auto run = [&](KernelPath path) {
        double* out = guarded_array<double>(kOut, count, out_at_start);
        for (size_t k = 0; k < count; ++k) out[k] = -8.125e-7;
        gridlerp_ext(image, &image_dims, &grid, X, Y, out, path);
        return out;
    };
    const double* scalar = run(KernelPath::Scalar);
    const std::vector<double> want(scalar, scalar + count);
    for (KernelPath path : vector_paths()) {
        const double* out = run(path);
        const long at = first_difference(out, want.data(), count);
        if (at >= 0)
            report("gridlerp_ext", path, "out", at, out[at], want[at],
                   describe(image_dims, grid, X, Y));
    }
    return 0;
}
