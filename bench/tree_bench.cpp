// Building and fixing a large item tree, as opening a big archive does: 200,000 entries
// in a few thousand folders, up to a few hundred entries per folder, some deep paths.
// Prints the time of each phase; run it from a release build.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <vector>

#include "model/vrnArchive.h"

namespace {

// An archive root that extracts nothing: only the tree is measured.
class TBenchArchive : public TvrnArchive {
 public:
  TBenchArchive() : TvrnArchive(nullptr, u"bench.7z", u"", FNoStream) {}
  void Extract(TvrnAbortFlag,
               IvrnProgress*,
               IvrnFile*,
               const TComPtr<IvrnData>&,
               TvrnStoreKind) override {}

 private:
  static inline std::unique_ptr<TFileStream> FNoStream;
};

struct TEntry {
  UString Path;
  bool IsFolder;
};

// The entries of a realistic archive, in the order an archiver lists them.
std::vector<TEntry> MakeEntries(std::size_t wanted) {
  static const UString kWords[] = {u"src",    u"Docs",   u"images",    u"Photos 2021",  u"build",
                                   u"lib",    u"tests",  u"Übersicht", u"données",      u"assets",
                                   u"config", u"Backup", u"misc",      u"\u5199\u771F", u"data"};
  static const UString kExtensions[] = {u".txt", u".JPG", u".cpp",    u".h", u".pdf",
                                        u".xml", u".png", u".tar.gz", u""};
  std::mt19937 random(7);
  std::vector<TEntry> entries;
  std::vector<UString> folders;
  while (entries.size() < wanted) {
    // A folder path of depth 1 to 6, sometimes 20.
    int depth = random() % 50 == 0 ? 20 : 1 + static_cast<int>(random() % 6);
    UString folder;
    for (int level = 0; level < depth; ++level) {
      folder += (level ? u"\\" : u"") + kWords[random() % std::size(kWords)] +
                IntToUStr(static_cast<int>(random() % 4));
    }
    entries.push_back({folder, true});
    folders.push_back(folder);
    int files = 1 + static_cast<int>(random() % 300);
    for (int f = 0; f < files && entries.size() < wanted; ++f) {
      UString name = (random() % 3 == 0 ? u"IMG_" : u"file name ") + IntToUStr(f) +
                     kExtensions[random() % std::size(kExtensions)];
      entries.push_back({folder + u"\\" + name, false});
    }
  }
  std::printf("entries: %zu, folder paths listed: %zu\n", entries.size(), folders.size());
  return entries;
}

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

}  // namespace

int main() {
  std::vector<TEntry> entries = MakeEntries(200000);
  double best[2] = {1e9, 1e9};
  for (int run = 0; run < 3; ++run) {
    TComPtr<TBenchArchive> archive(new TBenchArchive());
    archive->Items().SetCapacity(static_cast<std::uint32_t>(entries.size()));
    auto start = std::chrono::steady_clock::now();
    for (const TEntry& entry : entries) {
      archive->AddArchiveItem(entry.Path, entry.IsFolder);
    }
    double build = Seconds(start);
    start = std::chrono::steady_clock::now();
    archive->FixNames(kMaxNameLength);
    double fix = Seconds(start);
    best[0] = std::min(best[0], build);
    best[1] = std::min(best[1], fix);
    std::printf("run %d: build %.3f s, fix %.3f s\n", run + 1, build, fix);
  }
  std::printf("best: build %.3f s + fix %.3f s = %.3f s for %zu entries\n", best[0], best[1],
              best[0] + best[1], entries.size());
  return 0;
}
