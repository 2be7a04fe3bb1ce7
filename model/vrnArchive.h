// The root of an opened archive: its item list in the archive's own numbering, its solid
// blocks, and the two operations a format plug-in supplies (open and import, extract).
//
// A plug-in's archive class derives from TvrnArchive. Its Open imports every entry in
// ascending entry number with AddArchiveItem and groups files into solid blocks with
// AddToBlock and CloseBlock; its Extract unpacks a file's whole block in one engine pass.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "model/vrnItems.h"
#include "platform/vrnFiles.h"
#include "vfs/vrnData.h"

class TvrnPlugin;

// A cancel flag that another thread may set; it only goes from false to true.
using TvrnAbortFlag = const std::atomic<bool>*;

// Where extraction reports how far it got, in bytes of unpacked data.
struct IvrnProgress : IUnknown {
  virtual void Progress(std::uint64_t completed, std::uint64_t total) = 0;
};
VRN_DECLARE_IID(
    IvrnProgress,
    (GUID{0x2C2FD16C, 0x04B2, 0x48F9, {0xB1, 0x0D, 0xFF, 0x76, 0x06, 0xCA, 0xC0, 0xCC}}));

// Where extraction tells that one file has its outcome: its store, its error flag and
// the extracted mark are all set. A progress sink may offer it beside IvrnProgress, so
// that a read waiting for that file alone can go on while the pass unpacks the rest.
struct IvrnFileProgress : IUnknown {
  virtual void FileDone(IvrnFile* file) = 0;
};
VRN_DECLARE_IID(
    IvrnFileProgress,
    (GUID{0x8E0B6A52, 0x3C1D, 0x4F7E, {0x9A, 0x41, 0x27, 0x5D, 0xC3, 0x18, 0x6B, 0xF0}}));

// The root folder of an opened archive.
struct IvrnArchive : IvrnFolder {
  // Opens the archive and imports its entries; raises on failure.
  virtual void Open(TvrnAbortFlag abortFlag) = 0;
  // Extracts File and every other file of its block in one pass, giving each a store,
  // its error flag and the extracted mark, and telling Progress's IvrnFileProgress, when
  // it has one, of each file as it is marked; may raise.
  virtual void Extract(TvrnAbortFlag abortFlag,
                       IvrnProgress* progress,
                       IvrnFile* file,
                       const TComPtr<IvrnData>& tempStore,
                       TvrnStoreKind storeKind) = 0;
  // Extract for several files in one pass: each of Files with the rest of its block,
  // unpacked in the archive's order. A pass stopped by AbortFlag leaves the files it did
  // not finish unextracted.
  virtual void ExtractFiles(TvrnAbortFlag abortFlag,
                            IvrnProgress* progress,
                            const std::vector<IvrnFile*>& files,
                            const TComPtr<IvrnData>& tempStore,
                            TvrnStoreKind storeKind) = 0;
  // The item the archive lists as entry Index, nil for an entry that is not in the
  // tree (a deletion marker); raises EListError outside the list.
  virtual IvrnBaseItem* GetItem(std::int32_t index) = 0;
  // The number of entries the archive lists.
  virtual std::int32_t GetItemCount() = 0;
  // The archive file's last write time when it was opened.
  virtual FILETIME GetFileTime() = 0;
};
VRN_DECLARE_IID_EXTENDS(
    IvrnArchive,
    IvrnFolder,
    (GUID{0x45793F44, 0x449A, 0x4EF9, {0x9C, 0x3C, 0x60, 0x7F, 0x69, 0x32, 0xE8, 0xBF}}));

// The archive's entries in its own numbering: entry i is the item listed as entry i.
class TvrnUnsortedItemList {
 public:
  TvrnUnsortedItemList() = default;
  TvrnUnsortedItemList(const TvrnUnsortedItemList&) = delete;
  TvrnUnsortedItemList& operator=(const TvrnUnsortedItemList&) = delete;
  ~TvrnUnsortedItemList();

  // The largest capacity SetCapacity reserves.
  static constexpr std::uint32_t kMaxCapacity = 2147483647;
  // Reserves room for Count entries (at most kMaxCapacity).
  void SetCapacity(std::uint32_t count);
  // The capacity the last SetCapacity asked for.
  std::uint32_t Capacity() const { return FCapacity; }
  // Appends Item and takes a reference; nil stands for an entry the tree does not show.
  void Add(IvrnBaseItem* item) { FItems.emplace_back(item); }
  std::int32_t Count() const { return static_cast<std::int32_t>(FItems.size()); }
  // The Index-th entry; raises EListError outside 0..Count-1.
  IvrnBaseItem* GetItem(std::int32_t index) const;

