// The zepa disk tool as its users run it: exit codes, messages, and the
// create -> verify -> extract round trip.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "container_writer.h"
#include "packer.h"
#include "unpack/packed_fixtures.h"

namespace {

using fixtures::Bytes;
using fixtures::read_file;
using fixtures::sample_bytes;
using fixtures::write_file;

struct ToolRun {
  int status;
  std::string out;
  std::string err;
};

std::string quoted(const std::string &word) {
  std::string q = "'";
  for (char c : word) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

std::string text_of(const std::string &path) {
  const auto bytes = read_file(path);
  return bytes ? std::string(bytes->begin(), bytes->end()) : std::string();
}

Bytes packed(const Bytes &plain, const kavro::tools::packer::Options &options = {}) {
  Bytes out;
  std::string error;
  EXPECT_TRUE(kavro::tools::packer::pack(plain, options, out, error)) << error;
  return out;
}

class ZepaTool : public testing::Test {
 protected:
  // `shell` goes before the command, as in "ulimit -f 8; ".
  ToolRun zepa(const std::vector<std::string> &args, const std::string &shell = "") {
    const char *build = std::getenv("KAVRO_BUILD_DIR");
    std::string command = shell + quoted(std::string(build ? build : ".") + "/bin/zepa");
    for (const auto &arg : args) command.append(" ").append(quoted(arg));
    command.append(" >").append(quoted(dir_ / "stdout")).append(" 2>").append(quoted(dir_ / "stderr"));
    const int raw = std::system(command.c_str());
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, text_of(dir_ / "stdout"), text_of(dir_ / "stderr")};
  }

  std::string file(const std::string &name, const Bytes &bytes) {
    write_file(dir_ / name, bytes);
    return dir_ / name;
  }

  void expect_extracts(const std::string &disk, const std::string &name, const Bytes &plain) {
    SCOPED_TRACE(name);
    const ToolRun r = zepa({"extract", disk, name, dir_ / "extracted"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_TRUE(read_file(dir_ / "extracted") == plain);
  }

  // The names in the test's folder, sorted.
  std::vector<std::string> folder_names() {
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(dir_.path())) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }

  fixtures::TempDir dir_;
  std::string disk_ = dir_ / "d.dsk";
};

TEST_F(ZepaTool, CreateVerifyExtractRoundTripsForEachMethod) {
  const std::vector<std::pair<std::string, Bytes>> files = {
      {"empty", {}},
      {"one", {0x42}},
      {"d213-EN.so", sample_bytes(1500000, 21)},
      {"noise.bin", fixtures::noise_bytes(300000, 22)},
  };
  std::vector<std::string> paths;
  for (const auto &[name, bytes] : files) paths.push_back(file(name, bytes));
  for (const char *method : {"nrv2b", "nrv2d", "nrv2e"}) {
    SCOPED_TRACE(method);
    std::vector<std::string> args = {"create", "-f", disk_, "--method", method, "--level", "6", "--block-size", "64K"};
    args.insert(args.end(), paths.begin(), paths.end());
    const ToolRun created = zepa(args);
    ASSERT_EQ(created.status, 0) << created.err;
    EXPECT_EQ(created.err, "");
    const std::string bytes_out = std::to_string(read_file(disk_)->size());
    EXPECT_EQ(created.out.substr(0, created.out.find(", ratio")),
              "4 entries, 1800001 bytes in, " + bytes_out + " bytes out");

    const ToolRun verified = zepa({"verify", disk_});
    EXPECT_EQ(verified.status, 0);
    EXPECT_EQ(verified.out, "empty: OK\none: OK\nd213-EN.so: OK\nnoise.bin: OK\n4 entries, 0 damaged\n");
    for (const auto &[name, bytes] : files) expect_extracts(disk_, name, bytes);
    EXPECT_EQ(zepa({"extract", disk_, "one", "-"}).out, "\x42");
  }
}

TEST_F(ZepaTool, TwentyMegabyteFileRoundTrips) {
  const Bytes plain = sample_bytes(20 * 1024 * 1024, 23);
  const ToolRun created = zepa({"create", "-q", disk_, "--level", "1", file("big", plain)});
  ASSERT_EQ(created.status, 0) << created.err;
  EXPECT_EQ(zepa({"verify", disk_}).out, "big: OK\n1 entries, 0 damaged\n");
  expect_extracts(disk_, "big", plain);
}

TEST_F(ZepaTool, CreateGivesTheSameBytesWithOneThreadOrSeveral) {
  const std::string a = file("a.so", sample_bytes(400000, 24));
  const std::string b = file("b.cfg", sample_bytes(5000, 25));
  const std::string one = dir_ / "one.dsk", several = dir_ / "several.dsk";
  ASSERT_EQ(zepa({"create", one, "--threads", "1", "--level", "4", "--block-size", "8192", a, "renamed=" + b}).status,
            0);
  ASSERT_EQ(zepa({"create", several, "--threads=5", "--level=4", "--block-size=8k", a, "renamed=" + b}).status, 0);
  EXPECT_TRUE(read_file(one) == read_file(several));
  expect_extracts(several, "renamed", sample_bytes(5000, 25));
}

TEST_F(ZepaTool, ListShowsEachEntryWithItsPackedHeader) {
  const Bytes cfg =
      packed(sample_bytes(3000, 26),
             {.method = kavro::tools::packer::Method::nrv2d, .level = 3, .block_size = 2048, .checksum = false});
  ASSERT_EQ(kavro::tools::container::write_container(
                disk_, {{{"cfg", cfg}, {"junk", Bytes(5, 1)}, {"cfg", Bytes(2, 1)}, {"\x1b[31m\nx\\", Bytes(1, 1)}}}),
            "");
  const ToolRun r = zepa({"list", disk_});
  EXPECT_EQ(r.status, 0);
  char expected[1024];
  std::snprintf(expected, sizeof expected,
                "NAME                         PACKED   ORIGINAL METHOD LEVEL    BLOCK CHECKSUM     OFFSET\n"
                "cfg                      %10zu       3000 nrv2d      3     2048 no               88\n"
                "junk                              5          - -          -        - -        %10zu\n"
                "cfg                               2          - -          -        - -        %10zu\n"
                "\\x1b[31m\\nx\\\\                     1          - -          -        - -        %10zu\n"
                "4 entries, %zu bytes packed, 3000 bytes original, disk %zu bytes\n",
                cfg.size(), 88 + cfg.size(), 93 + cfg.size(), 95 + cfg.size(), 8 + cfg.size(), 96 + cfg.size());
  EXPECT_EQ(r.out, expected);
}

TEST(ContainerWriter, EveryByteOfADiskLiesBelowTwoGiB) {
  // One entry named "n": a directory of 29 bytes before the data.
  const std::uint64_t limit = std::uint64_t{1} << 31;
  EXPECT_EQ(kavro::tools::container::size_problem(1, 1, limit - 29), "");
  EXPECT_EQ(kavro::tools::container::size_problem(1, 1, limit - 28),
            "the disk would take 2147483649 bytes, more than the 2 GiB (2147483648 bytes) a data disk can hold");
}

TEST_F(ZepaTool, VerifyNamesDamagedEntriesAndStrayBytes) {
  const Bytes good = packed(sample_bytes(4000, 27));
  Bytes bad = good;
  bad.back() ^= 1;  // the checksum
  Bytes unchecked = packed(fixtures::noise_bytes(3000, 29), {.checksum = false});
  unchecked[100] ^= 1;  // a stored block's byte: it still decodes
  ASSERT_EQ(kavro::tools::container::write_container(disk_, {{{"good", good}, {"bad", bad}, {"raw", unchecked}}}), "");
  auto bytes = *read_file(disk_);
  bytes.insert(bytes.end(), 7, 0);
  write_file(disk_, bytes);
  const ToolRun r = zepa({"verify", disk_});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out,
            "good: OK\n"
            "bad: checksum error - data corrupted\n"
            "raw: OK (no checksum: content not checked)\n"
            "7 bytes after the last entry are not in the directory\n"
            "3 entries, 1 damaged, 1 unchecked\n");
  EXPECT_EQ(r.err, "");
}

TEST_F(ZepaTool, ExtractPrintsOnlyWhatTheInstallerPrints) {
  Bytes bad = packed(sample_bytes(4000, 28));
  bad.back() ^= 1;  // the checksum
  ASSERT_EQ(kavro::tools::container::write_container(disk_, {{{"bad", bad}}}), "");
  const ToolRun damaged = zepa({"extract", disk_, "bad", dir_ / "out"});
  EXPECT_EQ(damaged.status, 1);
  EXPECT_EQ(damaged.out, "");
  EXPECT_EQ(damaged.err, "checksum error - data corrupted");
  const ToolRun missing = zepa({"extract", disk_, "missing", dir_ / "out"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.err, "ERROR: A real file could not be opened\n");
}

TEST_F(ZepaTool, ExtractWritesOnlyIntoItsOutput) {
  const Bytes seven = packed({7});
  ASSERT_EQ(
      kavro::tools::container::write_container(
          disk_, {{{"good", seven}, {"../evil", seven}, {"..", seven}, {"e\x1b[0m", seven}, {"good", packed({8})}}}),
      "");
  const auto disk = read_file(disk_);
  const ToolRun itself = zepa({"extract", disk_, "good", dir_ / "./d.dsk"});
  EXPECT_EQ(itself.status, 1);
  EXPECT_EQ(itself.err, "zepa: " + (dir_ / "./d.dsk") + ": is the disk being read\n");
  const ToolRun all = zepa({"extract", "--all", disk_, dir_ / "out"});
  EXPECT_EQ(all.status, 1);
  EXPECT_EQ(all.err,
            "zepa: entry '../evil' not extracted: holds a '/'\n"
            "zepa: entry '..' not extracted: not a file name\n"
            "zepa: entry 'e\\x1b[0m' not extracted: holds a control character\n"
            "zepa: entry 'good' not extracted: hidden by an earlier entry of the same name\n");
  EXPECT_TRUE(read_file(disk_) == disk);
  EXPECT_TRUE(read_file(dir_ / "out/good") == Bytes{7});
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_ / "out"), {}), 1);
  EXPECT_FALSE(std::filesystem::exists(dir_ / "evil"));
}

