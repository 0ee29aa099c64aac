// SPDX-License-Identifier: GPL-2.0-or-later
// kavro-bench: extraction measured against the decompressor's own speed.
//
// On one payload, in one run, it measures
//   - the in-memory, in-place safe decode of the packed blocks (the baseline),
//     for nrv2e, nrv2d and nrv2b packings of the payload;
//   - unpack_disk_file() end to end, from a data disk to a file on tmpfs
//     (/dev/shm) and to a file on disk;
//   - the installer's install_file(), which checks the file (a decode that
//     writes nothing, check_disk_file()) before it unpacks it beside the
//     target, flushes it, renames it into place and flushes the folder;
//     against the same check followed by an unpack in place (the installer
//     before it staged its files);
//   - the whole `zepa extract` process, and `gzip -dc` of the same payload;
//   - packing at the default settings with 1 thread and with every core;
// and prints each as MB/s (of plain bytes; min/median/max over the runs)
// and as a ratio to the baseline.
//
//   kavro-bench [--runs N] [--zepa PATH] [--scratch DIR] PAYLOAD
//   kavro-bench --pack-to PACKED PAYLOAD  writes the packed file (defaults)
//   kavro-bench --decode-only PACKED      one in-memory decode (for callgrind)
//   kavro-bench --memory DISK OUTPUT      peak memory of one extraction of
//                                         the entry "payload"
//   kavro-bench --memory-install DISK OUTPUT   the same for install_file
//   kavro-bench --entries [--runs N] [--zepa PATH]
//                                         `zepa list`, `zepa verify` and
//                                         `zepa extract --all` of disks of
//                                         10 to 10,000 small entries, in
//                                         milliseconds
#include <sys/stat.h>
#include <ucl/ucl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "container_writer.h"
#include "installer.h"
#include "packer.h"
#include "unpack.h"

