// SPDX-License-Identifier: GPL-2.0-or-later
// The subcommands of the disk tool: create, list, extract and verify.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "container_writer.h"
#include "disk_directory.h"
#include "languages.h"
#include "packer.h"
#include "unpack.h"
#include "zepa.h"
#include "zepa_cli.h"

namespace kavro::tools::zepa_cli {
namespace {

// Longest entry name the directory's 16-bit name lengths can describe.
constexpr std::size_t kMaxNameLength = 0xFFFF;

// One file given to create: the name in the disk and the path it comes from.
struct Source {
  std::string name;
  std::string path;
};

Source parse_source(const std::string &word) {
  const std::size_t eq = word.find('=');
  if (eq != std::string::npos) return {word.substr(0, eq), word.substr(eq + 1)};
  const std::size_t slash = word.find_last_of('/');
  return {slash == std::string::npos ? word : word.substr(slash + 1), word};
}

// Empty string when the names can go into one directory.
std::string check_names(const std::vector<Source> &sources) {
  std::set<std::string> seen;
  for (const Source &source : sources) {
    if (source.name.empty()) return "empty name for '" + source.path + "'";
    if (source.name.size() > kMaxNameLength)
      return "name longer than " + std::to_string(kMaxNameLength) + " bytes for '" + source.path + "'";
    if (!seen.insert(source.name).second) return "name '" + source.name + "' given twice";
  }
  return {};
}

// The folder part of a path: "." for a bare name.
std::string folder_of(const std::string &path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool same_file(const struct stat &a, const struct stat &b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Every input readable and none of them the disk, DISK's folder there, and
// an existing DISK replaced only when forced: one message and false at the
// first problem, before any work.
bool check_create(const std::string &disk_path, const std::vector<Source> &sources, bool force) {
  struct stat disk_stat {};
  const bool disk_exists = stat(disk_path.c_str(), &disk_stat) == 0;
  for (const Source &source : sources) {
    struct stat input {};
    const int fd = open(source.path.c_str(), O_RDONLY | O_CLOEXEC);
    int error = fd < 0 || fstat(fd, &input) != 0 ? errno : 0;
    if (error == 0 && S_ISDIR(input.st_mode)) error = EISDIR;
    if (fd >= 0) close(fd);
    if (error != 0) {
      complain(source.path + ": cannot read: " + std::strerror(error));
      return false;
    }
    if (source.path == disk_path || (disk_exists && same_file(input, disk_stat))) {
      complain(source.path + ": is the disk being written");
      return false;
    }
  }
  const std::string folder = folder_of(disk_path);
  if (access(folder.c_str(), W_OK | X_OK) != 0) {
    complain(disk_path + ": cannot write into " + folder + ": " + std::strerror(errno));
    return false;
  }
  if (disk_exists && S_ISDIR(disk_stat.st_mode)) {
    complain(disk_path + ": " + std::strerror(EISDIR));
    return false;
  }
  if (disk_exists && !force) {
    complain(disk_path + ": already exists; use --force to replace it");
    return false;
  }
  return true;
}

bool read_file(const std::string &path, std::vector<std::uint8_t> &bytes) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) return false;
  const std::streamoff size = in.tellg();
  if (size < 0) return false;
  bytes.resize(static_cast<std::size_t>(size));
  in.seekg(0);
  in.read(reinterpret_cast<char *>(bytes.data()), size);
  return in.gcount() == size;
}

int usage_problem(const char *command, const std::string &message) {
  complain(message);
  std::fprintf(stderr, "Try 'zepa %s --help'.\n", command);
  return kExitUsage;
}

// Messages of the library's error numbers, as the library words them.
std::string error_text(ErrorNumber code) {
  std::string text(zepa_GetErrorString(code, nullptr, 0), '\0');
  std::vector<char> buffer(text.size() + 1);
  zepa_GetErrorString(code, buffer.data(), static_cast<std::uint32_t>(text.size()));
  return buffer.data();
}

// Extraction's messages, caught while an entry is decoded, on one line.
class MessageCatcher {
 public:
  MessageCatcher() : stream_(open_memstream(&text_, &size_)) { unpack::set_message_stream(stream_); }
  ~MessageCatcher() {
    finish();
    std::free(text_);
  }
  std::string finish() {
    if (stream_ != nullptr) {
      unpack::set_message_stream(nullptr);
      std::fclose(stream_);
      stream_ = nullptr;
    }
    std::string line;
    for (std::size_t i = 0; text_ != nullptr && i < size_; ++i) {
      if (text_[i] != '\n') {
        line += text_[i];
      } else if (i + 1 < size_) {
        line += "; ";
      }
    }
    return line;
  }

