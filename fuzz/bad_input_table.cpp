// Prints, as Markdown, what each module does with each kind of bad input:
// starting from a valid call, it changes one thing at a time (a count, or one
// input's class, shape or values), calls the built module through our own
// host, and writes the error or the results. Every call must also pass the
// module's oracle, else the program fails. doc/bad_inputs.md holds this table,
// and a test fails when the two differ.
#include <cmath>
#include <cstdio>
#include <functional>
#include <set>
#include <string>
#include <utility>

#include "oracle.h"

using fuzzcall::Call;
using fuzzcall::Oracle;
using mexhost::Array;

namespace {

std::vector<double> doubles(const mxArray* array) { return mexhost::values(array); }

Array make(mxClassID classid, std::vector<size_t> dims, const std::vector<double>& values,
           bool complex = false) {
    standin::ArrayLayout layout;
    layout.classid = classid;
    layout.dims = std::move(dims);
    layout.complex = complex;
    Array array(standin::create_array(layout));
    for (size_t k = 0; k < values.size() && k < mxGetNumberOfElements(array.get()); ++k) {
        fuzzcall::store_value(classid, mxGetData(array.get()), k, values[k]);
        if (complex) fuzzcall::store_value(classid, standin::imag_data(array.get()), k, 1.0);
    }
    return array;
}

std::vector<size_t> dims_of(const mxArray* array) { return standin::dimensions(array); }

Array same_values(const mxArray* base, mxClassID classid) {
    return make(classid, dims_of(base), doubles(base));
}

Array each(const mxArray* base, const std::function<double(double)>& f) {
    std::vector<double> v = doubles(base);
    for (double& x : v) x = f(x);
    return make(mxDOUBLE_CLASS, dims_of(base), v);
}

Array sparse(const mxArray* base) {
    standin::ArrayLayout layout;
    layout.classid = mxDOUBLE_CLASS;
    layout.dims = {mxGetM(base), mxGetN(base)};
    layout.sparse = true;
    layout.nzmax = mxGetNumberOfElements(base);
    Array array(standin::create_array(layout));
    const std::vector<double> v = doubles(base);
    double* data = mxGetPr(array.get());
    size_t* ir = standin::sparse_rows(array.get());
    size_t* jc = standin::sparse_columns(array.get());
    for (size_t k = 0; k < v.size(); ++k) {
        data[k] = v[k];
        ir[k] = k % layout.dims[0];
    }
    for (size_t c = 0; c <= layout.dims[1]; ++c) jc[c] = c * layout.dims[0];
    return array;
}

// One kind of bad input, made from the valid input it replaces.
struct Variant {
    const char* name;
    std::function<Array(const mxArray*)> make;
};

const std::vector<Variant>& variants() {
    static const std::vector<Variant> all = {
        {"single", [](const mxArray* b) { return same_values(b, mxSINGLE_CLASS); }},
        {"int32", [](const mxArray* b) { return same_values(b, mxINT32_CLASS); }},
        {"logical", [](const mxArray* b) { return same_values(b, mxLOGICAL_CLASS); }},
        {"char", [](const mxArray* b) { return same_values(b, mxCHAR_CLASS); }},
        {"complex (every imaginary value 1)",
         [](const mxArray* b) { return make(mxDOUBLE_CLASS, dims_of(b), doubles(b), true); }},
        {"sparse", [](const mxArray* b) { return sparse(b); }},
        {"empty, 0x0", [](const mxArray*) { return make(mxDOUBLE_CLASS, {0, 0}, {}); }},
        {"2^31 x 0 (no element)",
         [](const mxArray*) { return make(mxDOUBLE_CLASS, {size_t{1} << 31, 0}, {}); }},
        {"0 x 65536 x 65536 (no element)",
         [](const mxArray*) { return make(mxDOUBLE_CLASS, {0, 65536, 65536}, {}); }},
        {"its first element alone, 1x1",
         [](const mxArray* b) { return make(mxDOUBLE_CLASS, {1, 1}, doubles(b)); }},
        {"three dimensions, m x n x 2",
         [](const mxArray* b) {
             std::vector<double> v = doubles(b);
             v.insert(v.end(), v.begin(), v.end());
             return make(mxDOUBLE_CLASS, {mxGetM(b), mxGetN(b), 2}, v);
         }},
        {"every element NaN", [](const mxArray* b) { return each(b, [](double) { return NAN; }); }},
        {"every element +Inf",
         [](const mxArray* b) { return each(b, [](double) { return INFINITY; }); }},
        {"every element -Inf",
         [](const mxArray* b) { return each(b, [](double) { return -INFINITY; }); }},
        {"every element -0", [](const mxArray* b) { return each(b, [](double) { return -0.0; }); }},
        {"every element 1e308", [](const mxArray* b) { return each(b, [](double) { return 1e308; }); }},
        {"every element 5e-324",
         [](const mxArray* b) { return each(b, [](double) { return 4.9406564584124654e-324; }); }},
        {"each element + 0.5", [](const mxArray* b) { return each(b, [](double x) { return x + 0.5; }); }},
        {"each element negated", [](const mxArray* b) { return each(b, [](double x) { return -x; }); }},
    };
    return all;
}

std::string number(double v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v > 0 ? "Inf" : "-Inf";
    char text[40];
    std::snprintf(text, sizeof text, "%.17g", v);
    return text;
}

std::string escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '|') out += '\\';
        out += c;
    }
    return out;
}

