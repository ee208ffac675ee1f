// Every vector path of patchwarp against its scalar path, bit for bit, in
// all three results.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "core/patchwarp.h"
#include "kernel_paths.h"

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace {

const double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();

struct Patch {
    std::vector<double> out, X, Y;
};

// Results in arrays one element longer than the grid, so that a write past
// the last cell shows.
Patch warp(const std::vector<double>& image, ImageDims dims, ImageDims grid, const double* A,
           KernelPath path) {
    const size_t cells = static_cast<size_t>(grid.rows) * grid.cols + 1;
    Patch p{std::vector<double>(cells, -5.0), std::vector<double>(cells, -5.0),
            std::vector<double>(cells, -5.0)};
    patchwarp(image.data(), &dims, &grid, A, p.out.data(), p.X.data(), p.Y.data(), path);
    return p;
}

}  // namespace

// Random images (some -0.0 and infinite pixels), grids whose columns leave
// every remainder after the vector width, rotations, scales and shifts that
// take the patch off the image, coefficients that are not finite, and finite
// ones whose terms overflow: to infinite positions in some cells, and to NaN
// ones (one term +inf, the other -inf) in some cells of some columns.
TEST(PatchwarpPaths, RandomMapsGiveScalarBits) {
    std::mt19937_64 rng(99);
    std::uniform_real_distribution<double> pixel(-50, 50), angle(0, 6.3), scale(0.1, 3);
    const ImageDims images[] = {{1, 5}, {2, 2}, {3, 7}, {16, 9}, {40, 33}};
    for (int trial = 0; trial < 200; ++trial) {
        const ImageDims dims = images[trial % 5];
        std::vector<double> image(static_cast<size_t>(dims.rows) * dims.cols);
        for (double& v : image) v = rng() % 50 == 0 ? (rng() % 2 ? kInf : -0.0) : pixel(rng);
        const ImageDims grid{1 + static_cast<int32_t>(rng() % 11),
                             1 + static_cast<int32_t>(rng() % 9)};
        const double a = angle(rng), s = scale(rng);
        double A[6] = {s * std::cos(a), s * std::sin(a), -s * std::sin(a), s * std::cos(a),
                       std::uniform_real_distribution<double>(-5, dims.cols + 5)(rng),
                       std::uniform_real_distribution<double>(-5, dims.rows + 5)(rng)};
        switch (trial % 10) {
            case 7: A[rng() % 6] = kNaN; break;
            case 8: A[rng() % 6] = rng() % 2 ? kInf : -kInf; break;
            case 6: {
                const size_t k = rng() % 2;
                A[k] = 1e308;
                A[k + 2] = -1e308;
                break;
            }
            case 9: A[rng() % 4] = 1e308; break;
            default: break;
        }
        const Patch want = warp(image, dims, grid, A, KernelPath::Scalar);
        for (KernelPath path : vector_paths()) {
            const Patch got = warp(image, dims, grid, A, path);
            const long bad_x = first_difference(got.X, want.X);
            const long bad_y = first_difference(got.Y, want.Y);
            const long bad_out = first_difference(got.out, want.out);
            ASSERT_EQ(bad_x, -1) << "trial " << trial << " " << path_name(path);
            ASSERT_EQ(bad_y, -1) << "trial " << trial << " " << path_name(path);
            ASSERT_EQ(bad_out, -1) << "trial " << trial << " " << path_name(path);
        }
    }
}

// A grid larger than the cache, with columns that do not fill whole vectors
// (the AVX-512 path carries lanes from one column into the next).
TEST(PatchwarpPaths, LargeGridGivesScalarBits) {
    const ImageDims dims{37, 41}, grid{701, 389};
    std::vector<double> image(static_cast<size_t>(dims.rows) * dims.cols);
    std::mt19937_64 rng(5);
    for (double& v : image) v = std::uniform_real_distribution<double>(-9, 9)(rng);
    const double A[6] = {0.061, -0.013, 0.027, 0.052, 20.5, 18.25};
    const Patch want = warp(image, dims, grid, A, KernelPath::Scalar);
    for (KernelPath path : vector_paths()) {
        const Patch got = warp(image, dims, grid, A, path);
        EXPECT_EQ(first_difference(got.X, want.X), -1) << path_name(path);
        EXPECT_EQ(first_difference(got.Y, want.Y), -1) << path_name(path);
        EXPECT_EQ(first_difference(got.out, want.out), -1) << path_name(path);
    }
}

