// The fixed-size depth filters compiled for AVX2 (built with its instruction set enabled; only
// called when the CPU has it).
#define KX_SIMD_NS torvi_filters_avx2
#define KX_SIMD_AVX2 1
#include "imgproc/filter_kernels.h"

const torvi::FilterSet &torvi::filter_set_avx2() { return KX_SIMD_NS::make_filter_set("avx2"); }
