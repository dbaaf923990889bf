// SPDX-License-Identifier: MIT
// Signing in, signing out, and approving a new place.
#include "signin.h"

#include "qr.h"
#include "settings.h"
#include "settings_write.h"
#include "texts.h"

#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <thread>

namespace tavro_cli {
namespace {

using Clock = std::chrono::steady_clock;

// Ctrl-C ends a sign-in at once: a settings file being written is left
// as it was (its temporary file removed), and tavro exits 130.
extern "C" void on_interrupt(int) {
  abandon_settings_write();
  static const char nl = '\n';
  ssize_t ignored = write(STDERR_FILENO, &nl, 1);
  (void)ignored;
  _exit(130);
}

void stop_at_once_on_interrupt() {
  struct sigaction sa {};
  sa.sa_handler = on_interrupt;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

// The settings file these commands change; "" when there is none to name.
std::string settings_path(const Parsed &p) {
  return (p.given & kSettings) ? p.settings_file : default_settings_path();
}

int no_settings_path(const Parsed &p) {
  return usage_error(p.command, "no settings file: set HOME or XDG_CONFIG_HOME, or give "
                                "--settings FILE");
}

// What a command says as it goes: on a terminal, on standard output; else
// on standard error, so that standard output holds only what a script reads.
struct Voice {
  bool tty;
  std::FILE *out() const { return tty ? stdout : stderr; }
  void say(const std::string &text) const {
    clear();
    std::fprintf(out(), tty ? "%s\n" : "tavro: %s\n", terminal_text(text).c_str());
    std::fflush(out());
  }
  // The status line, rewritten in place; only on a terminal.
  void status(const std::string &text) const {
    if (!tty) return;
    std::fprintf(stdout, "\r%s\x1b[K", text.c_str());
    std::fflush(stdout);
  }
  void clear() const {
    if (!tty) return;
    std::fputs("\r\x1b[K", stdout);
    std::fflush(stdout);
  }
};

std::string minutes(long seconds) {
  if (seconds < 0) seconds = 0;
  char text[32];
  std::snprintf(text, sizeof text, "%ld:%02ld", seconds / 60, seconds % 60);
  return text;
}

// Waits until the next poll, the status line (made by line from the
// seconds left until deadline) rewritten every second.
template <class Line> void wait_for_poll(const Voice &v, Clock::time_point deadline, Line line) {
  auto until = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                  std::chrono::duration<double>(poll_interval()));
  for (;;) {
    auto now = Clock::now();
    long left =
        static_cast<long>(std::chrono::duration_cast<std::chrono::seconds>(deadline - now).count());
    v.status(line(left));
    if (now >= until) return;
    auto step = std::min<Clock::duration>(until - now, std::chrono::seconds(1));
    std::this_thread::sleep_for(step);
  }
}

// "signed in as USER (premium until DATE)", from a validation result.
std::string signed_in(const std::string &result) {
  std::optional<std::string> user = string_member(result, "User");
  std::string text = "signed in" + (user ? " as " + *user : std::string());
  tavro::Doc doc = read_json(result);
  yyjson_val *premium = yyjson_obj_get(doc.root(), "Premium");
  if (!yyjson_is_bool(premium)) return text;
  if (!yyjson_get_bool(premium)) return text + " (not premium)";
  std::optional<int64_t> until = int_member(result, "PremiumUntil");
  std::tm day{};
  char date[32];
  time_t t = static_cast<time_t>(until.value_or(0));
  if (until && *until > 0 && gmtime_r(&t, &day) &&
      std::strftime(date, sizeof date, "%Y-%m-%d", &day))
    return text + " (premium until " + date + ")";
  return text + " (premium)";
}

// Stores key in the settings file edit describes; -1, or the exit status
// after saying why.
int store_key(const Voice &v, const SettingsEdit &edit, const std::string &key,
              std::string *stored) {
  bool had = !api_key_of(edit.text).empty();
  // The key goes where the file keeps it: APIKey, or ClientSecret in a file
  // that names its key so.
  tavro::Doc doc = read_json(edit.text);
  bool secret = !yyjson_obj_get(doc.root(), "APIKey") && yyjson_obj_get(doc.root(), "ClientSecret");
  std::string text = with_member(edit.text, secret ? "ClientSecret" : "APIKey", key), error;
  if (!write_settings(edit.path, text, error)) {
    v.clear();
    return host_error(error);
  }
  *stored = text;
  v.say("the key is stored in " + edit.path + (had ? ", replacing the key it held" : ""));
  return -1;
}

// The settings file the command reads, read for a change (login, logout,
// approve): -1 when edit holds it (edit.path names it), else the exit
// status after saying what is wrong.
int settings_to_change(const Parsed &p, SettingsEdit &edit) {
  std::string path = settings_path(p), error;
  if (path.empty()) return no_settings_path(p);
  if (int rc = read_for_change(path, edit, error); rc >= 0) {
    std::fprintf(stderr, "tavro: %s\n", terminal_text(error).c_str());
    return rc;
  }
  return -1;
}

} // namespace

int run_login(Session &s, const Parsed &p) {
  SettingsEdit edit;
  // A file that is no settings object is refused before any request.
  if (int rc = settings_to_change(p, edit); rc >= 0) return rc;
  stop_at_once_on_interrupt();
  // Its client name goes with the requests; its key, if any, does not.
  s.settings = edit.text;
  if (int rc = open_transport(s, p); rc >= 0) return rc;
  Outcome start = do_pin_start(s.lib, s.settings);
  after_fake_call(s);
  if (start.code != TAVRO_OK) return failed(s, start);
  std::string pin = string_member(start.result, "pin").value_or("");
  std::string url = string_member(start.result, "user_url").value_or("");
  long life = static_cast<long>(int_member(start.result, "expires_in").value_or(600));

  Voice v{isatty(STDOUT_FILENO) != 0 && !(p.given & kJson)};
  if (v.tty) {
    std::printf("Sign in: open this page and enter the PIN\n\n%s\n  %s\n\n",
                large_text(terminal_text(pin)).c_str(), terminal_text(url).c_str());
    if (!(p.given & kNoQr)) std::fputs(qr_lines(url).c_str(), stdout);
    std::printf("\n");
  } else {
    if (p.given & kJson)
      std::printf("%s\n", start.result.c_str());
    else
      std::printf("%s\n%s\n", pin.c_str(), url.c_str());
    std::fflush(stdout);
    std::fprintf(stderr, "tavro: open %s and enter the PIN %s; waiting (it expires in %s)\n",
                 terminal_text(url).c_str(), terminal_text(pin).c_str(), minutes(life).c_str());
  }

  auto deadline = Clock::now() + std::chrono::seconds(life);
  std::string key;
  for (;;) {
    wait_for_poll(v, deadline, [](long left) {
      return "waiting for the PIN to be entered: " + minutes(left) + " left";
    });
    Outcome check = do_pin_check(s.lib, s.settings, start.result);
    if (check.code == TAVRO_E_AUTH) break; // PIN_EXPIRED, or a check the service disowns
    if (check.code != TAVRO_OK) {
      v.clear();
      return failed(s, check);
    }
    if (flag_member(check.result, "activated")) {
      key = string_member(check.result, "APIKey").value_or("");
      break;
    }
    if (std::optional<int64_t> left = int_member(check.result, "expires_in"))
      deadline = Clock::now() + std::chrono::seconds(*left);
    if (Clock::now() >= deadline) break;
  }
  if (key.empty()) {
    v.clear();
    std::fprintf(stderr, "tavro: the PIN expired before it was entered: run `tavro login` again\n");
    return exit_for(TAVRO_E_AUTH);
  }
  v.clear();
  std::string stored;
  if (int rc = store_key(v, edit, key, &stored); rc >= 0) return rc;
  // The new key checked where the command sends its requests (--api-root).
  if (p.given & kApiRoot) stored = settings_with_api_root(stored, api_root_setting(p.api_root));
  Outcome check = do_validate(s.lib, stored);
  if (check.code != TAVRO_OK) return failed(s, check);
  v.say(signed_in(check.result));
  return kExitOk;
}

int run_logout(Session &, const Parsed &p) {
  SettingsEdit edit;
  if (int rc = settings_to_change(p, edit); rc >= 0) return rc;
  const std::string &path = edit.path;
  std::string error;
  bool removed = false;
  std::string text =
      edit.exists ? without_members(edit.text, {"APIKey", "ClientSecret"}, &removed) : "";
  if (!removed) {
    std::printf("not signed in: %s %s\n", terminal_text(path).c_str(),
                edit.exists ? "holds no key" : "does not exist");
    return kExitOk;
  }
  if (!write_settings(path, text, error)) return host_error(error);
  std::printf("signed out: the key is removed from %s\n", terminal_text(path).c_str());
  return kExitOk;
}

int run_approve(Session &s, const Parsed &p) {
  if (int rc = open_account(s, p); rc >= 0) return rc;
  stop_at_once_on_interrupt();
  Voice v{isatty(STDOUT_FILENO) != 0 && !(p.given & kJson)};
  Outcome first = do_validate(s.lib, s.settings);
  after_fake_call(s);
  if (first.code == TAVRO_OK) {
    std::printf("nothing to approve: the account works from here\n");
    return kExitOk;
  }
  std::optional<std::string> token = string_member(first.document, "verification");
  if (!token) return failed(s, first);
  v.say(first.message);
  v.say("the service e-mailed the account: waiting for the new sign-in to be approved from it");
  std::string state = JsonObject().str("token", *token).text();
  std::string resend = JsonObject().str("token", *token).flag("resend", true).text();
  bool asked_again = !(p.given & kResend);
  auto since = Clock::now();
  for (;;) {
    Outcome r = do_verify(s.lib, s.settings, state);
    if (r.code == TAVRO_E_AUTH) {
      v.clear();
      std::fprintf(stderr, "tavro: the approval expired: run the command again for a new e-mail\n");
      return exit_for(TAVRO_E_AUTH);
    }
    if (r.code != TAVRO_OK) {
      v.clear();
      return failed(s, r);
    }
    std::string verif = string_member(r.result, "verif").value_or("");
    if (verif == "denied") {
      v.clear();
      std::fprintf(stderr, "tavro: the sign-in was denied from the e-mail\n");
      return exit_for(TAVRO_E_AUTH);
    }
    if (verif == "allowed") {
      v.clear();
      std::string key = string_member(r.result, "APIKey").value_or("");
      if (!key.empty() && key != api_key_of(s.settings)) {
        SettingsEdit edit;
        if (int rc = settings_to_change(p, edit); rc >= 0) return rc;
        std::string stored;
        v.say("the service handed out a new key for this place");
        if (int rc = store_key(v, edit, key, &stored); rc >= 0) return rc;
      }
      v.say("approved: the new sign-in is allowed; run the command again");
      return kExitOk;
    }
    if (!asked_again) {
      asked_again = true;
      if (!flag_member(r.result, "resendable")) {
        v.say("the service cannot send the e-mail again");
      } else {
        Outcome sent = do_verify(s.lib, s.settings, resend);
        if (sent.code == TAVRO_E_LIMIT)
          v.say("the service has sent the e-mail again already");
        else if (sent.code != TAVRO_OK)
          return failed(s, sent);
        else
          v.say("the service sent the e-mail again");
      }
    }
    wait_for_poll(v, since, [&](long) {
      long waited = static_cast<long>(
          std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - since).count());
      return "waiting for the approval from the e-mail: " + minutes(waited);
    });
  }
}

} // namespace tavro_cli
