// gridlerp(image, X, Y): the image sampled by bilinear interpolation at the
// 0-based positions (X(k), Y(k)), each clamped onto the image; the result has
// the shape of X.
#include "core/bilinear.h"
#include "modules/args.h"

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    if (nlhs > 1) mexErrMsgTxt("Too many output arguments!");
    if (nrhs != 3) mexErrMsgTxt("Not enough input arguments!");

    const char* module = "gridlerp";
    const mxArray* image = prhs[0];
    const mxArray* X = prhs[1];
    const mxArray* Y = prhs[2];
    require_real_double(image, module, "The image");
    require_real_double(X, module, "X");
    require_real_double(Y, module, "Y");
    const ImageDims imageDims = host_dims(image, module, "The image");
    const ImageDims gridDims = host_dims(X, module, "X");
    element_count(imageDims, module, "The image");
    const int32_t positions = element_count(gridDims, module, "X");
    if (positions > 0) {
        if (imageDims.rows == 0 || imageDims.cols == 0)
            fail(module, "emptyImage", "%s is empty; there is nothing to sample.", "The image");
        require_elements(Y, static_cast<size_t>(positions), module, "Y");
    }

    plhs[0] = mxCreateDoubleMatrix(gridDims.rows, gridDims.cols, mxREAL);
    gridlerp_ext(mxGetPr(image), &imageDims, &gridDims, mxGetPr(X), mxGetPr(Y),
                 mxGetPr(plhs[0]));
}
