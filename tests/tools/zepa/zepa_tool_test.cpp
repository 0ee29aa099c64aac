// SPDX-License-Identifier: GPL-2.0-or-later
// The packer's output layout, and the zepa disk tool as its users run it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "container_writer.h"
#include "unpack/packed_fixtures.h"

namespace {

namespace packer = kavro::tools::packer;
namespace container = kavro::tools::container;
using fixtures::be32;
using fixtures::Bytes;
using fixtures::noise_bytes;
using fixtures::packed;
using fixtures::read_file;
using fixtures::sample_bytes;

// What neither `zepa list` nor a round trip shows: a block that does not shrink is stored as it is.
TEST(Packer, BlocksThatDoNotShrinkAreStored) {
  const Bytes noise = noise_bytes(3000, 3),
              out = packed(fixtures::cat({Bytes(8192, 7), noise}), {.block_size = 4096, .checksum = false});
  std::size_t at = packer::kHeaderSize;
  for (const std::uint32_t size : {4096u, 4096u, 3000u}) {  // decoded size, then stored size
    EXPECT_EQ(be32(out, at), size);
    EXPECT_EQ(be32(out, at + 4) < size, size == 4096);
    at += 8 + be32(out, at + 4);
  }
  EXPECT_TRUE(std::equal(noise.begin(), noise.end(), out.end() - 3000 - 4));
  EXPECT_EQ(be32(out, at), 0u);  // the end marker
  EXPECT_EQ(out.size(), at + 4);
}

TEST(ContainerWriter, EveryByteOfADiskLiesBelowTwoGiB) {
  // One entry named "n": a directory of 29 bytes before the data.
  const std::uint64_t limit = std::uint64_t{1} << 31;
  EXPECT_EQ(container::size_problem(1, 1, limit - 29), "");
  EXPECT_EQ(container::size_problem(1, 1, limit - 28),
            "the disk would take 2147483649 bytes, more than the 2 GiB (2147483648 bytes) a data disk can hold");
}

class ZepaTool : public testing::Test {
 protected:
  struct Run {
    int status;
    std::string out, err;
  };
  static std::string quoted(const std::string &word) {
    std::string q = "'";
    for (char c : word) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
  }
  static std::string build_dir() {
    const char *build = std::getenv("KAVRO_BUILD_DIR");
    return build ? build : ".";
  }
  // `shell` goes before the command, as in "ulimit -f 8; ".
  Run zepa(const std::vector<std::string> &args, const std::string &shell = "") {
    return run(build_dir() + "/bin/zepa", args, shell);
  }
  Run run(const std::string &program, const std::vector<std::string> &args, const std::string &shell = "") {
    std::string command = shell + quoted(program);
    for (const auto &arg : args) command.append(" ").append(quoted(arg));
    command.append(" >").append(quoted(dir_ / "stdout")).append(" 2>").append(quoted(dir_ / "stderr"));
    const int raw = std::system(command.c_str());
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, text(dir_ / "stdout"), text(dir_ / "stderr")};
  }
  std::string text(const std::string &path) {
    const Bytes bytes = read_file(path).value_or(Bytes{});
    return {bytes.begin(), bytes.end()};
  }
  std::string file(const std::string &name, const Bytes &bytes) {
    fixtures::write_file(dir_ / name, bytes);
    return dir_ / name;
  }
  std::string disk(const std::string &name, const std::vector<container::ContainerEntry> &entries) {
    EXPECT_EQ(container::write_container(dir_ / name, entries), "");
    return dir_ / name;
  }
  void expect_extracts(const std::string &disk, const std::string &name, const Bytes &plain) {
    SCOPED_TRACE(name);
    const Run r = zepa({"extract", "-f", disk, name, dir_ / "extracted"});
    EXPECT_EQ(std::to_string(r.status) + r.out + r.err, "0");  // status 0, nothing printed
    EXPECT_TRUE(read_file(dir_ / "extracted") == plain);
  }

  std::vector<std::string> names_in(const std::string &folder) {
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(folder)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }
  std::vector<std::string> folder_names() { return names_in(dir_.path()); }

  fixtures::TempDir dir_;
  std::string disk_ = dir_ / "d.dsk";
};

