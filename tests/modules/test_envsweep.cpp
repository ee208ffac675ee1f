// envsweep called through our own host as a script would call it.
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <vector>

#include "host.h"
#include "module_call.h"

using mexhost::Array;
using mexhost::double_matrix;
using mexhost::double_scalar;
using mexhost::int32_values;
using mexhost::numeric_array;
using mexhost::values;

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

// The ten inputs of one call, kept alive together.
struct Call {
    std::vector<Array> arrays;

    Call(Array source, std::vector<double> scalars) {
        arrays.push_back(std::move(source));
        for (double s : scalars) arrays.push_back(double_scalar(s));
    }
    std::vector<const mxArray*> inputs() const {
        std::vector<const mxArray*> in;
        for (const Array& a : arrays) in.push_back(a.get());
        return in;
    }
    mexhost::CallResult run(int nlhs = 3) const { return module("envsweep").call(nlhs, inputs()); }
    Call& set(size_t input, Array value) {
        arrays[input - 1] = std::move(value);
        return *this;
    }
};

// Rows (0, 0, 0, 8), (6, 0, 0, 0), (0, 0, 4, 0), column-major.
Array three_by_four() { return double_matrix(3, 4, {0, 6, 0, 0, 0, 0, 0, 0, 4, 8, 0, 0}); }

Array scalar_of(mxClassID classid, double value) {
    Array a = numeric_array(classid, {1, 1});
    void* data = mxGetData(a.get());
    switch (classid) {
    case mxINT32_CLASS: *static_cast<int32_t*>(data) = static_cast<int32_t>(value); break;
    case mxSINGLE_CLASS: *static_cast<float*>(data) = static_cast<float>(value); break;
    case mxLOGICAL_CLASS: *static_cast<bool*>(data) = value != 0; break;
    default: *static_cast<double*>(data) = value;
    }
    return a;
}

// Checks the three results against their expected size and column-major contents.
void expect_results(const mexhost::CallResult& r, size_t rows, size_t cols,
                    const std::vector<double>& out_map, const std::vector<int32_t>& best_col,
                    const std::vector<int32_t>& best_row) {
    EXPECT_CLEAN_RETURN(r);
    ASSERT_EQ(r.outputs.size(), 3u);
    for (const Array& out : r.outputs) {
        ASSERT_TRUE(out);
        EXPECT_EQ(mxGetM(out.get()), rows);
        EXPECT_EQ(mxGetN(out.get()), cols);
    }
    EXPECT_EQ(mxGetClassID(r.outputs[0].get()), mxDOUBLE_CLASS);
    EXPECT_EQ(mxGetClassID(r.outputs[1].get()), mxINT32_CLASS);
    EXPECT_EQ(mxGetClassID(r.outputs[2].get()), mxINT32_CLASS);
    EXPECT_EQ(values(r.outputs[0].get()), out_map);
    EXPECT_EQ(int32_values(r.outputs[1].get()), best_col);
    EXPECT_EQ(int32_values(r.outputs[2].get()), best_row);
}

}  // namespace

// The three fixed messages, in their order: input count, output count, class
// of the first input; nothing is created before them.
TEST(EnvsweepEntry, MessagesInOrder) {
    const auto& envsweep = module("envsweep");
    const Call good(double_scalar(3), {1, 0, 1, 0, 1, 1, 2, 2, 1});
    std::vector<const mxArray*> in = good.inputs();
    std::vector<const mxArray*> nine(in.begin(), in.end() - 1), eleven = in;
    eleven.push_back(in[0]);
    for (int nlhs : {0, 3, 4}) {
        EXPECT_HOST_ERROR(envsweep.call(nlhs, nine), "Wrong number of inputs");
        EXPECT_HOST_ERROR(envsweep.call(nlhs, eleven), "Wrong number of inputs");
    }
    for (int nlhs : {0, 1, 2, 4}) EXPECT_HOST_ERROR(good.run(nlhs), "Wrong number of outputs");

    for (mxClassID bad : {mxSINGLE_CLASS, mxINT32_CLASS, mxLOGICAL_CLASS}) {
        Call call(numeric_array(bad, {2, 2}), {1, 0, 1, 0, 1, 1, 2, 2, 1});
        EXPECT_HOST_ERROR(call.run(2), "Wrong number of outputs");
        EXPECT_HOST_ERROR(call.run(), "Invalid input");
    }
}

