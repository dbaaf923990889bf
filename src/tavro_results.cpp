// The per-thread result and error copies.
#include "tavro_results.h"

#include "tavro_text.h"
#include "tavro_thread.h"

#include <cstdlib>

namespace {

struct ThreadCopies {
  tavro::Text result;
  tavro::Text error;
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
  copies->result.reset(tavro_strdup(result ? result : ""));
}

void tavro_publish_owned(int code, const char *error, char *result) {
  ThreadCopies *copies = thread_copies();
  if (!copies) {
    std::free(result);
    return;
  }
  copies->error.reset(tavro_strdup(code != 0 && error ? error : ""));
  copies->result.reset(result);
}

const char *tavro_thread_result(void) {
  ThreadCopies *copies = thread_copies();
  return copies ? copies->result.get() : nullptr;
}

const char *tavro_thread_error(void) {
  ThreadCopies *copies = thread_copies();
  return copies ? copies->error.get() : nullptr;
}