TEST_F(ZepaTool, VerifyInstallerNamesEachFileTheInstallerWouldMiss) {
  std::vector<std::string> names;
  for (const char *variant : {"d209", "d213"})
    for (const char *code : {"CZ", "EN", "AR", "BG", "HR", "NL", "FR", "GR", "HU", "PL", "SI"})
      names.push_back(std::string(variant) + "-" + code + ".so");
  names.insert(names.end(), {"kavro-1.cfg", "kavro-2.cfg"});
  const struct {
    std::vector<std::string> left_out;
    std::string end;
  } cases[] = {
      {{}, "24 entries, 0 damaged, 0 missing for the installer\n"},
      {{"d209-CZ.so", "kavro-1.cfg"},
       "d209-CZ.so: missing, the installer can ask for it\n"
       "kavro-1.cfg: missing, the installer can ask for it\n"
       "22 entries, 0 damaged, 2 missing for the installer\n"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.end);
    std::vector<kavro::tools::container::ContainerEntry> entries;
    std::string expected;
    for (const std::string &name : names) {
      if (std::find(c.left_out.begin(), c.left_out.end(), name) != c.left_out.end()) continue;
      entries.push_back({name, packed({1})});
      expected += name + ": OK\n";
    }
    ASSERT_EQ(kavro::tools::container::write_container(disk_, entries), "");
    const ToolRun r = zepa({"verify", "--installer", disk_});
    EXPECT_EQ(r.status, c.left_out.empty() ? 0 : 1);
    EXPECT_EQ(r.out, expected + c.end);
  }
}

