// Every vector path of the lower-envelope transform and of the 2-D sweep
// against the scalar path, bit for bit.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/envelope.h"
#include "core/envsweep.h"
#include "kernel_paths.h"

namespace {

const double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();

struct Lines {
    std::vector<double> values;
    std::vector<int32_t> args;
};

// Transforms `lines` lines, given line after line (element v of line l at
// source[l * len + v]), laid out either as columns (contiguous elements, line
// after line) or as rows (lines adjacent, elements `lines + gap` apart, as a
// band of rows of a taller matrix), into arrays pre-filled with a marker, so
// that a stray write shows.
Lines transform(const std::vector<double>& source, bool as_rows, int32_t gap, int32_t lines,
                int32_t len, double quad, double lin, int32_t first, int32_t out_len,
                double step, KernelPath path) {
    const int32_t out_count = out_len > 0 ? out_len : 0;
    const int32_t longest = out_count > len ? out_count : len;
    const int32_t stride = lines + gap;
    const size_t size = static_cast<size_t>(stride) * longest + 3;
    Lines out{std::vector<double>(size, -77.0), std::vector<int32_t>(size, -77)};
    if (as_rows) {
        std::vector<double> rows(static_cast<size_t>(stride) * len, -55.0);
        for (int32_t l = 0; l < lines; ++l)
            for (int32_t v = 0; v < len; ++v) rows[v * stride + l] = source[l * len + v];
        lower_envelope_lines(rows.data(), 1, stride, out.values.data(), out.args.data(), 1, stride,
                             lines, len, quad, lin, first, out_len, step, path);
    } else {
        lower_envelope_lines(source.data(), len, 1, out.values.data(), out.args.data(), longest, 1,
                             lines, len, quad, lin, first, out_len, step, path);
    }
    return out;
}

// Every vector path gives the scalar path's indices, and its values up to NaN
// payloads; `what` names the case in a failure.
template <typename Run>
void expect_scalar_bits(const Run& run, const std::string& what) {
    const Lines want = run(KernelPath::Scalar);
    for (KernelPath path : vector_paths()) {
        const Lines got = run(path);
        ASSERT_EQ(first_difference(got.args, want.args), -1) << what << " " << path_name(path);
        ASSERT_EQ(first_difference_but_nan_payload(got.values, want.values), -1)
            << what << " " << path_name(path);
    }
}

}  // namespace

// Random lines of small integer values (so that ties and exact boundaries
// are common), every coefficient sign, fractional and zero steps, positions
// before, inside and beyond the lines, numbers of lines that leave a
// remainder after the vector width, both layouts (rows read and written in
// place, also as a band of a taller matrix).
TEST(EnvelopePaths, RandomLinesGiveScalarBits) {
    std::mt19937 rng(777);
    const double quads[] = {-2, -1, -0.25, -0.05, 0.05, 0.5, 1, 3};
    const double lins[] = {-2, -0.5, 0, 0, 0.1, 1};
    const double steps[] = {0, 0.5, 1, 1, 1.5, 2, 3.25};
    for (int trial = 0; trial < 400; ++trial) {
        const int32_t lines = 1 + static_cast<int32_t>(rng() % 40);
        const int32_t len = 1 + static_cast<int32_t>(rng() % 60);
        const int32_t spread = 1 + static_cast<int32_t>(rng() % 50);
        std::vector<double> source(static_cast<size_t>(lines) * len);
        for (double& v : source)
            v = trial % 3 == 0 ? std::uniform_real_distribution<double>(-100, 100)(rng)
                               : static_cast<double>(rng() % spread) - spread / 2;
        const double quad = quads[rng() % 8], lin = lins[rng() % 6], step = steps[rng() % 7];
        const int32_t first = static_cast<int32_t>(rng() % (len + 30)) - 15;
        const int32_t out_len = static_cast<int32_t>(rng() % 70);
        const bool as_rows = rng() % 2 == 0;
        const int32_t gap = static_cast<int32_t>(rng() % 3);
        auto run = [&](KernelPath path) {
            return transform(source, as_rows, gap, lines, len, quad, lin, first, out_len, step,
                             path);
        };
        ASSERT_NO_FATAL_FAILURE(expect_scalar_bits(run, "trial " + std::to_string(trial)));
    }
}

