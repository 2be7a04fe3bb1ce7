#include "model/vrnArchive.h"

#include <algorithm>

#include "platform/vrnErrors.h"

namespace {

[[noreturn]] void RaiseIndexError(std::int32_t index) {
  throw EListError(u"List index out of bounds (" + IntToUStr(index) + u")");
}

// Releases the entries of a list from the last to the first.
template <typename T>
void ReleaseBackwards(std::vector<T>& entries) {
  while (!entries.empty()) {
    entries.pop_back();
  }
}

}  // namespace

TvrnUnsortedItemList::~TvrnUnsortedItemList() {
  ReleaseBackwards(FItems);
}

void TvrnUnsortedItemList::SetCapacity(std::uint32_t count) {
  FCapacity = std::min(count, kMaxCapacity);
  // Only a hint beyond what an archive can plausibly list: a lying header must not make
  // the import reserve gigabytes before a single entry is read.
  constexpr std::uint32_t kReserveLimit = 1u << 22;
  FItems.reserve(std::min(FCapacity, kReserveLimit));
}

IvrnBaseItem* TvrnUnsortedItemList::GetItem(std::int32_t index) const {
  if (index < 0 || index >= Count()) {
    RaiseIndexError(index);
  }
  return FItems[static_cast<std::size_t>(index)].Get();
}

TvrnBlock::~TvrnBlock() {
  ReleaseBackwards(FFiles);
}

IvrnFile* TvrnBlock::GetItem(std::int32_t index) const {
  if (index < 0 || index >= Count()) {
    RaiseIndexError(index);
  }
  return FFiles[static_cast<std::size_t>(index)].Get();
}

TvrnBlocks::~TvrnBlocks() {
  ReleaseBackwards(FBlocks);
}

TvrnBlock* TvrnBlocks::GetItem(std::int32_t index) const {
  if (index < 0 || index >= Count()) {
    RaiseIndexError(index);
  }
  return FBlocks[static_cast<std::size_t>(index)].get();
}

TvrnArchive::TvrnArchive(TvrnPlugin* plugin,
                         const UString& fileName,
                         const UString& password,
                         std::unique_ptr<TFileStream>& stream)
    : TvrnFolderImpl(nullptr, UString()),
      FStream(std::move(stream)),
      FPlugin(plugin),
      FFileName(fileName),
      FPassword(password) {
  if (FStream) {
    FFileTime = FileGetTime(FStream->Handle());
  }
}

TvrnArchive::~TvrnArchive() {
  WipeText(FPassword);
  FStream.reset();  // closes the archive file before the tree goes
}

void TvrnArchive::Open(TvrnAbortFlag) {}

void TvrnArchive::ExtractFiles(TvrnAbortFlag abortFlag,
                               IvrnProgress* progress,
                               const std::vector<IvrnFile*>& files,
                               const TComPtr<IvrnData>& tempStore,
                               TvrnStoreKind storeKind) {
  for (IvrnFile* file : files) {
    if (abortFlag != nullptr && *abortFlag) {
      return;
    }
    if (!file->IsExtracted()) {
      Extract(abortFlag, progress, file, tempStore, storeKind);
    }
  }
}

TComPtr<IvrnBaseItem> TvrnArchive::AddArchiveItem(const UString& path, bool isFolder) {
  TComPtr<IvrnBaseItem> item = AddItem(NormalizePath(path, GetNameRules()), isFolder);
  item->SetIndex(FItems.Count());
  FItems.Add(item.Get());
  return item;
}

void TvrnArchive::AddToBlock(IvrnBaseItem* item, std::int32_t blockIndex) {
  TComPtr<IvrnFile> file = TComPtr<IvrnBaseItem>(item).Query<IvrnFile>();
  if (!file) {
    throw EvrnError(u"Interface not supported");
  }
  if (blockIndex != FLastBlockIndex) {
    CloseBlock();
  }
  if (!FCurrentBlock) {
    FCurrentBlock = std::make_unique<TvrnBlock>();
  }
  FCurrentBlock->Add(file.Get());
  FLastBlockIndex = blockIndex;
}

void TvrnArchive::CloseBlock() {
  std::unique_ptr<TvrnBlock> block = std::move(FCurrentBlock);
  if (!block || block->Count() < 2) {
    return;  // a single file is extracted on its own
  }
  for (std::int32_t i = 0; i < block->Count(); ++i) {
    block->GetItem(i)->SetBlock(block.get());
  }
  FBlocks.Add(std::move(block));
}
