/* SPDX-License-Identifier: GPL-2.0-or-later */
/*
 * box-init -- the program the system box's first init hands over to, as
 * /sbin/box-init, with /var mounted from the flash and stdio on the serial
 * console. It runs the installer once, the way a box owner does at the
 * console, and tells the host what happened in lines it can parse:
 *
 *   @@box df before BLOCKS FREE AVAIL BSIZE     statfs of /var (in BSIZE units)
 *   @@box tree before                           then one line per thing of the
 *   PATH<TAB>TYPE<TAB>MODE<TAB>SIZE<TAB>LINK<TAB>CRC
 *                                               box's folders (names escaped;
 *                                               CRC: a file's CRC-32, hex)
 *   @@box end
 *   @@box holding PATH                          a child holds PATH open, mapped
 *   @@box run                                   the installer's screen follows
 *   @@box status N                              its exit status (128 + signal)
 *   @@box tree after ... @@box end, @@box df after ...
 *   @@box unmounted | @@box unmount failed: REASON
 *   @@box kernel: LINE                          the kernel's JFFS2 messages
 *   @@box halt                                  then the machine resets (the
 *                                               emulator ends on that)
 *
 * Its settings come from /.kavro-box/init, one a line:
 *   installer PATH   the program to run (without it only the trees and df)
 *   tty PATH         its terminal (default /dev/ttyS0, else /dev/console)
 *   env NAME=VALUE   its environment (repeatable)
 *   tree DIR         a folder of the box whose tree is shown (repeatable)
 *   hold PATH        a file a child holds open and mapped while it runs
 *
 * It must be free of floating point: the boxes' cores have no FPU.
 */
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/klog.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/reboot.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

enum { kMaxSettings = 64, kLineSize = 512 };

static char *installer;
static char *tty_path;
static char *hold_path;
static char *environment[kMaxSettings + 1];
static int environment_count;
static char *trees[kMaxSettings];
static int tree_count;

static void read_settings(const char *path) {
  FILE *file = fopen(path, "r");
  char line[kLineSize];
  if (file == NULL) {
    printf("@@box no settings: %s: %s\n", path, strerror(errno));
    return;
  }
  while (fgets(line, sizeof line, file) != NULL) {
    char *value;
    line[strcspn(line, "\n")] = '\0';
    value = strchr(line, ' ');
    if (value == NULL) continue;
    *value++ = '\0';
    value = strdup(value);
    if (strcmp(line, "installer") == 0) {
      installer = value;
    } else if (strcmp(line, "tty") == 0) {
      tty_path = value;
    } else if (strcmp(line, "hold") == 0) {
      hold_path = value;
    } else if (strcmp(line, "env") == 0 && environment_count < kMaxSettings) {
      environment[environment_count++] = value;
    } else if (strcmp(line, "tree") == 0 && tree_count < kMaxSettings) {
      trees[tree_count++] = value;
    } else {
      printf("@@box unknown setting: %s\n", line);
      free(value);
    }
  }
  fclose(file);
}

/* A name on one line: control characters and backslashes as C escapes. */
static void print_escaped(const char *name) {
  const unsigned char *c;
  for (c = (const unsigned char *)name; *c != '\0'; ++c) {
    switch (*c) {
      case '\\': fputs("\\\\", stdout); break;
      case '\n': fputs("\\n", stdout); break;
      case '\t': fputs("\\t", stdout); break;
      case '\r': fputs("\\r", stdout); break;
      default:
        if (*c < 0x20 || *c == 0x7f)
          printf("\\x%02x", *c);
        else
          putchar(*c);
    }
  }
}

static char type_of(mode_t mode) {
  if (S_ISDIR(mode)) return 'd';
  if (S_ISREG(mode)) return 'f';
  if (S_ISLNK(mode)) return 'l';
  if (S_ISFIFO(mode)) return 'p';
  if (S_ISSOCK(mode)) return 's';
  if (S_ISCHR(mode)) return 'c';
  return 'b';
}

