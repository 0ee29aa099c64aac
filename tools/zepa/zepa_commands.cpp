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
#include <set>
#include <string>
#include <vector>

#include "container_writer.h"
#include "disk_directory.h"
#include "entry_name.h"
#include "languages.h"
#include "output_file.h"
#include "packer.h"
#include "unpack.h"
#include "zepa.h"
#include "zepa_cli.h"

namespace kavro::tools::zepa_cli {
namespace {

using entry_name::escaped;
using entry_name::name_problem;
namespace output_file = kavro::tools::output_file;
namespace container = kavro::tools::container;

// One file given to create: the name in the disk and the path it comes from.
struct Source {
  std::string name;
  std::string path;
};

// NAME=FILE when the part before the first '=' holds no '/'; otherwise the
// whole word is a file, stored under its base name ("./a=b.txt" is a=b.txt).
Source parse_source(const std::string &word) {
  const std::size_t eq = word.find('=');
  if (eq != std::string::npos && word.find('/') > eq) return {word.substr(0, eq), word.substr(eq + 1)};
  const std::size_t slash = word.find_last_of('/');
  return {slash == std::string::npos ? word : word.substr(slash + 1), word};
}

// Empty string when the names can go into one directory, each a plain file
// name that extract --all can write (which also keeps it within the
// directory's 16-bit name lengths).
std::string check_names(const std::vector<Source> &sources) {
  std::set<std::string> seen;
  for (const Source &source : sources) {
    if (const std::string problem = name_problem(source.name); !problem.empty())
      return "name '" + escaped(source.name) + "' for '" + escaped(source.path) + "': " + problem;
    if (!seen.insert(source.name).second) return "name '" + escaped(source.name) + "' given twice";
  }
  return {};
}

bool same_file(const struct stat &a, const struct stat &b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Every input a readable regular file and none of them the disk, and DISK
// a target the tool may write: one message and false at the first problem,
// before any work.
bool check_create(const std::string &disk_path, const std::vector<Source> &sources, bool force,
                  output_file::Target &target) {
  struct stat disk_stat {};
  const bool disk_exists = stat(disk_path.c_str(), &disk_stat) == 0;
  for (const Source &source : sources) {
    struct stat input {};
    std::string problem;
    if (stat(source.path.c_str(), &input) != 0 || access(source.path.c_str(), R_OK) != 0) {
      problem = std::string("cannot read: ") + std::strerror(errno);
    } else if (!S_ISREG(input.st_mode)) {
      problem = std::string("is ") + output_file::kind_of(input.st_mode) + ", not a regular file";
    }
    if (!problem.empty()) {
      complain(escaped(source.path) + ": " + problem);
      return false;
    }
    if (source.path == disk_path || (disk_exists && same_file(input, disk_stat))) {
      complain(escaped(source.path) + ": is the disk being written");
      return false;
    }
  }
  const std::string problem =
      output_file::plan(disk_path, {.force = force, .dash_is_stdout = false, .guarded = {}}, target);
  if (!problem.empty()) complain(escaped(disk_path) + ": " + problem);
  return problem.empty();
}

// Reads the whole regular file at `path`; "" or what went wrong. Its size
// when opened is `size`; a file that grows or shrinks meanwhile fails.
std::string read_file(const std::string &path, std::vector<std::uint8_t> &bytes, off_t &size) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st {};
  if (fd < 0 || fstat(fd, &st) != 0) {
    const int error = errno;
    if (fd >= 0) close(fd);
    return std::string("cannot read: ") + std::strerror(error);
  }
  size = st.st_size;
  bytes.resize(static_cast<std::size_t>(st.st_size));
  std::size_t at = 0;
  std::string problem;
  for (;;) {
    std::uint8_t extra = 0;  // one byte past the size: there is none unless the file grew
    const bool past = at == bytes.size();
    const ssize_t n = read(fd, past ? &extra : bytes.data() + at, past ? 1 : bytes.size() - at);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) problem = std::string("cannot read: ") + std::strerror(errno);
    if (n == 0 && !past) problem = "its size changed while it was packed";
    if (n > 0 && past) problem = "its size changed while it was packed";
    if (n <= 0 || past) break;
    at += static_cast<std::size_t>(n);
  }
  close(fd);
  return problem;
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

// Why an entry cannot be decoded from the bytes of the disk, or empty.
std::string placement_problem(const disk::Entry &entry, std::uint64_t file_size) {
  const std::uint64_t end = entry.offset + entry.length;
  if (end > file_size) return "runs " + std::to_string(end - file_size) + " bytes past the end of the disk";
  if (end > container::kMaxContainerSize) return "lies past the 2 GiB a data disk can hold";
  return {};
}

// What a decoding that read `consumed` bytes of the entry says, or empty.
std::string consumed_problem(std::uint32_t consumed, const disk::Entry &entry) {
  if (consumed > entry.length)
    return "packed data runs " + std::to_string(consumed - entry.length) + " bytes past the end of the entry";
  if (consumed < entry.length)
    return std::to_string(entry.length - consumed) + " bytes follow the end of the packed data";
  return {};
}

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
    if (decoded) problem = consumed_problem(consumed, entry);
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
    const container::ContainerEntry one[] = {{.name = entry.name, .data = std::move(data)}};
    const std::vector<std::uint8_t> bytes = container::build_container(one);
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
std::string check_entry(const char *disk_path, FILE *disk_file, EntryCopy &copy, const disk::Entry &entry,
                        std::uint64_t file_size) {
  if (std::string problem = placement_problem(entry, file_size); !problem.empty()) return problem;
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
  if (end > container::kMaxContainerSize) {
    std::printf("the entries run past the 2 GiB a data disk can hold\n");
    ok = false;
  }
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

// Whether each file still has the size it was read with.
bool sizes_unchanged(const std::vector<Source> &sources, const std::vector<off_t> &sizes) {
  for (std::size_t i = 0; i < sources.size(); ++i) {
    struct stat now {};
    if (stat(sources[i].path.c_str(), &now) == 0 && now.st_size == sizes[i]) continue;
    complain(escaped(sources[i].path) + ": its size changed while it was packed");
    return false;
  }
  return true;
}

// Reads and packs the files; `bytes_in` receives their plain bytes.
bool pack_sources(const std::vector<Source> &sources, const packer::Options &options,
                  std::vector<container::ContainerEntry> &items, std::uint64_t &bytes_in) {
  std::vector<std::vector<std::uint8_t>> plains(sources.size());
  std::vector<off_t> sizes(sources.size());
  {
    Progress progress;
    for (std::size_t i = 0; i < sources.size(); ++i) {
      progress.show("reading", sources[i].name, i + 1, sources.size());
      if (const std::string problem = read_file(sources[i].path, plains[i], sizes[i]); !problem.empty()) {
        progress.clear();
        complain(escaped(sources[i].path) + ": " + problem);
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
  if (!sizes_unchanged(sources, sizes)) return false;
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

// The directory of the disk and the disk opened for reading its entries; null
// after the message when either fails.
FILE *open_disk(const char *disk_path, disk::Directory &directory) {
  if (!load_directory(disk_path, directory)) return nullptr;
  FILE *disk_file = std::fopen(disk_path, "rb");
  if (disk_file == nullptr) complain(std::string(disk_path) + ": " + std::strerror(errno));
  return disk_file;
}

// The output table of extraction over the tool's writer: the file that
// extraction's decoding loop creates is the writer's file, and the reason of
// the first call that fails is kept.
struct WriterOutput {
  output_file::Writer *writer = nullptr;
  output_file::Target target;
  std::string problem;
};
WriterOutput g_output;

void keep_problem(const char *what) {
  if (g_output.problem.empty()) g_output.problem = std::string(what) + ": " + std::strerror(errno);
}

FILE *open_writer_file(const char * /*path*/, const char *mode) {
  g_output.problem = g_output.writer->open(g_output.target);
  if (!g_output.problem.empty()) return nullptr;
  const int fd = fcntl(g_output.writer->fd(), F_DUPFD_CLOEXEC, 0);
  FILE *file = fd >= 0 ? fdopen(fd, mode) : nullptr;
  if (file == nullptr) keep_problem("cannot write");
  if (file == nullptr && fd >= 0) close(fd);
  return file;
}

std::size_t write_writer_file(const void *data, std::size_t size, std::size_t count, FILE *file) {
  const std::size_t written = std::fwrite(data, size, count, file);
  if (written != count) keep_problem("cannot write");
  return written;
}

int close_writer_file(FILE *file) {
  const int result = std::fclose(file);
  if (result != 0) keep_problem("cannot write");
  return result;
}

const unpack::Output kWriterOutput = {
    .fopen = open_writer_file, .fwrite = write_writer_file, .fclose = close_writer_file};

// What must never be written while `disk_path` is read: the disk itself.
output_file::Rules extract_rules(const std::string &disk_path, bool force) {
  output_file::Rules rules{.force = force, .dash_is_stdout = true, .guarded = {}};
  struct stat disk {};
  if (stat(disk_path.c_str(), &disk) == 0)
    rules.guarded.push_back({disk.st_dev, disk.st_ino, "is the disk being read"});
  return rules;
}

// The entries of one open disk, each decoded from its place in the disk file
// by extraction's decoding loop into its file of the folder.
class AllEntries {
 public:
  AllEntries(const std::string &disk_path, const std::string &folder, bool force)
      : disk_path_(disk_path), folder_(folder), rules_(extract_rules(disk_path, force)) {
    rules_.dash_is_stdout = false;
  }
  ~AllEntries() {
    if (handle_ != 0) zepa_fclose(handle_);
    zepa_Stop();
    unpack::set_output(nullptr);
  }
  AllEntries(const AllEntries &) = delete;
  AllEntries &operator=(const AllEntries &) = delete;

  // The disk opened as one stream through the library; false after a message.
  bool open() {
    zepa_Start();
    ErrorNumber error = ZEPA_OK;
    handle_ = zepa_fopen(disk_path_.c_str(), disk_path_.c_str(), "rb", 1, &error);
    stream_ = handle_ != 0 ? zepa_core_GetOps()->zepa_core_GetFSP(handle_) : nullptr;
    if (stream_ != nullptr) return true;
    complain(escaped(disk_path_) + ": cannot open: " + error_text(error));
    return false;
  }

  // Extracts one entry; false when extraction must stop (the file system
  // fails), with `ok` cleared for any entry not extracted.
  bool extract(const disk::Entry &entry, std::uint64_t file_size, bool &ok) {
    std::string problem = name_problem(entry.name);
    if (problem.empty() && !seen_.insert(entry.name).second) problem = "hidden by an earlier entry of the same name";
    if (problem.empty()) problem = placement_problem(entry, file_size);
    const std::string path = folder_ + "/" + entry.name;
    output_file::Target target;
    if (problem.empty()) {
      problem = output_file::plan(path, rules_, target);
      if (!problem.empty()) problem = escaped(path) + " " + problem;
    }
    bool go_on = true;
    if (problem.empty()) problem = decode(entry, target, go_on);
    if (problem.empty()) return true;
    complain("entry '" + escaped(entry.name) + "' not extracted: " + problem);
    ok = false;
    return go_on;
  }

  // Places the files still waiting; false after a message.
  bool finish() {
    const std::string problem = writer_.place();
    if (problem.empty()) return true;
    complain(escaped(writer_.failed_target()) + ": not extracted: " + problem);
    return false;
  }

 private:
  std::string decode(const disk::Entry &entry, const output_file::Target &target, bool &go_on) {
    if (fseeko(stream_, static_cast<off_t>(entry.offset), SEEK_SET) != 0)
      return std::string("cannot read the disk: ") + std::strerror(errno);
    g_output = {.writer = &writer_, .target = target, .problem = {}};
    unpack::set_output(&kWriterOutput);
    MessageCatcher catcher;
    std::uint32_t consumed = 0;
    const bool decoded = unpack::decode_packed_file(handle_, target.path.c_str(), &consumed);
    std::string problem = catcher.finish();
    if (!g_output.problem.empty()) {
      go_on = false;
      problem = escaped(target.path) + ": " + g_output.problem;
    } else if (decoded) {
      problem = consumed_problem(consumed, entry);
    } else if (problem.empty()) {
      problem = "cannot be decoded";
    }
    if (!problem.empty()) {
      writer_.discard();
      return problem;
    }
    problem = writer_.finish();
    if (problem.empty()) return {};
    go_on = false;
    return escaped(writer_.failed_target().empty() ? target.path : writer_.failed_target()) + ": " + problem;
  }

  // Files placed together: their bytes flushed in one go.
  static constexpr std::size_t kBatch = 512;

  std::string disk_path_, folder_;
  output_file::Rules rules_;
  output_file::Writer writer_{kBatch};
  Handle handle_ = 0;
  FILE *stream_ = nullptr;
  std::set<std::string> seen_;
};

// extract --all: every entry of the disk into `folder`, under its own name.
int extract_all(const std::string &disk_path, const std::string &folder, bool force) {
  disk::Directory directory;
  if (!load_directory(disk_path.c_str(), directory)) return kExitFailure;
  struct stat st {};
  if (mkdir(folder.c_str(), 0777) != 0 && errno != EEXIST) {
    complain(escaped(folder) + ": cannot create: " + std::strerror(errno));
    return kExitFailure;
  }
  const bool looked = stat(folder.c_str(), &st) == 0;
  if (!looked || !S_ISDIR(st.st_mode)) {
    complain(
        escaped(folder) + ": " +
        (looked ? std::string("is ") + output_file::kind_of(st.st_mode) + ", not a folder" : std::strerror(errno)));
    return kExitFailure;
  }
  AllEntries all(disk_path, folder, force);
  if (!all.open()) return kExitFailure;
  bool ok = true;
  Progress progress;
  for (std::size_t i = 0; i < directory.entries.size(); ++i) {
    progress.show("extracting", directory.entries[i].name, i + 1, directory.entries.size());
    if (!all.extract(directory.entries[i], directory.file_size, ok)) break;
  }
  progress.clear();
  if (!all.finish()) ok = false;
  return ok ? kExitOk : kExitFailure;
}

// extract of one entry: the installer's own extraction, into the writer.
int extract_one(const std::string &disk_path, const std::string &name, const std::string &output, bool force) {
  output_file::Target target;
  if (const std::string problem = output_file::plan(output, extract_rules(disk_path, force), target);
      !problem.empty()) {
    complain(escaped(output) + ": " + problem);
    return kExitFailure;
  }
  output_file::Writer writer;
  g_output = {.writer = &writer, .target = target, .problem = {}};
  unpack::set_output(&kWriterOutput);
  std::int32_t result = -1;
  if (open_install_disk(disk_path.c_str()) == 0) result = unpack_disk_file(name.c_str(), output.c_str());
  close_install_disk();
  unpack::set_output(nullptr);
  if (result < 0 || writer.fd() < 0) return kExitFailure;
  if (const std::string problem = writer.finish(); !problem.empty()) {
    complain(escaped(output) + ": " + problem);
    return kExitFailure;
  }
  return kExitOk;
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

int run_create(const Options &options) {
  const std::string &disk_path = options.operands[0];
  std::vector<Source> sources;
  for (std::size_t i = 1; i < options.operands.size(); ++i) sources.push_back(parse_source(options.operands[i]));
  const std::string problem = check_names(sources);
  if (!problem.empty()) return usage_problem("create", problem);
  output_file::Target target;
  if (!check_create(disk_path, sources, options.force, target)) return kExitFailure;

  std::vector<container::ContainerEntry> items;
  std::uint64_t bytes_in = 0;
  if (!pack_sources(sources, options.pack, items, bytes_in)) return kExitFailure;
  const std::string error = container::write_container(target, items);
  if (!error.empty()) {
    complain(escaped(disk_path) + ": " + error);
    return kExitFailure;
  }
  // On standard error, like every message: standard output may be the disk itself.
  if (!options.quiet) {
    const std::uint64_t bytes_out = container::container_size(items);
    std::fprintf(stderr, "%zu entries, %" PRIu64 " bytes in, %" PRIu64 " bytes out, ratio %s\n", items.size(),
                 bytes_in, bytes_out, percent(bytes_out, bytes_in).c_str());
  }
  return kExitOk;
}

int run_list(const Options &options) {
  const char *disk_path = options.operands[0].c_str();
  disk::Directory directory;
  FILE *disk_file = open_disk(disk_path, directory);
  if (disk_file == nullptr) return kExitFailure;
  std::printf("%-24s %10s %10s %-6s %5s %8s %-8s %10s\n", "NAME", "PACKED", "ORIGINAL", "METHOD", "LEVEL", "BLOCK",
              "CHECKSUM", "OFFSET");
  std::uint64_t packed = 0, original = 0;
  for (const disk::Entry &entry : directory.entries) {
    list_entry(disk_file, entry, original);
    packed += entry.length;
  }
  std::fclose(disk_file);
  const bool layout_ok = report_layout(directory);
  std::printf("%zu entries, %" PRIu64 " bytes packed, %" PRIu64 " bytes original, disk %" PRIu64 " bytes\n",
              directory.entries.size(), packed, original, directory.file_size);
  return layout_ok ? kExitOk : kExitFailure;
}

int run_extract(const Options &options) {
  const std::size_t wanted = options.all ? 2 : 3;
  if (options.operands.size() != wanted)
    return usage_problem("extract", options.operands.size() < wanted ? "missing operand" : "too many operands");
  const std::string &disk_path = options.operands[0];
  if (options.all) return extract_all(disk_path, options.operands[1], options.force);
  if (disk_path.size() >= sizeof disk_name) {
    return usage_problem("extract", "disk path longer than " + std::to_string(sizeof disk_name - 1) +
                                        " characters, which the installer cannot use: " + disk_path);
  }
  return extract_one(disk_path, options.operands[1], options.operands[2], options.force);
}

int run_verify(const Options &options) {
  const char *disk_path = options.operands[0].c_str();
  disk::Directory directory;
  FILE *disk_file = open_disk(disk_path, directory);
  if (disk_file == nullptr) return kExitFailure;
  EntryCopy copy;
  std::size_t damaged = 0, unchecked = 0;
  std::set<std::string> seen;
  {
    Progress progress;
    for (std::size_t i = 0; i < directory.entries.size(); ++i) {
      const disk::Entry &entry = directory.entries[i];
      progress.show("verifying", entry.name, i + 1, directory.entries.size());
      std::string problem = seen.insert(entry.name).second
                                ? check_entry(disk_path, disk_file, copy, entry, directory.file_size)
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
