// One-dimensional lower-envelope transform of a strided line, evaluated at
// shifted, possibly fractionally stepped integer positions.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/kernel_path.h"

// For every destination position p writes the extreme over the source indices
// v of f(v) + quad_coef * (p - v)^2 + lin_coef * (p - v) and the index that
// attains it: the minimum when quad_coef > 0, the maximum when quad_coef < 0.
//
// Source element v is line_in[v * elem_stride] (0 <= v < line_len); result j
// goes to line_out[j * elem_stride] and arg_out[j * elem_stride]
// (0 <= j < out_len); elem_stride >= 1. The first position is first_pos, each
// next one the previous one plus pos_step in double, truncated toward zero.
// Among exact ties the smallest source index is reported. Boundaries between
// parabolas are held in single precision, so one within half a single unit of
// an integer counts as that integer.
//
// NaN and infinite source values, where quad_coef is finite and not zero and
// lin_coef finite: a NaN element is never chosen, as if it were absent, and
// changes no other result. An infinity of the extreme's sign (+Inf for the
// maximum, -Inf for the minimum) is the result at every position, with the
// index of the first element that holds it; the infinity of the other sign
// loses to every finite value and is the result, from its first element, only
// where the line holds nothing else but NaN. Where every element is NaN, every
// result is element 0, NaN, with index 0. Lines whose values are all finite
// are transformed exactly as above, on every path.
//
// Takes O(line_len + out_len) time and its scratch from the heap; a failed
// allocation throws std::bad_alloc before anything is written. Any input is
// handled without reading or writing outside the three arrays:
// - line_len < 1: there is no source, nothing is written;
// - out_len <= 0: nothing is written;
// - every reported index lies in 0 .. line_len - 1, also with zero, infinite
//   or NaN coefficients (the values then are whatever the envelope built from
//   them gives);
// - squared index differences never overflow: they are formed exactly in a
//   wider type, which gives the same result as 32-bit integers wherever those
//   hold them;
// - positions whose sum leaves the 32-bit range stop at its ends and a NaN
//   step keeps the position (see envelope_positions_fit); decreasing positions
//   (pos_step < 0) do not find the extreme, since the envelope is read
//   forward only.
void lower_envelope_1d(const double* line_in, double* line_out, int32_t* arg_out,
                       int32_t elem_stride, int32_t line_len, double quad_coef,
                       double lin_coef, int32_t first_pos, int32_t out_len,
                       double pos_step);

// Two index maps chained: for each result, the element of `map` (laid out as
// the lines' source) at the source element the result chose, written into
// `out` (laid out as the results' indices). `base` is the number the chained
// indices count from: 1 for the host's indices, 0 for a caller that counts
// from zero.
struct IndexChain {
    const int32_t* map;
    int32_t* out;
    int32_t base = 1;
};

// Transforms `lines` lines as lower_envelope_1d does, all with the same
// length, coefficients and positions: line l's source element v is
// line_in[l * in_step + v * in_stride], and its result j goes to
// line_out[l * out_step + j * out_stride] and arg_out likewise. The steps are
// the lines' own (a matrix's rows or columns where it lies, any steps from
// 1); every line gets exactly what lower_envelope_1d gives it. The vector
// paths transform several lines at once, taking their scratch as one block
// of 32 * (24 * line_len + 12 * out_len) + 8 * out_len bytes from the heap
// once per call, with the same failure as lower_envelope_1d. The outputs
// must not overlap the input.
//
// With a chain, every reported index is written counted from chain->base
// (plus base), and chain->out receives, for each result, chain->map's element
// at the chosen source element plus base: chain->map is laid out as line_in
// and chain->out as arg_out. Each line's chain is made while its results are
// still at hand, in the same pass; neither array may overlap another.
void lower_envelope_lines(const double* line_in, std::ptrdiff_t in_step,
                          std::ptrdiff_t in_stride, double* line_out, int32_t* arg_out,
                          std::ptrdiff_t out_step, std::ptrdiff_t out_stride, int32_t lines,
                          int32_t line_len, double quad_coef, double lin_coef,
                          int32_t first_pos, int32_t out_len, double pos_step,
                          KernelPath path = KernelPath::Fastest,
                          const IndexChain* chain = nullptr);

// The position after p: p + pos_step in double, truncated toward zero. A sum
// outside the 32-bit signed range gives the nearer end of that range and a NaN
// sum gives p, so that the stepping is defined for every input.
int32_t next_envelope_position(int32_t p, double pos_step);

// True when the out_len positions first_pos, next_envelope_position(...), ...
// are all reached with sums inside the 32-bit signed range (a NaN sum is not),
// that is when lower_envelope_1d evaluates exactly the positions its stepping
// rule gives. Takes a few dozen steps whatever out_len is (the positions move
// in runs of equal steps, one run per binade of their sums).
bool envelope_positions_fit(int32_t first_pos, int32_t out_len, double pos_step);
