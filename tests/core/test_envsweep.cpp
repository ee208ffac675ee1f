#include "core/envsweep.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

// The two passes and the composition must agree bit for bit with evaluating
// every source cell (smallest column, then smallest row among ties), for both
// signs of each coefficient, linear terms, steps and positions outside the map.
// Small integer values and coefficients keep every sum exact.
TEST(EnvsweepTransform, MatchesBruteForceOnRandomMaps) {
    std::mt19937 rng(2024);
    const double quads[] = {-1, -0.5, 0.5, 1, 2};
    const double lins[] = {-1, 0, 0, 0.5, 2};
    const double steps[] = {0, 0.5, 1, 1.5, 2};
    for (int trial = 0; trial < 400; ++trial) {
        const ImageDims src{1 + static_cast<int32_t>(rng() % 7), 1 + static_cast<int32_t>(rng() % 7)};
        std::vector<double> map(static_cast<size_t>(src.rows) * src.cols);
        for (double& value : map) value = static_cast<double>(rng() % 5);
        const SweepCost cost{quads[rng() % 5], lins[rng() % 5], quads[rng() % 5], lins[rng() % 5]};
        const SweepGrid grid{static_cast<int32_t>(rng() % 12) - 3, static_cast<int32_t>(rng() % 12) - 3,
                             {static_cast<int32_t>(rng() % 6), static_cast<int32_t>(rng() % 6)},
                             steps[rng() % 5]};
        const size_t cells = static_cast<size_t>(grid.dims.rows) * grid.dims.cols;
        std::vector<double> mid_map(static_cast<size_t>(grid.dims.rows) * src.cols);
        std::vector<int32_t> mid_row(mid_map.size());
        std::vector<double> out(cells);
        std::vector<int32_t> best_col(cells), best_row(cells);
        envsweep_transform(map.data(), src, cost, grid, mid_map.data(), mid_row.data(),
                           out.data(), best_col.data(), best_row.data());

        int32_t px = grid.col_first;
        for (int32_t i = 0; i < grid.dims.cols; ++i) {
            int32_t py = grid.row_first;
            for (int32_t j = 0; j < grid.dims.rows; ++j) {
                // Every source cell, nested so that each direction takes its
                // own extreme (a maximum where the coefficient is positive);
                // only a strictly better value replaces, so ties keep the
                // smallest column and, within it, the smallest row.
                double best = 0;
                int32_t col = -1, row = -1;
                for (int32_t x = 0; x < src.cols; ++x) {
                    double col_best = 0;
                    int32_t col_row = -1;
                    for (int32_t y = 0; y < src.rows; ++y) {
                        const double dy = py - y;
                        const double value = (-cost.row_quad * (dy * dy) + -cost.row_lin * dy) +
                                             map[y + static_cast<size_t>(x) * src.rows];
                        if (col_row < 0 || (cost.row_quad > 0 ? value > col_best : value < col_best)) {
                            col_best = value;
                            col_row = y;
                        }
                    }
                    const double dx = px - x;
                    const double value = (-cost.col_quad * (dx * dx) + -cost.col_lin * dx) + col_best;
                    if (col < 0 || (cost.col_quad > 0 ? value > best : value < best)) {
                        best = value;
                        col = x;
                        row = col_row;
                    }
                }
                const size_t cell = j + static_cast<size_t>(i) * grid.dims.rows;
                ASSERT_EQ(out[cell], best) << "trial " << trial;
                ASSERT_EQ(best_col[cell], col + 1) << "trial " << trial;
                ASSERT_EQ(best_row[cell], row + 1) << "trial " << trial;
                py = static_cast<int32_t>(py + grid.pos_step);
            }
            px = static_cast<int32_t>(px + grid.pos_step);
        }
    }
}
