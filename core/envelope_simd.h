// The vector paths of the lower-envelope transform (core/envelope.cpp chooses
// one and prepares its input): several lines at once, one per lane, all lanes
// inserting the same source index and evaluating the same position in step,
// each lane with the scalar transform's operations in the scalar transform's
// order.
#pragma once

#include <cstddef>
#include <cstdint>

// Every vector path transforms a multiple of this many lines at once.
constexpr int32_t kEnvelopeLanes = 8;

// `lanes` lines: 8 or 16 with AVX2, 8, 16 or 32 with AVX-512. Lane l's source element v is in[v * in_row + l] (0 <= v < line_len); its
// result at destination j goes to values[j * out_row + l] and
// args[j * out_row + l]. The destination positions are positions[j], in
// increasing order, and thresholds[j] is the smallest single-precision value
// not below positions[j]. Scratch: below (int32), below_bound (float) and
// below_f (double), line_len * lanes entries each.
//
// Requires 1 <= line_len <= 2^26 (squared indices are exact in double) and
// out_len >= 1. Returns a bit per lane (bit l for lane l) whose envelope came
// out with boundaries that do not strictly increase (a NaN or a boundary at
// or below the lower sentinel, from non-finite or extreme inputs): the
// results of those lanes are not valid, and the caller transforms those lines
// on the scalar path.
uint32_t lower_envelope_avx2(int32_t lanes, const double* in, std::ptrdiff_t in_row,
                             int32_t line_len, double quad_coef, double lin_coef,
                             const int32_t* positions, const float* thresholds, int32_t out_len,
                             double* values, int32_t* args, std::ptrdiff_t out_row,
                             int32_t* below, float* below_bound, double* below_f);

uint32_t lower_envelope_avx512(int32_t lanes, const double* in, std::ptrdiff_t in_row,
                               int32_t line_len, double quad_coef, double lin_coef,
                               const int32_t* positions, const float* thresholds,
                               int32_t out_len, double* values, int32_t* args,
                               std::ptrdiff_t out_row, int32_t* below, float* below_bound,
                               double* below_f);
