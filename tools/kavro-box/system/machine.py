# SPDX-License-Identifier: GPL-2.0-or-later
"""machine.py -- the emulated box: qemu-system-ppc's ref405ep (a PowerPC
405EP without an FPU) running the kernel of scripts/box-kernel.sh, with its
flash (/var, JFFS2) kept in qemu's memory file across boots and power cuts.

    import machine
    box = machine.Machine("/tmp/box.mem")     # made when missing, else reused
    box.format_flash("var-tree", 1792)        # a new flash: mkfs.jffs2 of the tree
    box.set_payload("root-tree")              # unpacked into / at the next boot;
                                              # must hold /sbin/box-init
    box.start()                               # boots; returns at once
    box.read_until(b"Your choice: ", 60)      # the serial line's output
    box.write(b"1")                           # typed on the serial line
    box.power_cut()                           # SIGKILL: the flash stays as it was
    box.start(); ...; status = box.wait(60)   # qemu's exit status
    box.read_flash()                          # the flash's bytes, now

The first init (scripts/box-system/init.c) mounts devtmpfs, proc, sysfs and a
tmpfs on /tmp, unpacks the payload, mounts the flash as JFFS2 on /var,
prints one line "init: ready: ..." and runs /sbin/box-init as a session
leader on /dev/ttyS0 (standard input, output and error, and the controlling
terminal). When a step fails it prints "init: REASON" and resets the machine.
box-init runs as process 1: when it is done it should sync and reset the
machine, reboot(RB_AUTOBOOT); qemu runs with -no-reboot and so ends with
status 0 (a power-off only halts the 405, which qemu cannot see). The
emulator stops with "Raised an exception without defined vector 7" on the
first floating-point instruction in user space.

The memory file (256 MiB, sparse) holds the machine's RAM:
    0x00000000  the kernel's RAM (96 MiB; written over at each boot)
    0x06000000  the boot header the first init reads
    0x06010000  the flash (phram "var", 64 KiB erase blocks, up to 31 MiB)
    0x08000000  the payload, a newc cpio archive (up to 128 MiB)
Only the kernel's RAM is written over by a boot: the flash is what the last
run (or power cut) left there.

After a boot, `figures` holds the boot's times: "ready" (seconds from the
start of qemu to the first init's ready line, on this machine's clock),
"mount" (the JFFS2 mount with its log replay, guest seconds) and "uptime"
(the guest's clock at that line).

The smoke test, tools/kavro-box/system/smoke_test.py (ctest label "system"),
shows all of it in use.
"""

import ctypes
import os
import re
import shutil
import signal
import stat
import struct
import subprocess
import tempfile
import threading
import time

MIB = 1 << 20
RAM_SIZE = 256 * MIB
KERNEL_RAM = 0x06000000  # the device tree's memory node
HEADER_AT = KERNEL_RAM
FLASH_AT = 0x06010000
FLASH_MAX = 0x08000000 - FLASH_AT
PAYLOAD_AT = 0x08000000
PAYLOAD_MAX = RAM_SIZE - PAYLOAD_AT
ERASE_BLOCK = 0x10000
MAGIC = b"KAVROBOX"
HEADER = struct.Struct(">8s6I")  # magic, version, flash at/size/erase, payload at/size

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))


class MachineError(Exception):
    pass


def kernel_image(build=True):
    """The kernel image's path: $KAVRO_BOX_KERNEL when set, else
    scripts/box-kernel.sh's (built when missing and BUILD is true; about 7
    minutes cold)."""
    if os.environ.get("KAVRO_BOX_KERNEL"):
        return os.environ["KAVRO_BOX_KERNEL"]
    command = [os.path.join(SOURCE, "scripts", "box-kernel.sh")]
    if not build:
        command.append("--print")
    path = subprocess.run(command, check=True, stdout=subprocess.PIPE, text=True).stdout.strip()
    if not os.path.isfile(path):
        raise MachineError("no kernel image at %s (run scripts/box-kernel.sh)" % path)
    return path


def newc_archive(root):
    """The tree ROOT as a newc cpio archive (bytes): directories, regular
    files and symbolic links, owned by root, hard links as separate files."""
    out = bytearray()
    number = 0

    def entry(name, mode, data=b"", nlink=1):
        nonlocal number
        number += 1
        encoded = name.encode() + b"\0"
        fields = (number, mode, 0, 0, nlink, 0, len(data), 0, 0, 0, 0, len(encoded), 0)
        out.extend(b"070701" + b"".join(b"%08x" % f for f in fields) + encoded)
        out.extend(b"\0" * (-len(out) % 4))
        out.extend(data)
        out.extend(b"\0" * (-len(out) % 4))

    for top, dirs, files in os.walk(root):
        dirs.sort()
        for name in sorted(dirs + files):
            path = os.path.join(top, name)
            relative = os.path.relpath(path, root)
            info = os.lstat(path)
            if stat.S_ISDIR(info.st_mode):
                entry(relative, info.st_mode, nlink=2)
            elif stat.S_ISLNK(info.st_mode):
                entry(relative, info.st_mode, os.readlink(path).encode())
            elif stat.S_ISREG(info.st_mode):
                with open(path, "rb") as f:
                    entry(relative, info.st_mode, f.read())
            else:
                raise MachineError("%s: only directories, files and links go into the payload" % path)
    entry("TRAILER!!!", 0)
    return bytes(out)


