// The golden calls: a few thousand calls of the four modules with the results
// the Release build gives, in one small file (toolbox/bitexact_selftest.bin)
// that ships with the toolbox, the Octave package and the Python package.
// Every host's self-test (bitexact_selftest in MATLAB and Octave,
// bitexact.selftest() in Python) replays its calls through the modules it
// finds and compares the bits; the conformance program of every build does
// the same through our own host. The layout is in doc/selftest_file.md.
//
// Which calls: those of the conformance case sets that a script can make in
// every host (real double matrices, a result count every host's function
// takes, a call that returns), all of the worked examples and one in
// kGeneratedStride of the generated ones; then the golden case sets below,
// which reach the kernels' vector paths and their tails (grids, lines and
// sample counts of every length around 2, 4 and 8 doubles) and each module's
// extremes.
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "conformance.h"

namespace {

using conformance::Calls;
using conformance::kInf;
using conformance::kNaN;
using conformance::kNegZero;
using conformance::Random;
using conformance::Reader;
using conformance::Writer;
using mexhost::double_matrix;

const char kMagic[] = "BXGOLDEN";
const uint32_t kVersion = 1;
const size_t kMaxFileBytes = 2u << 20;
const int kGeneratedStride = 24;

// Module numbers in the file.
const char* const kModules[] = {"gridlerp", "patchwarp", "envsweep", "linscore"};
const int kArity[] = {3, 3, 10, 4};

// Kinds of stored arrays.
enum Kind : unsigned { kDouble = 0, kInt32 = 1, kSizeOnly = 2 };

// ---- The golden case sets --------------------------------------------------

// A position along an axis of `size` pixels: inside, on a pixel, on an exact
// fraction between two (ties), on and just past each border, far outside,
// infinite, signed zero, subnormal, NaN.
double position(Random& random, int32_t size) {
    const double last = size - 1.0;
    const int32_t kind = random.between(0, 99);
    if (kind < 35) return random.uniform(0.0, last > 0.0 ? last : 1.0);
    if (kind < 45) return random.between(0, size - 1);
    if (kind < 57) return random.between(0, size > 1 ? size - 2 : 0) + random.between(1, 7) / 8.0;
    if (kind < 67)
        return random.pick<double>({0.0, last, kNegZero, conformance::step_up(last),
                                    conformance::step_down(0.0), conformance::step_down(last)});
    if (kind < 85) return random.uniform(-3.0, last + 3.0);
    if (kind < 90) return random.chance(50) ? 1e300 : -1e300;
    if (kind < 94) return random.chance(50) ? kInf : -kInf;
    if (kind < 97) return conformance::kDenormMin * random.between(1, 9);
    return kNaN;
}

int32_t image_side(Random& random) { return random.pick<int32_t>({1, 2, 3, 4, 5, 8, 9, 17}); }

void gridlerp_golden(Calls& calls, Random& random) {
    // Every grid length from 1 to 40 as a column and as a row.
    for (int32_t count = 1; count <= 40; ++count) {
        for (int shape = 0; shape < 2; ++shape) {
            const int32_t rows = image_side(random), cols = image_side(random);
            const size_t m = shape == 0 ? count : 1, n = shape == 0 ? 1 : count;
            const bool edges = random.chance(25);
            const auto image = conformance::random_matrix(
                rows, cols, [&] { return conformance::image_value(random, edges); });
            const auto x = conformance::random_matrix(m, n, [&] { return position(random, cols); });
            const auto y = conformance::random_matrix(m, n, [&] { return position(random, rows); });
            calls.call("golden: grid length", 1, image, x, y);
        }
    }
    // Larger grids over larger images, all positions inside (no clamping).
    for (const int32_t side : {7, 16, 23}) {
        const int32_t rows = side + 3, cols = side + 1;
        const auto image = conformance::random_matrix(
            rows, cols, [&] { return conformance::image_value(random, false); });
        const auto x = conformance::random_matrix(
            side, side, [&] { return random.uniform(0.0, cols - 1.0); });
        const auto y = conformance::random_matrix(
            side, side, [&] { return random.uniform(0.0, rows - 1.0); });
        calls.call("golden: square grid inside", 1, image, x, y);
    }
}

// Affine matrices: identity, exact rotations (3-4-5), scalings, shears,
// reflections, translations onto and off every border, a zero matrix.
std::vector<double> affine(Random& random, int32_t rows, int32_t cols) {
    const double cx = (cols - 1) / 2.0, cy = (rows - 1) / 2.0;
    switch (random.between(0, 7)) {
    case 0: return {1, 0, 0, 1, cx, cy};
    case 1: return {0.8, 0.6, -0.6, 0.8, cx, cy};
    case 2: return {0.25, -0.125, 0.125, 0.25, random.uniform(0, cols - 1.0),
                    random.uniform(0, rows - 1.0)};
    case 3: return {-1, 0, 0, -0.5, cx + 0.5, cy};
    case 4: return {2, 0.5, 0, 1.5, random.uniform(-3, cols + 3.0), random.uniform(-3, rows + 3.0)};
    case 5: return {random.uniform(-1, 1), random.uniform(-1, 1), random.uniform(-0.5, 0.5),
                    random.uniform(-0.5, 0.5), random.uniform(0, cols - 1.0),
                    random.uniform(0, rows - 1.0)};
    case 6: return {1, 0, 0, 1, random.pick<double>({-2.0, 0.0, cols - 1.0, cols + 1.0}),
                    random.pick<double>({-2.0, 0.0, rows - 1.0, rows + 1.0})};
    default: return {0, 0, 0, 0, random.uniform(-1, cols + 0.0), random.uniform(-1, rows + 0.0)};
    }
}

void patchwarp_golden(Calls& calls, Random& random) {
    // Column lengths 1 to 20 (steps of eight rows within one column, and
    // their tails) for one to four columns, on images with and without room
    // for windows of four rows.
    for (int32_t m = 1; m <= 20; ++m) {
        for (int32_t n = 1; n <= 4; ++n) {
            const int32_t rows = image_side(random), cols = image_side(random);
            const bool edges = random.chance(10);
            const auto image = conformance::random_matrix(
                rows, cols, [&] { return conformance::image_value(random, edges); });
            const int nlhs = random.between(1, 3);
            calls.call("golden: patch size", nlhs, image, double_matrix(m, n),
                       double_matrix(2, 3, affine(random, rows, cols)));
        }
    }
    // A NaN, an infinity or a signed zero in the matrix.
    for (int k = 0; k < 24; ++k) {
        std::vector<double> a = affine(random, 6, 5);
        a[random.between(0, 5)] = random.pick<double>({kNaN, kInf, -kInf, kNegZero, 1e300});
        const auto image = conformance::random_matrix(
            6, 5, [&] { return conformance::image_value(random, false); });
        calls.call("golden: special matrix", 3, image, double_matrix(random.between(1, 11), 2),
                   double_matrix(2, 3, a));
    }
}

// envsweep with double scalars.
void sweep(Calls& calls, const char* label, const mexhost::Array& source,
           const std::vector<double>& scalars) {
    std::vector<mexhost::Array> arrays;
    std::vector<const mxArray*> inputs{source.get()};
    for (double value : scalars) {
        arrays.push_back(mexhost::double_scalar(value));
        inputs.push_back(arrays.back().get());
    }
    calls.run(label, 3, inputs);
}

double quad_coefficient(Random& random) {
    const double magnitude = random.pick<double>({0.25, 0.5, 1, 1.5, 2, 3});
    const double value = random.chance(50) ? magnitude : random.uniform(0.05, 4.0);
    return random.chance(30) ? -value : value;
}

void envsweep_golden(Calls& calls, Random& random) {
    // Maps of every size from 1 to 12 rows and columns (lines of each length
    // and as many lines as vector lanes and their tails), maximum and
    // minimum in each direction, fractional and whole steps.
    for (int32_t rows = 1; rows <= 12; ++rows) {
        for (int32_t cols = 1; cols <= 12; ++cols) {
            const auto map = conformance::random_matrix(rows, cols, [&] {
                return random.chance(70) ? conformance::small_integer(random)
                                         : random.uniform(-10.0, 10.0);
            });
            const double step = random.pick<double>({0, 0.5, 0.75, 1, 1, 1.5, 2, 2.25, 3});
            sweep(calls, "golden: map size", map,
                  {quad_coefficient(random), random.pick<double>({0, 0.5, -1, 0.25}),
                   quad_coefficient(random), random.pick<double>({0, -0.5, 1, 0.125}),
                   static_cast<double>(random.between(-2, cols + 1)),
                   static_cast<double>(random.between(-2, rows + 1)),
                   static_cast<double>(random.between(1, 13)),
                   static_cast<double>(random.between(1, 13)), step});
        }
    }
    // Wide maps: many lines in the second pass, long lines in the first.
    for (int k = 0; k < 12; ++k) {
        const int32_t rows = random.between(1, 40), cols = random.between(1, 40);
        const auto map = conformance::random_matrix(
            rows, cols, [&] { return conformance::dyadic(random); });
        sweep(calls, "golden: wide map", map,
              {quad_coefficient(random), 0, quad_coefficient(random), 0, 1, 1,
               static_cast<double>(random.between(1, 24)),
               static_cast<double>(random.between(1, 24)),
               random.pick<double>({0.5, 1, 1.75})});
    }
}

void linscore_golden(Calls& calls, Random& random) {
    // Sample counts 1 to 40 (vector lanes and tails) for feature counts
    // 0 to 9; zero, negative and signed-zero scales, non-finite values now
    // and then, and a signed-zero bias.
    for (int32_t samples = 1; samples <= 40; ++samples) {
        for (int round = 0; round < 2; ++round) {
            const int32_t features = random.between(0, 9);
            const bool edges = random.chance(20);
            const auto X = conformance::random_matrix(features, samples, [&] {
                return conformance::image_value(random, edges);
            });
            const auto mean = conformance::random_matrix(
                features, 1, [&] { return conformance::image_value(random, false); });
            const auto scale = conformance::random_matrix(1, features, [&] {
                const int32_t kind = random.between(0, 99);
                if (kind < 6) return 0.0;
                if (kind < 9) return kNegZero;
                if (kind < 30) return -random.uniform(0.1, 8.0);
                return random.uniform(0.1, 8.0);
            });
            const auto w = conformance::random_matrix(features + 1, 1, [&] {
                return random.chance(5) ? kNegZero : conformance::image_value(random, false);
            });
            calls.call("golden: sample count", 1, X, mean, scale, w);
        }
    }
    // Long columns (64 features and more, a multiple of four), which the
    // vector path takes apart into an unaligned head and aligned runs.
    for (const int32_t features : {64, 72}) {
        for (const int32_t samples : {4, 5, 7}) {
            const auto X = conformance::random_matrix(
                features, samples, [&] { return conformance::image_value(random, false); });
            const auto mean = conformance::random_matrix(
                1, features, [&] { return conformance::dyadic(random); });
            const auto scale = conformance::random_matrix(
                features, 1, [&] { return random.uniform(-4.0, 4.0); });
            const auto w = conformance::random_matrix(
                features + 1, 1, [&] { return random.uniform(-2.0, 2.0); });
            calls.call("golden: long columns", 1, X, mean, scale, w);
        }
    }
    // Summation order: large and small features that a reordered sum rounds
    // otherwise.
    const auto X = double_matrix(3, 2, {1e16, 1, 1, 1, 1, 1e16});
    const auto zeros = double_matrix(3, 1), ones = double_matrix(3, 1, {1, 1, 1});
    calls.call("golden: summation order", 1, X, zeros, ones, double_matrix(4, 1, {1, 1, 1, 0}));
}

// ---- The file ----------------------------------------------------------------

void write_array(Writer& out, unsigned kind, const std::vector<size_t>& dims,
                 const void* data, size_t bytes) {
    out.u8(kind);
    out.u8(0);
    out.u8(0);
    out.u8(0);
    out.u32(static_cast<uint32_t>(dims[0]));
    out.u32(static_cast<uint32_t>(dims[1]));
    if (kind != kSizeOnly && bytes > 0) out.raw(data, bytes);
}

// Whether a script can make this call in every host: the module's number of
// inputs, each a real double matrix (patchwarp's template: any matrix, of
// which the size alone counts), envsweep's scalars not empty; a result count
// every host's function takes; and a call that returned its results.
bool replayable(int module, int nlhs, const std::vector<const mxArray*>& inputs,
                const mexhost::CallResult& result) {
    if (static_cast<int>(inputs.size()) != kArity[module - 1] || !result.ok) return false;
    const bool every_result = module == 3 ? nlhs == 3 : module == 2 ? nlhs <= 3 : nlhs <= 1;
    if (!every_result) return false;
    for (size_t i = 0; i < inputs.size(); ++i) {
        const mxArray* input = inputs[i];
        if (standin::dimensions(input).size() != 2 || mxIsSparse(input)) return false;
        if (module == 2 && i == 1) continue;
        if (mxGetClassID(input) != mxDOUBLE_CLASS || mxIsComplex(input)) return false;
        if (module == 3 && i > 0 && mxGetNumberOfElements(input) == 0) return false;
    }
    for (const mexhost::Array& output : result.outputs) {
        if (!output || standin::dimensions(output.get()).size() != 2 || mxIsComplex(output.get()))
            return false;
        const mxClassID classid = mxGetClassID(output.get());
        if (classid != mxDOUBLE_CLASS && classid != mxINT32_CLASS) return false;
    }
    return true;
}

// Runs each call through a module and keeps the replayable ones.
class GoldenCalls : public Calls {
public:
    GoldenCalls(int module, const mexhost::Module& entry, Writer& out)
        : module_(module), entry_(entry), out_(out) {}

