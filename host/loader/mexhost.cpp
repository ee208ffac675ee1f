#include "mexhost.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace mexhost {

namespace {

// Every byte a module could reach through an input: data, imaginary part and
// the sparse index arrays.
std::vector<unsigned char> snapshot(const mxArray* array) {
    std::vector<unsigned char> bytes;
    auto append = [&bytes](const void* data, size_t count) {
        if (data == nullptr || count == 0) return;
        const auto* first = static_cast<const unsigned char*>(data);
        bytes.insert(bytes.end(), first, first + count);
    };
    const size_t data = standin::data_bytes(array);
    append(mxGetData(array), data);
    append(standin::imag_data(array), data);
    if (mxIsSparse(array)) {
        append(standin::sparse_rows(array), standin::sparse_nzmax(array) * sizeof(size_t));
        append(standin::sparse_columns(array), (mxGetN(array) + 1) * sizeof(size_t));
    }
    return bytes;
}

}  // namespace

Array numeric_array(mxClassID classid, const std::vector<size_t>& dims, bool complex) {
    standin::ArrayLayout layout;
    layout.classid = classid;
    layout.dims = dims;
    layout.complex = complex;
    return Array(standin::create_array(layout));
}

Array double_matrix(size_t rows, size_t cols, const std::vector<double>& values) {
    Array array = numeric_array(mxDOUBLE_CLASS, {rows, cols});
    if (!values.empty()) {
        if (values.size() != rows * cols)
            throw std::invalid_argument("double_matrix: value count does not match the size");
        std::memcpy(mxGetPr(array.get()), values.data(), values.size() * sizeof(double));
    }
    return array;
}

Array double_scalar(double value) { return double_matrix(1, 1, {value}); }

Array sparse_matrix(size_t rows, size_t cols, size_t nzmax) {
    standin::ArrayLayout layout;
    layout.classid = mxDOUBLE_CLASS;
    layout.dims = {rows, cols};
    layout.sparse = true;
    layout.nzmax = nzmax;
    return Array(standin::create_array(layout));
}

std::vector<double> values(const mxArray* array) {
    const double* data = mxGetPr(array);
    return std::vector<double>(data, data + mxGetNumberOfElements(array));
}

std::vector<int32_t> int32_values(const mxArray* array) {
    const auto* data = static_cast<const int32_t*>(mxGetData(array));
    return std::vector<int32_t>(data, data + mxGetNumberOfElements(array));
}

Module::Module(const std::string& path) {
#if defined(_WIN32)
    HMODULE module = LoadLibraryA(path.c_str());
    if (module == nullptr) throw std::runtime_error("cannot load " + path);
    handle_ = module;
    // Through void (*)(), the generic function pointer, as GetProcAddress's
    // result has no useful type of its own.
    entry_ = reinterpret_cast<Entry>(
        reinterpret_cast<void (*)()>(GetProcAddress(module, "mexFunction")));
#else
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) throw std::runtime_error(std::string("cannot load ") + dlerror());
    entry_ = reinterpret_cast<Entry>(dlsym(handle_, "mexFunction"));
#endif
    if (entry_ == nullptr) throw std::runtime_error(path + " has no mexFunction");
}

Module::Module(Entry entry) : entry_(entry) {
    if (entry_ == nullptr) throw std::runtime_error("no mexFunction given");
}

Module::~Module() {
    if (handle_ == nullptr) return;
#if defined(_WIN32)
    FreeLibrary(static_cast<HMODULE>(handle_));
#else
    dlclose(handle_);
#endif
}

CallResult Module::call(int nlhs, const std::vector<const mxArray*>& inputs) const {
    CallResult result;
    std::vector<std::vector<unsigned char>> before;
    for (const mxArray* input : inputs) before.push_back(snapshot(input));

    // Exactly as many slots as a host provides, so a write past them shows.
    const size_t slots = static_cast<size_t>(nlhs > 1 ? nlhs : 1);
    std::unique_ptr<mxArray*[]> plhs(new mxArray*[slots]);
    for (size_t i = 0; i < slots; ++i) plhs[i] = nullptr;
    std::vector<const mxArray*> prhs(inputs);

    standin::begin_call();
    try {
        entry_(nlhs, plhs.get(), static_cast<int>(prhs.size()), prhs.data());
        result.ok = true;
    } catch (const standin::HostError& error) {
        result.host_error = true;
        result.identifier = error.identifier();
        result.message = error.message();
    } catch (const std::exception& error) {
        result.foreign_exception = true;
        result.message = error.what();
    } catch (...) {
        result.foreign_exception = true;
        result.message = "unknown exception";
    }
    result.blocks_live_at_return = standin::live_blocks();

    // A failed call hands nothing back; a returned one hands back each slot
    // the module filled with an array it created during this call (once).
    std::vector<mxArray*> kept;
    if (result.ok) {
        for (size_t i = 0; i < slots; ++i) {
            mxArray* array = plhs[i];
            const bool fresh = array != nullptr && standin::created_in_call(array) &&
                               std::find(kept.begin(), kept.end(), array) == kept.end();
            if (fresh) kept.push_back(array);
            result.outputs.emplace_back(fresh ? array : nullptr);
        }
    } else {
        result.outputs.resize(slots);
    }
    const standin::CallLedger ledger = standin::end_call(kept.data(), kept.size());
    result.arrays_created = ledger.arrays_created;
    result.arrays_released = ledger.arrays_released;

    for (size_t i = 0; i < inputs.size(); ++i)
        if (snapshot(inputs[i]) != before[i]) result.inputs_unchanged = false;
    return result;
}

}  // namespace mexhost
