// The archive file system: path lookup, opens with their access and share checks,
// listings, file information, free space, and reads that extract a file's solid block
// on first use.
//
// Every handler below is reached through the base class's dispatch, which turns an
// exception into an NTSTATUS. The tree's shape is fixed before the volume is mounted,
// so lookups and listings only ever take the multi-reader locks for reading; what does
// change while mounted (open counters, contexts, extraction state, messages, progress)
// has a lock of its own, taken in the order the header states.
#include "vfs/vrnDrivoArchive.h"

#include <algorithm>
#include <array>
#include <mutex>
#include <shared_mutex>
#include <vector>

#include "platform/vrnErrors.h"
#include "platform/vrnFiles.h"

#if !defined(_WIN32)
#include <filesystem>
#endif

namespace {

// The access a folder handle may ask for: SYNCHRONIZE, FILE_READ_ATTRIBUTES,
// FILE_TRAVERSE and FILE_LIST_DIRECTORY.
constexpr ACCESS_MASK kFolderAccess = 0x001000A1;
// The access a file handle may ask for: GENERIC_READ, GENERIC_EXECUTE, SYNCHRONIZE,
// READ_CONTROL, FILE_READ_ATTRIBUTES, FILE_EXECUTE, FILE_READ_EA and FILE_READ_DATA.
constexpr ACCESS_MASK kFileAccess = 0xA01200A9;
// Share access 0 is taken as sharing everything.
constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// The options every mount of an archive adds: write protection, the mount manager and
// case-sensitive names (lookups still ignore case).
constexpr ULONG kArchiveMountOptions =
    DOKAN_OPTION_WRITE_PROTECT | DOKAN_OPTION_MOUNT_MANAGER | DOKAN_OPTION_CASE_SENSITIVE;
// What every failed read's message starts with.
constexpr char16_t kDataErrorPrefix[] = u"Data error: ";
// The words for a failed read's cause; nil for none.
std::atomic<TvrnDataErrorDetail> gDataErrorDetail{nullptr};
// A read whose file is done while the pass still has at most this much to unpack waits
// for the pass to end, a few milliseconds at most: returning earlier gains nothing, and
// the reader then finds the rest of a small block ready and the progress ended.
constexpr std::uint64_t kNearlyDone = 1 << 20;
// Read-ahead of files of their own (a non-solid archive): after a read had to extract
// such a file shortly after the one before it in the archive's order, the worker
// unpacks the next ones in one engine pass, while the reader goes on. A group holds at
// most kAheadFiles files and kAheadBytes bytes, only files of at most kAheadFileSize
// (a large file gains nothing from sharing an engine call), and reads look "in order"
// when their files lie at most kAheadWindow entries apart.
constexpr std::size_t kAheadFiles = 64;
constexpr std::uint64_t kAheadBytes = 4 << 20;
constexpr std::uint64_t kAheadFileSize = 1 << 20;
constexpr std::int32_t kAheadWindow = 8;
constexpr std::int32_t kNoTrigger = INT32_MAX;

// The reflected CRC-32 table of the polynomial 0xEDB88320.
constexpr std::array<std::uint32_t, 256> MakeCrcTable() {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t c = i;
    for (int k = 0; k < 8; ++k) {
      c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    }
    table[i] = c;
  }
  return table;
}
constexpr std::array<std::uint32_t, 256> kCrcTable = MakeCrcTable();

// The characters that end a folder part of a file name on this platform.
bool IsPathDelimiter(char16_t c) {
#if defined(_WIN32)
  return c == u'\\' || c == u'/' || c == u':';
#else
  return c == u'/';
#endif
}

#if defined(_WIN32)
bool IsSlash(char16_t c) {
  return c == u'\\' || c == u'/';
}

// The drive ("C:") or network share ("\\server\share") part of a name; empty when it
// has neither.
UString ExtractFileDrive(const UString& name) {
  if (name.size() >= 2 && name[1] == u':') {
    return name.substr(0, 2);
  }
  if (name.size() >= 2 && IsSlash(name[0]) && IsSlash(name[1])) {
    // Up to the slash that ends the share name, or the end of the name.
    std::size_t i = 2;
    int slashes = 0;
    while (i < name.size()) {
      if (IsSlash(name[i]) && ++slashes == 2) {
        break;
      }
      ++i;
    }
    return name.substr(0, i);
  }
  return UString();
}
#endif