    void run(const std::string& label, int nlhs,
             const std::vector<const mxArray*>& inputs) override {
        const mexhost::CallResult result = entry_.call(nlhs, inputs);
        if (!replayable(module_, nlhs, inputs, result)) return;
        if (label.compare(0, 9, "generated") == 0 &&
            generated_seen_++ % kGeneratedStride != 0)
            return;
        const std::string name = label.substr(0, 255);
        out_.u8(static_cast<unsigned>(module_));
        out_.u8(static_cast<unsigned>(inputs.size()));
        out_.u8(static_cast<unsigned>(result.outputs.size()));
        out_.u8(static_cast<unsigned>(name.size()));
        out_.raw(name.data(), name.size());
        for (size_t i = 0; i < inputs.size(); ++i) {
            const bool size_only = module_ == 2 && i == 1;
            write_array(out_, size_only ? kSizeOnly : kDouble, standin::dimensions(inputs[i]),
                        mxGetData(inputs[i]), standin::data_bytes(inputs[i]));
        }
        for (const mexhost::Array& output : result.outputs) {
            const mxArray* array = output.get();
            std::string data(static_cast<const char*>(mxGetData(array)),
                             standin::data_bytes(array));
            const bool is_double = mxGetClassID(array) == mxDOUBLE_CLASS;
            // Which NaN survives where two meet is the processor's choice:
            // every NaN is stored as the one quiet NaN.
            for (size_t at = 0; is_double && at + 8 <= data.size(); at += 8) {
                double value;
                std::memcpy(&value, &data[at], 8);
                if (value != value) std::memcpy(&data[at], &kNaN, 8);
            }
            write_array(out_, is_double ? kDouble : kInt32, standin::dimensions(array),
                        data.data(), data.size());
        }
        ++count_;
    }

