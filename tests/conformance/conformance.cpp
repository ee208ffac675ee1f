// The conformance program. It runs every module's fixed list of calls through
// our own host and writes each call's record (inputs' digest, outcome, error
// identifier and message, and every result's class, size and bytes) to one
// binary file; builds that behave alike write byte-identical files.
//
//   conformance run MODULE_DIR SUFFIX RESULTS [--expect DIGESTS]
//       loads MODULE_DIR/<name>SUFFIX for each module with a case set, writes
//       RESULTS and prints one line per module:
//         "<name> <calls> inputs <inputs digest> results <results digest>".
//       With --expect, compares each line with the recorded one in DIGESTS.
//       Exit status 0: all as recorded; 1: a module gave other results for
//       the recorded inputs; 3: this program made other inputs than the
//       recorded ones, a fault of the program or of the compiler that built
//       it, which says nothing about the modules.
//       With --calls CALLS (last), also writes every call's inputs and
//       results in full to CALLS, for replaying the calls through another
//       host (the Python package's tests do).
//   conformance compare RESULTS_A RESULTS_B
//       fails unless the two files are identical; shows the first call that
//       differs.
//   conformance show RESULTS FIRST COUNT
//       shows COUNT calls from call FIRST (counted over the whole file).
//   conformance golden write MODULE_DIR SUFFIX GOLDEN
//       writes the golden calls (a selection of the calls above and the
//       golden case sets, with their results) to GOLDEN; see golden.cpp.
//   conformance golden check MODULE_DIR SUFFIX GOLDEN
//       calls the modules with GOLDEN's calls; fails unless every result has
//       the recorded bits.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "conformance.h"