// Small steps along the grid columns (|A2|, |A3| below 1/2, or up to 1.1 so
// that four cells just fit or just miss), where the AVX-512 path samples four
// cells at a time from a window of three image lines of four elements (image
// columns in column order, image rows in row order: each image is read in
// both): images of just four rows or columns, of two or three lines, and
// larger ones, steps of either
// sign and of zero, patches pushed past every edge (so that windows meet the
// last row or column), columns that end inside a step, NaN positions, and
// pixels that are -0.0 or infinite (an infinite pixel poisons the samples
// that read it at weight 0).
TEST(PatchwarpPaths, SmallStepsGiveScalarBits) {
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> pixel(-50, 50), small(-0.45, 0.45), large(-1.1, 1.1);
    const ImageDims images[] = {{4, 3}, {4, 9}, {5, 3}, {7, 4}, {12, 10},
                                {64, 48}, {6, 2}, {2, 6}, {3, 4}};
    for (int trial = 0; trial < 900; ++trial) {
        const ImageDims dims = images[trial % 9];
        std::vector<double> image(static_cast<size_t>(dims.rows) * dims.cols);
        for (double& v : image) {
            const unsigned kind = rng() % 40;
            v = kind == 0 ? -0.0 : kind == 1 ? -kInf : kind == 2 ? kInf : pixel(rng);
        }
        const ImageDims grid{1 + static_cast<int32_t>(rng() % 37),
                             1 + static_cast<int32_t>(rng() % 7)};
        auto& step = trial % 2 ? large : small;
        double A[6] = {step(rng), step(rng), step(rng), step(rng),
                       std::uniform_real_distribution<double>(-3, dims.cols + 3)(rng),
                       std::uniform_real_distribution<double>(-3, dims.rows + 3)(rng)};
        switch (trial % 8) {
            case 4: A[2] = kInf; break;  // NaN positions where dy = 0, the rest clamped
            case 5: A[2] = 0.0; break;                       // column positions stand still
            case 6: A[3] = 0.0; break;                       // row positions stand still
            case 7: A[4] = dims.cols - 1.0; A[2] = 0.0; break;  // on the last column
            default: break;
        }
        const Patch want = warp(image, dims, grid, A, KernelPath::Scalar);
        std::vector<double> row_major(image.size());
        for (int32_t r = 0; r < dims.rows; ++r)
            for (int32_t c = 0; c < dims.cols; ++c)
                row_major[static_cast<size_t>(r) * dims.cols + c] =
                    image[static_cast<size_t>(c) * dims.rows + r];
        const ConstView by_rows{row_major.data(), dims.rows, dims.cols, dims.cols, 1};
        for (KernelPath path : vector_paths()) {
            const Patch got = warp(image, dims, grid, A, path);
            const size_t cells = static_cast<size_t>(grid.rows) * grid.cols + 1;
            Patch rows{std::vector<double>(cells, -5.0), std::vector<double>(cells, -5.0),
                       std::vector<double>(cells, -5.0)};
            patchwarp_strided(by_rows, A, column_major_view(rows.out.data(), grid),
                              column_major_view(rows.X.data(), grid),
                              column_major_view(rows.Y.data(), grid), path);
            for (const Patch* p : {&got, static_cast<const Patch*>(&rows)}) {
                const std::string where = "trial " + std::to_string(trial) + " " +
                                          path_name(path) +
                                          (p == &got ? ", column order" : ", row order");
                ASSERT_EQ(first_difference(p->X, want.X), -1) << where;
                ASSERT_EQ(first_difference(p->Y, want.Y), -1) << where;
                ASSERT_EQ(first_difference(p->out, want.out), -1) << where;
            }
        }
    }
}