    uint32_t count() const { return count_; }

private:
    int module_;
    const mexhost::Module& entry_;
    Writer& out_;
    uint32_t count_ = 0;
    uint32_t generated_seen_ = 0;
};

using GoldenSet = void (*)(Calls&, Random&);
const GoldenSet kGoldenSets[] = {gridlerp_golden, patchwarp_golden, envsweep_golden,
                                 linscore_golden};

std::string read_all(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) throw std::runtime_error("cannot read " + path);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// One stored array, read back.
struct Stored {
    unsigned kind = 0;
    uint32_t rows = 0, cols = 0;
    std::string data;
};

Stored read_array(Reader& in) {
    Stored array;
    array.kind = in.u8();
    in.bytes(3);
    array.rows = in.u32();
    array.cols = in.u32();
    const size_t width = array.kind == kDouble ? 8 : array.kind == kInt32 ? 4 : 0;
    if (array.kind > kSizeOnly) throw std::runtime_error("unknown array kind in the golden file");
    array.data = in.bytes(width * array.rows * array.cols);
    return array;
}

std::string hex_values(const std::string& data, unsigned kind, size_t first, size_t count) {
    std::string text;
    const size_t width = kind == kInt32 ? 4 : 8;
    for (size_t k = first; k < first + count && (k + 1) * width <= data.size(); ++k) {
        uint64_t bits = 0;
        std::memcpy(&bits, &data[k * width], width);
        char item[24];
        std::snprintf(item, sizeof item, width == 8 ? " %016" PRIx64 : " %08" PRIx64, bits);
        text += item;
    }
    return text;
}

// Where a result differs from the stored one: "" when the bits are equal
// (NaN equal to NaN, whatever its payload).
std::string difference(const Stored& stored, const mxArray* got) {
    if (got == nullptr) return "no result";
    const unsigned kind = mxGetClassID(got) == mxDOUBLE_CLASS  ? unsigned(kDouble)
                          : mxGetClassID(got) == mxINT32_CLASS ? unsigned(kInt32)
                                                               : 99u;
    if (kind != stored.kind) return "another class";
    if (mxGetM(got) != stored.rows || mxGetN(got) != stored.cols) return "another size";
    const char* data = static_cast<const char*>(mxGetData(got));
    const size_t width = kind == kDouble ? 8 : 4;
    for (size_t k = 0; k < size_t(stored.rows) * stored.cols; ++k) {
        if (std::memcmp(data + k * width, &stored.data[k * width], width) == 0) continue;
        if (kind == kDouble) {
            double a, b;
            std::memcpy(&a, data + k * width, 8);
            std::memcpy(&b, &stored.data[k * width], 8);
            if (a != a && b != b) continue;
        }
        return "element " + std::to_string(k + 1) + ": recorded" +
               hex_values(stored.data, kind, k, 1) + ", got" +
               hex_values(std::string(data, width * stored.rows * stored.cols), kind, k, 1);
    }
    return "";
}

}  // namespace