struct Table {
    const Oracle& oracle;
    const mexhost::Module& module;
    std::set<std::pair<std::string, std::string>> messages;
    bool failed = false;

    // Calls the module and describes the outcome in a few words.
    std::string outcome(Call call) {
        const mexhost::CallResult result = module.call(call.nlhs, call.arguments());
        const std::string fault = fuzzcall::check_call(oracle, call, result);
        if (!fault.empty()) {
            std::fprintf(stderr, "%s: %s\n%s", oracle.module, fault.c_str(),
                         fuzzcall::describe_call(call).c_str());
            failed = true;
        }
        if (result.host_error) {
            if (result.identifier.empty()) return "\"" + escaped(result.message) + "\"";
            messages.insert({result.identifier, result.message});
            return "`" + result.identifier + "`";
        }
        if (!result.ok) return "(no outcome)";
        // "1x2 double/int32/int32": the size once when every result has it.
        std::string text, size, previous_size;
        bool same_size = true;
        for (const auto& output : result.outputs) {
            if (!output) continue;
            const auto& dims = standin::dimensions(output.get());
            size = std::to_string(dims[0]) + "x" + std::to_string(dims[1]);
            same_size = same_size && (previous_size.empty() || size == previous_size);
            previous_size = size;
        }
        for (const auto& output : result.outputs) {
            if (!output) continue;
            const auto& dims = standin::dimensions(output.get());
            const char* name = fuzzcall::class_name(mxGetClassID(output.get()));
            if (same_size)
                text += text.empty() ? size + " " + name : std::string("/") + name;
            else
                text += (text.empty() ? "" : ", ") + std::to_string(dims[0]) + "x" +
                        std::to_string(dims[1]) + " " + name;
        }
        const mxArray* first = result.outputs[0].get();
        if (first && mxIsDouble(first) && mxGetNumberOfElements(first) <= 4 &&
            mxGetNumberOfElements(first) > 0) {
            text += ":";
            for (double v : doubles(first)) text += " " + number(v);
        }
        return text;
    }

    Call valid_call(int nlhs) const {
        Call call;
        call.nlhs = nlhs;
        call.inputs = oracle.valid_inputs();
        return call;
    }

    void print() {
        const int inputs = oracle.arity.inputs;
        const int outputs = oracle.arity.max_outputs;
        std::printf("### `%s`\n\n| call | outcome |\n|---|---|\n", oracle.module);
        std::printf("| valid, %d result%s requested | %s |\n", outputs, outputs == 1 ? "" : "s",
                    outcome(valid_call(outputs)).c_str());
        for (int nlhs = 0; nlhs <= outputs + 1; ++nlhs) {
            if (nlhs == outputs) continue;
            std::printf("| %d result%s requested | %s |\n", nlhs, nlhs == 1 ? "" : "s",
                        outcome(valid_call(nlhs)).c_str());
        }
        Call fewer = valid_call(outputs);
        fewer.inputs.pop_back();
        std::printf("| %d inputs | %s |\n", inputs - 1, outcome(std::move(fewer)).c_str());
        Call more = valid_call(outputs);
        more.inputs.push_back(make(mxDOUBLE_CLASS, {1, 1}, {0}));
        std::printf("| %d inputs | %s |\n", inputs + 1, outcome(std::move(more)).c_str());

        std::printf("\n| input given as |");
        for (const char* name : oracle.input_names) std::printf(" `%s` |", name);
        std::printf("\n|---|");
        for (int i = 0; i < inputs; ++i) std::printf("---|");
        std::printf("\n");
        for (const Variant& variant : variants()) {
            std::printf("| %s |", variant.name);
            for (int i = 0; i < inputs; ++i) {
                Call call = valid_call(outputs);
                call.inputs[i] = variant.make(call.inputs[i].get());
                std::printf(" %s |", outcome(std::move(call)).c_str());
            }
            std::printf("\n");
        }
        std::printf("\n| identifier | message |\n|---|---|\n");
        for (const auto& message : messages)
            std::printf("| `%s` | %s |\n", message.first.c_str(), escaped(message.second).c_str());
        std::printf("\n");
    }
};

}  // namespace

int main() {
    bool failed = false;
    for (const Oracle* oracle : fuzzcall::oracles()) {
        const mexhost::Module module(std::string(MODULE_DIR) + "/" + oracle->module + MODULE_SUFFIX);
        Table table{*oracle, module, {}, false};
        table.print();
        failed = failed || table.failed;
    }
    return failed ? 1 : 0;
}
