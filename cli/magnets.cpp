// SPDX-License-Identifier: MIT
// Following and changing one magnet of the account.
#include "magnets.h"

#include "links.h"
#include "listing.h"
#include "texts.h"

#include <unistd.h>
#include <yyjson.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>
#include <thread>

namespace tavro_cli {
namespace {

// Ctrl-C while waiting stops the wait, not the process at once: the magnet
// stays in the account and the command says so.
volatile std::sig_atomic_t g_interrupted = 0;

extern "C" void on_wait_interrupt(int) {
  g_interrupted = 1;
}

// Holds SIGINT for the wait, and gives the old action back.
class InterruptGuard {
public:
  InterruptGuard() {
    g_interrupted = 0;
    struct sigaction sa {};
    sa.sa_handler = on_wait_interrupt;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, &old_);
  }
  ~InterruptGuard() { sigaction(SIGINT, &old_, nullptr); }
  InterruptGuard(const InterruptGuard &) = delete;
  InterruptGuard &operator=(const InterruptGuard &) = delete;

private:
  struct sigaction old_ {};
};

// Sleeps seconds, in short slices so that Ctrl-C ends it; false when it did.
bool nap(double seconds) {
  auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < until) {
    if (g_interrupted) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return !g_interrupted;
}

// The "m<id>" of a magnet given on the command line; -1 when it is one,
// else the exit status of a usage error.
int magnet_arg(const Parsed &p, int64_t &id) {
  const std::string &a = p.args[0];
  auto digits = [](const std::string &t) {
    return !t.empty() && t.size() <= 18 && t.find_first_not_of("0123456789") == std::string::npos;
  };
  if (a.size() > 1 && a[0] == 'm' && digits(a.substr(1))) {
    id = std::strtoll(a.c_str() + 1, nullptr, 10);
    return -1;
  }
  std::string hint = digits(a) ? "; did you mean m" + a + "?" : "";
  return usage_error(p.command, std::string(p.command->name) + ": " + terminal_text(a) +
                                    " is not a magnet (m<id>, as `tavro ls torrents` lists them" +
                                    hint + ")");
}

// "m<id>".
std::string magnet_name(int64_t id) {
  char text[24];
  std::snprintf(text, sizeof text, "m%lld", static_cast<long long>(id));
  return text;
}

// One magnet's state, read from its entry.
struct Progress {
  std::string state, status, name;
  int64_t size = -1, downloaded = -1, speed = -1;
  std::string entry; // the entry's JSON
};

bool read_progress(const std::string &listing, Progress &out) {
  tavro::Doc doc = read_json(listing);
  yyjson_val *e = yyjson_arr_get_first(doc.root());
  if (!yyjson_is_obj(e)) return false;
  auto num = [&](const char *key) {
    yyjson_val *v = yyjson_obj_get(e, key);
    return yyjson_is_int(v) ? yyjson_get_sint(v) : int64_t{-1};
  };
  out.state = text_of(yyjson_obj_get(e, "state"));
  out.status = text_of(yyjson_obj_get(e, "status"));
  out.name = text_of(yyjson_obj_get(e, "name"));
  out.size = num("size");
  out.downloaded = num("downloaded");
  out.speed = num("speed");
  size_t len = 0;
  char *t = yyjson_val_write(e, YYJSON_WRITE_ALLOW_INVALID_UNICODE, &len);
  if (t) {
    out.entry.assign(t, len);
    std::free(t);
  }
  return true;
}

std::string duration_words(double seconds) {
  long s = seconds < 0 ? 0 : static_cast<long>(seconds + 0.5);
  char text[32];
  if (s >= 3600)
    std::snprintf(text, sizeof text, "%ldh%02ldm", s / 3600, s / 60 % 60);
  else if (s >= 60)
    std::snprintf(text, sizeof text, "%ldm%02lds", s / 60, s % 60);
  else
    std::snprintf(text, sizeof text, "%lds", s);
  return text;
}

// The status line of a terminal: a bar of the share done, the speed and
// the time left, as far as they are known.
std::string progress_line(const std::string &mid, const Progress &g) {
  std::string words = state_words(g.state, g.status, g.size, g.downloaded, g.speed);
  if (g.size <= 0 || g.downloaded < 0) return mid + "  " + words;
  constexpr int kBar = 24;
  double share = static_cast<double>(g.downloaded) / static_cast<double>(g.size);
  if (share > 1) share = 1;
  int filled = static_cast<int>(share * kBar);
  std::string line = mid;
  line.append(" [").append(static_cast<size_t>(filled), '#');
  line.append(static_cast<size_t>(kBar - filled), '-').append("] ").append(words);
  if (g.speed > 0 && g.size > g.downloaded)
    line +=
        ", " +
        duration_words(static_cast<double>(g.size - g.downloaded) / static_cast<double>(g.speed)) +
        " left";
  return line;
}

// Prints the ready magnet as add prints one the service holds: its file's
// direct URL (the largest, or the episode asked).
int print_ready(Session &s, const Parsed &p, const std::string &mid, const Progress &g) {
  Outcome files = do_list(s.lib, s.settings, mid.c_str());
  after_fake_call(s);
  if (files.code != TAVRO_OK) return failed(s, files);
  std::vector<Entry> entries;
  listing_entries(files.result, entries);
  std::vector<const Entry *> all;
  for (const Entry &e : entries) all.push_back(&e);
  bool episode = p.given & kEpisode;
  const Entry *chosen = pick_file(s.lib, all, episode ? p.season : 0, episode ? p.episode : 0);
  if (!chosen) {
    char se[64] = "";
    if (episode) std::snprintf(se, sizeof se, " for S%02dE%02d", p.season, p.episode);
    std::fprintf(stderr, "tavro: %s is ready, but holds no such file%s\n", mid.c_str(), se);
    return exit_for(TAVRO_E_NOT_FOUND);
  }
  Outcome o = do_stream(s.lib, s.settings, chosen->json);
  after_fake_call(s);
  if (o.code != TAVRO_OK) return failed(s, o);
  std::optional<std::string> url = string_member(o.result, "url");
  if (!url) return host_error("the result has no url: " + o.result);
  if (p.given & kUrl) {
    std::printf("%s\n", for_stdout(s.style, *url).c_str());
    return kExitOk;
  }
  // The shape of add's result for a magnet the service holds.
  std::optional<int64_t> size = int_member(o.result, "size");
  std::optional<std::string> name = string_member(o.result, "name");
  JsonObject head;
  head.str("InstantURL", *url);
  if (name)
    head.str("InstantName", *name);
  else
    head.null("InstantName");
  head.num("InstantSize", size ? *size : -1);
  std::string result = head.text();
  result.pop_back();
  result += ",\"Payload\":" + g.entry + "}";
  if (s.style.table) {
    std::printf("%s %s: ready\n", mid.c_str(), terminal_text(g.name).c_str());
    std::printf("%s  %s\n%s\n", terminal_text(name ? *name : "(no name)").c_str(),
                human_size(size ? *size : -1).c_str(), terminal_text(*url).c_str());
  } else {
    print_document(stdout, s.style, result);
  }
  return kExitOk;
}

// A link given to save or rm: a web link of at most the service's length.
bool is_web_link(const std::string &text) {
  return starts_with_ci(text, "http://") || starts_with_ci(text, "https://");
}

int link_arg(const Parsed &p, const std::string &link) {
  if (!is_web_link(link))
    return usage_error(p.command, std::string(p.command->name) + ": " + terminal_text(link) +
                                      " is not a link (http:// or https://)");
  if (std::string why = link_length_problem(link); !why.empty())
    return usage_error(p.command, std::string(p.command->name) + ": " + why);
  if (std::string why = web_url_problem(link); !why.empty())
    return usage_error(p.command,
                       std::string(p.command->name) + ": " + terminal_text(link) + ": " + why);
  return -1;
}

// Refused unless --allow-writes: -1 when the command may change the account.
int writes_allowed(const Parsed &p) {
  if (p.given & kAllowWrites) return -1;
  std::fprintf(stderr, "tavro: %s changes the account; pass --allow-writes to let it\n",
               p.command->name);
  return exit_for(TAVRO_E_WRITES_OFF);
}

// Runs one change; the result said for people ("deleted m102: ..."), or
// printed. what names the magnet or the link.
int run_change(Session &s, const std::string &request, const char *done, const std::string &what) {
  s.lib.tavro_allow_writes(1);
  Outcome o = do_change(s.lib, s.settings, request);
  after_fake_call(s);
  if (o.code != TAVRO_OK) return failed(s, o);
  if (s.style.table) {
    std::optional<std::string> message = string_member(o.result, "message");
    std::printf("%s %s%s%s\n", done, terminal_text(what).c_str(), message ? ": " : "",
                message ? terminal_text(*message).c_str() : "");
  } else {
    print_document(stdout, s.style, o.result);
  }
  return kExitOk;
}

// Runs a change of one magnet.
int change_magnet(Session &s, const Parsed &p, const char *action, const char *done) {
  int64_t id = 0;
  if (int rc = magnet_arg(p, id); rc >= 0) return rc;
  if (int rc = writes_allowed(p); rc >= 0) return rc;
  if (int rc = open_account(s, p); rc >= 0) return rc;
  std::string mid = magnet_name(id);
  JsonObject request;
  request.str("Action", action).str("Magnet", mid);
  return run_change(s, request.text(), done, mid);
}

} // namespace