TEST_F(ZepaTool, CreateVerifyExtractRoundTrips) {
  const std::vector<std::pair<std::string, Bytes>> files = {{"empty", {}},
                                                            {"one", {0x42}},
                                                            {"d213-EN.so", sample_bytes(1500000, 21)},
                                                            {"noise.bin", noise_bytes(300000, 22)}};
  std::vector<std::string> paths;
  for (const auto &[name, bytes] : files) paths.push_back(file(name, bytes));
  for (const char *method : {"nrv2b", "nrv2d", "nrv2e"}) {
    SCOPED_TRACE(method);
    std::vector<std::string> args = {"create", "-f", disk_, "--method", method, "--level", "6", "--block-size", "64K"};
    args.insert(args.end(), paths.begin(), paths.end());
    const Run created = zepa(args);
    ASSERT_EQ(created.status, 0) << created.err;
    EXPECT_EQ(created.out + created.err.substr(0, created.err.find(", ratio")),
              "4 entries, 1800001 bytes in, " + std::to_string(read_file(disk_)->size()) + " bytes out");
    const Run verified = zepa({"verify", disk_});
    EXPECT_EQ(verified.status, 0);
    EXPECT_EQ(verified.out, "empty: OK\none: OK\nd213-EN.so: OK\nnoise.bin: OK\n4 entries, 0 damaged\n");
    for (const auto &[name, bytes] : files) expect_extracts(disk_, name, bytes);
    EXPECT_EQ(zepa({"extract", disk_, "one", "-"}).out, "\x42");
  }
  // The same bytes with one thread or several; level 1 is the lowest.
  const std::string one = dir_ / "one.dsk", several = dir_ / "several.dsk";
  for (const std::vector<std::string> &args :
       {std::vector<std::string>{"create", one, "--threads", "1", "--level", "1", "--block-size", "8192", paths[2],
                                 "renamed=" + paths[3]},
        {"create", several, "--threads=5", "--level=1", "--block-size=8k", paths[2], "renamed=" + paths[3]}})
    ASSERT_EQ(zepa(args).status, 0);
  EXPECT_TRUE(read_file(one) == read_file(several));
  expect_extracts(several, "renamed", files[3].second);
}

TEST_F(ZepaTool, ListShowsEachEntryWithItsPackedHeader) {
  const Bytes cfg = packed(sample_bytes(3000, 26),
                           {.method = packer::Method::nrv2d, .level = 3, .block_size = 2048, .checksum = false});
  disk("d.dsk", {{"cfg", cfg}, {"junk", Bytes(5, 1)}, {"cfg", Bytes(2, 1)}, {"\x1b[31m\nx \\", Bytes(1, 1)}});
  const Run r = zepa({"list", disk_});
  EXPECT_EQ(r.status, 0);
  char expected[1024];
  std::snprintf(expected, sizeof expected,
                "NAME                         PACKED   ORIGINAL METHOD LEVEL    BLOCK CHECKSUM     OFFSET\n"
                "cfg                      %10zu       3000 nrv2d      3     2048 no               89\n"
                "junk                              5          - -          -        - -        %10zu\n"
                "cfg                               2          - -          -        - -        %10zu\n"
                "\\x1b[31m\\nx \\\\                    1          - -          -        - -        %10zu\n"
                "4 entries, %zu bytes packed, 3000 bytes original, disk %zu bytes\n",
                cfg.size(), 89 + cfg.size(), 94 + cfg.size(), 96 + cfg.size(), 8 + cfg.size(), 97 + cfg.size());
  EXPECT_EQ(r.out, expected);
}

