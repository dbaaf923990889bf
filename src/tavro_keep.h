// SPDX-License-Identifier: MIT
// Memory a thread keeps between calls. A large listing's answer and
// document are blocks of megabytes; allocated afresh on every call they come
// from newly mapped pages, whose faults cost more than the listing's own
// work. Blocks handed back here are kept by the calling thread for its next
// call instead: at most TAVRO_KEEP_MAX bytes per thread, a block reused
// only when it is at most twice the size asked (and 1 MiB) larger, and all
// of them released when the thread ends. Blocks never pass between threads.
#pragma once

#include <yyjson.h>

#include <cstddef>
#include <cstdint>

// A block of at least n bytes, 16-byte aligned: one this thread kept when
// one fits, else a new one (tavro_malloc). *cap receives its size. Null when
// memory runs out.
void *tavro_keep_take(size_t n, size_t *cap);
// Hands back a block of cap bytes from tavro_keep_take: kept for this
// thread's next take when the bound allows, else released. Null is ignored.
void tavro_keep_give(void *block, size_t cap);

// Strict parse of exactly len bytes, as tavro_json_read, with the document's
// memory taken from and handed back to this thread's kept blocks. The
// document must be released on the thread that read it.
yyjson_doc *tavro_json_read_kept(const char *text, size_t len);

// The same, parsing text in place: text must hold 4 zero bytes after len
// (TAVRO_BODY_PADDING), and outlive the document, which refers into it.
yyjson_doc *tavro_json_read_kept_in_place(char *text, size_t len);

// The release function of a transport table's texts: free(ctx, text).
using tavro_release_fn = void (*)(void *, void *);

// A block from tavro_keep_take that one of the library's own transport
// tables hands out as an answer text of len bytes, owner being that table's
// release function: noted for this thread, so that the exchange that would
// release the text through owner takes the block as it stands instead of
// copying it. One note per thread; a null block clears it. The noted block
// stays its holder's: the note frees nothing.
void tavro_keep_note(void *block, size_t cap, size_t len, tavro_release_fn owner);
// True when block is the one this thread last noted for owner: *cap and
// *len receive what was noted, and the note is cleared.
bool tavro_keep_claim(const void *block, tavro_release_fn owner, size_t *cap, size_t *len);

// Releases this thread's kept blocks now.
void tavro_keep_clear(void);
// Bytes kept by all threads together (for tests and measurements).
uint64_t tavro_keep_total(void);
