// The archive item tree: folders and files with names the platform accepts.
//
// The engine binding adds every archive entry by its path (AddItem, through the archive
// root); before the volume is served, FixNames makes every name a valid, unique name
// within the volume's name limit. After that the tree's shape never changes: the file
// system looks items up by path, lists folders, and keeps per-item open counters and
// extraction state. Every item keeps what its WIN32_FIND_DATAW record says (attributes,
// times, size, short name) and makes the record on demand, so that a tree of millions of
// entries does not hold 592 bytes for each.
//
// A tree follows one set of naming rules (TvrnNameRules): Windows names, compared
// case-insensitively in the user's locale (platform/vrnLocale.h), or the archive's own
// names, compared exactly. Each item keeps the collation key of its name under its
// tree's rules, so lookups, sorted inserts and uniqueness tests are bisections over
// byte compares.
#pragma once

#include <atomic>
#include <cstdint>
#include <iterator>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/vrnCom.h"
#include "platform/vrnStrings.h"
#include "platform/vrnWinTypes.h"
#include "vfs/vrnData.h"

class TvrnBlock;

// What an item's listing record says besides its names: the fields the importer fills.
struct TvrnItemInfo {
  DWORD Attributes = 0;
  FILETIME CreationTime{};
  FILETIME LastAccessTime{};
  FILETIME LastWriteTime{};
  std::uint64_t Size = 0;
};

// The rules the names of one tree follow.
enum TvrnNameRules : std::uint8_t {
  // Windows names, as the Windows program always has them: compared ignoring case in the
  // user's locale; the characters Windows forbids become "_", blanks around a name go,
  // device names and names of dots only get a "_" in front.
  nrWindows = 0,
  // The archive's own names, compared exactly (the Linux default): only what Linux
  // cannot hold changes, a NUL (to "_"), the names "." and ".." (a "_" in front), a
  // lone surrogate (to U+FFFD) and a name over the limit.
  nrExact = 1,
};

// The rules of the trees made from now on: nrWindows on Windows, nrExact on Linux until
// set. A root takes them when it is created and every item of its tree keeps them.
// Process-wide; the Linux command line sets them once before it mounts.
TvrnNameRules DefaultNameRules();
void SetDefaultNameRules(TvrnNameRules rules);
// The collation key of Name under Rules: equal keys mean the same name, and keys
// compared bytewise put names in the order their folder lists them (the locale's order
// ignoring case for nrWindows, code point order for nrExact).
std::string NameKey(TvrnNameRules rules, UStringView name);

// The bits of an archive's attribute word that an item's record keeps besides the
// Windows ones: on Linux the unix mode and its flag, which the FUSE bridge shows; none
// on Windows, where the record holds Windows attributes alone.
#if defined(_WIN32)
inline constexpr DWORD kUnixModeAttributes = 0;
#else
inline constexpr DWORD kUnixModeAttributes = 0xFFFF0000 | kUnixExtensionAttribute;
#endif

// Why the extraction of a file failed, as far as it is known; kept beside the file's
// error flag for the text of a failed read.
enum TvrnDataErrorCause : std::uint8_t {
  dcUnknown = 0,
  dcWrongPassword = 1,      // encrypted data that the password given does not open
  dcNoPassword = 2,         // encrypted data, and no password was given
  dcDamaged = 3,            // a data or CRC error: the packed data is damaged
  dcUnsupportedMethod = 4,  // a compression or encryption method the engine lacks
  dcUnexpectedEnd = 5,      // the packed data ends early: the archive is incomplete
  dcNoSpace = 6,            // the temporary folder is full
  dcArchiveChanged = 7,     // the archive file changed or was cut short while mounted
  dcArchiveRead = 8,        // the archive file could not be read
  dcTempLimit = 9,          // the temporary file reached its limit (TvrnStoreLimits)
};