TEST_F(ZepaTool, UsageErrorsExitWithTwoAndNameTheProblem) {
  const std::string f = file("f", {1, 2, 3});
  const std::string long_disk = "/tmp/" + std::string(59, 'x');  // 64 characters
  const struct {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{"frobnicate"}, "zepa: unknown command 'frobnicate'\nTry 'zepa --help'.\n"},
      {{"list"}, "zepa: missing operand\nTry 'zepa list --help'.\n"},
      {{"list", disk_, disk_}, "zepa: too many operands\nTry 'zepa list --help'.\n"},
      {{"list", "--level", "3", disk_}, "zepa: unknown option '--level'\nTry 'zepa list --help'.\n"},
      {{"create", disk_, "--level", "11", f}, "zepa: level must be 1 to 10\nTry 'zepa create --help'.\n"},
      {{"create", disk_, "--level", "0", f}, "zepa: level must be 1 to 10\nTry 'zepa create --help'.\n"},
      {{"create", disk_, "--method", "lzma", f}, "zepa: unknown method 'lzma'\nTry 'zepa create --help'.\n"},
      {{"create", disk_, "--block-size", "1023", f},
       "zepa: block size must be 1024 to 8388608\nTry 'zepa create --help'.\n"},
      {{"create", disk_, "--block-size", "8388609", f},
       "zepa: block size must be 1024 to 8388608\nTry 'zepa create --help'.\n"},
      {{"create", disk_, "--level"}, "zepa: option '--level' needs a value\nTry 'zepa create --help'.\n"},
      {{"create", disk_, "--level", "ten", f}, "zepa: --level: 'ten' is not a number\nTry 'zepa create --help'.\n"},
      {{"create", disk_, "--threads=2x", f}, "zepa: --threads: '2x' is not a number\nTry 'zepa create --help'.\n"},
      {{"create", disk_, "--block-size", "1G", f},
       "zepa: --block-size: '1G' is not a number\nTry 'zepa create --help'.\n"},
      {{"create", disk_, "--block-size", "9M", f},
       "zepa: block size must be 1024 to 8388608\nTry 'zepa create --help'.\n"},
      {{"extract", "--all", disk_}, "zepa: missing operand\nTry 'zepa extract --help'.\n"},
      {{"extract", disk_, "x"}, "zepa: missing operand\nTry 'zepa extract --help'.\n"},
      {{"create", disk_}, "zepa: missing operand\nTry 'zepa create --help'.\n"},
      {{"create", disk_, f, "f=" + f}, "zepa: name 'f' given twice\nTry 'zepa create --help'.\n"},
      {{"create", disk_, "=" + f}, "zepa: empty name for '" + f + "'\nTry 'zepa create --help'.\n"},
      {{"create", disk_, std::string(65536, 'n') + "=" + f},
       "zepa: name longer than 65535 bytes for '" + f + "'\nTry 'zepa create --help'.\n"},
      {{"extract", long_disk, "x", "y"},
       "zepa: disk path longer than 63 characters, which the installer cannot use: " + long_disk +
           "\nTry 'zepa extract --help'.\n"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.args[0]).append(" ").append(c.args.back().substr(0, 80)));
    const ToolRun r = zepa(c.args);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.out, "");
  }
  EXPECT_FALSE(read_file(disk_));
  EXPECT_EQ(zepa({}).status, 2);
}

