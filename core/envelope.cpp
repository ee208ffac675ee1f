#include "core/envelope.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

#include "core/envelope_simd.h"

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

// to[k * to_step] = from[k * from_step] for k < count. A function of its own,
// not inlined, so that the compiler keeps the caller's loop order: the
// callers choose it to run along memory on at least one side.
template <typename T>
[[gnu::noinline]] void copy_run(T* to, std::ptrdiff_t to_step, const T* from,
                                std::ptrdiff_t from_step, std::ptrdiff_t count) {
    for (std::ptrdiff_t k = 0; k < count; ++k) to[k * to_step] = from[k * from_step];
}

// Chains the results of `count` lines (see IndexChain): line l's result j is
// at arg[l * out_step + j * out_stride] (0-based, counted from `base` here)
// with its chained element plus base going to out at the same place, and line
// l's map element v at map[l * map_step + v * map_stride]. Walks along
// memory: across the lines first where they lie side by side.
void chain_lines(int32_t* arg, int32_t* out, std::ptrdiff_t out_step, std::ptrdiff_t out_stride,
                 const int32_t* map, std::ptrdiff_t map_step, std::ptrdiff_t map_stride,
                 std::ptrdiff_t count, int32_t out_len, int32_t base, KernelPath run) {
    // Results and map elements contiguous along each line: eight at a time,
    // the map's elements gathered.
    if (out_stride == 1 && map_stride == 1 &&
        (run == KernelPath::AVX2 || run == KernelPath::AVX512)) {
        for (std::ptrdiff_t l = 0; l < count; ++l)
            chain_run_avx2(arg + l * out_step, out + l * out_step, map + l * map_step, out_len,
                           base);
        return;
    }
    const auto chain = [&](std::ptrdiff_t l, std::ptrdiff_t j) {
        const std::ptrdiff_t at = l * out_step + j * out_stride;
        const int32_t v = arg[at];
        out[at] = map[l * map_step + v * map_stride] + base;
        arg[at] = v + base;
    };
    if (out_step == 1 && out_stride != 1) {
        for (std::ptrdiff_t j = 0; j < out_len; ++j)
            for (std::ptrdiff_t l = 0; l < count; ++l) chain(l, j);
    } else {
        for (std::ptrdiff_t l = 0; l < count; ++l)
            for (std::ptrdiff_t j = 0; j < out_len; ++j) chain(l, j);
    }
}

// Gives back the vector paths' scratch.
struct ScratchRelease {
    void operator()(void* block) const { ::operator delete(block); }
};

}  // namespace

int32_t next_envelope_position(int32_t p, double pos_step) {
    const double sum = static_cast<double>(p) + pos_step;
    if (std::isnan(sum)) return p;
    if (sum <= -2147483649.0) return std::numeric_limits<int32_t>::min();
    if (sum >= 2147483648.0) return std::numeric_limits<int32_t>::max();
    return static_cast<int32_t>(sum);  // truncates toward zero
}

namespace {

// Whether the sum p + pos_step, in double, lies inside the 32-bit signed range
// (a NaN sum does not).
bool sum_in_range(int64_t p, double pos_step) {
    const double sum = static_cast<double>(p) + pos_step;
    return sum > -2147483649.0 && sum < 2147483648.0;
}

// How many positions, from p on, moving by step (not 0) at a time, keep the
// exact sum position + pos_step in the interval that holds p's: [2^e, 2^(e+1))
// or (-2^(e+1), -2^e] for some e >= 0, or 1 when that sum lies strictly
// between -1 and 1. floor_step and ceil_step are pos_step's floor and ceiling.
// For a whole number q, q + pos_step >= n exactly when q >= n - floor_step,
// and q + pos_step <= -n exactly when q <= -n - ceil_step (n whole).
int64_t run_in_binade(int64_t p, int64_t step, int64_t floor_step, int64_t ceil_step) {
    int64_t low, high;
    if (p >= 1 - floor_step) {
        int64_t edge = 1;
        while (p >= 2 * edge - floor_step) edge *= 2;
        low = edge - floor_step;
        high = 2 * edge - floor_step - 1;
    } else if (p <= -1 - ceil_step) {
        int64_t edge = 1;
        while (p <= -2 * edge - ceil_step) edge *= 2;
        low = -2 * edge - ceil_step + 1;
        high = -edge - ceil_step;
    } else {
        return 1;
    }
    return step > 0 ? (high - p) / step + 1 : (p - low) / -step + 1;
}

}  // namespace

