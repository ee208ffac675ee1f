// Which vector instruction sets this build can use. SSE2 is part of every
// x86-64 processor (and of the 32-bit x86 builds, which are made with -msse2);
// NEON (Advanced SIMD, with its double-precision lanes) of every 64-bit ARM
// processor, so its code (core/*_neon.cpp) needs no question to the processor.
// The AVX2 code lives in files of its own (core/*_avx2.cpp), whose functions
// alone are compiled for AVX2 (AVX2_FUNCTION), and runs only after the
// processor has been asked.
#pragma once

#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#define KERNELS_HAVE_SSE2 1
#else
#define KERNELS_HAVE_SSE2 0
#endif

// MinGW's GCC assumes 32-byte stack alignment for AVX spills that Windows
// does not give; its AVX2 code is built only where the assembler is told to
// make every vector move unaligned (CMake does so and defines
// KERNELS_UNALIGNED_VECTOR_MOVES).
#if KERNELS_HAVE_SSE2 &&                                                            \
    (defined(__x86_64__) || defined(__i386__) || defined(_M_X64) || defined(_M_IX86)) && \
    !(defined(__MINGW32__) && !defined(__clang__) && !defined(KERNELS_UNALIGNED_VECTOR_MOVES))
#define KERNELS_HAVE_AVX2 1
#else
#define KERNELS_HAVE_AVX2 0
#endif

// Marks a function compiled for AVX2. GCC and Clang take the instruction set
// per function; Microsoft's compiler accepts the AVX2 intrinsics anywhere.
#if defined(__GNUC__) || defined(__clang__)
#define AVX2_FUNCTION __attribute__((target("avx2")))
#else
#define AVX2_FUNCTION
#endif

// AVX-512 (F, DQ, VL) code lives in files of its own too (core/*_avx512.cpp),
// built where AVX2 code is on x86-64 (it moves 64-bit lanes to integer
// registers), its functions alone compiled for AVX-512 (AVX512_FUNCTION).
// CMake builds those files without GCC's SLP and loop vectorisers, which
// GCC 12 gets wrong with AVX-512 enabled; their vector code is written out in
// intrinsics.
#if KERNELS_HAVE_AVX2 && (defined(__x86_64__) || defined(_M_X64))
#define KERNELS_HAVE_AVX512 1
#else
#define KERNELS_HAVE_AVX512 0
#endif

#if defined(__GNUC__) || defined(__clang__)
#define AVX512_FUNCTION __attribute__((target("avx2,avx512f,avx512dq,avx512vl")))
#else
#define AVX512_FUNCTION
#endif

// NEON (Advanced SIMD) is part of every 64-bit ARM processor.
#if defined(__aarch64__) || defined(_M_ARM64)
#define KERNELS_HAVE_NEON 1
#else
#define KERNELS_HAVE_NEON 0
#endif
