// bitexact._host: calls a module's entry on NumPy arrays through the Python
// host.
//
// call(module, nlhs, inputs, mode=RUN) hands the entry each input as a host
// array:
//   - a float64 ndarray in column order, aligned and in the machine's byte
//     order: read where it is;
//   - a Python float, or an int within 64 bits (bool included): a 1 x 1 double;
//   - a tuple of counts: an array without data, whose size alone is read.
// Modes:
//   RUN (2)    runs the entry. A tuple is taken only where the module reads no
//              data (patchwarp's size template); any other input raises
//              TypeError before anything runs.
//   FAST (0)   as RUN, but returns None at once, having run nothing, when an
//              input is not one of these forms (the package then converts it).
//   CHECK (1)  runs the entry as far as its checks: it ends where the entry
//              would first create an array, take scratch or read the data of
//              a tuple, so nothing is allocated or read past the data given.
//              Tuples are taken anywhere. Returns None when the checks pass.
// RUN and FAST return a list of the results (new arrays that own their
// memory, in column order) when the entry returned, and (identifier, message)
// when it ended the call with an error; CHECK returns that pair or None.
#include <Python.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "python_host.h"

namespace py = pybind11;

using Entry = void (*)(int, mxArray**, int, const mxArray**);

extern "C" {
void gridlerp_entry(int, mxArray**, int, const mxArray**);
void patchwarp_entry(int, mxArray**, int, const mxArray**);
void envsweep_entry(int, mxArray**, int, const mxArray**);
void envsweep_rows_entry(int, mxArray**, int, const mxArray**);
void linscore_entry(int, mxArray**, int, const mxArray**);
void linscore_rows_entry(int, mxArray**, int, const mxArray**);
}

namespace {

enum Mode { kFast = 0, kCheck = 1, kRun = 2 };

// How a module's first result is shaped for Python.
enum class ResultShape { kMatrix, kLikeSecondInput, kVector };

struct Module {
    const char* name;
    Entry entry;
    int size_only;       // the input whose size alone is read, or -1
    ResultShape shape;   // of the first result; the others are matrices
};

const Module kModules[] = {
    {"gridlerp", gridlerp_entry, -1, ResultShape::kLikeSecondInput},
    {"patchwarp", patchwarp_entry, 1, ResultShape::kMatrix},
    {"envsweep", envsweep_entry, -1, ResultShape::kMatrix},
    // envsweep of a source in row order, given transposed (a C-ordered
    // array's transpose is in column order); its results come back
    // transposed, the C order of out_rows x out_cols.
    {"envsweep_rows", envsweep_rows_entry, -1, ResultShape::kMatrix},
    {"linscore", linscore_entry, -1, ResultShape::kVector},
    // linscore of X given transposed, as a C-ordered features x samples array
    // is in column order: the same scores without a transposed copy.
    {"linscore_rows", linscore_rows_entry, -1, ResultShape::kVector},
};

// No module gives more than three results.
constexpr int kMostResults = 3;

const Module& module_of(const char* name) {
    for (const Module& module : kModules)
        if (std::strcmp(module.name, name) == 0) return module;
    throw py::value_error(std::string("no module named ") + name);
}

size_t saturating_product(size_t a, size_t b) {
    size_t product = 0;
    return __builtin_mul_overflow(a, b, &product) ? SIZE_MAX : product;
}

// The host's size of an array of these dimensions: a 0-d array is 1 x 1, a
// 1-d array of n elements the row 1 x n, and an array of more dimensions has
// the first as rows and all further ones together as columns. A column count
// past size_t (only a tuple can claim one) stays at the largest count, which
// every entry refuses as too large.
template <typename Count>
void host_size(const Count* dims, size_t ndim, size_t& rows, size_t& cols) {
    rows = 1;
    cols = 1;
    if (ndim == 1) cols = static_cast<size_t>(dims[0]);
    if (ndim < 2) return;
    rows = static_cast<size_t>(dims[0]);
    for (size_t d = 1; d < ndim; ++d) cols = saturating_product(cols, static_cast<size_t>(dims[d]));
}

// Whether an object is a float64 array the host can read where it is.
bool readable_in_place(PyObject* object, PyObject* float64, bool exact_type) {
    const auto& api = py::detail::npy_api::get();
    if (exact_type ? Py_TYPE(object) != api.PyArray_Type_ : !api.PyArray_Check_(object))
        return false;
    const auto* array = py::detail::array_proxy(object);
    const int needed = py::detail::npy_api::NPY_ARRAY_F_CONTIGUOUS_ |
                       py::detail::npy_api::NPY_ARRAY_ALIGNED_;
    return (array->flags & needed) == needed && api.PyArray_EquivTypes_(array->descr, float64);
}

// The inputs of one call as host arrays, with what must outlive the entry.
class Inputs {
public:
    explicit Inputs(size_t count) { scalars_.reserve(count); }

