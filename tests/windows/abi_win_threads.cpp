// SPDX-License-Identifier: MIT
// Thread exit and unloading as only Windows has them. There is no leak
// checker here, so the heap shows whether a thread's copies outlive it:
// threads started the ways a host starts them each leave copies of known
// size behind; and the library may be unloaded while threads that used it
// still run.
#include "abi_loader.h"
#include "support.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <process.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

namespace {

const TavroApi &T = tavro_api();

// A crash on any thread ends the program at once, with its code, instead of
// waiting for a debugger.
const bool kCrashesEndTheProgram = [] {
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  SetUnhandledExceptionFilter([](EXCEPTION_POINTERS *e) -> LONG {
    std::fprintf(stderr, "crash: exception %08lx at %p\n", e->ExceptionRecord->ExceptionCode,
                 e->ExceptionRecord->ExceptionAddress);
    std::fflush(stderr);
    TerminateProcess(GetCurrentProcess(), 3);
    return EXCEPTION_EXECUTE_HANDLER;
  });
  return true;
}();

// Bytes in use in all of the process's heaps, the C runtime's included.
size_t heap_in_use() {
  HANDLE heaps[256];
  DWORD n = GetProcessHeaps(256, heaps);
  size_t used = 0;
  for (DWORD i = 0; i < n && i < 256; ++i) {
    if (!HeapLock(heaps[i])) continue;
    PROCESS_HEAP_ENTRY e{};
    while (HeapWalk(heaps[i], &e))
      if (e.wFlags & PROCESS_HEAP_ENTRY_BUSY) used += e.cbData;
    HeapUnlock(heaps[i]);
  }
  return used;
}

using Work = void (*)(void *);
struct Job {
  Work work;
  void *arg;
};

DWORD WINAPI run_job(void *p) {
  auto *job = static_cast<Job *>(p);
  job->work(job->arg);
  return 0;
}
unsigned __stdcall run_job_crt(void *p) {
  return run_job(p);
}

// The ways a thread comes to call the library.
struct Starter {
  const char *name;
  void (*run)(Job *);
} kStarters[] = {
    {"CreateThread",
     [](Job *job) {
       HANDLE h = CreateThread(nullptr, 0, run_job, job, 0, nullptr);
       ASSERT_NE(h, nullptr);
       WaitForSingleObject(h, INFINITE);
       CloseHandle(h);
     }},
    {"_beginthreadex",
     [](Job *job) {
       auto h = (HANDLE)_beginthreadex(nullptr, 0, run_job_crt, job, 0, nullptr);
       ASSERT_NE(h, nullptr);
       WaitForSingleObject(h, INFINITE);
       CloseHandle(h);
     }},
    {"std::thread", [](Job *job) { std::thread(run_job, job).join(); }},
};

constexpr size_t kBig = 1 << 20;
constexpr int kThreads = 16;

// Fills every per-thread copy the library keeps: a result of more than a
// MiB, a fake return copy of a 6 KB URL (the link, in the form, is filed
// with it), the redaction buffer.
void fill_copies(void *failures) {
  std::string link(6000, 'L');
  std::string entry = R"({"locator":")" + link + "\"}";
  char out[256];
  bool ok = T.tavro_stream_url(tt::kSettings.c_str(), entry.c_str(), out, sizeof out) ==
                TAVRO_E_NOT_FOUND &&
            std::strlen(T.tavro_fake_last_url()) > link.size() &&
            std::strlen(T.tavro_redact(entry.c_str())) == 2047 &&
            T.tavro_list(tt::kSettings.c_str(), "torrents", nullptr, 0) == TAVRO_OK &&
            std::strlen(T.tavro_result_json()) > kBig;
  if (!ok) ++*static_cast<std::atomic<int> *>(failures);
}

TEST(WinThreads, EveryThreadReleasesItsCopiesWhenItEnds) {
  T.tavro_fake_reset();
  ASSERT_EQ(
      T.tavro_fake_set(
          "POST", tt::status_url().c_str(), 200,
          tt::ok(R"({"magnets":[{"id":1,"filename":")" + std::string(kBig, 'x') + "\"}]}").c_str()),
      0);
  ASSERT_EQ(T.tavro_use_fake(), 0);
  for (const Starter &s : kStarters) {
    std::atomic<int> failures{0};
    Job job{fill_copies, &failures};
    s.run(&job); // whatever a first thread of this kind sets up once
    size_t before = heap_in_use();
    for (int i = 0; i < kThreads; ++i) s.run(&job);
    size_t after = heap_in_use();
    EXPECT_EQ(failures.load(), 0) << s.name;
    // Each thread held over a MiB and 8 KB of copies; together they may
    // leave less than a KB per thread.
    EXPECT_LT(after > before ? after - before : 0, kThreads * 1024u)
        << s.name << ": " << before << " bytes in use before, " << after << " after";
  }
  T.tavro_set_io(nullptr);
  T.tavro_fake_reset();
}

// A thread that used a library which was unloaded before the thread ended
// must not call into it at its exit.
TEST(WinThreads, UnloadingLeavesTheThreadsThatUsedTheLibrarySafe) {
  wchar_t path[MAX_PATH];
  DWORD len = GetModuleFileNameW(static_cast<HMODULE>(T.handle), path, MAX_PATH);
  ASSERT_TRUE(len > 0 && len < MAX_PATH);
  std::wstring copy(path, len);
  copy.replace(copy.find_last_of(L"\\/") + 1, std::wstring::npos, L"tavro-unload-test.dll");
  ASSERT_TRUE(CopyFileW(path, copy.c_str(), FALSE));
  HMODULE lib = LoadLibraryW(copy.c_str());
  ASSERT_NE(lib, nullptr);
  ASSERT_NE(lib, static_cast<HMODULE>(T.handle)) << "a second instance of the library";

  struct Shared {
    decltype(&tavro_list) list;
    decltype(&tavro_fake_last_url) last_url;
    HANDLE used, go;
    int code;
  } shared{reinterpret_cast<decltype(&tavro_list)>((void *)GetProcAddress(lib, "tavro_list")),
           reinterpret_cast<decltype(&tavro_fake_last_url)>(
               (void *)GetProcAddress(lib, "tavro_fake_last_url")),
           CreateEventW(nullptr, TRUE, FALSE, nullptr), CreateEventW(nullptr, TRUE, FALSE, nullptr),
           0};
  ASSERT_TRUE(shared.list && shared.last_url && shared.used && shared.go);
  HANDLE th = CreateThread(
      nullptr, 0,
      [](void *p) -> DWORD {
        auto *s = static_cast<Shared *>(p);
        s->code = s->list(tt::kSettings.c_str(), nullptr, nullptr, 0);
        s->last_url();
        SetEvent(s->used);
        WaitForSingleObject(s->go, INFINITE);
        return 7;
      },
      &shared, 0, nullptr);
  ASSERT_NE(th, nullptr);
  WaitForSingleObject(shared.used, INFINITE);
  EXPECT_EQ(shared.code, TAVRO_E_TRANSPORT);
  EXPECT_TRUE(FreeLibrary(lib));
  EXPECT_EQ(GetModuleHandleW(copy.c_str()), nullptr) << "unloaded";
  SetEvent(shared.go);
  WaitForSingleObject(th, INFINITE);
  DWORD exit_code = 0;
  GetExitCodeThread(th, &exit_code);
  EXPECT_EQ(exit_code, 7u) << "the thread ended normally";
  CloseHandle(th);
  CloseHandle(shared.used);
  CloseHandle(shared.go);
  DeleteFileW(copy.c_str());
}

} // namespace
