// The conformance program's case sets: each module has one file
// (cases_<name>.cpp) that makes a fixed list of calls through our own host.
// Every input comes from a fixed integer generator and from bit patterns, never
// from exp, sin or other library functions, whose last bits differ between C
// libraries; so every build makes the very same calls, and every result can
// be compared bit for bit between builds.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "mexhost.h"

namespace conformance {

// SplitMix64: a fixed sequence of 64-bit integers from a starting value.
class Random {
public:
    explicit Random(uint64_t start) : state_(start) {}
    uint64_t next();
    // An integer in [low, high], both ends included (low <= high).
    int32_t between(int32_t low, int32_t high);
    // True in `percent` of the draws.
    bool chance(int32_t percent) { return between(0, 99) < percent; }
    // A double in [0, 1) with 53 random bits: an integer times 2^-53, exact.
    double unit();
    // A double in [low, high): low + (high - low) * unit(), each operation
    // rounded on its own.
    double uniform(double low, double high);
    template <typename T>
    T pick(std::initializer_list<T> choices) {
        return choices.begin()[between(0, static_cast<int32_t>(choices.size()) - 1)];
    }

private:
    uint64_t state_;
};

// Doubles from bit patterns.
double from_bits(uint64_t bits);
uint64_t to_bits(double value);
// The neighbouring doubles of a finite value, toward +infinity and -infinity.
double step_up(double value);
double step_down(double value);

extern const double kInf;
extern const double kNaN;          // the quiet NaN 0x7ff8000000000000
extern const double kNegZero;
extern const double kDenormMin;    // 2^-1074
extern const double kMinNormal;    // 2^-1022
extern const double kMaxFinite;

// Value families the case sets draw from.
double small_integer(Random& random);         // -8 .. 8
double dyadic(Random& random);                // n / 2^k, small n and k: exact ties
double any_finite(Random& random);            // every finite bit pattern, subnormals included
double edge_value(Random& random);            // signed zeros, infinities, NaN, extremes
// An image value: mostly small integers and dyadic fractions, which make exact
// ties in blends, then arbitrary reals and doubles of any magnitude, and with
// `with_edge_values` now and then an edge value.
double image_value(Random& random, bool with_edge_values);

// Column-major double matrix whose elements are drawn by `draw`.
template <typename Draw>
mexhost::Array random_matrix(size_t rows, size_t cols, Draw draw) {
    std::vector<double> values(rows * cols);
    for (double& v : values) v = draw();
    return mexhost::double_matrix(rows, cols, values);
}

// Double array of any number of dimensions whose elements are drawn by `draw`.
template <typename Draw>
mexhost::Array random_array(const std::vector<size_t>& dims, Draw draw) {
    mexhost::Array array = mexhost::numeric_array(mxDOUBLE_CLASS, dims);
    double* data = mxGetPr(array.get());
    for (size_t i = 0; i < mxGetNumberOfElements(array.get()); ++i) data[i] = draw();
    return array;
}

// A 1 x 1 array of the given class (double, single, int32, uint8 or logical)
// holding `value` converted to that class; `value` must fit it.
mexhost::Array scalar_of(mxClassID classid, double value);

// An array of the given class whose bytes are all zero, for the class checks.
mexhost::Array zero_array(mxClassID classid, size_t rows, size_t cols, bool complex = false);

// The calls of one module. Each call runs at once through the loaded module
// and its inputs, outcome and results are recorded.
class Calls {
public:
    virtual ~Calls() = default;

    template <typename... Inputs>
    void call(const std::string& label, int nlhs, const Inputs&... inputs) {
        run(label, nlhs, {inputs.get()...});
    }
    virtual void run(const std::string& label, int nlhs,
                     const std::vector<const mxArray*>& inputs) = 0;
};

// Little-endian fields of fixed width, whatever the platform's sizes.
class Writer {
public:
    void u8(unsigned value) { bytes_.push_back(static_cast<char>(value & 0xff)); }
    void u32(uint32_t value) {
        for (int i = 0; i < 4; ++i) u8((value >> (8 * i)) & 0xff);
    }
    void u64(uint64_t value) {
        for (int i = 0; i < 8; ++i) u8(static_cast<unsigned>((value >> (8 * i)) & 0xff));
    }
    void text(const std::string& value) {
        u32(static_cast<uint32_t>(value.size()));
        bytes_ += value;
    }
    void raw(const void* data, size_t count) {
        bytes_.append(static_cast<const char*>(data), count);
    }
    const std::string& bytes() const { return bytes_; }

private:
    std::string bytes_;
};

class Reader {
public:
    explicit Reader(const std::string& bytes) : bytes_(bytes) {}
    unsigned u8() { need(1); return static_cast<unsigned char>(bytes_[at_++]); }
    uint32_t u32() {
        uint32_t value = 0;
        for (int i = 0; i < 4; ++i) value |= static_cast<uint32_t>(u8()) << (8 * i);
        return value;
    }
    uint64_t u64() {
        uint64_t value = 0;
        for (int i = 0; i < 8; ++i) value |= static_cast<uint64_t>(u8()) << (8 * i);
        return value;
    }
    std::string text() {
        const uint32_t count = u32();
        need(count);
        std::string value = bytes_.substr(at_, count);
        at_ += count;
        return value;
    }
    std::string bytes(size_t count) {
        need(count);
        std::string value = bytes_.substr(at_, count);
        at_ += count;
        return value;
    }
    bool done() const { return at_ == bytes_.size(); }

private:
    void need(size_t count) const {
        if (bytes_.size() - at_ < count) throw std::runtime_error("truncated record");
    }
    const std::string& bytes_;
    size_t at_ = 0;
};

// Registers the case set of a module; used once per cases file as
//   const bool registered = conformance::register_cases("name", cases);
using CaseSet = void (*)(Calls& calls, Random& random);
bool register_cases(const char* module, CaseSet cases);
// Every registered case set, by module name.
std::map<std::string, CaseSet>& registry();
// The start of a module's sequence of draws: each module draws from its own,
// so adding a module or a case to one module leaves the others' calls as they
// were.
uint64_t case_seed(const std::string& module);
// The file of a module: DIR/<name>SUFFIX, in the platform's spelling.
std::string module_path(const std::string& dir, const std::string& name,
                        const std::string& suffix);

// The golden calls (golden.cpp): a few thousand calls of the modules with
// their results, in the file every host's self-test replays.
//   write: runs the case sets through the modules in DIR and writes the file;
//   check: calls the modules in DIR with the file's calls and compares bits.
// Both print one line per module and a last line; 0 when all is well.
int write_golden(const std::string& dir, const std::string& suffix, const std::string& path);
int check_golden(const std::string& dir, const std::string& suffix, const std::string& path);

}  // namespace conformance
