#include "tests/support/vrnFixtures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <fstream>
#include <sstream>

#ifndef VRN_FIXTURE_DIR
#error "VRN_FIXTURE_DIR must name the folder of the generated fixtures"
#endif

UString FixtureFolder() {
  std::string folder = VRN_FIXTURE_DIR;
#if defined(_WIN32)
  if (!folder.empty() && folder[0] == '/') {
    folder = "Z:" + folder;
  }
  std::replace(folder.begin(), folder.end(), '/', '\\');
#endif
  return FromUtf8(folder);
}

UString FixturePath(const std::string& name) {
#if defined(_WIN32)
  return FixtureFolder() + u"\\" + FromUtf8(name);
#else
  return FixtureFolder() + u"/" + FromUtf8(name);
#endif
}

std::vector<TListedEntry> ReadListing(const std::string& name) {
  std::ifstream in(ToUtf8(FixturePath(name + ".tsv")), std::ios::binary);
  EXPECT_TRUE(in) << name << ".tsv is missing";
  std::vector<TListedEntry> entries;
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> c;
    std::stringstream columns(line);
    std::string column;
    while (std::getline(columns, column, '\t')) {
      c.push_back(column);
    }
    if (c.size() != 12) {
      ADD_FAILURE() << name << ".tsv: bad line '" << line << "'";
      continue;
    }
    auto number = [](const std::string& text, int base) -> std::optional<std::uint64_t> {
      if (text == "-") {
        return std::nullopt;
      }
      return std::stoull(text, nullptr, base);
    };
    TListedEntry e;
    e.Path = c[0];
    e.Folder = c[1] == "1";
    e.Size = std::stoull(c[2]);
    if (c[3] != "-") {
      e.Attributes = c[3];
    }
    e.Modified = number(c[4], 10);
    e.Created = number(c[5], 10);
    e.Accessed = number(c[6], 10);
    if (auto crc = number(c[7], 16)) {
      e.Crc = static_cast<std::uint32_t>(*crc);
    }
    if (auto block = number(c[8], 10)) {
      e.Block = static_cast<std::uint32_t>(*block);
    }
    e.Broken = c[9] == "1";
    if (auto mode = number(c[10], 8)) {
      e.UnixMode = static_cast<std::uint32_t>(*mode);
    }
    e.Anti = c[11] == "1";
    entries.push_back(e);
  }
  return entries;
}

std::uint32_t UpdateCrc(std::uint32_t crc, const std::uint8_t* data, std::size_t size) {
  static const std::array<std::uint32_t, 256> table = [] {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t c = i;
      for (int k = 0; k < 8; ++k) {
        c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      }
      t[i] = c;
    }
    return t;
  }();
  crc = ~crc;
  for (std::size_t i = 0; i < size; ++i) {
    crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
  }
  return ~crc;
}

#if !defined(_WIN32)
bool IsMountedAt(const std::string& path) {
  std::ifstream mountInfo("/proc/self/mountinfo");
  std::string line;
  while (std::getline(mountInfo, line)) {
    std::istringstream fields(line);
    std::string id, parent, device, root, mountPoint;
    if (fields >> id >> parent >> device >> root >> mountPoint && mountPoint == path) {
      return true;
    }
  }
  return false;
}
#endif

const char* KindName(TvrnStoreKind kind) {
  switch (kind) {
    case skTempFile:
      return "TempFile";
    case skMemoryAndTempFile:
      return "MemoryAndTempFile";
    case skMemory:
      return "Memory";
    case skDisk:
      return "Disk";
  }
  return "Unknown";
}
