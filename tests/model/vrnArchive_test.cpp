// The archive root: entry numbering, folders listed twice, and the grouping of files
// into solid blocks as the importer reports block numbers.
#include <gtest/gtest.h>

#include <optional>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "model/vrnArchive.h"
#include "platform/vrnErrors.h"
#include "tests/support/vrnFixtures.h"

namespace {

#if defined(__GLIBC__)
// What the allocator has handed out and not taken back, mapped blocks included.
std::size_t AllocatedBytes() {
  struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}
#endif

// An archive root with nothing to open or extract.
class TTestArchive : public TvrnArchive {
 public:
  TTestArchive() : TvrnArchive(nullptr, u"test.7z", u"", FNoStream) {}
  void Extract(TvrnAbortFlag,
               IvrnProgress*,
               IvrnFile*,
               const TComPtr<IvrnData>&,
               TvrnStoreKind) override {}

 private:
  static inline std::unique_ptr<TFileStream> FNoStream;
};

TEST(ArchiveRootTest, BlockNumbersGroupConsecutiveFiles) {
  struct Case {
    std::vector<std::optional<int>> blocks;  // one per entry; nullopt is a folder
    std::vector<std::vector<int>> expected;  // entry numbers of each block formed
  };
  const Case cases[] = {
      {{0, 0, 0}, {{0, 1, 2}}},
      {{0, 1, 1, 2}, {{1, 2}}},
      {{5, 5, std::nullopt, 5}, {{0, 1, 3}}},
      {{0, 0, 1, 0}, {{0, 1}}},
      {{3, 3, 4, 4, 3, 3}, {{0, 1}, {2, 3}, {4, 5}}},
  };
  for (const Case& c : cases) {
    TComPtr<TTestArchive> archive(new TTestArchive());
    archive->Items().SetCapacity(static_cast<std::uint32_t>(c.blocks.size()));
    for (std::size_t i = 0; i < c.blocks.size(); ++i) {
      bool isFolder = !c.blocks[i].has_value();
      TComPtr<IvrnBaseItem> item =
          archive->AddArchiveItem(u"dir\\entry" + IntToUStr(static_cast<int>(i)), isFolder);
      if (!isFolder) {
        archive->AddToBlock(item.Get(), *c.blocks[i]);
      }
    }
    archive->CloseBlock();

    const TvrnBlocks& blocks = archive->Blocks();
    ASSERT_EQ(blocks.Count(), static_cast<std::int32_t>(c.expected.size()));
    std::vector<bool> inBlock(c.blocks.size(), false);
    for (std::int32_t b = 0; b < blocks.Count(); ++b) {
      TvrnBlock* block = blocks.GetItem(b);
      ASSERT_EQ(block->Count(), static_cast<std::int32_t>(c.expected[b].size()));
      for (std::int32_t f = 0; f < block->Count(); ++f) {
        IvrnFile* file = block->GetItem(f);
        EXPECT_EQ(file->GetIndex(), c.expected[b][f]);
        EXPECT_EQ(file->GetBlock(), block);
        inBlock[static_cast<std::size_t>(file->GetIndex())] = true;
      }
    }
    for (std::size_t i = 0; i < c.blocks.size(); ++i) {
      if (c.blocks[i] && !inBlock[i]) {
        TComPtr<IvrnFile> file =
            TComPtr<IvrnBaseItem>(archive->GetItem(static_cast<std::int32_t>(i))).Query<IvrnFile>();
        EXPECT_EQ(file->GetBlock(), nullptr) << "entry " << i << " is alone";
      }
    }
  }
}

TEST(ArchiveRootTest, EntriesKeepTheArchiveNumbering) {
  TScopedNameRules windowsNames(nrWindows);  // "\\D\\" is the folder "d"
  TComPtr<TTestArchive> archive(new TTestArchive());
  TComPtr<IvrnBaseItem> file = archive->AddArchiveItem(u"a\\b.txt", false);
  EXPECT_EQ(file->GetIndex(), 0);
  EXPECT_EQ(archive->Items().Count(), 1);
  TComPtr<IvrnBaseItem> implicit = archive->FindItem(u"a");
  EXPECT_EQ(implicit->GetIndex(), -1);

  archive->AddArchiveItem(u"x1", false);
  TComPtr<IvrnBaseItem> d = archive->AddArchiveItem(u"d", true);
  for (int i = 3; i < 7; ++i) {
    archive->AddArchiveItem(u"x" + IntToUStr(i), false);
  }
  EXPECT_EQ(archive->AddArchiveItem(u"\\D\\", true).Get(), d.Get());  // listed again
  EXPECT_EQ(d->GetIndex(), 7);
  EXPECT_EQ(archive->GetItem(2), d.Get());
  EXPECT_EQ(archive->GetItem(7), d.Get());
  EXPECT_EQ(archive->GetItem(0), file.Get());
  EXPECT_THROW(archive->GetItem(8), EListError);
  EXPECT_THROW(archive->GetItem(-1), EListError);

  // An entry the tree does not show keeps its number, so the next one keeps its own.
  archive->SkipArchiveItem();
  TComPtr<IvrnBaseItem> after = archive->AddArchiveItem(u"after", false);
  EXPECT_EQ(archive->GetItem(8), nullptr);
  EXPECT_EQ(after->GetIndex(), 9);
  EXPECT_EQ(archive->GetItem(9), after.Get());

  // Only files join blocks.
  EXPECT_THROW(archive->AddToBlock(d.Get(), 0), EvrnError);
}

// A header may announce four billion entries: the hint is capped, the list reserves
// only a bounded amount for it, and entries still go in as usual.
TEST(ArchiveRootTest, AHugeCapacityHintReservesBoundedMemory) {
  TComPtr<TTestArchive> archive(new TTestArchive());
#if defined(__GLIBC__)
  const std::size_t before = AllocatedBytes();
#endif
  archive->Items().SetCapacity(4294967295u);
#if defined(__GLIBC__)
  // Without the bound, 2^31 entries of 8 bytes: 16 GiB asked of the allocator.
  EXPECT_LT(AllocatedBytes() - before, std::size_t(64) << 20);
#endif
  EXPECT_EQ(archive->Items().Capacity(), 2147483647u);
  for (int i = 0; i < 3; ++i) {
    archive->AddArchiveItem(u"f" + IntToUStr(i), false);
  }
  EXPECT_EQ(archive->Items().Count(), 3);
  EXPECT_EQ(archive->GetItem(2)->GetName(), u"f2");
  archive->Items().SetCapacity(12);
  EXPECT_EQ(archive->Items().Capacity(), 12u);
}

}  // namespace
