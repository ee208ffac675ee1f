// The vector paths of the bilinear kernel (core/bilinear.cpp chooses among
// them). Each samples elements 0 .. done - 1 of the grid, where done is
// `count` rounded down to a multiple of its width, and returns done; the
// caller samples the rest one at a time. Every element gets exactly the bits
// of the scalar path: clamping as clamp_to_image, NaN for a pair with a NaN
// coordinate, and the row blends before the column blend, each product and sum
// rounded on its own.
// Requires rows >= 1, cols >= 1 and rows * cols <= 2^31 - 1 (element indices
// are formed in 32-bit integers). The AVX2 path does nothing (returns 0) on an
// image of one row.
#pragma once

#include <cstddef>
#include <cstdint>

std::ptrdiff_t sample_grid_avx2(const double* image, int32_t rows, int32_t cols,
                                const double* X, const double* Y, double* out,
                                std::ptrdiff_t count);
