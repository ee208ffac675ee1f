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

// An image of one to three rows and about 65536 elements: on either side of
// the size where the AVX-512 path hands over to AVX2 and SSE2 prefetches.
ImageDims wide_image(Bytes& in) {
    const int32_t rows = in.in_range(1, 3);
    return {rows, 65536 / rows + in.in_range(-2, 40)};
}

// Image sizes: mostly small; also empty and single-row images, and images
// of about 65536 elements.
ImageDims image_size(Bytes& in) {
    switch (in.byte() % 64) {
        case 4: case 5: case 6: case 7: return {in.in_range(0, 3), in.in_range(0, 3)};
        case 8: return wide_image(in);
        case 9: return {in.in_range(255, 258), in.in_range(255, 258)};
        case 10: case 11: case 12: case 13: return {in.in_range(1, 64), in.in_range(1, 64)};
        default: return {in.in_range(1, 16), in.in_range(1, 16)};
    }
}

std::string describe(const ImageDims& image, const ImageDims& grid, const double* X,
                     const double* Y) {
    char head[128];
    std::snprintf(head, sizeof head, "image %d x %d, grid %d x %d\n", image.rows, image.cols,
                  grid.rows, grid.cols);
    const size_t count = static_cast<size_t>(grid.rows) * grid.cols;
    return head + describe_values("X", X, count) + describe_values("Y", Y, count);
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
    double* X = guarded_array<double>(kX, count, placement & 2);
    double* Y = guarded_array<double>(kY, count, placement & 4);
    fill_values(in, image, pixels);
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
