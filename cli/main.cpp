// SPDX-License-Identifier: MIT
// tavro, the command-line host of the library: it loads libtavro.so at run
// time, installs a transport (its own libcurl one, or the library's fake one
// filled from a scenario file) and runs one command.
#include "commands.h"
#include "help.h"
#include "session.h"

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <exception>
#include <string>

using namespace tavro_cli;

int main(int argc, char **argv) {
  Session s;
  try {
    // A broken connection must not end tavro; a broken standard output is
    // seen when it is flushed.
    std::signal(SIGPIPE, SIG_IGN);
    Parsed p;
    if (int rc = parse(argc, argv, commands(), p); rc >= 0) return rc;
    if (p.version) {
      std::string error;
      bool loaded = load_library(p.lib, s.lib, error);
      std::printf("tavro %s (library %s)\n", TAVRO_CLI_VERSION,
                  loaded ? s.lib.tavro_version() : "not loaded");
      return finish_output(kExitOk);
    }
    if (p.help) {
      p.command ? print_command_help(stdout, *p.command) : print_general_help(stdout, commands());
      return finish_output(kExitOk);
    }
    if (p.verbose_asked && !p.ignored.empty()) {
      std::string names;
      for (const auto &o : p.ignored) names += (names.empty() ? "" : ", ") + o;
      std::fprintf(stderr, "tavro: %s %s not change what %s does: ignored\n", names.c_str(),
                   p.ignored.size() == 1 ? "does" : "do", p.command->name);
    }
    std::string error;
    if (!load_library(p.lib, s.lib, error)) return host_error(error);
    s.style.table = (isatty(STDOUT_FILENO) || (p.given & kTable)) && !(p.given & kJson);
    if (s.style.table) s.style.columns = terminal_columns();
    s.style.colour = s.style.table && colour_terminal(STDOUT_FILENO);
    int rc = p.command->run(s, p);
    return finish_output(rc);
  } catch (const std::exception &e) {
    return host_error(e.what());
  }
}
