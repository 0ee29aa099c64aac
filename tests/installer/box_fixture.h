// SPDX-License-Identifier: GPL-2.0-or-later
// The real kavro-install in kavro-box on a pseudo-terminal (one key per "Your choice: " prompt), disks made by zepa
// from placeholder payloads, one box per test, and the installer's screen piece by piece.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>

namespace box {

namespace fs = std::filesystem;

// Which standard descriptors are the terminal; kHangUp: hung up when the keys run out, SIGHUP ignored (as nohup).
enum class Wiring { kTerminal, kInputFromNull, kOutputToFile, kHangUp };

struct Outcome {
  std::string out, err, report;         // standard output (terminal or file), standard error, kavro-box's report
  int status = -1;                      // exit status (128 + signal when killed)
  int prompts = 0;                      // "Your choice: " prompts seen
  termios before{}, during{}, after{};  // terminal settings: before the start, at the first prompt, after the end
};

inline std::string bin(const std::string &program) {  // a program of the build tree under test (set by CTest)
  const char *dir = std::getenv("KAVRO_BUILD_DIR");
  return std::string(dir != nullptr ? dir : ".") + "/bin/" + program;
}

inline std::string read_file(const fs::path &path) {
  std::ostringstream content;
  content << std::ifstream(path, std::ios::binary).rdbuf();
  return content.str();
}

inline void write_file(const fs::path &path, const std::string &content) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

inline std::string command_output(const std::string &command, int *status = nullptr) {
  std::string said;
  FILE *pipe = popen(command.c_str(), "r");
  for (char line[512]; std::fgets(line, sizeof line, pipe) != nullptr;) said += line;
  const int raw = pclose(pipe);
  if (status != nullptr) *status = raw;
  return said;
}

inline bool same_terminal(const termios &a, const termios &b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag && a.c_lflag == b.c_lflag &&
         std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

inline const std::vector<std::string> kLanguageCodes = {"CZ", "EN", "AR", "BG", "HR", "NL",
                                                        "FR", "GR", "HU", "PL", "SI"};

// A placeholder payload holds its own name, so that a wrong file shows.
inline std::string payload(const std::string &name) { return "Kavro placeholder payload: " + name + "\n"; }

// A disk by `zepa create`: every plugin and both configurations, less `left_out`, d213-EN.so = `english_plugin`.
inline fs::path make_disk(const fs::path &where, const std::string &left_out = "",
                          const std::string &english_plugin = "", const std::string &zepa_options = "") {
  std::vector<std::string> names = {"kavro-1.cfg", "kavro-2.cfg"};
  for (const char *variant : {"d209", "d213"})
    for (const std::string &code : kLanguageCodes) names.push_back(variant + ("-" + code) + ".so");
  std::string command = bin("zepa") + " create --force " + (where / "test.dsk").string() + " " + zepa_options;
  for (const std::string &name : names) {
    if (name == left_out) continue;
    write_file(where / name, name == "d213-EN.so" && !english_plugin.empty() ? english_plugin : payload(name));
    command += " '" + (where / name).string() + "'";
  }
  EXPECT_EQ(std::system((command + " >/dev/null").c_str()), 0) << command;
  return where / "test.dsk";
}

inline std::string noise(std::size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  std::mt19937 generator(seed);
  for (char &c : bytes) c = static_cast<char>(generator() % 7 == 0 ? 'k' : generator());
  return bytes;
}

// Overwrites one byte at `offset` from the packed file's start (the last column of `zepa list`).
inline fs::path damage_entry(const fs::path &disk, const std::string &name, std::size_t offset, unsigned char value) {
  std::istringstream lines(command_output(bin("zepa") + " list " + disk.string()));
  std::size_t start = 0;
  for (std::string line; start == 0 && std::getline(lines, line);)
    if (line.rfind(name + " ", 0) == 0) start = std::stoul(line.substr(line.find_last_of(' ') + 1));
  std::string bytes = read_file(disk);
  bytes.at(start + offset) = static_cast<char>(value);
  write_file(disk, bytes);
  return disk;
}

inline constexpr int kStandardFreeKb = 2048;

// One box per test: a full DM7000 disk in /tmp, /var a 2048 kB tmpfs, FreeType 2.1.3, unless a run says otherwise.
class BoxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static int status = -1;
    static std::string said;
    if (status < 0) said = command_output(bin("kavro-box") + " --check 2>&1", &status);
    if (status != 0) GTEST_SKIP() << "no sandbox can be made on this machine: " << said;
    std::string pattern = (fs::temp_directory_path() / "kavro-e2e-XXXXXX").string();
    work_ = mkdtemp(pattern.data());
    disk_ = make_disk(work_ / "disk");
  }
  void TearDown() override {
    if (HasFailure()) std::fprintf(stderr, "(the box of this test is kept in %s)\n", work_.c_str());
    if (!HasFailure() && !work_.empty()) fs::remove_all(work_);
  }

