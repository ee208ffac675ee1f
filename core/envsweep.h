// Shifted, strided two-dimensional distance transform of a score map with the
// maps of the source cells that attain each result.
#pragma once

#include <cstdint>

#include "core/image_dims.h"
#include "core/kernel_path.h"
#include "core/matrix_view.h"

// Deformation cost of moving from source cell (y, x) to output position
// (py, px): row_quad * (py - y)^2 + row_lin * (py - y)
//     + col_quad * (px - x)^2 + col_lin * (px - x).
struct SweepCost {
    double col_quad;
    double col_lin;
    double row_quad;
    double row_lin;
};

// Output grid in source coordinates: output column i sits at source column
// position px_i, px_0 = col_first (0-based) and each next one the previous one
// plus pos_step, truncated toward zero; rows likewise from row_first. dims is
// the output size {rows, cols}.
struct SweepGrid {
    int32_t col_first;
    int32_t row_first;
    ImageDims dims;
    double pos_step;
};

// True when every output position of the grid is reached without leaving the
// 32-bit signed range (see envelope_positions_fit), so that the transform
// evaluates exactly the positions the stepping rule gives.
bool sweep_positions_fit(const SweepGrid& grid);

// Writes, for every output cell (j, i), the best over all source cells (y, x)
// of source (y, x) minus the cost of moving to (py_j, px_i): the
// maximum where a quadratic coefficient is positive, the minimum where it is
// negative (each direction on its own). best_col and best_row receive the
// 1-based source column and row that attain it; among exact ties the smallest
// column, and within it the smallest row. NaN source cells are left out: the
// result is the best over the other cells (an infinity of the extreme's sign
// from its first cell), and NaN at column 1, row 1 where every cell is NaN;
// each pass applies lower_envelope_1d's rule for NaN and infinite values to
// its lines, which also covers infinities the first pass makes by overflow.
// The source and the three outputs (grid.dims, all three with the same steps)
// are views with any steps from 1, read and written where they lie; the
// layout changes where the numbers lie, never a bit of them.
//
// Works as two passes of lower_envelope_lines: down every source column into
// the scratch mid_map / mid_row (grid.dims.rows x source columns each, laid
// out as the source is: row after row when its columns lie closer than its
// rows, else column after column; element (j, x) holds the best value and
// 0-based row over column x for output row j), then across every row of
// mid_map, which looks each result's row up in mid_row as it chooses the
// column (an IndexChain). Takes O(cols * (rows + R) + R * (cols + C)) time
// for an R x C output.
//
// Requires a non-empty source whenever the output is non-empty; with an empty
// output nothing is done, and with an empty source nothing is written. Other
// inputs outside the transform's range (positions leaving the 32-bit range,
// negative pos_step, zero or non-finite coefficients) read and write nothing
// outside the arrays; see lower_envelope_1d. The scratch of the 1-D passes
// comes from the heap: std::bad_alloc propagates, possibly after some of the
// outputs were written.
void envsweep_strided(const ConstView& source, const SweepCost& cost, const SweepGrid& grid,
                      double* mid_map, int32_t* mid_row, const DoubleView& out_map,
                      const Int32View& best_col, const Int32View& best_row,
                      KernelPath path = KernelPath::Fastest);

// The two passes of envsweep_strided on their own, each over a range of its
// lines, for a caller that splits them: envsweep_down transforms source
// columns first .. end - 1 into mid_map / mid_row, envsweep_across output
// rows first .. end - 1 of mid into the three outputs. Each line gets exactly
// the bits envsweep_strided gives it; ranges of one pass may run at the same
// time (each takes its own scratch from the heap), and every range of the
// first pass must be finished before any of the second starts. The arguments
// are envsweep_strided's; nothing is done where it does nothing. index_base
// is the number best_col and best_row count from: 1 as envsweep_strided
// writes them, 0 for a caller that counts from zero (the same cells).
void envsweep_down(const ConstView& source, const SweepCost& cost, const SweepGrid& grid,
                   double* mid_map, int32_t* mid_row, int32_t first, int32_t end,
                   KernelPath path = KernelPath::Fastest);
void envsweep_across(const ConstView& source, const SweepCost& cost, const SweepGrid& grid,
                     const double* mid_map, const int32_t* mid_row, const DoubleView& out_map,
                     const Int32View& best_col, const Int32View& best_row, int32_t first,
                     int32_t end, int32_t index_base = 1,
                     KernelPath path = KernelPath::Fastest);

// envsweep_strided on a column-major source of source_dims and column-major
// outputs of grid.dims.
void envsweep_transform(const double* source, ImageDims source_dims,
                        const SweepCost& cost, const SweepGrid& grid,
                        double* mid_map, int32_t* mid_row,
                        double* out_map, int32_t* best_col, int32_t* best_row,
                        KernelPath path = KernelPath::Fastest);
