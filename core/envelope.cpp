#include "core/envelope.h"

#include <cmath>
#include <cstddef>
#include <limits>
#include <memory>

namespace {

// Ends of the envelope: finite single-precision values, not infinities.
constexpr float kLowerSentinel = -1.0e20f;
constexpr float kUpperSentinel = 1.0e20f;

// Smallest magnitude that rounds to infinity in single precision
// (FLT_MAX plus half a unit in its last place).
constexpr double kSingleOverflow = 340282356779733661637539395458142568448.0;

// Rounds to single precision. Magnitudes beyond the single range become
// infinities of their sign, as IEEE rounding gives them; the language leaves
// that conversion undefined, so it is written out here.
float to_single(double x) {
    if (x >= kSingleOverflow) return std::numeric_limits<float>::infinity();
    if (x <= -kSingleOverflow) return -std::numeric_limits<float>::infinity();
    return static_cast<float>(x);
}

// Position at which the parabola of source index q takes over from that of
// v < q, rounded to single precision. q * q - v * v is formed exactly in 64
// bits, which equals the 32-bit value wherever that one exists.
float boundary(const double* line_in, std::ptrdiff_t stride, int32_t q, int32_t v,
               double quad_coef, double lin_coef) {
    const double f_q = line_in[q * stride];
    const double f_v = line_in[v * stride];
    const double diff = static_cast<double>(q - v);
    const double squares =
        static_cast<double>(int64_t{q} * q - int64_t{v} * v);
    const double numerator = ((f_q - f_v) - lin_coef * diff) + quad_coef * squares;
    const double denominator = diff * (quad_coef + quad_coef);
    return to_single(numerator / denominator);
}

}  // namespace

int32_t next_envelope_position(int32_t p, double pos_step) {
    const double sum = static_cast<double>(p) + pos_step;
    if (std::isnan(sum)) return p;
    if (sum <= -2147483649.0) return std::numeric_limits<int32_t>::min();
    if (sum >= 2147483648.0) return std::numeric_limits<int32_t>::max();
    return static_cast<int32_t>(sum);  // truncates toward zero
}

bool envelope_positions_fit(int32_t first_pos, int32_t out_len, double pos_step) {
    int32_t p = first_pos;
    for (int32_t j = 1; j < out_len; ++j) {
        const double sum = static_cast<double>(p) + pos_step;
        if (!(sum > -2147483649.0 && sum < 2147483648.0)) return false;
        p = static_cast<int32_t>(sum);
    }
    return true;
}

void lower_envelope_1d(const double* line_in, double* line_out, int32_t* arg_out,
                       int32_t elem_stride, int32_t line_len, double quad_coef,
                       double lin_coef, int32_t first_pos, int32_t out_len,
                       double pos_step) {
    if (line_len < 1) return;
    const std::ptrdiff_t stride = elem_stride;

    // Envelope: piece k covers positions from env_bound[k] to env_bound[k + 1]
    // and belongs to source index env_src[k]; pieces 0 .. last are in use.
    // new[] throws std::bad_alloc (or a type derived from it) also for counts
    // whose byte size cannot be represented.
    std::unique_ptr<int32_t[]> env_src(new int32_t[static_cast<std::size_t>(line_len)]);
    std::unique_ptr<float[]> env_bound(new float[static_cast<std::size_t>(line_len) + 1]);
    int32_t last = 0;
    env_src[0] = 0;
    env_bound[0] = kLowerSentinel;
    env_bound[1] = kUpperSentinel;

    // Construction: append every source index, first removing the pieces it
    // covers entirely (a boundary at or left of the piece's left end). Piece 0
    // stays: a boundary at or below the lower sentinel (zero, infinite or NaN
    // inputs) would otherwise carry the removal out of the array.
    for (int32_t q = 1; q < line_len; ++q) {
        float s = boundary(line_in, stride, q, env_src[last], quad_coef, lin_coef);
        while (last > 0 && s <= env_bound[last]) {
            --last;
            s = boundary(line_in, stride, q, env_src[last], quad_coef, lin_coef);
        }
        ++last;
        env_src[last] = q;
        env_bound[last] = s;
        env_bound[last + 1] = kUpperSentinel;
    }

    // Evaluation: positions never decrease, so the cursor only moves forward.
    // A position on a boundary takes the piece on its left. Boundary and
    // position are compared as doubles, exactly. The cursor stops at the last
    // piece at the latest, since no 32-bit position reaches the upper sentinel.
    int32_t k = 0;
    int32_t p = first_pos;
    for (int32_t j = 0; j < out_len; ++j) {
        while (static_cast<double>(env_bound[k + 1]) < static_cast<double>(p)) ++k;
        const int32_t v = env_src[k];
        // Exact in double; equals the 32-bit difference and square wherever
        // those exist.
        const double d = static_cast<double>(int64_t{p} - v);
        line_out[j * stride] = (quad_coef * (d * d) + lin_coef * d) + line_in[v * stride];
        arg_out[j * stride] = v;
        // The step after the last position is never needed, so never taken.
        if (j + 1 < out_len) p = next_envelope_position(p, pos_step);
    }
}