// One row per command: its status, standard output and standard error. A
// create that is refused or fails keeps the old disk byte for byte and
// leaves no other file behind.
TEST_F(ZepaTool, CommandsEndWithTheirStatusOutputAndMessages) {
  const std::string f = file("f", {1, 2, 3}), out = dir_ / "out", long_disk = "/tmp/" + std::string(59, 'x');
  const std::string noise = file("noise", noise_bytes(100000, 30)), old = dir_ / "old.dsk";
  const std::string fifo = dir_ / "fifo", too_long(256, 'n');
  std::filesystem::create_directory(dir_ / "sub");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  ASSERT_EQ(zepa({"create", "-q", old, f}).status, 0);
  const auto usage = [](const std::string &command, const std::string &message) {
    return "zepa: " + message + "\nTry 'zepa " + command + "--help'.\n";
  };
  const Bytes good = packed(sample_bytes(4000, 27));
  Bytes bad = good, unchecked = packed(noise_bytes(3000, 29), {.checksum = false});
  bad.back() ^= 1;      // the checksum
  unchecked[100] ^= 1;  // a stored block's byte: it still decodes
  const std::string damaged = disk("damaged.dsk", {{"good", good}, {"bad", bad}, {"raw", unchecked}});
  fixtures::write_file(damaged, fixtures::cat({*read_file(damaged), Bytes(7, 0)}));
  std::vector<container::ContainerEntry> all = {{"kavro-1.cfg", packed({1})}, {"kavro-2.cfg", packed({1})}}, partial;
  for (const char *variant : {"d209-", "d213-"})
    for (const char *code : {"CZ", "EN", "AR", "BG", "HR", "NL", "FR", "GR", "HU", "PL", "SI"})
      all.push_back({variant + std::string(code) + ".so", packed({1})});
  std::string all_ok, partial_ok;  // partial: without d209-CZ.so and kavro-1.cfg
  for (const auto &entry : all) {
    all_ok += entry.name + ": OK\n";
    if (entry.name == "d209-CZ.so" || entry.name == "kavro-1.cfg") continue;
    partial.push_back(entry);
    partial_ok += entry.name + ": OK\n";
  }
  const std::string all_disk = disk("all.dsk", all), partial_disk = disk("partial.dsk", partial);
  const std::string short_file = file("short.dsk", {1, 2, 3, 4, 5, 1});
  const std::string huge_count =
      file("huge.dsk", {'Z', 'E', 'P', 'A', '1', 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 14, 0, 0});
  // clang-format off
  const struct {
    std::vector<std::string> args;
    int status;
    std::string out, err, shell = "";
  } rows[] = {
      {{"verify", damaged}, 1, "good: OK\nbad: checksum error - data corrupted\nraw: OK (no checksum: content not "
       "checked)\n7 bytes after the last entry are not in the directory\n3 entries, 1 damaged, 1 unchecked\n", ""},
      // extract prints only what the installer prints
      {{"extract", damaged, "bad", out}, 1, "", "checksum error - data corrupted"},
      {{"extract", damaged, "missing", out}, 1, "", "ERROR: A real file could not be opened\n"},
      {{"verify", "--installer", all_disk}, 0, all_ok + "24 entries, 0 damaged, 0 missing for the installer\n", ""},
      {{"verify", "--installer", partial_disk}, 1, partial_ok + "d209-CZ.so: missing, the installer can ask for it\n"
       "kavro-1.cfg: missing, the installer can ask for it\n22 entries, 0 damaged, 2 missing for the installer\n", ""},
      {{"list", disk_}, 1, "", "zepa: " + disk_ + ": No such file or directory\n"},
      {{"verify", short_file}, 1, "", "zepa: " + short_file + ": the file is too short for a directory\n"},
      {{"list", huge_count}, 1, "", "zepa: " + huge_count + ": the directory lists 4294967295 entries, more than the "
       "file can hold\n"},
      {{"create", "-f", old, f, dir_ / "sub"}, 1, "", "zepa: " + (dir_ / "sub") + ": is a folder, not a regular file\n"},
      {{"create", "-f", old, "/dev/zero"}, 1, "", "zepa: /dev/zero: is a character device, not a regular file\n"},
      {{"create", "-f", old, fifo}, 1, "", "zepa: " + fifo + ": is a FIFO, not a regular file\n"},
      {{"create", "-f", old, "/proc/self/stat"}, 1, "", "zepa: /proc/self/stat: its size changed while it was packed\n"},
      {{"create", "-f", old, f, "x=" + old}, 1, "", "zepa: " + old + ": is the disk being written\n"},
      {{"create", old, f}, 1, "", "zepa: " + old + ": already exists; use --force to replace it\n"},
      {{"create", dir_ / "none/d.dsk", f}, 1, "", "zepa: " + (dir_ / "none/d.dsk") + ": cannot write into " +
       (dir_ / "none") + ": No such file or directory\n"},
      {{"create", "--force", old, noise}, 1, "", "zepa: " + old + ": cannot write: File too large\n", "ulimit -f 16; "},
      {{"frobnicate"}, 2, "", usage("", "unknown command 'frobnicate'")},
      {{"list"}, 2, "", usage("list ", "missing operand")},
      {{"list", disk_, disk_}, 2, "", usage("list ", "too many operands")},
      {{"list", "--level", "3", disk_}, 2, "", usage("list ", "unknown option '--level'")},
      {{"create", disk_, "--level", "11", f}, 2, "", usage("create ", "level must be 1 to 10")},
      {{"create", disk_, "--method", "lzma", f}, 2, "", usage("create ", "unknown method 'lzma'")},
      {{"create", disk_, "--block-size", "8388609", f}, 2, "", usage("create ", "block size must be 1024 to 8388608")},
      {{"create", disk_, "--block-size", "9M", f}, 2, "", usage("create ", "block size must be 1024 to 8388608")},
      {{"create", disk_, "--level"}, 2, "", usage("create ", "option '--level' needs a value")},
      {{"create", disk_, "--threads=2x", f}, 2, "", usage("create ", "--threads: '2x' is not a number")},
      {{"create", disk_, "--block-size", "1G", f}, 2, "", usage("create ", "--block-size: '1G' is not a number")},
      {{"extract", "--all", disk_}, 2, "", usage("extract ", "missing operand")},
      {{"extract", disk_, "x"}, 2, "", usage("extract ", "missing operand")},
      {{"create", disk_}, 2, "", usage("create ", "missing operand")},
      {{"create", disk_, f, "f=" + f}, 2, "", usage("create ", "name 'f' given twice")},
      {{"create", disk_, "=" + f}, 2, "", usage("create ", "name '' for '" + f + "': not a file name")},
      {{"create", disk_, ".=" + f}, 2, "", usage("create ", "name '.' for '" + f + "': not a file name")},
      {{"create", disk_, "a\tb=" + f}, 2, "", usage("create ", "name 'a\\tb' for '" + f + "': holds a control "
       "character")},
      // extract --all could not write it
      {{"create", disk_, too_long + "=" + f}, 2, "", usage("create ", "name '" + too_long + "' for '" + f + "': longer "
       "than 255 bytes")},
      {{"extract", long_disk, "x", "y"}, 2, "", usage("extract ", "disk path longer than 63 characters, which the "
       "installer cannot use: " + long_disk)},
  };
  // clang-format on
  const auto old_disk = read_file(old);
  for (const auto &row : rows) {
    SCOPED_TRACE(row.args[0] + " " + row.args.back().substr(0, 80));
    const std::vector<std::string> names_before = folder_names();
    const Run r = zepa(row.args, row.shell);
    EXPECT_EQ(r.status, row.status);
    EXPECT_EQ(r.out, row.out);
    EXPECT_EQ(r.err, row.err);
    if (row.args[0] != "create") continue;
    EXPECT_EQ(folder_names(), names_before);
    EXPECT_TRUE(read_file(old) == old_disk);
  }
  EXPECT_FALSE(read_file(disk_));
  EXPECT_EQ(zepa({}).status, 2);
  for (const std::string command : {"create", "list", "extract", "verify"}) {
    const Run r = zepa({command, "-h"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("Usage: zepa " + command + " ", 0), 0u) << r.out;
  }
  EXPECT_NE(zepa({"-h"}).out.find("  verify     decode every entry"), std::string::npos);
  EXPECT_EQ(zepa({"--version"}).out.rfind("zepa (Kavro) ", 0), 0u);
}

TEST_F(ZepaTool, ExtractWritesOnlyIntoItsOutput) {
  const Bytes seven = packed({7});
  disk("d.dsk", {{"good", seven},
                 {"../evil", seven},
                 {"..", seven},
                 {"e\x1b[0m", seven},
                 {"good", packed({8})},
                 {"d.dsk", seven}});
  const auto before = read_file(disk_);
  const Run itself = zepa({"extract", disk_, "good", dir_ / "./d.dsk"});
  EXPECT_EQ(itself.status, 1);
  EXPECT_EQ(itself.err, "zepa: " + (dir_ / "./d.dsk") + ": is the disk being read\n");
  const Run all = zepa({"extract", "--all", disk_, dir_ / "out"});
  EXPECT_EQ(all.status, 1);
  EXPECT_EQ(all.err,
            "zepa: entry '../evil' not extracted: holds a '/'\n"
            "zepa: entry '..' not extracted: not a file name\n"
            "zepa: entry 'e\\x1b[0m' not extracted: holds a control character\n"
            "zepa: entry 'good' not extracted: hidden by an earlier entry of the same name\n");
  const Run beside = zepa({"extract", "--all", "-f", disk_, dir_.path()});  // the disk's own folder
  EXPECT_NE(beside.err.find("entry 'd.dsk' not extracted: " + (dir_ / "d.dsk") + " is the disk being read\n"),
            std::string::npos);
  EXPECT_TRUE(read_file(disk_) == before);
  EXPECT_TRUE(read_file(dir_ / "out/good") == Bytes{7});
  EXPECT_EQ(names_in(dir_ / "out"), (std::vector<std::string>{"d.dsk", "good"}));
  EXPECT_TRUE(read_file(dir_ / "good") == Bytes{7});
  EXPECT_FALSE(std::filesystem::exists(dir_ / "evil"));
}

// A failed or refused extraction leaves every existing file as it was and
// no new file; --all stops at the first file that cannot be written.
TEST_F(ZepaTool, ExtractReplacesOnlyWhenForcedAndComplete) {
  const Bytes sample = sample_bytes(4000, 27), noise = noise_bytes(20000, 31), good = packed(sample);
  Bytes bad = good;
  bad.back() ^= 1;
  disk("d.dsk", {{"keep.txt", good}, {"bad", bad}, {"big", packed(noise)}, {"after", good}});
  const std::string keep = file("keep.txt", {'k'}), outside = file("outside", {'o'}), out = dir_ / "out",
                    out2 = dir_ / "out2", long_disk = dir_ / std::string(70, 'l');
  std::filesystem::create_directory(out);
  std::filesystem::create_directory(out2);
  fixtures::write_file(out + "/keep.txt", {'x'});
  std::filesystem::create_hard_link(outside, out2 + "/keep.txt");
  chmod(outside.c_str(), 0604);
  disk(std::string(70, 'l'), {{"one", good}});
  const std::string damaged = "zepa: entry 'bad' not extracted: checksum error - data corrupted\n";
  const struct {
    std::vector<std::string> args;
    int status;
    std::string err, shell = "";
  } rows[] = {
      {{"extract", disk_, "keep.txt", keep}, 1, "zepa: " + keep + ": already exists; use --force to replace it\n"},
      {{"extract", "-f", disk_, "bad", keep}, 1, "checksum error - data corrupted"},
      {{"extract", "--all", disk_, out},
       1,
       "zepa: entry 'keep.txt' not extracted: " + out +
           "/keep.txt already exists; "
           "use --force to replace it\n" +
           damaged},
      {{"extract", "--all", "-f", disk_, out2},
       1,
       damaged + "zepa: entry 'big' not extracted: " + out2 +
           "/big: "
           "cannot write: File too large\n",
       "ulimit -f 8; "},
      // One open disk, not the installer's lookup by name: any path will do.
      {{"extract", "--all", long_disk, dir_ / "out3"}, 0, ""},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.args[1] + " " + row.args.back());
    const Run r = zepa(row.args, row.shell);
    EXPECT_EQ(r.status, row.status);
    EXPECT_EQ(r.out + r.err, row.err);
  }
  EXPECT_TRUE(read_file(keep) == Bytes{'k'});
  EXPECT_TRUE(read_file(out + "/keep.txt") == Bytes{'x'});
  EXPECT_TRUE(read_file(out + "/big") == noise);
  EXPECT_TRUE(read_file(outside) == Bytes{'o'});  // replaced, not written through its second name
  EXPECT_TRUE(read_file(out2 + "/keep.txt") == sample);
  struct stat replaced {};
  EXPECT_EQ(stat((out2 + "/keep.txt").c_str(), &replaced), 0);
  EXPECT_EQ(replaced.st_mode & 07777, 0604u);
  EXPECT_EQ(names_in(out2), std::vector<std::string>{"keep.txt"});  // nothing after the failure, no partial file
  EXPECT_TRUE(read_file(dir_ / "out3/one") == sample);
}

