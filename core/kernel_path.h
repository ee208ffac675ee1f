// Which implementation of a kernel runs. Every kernel has a plain scalar path,
// which is the definition of its results, and may have vector paths that
// process several elements at once; each element keeps its own operation
// order, so every path gives the same bits. A kernel takes the path as its
// last argument, defaulting to the fastest one this processor runs; tests and
// benchmarks pass KernelPath::Scalar (or a particular vector path) to compare.
// Nothing is stored here: the processor is asked on every call (under GCC and
// Clang, through the runtime's record of it, taken once when it loads).
//
// The environment variable BITEXACT_KERNEL_PATH caps the path a call asking
// for the fastest one gets: avx512, avx2, sse2, neon or scalar (in any case).
// Unset or empty, the best available path runs; a path the processor lacks
// gives the best one below it that it runs (as resolve_kernel_path falls
// back); a value that names no path is ignored. It is read on every such call
// (a lookup in the process's environment, tens of nanoseconds), so a change
// made while the process runs holds from the next call on. It never changes a
// result: every path gives the same bits.
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

// The path the variable BITEXACT_KERNEL_PATH names, as read now: Fastest
// where it is unset or empty or names no path. `known`, when given, is set to
// whether the value was empty, unset or a path's name.
KernelPath kernel_path_cap(bool* known = nullptr);

// The concrete path a call asking for the fastest one runs now, the variable
// taken into account: resolve_kernel_path(KernelPath::Fastest).
inline KernelPath kernel_path_in_force() { return resolve_kernel_path(KernelPath::Fastest); }

// The path's name as it is written here ("Scalar", "AVX2", ...), for reports.
const char* kernel_path_name(KernelPath path);

// Whether a resolved path runs a kernel's AVX2 code: the AVX-512 path does for
// kernels that have no code of their own for AVX-512.
inline bool runs_avx2_code(KernelPath resolved) {
    return resolved == KernelPath::AVX2 || resolved == KernelPath::AVX512;
}
