// bitexact._host: the modules on NumPy arrays.
//
// gridlerp(image, X, Y, out) and patchwarp(image, shape, A, out) run their
// module's checks (modules/args.h) on the inputs' sizes, then the plan: every
// array the plan reads is read where it lies when it is float64 in the
// machine's order, aligned, with steps of whole elements from 0 (any other is
// converted once, into a float64 copy), and the results are NumPy arrays (or
// the caller's `out`). One call from Python, the interpreter lock released
// while the kernel runs. They return a list of the results, or (identifier,
// message) when a check fails.
//
// call(module, nlhs, inputs, mode=RUN), for envsweep and linscore, calls a
// module's entry through the Python host.
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

#include "core/matrix_view.h"
#include "modules/args.h"
#include "python_host.h"

namespace py = pybind11;

using Entry = void (*)(int, mxArray**, int, const mxArray**);

extern "C" {
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
py::array host_result(pyhost::HostCall& call, mxArray* result,
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
        py::array result = host_result(
            host_call, plhs[r], result_shape(plhs[r], form, form == ResultShape::kLikeSecondInput
                                                                ? inputs[1] : py::handle()));
        results[static_cast<size_t>(r)] = result;
    }
    return std::move(results);
}

// The host's rows x cols of an array and its elements' steps, when the array
// is read where it lies: float64 in the machine's order, aligned, steps of
// whole elements from 0, and its dimensions after the first (the host's
// columns, taken in column order) one run of a single step.
bool host_view(PyObject* object, ConstView& view) {
    const auto& api = py::detail::npy_api::get();
    if (!api.PyArray_Check_(object)) return false;
    const auto* array = py::detail::array_proxy(object);
    const int aligned = py::detail::npy_api::NPY_ARRAY_ALIGNED_;
    if ((array->flags & aligned) == 0 ||
        !api.PyArray_EquivTypes_(array->descr, py::dtype::of<double>().ptr()))
        return false;
    const int nd = array->nd;
    std::vector<py::ssize_t> steps(static_cast<size_t>(nd));
    for (int d = 0; d < nd; ++d) {
        const py::ssize_t bytes = array->strides[d];
        if (bytes < 0 || bytes % 8 != 0) return false;
        steps[static_cast<size_t>(d)] = bytes / 8;
    }
    size_t rows = 1, cols = 1;
    host_size(array->dimensions, static_cast<size_t>(nd), rows, cols);
    if (rows > INT32_MAX || cols > INT32_MAX) return false;
    std::ptrdiff_t row_step = 1, col_step = 1;
    if (nd == 1) col_step = steps[0];
    if (nd >= 2) {
        row_step = steps[0];
        // The further dimensions (of more than one element) as one run.
        bool first = true;
        std::ptrdiff_t next = 0;
        for (int d = 1; d < nd; ++d) {
            const py::ssize_t extent = array->dimensions[d];
            if (extent == 1) continue;
            if (!first && steps[static_cast<size_t>(d)] != next) return false;
            if (first) col_step = steps[static_cast<size_t>(d)];
            first = false;
            next = steps[static_cast<size_t>(d)] * extent;
        }
    }
    view = {reinterpret_cast<const double*>(array->data), static_cast<int32_t>(rows),
            static_cast<int32_t>(cols), row_step, col_step};
    return true;
}

// An input the plan reads, as a view: in place, or once converted into a
// float64 copy (kept alive by `keep`) in its own order, or in column order
// where its further dimensions do not form one run.
ConstView read_view(py::handle input, py::object& keep) {
    ConstView view{};
    if (host_view(input.ptr(), view)) return view;
    py::module_ numpy = py::module_::import("numpy");
    keep = numpy.attr("array")(input, "float64", py::arg("order") = "K");
    if (host_view(keep.ptr(), view)) return view;
    keep = numpy.attr("asfortranarray")(keep);
    host_view(keep.ptr(), view);
    return view;
}

// The first `count` elements of an array in column order, converted into a
// float64 vector (the package's own helper, which converts nothing more).
py::object leading(py::handle array, int32_t count) {
    py::object part = py::module_::import("bitexact").attr("_leading")(array, count);
    ConstView view{};
    if (host_view(part.ptr(), view)) return part;
    // A one-element array counts as contiguous whatever its step: a fresh copy.
    return py::module_::import("numpy").attr("array")(part, "float64");
}

// The first `count` elements of `source` in column order as a grid of the
// given size (column order too), where the steps allow it: a source of one
// row or one column, or whose columns follow one another at one step.
bool leading_as_grid(const ConstView& source, ImageDims grid, ConstView& view) {
    std::ptrdiff_t step = 0;
    if (source.rows == 1) {
        step = source.col_step;
    } else if (source.cols == 1 || source.col_step == source.rows * source.row_step) {
        step = source.row_step;
    } else {
        return false;
    }
    view = {source.data, grid.rows, grid.cols, step, step * grid.rows};
    return true;
}

