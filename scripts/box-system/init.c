// SPDX-License-Identifier: GPL-2.0-or-later
/*
 * init.c -- the first program of the emulated box (/init of the kernel's
 * built-in initramfs, see scripts/box-kernel.sh).
 *
 * It makes the box's file systems, unpacks the payload the host placed in
 * the machine's memory, puts the flash in place as /var and hands over to
 * the payload's /sbin/box-init on the serial line:
 *
 *   1. devtmpfs on /dev, proc on /proc, sysfs on /sys, a tmpfs on /tmp;
 *   2. reads the boot header at the end of the kernel's RAM (the device
 *      tree's memory node says where that is) through /dev/mem;
 *   3. unpacks the payload (a newc cpio) into /;
 *   4. registers the flash with phram over its part of the memory (qemu
 *      keeps that memory in a file, so what JFFS2 writes there survives a
 *      power cut) and mounts it as JFFS2 on /var;
 *   5. runs /sbin/box-init as a session leader with /dev/ttyS0 as its
 *      controlling terminal and standard input, output and error.
 *
 * On success it prints one line starting "init: ready"; when a step fails,
 * one line "init: REASON" and the machine is reset, which ends qemu (it
 * runs with -no-reboot).
 *
 * The boot header (big-endian 32-bit words, written by machine.py):
 *   "KAVROBOX", version (1), flash address, flash size, erase block size,
 *   payload address, payload size.
 *
 * The emulated 405 has no FPU and qemu stops at the first floating-point
 * instruction, so this is built without any C library (syscall.h) and
 * without floating point.
 */

#include <linux/mman.h>
#include <linux/stat.h>
#include <linux/time.h>

#include "syscall.h"

/* ----------------------------------------------------------------- output */

static int same(const void *a, const void *b, size_t n)
{
	const unsigned char *x = a, *y = b;

	while (n--)
		if (*x++ != *y++)
			return 0;
	return 1;
}

static size_t length(const char *s)
{
	size_t n = 0;

	while (s[n])
		n++;
	return n;
}

/* The line being written: built up, then written at once so that it is not
 * mixed with the kernel's own messages. */
static char line[512];
static size_t line_used;

static void put(const char *s)
{
	while (*s && line_used < sizeof line - 2)
		line[line_used++] = *s++;
}

static void put_number(unsigned long v, unsigned base, int width)
{
	char digits[16];
	int n = 0;

	do {
		digits[n++] = "0123456789abcdef"[v % base];
		v /= base;
	} while (v || n < width);
	if (base == 16)
		put("0x");
	while (n && line_used < sizeof line - 2)
		line[line_used++] = digits[--n];
}

static void put_seconds(const struct timespec *t)
{
	put_number((unsigned long)t->tv_sec, 10, 1);
	put(".");
	put_number((unsigned long)t->tv_nsec / 1000000, 10, 3);
	put(" s");
}

static void end_line(void)
{
	line[line_used++] = '\n';
	sys3(__NR_write, 2, line, line_used);
	line_used = 0;
}

static const char *error_name(long e)
{
	switch (e) {
	case -1: return "EPERM";
	case -2: return "ENOENT";
	case -5: return "EIO";
	case -12: return "ENOMEM";
	case -13: return "EACCES";
	case -16: return "EBUSY";
	case -17: return "EEXIST";
	case -19: return "ENODEV";
	case -20: return "ENOTDIR";
	case -22: return "EINVAL";
	case -28: return "ENOSPC";
	}
	return 0;
}

/* Prints "init: WHAT: ERROR" and resets the machine. */
static void __attribute__((noreturn)) fail(const char *what, const char *object, long error)
{
	const char *name = error_name(error);

	put("init: ");
	put(what);
	if (object) {
		put(" ");
		put(object);
	}
	if (error) {
		put(": ");
		if (name)
			put(name);
		else {
			put("error ");
			put_number((unsigned long)-error, 10, 1);
		}
	}
	end_line();
	reset_machine();
}

static void check(long result, const char *what, const char *object)
{
	if (result < 0)
		fail(what, object, result);
}

/* ---------------------------------------------------------- file systems */

static void mount_on(const char *type, const char *dir, const char *source)
{
	long r = sys2(__NR_mkdir, dir, 0755);

	if (r < 0 && r != -17)
		fail("cannot make", dir, r);
	check(sys5(__NR_mount, source, dir, type, 0, 0), "cannot mount on", dir);
}

static void write_file(const char *path, const char *text)
{
	long fd = sys2(__NR_open, path, O_WRONLY);
	long r;

	check(fd, "cannot open", path);
	r = sys3(__NR_write, fd, text, length(text));
	check(r, "cannot write", path);
	sys1(__NR_close, fd);
}

