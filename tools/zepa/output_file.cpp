// SPDX-License-Identifier: GPL-2.0-or-later
// The one way the disk tool writes a file: temporary file beside the target,
// flush, rename, flush the folder; devices and FIFOs written directly.
#include "output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kavro::tools::output_file {
namespace {

// The temporary files that exist now; a signal that ends the tool removes
// them. Changed only with those signals blocked.
constexpr std::size_t kSlots = 1025;
char *g_temporaries[kSlots] = {};
constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void remove_temporaries_and_end(int signal_number) {
  for (char *path : g_temporaries)
    if (path != nullptr) unlink(path);
  std::signal(signal_number, SIG_DFL);
  raise(signal_number);  // delivered when the handler returns: the tool ends with the signal's status
}

// Blocks the ending signals for its lifetime.
class SignalsHeld {
 public:
  SignalsHeld() {
    sigset_t set;
    sigemptyset(&set);
    for (const int s : kEndingSignals) sigaddset(&set, s);
    sigprocmask(SIG_BLOCK, &set, &old_);
  }
  ~SignalsHeld() { sigprocmask(SIG_SETMASK, &old_, nullptr); }

 private:
  sigset_t old_;
};

void catch_ending_signals() {
  static bool caught = false;
  if (caught) return;
  caught = true;
  for (const int s : kEndingSignals) {
    struct sigaction action {};
    sigaction(s, nullptr, &action);
    if (action.sa_handler == SIG_IGN) continue;  // left ignored, as under nohup
    action.sa_handler = remove_temporaries_and_end;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(s, &action, nullptr);
  }
}

void remember(const std::string &path) {
  for (char *&slot : g_temporaries) {
    if (slot != nullptr) continue;
    slot = strdup(path.c_str());
    return;
  }
}

void forget(const std::string &path) {
  for (char *&slot : g_temporaries) {
    if (slot == nullptr || path != slot) continue;
    char *copy = slot;
    slot = nullptr;
    std::free(copy);
    return;
  }
}

// Creates a new file beside `target` under a hidden temporary name; the
// descriptor, or -1 with errno. The name is short and fixed in length, never
// built from the target's: a target whose name is as long as the folder
// allows still has room beside it.
int create_temporary(const std::string &target, std::string &temporary) {
  const std::size_t slash = target.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "" : target.substr(0, slash + 1);
  temporary = folder + ".zepa.XXXXXX";
  catch_ending_signals();
  const SignalsHeld held;
  const int fd = mkostemp(temporary.data(), O_CLOEXEC);
  if (fd >= 0) remember(temporary);
  return fd;
}

void remove_temporary(const std::string &temporary) {
  const SignalsHeld held;
  unlink(temporary.c_str());
  forget(temporary);
}

std::string folder_of(const std::string &path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string reason(const char *what, int error) { return std::string(what) + ": " + std::strerror(error); }

bool same_file(const struct stat &s, dev_t device, ino_t inode) { return s.st_dev == device && s.st_ino == inode; }

bool is_standard_output(const struct stat &s) {
  struct stat out {};
  return fstat(STDOUT_FILENO, &out) == 0 && same_file(s, out.st_dev, out.st_ino);
}

mode_t new_file_mode() {
  const mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

}  // namespace

const char *kind_of(mode_t mode) {
  switch (mode & S_IFMT) {
    case S_IFREG:
      return "a regular file";
    case S_IFDIR:
      return "a folder";
    case S_IFCHR:
      return "a character device";
    case S_IFBLK:
      return "a block device";
    case S_IFIFO:
      return "a FIFO";
    case S_IFSOCK:
      return "a socket";
    case S_IFLNK:
      return "a symbolic link";
    default:
      return "not a regular file";
  }
}

std::string plan(const std::string &path, const Rules &rules, Target &target) {
  target = {.path = path, .way = Way::kReplace, .mode = new_file_mode()};
  struct stat link {};
  struct stat file {};
  if (rules.dash_is_stdout && path == "-") {
    target.way = Way::kStandardOutput;
    for (const Guarded &g : rules.guarded)
      if (fstat(STDOUT_FILENO, &file) == 0 && same_file(file, g.device, g.inode)) return g.why;
    return {};
  }
  if (lstat(path.c_str(), &link) != 0) {
    if (errno != ENOENT) return reason("cannot look at it", errno);
  } else {
    const bool followed = stat(path.c_str(), &file) == 0;
    for (const Guarded &g : rules.guarded)
      if (followed && same_file(file, g.device, g.inode)) return g.why;
    // Standard output, by whatever name (/dev/stdout is a link), is the user's to write.
    if (followed && is_standard_output(file)) {
      target.way = Way::kStandardOutput;
      return {};
    }
    if (S_ISLNK(link.st_mode)) {
      // Any other link, whatever it leads to: only the link itself is ever replaced.
      if (!rules.force) return "is a symbolic link; use --force to replace the link itself";
    } else if (S_ISCHR(link.st_mode) || S_ISFIFO(link.st_mode)) {
      target.way = Way::kDirect;
      return {};
    } else if (!S_ISREG(link.st_mode)) {
      return std::string("is ") + kind_of(link.st_mode);
    } else if (!rules.force) {
      return "already exists; use --force to replace it";
    } else {
      target.mode = link.st_mode & 07777;
      if (geteuid() == 0) {
        target.owner = link.st_uid;
        target.group = link.st_gid;
      }
    }
  }
  const std::string folder = folder_of(path);
  if (access(folder.c_str(), W_OK | X_OK) != 0) return "cannot write into " + folder + ": " + std::strerror(errno);
  return {};
}

Writer::Writer(std::size_t batch) : batch_(batch < 1 ? 1 : (batch < kSlots ? batch : kSlots - 1)) {
  pending_.reserve(batch_);
}

Writer::~Writer() {
  discard();
  forget_pending(0);
}

std::string Writer::open(const Target &target) {
  discard();
  target_ = target;
  if (target.way == Way::kStandardOutput) {
    fd_ = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0);
    return fd_ >= 0 ? "" : reason("cannot use standard output", errno);
  }
  if (target.way == Way::kDirect) {
    fd_ = ::open(target.path.c_str(), O_WRONLY | O_CLOEXEC);
    return fd_ >= 0 ? "" : reason("cannot open", errno);
  }
  fd_ = create_temporary(target.path, temporary_);
  if (fd_ < 0) return reason("cannot create a file beside it", errno);
  // The owner first: a change of owner clears the set-user-ID and set-group-ID bits.
  const bool keeps_owner = target.owner != static_cast<uid_t>(-1) || target.group != static_cast<gid_t>(-1);
  if (keeps_owner && fchown(fd_, target.owner, target.group) != 0) {
    const int error = errno;
    discard();
    return reason("cannot give the new file the owner of the old one", error);
  }
  if (fchmod(fd_, target.mode) != 0) {
    const int error = errno;
    discard();
    return reason("cannot set the mode of the new file", error);
  }
  return {};
}

std::string Writer::write(const void *bytes, std::size_t size) {
  const auto *p = static_cast<const unsigned char *>(bytes);
  for (std::size_t at = 0; at < size;) {
    const ssize_t n = ::write(fd_, p + at, size - at);
    if (n > 0) at += static_cast<std::size_t>(n);
    if (n == 0) return reason("cannot write", EIO);  // a write that takes nothing would never end
    if (n < 0 && errno != EINTR) return reason("cannot write", errno);
  }
  return {};
}

std::string Writer::finish() {
  int error = 0;
  if (temporary_.empty()) {
    if (close(fd_) != 0) error = errno;
    fd_ = -1;
    return error == 0 ? "" : reason("cannot write", error);
  }
  // Alone, a file is flushed on its own; a batch is flushed together.
  if (batch_ == 1 && fsync(fd_) != 0) error = errno;
  if (close(fd_) != 0 && error == 0) error = errno;
  fd_ = -1;
  if (error != 0) {
    discard();
    return reason("cannot write", error);
  }
  pending_.push_back({.temporary = std::move(temporary_), .target = target_.path});
  temporary_.clear();
  return pending_.size() >= batch_ ? place() : "";
}

void Writer::discard() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  if (!temporary_.empty()) remove_temporary(temporary_);
  temporary_.clear();
}

