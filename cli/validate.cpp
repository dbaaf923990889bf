// SPDX-License-Identifier: MIT
// Validating the account.
#include "validate.h"

#include "texts.h"

#include <cstdio>

namespace tavro_cli {
namespace {

// The service's account answer as the transport saw it, or as the scenario
// holds it.
std::string account_answer(const Session &s) {
  if (s.transport) return s.transport->account_answer();
  if (s.scenario)
    for (const auto &a : s.scenario->answers)
      if (a.path == "/user" && a.version.empty()) return a.body;
  return "";
}

} // namespace

int run_validate(Session &s, const Parsed &p) {
  if (int rc = open_account(s, p); rc >= 0) return rc;
  Outcome o = do_validate(s.lib, s.settings);
  after_fake_call(s);
  if (o.code != TAVRO_OK) return failed(s, o);
  if (s.style.table)
    std::fputs(
        validate_lines(o.result, account_answer(s), string_member(s.settings, "ID").has_value())
            .c_str(),
        stdout);
  else
    print_document(stdout, s.style, o.result);
  return kExitOk;
}

} // namespace tavro_cli