namespace kavro::bench {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Options {
  int runs = 9;
  std::string zepa = "zepa";
  fs::path scratch_disk = fs::temp_directory_path();
  fs::path payload;
  bool decode_only = false;
  std::string pack_to;
  bool memory = false;
  bool memory_install = false;
  fs::path memory_output;
  bool entries = false;
};

std::vector<uint8_t> read_file(const fs::path &path) {
  std::error_code error;
  const auto size = fs::file_size(path, error);
  std::vector<uint8_t> bytes(error ? 0 : size);
  std::ifstream(path, std::ios::binary)
      .read(reinterpret_cast<char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return bytes;
}

uint32_t be32(const uint8_t *p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | uint32_t{p[3]};
}

std::vector<uint8_t> pack(const std::vector<uint8_t> &plain, kavro::tools::packer::Method method, unsigned threads) {
  kavro::tools::packer::Options options;
  options.method = method;
  options.threads = threads;
  std::vector<uint8_t> packed;
  std::string error;
  if (!kavro::tools::packer::pack(plain, options, packed, error)) {
    std::fprintf(stderr, "kavro-bench: %s\n", error.c_str());
    std::exit(1);
  }
  return packed;
}

// Decodes every block of a packed file in place in one work buffer, as
// extraction does, with the checksum; returns the plain byte count.
size_t decode_in_memory(const std::vector<uint8_t> &packed) {
  const uint8_t method = packed[12];
  const uint32_t block_size = be32(&packed[14]);
  const bool checksum = (be32(&packed[8]) & 1) != 0;
  std::vector<uint8_t> work(block_size + block_size / 8 + 256);
  ucl_uint32 adler = ucl_adler32(0, nullptr, 0);
  size_t at = 18, total = 0;
  for (;;) {
    const uint32_t decoded = be32(&packed[at]);
    if (decoded == 0) break;
    const uint32_t stored = be32(&packed[at + 4]);
    at += 8;
    uint8_t *in = work.data() + work.size() - stored;
    std::memcpy(in, &packed[at], stored);
    at += stored;
    if (stored < decoded) {
      ucl_uint produced = decoded;
      int r = method == 0x2E   ? ucl_nrv2e_decompress_safe_8(in, stored, work.data(), &produced, nullptr)
              : method == 0x2D ? ucl_nrv2d_decompress_safe_8(in, stored, work.data(), &produced, nullptr)
                               : ucl_nrv2b_decompress_safe_8(in, stored, work.data(), &produced, nullptr);
      if (r != UCL_E_OK || produced != decoded) std::abort();
      in = work.data();
    }
    if (checksum) adler = ucl_adler32(adler, in, decoded);
    total += decoded;
  }
  if (checksum && be32(&packed[at + 4]) != adler) std::abort();
  return total;
}

struct Timing {
  double min, median, max;  // seconds
};

Timing measure(int runs, const std::function<void()> &work) {
  std::vector<double> seconds;
  work();  // warm-up
  for (int i = 0; i < runs; ++i) {
    const auto start = Clock::now();
    work();
    seconds.push_back(std::chrono::duration<double>(Clock::now() - start).count());
  }
  std::sort(seconds.begin(), seconds.end());
  return {seconds.front(), seconds[seconds.size() / 2], seconds.back()};
}

void run_command(const std::string &command) {
  if (std::system(command.c_str()) != 0) {
    std::fprintf(stderr, "kavro-bench: failed: %s\n", command.c_str());
    std::exit(1);
  }
}

void extract_in_process(const fs::path &disk, const fs::path &output) {
  if (open_install_disk(disk.c_str()) != 0 || unpack_disk_file("payload", output.c_str()) < 0) {
    std::fprintf(stderr, "kavro-bench: extraction failed\n");
    std::exit(1);
  }
  close_install_disk();
}

// As the installer places a file: checked first, then unpacked, then its mode.
void install_in_process(const fs::path &disk, const fs::path &output) {
  if (open_install_disk(disk.c_str()) != 0 || install_file("payload", output.c_str(), 0644) != 0) {
    std::fprintf(stderr, "kavro-bench: install_file failed\n");
    std::exit(1);
  }
  close_install_disk();
}

// As the installer placed a file before it staged it: checked, unpacked over
// the target, then its mode; no flush.
void install_in_place(const fs::path &disk, const fs::path &output) {
  if (open_install_disk(disk.c_str()) != 0 || check_disk_file("payload") < 0 ||
      unpack_disk_file("payload", output.c_str()) < 0 || chmod(output.c_str(), 0644) != 0) {
    std::fprintf(stderr, "kavro-bench: install in place failed\n");
    std::exit(1);
  }
  close_install_disk();
}

// The flushes one install_file makes, counted through its box operations.
int flushes_per_install(const fs::path &disk, const fs::path &output) {
  static int flushes = 0;
  static constexpr BoxOperations kCounting{
      .chmod = [](const char *path, mode_t mode) { return libc_box_operations().chmod(path, mode); },
      .flush = [](const char *path) { return ++flushes, libc_box_operations().flush(path); },
      .link = [](const char *existing, const char *path) { return libc_box_operations().link(existing, path); },
      .mkdir = [](const char *path, mode_t mode) { return libc_box_operations().mkdir(path, mode); },
      .rename = [](const char *from, const char *to) { return libc_box_operations().rename(from, to); },
      .rmdir = [](const char *path) { return libc_box_operations().rmdir(path); },
      .symlink = [](const char *target, const char *path) { return libc_box_operations().symlink(target, path); },
      .unlink = [](const char *path) { return libc_box_operations().unlink(path); },
  };
  flushes = 0;
  set_box_operations(&kCounting);
  install_in_process(disk, output);
  set_box_operations(nullptr);
  return flushes;
}

void check_in_process(const fs::path &disk) {
  if (open_install_disk(disk.c_str()) != 0 || check_disk_file("payload") < 0) {
    std::fprintf(stderr, "kavro-bench: check failed\n");
    std::exit(1);
  }
  close_install_disk();
}

// A line of /proc/self/status in KiB ("VmHWM", "VmRSS"); -1 if absent.
long status_kib(const char *field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  const std::string key = std::string(field) + ":";
  while (std::getline(status, line))
    if (line.rfind(key, 0) == 0) return std::atol(line.c_str() + key.size());
  return -1;
}

// Extracts `name` of `disk` once in this fresh process and prints how far its
// peak resident memory rose above where it stood before, against the work
// buffer the file's blocks need.
int measure_memory(const fs::path &disk, const fs::path &output, bool install) {
  const long work_buffer = (1048576 + 1048576 / 8 + 256 + 1023) / 1024;
  // First run: the extraction's code is paged in as it runs; second run: the
  // same in a process that has extracted before.
  for (const char *run : {"first", "next"}) {
    std::ofstream("/proc/self/clear_refs") << "5";  // peak := current
    const long before = status_kib("VmHWM");
    if (install)
      install_in_process(disk, output);
    else
      extract_in_process(disk, output);
    const long peak = status_kib("VmHWM");
    std::printf(
        "peak resident memory, %s %s: +%ld KiB over the %ld KiB before (work buffer %ld KiB, the rest %ld KiB)\n", run,
        install ? "install_file" : "extraction", peak - before, before, work_buffer, peak - before - work_buffer);
  }
  return 0;
}

class Table {
 public:
  Table(size_t bytes, double baseline) : bytes_(bytes), baseline_(baseline) {}
  void row(const char *what, const Timing &t) const {
    const double mb = static_cast<double>(bytes_) / 1e6;
    std::printf("%-44s %8.1f %8.1f %8.1f   %5.0f%%\n", what, mb / t.max, mb / t.median, mb / t.min,
                100.0 * baseline_ / t.median);
  }

 private:
  size_t bytes_;
  double baseline_;
};

int bench(const Options &o) {
  const std::vector<uint8_t> plain = read_file(o.payload);
  if (plain.empty()) {
    std::fprintf(stderr, "kavro-bench: cannot read %s\n", o.payload.c_str());
    return 1;
  }
  const fs::path shm = fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
  const std::string tag = "kavro-bench-" + std::to_string(getpid());
  const fs::path disk = shm / (tag + ".dsk");
  const fs::path out_shm = shm / (tag + ".out");
  const fs::path out_disk = o.scratch_disk / (tag + ".out");
  const fs::path gz = shm / (tag + ".gz");

  const auto packed_e = pack(plain, kavro::tools::packer::Method::nrv2e, 0);
  const auto packed_d = pack(plain, kavro::tools::packer::Method::nrv2d, 0);
  const auto packed_b = pack(plain, kavro::tools::packer::Method::nrv2b, 0);
  const kavro::tools::container::ContainerEntry entries[] = {{"payload", packed_e}};
  if (!kavro::tools::container::write_container(disk, entries).empty()) return 1;
  run_command("gzip -9 -c '" + o.payload.string() + "' > '" + gz.string() + "'");

  const Timing base = measure(o.runs, [&] { decode_in_memory(packed_e); });
  const Table table(plain.size(), base.median);
  std::printf("payload %s: %zu bytes; nrv2e level 10, 1 MiB blocks, checksum: %zu bytes packed; gzip -9: %ju\n",
              o.payload.c_str(), plain.size(), packed_e.size(), static_cast<uintmax_t>(fs::file_size(gz)));
  std::printf("%u cores; %d runs each; MB/s of plain bytes\n\n", std::thread::hardware_concurrency(), o.runs);
  std::printf("%-44s %8s %8s %8s   %6s\n", "", "min", "median", "max", "ratio");
  table.row("in-memory decode nrv2e (baseline)", base);
  table.row("in-memory decode nrv2d", measure(o.runs, [&] { decode_in_memory(packed_d); }));
  table.row("in-memory decode nrv2b", measure(o.runs, [&] { decode_in_memory(packed_b); }));
  table.row("unpack_disk_file to tmpfs", measure(o.runs, [&] { extract_in_process(disk, out_shm); }));
  table.row("unpack_disk_file to disk", measure(o.runs, [&] { extract_in_process(disk, out_disk); }));
  table.row("check_disk_file (decode, no output)", measure(o.runs, [&] { check_in_process(disk); }));
  table.row("in place to tmpfs (check, unpack, mode)", measure(o.runs, [&] { install_in_place(disk, out_shm); }));
  table.row("install_file to tmpfs (check, stage, rename)",
            measure(o.runs, [&] { install_in_process(disk, out_shm); }));
  table.row("in place to disk (check, unpack, mode)", measure(o.runs, [&] { install_in_place(disk, out_disk); }));
  table.row("install_file to disk (check, stage, rename)",
            measure(o.runs, [&] { install_in_process(disk, out_disk); }));
  const std::string extract = "'" + o.zepa + "' extract --force '" + disk.string() + "' payload ";
  table.row("zepa extract process to tmpfs",
            measure(o.runs, [&] { run_command(extract + "'" + out_shm.string() + "'"); }));
  table.row("gzip -dc process to tmpfs",
            measure(o.runs, [&] { run_command("gzip -dc '" + gz.string() + "' > '" + out_shm.string() + "'"); }));
  table.row("pack (create) default settings, 1 thread",
            measure(std::min(o.runs, 3), [&] { pack(plain, kavro::tools::packer::Method::nrv2e, 1); }));
  table.row("pack (create) default settings, all cores",
            measure(std::min(o.runs, 3), [&] { pack(plain, kavro::tools::packer::Method::nrv2e, 0); }));

  std::printf("install_file flushes %d times per file (the staged file, the folder); in place: none\n",
              flushes_per_install(disk, out_shm));
  std::fflush(stdout);
  for (const char *mode : {"--memory", "--memory-install"})
    run_command("'" + fs::read_symlink("/proc/self/exe").string() + "' " + mode + " '" + disk.string() + "' '" +
                out_shm.string() + "'");

  if (read_file(out_shm) != plain || read_file(out_disk) != plain) {
    std::fprintf(stderr, "kavro-bench: extracted bytes differ from the payload\n");
    return 1;
  }
  for (const auto &p : {disk, out_shm, out_disk, gz}) fs::remove(p);
  return 0;
}

// Times `zepa list`, `zepa verify` and `zepa extract --all` as processes on
// disks of one-line entries, as many as a maintainer's disk could hold and
// more. --all writes into a new folder of the temporary folder's file system
// each run, as a maintainer's first extraction does.
int bench_entry_counts(const Options &o) {
  const fs::path shm = fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
  const std::string stem = "kavro-bench-" + std::to_string(getpid()) + "-entries";
  const fs::path disk = shm / (stem + ".dsk"), folders = fs::temp_directory_path() / stem;
  std::printf("%-8s %26s %26s %26s\n", "entries", "zepa list, ms min/med/max", "zepa verify, ms min/med/max",
              "extract --all, ms min/med/max");
  for (const int count : {10, 100, 1000, 10000}) {
    std::vector<kavro::tools::container::ContainerEntry> entries;
    for (int i = 0; i < count; ++i) {
      const std::string line = "line " + std::to_string(i) + "\n";
      entries.push_back({"entry-" + std::to_string(i) + ".txt",
                         pack(std::vector<uint8_t>(line.begin(), line.end()), kavro::tools::packer::Method::nrv2e, 1)});
    }
    if (!kavro::tools::container::write_container(disk, entries).empty()) return 1;
    const std::string tail = " '" + disk.string() + "' >/dev/null";
    const Timing list = measure(o.runs, [&] { run_command("'" + o.zepa + "' list" + tail); });
    const Timing verify = measure(o.runs, [&] { run_command("'" + o.zepa + "' verify" + tail); });
    int run = 0;
    fs::create_directories(folders);
    const Timing all = measure(o.runs, [&] {
      run_command("'" + o.zepa + "' extract --all '" + disk.string() + "' '" +
                  (folders / std::to_string(run++)).string() + "'");
    });
    fs::remove_all(folders);
    std::printf("%-8d %8.0f %8.0f %8.0f %8.0f %8.0f %8.0f %8.0f %8.0f %8.0f\n", count, 1e3 * list.min,
                1e3 * list.median, 1e3 * list.max, 1e3 * verify.min, 1e3 * verify.median, 1e3 * verify.max,
                1e3 * all.min, 1e3 * all.median, 1e3 * all.max);
  }
  fs::remove(disk);
  return 0;
}

}  // namespace
}  // namespace kavro::bench

