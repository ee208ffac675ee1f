// bitexact_image._host: the modules on NumPy arrays.
//
// gridlerp(image, X, Y, out, workers), patchwarp(image, shape, A, out,
// workers), envsweep(source_map, scalars, out, workers) and
// linscore(X, mean, scale, w, out, workers) run their module's checks
// (modules/args.h) on the inputs' sizes (and envsweep's nine scalars, each a
// float, or a shape tuple for an empty one),
// then the plan: every array the plan reads is read where it lies when it is
// float64 in the machine's order, aligned, with steps of whole elements from
// 0 (any other is converted once, into a float64 copy), and the results are
// NumPy arrays (or the caller's `out`). One call from Python, the interpreter
// lock released while the kernel runs. They return a list of the results, or
// (identifier, message) when a check fails or memory runs out.
//
// Each takes `workers`, the most threads its kernel runs on (the caller's
// thread and the pool's, worker_pool.h; the package turns -1 into the
// processors the process may use): the results are split into ranges whose
// elements are computed on their own, gridlerp's and patchwarp's by output
// lines, linscore's by samples, envsweep's two passes by their lines, so the
// bits are those of one thread. A call too small to gain from threads runs
// on the calling thread alone.
// Python 3.11's tracemalloc.h declares its functions without C linkage in
// C++; this file declares the two it calls itself, with C linkage, in place
// of that header (later versions declare them alike).
#include <cstddef>
#include <cstdint>
#define Py_TRACEMALLOC_H
extern "C" {
int PyTraceMalloc_Track(unsigned int domain, uintptr_t ptr, size_t size);
int PyTraceMalloc_Untrack(unsigned int domain, uintptr_t ptr);
}
#include <Python.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/bilinear.h"
#include "core/envsweep.h"
#include "core/kernel_path.h"
#include "core/linscore.h"
#include "core/matrix_view.h"
#include "core/patchwarp.h"
#include "modules/args.h"
#include "python_host.h"
#include "worker_pool.h"

namespace py = pybind11;

// The tracemalloc domain NumPy traces its arrays' data in.
constexpr unsigned int kNumpyDomain = 389047;

