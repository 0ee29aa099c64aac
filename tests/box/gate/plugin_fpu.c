// SPDX-License-Identifier: GPL-2.0-or-later
// A plugin with hard-float code, as a toolchain for FPU cores makes it: the
// box gate's fpu row must name the words. Never run.
double plugin_scale(double value) {
  __asm__ volatile(
      ".long 0xfc21102a\n"  // fadd f1,f1,f2
      ".long 0xfc2100b2\n"  // fmul f1,f1,f2
      ::: "memory");
  return value;
}