// An item of the tree: a file, a folder or an archive root.
struct IvrnBaseItem : IUnknown {
  // The open-handle counters; the file system changes and tests them under its own lock.
  virtual void AddReader() = 0;
  virtual void RemoveReader() = 0;
  virtual bool HasReaders() = 0;
  virtual void AddWriter() = 0;
  virtual void RemoveWriter() = 0;
  virtual bool HasWriters() = 0;
  virtual void AddDeleter() = 0;
  virtual void RemoveDeleter() = 0;
  virtual bool HasDeleters() = 0;
  // The item's name; empty only for an archive root.
  virtual const UString& GetName() = 0;
  // Sets the name, which the record's cFileName shows (its first 259 units).
  virtual void SetName(const UString& value) = 0;
  // The collation key of the name (NameKey under the tree's rules).
  virtual const std::string& GetSortKey() = 0;
  // The naming rules of the item's tree.
  virtual TvrnNameRules GetNameRules() = 0;
  // The item's attributes, times and size, read and written in place.
  virtual TvrnItemInfo* GetInfo() = 0;
  // The item's listing record: GetInfo's fields, the name and the short name.
  virtual void GetFindData(WIN32_FIND_DATAW& record) = 0;
  // The short (8.3) name the archive holds for the item, at most 13 units; empty for none.
  virtual void SetShortName(const UString& value) = 0;
  virtual bool IsFolder() = 0;
  // The item's number in the archive's own list; -1 for items the archive never listed.
  virtual std::int32_t GetIndex() = 0;
  virtual void SetIndex(std::int32_t value) = 0;
};
VRN_DECLARE_IID(
    IvrnBaseItem,
    (GUID{0x9C4B5CDE, 0x7F55, 0x4EB8, {0x8B, 0x31, 0x3B, 0x75, 0x40, 0xB9, 0x75, 0x62}}));

// A file: its solid block, its extraction state and the store of its bytes.
struct IvrnFile : IvrnBaseItem {
  // The solid block that holds the file; nil when it is extracted on its own.
  virtual TvrnBlock* GetBlock() = 0;
  virtual void SetBlock(TvrnBlock* value) = 0;
  // True once an extraction of the file has finished (an atomic read).
  virtual bool IsExtracted() = 0;
  // Marks the file extracted; called after its store and error flag are set.
  virtual void MarkExtracted() = 0;
  // The store of the extracted bytes, or nil.
  virtual TComPtr<IvrnData> GetData() = 0;
  virtual void SetData(const TComPtr<IvrnData>& value) = 0;
  // True when the extraction reported an error for this file.
  virtual bool GetDataError() = 0;
  virtual void SetDataError(bool value) = 0;
  // Why the last extraction failed for this file; dcUnknown when it did not, or when the
  // reason is not known.
  virtual TvrnDataErrorCause GetDataErrorCause() = 0;
  virtual void SetDataErrorCause(TvrnDataErrorCause value) = 0;
};
VRN_DECLARE_IID_EXTENDS(
    IvrnFile,
    IvrnBaseItem,
    (GUID{0x933B9C5B, 0x4465, 0x44A9, {0x8A, 0x25, 0xB0, 0x1F, 0x2A, 0x42, 0x6D, 0x10}}));

// A folder: sorted lists of subfolders and files, path lookup and the naming pass.
struct IvrnFolder : IvrnBaseItem {
  // Adds a file or folder at a normalised relative path, creating folders on the way;
  // returns the new item, or the existing folder when a folder is listed again. Walks
  // the path level by level, so any depth costs no stack.
  virtual TComPtr<IvrnBaseItem> AddItem(const UString& path, bool isFolder) = 0;
  // The subfolder Name that a longer path passes through: created and marked implicit
  // when missing; a file of that name moves aside for it.
  virtual TComPtr<IvrnFolder> AddPathFolder(const UString& name) = 0;
  // Inserts a subfolder in name order.
  virtual void AddFolder(IvrnFolder* folder) = 0;
  // Inserts a file in name order.
  virtual void AddFile(IvrnFile* file) = 0;
  // Looks up a relative path ("a\b.txt") level by level; nil when there is none.
  virtual TComPtr<IvrnBaseItem> FindItem(UStringView path) = 0;
  // The subfolder Name, or nil; the folder keeps the reference.
  virtual IvrnFolder* FindFolder(UStringView name) = 0;
  // Makes every name below this folder valid and unique within MaxLength (NameMeasure),
  // one folder at a time from a work list, so any depth costs no stack.
  virtual void FixNames(int maxLength) = 0;
  // Makes the names of this folder's own entries valid and unique within MaxLength.
  virtual void FixOwnNames(int maxLength) = 0;
  // True for a folder created only because a longer path passed through it.
  virtual bool GetImplicit() = 0;
  virtual void SetImplicit(bool value) = 0;
  virtual std::int32_t GetFileCount() = 0;
  // The Index-th file in name order; raises EListError outside 0..count-1.
  virtual IvrnFile* GetFile(std::int32_t index) = 0;
  virtual std::int32_t GetFolderCount() = 0;
  // The Index-th subfolder in name order; raises EListError outside 0..count-1.
  virtual IvrnFolder* GetFolder(std::int32_t index) = 0;
};
VRN_DECLARE_IID_EXTENDS(
    IvrnFolder,
    IvrnBaseItem,
    (GUID{0x27EAD8F9, 0xA154, 0x42CA, {0xB9, 0xDA, 0x91, 0x13, 0xF1, 0x99, 0x55, 0x01}}));