TEST_F(ZepaTool, HelpAndVersionSucceedOnStandardOutput) {
  for (const std::string command : {"create", "list", "extract", "verify"}) {
    const ToolRun r = zepa({command, "-h"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("Usage: zepa " + command + " ", 0), 0u) << r.out;
  }
  const ToolRun help = zepa({"-h"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("  verify     decode every entry"), std::string::npos);
  const ToolRun version = zepa({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("zepa (Kavro) ", 0), 0u);
}

// Each refusal or failure of create leaves the old disk byte for byte and no
// other file behind.
TEST_F(ZepaTool, CreateNeverLosesTheDisk) {
  const std::string f = file("f", {1, 2, 3});
  const std::string noise = file("noise", fixtures::noise_bytes(100000, 30));
  std::filesystem::create_directory(dir_ / "sub");
  ASSERT_EQ(zepa({"create", "-q", disk_, f}).status, 0);
  const auto old_disk = read_file(disk_);
  const std::vector<std::string> old_names = folder_names();
  const struct {
    std::vector<std::string> args;
    std::string err;
    std::string shell = "";
  } cases[] = {
      {{"create", "-f", disk_, f, dir_ / "sub"}, "zepa: " + (dir_ / "sub") + ": cannot read: Is a directory\n"},
      {{"create", "-f", disk_, dir_ / "absent"},
       "zepa: " + (dir_ / "absent") + ": cannot read: No such file or directory\n"},
      {{"create", "-f", disk_, f, "old=" + disk_}, "zepa: " + disk_ + ": is the disk being written\n"},
      {{"create", disk_, f}, "zepa: " + disk_ + ": already exists; use --force to replace it\n"},
      {{"create", dir_ / "none/d.dsk", f},
       "zepa: " + (dir_ / "none/d.dsk") + ": cannot write into " + (dir_ / "none") + ": No such file or directory\n"},
      {{"create", "--force", disk_, noise}, "zepa: " + disk_ + ": cannot write: File too large\n", "ulimit -f 16; "},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.err);
    const ToolRun r = zepa(c.args, c.shell);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, c.err);
    EXPECT_TRUE(read_file(disk_) == old_disk);
    EXPECT_EQ(folder_names(), old_names);
  }
}

TEST_F(ZepaTool, FailuresWhileWorkingExitWithOne) {
  const ToolRun missing_disk = zepa({"list", disk_});
  EXPECT_EQ(missing_disk.status, 1);
  EXPECT_EQ(missing_disk.err, "zepa: " + disk_ + ": No such file or directory\n");
  write_file(disk_, {1, 2, 3, 4, 5, 1});
  const ToolRun damaged = zepa({"verify", disk_});
  EXPECT_EQ(damaged.status, 1);
  EXPECT_EQ(damaged.err, "zepa: " + disk_ + ": the file is too short for a directory\n");
  write_file(disk_, {'Z', 'E', 'P', 'A', '1', 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 14, 0, 0});
  const ToolRun huge_count = zepa({"list", disk_});
  EXPECT_EQ(huge_count.status, 1);
  EXPECT_EQ(huge_count.err,
            "zepa: " + disk_ + ": the directory lists 4294967295 entries, more than the file can hold\n");
}

}  // namespace
