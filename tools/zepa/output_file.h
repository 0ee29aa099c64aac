// SPDX-License-Identifier: GPL-2.0-or-later
// The one way the disk tool writes a file: create's disk, extract's file and
// each file of extract --all.
//
// A regular file (or nothing) is replaced: the new bytes go into a file
// beside it under a short temporary name of its own (".zepa.XXXXXX", so any
// name the folder takes can be a target), which is flushed to the medium,
// renamed over the target only when complete, and then the folder is
// flushed. A failure at any point leaves the target as it was and nothing
// under its name. A replaced file keeps its mode bits, and, when the tool
// runs as root, its owner and group. A character device, a FIFO, or standard
// output itself (also through a link such as /dev/stdout) is written into
// directly, as cp does. A folder, a socket or a block device is refused; so
// is any other symbolic link, whatever it leads to, unless forced, and then
// the link itself is replaced, never what it points to. SIGINT, SIGTERM and
// SIGHUP remove the temporary files before the tool ends.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

namespace kavro::tools::output_file {

// A file the tool reads, which it must never write, by any name.
struct Guarded {
  dev_t device;
  ino_t inode;
  const char *why;  // "is the disk being read"
};

// What a target may be.
struct Rules {
  bool force = false;           // replace an existing file, or a link itself
  bool dash_is_stdout = false;  // "-" is standard output
  std::vector<Guarded> guarded;
};

enum class Way { kReplace, kDirect, kStandardOutput };

// Where and how one file is written.
struct Target {
  std::string path;
  Way way = Way::kReplace;
  mode_t mode = 0;  // of the new file: the replaced file's mode bits, or 0666 less the umask
  // Of the new file: the replaced file's owner and group when the tool runs
  // as root; -1 leaves those the file is made with.
  uid_t owner = static_cast<uid_t>(-1);
  gid_t group = static_cast<gid_t>(-1);
};

// "a folder", "a FIFO": what a file of this mode is, for messages.
const char *kind_of(mode_t mode);

// Whether `path` may be written under `rules`: "" with `target` filled in,
// else why not ("is a folder", "already exists; use --force to replace it").
std::string plan(const std::string &path, const Rules &rules, Target &target);

// Writes files to their targets. Files replaced in one folder may be placed
// in batches: their bytes are flushed together, then each is renamed into
// place, then the folder is flushed once.
class Writer {
 public:
  // `batch`: how many complete files may wait to be placed together.
  explicit Writer(std::size_t batch = 1);
  ~Writer();  // removes every file not yet placed
  Writer(const Writer &) = delete;
  Writer &operator=(const Writer &) = delete;

  // Opens the file for `target` ("" or the reason); fd() is then where its
  // bytes go.
  std::string open(const Target &target);
  int fd() const { return fd_; }
  // Writes all of `bytes` to the open file; "" or the reason.
  std::string write(const void *bytes, std::size_t size);
  // The open file is complete: it is placed now, or with its batch. "" or
  // the reason; on failure the files before the failing one are placed.
  std::string finish();
  // Removes the open file, unplaced; its target stays as it was.
  void discard();
  // Places every complete file still waiting; "" or the reason.
  std::string place();
  // The target of the file a failure of place() is about.
  const std::string &failed_target() const { return failed_; }

 private:
  struct Pending {
    std::string temporary;
    std::string target;
  };
  std::string flush_pending();
  void forget_pending(std::size_t from);

  std::size_t batch_;
  int fd_ = -1;
  Target target_;
  std::string temporary_;  // while a replacing file is open
  std::vector<Pending> pending_;
  std::string failed_;
};

}  // namespace kavro::tools::output_file
