// How the command-line host prints results: listings as an aligned table on
// a terminal, JSON documents re-indented there, and the library's own text
// everywhere else.
#pragma once

#include <cstdio>
#include <string>

namespace tavro_cli {

struct Style {
  bool table = false; // standard output is a terminal and --json was not given
};

// A listing: the table (NAME, SIZE, KIND, PATH) or the JSON text.
void print_listing(std::FILE *out, const Style &style, const std::string &json);

// Any other result document.
void print_document(std::FILE *out, const Style &style, const std::string &json);

// The listing as table text; "" when json is not a listing.
std::string listing_table(const std::string &json);

} // namespace tavro_cli