// The documented examples, exactly: a single cell, strided positions, ties
// going to the smaller column, linear terms with positions outside the map.
TEST(EnvsweepEntry, WorkedExamples) {
    expect_results(Call(double_scalar(3), {1, 0, 1, 0, 1, 1, 2, 2, 1}).run(), 2, 2,
                   {3, 2, 2, 1}, {1, 1, 1, 1}, {1, 1, 1, 1});
    expect_results(Call(three_by_four(), {1, 0, 1, 0, 1, 1, 2, 2, 2}).run(), 2, 2,
                   {5, 5, 7, 4}, {1, 1, 4, 3}, {2, 2, 1, 3});
    expect_results(Call(three_by_four(), {1, 0, 1, 0, 2.9, 1, 2.9, 2, 1}).run(), 2, 2,
                   {4, 5, 7, 6}, {1, 1, 4, 4}, {2, 2, 1, 1});
    expect_results(Call(double_matrix(2, 3, {5, 0, 0, 0, 0, 7}), {0.5, 1, 2, -1, 0, 2, 3, 2, 1}).run(),
                   2, 3, {5.5, 4.5, 7, 6, 7.5, 6.5}, {3, 3, 3, 3, 3, 3}, {2, 2, 2, 2, 2, 2});
}

// A NaN cell is never chosen and changes no other result; +Inf wins from its
// first cell, -Inf only where nothing else is left; a map of NaNs gives NaN
// from column 1, row 1.
TEST(EnvsweepEntry, NaNCellsAreLeftOut) {
    const std::vector<double> scalars = {1, 0, 1, 0, 1, 1, 3, 1, 1};
    expect_results(Call(double_matrix(1, 3, {0, kNaN, 1}), scalars).run(), 1, 3, {0, 0, 1},
                   {1, 3, 3}, {1, 1, 1});
    expect_results(Call(double_matrix(1, 3, {1, kNaN, kInf}), scalars).run(), 1, 3,
                   {kInf, kInf, kInf}, {3, 3, 3}, {1, 1, 1});
    // Rows (NaN, -Inf) and (NaN, NaN): the first column holds only NaNs.
    expect_results(Call(double_matrix(2, 2, {kNaN, kNaN, -kInf, kNaN}), scalars).run(), 1, 3,
                   {-kInf, -kInf, -kInf}, {2, 2, 2}, {1, 1, 1});
    const mexhost::CallResult all_nan = Call(double_matrix(2, 2, {kNaN, kNaN, kNaN, kNaN}),
                                             {1, 0, 1, 0, 1, 1, 2, 2, 1}).run();
    EXPECT_CLEAN_RETURN(all_nan);
    ASSERT_EQ(all_nan.outputs.size(), 3u);
    for (double v : values(all_nan.outputs[0].get())) EXPECT_TRUE(std::isnan(v));
    EXPECT_EQ(int32_values(all_nan.outputs[1].get()), (std::vector<int32_t>{1, 1, 1, 1}));
    EXPECT_EQ(int32_values(all_nan.outputs[2].get()), (std::vector<int32_t>{1, 1, 1, 1}));
}

// Inputs 2 to 10 are read as scalars whatever their class.
TEST(EnvsweepEntry, ScalarsOfAnyClass) {
    Call call(three_by_four(), {1, 0, 1, 0, 1, 1, 2, 2, 2});
    call.set(2, scalar_of(mxSINGLE_CLASS, 1))
        .set(3, scalar_of(mxLOGICAL_CLASS, 0))
        .set(6, scalar_of(mxLOGICAL_CLASS, 1))
        .set(8, scalar_of(mxINT32_CLASS, 2))
        .set(10, scalar_of(mxINT32_CLASS, 2));
    expect_results(call.run(), 2, 2, {5, 5, 7, 4}, {1, 1, 4, 3}, {2, 2, 1, 3});
}

// A zero output dimension gives three empty results of the right shape and
// classes, also from an empty map.
TEST(EnvsweepEntry, EmptyOutputs) {
    expect_results(Call(three_by_four(), {1, 0, 1, 0, 1, 1, 0, 3, 1}).run(), 3, 0, {}, {}, {});
    expect_results(Call(three_by_four(), {1, 0, 1, 0, 1, 1, 4, 0.5, 1}).run(), 0, 4, {}, {}, {});
    expect_results(Call(double_matrix(0, 5), {1, 0, 1, 0, 1, 1, 4, 0, 1}).run(), 0, 4, {}, {}, {});
    expect_results(Call(double_matrix(3, 0), {1, 0, 1, 0, 1, 1, 0, 2, 1}).run(), 2, 0, {}, {}, {});
}