// Only a regular file or nothing is replaced; devices and standard output are
// written into, and standard output carries nothing but the disk, whether it
// is a file or a pipe.
TEST_F(ZepaTool, CreateWritesDevicesAndStandardOutput) {
  const std::string f = file("f", {1, 2, 3}), piped = dir_ / "piped.dsk";
  const Run created = zepa({"create", disk_, f});
  ASSERT_EQ(created.status, 0);
  EXPECT_EQ(created.out, "");
  EXPECT_EQ(created.err.rfind("1 entries, 3 bytes in, ", 0), 0u) << created.err;
  chmod(disk_.c_str(), 0444);
  EXPECT_EQ(zepa({"create", "/dev/null", f}).status, 0);
  const Run to_file = zepa({"create", "/dev/stdout", f});
  EXPECT_EQ(to_file.status, 0);
  EXPECT_EQ(to_file.err, created.err);
  EXPECT_TRUE(Bytes(to_file.out.begin(), to_file.out.end()) == read_file(disk_));
  const Run to_pipe = run("sh", {"-c", "\"$0\" create /dev/stdout \"$1\" | cat >\"$2\"", build_dir() + "/bin/zepa", f, piped});
  EXPECT_EQ(to_pipe.status, 0);
  EXPECT_EQ(to_pipe.out + to_pipe.err, created.err);
  EXPECT_TRUE(read_file(piped) == read_file(disk_));
  EXPECT_EQ(zepa({"create", "-q", "-f", disk_, f}).status, 0);
  struct stat st {};
  EXPECT_TRUE(stat("/dev/null", &st) == 0 && S_ISCHR(st.st_mode));
  EXPECT_TRUE(stat(disk_.c_str(), &st) == 0 && (st.st_mode & 07777) == 0444);
  // A file whose name holds '=' is packed under its own name.
  ASSERT_EQ(zepa({"create", "-q", "-f", disk_, file("a=b.txt", {4})}).status, 0);
  EXPECT_NE(zepa({"list", disk_}).out.find("\na=b.txt "), std::string::npos);
}

