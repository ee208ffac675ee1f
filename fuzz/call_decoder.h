// Turns a fuzzer's bytes into one whole call of a module through our own host:
// how many results are requested, how many inputs are given, and for each
// input its class, complexity, sparsity, dimensions and values.
//
// Byte layout, read front to back (past the end every byte reads as 0):
//   nlhs      one byte: below 128 the module's largest result count, else
//             byte % (largest + 2), so 0 .. largest + 1
//   nrhs      one byte: below 192 the module's input count, else
//             byte % (count + 3), so 0 .. count + 2
//   per input
//     class   one byte: below 128 double, else one of the other classes
//     form    one byte: low two bits 1 complex, 2 sparse (where the host has
//             such an array); bits 2-3 give 2, 2, 3 or 4 dimensions
//     dims    one byte each: below 224 a size 0 .. 8, else a large count
//             (46341, 2^31 - 1, 2^31, 2^32 ...); arrays hold at most
//             kMaxElements elements, so a large count comes with a zero size
//     nzmax   sparse only, one byte
//     values  one value per element (real part, then imaginary part)
//   value     one byte: a special double (NaN, +-Inf, -0.0, huge, tiny, the
//             edges of the 32-bit range ...), 8 raw bytes, or a small integral
//             or half-integral number; other classes take it saturated
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "mexhost.h"

namespace fuzzcall {

// No decoded array holds more elements than this.
constexpr size_t kMaxElements = 1024;

class ByteReader {
public:
    ByteReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    double value();   // the value encoding above
    bool exhausted() const { return pos_ >= size_; }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

// The counts a module expects, so that most decoded calls get past its count
// checks and reach the checks on the inputs.
struct Arity {
    int inputs;
    int max_outputs;
};

struct Call {
    int nlhs = 0;
    std::vector<mexhost::Array> inputs;
    std::vector<const mxArray*> arguments() const;
};

Call decode_call(const uint8_t* data, size_t size, Arity arity);

// A double as a value of another class: NaN becomes 0, the rest is
// truncated and saturated to the class's range (logical: non-zero is 1).
void store_value(mxClassID classid, void* data, size_t index, double value);

// The class's name as a script writes it ("double", "int32", ...).
const char* class_name(mxClassID classid);

// "2x0x3 complex double [1, NaN, ...]": enough to rebuild the input by hand.
std::string describe_array(const mxArray* array);
std::string describe_call(const Call& call);

}  // namespace fuzzcall
