// Bilinear sampling of an image at real-valued, 0-based positions, and the
// one rule that moves a position onto the image rectangle.
#pragma once

#include <cstdint>

#include "image_dims.h"
#include "kernel_path.h"
#include "matrix_view.h"

struct ImagePosition {
    double x;  // column position
    double y;  // row position
};

// Moves (x, y) onto [0, cols - 1] x [0, rows - 1], each coordinate on its own.
// Only a strict comparison counts as outside, so a coordinate on the border
// (and -0.0) passes through unchanged, bit for bit; a replaced coordinate
// becomes exactly +0.0, cols - 1 or rows - 1, infinities included. A pair with
// a NaN coordinate is no position at all: it becomes (NaN, NaN), and sampling
// it yields NaN without reading the image.
ImagePosition clamp_to_image(double x, double y, const ImageDims* imageDims);

// Writes out[k], k = 0 .. M*N - 1, the bilinear sample of `image` at
// (X[k], Y[k]). Positions are expected inside the image already; any other
// position is first clamped by clamp_to_image, so no read ever leaves the
// image, and an empty image yields NaN for every element. Every `path` gives
// the same bits; the vector paths sample several elements at once.
void gridlerp(const double* image, const ImageDims* imageDims,
              const ImageDims* gridDims, double* out,
              const double* X, const double* Y,
              KernelPath path = KernelPath::Fastest);

// Writes out[k] = the bilinear sample at clamp_to_image(X[k], Y[k]). X and Y
// are only read. Each pair is clamped just before it is sampled, so no scratch
// storage is needed.
void gridlerp_ext(const double* image, const ImageDims* imageDims,
                  const ImageDims* gridDims, const double* X, const double* Y,
                  double* out, KernelPath path = KernelPath::Fastest);

// The strided kernel that gridlerp and gridlerp_ext are the column-major case
// of: out(r, c) = the bilinear sample of `image` at clamp_to_image(X(r, c),
// Y(r, c)), for the out.rows x out.cols elements of the grid (X and Y have
// that size too). Every view may have any steps from 0; X and Y are only
// read, and out must not overlap them or the image. The elements are visited
// along the grid's contiguous lines where X, Y and out share them; the vector
// paths read an image whose rows or columns lie side by side in pairs, and
// sample any other one element by element. The bits do not depend on the
// steps or the path.
void gridlerp_strided(const ConstView& image, const ConstView& X, const ConstView& Y,
                      const DoubleView& out, KernelPath path = KernelPath::Fastest);
