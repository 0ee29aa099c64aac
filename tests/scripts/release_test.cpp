// SPDX-License-Identifier: GPL-2.0-or-later
// scripts/release.sh with stand-ins for the box builds: this machine's /bin/true as the installers, its strip and
// readelf as the cross binutils, /bin/true as the box gate, and ELF headers of PowerPC shared objects as plugins.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "unpack/packed_fixtures.h"

namespace {

using fixtures::Bytes;
using fixtures::read_file;
namespace fs = std::filesystem;

class Release : public testing::Test {
 protected:
  struct Run {
    int status;  // the exit status, or 128 + the signal that ended the script
    std::string out, err;
  };

  void SetUp() override {
    // A release carries its source as git makes it from the commit: a tree unpacked from an archive (the
    // release's own source folder) has no release to make.
    if (std::system(("git -C " + quoted(KAVRO_SOURCE_DIR) + " rev-parse --verify -q 'HEAD^{commit}' >/dev/null 2>&1")
                        .c_str()) != 0)
      GTEST_SKIP() << KAVRO_SOURCE_DIR " is not a git checkout";
    for (const std::string &tree : {build_, uclibc_build_}) {
      fs::create_directories(tree + "/bin");
      for (const char *program : {"kavro-install", "kavro-install-uclibc"})
        fs::copy_file("/bin/true", tree + "/bin/" + program);
      write(tree + "/CMakeCache.txt", "KAVRO_CROSS_PREFIX:STRING=/usr/bin/\n");  // this machine's strip and readelf
    }
    built_from(KAVRO_SOURCE_DIR);
    payloads("p", "2");
    fs::create_directory(dir_ / "out");
    // UCL's source package as apt-get source leaves it: the .dsc names the other two with their SHA-256.
    fs::create_directory(dir_ / "ucl");
    write(dir_ / "ucl/ucl_1.0.orig.tar.xz", "orig\n");
    write(dir_ / "ucl/ucl_1.0-1.debian.tar.xz", "debian\n");
    shell("cd " + quoted(dir_ / "ucl") +
          " && { printf 'Format: 3.0 (quilt)\\nSource: ucl\\nVersion: 1.0-1\\nChecksums-Sha256:\\n';"
          " for f in ucl_1.0.orig.tar.xz ucl_1.0-1.debian.tar.xz; do"
          " echo \" $(sha256sum <$f | cut -c1-64) $(stat -c %s $f) $f\"; done; } >ucl_1.0-1.dsc");
  }

  // COMMAND's standard output; it must succeed.
  std::string shell(const std::string &command) {
    const int status = std::system(("(" + command + ") >" + quoted(dir_ / "shell.out")).c_str());
    EXPECT_EQ(status, 0) << command;
    return text(dir_ / "shell.out");
  }

