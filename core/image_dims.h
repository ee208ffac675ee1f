// Size of a column-major matrix, row count first. Images and position grids
// travel in this form; element (r, c) of such a matrix lies at r + c * rows.
#pragma once

#include <cstdint>

struct ImageDims {
    int32_t rows;
    int32_t cols;
};
