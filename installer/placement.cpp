// SPDX-License-Identifier: GPL-2.0-or-later
// File placement: clearing a path before a link is made there, and putting a
// file of the data disk or a link in place so that a failure, or a power cut
// at any moment, leaves either the old or the new one under the target's name.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "installer.h"
#include "texts.h"
#include "unpack.h"

namespace {

// Opens the file or folder read-only and flushes it (a folder: its entries).
int flush_path(const char *path) {
  const int fd = open(path, O_RDONLY);
  if (fd < 0) return -1;
  const int result = fsync(fd);
  const int error = errno;
  close(fd);
  errno = error;
  return result;
}

constexpr BoxOperations kLibcOperations{
    .chmod = chmod,
    .flush = flush_path,
    .rename = rename,
    .symlink = symlink,
    .unlink = unlink,
};
const BoxOperations *current_operations = &kLibcOperations;

// The folder `path` lies in, into `buffer` (at least kPathBufferSize bytes).
void folder_of(const char *path, char *buffer) {
  const char *slash = std::strrchr(path, '/');
  if (slash == nullptr) {
    std::strcpy(buffer, ".");
    return;
  }
  std::size_t length = static_cast<std::size_t>(slash - path);
  if (length == 0) length = 1;  // the root
  if (length >= kPathBufferSize) length = kPathBufferSize - 1;
  std::memcpy(buffer, path, length);
  buffer[length] = '\0';
}

void flush_folder_of(const char *path) {
  char folder[kPathBufferSize];
  folder_of(path, folder);
  box_operations().flush(folder);
}

// The staged name of `target` (".NAME.new" in the same folder) into `buffer`;
// false when it does not fit.
bool staged_name(const char *target, char *buffer, std::size_t size) {
  const char *slash = std::strrchr(target, '/');
  const int folder = slash != nullptr ? static_cast<int>(slash - target + 1) : 0;
  const int n = std::snprintf(buffer, size, "%.*s.%s.new", folder, target, target + folder);
  return n > 0 && static_cast<std::size_t>(n) < size;
}

int unpack_failed() {
  std::fputs(texts::kUnpackFailed, stderr);
  return kExitUnpackFailed;
}

// A medium or a quota too full for a second copy. A file-size limit (EFBIG)
// is a lack of space too, but it binds the file in place as much as staged:
// it gets no second attempt.
bool lack_of_space(int error) { return error == ENOSPC || error == EDQUOT; }

// What removing the old file gives back to the medium: nothing while another
// name still holds it; else its blocks, but never more than its length (a
// sparse file has fewer blocks than its length says, any other file a few
// bytes more).
std::uint64_t freed_by_removal(const struct stat &old) {
  if (old.st_nlink > 1) return 0;
  const std::uint64_t blocks = static_cast<std::uint64_t>(old.st_blocks) * 512;
  const std::uint64_t length = static_cast<std::uint64_t>(old.st_size);
  return blocks < length ? blocks : length;
}

// Whether the file-size limit lets the whole file be written: a write past
// it fails with EFBIG, after the old file would have been removed.
bool within_size_limit(std::uint32_t decoded) {
  struct rlimit limit;
  if (getrlimit(RLIMIT_FSIZE, &limit) != 0) return false;
  return limit.rlim_cur == RLIM_INFINITY || decoded <= limit.rlim_cur;
}

enum class Room { kNone, kInPlace, kHeld };

// The free space statfs reports for the folder of `path`, in bytes, its
// block size and the whole report; false when it cannot be read.
bool free_space(const char *path, std::uint64_t *free, std::uint32_t *block, struct statfs *medium) {
  char folder[kPathBufferSize];
  folder_of(path, folder);
  if (statfs(folder, medium) != 0) return false;
  *block = medium->f_bsize > 0 ? static_cast<std::uint32_t>(medium->f_bsize) : 1;
  *free = static_cast<std::uint64_t>(medium->f_bavail) * *block;
  return true;
}

// JFFS2 counts as free the dirty space its garbage collection wins back only
// while it keeps a reserve: a write fails once less than an erase block and
// 1 % of the flash is left dirty, whatever statfs reports. Its erase block is
// not told; 128 KiB is the largest of the boxes' flashes.
constexpr long kJffs2Magic = 0x72b6;
constexpr std::uint64_t kLargestEraseBlock = 128 * 1024;

// What the medium of `path` reports free but will not write, right after a
// write ran out of room: on JFFS2 what statfs still reports then, and never
// less than its reserve; 0 on media whose statfs tells the truth. False when
// statfs cannot be read.
bool measure_unwritable(const char *path, std::uint64_t *unwritable) {
  std::uint32_t block = 1;
  struct statfs medium;
  if (!free_space(path, unwritable, &block, &medium)) return false;
  if (static_cast<long>(medium.f_type) != kJffs2Magic) {
    *unwritable = 0;
    return true;
  }
  // A division of 32 bits: the boxes' code has no 64-bit division of its own.
  const std::uint32_t hundredth = static_cast<std::uint32_t>(medium.f_blocks) / 100;
  const std::uint64_t reserve = kLargestEraseBlock + std::uint64_t{hundredth} * block;
  if (*unwritable < reserve) *unwritable = reserve;
  return true;
}

// Whether the file, `decoded` bytes long in whole blocks of the medium, fits
// where its old target stands once that is gone (kInPlace), would fit but a
// process holds the old one, so that removing it frees nothing (kHeld), or
// does not fit, there is no old file or the file-size limit is below it
// (kNone). Of the free space, what the medium refused to write when the
// staged copy ran out of room does not count (JFFS2's reserve).
Room room_in_place(const StagedFile &file) {
  if (!within_size_limit(file.decoded)) return Room::kNone;
  struct stat old;
  if (lstat(file.target, &old) != 0 || !S_ISREG(old.st_mode)) return Room::kNone;
  std::uint64_t reported = 0;
  std::uint32_t block = 1;
  struct statfs medium;
  if (!free_space(file.target, &reported, &block, &medium)) return Room::kNone;
  // Divisions of 32 bits: the boxes' code has no 64-bit division of its own.
  const std::uint32_t decoded = file.decoded;
  const std::uint64_t needed = std::uint64_t{decoded / block + (decoded % block != 0 ? 1u : 0u)} * block;
  const std::uint64_t free = reported > file.unwritable ? reported - file.unwritable : 0;
  if (needed <= free) return Room::kInPlace;
  if (needed > free + freed_by_removal(old)) return Room::kNone;
  return file_in_use(old, kProcDir) ? Room::kHeld : Room::kInPlace;
}

const char *what_of(const StagedFile &file) { return file.what != nullptr ? file.what : texts::kFileWhat; }

// The file written where its old target stood, as a medium too small for two
// copies allows (the check pass has shown that it decodes). The old file is
// removed first, never written through: a second hard link keeps its bytes.
// When the new file cannot be written either, what was written is removed
// too, and one message says that the file is missing now and why; the
// messages of the staged attempt, still held, are not shown.
int write_in_place(StagedFile *file) {
  if (box_operations().unlink(file->target) != 0) {
    unpack::release_messages();
    return unpack_failed();
  }
  unpack::drop_messages();
  unpack::hold_messages();
  file->state = Staging::kInPlace;
  if (unpack_disk_file(file->name, file->target) < 0) {
    const int error = unpack::output_error();
    if (error != 0)
      unpack::drop_messages();
    else
      unpack::release_messages();  // the disk failed: its messages say why
    box_operations().unlink(file->target);
    flush_folder_of(file->target);
    std::fprintf(stderr, texts::kMissingNowFormat, what_of(*file), file->target);
    if (error != 0) {
      errno = error;
      std::perror(texts::kReason);
    }
    return kExitUnpackFailed;
  }
  unpack::release_messages();
  if (box_operations().chmod(file->target, file->mode) != 0) {
    std::perror(texts::kPermissionsFailed);
    return kExitSetupFailed;
  }
  box_operations().flush(file->target);
  flush_folder_of(file->target);
  return kExitDone;
}

// Clears the staged name of what a cut-off run left there. False, after a
// message naming it and why, when something stands there that cannot be
// removed (a folder): nothing can be staged then.
bool staged_name_free(const StagedFile &file) {
  struct stat st;
  if (lstat(file.staged, &st) != 0 || box_operations().unlink(file.staged) == 0) return true;
  const int error = errno;
  std::fprintf(stderr, texts::kStagedNameTakenFormat, file.staged, what_of(file));
  errno = error;
  std::perror(texts::kDoItYourself);
  return false;
}

}  // namespace