  static std::string quoted(const std::string &word) {
    std::string q = "'";
    for (char c : word) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
  }
  static void write(const std::string &path, const std::string &text) {
    fixtures::write_file(path, Bytes(text.begin(), text.end()));
  }
  std::string text(const std::string &path) {
    const Bytes bytes = read_file(path).value_or(Bytes{});
    return {bytes.begin(), bytes.end()};
  }
  // Both stand-in box builds record the source of SOURCE as built from, as the box build does.
  void built_from(const std::string &source) {
    for (const std::string &tree : {build_, uclibc_build_})
      shell(quoted(source + "/scripts/tree-state.sh") + " -o " + quoted(tree + "/built-from.txt") + " " +
            quoted(source));
  }
  // The ELF header of a 32-bit big-endian PowerPC file of TYPE (3: a shared object, 2: a program), then NAME.
  static std::string elf(int type, const std::string &name) {
    std::string header("\x7f" "ELF\x01\x02\x01", 7);
    header.resize(16, '\0');
    header += std::string{'\0', static_cast<char>(type), '\0', '\x14', '\0', '\0', '\0', '\x01'};
    header.resize(52, '\0');
    return header + name;
  }
  // A payload folder NAME with the 24 files the installer can ask for, and its MANIFEST; kavro-2.cfg holds CFG.
  std::string payloads(const std::string &name, const std::string &cfg) {
    const std::string dir = dir_ / name;
    fs::create_directory(dir);
    for (const char *variant : {"d209-", "d213-"})
      for (const char *code : {"CZ", "EN", "AR", "BG", "HR", "NL", "FR", "GR", "HU", "PL", "SI"})
        write(dir + "/" + variant + code + ".so", elf(3, std::string(variant) + code));
    write(dir + "/kavro-1.cfg", "1");
    write(dir + "/kavro-2.cfg", cfg);
    manifest(dir);
    return dir;
  }
  // DIR's MANIFEST naming every file DIR holds as it is now.
  void manifest(const std::string &dir) {
    shell("cd " + quoted(dir) + " && for f in *; do case $f in MANIFEST* | *~) continue;; esac; echo \"$f $(sha256sum <\"$f\" | cut -c1-64)" +
          " GPL-2.0-or-later test 1.0 project:README.md\"; done >MANIFEST.new && mv MANIFEST.new MANIFEST");
  }
  // The release script with the stand-ins, then ARGS; ENV goes before it, as in "VAR=value ".
  // SOURCE's release script, by default this tree's.
  Run release(const std::vector<std::string> &args, const std::string &env = "",
              const std::string &source = KAVRO_SOURCE_DIR) {
    const char *build = std::getenv("KAVRO_BUILD_DIR");
    std::string command = env + quoted(source + "/scripts/release.sh") + " --build " + quoted(build_) +
                          " --uclibc-build " + quoted(uclibc_build_) + " --zepa " +
                          quoted(std::string(build ? build : ".") + "/bin/zepa") +
                          " --box-gate /bin/true --ucl-source " + quoted(dir_ / "ucl");
    for (const auto &arg : args) command.append(" ").append(quoted(arg));
    command.append(" >").append(quoted(dir_ / "stdout")).append(" 2>").append(quoted(dir_ / "stderr"));
    const int raw = std::system(command.c_str());
    const int status = WIFEXITED(raw) ? WEXITSTATUS(raw) : WIFSIGNALED(raw) ? 128 + WTERMSIG(raw) : -1;
    return {status, text(dir_ / "stdout"), text(dir_ / "stderr")};
  }
  // What OUTDIR's folder holds.
  std::vector<std::string> folder_names() {
    std::vector<std::string> names;
    for (const auto &entry : fs::directory_iterator(dir_ / "out")) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }
  // The release's folder in OUTDIR (NAME beside NAME.zip), or "" when there is none.
  static std::string folder_in(const std::string &out) {
    std::error_code error;
    for (const auto &entry : fs::directory_iterator(out, error))
      if (entry.is_directory()) return entry.path();
    return "";
  }
  // The kavro-2.cfg that OUTDIR's dm7000.dsk holds, when OUTDIR is a complete release: files that match its
  // SHA256SUMS and an archive that tests whole; otherwise what is wrong.
  // A folder made before OUTDIR was a link holds the files loose, without an archive.
  std::string release_in(const std::string &out) {
    const bool loose = fs::exists(out + "/SHA256SUMS");
    const std::string folder = loose ? out : folder_in(out);
    if (folder.empty()) return "no release";
    const std::string check = "cd " + quoted(folder) + " && sha256sum --quiet -c SHA256SUMS >/dev/null 2>&1" +
                              (loose ? "" : " && unzip -tqq " + quoted(folder + ".zip"));
    if (std::system(check.c_str()) != 0) return "no complete release";
    const char *build = std::getenv("KAVRO_BUILD_DIR");
    const std::string extract = "cd " + quoted(folder) + " && " +
                                quoted(std::string(build ? build : ".") + "/bin/zepa") +
                                " extract dm7000.dsk kavro-2.cfg - >" + quoted(dir_ / "cfg");
    return std::system(extract.c_str()) == 0 ? text(dir_ / "cfg") : "no kavro-2.cfg";
  }

