// SPDX-License-Identifier: GPL-2.0-or-later
// Where the end-to-end rows do not reach: the font sort's orders a directory does not give, the font scan of a
// missing and an empty directory, what remove_path clears before a link is made and what it leaves, an
// installation cut off at every step that changes the box, and the plugin written in place of the old one.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string_view>
#include <utility>

#include "container_writer.h"
#include "installer.h"
#include "unpack.h"
#include "unpack/packed_fixtures.h"

namespace {

namespace fs = std::filesystem;

const std::string kUnpackFailedText = "Couldn't unpack file! Not enough free space?";

TEST(FontSort, OrdersIgnoringCaseAndSwapsNamesEqualButForCase) {
  using Names = std::vector<std::string>;
  const std::pair<Names, Names> cases[] = {
      {{"a.ttf", "A.ttf"}, {"A.ttf", "a.ttf"}},
      {{"A.ttf", "a.ttf"}, {"a.ttf", "A.ttf"}},
      {{"x.ttf", "a.ttf", "A.ttf"}, {"A.ttf", "a.ttf", "x.ttf"}},  // a stable sort: a, A, x
      {{"Zeta.ttf", "beta.ttf", "Alpha.ttf", "delta.ttf", "Gamma.ttf", "c.ttf"},
       {"Alpha.ttf", "beta.ttf", "c.ttf", "delta.ttf", "Gamma.ttf", "Zeta.ttf"}},
  };
  for (auto [names, expected] : cases) {
    std::vector<char *> pointers;
    for (std::string &name : names) pointers.push_back(name.data());
    sort_font_names(pointers.data(), static_cast<int>(pointers.size()));
    EXPECT_EQ(Names(pointers.begin(), pointers.end()), expected);
  }
}

TEST(FontScanAndRemovePath, InAFolderOfTheirOwn) {
  std::string dir = (fs::temp_directory_path() / "kavro-unit-XXXXXX").string();
  ASSERT_NE(mkdtemp(dir.data()), nullptr);
  char **names = reinterpret_cast<char **>(&names);
  EXPECT_EQ(scan_fonts((dir + "/missing/").c_str(), &names), -1);
  EXPECT_EQ(names, nullptr);
  EXPECT_EQ(scan_fonts((dir + "/").c_str(), &names), 0);
  std::free(names);

  std::ofstream(dir + "/file") << "x";
  fs::create_directories(dir + "/empty");
  fs::create_symlink(dir + "/nowhere", dir + "/dangling");
  fs::create_directories(dir + "/target");
  std::ofstream(dir + "/target/kept") << "x";
  fs::create_directory_symlink(dir + "/target", dir + "/link");
  const auto exists = [&](const std::string &name) {
    struct stat st;
    return lstat((dir + "/" + name).c_str(), &st) == 0;
  };
  const struct {
    const char *name;
    int result;
    bool kept;  // the name itself, and target/kept
  } rows[] = {{"file", 0, false}, {"empty", 0, false},  {"dangling", 0, false},
              {"link", 0, false}, {"target", -1, true}, {"missing", -1, false}};
  for (const auto &row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(remove_path((dir + "/" + row.name).c_str()), row.result);
    EXPECT_EQ(exists(row.name), row.kept);
    EXPECT_TRUE(exists("target/kept"));
  }
  fs::remove_all(dir);
}

// A data disk `dir`/test.dsk of the English plugin for FreeType 2.1 and its configuration, in blocks of 1 KiB (a
// write each).
std::string make_disk(const fixtures::TempDir &dir, const fixtures::Bytes &plugin, const fixtures::Bytes &config) {
  kavro::tools::packer::Options options;
  options.block_size = 1024;
  const kavro::tools::container::ContainerEntry entries[] = {{"d213-EN.so", fixtures::packed(plugin, options)},
                                                             {"kavro-2.cfg", fixtures::packed(config, options)}};
  EXPECT_EQ(kavro::tools::container::write_container(dir / "test.dsk", entries), "");
  return dir / "test.dsk";
}

// What a completed installation leaves in the plugin's folder `box`, besides other files: the two names links into
// ".kavro", a link to one pair folder, which holds the two files; nothing else of the pair, and no staged name. ""
// or what is wrong.
std::string pair_left_in(const std::string &box) {
  std::error_code none;
  const std::string current = fs::read_symlink(box + "/.kavro", none).string();
  std::string wrong;
  if (current != ".kavro-1" && current != ".kavro-2") wrong += ".kavro names '" + current + "'; ";
  for (const char *name : {"kavro.so", "kavro.cfg"})
    if (fs::read_symlink(box + "/" + name, none).string() != std::string(".kavro/") + name) wrong += name + std::string(" is no link of the pair; ");
  for (const auto &entry : fs::directory_iterator(box)) {
    const std::string name = entry.path().filename().string();
    if (name.starts_with(".") && name != ".kavro" && name != current) wrong += "left: " + name + "; ";
  }
  std::vector<std::string> inside;
  for (const auto &entry : fs::directory_iterator(box + "/" + current, none)) inside.push_back(entry.path().filename());
  std::sort(inside.begin(), inside.end());
  if (inside != std::vector<std::string>{"kavro.cfg", "kavro.so"}) wrong += "the pair folder holds other files; ";
  return wrong;
}

// The power cut: every call that changes the box counts as a step, and a run told to stop at step N ends its
// process right before it, with what the C library still buffered lost.
namespace cut {
int at = 0, steps = 0;
// No room left for a link: for none, for the subtitles' and the font's links only, for the plugin's and the
// configuration's names only, or for any.
enum class NoLinks { kNone, kForTheProductFolder, kForTheNames, kAtAll } links_fail = NoLinks::kNone;
constexpr int kCutStatus = 42;
void step() {
  if (++steps == at) _exit(kCutStatus);
}
constexpr BoxOperations kBox{
    .chmod = [](const char *path, mode_t mode) { return step(), ::chmod(path, mode); },
    .flush = [](const char *path) { return step(), libc_box_operations().flush(path); },
    .link = [](const char *existing, const char *path) { return step(), ::link(existing, path); },
    .mkdir = [](const char *path, mode_t mode) { return step(), ::mkdir(path, mode); },
    .rename = [](const char *from, const char *to) { return step(), std::rename(from, to); },
    .rmdir = [](const char *path) { return step(), ::rmdir(path); },
    .symlink = [](const char *target, const char *path) {
      step();
      const std::string_view name = path;
      const bool pair = name.find(".kavro") != std::string_view::npos;
      const bool a_name = name.ends_with("/.kavro.so.new") || name.ends_with("/.kavro.cfg.new");
      if (links_fail == NoLinks::kAtAll || (links_fail == NoLinks::kForTheProductFolder && !pair) ||
          (links_fail == NoLinks::kForTheNames && a_name))
        return errno = ENOSPC, -1;
      return ::symlink(target, path);
    },
    .unlink = [](const char *path) { return step(), ::unlink(path); },
};
constexpr unpack::Output kOutput{
    .fopen = [](const char *path, const char *mode) { return step(), std::fopen(path, mode); },
    .fwrite = [](const void *b, std::size_t size, std::size_t n,
                 FILE *s) { return step(), std::fwrite(b, size, n, s); },
    .fclose = [](FILE *s) { return step(), std::fclose(s); },
};
}  // namespace cut

TEST(PowerCut, AtEveryStepLeavesTheOldOrTheNewPairAndTheNextRunCompletes) {
  using fixtures::Bytes;
  const fixtures::TempDir dir;
  const Bytes plugin = fixtures::sample_bytes(5000, 3), config = fixtures::sample_bytes(1500, 4);
  const std::string disk = make_disk(dir, plugin, config);
  const std::string box = dir / "box", so = box + "/kavro.so", cfg = box + "/kavro.cfg";
  const std::string tit = box + "/tit", font = box + "/Kavro.ttf";
  const Places in_box{
      .plugin = so.c_str(), .config = cfg.c_str(), .subtitles_dir = tit.c_str(), .font_link = font.c_str()};
  const Bytes old_plugin = {'o', 'l', 'd', '\n'}, old_config = {'o', 'l', 'd', ' ', 'c', 'f', 'g', '\n'};
  // The old pair as plain files (an older installer's), or as the links of one of today's.
  const auto lay_out_old_box = [&](bool linked) {
    std::filesystem::remove_all(box);
    std::filesystem::create_directories(box + "/.kavro-2");
    const std::string folder = linked ? box + "/.kavro-2/" : box + "/";
    fixtures::write_file(folder + "kavro.so", old_plugin);
    fixtures::write_file(folder + "kavro.cfg", old_config);
    if (linked) {
      fs::create_symlink(".kavro-2", box + "/.kavro");
      fs::create_symlink(".kavro/kavro.so", so);
      fs::create_symlink(".kavro/kavro.cfg", cfg);
    } else {
      fs::remove(box + "/.kavro-2");
    }
    chmod(so.c_str(), 0600);
    const timespec long_ago[2] = {{.tv_sec = 1000000000, .tv_nsec = 0}, {.tv_sec = 1000000000, .tv_nsec = 0}};
    utimensat(AT_FDCWD, so.c_str(), long_ago, 0);
    utimensat(AT_FDCWD, cfg.c_str(), long_ago, 0);
    std::filesystem::create_symlink("old.ttf", font);
    std::filesystem::create_symlink("old-tit", tit);
  };
  // One installation in a process of its own, as the installer runs it: English for FreeType 2.1, subtitles linked
  // to the test's folder, a font. Its exit status, or kCutStatus.
  std::strcpy(font_path, "new.ttf");
  subtitles_target = dir.path().c_str();
  const std::string messages = dir / "messages";
  const auto run = [&](int cut_at, cut::NoLinks links_fail = cut::NoLinks::kNone) {
    const pid_t child = fork();
    if (child == 0) {
      const int null = open("/dev/null", O_WRONLY), err = open(messages.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(null, STDOUT_FILENO);
      dup2(err, STDERR_FILENO);
      cut::at = cut_at;
      cut::links_fail = links_fail;
      set_box_operations(&cut::kBox);
      unpack::set_output(&cut::kOutput);
      const int status = open_install_disk(disk.c_str()) == 0
                             ? install(0, {.language = 1, .subtitles = kSubtitlesTmp, .font = 'a'}, in_box)
                             : 99;
      std::fflush(stdout);
      _exit(status);
    }
    int raw = 0;
    waitpid(child, &raw, 0);
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  };
  const auto mode = [](const std::string &path) {  // "MODE TIME"
    struct stat st {};
    stat(path.c_str(), &st);
    char text[32];
    std::snprintf(text, sizeof text, "%04o %lld", st.st_mode & 07777u, static_cast<long long>(st.st_mtime));
    return std::string(text);
  };
  const auto link = [](const std::string &path) { return std::filesystem::read_symlink(path).string(); };

  const auto started = std::chrono::steady_clock::now();
  int cut_points = 0;
  for (const bool linked : {false, true}) {
    for (int cut_at = 1;; ++cut_at) {
      SCOPED_TRACE(std::string(linked ? "links" : "plain files") + ", cut before step " + std::to_string(cut_at));
      lay_out_old_box(linked);
      const int status = run(cut_at);
      if (status == 0) break;  // the whole installation took fewer steps
      ASSERT_EQ(status, cut::kCutStatus);
      ++cut_points;
      const bool new_plugin = fixtures::read_file(so) == plugin, new_config = fixtures::read_file(cfg) == config;
      EXPECT_TRUE(new_plugin || (fixtures::read_file(so) == old_plugin && mode(so) == "0600 1000000000"));
      EXPECT_TRUE(new_config || (fixtures::read_file(cfg) == old_config && mode(cfg).ends_with(" 1000000000")));
      EXPECT_EQ(new_plugin, new_config) << "a pair of one new file and one old";
      EXPECT_TRUE(link(font) == "old.ttf" || link(font) == "new.ttf");
      EXPECT_TRUE(link(tit) == "old-tit" || link(tit) == dir.path());

      EXPECT_EQ(run(0), 0);
      EXPECT_EQ(fixtures::read_file(so), plugin);
      EXPECT_EQ(fixtures::read_file(cfg), config);
      EXPECT_EQ(mode(so).substr(0, 4) + mode(cfg).substr(0, 4), "07550644");
      EXPECT_EQ(link(font) + " " + link(tit), "new.ttf " + dir.path());
      EXPECT_EQ(pair_left_in(box), "");
    }
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

  // No link but the pair's can be made: each says so and its old link stays; the files are installed all the same.
  // No link at all: the pair cannot be switched, and the old one stays, of plain files or of links.
  lay_out_old_box(true);
  EXPECT_EQ(run(0, cut::NoLinks::kForTheProductFolder), 0);
  const std::string said = "Couldn't link /var/tuxbox/Kavro/tit to '" + dir.path() +
                           "'.\n\aDo it yourself.\nReason: No space left on device\n"
                           "Couldn't link font 'new.ttf'\n\aReason: No space left on device\n";
  EXPECT_EQ(fixtures::read_file(messages), Bytes(said.begin(), said.end()));
  EXPECT_EQ(link(font) + " " + link(tit), "old.ttf old-tit");
  EXPECT_EQ(fixtures::read_file(so), plugin);
  for (const bool linked : {false, true}) {
    SCOPED_TRACE(linked ? "no link at all, over links" : "no link at all, over plain files");
    lay_out_old_box(linked);
    EXPECT_EQ(run(0, cut::NoLinks::kAtAll), kExitUnpackFailed);
    EXPECT_EQ(fixtures::read_file(messages), Bytes(kUnpackFailedText.begin(), kUnpackFailedText.end()));
    EXPECT_EQ(fixtures::read_file(so), old_plugin);
    EXPECT_EQ(fixtures::read_file(cfg), old_config);
    EXPECT_EQ(link(font) + " " + link(tit), "old.ttf old-tit");
    for (const char *name : {"/.kavro.so.new", "/.kavro.cfg.new", "/..kavro.new", linked ? "/.kavro-1" : "/.kavro"})
      EXPECT_FALSE(fs::is_symlink(box + name) || fs::exists(box + name)) << name;
    EXPECT_EQ(fs::exists(box + "/.kavro-2"), linked);
  }
  // Plain files whose names cannot be made links: the pair is not switched (the new one would not show), and the
  // old one stays shown, taken into the pair folder.
  lay_out_old_box(false);
  EXPECT_EQ(run(0, cut::NoLinks::kForTheNames), kExitUnpackFailed);
  EXPECT_EQ(fixtures::read_file(so), old_plugin);
  EXPECT_EQ(fixtures::read_file(cfg), old_config);
  EXPECT_FALSE(fs::exists(box + "/.kavro-2"));
  std::printf("[ CUTS     ] %d cut points, each checked and installed again, in %.2f s\n", cut_points, seconds);
  RecordProperty("cut_points", std::to_string(cut_points));
  EXPECT_GE(cut_points, 30);
}

// A flash with no room for a second copy, played by failing the writes after the first one, with the error a full
// flash, or a file-size limit, gives.
namespace full {
int staged_error = 0, in_place_error = 0;  // for the staged plugin, and for it staged again; 0: its writes succeed
int failing = 0, plugins_opened = 0;
bool wrote = false;
constexpr unpack::Output kOutput{
    .fopen =
        [](const char *path, const char *mode) {
          const bool plugin = std::string_view(path).ends_with("/kavro.so");
          failing = !plugin ? 0 : plugins_opened++ == 0 ? staged_error : in_place_error;
          wrote = false;
          return std::fopen(path, mode);
        },
    .fwrite = [](const void *b, std::size_t size, std::size_t n, FILE *s) -> std::size_t {
      if (failing != 0 && std::exchange(wrote, true)) return errno = failing, 0;
      return std::fwrite(b, size, n, s);
    },
    .fclose = [](FILE *s) { return std::fclose(s); },
};
}  // namespace full

// The plugin written in place removes the old one first and never writes through it (a second hard link keeps the
// old bytes); when it cannot be written there either, nothing cut short stays under its name and one message says
// it is missing. A file-size limit binds a file in place as much as staged: no second attempt.
TEST(InPlace, NeverWritesThroughTheOldPluginNorLeavesItCut) {
  using fixtures::Bytes;
  const fixtures::TempDir dir;
  const Bytes plugin = fixtures::sample_bytes(5000, 5), config = fixtures::sample_bytes(1500, 6);
  const Bytes old_plugin = {'o', 'l', 'd', '\n'}, old_config = {'o', 'l', 'd', ' ', 'c', 'f', 'g', '\n'};
  const std::string disk = make_disk(dir, plugin, config), so = dir / "kavro.so", cfg = dir / "kavro.cfg";
  const std::string backup = dir / "kavro.so.bak", messages = dir / "messages", tit = dir / "tit";
  const Places places{.plugin = so.c_str(), .config = cfg.c_str(), .subtitles_dir = tit.c_str(), .font_link = ""};
  const std::string missing = "The plugin '" + so +
                              "' is missing now: the old one was removed to make room, and the new one could not be "
                              "written! Make room and run the installer again.\nReason: No space left on device\n";
  const std::string unpack_failed = "couldn't write dataCouldn't unpack file! Not enough free space?";
  const struct {
    const char *what;
    int staged_error, in_place_error, status;
    std::string said;
    std::optional<Bytes> so, cfg;
  } rows[] = {
      {"in place beside a hard link", ENOSPC, 0, 0, "", plugin, config},
      {"in place fails too", ENOSPC, ENOSPC, 95, missing, std::nullopt, old_config},
      {"file-size limit", EFBIG, 0, 95, unpack_failed, old_plugin, old_config},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.what);
    for (const std::string &path : {so, cfg, backup}) unlink(path.c_str());  // links of the last row's pair, too
    fixtures::write_file(so, old_plugin);
    fixtures::write_file(cfg, old_config);
    ASSERT_EQ(link(so.c_str(), backup.c_str()), 0);
    full::staged_error = row.staged_error;
    full::in_place_error = row.in_place_error;
    full::plugins_opened = 0;
    unpack::set_output(&full::kOutput);
    ASSERT_EQ(open_install_disk(disk.c_str()), 0);
    std::fflush(nullptr);  // standard output thrown away, standard error into `messages`
    const int out = dup(STDOUT_FILENO), err = dup(STDERR_FILENO), null = open("/dev/null", O_WRONLY);
    const int said_fd = open(messages.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(null, STDOUT_FILENO);
    dup2(said_fd, STDERR_FILENO);
    const int status = install(0, {.language = 1}, places);
    std::fflush(nullptr);
    dup2(out, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    for (const int fd : {out, err, null, said_fd}) close(fd);
    unpack::set_output(nullptr);
    close_install_disk();
    EXPECT_EQ(status, row.status);
    const std::optional<Bytes> said = fixtures::read_file(messages);
    EXPECT_EQ(std::string(said->begin(), said->end()), row.said);
    EXPECT_EQ(fixtures::read_file(so), row.so);
    EXPECT_EQ(fixtures::read_file(cfg), row.cfg);
    EXPECT_EQ(fixtures::read_file(backup), old_plugin);
    struct stat st {};
    EXPECT_TRUE(row.status != 0 || (stat(so.c_str(), &st) == 0 && (st.st_mode & 07777) == 0755));
    if (row.status == 0) {
      EXPECT_EQ(pair_left_in(dir.path()), "");
    } else {
      for (const auto &entry : std::filesystem::directory_iterator(dir.path()))
        EXPECT_FALSE(entry.path().filename().string().starts_with(".")) << entry.path();
    }
    for (const char *name : {"/.kavro", "/.kavro-1", "/.kavro-2"}) fs::remove_all(dir.path() + name);
  }
}

// A configuration in another folder than the plugin's: its link names the plugin folder's switch link by its whole
// path, both folders reach the medium, and a second installation switches both.
namespace flushed {
std::vector<std::string> paths;
int flush(const char *path) {
  paths.emplace_back(path);
  return libc_box_operations().flush(path);
}
}  // namespace flushed

TEST(Pair, ConfigurationInAnotherFolderFollowsTheSwitch) {
  using fixtures::Bytes;
  const fixtures::TempDir dir;
  const Bytes plugin = fixtures::sample_bytes(3000, 9), config = fixtures::sample_bytes(900, 10);
  const std::string disk = make_disk(dir, plugin, config), so = dir / "plugins/kavro.so", cfg = dir / "etc/kavro.cfg";
  fs::create_directories(dir / "plugins");
  fs::create_directories(dir / "etc");
  fixtures::write_file(cfg, {'o', 'l', 'd', '\n'});
  const Places places{.plugin = so.c_str(), .config = cfg.c_str(), .subtitles_dir = "", .font_link = ""};
  std::fflush(nullptr);
  const int out = dup(STDOUT_FILENO), null = open("/dev/null", O_WRONLY);
  dup2(null, STDOUT_FILENO);
  BoxOperations logging = libc_box_operations();
  logging.flush = flushed::flush;
  set_box_operations(&logging);
  int statuses[2];
  for (int &status : statuses) {
    ASSERT_EQ(open_install_disk(disk.c_str()), 0);
    status = install(0, {.language = 1}, places);
    close_install_disk();
  }
  set_box_operations(nullptr);
  std::fflush(nullptr);
  dup2(out, STDOUT_FILENO);
  close(out);
  close(null);
  EXPECT_EQ(statuses[0], 0);
  EXPECT_EQ(statuses[1], 0);
  EXPECT_EQ(fs::read_symlink(cfg).string(), dir.path() + "/plugins/.kavro/kavro.cfg");
  EXPECT_EQ(fs::read_symlink(dir / "plugins/.kavro").string(), ".kavro-1");  // the second installation's folder
  EXPECT_EQ(fixtures::read_file(so), plugin);
  EXPECT_EQ(fixtures::read_file(cfg), config);
  EXPECT_FALSE(fs::exists(dir / "plugins/.kavro-2"));
  EXPECT_EQ(std::count(flushed::paths.begin(), flushed::paths.end(), dir / "etc"), 2);  // its link made, each time
}

// One file on its own (install_file): a rename over the target that fails removes what was staged and keeps the old
// file.
TEST(InstallFile, ARenameThatFailsLeavesTheOldFileAndNothingStaged) {
  const fixtures::TempDir dir;
  const std::string disk = make_disk(dir, fixtures::sample_bytes(2000, 11), fixtures::sample_bytes(10, 12));
  const std::string target = dir / "kavro.so";
  fixtures::write_file(target, {'o', 'l', 'd', '\n'});
  BoxOperations failing = libc_box_operations();
  failing.rename = [](const char *, const char *) { return errno = EIO, -1; };
  set_box_operations(&failing);
  ASSERT_EQ(open_install_disk(disk.c_str()), 0);
  EXPECT_EQ(install_file("d213-EN.so", target.c_str(), 0755), kExitUnpackFailed);
  close_install_disk();
  set_box_operations(nullptr);
  EXPECT_EQ(fixtures::read_file(target), (fixtures::Bytes{'o', 'l', 'd', '\n'}));
  EXPECT_FALSE(fs::exists(dir / ".kavro.so.new"));
}

// Holders of a file as the process folder shows them: child processes that hold it open, or mapped with the
// descriptor closed; then made-up process folders for what a running system does not show on demand.
TEST(FileInUse, FoundThroughDescriptorsAndMapsByDeviceAndInode) {
  const fixtures::TempDir dir;
  const std::string file = dir / "kavro.so", other = dir / "other";
  fixtures::write_file(file, fixtures::sample_bytes(8192, 1));
  fixtures::write_file(other, fixtures::sample_bytes(10, 2));
  struct stat st {}, other_st {};
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  ASSERT_EQ(stat(other.c_str(), &other_st), 0);
  for (const bool mapped : {false, true}) {
    SCOPED_TRACE(mapped ? "mapped" : "open");
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    if (child == 0) {
      const int fd = open(file.c_str(), O_RDONLY);
      if (mapped && (mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE, fd, 0) == MAP_FAILED || close(fd) != 0)) _exit(1);
      if (write(ready[1], "r", 1) == 1) pause();
      _exit(0);
    }
    close(ready[1]);
    char byte = 0;
    EXPECT_EQ(read(ready[0], &byte, 1), 1);
    EXPECT_TRUE(file_in_use(st, "/proc"));
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    close(ready[0]);
  }

  // A process folder holding this process (the system's always does) and process 7.
  const auto device = [](dev_t d) {
    char text[32];
    std::snprintf(text, sizeof text, "%02x:%02x", major(d), minor(d));
    return std::string(text);
  };
  const std::string map = "0f000000-0f002000 r-xp 00000000 " + device(st.st_dev) + " " + std::to_string(st.st_ino);
  const std::string start = "00000000-00001000 r--p 00000000 00:00 0 /";
  const std::string long_line = start + std::string(255 - start.size(), 'p') + map + " (its path's tail)\n";
  enum Fds { kNoFds, kFds, kFdsAFile };
  const struct {
    const char *what;
    Fds fds;
    const char *fd_target;
    std::optional<std::string> maps;
    bool self;
    bool held;
  } rows[] = {
      {"nothing", kFds, other.c_str(), "0f000000-0f001000 r-xp 00000000 " + device(other_st.st_dev) + " " +
       std::to_string(other_st.st_ino) + " " + other + "\n", true, false},
      {"a descriptor", kFds, file.c_str(), "", true, true},
      {"a map", kFds, nullptr, "08000000-08001000 r-xp 00000000 00:00 0\n" + map + " " + file + "\n", true, true},
      {"the inode on another device", kFds, nullptr, map.substr(0, 32) + device(makedev(major(st.st_dev) + 1,
       minor(st.st_dev))) + " " + std::to_string(st.st_ino) + "\n", true, false},
      {"the device with another inode", kFds, nullptr, map + "1\n", true, false},
      {"a long line's tail", kFds, nullptr, long_line, true, false},
      {"a map after a long line", kFds, nullptr, long_line + map + "\n", true, true},
      {"a process that has ended", kNoFds, nullptr, std::nullopt, true, false},
      {"descriptors that cannot be read", kFdsAFile, nullptr, "", true, true},
      {"no process folder", kNoFds, nullptr, std::nullopt, false, true},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.what);
    const std::string proc = dir / "proc", seven = proc + "/7";
    fs::remove_all(proc);
    fs::create_directories(seven);
    if (row.self) fs::create_directories(proc + "/" + std::to_string(getpid()) + "/fd");
    if (row.fds == kFds) fs::create_directories(seven + "/fd");
    if (row.fds == kFdsAFile) fixtures::write_file(seven + "/fd", {});
    if (row.fd_target != nullptr) fs::create_symlink(row.fd_target, seven + "/fd/3");
    if (row.maps) fixtures::write_file(seven + "/maps", fixtures::Bytes(row.maps->begin(), row.maps->end()));
    EXPECT_EQ(file_in_use(st, proc.c_str()), row.held);
  }
  EXPECT_TRUE(file_in_use(st, (dir / "missing").c_str()));
}

// Two installers at once: the first, holding the lock, is held right before its first rename; a second one started
// then says in one line that another installation is running, ends with status 2 and changes nothing; the first then
// completes.
namespace held {
int ready = -1, go = -1;  // the first installer's pipes: it says it is about to rename, and waits for the word
int rename_file(const char *from, const char *to) {
  char byte = 0;
  if (ready >= 0 && (write(std::exchange(ready, -1), "r", 1) != 1 || read(go, &byte, 1) != 1)) _exit(98);
  return std::rename(from, to);
}
}  // namespace held

TEST(TwoInstallers, TheSecondSaysSoAndChangesNothing) {
  using fixtures::Bytes;
  const fixtures::TempDir dir;
  const Bytes plugin = fixtures::sample_bytes(5000, 7), config = fixtures::sample_bytes(1500, 8);
  const std::string disk = make_disk(dir, plugin, config), box = dir / "box", so = box + "/kavro.so";
  const std::string cfg = box + "/kavro.cfg", tit = box + "/tit", font = box + "/Kavro.ttf";
  const Places in_box{
      .plugin = so.c_str(), .config = cfg.c_str(), .subtitles_dir = tit.c_str(), .font_link = font.c_str()};
  fs::create_directories(box);
  fixtures::write_file(so, {'o', 'l', 'd', '\n'});
  fixtures::write_file(cfg, {'c', 'f', 'g', '\n'});
  BoxOperations holding = libc_box_operations();
  holding.rename = held::rename_file;
  // An installer in a process of its own, as run_installer runs it once started: the lock on the product folder
  // (here the box), then the installation; standard error into `messages`.
  const auto start = [&](const BoxOperations *operations, const std::string &messages) {
    const pid_t child = fork();
    if (child == 0) {
      dup2(open("/dev/null", O_WRONLY), STDOUT_FILENO);
      dup2(open(messages.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), STDERR_FILENO);
      set_box_operations(operations);
      int status = lock_installation(box.c_str());
      if (status == kExitDone) status = open_install_disk(disk.c_str()) == 0 ? install(0, {.language = 1}, in_box) : 99;
      std::fflush(nullptr);
      _exit(status);
    }
    return child;
  };
  const auto ended = [](pid_t child) {
    int raw = 0;
    waitpid(child, &raw, 0);
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  };
  const auto listing = [&] {
    std::map<std::string, std::optional<Bytes>> files;
    for (const auto &entry : fs::recursive_directory_iterator(box)) {
      const std::string text = entry.is_symlink() ? "-> " + fs::read_symlink(entry.path()).string() : "";
      files[entry.path()] = entry.is_symlink() ? Bytes(text.begin(), text.end())
                            : entry.is_directory() ? Bytes{} : fixtures::read_file(entry.path());
    }
    return files;
  };
  int ready[2], go[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(go), 0);
  held::ready = ready[1];
  held::go = go[0];
  const pid_t first = start(&holding, dir / "first");
  held::ready = held::go = -1;
  close(ready[1]);
  close(go[0]);
  char byte = 0;
  ASSERT_EQ(read(ready[0], &byte, 1), 1) << "the first installer ended before its rename";
  const auto before = listing();
  EXPECT_TRUE(fs::exists(box + "/.kavro-2/kavro.so") && fs::exists(box + "/.kavro-2/kavro.cfg"));
  EXPECT_EQ(ended(start(nullptr, dir / "second")), kExitAnotherInstaller);
  const std::optional<Bytes> said = fixtures::read_file(dir / "second");
  EXPECT_EQ(std::string(said->begin(), said->end()),
            "Another installation is running on this box! Let it finish, then run the installer again.\n");
  EXPECT_EQ(listing(), before);
  EXPECT_EQ(write(go[1], "g", 1), 1);
  EXPECT_EQ(ended(first), 0);
  EXPECT_EQ(fixtures::read_file(so), plugin);
  EXPECT_EQ(fixtures::read_file(cfg), config);
  EXPECT_EQ(pair_left_in(box), "");
  for (const int fd : {ready[0], go[1]}) close(fd);
}

}  // namespace
