// SPDX-License-Identifier: GPL-2.0-or-later
// zepa: the disk tool for the people who make data disks. Parses the command
// line and hands it to one of the subcommands of the table below.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "zepa.h"
#include "zepa_cli.h"

#ifndef KAVRO_VERSION
#define KAVRO_VERSION "unknown"
#endif

namespace kavro::tools::zepa_cli {
namespace {

constexpr char kToolUsage[] =
    "Usage: zepa COMMAND [OPTION...] DISK [ARG...]\n"
    "Makes, lists, checks and unpacks Kavro data disks.\n"
    "\n"
    "Commands:\n";

constexpr char kToolUsageEnd[] =
    "\n"
    "  -h, --help   show this help, or a command's help after the command\n"
    "  --version    show the version\n"
    "\n"
    "Exit status: 0 done, 1 failed, 2 wrong command line.\n";

constexpr Switch kCreateSwitches[] = {
    {.short_name = "-f", .long_name = "--force", .field = &Options::force},
    {.short_name = "-q", .long_name = "--quiet", .field = &Options::quiet},
};
constexpr Switch kExtractSwitches[] = {
    {.short_name = nullptr, .long_name = "--all", .field = &Options::all},
    {.short_name = "-f", .long_name = "--force", .field = &Options::force},
};
constexpr Switch kVerifySwitches[] = {
    {.short_name = nullptr, .long_name = "--installer", .field = &Options::installer}};

constexpr Command kCommands[] = {
    {.name = "create",
     .summary = "pack files and write them into a new data disk",
     .usage = "Usage: zepa create DISK [OPTION...] [NAME=]FILE...\n"
              "Packs each FILE and writes the data disk DISK holding them, in the order\n"
              "given. A file is stored under its base name, or under NAME; a name is a\n"
              "plain file name of at most 255 bytes (not '.' or '..', no '/', no control\n"
              "characters), as extract --all can write it. A FILE whose name holds '='\n"
              "is given with a '/' before it, as ./a=b.txt.\n"
              "The same files and options always give the same disk, byte for byte.\n"
              "Every FILE must be a regular file; each, and DISK's folder, is checked\n"
              "before any work, and a FILE whose size changes while it is packed fails.\n"
              "The disk is written beside DISK and takes its place only when complete\n"
              "and flushed: a failed or interrupted create leaves an existing DISK as it\n"
              "was. A character device, a FIFO or standard output (/dev/null,\n"
              "/dev/stdout) is written into directly; a folder or a socket is refused,\n"
              "and so is any other symbolic link, whatever it points to, unless forced.\n"
              "Standard output carries nothing but the disk: the summary line and every\n"
              "message go to standard error.\n"
              "\n"
              "  -f, --force      replace DISK when it exists, keeping its mode and, run\n"
              "                   as root, its owner and group; when DISK is a symbolic\n"
              "                   link, replace the link itself, never the file it\n"
              "                   points to\n"
              "  -q, --quiet      no summary line at the end\n"
              "  --method M       nrv2b, nrv2d or nrv2e (default nrv2e)\n"
              "  --level N        compression level 1 to 10 (default 10)\n"
              "  --block-size N   bytes per block, 1024 to 8388608, or with K or M for\n"
              "                   KiB or MiB: 1K to 8M (default 1M)\n"
              "  --no-checksum    leave out the Adler-32 of each file\n"
              "  --threads N      compress on N threads (default: one per core)\n"
              "  -h, --help       show this help\n",
     .packs = true,
     .switches = kCreateSwitches,
     .min_operands = 2,
     .max_operands = 0,
     .run = run_create},
    {.name = "list",
     .summary = "list the entries of a data disk",
     .usage = "Usage: zepa list DISK\n"
              "Shows one line per entry: name, packed size, original size, method,\n"
              "level, block size, whether a checksum is present, and the offset of the\n"
              "entry's data in DISK; then the totals. A '-' stands for what the entry's\n"
              "packed header or blocks do not tell, because the entry is not a packed\n"
              "file or is damaged; the totals leave such sizes out. Control characters\n"
              "in names are shown escaped (\\n, \\x1b). Exit status 1 when the entries\n"
              "run past the end of DISK.\n"
              "\n"
              "  -h, --help    show this help\n",
     .packs = false,
     .switches = {},
     .min_operands = 1,
     .max_operands = 1,
     .run = run_list},
    {.name = "extract",
     .summary = "unpack files of a data disk as the installer does",
     .usage = "Usage: zepa extract DISK NAME OUTPUT\n"
              "  or:  zepa extract --all DISK FOLDER\n"
              "Unpacks the file NAME of DISK into OUTPUT exactly as the installer does:\n"
              "NAME is looked up in the disk first, then as a real file, and only the\n"
              "installer's own messages are printed. OUTPUT '-' is standard output.\n"
              "With --all, every entry is decoded from the one open DISK into FOLDER\n"
              "under its name; an entry whose name is not a plain file name is refused,\n"
              "never written outside FOLDER, and the first failure to write (a full\n"
              "file system) ends the run.\n"
              "Each file is written beside its target and takes its place only when\n"
              "complete: a failure leaves an existing file as it was, and a new one is\n"
              "not left half written. A character device or a FIFO is written into\n"
              "directly; a folder or a socket is refused, and so is a symbolic link\n"
              "other than /dev/stdout unless forced; DISK itself, by any name, is never\n"
              "written. For one NAME, DISK may be at most 63 characters long, as on\n"
              "the box.\n"
              "\n"
              "  --all         every entry, into FOLDER\n"
              "  -f, --force   replace existing files, keeping their mode and, run as\n"
              "                root, their owner and group; a symbolic link is replaced\n"
              "                itself, never the file it points to\n"
              "  -h, --help    show this help\n",
     .packs = false,
     .switches = kExtractSwitches,
     .min_operands = 2,
     .max_operands = 3,
     .run = run_extract},
    {.name = "verify",
     .summary = "decode every entry of a data disk and report damage",
     .usage = "Usage: zepa verify [--installer] DISK\n"
              "Decodes every entry of DISK without writing files and prints one line\n"
              "per entry (OK, or what is wrong), bytes of DISK that its directory does\n"
              "not account for, and a summary. An entry without a checksum can only be\n"
              "shown to decode: it is reported as not checked. Exit status 1 when an\n"
              "entry is damaged or runs past the end of DISK.\n"
              "\n"
              "  --installer   also check that DISK holds every file the installer can\n"
              "                ask for, and name each one missing (exit status 1)\n"
              "  -h, --help    show this help\n",
     .packs = false,
     .switches = kVerifySwitches,
     .min_operands = 1,
     .max_operands = 1,
     .run = run_verify},
};

void print_tool_usage(FILE *out) {
  std::fputs(kToolUsage, out);
  for (const Command &command : kCommands) std::fprintf(out, "  %-10s %s\n", command.name, command.summary);
  std::fputs(kToolUsageEnd, out);
}

void print_version() {
  uint32_t major = 0, minor = 0, patch = 0;
  zepa_GetVersion(&major, &minor, &patch);
  std::printf("zepa (Kavro) %s, libzepa %u.%u.%u\n", KAVRO_VERSION, major, minor, patch);
}

const Command *find_command(std::string_view name) {
  for (const Command &command : kCommands)
    if (name == command.name) return &command;
  return nullptr;
}

int usage_error(const Command &command, const std::string &message) {
  complain(message);
  std::fprintf(stderr, "Try 'zepa %s --help'.\n", command.name);
  return kExitUsage;
}

enum class NumberResult { kOk, kNotANumber, kOutOfRange };

// A decimal number from min to max, the whole text; with `sizes`, a K or M
// after the digits multiplies by 1024 or 1048576.
NumberResult parse_number(const char *text, unsigned long min, unsigned long max, unsigned long &value,
                          bool sizes = false) {
  if (*text < '0' || *text > '9') return NumberResult::kNotANumber;
  errno = 0;
  char *end = nullptr;
  value = std::strtoul(text, &end, 10);
  unsigned long unit = 1;
  if (sizes && (*end == 'K' || *end == 'k')) unit = 1024;
  if (sizes && (*end == 'M' || *end == 'm')) unit = 1024 * 1024;
  if (unit != 1) ++end;
  if (*end != '\0') return NumberResult::kNotANumber;
  if (errno != 0 || value > max / unit) return NumberResult::kOutOfRange;
  value *= unit;
  return value >= min ? NumberResult::kOk : NumberResult::kOutOfRange;
}

// Applies one packing option with its value; an empty result means done.
std::string apply_pack_option(std::string_view option, const char *value, packer::Options &pack) {
  struct Numeric {
    std::string_view option;
    unsigned long min, max;
    bool sizes;
    const char *range;  // the message for a number out of range
  };
  static constexpr Numeric kNumeric[] = {
      {"--level", packer::kMinLevel, packer::kMaxLevel, false, "level must be 1 to 10"},
      {"--block-size", packer::kMinBlockSize, packer::kMaxBlockSize, true, "block size must be 1024 to 8388608"},
      {"--threads", 1, 1024, false, "threads must be 1 to 1024"},
  };
  if (option == "--method") {
    if (!packer::parse_method(value, &pack.method)) return "unknown method '" + std::string(value) + "'";
    return {};
  }
  for (const Numeric &numeric : kNumeric) {
    if (option != numeric.option) continue;
    unsigned long n = 0;
    switch (parse_number(value, numeric.min, numeric.max, n, numeric.sizes)) {
      case NumberResult::kNotANumber:
        return std::string(option) + ": '" + value + "' is not a number";
      case NumberResult::kOutOfRange:
        return numeric.range;
      case NumberResult::kOk:
        break;
    }
    if (option == "--level") pack.level = static_cast<int>(n);
    if (option == "--block-size") pack.block_size = static_cast<std::uint32_t>(n);
    if (option == "--threads") pack.threads = static_cast<unsigned>(n);
  }
  return {};
}

bool takes_value(std::string_view option) {
  return option == "--method" || option == "--level" || option == "--block-size" || option == "--threads";
}

const Switch *find_switch(const Command &command, std::string_view word) {
  for (const Switch &option : command.switches)
    if (word == option.long_name || (option.short_name != nullptr && word == option.short_name)) return &option;
  return nullptr;
}

// Parses the words after the command name. Returns -1 to go on, or the
// exit code to end with.
int parse_command_line(const Command &command, int argc, char **argv, Options &options) {
  bool options_done = false;
  for (int i = 0; i < argc; ++i) {
    std::string_view word = argv[i];
    if (options_done || word.size() < 2 || word[0] != '-') {
      options.operands.emplace_back(word);
      continue;
    }
    if (word == "--") {
      options_done = true;
    } else if (word == "--help" || word == "-h") {
      std::fputs(command.usage, stdout);
      return kExitOk;
    } else if (command.packs && word == "--no-checksum") {
      options.pack.checksum = false;
    } else if (const Switch *given = find_switch(command, word)) {
      options.*(given->field) = true;
    } else {
      const std::size_t eq = word.find('=');
      const std::string_view option = word.substr(0, eq);
      if (!command.packs || !takes_value(option))
        return usage_error(command, "unknown option '" + std::string(word) + "'");
      std::string value;
      if (eq != std::string_view::npos) {
        value = word.substr(eq + 1);
      } else if (i + 1 < argc) {
        value = argv[++i];
      } else {
        return usage_error(command, "option '" + std::string(option) + "' needs a value");
      }
      const std::string problem = apply_pack_option(option, value.c_str(), options.pack);
      if (!problem.empty()) return usage_error(command, problem);
    }
  }
  const std::size_t n = options.operands.size();
  if (n < command.min_operands) return usage_error(command, "missing operand");
  if (command.max_operands != 0 && n > command.max_operands) return usage_error(command, "too many operands");
  return -1;
}

}  // namespace

void complain(const std::string &message) { std::fprintf(stderr, "zepa: %s\n", message.c_str()); }

}  // namespace kavro::tools::zepa_cli

int main(int argc, char **argv) {
  using namespace kavro::tools::zepa_cli;
  if (argc < 2) {
    print_tool_usage(stderr);
    return kExitUsage;
  }
  const std::string_view first = argv[1];
  if (first == "--help" || first == "-h") {
    print_tool_usage(stdout);
    return kExitOk;
  }
  if (first == "--version") {
    print_version();
    return kExitOk;
  }
  const Command *command = find_command(first);
  if (command == nullptr) {
    complain("unknown command '" + std::string(first) + "'");
    std::fputs("Try 'zepa --help'.\n", stderr);
    return kExitUsage;
  }
  // Past a file-size limit a write fails with EFBIG instead of ending the run.
  std::signal(SIGXFSZ, SIG_IGN);
  Options options;
  const int parsed = parse_command_line(*command, argc - 2, argv + 2, options);
  if (parsed >= 0) return parsed;
  return command->run(options);
}
