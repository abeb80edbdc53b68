#pragma once
// Counts allocations through operator new in a test program that links allocation_counter.cpp
// (which replaces the global operator new and delete).
#include <cstddef>

namespace figsplit::testing {
constexpr std::size_t kLargeAllocation = 1024;
// Allocations of kLargeAllocation bytes or more.
long largeAllocationCount();
}  // namespace figsplit::testing
