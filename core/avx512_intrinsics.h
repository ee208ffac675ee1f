// The AVX-512 intrinsics, for the files of AVX-512 paths (core/*_avx512.cpp),
// which include this only where KERNELS_HAVE_AVX512. GCC 12's headers leave
// the unused half of a widening or narrowing conversion uninitialised on
// purpose, and then warn about it in every file that uses one.
#pragma once

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif
#include <immintrin.h>
