#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""sysbox.py -- run a PowerPC kavro-install in the system box: an emulated
PowerPC 405 with its own kernel, /var a JFFS2 on the model's flash, the
installer on the serial console. kavro-box --system calls it with the box
tree it built; the rows of tests/sysbox use it as a module.

usage: sysbox.py --installer FILE [options] BOX

  BOX                the box tree (tmp/, var/, share/, ...): var/ becomes
                     the first flash image, the rest the payload in RAM
  --installer FILE   kavro-install (GNU libc) or kavro-install-uclibc; its
                     ELF interpreter chooses the C library of the box
  --standin FILE     the FreeType stand-in built for that C library
                     (default: lib/kavro-box/libfreetype.so.6 beside the
                     installer's bin/)
  --freetype VALUE   what the stand-in reports (KAVRO_BOX_FREETYPE)
  --flash-kib N      the flash's size in KiB (default 1792, a DM7000's)
  --flash FILE       boot on this flash image, as an earlier run left it,
                     instead of one made from BOX/var
  --save-flash FILE  keep the flash as this run left it
  --keys KEYS        each "Your choice: " prompt gets the next key; after
                     the last, the interrupt key (without: this terminal)
  --hold PATH        a process of the box holds PATH open and mapped
  --cut-after S      cut the power S seconds after the last key
  --work DIR         the machine's files (default: a temporary folder)
  --report FILE      the report (default: standard output)
  --name NAME        the installer's name in the report

Exit status: the installer's; 124 for a power cut; 125 when the box could
not be made or did not answer.
"""
import argparse
import hashlib
import os
import re
import select
import shutil
import subprocess
import sys
import tempfile
import termios
import time
import tty

# No bytecode beside the sources: the tree stays as checked out.
sys.dont_write_bytecode = True
HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(HERE)))
sys.path.insert(0, HERE)

TRIPLE = "powerpc-linux-gnu"
BOOT_TIMEOUT = 240      # seconds from power-on to the installer's start
RUN_TIMEOUT = 600       # seconds of silence from a running box
PROMPT = b"Your choice: "
CUT_STATUS = 124


class BoxError(Exception):
    """The box could not be made or did not behave as a box."""


def cache_dir():
    base = os.environ.get("KAVRO_CACHE") or os.path.join(
        os.environ.get("XDG_CACHE_HOME") or os.path.expanduser("~/.cache"), "kavro")
    return base


def script_output(*command):
    result = subprocess.run(command, cwd=SOURCE, capture_output=True, text=True)
    if result.returncode != 0:
        raise BoxError(f"{' '.join(command)} failed: {result.stderr.strip()}")
    return result.stdout.strip()


def uclibc_root():
    root = script_output(os.path.join(SOURCE, "scripts/box-uclibc.sh"), "--print")
    if not os.path.isfile(os.path.join(root, "usr/lib/libc.a")):
        raise BoxError(f"no uClibc for the boxes in {root} (scripts/box-uclibc.sh builds it)")
    return root


def libc_root(installer):
    """The C library root the installer's ELF interpreter asks for."""
    headers = subprocess.run([f"{TRIPLE}-readelf", "-l", installer],
                             capture_output=True, text=True).stdout
    found = re.search(r"Requesting program interpreter: ([^\]]+)\]", headers)
    if not found:
        raise BoxError(f"{installer}: not a dynamic PowerPC program")
    interpreter = found.group(1)
    if interpreter == "/lib/ld-uClibc.so.0":
        root = uclibc_root()
    elif interpreter == "/lib/ld.so.1":
        root = script_output(os.path.join(SOURCE, "scripts/box-libc.sh"), "--print")
        if not os.path.isfile(os.path.join(root, "lib/ld.so.1")):
            raise BoxError(f"no GNU libc for the boxes in {root} (scripts/box-libc.sh builds it)")
    else:
        raise BoxError(f"{installer}: unknown interpreter {interpreter}")
    return root


