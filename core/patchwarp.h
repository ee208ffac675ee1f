// Affine patch extraction: an M x N grid centred on the origin, mapped into an
// image by a 2 x 3 affine matrix, clamped onto the image and sampled there.
#pragma once

#include "image_dims.h"
#include "kernel_path.h"
#include "matrix_view.h"

// Cell (i, j) of the grid (0-based row i < M, column j < N, stored at
// k = i + j * M) has the offsets dx = j - (N - 1) * 0.5, dy = i - (M - 1) * 0.5
// and the mapped position
//     x = (A[0] * dx + A[2] * dy) + A[4]    (column)
//     y = (A[1] * dx + A[3] * dy) + A[5]    (row),
// each operation rounded on its own in this grouping. The pair is moved onto
// the image by clamp_to_image and stored in X[k] and Y[k]; once every cell has
// its position, the bilinear kernel writes the sample at (X[k], Y[k]) into
// out[k]. A, X, Y and out each hold what gridDims asks (six coefficients, M * N
// doubles); nothing else is allocated.
//
// An empty grid (M <= 0 or N <= 0) reads neither image nor A and writes
// nothing. A mapped pair with a NaN coordinate (NaN or infinite coefficients)
// stores NaN in both X[k] and Y[k] and samples NaN. The image must have a row
// and a column when the grid has cells; never is anything read outside it.
// Every `path` gives the same bits; the vector paths handle several cells at
// once.
void patchwarp(const double* image, const ImageDims* imageDims,
               const ImageDims* gridDims, const double* A, double* out,
               double* X, double* Y, KernelPath path = KernelPath::Fastest);

// The strided kernel that patchwarp is the column-major case of: the grid is
// out.rows x out.cols (M x N), cell (i, j) mapped, clamped and sampled as
// above into X(i, j), Y(i, j) and out(i, j). Every view may have any steps
// from 0; the three results must not overlap each other, the image or A. The
// bits do not depend on the steps or the path. A grid whose three results lie
// in row-major order is computed as its transpose: cell (i, j) of an M x N
// grid mapped by A is cell (j, i) of the N x M grid mapped by A with its two
// columns swapped (A[2], A[3], A[0], A[1], A[4], A[5]), the same sums in the
// other order, which IEEE addition gives bit for bit.
void patchwarp_strided(const ConstView& image, const double* A, const DoubleView& out,
                       const DoubleView& X, const DoubleView& Y,
                       KernelPath path = KernelPath::Fastest);

// A rectangle of a grid: rows row_begin .. row_end - 1 and columns
// col_begin .. col_end - 1, each index the cell's own in the whole grid.
struct GridPart {
    int32_t row_begin;
    int32_t row_end;
    int32_t col_begin;
    int32_t col_end;
};

// patchwarp_strided for the cells of `part` alone, with the bits those cells
// get in the whole grid: out, X and Y are the whole grid's views (their size
// fixes the offsets dx and dy), and only the part's cells are written. Parts
// that do not overlap may run at the same time. The vector paths take a part
// of whole columns of a column-major grid (whole rows of a row-major one,
// which is computed as its transpose); any other part is mapped and sampled
// on the scalar path.
void patchwarp_part(const ConstView& image, const double* A, const DoubleView& out,
                    const DoubleView& X, const DoubleView& Y, GridPart part,
                    KernelPath path = KernelPath::Fastest);
