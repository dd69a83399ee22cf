// The fixed-size depth filters compiled for AVX-512 F/BW, 32 pixels at a time
// (built with its instruction set enabled; only called when the CPU has it).
// GCC 12's AVX-512 intrinsics use deliberately undefined vectors, which
// -Wmaybe-uninitialized (and, depending on the inlining, -Wuninitialized)
// reports once they are inlined (GCC bug 105593).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif
#define KX_SIMD_NS torvi_filters_avx512
#define KX_SIMD_AVX512 1
#include "imgproc/filter_kernels.h"

const torvi::FilterSet &torvi::filter_set_avx512() { return KX_SIMD_NS::make_filter_set("avx512"); }
