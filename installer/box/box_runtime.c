// SPDX-License-Identifier: GPL-2.0-or-later
// The box build's own start of the program and the C library calls that a
// box's C library (glibc 2.2 and 2.3) has under other names. Linked into
// kavro-install in place of the compiler's start files.
//
// The start: the C library's __libc_start_main of version GLIBC_2.0, the
// one every box has, with the PowerPC start block. An old C library runs
// only the init function the start block hands it, so the block hands it
// box_init, which runs the program's constructors itself (glibc 2.34 and
// later ignore it on PowerPC and run them on their own).
#include <stddef.h>

typedef void InitFunction(int argc, char **argv, char **envp);

struct StartBlock {
  void *small_data_base;
  int (*main)(int argc, char **argv, char **envp);
  void (*init)(int argc, char **argv, char **envp, void *auxv);
  void (*fini)(void);
};

extern char _SDA_BASE_[];
int main(int argc, char **argv, char **envp);

// The constructors, in the order the linker laid them out.
extern InitFunction *__preinit_array_start[] __attribute__((visibility("hidden")));
extern InitFunction *__preinit_array_end[] __attribute__((visibility("hidden")));
extern InitFunction *__init_array_start[] __attribute__((visibility("hidden")));
extern InitFunction *__init_array_end[] __attribute__((visibility("hidden")));

static void run_constructors(InitFunction **first, InitFunction **end, int argc, char **argv, char **envp) {
  for (InitFunction **f = first; f < end; ++f) (*f)(argc, argv, envp);
}

static void box_init(int argc, char **argv, char **envp, void *auxv) {
  (void)auxv;
  run_constructors(__preinit_array_start, __preinit_array_end, argc, argv, envp);
  run_constructors(__init_array_start, __init_array_end, argc, argv, envp);
}

// Destructors are left to the loader, which runs the program's finalizers
// on every C library version; a fini here would run them twice on the old.
__attribute__((used)) static const struct StartBlock box_start_block = {
    .small_data_base = _SDA_BASE_,
    .main = main,
    .init = box_init,
    .fini = NULL,
};

// The C library looks for this symbol in the program to tell it uses the
// stdio of glibc 2.1 and later; without it, stdin, stdout and stderr would be
// the old library's.
__attribute__((visibility("default"), used)) const int _IO_stdin_used = 0x20000;

// As the C library's own PowerPC start: keep the entry stack (r9) for the
// C library, align the stack and make the first frame, point r13 at the
// small data and r8 at the start block, and go on in the C library.
__asm__(
    "  .pushsection .text\n"
    "  .align 2\n"
    "  .globl _start\n"
    "  .type _start,@function\n"
    "_start:\n"
    "  mr 9,1\n"
    "  clrrwi 1,1,4\n"
    "  li 0,0\n"
    "  stwu 1,-16(1)\n"
    "  mtlr 0\n"
    "  stw 0,0(1)\n"
    "  lis 8,box_start_block@ha\n"
    "  addi 8,8,box_start_block@l\n"
    "  lwz 13,0(8)\n"
    "  b __libc_start_main\n"
    "  .size _start,.-_start\n"
    "  .popsection\n"
    "  .symver __libc_start_main,__libc_start_main@GLIBC_2.0\n");

// ------------------------------------------------------------- file status

// glibc 2.33 made stat64, lstat64 and fstat64 functions of their own; before
// that they were inline calls of __xstat64, __lxstat64 and __fxstat64 with
// the structure's version, which is what a box's C library has. The
// structure is the same in both.
struct stat64;
enum { STAT_VERSION_LINUX = 3 };
int __xstat64(int version, const char *path, struct stat64 *status);
int __lxstat64(int version, const char *path, struct stat64 *status);
int __fxstat64(int version, int descriptor, struct stat64 *status);

int stat64(const char *path, struct stat64 *status) { return __xstat64(STAT_VERSION_LINUX, path, status); }
int lstat64(const char *path, struct stat64 *status) { return __lxstat64(STAT_VERSION_LINUX, path, status); }
int fstat64(int descriptor, struct stat64 *status) { return __fxstat64(STAT_VERSION_LINUX, descriptor, status); }