const BoxOperations &box_operations() { return *current_operations; }
const BoxOperations &libc_box_operations() { return kLibcOperations; }
void set_box_operations(const BoxOperations *table) {
  current_operations = table != nullptr ? table : &kLibcOperations;
}

int remove_path(const char *path) {
  struct stat st;
  if (lstat(path, &st) != 0) return -1;
  if (S_ISDIR(st.st_mode)) return rmdir(path);
  return unlink(path);
}

void remove_staged(const char *target) {
  char staged[kPathBufferSize];
  if (staged_name(target, staged, sizeof staged)) box_operations().unlink(staged);
}

int check_file(StagedFile *file) {
  file->state = Staging::kNothing;
  if (!staged_name(file->target, file->staged, sizeof file->staged) || check_disk_file(file->name, &file->decoded) < 0)
    return unpack_failed();
  return kExitDone;
}

// The staged attempt holds its messages back, for a lack of space may be
// followed by the write in place, whose messages are then the ones shown.
int stage_file(StagedFile *file) {
  file->state = Staging::kNothing;
  if (!staged_name_free(*file)) return kExitUnpackFailed;
  unpack::hold_messages();
  const bool written = unpack_disk_file(file->name, file->staged, file->target) >= 0;
  int error = written ? 0 : unpack::output_error();
  if (written) {
    unpack::release_messages();
    if (box_operations().chmod(file->staged, file->mode) != 0) {
      std::perror(texts::kPermissionsFailed);
      box_operations().unlink(file->staged);
      return kExitSetupFailed;
    }
    if (box_operations().flush(file->staged) == 0) {
      file->state = Staging::kStaged;
      return kExitDone;
    }
    error = errno;
  }
  if (lack_of_space(error) && !measure_unwritable(file->staged, &file->unwritable)) error = 0;
  box_operations().unlink(file->staged);
  switch (lack_of_space(error) ? room_in_place(*file) : Room::kNone) {
    case Room::kInPlace:
      return write_in_place(file);
    case Room::kHeld:
      unpack::drop_messages();
      std::fprintf(stderr, texts::kInUseFormat, what_of(*file), file->target);
      return kExitUnpackFailed;
    case Room::kNone:
      break;
  }
  unpack::release_messages();
  return unpack_failed();
}

