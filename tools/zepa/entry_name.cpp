// SPDX-License-Identifier: GPL-2.0-or-later
// The one rule for entry names, and their escaped form.
#include "entry_name.h"

#include <cstdio>

namespace kavro::tools::entry_name {

std::string name_problem(const std::string &name) {
  if (name.empty() || name == "." || name == "..") return "not a file name";
  if (name.size() > kMaxNameBytes) return "longer than " + std::to_string(kMaxNameBytes) + " bytes";
  if (name.find('/') != std::string::npos) return "holds a '/'";
  for (const char c : name)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return "holds a control character";
  return {};
}

std::string escaped(const std::string &name) {
  std::string out;
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\r') {
      out += "\\r";
    } else if (byte < 0x20 || byte == 0x7F) {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02x", byte);
      out += hex;
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace kavro::tools::entry_name
