// SPDX-License-Identifier: MIT
// Changing the settings file, for tavro login, logout and approve: the file
// read and refused unless it is a JSON object (or missing), one member set
// or members removed with every other member kept as it was, in its order,
// and the new text written atomically: a temporary file in the same
// directory, flushed, renamed over the old one, the directory flushed.
// Directories that are missing are created 0700, the file is 0600.
#pragma once

#include <initializer_list>
#include <string>

namespace tavro_cli {

// A settings file about to be changed.
struct SettingsEdit {
  std::string path;
  bool exists = false;
  std::string text; // its JSON object ("{}" when the file is missing)
};

// Reads path for a change. -1 when it may be changed (a JSON object, or no
// file yet); otherwise the exit status (kExitUsage: not a JSON object;
// kExitHost: unreadable) with a message naming the file in error.
int read_for_change(const std::string &path, SettingsEdit &edit, std::string &error);

// The object text with key set to value, in place when it is there (the
// first of duplicates; any later one removed), else appended.
std::string with_member(const std::string &text, const char *key, const std::string &value);

// The object text without the members named keys; *removed says whether
// any was there.
std::string without_members(const std::string &text, std::initializer_list<const char *> keys,
                            bool *removed);

// Writes text (with a final newline) to path atomically, as described
// above. true, or false with a message naming the file and why in error; the
// old file is then as it was.
bool write_settings(const std::string &path, const std::string &text, std::string &error);

// Removes the temporary file of a write in progress, if any: for a signal
// handler (async-signal-safe).
void abandon_settings_write();

} // namespace tavro_cli
