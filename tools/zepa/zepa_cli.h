// SPDX-License-Identifier: GPL-2.0-or-later
// The disk tool's command line: options, the subcommand table, exit codes.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "packer.h"

namespace kavro::tools::zepa_cli {

enum ExitCode : int {
  kExitOk = 0,       // the command did what was asked
  kExitFailure = 1,  // it ran and failed (unreadable files, damaged entries)
  kExitUsage = 2,    // the command line was wrong; nothing was done
};

// Everything a subcommand gets from the command line.
struct Options {
  packer::Options pack;
  bool force = false;                 // create, extract: replace an existing target
  bool quiet = false;                 // create: no summary line
  bool all = false;                   // extract: every entry into a folder
  bool installer = false;             // verify: also the names the installer can ask for
  std::vector<std::string> operands;  // DISK first, then the command's own
};

// A switch without a value that a command takes, and the field it sets.
struct Switch {
  const char *short_name;  // "-f", or null
  const char *long_name;   // "--force"
  bool Options::*field;
};

struct Command {
  const char *name;
  const char *summary;  // one line for the tool's help
  const char *usage;    // the command's --help text
  bool packs;           // takes --method, --level, --block-size, --no-checksum, --threads
  std::span<const Switch> switches;
  std::size_t min_operands;
  std::size_t max_operands;  // 0: no limit
  int (*run)(const Options &options);
};

int run_create(const Options &options);
int run_list(const Options &options);
int run_extract(const Options &options);
int run_verify(const Options &options);

// "zepa: <message>\n" on standard error.
void complain(const std::string &message);

// A progress line on standard error, only when it is a terminal.
class Progress {
 public:
  Progress();
  ~Progress();
  void show(const char *verb, const std::string &name, std::size_t index, std::size_t count);
  void show_bytes(const char *verb, std::uint64_t done, std::uint64_t total);
  void clear();  // before a line goes to standard output

 private:
  bool enabled_;
  bool shown_ = false;
};

}  // namespace kavro::tools::zepa_cli