def box_init():
    """/sbin/box-init, built static against the boxes' uClibc, once per
    source and C library (kept in the cache), and checked free of floating
    point."""
    source = os.path.join(HERE, "box-init.c")
    root = uclibc_root()
    flags = ["-mcpu=powerpc", "-msoft-float", "-Os", "-Wall", "-Wextra", "-Werror", "-static",
             "-fno-pie", "-no-pie", "-nostdinc", "-nostdlib", "-Wl,--no-warn-rwx-segments"]
    key = hashlib.sha256()
    for part in [open(source, "rb").read(), root.encode(), " ".join(flags).encode()]:
        key.update(part)
    out = os.path.join(cache_dir(), "box-init", key.hexdigest()[:16])
    program = os.path.join(out, "box-init")
    if os.path.isfile(program):
        return program
    os.makedirs(out, exist_ok=True)
    gcc_include = script_output(f"{TRIPLE}-gcc", "-print-file-name=include")
    lib = os.path.join(root, "usr/lib")
    command = [f"{TRIPLE}-gcc", *flags, "-isystem", gcc_include, "-isystem", os.path.join(root, "usr/include"),
               "-o", program + ".new", os.path.join(lib, "crt1.o"), os.path.join(lib, "crti.o"), source,
               os.path.join(lib, "libc.a"), "-lgcc", os.path.join(lib, "crtn.o")]
    built = subprocess.run(command, capture_output=True, text=True)
    if built.returncode != 0:
        raise BoxError(f"building box-init failed:\n{built.stderr}")
    fp = floating_point(program + ".new")
    if fp:
        raise BoxError(f"box-init has floating-point instructions: {fp[:3]}")
    os.rename(program + ".new", program)
    return program


FP_MNEMONIC = re.compile(r"^(f[a-z]+\.?|lf[sd]u?x?|stf[sd]u?x?|stfiwx|mffs\.?|mtfs[a-z0-9]*\.?)$")


def floating_point(program):
    """The program's floating-point instructions, as objdump shows them."""
    listing = subprocess.run([f"{TRIPLE}-objdump", "-d", program], capture_output=True, text=True).stdout
    found = []
    for line in listing.splitlines():
        fields = line.split("\t")
        if len(fields) >= 3 and fields[2].split() and FP_MNEMONIC.match(fields[2].split()[0]):
            found.append(line.strip())
    return found


def make_payload(box, payload, installer, standin, settings):
    """The box's root apart from /var: its folders, the C library, the
    stand-in, the installer and box-init with its settings."""
    shutil.copytree(box, payload, symlinks=True, ignore=lambda d, names: ["var"] if d == box else [])
    os.makedirs(os.path.join(payload, "var"), exist_ok=True)
    root = libc_root(installer)
    shutil.copytree(os.path.join(root, "lib"), os.path.join(payload, "lib"), symlinks=True, dirs_exist_ok=True)
    shutil.copy(standin, os.path.join(payload, "lib/libfreetype.so.6"))
    os.makedirs(os.path.join(payload, "sbin"), exist_ok=True)
    shutil.copy(box_init(), os.path.join(payload, "sbin/box-init"))
    own = os.path.join(payload, ".kavro-box")
    os.makedirs(own, exist_ok=True)
    shutil.copy(installer, os.path.join(own, "kavro-install"))
    os.chmod(os.path.join(own, "kavro-install"), 0o755)
    with open(os.path.join(own, "init"), "w") as file:
        file.write("".join(f"{line}\n" for line in settings))


def box_settings(box, freetype=None, hold=None, run=True):
    settings = []
    if run:
        settings.append("installer /.kavro-box/kavro-install")
    settings.append("env PATH=/bin:/sbin")
    settings.append(f"env TERM={os.environ.get('TERM') or 'vt100'}")
    if freetype and freetype != "system":
        settings.append(f"env KAVRO_BOX_FREETYPE={freetype}")
    for name in sorted(os.listdir(box)):
        settings.append(f"tree /{name}")
    if hold:
        settings.append(f"hold {hold}")
    return settings


# --- what the box said --------------------------------------------------------

class Run:
    """One boot of the box: its markers, the installer's screen, the end."""

    def __init__(self):
        self.status = None      # the installer's exit status
        self.cut = None         # seconds after the last key, when the power was cut
        self.installing = None  # seconds from the last key to the installer's end
        self.df = {}            # "before"/"after": (size, avail) in KiB
        self.trees = {}         # "before"/"after": [(path, type, mode, size, link)]
        self.lines = []         # the markers' other lines (holding, unmounted ...)
        self.screen = b""
        self.halted = False

    def tree(self, when="after"):
        """{path: (type, mode, size, link, crc)} of the box's folders."""
        return {entry[0]: entry[1:] for entry in self.trees.get(when, [])}


