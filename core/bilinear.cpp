#include "bilinear.h"

#include <cstddef>
#include <limits>

ImagePosition clamp_to_image(double x, double y, const ImageDims* imageDims) {
    if (x != x || y != y) {
        const double nan = std::numeric_limits<double>::quiet_NaN();
        return {nan, nan};
    }
    // cols - 1 and rows - 1, formed in double where they are exact and
    // cannot overflow.
    const double xmax = static_cast<double>(imageDims->cols) - 1.0;
    const double ymax = static_cast<double>(imageDims->rows) - 1.0;
    if (x < 0.0) {
        x = 0.0;
    } else if (x > xmax) {
        x = xmax;
    }
    if (y < 0.0) {
        y = 0.0;
    } else if (y > ymax) {
        y = ymax;
    }
    return {x, y};
}

namespace {

// The sample at a position inside the image: rows >= 1, cols >= 1,
// 0 <= x <= cols - 1, 0 <= y <= rows - 1. Rows are blended within each of the
// two neighbouring columns first, then the two columns; every product and sum
// is rounded on its own in this grouping. The neighbour past the last column or
// row falls back onto it, where the fraction is 0, and its terms still enter
// the sums, so a non-finite neighbour poisons the sample even at weight 0.
inline double sample_inside(const double* image, int32_t rows, int32_t cols,
                            double x, double y) {
    const int32_t c0 = static_cast<int32_t>(x);
    const int32_t r0 = static_cast<int32_t>(y);
    const double fx = x - c0;
    const double fy = y - r0;
    const int32_t c1 = c0 + 1 < cols ? c0 + 1 : c0;
    const int32_t r1 = r0 + 1 < rows ? r0 + 1 : r0;
    const double* col0 = image + static_cast<std::ptrdiff_t>(c0) * rows;
    const double* col1 = image + static_cast<std::ptrdiff_t>(c1) * rows;
    const double s0 = fy * col0[r1] + (1.0 - fy) * col0[r0];
    const double s1 = fy * col1[r1] + (1.0 - fy) * col1[r0];
    return (1.0 - fx) * s0 + fx * s1;
}

// Visits the grid in storage order, clamping each pair just before sampling.
void sample_grid(const double* image, const ImageDims* imageDims,
                 const ImageDims* gridDims, const double* X, const double* Y,
                 double* out) {
    if (gridDims->rows <= 0 || gridDims->cols <= 0) return;
    const std::ptrdiff_t count =
        static_cast<std::ptrdiff_t>(gridDims->rows) * gridDims->cols;
    const int32_t rows = imageDims->rows;
    const int32_t cols = imageDims->cols;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    if (rows <= 0 || cols <= 0) {
        for (std::ptrdiff_t k = 0; k < count; ++k) out[k] = nan;
        return;
    }
    for (std::ptrdiff_t k = 0; k < count; ++k) {
        const ImagePosition p = clamp_to_image(X[k], Y[k], imageDims);
        out[k] = p.x != p.x ? nan : sample_inside(image, rows, cols, p.x, p.y);
    }
}

}  // namespace

void gridlerp(const double* image, const ImageDims* imageDims,
              const ImageDims* gridDims, double* out,
              const double* X, const double* Y) {
    sample_grid(image, imageDims, gridDims, X, Y, out);
}

void gridlerp_ext(const double* image, const ImageDims* imageDims,
                  const ImageDims* gridDims, const double* X, const double* Y,
                  double* out) {
    sample_grid(image, imageDims, gridDims, X, Y, out);
}