int main(int argc, char **argv) {
  using namespace kavro::bench;
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--runs" && i + 1 < argc) {
      o.runs = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--zepa" && i + 1 < argc) {
      o.zepa = argv[++i];
    } else if (arg == "--scratch" && i + 1 < argc) {
      o.scratch_disk = argv[++i];
    } else if (arg == "--entries") {
      o.entries = true;
    } else if (arg == "--decode-only") {
      o.decode_only = true;
    } else if ((arg == "--memory" || arg == "--memory-install") && i + 2 < argc) {
      o.memory = true;
      o.memory_install = arg == "--memory-install";
      o.payload = argv[++i];
      o.memory_output = argv[++i];
    } else if (arg == "--pack-to" && i + 1 < argc) {
      o.pack_to = argv[++i];
    } else if (o.payload.empty() && arg[0] != '-') {
      o.payload = arg;
    } else {
      std::fprintf(
          stderr,
          "usage: kavro-bench [--runs N] [--zepa PATH] [--scratch DIR] PAYLOAD\n"
          "       kavro-bench --pack-to PACKED PAYLOAD | --decode-only PACKED | --memory[-install] DISK OUTPUT\n"
          "       kavro-bench --entries [--runs N] [--zepa PATH]\n");
      return 2;
    }
  }
  if (o.entries) return bench_entry_counts(o);
  if (o.payload.empty()) {
    std::fprintf(stderr, "kavro-bench: no payload given\n");
    return 2;
  }
  if (ucl_init() != UCL_E_OK) return 1;
  if (o.memory) return measure_memory(o.payload, o.memory_output, o.memory_install);
  if (!o.pack_to.empty()) {
    const auto packed = pack(read_file(o.payload), kavro::tools::packer::Method::nrv2e, 0);
    std::ofstream(o.pack_to, std::ios::binary)
        .write(reinterpret_cast<const char *>(packed.data()), static_cast<std::streamsize>(packed.size()));
    return 0;
  }
  if (o.decode_only) {
    std::printf("decoded %zu bytes\n", decode_in_memory(read_file(o.payload)));
    return 0;
  }
  return bench(o);
}
