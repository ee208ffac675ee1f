// The vector path of envsweep's last step (core/envsweep.cpp chooses it).
#pragma once

#include <cstddef>
#include <cstdint>

// For every output cell (j, i) of an out_rows x out_cols grid, with x its
// 0-based source column in best_col: best_row = mid_row[j + x * out_rows] + 1
// and best_col = x + 1, eight cells at a time with AVX-512. Requires every x
// to be a column of mid_row and out_rows * (largest x + 1) <= 2^31 - 1.
void compose_indices_avx512(const int32_t* mid_row, int32_t out_rows, int32_t out_cols,
                            int32_t* best_col, int32_t* best_row);