// Positions advance in runs of equal steps. While the exact sum p + pos_step
// stays in one binade of one sign (magnitude from 2^e up to 2^(e+1), e >= 0),
// p is a multiple of twice that binade's spacing, so the rounded sum is p plus
// pos_step rounded to that spacing (ties included), and truncation adds the
// same whole number to p at every step. The rounded sums of a run grow or
// shrink with p, so the range check at its first and last sum covers those
// between. Each binade is passed once (positions move one way), and sums beyond
// the range end the walk, so it takes a few dozen runs at most.
bool envelope_positions_fit(int32_t first_pos, int32_t out_len, double pos_step) {
    // One sum per step; there is no step after the last position.
    int64_t sums = int64_t{out_len} - 1;
    if (sums <= 0) return true;
    // A step this large, infinite or NaN leaves the range at the first sum.
    if (!(std::fabs(pos_step) < 8589934592.0)) return false;
    const int64_t floor_step = static_cast<int64_t>(std::floor(pos_step));
    const int64_t ceil_step = static_cast<int64_t>(std::ceil(pos_step));
    int64_t p = first_pos;
    while (sums > 0) {
        if (!sum_in_range(p, pos_step)) return false;
        const int64_t step = static_cast<int64_t>(static_cast<double>(p) + pos_step) - p;
        // A position that stays gives the same sum at every later step.
        if (step == 0) return true;
        const int64_t run = std::min(sums, run_in_binade(p, step, floor_step, ceil_step));
        const int64_t last = p + (run - 1) * step;
        if (!sum_in_range(last, pos_step)) return false;
        p = last + step;
        sums -= run;
    }
    return true;
}

namespace {

// The bits of a double's exponent field, its lowest bit, and the sign bit.
constexpr uint64_t kExponentBits = 0x7ff0000000000000;
constexpr uint64_t kExponentUnit = 0x0010000000000000;
constexpr uint64_t kSignBit = 0x8000000000000000;

// The exponent field of x plus one unit: it carries into the sign bit exactly
// when the field is all ones, that is when x is NaN or infinite. An OR of
// these over many values has the sign bit set when any of them is; integer
// operations only, so that the compiler turns the scans into vector code.
inline uint64_t nonfinite_carry(double x) {
    uint64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    return (bits & kExponentBits) + kExponentUnit;
}

// Whether the line_len elements line[v * stride] are all finite.
bool line_is_finite(const double* line, std::ptrdiff_t stride, int32_t line_len) {
    uint64_t carry = 0;
    for (int32_t v = 0; v < line_len; ++v) carry |= nonfinite_carry(line[v * stride]);
    return (carry & kSignBit) == 0;
}

// Rows of lines not yet at hand, fetched into the cache while a block is
// scanned: row v's `bytes` bytes from first + v * row (addresses formed as
// integers, since they may lie past an array; a prefetch never faults).
struct RowsAhead {
    uintptr_t first = 0;
    std::ptrdiff_t row = 0;
    std::ptrdiff_t bytes = 0;