// An empty output grid takes no scratch: with out_cols 0 and out_rows
// 2^31 - 1 the passes would need 12 bytes per output row, far more than the
// host is allowed to give here, yet the call returns its three empty results.
TEST(EnvsweepEntry, EmptyOutputTakesNoScratch) {
    const uint64_t limit = standin::block_limit();
    standin::set_block_limit(uint64_t{1} << 20);
    const mexhost::CallResult r =
        Call(double_scalar(1), {1, 0, 1, 0, 1, 1, 0, 2147483647.0, 1}).run();
    const mexhost::CallResult wide =
        Call(double_matrix(1, 4), {1, 0, 1, 0, 1, 1, 0, 500000, 1}).run();
    standin::set_block_limit(limit);
    expect_results(r, 2147483647, 0, {}, {}, {});
    expect_results(wide, 500000, 0, {}, {}, {});
}

// Inputs the transform cannot use safely end the call with an identifier,
// before anything is created.
TEST(EnvsweepEntry, BadInputsAreRejected) {
    const std::vector<double> ok = {1, 0, 1, 0, 1, 1, 2, 2, 1};
    for (size_t input : {6, 7, 8, 9}) {
        for (double bad : {kNaN, kInf, -kInf, 2147483648.0, -1e10}) {
            std::vector<double> s = ok;
            s[input - 2] = bad;
            EXPECT_HOST_ERROR_ID(Call(three_by_four(), s).run(), "envsweep:badScalar");
        }
    }
    // Counts below 0; a first position whose 0-based value is below -2^31.
    for (auto [input, bad] : std::vector<std::pair<size_t, double>>{
             {8, -1}, {9, -3}, {6, -2147483648.0}, {7, -2147483648.5}}) {
        std::vector<double> s = ok;
        s[input - 2] = bad;
        EXPECT_HOST_ERROR_ID(Call(three_by_four(), s).run(), "envsweep:badScalar");
    }
    for (double bad_step : {kNaN, -0.5, -kInf}) {
        std::vector<double> s = ok;
        s[8] = bad_step;
        EXPECT_HOST_ERROR_ID(Call(three_by_four(), s).run(), "envsweep:badScalar");
    }

    EXPECT_HOST_ERROR_ID(Call(double_matrix(0, 4), ok).run(), "envsweep:emptySource");
    EXPECT_HOST_ERROR_ID(Call(double_matrix(4, 0), ok).run(), "envsweep:emptySource");
    EXPECT_HOST_ERROR_ID(Call(numeric_array(mxDOUBLE_CLASS, {2, 2}, true), ok).run(),
                         "envsweep:notRealDouble");
    EXPECT_HOST_ERROR_ID(Call(mexhost::sparse_matrix(4, 4, 1), ok).run(), "envsweep:notRealDouble");

    // out_rows times the map's columns, and the output count, beyond 2^31 - 1.
    EXPECT_HOST_ERROR_ID(Call(double_matrix(1, 4), {1, 0, 1, 0, 1, 1, 1, 1073741824, 1}).run(),
                         "envsweep:tooLarge");
    EXPECT_HOST_ERROR_ID(Call(double_matrix(1, 1), {1, 0, 1, 0, 1, 1, 70000, 70000, 1}).run(),
                         "envsweep:tooLarge");

    // Output positions that step beyond 2^31 - 1 (0-based): rejected when they
    // are reached, accepted when the last one still fits.
    EXPECT_HOST_ERROR_ID(Call(three_by_four(), {1, 0, 1, 0, 2147483647, 1, 3, 2, 1}).run(),
                         "envsweep:positionRange");
    EXPECT_HOST_ERROR_ID(Call(three_by_four(), {1, 0, 1, 0, 1, 1, 2, 2, kInf}).run(),
                         "envsweep:positionRange");
    EXPECT_CLEAN_RETURN(Call(three_by_four(), {1, 0, 1, 0, 2147483647, 1, 2, 2, 1}).run());
    EXPECT_CLEAN_RETURN(Call(three_by_four(), {1, 0, 1, 0, 1, 1, 1, 1, kInf}).run());
}