// A symbolic link is refused whatever it leads to, and with --force the link
// itself is replaced, never what it points to.
TEST_F(ZepaTool, ALinkIsReplacedItselfOnlyWhenForced) {
  const std::string f = file("f", {1, 2, 3}), fifo = dir_ / "fifo", target = file("target.dsk", {'t'});
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);  // a write into the FIFO would not block
  ASSERT_GE(reader, 0);
  ASSERT_EQ(zepa({"create", "-q", disk_, f}).status, 0);
  for (const std::string &to : {fifo, std::string("/dev/null"), target, dir_ / "nowhere.dsk"}) {
    SCOPED_TRACE(to);
    const std::string link = dir_ / "link.dsk";
    std::filesystem::remove(link);
    std::filesystem::create_symlink(to, link);
    const Run refused = zepa({"create", "-q", link, f});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err, "zepa: " + link + ": is a symbolic link; use --force to replace the link itself\n");
    EXPECT_EQ(zepa({"create", "-q", "-f", link, f}).status, 0);
    struct stat st {};
    ASSERT_TRUE(lstat(link.c_str(), &st) == 0 && S_ISREG(st.st_mode));  // else reading it could block
    EXPECT_TRUE(read_file(link) == read_file(disk_));
  }
  char byte;
  EXPECT_LE(read(reader, &byte, 1), 0);  // nothing went into the FIFO
  close(reader);
  EXPECT_TRUE(read_file(target) == Bytes{'t'});
  EXPECT_FALSE(std::filesystem::exists(dir_ / "nowhere.dsk"));
}

