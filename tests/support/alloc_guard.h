// The Eigen half of the allocation guard (counting_new.h is the operator
// new half). Included ahead of every source of an allocation test (compiler
// option -include): Eigen checks every heap allocation against
// set_is_malloc_allowed, and its checks count failures here instead of
// aborting, so a test can report them.
#pragma once

#include <atomic>

namespace alloc_guard {
inline std::atomic<long> eigenCheckFailures{0};
}  // namespace alloc_guard

#define EIGEN_RUNTIME_NO_MALLOC
#define eigen_assert(x)                                     \
  do {                                                      \
    if (!(x)) alloc_guard::eigenCheckFailures.fetch_add(1); \
  } while (false)
