// The generated 7z fixtures as tests reach them: their paths, their password, and the
// listing that tests/fixtures/make_fixtures.py wrote for each (what 7z itself reports).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "model/vrnItems.h"
#include "platform/vrnStrings.h"
#include "vfs/vrnData.h"

// The password of the encrypted fixtures.
inline const UString kFixturePassword = u"p\u00e4ssw\u00f6rd\U0001F511";

// The folder of the fixtures as this program's file functions take it; under Wine the
// Linux root is drive Z:.
UString FixtureFolder();
// A fixture file in that folder.
UString FixturePath(const std::string& name);

// Makes Rules the naming rules of the trees made while it lives (an archive opened in a
// test takes the default ones), and puts the earlier rules back when it goes.
class TScopedNameRules {
 public:
  explicit TScopedNameRules(TvrnNameRules rules) : FSaved(DefaultNameRules()) {
    SetDefaultNameRules(rules);
  }
  TScopedNameRules(const TScopedNameRules&) = delete;
  TScopedNameRules& operator=(const TScopedNameRules&) = delete;
  ~TScopedNameRules() { SetDefaultNameRules(FSaved); }

 private:
  TvrnNameRules FSaved;
};

// How test names and failure messages show a store kind.
const char* KindName(TvrnStoreKind kind);

// One entry of an archive as 7z lists it.
struct TListedEntry {
  std::string Path;  // UTF-8, with "/" between names
  bool Folder = false;
  std::uint64_t Size = 0;
  std::optional<std::string> Attributes;                     // the listing's letters ("RHSDA...")
  std::optional<std::uint64_t> Modified, Created, Accessed;  // FILETIME ticks
  std::optional<std::uint32_t> Crc;
  std::optional<std::uint32_t> Block;
  bool Broken = false;  // 7z t reports the entry's data as bad
  std::optional<std::uint32_t> UnixMode;  // the unix mode the listing shows
  bool Anti = false;                      // a deletion marker of an update archive
};

// The listing of fixture Name ("solid" for solid.7z), in the archive's entry order.
std::vector<TListedEntry> ReadListing(const std::string& name);

#if !defined(_WIN32)
// True when /proc/self/mountinfo lists a mount on Path (the folder itself is not
// touched, so a dead mount does not hang the caller).
bool IsMountedAt(const std::string& path);
#endif

// CRC-32 as 7z computes it, continued from Crc (0 to start).
std::uint32_t UpdateCrc(std::uint32_t crc, const std::uint8_t* data, std::size_t size);
