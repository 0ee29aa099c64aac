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
    .link = link,
    .mkdir = mkdir,
    .rename = rename,
    .rmdir = rmdir,
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
// where the file it replaces stands once that is gone (kInPlace), would fit
// but a process holds the old one, so that removing it frees nothing (kHeld),
// or does not fit, there is no old file or the file-size limit is below it
// (kNone). Of the free space, what the medium refused to write when the
// staged copy ran out of room does not count (JFFS2's reserve).
Room room_in_place(const StagedFile &file) {
  if (!within_size_limit(file.decoded)) return Room::kNone;
  struct stat old;
  if (lstat(file.replaced, &old) != 0 || !S_ISREG(old.st_mode)) return Room::kNone;
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

// The file staged again in the room of the old one, as a medium too small for
// two copies allows (the check pass has shown that it decodes). The old file
// is removed first, never written through: a second hard link keeps its
// bytes. When the new file cannot be written either, what was written is
// removed too, and one message says that the file is missing now and why; the
// messages of the staged attempt, still held, are not shown.
int write_in_place(StagedFile *file) {
  if (box_operations().unlink(file->replaced) != 0) {
    unpack::release_messages();
    return unpack_failed();
  }
  flush_folder_of(file->replaced);
  unpack::drop_messages();
  unpack::hold_messages();
  if (unpack_disk_file(file->name, file->staged, file->target) < 0) {
    const int error = unpack::output_error();
    if (error != 0)
      unpack::drop_messages();
    else
      unpack::release_messages();  // the disk failed: its messages say why
    box_operations().unlink(file->staged);
    flush_folder_of(file->staged);
    std::fprintf(stderr, texts::kMissingNowFormat, what_of(*file), file->target);
    if (error != 0) {
      errno = error;
      std::perror(texts::kReason);
    }
    return kExitUnpackFailed;
  }
  unpack::release_messages();
  if (box_operations().chmod(file->staged, file->mode) != 0) {
    std::perror(texts::kPermissionsFailed);
    box_operations().unlink(file->staged);
    return kExitSetupFailed;
  }
  box_operations().flush(file->staged);
  file->state = Staging::kStaged;
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
  std::snprintf(file->replaced, sizeof file->replaced, "%s", file->target);
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

int put_in_place(StagedFile *file) {
  if (file->state != Staging::kStaged) return kExitDone;
  if (box_operations().rename(file->staged, file->target) != 0) {
    discard_staged(file);
    return unpack_failed();
  }
  file->state = Staging::kInPlace;
  flush_folder_of(file->target);
  return kExitDone;
}

void discard_staged(StagedFile *file) {
  if (file->state != Staging::kStaged) return;
  box_operations().unlink(file->staged);
  file->state = Staging::kNothing;
}

namespace {

bool fits(int length) { return length > 0 && length < kPathBufferSize; }

const char *name_of(const char *path) {
  const char *slash = std::strrchr(path, '/');
  return slash != nullptr ? slash + 1 : path;
}

// The switch link ".STEM" and the two pair folders beside the plugin; false
// when a name does not fit.
bool name_pair(FilePair *pair) {
  const char *plugin = pair->plugin->target;
  const char *name = name_of(plugin);
  const char *dot = std::strrchr(name, '.');
  const int stem = static_cast<int>(dot != nullptr && dot != name ? dot - name : std::strlen(name));
  const int folder = static_cast<int>(name - plugin);
  bool named = fits(std::snprintf(pair->switch_link, kPathBufferSize, "%.*s.%.*s", folder, plugin, stem, name));
  for (int i = 0; i < 2; ++i)
    named = named && fits(std::snprintf(pair->folders[i], kPathBufferSize, "%s-%d", pair->switch_link, i + 1));
  return named;
}

// The text of the link a file's target is made: ".STEM/NAME" beside the
// switch link, its whole path elsewhere.
bool link_text_of(const FilePair &pair, const StagedFile &file, char *buffer) {
  char one[kPathBufferSize], other[kPathBufferSize];
  folder_of(pair.switch_link, one);
  folder_of(file.target, other);
  const char *to = std::strcmp(one, other) == 0 ? name_of(pair.switch_link) : pair.switch_link;
  return fits(std::snprintf(buffer, kPathBufferSize, "%s/%s", to, name_of(file.target)));
}

// Whether `path` is a link whose text is `text`.
bool links_to(const char *path, const char *text) {
  char read[kPathBufferSize];
  const ssize_t length = readlink(path, read, sizeof read - 1);
  if (length < 0) return false;
  read[length] = '\0';
  return std::strcmp(read, text) == 0;
}

bool is_pair_link(const FilePair &pair, const StagedFile &file) {
  char text[kPathBufferSize];
  return link_text_of(pair, file, text) && links_to(file.target, text);
}

bool in_folder(const char *folder, const StagedFile &file, char *buffer) {
  return fits(std::snprintf(buffer, kPathBufferSize, "%s/%s", folder, name_of(file.target)));
}

int current_folder(const FilePair &pair) {
  for (int i = 0; i < 2; ++i)
    if (links_to(pair.switch_link, name_of(pair.folders[i]))) return i;
  return -1;
}

// The folder the new pair is staged in: the one the switch link does not name.
int spare_folder(const FilePair &pair) { return pair.current == 1 ? 0 : 1; }

// Empties and removes a pair folder that is not shown (what a cut-off run
// left): true when nothing stands at its name any more.
bool clear_folder(const FilePair &pair, const char *folder) {
  struct stat st;
  if (lstat(folder, &st) != 0) return true;
  if (!S_ISDIR(st.st_mode)) return box_operations().unlink(folder) == 0;
  char inside[kPathBufferSize];
  for (const StagedFile *file : {pair.plugin, pair.config})
    if (in_folder(folder, *file, inside)) box_operations().unlink(inside);
  return box_operations().rmdir(folder) == 0;
}

// Makes the switch link name pair folder `index`, in one rename.
bool switch_to(FilePair *pair, int index) {
  char staged[kPathBufferSize];
  if (!staged_name(pair->switch_link, staged, sizeof staged)) return false;
  box_operations().unlink(staged);
  if (box_operations().symlink(name_of(pair->folders[index]), staged) != 0) return false;
  if (box_operations().rename(staged, pair->switch_link) != 0) {
    box_operations().unlink(staged);
    return false;
  }
  flush_folder_of(pair->switch_link);
  pair->current = index;
  return true;
}

bool is_plain_file(const char *path) {
  struct stat st;
  return lstat(path, &st) == 0 && S_ISREG(st.st_mode);
}

// An old pair whose names are plain files (an older installer's, or one the
// owner replaced) gets a second name in the pair folder the switch link
// names, made first when none is: then turning its names into links shows
// the same files.
bool take_in_plain_files(FilePair *pair) {
  const StagedFile *const files[] = {pair->plugin, pair->config};
  if (!is_plain_file(files[0]->target) && !is_plain_file(files[1]->target)) return true;
  const int index = pair->current >= 0 ? pair->current : 1 - spare_folder(*pair);
  const char *folder = pair->folders[index];
  if (box_operations().mkdir(folder, 0755) != 0 && errno != EEXIST) return false;
  char inside[kPathBufferSize];
  for (const StagedFile *file : files) {
    if (!is_plain_file(file->target)) continue;
    if (!in_folder(folder, *file, inside)) return false;
    box_operations().unlink(inside);
    if (box_operations().link(file->target, inside) != 0) return false;
  }
  box_operations().flush(folder);
  return pair->current == index || switch_to(pair, index);
}

// The folders of the pair's two names (one, as a rule) to the medium.
void flush_folders_of(const FilePair &pair) {
  char one[kPathBufferSize], other[kPathBufferSize];
  folder_of(pair.plugin->target, one);
  folder_of(pair.config->target, other);
  box_operations().flush(one);
  if (std::strcmp(one, other) != 0) box_operations().flush(other);
}

// Makes a target the link into the switch link, in one rename.
bool point_into_pair(const FilePair &pair, const StagedFile &file) {
  char text[kPathBufferSize], staged[kPathBufferSize];
  if (!link_text_of(pair, file, text) || !staged_name(file.target, staged, sizeof staged)) return false;
  box_operations().unlink(staged);
  if (box_operations().symlink(text, staged) != 0) return false;
  if (box_operations().rename(staged, file.target) == 0) return true;
  box_operations().unlink(staged);
  return false;
}

}  // namespace

int prepare_pair(FilePair *pair, StagedFile *plugin, StagedFile *config) {
  *pair = FilePair{.plugin = plugin, .config = config, .switch_link = "", .folders = {"", ""}, .current = -1};
  if (!name_pair(pair)) return unpack_failed();
  pair->current = current_folder(*pair);
  remove_staged(pair->switch_link);
  for (int i = 0; i < 2; ++i) {
    if (i == pair->current || clear_folder(*pair, pair->folders[i])) continue;
    const int error = errno;
    std::fprintf(stderr, texts::kStagedNameTakenFormat, pair->folders[i], what_of(*plugin));
    errno = error;
    std::perror(texts::kDoItYourself);
    return kExitUnpackFailed;
  }
  // Each name's link is made under the name's staged name.
  for (const StagedFile *file : {plugin, config})
    if (!staged_name_free(*file)) return kExitUnpackFailed;
  // A folder that cannot be made (no room, no plugins folder) is reported by
  // the staged write, which names the target.
  const char *folder = pair->folders[spare_folder(*pair)];
  box_operations().mkdir(folder, 0755);
  for (StagedFile *file : {plugin, config}) {
    if (!in_folder(folder, *file, file->staged)) return unpack_failed();
    if (pair->current >= 0 && is_pair_link(*pair, *file))
      in_folder(pair->folders[pair->current], *file, file->replaced);
  }
  return kExitDone;
}

int switch_pair(FilePair *pair) {
  StagedFile *const files[] = {pair->plugin, pair->config};
  box_operations().flush(pair->folders[spare_folder(*pair)]);
  bool pointed = take_in_plain_files(pair);
  for (const StagedFile *file : files) pointed = pointed && (is_pair_link(*pair, *file) || point_into_pair(*pair, *file));
  if (pointed) flush_folders_of(*pair);
  const int old = pair->current;
  if (!pointed || !switch_to(pair, spare_folder(*pair))) {
    discard_pair(pair);
    return unpack_failed();
  }
  for (StagedFile *file : files) file->state = Staging::kInPlace;
  if (old >= 0 && clear_folder(*pair, pair->folders[old])) flush_folder_of(pair->switch_link);
  return kExitDone;
}

void discard_pair(FilePair *pair) {
  for (StagedFile *file : {pair->plugin, pair->config}) file->state = Staging::kNothing;
  for (int i = 0; i < 2; ++i)
    if (i != pair->current) clear_folder(*pair, pair->folders[i]);
}

int install_file(const char *name, const char *target, mode_t mode) {
  StagedFile file{.name = name, .target = target, .mode = mode};
  int status = check_file(&file);
  if (status == kExitDone) status = stage_file(&file);
  return status != kExitDone ? status : put_in_place(&file);
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
