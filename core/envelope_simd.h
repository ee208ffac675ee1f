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

// `lanes` lines: 8 or 16 with AVX2, 8, 16 or 32 with AVX-512. Lane l's source
// element v is in[v * in_row + l] (0 <= v < line_len); its result at
// destination j goes to values[j * out_row + l] and
// args[j * out_row + l]. The destination positions are positions[j], in
// increasing order, and thresholds[j] is the smallest single-precision value
// not below positions[j]. Scratch: `records`, (line_len + 1) * lanes records
// of two 64-bit halves, the first a source index in its low 32 bits and a
// boundary's bits in its high 32 bits, the second a source value's bits.
//
// Requires 1 <= line_len <= 2^26 (squared indices are exact in double) and
// out_len >= 1. Returns a bit per lane (bit l for lane l) whose envelope came
// out with boundaries that do not strictly increase (a NaN or a boundary at
// or below the lower sentinel, from non-finite or extreme inputs): the
// results of those lanes are not valid, and the caller transforms those lines
// on the scalar path.
//
// With chain_map (laid out as `in`), it also chains the index maps as
// lower_envelope_lines does: args receive each chosen index plus chain_base
// and chain_out (laid out as args) chain_map's element there plus chain_base.
uint32_t lower_envelope_avx2(int32_t lanes, const double* in, std::ptrdiff_t in_row,
                             int32_t line_len, double quad_coef, double lin_coef,
                             const int32_t* positions, const float* thresholds, int32_t out_len,
                             double* values, int32_t* args, std::ptrdiff_t out_row,
                             int64_t* records, const int32_t* chain_map = nullptr,
                             int32_t* chain_out = nullptr, int32_t chain_base = 1);

// The AVX-512 path: 8, 16 or 32 lines, with the AVX2 path's arguments,
// records, requirements and result; it chains as the AVX2 path does.
uint32_t lower_envelope_avx512(int32_t lanes, const double* in, std::ptrdiff_t in_row,
                               int32_t line_len, double quad_coef, double lin_coef,
                               const int32_t* positions, const float* thresholds,
                               int32_t out_len, double* values, int32_t* args,
                               std::ptrdiff_t out_row, int64_t* records,
                               const int32_t* chain_map, int32_t* chain_out,
                               int32_t chain_base);

// The copies of a block of `width` (a multiple of 8) contiguous lines of
// length len into scratch and back, transposed in 8 x 8 tiles with AVX-512
// (4 x 4 with AVX2):
// block[v * block_row + l] = in[l * in_step + v], and
// out[l * out_step + j] = values[j * block_row + l] (arg likewise from args).
void lines_to_block_avx512(const double* in, std::ptrdiff_t in_step, int32_t width,
                           int32_t len, double* block, std::ptrdiff_t block_row);
void block_to_lines_avx512(const double* values, const int32_t* args, std::ptrdiff_t block_row,
                           int32_t width, int32_t len, double* out, int32_t* arg,
                           std::ptrdiff_t out_step);
void lines_to_block_avx2(const double* in, std::ptrdiff_t in_step, int32_t width, int32_t len,
                         double* block, std::ptrdiff_t block_row);
void block_to_lines_avx2(const double* values, const int32_t* args, std::ptrdiff_t block_row,
                         int32_t width, int32_t len, double* out, int32_t* arg,
                         std::ptrdiff_t out_step);

// The NEON path: eight lines at once, with the AVX2 path's arguments (lanes
// fixed at 8), requirements and result.
uint32_t lower_envelope_8_neon(const double* in, std::ptrdiff_t in_row, int32_t line_len,
                               double quad_coef, double lin_coef, const int32_t* positions,
                               const float* thresholds, int32_t out_len, double* values,
                               int32_t* args, std::ptrdiff_t out_row, int32_t* below,
                               float* below_bound, double* below_f);

// The SSE2 path: eight lines at once, with the AVX2 path's arguments (lanes
// fixed at 8), requirements and result; it chains as the AVX2 path does.
uint32_t lower_envelope_8_sse2(const double* in, std::ptrdiff_t in_row, int32_t line_len,
                               double quad_coef, double lin_coef, const int32_t* positions,
                               const float* thresholds, int32_t out_len, double* values,
                               int32_t* args, std::ptrdiff_t out_row, int32_t* below,
                               float* below_bound, double* below_f,
                               const int32_t* chain_map = nullptr, int32_t* chain_out = nullptr,
                               int32_t chain_base = 1);

// The block copies above with SSE2, in 2 x 2 transposes, eight lines at a
// time.
void lines_to_block_sse2(const double* in, std::ptrdiff_t in_step, int32_t width, int32_t len,
                         double* block, std::ptrdiff_t block_row);
void block_to_lines_sse2(const double* values, const int32_t* args, std::ptrdiff_t block_row,
                         int32_t width, int32_t len, double* out, int32_t* arg,
                         std::ptrdiff_t out_step);

// One line's chain with AVX2, its results contiguous: arg[j] (counted from 0)
// becomes arg[j] + base and out[j] receives map[arg[j]] + base, j < count;
// every arg[j] indexes map.
void chain_run_avx2(int32_t* arg, int32_t* out, const int32_t* map, std::ptrdiff_t count,
                    int32_t base);