int wait_for_magnet(Session &s, const Parsed &p, int64_t id) {
  std::string mid = magnet_name(id);
  std::string folder = "torrents/" + mid;
  bool bar = isatty(STDERR_FILENO);
  double interval = poll_interval();
  auto start = std::chrono::steady_clock::now();
  auto elapsed = [&] {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  };
  InterruptGuard guard;
  std::string last;
  auto clear_bar = [&] {
    if (bar && !last.empty()) std::fputs("\r\x1b[K", stderr);
  };
  for (;;) {
    Outcome o = do_list(s.lib, s.settings, folder.c_str());
    after_fake_call(s);
    if (g_interrupted) break;
    if (o.code != TAVRO_OK) {
      clear_bar();
      return failed(s, o);
    }
    Progress g;
    if (!read_progress(o.result, g)) {
      clear_bar();
      std::fprintf(stderr, "tavro: the service does not list %s\n", mid.c_str());
      return exit_for(TAVRO_E_NOT_FOUND);
    }
    if (g.state == "ready") {
      clear_bar();
      if (!bar) std::fprintf(stderr, "%s: ready\n", mid.c_str());
      return print_ready(s, p, mid, g);
    }
    if (g.state == "error") {
      clear_bar();
      std::fprintf(stderr, "tavro: magnet %lld failed: %s\n", static_cast<long long>(id),
                   terminal_text(g.status.empty() ? "(no status text)" : g.status).c_str());
      return exit_for(TAVRO_E_FAILED);
    }
    if (bar) {
      std::string line = progress_line(mid, g);
      std::fprintf(stderr, "\r\x1b[K%s", line.c_str());
      std::fflush(stderr);
      last = line;
    } else if (g.status != last) {
      // Off a terminal, one line each time the state changes.
      std::fprintf(stderr, "%s: %s\n", mid.c_str(),
                   terminal_text(g.status.empty() ? "processing" : g.status).c_str());
      last = g.status;
    }
    if (p.wait_limit > 0 && elapsed() + interval > p.wait_limit) {
      clear_bar();
      std::fprintf(stderr,
                   "tavro: gave up waiting for %s after %s (--timeout-wait); it stays in the "
                   "account: tavro wait %s goes on\n",
                   mid.c_str(), duration_words(elapsed()).c_str(), mid.c_str());
      return exit_for(TAVRO_E_LIMIT);
    }
    if (!nap(interval)) break;
  }
  clear_bar();
  std::fprintf(stderr, "\ntavro: stopped waiting; %s stays in the account\n", mid.c_str());
  return 130;
}