    // Adds one input; false when it is in no form the host reads (FAST mode
    // then gives up), a TypeError in RUN mode, a ValueError for a bad tuple.
    bool add(py::handle input, bool size_only_allowed, bool exact_type, Mode mode,
             PyObject* float64, pyhost::HostCall& call) {
        PyObject* object = input.ptr();
        size_t rows = 1, cols = 1;
        if (readable_in_place(object, float64, exact_type)) {
            const auto* array = py::detail::array_proxy(object);
            host_size(array->dimensions, static_cast<size_t>(array->nd), rows, cols);
            prhs_.push_back(call.input(reinterpret_cast<const double*>(array->data), rows, cols));
            return true;
        }
        if (PyFloat_Check(object)) {
            scalars_.push_back(PyFloat_AS_DOUBLE(object));
            prhs_.push_back(call.input(&scalars_.back(), 1, 1));
            return true;
        }
        if (PyLong_Check(object)) {
            int overflow = 0;
            const long long value = PyLong_AsLongLongAndOverflow(object, &overflow);
            if (overflow == 0 && !(value == -1 && PyErr_Occurred())) {
                // Rounded to the nearest double, as NumPy converts an int64.
                scalars_.push_back(static_cast<double>(value));
                prhs_.push_back(call.input(&scalars_.back(), 1, 1));
                return true;
            }
            PyErr_Clear();
        }
        if (PyTuple_Check(object) && (size_only_allowed || mode == kCheck)) {
            std::vector<size_t> dims;
            for (py::handle count : py::reinterpret_borrow<py::tuple>(input)) {
                if (!PyLong_Check(count.ptr()) ||
                    PyObject_RichCompareBool(count.ptr(), zero(), Py_LT) != 0)
                    throw py::value_error("a shape is a tuple of counts (ints from 0)");
                const unsigned long long value = PyLong_AsUnsignedLongLong(count.ptr());
                if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
                    PyErr_Clear();
                    dims.push_back(SIZE_MAX);   // past any count an entry accepts
                } else {
                    dims.push_back(static_cast<size_t>(value));
                }
            }
            host_size(dims.data(), dims.size(), rows, cols);
            prhs_.push_back(call.input(nullptr, rows, cols));
            return true;
        }
        if (mode == kFast) return false;
        if (PyTuple_Check(object))
            throw py::type_error("a shape tuple stands only for an input whose data is not read");
        throw py::type_error("inputs must be float64 arrays in column order, numbers or shapes");
    }

    const std::vector<const mxArray*>& prhs() const { return prhs_; }

private:
    static PyObject* zero() {
        static PyObject* const value = PyLong_FromLong(0);
        return value;
    }
    std::vector<double> scalars_;   // reserved: addresses stay put
    std::vector<const mxArray*> prhs_;
};

// A result of the call as a NumPy array of the given shape (column order)
// over its own data, which the array frees when it goes.
py::array result_array(pyhost::HostCall& call, mxArray* result,
                       const std::vector<py::ssize_t>& shape) {
    const bool is_int32 = mxGetClassID(result) == mxINT32_CLASS;
    std::vector<py::ssize_t> strides;
    py::ssize_t stride = is_int32 ? 4 : 8;
    for (const py::ssize_t extent : shape) {
        strides.push_back(stride);
        stride *= extent;
    }
    void* data = mxGetData(result);
    py::capsule owner(data, [](void* block) { pyhost::free_block(block); });
    call.take_data(result);
    if (is_int32) return py::array_t<int32_t>(shape, strides, static_cast<int32_t*>(data), owner);
    return py::array_t<double>(shape, strides, static_cast<double*>(data), owner);
}

