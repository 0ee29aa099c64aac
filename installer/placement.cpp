// SPDX-License-Identifier: GPL-2.0-or-later
// File placement: clearing a path before a link is made there, and installing
// one file of the data disk with its permission bits.
#include <cstdio>

#include <sys/stat.h>
#include <unistd.h>

#include "installer.h"
#include "texts.h"
#include "unpack.h"

int remove_path(const char *path) {
  struct stat st;
  if (lstat(path, &st) != 0) return -1;
  if (S_ISDIR(st.st_mode)) return rmdir(path);
  return unlink(path);
}

// The packed file is decoded once without writing before the target is
// touched: a damaged or missing file leaves the old target as it was.
int install_file(const char *name, const char *target, mode_t mode) {
  if (check_disk_file(name) < 0 || unpack_disk_file(name, target) < 0) {
    std::fputs(texts::kUnpackFailed, stderr);
    return kExitUnpackFailed;
  }
  if (chmod(target, mode) != 0) {
    std::perror(texts::kPermissionsFailed);
    return kExitSetupFailed;
  }
  return kExitDone;
}
