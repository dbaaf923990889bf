// SPDX-License-Identifier: MIT
// The per-thread result and error copies.
#include "tavro_results.h"

#include "tavro_keep.h"
#include "tavro_text.h"
#include "tavro_thread.h"

#include <cstdlib>
#include <cstring>

namespace {

struct ThreadCopies {
  tavro::Text result;
  uint64_t result_cap = 0;    // the size of result's block, as far as known
  bool result_secret = false; // result holds a key: wiped before it goes
  tavro::Text error;

  ThreadCopies() = default;
  ThreadCopies(const ThreadCopies &) = delete;
  ThreadCopies &operator=(const ThreadCopies &) = delete;
  ~ThreadCopies() { drop_result(); }

  // Releases the result copy, wiping it first when it holds a key.
  void drop_result() {
    if (result_secret && result.get()) tavro_wipe(result.get(), (size_t)result_cap);
    result.reset();
    result_cap = 0;
    result_secret = false;
  }
};

// Null only when memory runs out.
ThreadCopies *thread_copies() {
  return tavro::this_thread<ThreadCopies>();
}

} // namespace

void tavro_publish(int code, const char *error, const char *result) {
  ThreadCopies *copies = thread_copies();
  if (!copies) return;
  copies->error.reset(tavro_strdup(code != 0 && error ? error : ""));
  copies->drop_result();
  copies->result.reset(tavro_strdup(result ? result : ""));
  copies->result_cap = copies->result.get() ? std::strlen(copies->result.get()) + 1 : 0;
}

void tavro_publish_owned(int code, const char *error, char *result, uint64_t len, bool secret) {
  ThreadCopies *copies = thread_copies();
  if (!copies) {
    if (secret && result) tavro_wipe(result, (size_t)len + 1);
    std::free(result);
    return;
  }
  copies->error.reset(tavro_strdup(code != 0 && error ? error : ""));
  copies->drop_result();
  copies->result.reset(result);
  copies->result_cap = result ? len + 1 : 0;
  copies->result_secret = secret && result;
}

bool tavro_publish_copy(const char *result, uint64_t len) {
  ThreadCopies *copies = thread_copies();
  if (!copies) return false;
  copies->error.reset(tavro_strdup(""));
  // A block that held a key is not reused.
  if (copies->result_secret) copies->drop_result();
  uint64_t need = len + 1, cap = copies->result_cap;
  if (!copies->result.get() || cap < need || cap - need > need + (uint64_t(1) << 20)) {
    copies->result.reset();
    copies->result_cap = 0;
    // A new block for a large result: the blocks this thread kept go first,
    // so that they and a fresh result are not held together.
    if (need >= (uint64_t(1) << 16)) tavro_keep_clear();
    char *block = static_cast<char *>(tavro_malloc_large((size_t)need));
    if (!block) return false;
    copies->result.reset(block);
    copies->result_cap = need;
  }
  std::memcpy(copies->result.get(), result, (size_t)len);
  copies->result.get()[len] = '\0';
  return true;
}

const char *tavro_thread_result(void) {
  ThreadCopies *copies = thread_copies();
  return copies ? copies->result.get() : nullptr;
}

const char *tavro_thread_error(void) {
  ThreadCopies *copies = thread_copies();
  return copies ? copies->error.get() : nullptr;
}