 private:
  char *text_ = nullptr;
  std::size_t size_ = 0;
  FILE *stream_;
};

// Decodes the entry that the library finds under `name` in the disk at
// `disk_path`, from a fresh start of the library as the installer does it.
// Empty when it decodes and ends where the entry ends.
std::string check_in_disk(const char *disk_path, const disk::Entry &entry, bool whole_disk) {
  zepa_Start();
  ErrorNumber error = ZEPA_OK;
  const Handle handle = zepa_fopen(disk_path, entry.name.c_str(), "rb", 0, &error);
  std::string problem;
  if (handle == 0) {
    problem = "cannot open: " + error_text(error);
  } else if (whole_disk && zepa_GetPhysicalOffset(handle, 0) != static_cast<std::int64_t>(entry.offset)) {
    problem = "not found in the disk";
  } else {
    MessageCatcher catcher;
    std::uint32_t consumed = 0;
    const bool decoded = unpack::decode_packed_file(handle, "/dev/null", &consumed);
    problem = catcher.finish();
    if (!decoded && problem.empty()) problem = "cannot be decoded";
    if (decoded && consumed > entry.length)
      problem = "packed data runs " + std::to_string(consumed - entry.length) + " bytes past the end of the entry";
    if (decoded && consumed < entry.length)
      problem = std::to_string(entry.length - consumed) + " bytes follow the end of the packed data";
  }
  if (handle != 0) zepa_fclose(handle);
  zepa_Stop();
  return problem;
}

// A one-entry disk in memory. The library finds a name in a directory by
// walking it from the start on every read, so an entry far down a large
// disk is checked on a copy of its own: the same bytes through the same
// reader, without the walk.
class EntryCopy {
 public:
  EntryCopy() : fd_(memfd_create("zepa-verify", MFD_CLOEXEC)) {
    if (fd_ >= 0) path_ = "/proc/self/fd/" + std::to_string(fd_);
  }
  ~EntryCopy() {
    if (fd_ >= 0) close(fd_);
  }
  EntryCopy(const EntryCopy &) = delete;
  EntryCopy &operator=(const EntryCopy &) = delete;

  // Holds the entry's bytes, read from `disk`; false when they cannot be read.
  bool hold(FILE *disk, const disk::Entry &entry) {
    if (fd_ < 0 || entry.offset > static_cast<std::uint64_t>(LONG_MAX)) return false;
    std::vector<std::uint8_t> data(entry.length);
    if (std::fseek(disk, static_cast<long>(entry.offset), SEEK_SET) != 0 ||
        std::fread(data.data(), 1, data.size(), disk) != data.size())
      return false;
    const kavro::tools::container::ContainerEntry one[] = {{.name = entry.name, .data = std::move(data)}};
    const std::vector<std::uint8_t> bytes = kavro::tools::container::build_container(one);
    return ftruncate(fd_, 0) == 0 && pwrite(fd_, bytes.data(), bytes.size(), 0) == static_cast<ssize_t>(bytes.size());
  }
  const char *path() const { return path_.c_str(); }