// Long lines of noise, where the lanes of a vector path disagree on how
// many pieces to remove and go on each on its own: values over a wide range
// or a few integers (ties), now and then huge ones that make boundaries
// overflow or come out NaN, some lines turning constant halfway; lanes that
// finish at different indices; both layouts.
TEST(EnvelopePaths, LongNoisyLinesGiveScalarBits) {
    std::mt19937 rng(4242);
    const double quads[] = {-0.05, 0.05, -1, 0.5, 1e300};
    const double steps[] = {1, 0.5, 2};
    for (int trial = 0; trial < 24; ++trial) {
        const int32_t lines = 8 + static_cast<int32_t>(rng() % 33);
        const int32_t len = 257 + static_cast<int32_t>(rng() % 400);
        const unsigned kind = trial % 4;  // wide, few integers, huge cells, constant half
        std::vector<double> source(static_cast<size_t>(lines) * len);
        for (int32_t l = 0; l < lines; ++l)
            for (int32_t v = 0; v < len; ++v) {
                double x = kind == 1 ? static_cast<double>(rng() % 6)
                                     : std::uniform_real_distribution<double>(0, 100)(rng);
                if (kind == 2 && v > 100 && rng() % 97 == 0) x = rng() % 2 ? 1e308 : -1e308;
                if (kind == 3 && l % 3 == 0 && v > len / 2) x = 7;
                source[static_cast<size_t>(l) * len + v] = x;
            }
        const double quad = quads[kind == 2 ? rng() % 5 : rng() % 4];
        const double lin = rng() % 2 ? 0.0 : 0.1;
        const double step = steps[rng() % 3];
        const int32_t first = static_cast<int32_t>(rng() % 11) - 5;
        const int32_t out_len = rng() % 3 == 0 ? 1 : len + static_cast<int32_t>(rng() % 20);
        const bool as_rows = trial % 2 == 0;
        auto run = [&](KernelPath path) {
            return transform(source, as_rows, 1, lines, len, quad, lin, first, out_len, step,
                             path);
        };
        ASSERT_NO_FATAL_FAILURE(expect_scalar_bits(run, "trial " + std::to_string(trial)));
    }
}

// Inputs outside the transform's range: non-finite values, zero and
// non-finite coefficients, boundaries far below the lower sentinel, positions
// at the ends of the 32-bit range, negative steps. The vector path hands
// such lines to the scalar path, also after writing them in place; every path
// must agree, in both layouts.
TEST(EnvelopePaths, OutOfRangeInputsGiveScalarBits) {
    const std::vector<std::vector<double>> specials = {
        {kInf, -kInf, 0, 1}, {kNaN, 0, kNaN, -kInf}, {0, 1e300, -1e300, 3}, {0, -1e30, 2, 5},
        {1, 2, 3, 4}};
    const int32_t top = std::numeric_limits<int32_t>::max();
    struct Setup { double quad, lin, step; int32_t first; } setups[] = {
        {1, 0, 1, -5}, {-1, 1, 1, 0}, {0, 1, 1, 0}, {kInf, 0, 1, 0}, {kNaN, 0, 1, 0},
        {1e-300, 0, 1, 0}, {1, 0, -1, 3}, {1, 0, 1e300, top - 1}, {1, 0, kNaN, 0}};
    for (const auto& pattern : specials)
        for (const Setup& setup : setups) {
            // Nine lines of four: line l is the pattern shifted by l.
            const int32_t lines = 9, len = 4;
            std::vector<double> source(static_cast<size_t>(lines) * len);
            for (int32_t l = 0; l < lines; ++l)
                for (int32_t v = 0; v < len; ++v) source[l * len + v] = pattern[(v + l) % len];
            for (bool as_rows : {false, true}) {
                auto run = [&](KernelPath path) {
                    return transform(source, as_rows, 1, lines, len, setup.quad, setup.lin,
                                     setup.first, 6, setup.step, path);
                };
                expect_scalar_bits(run, as_rows ? "rows" : "columns");
            }
        }
}

