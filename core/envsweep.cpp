#include "core/envsweep.h"

#include <cstddef>
#include <cstdint>

#include "core/envelope.h"

bool sweep_positions_fit(const SweepGrid& grid) {
    return envelope_positions_fit(grid.col_first, grid.dims.cols, grid.pos_step) &&
           envelope_positions_fit(grid.row_first, grid.dims.rows, grid.pos_step);
}

void envsweep_transform(const double* source, ImageDims source_dims,
                        const SweepCost& cost, const SweepGrid& grid,
                        double* mid_map, int32_t* mid_row,
                        double* out_map, int32_t* best_col, int32_t* best_row,
                        KernelPath path, MapOrder order) {
    if (grid.dims.rows <= 0 || grid.dims.cols <= 0 || source_dims.rows <= 0 ||
        source_dims.cols <= 0)
        return;

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

    // Across every row of mid: best_col receives the 1-based source column,
    // and through the chain best_row the row the first pass chose in that
    // column, 1-based too.
    const IndexChain rows_chosen{mid_row, best_row};
    lower_envelope_lines(mid_map, mid_down, out_map, best_col, out_down, grid.dims.rows,
                         mid_across, source_dims.cols, col_quad, col_lin, grid.col_first,
                         grid.dims.cols, grid.pos_step, path, &rows_chosen);
}
