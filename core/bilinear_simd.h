// The vector paths of the bilinear kernel (core/bilinear.cpp chooses among
// them). Each samples elements 0 .. done - 1 of the grid, where done is
// `count` rounded down to a multiple of its width, and returns done; the
// caller samples the rest one at a time. Every element gets exactly the bits
// of the scalar path: clamping as clamp_to_image, NaN for a pair with a NaN
// coordinate, and the row blends before the column blend, each product and sum
// rounded on its own.
// The AVX2 and AVX-512 paths read the image as a PairedImage; the NEON path
// reads a column-major image of rows * cols <= 2^31 - 1 elements and samples
// every image.
#pragma once

#include <cstddef>
#include <cstdint>

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

std::ptrdiff_t sample_grid_avx2(const PairedImage& image, const double* X, const double* Y,
                                double* out, std::ptrdiff_t count);

std::ptrdiff_t sample_grid_neon(const double* image, int32_t rows, int32_t cols,
                                const double* X, const double* Y, double* out,
                                std::ptrdiff_t count);

// patchwarp's grid with AVX2 (or NEON): for every cell in storage order the mapped
// position, clamped (a pair with a NaN coordinate stored as NaN in both), into
// X and Y, and its sample into out, all in one pass; the same bits as the
// scalar path (the position and the sampling pass one after the other).
// Requires M >= 1, N >= 1 and two elements along the image's pairs. Only
// the grid's columns col_begin .. col_end - 1 (0 <= col_begin <= col_end <= N)
// are computed; out, X and Y point at the whole grid's first cell.
void patchwarp_avx2(const PairedImage& image, int32_t M, int32_t N, const double* A,
                    double* out, double* X, double* Y, int32_t col_begin, int32_t col_end);

// The same with NEON on a column-major image of rows * cols <= 2^31 - 1
// elements, which needs rows >= 1 only.
void patchwarp_neon(const double* image, int32_t rows, int32_t cols, int32_t M, int32_t N,
                    const double* A, double* out, double* X, double* Y, int32_t col_begin,
                    int32_t col_end);
// The same with AVX-512, with the same requirements and bits. The AVX-512
// sampling takes every element (returns count), but only on an image of at
// least two elements along its pairs and at most 65536 elements; it leaves
// larger images to the AVX2 path (returns 0).
std::ptrdiff_t sample_grid_avx512(const PairedImage& image, const double* X, const double* Y,
                                  double* out, std::ptrdiff_t count);
void patchwarp_avx512(const PairedImage& image, int32_t M, int32_t N, const double* A,
                      double* out, double* X, double* Y, int32_t col_begin, int32_t col_end);