// A result array: the caller's `out` when given (checked against what the
// call makes), else a new NumPy array of this shape, row-major when
// `c_order`.
py::array_t<double> result_array(py::handle out, const std::vector<py::ssize_t>& shape,
                                 bool c_order, const char* what) {
    if (!out.is_none()) {
        const auto& api = py::detail::npy_api::get();
        if (!api.PyArray_Check_(out.ptr()))
            throw py::type_error(std::string(what) + " must be a NumPy array of float64");
        const auto* array = py::detail::array_proxy(out.ptr());
        if (!api.PyArray_EquivTypes_(array->descr, py::dtype::of<double>().ptr()))
            throw py::type_error(std::string(what) + " must be a NumPy array of float64");
        const std::vector<py::ssize_t> has(array->dimensions, array->dimensions + array->nd);
        if (has != shape) {
            std::string expected = "(";
            for (size_t d = 0; d < shape.size(); ++d)
                expected += (d ? ", " : "") + std::to_string(shape[d]);
            expected += shape.size() == 1 ? ",)" : ")";
            throw py::value_error(std::string(what) + " must have the shape " + expected);
        }
        ConstView view{};
        const int writeable = py::detail::npy_api::NPY_ARRAY_WRITEABLE_;
        if ((array->flags & writeable) == 0 || !host_view(out.ptr(), view))
            throw py::value_error(std::string(what) +
                                  " must be writeable and aligned, its steps whole elements, "
                                  "and its dimensions after the first one run of one step");
        for (int d = 0; d < array->nd; ++d)
            if (array->strides[d] == 0 && array->dimensions[d] > 1)
                throw py::value_error(std::string(what) + " must not repeat an element "
                                                          "(a step of 0)");
        return py::reinterpret_borrow<py::array_t<double>>(out);
    }
    // Row order only up to two dimensions: further ones count together as
    // the host's columns, in column order.
    c_order = c_order && shape.size() <= 2;
    std::vector<py::ssize_t> strides(shape.size());
    py::ssize_t stride = 8;
    for (size_t k = 0; k < shape.size(); ++k) {
        const size_t d = c_order ? shape.size() - 1 - k : k;
        strides[d] = stride;
        stride *= shape[d] > 0 ? shape[d] : 1;
    }
    return py::array_t<double>(shape, strides);
}

DoubleView result_view(const py::array_t<double>& result) {
    ConstView view{};
    host_view(result.ptr(), view);
    return {const_cast<double*>(view.data), view.rows, view.cols, view.row_step,
            view.col_step};
}

// Whether an array lies in row order rather than column order: C-ordered, or
// its last dimension's step the least.
bool row_ordered(PyObject* object) {
    const auto* array = py::detail::array_proxy(object);
    if (array->nd < 2) return false;
    const int c = py::detail::npy_api::NPY_ARRAY_C_CONTIGUOUS_;
    const int f = py::detail::npy_api::NPY_ARRAY_F_CONTIGUOUS_;
    if ((array->flags & f) != 0) return false;
    if ((array->flags & c) != 0) return true;
    return array->strides[array->nd - 1] < array->strides[0];
}

// The host's size of an input for the checks: an array's, or a shape
// tuple's; no data.
const mxArray* size_only(pyhost::HostCall& call, py::handle input) {
    size_t rows = 1, cols = 1;
    if (PyTuple_Check(input.ptr())) {
        std::vector<size_t> dims;
        for (py::handle count : py::reinterpret_borrow<py::tuple>(input)) {
            if (!PyLong_Check(count.ptr()) || PyLong_AsLongLong(count.ptr()) < 0 ||
                PyErr_Occurred()) {
                const bool past = PyErr_Occurred() != nullptr;
                PyErr_Clear();
                if (!past || !PyLong_Check(count.ptr()))
                    throw py::value_error("a shape is a tuple of counts (ints from 0)");
                dims.push_back(SIZE_MAX);   // past any count a module accepts
                continue;
            }
            dims.push_back(static_cast<size_t>(PyLong_AsLongLong(count.ptr())));
        }
        host_size(dims.data(), dims.size(), rows, cols);
    } else {
        const auto* array = py::detail::array_proxy(input.ptr());
        host_size(array->dimensions, static_cast<size_t>(array->nd), rows, cols);
    }
    return call.input(nullptr, rows, cols);
}

py::object error_of(const pyhost::HostError& error) {
    return py::make_tuple(error.identifier, error.message);
}

