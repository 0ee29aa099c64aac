// SPDX-License-Identifier: GPL-2.0-or-later
// scripts/release.sh with a stand-in for the box build: this machine's /bin/true as the installer, its strip and
// readelf as the cross binutils, /bin/true as the box gate.
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
    fs::create_directories(build_ + "/bin");
    fs::copy_file("/bin/true", build_ + "/bin/kavro-install");
    write(build_ + "/CMakeCache.txt", "KAVRO_CROSS_PREFIX:STRING=/usr/bin/\n");  // this machine's strip and readelf
    payloads("p", "2");
    fs::create_directory(dir_ / "out");
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
  // A payload folder NAME with the 24 files the installer can ask for; kavro-2.cfg holds CFG.
  std::string payloads(const std::string &name, const std::string &cfg) {
    const std::string dir = dir_ / name;
    fs::create_directory(dir);
    for (const char *variant : {"d209-", "d213-"})
      for (const char *code : {"CZ", "EN", "AR", "BG", "HR", "NL", "FR", "GR", "HU", "PL", "SI"})
        write(dir + "/" + variant + code + ".so", "p");
    write(dir + "/kavro-1.cfg", "1");
    write(dir + "/kavro-2.cfg", cfg);
    return dir;
  }
  // The release script with the stand-ins, then ARGS; ENV goes before it, as in "VAR=value ".
  Run release(const std::vector<std::string> &args, const std::string &env = "") {
    const char *build = std::getenv("KAVRO_BUILD_DIR");
    std::string command = env + quoted(KAVRO_SOURCE_DIR "/scripts/release.sh") + " --build " + quoted(build_) +
                          " --zepa " + quoted(std::string(build ? build : ".") + "/bin/zepa") + " --box-gate /bin/true";
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
  // The kavro-2.cfg that OUTDIR's dm7000.dsk holds, when OUTDIR is a complete release whose files match its
  // SHA256SUMS; otherwise what is wrong.
  std::string release_in(const std::string &out) {
    const std::string check = "cd " + quoted(out) + " && sha256sum --quiet -c SHA256SUMS >/dev/null 2>&1";
    if (std::system(check.c_str()) != 0) return "no complete release";
    const char *build = std::getenv("KAVRO_BUILD_DIR");
    const std::string extract = quoted(std::string(build ? build : ".") + "/bin/zepa") + " extract " +
                                quoted(out + "/dm7000.dsk") + " kavro-2.cfg - >" + quoted(dir_ / "cfg");
    return std::system(extract.c_str()) == 0 ? text(dir_ / "cfg") : "no kavro-2.cfg";
  }

  fixtures::TempDir dir_;
  std::string build_ = dir_ / "build-box", out_ = dir_ / "out/rel";
};

// All of it, or the previous release as it was.
TEST_F(Release, IsMadeWholeOrNotAtAll) {
  const std::string p = dir_ / "p";
  for (const char *copy : {"linked", "no-cfg", "folder"}) fs::copy(p, dir_ / copy);
  fs::remove(dir_ / "linked/d213-EN.so");
  fs::create_symlink(p + "/d213-EN.so", dir_ / "linked/d213-EN.so");
  for (const char *extra : {"linked/a=b.txt", "linked/.kavro-2.cfg.swp", "linked/notes~", "no-cfg/.kavro-2.cfg.swp"})
    write(dir_ / extra, "x");
  fs::remove(dir_ / "no-cfg/kavro-1.cfg");
  fs::create_directory(dir_ / "folder/sub");
  const std::string out = out_;
  const struct {
    std::vector<std::string> args;
    int status;
    std::string err;
  } rows[] = {
      {{out, p}, 0, ""},
      {{out, dir_ / "no-cfg"}, 1, "kavro-1.cfg: missing, the installer can ask for it\n"},
      {{"--box-gate", "/bin/false", out, p}, 1, "fails the box gate (/bin/false): a box would not run it; OUTDIR is as it was\n"},
      {{out, dir_ / "folder"}, 1, (dir_ / "folder/sub") + " is not a regular file"},
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
    if (row.status == 0) sums = read_file(out + "/SHA256SUMS");
    if (row.status == 0) continue;
    EXPECT_TRUE(read_file(out + "/SHA256SUMS") == sums);
    EXPECT_EQ(folder_names(), names_before);  // nothing made beside it is left
  }
  const char *build = std::getenv("KAVRO_BUILD_DIR");
  const std::string list = std::string(build ? build : ".") + "/bin/zepa list " + quoted(out + "/dm7000.dsk") + " >" +
                           quoted(dir_ / "list");
  ASSERT_EQ(std::system(list.c_str()), 0);
  const std::string listed = text(dir_ / "list");
  for (const char *name : {"\na=b.txt ", "\nd213-EN.so "}) EXPECT_NE(listed.find(name), std::string::npos) << name;
  EXPECT_EQ(listed.find(".swp"), std::string::npos);
  EXPECT_EQ(listed.find("notes~"), std::string::npos);
}

// Stopped at each moment of the swap by SIGKILL (as a power cut: nothing more runs), or by SIGTERM on either side
// of the switch (the exit trap runs), OUTDIR names a complete release: the previous one until the link is switched,
// the new one from then on. An OUTDIR that is a folder of an earlier release is stopped around its change into a
// link. Each run starts from what the one before left; the last, uninterrupted, leaves OUTDIR and its release alone.
TEST_F(Release, SwapSurvivesASignalOrPowerCutAtEveryStep) {
  payloads("q", "q");
  const struct {
    std::string stop;
    bool is_new, folder_before;  // OUTDIR a folder of an earlier release, made before OUTDIR was a link
  } rows[] = {
      {"staged:KILL", false, false},   {"flushed:KILL", false, false}, {"linked:KILL", false, false},
      {"switched:KILL", true, false},  {"published:KILL", true, false}, {"done:KILL", true, false},
      {"linked:TERM", false, false},   {"switched:TERM", true, false},  {"linked:KILL", false, true},
      {"switched:KILL", true, true},   {"linked:TERM", false, true},    {"switched:TERM", true, true},
  };
  ASSERT_EQ(release({out_, dir_ / "p"}).status, 0);
  std::string now = "2";  // what OUTDIR's release holds: p's kavro-2.cfg, or q's
  for (const auto &row : rows) {
    SCOPED_TRACE(row.stop + (row.folder_before ? " over a folder" : ""));
    if (row.folder_before && fs::is_symlink(out_)) {
      const std::string target = fs::read_symlink(out_);
      fs::remove(out_);
      fs::rename(dir_ / ("out/" + target), out_);
    }
    const std::string next = now == "2" ? "q" : "2";
    const Run r = release({out_, dir_ / (next == "2" ? "p" : "q")}, "KAVRO_RELEASE_STOP=" + row.stop + " ");
    EXPECT_EQ(r.status, row.stop.ends_with("TERM") ? 143 : 128 + SIGKILL) << r.err;
    if (row.is_new) now = next;
    EXPECT_EQ(release_in(out_), now);
    EXPECT_EQ(fs::is_symlink(out_), row.is_new || !row.folder_before);
    if (row.stop.ends_with("TERM") && fs::is_symlink(out_)) {  // the trap took away all the rest
      EXPECT_EQ(folder_names(), (std::vector<std::string>{fs::read_symlink(out_), "rel"}));
    }
  }
  const Run r = release({out_, dir_ / "p"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(release_in(out_), "2");
  ASSERT_TRUE(fs::is_symlink(out_));
  EXPECT_EQ(folder_names(), (std::vector<std::string>{fs::read_symlink(out_), "rel"}));
}

}  // namespace
