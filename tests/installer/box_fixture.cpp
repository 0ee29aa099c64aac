#include "installer/box_fixture.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

namespace box {

std::string payload_content(const std::string &name)
{
    return "Kavro placeholder payload: " + name + "\n";
}

fs::path make_disk(const fs::path &where, const DiskEntries &entries, const std::string &zepa_options)
{
    const fs::path payloads = where / "payloads";
    fs::create_directories(payloads);
    std::string command = (build_dir() / "bin/zepa").string() + " create " +
                          (where / "test.dsk").string() + " " + zepa_options;
    for (const auto &[name, content] : entries) {
        write_file(payloads / name, content);
        command += " '" + name + "=" + (payloads / name).string() + "'";
    }
    command += " >/dev/null";
    if (std::system(command.c_str()) != 0)
        throw std::runtime_error("zepa create failed: " + command);
    return where / "test.dsk";
}

DiskEntries full_disk_entries()
{
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

DiskEntries without(DiskEntries entries, const std::string &name)
{
    std::erase_if(entries, [&](const auto &entry) { return entry.first == name; });
    return entries;
}

namespace {

std::uint32_t u32_at(const std::string &bytes, std::size_t at)
{
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i)
        value = (value << 8) | static_cast<unsigned char>(bytes.at(at + i));
    return value;
}

std::uint32_t u16_at(const std::string &bytes, std::size_t at)
{
    return (static_cast<unsigned char>(bytes.at(at)) << 8) | static_cast<unsigned char>(bytes.at(at + 1));
}

}  // namespace

// The disk's directory: count at 5+1, data start, lengths (second half of
// 8-byte rows), a word per entry, name lengths, names; data back to back.
void damage_entry(const fs::path &disk, const std::string &name, std::size_t offset,
                  unsigned char value)
{
    std::string bytes = read_file(disk);
    const std::uint32_t count = u32_at(bytes, 6);
    std::size_t data = u32_at(bytes, 10);
    std::size_t name_at = 14 + 14 * std::size_t{count};
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint32_t length = u32_at(bytes, 14 + 8 * i + 4);
        const std::uint32_t name_length = u16_at(bytes, 14 + 12 * std::size_t{count} + 2 * i);
        if (bytes.substr(name_at, name_length) == name) {
            bytes.at(data + offset) = static_cast<char>(value);
            write_file(disk, bytes);
            return;
        }
        name_at += name_length;
        data += length;
    }
    throw std::runtime_error("no entry " + name + " in " + disk.string());
}

void BoxTest::SetUp()
{
    static std::string no_sandbox;
    static const bool sandbox = sandbox_available(&no_sandbox);
    if (!sandbox)
        GTEST_SKIP() << no_sandbox;

    const char *tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/kavro-e2e-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    work_ = pattern;
    disk_ = make_disk(work_ / "disk", full_disk_entries());
}

void BoxTest::TearDown()
{
    if (work_.empty())
        return;
    if (HasFailure())
        std::fprintf(stderr, "(the box of this test is kept in %s)\n", work_.c_str());
    else
        fs::remove_all(work_);
}

Outcome BoxTest::run(const std::string &keys, std::vector<std::string> options, Wiring wiring)
{
    std::vector<std::string> standard = {"--disk", disk_.string(), "--var-size",
                                         std::to_string(kStandardFreeKb), "--freetype", "2.1.3"};
    standard.insert(standard.end(), options.begin(), options.end());
    return run_bare(keys, standard, wiring);
}

Outcome BoxTest::run_bare(const std::string &keys, std::vector<std::string> options, Wiring wiring)
{
    const fs::path run_dir = work_ / ("run" + std::to_string(++runs_));
    root_ = run_dir / "root";
    return run_box(run_dir, options, keys, wiring);
}

bool BoxTest::box_has(const std::string &path) const
{
    struct stat st;
    return lstat(in_box(path).c_str(), &st) == 0;
}

unsigned BoxTest::box_mode(const std::string &path) const
{
    struct stat st;
    if (lstat(in_box(path).c_str(), &st) != 0)
        return 0;
    return st.st_mode & 07777;
}

std::string BoxTest::box_link(const std::string &path) const
{
    char text[512];
    const ssize_t got = readlink(in_box(path).c_str(), text, sizeof text);
    return got < 0 ? std::string() : std::string(text, static_cast<std::size_t>(got));
}

