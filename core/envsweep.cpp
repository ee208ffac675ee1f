#include "core/envsweep.h"

#include <cstddef>
#include <cstdint>

#include "core/envelope.h"

bool sweep_positions_fit(const SweepGrid& grid) {
    return envelope_positions_fit(grid.col_first, grid.dims.cols, grid.pos_step) &&
           envelope_positions_fit(grid.row_first, grid.dims.rows, grid.pos_step);
}

namespace {

// mid (j, x) lies at j * down + x * across, in the source's order, so that
// each pass reads or writes its lines side by side where the source's are.
struct MidLayout {
    std::ptrdiff_t down;
    std::ptrdiff_t across;
};

MidLayout mid_layout(const ConstView& source, const SweepGrid& grid) {
    const bool by_rows = source.col_step < source.row_step;
    return by_rows ? MidLayout{source.cols, 1} : MidLayout{1, grid.dims.rows};
}

bool sweeps(const ConstView& source, const SweepGrid& grid) {
    return grid.dims.rows > 0 && grid.dims.cols > 0 && source.rows > 0 && source.cols > 0;
}

}  // namespace

void envsweep_down(const ConstView& source, const SweepCost& cost, const SweepGrid& grid,
                   double* mid_map, int32_t* mid_row, int32_t first, int32_t end,
                   KernelPath path) {
    if (!sweeps(source, grid) || first >= end) return;
    const MidLayout mid = mid_layout(source, grid);
    // The envelope gives the minimum of value + cost for a positive
    // coefficient; the negated cost turns that into the maximum of
    // value - cost.
    // Down source columns first .. end - 1: mid (j, x) is the best over the
    // rows of column x for output row j.
    lower_envelope_lines(source.data + first * source.col_step, source.col_step,
                         source.row_step, mid_map + first * mid.across,
                         mid_row + first * mid.across, mid.across, mid.down, end - first,
                         source.rows, -cost.row_quad, -cost.row_lin, grid.row_first,
                         grid.dims.rows, grid.pos_step, path);
}

void envsweep_across(const ConstView& source, const SweepCost& cost, const SweepGrid& grid,
                     const double* mid_map, const int32_t* mid_row, const DoubleView& out_map,
                     const Int32View& best_col, const Int32View& best_row, int32_t first,
                     int32_t end, int32_t index_base, KernelPath path) {
    if (!sweeps(source, grid) || first >= end) return;
    const MidLayout mid = mid_layout(source, grid);
    // Across rows first .. end - 1 of mid: best_col receives the source
    // column, and through the chain best_row the row the first pass chose in
    // that column, both counted from index_base. best_row lies as best_col
    // does.
    const std::ptrdiff_t out_first = first * out_map.row_step;
    const IndexChain rows_chosen{mid_row + first * mid.down, best_row.data + out_first,
                                 index_base};
    lower_envelope_lines(mid_map + first * mid.down, mid.down, mid.across,
                         out_map.data + out_first, best_col.data + out_first,
                         out_map.row_step, out_map.col_step, end - first, source.cols,
                         -cost.col_quad, -cost.col_lin, grid.col_first, grid.dims.cols,
                         grid.pos_step, path, &rows_chosen);
}

void envsweep_strided(const ConstView& source, const SweepCost& cost, const SweepGrid& grid,
                      double* mid_map, int32_t* mid_row, const DoubleView& out_map,
                      const Int32View& best_col, const Int32View& best_row, KernelPath path) {
    envsweep_down(source, cost, grid, mid_map, mid_row, 0, source.cols, path);
    envsweep_across(source, cost, grid, mid_map, mid_row, out_map, best_col, best_row, 0,
                    grid.dims.rows, 1, path);
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
