// linscore's kernels (standardisation into the scratch copy, then the scores)
// beside what a C++ user would write: the same standardisation loop, then
// OpenBLAS's cblas_dgemv for the weighted sums and a loop adding the bias.
// 512 features x 65,536 samples, and 16 features x 1,000,000 samples.
#include <cblas.h>

#include <memory>

#include "bench.h"
#include "core/linscore.h"

namespace bench {

namespace {

struct Data {
    int32_t features = 0, samples = 0;
    std::vector<double> X, Z, mean, scale, w, scores, expected_scores, expected_Z;
};

// What the module runs: rescale then predict_scores, fused block by block.
void ours(Data& d, KernelPath path) {
    rescale_and_score(d.X.data(), d.Z.data(), d.mean.data(), d.scale.data(), d.w.data(),
                      d.scores.data(), d.samples, d.features, path);
}

void add_linscore_case(int32_t features, int32_t samples) {
    const std::string name = "linscore " + std::to_string(features) + " features x " +
                             std::to_string(samples) + " samples";
    auto data = std::make_shared<Data>();
    auto prepare = [data, features, samples] {
        Data& d = *data;
        if (!d.X.empty()) return std::string();
        d.features = features;
        d.samples = samples;
        const size_t count = static_cast<size_t>(features) * samples;
        d.X = uniform(count, -100.0, 100.0, 7);
        d.mean = uniform(features, -10.0, 10.0, 8);
        d.scale = uniform(features, 0.5, 4.0, 9);
        d.w = uniform(features + 1, -1.0, 1.0, 10);
        d.Z.assign(count, 0.0);
        d.scores.assign(samples, 0.0);
        ours(d, KernelPath::Scalar);
        d.expected_scores = d.scores;
        d.expected_Z = d.Z;
        return std::string();
    };
    auto check = [data, prepare, name] {
        prepare();
        Data& d = *data;
        std::fill(d.Z.begin(), d.Z.end(), 0.0);
        const size_t before = heap_allocations();
        ours(d, KernelPath::Fastest);
        record_allocations(name, heap_allocations() - before);
        std::string problem = mismatch("scores", d.scores, d.expected_scores);
        if (problem.empty()) problem = mismatch("standardised copy", d.Z, d.expected_Z);
        return problem;
    };
    add_benchmark(name + "/ours", check, [data] { ours(*data, KernelPath::Fastest); });
    add_benchmark(name + "/scalar", prepare, [data] { ours(*data, KernelPath::Scalar); });
    add_benchmark(name + "/standardise+cblas_dgemv", prepare, [data] {
        Data& d = *data;
        const int32_t M = d.features;
        for (int32_t j = 0; j < d.samples; ++j) {
            const double* x = d.X.data() + static_cast<size_t>(j) * M;
            double* z = d.Z.data() + static_cast<size_t>(j) * M;
            for (int32_t i = 0; i < M; ++i) z[i] = (x[i] - d.mean[i]) / d.scale[i];
        }
        cblas_dgemv(CblasColMajor, CblasTrans, M, d.samples, 1.0, d.Z.data(), M, d.w.data(), 1,
                    0.0, d.scores.data(), 1);
        const double bias = d.w[M];
        for (double& s : d.scores) s += bias;
    });
    const double count = static_cast<double>(features) * samples;
    add_case({name, "standardise+cblas_dgemv", static_cast<double>(samples),
              static_cast<double>(samples), count * 16.0 + samples * 8.0});
}

}  // namespace

void register_linscore() {
    add_linscore_case(512, 65536);
    add_linscore_case(16, 1000000);
}

}  // namespace bench