// A list of counted items kept sorted by name; no two entries have the same key except
// while a caller is about to rename one of them. The list orders its entries by their
// own keys and keeps no copy of them, so an item's name changes only while the item is
// out of its list (TvrnFolderImpl::RenameItem).
//
// Inserting and removing cost O(log n) whatever order the archive lists its entries in
// (a sorted array made a folder of 100,000 entries listed in descending order take
// minutes to import). Access by position goes through an array of the entries in order,
// rebuilt on the first access after a change; the tree's shape is fixed before readers
// on other threads list it, and the rebuild is locked all the same.
template <typename T>
class TvrnItemList {
 public:
  TvrnItemList() = default;
  TvrnItemList(const TvrnItemList&) = delete;
  TvrnItemList& operator=(const TvrnItemList&) = delete;
  // Releases the entries from the last to the first.
  ~TvrnItemList() {
    while (!FItems.empty()) {
      auto last = std::prev(FItems.end());
      T* item = *last;
      FItems.erase(last);
      item->Release();
    }
  }

  // Inserts Item after every entry that sorts before or equal to it; takes a reference.
  void Add(T* item);
  // Removes Item (by identity) and releases the list's reference; raises "Internal
  // error" when the list does not hold it.
  void Remove(T* item);
  // The entry whose key equals Key, or nil.
  T* Find(const std::string& key) const;
  std::int32_t Count() const { return static_cast<std::int32_t>(FItems.size()); }
  // The Index-th entry; raises EListError outside 0..Count-1.
  T* GetItem(std::int32_t index) const;
  // Moves every entry's reference, in order, to the end of Into and empties the list.
  void TakeAll(std::vector<TComPtr<T>>& into);

 private:
  // Orders entries, and entries against keys, by the entries' keys.
  struct TKeyLess {
    using is_transparent = void;
    bool operator()(T* a, T* b) const { return a->GetSortKey() < b->GetSortKey(); }
    bool operator()(T* a, const std::string& key) const { return a->GetSortKey() < key; }
    bool operator()(const std::string& key, T* b) const { return key < b->GetSortKey(); }
  };

  // The entries, each holding one reference; entries of one key in the order they were
  // added.
  std::multiset<T*, TKeyLess> FItems;
  // The entries in order, valid while FOrderValid.
  mutable std::vector<T*> FOrder;
  mutable std::atomic<bool> FOrderValid{false};
  mutable std::mutex FOrderLock;
};

using TvrnFileList = TvrnItemList<IvrnFile>;
using TvrnFolderList = TvrnItemList<IvrnFolder>;

// What every item has: name, key, index, record and the three open counters.
template <typename Interface>
class TvrnBaseItemImpl : public TInterfacedObject<Interface> {
 public:
  void AddReader() override { ++FReaders; }
  void RemoveReader() override { FReaders = FReaders > 0 ? FReaders - 1 : 0; }
  bool HasReaders() override { return FReaders > 0; }
  void AddWriter() override { ++FWriters; }
  void RemoveWriter() override { FWriters = FWriters > 0 ? FWriters - 1 : 0; }
  bool HasWriters() override { return FWriters > 0; }
  void AddDeleter() override { ++FDeleters; }
  void RemoveDeleter() override { FDeleters = FDeleters > 0 ? FDeleters - 1 : 0; }
  bool HasDeleters() override { return FDeleters > 0; }
  const UString& GetName() override { return FName; }
  void SetName(const UString& value) override;
  const std::string& GetSortKey() override { return FSortKey; }
  TvrnNameRules GetNameRules() override { return FNameRules; }
  TvrnItemInfo* GetInfo() override { return &FInfo; }
  void GetFindData(WIN32_FIND_DATAW& record) override;
  void SetShortName(const UString& value) override;
  bool IsFolder() override { return FIsFolder; }
  std::int32_t GetIndex() override { return FIndex; }
  void SetIndex(std::int32_t value) override { FIndex = value; }