/* The CRC-32 (as zlib's) of the file at PATH; 0 when it cannot be read. */
static unsigned long file_crc(const char *path) {
  static unsigned long table[256];
  static unsigned char buffer[4096];
  unsigned long crc = 0xffffffffUL;
  ssize_t n;
  int fd, i, k;
  if (table[1] == 0) {
    for (i = 0; i < 256; ++i) {
      unsigned long c = (unsigned long)i;
      for (k = 0; k < 8; ++k) c = (c & 1) ? 0xedb88320UL ^ (c >> 1) : c >> 1;
      table[i] = c;
    }
  }
  fd = open(path, O_RDONLY);
  if (fd < 0) return 0;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) {
    for (i = 0; i < n; ++i) crc = table[(crc ^ buffer[i]) & 0xff] ^ (crc >> 8);
  }
  close(fd);
  return crc ^ 0xffffffffUL;
}

/* One line for PATH (shown without its leading slash), then, for a folder,
 * each thing in it. Links are shown, never followed. */
static void print_entry(const char *path) {
  struct stat st;
  char link[kLineSize] = "";
  if (lstat(path, &st) != 0) return;
  if (S_ISLNK(st.st_mode)) {
    ssize_t n = readlink(path, link, sizeof link - 1);
    link[n > 0 ? n : 0] = '\0';
  }
  print_escaped(path + 1);
  printf("\t%c\t%o\t%lld\t", type_of(st.st_mode), (unsigned)(st.st_mode & 07777), (long long)st.st_size);
  print_escaped(link);
  printf("\t%08lx\n", S_ISREG(st.st_mode) ? file_crc(path) : 0UL);
  if (S_ISDIR(st.st_mode)) {
    DIR *dir = opendir(path);
    struct dirent *entry;
    if (dir == NULL) return;
    while ((entry = readdir(dir)) != NULL) {
      char *child;
      if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
      child = malloc(strlen(path) + strlen(entry->d_name) + 2);
      if (child == NULL) break;
      sprintf(child, "%s/%s", path, entry->d_name);
      print_entry(child);
      free(child);
    }
    closedir(dir);
  }
}

static void print_tree(const char *when) {
  int i;
  printf("@@box tree %s\n", when);
  for (i = 0; i < tree_count; ++i) print_entry(trees[i]);
  printf("@@box end\n");
  fflush(stdout);
}

/* The kernel's messages about the flash file system, from its log: on the
 * console they would break into the lines above, so they wait till here. */
static void print_kernel_messages(void) {
  static char log[65536];
  int n = klogctl(3, log, sizeof log - 1);
  char *line, *next;
  if (n <= 0) return;
  log[n] = '\0';
  for (line = log; *line != '\0'; line = next) {
    next = line + strcspn(line, "\n");
    if (*next != '\0') *next++ = '\0';
    if (strstr(line, "jffs2") != NULL || strstr(line, "JFFS2") != NULL) printf("@@box kernel: %s\n", line);
  }
}

static void print_df(const char *when) {
  struct statfs fs;
  if (statfs("/var", &fs) != 0) {
    printf("@@box df %s failed: %s\n", when, strerror(errno));
  } else {
    printf("@@box df %s %lu %lu %lu %lu\n", when, (unsigned long)fs.f_blocks, (unsigned long)fs.f_bfree,
           (unsigned long)fs.f_bavail, (unsigned long)fs.f_bsize);
  }
  fflush(stdout);
}

/* A child that holds PATH open and mapped, as a running menu holds its
 * plugin; 0 when none could be started. */
