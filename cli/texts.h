// SPDX-License-Identifier: MIT
// Small text tools of the command-line host: JSON built and read through
// yyjson (so every string is escaped properly), and sizes and widths for
// people and terminals.
#pragma once

#include "tavro_base.h" // tavro::Doc

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tavro_cli {

// A JSON object built member by member, written as compact text.
class JsonObject {
public:
  JsonObject();
  ~JsonObject();
  JsonObject(const JsonObject &) = delete;
  JsonObject &operator=(const JsonObject &) = delete;

  JsonObject &str(const char *key, const std::string &value);
  JsonObject &num(const char *key, int64_t value);
  JsonObject &flag(const char *key, bool value);
  JsonObject &null(const char *key);
  // The compact text; invalid UTF-8 in a string is passed through as it is.
  std::string text() const;

private:
  void *doc_;
  void *root_;
};

// text read as JSON (yyjson's strict defaults); an empty holder when it is
// not JSON.
tavro::Doc read_json(const std::string &text);

// The text of a JSON string, or "" for any other value.
std::string text_of(yyjson_val *v);

// A JSON string literal for text ("\"...\"", escaped).
std::string json_string(const std::string &text);

// text re-indented for reading, or text itself when it is not JSON.
std::string pretty_json(const std::string &text);

// The value of a string member of a JSON object text, if there is one.
std::optional<std::string> string_member(const std::string &json, const char *key);

// The value of an integer member of a JSON object text, if there is one.
std::optional<int64_t> int_member(const std::string &json, const char *key);

// Whether a JSON object text has the member key set to true.
bool flag_member(const std::string &json, const char *key);

// 1536 -> "1.5 KiB"; negative -> "-".
std::string human_size(int64_t bytes);

// Text from the service made safe for a terminal: control characters
// (C0, DEL, C1), bidirectional controls, line and paragraph separators and
// bytes that are not UTF-8 are written as escapes (\t, \n, \r, \e, \xNN,
// \uNNNN); everything else is kept.
std::string terminal_text(const std::string &text);

// A path as `tavro ls` prints it: terminal_text's escapes, and the
// backslash itself (\\) and a blank at either end (\x20) escaped too, so
// that read_locator turns it back into text byte for byte.
std::string locator_text(const std::string &text);

// A printed path read back: the escapes locator_text writes (\\, \t, \n,
// \r, \e, \xHH for one byte, \uHHHH for one character) turned into what
// they stand for. False when a backslash in text begins no such escape (the
// text is then no printed path, but may be a name as it is).
bool read_locator(const std::string &text, std::string &out);

// The cells text takes on a terminal: wide (East Asian) characters count
// two, combining marks none, every other character one.
size_t display_width(const std::string &text);

// text cut to at most cells cells, ending with an ellipsis when it was cut.
std::string fit_width(const std::string &text, size_t cells);

// The number of single-character edits (insert, delete, replace, swap of
// neighbours) that turn a into b.
size_t edit_distance(const std::string &a, const std::string &b);

} // namespace tavro_cli
