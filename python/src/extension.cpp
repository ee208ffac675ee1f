// bitexact._host: calls a module's entry on NumPy arrays through the Python
// host. call(module, nlhs, inputs) takes each input as a float64 array in
// column order (converted beforehand by the package) or as a shape tuple, an
// array without data whose size alone the entry reads, and returns (identifier, message,
// results): message is None and results a tuple of column-ordered arrays when
// the entry returned, results None when it ended the call with an error.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

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
void linscore_entry(int, mxArray**, int, const mxArray**);
void linscore_rows_entry(int, mxArray**, int, const mxArray**);
}

namespace {

Entry entry_of(const std::string& module) {
    if (module == "gridlerp") return gridlerp_entry;
    if (module == "patchwarp") return patchwarp_entry;
    if (module == "envsweep") return envsweep_entry;
    if (module == "linscore") return linscore_entry;
    // linscore of X given transposed, as a C-ordered features x samples array
    // is in column order: the same scores without a transposed copy.
    if (module == "linscore_rows") return linscore_rows_entry;
    throw py::value_error("no module named " + module);
}

// The host's size of an array: a 0-d array is 1 x 1, a 1-d array of n
// elements the row 1 x n, and an array of more dimensions has shape[0] rows
// and all further dimensions together as columns (as a host counts them).
struct HostSize {
    size_t rows;
    size_t cols;
};

HostSize host_size(const std::vector<size_t>& shape) {
    if (shape.empty()) return {1, 1};
    if (shape.size() == 1) return {1, shape[0]};
    // A product past size_t (a shape tuple can be anything) stays at the
    // largest count, which the entry refuses as too large.
    size_t cols = 1;
    for (size_t d = 1; d < shape.size(); ++d)
        cols = shape[d] != 0 && cols > SIZE_MAX / shape[d] ? SIZE_MAX : cols * shape[d];
    return {shape[0], cols};
}

// A result of the call as a NumPy array over its own data, which the array
// frees when it goes.
py::array result_array(pyhost::HostCall& call, mxArray* result) {
    const size_t rows = mxGetM(result), cols = mxGetN(result);
    const bool is_int32 = mxGetClassID(result) == mxINT32_CLASS;
    void* data = call.take_data(result);
    py::capsule owner(data, [](void* block) { pyhost::free_block(block); });
    const py::ssize_t item = is_int32 ? 4 : 8;
    const std::vector<py::ssize_t> shape{static_cast<py::ssize_t>(rows),
                                         static_cast<py::ssize_t>(cols)};
    const std::vector<py::ssize_t> strides{item, item * static_cast<py::ssize_t>(rows)};
    if (is_int32) return py::array_t<int32_t>(shape, strides, static_cast<int32_t*>(data), owner);
    return py::array_t<double>(shape, strides, static_cast<double*>(data), owner);
}

py::tuple call(const std::string& module, int nlhs, const py::list& inputs) {
    const Entry entry = entry_of(module);
    // Kept alive to the end of the call: the entry reads their buffers.
    std::vector<py::array> arrays;
    pyhost::HostCall host_call;
    std::vector<const mxArray*> prhs;
    for (const py::handle input : inputs) {
        if (py::isinstance<py::tuple>(input)) {
            const HostSize size = host_size(input.cast<std::vector<size_t>>());
            prhs.push_back(host_call.input(nullptr, size.rows, size.cols));
            continue;
        }
        auto array = py::reinterpret_borrow<py::array>(input);
        if (!py::isinstance<py::array_t<double>>(array) ||
            !(array.flags() & py::array::f_style))
            throw py::type_error("inputs must be float64 arrays in column order");
        const HostSize size =
            host_size(std::vector<size_t>(array.shape(), array.shape() + array.ndim()));
        prhs.push_back(host_call.input(static_cast<const double*>(array.data()), size.rows,
                                       size.cols));
        arrays.push_back(array);
    }

    const int slots = nlhs > 1 ? nlhs : 1;
    std::vector<mxArray*> plhs(static_cast<size_t>(slots), nullptr);
    pyhost::HostError error;
    bool failed = false;
    {
        py::gil_scoped_release unlocked;
        try {
            entry(nlhs, plhs.data(), static_cast<int>(prhs.size()), prhs.data());
        } catch (pyhost::HostError& caught) {
            error = std::move(caught);
            failed = true;
        }
    }
    if (failed) return py::make_tuple(error.identifier, error.message, py::none());

    py::tuple results(static_cast<size_t>(slots));
    for (int r = 0; r < slots; ++r) {
        if (plhs[r] == nullptr) throw std::runtime_error(module + " left a result unset");
        results[static_cast<size_t>(r)] = result_array(host_call, plhs[r]);
    }
    return py::make_tuple("", py::none(), results);
}

}  // namespace

PYBIND11_MODULE(_host, m) {
    m.doc() = "The module entries of bitexact called through the Python host.";
    m.def("call", &call, py::arg("module"), py::arg("nlhs"), py::arg("inputs"));
}
