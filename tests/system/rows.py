#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""rows.py -- the release's installers on the system box (an emulated
PowerPC 405 with /var a JFFS2 on a DM7000's flash of 1792 KiB), through
power cuts.

usage: rows.py --box-build DIR --uclibc-build DIR --zepa FILE --payloads DIR
               [--cuts N] [--seed N] [--numbers] [--only ROW,...] [--work DIR]

  --box-build DIR      build-box: bin/kavro-install and its FreeType stand-in
  --uclibc-build DIR   build-box-uclibc: bin/kavro-install-uclibc and its own
  --zepa FILE          this machine's disk tool, for the rows' data disks
  --payloads DIR       the demo's payloads (BUILD/demo/payloads): the disks
                       hold them, with the plugin and configuration of the
                       row in place of English's for FreeType 2.1
  --cuts N             power cuts (default 20)
  --seed N             the cuts' moments and the payloads' bytes (default:
                       from the clock; printed, so a failure can be replayed)
  --cut-window S       the cuts fall in the first S seconds after the last
                       key (default: 1.2 times the upgrade row's install)
  --numbers            measure the flash for the plugin makers instead of the
                       rows: what it offers empty, the largest incompressible
                       plugin that installs fresh and as an upgrade
  --only ROWS          only these rows: fresh, upgrade, full, in-use, cuts
  --filler-kib N       the nearly full flash's other files (default 1140)
  --overstated-kib N   the new plugin of the nearly full flash's second case,
                       for which df tells room in place that JFFS2 lacks
                       (default 420)
  --large-kib N        the plugin that nearly fills the flash alone, upgraded
                       to one as large (default 1546)
  --work DIR           the boxes' files (default: a temporary folder)

Rows: both installers on a fresh flash (through kavro-box --system); an
upgrade where two copies fit; the nearly full flash where only a write in
place fits; the same with the old plugin held by a process of the box; power
cuts at random moments of upgrades, each followed by a boot on the same
flash: the pair must be the whole old or the whole new one, and the next run
must install and leave no staged file. Exit status 0 when every row passed.
"""
import argparse
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time
import zlib

# No bytecode beside the sources: the tree stays as checked out.
sys.dont_write_bytecode = True
HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(SOURCE, "tools/kavro-box/system"))
import sysbox  # noqa: E402

KAVRO_BOX = os.path.join(SOURCE, "tools/kavro-box/kavro-box")
PLUGIN = "var/tuxbox/plugins/kavro.so"
CONFIG = "var/tuxbox/plugins/kavro.cfg"
PLUGINS = "var/tuxbox/plugins"
SWITCH = PLUGINS + "/.kavro"   # the link that names the pair folder shown
KEYS = "b0y"          # English, subtitles kept, install
FREETYPE = "2.1.3"    # the plugin of the FreeType 2.1 family: d213-EN.so
FLASH_KIB = 1792


class RowFailed(Exception):
    pass


def resolve(path, link_of):
    """The path PATH names once the links on its way are followed (LINK_OF:
    a path's link text, or None; paths without their leading slash), or
    None when they go round in circles."""
    done, left, hops = "", path.split("/"), 0
    while left:
        here = f"{done}/{left[0]}" if done else left[0]
        text = link_of(here)
        left = left[1:]
        if text is None:
            done = here
            continue
        hops += 1
        if hops > 16:
            return None
        target = os.path.normpath(text.lstrip("/") if text.startswith("/") else os.path.join(done, text))
        done, left = "", target.split("/") + left
    return done


def links_in(tree):
    """LINK_OF for resolve(): a path's link text in TREE, or None."""
    return lambda path: tree[path][3] if path in tree and tree[path][0] == "l" else None


def shown(tree, path):
    """What the loader finds at PATH: the tree's entry of the file its
    links name, or None."""
    path = resolve(path, links_in(tree))
    return tree.get(path) if path is not None else None


def leftovers(tree):
    """What an installation that ended leaves of the pair besides the shown
    one: a pair folder the switch link does not name, a staged name."""
    current = resolve(SWITCH, links_in(tree)) if SWITCH in tree else None
    return sorted(path for path in tree if path.startswith(PLUGINS + "/.") and path != SWITCH
                  and not (current and (path == current or path.startswith(current + "/"))))


class Pair:
    """A plugin and its configuration, as a disk carries them."""

    def __init__(self, name, plugin, config):
        self.name, self.plugin, self.config = name, plugin, config

    def holds(self, tree):
        """Whether the box's tree shows this pair, whole, in place."""
        for path, data in ((PLUGIN, self.plugin), (CONFIG, self.config)):
            entry = shown(tree, path)
            if entry is None or entry[0] != "f" or entry[2] != len(data) or entry[4] != zlib.crc32(data):
                return False
        return True


def describe(tree, pairs):
    """Which pair the box's tree has: a pair's name, or what is wrong."""
    for pair in pairs:
        if pair.holds(tree):
            return pair.name
    entries = {path: shown(tree, path) for path in (PLUGIN, CONFIG)}
    if not any(entries.values()):
        return "no pair"
    parts = [f"{path} {entry[2]} bytes" if entry else f"no {path}" for path, entry in entries.items()]
    return "neither pair whole: " + ", ".join(parts)


class Rows:
    def __init__(self, args):
        self.args = args
        self.random = random.Random(args.seed)
        self.work = args.work
        self.installers = {
            "glibc": (os.path.join(args.box_build, "bin/kavro-install"),
                      os.path.join(args.box_build, "lib/kavro-box/libfreetype.so.6")),
            "uclibc": (os.path.join(args.uclibc_build, "bin/kavro-install-uclibc"),
                       os.path.join(args.uclibc_build, "lib/kavro-box/libfreetype.so.6")),
        }
        self.disks = {}
        self.boots = 0

    # -- what the rows are made of ----------------------------------------------

    def noise(self, size):
        return self.random.getrandbits(8 * size).to_bytes(size, "little") if size else b""

    def pair(self, name, plugin_size, config_size=2000):
        config = (b"# configuration %s\n" % name.encode() * (config_size // 16 + 1))[:config_size]
        return Pair(name, self.noise(plugin_size), config)

    def disk(self, pair):
        """A data disk with PAIR as English's plugin and configuration."""
        if pair.name in self.disks:
            return self.disks[pair.name]
        folder = os.path.join(self.work, "disks", pair.name)
        os.makedirs(folder, exist_ok=True)
        files = []
        for name in sorted(os.listdir(self.args.payloads)):
            path = os.path.join(folder, name)
            if name == "d213-EN.so":
                data = pair.plugin
            elif name == "kavro-2.cfg":
                data = pair.config
            else:
                with open(os.path.join(self.args.payloads, name), "rb") as file:
                    data = file.read()
            with open(path, "wb") as file:
                file.write(data)
            files.append(path)
        disk = os.path.join(folder, "dm7000.dsk")
        subprocess.run([self.args.zepa, "create", "-q", "--force", disk, *files], check=True)
        self.disks[pair.name] = disk
        return disk

    def box(self, name, disk, old=None, filler=0):
        """A box tree: the disk in /tmp, /var with the OLD pair and a file of
        FILLER random bytes (a flash nearly full of other things)."""
        root = os.path.join(self.work, name, "box")
        shutil.rmtree(os.path.dirname(root), ignore_errors=True)
        os.makedirs(os.path.join(root, "tmp"))
        os.makedirs(os.path.join(root, "var/tuxbox/plugins"))
        os.makedirs(os.path.join(root, "share/fonts"))
        shutil.copy(disk, os.path.join(root, "tmp/dm7000.dsk"))
        if old is not None:
            for path, data, mode in ((PLUGIN, old.plugin, 0o755), (CONFIG, old.config, 0o644)):
                with open(os.path.join(root, path), "wb") as file:
                    file.write(data)
                os.chmod(os.path.join(root, path), mode)
        if filler:
            with open(os.path.join(root, "var/filler"), "wb") as file:
                file.write(self.noise(filler))
        return root

    def machine(self, name, root, installer="glibc", hold=None, flash_kib=FLASH_KIB):
        """The row's machine: the flash made from the box's /var, the rest
        its payload."""
        program, standin = self.installers[installer]
        work = os.path.join(self.work, name)
        payload = os.path.join(work, "payload")
        shutil.rmtree(payload, ignore_errors=True)
        sysbox.make_payload(root, payload, program, standin, sysbox.box_settings(root, FREETYPE, hold))
        machine = sysbox.new_machine(os.path.join(work, "machine"))
        machine.format_flash(os.path.join(root, "var"), flash_kib)
        machine.set_payload(payload)
        return machine

    def boot(self, machine, keys=KEYS, cut_after=None, log=None):
        self.boots += 1
        with open(log or os.devnull, "ab") as serial:
            return sysbox.boot(machine, keys, cut_after, None, serial)

    def run(self, name, root, installer="glibc", hold=None, flash_kib=FLASH_KIB):
        machine = self.machine(name, root, installer, hold, flash_kib)
        return self.boot(machine, log=os.path.join(self.work, name, "serial.log"))

    def say(self, text):
        print(f"system box: {text}", flush=True)

    # -- the rows ---------------------------------------------------------------

    def fresh(self):
        """Both installers, through kavro-box --system, on a fresh flash."""
        new = self.pair("fresh", 400 * 1024)
        disk = self.disk(new)
        for kind, (program, standin) in self.installers.items():
            work = os.path.join(self.work, f"fresh-{kind}")
            shutil.rmtree(work, ignore_errors=True)
            report = os.path.join(self.work, f"fresh-{kind}.txt")
            screen = os.path.join(self.work, f"fresh-{kind}.screen")
            with open(screen, "wb") as out:
                status = subprocess.run([KAVRO_BOX, "--system", "--installer", program, "--freetype-standin", standin,
                                         "--freetype", FREETYPE, "--disk", disk, "--keys", KEYS, "--root", work,
                                         "--report", report], stdout=out, stderr=subprocess.STDOUT).returncode
            self.boots += 1
            with open(report) as file:
                text = file.read()
            lines = [line.split() for line in text.splitlines()]
            sizes = {words[-1].lstrip("/"): words[2] for words in lines if words[:1] == ["file"]}
            links = {words[1].lstrip("/"): words[3] for words in lines if words[:1] == ["link"]}
            if status != 0 or any(sizes.get(resolve(path, links.get)) != str(len(data))
                                  for path, data in ((PLUGIN, new.plugin), (CONFIG, new.config))):
                raise RowFailed(f"{os.path.basename(program)} on a fresh flash: status {status}\n{text}")
            free = [line for line in text.splitlines() if line.startswith("Flash")]
            self.say(f"{os.path.basename(program)} installs a 400 KiB plugin on a fresh flash; {'; '.join(free)}")
            shutil.rmtree(work, ignore_errors=True)

    def upgrade(self):
        """An upgrade where two copies fit; its time is the measure of the
        power cuts' moments."""
        old, new = self.pair("old", 300 * 1024), self.pair("new", 320 * 1024)
        for kind in self.installers:
            run = self.run(f"upgrade-{kind}", self.box(f"upgrade-{kind}", self.disk(new), old), kind)
            tree = run.tree()
            if run.status != 0 or not new.holds(tree) or leftovers(tree):
                raise RowFailed(f"upgrade with {kind}: status {run.status}, {describe(tree, [old, new])}")
            self.say(f"the {kind} installer upgrades a 300 KiB plugin to 320 KiB"
                     f" in {run.installing:.1f} s after the last key")
            self.install_time = run.installing

    def nearly_full_run(self, name, new_kib, hold=False, old_kib=300, filler=None):
        """A plugin of OLD_KIB on a flash nearly full (by default of other
        things, about 130 KiB free), upgraded to one of NEW_KIB: the
        outcome."""
        old, new = self.pair(f"{name}-old", old_kib * 1024), self.pair(f"{name}-new", new_kib * 1024)
        root = self.box(name, self.disk(new), old, filler=self.filler if filler is None else filler)
        run = self.run(name, root, hold="/" + PLUGIN if hold else None)
        tree = run.tree()
        free = run.df.get("before", (0, 0))[1]
        outcome = describe(tree, [old, new])
        staged = leftovers(tree)
        line = (f"{new_kib} KiB over {old_kib} KiB with {free} KiB free: status {run.status}, "
                f"{'the old pair' if outcome == old.name else 'the new pair' if outcome == new.name else outcome}")
        return run, outcome, old.name, new.name, staged, line

    def nearly_full(self):
        """Where two copies do not fit, the fallback writes the new plugin in
        place of the old; it must never leave a cut plugin: a new plugin of
        the old one's size installs, and one that df says fits in place, but
        JFFS2 cannot write, leaves the old pair or the new one; so does a
        plugin that nearly fills the flash alone, upgraded to one as large."""
        large = self.args.large_kib
        for old_kib, filler, new_kib, must in ((300, None, 300, "new"), (300, None, self.args.overstated_kib, "either"),
                                               (large, 0, large, "either")):
            run, outcome, old, new, staged, line = self.nearly_full_run(f"full-{new_kib}", new_kib, False,
                                                                        old_kib, filler)
            good = outcome == new if must == "new" else outcome in (old, new)
            if not good or staged:
                raise RowFailed(f"the nearly full flash: {line}; staged: {staged}\n"
                                f"{run.screen.decode(errors='replace')}")
            self.say(f"the nearly full flash: {line}")

    def in_use(self):
        """The old plugin held open and mapped by a process of the box frees
        nothing when removed: the installer must keep the old pair."""
        run, outcome, old, _, staged, line = self.nearly_full_run("in-use", 300, hold=True)
        if outcome != old or staged or run.status == 0:
            raise RowFailed(f"the plugin in use on a nearly full flash: {line}; staged: {staged}\n"
                            f"{run.screen.decode(errors='replace')}")
        self.say(f"the plugin in use on a nearly full flash: {line}")

    def cuts(self):
        """Power cuts at random moments of upgrades, alternately with either
        installer, each followed by a boot on the same flash that installs
        again."""
        # Their own random numbers: --only cuts with the seed and window of
        # a whole run replays its cuts.
        self.random = random.Random(self.args.seed)
        pairs = [self.pair("cut-a", 300 * 1024), self.pair("cut-b", 330 * 1024)]
        kinds = list(self.installers)
        window = self.args.cut_window or round(getattr(self, "install_time", 5.0) * 1.2, 1)
        root = self.box("cuts", self.disk(pairs[1]), pairs[0])
        tally = {"old": 0, "new": 0}
        replay = []
        current = 0
        machine = None
        for cut in range(self.args.cuts):
            kind = kinds[cut % 2]
            target = 1 - current
            moment = round(self.random.uniform(0, window), 2)
            shutil.copy(self.disk(pairs[target]), os.path.join(root, "tmp/dm7000.dsk"))
            program, standin = self.installers[kind]
            payload = os.path.join(self.work, "cuts", "payload")
            shutil.rmtree(payload, ignore_errors=True)
            sysbox.make_payload(root, payload, program, standin, sysbox.box_settings(root, FREETYPE))
            if machine is None:
                machine = sysbox.new_machine(os.path.join(self.work, "cuts", "machine"))
                machine.format_flash(os.path.join(root, "var"), FLASH_KIB)
            machine.set_payload(payload)
            log = os.path.join(self.work, "cuts", f"cut-{cut + 1}.log")
            first = self.boot(machine, cut_after=moment, log=log)
            second = self.boot(machine, log=log)
            seen = second.tree("before")
            before = describe(seen, pairs)
            after = second.tree()
            where = f"cut {cut + 1} ({kind}, {moment:.2f} s after the last key"
            where += ", after the installer ended)" if first.cut is None else ")"
            if before not in (pairs[current].name, pairs[target].name):
                raise RowFailed(f"{where}: the flash held {before}")
            staged = leftovers(after)
            if second.status != 0 or not pairs[target].holds(after) or staged:
                raise RowFailed(f"{where}: the next run: status {second.status}, "
                                f"{describe(after, pairs)}, staged files {staged}")
            tally["old" if before == pairs[current].name else "new"] += 1
            replay.append(f"{moment:.2f}{'' if first.cut is not None else '*'}")
            current = target
        self.say(f"power cuts: {self.args.cuts} cuts at random moments of upgrades"
                 f" (--seed {self.args.seed} --cut-window {window}):"
                 f" {tally['old']} left the whole old pair, {tally['new']} the whole new one;"
                 f" each next run installed and left no staged file")
        self.say(f"  the cuts' moments (s after the last key; * the installer had ended): {' '.join(replay)}")

    # -- the flash in numbers -----------------------------------------------------

    def installs(self, size, upgrade):
        """Whether a plugin of SIZE random bytes installs, fresh or over an
        old one of the same size, leaving the whole new pair."""
        self.random = random.Random(size)
        old, new = self.pair(f"old-{size}", size), self.pair(f"new-{size}", size)
        name = f"numbers-{'upgrade' if upgrade else 'fresh'}"
        root = self.box(name, self.disk(new), old if upgrade else None)
        run = self.run(name, root)
        shutil.rmtree(os.path.join(self.work, "disks"), ignore_errors=True)
        self.disks = {}
        outcome = describe(run.tree(), [old, new])
        self.say(f"  {'upgrade' if upgrade else 'fresh'} {size // 1024} KiB: status {run.status}, {outcome}")
        return run.status == 0 and outcome == new.name, run

    def numbers(self):
        empty = self.run("numbers-empty", self.box("numbers-empty", self.disk(self.pair("tiny", 1024))))
        size, free = empty.df["before"]
        self.say(f"an empty flash of {size} KiB offers {free} KiB")
        for upgrade in (False, True):
            low, high = 16, free
            while high - low > 4:
                middle = (low + high) // 2
                if self.installs(middle * 1024, upgrade)[0]:
                    low = middle
                else:
                    high = middle
            self.say(f"the largest incompressible plugin that installs {'as an upgrade' if upgrade else 'fresh'}:"
                     f" {low} KiB (with a 2000-byte configuration; {high} KiB does not)")


def main():
    parser = argparse.ArgumentParser(usage=__doc__.split("\n\n")[1])
    parser.add_argument("--box-build", required=True)
    parser.add_argument("--uclibc-build", required=True)
    parser.add_argument("--zepa", required=True)
    parser.add_argument("--payloads", required=True)
    parser.add_argument("--cuts", type=int, default=20)
    parser.add_argument("--seed", type=int, default=int(time.time()) % 100000)
    parser.add_argument("--numbers", action="store_true")
    parser.add_argument("--only", default="fresh,upgrade,full,in-use,cuts")
    parser.add_argument("--filler-kib", type=int, default=1140)
    parser.add_argument("--overstated-kib", type=int, default=420)
    parser.add_argument("--large-kib", type=int, default=1546)
    parser.add_argument("--cut-window", type=float)
    parser.add_argument("--work")
    args = parser.parse_args()
    temporary = args.work is None
    args.work = args.work or tempfile.mkdtemp(prefix="kavro-system-rows.")
    os.makedirs(args.work, exist_ok=True)
    rows = Rows(args)
    rows.filler = args.filler_kib * 1024
    start = time.monotonic()
    failed = 0
    try:
        if args.numbers:
            rows.numbers()
            return 0
        table = {"fresh": rows.fresh, "upgrade": rows.upgrade, "full": rows.nearly_full,
                 "in-use": rows.in_use, "cuts": rows.cuts}
        for name in args.only.split(","):
            try:
                table[name]()
            except (RowFailed, sysbox.BoxError) as error:
                failed += 1
                print(f"system box: FAILED {name}: {error}", flush=True)
    finally:
        print(f"system box: {rows.boots} boots in {time.monotonic() - start:.0f} s"
              f"{'' if temporary else f'; files in {args.work}'}")
        if temporary:
            shutil.rmtree(args.work, ignore_errors=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
