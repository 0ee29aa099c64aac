#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""smoke_test.py -- the emulated box boots, keeps its flash through a power
cut and says what an empty flash offers.

    tests/box/system/smoke_test.py [--flash KIB] [--keep DIR]

Builds the kernel when the cache lacks it (scripts/box-kernel.sh, about 7
minutes cold), then: a fresh flash of KIB (1792), a payload whose
/sbin/box-init (smoke_init.c) writes /var/smoke and prints the flash's room;
boots, cuts the power after "ready", boots again on the same memory file and
expects the first boot's file, then the machine's own reset. Prints the
figures. Exit status 0 when all holds, 1 when not, 77 when a tool is missing.
"""

import argparse
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(HERE)))
sys.path.insert(0, os.path.join(SOURCE, "tools", "kavro-box", "system"))
import machine  # noqa: E402

READY = re.compile(rb"\nready\r?\n")  # smoke_init.c's last line, not the first init's
CFLAGS = ["-mcpu=powerpc", "-msoft-float", "-O2", "-static", "-nostdlib", "-ffreestanding",
          "-fno-builtin", "-fno-stack-protector", "-fno-pie", "-no-pie",
          "-fno-asynchronous-unwind-tables", "-Wall", "-Wextra", "-Wl,--build-id=none"]


def emulator_outlives_its_driver(work, kernel):
    """Whether the emulator of a driver killed with SIGKILL (as a test on
    its timeout) still runs a moment later, while a child of the driver
    still holds the serial line's pipe (so no broken pipe ends it)."""
    driver = subprocess.Popen([sys.executable, "-c", (
        "import subprocess, sys; sys.dont_write_bytecode = True; sys.path.insert(0, %r); import machine, time\n"
        "box = machine.Machine(%r, kernel=%r); box.start()\n"
        "holder = subprocess.Popen(['sleep', '60'], pass_fds=(box.process.stdout.fileno(),))\n"
        "print(box.process.pid, holder.pid, flush=True); time.sleep(600)")
        % (os.path.dirname(os.path.abspath(machine.__file__)), os.path.join(work, "box.mem"), kernel)],
        stdout=subprocess.PIPE)
    emulator, holder = (int(pid) for pid in driver.stdout.readline().split())
    driver.kill()
    driver.wait()
    try:
        return still_running(emulator)
    finally:
        os.kill(holder, signal.SIGKILL)


def still_running(pid):
    """Whether the process PID runs half a second from now (a zombie has
    ended): less than the box takes from power-on to its reset, so an
    emulator left behind is still booting then."""
    for _ in range(5):
        try:
            with open("/proc/%d/stat" % pid) as stat:
                if stat.read().rsplit(")", 1)[1].split()[0] == "Z":
                    return False  # ended, not yet reaped
        except FileNotFoundError:
            return False
        time.sleep(0.1)
    os.kill(pid, signal.SIGKILL)
    return True


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--flash", type=int, default=1792, help="the flash's size in KiB")
    parser.add_argument("--keep", help="work in DIR (new or empty) and keep it")
    options = parser.parse_args()

    missing = machine.tools_missing() + [t for t in ("powerpc-linux-gnu-gcc",) if not shutil.which(t)]
    if missing:
        print("smoke_test: skipped: no " + ", ".join(missing))
        return 77
    kernel = machine.kernel_image()

    work = options.keep or tempfile.mkdtemp(prefix="kavro-smoke-")
    try:
        root = os.path.join(work, "root")
        os.makedirs(os.path.join(root, "sbin"))
        subprocess.run(["powerpc-linux-gnu-gcc"] + CFLAGS +
                       ["-I", os.path.join(SOURCE, "scripts", "box-system"),
                        "-o", os.path.join(root, "sbin", "box-init"),
                        os.path.join(HERE, "smoke_init.c")], check=True)
        box = machine.Machine(os.path.join(work, "box.mem"), kernel=kernel)
        box.format_flash(None, options.flash)
        box.set_payload(root)

        box.start()
        first = box.read_until(READY, 300).decode(errors="replace")
        figures = box.figures
        cut = box.power_cut()
        box.start()
        second = box.read_until(READY, 300).decode(errors="replace")
        status = box.wait(60)
        figures2 = box.figures
        # The flash saved, a fresh one made, the saved one loaded: the third
        # boot finds the second's file.
        saved = box.read_flash()
        box.format_flash(None, options.flash)
        box.load_flash(saved)
        box.start()
        third = box.read_until(READY, 300).decode(errors="replace")
        box.power_cut()
        orphan = emulator_outlives_its_driver(work, kernel)
    except machine.MachineError as e:
        print("smoke_test: FAILED: %s\n--- the serial line\n%s" % (e, box.output.decode(errors="replace")))
        return 1
    finally:
        if not options.keep:
            shutil.rmtree(work, ignore_errors=True)

    df = re.search(r"df /var: (\d+) KiB, (\d+) KiB free", first)
    checks = [
        ("the first boot finds an empty flash", "found: nothing" in first),
        ("the power cut is a SIGKILL", cut == -9),
        ("the second boot finds the first boot's file", "found: boot 1" in second),
        ("the second boot ends with the machine's reset (qemu status 0)", status == 0),
        ("df of /var", df is not None),
        ("a saved flash loaded into the machine boots as it was", "found: boot 2" in third),
        ("the emulator ends with its driver", not orphan),
    ]
    print("smoke_test: first boot: ready after %.2f s (JFFS2 mount %.3f s, guest uptime %.3f s)"
          % (figures.get("ready", 0), figures.get("mount", 0), figures.get("uptime", 0)))
    print("smoke_test: after the power cut: ready after %.2f s (JFFS2 mount %.3f s)"
          % (figures2.get("ready", 0), figures2.get("mount", 0)))
    if df:
        print("smoke_test: an empty flash of %d KiB offers %s KiB (statfs: %s KiB in all)"
              % (options.flash, df.group(2), df.group(1)))
    failed = [name for name, ok in checks if not ok]
    for name in failed:
        print("smoke_test: FAILED: " + name)
    if failed:
        print("--- first boot\n%s\n--- second boot\n%s" % (first, second))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
