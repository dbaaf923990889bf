// SPDX-License-Identifier: MIT
// Per-thread objects that are released when their thread ends, whoever
// started the thread: a thread_local object elsewhere; on Windows a heap
// object behind a fiber-local storage slot, whose callback destroys it at
// thread exit. (MinGW-w64's thread_local destructors are not safe in a DLL:
// depending on how a thread was started, they run after the variable's
// storage is gone or their release is lost.)
#pragma once

#include <cstddef>

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdlib>
#include <new>

#include "tavro_base.h"
#endif

namespace tavro {

#if defined(_WIN32)

namespace detail {

template <class T> void NTAPI destroy_thread_object(void *p) {
  static_cast<T *>(p)->~T();
  std::free(p);
}

// One slot per type, taken on first use. Freed when the library is unloaded:
// FlsFree runs the callback for every thread's object, so no thread that
// outlives the library calls into it at its exit.
class FlsSlot {
public:
  explicit FlsSlot(PFLS_CALLBACK_FUNCTION destroy) : index_(FlsAlloc(destroy)) {}
  ~FlsSlot() {
    if (index_ != FLS_OUT_OF_INDEXES) FlsFree(index_);
  }
  FlsSlot(const FlsSlot &) = delete;
  FlsSlot &operator=(const FlsSlot &) = delete;
  DWORD index() const { return index_; }

private:
  DWORD index_;
};

} // namespace detail

// This thread's T (one per type), value-initialised on first use; null when
// memory or fiber-local slots run out.
template <class T> T *this_thread() {
  static detail::FlsSlot slot(&detail::destroy_thread_object<T>);
  if (slot.index() == FLS_OUT_OF_INDEXES) return nullptr;
  if (void *p = FlsGetValue(slot.index())) return static_cast<T *>(p);
  void *mem = tavro_malloc(sizeof(T));
  if (!mem) return nullptr;
  T *t = new (mem) T();
  if (!FlsSetValue(slot.index(), t)) {
    t->~T();
    std::free(mem);
    return nullptr;
  }
  return t;
}

#else

// This thread's T (one per type), value-initialised on first use; never null
// here.
template <class T> T *this_thread() {
  thread_local T t{};
  return &t;
}

#endif

} // namespace tavro