 protected:
  // SortKey, when not empty, is NameKey(Rules, Name), already made by the caller.
  TvrnBaseItemImpl(const UString& name, bool isFolder, std::string sortKey, TvrnNameRules rules);

 private:
  // Sets the name with its key.
  void AssignName(const UString& value, std::string sortKey);

  // The fields go from the 4-byte ones to the 8-byte ones and back so that a tree of
  // millions of items pays for no padding: FIndex fills the reference count's word.
  std::int32_t FIndex = -1;
  UString FName;
  std::string FSortKey;
  TvrnItemInfo FInfo;
  // The short name, when the archive holds one (rare: most items have none).
  std::unique_ptr<UString> FShortName;
  // Open handles with read, write and delete access.
  std::int32_t FReaders = 0;
  std::int32_t FWriters = 0;
  std::int32_t FDeleters = 0;
  bool FIsFolder;
  TvrnNameRules FNameRules;
};

// A file item.
class TvrnFile : public TvrnBaseItemImpl<IvrnFile> {
 public:
  // Creates the file and, when Parent is given, adds it to Parent's files; it follows
  // Parent's naming rules, or the default ones without a parent. SortKey, when not
  // empty, is the key of Name that the caller already made.
  TvrnFile(IvrnFolder* parent, const UString& name, std::string sortKey = {});

  TvrnBlock* GetBlock() override { return FBlock; }
  void SetBlock(TvrnBlock* value) override { FBlock = value; }
  bool IsExtracted() override { return FExtractedCount.load(std::memory_order_acquire) != 0; }
  void MarkExtracted() override { FExtractedCount.fetch_add(1, std::memory_order_acq_rel); }
  TComPtr<IvrnData> GetData() override { return FData; }
  void SetData(const TComPtr<IvrnData>& value) override { FData = value; }
  bool GetDataError() override { return FDataError; }
  void SetDataError(bool value) override { FDataError = value; }
  TvrnDataErrorCause GetDataErrorCause() override {
    return FDataErrorCause.load(std::memory_order_relaxed);
  }
  void SetDataErrorCause(TvrnDataErrorCause value) override {
    FDataErrorCause.store(value, std::memory_order_relaxed);
  }

 private:
  std::atomic<std::int32_t> FExtractedCount{0};
  bool FDataError = false;
  // Atomic: a failed pass sets it on files it never marks, which a reader may look at.
  std::atomic<TvrnDataErrorCause> FDataErrorCause{dcUnknown};
  // Not counted: blocks live as long as the archive.
  TvrnBlock* FBlock = nullptr;
  TComPtr<IvrnData> FData;
};

// What every folder has: the two sorted lists, the LastFolder shortcut and the naming
// pass. TvrnFolder and the archive root derive from it.
template <typename Interface>
class TvrnFolderImpl : public TvrnBaseItemImpl<Interface> {
 public:
  // Releases the subfolders without recursing: a folder that goes while another is
  // being released hands its subfolders to the outer one's work list.
  ~TvrnFolderImpl() override;

  TComPtr<IvrnBaseItem> AddItem(const UString& path, bool isFolder) override;
  TComPtr<IvrnFolder> AddPathFolder(const UString& name) override;
  void AddFolder(IvrnFolder* folder) override;
  void AddFile(IvrnFile* file) override;
  TComPtr<IvrnBaseItem> FindItem(UStringView path) override;
  IvrnFolder* FindFolder(UStringView name) override;
  void FixNames(int maxLength) override;
  void FixOwnNames(int maxLength) override;
  bool GetImplicit() override { return FImplicit; }
  void SetImplicit(bool value) override { FImplicit = value; }
  std::int32_t GetFileCount() override { return FFileList ? FFileList->Count() : 0; }
  IvrnFile* GetFile(std::int32_t index) override;
  std::int32_t GetFolderCount() override { return FFolderList ? FFolderList->Count() : 0; }
  IvrnFolder* GetFolder(std::int32_t index) override;

