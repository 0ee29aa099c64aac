// The end-to-end fixtures: a pseudo-terminal session with kavro-box, data
// disks made with the zepa tool, and the box of each test.
#include "installer/box_fixture.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace box {
namespace {

constexpr char kPrompt[] = "Your choice: ";
// Only a safety net against a hung installer: no output for this long ends
// the run as a failure.
constexpr int kSilenceLimitMs = 120000;

std::size_t count_prompts(const std::string &text) {
  std::size_t count = 0;
  for (std::size_t at = text.find(kPrompt); at != std::string::npos; at = text.find(kPrompt, at + 1)) ++count;
  return count;
}

int open_or_die(const char *path, int flags) {
  const int fd = open(path, flags, 0644);
  if (fd < 0) _exit(126);
  return fd;
}

[[noreturn]] void exec_box(int terminal, const fs::path &work, const std::vector<std::string> &argv, Wiring wiring) {
  setsid();
  ioctl(terminal, TIOCSCTTY, 0);
  if (wiring == Wiring::kHangUp) signal(SIGHUP, SIG_IGN);
  const int input = wiring == Wiring::kInputFromNull ? open_or_die("/dev/null", O_RDONLY) : terminal;
  const int output =
      wiring == Wiring::kOutputToFile ? open_or_die((work / "stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC) : terminal;
  const int error = open_or_die((work / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC);
  dup2(input, STDIN_FILENO);
  dup2(output, STDOUT_FILENO);
  dup2(error, STDERR_FILENO);
  closefrom(3);

  std::vector<char *> args;
  for (const std::string &arg : argv) args.push_back(const_cast<char *>(arg.c_str()));
  args.push_back(nullptr);
  execv(args[0], args.data());
  _exit(127);
}

// Reads the terminal until every writer has gone, typing a key at each new
// prompt. A prompt beyond the given keys ends the run (the installer would
// wait for ever), or with `hang_up_at_end` returns at once to hang the
// terminal up.
void converse(int master, pid_t child, const std::string &keys, bool hang_up_at_end, Outcome *outcome) {
  std::size_t typed = 0;
  bool killed = false;
  for (;;) {
    pollfd wait_for{.fd = master, .events = POLLIN, .revents = 0};
    const int ready = poll(&wait_for, 1, kSilenceLimitMs);
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0) {
      kill(-child, SIGKILL);
      outcome->out += "\n[test: no output for too long; killed]";
      killed = true;
      continue;
    }
    char chunk[4096];
    const ssize_t got = read(master, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;  // EIO: nobody holds the terminal any more
    outcome->out.append(chunk, static_cast<std::size_t>(got));

    const std::size_t prompts = count_prompts(outcome->out);
    if (outcome->prompts == 0 && prompts > 0) tcgetattr(master, &outcome->during);
    outcome->prompts = static_cast<int>(prompts);
    while (typed < prompts && !killed) {
      if (typed == keys.size()) {
        if (hang_up_at_end) return;
        outcome->starved = true;
        kill(-child, SIGKILL);
        killed = true;
        break;
      }
      const char key = keys[typed++];
      if (write(master, &key, 1) != 1) break;
    }
  }
}

int decoded_status(int raw) { return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw); }

int wait_status(pid_t child) {
  int raw = 0;
  while (waitpid(child, &raw, 0) < 0 && errno == EINTR) {
  }
  return decoded_status(raw);
}

// Hangs the terminal up (its last master closes) and waits for kavro-box,
// killing it when it outlives the silence limit.
int hang_up(int master, pid_t child, Outcome *outcome) {
  const auto start = std::chrono::steady_clock::now();
  close(master);
  const auto elapsed_ms = [&] {
    return static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
  };
  int raw = 0;
  while (waitpid(child, &raw, WNOHANG) != child) {
    if (elapsed_ms() > kSilenceLimitMs) {
      kill(-child, SIGKILL);
      outcome->hang_up_ms = elapsed_ms();
      return wait_status(child);
    }
    usleep(2000);
  }
  outcome->hang_up_ms = elapsed_ms();
  return decoded_status(raw);
}

}  // namespace

fs::path build_dir() {
  const char *dir = std::getenv("KAVRO_BUILD_DIR");
  if (dir == nullptr || *dir == '\0')
    throw std::runtime_error("KAVRO_BUILD_DIR is not set (run the tests through ctest)");
  return dir;
}

bool sandbox_available(std::string *reason) {
  const std::string command = (build_dir() / "bin/kavro-box").string() + " --check 2>&1";
  std::string said;
  if (FILE *pipe = popen(command.c_str(), "r")) {
    char line[512];
    while (std::fgets(line, sizeof line, pipe) != nullptr) said += line;
    if (pclose(pipe) == 0) return true;
  }
  *reason = "no sandbox can be made on this machine: " + (said.empty() ? command : said);
  return false;
}

Outcome run_box(const fs::path &work, const std::vector<std::string> &options, const std::string &keys, Wiring wiring) {
  fs::create_directories(work);
  std::vector<std::string> argv = {(build_dir() / "bin/kavro-box").string(),
                                   "--root",
                                   (work / "root").string(),
                                   "--report",
                                   (work / "report").string(),
                                   "--leave-terminal"};
  argv.insert(argv.end(), options.begin(), options.end());

  Outcome outcome;
  int master = -1, terminal = -1;
  if (openpty(&master, &terminal, nullptr, nullptr, nullptr) != 0)
    throw std::runtime_error(std::string("openpty: ") + std::strerror(errno));
  // Output exactly as written (no "\n" -> "\r\n"); everything else stays a
  // normal line-editing, echoing terminal.
  termios settings{};
  tcgetattr(terminal, &settings);
  settings.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  tcsetattr(terminal, TCSANOW, &settings);
  tcgetattr(terminal, &outcome.before);

  const pid_t child = fork();
  if (child < 0) throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
  if (child == 0) {
    close(master);
    exec_box(terminal, work, argv, wiring);
  }
  close(terminal);
  converse(master, child, keys, wiring == Wiring::kHangUp, &outcome);
  if (wiring == Wiring::kHangUp) {
    outcome.status = hang_up(master, child, &outcome);
  } else {
    outcome.status = wait_status(child);
    tcgetattr(master, &outcome.after);
    close(master);
  }

  if (wiring == Wiring::kOutputToFile) outcome.out = read_file(work / "stdout");
  outcome.err = read_file(work / "stderr");
  outcome.report = read_file(work / "report");
  return outcome;
}

bool same_terminal(const termios &a, const termios &b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag && a.c_lflag == b.c_lflag &&
         std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

std::string read_file(const fs::path &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

void write_file(const fs::path &path, const std::string &content) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

std::string payload_content(const std::string &name) { return "Kavro placeholder payload: " + name + "\n"; }

fs::path make_disk(const fs::path &where, const DiskEntries &entries, const std::string &zepa_options) {
  const fs::path payloads = where / "payloads";
  fs::create_directories(payloads);
  std::string command =
      (build_dir() / "bin/zepa").string() + " create --force " + (where / "test.dsk").string() + " " + zepa_options;
  for (const auto &[name, content] : entries) {
    write_file(payloads / name, content);
    command += " '" + name + "=" + (payloads / name).string() + "'";
  }
  command += " >/dev/null";
  if (std::system(command.c_str()) != 0) throw std::runtime_error("zepa create failed: " + command);
  return where / "test.dsk";
}

DiskEntries full_disk_entries() {
  DiskEntries entries;
  for (const char *variant : {"d209", "d213"})
    for (const std::string &code : kLanguageCodes) {
      const std::string name = std::string(variant) + "-" + code + ".so";
      entries.emplace_back(name, payload_content(name));
    }
  entries.emplace_back("kavro-1.cfg", payload_content("kavro-1.cfg"));
  entries.emplace_back("kavro-2.cfg", payload_content("kavro-2.cfg"));
  return entries;
}

DiskEntries without(DiskEntries entries, const std::string &name) {
  std::erase_if(entries, [&](const auto &entry) { return entry.first == name; });
  return entries;
}

std::string noise(std::size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  std::mt19937 generator(seed);
  for (char &c : bytes) c = static_cast<char>(generator() % 7 == 0 ? 'k' : generator());
  return bytes;
}

DiskEntries with_english_plugin(const std::string &plugin) {
  DiskEntries entries = without(full_disk_entries(), "d213-EN.so");
  entries.emplace_back("d213-EN.so", plugin);
  return entries;
}

// The packed file's offset in the disk is the last column of `zepa list`.
void damage_entry(const fs::path &disk, const std::string &name, std::size_t offset, unsigned char value) {
  const std::string command = (build_dir() / "bin/zepa").string() + " list " + disk.string();
  std::string line;
  std::size_t start = 0;
  if (FILE *pipe = popen(command.c_str(), "r")) {
    char text[512];
    while (start == 0 && std::fgets(text, sizeof text, pipe) != nullptr)
      if ((line = text).rfind(name + " ", 0) == 0) start = std::stoul(line.substr(line.find_last_of(' ') + 1));
    pclose(pipe);
  }
  if (start == 0) throw std::runtime_error("no entry " + name + " in " + disk.string());
  std::string bytes = read_file(disk);
  bytes.at(start + offset) = static_cast<char>(value);
  write_file(disk, bytes);
}

void BoxTest::SetUp() {
  static std::string no_sandbox;
  static const bool sandbox = sandbox_available(&no_sandbox);
  if (!sandbox) GTEST_SKIP() << no_sandbox;

  const char *tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/kavro-e2e-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  work_ = pattern;
  disk_ = make_disk(work_ / "disk", full_disk_entries());
}

void BoxTest::TearDown() {
  if (work_.empty()) return;
  if (HasFailure())
    std::fprintf(stderr, "(the box of this test is kept in %s)\n", work_.c_str());
  else
    fs::remove_all(work_);
}

Outcome BoxTest::run(const std::string &keys, std::vector<std::string> options, Wiring wiring) {
  std::vector<std::string> standard = {"--disk",     disk_.string(), "--var-size", std::to_string(kStandardFreeKb),
                                       "--freetype", "2.1.3"};
  standard.insert(standard.end(), options.begin(), options.end());
  return run_bare(keys, standard, wiring);
}

Outcome BoxTest::run_bare(const std::string &keys, std::vector<std::string> options, Wiring wiring) {
  const fs::path run_dir = work_ / ("run" + std::to_string(++runs_));
  root_ = run_dir / "root";
  return run_box(run_dir, options, keys, wiring);
}

bool BoxTest::box_has(const std::string &path) const {
  struct stat st;
  return lstat(in_box(path).c_str(), &st) == 0;
}

unsigned BoxTest::box_mode(const std::string &path) const {
  struct stat st;
  if (lstat(in_box(path).c_str(), &st) != 0) return 0;
  return st.st_mode & 07777;
}

std::string BoxTest::box_link(const std::string &path) const {
  char text[512];
  const ssize_t got = readlink(in_box(path).c_str(), text, sizeof text);
  return got < 0 ? std::string() : std::string(text, static_cast<std::size_t>(got));
}

}  // namespace box