    void fetch(int32_t v) const {
        const uintptr_t at = first + static_cast<uintptr_t>(v * row);
        for (std::ptrdiff_t b = 0; b < bytes; b += 64)
            __builtin_prefetch(reinterpret_cast<const void*>(at + static_cast<uintptr_t>(b)));
    }
};

// Bit l set for each of the `width` lines (a multiple of kEnvelopeLanes, at
// most 32) of a block that holds a NaN or an infinity; element v of line l is
// block[v * row + l]. One pass over the block, eight lines side by side; the
// lines are told apart only when the block holds such a value at all. Row v
// of `values` and `map` ahead is fetched as row v of the block is scanned.
uint32_t nonfinite_lines(const double* block, std::ptrdiff_t row, std::ptrdiff_t width,
                         int32_t line_len, const RowsAhead& values, const RowsAhead& map) {
    uint64_t carry[kEnvelopeLanes] = {};
    for (int32_t v = 0; v < line_len; ++v) {
        values.fetch(v);
        map.fetch(v);
        for (std::ptrdiff_t l = 0; l < width; l += kEnvelopeLanes)
            for (int32_t k = 0; k < kEnvelopeLanes; ++k)
                carry[k] |= nonfinite_carry(block[v * row + l + k]);
    }
    uint64_t any = 0;
    for (uint64_t c : carry) any |= c;
    if ((any & kSignBit) == 0) return 0;
    uint32_t lines = 0;
    for (std::ptrdiff_t l = 0; l < width; ++l)
        if (!line_is_finite(block + l, row, line_len)) lines |= uint32_t{1} << l;
    return lines;
}

// The envelope of one line as it is built: env_src (line_len entries) and
// env_bound (line_len + 1), reused from line to line of a call.
struct LineScratch {
    int32_t* env_src;
    float* env_bound;
};

// The heap memory of a LineScratch for lines of line_len >= 1 elements.
// new[] throws std::bad_alloc (or a type derived from it) also for counts
// whose byte size cannot be represented.
class OwnedLineScratch {
public:
    explicit OwnedLineScratch(int32_t line_len)
        : src_(new int32_t[static_cast<std::size_t>(line_len)]),
          bound_(new float[static_cast<std::size_t>(line_len) + 1]) {}
    LineScratch get() const { return {src_.get(), bound_.get()}; }

private:
    std::unique_ptr<int32_t[]> src_;
    std::unique_ptr<float[]> bound_;
};

// The transform of one line over the source indices `first` .. line_len - 1;
// with kFiniteOnly, over those whose source value is finite (the others are
// passed over as if absent; source index `first` must be finite). Source
// elements in_stride apart, results out_stride apart. Without kFiniteOnly and
// with stop_if_nonfinite, a line that holds a NaN or an infinity is found
// while the envelope is built, from the values the construction reads anyway;
// then nothing is written and the result is false.
template <bool kFiniteOnly>
bool envelope_over(const double* line_in, std::ptrdiff_t in_stride, double* line_out,
                   int32_t* arg_out, std::ptrdiff_t out_stride, int32_t line_len,
                   double quad_coef, double lin_coef, int32_t first_pos, int32_t out_len,
                   double pos_step, int32_t first, bool stop_if_nonfinite,
                   const LineScratch& scratch) {
    // Envelope: piece k covers positions from env_bound[k] to env_bound[k + 1]
    // and belongs to source index env_src[k]; pieces 0 .. last are in use.
    int32_t* const env_src = scratch.env_src;
    float* const env_bound = scratch.env_bound;
    int32_t last = 0;
    env_src[0] = first;
    env_bound[0] = kLowerSentinel;
    env_bound[1] = kUpperSentinel;

    // Construction: append every source index, first removing the pieces it
    // covers entirely (a boundary at or left of the piece's left end). Piece 0
    // stays: a boundary at or below the lower sentinel (zero, infinite or NaN
    // inputs) would otherwise carry the removal out of the array.
    uint64_t carry = nonfinite_carry(line_in[first * in_stride]);
    for (int32_t q = first + 1; q < line_len; ++q) {
        const uint64_t q_carry = nonfinite_carry(line_in[q * in_stride]);
        if (kFiniteOnly && (q_carry & kSignBit) != 0) continue;
        carry |= q_carry;
        float s = boundary(line_in, in_stride, q, env_src[last], quad_coef, lin_coef);
        while (last > 0 && s <= env_bound[last]) {
            --last;
            s = boundary(line_in, in_stride, q, env_src[last], quad_coef, lin_coef);
        }
        ++last;
        env_src[last] = q;
        env_bound[last] = s;
        env_bound[last + 1] = kUpperSentinel;
    }
    if (!kFiniteOnly && stop_if_nonfinite && (carry & kSignBit) != 0) return false;

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
        line_out[j * out_stride] = (quad_coef * (d * d) + lin_coef * d) + line_in[v * in_stride];
        arg_out[j * out_stride] = v;
        // The step after the last position is never needed, so never taken.
        if (j + 1 < out_len) p = next_envelope_position(p, pos_step);
    }
    return true;
}

