// BITEXACT_KERNEL_PATH read by the modules themselves: each module, called
// through our own host under every value of it (each path's name, in either
// case, one this processor may lack, an empty one and one that names no path),
// gives the bits it gives with the variable unset. The kernels' own tests
// compare the paths; this shows that the value reaches no result and that no
// value, known or not, breaks a call.
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "module_call.h"

using mexhost::Array;
using mexhost::double_matrix;
using mexhost::double_scalar;

namespace {

constexpr const char* kVariable = "BITEXACT_KERNEL_PATH";

// Every result of a call, int32 maps widened (exactly) to double.
std::vector<std::vector<double>> results(const mexhost::CallResult& r) {
    std::vector<std::vector<double>> all;
    for (const Array& out : r.outputs) {
        if (!out) continue;
        if (mxGetClassID(out.get()) == mxINT32_CLASS) {
            const std::vector<int32_t> v = mexhost::int32_values(out.get());
            all.emplace_back(v.begin(), v.end());
        } else {
            all.push_back(mexhost::values(out.get()));
        }
    }
    return all;
}

bool same_bits(const std::vector<std::vector<double>>& a,
               const std::vector<std::vector<double>>& b) {
    if (a.size() != b.size()) return false;
    for (size_t k = 0; k < a.size(); ++k) {
        if (a[k].size() != b[k].size()) return false;
        for (size_t i = 0; i < a[k].size(); ++i)
            if (!::same_bits(a[k][i], b[k][i])) return false;
    }
    return true;
}

Array filled(size_t rows, size_t cols, double (*f)(size_t)) {
    std::vector<double> v(rows * cols);
    for (size_t k = 0; k < v.size(); ++k) v[k] = f(k);
    return double_matrix(rows, cols, v);
}

// A call of each module large enough for every vector path.
struct Calls {
    Array image = filled(30, 31, [](size_t k) { return std::sin(0.37 * k) * 50; });
    Array X = filled(64, 3, [](size_t k) { return std::fmod(0.73 * k, 33.0) - 1.5; });
    Array Y = filled(64, 3, [](size_t k) { return std::fmod(1.31 * k, 32.0) - 1.0; });
    Array grid = double_matrix(17, 19);
    Array A = double_matrix(2, 3, {0.8, -0.6, 0.6, 0.8, 14.2, 15.7});
    Array source = filled(40, 40, [](size_t k) { return std::cos(0.11 * k) * 30; });
    std::vector<Array> sweep;
    Array features = filled(9, 37, [](size_t k) { return std::sin(1.7 * k) * 3; });
    Array mean = filled(9, 1, [](size_t k) { return 0.1 * k; });
    Array scale = filled(9, 1, [](size_t k) { return 1.0 + k; });
    Array w = filled(10, 1, [](size_t k) { return 0.5 - 0.2 * k; });

    Calls() {
        for (double s : {0.05, 0.1, 0.05, -0.1, 1.0, 1.0, 40.0, 40.0, 1.0})
            sweep.push_back(double_scalar(s));
    }

    void run(std::vector<std::vector<std::vector<double>>>& all) const {
        std::vector<const mxArray*> sweep_in{source.get()};
        for (const Array& s : sweep) sweep_in.push_back(s.get());
        all.clear();
        for (const mexhost::CallResult& r :
             {module("gridlerp").call(1, {image.get(), X.get(), Y.get()}),
              module("patchwarp").call(3, {image.get(), grid.get(), A.get()}),
              module("envsweep").call(3, sweep_in),
              module("linscore").call(1, {features.get(), mean.get(), scale.get(), w.get()})}) {
            EXPECT_CLEAN_RETURN(r);
            all.push_back(results(r));
        }
    }
};

}  // namespace

TEST(KernelPathVariable, EveryValueGivesTheSameBits) {
    const char* before = std::getenv(kVariable);
    const std::string saved = before != nullptr ? before : "";
    unsetenv(kVariable);
    const Calls calls;
    std::vector<std::vector<std::vector<double>>> expected, got;
    calls.run(expected);
    const char* const values[] = {"avx512", "avx2", "sse2", "neon", "scalar", "AVX2",
                                  "Scalar", "", "avx1024", "fastest"};
    for (const char* value : values) {
        setenv(kVariable, value, 1);
        calls.run(got);
        ASSERT_EQ(got.size(), expected.size());
        for (size_t m = 0; m < got.size(); ++m)
            EXPECT_TRUE(same_bits(got[m], expected[m]))
                << "module " << m << " under " << kVariable << "=" << value;
    }
    if (before != nullptr) setenv(kVariable, saved.c_str(), 1);
    else unsetenv(kVariable);
}