namespace conformance {

int write_golden(const std::string& dir, const std::string& suffix, const std::string& path) {
    Writer calls;
    uint32_t total = 0;
    for (int module = 1; module <= 4; ++module) {
        const std::string name = kModules[module - 1];
        const auto found = registry().find(name);
        if (found == registry().end())
            throw std::runtime_error("no conformance cases for " + name);
        const mexhost::Module entry(module_path(dir, name, suffix));
        GoldenCalls golden(module, entry, calls);
        Random random(case_seed(name));
        found->second(golden, random);
        Random more(case_seed("golden " + name));
        kGoldenSets[module - 1](golden, more);
        std::printf("%s %u calls\n", name.c_str(), golden.count());
        total += golden.count();
    }
    Writer file;
    file.raw(kMagic, 8);
    file.u32(kVersion);
    file.u32(total);
    file.raw(calls.bytes().data(), calls.bytes().size());
    if (file.bytes().size() > kMaxFileBytes)
        throw std::runtime_error("the golden calls take " + std::to_string(file.bytes().size()) +
                                 " bytes, more than " + std::to_string(kMaxFileBytes));
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(file.bytes().data(), static_cast<std::streamsize>(file.bytes().size()));
    out.close();
    if (!out) throw std::runtime_error("cannot write " + path);
    std::printf("golden calls: %u calls, %zu bytes in %s\n", total, file.bytes().size(),
                path.c_str());
    return 0;
}

int check_golden(const std::string& dir, const std::string& suffix, const std::string& path) {
    const std::string bytes = read_all(path);
    Reader in(bytes);
    if (in.bytes(8) != std::string(kMagic, 8) || in.u32() != kVersion)
        throw std::runtime_error(path + " is not a golden calls file of version 1");
    const uint32_t total = in.u32();
    std::vector<std::unique_ptr<mexhost::Module>> entries;
    for (const char* name : kModules)
        entries.emplace_back(new mexhost::Module(module_path(dir, name, suffix)));
    uint32_t calls[4] = {0, 0, 0, 0}, differing[4] = {0, 0, 0, 0}, shown = 0;
    for (uint32_t index = 1; index <= total; ++index) {
        const unsigned module = in.u8(), nrhs = in.u8(), nlhs = in.u8();
        const std::string label = in.bytes(in.u8());
        if (module < 1 || module > 4) throw std::runtime_error("unknown module in " + path);
        std::vector<Stored> stored_inputs;
        std::vector<mexhost::Array> arrays;
        std::vector<const mxArray*> inputs;
        for (unsigned i = 0; i < nrhs; ++i) {
            stored_inputs.push_back(read_array(in));
            const Stored& s = stored_inputs.back();
            arrays.push_back(double_matrix(s.rows, s.cols));
            if (!s.data.empty()) std::memcpy(mxGetPr(arrays.back().get()), s.data.data(), s.data.size());
            inputs.push_back(arrays.back().get());
        }
        const mexhost::CallResult result = entries[module - 1]->call(static_cast<int>(nlhs), inputs);
        std::string why = result.ok ? "" : "error: " + result.message;
        for (unsigned r = 0; r < nlhs; ++r) {
            const Stored expected = read_array(in);
            if (!why.empty()) continue;
            const std::string d = difference(
                expected, r < result.outputs.size() ? result.outputs[r].get() : nullptr);
            if (!d.empty()) why = "result " + std::to_string(r + 1) + ", " + d;
        }
        ++calls[module - 1];
        if (why.empty()) continue;
        ++differing[module - 1];
        if (shown++ >= 3) continue;
        std::printf("call %u (%s, %s) differs: %s\n", index, kModules[module - 1],
                    label.c_str(), why.c_str());
        for (size_t i = 0; i < stored_inputs.size(); ++i) {
            const Stored& s = stored_inputs[i];
            const size_t count = s.kind == kSizeOnly ? 0 : size_t(s.rows) * s.cols;
            std::printf("  input %zu, %u x %u:%s%s\n", i + 1, s.rows, s.cols,
                        hex_values(s.data, s.kind, 0, count < 8 ? count : 8).c_str(),
                        count > 8 ? " ..." : "");
        }
    }
    if (!in.done()) throw std::runtime_error(path + " has bytes after its last call");
    uint32_t failed = 0;
    for (int m = 0; m < 4; ++m) {
        if (differing[m] == 0)
            std::printf("%s: %u calls, all bits equal\n", kModules[m], calls[m]);
        else
            std::printf("%s: %u of %u calls DIFFER\n", kModules[m], differing[m], calls[m]);
        failed += differing[m];
    }
    if (failed == 0)
        std::printf("golden calls: %u calls, all bits equal to the recorded results\n", total);
    else
        std::printf("golden calls: %u of %u calls differ from the recorded results\n", failed,
                    total);
    return failed == 0 ? 0 : 1;
}

}  // namespace conformance