// The transform of a line that holds a NaN or an infinity. A NaN is never
// chosen: the result is the extreme over the other source indices, as if the
// NaN cells were absent. An infinity that beats every value (+Inf for the
// maximum, quad_coef < 0; -Inf otherwise) gives itself at every position,
// from the first cell that holds it; the other infinity loses to every
// finite value, and gives itself, from its first cell, only where the line
// holds no finite value. A line of NaNs gives source element 0 at every
// position. Otherwise the envelope is built over the finite cells alone, with
// their own indices.
void envelope_nonfinite(const double* line_in, std::ptrdiff_t in_stride, double* line_out,
                        int32_t* arg_out, std::ptrdiff_t out_stride, int32_t line_len,
                        double quad_coef, double lin_coef, int32_t first_pos, int32_t out_len,
                        double pos_step, const LineScratch& scratch) {
    const double winner = quad_coef < 0 ? std::numeric_limits<double>::infinity()
                                        : -std::numeric_limits<double>::infinity();
    int32_t first_number = -1, first_finite = -1, first_winner = -1;
    for (int32_t v = 0; v < line_len; ++v) {
        const double f = line_in[v * in_stride];
        if (std::isnan(f)) continue;
        if (first_number < 0) first_number = v;
        if (first_finite < 0 && std::isfinite(f)) first_finite = v;
        if (f == winner) {
            first_winner = v;
            break;
        }
    }
    if (first_winner < 0 && first_finite >= 0) {
        envelope_over<true>(line_in, in_stride, line_out, arg_out, out_stride, line_len,
                            quad_coef, lin_coef, first_pos, out_len, pos_step, first_finite,
                            false, scratch);
        return;
    }
    const int32_t v = first_winner >= 0 ? first_winner : first_number >= 0 ? first_number : 0;
    const double value = line_in[v * in_stride];
    for (int32_t j = 0; j < out_len; ++j) {
        line_out[j * out_stride] = value;
        arg_out[j * out_stride] = v;
    }
}

// Whether the coefficients give each position one extreme to find: a
// quadratic one finite and not zero, a finite linear one. Lines that hold a
// NaN or an infinity follow envelope_nonfinite's rule only then; with other
// coefficients they are transformed as built, every index valid.
bool direction_defined(double quad_coef, double lin_coef) {
    return std::isfinite(quad_coef) && quad_coef != 0 && std::isfinite(lin_coef);
}

// lower_envelope_1d with the source elements in_stride apart and the results
// out_stride apart, line_len >= 1, building the envelope in `scratch`.
void envelope_line(const double* line_in, std::ptrdiff_t in_stride, double* line_out,
                   int32_t* arg_out, std::ptrdiff_t out_stride, int32_t line_len,
                   double quad_coef, double lin_coef, int32_t first_pos, int32_t out_len,
                   double pos_step, const LineScratch& scratch) {
    if (!envelope_over<false>(line_in, in_stride, line_out, arg_out, out_stride, line_len,
                              quad_coef, lin_coef, first_pos, out_len, pos_step, 0,
                              direction_defined(quad_coef, lin_coef), scratch))
        envelope_nonfinite(line_in, in_stride, line_out, arg_out, out_stride, line_len,
                           quad_coef, lin_coef, first_pos, out_len, pos_step, scratch);
}

}  // namespace

void lower_envelope_1d(const double* line_in, double* line_out, int32_t* arg_out,
                       int32_t elem_stride, int32_t line_len, double quad_coef,
                       double lin_coef, int32_t first_pos, int32_t out_len,
                       double pos_step) {
    if (line_len < 1) return;
    const OwnedLineScratch scratch(line_len);
    envelope_line(line_in, elem_stride, line_out, arg_out, elem_stride, line_len, quad_coef,
                  lin_coef, first_pos, out_len, pos_step, scratch.get());
}