#if defined(__linux__)
// Positions crowded into each corner of small images that sit right against
// a page the process may not read, once ending at it and once starting after
// it: a path that reads outside the image stops the test.
TEST(PatchwarpPaths, ReadsStayInsideTheImage) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const ImageDims images[] = {{4, 3}, {5, 3}, {8, 5}, {2, 1}, {1, 4}};
    const double corners[4][2] = {{-2, -2}, {1e3, -2}, {-2, 1e3}, {1e3, 1e3}};
    for (const ImageDims& dims : images) {
        const size_t bytes = static_cast<size_t>(dims.rows) * dims.cols * sizeof(double);
        for (int at_end = 0; at_end < 2; ++at_end) {
            // Three pages: the image against the middle one's end or start,
            // the other two unreadable.
            char* pages = static_cast<char*>(mmap(nullptr, 3 * page, PROT_READ | PROT_WRITE,
                                                  MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
            ASSERT_NE(pages, MAP_FAILED);
            ASSERT_EQ(mprotect(pages, page, PROT_NONE), 0);
            ASSERT_EQ(mprotect(pages + 2 * page, page, PROT_NONE), 0);
            double* data =
                reinterpret_cast<double*>(at_end ? pages + 2 * page - bytes : pages + page);
            for (size_t e = 0; e < bytes / sizeof(double); ++e) data[e] = 1.0 + e;
            const std::vector<double> image(data, data + bytes / sizeof(double));
            for (const auto& corner : corners) {
                const double A[6] = {0.1, 0.05, -0.05, 0.1, corner[0], corner[1]};
                const ImageDims grid{19, 3};
                const Patch want = warp(image, dims, grid, A, KernelPath::Scalar);
                for (KernelPath path : vector_paths()) {
                    const size_t cells = static_cast<size_t>(grid.rows) * grid.cols + 1;
                    Patch got{std::vector<double>(cells, -5.0), std::vector<double>(cells, -5.0),
                              std::vector<double>(cells, -5.0)};
                    patchwarp(data, &dims, &grid, A, got.out.data(), got.X.data(), got.Y.data(),
                              path);
                    EXPECT_EQ(first_difference(got.out, want.out), -1) << path_name(path);
                }
            }
            munmap(pages, 3 * page);
        }
    }
}
#endif

// The strided kernel on images and results in every layout the package hands
// it: results in column order take the one-pass vector paths (with their
// loads for images whose rows, or columns, lie side by side), results in row
// order are computed as the transposed grid with A's columns swapped, and
// others in two passes; all give the column-major scalar bits and write
// nothing outside the results. Small steps reach the AVX-512 windows.
TEST(PatchwarpPaths, EveryLayoutGivesTheColumnMajorBits) {
    std::mt19937_64 rng(31);
    std::uniform_real_distribution<double> pixel(-50, 50), coefficient(-1.2, 1.2);
    const ImageDims images[] = {{1, 5}, {6, 1}, {4, 3}, {16, 9}, {40, 33}};
    for (int trial = 0; trial < 60; ++trial) {
        const ImageDims dims = images[trial % 5];
        std::vector<double> image(static_cast<size_t>(dims.rows) * dims.cols);
        for (double& v : image) v = rng() % 40 == 0 ? (rng() % 2 ? kInf : -0.0) : pixel(rng);
        const ImageDims grid{1 + static_cast<int32_t>(rng() % 13),
                             1 + static_cast<int32_t>(rng() % 9)};
        double A[6] = {coefficient(rng), coefficient(rng), coefficient(rng), coefficient(rng),
                       std::uniform_real_distribution<double>(-3, dims.cols + 3)(rng),
                       std::uniform_real_distribution<double>(-3, dims.rows + 3)(rng)};
        if (trial % 10 == 9) A[rng() % 4] = kNaN;
        const Patch want = warp(image, dims, grid, A, KernelPath::Scalar);
        const auto cells = [&](const std::vector<double>& v) {
            return std::vector<double>(v.begin(), v.end() - 1);
        };
        for (int layout = 0; layout < kLayouts; ++layout) {
            Placed im = placed_copy(layout, image, dims.rows, dims.cols, 7.0);
            const ConstView view{im.data(), dims.rows, dims.cols, im.row_step, im.col_step};
            for (int out_layout = 0; out_layout < kLayouts; ++out_layout) {
                for (KernelPath path : vector_paths()) {
                    Placed out = placed(out_layout, grid.rows, grid.cols, -5.0);
                    Placed X = placed(out_layout, grid.rows, grid.cols, -5.0);
                    Placed Y = placed((out_layout + 1) % kLayouts, grid.rows, grid.cols, -5.0);
                    const auto as_view = [&](Placed& p) {
                        return DoubleView{p.data(), grid.rows, grid.cols, p.row_step,
                                          p.col_step};
                    };
                    patchwarp_strided(view, A, as_view(out), as_view(X), as_view(Y), path);
                    const std::string where = "trial " + std::to_string(trial) + " " +
                                              path_name(path) + ", image " + im.name +
                                              ", results " + out.name;
                    ASSERT_EQ(first_difference(read_back(X, grid.rows, grid.cols),
                                               cells(want.X)), -1) << where;
                    ASSERT_EQ(first_difference(read_back(Y, grid.rows, grid.cols),
                                               cells(want.Y)), -1) << where;
                    ASSERT_EQ(first_difference(read_back(out, grid.rows, grid.cols),
                                               cells(want.out)), -1) << where;
                    ASSERT_TRUE(only_matrix_written(out, grid.rows, grid.cols, -5.0) &&
                                only_matrix_written(X, grid.rows, grid.cols, -5.0) &&
                                only_matrix_written(Y, grid.rows, grid.cols, -5.0)) << where;
                }
            }
        }
    }
}

#if defined(__linux__)
// A row-major image against a page the process may not read, ending at it
// and starting after it, with positions crowded into each corner: the loads
// of row pairs stay inside the image too.
TEST(PatchwarpPaths, RowMajorReadsStayInsideTheImage) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const ImageDims images[] = {{3, 4}, {3, 5}, {5, 8}, {1, 2}, {4, 1}};
    const double corners[4][2] = {{-2, -2}, {1e3, -2}, {-2, 1e3}, {1e3, 1e3}};
    for (const ImageDims& dims : images) {
        const size_t elements = static_cast<size_t>(dims.rows) * dims.cols;
        const size_t bytes = elements * sizeof(double);
        std::vector<double> image(elements);   // column-major
        for (size_t e = 0; e < elements; ++e) image[e] = 1.0 + e;
        for (int at_end = 0; at_end < 2; ++at_end) {
            char* pages = static_cast<char*>(mmap(nullptr, 3 * page, PROT_READ | PROT_WRITE,
                                                  MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
            ASSERT_NE(pages, MAP_FAILED);
            ASSERT_EQ(mprotect(pages, page, PROT_NONE), 0);
            ASSERT_EQ(mprotect(pages + 2 * page, page, PROT_NONE), 0);
            double* data =
                reinterpret_cast<double*>(at_end ? pages + 2 * page - bytes : pages + page);
            for (int32_t r = 0; r < dims.rows; ++r)
                for (int32_t c = 0; c < dims.cols; ++c)
                    data[r * dims.cols + c] = image[r + static_cast<size_t>(c) * dims.rows];
            const ConstView view{data, dims.rows, dims.cols, dims.cols, 1};
            for (const auto& corner : corners) {
                const double A[6] = {0.1, 0.05, -0.05, 0.1, corner[0], corner[1]};
                const ImageDims grid{19, 3};
                const Patch want = warp(image, dims, grid, A, KernelPath::Scalar);
                for (KernelPath path : vector_paths()) {
                    const size_t cells = static_cast<size_t>(grid.rows) * grid.cols + 1;
                    Patch got{std::vector<double>(cells, -5.0), std::vector<double>(cells, -5.0),
                              std::vector<double>(cells, -5.0)};
                    patchwarp_strided(view, A, column_major_view(got.out.data(), grid),
                                      column_major_view(got.X.data(), grid),
                                      column_major_view(got.Y.data(), grid), path);
                    EXPECT_EQ(first_difference(got.out, want.out), -1) << path_name(path);
                }
            }
            munmap(pages, 3 * page);
        }
    }
}
#endif

// Images of any steps inside a margin of infinite elements, with positions on
// and past every edge: a read one line past the image, which lands in the
// margin rather than on a guard page, turns a sample into NaN (0 times
// infinity) and shows.
TEST(PatchwarpPaths, StridedReadsStayInsideTheImage) {
    const ImageDims images[] = {{1, 1}, {1, 4}, {4, 1}, {2, 3}, {5, 4}};
    for (const ImageDims& dims : images) {
        const std::ptrdiff_t R = dims.rows, C = dims.cols;
        std::vector<double> image(static_cast<size_t>(R * C));
        for (size_t e = 0; e < image.size(); ++e) image[e] = 1.0 + static_cast<double>(e);
        // Column-major and row-major with a margin, and steps of neither 1.
        const std::ptrdiff_t steps[3][2] = {{1, R + 2}, {C + 2, 1}, {2, 2 * (R + 2) + 1}};
        for (const auto& step : steps) {
            // Rows -1 .. R and columns -1 .. C all lie in the buffer.
            std::vector<double> buffer(static_cast<size_t>((R + 1) * step[0] +
                                                           (C + 1) * step[1] + 1),
                                       kInf);
            double* data = buffer.data() + step[0] + step[1];
            for (std::ptrdiff_t c = 0; c < C; ++c)
                for (std::ptrdiff_t r = 0; r < R; ++r)
                    data[r * step[0] + c * step[1]] = image[static_cast<size_t>(r + c * R)];
            const ConstView view{data, dims.rows, dims.cols, step[0], step[1]};
            for (double cx : {-1.0, 0.0, 0.5 * (C - 1), C - 1.0, C + 1.0}) {
                for (double cy : {-1.0, 0.0, 0.5 * (R - 1), R - 1.0, R + 1.0}) {
                    for (const double spread : {0.0, 0.3}) {
                        const double A[6] = {spread, 0.5 * spread, -0.5 * spread, spread,
                                             cx, cy};
                        const ImageDims grid{9, 5};
                        const Patch want = warp(image, dims, grid, A, KernelPath::Scalar);
                        for (KernelPath path : vector_paths()) {
                            const size_t cells = static_cast<size_t>(grid.rows) * grid.cols + 1;
                            std::vector<double> out(cells, -5.0), X(cells, -5.0),
                                Y(cells, -5.0);
                            patchwarp_strided(view, A, column_major_view(out.data(), grid),
                                              column_major_view(X.data(), grid),
                                              column_major_view(Y.data(), grid), path);
                            EXPECT_EQ(first_difference(out, want.out), -1)
                                << path_name(path) << ", steps " << step[0] << ", " << step[1]
                                << ", centre " << cx << ", " << cy;
                        }
                    }
                }
            }
        }
    }
}

// A grid computed in parts (ranges of whole columns, as the vector paths take
// them, and rectangles, which the scalar path takes) gets the bits of the
// whole grid on every path, in column-major and row-major results: each
// part's offsets are its cells' own, and no part writes outside itself.
TEST(PatchwarpPaths, PartsGiveTheWholeGridsBits) {
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> pixel(-50, 50);
    const ImageDims dims{23, 31};
    std::vector<double> image(static_cast<size_t>(dims.rows) * dims.cols);
    for (double& v : image) v = pixel(rng);
    const ConstView view = column_major_view<const double>(image.data(), dims);
    const double A[6] = {0.83, 0.41, -0.37, 0.79, 14.2, 9.6};
    std::vector<KernelPath> paths = vector_paths();
    paths.push_back(KernelPath::Scalar);
    for (int trial = 0; trial < 40; ++trial) {
        const ImageDims grid{1 + static_cast<int32_t>(rng() % 29),
                             1 + static_cast<int32_t>(rng() % 17)};
        const Patch want = warp(image, dims, grid, A, KernelPath::Scalar);
        const size_t cells = static_cast<size_t>(grid.rows) * grid.cols;
        for (int row_major = 0; row_major < 2; ++row_major) {
            for (KernelPath path : paths) {
                Patch got{std::vector<double>(cells, -5.0), std::vector<double>(cells, -5.0),
                          std::vector<double>(cells, -5.0)};
                const auto as_view = [&](std::vector<double>& v) {
                    return row_major ? DoubleView{v.data(), grid.rows, grid.cols, grid.cols, 1}
                                     : column_major_view(v.data(), grid);
                };
                // Whole lines of the grid's storage order at random cuts,
                // then, on odd trials, the last of them cut across too.
                const int32_t lines = row_major ? grid.rows : grid.cols;
                const int32_t across = row_major ? grid.cols : grid.rows;
                for (int32_t first = 0; first < lines;) {
                    const int32_t end =
                        std::min(lines, first + 1 + static_cast<int32_t>(rng() % 4));
                    const int32_t cut = trial % 2 && end == lines
                                            ? static_cast<int32_t>(rng() % (across + 1))
                                            : across;
                    for (const auto& piece : {std::pair<int32_t, int32_t>{0, cut},
                                              std::pair<int32_t, int32_t>{cut, across}}) {
                        const GridPart part = row_major
                            ? GridPart{first, end, piece.first, piece.second}
                            : GridPart{piece.first, piece.second, first, end};
                        patchwarp_part(view, A, as_view(got.out), as_view(got.X),
                                       as_view(got.Y), part, path);
                    }
                    first = end;
                }
                const auto column_order = [&](const std::vector<double>& v) {
                    std::vector<double> c(cells + 1, -5.0);
                    for (int32_t r = 0; r < grid.rows; ++r)
                        for (int32_t k = 0; k < grid.cols; ++k)
                            c[r + static_cast<size_t>(k) * grid.rows] =
                                row_major ? v[static_cast<size_t>(r) * grid.cols + k]
                                          : v[r + static_cast<size_t>(k) * grid.rows];
                    return c;
                };
                const std::string where = "trial " + std::to_string(trial) + " " +
                                          path_name(path) + (row_major ? " row-major" : "");
                EXPECT_EQ(first_difference(column_order(got.out), want.out), -1) << where;
                EXPECT_EQ(first_difference(column_order(got.X), want.X), -1) << where;
                EXPECT_EQ(first_difference(column_order(got.Y), want.Y), -1) << where;
            }
        }
    }
}
