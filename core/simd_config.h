// Which vector instruction sets this build can use. SSE2 is part of every
// x86-64 processor (and of the 32-bit x86 builds, which are made with -msse2);
// the AVX2 code lives in its own files (core/*_avx2.cpp), compiled for AVX2
// alone and run only after the processor has been asked.
#pragma once

#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#define KERNELS_HAVE_SSE2 1
#else
#define KERNELS_HAVE_SSE2 0
#endif

#if KERNELS_HAVE_SSE2 && (defined(__x86_64__) || defined(__i386__) || defined(_M_X64) || defined(_M_IX86))
#define KERNELS_HAVE_AVX2 1
#else
#define KERNELS_HAVE_AVX2 0
#endif
