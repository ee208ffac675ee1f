// Calls the fuzz targets found faults with (or found the oracle too narrow
// for), kept as regression tests through our own host.
#include "host.h"
#include "module_call.h"

using mexhost::Array;
using mexhost::double_matrix;
using mexhost::double_scalar;

namespace {

std::vector<const mxArray*> pointers(const std::vector<Array>& arrays) {
    std::vector<const mxArray*> in;
    for (const Array& a : arrays) in.push_back(a.get());
    return in;
}

// envsweep's ten inputs: the source, then the nine scalars.
std::vector<Array> envsweep_inputs(Array source, std::vector<double> scalars) {
    std::vector<Array> inputs;
    inputs.push_back(std::move(source));
    for (double s : scalars) inputs.push_back(double_scalar(s));
    return inputs;
}

}  // namespace

// The host read one entry past the column starts of a sparse matrix without
// columns when asked for its first element (envsweep read its counts that way).
TEST(FuzzFindings, ScalarOfSparseWithoutColumns) {
    EXPECT_EQ(mxGetScalar(mexhost::sparse_matrix(0, 0, 0).get()), 0.0);
    EXPECT_EQ(mxGetScalar(mexhost::sparse_matrix(3, 0, 2).get()), 0.0);
    EXPECT_EQ(mxGetScalar(mexhost::sparse_matrix(0, 2, 1).get()), 0.0);
}

// An empty output evaluates no position: a huge count beside a zero one
// returns empty results at once instead of stepping through 2^31 positions.
TEST(FuzzFindings, EmptyOutputSkipsPositionCheck) {
    auto inputs = envsweep_inputs(double_matrix(0, 0), {1, 0, 1, 0, 1, 1, 0, 2147483647.5, 2});
    auto r = module("envsweep").call(3, pointers(inputs));
    EXPECT_CLEAN_RETURN(r);
    for (int slot = 0; slot < 3; ++slot) {
        EXPECT_EQ(mxGetM(r.outputs[slot].get()), 2147483647u);
        EXPECT_EQ(mxGetN(r.outputs[slot].get()), 0u);
    }
    // With a non-empty output, positions that leave the 32-bit range fail.
    inputs = envsweep_inputs(double_matrix(1, 1, {3}), {1, 0, 1, 0, 1, 2147483647, 1, 3, 2});
    EXPECT_HOST_ERROR_ID(module("envsweep").call(3, pointers(inputs)), "envsweep:positionRange");
}

// X of no row and 2^31 - 1 columns asks for that many scores: the call ends
// with the host's out-of-memory error when the host cannot provide them.
TEST(FuzzFindings, HugeScoreCountMeetsHostMemoryLimit) {
    const uint64_t limit = standin::block_limit();
    standin::set_block_limit(size_t{1} << 20);
    std::vector<Array> inputs;
    inputs.push_back(mexhost::numeric_array(mxDOUBLE_CLASS, {0, 2147483647}));
    inputs.push_back(double_matrix(1, 3, {1, 2, 3}));
    inputs.push_back(double_matrix(0, 0));
    inputs.push_back(double_matrix(1, 1, {0.5}));
    auto r = module("linscore").call(1, pointers(inputs));
    standin::set_block_limit(limit);
    EXPECT_TRUE(r.host_error);
    EXPECT_EQ(r.identifier, "host:outOfMemory");
    EXPECT_TRUE(r.inputs_unchanged);
}

// Octave fails its own first-element read of an empty array with a message
// that names no module, while our host reads 0: envsweep now ends such a call
// itself, the same way in every host.
TEST(FuzzFindings, EmptyScalarInput) {
    for (size_t input = 1; input < 10; ++input) {
        auto inputs = envsweep_inputs(double_matrix(1, 1, {3}), {1, 0, 1, 0, 1, 1, 2, 2, 1});
        inputs[input] = double_matrix(0, 0);
        EXPECT_HOST_ERROR_ID(module("envsweep").call(3, pointers(inputs)), "envsweep:emptyScalar");
    }
}

// X of 2^31 - 1 features puts w's bias at element 2^31 - 1: the count M + 1
// passed 32-bit signed arithmetic in the entry (undefined behaviour) even with
// no sample to score. With no sample nothing is read and no count overflows.
TEST(FuzzFindings, FeatureCountAtTheLimit) {
    std::vector<Array> inputs;
    inputs.push_back(mexhost::numeric_array(mxDOUBLE_CLASS, {2147483647, 0}));
    inputs.push_back(double_matrix(0, 0));
    inputs.push_back(double_matrix(0, 0));
    inputs.push_back(double_matrix(0, 0));
    auto r = module("linscore").call(1, pointers(inputs));
    EXPECT_CLEAN_RETURN(r);
    EXPECT_EQ(mxGetM(r.outputs[0].get()), 0u);
}
