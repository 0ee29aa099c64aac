// SPDX-License-Identifier: GPL-2.0-or-later
// Instructions neither box core has, each a word the compiler would emit for
// another core: isel (e500, POWER7), vaddubm (AltiVec), ld (64-bit),
// popcntb (POWER5), lwsync and mfocrf (POWER4). Never run: the box gate
// must name every one.
int main(void) {
  __asm__ volatile(
      ".long 0x7c6a205e\n"  // isel r3,r10,r4,1
      ".long 0x10611000\n"  // vaddubm v3,v1,v2
      ".long 0xe8630000\n"  // ld r3,0(r3)
      ".long 0x7c6300f4\n"  // popcntb r3,r3
      ".long 0x7c2004ac\n"  // lwsync
      ".long 0x7c701026\n"  // mfocrf r3,1
      ::: "r3", "memory");
  return 0;
}