// A count near 2^31 whose positions leave the range only at the last step is
// refused without stepping through them all (which took seconds); the bound is
// generous, far above the check's cost and far below a walk's.
TEST(EnvsweepEntry, FarPositionsAreRefusedAtOnce) {
    const auto start = std::chrono::steady_clock::now();
    // 0-based rows 2 .. 2^31: the last one is past 2^31 - 1.
    EXPECT_HOST_ERROR_ID(Call(double_matrix(1, 1), {1, 0, 1, 0, 1, 3, 1, 2147483647, 1}).run(),
                         "envsweep:positionRange");
    EXPECT_HOST_ERROR_ID(Call(double_matrix(1, 1), {1, 0, 1, 0, 3, 1, 2147483647, 1, 1}).run(),
                         "envsweep:positionRange");
    // Steps of 2 from row 0 leave the range halfway.
    EXPECT_HOST_ERROR_ID(Call(double_matrix(1, 1), {1, 0, 1, 0, 1, 1, 1, 2147483647, 2}).run(),
                         "envsweep:positionRange");
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(seconds, 2.0);
}

// Positions far outside the map and zero or non-finite coefficients and
// values stay within the arrays: every reported cell is a cell of the map.
TEST(EnvsweepEntry, OutOfRangeArithmeticStaysInside) {
    // 0-based positions: column 2^31 - 2, row -2^31; the nearest cell is
    // (row 0, column 3) at distances 2^31 and 2^31 - 5.
    const double dx = 2147483643.0, dy = 2147483648.0;
    const auto r = Call(three_by_four(), {1, 0, 1, 0, 2147483647, -2147483647, 2, 2, 0}).run();
    expect_results(r, 2, 2, std::vector<double>(4, -(dx * dx) + -(dy * dy)), {4, 4, 4, 4},
                   {1, 1, 1, 1});
    for (double coef : {0.0, kNaN, kInf}) {
        Call call(double_matrix(3, 4, {0, kNaN, kInf, -kInf, 1, 2, 3, 4, 5, 6, 7, 8}),
                  {coef, 1, coef, -1, -2, 0, 6, 5, 1.5});
        const auto bad = call.run();
        EXPECT_CLEAN_RETURN(bad);
        for (int32_t col : int32_values(bad.outputs[1].get())) EXPECT_TRUE(col >= 1 && col <= 4);
        for (int32_t row : int32_values(bad.outputs[2].get())) EXPECT_TRUE(row >= 1 && row <= 3);
    }
}

// Runs one call under an address-space limit that leaves the transform no
// room for its working memory; 0 when the call ended cleanly with the error.
int call_without_memory() {
    // One long row of n cells: the host's copy of the input (8n bytes) and the
    // entry's scratch (12n) fit under the limit, the transform's working
    // memory for the row (8n more) does not.
    const size_t n = size_t{1} << 22;
    const Call call(double_matrix(1, n), {1, 0, 1, 0, 1, 1, 1, 1, 1});
    long pages = 0, resident = 0;
    FILE* statm = std::fopen("/proc/self/statm", "r");
    if (!statm || std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) return 2;
    std::fclose(statm);
    const rlim_t limit = static_cast<rlim_t>(pages) * sysconf(_SC_PAGESIZE) + 22 * n;
    const rlimit space{limit, limit};
    if (setrlimit(RLIMIT_AS, &space) != 0) return 3;
    const auto r = call.run();
    const bool clean = r.host_error && r.identifier == "envsweep:outOfMemory" &&
                       r.blocks_live_at_return == 0 && r.inputs_unchanged && !r.outputs[0] &&
                       !r.outputs[1] && !r.outputs[2];
    return clean ? 0 : 1;
}

// When the transform's own working memory cannot be had, the call ends with
// the host's error, frees its scratch and fills no result slot. Runs in a
// child process; sanitizers reserve address space of their own, so it is
// skipped under them.
TEST(EnvsweepEntry, OutOfMemoryEndsTheCallCleanly) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "address-space limit not usable under AddressSanitizer";
#endif
    module("envsweep");  // loaded before the limit
    EXPECT_EXIT(std::_Exit(call_without_memory()), ::testing::ExitedWithCode(0), "");
}