void lower_envelope_lines(const double* line_in, std::ptrdiff_t in_step,
                          std::ptrdiff_t in_stride, double* line_out, int32_t* arg_out,
                          std::ptrdiff_t out_step, std::ptrdiff_t out_stride, int32_t lines,
                          int32_t line_len, double quad_coef, double lin_coef,
                          int32_t first_pos, int32_t out_len, double pos_step,
                          KernelPath path, const IndexChain* chain) {
    if (line_len < 1) return;
    // The scalar transform's envelope, one for every line it takes.
    const OwnedLineScratch line_scratch(line_len);
    int32_t done = 0;
    const KernelPath run = resolve_kernel_path(path);
    // Chains lines first .. first + count - 1, once their results are final.
    const auto chain_done = [&](std::ptrdiff_t first, std::ptrdiff_t count) {
        if (chain == nullptr || out_len <= 0 || line_len < 1) return;
        chain_lines(arg_out + first * out_step, chain->out + first * out_step, out_step,
                    out_stride, chain->map + first * in_step, in_step, in_stride, count,
                    out_len, chain->base, run);
    };
    // The vector paths transform 8, 16 or 32 lines at a time (SSE2, NEON: 8), from
    // blocks of up to 32 lines side by side (element v of line l at
    // v * row + l), so that they read and write whole vectors: adjacent lines
    // with strided elements are that already and are used in place, others are
    // copied into scratch and back, the copies running along memory whatever
    // the stride. They form squared indices in
    // double (exact up to 2^26), and evaluate from the last position back,
    // which needs positions that never decrease.
    const bool vectorisable = (run == KernelPath::AVX2 || run == KernelPath::AVX512 ||
                               run == KernelPath::SSE2 || run == KernelPath::NEON) &&
                              lines >= kEnvelopeLanes && line_len >= 1 &&
                              line_len <= (int32_t{1} << 26) && out_len >= 1 &&
                              pos_step >= 0 &&
                              envelope_positions_fit(first_pos, out_len, pos_step);
    if (vectorisable) {
        constexpr std::ptrdiff_t kBlock = 32;
        // All scratch in one allocation: the heap hands the same block back
        // from pass to pass and call to call, where separate arrays would be
        // fresh pages (slow to write) each time.
        const std::size_t line = static_cast<std::size_t>(line_len);
        const std::size_t outs = static_cast<std::size_t>(out_len);
        const uint64_t wide = (uint64_t{2} * line + outs) * kBlock;                 // 8 bytes
        const uint64_t narrow = (uint64_t{2} * line + outs) * kBlock + 2 * uint64_t{outs};  // 4 bytes
        const uint64_t bytes = 8 * wide + 4 * narrow;
        if (bytes > std::numeric_limits<std::size_t>::max()) throw std::bad_alloc();
        const std::unique_ptr<void, ScratchRelease> scratch(
            ::operator new(static_cast<std::size_t>(bytes)));
        double* const source = static_cast<double*>(scratch.get());
        double* const values = source + line * kBlock;
        double* const below_f = values + outs * kBlock;
        // The list entries: index and boundary in two arrays for SSE2 and
        // NEON; AVX2 and AVX-512 keep them side by side in 64-bit entries,
        // with the source values, in 16-byte records over below_f and
        // entries: line_len * kBlock records, as many as (line_len + 1) * 16
        // for the at most 16 lanes of AVX2.
        int64_t* const entries = reinterpret_cast<int64_t*>(below_f + line * kBlock);
        int64_t* const records = reinterpret_cast<int64_t*>(below_f);
        int32_t* const below = reinterpret_cast<int32_t*>(entries);
        float* const below_bound = reinterpret_cast<float*>(below + line * kBlock);
        int32_t* const args = reinterpret_cast<int32_t*>(entries + line * kBlock);
        int32_t* const positions = args + outs * kBlock;
        float* const thresholds = reinterpret_cast<float*>(positions + outs);
        // The positions, and for each the smallest single-precision value
        // not below it: a boundary b is at or above p exactly when it is at
        // or above that value.
        int32_t p = first_pos;
        for (int32_t j = 0; j < out_len; ++j) {
            positions[j] = p;
            float t = static_cast<float>(p);
            if (static_cast<double>(t) < static_cast<double>(p))
                t = std::nextafter(t, std::numeric_limits<float>::infinity());
            thresholds[j] = t;
            if (j + 1 < out_len) p = next_envelope_position(p, pos_step);
        }
        while (lines - done >= kEnvelopeLanes) {
            const std::ptrdiff_t width =
                std::min<std::ptrdiff_t>(kBlock, (lines - done) / kEnvelopeLanes * kEnvelopeLanes);
            const double* in = line_in + static_cast<std::ptrdiff_t>(done) * in_step;
            double* out = line_out + static_cast<std::ptrdiff_t>(done) * out_step;
            int32_t* arg = arg_out + static_cast<std::ptrdiff_t>(done) * out_step;
            // Adjacent lines whose elements lie apart are already side by
            // side, as in a block: element v of line l is at
            // in[v * in_stride + l]. They are read (written) where they are.
            // Other lines are copied into scratch (and back): along each line
            // when its elements are contiguous, else across the lines.
            const bool in_place = in_stride != 1 && in_step == 1;
            const bool out_in_place = out_stride != 1 && out_step == 1;
            const double* block = in_place ? in : source;
            const std::ptrdiff_t block_in_row = in_place ? in_stride : kBlock;
            double* block_values = out_in_place ? out : values;
            int32_t* block_args = out_in_place ? arg : args;
            const std::ptrdiff_t block_out_row = out_in_place ? out_stride : kBlock;
            // The AVX-512, AVX2 and SSE2 paths chain lines side by side
            // themselves, as they write their results.
            const bool chained_in_kernel =
                chain != nullptr && in_place && out_in_place &&
                (run == KernelPath::AVX512 || run == KernelPath::AVX2 ||
                 run == KernelPath::SSE2);
            const int32_t* chain_map =
                chained_in_kernel ? chain->map + static_cast<std::ptrdiff_t>(done) * in_step
                                  : nullptr;
            int32_t* chain_out =
                chained_in_kernel ? chain->out + static_cast<std::ptrdiff_t>(done) * out_step
                                  : nullptr;
            const int32_t chain_base = chained_in_kernel ? chain->base : 1;
            if (in_place) {
                // Nothing to copy.
            } else if (in_stride == 1 && run == KernelPath::AVX512) {
                lines_to_block_avx512(in, in_step, static_cast<int32_t>(width), line_len, source,
                                      kBlock);
            } else if (in_stride == 1 && run == KernelPath::AVX2) {
                lines_to_block_avx2(in, in_step, static_cast<int32_t>(width), line_len, source,
                                    kBlock);
            } else if (in_stride == 1 && run == KernelPath::SSE2) {
                lines_to_block_sse2(in, in_step, static_cast<int32_t>(width), line_len, source,
                                    kBlock);
            } else if (in_stride == 1) {
                for (std::ptrdiff_t l = 0; l < width; ++l)
                    copy_run(source + l, kBlock, in + l * in_step, 1, line_len);
            } else {
                for (std::ptrdiff_t v = 0; v < line_len; ++v)
                    copy_run(source + v * kBlock, 1, in + v * in_stride, in_step, width);
            }
            // Where the lines lie side by side where they are, the next
            // block's source (and chain map) rows lie just after this one's:
            // they are fetched while this block is scanned, so that its
            // transform finds them in the cache.
            RowsAhead values_ahead, map_ahead;
            const std::ptrdiff_t next_width =
                std::min<std::ptrdiff_t>(kBlock, (lines - done - width) / kEnvelopeLanes *
                                                     kEnvelopeLanes);
            if (in_place && next_width > 0) {
                values_ahead = {reinterpret_cast<uintptr_t>(in + width),
                                in_stride * static_cast<std::ptrdiff_t>(sizeof(double)),
                                next_width * static_cast<std::ptrdiff_t>(sizeof(double))};
                if (chained_in_kernel)
                    map_ahead = {reinterpret_cast<uintptr_t>(chain_map + width),
                                 in_stride * static_cast<std::ptrdiff_t>(sizeof(int32_t)),
                                 next_width * static_cast<std::ptrdiff_t>(sizeof(int32_t))};
            }
            // Lines that hold a NaN or an infinity go through the scalar
            // transform's rule for them (see envelope_line) instead of the
            // kernels' results.
            uint32_t irregular = direction_defined(quad_coef, lin_coef)
                                     ? nonfinite_lines(block, block_in_row, width, line_len,
                                                       values_ahead, map_ahead)
                                     : 0;
            // As many lanes at once as the block has lines left: more lanes
            // keep more independent work in flight.
            for (std::ptrdiff_t g = 0; g < width;) {
                const std::ptrdiff_t left = width - g;
                const int32_t lanes = run == KernelPath::AVX512 ? (left >= 32 ? 32 : left >= 16 ? 16 : 8)
                                      : run == KernelPath::AVX2 ? (left >= 16 ? 16 : 8)
                                                                : 8;
                if (run == KernelPath::AVX512) {
                    irregular |= lower_envelope_avx512(
                                     lanes, block + g, block_in_row, line_len, quad_coef,
                                     lin_coef, positions, thresholds, out_len, block_values + g,
                                     block_args + g, block_out_row, records,
                                     chained_in_kernel ? chain_map + g : nullptr,
                                     chained_in_kernel ? chain_out + g : nullptr, chain_base)
                                 << g;
                } else if (run == KernelPath::AVX2) {
                    irregular |= lower_envelope_avx2(
                                     lanes, block + g, block_in_row, line_len, quad_coef,
                                     lin_coef, positions, thresholds, out_len, block_values + g,
                                     block_args + g, block_out_row, records,
                                     chained_in_kernel ? chain_map + g : nullptr,
                                     chained_in_kernel ? chain_out + g : nullptr, chain_base)
                                 << g;
                } else if (run == KernelPath::SSE2) {
                    irregular |= lower_envelope_8_sse2(
                                     block + g, block_in_row, line_len, quad_coef, lin_coef,
                                     positions, thresholds, out_len, block_values + g,
                                     block_args + g, block_out_row, below, below_bound, below_f,
                                     chained_in_kernel ? chain_map + g : nullptr,
                                     chained_in_kernel ? chain_out + g : nullptr, chain_base)
                                 << g;
                } else {
                    irregular |= lower_envelope_8_neon(block + g, block_in_row, line_len,
                                                       quad_coef, lin_coef, positions,
                                                       thresholds, out_len, block_values + g,
                                                       block_args + g, block_out_row, below,
                                                       below_bound, below_f)
                                 << g;
                }
                g += lanes;
            }
            if (out_in_place) {
                // Written in place.
            } else if (out_stride == 1 && run == KernelPath::AVX512) {
                block_to_lines_avx512(values, args, kBlock, static_cast<int32_t>(width), out_len,
                                      out, arg, out_step);
            } else if (out_stride == 1 && run == KernelPath::AVX2) {
                block_to_lines_avx2(values, args, kBlock, static_cast<int32_t>(width), out_len,
                                    out, arg, out_step);
            } else if (out_stride == 1 && run == KernelPath::SSE2) {
                block_to_lines_sse2(values, args, kBlock, static_cast<int32_t>(width), out_len,
                                    out, arg, out_step);
            } else if (out_stride == 1) {
                for (std::ptrdiff_t l = 0; l < width; ++l) {
                    copy_run(out + l * out_step, 1, values + l, kBlock, out_len);
                    copy_run(arg + l * out_step, 1, args + l, kBlock, out_len);
                }
            } else {
                for (std::ptrdiff_t j = 0; j < out_len; ++j) {
                    copy_run(out + j * out_stride, out_step, values + j * kBlock, 1, width);
                    copy_run(arg + j * out_stride, out_step, args + j * kBlock, 1, width);
                }
            }
            for (std::ptrdiff_t l = 0; l < width; ++l)
                if (irregular & (uint32_t{1} << l)) {
                    envelope_line(in + l * in_step, in_stride, out + l * out_step,
                                  arg + l * out_step, out_stride, line_len, quad_coef, lin_coef,
                                  first_pos, out_len, pos_step, line_scratch.get());
                    if (chained_in_kernel) chain_done(done + l, 1);
                }
            if (!chained_in_kernel) chain_done(done, width);
            done += static_cast<int32_t>(width);
        }
    }
    for (int32_t l = done; l < lines; ++l) {
        const std::ptrdiff_t in_at = static_cast<std::ptrdiff_t>(l) * in_step;
        const std::ptrdiff_t out_at = static_cast<std::ptrdiff_t>(l) * out_step;
        envelope_line(line_in + in_at, in_stride, line_out + out_at, arg_out + out_at, out_stride,
                      line_len, quad_coef, lin_coef, first_pos, out_len, pos_step,
                      line_scratch.get());
    }
    chain_done(done, lines - done);
}
