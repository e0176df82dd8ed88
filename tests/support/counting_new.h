// A global operator new that counts its calls, for tests and benchmarks that
// prove a code path does not allocate. It replaces every form of the global
// operator new and delete, so include it in exactly one source of each
// program.
//
// `calls` counts every allocation of the program; `counted` counts only
// those made while `counting` is set, for checks around a short stretch of
// code. With `abortWhenCounted` set, the first counted allocation aborts,
// so that a debugger or a core file shows where it came from.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

namespace counting_new {

inline std::atomic<long> calls{0};
inline std::atomic<bool> counting{false};
inline std::atomic<long> counted{0};
inline std::atomic<bool> abortWhenCounted{false};

// Returns nullptr when memory runs out; the callers decide whether to throw.
inline void* Allocate(std::size_t size, std::size_t alignment = 0) noexcept {
  calls.fetch_add(1, std::memory_order_relaxed);
  if (counting.load(std::memory_order_relaxed)) {
    counted.fetch_add(1, std::memory_order_relaxed);
    if (abortWhenCounted.load(std::memory_order_relaxed)) std::abort();
  }
  if (size == 0) size = 1;
  if (alignment <= alignof(std::max_align_t)) return std::malloc(size);
  void* p = nullptr;
  if (posix_memalign(&p, alignment, size) != 0) return nullptr;
  return p;
}

inline void* AllocateOrThrow(std::size_t size, std::size_t alignment = 0) {
  if (void* p = Allocate(size, alignment)) return p;
  throw std::bad_alloc();
}

}  // namespace counting_new

// The replacements pair malloc with free; the compiler cannot see that the
// operator new it inlines is this one.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t size) {
  return counting_new::AllocateOrThrow(size);
}
void* operator new[](std::size_t size) {
  return counting_new::AllocateOrThrow(size);
}
void* operator new(std::size_t size, std::align_val_t align) {
  return counting_new::AllocateOrThrow(size, static_cast<std::size_t>(align));
}
void* operator new[](std::size_t size, std::align_val_t align) {
  return counting_new::AllocateOrThrow(size, static_cast<std::size_t>(align));
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return counting_new::Allocate(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return counting_new::Allocate(size);
}
void* operator new(std::size_t size, std::align_val_t align, const std::nothrow_t&) noexcept {
  return counting_new::Allocate(size, static_cast<std::size_t>(align));
}
void* operator new[](std::size_t size, std::align_val_t align, const std::nothrow_t&) noexcept {
  return counting_new::Allocate(size, static_cast<std::size_t>(align));
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete[](void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept {
  std::free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
  std::free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
  std::free(p);
}
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept {
  std::free(p);
}

#pragma GCC diagnostic pop