  fixtures::TempDir dir_;
  std::string build_ = dir_ / "build-box", uclibc_build_ = dir_ / "build-box-uclibc", out_ = dir_ / "out/rel";
};

// All of it, or the previous release as it was: payloads the installer cannot take, that their manifest does not
// vouch for, or plugins that are no box's shared objects stop it.
TEST_F(Release, IsMadeWholeOrNotAtAll) {
  const std::string p = dir_ / "p";
  for (const char *copy : {"linked", "no-cfg", "folder", "no-manifest", "changed", "gone", "text-so", "program-so"})
    fs::copy(p, dir_ / copy);
  fs::remove(dir_ / "linked/d213-EN.so");
  fs::create_symlink(p + "/d213-EN.so", dir_ / "linked/d213-EN.so");
  for (const char *extra : {"linked/a=b.txt", "linked/.kavro-2.cfg.swp", "linked/notes~", "no-cfg/.kavro-2.cfg.swp"})
    write(dir_ / extra, "x");
  fs::remove(dir_ / "no-cfg/kavro-1.cfg");
  fs::create_directory(dir_ / "folder/sub");
  fs::remove(dir_ / "no-manifest/MANIFEST");
  write(dir_ / "changed/kavro-2.cfg", "changed");
  fs::remove(dir_ / "gone/d213-NL.so");
  write(dir_ / "text-so/d209-HU.so", "PLACEHOLDER");
  write(dir_ / "program-so/d213-SI.so", elf(2, "program"));
  for (const char *changed : {"linked", "no-cfg", "text-so", "program-so"}) manifest(dir_ / changed);
  write(dir_ / "so-gate", "#!/bin/sh\ncase $1 in *.so) echo \"box-gate: FAIL  not PIE\"; exit 1;; esac\n");
  fs::permissions(dir_ / "so-gate", fs::perms::owner_all);
  const std::string out = out_;
  const struct {
    std::vector<std::string> args;
    int status;
    std::string err;
  } rows[] = {
      {{out, p}, 0, ""},
      {{out, dir_ / "no-cfg"}, 1, "kavro-1.cfg: missing, the installer can ask for it\n"},
      {{"--box-gate", "/bin/false", out, p},
       1,
       "fails the box gate (/bin/false): a box would not run it; OUTDIR is as it was\n"},
      {{out, dir_ / "folder"}, 1, (dir_ / "folder/sub") + " is not a regular file"},
      {{out, dir_ / "no-manifest"}, 1, "dm7000: no MANIFEST in " + (dir_ / "no-manifest") + ": it names"},
      {{out, dir_ / "changed"}, 1, "dm7000: kavro-2.cfg is not the file " + (dir_ / "changed/MANIFEST") + " names"},
      {{out, dir_ / "gone"}, 1, "/gone/MANIFEST names d213-NL.so, which " + (dir_ / "gone") + " does not hold"},
      {{out, dir_ / "text-so"}, 1, "the plugin d209-HU.so is not an ELF file; a plugin is a 32-bit big-endian PowerPC"},
      {{out, dir_ / "program-so"}, 1, "the plugin d213-SI.so is not a shared object (type 0002"},
      {{"--box-gate", dir_ / "so-gate", out, p}, 1, "the plugin d209-AR.so fails the box gate"},
      {{out, out}, 2, " lies inside OUTDIR " + out + "\n"},
      {{p + "/rel", p}, 2, "lies inside the payload folder " + p + "\n"},
      {{out, dir_ / "linked"}, 0, ""},
  };
  std::optional<Bytes> sums;
  for (const auto &row : rows) {
    SCOPED_TRACE(row.args.back());
    const std::vector<std::string> names_before = folder_names();
    const Run r = release(row.args);
    EXPECT_EQ(r.status, row.status) << r.err;
    EXPECT_NE(r.err.find(row.err), std::string::npos) << r.err;
    if (row.status == 0) sums = read_file(folder_in(out) + "/SHA256SUMS");
    if (row.status == 0) continue;
    EXPECT_TRUE(read_file(folder_in(out) + "/SHA256SUMS") == sums);
    EXPECT_EQ(folder_names(), names_before);  // nothing made beside it is left
  }
  const char *build = std::getenv("KAVRO_BUILD_DIR");
  const std::string list = std::string(build ? build : ".") + "/bin/zepa list " +
                           quoted(folder_in(out) + "/dm7000.dsk") + " >" + quoted(dir_ / "list");
  ASSERT_EQ(std::system(list.c_str()), 0);
  const std::string listed = text(dir_ / "list");
  for (const char *name : {"\na=b.txt ", "\nd213-EN.so "}) EXPECT_NE(listed.find(name), std::string::npos) << name;
  EXPECT_EQ(listed.find(".swp"), std::string::npos);
  EXPECT_EQ(listed.find("notes~"), std::string::npos);
}

// Stopped at a moment of the swap by SIGKILL (as a power cut: nothing more runs) or by SIGTERM (the exit trap runs),
// OUTDIR names a complete release: the previous one until the link is switched, the new one from then on. Each run
// starts from what the one before left; the last, uninterrupted, leaves OUTDIR and its release alone.
struct Stop {
  std::string at;  // MOMENT:SIGNAL
  bool is_new;     // OUTDIR names the new release afterwards
};

class ReleaseSwap : public Release {
 protected:
  // FOLDER_BEFORE: each run starts from OUTDIR as a folder of an earlier release, made before OUTDIR was a link.
  void stop_at_each(const std::vector<Stop> &stops, bool folder_before) {
    payloads("q", "q");
    ASSERT_EQ(release({out_, dir_ / "p"}).status, 0);
    std::string now = "2";  // what OUTDIR's release holds: p's kavro-2.cfg, or q's
    for (const auto &stop : stops) {
      SCOPED_TRACE(stop.at);
      if (folder_before && fs::is_symlink(out_)) {  // the same release, as an earlier one held it
        const std::string folder = fs::canonical(folder_in(out_));
        fs::remove(out_);
        fs::create_directory(out_);
        for (const char *file : {"kavro-install", "dm7000.dsk", "dm56xx.dsk", "dbox2.dsk"})
          fs::copy_file(folder + "/" + file, out_ + "/" + file);
        shell("cd " + quoted(out_) + " && sha256sum kavro-install dm7000.dsk dm56xx.dsk dbox2.dsk >SHA256SUMS");
      }
      const std::string next = now == "2" ? "q" : "2";
      const Run r = release({out_, dir_ / (next == "2" ? "p" : "q")}, "KAVRO_RELEASE_STOP=" + stop.at + " ");
      EXPECT_EQ(r.status, stop.at.ends_with("TERM") ? 143 : 128 + SIGKILL) << r.err;
      if (stop.is_new) now = next;
      EXPECT_EQ(release_in(out_), now);
      EXPECT_EQ(fs::is_symlink(out_), stop.is_new || !folder_before);
      if (stop.at.ends_with("TERM") && fs::is_symlink(out_)) {  // the trap took away all the rest
        EXPECT_EQ(folder_names(), (std::vector<std::string>{fs::read_symlink(out_), "rel"}));
      }
    }
    const Run r = release({out_, dir_ / "p"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(release_in(out_), "2");
    ASSERT_TRUE(fs::is_symlink(out_));
    EXPECT_EQ(folder_names(), (std::vector<std::string>{fs::read_symlink(out_), "rel"}));
  }
};

// At every step by SIGKILL; by SIGTERM on either side of the switch.
TEST_F(ReleaseSwap, OverALinkSurvivesASignalOrPowerCutAtEveryStep) {
  stop_at_each({{"staged:KILL", false},
                {"flushed:KILL", false},
                {"linked:KILL", false},
                {"switched:KILL", true},
                {"published:KILL", true},
                {"done:KILL", true},
                {"linked:TERM", false},
                {"switched:TERM", true}},
               false);
}

// The folder is exchanged with the link in one step.
TEST_F(ReleaseSwap, OverAnEarlierFolderSurvivesASignalOrPowerCut) {
  stop_at_each({{"linked:KILL", false}, {"switched:KILL", true}, {"linked:TERM", false}, {"switched:TERM", true}},
               true);
}

// The archive: the folder NAME in a fixed order, modes and times fixed, every file in SHA256SUMS, the project's
// source made by git from the commit. Made again into another OUTDIR elsewhere, it is the same bytes.
TEST_F(Release, ArchiveIsTheReleaseWithItsSourceTheSameBytesEachTime) {
  const std::string epoch = "SOURCE_DATE_EPOCH=1000000000 ";  // 2001-09-09 01:46:40 UTC
  const Run r = release({out_, dir_ / "p"}, epoch);
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string folder = folder_in(out_), name = fs::path(folder).filename();
  EXPECT_TRUE(name == "kavro-2.0-7020-installer-0.24" || name == "kavro-2.0-7020-installer-0.24-dirty") << name;
  const std::vector<std::string> listed = {"README.txt",
                                           "kavro-install",
                                           "kavro-install-uclibc",
                                           "dm7000.dsk",
                                           "dm56xx.dsk",
                                           "dbox2.dsk",
                                           "BUILDINFO",
                                           "COPYING",
                                           "source/kavro-2.0-7020-installer-0.24.tar.gz",
                                           "source/ucl_1.0-1.dsc",
                                           "source/ucl_1.0.orig.tar.xz",
                                           "source/ucl_1.0-1.debian.tar.xz"};
  std::string sums, entries = "drwxr-xr-x 20010909.014640 " + name + "/\n";
  for (const auto &file : listed) {
    if (file.starts_with("source/") && sums.find("source/") == std::string::npos)
      entries += "drwxr-xr-x 20010909.014640 " + name + "/source/\n";
    entries += (file.starts_with("kavro-install") ? "-rwxr-xr-x" : "-rw-r--r--") + std::string(" 20010909.014640 ") +
               name + "/" + file + "\n";
    sums += file + "\n";
  }
  entries += "-rw-r--r-- 20010909.014640 " + name + "/SHA256SUMS\n";
  EXPECT_EQ(shell("unzip -Z -T " + quoted(folder + ".zip") + " | awk '$3 == \"unx\" { print $1, $7, $8 }'"), entries);
  EXPECT_EQ(shell("cut -c67- " + quoted(folder + "/SHA256SUMS")), sums);
  shell("cd " + quoted(folder) + " && sha256sum --quiet -c SHA256SUMS");
  shell("mkdir " + quoted(dir_ / "unzipped") + " && unzip -q " + quoted(folder + ".zip") + " -d " +
        quoted(dir_ / "unzipped") + " && diff -r " + quoted(folder) + " " + quoted(dir_ / ("unzipped/" + name)));

  const std::string commit = shell("git -C " + quoted(KAVRO_SOURCE_DIR) + " rev-parse HEAD");
  EXPECT_EQ(
      shell("zcat " + quoted(folder + "/source/kavro-2.0-7020-installer-0.24.tar.gz") + " | git get-tar-commit-id"),
      commit);
  const std::string buildinfo = text(folder + "/BUILDINFO"), dos_guide = text(folder + "/README.txt");
  // Every payload with its SHA-256, the gate's rows of every plugin, every Debian package with its version.
  for (const std::string &line :
       {"    kavro-2.cfg " + shell("sha256sum <" + quoted(dir_ / "p/kavro-2.cfg") + " | cut -c1-64").substr(0, 64) +
            " GPL-2.0-or-later test 1.0 project:README.md\n",
        std::string("  d213-SI.so: PASS"), std::string("\nInstalled-Build-Depends:\n "), std::string("\n zip (= ")})
    EXPECT_NE(buildinfo.find(line), std::string::npos) << line << "\n" << buildinfo;
  EXPECT_EQ(buildinfo.find("d213-SI.so: PASS", buildinfo.find("d213-SI.so: PASS") + 1), std::string::npos);
  // The guide: DOS line ends, plain ASCII in short lines, every word filled in.
  std::string guide;
  for (std::size_t i = 0; i < dos_guide.size(); ++i) {
    if (dos_guide[i] == '\n') {
      EXPECT_TRUE(i > 0 && dos_guide[i - 1] == '\r') << "a line without CR at byte " << i;
    }
    if (dos_guide[i] != '\r' || i + 1 == dos_guide.size() || dos_guide[i + 1] != '\n') guide += dos_guide[i];
  }
  EXPECT_NE(guide.find("kavro-2.cfg\n      test 1.0, under GPL-2.0-or-later; its source:\n"
                       "      in source/kavro-2.0-7020-installer-0.24.tar.gz,\n      the file README.md\n"),
            std::string::npos)
      << guide;
  EXPECT_NE(buildinfo.find("commit:       " + commit.substr(0, 40)), std::string::npos) << buildinfo;
  EXPECT_NE(guide.find(commit.substr(0, 40)), std::string::npos);
  EXPECT_EQ(guide.find(dir_.path()), std::string::npos);
  EXPECT_EQ(buildinfo.find(dir_.path()), std::string::npos) << buildinfo;
  std::size_t line_start = 0;
  for (std::size_t i = 0; i < guide.size(); ++i) {
    EXPECT_TRUE(guide[i] == '\n' || (guide[i] >= ' ' && guide[i] <= '~')) << "byte " << i;
    if (guide[i] != '\n') continue;
    EXPECT_LE(i - line_start, 72u) << guide.substr(line_start, i - line_start);
    line_start = i + 1;
  }
  EXPECT_EQ(guide.find('@'), std::string::npos);

  fs::create_directories(dir_ / "elsewhere/further");
  ASSERT_EQ(release({dir_ / "elsewhere/further/other", dir_ / "p"}, epoch).status, 0);
  shell("cmp " + quoted(folder + ".zip") + " " + quoted(folder_in(dir_ / "elsewhere/further/other") + ".zip"));

  // Made again from its own source folder, unpacked, without git (the box builds recording that tree): the same
  // bytes as from the checkout, the time taken from the archive, when the checkout holds no changes.
  const std::string unpacked = dir_ / "unpacked", tree = unpacked + "/kavro-2.0-7020-installer-0.24";
  shell("mkdir " + quoted(unpacked) + " && tar -xzf " +
        quoted(folder + "/source/kavro-2.0-7020-installer-0.24.tar.gz") + " -C " + quoted(unpacked));
  built_from(tree);
  const Run again = release({"--source", folder + "/source", dir_ / "again", dir_ / "p"}, "", tree);
  ASSERT_EQ(again.status, 0) << again.err;
  write(tree + "/kavro", "changed");
  const Run changed_tree = release({"--source", folder + "/source", dir_ / "again", dir_ / "p"}, "", tree);
  EXPECT_EQ(changed_tree.status, 2);
  EXPECT_NE(changed_tree.err.find("/source/kavro-2.0-7020-installer-0.24.tar.gz unpacked and unchanged"),
            std::string::npos)
      << changed_tree.err;
  built_from(KAVRO_SOURCE_DIR);
  ASSERT_EQ(release({dir_ / "checkout", dir_ / "p"}).status, 0);
  if (!name.ends_with("-dirty"))
    shell("cmp " + quoted(folder_in(dir_ / "checkout") + ".zip") + " " + quoted(folder_in(dir_ / "again") + ".zip"));

  // A UCL source file that is not the one its .dsc names stops the release before it starts.
  write(dir_ / "ucl/ucl_1.0.orig.tar.xz", "other\n");
  const std::vector<std::string> names_before = folder_names();
  const Run changed = release({out_, dir_ / "p"}, epoch);
  EXPECT_EQ(changed.status, 2);
  EXPECT_NE(changed.err.find("ucl/ucl_1.0.orig.tar.xz: not the file ucl_1.0-1.dsc names"), std::string::npos)
      << changed.err;
  EXPECT_EQ(folder_names(), names_before);
}

// What the release takes from elsewhere, checked before anything is made: box builds of this very source (commit
// and changes), their UCL from the .dsc the release carries, and a gate that runs unless --no-box-gate says not to.
TEST_F(Release, TakesOnlyBuildsOfThisSourceAndAGateThatRuns) {
  write(dir_ / "not-executable", "#!/bin/sh\n");
  fs::create_directories(dir_ / "ucl-uclibc/lib");
  fs::create_directories(dir_ / "ucl-uclibc/source");
  write(dir_ / "ucl-uclibc/source/ucl_1.0-1.dsc", "Version: 1.0-2\n");
  const std::string stale = "commit 0000000000000000000000000000000000000000\nchanges none\n";
  const struct {
    std::string setting;  // built-from: the glibc build's record; ucl: the uClibc build's UCL
    std::vector<std::string> args;
    int status;
    std::string err;
  } rows[] = {
      {"built-from", {}, 2, " was built from commit 000000000000, no changes, not from this tree (commit "},
      {"ucl", {}, 2, "build-box-uclibc: its UCL was built from " + (dir_ / "ucl-uclibc/source/ucl_1.0-1.dsc")},
      {"", {"--box-gate", dir_ / "not-executable"}, 2, "no box gate at " + (dir_ / "not-executable")},
      {"", {"--box-gate", dir_ / "missing"}, 2, "no box gate at " + (dir_ / "missing") + " (missing or not"},
      {"", {"--no-box-gate"}, 0, ""},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.err);
    built_from(KAVRO_SOURCE_DIR);
    write(uclibc_build_ + "/CMakeCache.txt", "KAVRO_CROSS_PREFIX:STRING=/usr/bin/\n");
    if (row.setting == "built-from") write(build_ + "/built-from.txt", stale);
    if (row.setting == "ucl")
      write(uclibc_build_ + "/CMakeCache.txt", "UCL_STATIC_LIBRARY:FILEPATH=" + (dir_ / "ucl-uclibc/lib/libucl.a\n"));
    std::vector<std::string> args = row.args;
    args.insert(args.end(), {out_, dir_ / "p"});
    const Run r = release(args);
    EXPECT_EQ(r.status, row.status) << r.err;
    EXPECT_NE(r.err.find(row.err), std::string::npos) << r.err;
    EXPECT_EQ(fs::exists(out_), row.status == 0);
  }
  const std::string buildinfo = text(folder_in(out_) + "/BUILDINFO");
  for (const char *line : {"\n  kavro-install: not checked (--no-box-gate)\n",
                           "\n  d209-AR.so: a PowerPC shared object, not checked (--no-box-gate)\n"})
    EXPECT_NE(buildinfo.find(line), std::string::npos) << buildinfo;
}

// --sign KEY: a detached signature of SHA256SUMS that gpg verifies, last in the archive; a key gpg does not
// have stops the release before it starts. The key is a throwaway one in a GNUPGHOME of the test's own.
TEST_F(Release, SignsTheChecksumsWithTheKeyGiven) {
  const std::string home = dir_ / "gnupg", gpg = "GNUPGHOME=" + quoted(dir_ / "gnupg") + " ";
  fs::create_directory(home);
  fs::permissions(home, fs::perms::owner_all, fs::perm_options::replace);
  const struct AgentStop {  // the agent gpg started for the throwaway home ends with the test, however it ends
    std::string gpg;
    ~AgentStop() { [[maybe_unused]] const int ignored = std::system((gpg + "gpgconf --kill gpg-agent").c_str()); }
  } agent{gpg};
  shell(gpg +
        "gpg --batch --quiet --passphrase '' --quick-gen-key 'Kavro release test <release@kavro.invalid>' "
        "ed25519 sign never 2>/dev/null");
  const Run r = release({"--sign", "release@kavro.invalid", out_, dir_ / "p"}, gpg);
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string folder = folder_in(out_), name = fs::path(folder).filename();
  EXPECT_EQ(shell("unzip -Z1 " + quoted(folder + ".zip") + " | tail -n 2"),
            name + "/SHA256SUMS\n" + name + "/SHA256SUMS.asc\n");
  shell(gpg + "gpg --batch --verify " + quoted(folder + "/SHA256SUMS.asc") + " " + quoted(folder + "/SHA256SUMS") +
        " 2>/dev/null");
  shell("{ cat " + quoted(folder + "/SHA256SUMS") + "; echo; } >" + quoted(dir_ / "changed"));
  EXPECT_NE(std::system((gpg + "gpg --batch --verify " + quoted(folder + "/SHA256SUMS.asc") + " " +
                         quoted(dir_ / "changed") + " 2>/dev/null")
                            .c_str()),
            0);

  const std::vector<std::string> names_before = folder_names();
  const Run unknown = release({"--sign", "nobody@kavro.invalid", out_, dir_ / "p"}, gpg);
  EXPECT_EQ(unknown.status, 2);
  EXPECT_EQ(unknown.err, "release: --sign: gpg has no secret key 'nobody@kavro.invalid'\n");
  EXPECT_EQ(folder_names(), names_before);
}

}  // namespace