 private:
  int fd_;
  std::string path_;
};

// What is wrong with one entry of the disk, or empty when it decodes. A copy
// that decodes read only the entry's own bytes, so the disk gives the same;
// anything else is checked in the disk itself, which tells how far a damaged
// entry's reads ran.
std::string check_entry(const char *disk_path, FILE *disk_file, EntryCopy &copy, const disk::Entry &entry) {
  if (copy.hold(disk_file, entry) && check_in_disk(copy.path(), entry, false).empty()) return {};
  return check_in_disk(disk_path, entry, true);
}

// Bytes of the disk file outside the directory and the entries; false when
// the layout itself is broken.
bool report_layout(const disk::Directory &d) {
  bool ok = true;
  if (d.data_start > d.names_end) {
    std::printf("%" PRIu64 " bytes between the directory and the data are not in the directory\n",
                d.data_start - d.names_end);
  } else if (d.data_start < d.names_end) {
    std::printf("the data starts inside the directory\n");
    ok = false;
  }
  const std::uint64_t end = d.data_end();
  if (d.file_size > end) {
    std::printf("%" PRIu64 " bytes after the last entry are not in the directory\n", d.file_size - end);
  } else if (d.file_size < end) {
    std::printf("the entries run %" PRIu64 " bytes past the end of the disk\n", end - d.file_size);
    ok = false;
  }
  return ok;
}

std::string number_or_dash(bool known, std::uint64_t value) { return known ? std::to_string(value) : "-"; }

// One row of the list; the original size, when known, is added to `original`.
void list_entry(FILE *disk_file, const disk::Entry &entry, std::uint64_t &original) {
  const disk::PackedInfo info = disk::inspect_packed(disk_file, entry.offset, entry.length);
  const char *method = info.header_ok ? packer::method_name(info.method) : nullptr;
  if (info.blocks_ok) original += info.original_size;
  std::printf("%-24s %10" PRIu32 " %10s %-6s %5s %8s %-8s %10" PRIu64 "\n", escaped(entry.name).c_str(), entry.length,
              number_or_dash(info.blocks_ok, info.original_size).c_str(), method ? method : "-",
              number_or_dash(info.header_ok, info.level).c_str(),
              number_or_dash(info.header_ok, info.block_size).c_str(),
              info.header_ok ? (info.checksum ? "yes" : "no") : "-", entry.offset);
}

// "42.5%": `part` of `whole`, or "-" for nothing.
std::string percent(std::uint64_t part, std::uint64_t whole) {
  if (whole == 0) return "-";
  char text[32];
  std::snprintf(text, sizeof text, "%.1f%%", 100.0 * static_cast<double>(part) / static_cast<double>(whole));
  return text;
}

// Reads and packs the files; `bytes_in` receives their plain bytes.
bool pack_sources(const std::vector<Source> &sources, const packer::Options &options,
                  std::vector<kavro::tools::container::ContainerEntry> &items, std::uint64_t &bytes_in) {
  std::vector<std::vector<std::uint8_t>> plains(sources.size());
  {
    Progress progress;
    for (std::size_t i = 0; i < sources.size(); ++i) {
      progress.show("reading", sources[i].name, i + 1, sources.size());
      if (!read_file(sources[i].path, plains[i])) {
        complain(sources[i].path + ": cannot read: " + std::strerror(errno));
        return false;
      }
    }
  }
  // All files at once: one pool of threads over the blocks of every file.
  const std::vector<std::span<const std::uint8_t>> inputs(plains.begin(), plains.end());
  for (const auto &plain : plains) bytes_in += plain.size();
  std::vector<std::vector<std::uint8_t>> packed;
  std::string error;
  Progress progress;
  const auto report = [&progress](std::uint64_t done, std::uint64_t total) {
    progress.show_bytes("packing", done, total);
  };
  const bool ok = packer::pack_many(inputs, options, packed, error, report);
  progress.clear();
  if (!ok) {
    complain(error);
    return false;
  }
  for (std::size_t i = 0; i < sources.size(); ++i)
    items.push_back({.name = sources[i].name, .data = std::move(packed[i])});
  return true;
}

// Reads the disk's directory; complains when it cannot.
bool load_directory(const char *disk_path, disk::Directory &directory) {
  std::string error;
  if (disk::read_directory(disk_path, directory, error)) return true;
  complain(std::string(disk_path) + ": " + error);
  return false;
}

// OUTPUT "-" of extract: the output file is a copy of standard output.
FILE *open_standard_output(const char * /*path*/, const char *mode) {
  const int fd = dup(STDOUT_FILENO);
  FILE *file = fd >= 0 ? fdopen(fd, mode) : nullptr;
  if (file == nullptr && fd >= 0) close(fd);
  return file;
}

const unpack::Output kStandardOutput = {.fopen = open_standard_output, .fwrite = std::fwrite, .fclose = std::fclose};

// Whether `output` names the disk file itself, by path or as the same file.
bool is_the_disk(const std::string &output, const std::string &disk_path) {
  struct stat a {};
  struct stat b {};
  return output == disk_path || (stat(output.c_str(), &a) == 0 && stat(disk_path.c_str(), &b) == 0 && same_file(a, b));
}

// Why `name` cannot be a file of its own in a folder, or empty when it can.
std::string name_problem(const std::string &name) {
  if (name.empty() || name == "." || name == "..") return "not a file name";
  if (name.find('/') != std::string::npos) return "holds a '/'";
  for (const char c : name)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return "holds a control character";
  return {};
}

// extract --all: every entry of the disk into `folder`, under its own name.
int extract_all(const std::string &disk_path, const std::string &folder) {
  disk::Directory directory;
  if (!load_directory(disk_path.c_str(), directory)) return kExitFailure;
  if (mkdir(folder.c_str(), 0777) != 0 && errno != EEXIST) {
    complain(folder + ": cannot create: " + std::strerror(errno));
    return kExitFailure;
  }
  if (open_install_disk(disk_path.c_str()) != 0) return kExitFailure;
  bool ok = true;
  std::set<std::string> seen;
  for (const disk::Entry &entry : directory.entries) {
    std::string problem = name_problem(entry.name);
    if (problem.empty() && !seen.insert(entry.name).second) problem = "hidden by an earlier entry of the same name";
    const std::string path = folder + "/" + entry.name;
    struct stat existing {};
    if (problem.empty() && lstat(path.c_str(), &existing) == 0 && !S_ISREG(existing.st_mode))
      problem = path + " exists and is not a plain file";
    if (problem.empty()) {
      if (unpack_disk_file(entry.name.c_str(), path.c_str()) < 0) ok = false;
    } else {
      complain("entry '" + escaped(entry.name) + "' not extracted: " + problem);
      ok = false;
    }
  }
  close_install_disk();
  return ok ? kExitOk : kExitFailure;
}

// Every name the installer can ask the data disk for: the plugin of each
// language in both FreeType builds, then the configuration files.
std::vector<std::string> installer_names() {
  std::vector<std::string> names;
  for (const int older : {1, 0}) {
    for (const LanguageEntry &language : language_table) {
      char name[32];
      plugin_file_name(language, older, name, sizeof name);
      names.emplace_back(name);
    }
  }
  for (const LanguageEntry &language : language_table)
    if (std::find(names.begin(), names.end(), language.config_file) == names.end())
      names.emplace_back(language.config_file);
  return names;
}

}  // namespace

Progress::Progress() : enabled_(isatty(STDERR_FILENO) == 1) {}

Progress::~Progress() { clear(); }

void Progress::clear() {
  if (!shown_) return;
  std::fputs("\r\033[K", stderr);
  std::fflush(stderr);
  shown_ = false;
}

void Progress::show(const char *verb, const std::string &name, std::size_t index, std::size_t count) {
  if (!enabled_) return;
  std::fprintf(stderr, "\r\033[Kzepa: %s %s (%zu/%zu)", verb, escaped(name).c_str(), index, count);
  std::fflush(stderr);
  shown_ = true;
}

void Progress::show_bytes(const char *verb, std::uint64_t done, std::uint64_t total) {
  if (!enabled_) return;
  std::fprintf(stderr, "\r\033[Kzepa: %s %" PRIu64 " of %" PRIu64 " bytes (%s)", verb, done, total,
               percent(done, total).c_str());
  std::fflush(stderr);
  shown_ = true;
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

int run_create(const Options &options) {
  const std::string &disk_path = options.operands[0];
  std::vector<Source> sources;
  for (std::size_t i = 1; i < options.operands.size(); ++i) sources.push_back(parse_source(options.operands[i]));
  const std::string problem = check_names(sources);
  if (!problem.empty()) return usage_problem("create", problem);
  if (!check_create(disk_path, sources, options.force)) return kExitFailure;
  // Past a file-size limit a write fails with EFBIG instead of ending the run.
  std::signal(SIGXFSZ, SIG_IGN);

  std::vector<kavro::tools::container::ContainerEntry> items;
  std::uint64_t bytes_in = 0;
  if (!pack_sources(sources, options.pack, items, bytes_in)) return kExitFailure;
  std::string error = kavro::tools::container::container_problem(items);
  if (error.empty()) error = kavro::tools::container::write_container(disk_path, items);
  if (!error.empty()) {
    complain(disk_path + ": " + error);
    return kExitFailure;
  }
  if (!options.quiet) {
    const std::uint64_t bytes_out = kavro::tools::container::container_size(items);
    std::printf("%zu entries, %" PRIu64 " bytes in, %" PRIu64 " bytes out, ratio %s\n", items.size(), bytes_in,
                bytes_out, percent(bytes_out, bytes_in).c_str());
  }
  return kExitOk;
}

int run_list(const Options &options) {
  const char *disk_path = options.operands[0].c_str();
  disk::Directory directory;
  if (!load_directory(disk_path, directory)) return kExitFailure;
  FILE *disk_file = std::fopen(disk_path, "rb");
  if (disk_file == nullptr) {
    complain(std::string(disk_path) + ": " + std::strerror(errno));
    return kExitFailure;
  }
  std::printf("%-24s %10s %10s %-6s %5s %8s %-8s %10s\n", "NAME", "PACKED", "ORIGINAL", "METHOD", "LEVEL", "BLOCK",
              "CHECKSUM", "OFFSET");
  std::uint64_t packed = 0, original = 0;
  for (const disk::Entry &entry : directory.entries) {
    list_entry(disk_file, entry, original);
    packed += entry.length;
  }
  std::fclose(disk_file);
  std::printf("%zu entries, %" PRIu64 " bytes packed, %" PRIu64 " bytes original, disk %" PRIu64 " bytes\n",
              directory.entries.size(), packed, original, directory.file_size);
  return kExitOk;
}

int run_extract(const Options &options) {
  const std::size_t wanted = options.all ? 2 : 3;
  if (options.operands.size() != wanted)
    return usage_problem("extract", options.operands.size() < wanted ? "missing operand" : "too many operands");
  const std::string &disk_path = options.operands[0];
  if (disk_path.size() >= sizeof disk_name) {
    return usage_problem("extract", "disk path longer than " + std::to_string(sizeof disk_name - 1) +
                                        " characters, which the installer cannot use: " + disk_path);
  }
  if (options.all) return extract_all(disk_path, options.operands[1]);
  const std::string &output = options.operands[2];
  if (is_the_disk(output, disk_path)) {
    complain(output + ": is the disk being read");
    return kExitFailure;
  }
  if (output == "-") unpack::set_output(&kStandardOutput);
  if (open_install_disk(disk_path.c_str()) != 0) return kExitFailure;
  const std::int32_t result = unpack_disk_file(options.operands[1].c_str(), output.c_str());
  close_install_disk();
  unpack::set_output(nullptr);
  return result >= 0 ? kExitOk : kExitFailure;
}

int run_verify(const Options &options) {
  const char *disk_path = options.operands[0].c_str();
  disk::Directory directory;
  if (!load_directory(disk_path, directory)) return kExitFailure;
  FILE *disk_file = std::fopen(disk_path, "rb");
  if (disk_file == nullptr) {
    complain(std::string(disk_path) + ": " + std::strerror(errno));
    return kExitFailure;
  }
  EntryCopy copy;
  std::size_t damaged = 0, unchecked = 0;
  std::set<std::string> seen;
  {
    Progress progress;
    for (std::size_t i = 0; i < directory.entries.size(); ++i) {
      const disk::Entry &entry = directory.entries[i];
      progress.show("verifying", entry.name, i + 1, directory.entries.size());
      std::string problem = seen.insert(entry.name).second ? check_entry(disk_path, disk_file, copy, entry)
                                                           : "hidden by an earlier entry of the same name";
      const char *verdict = "OK";
      if (problem.empty() && !disk::inspect_packed(disk_file, entry.offset, entry.length).checksum) {
        verdict = "OK (no checksum: content not checked)";
        ++unchecked;
      }
      progress.clear();
      std::printf("%s: %s\n", escaped(entry.name).c_str(), problem.empty() ? verdict : problem.c_str());
      if (!problem.empty()) ++damaged;
    }
  }
  std::fclose(disk_file);
  std::size_t missing = 0;
  if (options.installer) {
    for (const std::string &name : installer_names()) {
      if (seen.count(name) != 0) continue;
      std::printf("%s: missing, the installer can ask for it\n", name.c_str());
      ++missing;
    }
  }
  const bool layout_ok = report_layout(directory);
  std::printf("%zu entries, %zu damaged", directory.entries.size(), damaged);
  if (unchecked != 0) std::printf(", %zu unchecked", unchecked);
  if (options.installer) std::printf(", %zu missing for the installer", missing);
  std::printf("\n");
  return damaged == 0 && missing == 0 && layout_ok ? kExitOk : kExitFailure;
}

}  // namespace kavro::tools::zepa_cli
