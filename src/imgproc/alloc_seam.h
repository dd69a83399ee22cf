// Failure injection for the allocations of the general median and the lens
// map, so tests can drive the out-of-memory paths without exhausting memory.
#pragma once

namespace torvi::imgproc_alloc {

// The n-th allocation from now (1: the next one) checked through
// should_fail() reports failure; 0 cancels.
void fail_nth(int n);
// True when the allocation about to be made is to fail (counts down).
bool should_fail();

}  // namespace torvi::imgproc_alloc
