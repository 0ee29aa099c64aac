// SPDX-License-Identifier: GPL-2.0-or-later
// Floating point on cores without an FPU: a classic FPU word (fadd) and an
// SPE one (efsadd, the e500's). Never run: the box gate's fpu row must name
// both.
int main(void) {
  __asm__ volatile(
      ".long 0xfc21102a\n"  // fadd f1,f1,f2
      ".long 0x106112c0\n"  // efsadd r3,r1,r2
      ::: "r3", "memory");
  return 0;
}