class Parser:
    """Splits the serial line into markers and the installer's screen."""

    def __init__(self, run, screen):
        self.run = run
        self.screen = screen
        self.pending = b""
        self.in_run = False
        self.tree = None

    def feed(self, data):
        self.pending += data.replace(b"\r\n", b"\n").replace(b"\r", b"")
        while True:
            if self.in_run:
                # The screen passes on as it comes; a marker starts a line.
                at = self.pending.find(b"\n@@box ")
                if at < 0:
                    keep = len(self.pending) - len(b"\n@@box ")
                    if keep > 0:
                        self.show(self.pending[:keep])
                        self.pending = self.pending[keep:]
                    return
                self.show(self.pending[:at + 1])
                self.pending = self.pending[at + 1:]
                self.in_run = False
            end = self.pending.find(b"\n")
            if end < 0:
                return
            line = self.pending[:end].decode("utf-8", "replace")
            self.pending = self.pending[end + 1:]
            self.line(line)

    def show(self, data):
        self.run.screen += data
        if self.screen is not None:
            self.screen.write(data)
            self.screen.flush()

    def line(self, line):
        if self.tree is not None:
            if line == "@@box end":
                self.run.trees[self.tree] = sorted(self.tree_lines)
                self.tree = None
            else:
                fields = line.split("\t")
                if len(fields) == 6:
                    self.tree_lines.append((fields[0], fields[1], int(fields[2], 8), int(fields[3]), fields[4],
                                            int(fields[5], 16)))
            return
        if not line.startswith("@@box "):
            return
        words = line.split()
        if words[1] == "run":
            self.in_run = True
        elif words[1] == "tree":
            self.tree, self.tree_lines = words[2], []
        elif words[1] == "status":
            self.run.status = int(words[2])
        elif words[1] == "df" and len(words) == 7:
            blocks, _, avail, bsize = (int(w) for w in words[3:7])
            self.run.df[words[2]] = (blocks * bsize // 1024, avail * bsize // 1024)
        elif words[1] == "halt":
            self.run.halted = True
        else:
            self.run.lines.append(line[len("@@box "):])


# --- the machine --------------------------------------------------------------

ANYTHING = re.compile(rb"[\s\S]+")


def new_machine(work):
    """The machine whose RAM (with the flash) is WORK/box.mem."""
    import machine
    os.makedirs(work, exist_ok=True)
    return machine.Machine(os.path.join(work, "box.mem"))


def serial_read(machine, timeout):
    """What the serial line said since the last call: b"" when nothing came
    within TIMEOUT, None once the emulator has ended and all is read."""
    import machine as machine_module
    try:
        return machine.read_until(ANYTHING, timeout)
    except machine_module.MachineError:
        if machine.process.poll() is not None:
            return None
        return b""


def load_flash(machine, path):
    """The flash image PATH (saved by an earlier run) in the machine."""
    import machine as machine_module
    with open(path, "rb") as file:
        image = file.read()
    try:
        machine.load_flash(image)
    except machine_module.MachineError as error:
        raise BoxError(f"{path}: {error}")


def save_flash(machine, path):
    with open(path, "wb") as file:
        file.write(machine.read_flash())


def boot(machine, keys=None, cut_after=None, screen=None, log=None, interactive=False):
    """Powers the machine on, answers the prompts, and returns the Run once
    the box has halted, or the power was cut."""
    run = Run()
    parser = Parser(run, screen)
    pending_keys = list(keys) if keys is not None else None
    last_key_at = None
    window = b""
    machine.start()
    started = time.monotonic()
    silent_since = started
    terminal = None
    if interactive and sys.stdin.isatty():
        terminal = termios.tcgetattr(sys.stdin.fileno())
        tty.setraw(sys.stdin.fileno())
    try:
        while not run.halted:
            now = time.monotonic()
            if cut_after is not None and last_key_at is not None and now - last_key_at >= cut_after:
                machine.power_cut()
                run.cut = now - last_key_at
                return run
            if run.status is None and not parser.in_run and now - started > BOOT_TIMEOUT and not run.df:
                raise BoxError(f"the box did not start within {BOOT_TIMEOUT} s")
            if now - silent_since > RUN_TIMEOUT:
                raise BoxError(f"the box said nothing for {RUN_TIMEOUT} s")
            wait = 0.05
            if cut_after is not None and last_key_at is not None:
                wait = max(0.0, min(wait, last_key_at + cut_after - now))
            data = serial_read(machine, wait)
            if data is None:
                break
            if data:
                silent_since = time.monotonic()
                if log is not None:
                    log.write(data)
                parser.feed(data)
                if run.status is not None and run.installing is None and last_key_at is not None:
                    run.installing = time.monotonic() - last_key_at
                if pending_keys is not None and parser.in_run:
                    window = (window + data.replace(b"\r", b""))[-64:]
                    while PROMPT in window:
                        window = window[window.index(PROMPT) + len(PROMPT):]
                        if pending_keys:
                            machine.write(pending_keys.pop(0).encode())
                        else:
                            print("kavro-box: no key left for the prompt; typing the interrupt key", file=sys.stderr)
                            machine.write(b"\x03")
                        last_key_at = time.monotonic()
            if terminal is not None and select.select([sys.stdin], [], [], 0)[0]:
                machine.write(os.read(sys.stdin.fileno(), 64))
    finally:
        if terminal is not None:
            termios.tcsetattr(sys.stdin.fileno(), termios.TCSADRAIN, terminal)
    if run.halted:
        # The box resets itself after its last line; the flash is unmounted
        # by then, so the power may go if it does not.
        try:
            machine.wait(30)
        except Exception:
            machine.power_cut()
    if pending_keys:
        print(f"kavro-box: {len(pending_keys)} of the keys were not used", file=sys.stderr)
    if run.status is None and not run.halted:
        raise BoxError("the box stopped before the installer ended")
    return run


# --- the report ---------------------------------------------------------------

def format_tree(entries):
    lines = []
    for path, kind, mode, size, link, _ in entries:
        if kind == "l":
            lines.append(f"  link                  /{path} -> {link}")
        elif kind == "d":
            lines.append(f"  dir   {mode:04o}            /{path}/")
        else:
            lines.append(f"  file  {mode:04o} {size:10d} /{path}")
    return lines


def report(run, name="kavro-install"):
    lines = [""]
    if run.cut is not None:
        lines.append(f"kavro-box: the power was cut {run.cut:.2f} s after the last key.")
    else:
        lines.append(f"kavro-box: {name} exited with status {run.status}.")
    lines.append("Terminal: the box's serial console.")
    for when in ("before", "after"):
        if when in run.df:
            size, avail = run.df[when]
            lines.append(f"Flash /var {when} the run: {avail} KiB free of {size} KiB.")
    if run.cut is None:
        lines.append("Box after the run:")
        lines += format_tree(run.trees.get("after", []))
    return "\n".join(lines) + "\n"


def main():
    parser = argparse.ArgumentParser(usage=__doc__.split("\n\n")[1])
    parser.add_argument("box")
    parser.add_argument("--installer", required=True)
    parser.add_argument("--standin")
    parser.add_argument("--freetype")
    parser.add_argument("--flash-kib", type=int, default=1792)
    parser.add_argument("--flash")
    parser.add_argument("--save-flash")
    parser.add_argument("--keys")
    parser.add_argument("--hold")
    parser.add_argument("--cut-after", type=float)
    parser.add_argument("--work")
    parser.add_argument("--report")
    parser.add_argument("--name", default="kavro-install")
    args = parser.parse_args()
    standin = args.standin or os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(args.installer))),
                                           "lib/kavro-box/libfreetype.so.6")
    work = args.work or tempfile.mkdtemp(prefix="kavro-sysbox.")
    try:
        import machine as machine_module
    except ImportError as error:
        print(f"kavro-box: no machine for the system box: {error}", file=sys.stderr)
        return 125
    try:
        if not os.path.isfile(standin):
            raise BoxError(f"no FreeType stand-in at {standin} (--freetype-standin)")
        payload = os.path.join(work, "payload")
        shutil.rmtree(payload, ignore_errors=True)
        make_payload(args.box, payload, args.installer, standin,
                     box_settings(args.box, args.freetype, args.hold))
        machine = new_machine(os.path.join(work, "machine"))
        if args.flash:
            load_flash(machine, args.flash)
        else:
            machine.format_flash(os.path.join(args.box, "var"), args.flash_kib)
        machine.set_payload(payload)
        with open(os.path.join(work, "serial.log"), "wb") as log:
            run = boot(machine, args.keys, args.cut_after, sys.stdout.buffer, log,
                       interactive=args.keys is None)
        if args.save_flash:
            save_flash(machine, args.save_flash)
    except (BoxError, machine_module.MachineError) as error:
        print(f"kavro-box: {error}", file=sys.stderr)
        return 125
    finally:
        if not args.work:
            shutil.rmtree(work, ignore_errors=True)
    text = report(run, args.name)
    if args.report:
        with open(args.report, "w") as file:
            file.write(text)
    else:
        sys.stdout.write(text)
    return CUT_STATUS if run.cut is not None else run.status


if __name__ == "__main__":
    sys.exit(main())