// The shape a result takes: the host's rows x cols, the shape of the input it
// follows (0-d for a number), or one dimension.
std::vector<py::ssize_t> result_shape(const mxArray* result, ResultShape form, py::handle like) {
    const auto rows = static_cast<py::ssize_t>(mxGetM(result));
    const auto cols = static_cast<py::ssize_t>(mxGetN(result));
    if (form == ResultShape::kVector) return {rows * cols};
    if (form == ResultShape::kLikeSecondInput) {
        if (!py::detail::npy_api::get().PyArray_Check_(like.ptr())) return {};
        const auto* array = py::detail::array_proxy(like.ptr());
        return std::vector<py::ssize_t>(array->dimensions, array->dimensions + array->nd);
    }
    return {rows, cols};
}

py::object call(const char* module_name, int nlhs, const py::list& inputs, int mode_number) {
    const Module& module = module_of(module_name);
    if (mode_number < kFast || mode_number > kRun)
        throw py::value_error("mode is 0 (fast), 1 (check) or 2 (run)");
    const Mode mode = static_cast<Mode>(mode_number);
    // Refused before any slot exists: no module gives more results.
    if (nlhs < 0 || nlhs > kMostResults)
        throw py::value_error("nlhs must be from 0 to 3: no module gives more results");

    const py::dtype float64 = py::dtype::of<double>();
    pyhost::HostCall host_call(module.name, mode == kCheck);
    Inputs host_inputs(inputs.size());
    const bool exact_type = mode == kFast;
    for (size_t k = 0; k < inputs.size(); ++k)
        if (!host_inputs.add(inputs[k], static_cast<int>(k) == module.size_only, exact_type, mode,
                             float64.ptr(), host_call))
            return py::none();

    mxArray* plhs[kMostResults] = {nullptr, nullptr, nullptr};
    const std::vector<const mxArray*>& prhs = host_inputs.prhs();
    pyhost::HostError error;
    bool failed = false;
    {
        py::gil_scoped_release unlocked;
        try {
            module.entry(nlhs, plhs, static_cast<int>(prhs.size()),
                         const_cast<const mxArray**>(prhs.data()));
        } catch (pyhost::ChecksPassed&) {
        } catch (pyhost::HostError& caught) {
            error = std::move(caught);
            failed = true;
        } catch (const std::bad_alloc&) {
            error = {std::string(module.name) + ":outOfMemory", "Out of memory."};
            failed = true;
        }
    }
    if (failed) return py::make_tuple(error.identifier, error.message);
    if (mode == kCheck) return py::none();

    const int slots = nlhs > 1 ? nlhs : 1;
    py::list results(static_cast<size_t>(slots));
    for (int r = 0; r < slots; ++r) {
        if (plhs[r] == nullptr)
            throw std::runtime_error(std::string(module.name) + " left a result unset");
        const ResultShape form = r == 0 ? module.shape : ResultShape::kMatrix;
        py::array result = result_array(
            host_call, plhs[r], result_shape(plhs[r], form, form == ResultShape::kLikeSecondInput
                                                                ? inputs[1] : py::handle()));
        results[static_cast<size_t>(r)] = result;
    }
    return std::move(results);
}

}  // namespace

PYBIND11_MODULE(_host, m) {
    m.doc() = "The module entries of bitexact called through the Python host.";
    m.def("call", &call, py::arg("module"), py::arg("nlhs"), py::arg("inputs"),
          py::arg("mode") = static_cast<int>(kRun));
    m.attr("FAST") = static_cast<int>(kFast);
    m.attr("CHECK") = static_cast<int>(kCheck);
    m.attr("RUN") = static_cast<int>(kRun);
}