/* ----------------------------------------------------------------- memory */

static u32 read_word_file(const char *path, int index)
{
	u32 words[4];
	long fd = sys2(__NR_open, path, O_RDONLY);
	long n;

	check(fd, "cannot open", path);
	n = sys3(__NR_read, fd, words, sizeof words);
	check(n, "cannot read", path);
	sys1(__NR_close, fd);
	if (n < (long)((index + 1) * sizeof(u32)))
		fail("too short:", path, 0);
	return words[index];
}

/* Maps LENGTH bytes of physical memory from ADDRESS (page-aligned). */
static const unsigned char *map_memory(long mem, u32 address, u32 size)
{
	long p = syscall6(__NR_mmap2, 0, (long)size, PROT_READ, MAP_SHARED, mem, (long)(address >> 12));

	if (p < 0 && p > -4096)
		fail("cannot map /dev/mem", 0, p);
	return (const unsigned char *)p;
}

static u32 word(const unsigned char *p)
{
	return (u32)p[0] << 24 | (u32)p[1] << 16 | (u32)p[2] << 8 | p[3];
}

/* ------------------------------------------------------------------- cpio */

static u32 hex_field(const unsigned char *p)
{
	u32 v = 0;
	int i;

	for (i = 0; i < 8; i++) {
		unsigned c = p[i];

		if (c >= '0' && c <= '9')
			c -= '0';
		else if (c >= 'a' && c <= 'f')
			c -= 'a' - 10;
		else if (c >= 'A' && c <= 'F')
			c -= 'A' - 10;
		else
			fail("bad number in the payload's cpio headers", 0, 0);
		v = v << 4 | c;
	}
	return v;
}

static u32 align4(u32 n)
{
	return (n + 3) & ~3u;
}

/* Unpacks the newc cpio archive at DATA (SIZE bytes) into /; returns the
 * number of entries. Regular files, directories, symbolic links and device
 * nodes; modes and owners as in the archive. */
static u32 unpack(const unsigned char *data, u32 size)
{
	static char path[4096], target[4096];
	u32 at = 0, entries = 0;

	for (;;) {
		const unsigned char *h = data + at;
		u32 mode, uid, gid, filesize, rmajor, rminor, namesize, i;
		const char *name;
		long r;

		if (size - at < 110 || h[0] != '0' || h[1] != '7' || h[2] != '0' || h[3] != '7' ||
		    h[4] != '0' || h[5] != '1')
			fail("the payload is not a newc cpio archive", 0, 0);
		mode = hex_field(h + 14);
		uid = hex_field(h + 22);
		gid = hex_field(h + 30);
		filesize = hex_field(h + 54);
		rmajor = hex_field(h + 78);
		rminor = hex_field(h + 86);
		namesize = hex_field(h + 94);
		if (namesize < 2 || namesize > sizeof path - 2 || size - at - 110 < namesize)
			fail("bad name in the payload", 0, 0);
		name = (const char *)h + 110;
		at = align4(at + 110 + namesize);
		if (at > size || size - at < filesize)
			fail("the payload is cut short", 0, 0);
		if (name[namesize - 1] != 0)
			fail("bad name in the payload", 0, 0);
		if (namesize == 11 && same(name, "TRAILER!!!", 11))
			return entries;
		while (name[0] == '.' && name[1] == '/')
			name += 2;
		while (name[0] == '/')
			name++;
		path[0] = '/';
		for (i = 0; name[i]; i++)
			path[i + 1] = name[i];
		path[i + 1] = 0;
		if (name[0] && !(name[0] == '.' && !name[1])) {
			switch (mode & S_IFMT) {
			case S_IFDIR:
				r = sys2(__NR_mkdir, path, mode & 07777);
				if (r == -17)
					r = sys2(__NR_chmod, path, mode & 07777);
				check(r, "cannot make", path);
				break;
			case S_IFREG: {
				long fd = sys3(__NR_open, path, O_WRONLY | O_CREAT | O_TRUNC, mode & 07777);
				u32 done = 0;

				check(fd, "cannot create", path);
				while (done < filesize) {
					r = sys3(__NR_write, fd, data + at + done, filesize - done);
					check(r, "cannot write", path);
					done += (u32)r;
				}
				sys1(__NR_close, fd);
				check(sys2(__NR_chmod, path, mode & 07777), "cannot set the mode of", path);
				break;
			}
			case S_IFLNK:
				if (filesize >= sizeof target)
					fail("link too long:", path, 0);
				for (i = 0; i < filesize; i++)
					target[i] = (char)data[at + i];
				target[i] = 0;
				check(sys2(__NR_symlink, target, path), "cannot make the link", path);
				break;
			case S_IFCHR:
			case S_IFBLK:
			case S_IFIFO:
				check(sys4(__NR_mknodat, AT_FDCWD, path, mode,
					   (rmajor & 0xfff) << 8 | (rminor & 0xff) | (rminor & ~0xffu) << 12),
				      "cannot make the node", path);
				break;
			default:
				fail("unknown kind of file in the payload:", path, 0);
			}
			if (uid || gid)
				check(sys3(__NR_lchown, path, uid, gid), "cannot set the owner of", path);
			entries++;
		}
		at = align4(at + filesize);
	}
}

