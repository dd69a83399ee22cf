// The fixed-size depth filters compiled for AVX512 (built with its instruction set enabled; only called when the CPU has it).
#define KX_SIMD_NS torvi_filters_avx512
#define KX_SIMD_AVX512 1
#include "imgproc/filter_kernels.h"

const torvi::FilterSet &torvi::filter_set_avx512() { return KX_SIMD_NS::make_filter_set("avx512"); }
