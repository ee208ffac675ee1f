// [P, X, Y] = patchwarp(image, template, A): an M x N grid centred on the
// origin (M x N the size of the template), mapped into the image by the 2 x 3
// affine matrix A, clamped onto the image and sampled by bilinear
// interpolation; P is the patch, X and Y the clamped 0-based column and row
// positions it was sampled at, each M x N.
#include "core/patchwarp.h"
#include "modules/args.h"

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    if (nlhs > 3) mexErrMsgTxt("Too many output arguments!");
    if (nrhs != 3) mexErrMsgTxt("Not enough input arguments!");

    const char* module = "patchwarp";
    const mxArray* image = prhs[0];
    const mxArray* sizeTemplate = prhs[1];  // only its size is used
    const mxArray* A = prhs[2];
    require_real_double(image, module, "The image");
    require_real_double(A, module, "A");
    const ImageDims imageDims = host_dims(image, module, "The image");
    const ImageDims gridDims = host_dims(sizeTemplate, module, "The size template");
    element_count(imageDims, module, "The image");
    const int32_t cells = element_count(gridDims, module, "The size template");
    if (cells > 0) {
        if (imageDims.rows == 0 || imageDims.cols == 0)
            fail(module, "emptyImage", "%s is empty; there is nothing to sample.", "The image");
        require_elements(A, 6, module, "A");
    }

    // All three results exist on every call, since the kernel reads the
    // positions back from the second and third. The host provides only
    // max(nlhs, 1) slots; a result without a slot is released by the host
    // when the call ends.
    const int slots = nlhs > 1 ? nlhs : 1;
    mxArray* results[3];
    for (int r = 0; r < 3; ++r) {
        results[r] = mxCreateDoubleMatrix(gridDims.rows, gridDims.cols, mxREAL);
        if (r < slots) plhs[r] = results[r];
    }
    patchwarp(mxGetPr(image), &imageDims, &gridDims, mxGetPr(A), mxGetPr(results[0]),
              mxGetPr(results[1]), mxGetPr(results[2]));
}