namespace conformance {

// ---- Inputs ---------------------------------------------------------------

uint64_t Random::next() {
    uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

int32_t Random::between(int32_t low, int32_t high) {
    const uint64_t span = static_cast<uint64_t>(static_cast<int64_t>(high) - low) + 1;
    return static_cast<int32_t>(low + static_cast<int64_t>(next() % span));
}

double Random::unit() { return static_cast<double>(next() >> 11) * (1.0 / 9007199254740992.0); }

double Random::uniform(double low, double high) {
    const double width = high - low;
    const double offset = width * unit();
    return low + offset;
}

double from_bits(uint64_t bits) {
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

uint64_t to_bits(double value) {
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

double step_up(double value) {
    if (value == 0.0) return kDenormMin;
    const uint64_t bits = to_bits(value);
    return from_bits(value > 0.0 ? bits + 1 : bits - 1);
}

double step_down(double value) { return -step_up(-value); }

const double kInf = from_bits(0x7ff0000000000000ULL);
const double kNaN = from_bits(0x7ff8000000000000ULL);
const double kNegZero = from_bits(0x8000000000000000ULL);
const double kDenormMin = from_bits(1);
const double kMinNormal = from_bits(0x0010000000000000ULL);
const double kMaxFinite = from_bits(0x7fefffffffffffffULL);

double small_integer(Random& random) { return random.between(-8, 8); }

double dyadic(Random& random) {
    const double scale = from_bits(static_cast<uint64_t>(1023 - random.between(0, 10)) << 52);
    return random.between(-64, 64) * scale;
}

double any_finite(Random& random) {
    for (;;) {
        const uint64_t bits = random.next();
        if (((bits >> 52) & 0x7ff) != 0x7ff) return from_bits(bits);
    }
}

double edge_value(Random& random) {
    switch (random.between(0, 9)) {
    case 0: return 0.0;
    case 1: return kNegZero;
    case 2: return kInf;
    case 3: return -kInf;
    case 4: return kNaN;
    case 5: return from_bits(0xfff8000000000001ULL);  // a NaN with sign and payload
    case 6: return kMaxFinite;
    case 7: return -kMaxFinite;
    case 8: return kDenormMin;
    default: return -kMinNormal;
    }
}

double image_value(Random& random, bool with_edge_values) {
    const int32_t kind = random.between(0, 99);
    if (kind < 40) return small_integer(random);
    if (kind < 65) return dyadic(random);
    if (kind < 90) return random.uniform(-1000.0, 1000.0);
    if (kind < 97 || !with_edge_values) return any_finite(random);
    return edge_value(random);
}

mexhost::Array scalar_of(mxClassID classid, double value) {
    mexhost::Array array = mexhost::numeric_array(classid, {1, 1});
    void* data = mxGetData(array.get());
    switch (classid) {
    case mxSINGLE_CLASS: *static_cast<float*>(data) = static_cast<float>(value); break;
    case mxINT32_CLASS: *static_cast<int32_t*>(data) = static_cast<int32_t>(value); break;
    case mxUINT8_CLASS: *static_cast<uint8_t*>(data) = static_cast<uint8_t>(value); break;
    case mxLOGICAL_CLASS: *static_cast<bool*>(data) = value != 0.0; break;
    default: *static_cast<double*>(data) = value; break;
    }
    return array;
}

mexhost::Array zero_array(mxClassID classid, size_t rows, size_t cols, bool complex) {
    return mexhost::numeric_array(classid, {rows, cols}, complex);
}

std::map<std::string, CaseSet>& registry() {
    static std::map<std::string, CaseSet> case_sets;
    return case_sets;
}

bool register_cases(const char* module, CaseSet cases) {
    registry()[module] = cases;
    return true;
}

}  // namespace conformance

namespace {

using conformance::CaseSet;
using conformance::Reader;
using conformance::Writer;

// ---- Records --------------------------------------------------------------

uint64_t fnv1a(uint64_t hash, const void* data, size_t count) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < count; ++i) {
        hash ^= bytes[i];
        hash *= 0x100000001b3ULL;
    }
    return hash;
}
const uint64_t kFnvStart = 0xcbf29ce484222325ULL;

// Which NaN survives where two NaNs meet is the hardware's choice of operand,
// and compilers may order the operands of a commutative operation either way;
// every NaN is therefore recorded as the one quiet NaN of its width.
std::string canonical_data(const mxArray* array) {
    const size_t bytes = standin::data_bytes(array);
    std::string data;
    auto append = [&](const void* source) {
        if (source == nullptr || bytes == 0) return;
        std::string part(static_cast<const char*>(source), bytes);
        if (mxGetClassID(array) == mxDOUBLE_CLASS) {
            for (size_t at = 0; at + 8 <= bytes; at += 8) {
                double value;
                std::memcpy(&value, &part[at], 8);
                if (value != value) std::memcpy(&part[at], &conformance::kNaN, 8);
            }
        } else if (mxGetClassID(array) == mxSINGLE_CLASS) {
            const float nan = static_cast<float>(conformance::kNaN);
            for (size_t at = 0; at + 4 <= bytes; at += 4) {
                float value;
                std::memcpy(&value, &part[at], 4);
                if (value != value) std::memcpy(&part[at], &nan, 4);
            }
        }
        data += part;
    };
    append(mxGetData(array));
    append(standin::imag_data(array));
    return data;
}

void write_shape(Writer& out, const mxArray* array) {
    out.u32(static_cast<uint32_t>(mxGetClassID(array)));
    out.u8(mxIsComplex(array) ? 1 : 0);
    out.u8(mxIsSparse(array) ? 1 : 0);
    const std::vector<size_t>& dims = standin::dimensions(array);
    out.u32(static_cast<uint32_t>(dims.size()));
    for (size_t d : dims) out.u64(d);
}

uint64_t digest_inputs(const std::vector<const mxArray*>& inputs) {
    uint64_t hash = kFnvStart;
    for (const mxArray* input : inputs) {
        Writer shape;
        write_shape(shape, input);
        hash = fnv1a(hash, shape.bytes().data(), shape.bytes().size());
        hash = fnv1a(hash, mxGetData(input), standin::data_bytes(input));
        if (mxIsComplex(input))
            hash = fnv1a(hash, standin::imag_data(input), standin::data_bytes(input));
    }
    return hash;
}

enum Outcome : unsigned { kReturned = 0, kHostError = 1, kOtherException = 2 };

// Each result slot: whether it is set, then its class, size and bytes.
void write_outputs(Writer& out, const mexhost::CallResult& result) {
    out.u32(static_cast<uint32_t>(result.outputs.size()));
    for (const mexhost::Array& output : result.outputs) {
        out.u8(output ? 1 : 0);
        if (!output) continue;
        write_shape(out, output.get());
        const std::string data = canonical_data(output.get());
        out.u64(data.size());
        out.raw(data.data(), data.size());
    }
}

// Runs each call through one module and appends its record to the file.
class RecordedCalls : public conformance::Calls {
public:
    RecordedCalls(const std::string& name, const mexhost::Module& module, std::ofstream& file,
                  std::ofstream* calls_file)
        : name_(name), module_(module), file_(file), calls_file_(calls_file) {}

    void run(const std::string& label, int nlhs,
             const std::vector<const mxArray*>& inputs) override {
        const mexhost::CallResult result = module_.call(nlhs, inputs);
        Writer record;
        record.text(name_);
        record.u32(count_);
        record.text(label);
        record.u32(static_cast<uint32_t>(nlhs));
        record.u32(static_cast<uint32_t>(inputs.size()));
        const uint64_t digest = digest_inputs(inputs);
        record.u64(digest);
        Writer call;
        call.text(label);
        call.u32(static_cast<uint32_t>(nlhs));
        call.u32(static_cast<uint32_t>(inputs.size()));
        call.u64(digest);
        inputs_digest_ = fnv1a(inputs_digest_, call.bytes().data(), call.bytes().size());
        record.u8(result.ok ? kReturned : result.host_error ? kHostError : kOtherException);
        record.text(result.identifier);
        record.text(result.message);
        record.u8(result.inputs_unchanged ? 1 : 0);
        record.u32(static_cast<uint32_t>(result.blocks_live_at_return));
        record.u32(static_cast<uint32_t>(result.arrays_created));
        record.u32(static_cast<uint32_t>(result.arrays_released));
        write_outputs(record, result);
        Writer framed;
        framed.u32(static_cast<uint32_t>(record.bytes().size()));
        framed.raw(record.bytes().data(), record.bytes().size());
        file_.write(framed.bytes().data(), static_cast<std::streamsize>(framed.bytes().size()));
        digest_ = fnv1a(digest_, framed.bytes().data(), framed.bytes().size());
        if (calls_file_ != nullptr) write_call(label, nlhs, inputs, result);
        ++count_;
    }

    // The call in full: module, label, nlhs, each input's class, size and
    // bytes, then the outcome and each result as in the record.
    void write_call(const std::string& label, int nlhs, const std::vector<const mxArray*>& inputs,
                    const mexhost::CallResult& result) {
        Writer call;
        call.text(name_);
        call.text(label);
        call.u32(static_cast<uint32_t>(nlhs));
        call.u32(static_cast<uint32_t>(inputs.size()));
        for (const mxArray* input : inputs) {
            write_shape(call, input);
            const size_t bytes = standin::data_bytes(input);
            const bool complex = mxIsComplex(input);
            call.u64(complex ? 2 * bytes : bytes);
            if (bytes > 0) call.raw(mxGetData(input), bytes);
            if (bytes > 0 && complex) call.raw(standin::imag_data(input), bytes);
        }
        call.u8(result.ok ? kReturned : result.host_error ? kHostError : kOtherException);
        call.text(result.identifier);
        call.text(result.message);
        write_outputs(call, result);
        Writer framed;
        framed.u32(static_cast<uint32_t>(call.bytes().size()));
        framed.raw(call.bytes().data(), call.bytes().size());
        calls_file_->write(framed.bytes().data(),
                           static_cast<std::streamsize>(framed.bytes().size()));
    }

    uint32_t count() const { return count_; }
    // Of the calls as made (label, nlhs and inputs), before any module ran.
    uint64_t inputs_digest() const { return inputs_digest_; }
    // Of the whole records, results included.
    uint64_t digest() const { return digest_; }

private:
    std::string name_;
    const mexhost::Module& module_;
    std::ofstream& file_;
    std::ofstream* calls_file_;
    uint32_t count_ = 0;
    uint64_t inputs_digest_ = kFnvStart;
    uint64_t digest_ = kFnvStart;
};

const char kFileHeader[] = "bitexact conformance results 1\n";
const char kCallsHeader[] = "bitexact conformance calls 1\n";

// A record in words, for the report of a difference.
std::string describe(const std::string& record) {
    Reader in(record);
    std::ostringstream text;
    const std::string module = in.text();
    const uint32_t index = in.u32();
    const std::string label = in.text();
    const uint32_t nlhs = in.u32();
    const uint32_t nrhs = in.u32();
    const uint64_t digest = in.u64();
    text << module << " call " << index << " (" << label << "): nlhs " << nlhs << ", "
         << nrhs << " inputs, inputs digest " << std::hex << digest << std::dec << "\n";
    const unsigned outcome = in.u8();
    const std::string identifier = in.text();
    const std::string message = in.text();
    text << "  outcome " << (outcome == kReturned ? "returned" : outcome == kHostError
                                                                    ? "host error"
                                                                    : "other exception")
         << " [" << identifier << "] \"" << message << "\"\n";
    const unsigned unchanged = in.u8();
    const uint32_t blocks = in.u32(), created = in.u32(), released = in.u32();
    text << "  inputs unchanged " << unchanged << ", scratch blocks left " << blocks
         << ", arrays created " << created << ", released " << released << "\n";
    const uint32_t outputs = in.u32();
    for (uint32_t i = 0; i < outputs; ++i) {
        text << "  result " << i << ":";
        if (in.u8() == 0) {
            text << " none\n";
            continue;
        }
        const uint32_t classid = in.u32();
        const unsigned complex = in.u8(), sparse = in.u8();
        text << " class " << classid << (complex ? " complex" : "") << (sparse ? " sparse" : "")
             << ", size";
        const uint32_t ndims = in.u32();
        for (uint32_t d = 0; d < ndims; ++d) text << (d ? " x " : " ") << in.u64();
        const uint64_t bytes = in.u64();
        std::string data;
        for (uint64_t b = 0; b < bytes; ++b) data.push_back(static_cast<char>(in.u8()));
        text << "\n   ";
        if (classid == mxDOUBLE_CLASS) {
            for (size_t at = 0; at + 8 <= data.size(); at += 8) {
                double value;
                std::memcpy(&value, &data[at], 8);
                char item[64];
                std::snprintf(item, sizeof item, " %.17g(%016" PRIx64 ")", value,
                              conformance::to_bits(value));
                text << item;
            }
        } else if (classid == mxINT32_CLASS) {
            for (size_t at = 0; at + 4 <= data.size(); at += 4) {
                int32_t value;
                std::memcpy(&value, &data[at], 4);
                text << " " << value;
            }
        } else {
            text << " " << data.size() << " bytes";
        }
        text << "\n";
    }
    if (!in.done()) text << "  (unread bytes at the end)\n";
    return text.str();
}

std::string read_file(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) throw std::runtime_error("cannot read " + path);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

std::vector<std::string> split_records(const std::string& bytes, const std::string& path) {
    const size_t header = sizeof kFileHeader - 1;
    if (bytes.compare(0, header, kFileHeader) != 0)
        throw std::runtime_error(path + " is not a conformance results file");
    std::vector<std::string> records;
    size_t at = header;
    while (at < bytes.size()) {
        if (bytes.size() - at < 4) throw std::runtime_error(path + " is truncated");
        const std::string length_field = bytes.substr(at, 4);
        const uint32_t count = Reader(length_field).u32();
        at += 4;
        if (bytes.size() - at < count) throw std::runtime_error(path + " is truncated");
        records.push_back(bytes.substr(at, count));
        at += count;
    }
    return records;
}

// The part of a record that says which call was made: module, index, label,
// nlhs and the inputs' digest, everything before the outcome.
std::string call_made(const std::string& record) {
    // One field per statement: the operands of + may be evaluated in any
    // order, and the fields must be read in the order they were written.
    Reader in(record);
    const std::string module = in.text();
    const uint32_t index = in.u32();
    const std::string label = in.text();
    const uint32_t nlhs = in.u32();
    const uint32_t nrhs = in.u32();
    const uint64_t digest = in.u64();
    return module + '\n' + std::to_string(index) + '\n' + label + '\n' + std::to_string(nlhs) +
           '\n' + std::to_string(nrhs) + '\n' + std::to_string(digest);
}

int compare(const std::string& path_a, const std::string& path_b) {
    const std::string a = read_file(path_a), b = read_file(path_b);
    if (a == b) {
        std::printf("identical: %s and %s (%zu bytes)\n", path_a.c_str(), path_b.c_str(),
                    a.size());
        return 0;
    }
    const std::vector<std::string> records_a = split_records(a, path_a);
    const std::vector<std::string> records_b = split_records(b, path_b);
    std::printf("DIFFERENT: %s (%zu calls) and %s (%zu calls)\n", path_a.c_str(),
                records_a.size(), path_b.c_str(), records_b.size());
    const size_t common = std::min(records_a.size(), records_b.size());
    size_t differing = 0, other_calls = 0;
    for (size_t i = 0; i < common; ++i) {
        if (records_a[i] == records_b[i]) continue;
        if (call_made(records_a[i]) != call_made(records_b[i])) ++other_calls;
        if (differing++ == 0)
            std::printf("first differing call:\n--- %s\n%s--- %s\n%s", path_a.c_str(),
                        describe(records_a[i]).c_str(), path_b.c_str(),
                        describe(records_b[i]).c_str());
    }
    std::printf("%zu of %zu calls differ\n", differing, common);
    if (other_calls > 0)
        std::printf("%zu of them are other calls (other inputs): the programs that made "
                    "them differ, not only the modules\n", other_calls);
    return 1;
}

int show(const std::string& path, size_t first, size_t count) {
    const std::vector<std::string> records = split_records(read_file(path), path);
    for (size_t i = first; i < records.size() && i - first < count; ++i)
        std::printf("%s", describe(records[i]).c_str());
    return 0;
}

// One module's line of the digests file.
struct Digests {
    std::string calls, inputs, results;
};

std::map<std::string, Digests> read_digests(const std::string& path) {
    std::ifstream file(path);
    if (!file) throw std::runtime_error("cannot read " + path);
    std::map<std::string, Digests> digests;
    std::string line;
    while (std::getline(file, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        std::string name, inputs_word, results_word;
        Digests d;
        fields >> name >> d.calls >> inputs_word >> d.inputs >> results_word >> d.results;
        if (!fields || inputs_word != "inputs" || results_word != "results")
            throw std::runtime_error(path + ": not a digests line: " + line);
        digests[name] = d;
    }
    return digests;
}


int run(const std::string& dir, const std::string& suffix, const std::string& results,
        const std::string& expect, const std::string& calls_path) {
    std::map<std::string, Digests> expected;
    if (!expect.empty()) expected = read_digests(expect);
    std::ofstream file(results, std::ios::binary | std::ios::trunc);
    if (!file) throw std::runtime_error("cannot write " + results);
    file.write(kFileHeader, sizeof kFileHeader - 1);
    std::ofstream calls_file;
    if (!calls_path.empty()) {
        calls_file.open(calls_path, std::ios::binary | std::ios::trunc);
        if (!calls_file) throw std::runtime_error("cannot write " + calls_path);
        calls_file.write(kCallsHeader, sizeof kCallsHeader - 1);
    }

    // Every module this tree builds must have its case set.
    std::istringstream built(CONFORMANCE_MODULES);
    std::string name;
    while (std::getline(built, name, ','))
        if (conformance::registry().count(name) == 0)
            throw std::runtime_error("the module " + name + " has no conformance cases (cases_" +
                                     name + ".cpp)");

    int module_faults = 0, program_faults = 0;
    // The map keeps the modules in name order, whatever the link order.
    for (const auto& entry : conformance::registry()) {
        const std::string& name = entry.first;
        const mexhost::Module module(conformance::module_path(dir, name, suffix));
        RecordedCalls calls(name, module, file, calls_path.empty() ? nullptr : &calls_file);
        conformance::Random random(conformance::case_seed(name));
        entry.second(calls, random);
        Digests got;
        got.calls = std::to_string(calls.count());
        char hex[17];
        std::snprintf(hex, sizeof hex, "%016" PRIx64, calls.inputs_digest());
        got.inputs = hex;
        std::snprintf(hex, sizeof hex, "%016" PRIx64, calls.digest());
        got.results = hex;
        std::printf("%s %s inputs %s results %s\n", name.c_str(), got.calls.c_str(),
                    got.inputs.c_str(), got.results.c_str());
        if (expect.empty()) continue;
        const auto found = expected.find(name);
        if (found == expected.end()) {
            std::printf("  no recorded digests for %s in %s\n", name.c_str(), expect.c_str());
            ++module_faults;
        } else if (found->second.calls != got.calls || found->second.inputs != got.inputs) {
            // The results of other calls cannot be compared: the fault is here.
            std::printf("  FAULT OF THIS PROGRAM, not of the module: it made other calls than "
                        "the recorded ones (%s calls, inputs %s recorded); its build or "
                        "compiler changed what it generates\n",
                        found->second.calls.c_str(), found->second.inputs.c_str());
            ++program_faults;
        } else if (found->second.results != got.results) {
            std::printf("  DIFFERS: the module gave other results for the recorded calls "
                        "(results %s recorded)\n", found->second.results.c_str());
            ++module_faults;
        }
    }
    file.close();
    if (!file) throw std::runtime_error("cannot write " + results);
    if (!calls_path.empty()) {
        calls_file.close();
        if (!calls_file) throw std::runtime_error("cannot write " + calls_path);
    }
    if (program_faults > 0) {
        std::printf("%d module(s) were called with other inputs than recorded in %s: this "
                    "program is at fault.\n", program_faults, expect.c_str());
        return 3;
    }
    if (module_faults > 0) {
        std::printf("%d module(s) differ from %s. If the change of results is intended, "
                    "record the lines above there.\n", module_faults, expect.c_str());
        return 1;
    }
    return 0;
}

}  // namespace

namespace conformance {

uint64_t case_seed(const std::string& module) {
    return fnv1a(kFnvStart, module.data(), module.size());
}

std::string module_path(const std::string& dir, const std::string& name,
                        const std::string& suffix) {
    std::string path = dir + "/" + name + suffix;
#if defined(_WIN32)
    std::replace(path.begin(), path.end(), '/', '\\');
#endif
    return path;
}

}  // namespace conformance

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string calls_path;
    if (args.size() >= 6 && args[0] == "run" && args[args.size() - 2] == "--calls") {
        calls_path = args.back();
        args.resize(args.size() - 2);
    }
    try {
        if (args.size() == 3 && args[0] == "compare") return compare(args[1], args[2]);
        if (args.size() == 4 && args[0] == "show")
            return show(args[1], std::stoul(args[2]), std::stoul(args[3]));
        if (args.size() == 5 && args[0] == "golden" && args[1] == "write")
            return conformance::write_golden(args[2], args[3], args[4]);
        if (args.size() == 5 && args[0] == "golden" && args[1] == "check")
            return conformance::check_golden(args[2], args[3], args[4]);
        if (args.size() == 4 && args[0] == "run")
            return run(args[1], args[2], args[3], "", calls_path);
        if (args.size() == 6 && args[0] == "run" && args[4] == "--expect")
            return run(args[1], args[2], args[3], args[5], calls_path);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "conformance: %s\n", error.what());
        return 2;
    }
    std::fprintf(stderr,
                 "usage: conformance run MODULE_DIR SUFFIX RESULTS [--expect DIGESTS] [--calls CALLS]\n"
                 "       conformance compare RESULTS_A RESULTS_B\n"
                 "       conformance show RESULTS FIRST COUNT\n"
                 "       conformance golden write|check MODULE_DIR SUFFIX GOLDEN\n");
    return 2;
}
