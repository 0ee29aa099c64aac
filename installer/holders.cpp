// SPDX-License-Identifier: GPL-2.0-or-later
// Whether a running process holds a file, found as fuser finds it on Linux
// 2.4 and 2.6: in the process folder, a descriptor link of PID/fd that leads
// to the file, or a line of PID/maps that names its device and inode.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "installer.h"

namespace {

// The major and minor number of a device as the C library encodes st_dev
// (Linux 2.4's 8-bit numbers are the low bits of 2.6's). Not the C library's
// macros: they call a function the boxes' C libraries lack.
unsigned long device_major(std::uint64_t device) {
  return static_cast<unsigned long>(((device >> 8) & 0xfffu) | ((device >> 32) & 0xfffff000u));
}
unsigned long device_minor(std::uint64_t device) {
  return static_cast<unsigned long>((device & 0xffu) | ((device >> 12) & 0xffffff00u));
}

bool is_number(const char *name) {
  if (*name == '\0') return false;
  for (; *name != '\0'; ++name)
    if (*name < '0' || *name > '9') return false;
  return true;
}

// `folder`/`name` into `buffer` (kPathBufferSize bytes); false when it does
// not fit.
bool join_path(char *buffer, const char *folder, const char *name) {
  const int n = std::snprintf(buffer, kPathBufferSize, "%s/%s", folder, name);
  return n > 0 && n < kPathBufferSize;
}

// The folder of a process that has ended since the process folder was read
// is gone; any other failure to read it leaves open whether it holds the
// file, so it counts as holding it.
bool unreadable(int error) { return error != ENOENT && error != ESRCH; }

// Whether one of the descriptors listed in `fds` leads to the file.
bool holds_open(const char *fds, const struct stat &file) {
  DIR *folder = opendir(fds);
  if (folder == nullptr) return unreadable(errno);
  bool held = false;
  char link[kPathBufferSize];
  for (const dirent *entry; !held && (entry = readdir(folder)) != nullptr;) {
    if (!is_number(entry->d_name)) continue;
    struct stat target;
    held = !join_path(link, fds, entry->d_name) ||
           (stat(link, &target) == 0 && target.st_dev == file.st_dev && target.st_ino == file.st_ino);
  }
  closedir(folder);
  return held;
}

// Whether a line "START-END PERMS OFFSET MAJOR:MINOR INODE [PATH]" of a
// memory map names the file: the device in hexadecimal, the inode in decimal.
bool maps_the_file(const char *line, const struct stat &file) {
  const char *at = line;
  for (int field = 0; field < 3; ++field) {
    at = std::strchr(at, ' ');
    if (at == nullptr) return false;
    ++at;
  }
  char *end = nullptr;
  const unsigned long major = std::strtoul(at, &end, 16);
  if (*end != ':') return false;
  const unsigned long minor = std::strtoul(end + 1, &end, 16);
  if (*end != ' ') return false;
  const unsigned long inode = std::strtoul(end + 1, &end, 10);
  const auto device = static_cast<std::uint64_t>(file.st_dev);
  return major == device_major(device) && minor == device_minor(device) &&
         inode == static_cast<unsigned long>(file.st_ino);
}

// Whether a line of the memory map `maps` names the file. A line longer than
// the buffer comes in pieces; only a line's first piece holds the fields.
bool holds_mapped(const char *maps, const struct stat &file) {
  FILE *stream = std::fopen(maps, "r");
  if (stream == nullptr) return unreadable(errno);
  bool held = false, line_start = true;
  char piece[256];
  while (!held && std::fgets(piece, sizeof piece, stream) != nullptr) {
    held = line_start && maps_the_file(piece, file);
    line_start = std::strchr(piece, '\n') != nullptr;
  }
  std::fclose(stream);
  return held;
}

}  // namespace

bool file_in_use(const struct stat &file, const char *proc) {
  DIR *processes = opendir(proc);
  if (processes == nullptr) return true;
  char own[24];
  std::snprintf(own, sizeof own, "%ld", static_cast<long>(getpid()));
  bool held = false, seen_self = false;
  char folder[kPathBufferSize], fds[kPathBufferSize], maps[kPathBufferSize];
  for (const dirent *entry; !held && (entry = readdir(processes)) != nullptr;) {
    if (!is_number(entry->d_name)) continue;
    seen_self = seen_self || std::strcmp(entry->d_name, own) == 0;
    held = !join_path(folder, proc, entry->d_name) || !join_path(fds, folder, "fd") ||
           !join_path(maps, folder, "maps") || holds_open(fds, file) || holds_mapped(maps, file);
  }
  closedir(processes);
  // A process folder without this process in it is not the system's (not
  // mounted, say): what it lists tells nothing.
  return held || !seen_self;
}
