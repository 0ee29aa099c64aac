// SPDX-License-Identifier: GPL-2.0-or-later
// The names of entries: which names the disk tool writes and extracts, and
// how it shows any name on a terminal.
#pragma once

#include <climits>
#include <cstddef>
#include <string>

namespace kavro::tools::entry_name {

// The longest name a folder takes, in bytes.
inline constexpr std::size_t kMaxNameBytes = NAME_MAX;

// Why `name` cannot be the name of a file of its own in a folder ("holds a
// '/'"), or empty when it can: a plain file name of at most kMaxNameBytes
// bytes, not "." or "..", without '/' or control characters. create stores
// only such names, and extract --all writes only such names.
std::string name_problem(const std::string &name);

// A name fit for a terminal and for one line: control characters and
// backslashes as C escapes (\n, \t, \\, \x1b).
std::string escaped(const std::string &name);

}  // namespace kavro::tools::entry_name