int put_in_place(StagedFile *first, StagedFile *second) {
  StagedFile *const files[] = {first, second};
  for (StagedFile *file : files) {
    if (file == nullptr || file->state != Staging::kStaged) continue;
    if (box_operations().rename(file->staged, file->target) != 0) {
      for (StagedFile *left : files)
        if (left != nullptr) discard_staged(left);
      return unpack_failed();
    }
    file->state = Staging::kInPlace;
  }
  flush_folder_of(first->target);
  if (second != nullptr) {
    char one[kPathBufferSize], other[kPathBufferSize];
    folder_of(first->target, one);
    folder_of(second->target, other);
    if (std::strcmp(one, other) != 0) box_operations().flush(other);
  }
  return kExitDone;
}

void discard_staged(StagedFile *file) {
  if (file->state != Staging::kStaged) return;
  box_operations().unlink(file->staged);
  file->state = Staging::kNothing;
}

int install_file(const char *name, const char *target, mode_t mode) {
  StagedFile file{.name = name, .target = target, .mode = mode};
  int status = check_file(&file);
  if (status == kExitDone) status = stage_file(&file);
  return status != kExitDone ? status : put_in_place(&file, nullptr);
}

// Where a folder stands at the link's name, no link can be renamed over it;
// then the link is made there as it always was, with the error that gives.
int replace_link(const char *target, const char *link) {
  char staged[kPathBufferSize];
  if (staged_name(link, staged, sizeof staged)) {
    box_operations().unlink(staged);
    if (box_operations().symlink(target, staged) != 0) return -1;
    if (box_operations().rename(staged, link) == 0) {
      flush_folder_of(link);
      return 0;
    }
    box_operations().unlink(staged);
  }
  remove_path(link);
  return box_operations().symlink(target, link);
}
