/* The host array interface the module entries are compiled against (the stand-in
   host and the Python host implement it): array sizes and data,
   array creation, scratch memory. Creation takes 32-bit signed counts and is
   linked under the host's _700 names. */
#ifndef HOST_INTERFACE_MATRIX_H
#define HOST_INTERFACE_MATRIX_H

#include <stddef.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct mxArray_tag mxArray;

typedef enum {
    mxUNKNOWN_CLASS = 0,
    mxCELL_CLASS,
    mxSTRUCT_CLASS,
    mxLOGICAL_CLASS,
    mxCHAR_CLASS,
    mxVOID_CLASS,
    mxDOUBLE_CLASS,
    mxSINGLE_CLASS,
    mxINT8_CLASS,
    mxUINT8_CLASS,
    mxINT16_CLASS,
    mxUINT16_CLASS,
    mxINT32_CLASS,
    mxUINT32_CLASS,
    mxINT64_CLASS,
    mxUINT64_CLASS,
    mxFUNCTION_CLASS
} mxClassID;

typedef enum { mxREAL = 0, mxCOMPLEX = 1 } mxComplexity;

typedef size_t mwSize;
typedef size_t mwIndex;

#if defined(_WIN32)
#  if defined(HOST_BUILD_MX)
#    define HOST_MX_API __declspec(dllexport)
#  else
#    define HOST_MX_API __declspec(dllimport)
#  endif
#else
#  define HOST_MX_API __attribute__((visibility("default")))
#endif

#define mxCreateDoubleMatrix mxCreateDoubleMatrix_700
#define mxCreateNumericMatrix mxCreateNumericMatrix_700

HOST_MX_API double* mxGetPr(const mxArray* array);
HOST_MX_API double* mxGetPi(const mxArray* array);
HOST_MX_API void* mxGetData(const mxArray* array);
HOST_MX_API size_t mxGetM(const mxArray* array);
HOST_MX_API size_t mxGetN(const mxArray* array);
HOST_MX_API size_t mxGetNumberOfElements(const mxArray* array);
HOST_MX_API double mxGetScalar(const mxArray* array);
HOST_MX_API mxClassID mxGetClassID(const mxArray* array);
HOST_MX_API bool mxIsDouble(const mxArray* array);
HOST_MX_API bool mxIsComplex(const mxArray* array);
HOST_MX_API bool mxIsSparse(const mxArray* array);

HOST_MX_API mxArray* mxCreateDoubleMatrix_700(int m, int n,
                                                 mxComplexity complexity);
HOST_MX_API mxArray* mxCreateNumericMatrix_700(int m, int n,
                                                  mxClassID classid,
                                                  mxComplexity complexity);

HOST_MX_API void* mxCalloc(size_t n, size_t size);
HOST_MX_API void mxFree(void* ptr);

#ifdef __cplusplus
}
#endif

#endif