// The whole sweep, both passes and the index maps, on random maps and grids,
// with the source and the results in column order, in row order, as one
// channel of an interleaved matrix and as slices of larger ones.
TEST(EnvelopePaths, SweepGivesScalarBits) {
    std::mt19937 rng(31);
    for (int trial = 0; trial < 40; ++trial) {
        auto count = [&](int32_t n) { return 1 + static_cast<int32_t>(rng() % n); };
        const ImageDims dims{count(45), count(45)};
        std::vector<double> source(static_cast<size_t>(dims.rows) * dims.cols);
        for (double& v : source) v = static_cast<double>(rng() % 20);
        const SweepCost cost{0.05 * count(4), 0.1 * (rng() % 3), 0.05 * count(4), -0.1};
        const double step = (rng() % 4) * 0.5;
        const SweepGrid grid{count(10) - 6, count(10) - 6, {count(40), count(40)}, step};
        const size_t mid = static_cast<size_t>(grid.dims.rows) * dims.cols;
        const size_t cells = static_cast<size_t>(grid.dims.rows) * grid.dims.cols;
        // Each layout places the source and the results in buffers of their
        // own: element (r, c) at r * row_step + c * col_step, the inner step
        // `channels` (one channel of an interleaved matrix) and the outer one
        // `gap` beyond a whole row or column; the results are read back in
        // column order.
        struct Layout { bool by_rows; int32_t channels; int32_t gap; };
        auto run = [&](KernelPath path, Layout layout, std::vector<double>& map,
                       std::vector<int32_t>& col, std::vector<int32_t>& row) {
            auto place = [&](ImageDims d, auto* data) {
                const std::ptrdiff_t inner = layout.channels;
                const std::ptrdiff_t outer =
                    (layout.by_rows ? d.cols : d.rows) * inner + layout.gap;
                return layout.by_rows ? MatrixView<std::remove_pointer_t<decltype(data)>>{
                                            data, d.rows, d.cols, outer, inner}
                                      : MatrixView<std::remove_pointer_t<decltype(data)>>{
                                            data, d.rows, d.cols, inner, outer};
            };
            const size_t room = 3 * (static_cast<size_t>(45) + 7) * 45;
            std::vector<double> placed(room, kNaN), map_at(room, -77.0);
            std::vector<int32_t> col_at(room, -77), row_at(room, -77);
            const DoubleView in = place(dims, placed.data());
            for (int32_t x = 0; x < dims.cols; ++x)
                for (int32_t y = 0; y < dims.rows; ++y)
                    in.at(y, x) = source[y + static_cast<size_t>(x) * dims.rows];
            std::vector<double> mid_map(mid);
            std::vector<int32_t> mid_row(mid);
            const DoubleView out_map = place(grid.dims, map_at.data());
            const Int32View out_col = place(grid.dims, col_at.data());
            const Int32View out_row = place(grid.dims, row_at.data());
            envsweep_strided({in.data, in.rows, in.cols, in.row_step, in.col_step}, cost, grid,
                             mid_map.data(), mid_row.data(), out_map, out_col, out_row, path);
            map.assign(cells, 0);
            col.assign(cells, 0);
            row.assign(cells, 0);
            for (int32_t i = 0; i < grid.dims.cols; ++i)
                for (int32_t j = 0; j < grid.dims.rows; ++j) {
                    const size_t at = j + static_cast<size_t>(i) * grid.dims.rows;
                    map[at] = out_map.at(j, i);
                    col[at] = out_col.at(j, i);
                    row[at] = out_row.at(j, i);
                }
        };
        std::vector<double> map0, map1;
        std::vector<int32_t> col0, col1, row0, row1;
        const Layout column_major{false, 1, 0};
        run(KernelPath::Scalar, column_major, map0, col0, row0);
        std::vector<KernelPath> paths = vector_paths();
        paths.push_back(KernelPath::Scalar);
        for (KernelPath path : paths) {
            for (Layout layout : {column_major, Layout{true, 1, 0}, Layout{true, 3, 5},
                                  Layout{false, 1, 7}, Layout{false, 2, 0}}) {
                run(path, layout, map1, col1, row1);
                const auto where = [&] {
                    return "trial " + std::to_string(trial) + " rows " +
                           std::to_string(layout.by_rows) + " channels " +
                           std::to_string(layout.channels) + " gap " + std::to_string(layout.gap);
                };
                ASSERT_EQ(first_difference(map1, map0), -1) << where();
                ASSERT_EQ(first_difference(col1, col0), -1) << where();
                ASSERT_EQ(first_difference(row1, row0), -1) << where();
            }
        }
    }
}

