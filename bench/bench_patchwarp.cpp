// patchwarp beside OpenCV's warpAffine (CV_64F, INTER_LINEAR,
// BORDER_REPLICATE, which writes the patch alone): a 2048 x 2048 grid rotated
// by 30 degrees and scaled by 0.5 about the centre of a 1024 x 1024 image, so
// the corners of the patch leave the image and are clamped.
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <memory>

#include "bench.h"
#include "core/patchwarp.h"

namespace bench {

namespace {

struct Data {
    ImageDims image_dims{1024, 1024}, grid{2048, 2048};
    double A[6];
    std::vector<double> image, out, X, Y, expected_out, expected_X, expected_Y;
    cv::Mat cv_image, cv_map, cv_out;
};

}  // namespace

void register_patchwarp() {
    const std::string name = "patchwarp 2048x2048 grid, 1024x1024 image";
    auto data = std::make_shared<Data>();
    auto prepare = [data] {
        Data& d = *data;
        if (!d.image.empty()) return std::string();
        const double angle = 30.0 * 3.14159265358979323846 / 180.0, scale = 0.5;
        const double A[6] = {scale * std::cos(angle), scale * std::sin(angle),
                             -scale * std::sin(angle), scale * std::cos(angle), 511.5, 511.5};
        std::copy(A, A + 6, d.A);
        const size_t cells = static_cast<size_t>(d.grid.rows) * d.grid.cols;
        d.image = uniform(static_cast<size_t>(d.image_dims.rows) * d.image_dims.cols, 0, 255, 4);
        for (auto* v : {&d.out, &d.X, &d.Y, &d.expected_out, &d.expected_X, &d.expected_Y})
            v->assign(cells, 0.0);
        patchwarp(d.image.data(), &d.image_dims, &d.grid, d.A, d.expected_out.data(),
                  d.expected_X.data(), d.expected_Y.data(), KernelPath::Scalar);
        // OpenCV is row-major: our image is its transpose, and our cell
        // (i, j) is its (row j, column i). With WARP_INVERSE_MAP its source
        // column (our row position) is a3 * i + a1 * j + c and its source row
        // (our column position) a2 * i + a0 * j + c'.
        d.cv_image = cv::Mat(d.image_dims.cols, d.image_dims.rows, CV_64F, d.image.data());
        const double half_rows = (d.grid.rows - 1) * 0.5, half_cols = (d.grid.cols - 1) * 0.5;
        d.cv_map = (cv::Mat_<double>(2, 3) << A[3], A[1], A[5] - A[1] * half_cols - A[3] * half_rows,
                    A[2], A[0], A[4] - A[0] * half_cols - A[2] * half_rows);
        d.cv_out.create(d.grid.cols, d.grid.rows, CV_64F);
        return std::string();
    };
    auto check = [data, prepare, name] {
        prepare();
        Data& d = *data;
        const size_t before = heap_allocations();
        patchwarp(d.image.data(), &d.image_dims, &d.grid, d.A, d.out.data(), d.X.data(),
                  d.Y.data());
        record_allocations(name, heap_allocations() - before);
        std::string problem = mismatch("patch", d.out, d.expected_out);
        if (problem.empty()) problem = mismatch("column positions", d.X, d.expected_X);
        if (problem.empty()) problem = mismatch("row positions", d.Y, d.expected_Y);
        return problem;
    };
    add_benchmark(name + "/ours", check, [data] {
        Data& d = *data;
        patchwarp(d.image.data(), &d.image_dims, &d.grid, d.A, d.out.data(), d.X.data(),
                  d.Y.data());
    });
    add_benchmark(name + "/scalar", prepare, [data] {
        Data& d = *data;
        patchwarp(d.image.data(), &d.image_dims, &d.grid, d.A, d.out.data(), d.X.data(),
                  d.Y.data(), KernelPath::Scalar);
    });
    add_benchmark(name + "/cv::warpAffine", prepare, [data] {
        Data& d = *data;
        cv::warpAffine(d.cv_image, d.cv_out, d.cv_map, d.cv_out.size(),
                       cv::INTER_LINEAR | cv::WARP_INVERSE_MAP, cv::BORDER_REPLICATE);
    });
    const double cells = 2048.0 * 2048.0;
    add_case({name, "cv::warpAffine", cells, cells, cells * 3 * sizeof(double)});
}

}  // namespace bench
