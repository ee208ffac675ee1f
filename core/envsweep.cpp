#include "core/envsweep.h"

#include <cstddef>
#include <cstdint>

#include "core/envelope.h"
#include "core/envsweep_simd.h"

bool sweep_positions_fit(const SweepGrid& grid) {
    return envelope_positions_fit(grid.col_first, grid.dims.cols, grid.pos_step) &&
           envelope_positions_fit(grid.row_first, grid.dims.rows, grid.pos_step);
}

void envsweep_transform(const double* source, ImageDims source_dims,
                        const SweepCost& cost, const SweepGrid& grid,
                        double* mid_map, int32_t* mid_row,
                        double* out_map, int32_t* best_col, int32_t* best_row,
                        KernelPath path, MapOrder order) {
    const std::ptrdiff_t rows = source_dims.rows;
    const std::ptrdiff_t cols = source_dims.cols;
    const std::ptrdiff_t out_rows = grid.dims.rows;
    const std::ptrdiff_t out_cols = grid.dims.cols;
    if (out_rows <= 0 || out_cols <= 0 || rows <= 0 || cols <= 0) return;

    // The envelope gives the minimum of value + cost for a positive
    // coefficient; the negated cost turns that into the maximum of
    // value - cost.
    const double row_quad = -cost.row_quad;
    const double row_lin = -cost.row_lin;
    const double col_quad = -cost.col_quad;
    const double col_lin = -cost.col_lin;

    // Element (y, x) of each matrix lies at y * down + x * across. The
    // passes write with the stride they read with: mid's and the output's
    // along the transformed line equal the source's and mid's.
    const bool by_rows = order == MapOrder::Rows;
    const int32_t source_down = by_rows ? source_dims.cols : 1;
    const int32_t source_across = by_rows ? 1 : source_dims.rows;
    const int32_t mid_down = by_rows ? source_dims.cols : 1;
    const int32_t mid_across = by_rows ? 1 : grid.dims.rows;
    const int32_t out_down = by_rows ? grid.dims.cols : 1;

    // Down every source column: mid (j, x) is the best over the rows of
    // column x for output row j.
    lower_envelope_lines(source, source_across, mid_map, mid_row, mid_across, source_dims.cols,
                         source_down, source_dims.rows, row_quad, row_lin, grid.row_first,
                         grid.dims.rows, grid.pos_step, path);

    // Across every row of mid: best_col receives the 0-based source column.
    lower_envelope_lines(mid_map, mid_down, out_map, best_col, out_down, grid.dims.rows,
                         mid_across, source_dims.cols, col_quad, col_lin, grid.col_first,
                         grid.dims.cols, grid.pos_step, path);

    // The row of each result is the one the first pass chose in its column.
    if (by_rows) {
        // Each output row looks up the same row of mid_row, along memory.
        for (std::ptrdiff_t j = 0; j < out_rows; ++j) {
            const int32_t* chosen = mid_row + j * cols;
            int32_t* col = best_col + j * out_cols;
            int32_t* row = best_row + j * out_cols;
            for (std::ptrdiff_t i = 0; i < out_cols; ++i) {
                const int32_t x = col[i];
                row[i] = chosen[x] + 1;
                col[i] = x + 1;
            }
        }
        return;
    }
    // The vector path indexes the row map with 32-bit integers.
    if (resolve_kernel_path(path) == KernelPath::AVX512 && out_rows * cols <= INT32_MAX) {
        compose_indices_avx512(mid_row, grid.dims.rows, grid.dims.cols, best_col, best_row);
        return;
    }
    for (std::ptrdiff_t i = 0; i < out_cols; ++i) {
        for (std::ptrdiff_t j = 0; j < out_rows; ++j) {
            const std::ptrdiff_t cell = j + i * out_rows;
            const std::ptrdiff_t x = best_col[cell];
            best_row[cell] = mid_row[j + x * out_rows] + 1;
            best_col[cell] = static_cast<int32_t>(x + 1);
        }
    }
}
