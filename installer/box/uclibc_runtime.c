// SPDX-License-Identifier: GPL-2.0-or-later
// The uClibc box build's own start of the program, and the layout of every
// C library structure the installer reads, checked against the one of the
// boxes' uClibc (0.9.28 to 0.9.30). Linked into kavro-install-uclibc in
// place of the C library's start files.
//
// The start: __uClibc_main(main, argc, argv, init, fini, loader's fini,
// stack), which every uClibc from 0.9.28 on exports with these arguments.
// What differs between the versions is left out:
//   - the loader's finalizer reaches the start in r7 under 0.9.28 and in r3
//     from 0.9.29 on, so no one register is right for both: the start hands
//     over none. exit() flushes the standard streams itself on every version;
//     what is lost is the finalizers of the libraries (FreeType's), which
//     keep nothing the installer needs;
//   - init and fini: 0.9.28 calls them only when the library was built with
//     constructor support, and 0.9.29 and later run the program's
//     .init_array after init. The start hands over neither; main is
//     box_main, which runs the program's constructors (kept out of
//     .init_array by installer/box/uclibc/constructors.ld) once, then main.
// 0.9.26 and 0.9.27 start programs through another function
// (__uClibc_start_main, with another argument list) that 0.9.28 and later do
// not export: a program names one or the other.
#include <dirent.h>
#include <stddef.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <termios.h>

typedef void Constructor(int argc, char **argv, char **envp);

int main(int argc, char **argv, char **envp);

extern Constructor *box_constructors_start[] __attribute__((visibility("hidden")));
extern Constructor *box_constructors_end[] __attribute__((visibility("hidden")));

// The constructors in the order the linker laid them out (.preinit_array,
// then .init_array by priority), then main; errno as main expects it.
__attribute__((used)) static int box_main(int argc, char **argv, char **envp) {
  for (Constructor **c = box_constructors_start; c < box_constructors_end; ++c) (*c)(argc, argv, envp);
  errno = 0;
  return main(argc, argv, envp);
}

// As uClibc's own PowerPC start: keep the entry stack (r9) for the C
// library, align the stack and make the first frame, point r13 at the small
// data, and go on in the C library with argc (r4) and argv (r5) from the
// entry stack.
__asm__(
    "  .pushsection .text\n"
    "  .align 2\n"
    "  .globl _start\n"
    "  .type _start,@function\n"
    "_start:\n"
    "  mr 9,1\n"
    "  clrrwi 1,1,4\n"
    "  lis 13,_SDA_BASE_@ha\n"
    "  addi 13,13,_SDA_BASE_@l\n"
    "  li 0,0\n"
    "  stwu 1,-16(1)\n"
    "  mtlr 0\n"
    "  stw 0,0(1)\n"
    "  lwz 4,0(9)\n"
    "  addi 5,9,4\n"
    "  lis 3,box_main@ha\n"
    "  addi 3,3,box_main@l\n"
    "  li 6,0\n"
    "  li 7,0\n"
    "  li 8,0\n"
    "  b __uClibc_main\n"
    "  .size _start,.-_start\n"
    "  .popsection\n");

// ------------------------------------------------------ the boxes' layout

// Sizes and offsets of the structures the installer reads, as the boxes'
// uClibc (0.9.28 to 0.9.30, 32-bit PowerPC, 32-bit file offsets) lays them
// out: its bits/stat.h, bits/dirent.h, bits/statfs.h, bits/resource.h and
// PowerPC bits/termios.h, and the numbers of the calls' arguments. A C
// library to build against that differs fails here, not on a box.
#define FIELD(type, field, offset, size)                                       \
  _Static_assert(offsetof(type, field) == (offset), #type "." #field);         \
  _Static_assert(sizeof(((type *)0)->field) == (size), #type "." #field)

// Every field the installer reads: the type of file, its links, length and
// blocks, and the device and inode that find a process holding it.
_Static_assert(sizeof(struct stat) == 88, "struct stat");
FIELD(struct stat, st_dev, 0, 8);
FIELD(struct stat, st_ino, 12, 4);
FIELD(struct stat, st_mode, 16, 4);
FIELD(struct stat, st_nlink, 20, 4);
FIELD(struct stat, st_size, 44, 4);
FIELD(struct stat, st_blocks, 52, 4);

_Static_assert(sizeof(struct rlimit) == 8, "struct rlimit");
FIELD(struct rlimit, rlim_cur, 0, 4);
_Static_assert(RLIMIT_FSIZE == 1, "RLIMIT_FSIZE");
_Static_assert(RLIM_INFINITY == 0xffffffffUL, "RLIM_INFINITY");
_Static_assert(LOCK_EX == 2 && LOCK_NB == 4, "flock operations");

FIELD(struct dirent, d_name, 11, 256);
_Static_assert(sizeof(struct dirent) == 268, "struct dirent");

// Only up to f_namelen: the later fields (f_frsize, f_flags) are newer.
_Static_assert(sizeof(struct statfs) == 64, "struct statfs");
FIELD(struct statfs, f_type, 0, 4);
FIELD(struct statfs, f_bsize, 4, 4);
FIELD(struct statfs, f_blocks, 8, 4);
FIELD(struct statfs, f_bavail, 16, 4);
_Static_assert(offsetof(struct statfs, f_namelen) == 36, "statfs.f_namelen");

_Static_assert(NCCS == 32, "termios NCCS");
_Static_assert(sizeof(struct termios) == 60, "struct termios");
FIELD(struct termios, c_lflag, 12, 4);
_Static_assert(offsetof(struct termios, c_cc) == 17, "termios.c_cc");
