// SPDX-License-Identifier: MIT
// How the command-line host prints results: listings as an aligned table on
// a terminal, the other results as a few lines for people there, and the
// library's own JSON everywhere else.
#pragma once

#include <cstdio>
#include <string>

namespace tavro_cli {

struct Style {
  bool table = false; // standard output is a terminal and --json was not given
  size_t columns = 0; // the terminal's width in cells; 0: unknown, nothing is cut
};

// The terminal's width in cells: its window size, else $COLUMNS, else 80.
size_t terminal_columns();

// Text for standard output: escaped when it goes to a terminal.
std::string for_stdout(const Style &style, const std::string &text);

// A listing: the table (NAME, SIZE, KIND, PATH) or the JSON text. folder is
// the folder listed ("m101" for a magnet's files: the table's paths start
// with it, so that `tavro stream` takes them as printed).
void print_listing(std::FILE *out, const Style &style, const std::string &json,
                   const std::string &folder = "");

// Any other result document.
void print_document(std::FILE *out, const Style &style, const std::string &json);

// The listing as table text, cut to columns cells when columns is not 0;
// "" when json is not a listing. Text from the service is escaped for the
// terminal.
std::string listing_table(const std::string &json, const std::string &folder, size_t columns);

// The lines for people of a validation result; user is the service's
// account answer when it was seen ("" otherwise), settings_id whether the
// settings gave the ID.
std::string validate_lines(const std::string &result, const std::string &user, bool settings_id);

// The lines for people of a stream result: name and size, then the URL.
std::string stream_lines(const std::string &result);

// The lines for people of an add result: what was added and, when the
// service holds it already, the file picked and its direct URL.
std::string add_lines(const std::string &result);

} // namespace tavro_cli