def _die_with_parent():
    """In the emulator's process before it starts: the kernel kills it when
    its driver ends, however that ends (a test killed on its timeout leaves
    no emulator running, even while a child of the driver still holds the
    serial line's pipes)."""
    pr_set_pdeathsig = 1
    ctypes.CDLL(None, use_errno=True).prctl(pr_set_pdeathsig, signal.SIGKILL, 0, 0, 0)


class Machine:
    def __init__(self, memory_file, kernel=None, qemu="qemu-system-ppc"):
        """The machine whose RAM is MEMORY_FILE (made when missing; its
        flash and payload kept when it exists). KERNEL: the image (default:
        scripts/box-kernel.sh's, built when missing)."""
        self.memory_file = memory_file
        self.kernel = kernel
        self.qemu = qemu
        self.process = None
        self.output = bytearray()  # all the serial line said since start()
        self.errors = b""  # qemu's own messages of the last run
        self.figures = {}
        self._seen = 0
        self._lock = threading.Condition()
        self._reader = None
        self.flash_size = 0
        self.payload_size = 0
        if not os.path.exists(memory_file):
            with open(memory_file, "wb") as f:
                f.truncate(RAM_SIZE)
        elif os.path.getsize(memory_file) != RAM_SIZE:
            raise MachineError("%s is not a memory file of %d MiB" % (memory_file, RAM_SIZE // MIB))
        else:
            with open(memory_file, "rb") as f:
                f.seek(HEADER_AT)
                magic, version, _, flash_size, _, _, payload_size = HEADER.unpack(f.read(HEADER.size))
            if magic == MAGIC and version == 1:
                self.flash_size, self.payload_size = flash_size, payload_size

    # ------------------------------------------------------------ contents

    def _write(self, at, data):
        with open(self.memory_file, "r+b") as f:
            f.seek(at)
            f.write(data)

    def _write_header(self):
        self._write(HEADER_AT, HEADER.pack(MAGIC, 1, FLASH_AT, self.flash_size, ERASE_BLOCK,
                                           PAYLOAD_AT, self.payload_size))

    def format_flash(self, var_tree=None, size_kib=1792):
        """A new flash of SIZE_KIB (a multiple of 64): mkfs.jffs2 of VAR_TREE
        (an empty flash without it), big-endian, 64 KiB erase blocks, padded
        to the flash's size. Owners become root."""
        size = size_kib * 1024
        if size <= 0 or size % ERASE_BLOCK or size > FLASH_MAX:
            raise MachineError("flash of %d KiB: must be a multiple of 64 KiB, at most %d KiB"
                               % (size_kib, FLASH_MAX // 1024))
        self._check_stopped()
        with tempfile.TemporaryDirectory(prefix="kavro-flash-") as work:
            tree = var_tree if var_tree is not None else os.path.join(work, "empty")
            os.makedirs(tree, exist_ok=True)
            image = os.path.join(work, "flash.img")
            run = subprocess.run(["mkfs.jffs2", "--big-endian", "--eraseblock=0x%x" % ERASE_BLOCK,
                                  "--pad=0x%x" % size, "--squash-uids", "--root", tree, "--output", image],
                                 stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
            if run.returncode != 0:
                raise MachineError("mkfs.jffs2: " + run.stdout.decode(errors="replace").strip())
            if os.path.getsize(image) != size:
                raise MachineError("the files of %s do not fit a flash of %d KiB" % (tree, size_kib))
            with open(image, "rb") as f:
                self._write(FLASH_AT, f.read())
        self.flash_size = size
        self._write_header()

    def set_payload(self, root_dir):
        """The tree ROOT_DIR becomes the payload, unpacked into / at each
        boot from now on. Its /var is hidden by the flash."""
        self._check_stopped()
        data = newc_archive(root_dir)
        if len(data) > PAYLOAD_MAX:
            raise MachineError("a payload of %d bytes: at most %d" % (len(data), PAYLOAD_MAX))
        self._write(PAYLOAD_AT, data)
        self.payload_size = len(data)
        self._write_header()

    def load_flash(self, image):
        """The bytes IMAGE (read_flash() of an earlier run) as the flash."""
        self._check_stopped()
        if not image or len(image) % ERASE_BLOCK or len(image) > FLASH_MAX:
            raise MachineError("a flash image of %d bytes: whole erase blocks, at most %d KiB"
                               % (len(image), FLASH_MAX // 1024))
        self._write(FLASH_AT, image)
        self.flash_size = len(image)
        self._write_header()

    def read_flash(self):
        """The flash's bytes as they are in the memory file now."""
        with open(self.memory_file, "rb") as f:
            f.seek(FLASH_AT)
            return f.read(self.flash_size)

    # ------------------------------------------------------------- running

    def _check_stopped(self):
        if self.process is not None and self.process.poll() is None:
            raise MachineError("the machine is running")

    def command(self):
        """qemu's command line."""
        return [self.qemu, "-M", "ref405ep,memory-backend=box.ram", "-m", "%dM" % (RAM_SIZE // MIB),
                "-object", "memory-backend-file,id=box.ram,size=%dM,mem-path=%s,share=on"
                % (RAM_SIZE // MIB, self.memory_file),
                "-kernel", self.kernel, "-display", "none", "-monitor", "none",
                "-serial", "stdio", "-no-reboot"]

    def start(self):
        """Boots the machine and returns at once; read_until() waits for it."""
        self._check_stopped()
        if not self.flash_size or not self.payload_size:
            raise MachineError("format_flash() and set_payload() come before the first start()")
        if self.kernel is None:
            self.kernel = kernel_image()
        self.output = bytearray()
        self._seen = 0
        self.errors = b""
        self.figures = {}
        self._started = time.monotonic()
        self.process = subprocess.Popen(self.command(), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, start_new_session=True,
                                        preexec_fn=_die_with_parent)
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()
        self._error_reader = threading.Thread(target=self._read_errors, daemon=True)
        self._error_reader.start()

    def _read(self):
        ready = re.compile(rb"init: ready: .* mounted in ([0-9.]+) s, at ([0-9.]+) s")
        stream = self.process.stdout
        while True:
            data = os.read(stream.fileno(), 65536)
            with self._lock:
                if data:
                    self.output.extend(data)
                    if "ready" not in self.figures:
                        found = ready.search(self.output)
                        if found:
                            self.figures = {"ready": round(time.monotonic() - self._started, 2),
                                            "mount": float(found.group(1)),
                                            "uptime": float(found.group(2))}
                self._lock.notify_all()
                if not data:
                    return

    def _read_errors(self):
        self.errors = self.process.stderr.read()

    def read_until(self, pattern, timeout):
        """Waits until the serial output not yet returned matches PATTERN
        (bytes or a compiled bytes regex); returns that output up to the end
        of the match. Raises MachineError on a timeout or when qemu ends
        first; self.output keeps everything."""
        if isinstance(pattern, bytes):
            pattern = re.compile(re.escape(pattern))
        deadline = time.monotonic() + timeout
        with self._lock:
            while True:
                found = pattern.search(self.output, self._seen)
                if found:
                    text = bytes(self.output[self._seen:found.end()])
                    self._seen = found.end()
                    return text
                left = deadline - time.monotonic()
                ended = not self._reader.is_alive()
                if ended or left <= 0:
                    tail = bytes(self.output[self._seen:])[-400:].decode(errors="replace")
                    raise MachineError("%s before %r; the line said last: %s" % (
                        "qemu ended" if ended else "timeout", pattern.pattern, tail))
                self._lock.wait(min(left, 1.0))

    def write(self, data):
        """Types DATA (bytes) on the serial line."""
        self.process.stdin.write(data)
        self.process.stdin.flush()

    def power_cut(self):
        """Kills qemu (SIGKILL): the flash keeps what was written to it."""
        if self.process is not None and self.process.poll() is None:
            os.kill(self.process.pid, signal.SIGKILL)
        return self.wait(10)

    def wait(self, timeout=None):
        """Waits for qemu to end; returns its exit status (negative: the
        signal that ended it). MachineError on a timeout."""
        try:
            status = self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            raise MachineError("the machine still runs after %s s" % timeout) from None
        self._reader.join(5)
        self._error_reader.join(5)
        self.process.stdin.close()
        return status

    def shutdown(self, timeout=10):
        """Ends the machine: waits TIMEOUT seconds for it to reset itself,
        then cuts the power. Returns qemu's exit status."""
        if self.process is None:
            return None
        try:
            return self.wait(timeout)
        except MachineError:
            return self.power_cut()


def tools_missing():
    """The programs the machine needs that this machine lacks."""
    return [t for t in ("qemu-system-ppc", "mkfs.jffs2") if shutil.which(t) is None]
