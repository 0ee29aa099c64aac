// SPDX-License-Identifier: GPL-2.0-or-later
// container_writer -- writes zepa container files.
#include "container_writer.h"

#include <limits>

namespace kavro::tools::container {
namespace {

constexpr std::size_t kLeadIn = 5;
constexpr std::size_t kFixedHeader = 14;      // lead-in, format byte, N, data start
constexpr std::size_t kRowBytes = 8 + 4 + 2;  // length row, second word, name length
constexpr std::size_t kMaxName = std::numeric_limits<uint16_t>::max();

static_assert(sizeof(kContainerSignature) - 1 == kLeadIn);

void put16(std::vector<uint8_t> &out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v >> 8));
  out.push_back(static_cast<uint8_t>(v));
}

void put32(std::vector<uint8_t> &out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

uint64_t directory_size(uint64_t entries, uint64_t name_bytes) {
  return kFixedHeader + kRowBytes * entries + name_bytes;
}

uint64_t directory_size(std::span<const ContainerEntry> entries) {
  uint64_t names = 0;
  for (const ContainerEntry &e : entries) names += e.name.size();
  return directory_size(entries.size(), names);
}

}  // namespace

std::string size_problem(uint64_t entries, uint64_t name_bytes, uint64_t data_bytes) {
  const uint64_t size = directory_size(entries, name_bytes) + data_bytes;
  if (size <= kMaxContainerSize) return "";
  return "the disk would take " + std::to_string(size) + " bytes, more than the 2 GiB (" +
         std::to_string(kMaxContainerSize) + " bytes) a data disk can hold";
}

std::string container_problem(std::span<const ContainerEntry> entries) {
  uint64_t names = 0, data = 0;
  for (const ContainerEntry &e : entries) {
    if (e.name.empty()) return "an entry has an empty name";
    if (e.name.size() > kMaxName) return "name longer than 65535 bytes: " + e.name.substr(0, 40) + "...";
    if (e.name.find('\0') != std::string::npos) return "name holds a zero byte";
    names += e.name.size();
    data += e.data.size();
  }
  return size_problem(entries.size(), names, data);
}

uint64_t container_size(std::span<const ContainerEntry> entries) {
  uint64_t size = directory_size(entries);
  for (const ContainerEntry &e : entries) size += e.data.size();
  return size;
}

std::vector<uint8_t> build_container(std::span<const ContainerEntry> entries) {
  std::vector<uint8_t> out(kContainerSignature, kContainerSignature + kLeadIn);
  out.push_back(0);  // format byte
  put32(out, static_cast<uint32_t>(entries.size()));
  put32(out, static_cast<uint32_t>(directory_size(entries)));
  for (const ContainerEntry &e : entries) {
    put32(out, 0);
    put32(out, static_cast<uint32_t>(e.data.size()));
  }
  for (std::size_t i = 0; i < entries.size(); ++i) put32(out, 0);
  for (const ContainerEntry &e : entries) put16(out, static_cast<uint16_t>(e.name.size()));
  for (const ContainerEntry &e : entries) out.insert(out.end(), e.name.begin(), e.name.end());
  for (const ContainerEntry &e : entries) out.insert(out.end(), e.data.begin(), e.data.end());
  return out;
}

std::string write_container(const output_file::Target &target, std::span<const ContainerEntry> entries) {
  if (std::string problem = container_problem(entries); !problem.empty()) return problem;
  const std::vector<uint8_t> bytes = build_container(entries);
  output_file::Writer writer;
  std::string problem = writer.open(target);
  if (problem.empty()) problem = writer.write(bytes.data(), bytes.size());
  if (problem.empty()) return writer.finish();
  writer.discard();
  return problem;
}

std::string write_container(const std::filesystem::path &path, std::span<const ContainerEntry> entries) {
  output_file::Target target;
  const std::string problem = output_file::plan(path, {.force = true, .dash_is_stdout = false, .guarded = {}}, target);
  return problem.empty() ? write_container(target, entries) : problem;
}

}  // namespace kavro::tools::container