  // kavro-box with the standard box (unless !standard; no disk if disk_ is empty) plus `options`, `keys` one per
  // prompt. A prompt beyond the keys kills the run (kHangUp: hangs up); two silent minutes kill it.
  Outcome run(const std::string &keys, const std::vector<std::string> &options = {}, Wiring wiring = Wiring::kTerminal,
              bool standard = true) {
    const fs::path work = work_ / ("run" + std::to_string(++runs_));
    root_ = work / "root";
    fs::create_directories(work);
    std::vector<std::string> argv = {bin("kavro-box"), "--root",        root_,
                                     "--report",       work / "report", "--leave-terminal"};
    if (standard) argv.insert(argv.end(), {"--var-size", std::to_string(kStandardFreeKb), "--freetype", "2.1.3"});
    if (standard && !disk_.empty()) argv.insert(argv.end(), {"--disk", disk_});
    argv.insert(argv.end(), options.begin(), options.end());
    Outcome outcome;
    int master = -1, terminal = -1;
    openpty(&master, &terminal, nullptr, nullptr, nullptr);
    termios settings{};  // output exactly as written (no "\n" -> "\r\n")
    tcgetattr(terminal, &settings);
    settings.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tcsetattr(terminal, TCSANOW, &settings);
    tcgetattr(terminal, &outcome.before);
    const pid_t child = fork();
    if (child == 0) {
      setsid();
      ioctl(terminal, TIOCSCTTY, 0);
      if (wiring == Wiring::kHangUp) signal(SIGHUP, SIG_IGN);
      const int out = open((work / "stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(wiring == Wiring::kInputFromNull ? open("/dev/null", O_RDONLY) : terminal, STDIN_FILENO);
      dup2(wiring == Wiring::kOutputToFile ? out : terminal, STDOUT_FILENO);
      dup2(open((work / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), STDERR_FILENO);
      closefrom(3);
      std::vector<char *> args;
      for (const std::string &arg : argv) args.push_back(const_cast<char *>(arg.c_str()));
      args.push_back(nullptr);
      execv(args[0], args.data());
      _exit(127);
    }
    close(terminal);
    std::size_t typed = 0;
    for (bool hung_up = false; !hung_up;) {  // read until every writer has gone
      pollfd wait_for{.fd = master, .events = POLLIN, .revents = 0};
      if (poll(&wait_for, 1, 120000) == 0) kill(-child, SIGKILL);
      char chunk[4096];
      const ssize_t got = read(master, chunk, sizeof chunk);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;  // EIO: nobody holds the terminal any more
      outcome.out.append(chunk, static_cast<std::size_t>(got));
      int prompts = 0;
      for (std::size_t at = 0; (at = outcome.out.find("Your choice: ", at)) != std::string::npos; ++at) ++prompts;
      if (outcome.prompts == 0 && prompts > 0) tcgetattr(master, &outcome.during);
      for (outcome.prompts = prompts; typed < static_cast<std::size_t>(prompts) && !hung_up; ++typed) {
        if (typed < keys.size() && write(master, &keys[typed], 1) == 1) continue;
        hung_up = wiring == Wiring::kHangUp;  // else the installer asks for more keys than given
        if (!hung_up) kill(-child, SIGKILL);
      }
    }
    if (wiring == Wiring::kHangUp) close(master);  // the terminal's last master: a hang-up
    int raw = 0;
    for (int waited_ms = 0; waitpid(child, &raw, WNOHANG) == 0; waited_ms += 2) {
      if (waited_ms == 10000) kill(-child, SIGKILL);  // not a run asking on for ever
      usleep(2000);
    }
    if (wiring != Wiring::kHangUp) {
      tcgetattr(master, &outcome.after);
      close(master);
    }
    outcome.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    if (wiring == Wiring::kOutputToFile) outcome.out = read_file(work / "stdout");
    outcome.err = read_file(work / "stderr");
    outcome.report = read_file(work / "report");
    return outcome;
  }

  // A path of the last run's box: "absent", "-> TARGET", "dir MODE", or "MODE CONTENT".
  // What stands at `path` in the box: "absent", "-> TARGET", "dir MODE" or "MODE CONTENT". The plugin's and the
  // configuration's names are links into the pair folder: shown as the file they name.
  std::string box_state(const std::string &path) const {
    const fs::path outside = root_ / path.substr(1);
    struct stat st;
    if (lstat(outside.c_str(), &st) != 0) return "absent";
    if (S_ISLNK(st.st_mode) && !pair_link(path).empty() && stat(outside.c_str(), &st) != 0) return "absent";
    if (S_ISLNK(st.st_mode)) return "-> " + fs::read_symlink(outside).string();
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", st.st_mode & 07777);
    return S_ISDIR(st.st_mode) ? std::string("dir ") + mode : mode + (" " + read_file(outside));
  }

  // The text of the link at `path` when it is a link into the pair folder, else "".
  std::string pair_link(const std::string &path) const {
    std::error_code no_link;
    const std::string text = fs::read_symlink(root_ / path.substr(1), no_link).string();
    return text.starts_with(".kavro/") ? text : "";
  }

  fs::path work_, disk_, root_;  // this test's folder, the full data disk, the box of the last run
  int runs_ = 0;
};

inline constexpr char kProbe[] = "FreeType library 2.1.3\n";
inline constexpr char kNoFont[] = "You don't have any usable font!\n";
inline constexpr char kUnpackFailed[] = "Couldn't unpack file! Not enough free space?";
inline constexpr char kNoRealFile[] = "ERROR: A real file could not be opened\n";

namespace screen {

inline const std::string kWeb = "http://kavro.example.org/";
inline const std::string kKeepCurrent =
    "\033[1;34m\t0\033[0m - I'm upgrading or I'll do it manually -- don't care...\n";
inline const std::string kMissingDisk =
    "\n\n\033[1;31m!!! Missing data disk. Please upload correct .dsk file to /tmp\n\033[0m\n";
inline const std::string kInstallation = "\n\n\033[1;31mInstallation:\033[0m\n";
inline const std::string kDone =
    "\033[1;31m\nDone.\n\nPlease read the documentation and FAQs at \033[1;34m" + kWeb + "\n\033[0m\n";
inline const std::string kPassStart = " \n";
inline const std::string kKeepSubtitles = "\tDon't modify subtitles storage.\n";
inline const std::string kKeepFont = "\tDon't touch my font.\n";

// `probe`: the FreeType probe's line, when standard error is the terminal too.
inline std::string start(const std::string &model = "DM7000", const std::string &freetype = "2.1",
                         const std::string &probe = "") {
  return "\n\t\033[1;31mWelcome to Kavro v2.0-7020 for " + model +
         " -- installer v0.24\033[0m\nMore info is available at " + kWeb + "\n\n" + probe +
         (freetype.empty() ? "" : "\033[1;31mKavro 2.0-7020 for FreeType " + freetype + " will be installed.\033[0m");
}

inline std::string prompt(int times = 1) {
  std::string text;
  while (times-- > 0) text += "\033[0;35mYour choice: \033[0m";
  return text;
}

inline std::string lettered(const std::vector<std::string> &names, char &letter, const char *before = "\033[1;34m\t") {
  std::string text;
  for (const std::string &name : names)
    if (letter <= 'z') text += before + std::string(1, letter++) + "\033[0m - " + name + "\n";
  return text;
}

inline std::string language_menu() {
  char letter = 'a';
  return "\n\033[1;34mSelect language version:\033[0m\n" +
         lettered({"Czech", "English", "Arabic", "Bulgarian", "Croatian", "Dutch", "French", "Greek", "Hungarian",
                   "Polish", "Slovenian"},
                  letter);
}

inline std::string candidate(int number, const std::string &kind, const std::string &path) {
  return "\033[1;34m\t" + std::to_string(number) + "\033[0m - " + kind + " -> " + path + "/tit\n";
}

inline std::string subtitles_menu(int free_kb = kStandardFreeKb, const std::vector<std::string> &candidates = {},
                                  const std::string &current = "") {
  std::string text = "\033[1;34m\nSelect subtitles directory:\n" +
                     (current.empty() ? "" : kKeepCurrent + "\t\t(Actual destination: " + current + ")\n") +
                     "\033[1;34m\t1\033[0m - Flash (" + std::to_string(free_kb) + " kB free) " +
                     (free_kb >= 80 ? " " : "\033[1;31mNOT RECOMMENDED!") + "\n\033[1;34m\t2\033[0m - /tmp\n";
  for (const std::string &line : candidates) text += line;
  return text;
}

inline std::string font_menu(const std::vector<std::string> &box_fonts,
                             const std::vector<std::string> &product_fonts = {}, const std::string &current = "") {
  char letter = 'a';
  std::string text = "\033[1;34m\nSelect your favorite font:\033[0m\n(The preferred one is md_khmurabi_10.ttf)\n" +
                     (current.empty() ? "" : kKeepCurrent + "\t\t(Actual font: " + current + ")\n") +
                     lettered(box_fonts, letter, "\t\033[1;34m");
  return text + (product_fonts.empty() ? "" : "\t\t<-VAR->\n") + lettered(product_fonts, letter, "\t\033[1;34m");
}

inline std::string store_subtitles(const std::string &target) { return "\tStore subtitles in " + target + "\n"; }
inline std::string favourite_font(const std::string &path) { return "\tMy favourite font is " + path + "\n"; }

inline std::string summary(const std::string &subtitles_line = kKeepSubtitles, const std::string &font_line = kKeepFont,
                           const std::string &language = "English", const std::string &credit = "",
                           const std::string &freetype = "2.1", const std::string &model = "DM7000") {
  return "\n\n\033[1;31mConfiguration:\033[0m\n\033[1;34m\tInstall Kavro 2.0-7020 (" + model + ") for FreeType2 v" +
         freetype + " - " + language + "\n" +
         (credit.empty() ? "" : "\t[" + language + " translation by " + credit + "]\n\n") + subtitles_line + font_line +
         "\033[1;31m\tAre you sure? "
         "\033[0;35m[Y\033[0mes/\033[0;35mN\033[0mo/\033[0;35mE\033[0mxit\033[0;35m]\033[0m\n";
}

inline std::string installed(const std::string &steps = "") { return kInstallation + "OK\n" + steps + kDone; }

// One pass from its start to the confirmation's prompt; the font menu only when given.
struct Pass {
  int language_prompts = 1;
  std::string subtitles = subtitles_menu();
  int subtitles_prompts = 1;
  std::string fonts = "";
  int font_prompts = 1;
  std::string summary = screen::summary();
};

inline std::string pass(const Pass &p) {
  return kPassStart + language_menu() + prompt(p.language_prompts) + p.subtitles + prompt(p.subtitles_prompts) +
         (p.fonts.empty() ? "" : p.fonts + prompt(p.font_prompts)) + p.summary + prompt();
}

}  // namespace screen
}  // namespace box
