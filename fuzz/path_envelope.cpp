// The lower-envelope transform on every path against the scalar path: many
// lines at once (lower_envelope_lines) laid out as columns or as interleaved
// rows, the whole two-pass sweep (envsweep_transform) with its index maps,
// and the check that the output positions stay in the 32-bit range
// (envelope_positions_fit) against a walk over every position. Coefficients
// of both signs, zero, tiny, huge and non-finite; lines of small whole
// numbers (ties) and of any values; positions before, inside and beyond the
// lines and at the ends of the 32-bit range; fractional, zero, negative and
// NaN steps.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "core/envelope.h"
#include "core/envsweep.h"
#include "path_harness.h"

using namespace pathfuzz;

namespace {

enum Slot { kSource, kValues, kArgs, kMidMap, kMidRow, kMap, kCol, kRow, kSourceRows };

constexpr double kValueMarker = -8.125e-7;  // shows an element left unwritten
constexpr int32_t kArgMarker = -77;

double quad_coefficient(Bytes& in) {
    static const double common[] = {-2, -1, -0.5, -0.25, -0.05, 0.05, 0.25, 0.5,
                                    1, 3, -1, 1, 0.125, -0.125, 1e-3, -1e-3};
    const uint8_t b = in.byte();
    return b < 200 ? common[b % 16] : in.value();
}

double lin_coefficient(Bytes& in) {
    static const double common[] = {0, 0, 0, 0.1, -0.1, 0.5, -0.5, 1, -1, 2, -2, 0.25};
    const uint8_t b = in.byte();
    return b < 192 ? common[b % 12] : in.value();
}

double step(Bytes& in) {
    static const double common[] = {1, 1, 1, 0, 0.5, 1.5, 2, 3.25, 0.25, 1.0 / 3.0, 4, 2.5};
    const uint8_t b = in.byte();
    return b < 200 ? common[b % 12] : in.value();
}

// A first position: near the lines mostly, sometimes at the ends of the
// 32-bit range or anywhere in it.
int32_t first_position(Bytes& in, int32_t len) {
    const int32_t top = std::numeric_limits<int32_t>::max();
    const int32_t bottom = std::numeric_limits<int32_t>::min();
    const uint8_t b = in.byte();
    if (b < 200) return in.in_range(-20, (len > 0 ? len : 0) + 20);
    if (b < 216) return top - in.in_range(0, 300);
    if (b < 232) return bottom + in.in_range(0, 300);
    return in.in_range(bottom, top);
}

// Line source values: small whole numbers (ties, exact boundaries) or any.
void fill_line_values(Bytes& in, double* values, size_t count) {
    if (in.byte() < 128) {
        const int32_t spread = in.in_range(1, 40);
        for (size_t k = 0; k < count; ++k)
            values[k] = static_cast<double>(in.in_range(0, spread - 1) - spread / 2);
    } else {
        fill_values(in, values, count);
    }
}

// Elements of a strided set of lines: the last one's index plus one.
size_t extent(int32_t lines, int32_t step, int32_t len, int32_t stride) {
    if (lines <= 0 || len <= 0) return 0;
    return static_cast<size_t>(lines - 1) * step + static_cast<size_t>(len - 1) * stride + 1;
}

std::string describe_lines(int32_t lines, int32_t in_step, int32_t out_step, int32_t stride,
                           int32_t len, double quad, double lin, int32_t first, int32_t out_len,
                           double pos_step, const double* source, size_t source_count) {
    char text[384];
    std::snprintf(text, sizeof text,
                  "lower_envelope_lines: lines %d, in_step %d, out_step %d, elem_stride %d, "
                  "line_len %d, quad_coef %.17g, lin_coef %.17g, first_pos %d, out_len %d, "
                  "pos_step %.17g\n",
                  lines, in_step, out_step, stride, len, quad, lin, first, out_len, pos_step);
    return text + describe_values("source", source, source_count);
}

void check_lines(Bytes& in) {
    // Mostly up to 40 lines of up to 40 elements; now and then more of each.
    const bool large = in.byte() >= 224;
    const int32_t lines = in.in_range(0, large ? 70 : 40);
    const int32_t len = in.byte() < 240 ? in.in_range(1, large ? 90 : 40) : in.in_range(-1, 0);
    const int32_t out_len =
        in.byte() < 240 ? in.in_range(1, large ? 100 : 40) : in.in_range(-2, 0);
    const int32_t outs = out_len > 0 ? out_len : 0;
    int32_t stride, in_step, out_step;
    if (in.byte() < 128) {
        // Lines one after the other (columns), elements 1 to 3 apart.
        stride = in.byte() < 192 ? 1 : in.in_range(2, 3);
        const int32_t span = len > 0 ? (len - 1) * stride + 1 : 0;
        in_step = in.byte() < 224 ? span + in.in_range(0, 3) : in.in_range(0, span + 3);
        out_step = (outs > 0 ? (outs - 1) * stride + 1 : 0) + in.in_range(0, 3);
    } else {
        // Lines interleaved (rows of a matrix): element v of line l at l + v * stride.
        stride = (lines > 0 ? lines : 1) + in.in_range(0, 3);
        in_step = in.byte() < 224 ? 1 : in.in_range(0, 2);
        out_step = 1;
    }
    const double quad = quad_coefficient(in);
    const double lin = lin_coefficient(in);
    const int32_t first = first_position(in, len);
    const double pos_step = step(in);
    const uint8_t placement = in.byte();

    const size_t source_count = extent(lines, in_step, len, stride);
    const size_t out_count = extent(lines, out_step, outs, stride);
    double* source = guarded_array<double>(kSource, source_count, placement & 1);
    fill_line_values(in, source, source_count);
    if (in.now_and_then()) seal(kSource);
    auto context = [&] {
        return describe_lines(lines, in_step, out_step, stride, len, quad, lin, first, out_len,
                              pos_step, source, source_count);
    };
    if (describing()) std::fprintf(stderr, "%s", context().c_str());

    struct Results { double* values; int32_t* args; };
    auto run = [&](KernelPath path) {
        Results r{guarded_array<double>(kValues, out_count, placement & 2),
                  guarded_array<int32_t>(kArgs, out_count, placement & 4)};
        for (size_t k = 0; k < out_count; ++k) {
            r.values[k] = kValueMarker;
            r.args[k] = kArgMarker;
        }
        lower_envelope_lines(source, in_step, stride, r.values, r.args, out_step, stride, lines,
                             len, quad, lin, first, out_len, pos_step, path);
        return r;
    };
    const Results scalar = run(KernelPath::Scalar);
    const std::vector<double> want_values(scalar.values, scalar.values + out_count);
    const std::vector<int32_t> want_args(scalar.args, scalar.args + out_count);
    for (KernelPath path : vector_paths()) {
        const Results got = run(path);
        long at = first_difference(got.args, want_args.data(), out_count);
        if (at >= 0)
            report("lower_envelope_lines", path, "arg_out", at, got.args[at], want_args[at],
                   context());
        at = first_difference(got.values, want_values.data(), out_count);
        if (at >= 0)
            report("lower_envelope_lines", path, "line_out", at, got.values[at],
                   want_values[at], context());
    }
}

void check_sweep(Bytes& in) {
    const ImageDims source_dims{in.in_range(0, 24), in.in_range(0, 24)};
    const SweepCost cost{-quad_coefficient(in), -lin_coefficient(in), -quad_coefficient(in),
                         -lin_coefficient(in)};
    SweepGrid grid;
    grid.col_first = first_position(in, source_dims.cols);
    grid.row_first = first_position(in, source_dims.rows);
    grid.dims = {in.in_range(0, 24), in.in_range(0, 24)};
    grid.pos_step = step(in);
    const uint8_t placement = in.byte();

    const size_t source_count = static_cast<size_t>(source_dims.rows) * source_dims.cols;
    const size_t mid_count = static_cast<size_t>(grid.dims.rows) * source_dims.cols;
    const size_t cells = static_cast<size_t>(grid.dims.rows) * grid.dims.cols;
    double* source = guarded_array<double>(kSource, source_count, placement & 1);
    fill_line_values(in, source, source_count);
    if (in.now_and_then()) seal(kSource);
    auto context = [&] {
        char text[384];
        std::snprintf(text, sizeof text,
                      "envsweep_transform: source %d x %d, col_quad %.17g, col_lin %.17g, "
                      "row_quad %.17g, row_lin %.17g, col_first %d, row_first %d, "
                      "output %d x %d, pos_step %.17g\n",
                      source_dims.rows, source_dims.cols, cost.col_quad, cost.col_lin,
                      cost.row_quad, cost.row_lin, grid.col_first, grid.row_first,
                      grid.dims.rows, grid.dims.cols, grid.pos_step);
        return text + describe_values("source", source, source_count);
    };
    if (describing()) std::fprintf(stderr, "%s", context().c_str());

    struct Results { double* mid_map; int32_t* mid_row; double* map; int32_t* col; int32_t* row; };
    // The same source in row order, for the runs in row order.
    double* source_rows = guarded_array<double>(kSourceRows, source_count, placement & 64);
    for (int32_t x = 0; x < source_dims.cols; ++x)
        for (int32_t y = 0; y < source_dims.rows; ++y)
            source_rows[static_cast<size_t>(y) * source_dims.cols + x] =
                source[y + static_cast<size_t>(x) * source_dims.rows];
    auto run = [&](KernelPath path, bool by_rows) {
        Results r{guarded_array<double>(kMidMap, mid_count, placement & 2),
                  guarded_array<int32_t>(kMidRow, mid_count, placement & 4),
                  guarded_array<double>(kMap, cells, placement & 8),
                  guarded_array<int32_t>(kCol, cells, placement & 16),
                  guarded_array<int32_t>(kRow, cells, placement & 32)};
        for (size_t k = 0; k < mid_count; ++k) {
            r.mid_map[k] = kValueMarker;
            r.mid_row[k] = kArgMarker;
        }
        for (size_t k = 0; k < cells; ++k) {
            r.map[k] = kValueMarker;
            r.col[k] = r.row[k] = kArgMarker;
        }
        if (!by_rows) {
            envsweep_transform(source, source_dims, cost, grid, r.mid_map, r.mid_row, r.map,
                               r.col, r.row, path);
            return r;
        }
        // Every matrix row after row: a column-major matrix's transpose.
        const auto rows = [](auto* data, ImageDims dims) {
            return column_major_view(data, {dims.cols, dims.rows}).transposed();
        };
        envsweep_strided(rows(static_cast<const double*>(source_rows), source_dims), cost, grid,
                         r.mid_map, r.mid_row, rows(r.map, grid.dims), rows(r.col, grid.dims),
                         rows(r.row, grid.dims), path);
        return r;
    };
    const Results scalar = run(KernelPath::Scalar, false);
    const std::vector<double> want_mid_map(scalar.mid_map, scalar.mid_map + mid_count);
    const std::vector<int32_t> want_mid_row(scalar.mid_row, scalar.mid_row + mid_count);
    const std::vector<double> want_map(scalar.map, scalar.map + cells);
    const std::vector<int32_t> want_col(scalar.col, scalar.col + cells);
    const std::vector<int32_t> want_row(scalar.row, scalar.row + cells);
    for (KernelPath path : vector_paths()) {
        const Results got = run(path, false);
        const struct { const char* name; const int32_t* got; const int32_t* want; size_t n; }
            indices[] = {{"mid_row", got.mid_row, want_mid_row.data(), mid_count},
                         {"best_col", got.col, want_col.data(), cells},
                         {"best_row", got.row, want_row.data(), cells}};
        for (const auto& a : indices) {
            const long at = first_difference(a.got, a.want, a.n);
            if (at >= 0) report("envsweep_transform", path, a.name, at, a.got[at], a.want[at],
                                context());
        }
        const struct { const char* name; const double* got; const double* want; size_t n; }
            values[] = {{"mid_map", got.mid_map, want_mid_map.data(), mid_count},
                        {"out_map", got.map, want_map.data(), cells}};
        for (const auto& a : values) {
            const long at = first_difference(a.got, a.want, a.n);
            if (at >= 0) report("envsweep_transform", path, a.name, at, a.got[at], a.want[at],
                                context());
        }
    }
    // Row order: every path gives the column-order results, each element
    // where row order puts it.
    std::vector<KernelPath> paths = vector_paths();
    paths.push_back(KernelPath::Scalar);
    for (KernelPath path : paths) {
        const Results got = run(path, true);
        for (int32_t i = 0; i < grid.dims.cols; ++i)
            for (int32_t j = 0; j < grid.dims.rows; ++j) {
                const size_t by_col = j + static_cast<size_t>(i) * grid.dims.rows;
                const long by_row = static_cast<long>(j) * grid.dims.cols + i;
                if (first_difference(got.map + by_row, want_map.data() + by_col, 1) == 0)
                    report("envsweep_transform, row order", path, "out_map", by_row,
                           got.map[by_row], want_map[by_col], context());
                if (got.col[by_row] != want_col[by_col])
                    report("envsweep_transform, row order", path, "best_col", by_row,
                           got.col[by_row], want_col[by_col], context());
                if (got.row[by_row] != want_row[by_col])
                    report("envsweep_transform, row order", path, "best_row", by_row,
                           got.row[by_row], want_row[by_col], context());
            }
    }
}

// Every position from first_pos on, one step at a time: each sum p + pos_step
// must truncate to a 32-bit integer.
bool positions_fit_by_walking(int32_t first_pos, int32_t out_len, double pos_step) {
    int32_t p = first_pos;
    for (int32_t j = 0; j + 1 < out_len; ++j) {
        const double sum = static_cast<double>(p) + pos_step;
        if (std::isnan(sum)) return false;
        const double whole = std::trunc(sum);
        if (whole < -2147483648.0 || whole > 2147483647.0) return false;
        p = static_cast<int32_t>(whole);
    }
    return true;
}

void check_range(Bytes& in) {
    // Up to 2^16 positions, so that the walk stays quick; starts near the
    // ends of the range, where the sums leave it.
    const int32_t out_len = in.byte() < 224 ? in.in_range(-1, 4096) : in.in_range(0, 65536);
    const int32_t first = first_position(in, 0);
    double pos_step;
    const uint8_t b = in.byte();
    if (b < 96) {
        pos_step = step(in);
    } else if (b < 192) {
        // About the step that reaches the end of the range in out_len steps.
        const double room = (b & 1 ? 2147483647.0 : -2147483648.0) - first;
        pos_step = room / (out_len > 1 ? out_len - 1 : 1) + in.position(4) - 1;
    } else {
        pos_step = in.value();
    }
    const bool fits = envelope_positions_fit(first, out_len, pos_step);
    if (describing())
        std::fprintf(stderr, "envelope_positions_fit(%d, %d, %.17g) = %d\n", first, out_len,
                     pos_step, fits);
    if (fits != positions_fit_by_walking(first, out_len, pos_step)) {
        std::fprintf(stderr,
                     "\nenvelope_positions_fit(%d, %d, %.17g) says %s, the walk over every "
                     "position says otherwise\n",
                     first, out_len, pos_step, fits ? "true" : "false");
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Bytes in(data, size);
    const uint8_t what = in.byte() % 8;
    if (what < 5) {
        check_lines(in);
    } else if (what < 7) {
        check_sweep(in);
    } else {
        check_range(in);
    }
    return 0;
}