// The file name of a path a failed read names, as the user's platform writes paths.
UString MessagePath(const WCHAR* fileName) {
  UString name = fileName != nullptr ? UString(AsU16(fileName)) : UString();
  if (!name.empty() && name.front() == u'\\') {
    name.erase(0, 1);
  }
#if !defined(_WIN32)
  // Names on Linux hold no "/", so the path reads back exactly as the mount shows it.
  for (char16_t& c : name) {
    if (c == u'\\') {
      c = u'/';
    }
  }
#endif
  return name;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// TvrnExtractProgress and Tqev7zCRC32Hasher.

void TvrnExtractProgress::Progress(std::uint64_t completed, std::uint64_t total) {
  FOwner->SetProgress(completed, total);
}

void TvrnExtractProgress::FileDone(IvrnFile* file) {
  FOwner->FileDone(file);
}

void Tqev7zCRC32Hasher::Init() {
  FCRC = 0xFFFFFFFF;
}

void Tqev7zCRC32Hasher::Update(const void* data, UInt32 size) {
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  std::uint32_t crc = FCRC;
  for (UInt32 i = 0; i < size; ++i) {
    crc = (crc >> 8) ^ kCrcTable[(crc ^ bytes[i]) & 0xFF];
  }
  FCRC = crc;
}

void Tqev7zCRC32Hasher::Final(Byte* digest) {
  std::uint32_t value = FCRC ^ 0xFFFFFFFF;
  for (int i = 0; i < 4; ++i) {
    digest[i] = static_cast<Byte>(value >> (8 * i));
  }
}

// ---------------------------------------------------------------------------------------
// Label, serial and free-space root of an archive.

UString ArchiveVolumeLabel(const UString& archiveFileName) {
  std::size_t start = archiveFileName.size();
  while (start > 0 && !IsPathDelimiter(archiveFileName[start - 1])) {
    --start;
  }
  UString name = archiveFileName.substr(start);
  std::size_t dot = name.rfind(u'.');
  return dot == UString::npos ? name : name.substr(0, dot);
}

DWORD ArchiveVolumeSerial(const UString& archiveFileName) {
  std::vector<Byte> bytes;
  bytes.reserve(archiveFileName.size() * 2);
  for (char16_t c : archiveFileName) {
    bytes.push_back(static_cast<Byte>(c & 0xFF));
    bytes.push_back(static_cast<Byte>(c >> 8));
  }
  TComPtr<IHasher> hasher = MakeCounted<Tqev7zCRC32Hasher>();
  hasher->Init();
  hasher->Update(bytes.data(), static_cast<UInt32>(bytes.size()));
  Byte digest[4] = {};
  hasher->Final(digest);
  return DWORD(digest[0]) | DWORD(digest[1]) << 8 | DWORD(digest[2]) << 16 | DWORD(digest[3]) << 24;
}

UString ArchiveFreeSpaceRoot(const UString& archiveFileName) {
#if defined(_WIN32)
  return ExtractFileDrive(archiveFileName) + u"\\";
#else
  std::error_code error;
  std::filesystem::path path = std::filesystem::absolute(ToUtf8(archiveFileName), error);
  if (error) {
    return u".";
  }
  return FromUtf8(path.parent_path().string());
#endif
}

// ---------------------------------------------------------------------------------------
// Construction, unmount and what the controller polls.

TvrnDrivoArchiveThread::TvrnDrivoArchiveThread(const UString& requestedMountPoint,
                                               TvrnArchiveThread* archiveThread,
                                               TvrnStoreKind storeKind)
    : FRequestedMountPoint(requestedMountPoint),
      FStoreKind(storeKind),
      FArchiveThread(archiveThread),
      FProgress(MakeCounted<TvrnExtractProgress>(this)) {
  FTempFile = MakeCounted<TvrnTempFile>();
}

TvrnDrivoArchiveThread::~TvrnDrivoArchiveThread() {
  StopExtraction();
  // Contexts the library never closed go without touching the counters: the tree is
  // released right after them.
  FContexts.clear();
  FProgress.Reset();
  FRoot.Reset();
  FTempFile.Reset();
}

void TvrnDrivoArchiveThread::UnmountDrive() {
  // The flag goes first, so that an extraction running inside a read gives up even
  // while the library waits for that read before it lets the volume go.
  FStopRequested = true;
  FAheadAbort = true;
  TvrnDrivoThread::UnmountDrive();
}

UString TvrnDrivoArchiveThread::TakeMessage() {
  std::lock_guard<TCriticalSection> lock(FMessageLock);
  if (FMessages.empty()) {
    return UString();
  }
  UString result = std::move(FMessages.front());
  FMessages.pop_front();
  return result;
}

bool TvrnDrivoArchiveThread::GetProgress(std::uint64_t& completed, std::uint64_t& total) {
  std::lock_guard<TCriticalSection> lock(FProgressLock);
  completed = FProgressCompleted;
  total = FProgressTotal;
  return FProgressActive;
}

void TvrnDrivoArchiveThread::SetProgress(std::uint64_t completed, std::uint64_t total) {
  std::lock_guard<TCriticalSection> lock(FProgressLock);
  FProgressActive = true;
  FProgressCompleted = completed;
  FProgressTotal = total;
}

void TvrnDrivoArchiveThread::ClearProgress() {
  std::lock_guard<TCriticalSection> lock(FProgressLock);
  FProgressActive = false;
}

void SetDataErrorDetail(TvrnDataErrorDetail detail) {
  gDataErrorDetail.store(detail);
}

void TvrnDrivoArchiveThread::AddMessage(const UString& text) {
  if (text.empty()) {
    return;
  }
  std::lock_guard<TCriticalSection> lock(FMessageLock);
  FMessages.push_back(text);
}

// ---------------------------------------------------------------------------------------
// Preparation and mount.

void TvrnDrivoArchiveThread::Run() {
  // However the mount ends, a pass still running for no one stops with it.
  struct TStopExtraction {
    TvrnDrivoArchiveThread* Owner;
    ~TStopExtraction() { Owner->StopExtraction(); }
  } stop{this};
  if (PrepareVolume()) {
    TvrnDrivoThread::Run();
  }
}

bool TvrnDrivoArchiveThread::PrepareVolume() {
  if (FArchiveThread == nullptr) {
    return false;
  }
  FArchiveThread->WaitFor();
  FRoot = FArchiveThread->Archive();
  if (FArchiveThread->Failed() || !FRoot) {
    // The controller shows the open thread's own error; this thread ends quietly.
    FRoot.Reset();
    return false;
  }
  FRoot->FixNames(MaxComponentLength());
#if !defined(_WIN32)
  // Linux tools take a zero time for a real one (1601, or 1970 where they cut it):
  // times the archive does not hold come from the times it does, and from its file.
  FillMissingTimes(*FRoot, FRoot->GetFileTime());
#endif
  const UString& archiveFileName = FArchiveThread->ArchiveFileName();
  FFreeSpaceRoot = ArchiveFreeSpaceRoot(archiveFileName);
  FVolumeName = ArchiveVolumeLabel(archiveFileName);
  FVolumeSerial = ArchiveVolumeSerial(archiveFileName);
  return true;
}

void TvrnDrivoArchiveThread::FillOptions(DOKAN_OPTIONS& options) {
  options.Timeout = 0;
  options.VolumeSecurityDescriptorLength = 0;
  options.MountPoint = AsWChar(FRequestedMountPoint);
  options.Options |= kArchiveMountOptions;
}

void TvrnDrivoArchiveThread::FillOperations(DOKAN_OPERATIONS& operations) {
  TvrnDrivoThread::FillOperations(operations);
  operations.GetFileSecurity = nullptr;
  operations.SetFileSecurity = nullptr;
}

// ---------------------------------------------------------------------------------------
// Handlers.

NTSTATUS TvrnDrivoArchiveThread::DoGetDiskFreeSpace(PULONGLONG freeBytesAvailable,
                                                    PULONGLONG totalNumberOfBytes,
                                                    PULONGLONG totalNumberOfFreeBytes,
                                                    PDOKAN_FILE_INFO info) {
  std::uint64_t available = 0;
  std::uint64_t total = 0;
  std::uint64_t free = 0;
  if (FFreeSpaceRoot.empty() || !QueryDiskFreeSpace(FFreeSpaceRoot, &available, &total, &free)) {
    return TvrnDrivoThread::DoGetDiskFreeSpace(freeBytesAvailable, totalNumberOfBytes,
                                               totalNumberOfFreeBytes, info);
  }
  if (freeBytesAvailable != nullptr) {
    *freeBytesAvailable = available;
  }
  if (totalNumberOfBytes != nullptr) {
    *totalNumberOfBytes = total;
  }
  if (totalNumberOfFreeBytes != nullptr) {
    *totalNumberOfFreeBytes = free;
  }
  return STATUS_SUCCESS;
}

TComPtr<IvrnBaseItem> TvrnDrivoArchiveThread::FindPath(const WCHAR* path) {
  if (!FRoot || path == nullptr) {
    return nullptr;
  }
  UStringView name(AsU16(path));
  if (name.empty() || name == u"\\") {
    return TComPtr<IvrnBaseItem>(FRoot.Get());
  }
  if (name.front() != u'\\') {
    return nullptr;
  }
  return FRoot->FindItem(name.substr(1));
}

NTSTATUS TvrnDrivoArchiveThread::DoCreateFile(LPCWSTR fileName,
                                              PDOKAN_IO_SECURITY_CONTEXT,
                                              ACCESS_MASK desiredAccess,
                                              ULONG fileAttributes,
                                              ULONG shareAccess,
                                              ULONG createDisposition,
                                              ULONG createOptions,
                                              PDOKAN_FILE_INFO info) {
  if (info->Context != 0) {
    return STATUS_INTERNAL_ERROR;
  }
  std::shared_lock<TMultiReadLock> names(FNameLock);
  TComPtr<IvrnBaseItem> item = FindPath(fileName);
  if (!item) {
    return STATUS_OBJECT_NAME_NOT_FOUND;
  }
  ACCESS_MASK access = 0;
  DWORD flags = 0;
  DWORD disposition = 0;
  DokanMapKernelToUserCreateFileFlags(desiredAccess, fileAttributes, createOptions,
                                      createDisposition, &access, &flags, &disposition);
  if (item.Get() == static_cast<IvrnBaseItem*>(FRoot.Get()) || item->IsFolder()) {
    return OpenFolder(item.Get(), access, disposition, info);
  }
  return OpenFile(item.Get(), access, disposition, shareAccess, info);
}

NTSTATUS TvrnDrivoArchiveThread::OpenFolder(IvrnBaseItem* item,
                                            ACCESS_MASK access,
                                            DWORD disposition,
                                            PDOKAN_FILE_INFO info) {
  if ((access & ~kFolderAccess) != 0 || disposition != OPEN_EXISTING) {
    return STATUS_ACCESS_DENIED;
  }
  info->IsDirectory = TRUE;
  CreateContext(info, item, 0);
  return STATUS_SUCCESS;
}

NTSTATUS TvrnDrivoArchiveThread::OpenFile(IvrnBaseItem* item,
                                          ACCESS_MASK access,
                                          DWORD disposition,
                                          ULONG shareAccess,
                                          PDOKAN_FILE_INFO info) {
  if (shareAccess == 0) {
    shareAccess = kShareAll;
  }
  if (disposition != OPEN_EXISTING || (access & ~kFileAccess) != 0) {
    return STATUS_ACCESS_DENIED;
  }
  if (!TComPtr<IvrnBaseItem>(item).Query<IvrnFile>()) {
    throw EInvalidPointer();
  }
  std::lock_guard<TCriticalSection> counters(FOpenCountLock);
  if (((shareAccess & FILE_SHARE_READ) == 0 && item->HasReaders()) ||
      ((shareAccess & FILE_SHARE_WRITE) == 0 && item->HasWriters()) ||
      ((shareAccess & FILE_SHARE_DELETE) == 0 && item->HasDeleters())) {
    return STATUS_ACCESS_DENIED;
  }
  // The item's own kind decides, whatever the request assumed: the library (and our
  // FUSE bridge) may have marked a request with FILE_DIRECTORY_FILE as a folder.
  info->IsDirectory = FALSE;
  CreateContext(info, item, ocRead);
  return STATUS_SUCCESS;
}

void TvrnDrivoArchiveThread::CreateContext(PDOKAN_FILE_INFO info,
                                           IvrnBaseItem* item,
                                           std::uint8_t flags) {
  auto owned = std::make_unique<TvrnDrivoContext>();
  owned->Item = item;
  owned->Flags = flags;
  TvrnDrivoContext* context = owned.get();
  {
    std::lock_guard<TCriticalSection> contexts(FContextLock);
    FContexts.emplace(context, std::move(owned));
  }
  info->Context = reinterpret_cast<std::uintptr_t>(context);
  if ((flags & ocRead) != 0) {
    item->AddReader();
  }
  if ((flags & ocWrite) != 0) {
    item->AddWriter();
  }
  if ((flags & ocDelete) != 0) {
    item->AddDeleter();
  }
}

TvrnDrivoContext* TvrnDrivoArchiveThread::GetContext(PDOKAN_FILE_INFO info) {
  return reinterpret_cast<TvrnDrivoContext*>(static_cast<std::uintptr_t>(info->Context));
}

void TvrnDrivoArchiveThread::CloseContext(PDOKAN_FILE_INFO info) {
  TvrnDrivoContext* context = GetContext(info);
  if (context == nullptr) {
    return;
  }
  info->Context = 0;
  {
    std::lock_guard<TCriticalSection> counters(FOpenCountLock);
    if ((context->Flags & ocRead) != 0) {
      context->Item->RemoveReader();
    }
    if ((context->Flags & ocWrite) != 0) {
      context->Item->RemoveWriter();
    }
    if ((context->Flags & ocDelete) != 0) {
      context->Item->RemoveDeleter();
    }
  }
  std::unique_ptr<TvrnDrivoContext> owned;
  {
    std::lock_guard<TCriticalSection> contexts(FContextLock);
    auto found = FContexts.find(context);
    if (found != FContexts.end()) {
      owned = std::move(found->second);
      FContexts.erase(found);
    }
  }
  // Owned goes here, with its item reference, outside every lock.
}

void TvrnDrivoArchiveThread::DoCleanup(LPCWSTR, PDOKAN_FILE_INFO) {}

void TvrnDrivoArchiveThread::DoCloseFile(LPCWSTR, PDOKAN_FILE_INFO info) {
  CloseContext(info);
}

NTSTATUS TvrnDrivoArchiveThread::DoGetFileInformation(LPCWSTR,
                                                      LPBY_HANDLE_FILE_INFORMATION buffer,
                                                      PDOKAN_FILE_INFO info) {
  if (buffer == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  TvrnDrivoContext* context = GetContext(info);
  if (context == nullptr) {
    return STATUS_OBJECT_NAME_NOT_FOUND;
  }
  std::shared_lock<TMultiReadLock> items(FItemLock);
  const TvrnItemInfo* record = context->Item->GetInfo();
  // The item's address is its identity: unique per item, fixed while the tree exists.
  auto index = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(context->Item.Get()));
  *buffer = BY_HANDLE_FILE_INFORMATION{};
  buffer->dwFileAttributes = record->Attributes;
  buffer->ftCreationTime = record->CreationTime;
  buffer->ftLastAccessTime = record->LastAccessTime;
  buffer->ftLastWriteTime = record->LastWriteTime;
  buffer->dwVolumeSerialNumber = FVolumeSerial;
  buffer->nFileSizeHigh = static_cast<DWORD>(record->Size >> 32);
  buffer->nFileSizeLow = static_cast<DWORD>(record->Size);
  buffer->nNumberOfLinks = 1;
  buffer->nFileIndexHigh = static_cast<DWORD>(index >> 32);
  buffer->nFileIndexLow = static_cast<DWORD>(index);
  return STATUS_SUCCESS;
}

NTSTATUS TvrnDrivoArchiveThread::DoFindFiles(LPCWSTR,
                                             PFillFindData fillFindData,
                                             PDOKAN_FILE_INFO info) {
  TvrnDrivoContext* context = GetContext(info);
  if (context == nullptr) {
    return STATUS_OBJECT_NAME_NOT_FOUND;
  }
  std::shared_lock<TMultiReadLock> items(FItemLock);
  if (!context->Item->IsFolder()) {
    return STATUS_NOT_A_DIRECTORY;
  }
  TComPtr<IvrnFolder> folder = context->Item.Query<IvrnFolder>();
  if (!folder) {
    throw EInvalidPointer();
  }
  if (fillFindData == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  WIN32_FIND_DATAW record;
  for (std::int32_t i = 0; i < folder->GetFolderCount(); ++i) {
    folder->GetFolder(i)->GetFindData(record);
    if (fillFindData(&record, info) != 0) {
      break;
    }
  }
  for (std::int32_t i = 0; i < folder->GetFileCount(); ++i) {
    folder->GetFile(i)->GetFindData(record);
    if (fillFindData(&record, info) != 0) {
      break;
    }
  }
  return STATUS_SUCCESS;
}

void TvrnDrivoArchiveThread::EnsureExtracted(IvrnFile* file) {
  const bool alone = file->GetBlock() == nullptr;
  if (file->IsExtracted()) {
    if (alone && file->GetIndex() >= FAheadTrigger.load(std::memory_order_relaxed)) {
      // The reader has come into the read-ahead group: the next group goes in line.
      std::lock_guard<std::mutex> lock(FPassLock);
      QueueReadAhead(file->GetIndex());
    }
    return;
  }
  std::unique_lock<std::mutex> lock(FPassLock);
  if (FWorkerQuit) {
    return;  // the volume is going: no pass starts, and the read fails
  }
  if (alone && !FAheadFiles.empty()) {
    if (FAheadFiles.count(file) != 0 && !FAheadAbort) {
      // Read ahead already: wait for its mark, or for the group to be given up.
      ++FWaitedFiles[file];
      FPassChanged.wait(lock, [&] {
        return file->IsExtracted() || FAheadFiles.count(file) == 0 || FAheadAbort;
      });
      if (--FWaitedFiles[file] == 0) {
        FWaitedFiles.erase(file);
      }
      if (file->IsExtracted()) {
        QueueReadAhead(file->GetIndex());
        return;
      }
    }
    // A read-ahead never keeps a read waiting: the one running stops at its next file,
    // and a group in line is dropped.
    DropReadAhead(lock);
    if (file->IsExtracted() || FWorkerQuit) {
      return;
    }
  }
  if (alone && !FPassRunning && FRequests.empty()) {
    // A file of its own leaves nothing to unpack behind it: the read runs the pass
    // itself and spares the hand-over to the worker.
    const std::int32_t index = file->GetIndex();
    const bool inOrder = FLastAloneIndex >= 0 && index > FLastAloneIndex &&
                         index - FLastAloneIndex <= kAheadWindow;
    FLastAloneIndex = index;
    RunPass(lock, file, true);
    if (inOrder && file->IsExtracted()) {
      QueueReadAhead(index);
    }
    FPassChanged.notify_all();
    return;
  }
  // Nor does it keep a pass waiting that a read needs.
  DropQueuedReadAhead();
  if (FAheadRunning) {
    FAheadAbort = true;
  }
  StartWorker();
  FRequests.emplace_back(file);
  const std::uint64_t ticket = ++FRequestsQueued;
  ++FWaitedFiles[file];
  FPassChanged.notify_all();
  // Once the file is marked during a pass that is nearly done, the pass end to wait for.
  std::uint64_t passEnd = 0;
  FPassChanged.wait(lock, [&] {
    if (FRequestsDone >= ticket) {
      return true;  // the request's pass has ended, or was not needed
    }
    if (!file->IsExtracted()) {
      return false;
    }
    if (!FPassRunning) {
      return true;
    }
    if (passEnd == 0) {
      if (!PassNearlyDone()) {
        return true;
      }
      passEnd = FPassesEnded + 1;
    }
    return FPassesEnded >= passEnd;
  });
  if (--FWaitedFiles[file] == 0) {
    FWaitedFiles.erase(file);
  }
}

void TvrnDrivoArchiveThread::StartWorker() {
  if (!FExtractThread.joinable()) {
    FExtractThread = std::thread([this] { ExtractRequests(); });
  }
}

void TvrnDrivoArchiveThread::QueueReadAhead(std::int32_t index) {
  if (FWorkerQuit || !FAheadQueued.empty()) {
    return;
  }
  FAheadTrigger.store(kNoTrigger, std::memory_order_relaxed);
  const std::int32_t count = FRoot->GetItemCount();
  std::int32_t next = std::max(index + 1, FAheadEnd);
  std::uint64_t bytes = 0;
  for (; next < count && FAheadQueued.size() < kAheadFiles && bytes < kAheadBytes; ++next) {
    IvrnBaseItem* item = FRoot->GetItem(next);
    if (item == nullptr || item->IsFolder()) {
      continue;
    }
    TComPtr<IvrnFile> candidate = TComPtr<IvrnBaseItem>(item).Query<IvrnFile>();
    if (!candidate || candidate->GetBlock() != nullptr ||
        candidate->GetInfo()->Size > kAheadFileSize) {
      break;  // the run of small files of their own ends here
    }
    if (!candidate->IsExtracted() && FAheadFiles.count(candidate.Get()) == 0) {
      bytes += candidate->GetInfo()->Size;
      FAheadFiles.insert(candidate.Get());
      FAheadQueued.push_back(std::move(candidate));
    }
  }
  FAheadEnd = next;
  if (FAheadQueued.empty()) {
    return;
  }
  // Once the reader reaches the middle of this group, the next one is queued.
  FAheadTrigger.store(FAheadQueued[FAheadQueued.size() / 2]->GetIndex(),
                      std::memory_order_relaxed);
  StartWorker();
  FPassChanged.notify_all();
}

void TvrnDrivoArchiveThread::DropQueuedReadAhead() {
  for (const TComPtr<IvrnFile>& file : FAheadQueued) {
    FAheadFiles.erase(file.Get());
  }
  FAheadQueued.clear();
}

void TvrnDrivoArchiveThread::DropReadAhead(std::unique_lock<std::mutex>& passLock) {
  DropQueuedReadAhead();
  FAheadTrigger.store(kNoTrigger, std::memory_order_relaxed);
  FAheadEnd = 0;
  if (FAheadRunning) {
    FAheadAbort = true;
    FPassChanged.wait(passLock, [this] { return !FAheadRunning; });
  }
}

void TvrnDrivoArchiveThread::RunReadAhead(std::unique_lock<std::mutex>& passLock) {
  std::vector<TComPtr<IvrnFile>> group = std::move(FAheadQueued);
  FAheadQueued.clear();
  std::vector<IvrnFile*> files;
  files.reserve(group.size());
  for (const TComPtr<IvrnFile>& file : group) {
    files.push_back(file.Get());
  }
  FAheadRunning = true;
  ++FReadAheadCount;
  RunEnginePass(passLock, files, false, &FAheadAbort);
  for (IvrnFile* file : files) {
    FAheadFiles.erase(file);
  }
  FAheadRunning = false;
  if (!FWorkerQuit && !FStopRequested) {
    FAheadAbort = false;
  }
}

void TvrnDrivoArchiveThread::ExtractRequests() {
  std::unique_lock<std::mutex> lock(FPassLock);
  for (;;) {
    // A pass that a read runs itself is waited for, so that passes stay one at a time.
    FPassChanged.wait(lock, [this] {
      return FWorkerQuit || ((!FRequests.empty() || !FAheadQueued.empty()) && !FPassRunning);
    });
    if (FRequests.empty() && !FAheadQueued.empty() && !FWorkerQuit) {
      // Only when no read waits for a pass.
      RunReadAhead(lock);
      FPassChanged.notify_all();
      continue;
    }
    if (FRequests.empty()) {
      return;
    }
    TComPtr<IvrnFile> file = std::move(FRequests.front());
    FRequests.pop_front();
    // A file an earlier pass has marked needs none; after the stop flag nothing does.
    if (!file->IsExtracted() && !FStopRequested) {
      RunPass(lock, file.Get(), false);
    }
    ++FRequestsDone;
    FPassChanged.notify_all();
  }
}

void TvrnDrivoArchiveThread::RunPass(std::unique_lock<std::mutex>& passLock,
                                     IvrnFile* file,
                                     bool itemsHeld) {
  ++FExtractionCount;
  RunEnginePass(passLock, {file}, itemsHeld, &FStopRequested);
}

void TvrnDrivoArchiveThread::RunEnginePass(std::unique_lock<std::mutex>& passLock,
                                           const std::vector<IvrnFile*>& files,
                                           bool itemsHeld,
                                           TvrnAbortFlag abortFlag) {
  FPassRunning = true;
  passLock.unlock();
  {
    std::shared_lock<TMultiReadLock> items(FItemLock, std::defer_lock);
    if (!itemsHeld) {
      items.lock();
    }
    try {
      FRoot->ExtractFiles(abortFlag, FProgress.Get(), files, FTempFile, FStoreKind);
    } catch (...) {
      // The outcome is each file's state: a file the pass did not finish stays
      // unextracted, and its read answers for that.
    }
    // Before the pass counts as ended, so that a read waiting for that end finds the
    // progress over.
    ClearProgress();
  }
  passLock.lock();
  FPassRunning = false;
  ++FPassesEnded;
}

bool TvrnDrivoArchiveThread::PassNearlyDone() {
  std::uint64_t completed = 0;
  std::uint64_t total = 0;
  if (!GetProgress(completed, total)) {
    return true;
  }
  return total <= completed || total - completed <= kNearlyDone;
}

void TvrnDrivoArchiveThread::FileDone(IvrnFile* file) {
  std::lock_guard<std::mutex> lock(FPassLock);
  if (FWaitedFiles.find(file) != FWaitedFiles.end()) {
    FPassChanged.notify_all();
  }
}

void TvrnDrivoArchiveThread::StopExtraction() {
  {
    std::lock_guard<std::mutex> lock(FPassLock);
    FStopRequested = true;
    FWorkerQuit = true;
    FAheadAbort = true;
    DropQueuedReadAhead();
  }
  FPassChanged.notify_all();
  if (FExtractThread.joinable()) {
    FExtractThread.join();
  }
}

NTSTATUS TvrnDrivoArchiveThread::DoReadFile(LPCWSTR fileName,
                                            LPVOID buffer,
                                            DWORD bufferLength,
                                            LPDWORD readLength,
                                            LONGLONG offset,
                                            PDOKAN_FILE_INFO info) {
  TComPtr<IvrnBaseItem> item;
  if (TvrnDrivoContext* context = GetContext(info)) {
    item = context->Item;
  } else {
    std::shared_lock<TMultiReadLock> names(FNameLock);
    item = FindPath(fileName);
  }
  if (!item) {
    return STATUS_OBJECT_NAME_NOT_FOUND;
  }
  if (item->IsFolder()) {
    return STATUS_FILE_IS_A_DIRECTORY;
  }
  if (readLength == nullptr || (buffer == nullptr && bufferLength != 0) || offset < 0) {
    return STATUS_INVALID_PARAMETER;
  }
  *readLength = 0;

  NTSTATUS result = STATUS_SUCCESS;
  TvrnDataErrorCause cause = dcUnknown;
  {
    std::shared_lock<TMultiReadLock> items(FItemLock);
    TComPtr<IvrnFile> file = item.Query<IvrnFile>();
    if (!file) {
      throw EInvalidPointer();
    }
    EnsureExtracted(file.Get());
    TComPtr<IvrnData> data;
    if (!file->IsExtracted()) {
      result = STATUS_INTERNAL_ERROR;
      cause = file->GetDataErrorCause();
    } else if (file->GetDataError() || !(data = file->GetData())) {
      result = STATUS_DATA_ERROR;
      cause = file->GetDataErrorCause();
    } else {
      std::uint32_t done = 0;
      result = data->ReadAt(buffer, static_cast<std::uint64_t>(offset), bufferLength, done);
      *readLength = done;
    }
  }
  if (result != STATUS_SUCCESS) {
    UString name = MessagePath(fileName);
    if (!name.empty()) {
      UString text = kDataErrorPrefix + name;
      TvrnDataErrorDetail detail = gDataErrorDetail.load();
      UString words = detail != nullptr && cause != dcUnknown ? detail(cause) : UString();
      if (!words.empty()) {
        text += u" (" + words + u")";
      }
      AddMessage(text);
    }
  }
  return result;
}
