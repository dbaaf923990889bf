// SPDX-License-Identifier: MIT
// How the command-line host prints results: listings as an aligned table on
// a terminal, the other results as a few lines for people there, and the
// library's own JSON everywhere else.
#pragma once

#include <cstdio>
#include <string>

namespace tavro_cli {

struct Style {
  bool table = false;  // standard output is a terminal and --json was not given
  size_t columns = 0;  // the terminal's width in cells; 0: unknown, nothing is cut
  bool colour = false; // the terminal takes colour and NO_COLOR is not set
};

// Whether standard output (fd) is a terminal that takes colour: not "dumb",
// and NO_COLOR unset or empty.
bool colour_terminal(int fd);

// A magnet entry's state in a few words: "ready", "43% 18.9 MB/s",
// "queued", "uploading", "failed: no peer"; "" for an entry without state.
std::string state_words(const std::string &state, const std::string &status, int64_t size,
                        int64_t downloaded, int64_t speed);

// A count of bytes a second in decimal units, as the service counts them:
// "18.9 MB/s".
std::string decimal_rate(int64_t bytes_per_second);

// Paths compared as people read them: case folded, runs of digits by their
// value ("E2" before "E10"). True when a goes before b.
bool natural_less(const std::string &a, const std::string &b);

// The terminal's width in cells: its window size, else $COLUMNS, else 80.
size_t terminal_columns();

// Text for standard output: escaped when it goes to a terminal.
std::string for_stdout(const Style &style, const std::string &text);

// A listing: the table (NAME, SIZE, KIND, PATH) or the JSON text. folder is
// the folder listed ("m101" for a magnet's files: the table's paths start
// with it, so that `tavro stream` takes them as printed).
void print_listing(std::FILE *out, const Style &style, const std::string &json,
                   const std::string &folder = "");

// A listing of the links the account keeps (folder "links" or "history"):
// the table (NAME, SIZE, HOST, SAVED, PATH) or the JSON text. answer is the
// service's own answer to the folder's request, when it was seen ("" when
// not), which tells each link's host and the date it was saved (UTC).
void print_saved(std::FILE *out, const Style &style, const std::string &json,
                 const std::string &answer, const std::string &folder);

// The table text of such a listing, cut to columns cells when not 0.
std::string saved_table(const std::string &json, const std::string &answer,
                        const std::string &folder, size_t columns);

// Any other result document.
void print_document(std::FILE *out, const Style &style, const std::string &json);

// The listing as table text, cut to columns cells when columns is not 0;
// "" when json is not a listing. Text from the service is escaped for the
// terminal.
std::string listing_table(const std::string &json, const std::string &folder, size_t columns,
                          bool colour = false);

// The lines for people of a validation result: the user and premium state
// it tells, else those of user, the service's account answer when it was
// seen ("" otherwise); settings_id whether the settings gave the ID.
std::string validate_lines(const std::string &result, const std::string &user, bool settings_id);

// The lines for people of a stream result: name, size and the quality
// chosen (when one was), then the URL.
std::string stream_lines(const std::string &result);

// The lines for people of an add result: what was added and, when the
// service holds it already, the file picked and its direct URL.
std::string add_lines(const std::string &result);

} // namespace tavro_cli
