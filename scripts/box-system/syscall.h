// SPDX-License-Identifier: GPL-2.0-or-later
/*
 * syscall.h -- system calls for the box's small programs that have no C
 * library (the first init, the smoke test's box-init): 32-bit PowerPC,
 * no floating point. Include it in one file of a program only: it defines
 * memcpy and memset, which the compiler may call.
 */
#ifndef KAVRO_BOX_SYSCALL_H
#define KAVRO_BOX_SYSCALL_H

#include <asm/unistd.h>
#include <linux/fcntl.h>
#include <linux/reboot.h>

typedef unsigned int u32;
typedef unsigned long size_t;

/* The kernel sets the summary-overflow bit of CR0 on an error and returns
 * the positive error number in r3: the result is -errno then. */
static long syscall6(long n, long a, long b, long c, long d, long e, long f)
{
	register long r0 __asm__("r0") = n;
	register long r3 __asm__("r3") = a;
	register long r4 __asm__("r4") = b;
	register long r5 __asm__("r5") = c;
	register long r6 __asm__("r6") = d;
	register long r7 __asm__("r7") = e;
	register long r8 __asm__("r8") = f;

	__asm__ __volatile__("sc\n\tbns+ 1f\n\tneg %1,%1\n1:"
			     : "+r"(r0), "+r"(r3), "+r"(r4), "+r"(r5), "+r"(r6), "+r"(r7), "+r"(r8)
			     :
			     : "memory", "cr0", "r9", "r10", "r11", "r12", "ctr", "xer");
	return r3;
}

#define sys0(n) syscall6(n, 0, 0, 0, 0, 0, 0)
#define sys1(n, a) syscall6(n, (long)(a), 0, 0, 0, 0, 0)
#define sys2(n, a, b) syscall6(n, (long)(a), (long)(b), 0, 0, 0, 0)
#define sys3(n, a, b, c) syscall6(n, (long)(a), (long)(b), (long)(c), 0, 0, 0)
#define sys4(n, a, b, c, d) syscall6(n, (long)(a), (long)(b), (long)(c), (long)(d), 0, 0)
#define sys5(n, a, b, c, d, e) syscall6(n, (long)(a), (long)(b), (long)(c), (long)(d), (long)(e), 0)

/* Resets the machine: qemu, run with -no-reboot, ends with status 0. */
static void __attribute__((noreturn)) reset_machine(void)
{
	sys0(__NR_sync);
	sys4(__NR_reboot, LINUX_REBOOT_MAGIC1, LINUX_REBOOT_MAGIC2, LINUX_REBOOT_CMD_RESTART, 0);
	for (;;)
		sys0(__NR_pause);
}

void *memcpy(void *dst, const void *src, size_t n)
{
	char *d = dst;
	const char *s = src;

	while (n--)
		*d++ = *s++;
	return dst;
}

void *memset(void *dst, int c, size_t n)
{
	char *d = dst;

	while (n--)
		*d++ = (char)c;
	return dst;
}

/* The kernel starts a program with the stack pointer on argc: a stack
 * frame with a null back chain, then start(void), which must not return. */
__asm__(".text\n"
	".globl _start\n"
	"_start:\n"
	"	clrrwi 1,1,4\n"
	"	li 0,0\n"
	"	stwu 1,-16(1)\n"
	"	stw 0,0(1)\n"
	"	b start\n");

#endif