namespace {

// A small integer, or now and then NaN, +Inf or -Inf; `numbers` false leaves
// only those three, so that lines without a finite cell are common too.
double cell(std::mt19937& rng, bool numbers) {
    const unsigned kind = rng() % 10;
    if (kind < 2 || (!numbers && kind < 6)) return kNaN;
    if (kind < 3 || (!numbers && kind < 8)) return kInf;
    if (kind < 4 || !numbers) return -kInf;
    return static_cast<double>(rng() % 9) - 4;
}

// The extreme over the cells that are not NaN of value + cost at a position
// (the maximum for quad < 0), the first of equal ones; NaN with 0 where every
// cell is NaN.
std::pair<double, int32_t> best_cell(const std::vector<double>& line, double quad, double lin,
                                     int64_t p) {
    double best = kNaN;
    int32_t best_v = 0;
    bool found = false;
    for (int32_t v = 0; v < static_cast<int32_t>(line.size()); ++v) {
        if (std::isnan(line[v])) continue;
        const double d = static_cast<double>(p - v);
        const double value = (quad * (d * d) + lin * d) + line[v];
        if (!found || (quad < 0 ? value > best : value < best)) {
            best = value;
            best_v = v;
            found = true;
        }
    }
    return {best, best_v};
}

}  // namespace

// NaN and infinite cells: a NaN is never chosen (a line of NaNs gives NaN
// from index 0), an infinity of the extreme's sign wins from its first cell,
// the other only where no finite cell is left. Every path, the scalar one too,
// must give what evaluating every cell gives, in both layouts, on lines of
// which only some hold such cells.
TEST(EnvelopePaths, NonFiniteCellsMatchEveryCellEvaluated) {
    std::mt19937 rng(2024);
    const double quads[] = {-2, -1, -0.5, 0.5, 1, 2};
    const double lins[] = {-1, 0, 0.5, 2};
    const double steps[] = {0, 0.5, 1, 1.5, 2};
    std::vector<KernelPath> paths = vector_paths();
    paths.push_back(KernelPath::Scalar);
    for (int trial = 0; trial < 300; ++trial) {
        const int32_t lines = 1 + static_cast<int32_t>(rng() % 40);
        const int32_t len = 1 + static_cast<int32_t>(rng() % 12);
        std::vector<double> source(static_cast<size_t>(lines) * len);
        for (int32_t l = 0; l < lines; ++l) {
            const unsigned kind = rng() % 4;  // plain, mixed, no finite cell
            for (int32_t v = 0; v < len; ++v)
                source[l * len + v] = kind == 0 ? static_cast<double>(rng() % 9) - 4
                                                : cell(rng, kind != 3);
        }
        const double quad = quads[rng() % 6], lin = lins[rng() % 4], step = steps[rng() % 5];
        const int32_t first = static_cast<int32_t>(rng() % (len + 8)) - 4;
        const int32_t out_len = 1 + static_cast<int32_t>(rng() % 16);
        const bool as_rows = rng() % 2 == 0;
        const int32_t stride = lines + 1;
        const int32_t longest = out_len > len ? out_len : len;
        for (KernelPath path : paths) {
            const Lines got =
                transform(source, as_rows, 1, lines, len, quad, lin, first, out_len, step, path);
            for (int32_t l = 0; l < lines; ++l) {
                const std::vector<double> line(source.begin() + l * len,
                                               source.begin() + (l + 1) * len);
                int32_t p = first;
                for (int32_t j = 0; j < out_len; ++j) {
                    const size_t at = as_rows ? static_cast<size_t>(j) * stride + l
                                              : static_cast<size_t>(l) * longest + j;
                    const auto want = best_cell(line, quad, lin, p);
                    ASSERT_EQ(got.args[at], want.second)
                        << "trial " << trial << " line " << l << " " << path_name(path);
                    ASSERT_EQ(first_difference_but_nan_payload({got.values[at]}, {want.first}),
                              -1)
                        << "trial " << trial << " line " << l << " " << path_name(path);
                    p = next_envelope_position(p, step);
                }
            }
        }
    }
}