static pid_t hold(const char *path) {
  int ready[2];
  char answer = 0;
  pid_t child;
  if (pipe(ready) != 0) return 0;
  child = fork();
  if (child == 0) {
    struct stat st;
    int fd = open(path, O_RDONLY);
    close(ready[0]);
    if (fd >= 0 && fstat(fd, &st) == 0 &&
        mmap(NULL, st.st_size > 0 ? (size_t)st.st_size : 1, PROT_READ | PROT_EXEC, MAP_PRIVATE, fd, 0) != MAP_FAILED)
      answer = 1;
    if (write(ready[1], &answer, 1) != 1) _exit(1);
    close(ready[1]);
    for (;;) pause();
  }
  close(ready[1]);
  if (child < 0 || read(ready[0], &answer, 1) != 1 || answer != 1) {
    printf("@@box hold failed: %s\n", path);
    if (child > 0) {
      kill(child, SIGKILL);
      waitpid(child, NULL, 0);
    }
    child = 0;
  } else {
    printf("@@box holding %s\n", path);
  }
  close(ready[0]);
  fflush(stdout);
  return child;
}

/* The installer in /tmp, in a session of its own whose controlling terminal
 * is the serial line, so that the interrupt key reaches it; its exit status,
 * or 128 + the signal that ended it. */
static int run_installer(void) {
  int status = 0;
  pid_t child = fork();
  if (child < 0) return 125;
  if (child == 0) {
    const char *terminal = tty_path != NULL ? tty_path : "/dev/ttyS0";
    char *argv[2];
    int fd;
    setsid();
    fd = open(terminal, O_RDWR);
    if (fd < 0 && tty_path == NULL) fd = open(terminal = "/dev/console", O_RDWR);
    if (fd < 0 || ioctl(fd, TIOCSCTTY, 1) != 0) {
      printf("@@box no terminal %s: %s\n", terminal, strerror(errno));
      _exit(125);
    }
    dup2(fd, 0);
    dup2(fd, 1);
    dup2(fd, 2);
    if (fd > 2) close(fd);
    signal(SIGINT, SIG_DFL);
    if (chdir("/tmp") != 0) _exit(125);
    argv[0] = installer;
    argv[1] = NULL;
    environment[environment_count] = NULL;
    execve(installer, argv, environment);
    printf("@@box cannot run %s: %s\n", installer, strerror(errno));
    _exit(125);
  }
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return 125;
  }
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return WEXITSTATUS(status);
}

/* When the installer, a session leader on the serial line, ends, the kernel
 * hangs the line up for every file open on it, ours too: it is opened
 * again. */
static void reopen_console(void) {
  int fd = open(tty_path != NULL ? tty_path : "/dev/ttyS0", O_RDWR | O_NOCTTY);
  if (fd < 0) fd = open("/dev/console", O_RDWR | O_NOCTTY);
  if (fd < 0) return;
  dup2(fd, 0);
  dup2(fd, 1);
  dup2(fd, 2);
  if (fd > 2) close(fd);
  clearerr(stdout);
}

int main(void) {
  pid_t holder = 0;
  /* The interrupt key is the installer's: its terminal is also ours. */
  signal(SIGINT, SIG_IGN);
  setvbuf(stdout, NULL, _IOLBF, 0);
  if (getpid() == 1) klogctl(8, NULL, 1); /* the console gets emergencies only */
  read_settings("/.kavro-box/init");
  printf("\n");
  print_df("before");
  print_tree("before");
  if (installer != NULL) {
    int status;
    if (hold_path != NULL) holder = hold(hold_path);
    printf("@@box run\n");
    fflush(stdout);
    status = run_installer();
    reopen_console();
    /* The installer may end mid-line: the marker starts a line of its own. */
    printf("\n@@box status %d\n", status);
    if (holder > 0) {
      kill(holder, SIGKILL);
      waitpid(holder, NULL, 0);
    }
    print_tree("after");
    print_df("after");
  }
  sync();
  if (getpid() == 1) print_kernel_messages();
  /* Anywhere but as the box's first process (a trial under qemu-user), the
   * flash and the machine are not ours to unmount and halt. */
  if (getpid() != 1) return 0;
  if (umount("/var") == 0)
    printf("@@box unmounted\n");
  else
    printf("@@box unmount failed: %s\n", strerror(errno));
  printf("@@box halt\n");
  fflush(stdout);
  sync();
  reboot(RB_AUTOBOOT);
  for (;;) pause();
}
