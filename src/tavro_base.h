// SPDX-License-Identifier: MIT
// Allocation (every heap block of the library, so that a test build can make
// any one of them fail), the JSON allocator and strict reader, the one way
// to fail, and Owned, the holder of anything released by a function: what
// every other module builds on.
#pragma once

#include "tavro.h" // the result codes

#include <yyjson.h>

#include <cstddef>
#include <cstdlib>

// Every heap block of the library comes from these and is released with
// std::free. A size of 0 is taken as 1, so a success is never null.
void *tavro_malloc(size_t n);
void *tavro_realloc(void *p, size_t n);
// The same for a block that the caller fills whole (an answer, a document,
// a result): from TAVRO_LARGE_BLOCK up, on Linux, its whole 2 MiB pages are
// advised to be transparent huge pages.
void *tavro_malloc_large(size_t n);

#if defined(TAVRO_FAULT_INJECTION)
#include <atomic>
// Test builds only: when tavro_fi_countdown is N > 0, the Nth allocation from
// now fails; tavro_fi_calls counts every allocation made.
extern std::atomic<long> tavro_fi_countdown;
extern std::atomic<long> tavro_fi_calls;
#endif

// The allocator handed to yyjson for every document the library parses or
// writes; it goes through tavro_malloc and tavro_realloc.
extern const yyjson_alc tavro_json_alc;

// Strict parse of exactly len bytes (no comments, no trailing commas, valid
// UTF-8, nothing after the value). Null on any failure, a null text included.
yyjson_doc *tavro_json_read(const char *text, size_t len);

// The one way to fail: writes the formatted message into (err, err_size), cut
// to fit and NUL-terminated, and returns code.
int tavro_fail(char *err, size_t err_size, int code, const char *fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 4, 5)))
#endif
    ;

// Overwrites n bytes at p with zeros through volatile writes, which the
// compiler may not drop: for memory that held a key, before it is freed or
// reused. A null p does nothing.
void tavro_wipe(void *p, size_t n);

namespace tavro {

// Owns a T and hands it to Release once, when the holder ends or is reset:
// a heap text (Text), a yyjson document (Doc), or a record on the stack whose
// members Release frees (a settings record, a file list). Not copyable.
template <class T, void (*Release)(T *)> class Owned {
public:
  Owned() = default;
  explicit Owned(T *p) : p_(p) {}
  ~Owned() { reset(); }
  Owned(const Owned &) = delete;
  Owned &operator=(const Owned &) = delete;
  T *get() const { return p_; }
  T *operator->() const { return p_; }
  // Where a function that creates a T writes it; the holder then owns it.
  T **out() { return &p_; }
  // Gives up ownership: the caller takes the T over.
  T *release() {
    T *p = p_;
    p_ = nullptr;
    return p;
  }
  void reset(T *p = nullptr) {
    if (p_) Release(p_);
    p_ = p;
  }

private:
  T *p_ = nullptr;
};

inline void free_text(char *p) {
  std::free(p);
}

// A heap text, released with std::free.
using Text = Owned<char, free_text>;

// yyjson's own release is static inline; holders need one with linkage.
inline void free_doc(yyjson_doc *doc) {
  yyjson_doc_free(doc);
}

// A yyjson document.
class Doc : public Owned<yyjson_doc, free_doc> {
public:
  using Owned::Owned;
  yyjson_val *root() const { return yyjson_doc_get_root(get()); }
};

} // namespace tavro
