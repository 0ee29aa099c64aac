#include "installer/box_session.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace box {
namespace {

constexpr char kPrompt[] = "Your choice: ";
// Only a safety net against a hung installer: no output for this long ends
// the run as a failure.
constexpr int kSilenceLimitMs = 120000;

std::size_t count_prompts(const std::string &text)
{
    std::size_t count = 0;
    for (std::size_t at = text.find(kPrompt); at != std::string::npos;
         at = text.find(kPrompt, at + 1))
        ++count;
    return count;
}

int open_or_die(const char *path, int flags)
{
    const int fd = open(path, flags, 0644);
    if (fd < 0)
        _exit(126);
    return fd;
}

[[noreturn]] void exec_box(int terminal, const fs::path &work, const std::vector<std::string> &argv,
                           Wiring wiring)
{
    setsid();
    ioctl(terminal, TIOCSCTTY, 0);
    const int input = wiring == Wiring::kInputFromNull ? open_or_die("/dev/null", O_RDONLY) : terminal;
    const int output = wiring == Wiring::kOutputToFile
                           ? open_or_die((work / "stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC)
                           : terminal;
    const int error = open_or_die((work / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC);
    dup2(input, STDIN_FILENO);
    dup2(output, STDOUT_FILENO);
    dup2(error, STDERR_FILENO);
    closefrom(3);

    std::vector<char *> args;
    for (const std::string &arg : argv)
        args.push_back(const_cast<char *>(arg.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
}

// Reads the terminal until every writer has gone, typing a key at each new
// prompt. A prompt beyond the given keys ends the run (the installer would
// wait for ever).
void converse(int master, pid_t child, const std::string &keys, Outcome *outcome)
{
    std::size_t typed = 0;
    bool killed = false;
    for (;;) {
        pollfd wait_for{.fd = master, .events = POLLIN, .revents = 0};
        const int ready = poll(&wait_for, 1, kSilenceLimitMs);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready == 0) {
            kill(-child, SIGKILL);
            outcome->out += "\n[test: no output for too long; killed]";
            killed = true;
            continue;
        }
        char chunk[4096];
        const ssize_t got = read(master, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;  // EIO: nobody holds the terminal any more
        outcome->out.append(chunk, static_cast<std::size_t>(got));

        const std::size_t prompts = count_prompts(outcome->out);
        if (outcome->prompts == 0 && prompts > 0)
            tcgetattr(master, &outcome->during);
        outcome->prompts = static_cast<int>(prompts);
        while (typed < prompts && !killed) {
            if (typed == keys.size()) {
                outcome->starved = true;
                kill(-child, SIGKILL);
                killed = true;
                break;
            }
            const char key = keys[typed++];
            if (write(master, &key, 1) != 1)
                break;
        }
    }
}

int wait_status(pid_t child)
{
    int raw = 0;
    while (waitpid(child, &raw, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(raw))
        return WEXITSTATUS(raw);
    return 128 + WTERMSIG(raw);
}

}  // namespace

fs::path build_dir()
{
    const char *dir = std::getenv("KAVRO_BUILD_DIR");
    if (dir == nullptr || *dir == '\0')
        throw std::runtime_error("KAVRO_BUILD_DIR is not set (run the tests through ctest)");
    return dir;
}

bool sandbox_available(std::string *reason)
{
    const std::string command = (build_dir() / "bin/kavro-box").string() + " --check 2>&1";
    std::string said;
    if (FILE *pipe = popen(command.c_str(), "r")) {
        char line[512];
        while (std::fgets(line, sizeof line, pipe) != nullptr)
            said += line;
        if (pclose(pipe) == 0)
            return true;
    }
    *reason = "no sandbox can be made on this machine: " + (said.empty() ? command : said);
    return false;
}

Outcome run_box(const fs::path &work, const std::vector<std::string> &options,
                const std::string &keys, Wiring wiring)
{
    fs::create_directories(work);
    std::vector<std::string> argv = {(build_dir() / "bin/kavro-box").string(),
                                     "--root", (work / "root").string(),
                                     "--report", (work / "report").string(),
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
    if (child < 0)
        throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    if (child == 0) {
        close(master);
        exec_box(terminal, work, argv, wiring);
    }
    close(terminal);
    converse(master, child, keys, &outcome);
    outcome.status = wait_status(child);
    tcgetattr(master, &outcome.after);
    close(master);

    if (wiring == Wiring::kOutputToFile)
        outcome.out = read_file(work / "stdout");
    outcome.err = read_file(work / "stderr");
    outcome.report = read_file(work / "report");
    return outcome;
}

bool same_terminal(const termios &a, const termios &b)
{
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

std::string read_file(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void write_file(const fs::path &path, const std::string &content)
{
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

}  // namespace box