// The longest name a folder takes can be written by every writer of the
// tool: the disk of create, the file of extract and each file of extract
// --all, as new files and as replaced ones.
TEST_F(ZepaTool, EveryNameAFolderTakesCanBeWritten) {
  const std::string name(255, 'n'), f = file("f", {5}), long_disk = dir_ / std::string(255, 'd'),
                    out = dir_ / "out", output = out + "/" + std::string(255, 'o');
  std::filesystem::create_directory(out);
  for (const bool force : {false, true}) {
    const auto with = [force](std::vector<std::string> args) {
      if (force) args.insert(args.begin() + 1, "-f");
      return args;
    };
    SCOPED_TRACE(force);
    for (const std::vector<std::string> &args :
         {with({"create", "-q", long_disk, name + "=" + f}), with({"create", "-q", disk_, name + "=" + f}),
          with({"extract", disk_, name, output}), with({"extract", "--all", long_disk, out})}) {
      const Run r = zepa(args);
      EXPECT_EQ(r.status, 0) << args[0] << ": " << r.err;
    }
  }
  EXPECT_TRUE(read_file(out + "/" + name) == Bytes{5});
  EXPECT_TRUE(read_file(output) == Bytes{5});
  EXPECT_EQ(names_in(out), (std::vector<std::string>{name, std::string(255, 'o')}));
  EXPECT_EQ(folder_names(), (std::vector<std::string>{"d.dsk", std::string(255, 'd'), "f", "out", "stderr", "stdout"}));
}

