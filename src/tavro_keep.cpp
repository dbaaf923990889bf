// SPDX-License-Identifier: MIT
// The blocks each thread keeps between calls.
#include "tavro_keep.h"

#include "tavro_base.h"
#include "tavro_service.h"
#include "tavro_thread.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace {

std::atomic<uint64_t> g_kept_total{0};

// This thread's kept blocks: a few slots, enough for an answer and a
// document's blocks.
struct Kept {
  static constexpr int kSlots = 6;
  void *block[kSlots] = {};
  size_t cap[kSlots] = {};
  uint64_t bytes = 0;
  // The block last handed out by one of the library's tables (not kept).
  const void *noted = nullptr;
  tavro_release_fn noted_owner = nullptr;
  size_t noted_cap = 0, noted_len = 0;

  ~Kept() { clear(); }
  void clear() {
    for (int i = 0; i < kSlots; ++i) drop(i);
  }
  // Takes slot i's block out of the slot (null when it is empty).
  void *remove(int i) {
    void *p = block[i];
    if (!p) return nullptr;
    bytes -= cap[i];
    g_kept_total.fetch_sub(cap[i], std::memory_order_relaxed);
    block[i] = nullptr;
    cap[i] = 0;
    return p;
  }
  void drop(int i) { std::free(remove(i)); }
};

Kept *kept() {
  return tavro::this_thread<Kept>();
}

// A kept block fits n when it is large enough and not wastefully larger.
bool fits(size_t cap, size_t n) {
  return cap >= n && cap - n <= n + (size_t(1) << 20);
}

} // namespace

void *tavro_keep_take(size_t n, size_t *cap) {
  if (Kept *k = kept()) {
    int best = -1;
    for (int i = 0; i < Kept::kSlots; ++i)
      if (k->block[i] && fits(k->cap[i], n) && (best < 0 || k->cap[i] < k->cap[best])) best = i;
    if (best >= 0) {
      *cap = k->cap[best];
      return k->remove(best);
    }
  }
  void *p = tavro_malloc_large(n);
  *cap = p ? n : 0;
  return p;
}

void tavro_keep_give(void *block, size_t cap) {
  if (!block) return;
  Kept *k = kept();
  if (!k || cap > TAVRO_KEEP_MAX) {
    std::free(block);
    return;
  }
  // Room first: the smallest kept blocks go until this one fits the bound
  // and a slot is free.
  for (;;) {
    int empty = -1, smallest = -1;
    for (int i = 0; i < Kept::kSlots; ++i) {
      if (!k->block[i]) {
        if (empty < 0) empty = i;
      } else if (smallest < 0 || k->cap[i] < k->cap[smallest]) {
        smallest = i;
      }
    }
    if (empty >= 0 && k->bytes + cap <= TAVRO_KEEP_MAX) {
      k->block[empty] = block;
      k->cap[empty] = cap;
      k->bytes += cap;
      g_kept_total.fetch_add(cap, std::memory_order_relaxed);
      return;
    }
    if (smallest < 0) break;
    k->drop(smallest);
  }
  std::free(block);
}

void tavro_keep_note(void *block, size_t cap, size_t len, tavro_release_fn owner) {
  if (Kept *k = kept()) {
    k->noted = block;
    k->noted_owner = block ? owner : nullptr;
    k->noted_cap = block ? cap : 0;
    k->noted_len = block ? len : 0;
  }
}

bool tavro_keep_claim(const void *block, tavro_release_fn owner, size_t *cap, size_t *len) {
  Kept *k = block ? kept() : nullptr;
  if (!k || k->noted != block || k->noted_owner != owner) return false;
  *cap = k->noted_cap;
  *len = k->noted_len;
  k->noted = nullptr;
  k->noted_owner = nullptr;
  return true;
}

void tavro_keep_clear(void) {
  if (Kept *k = kept()) k->clear();
}

uint64_t tavro_keep_total(void) {
  return g_kept_total.load(std::memory_order_relaxed);
}

// ---- The document allocator -----------------------------------------------

namespace {

// Each block carries its size in a header of 16 bytes (which keeps the
// payload 16-byte aligned), so that free and realloc can hand it back.
constexpr size_t kHeader = 16;

void *doc_malloc(void *, size_t size) {
  if (size > SIZE_MAX - kHeader) return nullptr;
  size_t cap = 0;
  char *p = static_cast<char *>(tavro_keep_take(size + kHeader, &cap));
  if (!p) return nullptr;
  std::memcpy(p, &cap, sizeof cap);
  return p + kHeader;
}

void doc_free(void *, void *ptr) {
  if (!ptr) return;
  char *p = static_cast<char *>(ptr) - kHeader;
  size_t cap;
  std::memcpy(&cap, p, sizeof cap);
  tavro_keep_give(p, cap);
}

void *doc_realloc(void *ctx, void *ptr, size_t old_size, size_t size) {
  if (!ptr) return doc_malloc(ctx, size);
  char *p = static_cast<char *>(ptr) - kHeader;
  size_t cap;
  std::memcpy(&cap, p, sizeof cap);
  if (size <= cap - kHeader) return ptr;
  void *grown = doc_malloc(ctx, size);
  if (!grown) return nullptr;
  std::memcpy(grown, ptr, old_size < size ? old_size : size);
  doc_free(ctx, ptr);
  return grown;
}

const yyjson_alc kDocAlc = {doc_malloc, doc_realloc, doc_free, nullptr};

} // namespace

yyjson_doc *tavro_json_read_kept(const char *text, size_t len) {
  if (!text) return nullptr;
  // Without the in-situ flag yyjson copies the input and never writes to it.
  return yyjson_read_opts(const_cast<char *>(text), len, 0, &kDocAlc, nullptr);
}

yyjson_doc *tavro_json_read_kept_in_place(char *text, size_t len) {
  if (!text) return nullptr;
  return yyjson_read_opts(text, len, YYJSON_READ_INSITU, &kDocAlc, nullptr);
}
