// The fixed-size depth filters compiled for SSE2 (every x86-64 CPU).
#define KX_SIMD_NS torvi_filters_sse2
#define KX_SIMD_SSE2 1
#include "imgproc/filter_kernels.h"

const torvi::FilterSet &torvi::filter_set_sse2() { return KX_SIMD_NS::make_filter_set("sse2"); }
