// SPDX-License-Identifier: GPL-2.0-or-later
/*
 * smoke_init.c -- /sbin/box-init of the emulated box's smoke test
 * (smoke_test.py): shows what the box found on its flash, writes the next
 * boot's number there, prints the flash's room and "ready".
 *
 *   found: nothing | found: boot N
 *   df /var: BLOCKS KiB, AVAIL KiB free
 *   ready
 *
 * After the first boot it waits (for the power cut); after a later one it
 * resets the machine, which ends qemu.
 */
#include "syscall.h"

#include <asm/statfs.h>

static char line[256];
static size_t used;

static void put(const char *s)
{
	while (*s && used < sizeof line - 1)
		line[used++] = *s++;
}

static void put_number(unsigned long v)
{
	char digits[12];
	int n = 0;

	do
		digits[n++] = (char)('0' + v % 10);
	while ((v /= 10) != 0);
	while (n)
		line[used++] = digits[--n];
}

static void end_line(void)
{
	line[used++] = '\n';
	sys3(__NR_write, 1, line, used);
	used = 0;
}

static void fail(const char *what)
{
	put("smoke: ");
	put(what);
	end_line();
	reset_machine();
}

void start(void) __attribute__((noreturn, used));
void start(void)
{
	static char old[64];
	struct statfs fs;
	unsigned long boot = 0;
	long fd = sys2(__NR_open, "/var/smoke", O_RDONLY), n = 0;

	if (fd >= 0) {
		n = sys3(__NR_read, fd, old, sizeof old - 1);
		sys1(__NR_close, fd);
	}
	if (n > 5 && n < (long)sizeof old) {
		old[n] = 0;
		put("found: ");
		put(old);
		for (long i = 5; i < n && old[i] >= '0' && old[i] <= '9'; i++)
			boot = boot * 10 + (unsigned long)(old[i] - '0');
	} else
		put("found: nothing");
	end_line();
	boot++;

	put("boot ");
	put_number(boot);
	fd = sys3(__NR_open, "/var/smoke", O_WRONLY | O_CREAT | O_TRUNC, 0644);
	if (fd < 0 || sys3(__NR_write, fd, line, used) != (long)used || sys1(__NR_fsync, fd) < 0)
		fail("cannot write /var/smoke");
	sys1(__NR_close, fd);
	used = 0;

	if (sys2(__NR_statfs, "/var", &fs) < 0)
		fail("cannot statfs /var");
	put("df /var: ");
	put_number((unsigned long)fs.f_blocks * fs.f_bsize / 1024);
	put(" KiB, ");
	put_number((unsigned long)fs.f_bavail * fs.f_bsize / 1024);
	put(" KiB free");
	end_line();
	put("ready");
	end_line();
	if (boot == 1)
		for (;;)
			sys0(__NR_pause);
	reset_machine();
}
