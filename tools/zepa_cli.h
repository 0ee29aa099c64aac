// The disk tool's command line: options, the subcommand table, exit codes.
#pragma once

#include <cstdint>
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
  std::vector<std::string> operands;  // DISK first, then the command's own
};

struct Command {
  const char *name;
  const char *summary;  // one line for the tool's help
  const char *usage;    // the command's --help text
  bool packs;           // takes --method, --level, --block-size, --no-checksum, --threads
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
  void clear();  // before a line goes to standard output

 private:
  bool enabled_;
  bool shown_ = false;
};

}  // namespace kavro::tools::zepa_cli