int run_wait(Session &s, const Parsed &p) {
  int64_t id = 0;
  if (int rc = magnet_arg(p, id); rc >= 0) return rc;
  if (int rc = open_account(s, p); rc >= 0) return rc;
  return wait_for_magnet(s, p, id);
}

int run_rm(Session &s, const Parsed &p) {
  // A link is a saved link to remove; anything else names a magnet.
  if (!is_web_link(p.args[0])) return change_magnet(s, p, "delete", "deleted");
  if (int rc = link_arg(p, p.args[0]); rc >= 0) return rc;
  if (int rc = writes_allowed(p); rc >= 0) return rc;
  if (int rc = open_account(s, p); rc >= 0) return rc;
  JsonObject request;
  request.str("Action", "delete").str("Link", p.args[0]);
  return run_change(s, request.text(), "deleted", p.args[0]);
}

int run_save(Session &s, const Parsed &p) {
  // Every link is checked before the first is sent.
  for (const std::string &link : p.args)
    if (int rc = link_arg(p, link); rc >= 0) return rc;
  if (int rc = writes_allowed(p); rc >= 0) return rc;
  if (int rc = open_account(s, p); rc >= 0) return rc;
  for (const std::string &link : p.args) {
    JsonObject request;
    request.str("Action", "save").str("Link", link);
    if (int rc = run_change(s, request.text(), "saved", link); rc != kExitOk) return rc;
  }
  return kExitOk;
}

int run_restart(Session &s, const Parsed &p) {
  return change_magnet(s, p, "restart", "restarted");
}

} // namespace tavro_cli