namespace {

// The least work (elements, each the cost of about one bilinear sample) worth
// a thread of its own: below about twice this a call stays on the calling
// thread, where handing ranges to the pool costs more than it saves.
constexpr int64_t kWorkPerThread = 32768;

// The threads a call of `work` elements runs on: `workers` at most, and one
// per kWorkPerThread elements.
int threads_for(int workers, int64_t work) {
    const int64_t most = std::max<int64_t>(1, work / kWorkPerThread);
    return static_cast<int>(std::min<int64_t>(workers < 1 ? 1 : workers, most));
}

// Lines `first .. end - 1` of a view: its rows, or with `by_cols` its columns.
template <typename T>
MatrixView<T> lines_of(const MatrixView<T>& view, bool by_cols, int64_t first, int64_t end) {
    MatrixView<T> part = view;
    const int32_t begin = static_cast<int32_t>(first);
    const int32_t count = static_cast<int32_t>(end - first);
    if (by_cols) {
        part.data = &view.at(0, begin);
        part.cols = count;
    } else {
        part.data = &view.at(begin, 0);
        part.rows = count;
    }
    return part;
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

// The host's rows x cols of an array and its elements' steps, when the array
// is read where it lies: of element type T (float64 for every input) in the
// machine's order, aligned, steps of whole elements from 0, and its
// dimensions after the first (the host's columns, taken in column order) one
// run of a single step.
template <typename T = double>
bool host_view(PyObject* object, MatrixView<const T>& view) {
    const auto& api = py::detail::npy_api::get();
    if (!api.PyArray_Check_(object)) return false;
    const auto* array = py::detail::array_proxy(object);
    const int aligned = py::detail::npy_api::NPY_ARRAY_ALIGNED_;
    if ((array->flags & aligned) == 0 ||
        !api.PyArray_EquivTypes_(array->descr, py::dtype::of<T>().ptr()))
        return false;
    const int nd = array->nd;
    std::vector<py::ssize_t> steps(static_cast<size_t>(nd));
    for (int d = 0; d < nd; ++d) {
        const py::ssize_t bytes = array->strides[d];
        const py::ssize_t size = sizeof(T);
        if (bytes < 0 || bytes % size != 0) return false;
        steps[static_cast<size_t>(d)] = bytes / size;
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
    view = {reinterpret_cast<const T*>(array->data), static_cast<int32_t>(rows),
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
    py::object part = py::module_::import("bitexact_image").attr("_leading")(array, count);
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

// A result array of element type T: the caller's `out` when given (checked
// against what the call makes), else a new NumPy array of this shape,
// row-major when `c_order`.
template <typename T>
py::array_t<T> result_array(py::handle out, const std::vector<py::ssize_t>& shape, bool c_order,
                            const std::string& what) {
    const std::string type = std::is_same<T, double>::value ? "float64" : "int32";
    if (!out.is_none()) {
        const auto& api = py::detail::npy_api::get();
        if (!api.PyArray_Check_(out.ptr()))
            throw py::type_error(what + " must be a NumPy array of " + type);
        const auto* array = py::detail::array_proxy(out.ptr());
        if (!api.PyArray_EquivTypes_(array->descr, py::dtype::of<T>().ptr()))
            throw py::type_error(what + " must be a NumPy array of " + type);
        const std::vector<py::ssize_t> has(array->dimensions, array->dimensions + array->nd);
        if (has != shape) {
            std::string expected = "(";
            for (size_t d = 0; d < shape.size(); ++d)
                expected += (d ? ", " : "") + std::to_string(shape[d]);
            expected += shape.size() == 1 ? ",)" : ")";
            throw py::value_error(what + " must have the shape " + expected);
        }
        MatrixView<const T> view{};
        const int writeable = py::detail::npy_api::NPY_ARRAY_WRITEABLE_;
        if ((array->flags & writeable) == 0 || !host_view<T>(out.ptr(), view))
            throw py::value_error(what +
                                  " must be writeable and aligned, its steps whole elements, "
                                  "and its dimensions after the first one run of one step");
        for (int d = 0; d < array->nd; ++d)
            if (array->strides[d] == 0 && array->dimensions[d] > 1)
                throw py::value_error(what + " must not repeat an element (a step of 0)");
        return py::reinterpret_borrow<py::array_t<T>>(out);
    }
    // Row order only up to two dimensions: further ones count together as
    // the host's columns, in column order.
    c_order = c_order && shape.size() <= 2;
    std::vector<py::ssize_t> strides(shape.size());
    py::ssize_t stride = sizeof(T);
    size_t bytes = sizeof(T);
    for (size_t k = 0; k < shape.size(); ++k) {
        const size_t d = c_order ? shape.size() - 1 - k : k;
        strides[d] = stride;
        stride *= shape[d] > 0 ? shape[d] : 1;
        bytes = saturating_product(bytes, static_cast<size_t>(shape[d]));
    }
    // A large result on huge pages of its own, which the threads of a call
    // fault in side by side, or a large result's block freed before; the
    // array frees it when it goes. Python's memory tools (tracemalloc) see it
    // as they see NumPy's own data, in NumPy's domain.
    if (void* data = pyhost::allocate_large_result(bytes)) {
        py::capsule owner;
        try {
            owner = py::capsule(data, [](void* block) {
                PyTraceMalloc_Untrack(kNumpyDomain, reinterpret_cast<uintptr_t>(block));
                pyhost::free_block(block);
            });
        } catch (...) {
            pyhost::free_block(data);
            throw;
        }
        PyTraceMalloc_Track(kNumpyDomain, reinterpret_cast<uintptr_t>(data), bytes);
        return py::array_t<T>(shape, strides, static_cast<T*>(data), owner);
    }
    return py::array_t<T>(shape, strides);
}

// The bytes an array's elements may lie in, [first, last); empty for an
// array without elements.
struct ByteSpan {
    uintptr_t first = 0, last = 0;
};

ByteSpan span_of(const py::array& array) {
    ByteSpan span;
    intptr_t low = 0, high = 0;
    for (py::ssize_t d = 0; d < array.ndim(); ++d) {
        if (array.shape(d) == 0) return span;
        const intptr_t reach = static_cast<intptr_t>(array.shape(d) - 1) * array.strides(d);
        (reach < 0 ? low : high) += reach;
    }
    const uintptr_t data = reinterpret_cast<uintptr_t>(array.data());
    span.first = data + static_cast<uintptr_t>(low);
    span.last = data + static_cast<uintptr_t>(high) + static_cast<uintptr_t>(array.itemsize());
    return span;
}

// Refuses results given in `out` that share memory with an input or with
// each other: the kernels read their inputs while they write their results,
// and would read what they wrote. Arrays whose spans of bytes do not meet
// are apart; those whose spans meet are asked of NumPy exactly, and one too
// hard to tell counts as sharing.
void check_apart(const std::vector<std::pair<py::handle, const char*>>& outs,
                 const std::vector<std::pair<py::handle, const char*>>& inputs) {
    const auto meet = [](py::handle a, py::handle b) {
        if (!py::isinstance<py::array>(a) || !py::isinstance<py::array>(b)) return false;
        const ByteSpan x = span_of(py::reinterpret_borrow<py::array>(a));
        const ByteSpan y = span_of(py::reinterpret_borrow<py::array>(b));
        if (x.first == x.last || y.first == y.last || x.last <= y.first || y.last <= x.first)
            return false;
        const py::module_ numpy = py::module_::import("numpy");
        try {
            return numpy.attr("shares_memory")(a, b, py::arg("max_work") = 1 << 20).cast<bool>();
        } catch (py::error_already_set& error) {
            // numpy.exceptions from NumPy 1.25 on, the package itself before.
            const py::object too_hard = py::hasattr(numpy, "exceptions")
                                            ? numpy.attr("exceptions").attr("TooHardError")
                                            : numpy.attr("TooHardError");
            if (!error.matches(too_hard)) throw;
            return true;
        }
    };
    for (size_t k = 0; k < outs.size(); ++k) {
        if (outs[k].first.is_none()) continue;
        std::vector<std::pair<py::handle, const char*>> others(outs.begin() + k + 1, outs.end());
        others.insert(others.end(), inputs.begin(), inputs.end());
        for (const auto& other : others)
            if (meet(outs[k].first, other.first))
                throw py::value_error(std::string(outs[k].second) + " shares memory with " +
                                      other.second +
                                      ": results must lie apart from the inputs and each other");
    }
}

template <typename T>
MatrixView<T> result_view(const py::array_t<T>& result) {
    MatrixView<const T> view{};
    host_view<T>(result.ptr(), view);
    return {const_cast<T*>(view.data), view.rows, view.cols, view.row_step, view.col_step};
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

// A shape as Python writes it: "(6,)", "(2, 2)".
std::string shape_text(const py::ssize_t* dims, size_t ndim) {
    std::string text = "(";
    for (size_t d = 0; d < ndim; ++d) text += (d ? ", " : "") + std::to_string(dims[d]);
    return text + (ndim == 1 ? ",)" : ")");
}

// The checks of the Python host alone, after the module's own (so that a call
// the module refuses gets the module's error, as in MATLAB) and before
// anything is made or converted: inputs that MATLAB's way of counting would
// read, but that no Python caller means. Each returns the error, or None.

// An image of more than two dimensions: MATLAB would take its channels side
// by side as further columns.
py::object one_channel(const py::array& image, const char* module, const char* name) {
    if (image.ndim() <= 2) return py::none();
    return py::make_tuple(std::string(module) + ":tooManyDimensions",
                          std::string(name == std::string("image") ? "The image" : name) +
                              " has " + std::to_string(image.ndim()) +
                              " dimensions; pass one channel, " + name +
                              "[:, :, k], which is read without a copy.");
}

py::object call_gridlerp(py::array image, py::array X, py::array Y, py::object out,
                         int workers) {
    pyhost::HostCall call("gridlerp");
    const mxArray* prhs[3] = {size_only(call, image), size_only(call, X), size_only(call, Y)};
    GridlerpPlan plan;
    try {
        plan = gridlerp_check(1, 3, prhs);
    } catch (const pyhost::HostError& error) {
        return error_of(error);
    }
    py::object refused = one_channel(image, "gridlerp", "image");
    if (!refused.is_none()) return refused;
    const std::vector<py::ssize_t> shape(X.shape(), X.shape() + X.ndim());
    py::array_t<double> result = result_array<double>(out, shape, row_ordered(X.ptr()), "out");
    check_apart({{out, "out"}}, {{image, "image"}, {X, "X"}, {Y, "Y"}});
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
    if (plan.positions > 0) {
        py::gil_scoped_release unlocked;
        // Ranges of the result's outer lines (its columns where they lie
        // further apart than its rows), or of the other lines where there is
        // one outer line.
        bool by_cols = out_view.col_step >= out_view.row_step;
        if ((by_cols ? out_view.cols : out_view.rows) < 2) by_cols = !by_cols;
        const KernelPath path = kernel_path_in_force();
        pyhost::run_split(threads_for(workers, plan.positions),
                          by_cols ? out_view.cols : out_view.rows, 1,
                          [&](int64_t first, int64_t end) {
                              gridlerp_strided(image_view, lines_of(X_view, by_cols, first, end),
                                               lines_of(Y_view, by_cols, first, end),
                                               lines_of(out_view, by_cols, first, end), path);
                          });
    }
    py::list results(1);
    results[0] = result;
    return std::move(results);
}

py::object call_patchwarp(py::array image, py::tuple shape, py::array A, py::object out,
                          int workers) {
    pyhost::HostCall call("patchwarp");
    const mxArray* prhs[3] = {size_only(call, image), size_only(call, shape), size_only(call, A)};
    PatchwarpPlan plan;
    try {
        plan = patchwarp_check(3, 3, prhs);
    } catch (const pyhost::HostError& error) {
        return error_of(error);
    }
    py::object refused = one_channel(image, "patchwarp", "image");
    if (!refused.is_none()) return refused;
    // The template's shape: two counts, or an array's shape of other than two.
    const size_t template_ndim = py::len(shape);
    if (template_ndim != 2)
        return py::make_tuple(
            std::string(template_ndim > 2 ? "patchwarp:tooManyDimensions"
                                          : "patchwarp:badTemplate"),
            "The template is an array of " + std::to_string(template_ndim) +
                (template_ndim == 1 ? " dimension" : " dimensions") +
                "; pass a 2-D array or the shape (M, N) as a tuple (a list is an array, "
                "not a shape).");
    if (A.ndim() != 2 || A.shape(0) != 2 || A.shape(1) != 3)
        return py::make_tuple(std::string("patchwarp:notTwoByThree"),
                              "A has the shape " + shape_text(A.shape(), size_t(A.ndim())) +
                                  "; it must be the 2 x 3 array [[a, c, e], [b, d, f]].");
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
        py::array_t<double> result = result_array<double>(outs[r], grid, c_order, names[r]);
        views[r] = result_view(result);
        results[static_cast<size_t>(r)] = result;
    }
    check_apart({{outs[0], "out[0]"}, {outs[1], "out[1]"}, {outs[2], "out[2]"}},
                {{image, "image"}, {A, "A"}});
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
    if (plan.cells > 0) {
        py::gil_scoped_release unlocked;
        // Ranges of whole columns, or of whole rows where the kernel computes
        // the grid as its transpose (three row-major results): the lines its
        // vector paths take whole.
        const bool rows = views[0].row_major() && views[1].row_major() && views[2].row_major();
        const bool cols =
            views[0].column_major() && views[1].column_major() && views[2].column_major();
        const bool by_rows = rows && !cols;
        const KernelPath path = kernel_path_in_force();
        pyhost::run_split(threads_for(workers, plan.cells),
                          by_rows ? plan.grid.rows : plan.grid.cols, 1,
                          [&](int64_t first, int64_t end) {
                              const int32_t b = static_cast<int32_t>(first);
                              const int32_t e = static_cast<int32_t>(end);
                              const GridPart part = by_rows
                                                        ? GridPart{b, e, 0, plan.grid.cols}
                                                        : GridPart{0, plan.grid.rows, b, e};
                              patchwarp_part(image_view, coefficients, views[0], views[1],
                                             views[2], part, path);
                          });
    }
    return std::move(results);
}

// The first `count` elements of an input in column order as a column: where
// they lie, or converted once as far as them.
ConstView leading_column(py::handle input, int32_t count, py::object& keep) {
    ConstView view{};
    if (!host_view(input.ptr(), view) || !leading_as_grid(view, {count, 1}, view)) {
        keep = leading(input, count);
        ConstView run{};
        host_view(keep.ptr(), run);
        leading_as_grid(run, {count, 1}, view);
    }
    return view;
}

py::object out_of_memory(const char* module) {
    return py::make_tuple(std::string(module) + ":outOfMemory", "Out of memory.");
}

py::object call_envsweep(py::array source, py::tuple scalars, py::object out, int workers) {
    if (scalars.size() != 9)
        throw py::value_error("envsweep takes nine scalars after the source map");
    pyhost::HostCall call("envsweep");
    // Each scalar as a 1 x 1 input, or an empty one by its shape alone.
    double values[9];
    const mxArray* prhs[10] = {size_only(call, source)};
    for (size_t k = 0; k < 9; ++k) {
        const py::handle scalar = scalars[k];
        if (PyFloat_Check(scalar.ptr())) {
            values[k] = PyFloat_AS_DOUBLE(scalar.ptr());
            prhs[k + 1] = call.input(&values[k], 1, 1);
        } else if (PyTuple_Check(scalar.ptr())) {
            prhs[k + 1] = size_only(call, scalar);
            if (mxGetNumberOfElements(prhs[k + 1]) != 0)
                throw py::type_error("a shape stands only for an empty envsweep scalar");
        } else {
            throw py::type_error("an envsweep scalar is a float, or the shape of an empty one");
        }
    }
    EnvsweepPlan plan;
    try {
        plan = envsweep_check(3, 10, prhs, true);   // 0-based col_first, row_first
    } catch (const pyhost::HostError& error) {
        return error_of(error);
    }
    py::object refused = one_channel(source, "envsweep", "source_map");
    if (!refused.is_none()) return refused;
    const std::vector<py::ssize_t> shape{plan.grid.dims.rows, plan.grid.dims.cols};
    const bool c_order = row_ordered(source.ptr());
    py::object outs[3] = {py::none(), py::none(), py::none()};
    if (!out.is_none()) {
        if (!PyTuple_Check(out.ptr()) || py::len(out) != 3)
            throw py::type_error("out must be a tuple of three arrays (float64, int32, int32)");
        for (int r = 0; r < 3; ++r) outs[r] = py::reinterpret_borrow<py::tuple>(out)[r];
    }
    py::array_t<double> out_map = result_array<double>(outs[0], shape, c_order, "out[0]");
    py::array_t<int32_t> best_col = result_array<int32_t>(outs[1], shape, c_order, "out[1]");
    py::array_t<int32_t> best_row = result_array<int32_t>(outs[2], shape, c_order, "out[2]");
    check_apart({{outs[0], "out[0]"}, {outs[1], "out[1]"}, {outs[2], "out[2]"}},
                {{source, "source_map"}});
    const DoubleView map_view = result_view(out_map);
    const Int32View col_view = result_view(best_col), row_view = result_view(best_row);
    // The passes write the three alike.
    for (const Int32View& view : {col_view, row_view})
        if (plan.mid_count > 0 &&
            (view.row_step != map_view.row_step || view.col_step != map_view.col_step))
            throw py::value_error("out's three arrays must have the same steps in elements");
    py::object source_copy;
    ConstView source_view{};
    std::unique_ptr<double[]> mid_map;
    std::unique_ptr<int32_t[]> mid_row;
    if (plan.mid_count > 0) {
        source_view = read_view(source, source_copy);
        try {
            mid_map.reset(new double[static_cast<size_t>(plan.mid_count)]);
            mid_row.reset(new int32_t[static_cast<size_t>(plan.mid_count)]);
        } catch (const std::bad_alloc&) {
            return out_of_memory("envsweep");
        }
    }
    bool done = true;
    if (plan.mid_count > 0) {
        py::gil_scoped_release unlocked;
        // Each pass in ranges of its lines (first the source's columns, then
        // the output's rows), the second once the first has finished; the
        // vector paths take lines eight or four at a time.
        const KernelPath path = kernel_path_in_force();
        const ImageDims out_dims = plan.grid.dims;
        const int64_t work = int64_t{plan.source.cols} * (plan.source.rows + out_dims.rows) +
                             int64_t{out_dims.rows} * (plan.source.cols + out_dims.cols);
        const int threads = threads_for(workers, work);
        try {
            pyhost::run_split(threads, plan.source.cols, 8, [&](int64_t first, int64_t end) {
                envsweep_down(source_view, plan.cost, plan.grid, mid_map.get(), mid_row.get(),
                              static_cast<int32_t>(first), static_cast<int32_t>(end), path);
            });
            // The maps 0-based, as Python indexes: the module's cells, counted
            // from zero.
            pyhost::run_split(threads, out_dims.rows, 8, [&](int64_t first, int64_t end) {
                envsweep_across(source_view, plan.cost, plan.grid, mid_map.get(),
                                mid_row.get(), map_view, col_view, row_view,
                                static_cast<int32_t>(first), static_cast<int32_t>(end), 0, path);
            });
        } catch (const std::bad_alloc&) {
            done = false;
        }
    }
    if (!done) return out_of_memory("envsweep");
    py::list results(3);
    results[0] = out_map;
    results[1] = best_col;
    results[2] = best_row;
    return std::move(results);
}

// Scores of K models over one standardised copy Z of X (features x samples,
// column-major): rescale once, then predict_scores once per column of w,
// the module's two steps, so every column has the bits of the one-model call
// with that column. Returns false when there is no memory for Z.
bool score_models(const LinscorePlan& plan, const ConstView& X, const ConstView& mean,
                  const ConstView& scale, const ConstView& w, const DoubleView& scores,
                  int threads) {
    const size_t features = static_cast<size_t>(plan.features);
    const size_t samples = static_cast<size_t>(plan.samples);
    const size_t cells = features * samples;
    std::unique_ptr<double[]> Z(new (std::nothrow) double[cells ? cells : 1]);
    std::unique_ptr<double[]> X_copy, vectors(new (std::nothrow) double[2 * features]);
    if (!Z || !vectors) return false;
    if (!X.column_major()) {
        X_copy.reset(new (std::nothrow) double[cells ? cells : 1]);
        if (!X_copy) return false;
    }
    double* mean_data = vectors.get();
    double* scale_data = mean_data + features;
    for (int32_t i = 0; i < plan.features; ++i) {
        mean_data[i] = mean.at(i, 0);
        scale_data[i] = scale.at(i, 0);
    }
    // Samples first .. end - 1 of every model: each sample's scores depend on
    // its own column of X alone.
    const auto some_samples = [&](int64_t first, int64_t end) {
        const int32_t from = static_cast<int32_t>(first);
        const int32_t count = static_cast<int32_t>(end - first);
        const size_t offset = static_cast<size_t>(from) * features;
        // X, mean, scale and each column of w as the plain arrays the steps
        // read: element copies, no arithmetic.
        const double* X_data = X.data + offset;
        if (X_copy) {
            for (int32_t j = from; j < from + count; ++j)
                for (int32_t i = 0; i < plan.features; ++i)
                    X_copy[i + j * features] = X.at(i, j);
            X_data = X_copy.get() + offset;
        }
        std::unique_ptr<double[]> w_data(new double[features + 1]);
        std::unique_ptr<double[]> column(new double[static_cast<size_t>(count)]);
        rescale(X_data, Z.get() + offset, mean_data, scale_data, count, plan.features);
        for (int32_t k = 0; k < w.cols; ++k) {
            for (int32_t i = 0; i <= plan.features; ++i) w_data[i] = w.at(i, k);
            predict_scores(column.get(), Z.get() + offset, w_data.get(), count,
                           plan.features);
            for (int32_t j = 0; j < count; ++j) scores.at(from + j, k) = column[j];
        }
    };
    pyhost::run_split(threads, plan.samples, 8, some_samples);
    return true;
}

py::object call_linscore(py::array X, py::array mean, py::array scale, py::array w,
                         py::object out, int workers) {
    pyhost::HostCall call("linscore");
    // A 2-D w of more than one row holds one model per column: the module's
    // checks see one column (each is checked alike), and the scores are
    // samples x models. A 1-D w (or a row) is one model, as in the module.
    const bool models = w.ndim() == 2 && w.shape(0) > 1;
    const mxArray* prhs[4] = {size_only(call, X), size_only(call, mean), size_only(call, scale),
                              models ? call.input(nullptr, static_cast<size_t>(w.shape(0)), 1)
                                     : size_only(call, w)};
    LinscorePlan plan;
    try {
        plan = linscore_check(1, 4, prhs);
        if (models) host_count(static_cast<size_t>(w.shape(1)), "linscore", "w");
    } catch (const pyhost::HostError& error) {
        return error_of(error);
    }
    // X of 2^31 - 1 features puts the bias at element 2^31 - 1 of a w of 2^31
    // elements, which no view here can address: refused as too large.
    if (plan.samples > 0 && plan.features == INT32_MAX)
        return py::make_tuple(std::string("linscore:tooLarge"),
                              std::string("w has more than 2^31 - 1 elements."));
    std::vector<py::ssize_t> shape{plan.samples};
    if (models) shape.push_back(w.shape(1));
    py::array_t<double> scores = result_array<double>(out, shape, false, "out");
    check_apart({{out, "out"}}, {{X, "X"}, {mean, "mean"}, {scale, "scale"}, {w, "w"}});
    // The scores as a column: a vector's elements are the host's columns.
    const DoubleView scores_view =
        models ? result_view(scores) : result_view(scores).transposed();
    py::object X_copy, mean_copy, scale_copy, w_copy;
    ConstView X_view{}, mean_view{}, scale_view{}, w_view{};
    const bool work = plan.samples > 0 && (!models || w.shape(1) > 0);
    if (work) {
        X_view = read_view(X, X_copy);
        mean_view = leading_column(mean, plan.features, mean_copy);
        scale_view = leading_column(scale, plan.features, scale_copy);
        if (models)
            w_view = read_view(w, w_copy);
        else
            w_view = leading_column(w, plan.features + 1, w_copy);
    }
    bool done = true;
    if (work) {
        py::gil_scoped_release unlocked;
        const int64_t cells = int64_t{plan.features} * plan.samples;
        const int threads = threads_for(workers, models ? cells * (1 + w.shape(1)) : cells);
        const KernelPath path = kernel_path_in_force();
        try {
            if (models)
                done = score_models(plan, X_view, mean_view, scale_view, w_view, scores_view,
                                    threads);
            else
                pyhost::run_split(threads, plan.samples, 8, [&](int64_t first, int64_t end) {
                    linscore_strided(lines_of(X_view, true, first, end), mean_view, scale_view,
                                     w_view, lines_of(scores_view, false, first, end), path);
                });
        } catch (const std::bad_alloc&) {
            done = false;
        }
    }
    if (!done) return out_of_memory("linscore");
    py::list results(1);
    results[0] = scores;
    return std::move(results);
}

}  // namespace

PYBIND11_MODULE(_host, m) {
    m.doc() = "The modules of bitexact_image on NumPy arrays, one call each.";
    pyhost::forget_pool_in_forked_children();
    pyhost::keep_blocks_across_forks();
    m.def("gridlerp", &call_gridlerp, py::arg("image"), py::arg("X"), py::arg("Y"),
          py::arg("out") = py::none(), py::arg("workers") = 1);
    m.def("patchwarp", &call_patchwarp, py::arg("image"), py::arg("shape"), py::arg("A"),
          py::arg("out") = py::none(), py::arg("workers") = 1);
    m.def("envsweep", &call_envsweep, py::arg("source_map"), py::arg("scalars"),
          py::arg("out") = py::none(), py::arg("workers") = 1);
    m.def("linscore", &call_linscore, py::arg("X"), py::arg("mean"), py::arg("scale"),
          py::arg("w"), py::arg("out") = py::none(), py::arg("workers") = 1);
}