// The sweep of a map with NaN and infinite cells is the best over all its
// cells that are not NaN, smallest column then smallest row among equals, and
// NaN at column 1, row 1 where every cell is NaN: each pass's rule per line
// composes, through the index chain, on every path.
TEST(EnvelopePaths, SweepLeavesOutNaNCells) {
    std::mt19937 rng(99);
    std::vector<KernelPath> paths = vector_paths();
    paths.push_back(KernelPath::Scalar);
    for (int trial = 0; trial < 150; ++trial) {
        const ImageDims dims{1 + static_cast<int32_t>(rng() % 10),
                             1 + static_cast<int32_t>(rng() % 20)};
        const size_t cells = static_cast<size_t>(dims.rows) * dims.cols;
        std::vector<double> source(cells);
        const unsigned kind = rng() % 5;  // mixed; no finite cell; every cell NaN
        for (double& v : source) v = kind == 4 ? kNaN : cell(rng, kind != 3);
        // Both directions the same: the maximum, or the minimum.
        const double sign = rng() % 2 == 0 ? 1 : -1;
        const SweepCost cost{sign * (1 + rng() % 2), sign * (rng() % 3) * 0.5,
                             sign * 0.5 * (1 + rng() % 2), -sign};
        const double step = (rng() % 4) * 0.5;
        const SweepGrid grid{static_cast<int32_t>(rng() % 6) - 2,
                             static_cast<int32_t>(rng() % 6) - 2,
                             {1 + static_cast<int32_t>(rng() % 20),
                              1 + static_cast<int32_t>(rng() % 12)},
                             step};
        const size_t outs = static_cast<size_t>(grid.dims.rows) * grid.dims.cols;
        for (KernelPath path : paths) {
            std::vector<double> mid_map(static_cast<size_t>(grid.dims.rows) * dims.cols);
            std::vector<int32_t> mid_row(mid_map.size());
            std::vector<double> out(outs);
            std::vector<int32_t> col(outs), row(outs);
            envsweep_transform(source.data(), dims, cost, grid, mid_map.data(), mid_row.data(),
                               out.data(), col.data(), row.data(), path);
            int32_t px = grid.col_first;
            for (int32_t i = 0; i < grid.dims.cols; ++i) {
                int32_t py = grid.row_first;
                for (int32_t j = 0; j < grid.dims.rows; ++j) {
                    double best = kNaN;
                    int32_t best_x = 0, best_y = 0;
                    bool found = false;
                    for (int32_t x = 0; x < dims.cols; ++x)
                        for (int32_t y = 0; y < dims.rows; ++y) {
                            const double f = source[y + static_cast<size_t>(x) * dims.rows];
                            if (std::isnan(f)) continue;
                            const double dy = py - y, dx = px - x;
                            const double value =
                                (-cost.col_quad * (dx * dx) + -cost.col_lin * dx) +
                                ((-cost.row_quad * (dy * dy) + -cost.row_lin * dy) + f);
                            if (!found || (sign > 0 ? value > best : value < best)) {
                                best = value;
                                best_x = x;
                                best_y = y;
                                found = true;
                            }
                        }
                    const size_t at = j + static_cast<size_t>(i) * grid.dims.rows;
                    ASSERT_EQ(first_difference_but_nan_payload({out[at]}, {best}), -1)
                        << "trial " << trial << " " << path_name(path);
                    ASSERT_EQ(col[at], best_x + 1) << "trial " << trial << " " << path_name(path);
                    ASSERT_EQ(row[at], best_y + 1) << "trial " << trial << " " << path_name(path);
                    py = next_envelope_position(py, step);
                }
                px = next_envelope_position(px, step);
            }
        }
    }
}