 protected:
  // A folder in Parent, with Parent's naming rules; a root (no parent) with Rules.
  TvrnFolderImpl(IvrnFolder* parent,
                 const UString& name,
                 std::string sortKey = {},
                 TvrnNameRules rules = DefaultNameRules());

 private:
  // The collation key of Name under this tree's rules.
  std::string KeyOf(UStringView name) { return NameKey(this->GetNameRules(), name); }
  // The item with the collation key Key: subfolders first, then files.
  IvrnBaseItem* FindByKey(const std::string& key) const;
  // Adds the last name of a path: a file, or a folder that may be listed already.
  TComPtr<IvrnBaseItem> AddEntry(const UString& name, bool isFolder);
  // Takes Item out of its list, renames it and puts it back in order.
  void RenameItem(IvrnBaseItem* item, const UString& newName);
  // Renames a file that gives up its name to a folder or another file.
  void MoveFileAside(IvrnBaseItem* file);
  // MakeUniqueName for this folder, resuming where the last search for the same name
  // (as the comparison sees it) ended, so that many entries of one name number up in
  // linear time rather than trying every taken number again.
  UString UniqueName(const UString& name, bool isFolder, int maxLength);

  // The subfolder the previous AddItem descended into.
  TComPtr<IvrnFolder> FLastFolder;
  std::unique_ptr<TvrnFileList> FFileList;
  std::unique_ptr<TvrnFolderList> FFolderList;
  bool FImplicit = false;
  // The next number to try by name key, rule and length limit. A number once found
  // taken stays taken: names of the numbered form are never given up again (renames
  // free only names that the naming rules change, and a file moved aside gives its name
  // to a folder at once).
  std::unordered_map<std::string, int> FNextUniqueNumber;
};

// A folder item.
class TvrnFolder : public TvrnFolderImpl<IvrnFolder> {
 public:
  // Creates the folder and, when Parent is given, adds it to Parent's subfolders; it
  // follows Parent's naming rules, or the default ones without a parent. SortKey, when
  // not empty, is the key of Name that the caller already made.
  TvrnFolder(IvrnFolder* parent, const UString& name, std::string sortKey = {});
  // A root folder, without a name, whose tree follows Rules.
  explicit TvrnFolder(TvrnNameRules rules);
};

// The 1-based position of the extension's dot in S, 1 for a name that starts with its
// only dot, 0 when there is no dot or more than 10 characters follow the last one.
int ExtensionPos(UStringView s);
// Cuts S to MaxLength (NameMeasure), for a file before its extension when enough is left
// there, else at its end; never splits a character.
UString TruncateName(const UString& s, bool isFolder, int maxLength);
// The first of Name (2), Name (3), ... (before a file's extension) that Folder does not
// hold; with MaxLength > 0 the result, suffix included, stays within MaxLength. With
// NextNumber the search starts at *NextNumber instead of 2 (the caller knows the numbers
// below it are taken) and leaves there the number after the one returned.
UString MakeUniqueName(IvrnFolder& folder,
                       const UString& name,
                       bool isFolder,
                       int maxLength,
                       int* nextNumber = nullptr);
// The archive path as a tree path under Rules: backslash runs collapse, leading and
// trailing backslashes go, an empty result is "Noname"; the characters Windows forbids
// (nrWindows) or a NUL (nrExact) become "_".
UString NormalizePath(UStringView path, TvrnNameRules rules);
// The valid form of one name under Rules, cut to MaxLength. nrWindows: blanks trimmed,
// dot-only and reserved device names prefixed with "_", a name of blanks only becomes
// "Noname". nrExact: "." and ".." prefixed with "_", nothing else changed. On Linux a
// lone surrogate becomes U+FFFD and a "/" becomes "_" under either.
UString SanitizeName(const UString& name, bool isFolder, int maxLength, TvrnNameRules rules);
// Gives every item below Root, and Root, the times the archive did not hold, so that
// none shows as 1601-01-01: a missing modification time is Fallback (the archive file's
// own time), missing creation and access times are the modification time.
void FillMissingTimes(IvrnFolder& root, const FILETIME& fallback);
