// Which implementation of a kernel runs. Every kernel has a plain scalar path,
// which is the definition of its results, and may have vector paths that
// process several elements at once; each element keeps its own operation
// order, so every path gives the same bits. A kernel takes the path as its
// last argument, defaulting to the fastest one this processor runs; tests and
// benchmarks pass KernelPath::Scalar (or a particular vector path) to compare.
// Nothing is stored here: the processor is asked on every call (under GCC and
// Clang, through the runtime's record of it, taken once when it loads).
#pragma once

enum class KernelPath {
    Fastest,  // the best path this processor runs
    Scalar,   // one element at a time, as written in the kernel's contract
    SSE2,     // two doubles at a time (every x86-64 processor)
    AVX2,     // four doubles at a time, where the processor and system allow
    AVX512,   // eight doubles at a time, where the processor and system allow
    NEON,     // two doubles at a time (every 64-bit ARM processor)
};

// Whether this build and this processor can run `path` (Fastest and Scalar
// always can).
bool kernel_path_available(KernelPath path);

// The concrete path a kernel runs for `requested`: Fastest becomes the best
// available vector path (or Scalar), and a path that is not available falls
// back to the best available one below it. SSE2 and NEON, both two doubles
// wide, stand in for each other: each processor family has one of them.
KernelPath resolve_kernel_path(KernelPath requested);

// The path's name as it is written here ("Scalar", "AVX2", ...), for reports.
const char* kernel_path_name(KernelPath path);

// Whether a resolved path runs a kernel's AVX2 code: the AVX-512 path does for
// kernels that have no code of their own for AVX-512.
inline bool runs_avx2_code(KernelPath resolved) {
    return resolved == KernelPath::AVX2 || resolved == KernelPath::AVX512;
}
