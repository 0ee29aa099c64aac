// SPDX-License-Identifier: GPL-2.0-or-later
// Code in a section not marked executable, which codedata.ld places between
// .text and .fini, inside the executable segment: a core runs it, but a
// disassembler that follows the section flags never reads it. Its words
// (isel, fadd) would fail two rows; the box gate must refuse the file
// instead, naming the section. Never run.
int hidden(int value);

__asm__(
    ".section .kavro_tables,\"a\"\n"
    ".globl hidden\n"
    ".type hidden,@function\n"
    "hidden:\n"
    ".long 0x7c6a205e\n"  // isel r3,r10,r4,1
    ".long 0xfc21102a\n"  // fadd f1,f1,f2
    "blr\n"
    ".previous\n");

int main(int argc, char **argv) {
  (void)argv;
  return hidden(argc);
}
