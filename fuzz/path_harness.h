// Shared by the differential fuzz targets of the kernels (fuzz/path_*.cpp):
// each runs one kernel on every path this processor has and requires the
// bits of the scalar path. Here: reading sizes, values and parameters from
// the fuzzer's bytes, arrays placed against inaccessible pages, the list of
// paths, and the comparison.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/image_dims.h"
#include "core/kernel_path.h"

namespace pathfuzz {

// Reads the fuzzer's bytes from the front; past their end it gives a fixed
// sequence derived from them, so that any input decodes to some call and a
// large call still gets varied values.
class Bytes {
public:
    Bytes(const uint8_t* data, size_t size);
    uint8_t byte();
    // A whole number in [low, high], from one byte (or four where the range is
    // wider than 256).
    int32_t in_range(int32_t low, int32_t high);
    // A double: mostly from a table of the values kernels meet at their
    // edges (signed zeros, NaNs with payloads, infinities, subnormals, the
    // largest finite values, small whole and half-whole numbers), sometimes
    // eight raw bytes.
    double value();
    // A position along an axis of `length` elements: whole, half-whole and
    // quarter positions inside and just outside, the last one and the double
    // after it, and now and then any value().
    double position(int32_t length);
    // True for one input in 128 or so, chosen by a hash of all its bytes (so
    // that the fuzzer does not steer towards it): for checks too slow for
    // every input.
    bool now_and_then() const { return hash_ % 128 == 0; }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
    uint64_t hash_;
    uint64_t tail_ = 0;
};

// Fills values[0 .. count - 1]: up to 64 of the first read one by one, the
// rest cycling through a list of up to 16 read from the bytes.
void fill_values(Bytes& in, double* values, size_t count);

// Memory for one array of `count` elements of `size` bytes, placed against an
// inaccessible page: its last element ends where that page begins, or (with
// `at_start`) its first element starts where one ends. A read or write past
// that end stops the run with SIGSEGV. The mapping is kept per slot and grown
// when needed, so that most calls make no system call.
void* guarded(int slot, size_t count, size_t size, bool at_start);

template <typename T>
T* guarded_array(int slot, size_t count, bool at_start) {
    return static_cast<T*>(guarded(slot, count, sizeof(T), at_start));
}

// The paths to compare with KernelPath::Scalar: those of this build's
// instruction set that this processor runs, and Fastest.
const std::vector<KernelPath>& vector_paths();

// What the image kernels' targets (bilinear sampling, patch extraction) read
// first: an image size, mostly small, also empty, single-row, about 65536
// elements (on either side of the size where the AVX-512 path hands over to
// AVX2 and SSE2 prefetches) and 255 to 258 square; an output grid of up to
// 24 x 24; the byte whose bits place each array against its guard page (bit 0
// the image's); then the image's values, in `image_slot`.
struct ImageCase {
    ImageDims image_dims;
    ImageDims grid;
    uint8_t placement;
    size_t count;   // grid.rows * grid.cols
    double* image;
};
ImageCase image_case(Bytes& in, int image_slot);

// Makes a slot's array read-only until guarded() hands it out again, so that
// a kernel writing into an input stops the run. Changing a page's protection
// is slow (it flushes every processor's TLB), so the targets seal their
// inputs now and then only.
void seal(int slot);

// Index of the first element that differs: bit for bit, except that two NaNs
// count as equal whatever their payloads and signs (which NaN survives where
// two meet in a sum depends on the order of its terms). -1 when none differs.
long first_difference(const double* a, const double* b, size_t count);
long first_difference(const int32_t* a, const int32_t* b, size_t count);

// Stops the run with a message naming the kernel, the path, the array and
// the element, after `context` (the call, for turning the input into a test).
[[noreturn]] void report(const char* kernel, KernelPath path, const char* array, long index,
                         double got, double want, const std::string& context);

// FUZZ_DESCRIBE=1 prints each call before it is made.
bool describing();

std::string describe_values(const char* name, const double* values, size_t count);

}  // namespace pathfuzz