// Run as root, a file that is replaced keeps its owner and group as well as
// its mode (set-user-ID included) through every writer of the tool.
TEST_F(ZepaTool, AReplacedFileKeepsItsOwnerWhenRunAsRoot) {
  if (geteuid() != 0) GTEST_SKIP() << "only root can give a file to another user";
  const std::string f = file("f", {6});
  ASSERT_EQ(zepa({"create", "-q", disk_, "x=" + f}).status, 0);
  std::filesystem::create_directory(dir_ / "all");
  const struct {
    std::vector<std::string> args;
    std::string replaced;
  } rows[] = {
      {{"create", "-q", "-f", dir_ / "owned.dsk", f}, dir_ / "owned.dsk"},
      {{"extract", "-f", disk_, "x", dir_ / "owned"}, dir_ / "owned"},
      {{"extract", "--all", "-f", disk_, dir_ / "all"}, dir_ / "all/x"},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.replaced);
    fixtures::write_file(row.replaced, {'o'});
    ASSERT_EQ(chown(row.replaced.c_str(), 1234, 5678), 0);
    ASSERT_EQ(chmod(row.replaced.c_str(), 04750), 0);
    EXPECT_EQ(zepa(row.args).status, 0);
    struct stat st {};
    ASSERT_EQ(stat(row.replaced.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 1234u);
    EXPECT_EQ(st.st_gid, 5678u);
    EXPECT_EQ(st.st_mode & 07777, 04750u);
    EXPECT_FALSE(read_file(row.replaced) == Bytes{'o'});
  }
}

// SIGTERM while files are written: the temporary files go, the status is the signal's.
TEST_F(ZepaTool, AnInterruptLeavesNoTemporaryFile) {
  std::vector<container::ContainerEntry> entries;
  const Bytes one = packed({1});
  for (int i = 0; i < 20000; ++i) entries.push_back({std::to_string(i), one});
  disk("many.dsk", entries);
  const std::string out = dir_ / "out";
  const Run r = run("sh", {"-c",
                           "\"$0\" extract --all \"$1\" \"$2\" & p=$!; i=0; until ls -A \"$2\" 2>/dev/null | grep -q "
                           "'^[.]'; do i=$((i+1)); [ $i -lt 3000 ] || exit 9; sleep 0.01; done; kill -TERM $p; wait $p",
                           build_dir() + "/bin/zepa", dir_ / "many.dsk", out});
  EXPECT_EQ(r.status, 128 + SIGTERM);
  for (const std::string &name : names_in(out)) EXPECT_NE(name[0], '.') << name;
}

// A damaged disk is never reported whole, and an entry that is there never "not found".
TEST_F(ZepaTool, DamagedDisksEndWithStatusOne) {
  const Bytes cut = packed(sample_bytes(3000, 1));
  disk("cut.dsk", {{"a", cut}, {"b", packed({1})}});
  const Bytes whole = *read_file(dir_ / "cut.dsk");
  fixtures::write_file(dir_ / "cut.dsk", Bytes(whole.begin(), whole.end() - 10));
  // Two entries whose lengths add up past 32 bits, in a disk of a few bytes.
  fixtures::write_file(dir_ / "long.dsk", fixtures::cat({{'Z', 'E', 'P', 'A', '1', 0, 0, 0, 0, 2, 0, 0, 0, 50},
                                                         {0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xF0, 0, 0, 0, 0, 0, 0, 0, 20},
                                                         Bytes(8, 0),
                                                         {0, 3, 0, 5, 'b', 'i', 'g', 's', 'm', 'a', 'l', 'l'},
                                                         Bytes(40, 'x')}));
  const struct {
    std::string disk, line;
  } rows[] = {
      {"cut.dsk", "the entries run 10 bytes past the end of the disk\n"},
      {"long.dsk", "the entries run 4294967260 bytes past the end of the disk\n"},
  };
  for (const auto &row : rows) {
    for (const char *command : {"list", "verify"}) {
      SCOPED_TRACE(std::string(command) + " " + row.disk);
      const Run r = zepa({command, dir_ / row.disk});
      EXPECT_EQ(r.status, 1);
      EXPECT_NE(r.out.find(row.line), std::string::npos) << r.out;
      EXPECT_EQ(r.out.find("not found"), std::string::npos) << r.out;
    }
  }
  EXPECT_NE(zepa({"verify", dir_ / "long.dsk"}).out.find("small: runs 4294967260 bytes past the end of the disk\n"),
            std::string::npos);
}

}  // namespace
