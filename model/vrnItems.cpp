#include "model/vrnItems.h"

#include <algorithm>
#include <iterator>

#include "model/vrnArchive.h"
#include "platform/vrnErrors.h"
#include "platform/vrnLocale.h"

namespace {

constexpr char16_t kSeparator = u'\\';

// The number of UTF-16 units of the character that ends just before End.
std::size_t LengthBefore(UStringView s, std::size_t end) {
  return (end >= 2 && IsLowSurrogate(s[end - 1]) && IsHighSurrogate(s[end - 2])) ? 2 : 1;
}

// Where a cut that removes at least Excess (NameMeasure) from the characters ending at
// End, going backwards, must start; End itself when Excess is 0.
std::size_t CutBefore(UStringView s, std::size_t end, int excess) {
  int removed = 0;
  while (end > 0 && removed < excess) {
    std::size_t length = LengthBefore(s, end);
    removed += NameMeasure(s.substr(end - length, length));
    end -= length;
  }
  return end;
}

UString DecimalSuffix(int n) {
  return u" (" + IntToUStr(n) + u")";
}

// The 24 device names Windows reserves, with or without an extension.
bool IsReservedName(UStringView name) {
  static const UStringView kReserved[] = {u"CON",  u"PRN",  u"AUX",  u"NUL",  u"COM0", u"COM1",
                                          u"COM2", u"COM3", u"COM4", u"COM5", u"COM6", u"COM7",
                                          u"COM8", u"COM9", u"LPT0", u"LPT1", u"LPT2", u"LPT3",
                                          u"LPT4", u"LPT5", u"LPT6", u"LPT7", u"LPT8", u"LPT9"};
  // Every device name starts with C, P, A, N or L, and no other character upper-cases
  // to one of these: most names are decided without the locale.
  if (name.size() < 3 || UStringView(u"cpanlCPANL").find(name[0]) == UStringView::npos) {
    return false;
  }
  UString upper = UpperCaseLocale(name);
  for (UStringView reserved : kReserved) {
    if (upper.size() >= reserved.size() &&
        UStringView(upper).substr(0, reserved.size()) == reserved &&
        (upper.size() == reserved.size() || upper[reserved.size()] == u'.')) {
      return true;
    }
  }
  return false;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Item lists.

template <typename T>
void TvrnItemList<T>::Add(T* item) {
  // A multiset puts a new entry after the entries of the same key.
  FItems.insert(item);
  item->AddRef();
  FOrderValid = false;
}

template <typename T>
void TvrnItemList<T>::Remove(T* item) {
  auto [first, last] = FItems.equal_range(item);
  auto position = std::find(first, last, item);
  if (position == last) {
    // Not where its key says: look at every entry.
    position = std::find(FItems.begin(), FItems.end(), item);
  }
  if (position == FItems.end()) {
    throw EvrnError(u"Internal error");
  }
  FItems.erase(position);
  FOrderValid = false;
  item->Release();
}

template <typename T>
T* TvrnItemList<T>::Find(const std::string& key) const {
  auto position = FItems.lower_bound(key);
  return (position != FItems.end() && (*position)->GetSortKey() == key) ? *position : nullptr;
}

template <typename T>
T* TvrnItemList<T>::GetItem(std::int32_t index) const {
  if (index < 0 || index >= Count()) {
    throw EListError(u"List index out of bounds (" + IntToUStr(index) + u")");
  }
  if (!FOrderValid.load(std::memory_order_acquire)) {
    std::lock_guard<std::mutex> hold(FOrderLock);
    if (!FOrderValid.load(std::memory_order_relaxed)) {
      FOrder.assign(FItems.begin(), FItems.end());
      FOrderValid.store(true, std::memory_order_release);
    }
  }
  return FOrder[static_cast<std::size_t>(index)];
}

template <typename T>
void TvrnItemList<T>::TakeAll(std::vector<TComPtr<T>>& into) {
  into.reserve(into.size() + FItems.size());
  for (T* item : FItems) {
    into.push_back(TComPtr<T>::Attach(item));
  }
  FItems.clear();
  FOrderValid = false;
}

template class TvrnItemList<IvrnFile>;
template class TvrnItemList<IvrnFolder>;

// ---------------------------------------------------------------------------------------
// Items.

template <typename Interface>
TvrnBaseItemImpl<Interface>::TvrnBaseItemImpl(const UString& name,
                                              bool isFolder,
                                              std::string sortKey,
                                              TvrnNameRules rules)
    : FIsFolder(isFolder), FNameRules(rules) {
  FInfo.Attributes = isFolder ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
  AssignName(name, sortKey.empty() ? NameKey(rules, name) : std::move(sortKey));
}

template <typename Interface>
void TvrnBaseItemImpl<Interface>::SetName(const UString& value) {
  AssignName(value, NameKey(FNameRules, value));
}

template <typename Interface>
void TvrnBaseItemImpl<Interface>::AssignName(const UString& value, std::string sortKey) {
  FName = value;
  FSortKey = std::move(sortKey);
}

template <typename Interface>
void TvrnBaseItemImpl<Interface>::GetFindData(WIN32_FIND_DATAW& record) {
  record = WIN32_FIND_DATAW{};
  record.dwFileAttributes = FInfo.Attributes;
  record.ftCreationTime = FInfo.CreationTime;
  record.ftLastAccessTime = FInfo.LastAccessTime;
  record.ftLastWriteTime = FInfo.LastWriteTime;
  record.nFileSizeHigh = static_cast<DWORD>(FInfo.Size >> 32);
  record.nFileSizeLow = static_cast<DWORD>(FInfo.Size);
  // The record keeps at most 259 units; a longer name stays whole in FName.
  CopyToBuffer(record.cFileName, std::size(record.cFileName), FName);
  if (FShortName) {
    CopyToBuffer(record.cAlternateFileName, std::size(record.cAlternateFileName), *FShortName);
  }
}

template <typename Interface>
void TvrnBaseItemImpl<Interface>::SetShortName(const UString& value) {
  if (value.empty() || value.size() > 13) {
    FShortName.reset();
  } else {
    FShortName = std::make_unique<UString>(value);
  }
}

TvrnFile::TvrnFile(IvrnFolder* parent, const UString& name, std::string sortKey)
    : TvrnBaseItemImpl(name,
                       false,
                       std::move(sortKey),
                       parent != nullptr ? parent->GetNameRules() : DefaultNameRules()) {
  if (parent != nullptr) {
    parent->AddFile(this);
  }
}

template <typename Interface>
TvrnFolderImpl<Interface>::TvrnFolderImpl(IvrnFolder* parent,
                                          const UString& name,
                                          std::string sortKey,
                                          TvrnNameRules rules)
    : TvrnBaseItemImpl<Interface>(name,
                                  true,
                                  std::move(sortKey),
                                  parent != nullptr ? parent->GetNameRules() : rules) {
  if (parent != nullptr) {
    parent->AddFolder(this);
  }
}

TvrnFolder::TvrnFolder(IvrnFolder* parent, const UString& name, std::string sortKey)
    : TvrnFolderImpl(parent, name, std::move(sortKey)) {}

TvrnFolder::TvrnFolder(TvrnNameRules rules) : TvrnFolderImpl(nullptr, UString(), {}, rules) {}

template <typename Interface>
TvrnFolderImpl<Interface>::~TvrnFolderImpl() {
  // Releasing a subfolder that goes with this folder would release its own subfolders
  // from inside its destructor, one stack frame chain per level. Instead the outermost
  // folder being released keeps a work list, and every folder that goes while it runs
  // hands its subfolders to that list.
  static thread_local std::vector<TComPtr<IvrnFolder>>* tReleasing = nullptr;
  FLastFolder.Reset();
  if (!FFolderList) {
    return;
  }
  if (tReleasing != nullptr) {
    FFolderList->TakeAll(*tReleasing);
    return;
  }
  std::vector<TComPtr<IvrnFolder>> releasing;
  FFolderList->TakeAll(releasing);
  tReleasing = &releasing;
  // From the last to the first, as the lists release their entries.
  while (!releasing.empty()) {
    TComPtr<IvrnFolder> folder = std::move(releasing.back());
    releasing.pop_back();
    folder.Reset();
  }
  tReleasing = nullptr;
}

template <typename Interface>
void TvrnFolderImpl<Interface>::AddFolder(IvrnFolder* folder) {
  if (!FFolderList) {
    FFolderList = std::make_unique<TvrnFolderList>();
  }
  FFolderList->Add(folder);
}

template <typename Interface>
void TvrnFolderImpl<Interface>::AddFile(IvrnFile* file) {
  if (!FFileList) {
    FFileList = std::make_unique<TvrnFileList>();
  }
  FFileList->Add(file);
}

template <typename Interface>
IvrnFile* TvrnFolderImpl<Interface>::GetFile(std::int32_t index) {
  if (!FFileList) {
    throw EListError(u"List index out of bounds (" + IntToUStr(index) + u")");
  }
  return FFileList->GetItem(index);
}

template <typename Interface>
IvrnFolder* TvrnFolderImpl<Interface>::GetFolder(std::int32_t index) {
  if (!FFolderList) {
    throw EListError(u"List index out of bounds (" + IntToUStr(index) + u")");
  }
  return FFolderList->GetItem(index);
}

template <typename Interface>
IvrnBaseItem* TvrnFolderImpl<Interface>::FindByKey(const std::string& key) const {
  if (FFolderList) {
    if (IvrnFolder* folder = FFolderList->Find(key)) {
      return folder;
    }
  }
  return FFileList ? FFileList->Find(key) : nullptr;
}

template <typename Interface>
TComPtr<IvrnBaseItem> TvrnFolderImpl<Interface>::FindItem(UStringView path) {
  // A file never stands in the middle of a path: only subfolders are searched on the way.
  IvrnFolder* folder = this;
  std::size_t separator;
  while ((separator = path.find(kSeparator)) != UStringView::npos) {
    folder = folder->FindFolder(path.substr(0, separator));
    if (folder == nullptr) {
      return nullptr;
    }
    path.remove_prefix(separator + 1);
  }
  if (path.empty()) {
    return nullptr;
  }
  // The last name, a file or a folder, is looked up by the folder reached.
  return folder == this ? FindByKey(KeyOf(path)) : folder->FindItem(path);
}

template <typename Interface>
IvrnFolder* TvrnFolderImpl<Interface>::FindFolder(UStringView name) {
  return FFolderList ? FFolderList->Find(KeyOf(name)) : nullptr;
}

template <typename Interface>
void TvrnFolderImpl<Interface>::RenameItem(IvrnBaseItem* item, const UString& newName) {
  TComPtr<IvrnBaseItem> keep(item);
  if (item->IsFolder()) {
    TComPtr<IvrnFolder> folder = keep.Query<IvrnFolder>();
    FFolderList->Remove(folder.Get());
    item->SetName(newName);
    FFolderList->Add(folder.Get());
  } else {
    TComPtr<IvrnFile> file = keep.Query<IvrnFile>();
    FFileList->Remove(file.Get());
    item->SetName(newName);
    FFileList->Add(file.Get());
  }
}

template <typename Interface>
void TvrnFolderImpl<Interface>::MoveFileAside(IvrnBaseItem* file) {
  RenameItem(file, UniqueName(file->GetName(), false, 0));
}

template <typename Interface>
UString TvrnFolderImpl<Interface>::UniqueName(const UString& name, bool isFolder, int maxLength) {
  // Rule and limit first, ended by a NUL that neither holds, then the name's key.
  std::string key = (isFolder ? "F" : "f") + std::to_string(maxLength);
  key += '\0';
  key += KeyOf(name);
  auto [entry, added] = FNextUniqueNumber.try_emplace(std::move(key), 2);
  return MakeUniqueName(*this, name, isFolder, maxLength, &entry->second);
}

template <typename Interface>
TComPtr<IvrnBaseItem> TvrnFolderImpl<Interface>::AddItem(const UString& path, bool isFolder) {
  std::size_t separator = path.find(kSeparator);
  if (separator == UString::npos) {
    return AddEntry(path, isFolder);
  }
  TComPtr<IvrnFolder> folder = AddPathFolder(path.substr(0, separator));
  std::size_t start = separator + 1;
  while ((separator = path.find(kSeparator, start)) != UString::npos) {
    folder = folder->AddPathFolder(path.substr(start, separator - start));
    start = separator + 1;
  }
  return folder->AddItem(path.substr(start), isFolder);
}

template <typename Interface>
TComPtr<IvrnFolder> TvrnFolderImpl<Interface>::AddPathFolder(const UString& name) {
  // Entries of one folder usually come in a row: try the last folder first.
  if (FLastFolder && FLastFolder->GetName() == name) {
    return FLastFolder;
  }
  std::string key = KeyOf(name);
  TComPtr<IvrnFolder> sub;
  if (FLastFolder && FLastFolder->GetSortKey() == key) {
    sub = FLastFolder;
  } else if (IvrnBaseItem* existing = FindByKey(key)) {
    if (existing->IsFolder()) {
      sub = TComPtr<IvrnBaseItem>(existing).Query<IvrnFolder>();
    } else {
      MoveFileAside(existing);  // folders keep their names; the file moves aside
    }
  }
  if (!sub) {
    sub = TComPtr<IvrnFolder>(new TvrnFolder(this, name, std::move(key)));
    sub->SetImplicit(true);
  }
  FLastFolder = sub;
  return sub;
}

template <typename Interface>
TComPtr<IvrnBaseItem> TvrnFolderImpl<Interface>::AddEntry(const UString& path, bool isFolder) {
  UString name = path;
  std::string key = KeyOf(path);
  if (IvrnBaseItem* existing = FindByKey(key)) {
    if (isFolder && existing->IsFolder()) {
      TComPtr<IvrnFolder> folder = TComPtr<IvrnBaseItem>(existing).Query<IvrnFolder>();
      folder->SetImplicit(false);
      return TComPtr<IvrnBaseItem>(folder.Get());
    }
    if (isFolder) {
      MoveFileAside(existing);
    } else {
      name = UniqueName(path, false, 0);
      key.clear();  // the new name makes its own key
    }
  }
  if (isFolder) {
    return TComPtr<IvrnBaseItem>(new TvrnFolder(this, name, std::move(key)));
  }
  return TComPtr<IvrnBaseItem>(new TvrnFile(this, name, std::move(key)));
}

template <typename Interface>
void TvrnFolderImpl<Interface>::FixNames(int maxLength) {
  // A work list rather than recursion: archives nest folders thousands deep.
  std::vector<TComPtr<IvrnFolder>> pending;
  FixOwnNames(maxLength);
  for (std::int32_t i = GetFolderCount(); i > 0; --i) {
    pending.emplace_back(FFolderList->GetItem(i - 1));
  }
  while (!pending.empty()) {
    TComPtr<IvrnFolder> folder = std::move(pending.back());
    pending.pop_back();
    folder->FixOwnNames(maxLength);
    for (std::int32_t i = folder->GetFolderCount(); i > 0; --i) {
      pending.emplace_back(folder->GetFolder(i - 1));
    }
  }
}

template <typename Interface>
void TvrnFolderImpl<Interface>::FixOwnNames(int maxLength) {
  // Work on snapshots: renaming moves items within the sorted lists.
  std::vector<TComPtr<IvrnBaseItem>> items;
  for (std::int32_t i = 0; i < GetFolderCount(); ++i) {
    items.emplace_back(FFolderList->GetItem(i));
  }
  for (std::int32_t i = 0; i < GetFileCount(); ++i) {
    items.emplace_back(FFileList->GetItem(i));
  }
  for (const TComPtr<IvrnBaseItem>& item : items) {
    bool isFolder = item->IsFolder();
    UString newName = SanitizeName(item->GetName(), isFolder, maxLength, this->GetNameRules());
    if (newName == item->GetName()) {
      continue;
    }
    TComPtr<IvrnBaseItem> holder = FindByKey(KeyOf(newName));
    if (holder && holder.Get() != item.Get()) {
      newName = UniqueName(newName, isFolder, maxLength);
    }
    RenameItem(item.Get(), newName);
  }
}

template class TvrnBaseItemImpl<IvrnFile>;
template class TvrnBaseItemImpl<IvrnFolder>;
template class TvrnBaseItemImpl<IvrnArchive>;
template class TvrnFolderImpl<IvrnFolder>;
template class TvrnFolderImpl<IvrnArchive>;

// ---------------------------------------------------------------------------------------
// Naming rules.

int ExtensionPos(UStringView s) {
  std::size_t dot = s.rfind(u'.');
  if (dot == UStringView::npos) {
    return 0;
  }
  int position = static_cast<int>(dot) + 1;
  if (position == 1) {
    return 1;
  }
  return static_cast<int>(s.size()) - position > 10 ? 0 : position;
}

UString TruncateName(const UString& s, bool isFolder, int maxLength) {
  int excess = NameMeasure(s) - maxLength;
  if (excess <= 0) {
    return s;
  }
  if (!isFolder) {
    int position = ExtensionPos(s);
    if (position > 1) {
      // Cut just before the dot when at least one character is left in front of it.
      std::size_t dot = static_cast<std::size_t>(position - 1);
      std::size_t start = CutBefore(s, dot, excess);
      if (start >= 1) {
        return s.substr(0, start) + s.substr(dot);
      }
    }
  }
  return s.substr(0, CutBefore(s, s.size(), excess));
}

UString MakeUniqueName(IvrnFolder& folder,
                       const UString& name,
                       bool isFolder,
                       int maxLength,
                       int* nextNumber) {
  for (int n = nextNumber != nullptr ? std::max(*nextNumber, 2) : 2;; ++n) {
    UString suffix = DecimalSuffix(n);
    // Room is kept for the suffix, so the result stays within the limit.
    UString candidate =
        maxLength > 0 ? TruncateName(name, isFolder, maxLength - NameMeasure(suffix)) : name;
    int position = isFolder ? 0 : ExtensionPos(candidate);
    if (position > 0) {
      candidate.insert(static_cast<std::size_t>(position - 1), suffix);
    } else {
      candidate += suffix;
    }
    if (!folder.FindItem(candidate)) {
      if (nextNumber != nullptr) {
        *nextNumber = n + 1;
      }
      return candidate;
    }
  }
}

UString NormalizePath(UStringView path, TvrnNameRules rules) {
  UString result;
  result.reserve(path.size());
  for (char16_t c : path) {
    bool forbidden = rules == nrWindows ? c < 0x20 || c == u'"' || c == u'*' || c == u':' ||
                                              c == u'<' || c == u'>' || c == u'?' || c == u'|'
                                        : c == 0;
    if (c == kSeparator && !result.empty() && result.back() == kSeparator) {
      continue;  // a run of separators is one
    }
    result += forbidden ? u'_' : c;
  }
  std::size_t first = result.find_first_not_of(kSeparator);
  if (first == UString::npos) {
    return u"Noname";
  }
  std::size_t last = result.find_last_not_of(kSeparator);
  return result.substr(first, last - first + 1);
}

UString SanitizeName(const UString& name, bool isFolder, int maxLength, TvrnNameRules rules) {
  UString d = name;
  if (rules == nrWindows) {
    std::size_t first = 0;
    std::size_t last = name.size();
    while (first < last && name[first] <= 0x20) {
      ++first;
    }
    while (last > first && name[last - 1] <= 0x20) {
      --last;
    }
    d = name.substr(first, last - first);
  }
  if (d.empty()) {
    return u"Noname";
  }
#if !defined(_WIN32)
  // Linux names are UTF-8 without "/": a lone surrogate has no UTF-8 form, and a "/"
  // would split the name in two.
  for (std::size_t i = 0; i < d.size(); ++i) {
    if (IsHighSurrogate(d[i]) && i + 1 < d.size() && IsLowSurrogate(d[i + 1])) {
      ++i;
    } else if (IsHighSurrogate(d[i]) || IsLowSurrogate(d[i])) {
      d[i] = u'\uFFFD';
    } else if (d[i] == u'/') {
      d[i] = u'_';
    }
  }
#endif
  bool prefixed = rules == nrWindows
                      ? d.find_first_not_of(u'.') == UString::npos || IsReservedName(d)
                      : d == u"." || d == u"..";
  if (prefixed) {
    return u"_" + TruncateName(d, isFolder, maxLength - 1);
  }
  return TruncateName(d, isFolder, maxLength);
}

// ---------------------------------------------------------------------------------------
// Rules and times.

namespace {

#if defined(_WIN32)
std::atomic<TvrnNameRules> gDefaultNameRules{nrWindows};
#else
std::atomic<TvrnNameRules> gDefaultNameRules{nrExact};
#endif

// The exact key of a name: its code points in UTF-8, a lone surrogate written as the
// three bytes of its own value, so that different names never share a key and bytewise
// order is code point order.
std::string ExactKey(UStringView name) {
  std::string key;
  // Most names are ASCII: a key of up to 15 bytes then stays inside the string.
  key.reserve(name.size());
  for (std::size_t i = 0; i < name.size(); ++i) {
    char32_t c = name[i];
    if (IsHighSurrogate(name[i]) && i + 1 < name.size() && IsLowSurrogate(name[i + 1])) {
      c = 0x10000 + ((c - 0xD800) << 10) + (name[++i] - 0xDC00);
    }
    AppendUtf8(key, c);
  }
  return key;
}

bool IsZero(const FILETIME& time) {
  return time.dwLowDateTime == 0 && time.dwHighDateTime == 0;
}

void FillItemTimes(IvrnBaseItem& item, const FILETIME& fallback) {
  TvrnItemInfo* info = item.GetInfo();
  if (IsZero(info->LastWriteTime)) {
    info->LastWriteTime = fallback;
  }
  for (FILETIME* time : {&info->CreationTime, &info->LastAccessTime}) {
    if (IsZero(*time)) {
      *time = info->LastWriteTime;
    }
  }
}

}  // namespace

TvrnNameRules DefaultNameRules() {
  return gDefaultNameRules.load();
}

void SetDefaultNameRules(TvrnNameRules rules) {
  gDefaultNameRules.store(rules);
}

std::string NameKey(TvrnNameRules rules, UStringView name) {
  return rules == nrWindows ? MakeSortKey(name) : ExactKey(name);
}

void FillMissingTimes(IvrnFolder& root, const FILETIME& fallback) {
  FillItemTimes(root, fallback);
  std::vector<IvrnFolder*> pending{&root};
  while (!pending.empty()) {
    IvrnFolder* folder = pending.back();
    pending.pop_back();
    for (std::int32_t i = 0; i < folder->GetFileCount(); ++i) {
      FillItemTimes(*folder->GetFile(i), fallback);
    }
    for (std::int32_t i = 0; i < folder->GetFolderCount(); ++i) {
      IvrnFolder* sub = folder->GetFolder(i);
      FillItemTimes(*sub, fallback);
      pending.push_back(sub);
    }
  }
}