/* ------------------------------------------------------------------- main */

static void format_phram(char *out, u32 address, u32 size, u32 erase)
{
	line_used = 0;
	put("var,");
	put_number(address, 16, 1);
	put(",");
	put_number(size, 16, 1);
	put(",");
	put_number(erase, 16, 1);
	line[line_used] = 0;
	for (u32 i = 0; i <= line_used; i++)
		out[i] = line[i];
	line_used = 0;
}

static void now(struct timespec *t)
{
	sys2(__NR_clock_gettime, CLOCK_MONOTONIC, t);
}

static void subtract(struct timespec *a, const struct timespec *b)
{
	a->tv_sec -= b->tv_sec;
	a->tv_nsec -= b->tv_nsec;
	if (a->tv_nsec < 0) {
		a->tv_nsec += 1000000000;
		a->tv_sec--;
	}
}

void start(void) __attribute__((noreturn, used));
void start(void)
{
	static char phram[64];
	static char *const argv[] = { "/sbin/box-init", 0 };
	static char *const envp[] = { "PATH=/sbin:/bin:/usr/sbin:/usr/bin", "HOME=/", "TERM=vt100", 0 };
	const unsigned char *header, *payload;
	u32 base, flash, flash_size, erase, payload_at, payload_size, entries;
	struct timespec t0, t1;
	long mem, tty;

	sys1(__NR_umask, 0);
	mount_on("devtmpfs", "/dev", "devtmpfs");
	mount_on("proc", "/proc", "proc");
	mount_on("sysfs", "/sys", "sysfs");
	mount_on("tmpfs", "/tmp", "tmpfs");

	/* The header lies where the kernel's RAM ends. */
	base = read_word_file("/sys/firmware/devicetree/base/memory/reg", 0) +
	       read_word_file("/sys/firmware/devicetree/base/memory/reg", 1);
	mem = sys2(__NR_open, "/dev/mem", O_RDONLY | O_SYNC);
	check(mem, "cannot open", "/dev/mem");
	header = map_memory(mem, base, 4096);
	if (!same(header, "KAVROBOX", 8) || word(header + 8) != 1)
		fail("no boot header where the kernel's RAM ends (was the payload set?)", 0, 0);
	flash = word(header + 12);
	flash_size = word(header + 16);
	erase = word(header + 20);
	payload_at = word(header + 24);
	payload_size = word(header + 28);
	if ((payload_at & 4095) || !flash_size || !erase || flash_size % erase)
		fail("bad boot header", 0, 0);

	payload = map_memory(mem, payload_at, (payload_size + 4095) & ~4095u);
	entries = unpack(payload, payload_size);
	sys2(__NR_munmap, payload, (payload_size + 4095) & ~4095u);
	sys2(__NR_munmap, header, 4096);
	sys1(__NR_close, mem);

	format_phram(phram, flash, flash_size, erase);
	write_file("/sys/module/phram/parameters/phram", phram);
	now(&t0);
	mount_on("jffs2", "/var", "mtd:var");
	now(&t1);
	subtract(&t1, &t0);

	put("init: ready: payload of ");
	put_number(entries, 10, 1);
	put(" files, /var a JFFS2 of ");
	put_number(flash_size >> 10, 10, 1);
	put(" KiB mounted in ");
	put_seconds(&t1);
	put(", at ");
	now(&t0);
	put_seconds(&t0);
	put(" since boot");
	end_line();

	check(sys0(__NR_setsid), "cannot start a session", 0);
	tty = sys2(__NR_open, "/dev/ttyS0", O_RDWR);
	check(tty, "cannot open", "/dev/ttyS0");
	for (int fd = 0; fd < 3; fd++)
		check(sys2(__NR_dup2, tty, fd), "cannot use", "/dev/ttyS0");
	if (tty > 2)
		sys1(__NR_close, tty);
	fail("cannot run", argv[0], sys3(__NR_execve, argv[0], argv, envp));
}
