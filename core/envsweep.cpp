#include "core/envsweep.h"

#include <cstddef>
#include <cstdint>

#include "core/envelope.h"

bool sweep_positions_fit(const SweepGrid& grid) {
    return envelope_positions_fit(grid.col_first, grid.dims.cols, grid.pos_step) &&
           envelope_positions_fit(grid.row_first, grid.dims.rows, grid.pos_step);
}

void envsweep_strided(const ConstView& source, const SweepCost& cost, const SweepGrid& grid,
                      double* mid_map, int32_t* mid_row, const DoubleView& out_map,
                      const Int32View& best_col, const Int32View& best_row, KernelPath path) {
    if (grid.dims.rows <= 0 || grid.dims.cols <= 0 || source.rows <= 0 || source.cols <= 0)
        return;

    // The envelope gives the minimum of value + cost for a positive
    // coefficient; the negated cost turns that into the maximum of
    // value - cost.
    const double row_quad = -cost.row_quad;
    const double row_lin = -cost.row_lin;
    const double col_quad = -cost.col_quad;
    const double col_lin = -cost.col_lin;

    // mid (j, x) lies at j * mid_down + x * mid_across, in the source's order,
    // so that each pass reads or writes its lines side by side where the
    // source's are.
    const bool by_rows = source.col_step < source.row_step;
    const std::ptrdiff_t mid_down = by_rows ? source.cols : 1;
    const std::ptrdiff_t mid_across = by_rows ? 1 : grid.dims.rows;

    // Down every source column: mid (j, x) is the best over the rows of
    // column x for output row j.
    lower_envelope_lines(source.data, source.col_step, source.row_step, mid_map, mid_row,
                         mid_across, mid_down, source.cols, source.rows, row_quad, row_lin,
                         grid.row_first, grid.dims.rows, grid.pos_step, path);

    // Across every row of mid: best_col receives the 1-based source column,
    // and through the chain best_row the row the first pass chose in that
    // column, 1-based too. best_row lies as best_col does.
    const IndexChain rows_chosen{mid_row, best_row.data};
    lower_envelope_lines(mid_map, mid_down, mid_across, out_map.data, best_col.data,
                         out_map.row_step, out_map.col_step, grid.dims.rows, source.cols,
                         col_quad, col_lin, grid.col_first, grid.dims.cols, grid.pos_step, path,
                         &rows_chosen);
}

void envsweep_transform(const double* source, ImageDims source_dims,
                        const SweepCost& cost, const SweepGrid& grid,
                        double* mid_map, int32_t* mid_row,
                        double* out_map, int32_t* best_col, int32_t* best_row,
                        KernelPath path) {
    envsweep_strided(column_major_view(source, source_dims), cost, grid, mid_map, mid_row,
                     column_major_view(out_map, grid.dims), column_major_view(best_col, grid.dims),
                     column_major_view(best_row, grid.dims), path);
}
