// gridlerp_ext beside OpenCV's remap (CV_64F image, INTER_LINEAR,
// BORDER_REPLICATE, float maps converted from our positions before timing):
// a 1024 x 1024 image at 2048 x 2048 random positions, and a 64 x 64 image at
// 256 x 256 positions, spread over the image and a little beyond it.
#include <opencv2/imgproc.hpp>

#include <memory>

#include "bench.h"
#include "core/bilinear.h"

namespace bench {

namespace {

struct Data {
    ImageDims image_dims{}, grid{};
    std::vector<double> image, X, Y, out, expected;
    cv::Mat cv_image, map_x, map_y, cv_out;
};

void add_gridlerp_case(const std::string& name, int32_t size, int32_t grid, double margin) {
    auto data = std::make_shared<Data>();
    auto prepare = [data, size, grid, margin] {
        Data& d = *data;
        if (!d.image.empty()) return std::string();
        d.image_dims = {size, size};
        d.grid = {grid, grid};
        const size_t count = static_cast<size_t>(grid) * grid;
        d.image = uniform(static_cast<size_t>(size) * size, 0.0, 255.0, 1);
        d.X = uniform(count, -margin, size - 1 + margin, 2);
        d.Y = uniform(count, -margin, size - 1 + margin, 3);
        d.out.assign(count, 0.0);
        d.expected.assign(count, 0.0);
        gridlerp_ext(d.image.data(), &d.image_dims, &d.grid, d.X.data(), d.Y.data(),
                     d.expected.data(), KernelPath::Scalar);
        // OpenCV: row-major, so our column-major image is its transpose;
        // element (r, c) of ours is at row c, column r of a cols x rows Mat,
        // and a position (x, y) of ours is (y, x) there. The maps follow the
        // output the same way.
        d.cv_image = cv::Mat(size, size, CV_64F, d.image.data()).clone();
        d.map_x.create(grid, grid, CV_32F);
        d.map_y.create(grid, grid, CV_32F);
        for (int32_t j = 0; j < grid; ++j)
            for (int32_t i = 0; i < grid; ++i) {
                const size_t k = i + static_cast<size_t>(j) * grid;
                d.map_x.at<float>(j, i) = static_cast<float>(d.Y[k]);
                d.map_y.at<float>(j, i) = static_cast<float>(d.X[k]);
            }
        d.cv_out.create(grid, grid, CV_64F);
        return std::string();
    };
    auto check = [data, prepare, name] {
        prepare();
        Data& d = *data;
        const size_t before = heap_allocations();
        gridlerp_ext(d.image.data(), &d.image_dims, &d.grid, d.X.data(), d.Y.data(),
                     d.out.data());
        record_allocations(name, heap_allocations() - before);
        return mismatch("gridlerp_ext", d.out, d.expected);
    };
    add_benchmark(name + "/ours", check, [data] {
        Data& d = *data;
        gridlerp_ext(d.image.data(), &d.image_dims, &d.grid, d.X.data(), d.Y.data(),
                     d.out.data());
    });
    add_benchmark(name + "/scalar", prepare, [data] {
        Data& d = *data;
        gridlerp_ext(d.image.data(), &d.image_dims, &d.grid, d.X.data(), d.Y.data(),
                     d.out.data(), KernelPath::Scalar);
    });
    add_benchmark(name + "/cv::remap", prepare, [data] {
        Data& d = *data;
        cv::remap(d.cv_image, d.cv_out, d.map_x, d.map_y, cv::INTER_LINEAR,
                  cv::BORDER_REPLICATE);
    });
    const double cells = static_cast<double>(grid) * grid;
    add_case({name, "cv::remap", cells, cells, cells * 3 * sizeof(double)});
}

}  // namespace

void register_gridlerp() {
    add_gridlerp_case("gridlerp_ext 1024x1024 image, 2048x2048 positions", 1024, 2048, 32.0);
    add_gridlerp_case("gridlerp_ext 64x64 image, 256x256 positions", 64, 256, 2.0);
}

}  // namespace bench
