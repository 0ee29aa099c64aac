// Runs the real kavro-install inside kavro-box on a pseudo-terminal, typing
// one key at each "Your choice: " prompt, and records what came out.
#pragma once

#include <termios.h>

#include <filesystem>
#include <string>
#include <vector>

namespace box {

namespace fs = std::filesystem;

// Which of the installer's standard descriptors are the terminal.
enum class Wiring { kTerminal, kInputFromNull, kOutputToFile };

struct Outcome {
    std::string out;        // standard output (the terminal, or the file)
    std::string err;        // standard error
    std::string report;     // kavro-box's status line and tree
    int status = -1;        // exit status (128 + signal when killed)
    int prompts = 0;        // "Your choice: " prompts seen
    bool starved = false;   // the installer asked for more keys than given
    termios before{};       // terminal settings before the start
    termios during{};       // ... at the first prompt
    termios after{};        // ... after the end
};

// The build tree under test (KAVRO_BUILD_DIR, set by CTest).
fs::path build_dir();

// True when kavro-box can make a sandbox here; the reason otherwise.
bool sandbox_available(std::string *reason);

// Runs kavro-box with `options` (box layout), the box built in `root`;
// `keys` are typed one per prompt.
Outcome run_box(const fs::path &work, const std::vector<std::string> &options,
                const std::string &keys, Wiring wiring = Wiring::kTerminal);

// Same terminal settings (flags and control characters).
bool same_terminal(const termios &a, const termios &b);

std::string read_file(const fs::path &path);
void write_file(const fs::path &path, const std::string &content);

}  // namespace box