namespace screen {

namespace {
const std::string kWeb = "http://kavro.example.org/";
const std::string kKeepCurrent =
    "\033[1;34m\t0\033[0m - I'm upgrading or I'll do it manually -- don't care...\n";
const std::vector<std::string> kLanguageNames = {"Czech", "English", "Arabic", "Bulgarian",
                                                 "Croatian", "Dutch", "French", "Greek",
                                                 "Hungarian", "Polish", "Slovenian"};
}  // namespace

std::string start(const std::string &model, const std::string &freetype)
{
    std::string text = "\n\t\033[1;31mWelcome to Kavro v2.0-7020 for " + model +
                       " -- installer v0.24\033[0m" + "\nMore info is available at " + kWeb + "\n\n";
    if (!freetype.empty())
        text += "\033[1;31mKavro 2.0-7020 for FreeType " + freetype + " will be installed.\033[0m";
    return text;
}

std::string missing_disk()
{
    return "\n\n\033[1;31m!!! Missing data disk. Please upload correct .dsk file to /tmp\n\033[0m\n";
}

std::string prompt(int times)
{
    std::string text;
    for (int i = 0; i < times; ++i)
        text += "\033[0;35mYour choice: \033[0m";
    return text;
}

std::string pass_start() { return " \n"; }

std::string language_menu()
{
    std::string text = "\n\033[1;34mSelect language version:\033[0m\n";
    char letter = 'a';
    for (const std::string &name : kLanguageNames)
        text += std::string("\033[1;34m\t") + letter++ + "\033[0m - " + name + "\n";
    return text;
}

std::string subtitles_menu(int free_kb, const std::vector<std::string> &candidates,
                           const std::string &current)
{
    std::string text = "\033[1;34m\nSelect subtitles directory:\n";
    if (!current.empty())
        text += kKeepCurrent + "\t\t(Actual destination: " + current + ")\n";
    text += "\033[1;34m\t1\033[0m - Flash (" + std::to_string(free_kb) + " kB free) " +
            (free_kb >= 80 ? " " : "\033[1;31mNOT RECOMMENDED!") + "\n";
    text += "\033[1;34m\t2\033[0m - /tmp\n";
    for (const std::string &line : candidates)
        text += line;
    return text;
}

std::string usb(int number, const std::string &path)
{
    return "\033[1;34m\t" + std::to_string(number) + "\033[0m - USB -> " + path + "/tit\n";
}

std::string hdd(int number, const std::string &path)
{
    return "\033[1;34m\t" + std::to_string(number) + "\033[0m - HDD -> " + path + "/tit\n";
}

std::string font_menu(const std::vector<std::string> &box_fonts,
                      const std::vector<std::string> *product_fonts, const std::string &current)
{
    std::string text = "\033[1;34m\nSelect your favorite font:\033[0m\n"
                       "(The preferred one is md_khmurabi_10.ttf)\n";
    if (!current.empty())
        text += kKeepCurrent + "\t\t(Actual font: " + current + ")\n";
    char letter = 'a';
    auto list = [&](const std::vector<std::string> &names) {
        for (const std::string &name : names)
            if (letter <= 'z')
                text += std::string("\t\033[1;34m") + letter++ + "\033[0m - " + name + "\n";
    };
    list(box_fonts);
    if (product_fonts != nullptr) {
        text += "\t\t<-VAR->\n";
        list(*product_fonts);
    }
    return text;
}

std::string summary(const std::string &language, const std::string &subtitles_line,
                    const std::string &font_line, const std::string &freetype,
                    const std::string &model, const std::string &credit)
{
    std::string text = "\n\n\033[1;31mConfiguration:\033[0m\n\033[1;34m\tInstall Kavro 2.0-7020 (" +
                       model + ") for FreeType2 v" + freetype + " - " + language + "\n";
    if (!credit.empty())
        text += "\t[" + language + " translation by " + credit + "]\n\n";
    return text + subtitles_line + font_line +
           "\033[1;31m\tAre you sure? \033[0;35m[Y\033[0mes/\033[0;35mN\033[0mo/\033[0;35mE"
           "\033[0mxit\033[0;35m]\033[0m\n";
}

std::string store_subtitles(const std::string &target) { return "\tStore subtitles in " + target + "\n"; }
std::string keep_subtitles() { return "\tDon't modify subtitles storage.\n"; }
std::string favourite_font(const std::string &path) { return "\tMy favourite font is " + path + "\n"; }
std::string keep_font() { return "\tDon't touch my font.\n"; }
std::string installation_start() { return "\n\n\033[1;31mInstallation:\033[0m\n"; }
std::string plugin_ok() { return "OK\n"; }
std::string plugin_failed() { return "ERROR!\n"; }

std::string done()
{
    return "\033[1;31m\nDone.\n\nPlease read the documentation and FAQs at \033[1;34m" + kWeb + "\n\033[0m\n";
}

}  // namespace screen
}  // namespace box