 private:
  std::vector<TComPtr<IvrnBaseItem>> FItems;
  std::uint32_t FCapacity = 0;
};

// One solid block: two or more files that the engine unpacks together, in ascending
// archive index.
class TvrnBlock {
 public:
  TvrnBlock() = default;
  TvrnBlock(const TvrnBlock&) = delete;
  TvrnBlock& operator=(const TvrnBlock&) = delete;
  ~TvrnBlock();

  // Appends File and takes a reference.
  void Add(IvrnFile* file) { FFiles.emplace_back(file); }
  std::int32_t Count() const { return static_cast<std::int32_t>(FFiles.size()); }
  // The Index-th file; raises EListError outside 0..Count-1.
  IvrnFile* GetItem(std::int32_t index) const;

 private:
  std::vector<TComPtr<IvrnFile>> FFiles;
};

// The archive's blocks, in the order they were closed; owns them.
class TvrnBlocks {
 public:
  TvrnBlocks() = default;
  TvrnBlocks(const TvrnBlocks&) = delete;
  TvrnBlocks& operator=(const TvrnBlocks&) = delete;
  ~TvrnBlocks();

  void Add(std::unique_ptr<TvrnBlock> block) { FBlocks.push_back(std::move(block)); }
  std::int32_t Count() const { return static_cast<std::int32_t>(FBlocks.size()); }
  // The Index-th block; raises EListError outside 0..Count-1.
  TvrnBlock* GetItem(std::int32_t index) const;

 private:
  std::vector<std::unique_ptr<TvrnBlock>> FBlocks;
};

// The root of an opened archive; a plug-in's archive class derives from it.
class TvrnArchive : public TvrnFolderImpl<IvrnArchive> {
 public:
  // Takes Stream over (the caller's pointer becomes empty).
  TvrnArchive(TvrnPlugin* plugin,
              const UString& fileName,
              const UString& password,
              std::unique_ptr<TFileStream>& stream);
  ~TvrnArchive() override;

  // Does nothing here; a plug-in's archive opens the engine and imports the entries.
  void Open(TvrnAbortFlag abortFlag) override;
  // One Extract per file, in turn, until AbortFlag is set; a plug-in whose engine can
  // take several files in one call does better.
  void ExtractFiles(TvrnAbortFlag abortFlag,
                    IvrnProgress* progress,
                    const std::vector<IvrnFile*>& files,
                    const TComPtr<IvrnData>& tempStore,
                    TvrnStoreKind storeKind) override;
  IvrnBaseItem* GetItem(std::int32_t index) override { return FItems.GetItem(index); }
  std::int32_t GetItemCount() override { return FItems.Count(); }
  FILETIME GetFileTime() override { return FFileTime; }

  // Adds archive entry number Items.Count at Path (normalised first); returns the new
  // item, or the existing folder for a folder listed again.
  TComPtr<IvrnBaseItem> AddArchiveItem(const UString& path, bool isFolder);
  // Takes archive entry number Items.Count as one that the tree does not show (a
  // deletion marker of an update archive): GetItem gives nil for it.
  void SkipArchiveItem() { FItems.Add(nullptr); }
  // Puts a file into the block being collected; a new block number closes the previous
  // block first. Raises when Item is no file.
  void AddToBlock(IvrnBaseItem* item, std::int32_t blockIndex);
  // Finishes the block being collected: two or more files become a block, a single
  // file stays on its own.
  void CloseBlock();

  TvrnPlugin* Plugin() const { return FPlugin; }
  const UString& FileName() const { return FFileName; }
  const UString& Password() const { return FPassword; }
  TvrnUnsortedItemList& Items() { return FItems; }
  const TvrnBlocks& Blocks() const { return FBlocks; }

 protected:
  // The open archive file; the plug-in's archive reads the engine's data from it.
  std::unique_ptr<TFileStream> FStream;

 private:
  TvrnPlugin* FPlugin;
  UString FFileName;
  UString FPassword;
  TvrnUnsortedItemList FItems;
  TvrnBlocks FBlocks;
  FILETIME FFileTime{};
  std::int32_t FLastBlockIndex = 0;
  std::unique_ptr<TvrnBlock> FCurrentBlock;
};