void Writer::forget_pending(std::size_t from) {
  for (std::size_t i = from; i < pending_.size(); ++i) remove_temporary(pending_[i].temporary);
  if (from < pending_.size()) pending_.resize(from);
}

// Flushes the bytes of every waiting file: each on its own when alone, or
// the whole file system at once. On failure, each file on its own, to name
// the first that cannot be flushed; the ones before it stay waiting.
std::string Writer::flush_pending() {
  if (pending_.size() == 1 && batch_ == 1) return {};  // flushed by finish()
  const int folder = ::open(folder_of(pending_.front().target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  const bool all = folder >= 0 && syncfs(folder) == 0;
  if (folder >= 0) close(folder);
  if (all) return {};
  for (std::size_t i = 0; i < pending_.size(); ++i) {
    const int fd = ::open(pending_[i].temporary.c_str(), O_RDONLY | O_CLOEXEC);
    const int error = fd < 0 || fsync(fd) != 0 ? errno : 0;
    if (fd >= 0) close(fd);
    if (error == 0) continue;
    failed_ = pending_[i].target;
    forget_pending(i);
    return reason("cannot write", error);
  }
  return {};
}

std::string Writer::place() {
  if (pending_.empty()) return {};
  failed_.clear();
  const std::string folder = folder_of(pending_.front().target);
  std::string problem = flush_pending();
  std::size_t placed = 0;
  for (; placed < pending_.size(); ++placed) {
    const Pending &p = pending_[placed];
    if (std::rename(p.temporary.c_str(), p.target.c_str()) != 0) {
      if (problem.empty()) problem = reason("cannot put it in place", errno);
      if (failed_.empty()) failed_ = p.target;
      break;
    }
    const SignalsHeld held;
    forget(p.temporary);
  }
  forget_pending(placed);
  pending_.clear();
  if (placed == 0) return problem;
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if ((fd < 0 || fsync(fd) != 0) && problem.empty()) problem = reason(("cannot flush " + folder).c_str(), errno);
  if (fd >= 0) close(fd);
  return problem;
}

}  // namespace kavro::tools::output_file
