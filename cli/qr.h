// SPDX-License-Identifier: MIT
// What tavro login draws on a terminal: a QR code of the URL to open (with
// libqrencode) in Unicode half blocks, two modules a character cell, dark
// modules on a light background with the code's quiet zone; and the PIN in
// large type.
#pragma once

#include <string>

namespace tavro_cli {

// The QR code of text as lines for a terminal (each ends with a newline;
// colours set and reset on every line), or "" when it cannot be encoded.
std::string qr_lines(const std::string &text);

// text in a large block font, five lines high; characters the font lacks
// are drawn as they are. Letters are drawn in upper case.
std::string large_text(const std::string &text);

} // namespace tavro_cli
