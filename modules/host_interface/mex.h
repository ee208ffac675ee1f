/* The host's entry convention and error reporting. */
#ifndef HOST_INTERFACE_MEX_H
#define HOST_INTERFACE_MEX_H

#include "matrix.h"

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#  if defined(HOST_BUILD_MEX)
#    define HOST_MEX_API __declspec(dllexport)
#  else
#    define HOST_MEX_API __declspec(dllimport)
#  endif
#  define HOST_ENTRY_API __declspec(dllexport)
#else
#  define HOST_MEX_API __attribute__((visibility("default")))
#  define HOST_ENTRY_API __attribute__((visibility("default")))
#endif

/* The one function a module exports; the host calls it once per call. */
HOST_ENTRY_API void mexFunction(int nlhs, mxArray* plhs[], int nrhs,
                                   const mxArray* prhs[]);

/* Both report the call's error and end the call; neither returns. */
HOST_MEX_API void mexErrMsgTxt(const char* message);
HOST_MEX_API void mexErrMsgIdAndTxt(const char* identifier,
                                       const char* format, ...);

#ifdef __cplusplus
}
#endif

#endif
