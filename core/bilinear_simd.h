// The vector paths of the bilinear kernel (core/bilinear.cpp chooses among
// them). Each samples elements 0 .. done - 1 of the grid, where done is
// `count` rounded down to a multiple of its width, and returns done; the
// caller samples the rest one at a time. Every element gets exactly the bits
// of the scalar path: clamping as clamp_to_image, NaN for a pair with a NaN
// coordinate, and the row blends before the column blend, each product and sum
// rounded on its own.
// The AVX2 and AVX-512 paths read the image as a PairedImage; the NEON path
// reads the image's view, whatever its steps, and samples every image.
#pragma once

#include <cstddef>
#include <cstdint>

#include "matrix_view.h"

// An image as the AVX2 and AVX-512 paths read it: element (r, c) at
// data[r * down + c * across], rows >= 1, cols >= 1, every offset within 32
// bits, and down == 1 (the two rows a sample blends lie side by side in each
// column: column pairs) or, when not, across == 1 (the two columns lie side by
// side in each row: row pairs). A pair needs two elements along its line, so
// these paths do nothing (return 0) on an image of one row read in column
// pairs or of one column read in row pairs.
struct PairedImage {
    const double* data;
    int32_t rows;
    int32_t cols;
    int32_t down;
    int32_t across;
};

// patchwarp's reads along a grid column cross many image lines, a few cells
// on each; from one grid column to the next the cells that meet a given image
// line move along it by the same amount each time, so every line crossed is
// read as a slow stream, hundreds at once, more than the processor's own
// prefetchers follow. The vector paths therefore ask, as they read a line,
// for the cache line next to it in the direction its stream moves: this many
// bytes on (64 or -64 as an unsigned offset, added with wrap-around).
// Measured on a 2048² grid turned by any angle: about as fast in every
// direction and layout, where the streams that move back along their lines
// took twice as long without. A is patchwarp's matrix; the lines are the
// image's columns (column pairs) or rows (row pairs).
inline uintptr_t stream_ahead_bytes(const double* A, bool row_pairs) {
    // The line moves with the column in column pairs, with the row in row
    // pairs; the element along it with the other coordinate. Per cell down a
    // grid column (A2, A3) and per grid column (A0, A1).
    const double outer_coef = row_pairs ? A[3] : A[2];
    const double inner_coef = row_pairs ? A[2] : A[3];
    const double outer_next = row_pairs ? A[1] : A[0];
    const double inner_next = row_pairs ? A[0] : A[1];
    // Where the next grid column meets the same image line, along the line.
    const double drift = outer_coef != 0.0 ? inner_next - outer_next * (inner_coef / outer_coef)
                                           : inner_coef;
    return drift < 0.0 ? static_cast<uintptr_t>(-64) : uintptr_t{64};
}

std::ptrdiff_t sample_grid_avx2(const PairedImage& image, const double* X, const double* Y,
                                double* out, std::ptrdiff_t count);

std::ptrdiff_t sample_grid_neon(const ConstView& image, const double* X, const double* Y,
                                double* out, std::ptrdiff_t count);

// With SSE2, two positions at a time, on an image of any steps (rows >= 1,
// cols >= 1): takes count rounded down to even (returns it).
std::ptrdiff_t sample_grid_sse2(const ConstView& image, const double* X, const double* Y,
                                double* out, std::ptrdiff_t count);

// patchwarp's grid with AVX2 (or NEON, or SSE2): for every cell in storage
// order the mapped position, clamped (a pair with a NaN coordinate stored as
// NaN in both), into X and Y, and its sample into out, all in one pass; the
// same bits as the scalar path (the position and the sampling pass one after
// the other).
// Requires M >= 1, N >= 1 and two elements along the image's pairs. Only
// the grid's columns col_begin .. col_end - 1 (0 <= col_begin <= col_end <= N)
// are computed; out, X and Y point at the whole grid's first cell.
void patchwarp_avx2(const PairedImage& image, int32_t M, int32_t N, const double* A,
                    double* out, double* X, double* Y, int32_t col_begin, int32_t col_end);

// The same with NEON on an image of any steps, which needs rows >= 1 and
// cols >= 1 only.
void patchwarp_neon(const ConstView& image, int32_t M, int32_t N, const double* A, double* out,
                    double* X, double* Y, int32_t col_begin, int32_t col_end);
// And with SSE2, on an image of any steps: rows >= 1 and cols >= 1.
void patchwarp_sse2(const ConstView& image, int32_t M, int32_t N, const double* A, double* out,
                    double* X, double* Y, int32_t col_begin, int32_t col_end);
// The same with AVX-512, with the same requirements and bits. The AVX-512
// sampling takes every element (returns count), but only on an image of at
// least two elements along its pairs and at most 65536 elements; it leaves
// larger images to the AVX2 path (returns 0).
std::ptrdiff_t sample_grid_avx512(const PairedImage& image, const double* X, const double* Y,
                                  double* out, std::ptrdiff_t count);
void patchwarp_avx512(const PairedImage& image, int32_t M, int32_t N, const double* A,
                      double* out, double* X, double* Y, int32_t col_begin, int32_t col_end);
