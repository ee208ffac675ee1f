// A matrix read or written where it lies: element (r, c) of a rows x cols
// matrix at data[r * row_step + c * col_step], the steps counted in elements.
// A column-major matrix has the steps (1, rows), a row-major one (cols, 1);
// slices, one channel of an interleaved image and transposes are views too.
// The strided kernels take every matrix in this form; only addresses depend
// on the steps, never a bit of a result.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/image_dims.h"

template <typename T>
struct MatrixView {
    T* data;
    int32_t rows;
    int32_t cols;
    std::ptrdiff_t row_step;
    std::ptrdiff_t col_step;

    T& at(int32_t r, int32_t c) const {
        return data[static_cast<std::ptrdiff_t>(r) * row_step +
                    static_cast<std::ptrdiff_t>(c) * col_step];
    }
    ImageDims dims() const { return {rows, cols}; }
    // Whether the elements lie in column-major (row-major) order, one after
    // the other.
    bool column_major() const { return row_step == 1 && (cols <= 1 || col_step == rows); }
    bool row_major() const { return col_step == 1 && (rows <= 1 || row_step == cols); }
    // The same elements as the transpose: (c, r) of the result is (r, c).
    MatrixView transposed() const { return {data, cols, rows, col_step, row_step}; }
};

using ConstView = MatrixView<const double>;
using DoubleView = MatrixView<double>;
using Int32View = MatrixView<int32_t>;

// A column-major matrix as a view.
template <typename T>
MatrixView<T> column_major_view(T* data, ImageDims dims) {
    return {data, dims.rows, dims.cols, 1, dims.rows};
}

// The largest element offset of a non-empty view with steps from 0, plus
// one, when it fits 32-bit signed indices; 0 when it does not.
inline int32_t view_extent32(int32_t rows, int32_t cols, std::ptrdiff_t row_step,
                             std::ptrdiff_t col_step) {
    if (rows <= 0 || cols <= 0 || row_step < 0 || col_step < 0) return 0;
    const int64_t limit = INT32_MAX;
    if (row_step > limit || col_step > limit) return 0;
    const int64_t last = static_cast<int64_t>(rows - 1) * row_step +
                         static_cast<int64_t>(cols - 1) * col_step;
    return last < limit ? static_cast<int32_t>(last + 1) : 0;
}