py::object gridlerp(py::array image, py::array X, py::array Y, py::object out) {
    pyhost::HostCall call("gridlerp");
    const mxArray* prhs[3] = {size_only(call, image), size_only(call, X), size_only(call, Y)};
    GridlerpPlan plan;
    try {
        plan = gridlerp_check(1, 3, prhs);
    } catch (const pyhost::HostError& error) {
        return error_of(error);
    }
    const std::vector<py::ssize_t> shape(X.shape(), X.shape() + X.ndim());
    py::array_t<double> result = result_array(out, shape, row_ordered(X.ptr()), "out");
    const DoubleView out_view = result_view(result);
    py::object image_copy, X_copy, Y_copy;
    ConstView image_view{}, X_view{}, Y_view{};
    if (plan.positions > 0) {
        image_view = read_view(image, image_copy);
        X_view = read_view(X, X_copy);
        // Y pairs with X element for element when it has X's size, else its
        // first elements in column order pair with X's.
        // Any other Y is converted only as far as those elements.
        const bool whole = host_view(Y.ptr(), Y_view);
        if (!whole || ((Y_view.rows != plan.grid.rows || Y_view.cols != plan.grid.cols) &&
                       !leading_as_grid(Y_view, plan.grid, Y_view))) {
            Y_copy = leading(Y, plan.positions);
            ConstView run{};
            host_view(Y_copy.ptr(), run);
            leading_as_grid(run, plan.grid, Y_view);
        }
    }
    {
        py::gil_scoped_release unlocked;
        gridlerp_run(plan, image_view, X_view, Y_view, out_view);
    }
    py::list results(1);
    results[0] = result;
    return std::move(results);
}

py::object patchwarp(py::array image, py::tuple shape, py::array A, py::object out) {
    pyhost::HostCall call("patchwarp");
    const mxArray* prhs[3] = {size_only(call, image), size_only(call, shape), size_only(call, A)};
    PatchwarpPlan plan;
    try {
        plan = patchwarp_check(3, 3, prhs);
    } catch (const pyhost::HostError& error) {
        return error_of(error);
    }
    const std::vector<py::ssize_t> grid{plan.grid.rows, plan.grid.cols};
    // Row order unless the image lies in column order.
    const auto* image_array = py::detail::array_proxy(image.ptr());
    const bool c_order =
        !(image_array->nd >= 2 &&
          (image_array->flags & py::detail::npy_api::NPY_ARRAY_F_CONTIGUOUS_) != 0);
    py::object outs[3] = {py::none(), py::none(), py::none()};
    if (!out.is_none()) {
        if (!PyTuple_Check(out.ptr()) || py::len(out) != 3)
            throw py::type_error("out must be a tuple of three float64 arrays (patch, x, y)");
        for (int r = 0; r < 3; ++r) outs[r] = py::reinterpret_borrow<py::tuple>(out)[r];
    }
    const char* names[3] = {"out[0]", "out[1]", "out[2]"};
    py::list results(3);
    DoubleView views[3];
    for (int r = 0; r < 3; ++r) {
        py::array_t<double> result = result_array(outs[r], grid, c_order, names[r]);
        views[r] = result_view(result);
        results[static_cast<size_t>(r)] = result;
    }
    py::object image_copy, A_copy;
    ConstView image_view{};
    double coefficients[6] = {0, 0, 0, 0, 0, 0};
    if (plan.cells > 0) {
        image_view = read_view(image, image_copy);
        ConstView A_view{};
        if (!host_view(A.ptr(), A_view)) {
            A_copy = leading(A, 6);
            host_view(A_copy.ptr(), A_view);
        }
        for (int32_t k = 0; k < 6; ++k)
            coefficients[k] = A_view.at(k % A_view.rows, k / A_view.rows);
    }
    {
        py::gil_scoped_release unlocked;
        patchwarp_run(plan, image_view, coefficients, views[0], views[1], views[2]);
    }
    return std::move(results);
}

}  // namespace

PYBIND11_MODULE(_host, m) {
    m.doc() = "The module entries of bitexact called through the Python host.";
    m.def("call", &call, py::arg("module"), py::arg("nlhs"), py::arg("inputs"),
          py::arg("mode") = static_cast<int>(kRun));
    m.def("gridlerp", &gridlerp, py::arg("image"), py::arg("X"), py::arg("Y"),
          py::arg("out") = py::none());
    m.def("patchwarp", &patchwarp, py::arg("image"), py::arg("shape"), py::arg("A"),
          py::arg("out") = py::none());
    m.attr("FAST") = static_cast<int>(kFast);
    m.attr("CHECK") = static_cast<int>(kCheck);
    m.attr("RUN") = static_cast<int>(kRun);
}
