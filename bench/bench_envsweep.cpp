// The envsweep transform (both passes and the composition of the index maps,
// in-process, scratch allocated before timing) beside OpenCV's
// distanceTransform (DIST_L2, DIST_MASK_PRECISE: the same lower-envelope
// algorithm) on a 1024 x 1024 binary image, compared per output cell and per
// source cell (both visit every source cell): a 1024 x 1024 noise source and a
// smooth one to an output of the same size at step 1, and the noise source to
// 512 x 512 at step 2.
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <memory>

#include "bench.h"
#include "core/envsweep.h"

namespace bench {

namespace {

constexpr int32_t kSize = 1024;

struct Data {
    std::vector<double> source;
    SweepCost cost{};
    SweepGrid grid{};
    std::vector<double> mid_map, out_map, expected_map;
    std::vector<int32_t> mid_row, best_col, best_row, expected_col, expected_row;
};

std::vector<double> smooth_source() {
    std::vector<double> map(static_cast<size_t>(kSize) * kSize);
    for (int32_t x = 0; x < kSize; ++x)
        for (int32_t y = 0; y < kSize; ++y)
            map[y + static_cast<size_t>(x) * kSize] =
                40 * std::sin(x / 97.0) * std::cos(y / 61.0) + 25 * std::sin((x + y) / 143.0);
    return map;
}

void run(Data& d, KernelPath path) {
    envsweep_transform(d.source.data(), {kSize, kSize}, d.cost, d.grid, d.mid_map.data(),
                       d.mid_row.data(), d.out_map.data(), d.best_col.data(), d.best_row.data(),
                       path);
}

void add_envsweep_case(const std::string& name, bool smooth, int32_t out_size, double step) {
    auto data = std::make_shared<Data>();
    auto prepare = [data, smooth, out_size, step] {
        Data& d = *data;
        if (!d.source.empty()) return std::string();
        d.source = smooth ? smooth_source()
                          : uniform(static_cast<size_t>(kSize) * kSize, 0.0, 100.0, 5);
        d.cost = {0.05, 0.1, 0.05, -0.1};
        d.grid = {0, 0, {out_size, out_size}, step};
        const size_t mid = static_cast<size_t>(out_size) * kSize;
        const size_t cells = static_cast<size_t>(out_size) * out_size;
        d.mid_map.assign(mid, 0.0);
        d.mid_row.assign(mid, 0);
        d.out_map.assign(cells, 0.0);
        d.best_col.assign(cells, 0);
        d.best_row.assign(cells, 0);
        run(d, KernelPath::Scalar);
        d.expected_map = d.out_map;
        d.expected_col = d.best_col;
        d.expected_row = d.best_row;
        return std::string();
    };
    auto check = [data, prepare, name] {
        prepare();
        Data& d = *data;
        const size_t before = heap_allocations();
        run(d, KernelPath::Fastest);
        record_allocations(name, heap_allocations() - before);
        std::string problem = mismatch("out_map", d.out_map, d.expected_map);
        if (problem.empty()) problem = mismatch("best_col", d.best_col, d.expected_col);
        if (problem.empty()) problem = mismatch("best_row", d.best_row, d.expected_row);
        return problem;
    };
    add_benchmark(name + "/ours", check, [data] { run(*data, KernelPath::Fastest); });
    add_benchmark(name + "/scalar", prepare, [data] { run(*data, KernelPath::Scalar); });
    // The peer is timed once for all three cases.
    const double cells = static_cast<double>(out_size) * out_size;
    const double sources = static_cast<double>(kSize) * kSize;
    add_case({name, "cv::distanceTransform", cells, sources, kSize * kSize * 8.0 + cells * 16.0,
              "cv::distanceTransform 1024x1024", sources, sources});
}

}  // namespace

void register_envsweep() {
    const std::string noise = "envsweep 1024x1024 noise to 1024x1024, step 1";
    add_envsweep_case(noise, false, kSize, 1.0);
    add_envsweep_case("envsweep 1024x1024 smooth to 1024x1024, step 1", true, kSize, 1.0);
    add_envsweep_case("envsweep 1024x1024 noise to 512x512, step 2", false, kSize / 2, 2.0);

    // A binary image with about one pixel in a hundred at zero: the distance
    // of every pixel to the nearest zero.
    auto binary = std::make_shared<cv::Mat>();
    auto distances = std::make_shared<cv::Mat>();
    auto prepare = [binary, distances] {
        if (binary->empty()) {
            *binary = cv::Mat(kSize, kSize, CV_8U);
            const std::vector<double> u = uniform(static_cast<size_t>(kSize) * kSize, 0, 1, 6);
            for (int r = 0; r < kSize; ++r)
                for (int c = 0; c < kSize; ++c)
                    binary->at<uint8_t>(r, c) = u[r * static_cast<size_t>(kSize) + c] < 0.01 ? 0 : 1;
            distances->create(kSize, kSize, CV_32F);
        }
        return std::string();
    };
    add_benchmark("cv::distanceTransform 1024x1024", prepare, [binary, distances] {
        cv::distanceTransform(*binary, *distances, cv::DIST_L2, cv::DIST_MASK_PRECISE);
    });
}

}  // namespace bench
