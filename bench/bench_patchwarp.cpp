// Times patchwarp on a large rotated and scaled patch and counts every heap
// allocation made while it runs: the kernel must make none, and the module,
// called through our own host, none beyond what creating its three results
// costs. Build the modules first (cmake), then from the repository root:
//   g++ -std=c++17 -O2 -ffp-contract=off -I. -Ihost/include -Ihost/standin
//       bench/bench_patchwarp.cpp core/*.cpp -Lbuild/host -lmx -lmex -ldl
//       -Wl,-rpath,$PWD/build/host -o build/bench_patchwarp
//   build/bench_patchwarp build/modules/patchwarp.mexa64
// (the first three lines are one command line).
#include "core/patchwarp.h"

#include <dlfcn.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "host.h"
#include "mex.h"

// Every heap block of the process, from any library, passes through these
// replacements of the C allocator (glibc's own functions do the work).
extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void __libc_free(void*);
}
namespace {
size_t allocations = 0;
}
extern "C" {
void* malloc(size_t n) noexcept { ++allocations; return __libc_malloc(n); }
void* calloc(size_t n, size_t size) noexcept { ++allocations; return __libc_calloc(n, size); }
void* realloc(void* p, size_t n) noexcept { ++allocations; return __libc_realloc(p, n); }
void free(void* p) noexcept { __libc_free(p); }
}

namespace {

template <typename F>
double best_ms(F run) {
    double best = 1e300;
    for (int repeat = 0; repeat < 5; ++repeat) {
        const auto start = std::chrono::steady_clock::now();
        run();
        const auto stop = std::chrono::steady_clock::now();
        best = std::min(best, std::chrono::duration<double, std::milli>(stop - start).count());
    }
    return best;
}

using Entry = void (*)(int, mxArray**, int, const mxArray**);

}  // namespace

int main(int argc, char** argv) {
    const ImageDims imageDims{1024, 1024};
    const ImageDims gridDims{768, 768};
    const size_t pixels = static_cast<size_t>(imageDims.rows) * imageDims.cols;
    const size_t cells = static_cast<size_t>(gridDims.rows) * gridDims.cols;
    std::vector<double> image(pixels), out(cells), X(cells), Y(cells);
    for (size_t k = 0; k < pixels; ++k) image[k] = static_cast<double>(k % 1009) / 7;
    // Rotated by 30 degrees, scaled by 1.5 about the image centre: part of
    // the patch lies off the image and is clamped.
    const double A[6] = {1.5 * std::cos(0.5236), 1.5 * std::sin(0.5236),
                         -1.5 * std::sin(0.5236), 1.5 * std::cos(0.5236), 511.5, 511.5};

    const size_t before = allocations;
    patchwarp(image.data(), &imageDims, &gridDims, A, out.data(), X.data(), Y.data());
    const size_t kernel_allocations = allocations - before;
    const double ms = best_ms([&] {
        patchwarp(image.data(), &imageDims, &gridDims, A, out.data(), X.data(), Y.data());
    });
    std::printf("kernel: %d x %d patch from a %d x %d image: %.1f ms (%.1f ns per cell), "
                "%zu heap allocations\n",
                gridDims.rows, gridDims.cols, imageDims.rows, imageDims.cols, ms,
                1e6 * ms / cells, kernel_allocations);
    if (kernel_allocations != 0) return 1;

    if (argc < 2) return 0;
    void* handle = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    Entry entry = handle ? reinterpret_cast<Entry>(dlsym(handle, "mexFunction")) : nullptr;
    if (entry == nullptr) {
        std::printf("cannot load %s\n", argv[1]);
        return 1;
    }
    mxArray* imageArray = mxCreateDoubleMatrix(imageDims.rows, imageDims.cols, mxREAL);
    std::copy(image.begin(), image.end(), mxGetPr(imageArray));
    mxArray* sizeTemplate = mxCreateDoubleMatrix(gridDims.rows, gridDims.cols, mxREAL);
    mxArray* coefficients = mxCreateDoubleMatrix(2, 3, mxREAL);
    std::copy(A, A + 6, mxGetPr(coefficients));
    const mxArray* prhs[3] = {imageArray, sizeTemplate, coefficients};

    // What creating three results of this size costs the host on its own.
    standin::begin_call();
    size_t start = allocations;
    for (int r = 0; r < 3; ++r) mxCreateDoubleMatrix(gridDims.rows, gridDims.cols, mxREAL);
    const size_t three_results = allocations - start;
    standin::end_call(nullptr, 0);

    bool clean = true;
    for (int nlhs : {0, 1, 2, 3}) {
        mxArray* plhs[3] = {nullptr, nullptr, nullptr};
        standin::begin_call();
        start = allocations;
        const auto t0 = std::chrono::steady_clock::now();
        entry(nlhs, plhs, 3, prhs);
        const auto t1 = std::chrono::steady_clock::now();
        const size_t module_allocations = allocations - start;
        const size_t calloc_blocks = standin::live_blocks();
        const int slots = nlhs > 1 ? nlhs : 1;
        const standin::CallLedger ledger = standin::end_call(plhs, slots);
        std::printf("module, %d results: %.1f ms, %zu heap allocations (three results alone: "
                    "%zu), %zu arrays created, %zu released by the host, %zu scratch blocks\n",
                    nlhs, std::chrono::duration<double, std::milli>(t1 - t0).count(),
                    module_allocations, three_results, ledger.arrays_created,
                    ledger.arrays_released, calloc_blocks);
        clean = clean && module_allocations == three_results && ledger.arrays_created == 3 &&
                calloc_blocks == 0;
        for (int s = 0; s < slots; ++s) standin::destroy_array(plhs[s]);
    }
    standin::destroy_array(imageArray);
    standin::destroy_array(sizeTemplate);
    standin::destroy_array(coefficients);
    dlclose(handle);
    return clean ? 0 : 1;
}
