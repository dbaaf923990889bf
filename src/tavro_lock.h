// SPDX-License-Identifier: MIT
// A tiny exclusive lock over the platform's own: a slim reader/writer lock on
// Windows, a POSIX mutex elsewhere. Both are statically initialised, so a
// lock at namespace scope needs no init call and no constructor at load.
#pragma once

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <pthread.h>
#endif

namespace tavro {

class Lock {
public:
  constexpr Lock() = default;
  Lock(const Lock &) = delete;
  Lock &operator=(const Lock &) = delete;

#if defined(_WIN32)
  void lock() {
    AcquireSRWLockExclusive(&l_);
  }
  void unlock() {
    ReleaseSRWLockExclusive(&l_);
  }

private:
  SRWLOCK l_ = SRWLOCK_INIT;
#else
  void lock() {
    pthread_mutex_lock(&l_);
  }
  void unlock() {
    pthread_mutex_unlock(&l_);
  }

private:
  pthread_mutex_t l_ = PTHREAD_MUTEX_INITIALIZER;
#endif
};

// Holds a Lock for the lifetime of the guard.
class Guard {
public:
  explicit Guard(Lock &l) : l_(l) { l_.lock(); }
  ~Guard() { l_.unlock(); }
  Guard(const Guard &) = delete;
  Guard &operator=(const Guard &) = delete;

private:
  Lock &l_;
};

} // namespace tavro
