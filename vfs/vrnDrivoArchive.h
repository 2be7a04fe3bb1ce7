// The archive file system: the file-system thread of one mounted archive.
//
// TvrnDrivoArchiveThread waits until the archive-open thread has opened the archive,
// fixes every name of the tree, gives the volume its label and serial, mounts a
// write-protected volume and answers the system's requests from the item tree. The
// first read of a file has its whole solid block extracted into data stores, in one
// pass on the mount's extraction worker, and returns as soon as its own file is done;
// later reads of any file of that block are copies. Failed reads queue
// "Data error: <path>" messages, and extraction progress is kept, for the mount
// controller's poll.
//
// Locks, outer to inner: FNameLock -> FOpenCountLock -> FContextLock, and
// FItemLock -> FPassLock -> FProgressLock. The worker holds FItemLock for reading
// through a pass and takes FPassLock, FProgressLock and the temporary file's own lock
// inside it, one at a time. FNameLock and FItemLock are never held together; nothing
// takes either for writing, since the tree does not change while mounted. FMessageLock
// is taken with no other lock held.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "engine/qev7zUtils.h"
#include "model/vrnArchive.h"
#include "mount/vrnArchiveThread.h"
#include "vfs/vrnData.h"
#include "vfs/vrnDrivo.h"

class TvrnDrivoArchiveThread;

// Words for the cause of a failed read, shown in its message after the path; empty when
// there are none for that cause.
using TvrnDataErrorDetail = UString (*)(TvrnDataErrorCause cause);
// Has every later failed read's message name its cause: "Data error: PATH (DETAIL)".
// Without it, or for a cause Detail has no words for, the message is "Data error: PATH".
// Process-wide; the Linux command line sets it once before it mounts.
void SetDataErrorDetail(TvrnDataErrorDetail detail);

// Which of an item's open-handle counters a handle holds.
enum TvrnOpenCounter : std::uint8_t { ocRead = 1, ocWrite = 2, ocDelete = 4 };

// The context of one open handle, kept in DOKAN_FILE_INFO.Context.
struct TvrnDrivoContext {
  // The opened item: a file, a folder or the archive root.
  TComPtr<IvrnBaseItem> Item;
  // A set of TvrnOpenCounter bits: a file handle holds ocRead, a folder handle none.
  std::uint8_t Flags = 0;
};

// The progress sink handed to extraction; forwards to its thread.
class TvrnExtractProgress : public TInterfacedObject<IvrnProgress, IvrnFileProgress> {
 public:
  explicit TvrnExtractProgress(TvrnDrivoArchiveThread* owner) : FOwner(owner) {}
  // Records the latest amounts on the owning thread.
  void Progress(std::uint64_t completed, std::uint64_t total) override;
  // Wakes the reads that wait for File.
  void FileDone(IvrnFile* file) override;

 private:
  // Not counted: the thread outlives every extraction.
  TvrnDrivoArchiveThread* FOwner;
};

// CRC-32 (ISO-HDLC: reflected 0xEDB88320, initial 0xFFFFFFFF, final complement) with the
// engine's IHasher interface; it computes the volume serial.
class Tqev7zCRC32Hasher : public TInterfacedObject<IHasher> {
 public:
  // Starts a new sum.
  void STDMETHODCALLTYPE Init() override;
  // Adds Size bytes at Data to the sum.
  void STDMETHODCALLTYPE Update(const void* data, UInt32 size) override;
  // Writes the sum as 4 little-endian bytes at Digest; the running sum stays.
  void STDMETHODCALLTYPE Final(Byte* digest) override;
  // The digest is 4 bytes.
  UInt32 STDMETHODCALLTYPE GetDigestSize() override { return 4; }

 private:
  // The running sum, before the final complement.
  std::uint32_t FCRC = 0xFFFFFFFF;
};

// The volume label of an archive: its file name without folder and last extension
// ("D:\media\holiday.photos.7z" gives "holiday.photos").
UString ArchiveVolumeLabel(const UString& archiveFileName);
// The volume serial of an archive: CRC-32 of the name exactly as typed, as UTF-16LE
// bytes without a terminator.
DWORD ArchiveVolumeSerial(const UString& archiveFileName);
// Where free space is asked for: on Windows the drive ("D:\") or network share
// ("\\server\share\") of the archive, "\" when the name has neither; on Linux the
// absolute folder that holds the archive.
UString ArchiveFreeSpaceRoot(const UString& archiveFileName);

class TvrnDrivoArchiveThread : public TvrnDrivoThread {
 public:
  // RequestedMountPoint is where the volume goes: a drive letter and ":\" on Windows,
  // a folder on Linux. Creates the mount's temporary file (raises EOSError when it
  // cannot). The owner starts the thread.
  TvrnDrivoArchiveThread(const UString& requestedMountPoint,
                         TvrnArchiveThread* archiveThread,
                         TvrnStoreKind storeKind);
  // Stops the extraction worker, then frees the contexts the library never closed,
  // without touching the item counters.
  ~TvrnDrivoArchiveThread() override;

  // Sets the stop flag that makes a running extraction give up, then unmounts as the
  // base does.
  void UnmountDrive() override;
  // The oldest queued message, removed; empty when there is none.
  UString TakeMessage();
  // The last reported progress; true while an extraction runs.
  bool GetProgress(std::uint64_t& completed, std::uint64_t& total);
  // How many engine passes (block extractions) reads of this mount have started.
  std::uint32_t ExtractionCount() const { return FExtractionCount.load(); }
  // How many read-ahead passes (files of their own, unpacked before a read asked for
  // them) the worker has started.
  std::uint32_t ReadAheadCount() const { return FReadAheadCount.load(); }

  // Called by TvrnExtractProgress during an extraction.
  void SetProgress(std::uint64_t completed, std::uint64_t total);
  // Called by TvrnExtractProgress when a pass has marked File.
  void FileDone(IvrnFile* file);

 protected:
  // Waits for the archive, prepares the volume and, when there is an archive, mounts it;
  // stops the extraction worker once the volume is gone.
  void Run() override;
  // Steps of Run before the mount: waits for the archive-open thread, takes its archive,
  // fixes the names and sets label, serial and free-space root. False when the archive
  // did not open, and nothing is to be mounted.
  bool PrepareVolume();
  // Mount point, write protection, mount manager and case-sensitive names.
  void FillOptions(DOKAN_OPTIONS& options) override;
  // The base table without the security entries, which the library then answers.
  void FillOperations(DOKAN_OPERATIONS& operations) override;

  // Free space of the disk that holds the archive; the base figures when it is unknown.
  NTSTATUS DoGetDiskFreeSpace(PULONGLONG freeBytesAvailable,
                              PULONGLONG totalNumberOfBytes,
                              PULONGLONG totalNumberOfFreeBytes,
                              PDOKAN_FILE_INFO info) override;
  // Looks the path up and opens a folder or a file for reading; every write, delete or
  // create is refused.
  NTSTATUS DoCreateFile(LPCWSTR fileName,
                        PDOKAN_IO_SECURITY_CONTEXT securityContext,
                        ACCESS_MASK desiredAccess,
                        ULONG fileAttributes,
                        ULONG shareAccess,
                        ULONG createDisposition,
                        ULONG createOptions,
                        PDOKAN_FILE_INFO info) override;
  // Nothing to do: the handle stays until CloseFile.
  void DoCleanup(LPCWSTR fileName, PDOKAN_FILE_INFO info) override;
  // Lowers the item's counters and frees the handle's context.
  void DoCloseFile(LPCWSTR fileName, PDOKAN_FILE_INFO info) override;
  // The opened item's record, with the volume serial and a stable file index.
  NTSTATUS DoGetFileInformation(LPCWSTR fileName,
                                LPBY_HANDLE_FILE_INFORMATION buffer,
                                PDOKAN_FILE_INFO info) override;
  // Lists the opened folder: subfolders first, then files, each in name order.
  NTSTATUS DoFindFiles(LPCWSTR pathName,
                       PFillFindData fillFindData,
                       PDOKAN_FILE_INFO info) override;
  // Reads from the file's store, extracting its block first when it is not yet.
  NTSTATUS DoReadFile(LPCWSTR fileName,
                      LPVOID buffer,
                      DWORD bufferLength,
                      LPDWORD readLength,
                      LONGLONG offset,
                      PDOKAN_FILE_INFO info) override;

  // The item at a volume path ("\" is the root); nil when there is none. The caller
  // holds FNameLock for reading.
  TComPtr<IvrnBaseItem> FindPath(const WCHAR* path);
  // Queues a message for the controller; an empty text is dropped.
  void AddMessage(const UString& text);

  // The mount's one temporary file, shared by every memory-and-temp-file store.
  TComPtr<IvrnData> FTempFile;
  // Where the volume is mounted: "X:\" on Windows, a folder on Linux.
  UString FRequestedMountPoint;
  // Where extracted data is held, as the user chose.
  TvrnStoreKind FStoreKind;
  // The archive-open thread; not owned, it outlives this thread's run.
  TvrnArchiveThread* FArchiveThread;
  // Where free space is asked for (ArchiveFreeSpaceRoot).
  UString FFreeSpaceRoot;
  // The opened archive's root; nil until PrepareVolume has taken it.
  TComPtr<IvrnArchive> FRoot;

 private:
  // Opens a folder or the root: listing and attribute access only, open-existing only.
  NTSTATUS OpenFolder(IvrnBaseItem* item,
                      ACCESS_MASK access,
                      DWORD disposition,
                      PDOKAN_FILE_INFO info);
  // Opens a file for reading, after the share check against the handles already open.
  NTSTATUS OpenFile(IvrnBaseItem* item,
                    ACCESS_MASK access,
                    DWORD disposition,
                    ULONG shareAccess,
                    PDOKAN_FILE_INFO info);
  // Creates a handle's context, keeps it in FContexts and Info, and raises the item's
  // counters named by Flags.
  void CreateContext(PDOKAN_FILE_INFO info, IvrnBaseItem* item, std::uint8_t flags);
  // The context of Info's handle; nil when there is none.
  static TvrnDrivoContext* GetContext(PDOKAN_FILE_INFO info);
  // Undoes CreateContext for Info's handle; does nothing without a context.
  void CloseContext(PDOKAN_FILE_INFO info);
  // Returns once File is extracted, or once a pass asked for it has ended without
  // reaching it: queues a pass for File's block unless File is extracted already, and
  // waits for File's own mark rather than for the end of that pass. A file outside any
  // block, with no other pass running or queued, is extracted on the calling thread.
  // The caller holds FItemLock for reading.
  void EnsureExtracted(IvrnFile* file);
  // The worker's body: one pass at a time, for the queued requests in their order, and
  // a read-ahead group when no request waits.
  void ExtractRequests();
  // Starts the worker unless it runs. The caller holds FPassLock.
  void StartWorker();
  // Queues the next group of small files of their own after archive entry Index (or
  // after the last group) for the worker, unless a group is in line already. The
  // caller holds FPassLock.
  void QueueReadAhead(std::int32_t index);
  // Drops the group in line, if any. The caller holds FPassLock.
  void DropQueuedReadAhead();
  // Gives up the read-ahead for a read that needs another file: drops the group in line
  // and waits, with PassLock (on FPassLock) held, until a running group has stopped.
  void DropReadAhead(std::unique_lock<std::mutex>& passLock);
  // The worker's pass over the group in line (RunEnginePass with its own stop flag).
  void RunReadAhead(std::unique_lock<std::mutex>& passLock);
  // One engine pass over File's block, with its count and the end of its progress. Called
  // with PassLock (on FPassLock) held; marks the pass running, lets the lock go while
  // the engine works, and takes it back to count the pass ended. The pass holds
  // FItemLock for reading: ItemsHeld says that the caller (a read) holds it already, so
  // it is not taken twice; the worker holds none. The caller wakes the waiters.
  void RunPass(std::unique_lock<std::mutex>& passLock, IvrnFile* file, bool itemsHeld);
  // What every pass does, RunPass's and the read-ahead's: one ExtractFiles of Files,
  // stopped by AbortFlag, with the pass marked running and FPassLock let go meanwhile.
  void RunEnginePass(std::unique_lock<std::mutex>& passLock,
                     const std::vector<IvrnFile*>& files,
                     bool itemsHeld,
                     TvrnAbortFlag abortFlag);
  // True when the running pass has little left to unpack by its last progress report,
  // or has reported none. The caller holds FPassLock.
  bool PassNearlyDone();
  // Sets the stop flag, lets the worker finish the queued requests without passes and
  // waits for it. Called once the volume is gone; does nothing a second time.
  void StopExtraction();
  // Marks the end of an extraction for GetProgress.
  void ClearProgress();

  // This thread's progress sink, handed to every extraction.
  TComPtr<IvrnProgress> FProgress;
  // The contexts of all open handles, owned. Guarded by FContextLock.
  std::unordered_map<TvrnDrivoContext*, std::unique_ptr<TvrnDrivoContext>> FContexts;
  // Guards FContexts. Innermost of FNameLock -> FOpenCountLock -> FContextLock.
  TCriticalSection FContextLock;
  // The extraction worker, started by the first read that queues a pass. Passes run one
  // at a time, on it or on a read's own thread, and a block's pass goes on to the end of
  // the block after the read that asked for it has returned.
  std::thread FExtractThread;
  // Guards the requests and the pass state below. Taken under FItemLock by reads, and
  // alone by the worker.
  std::mutex FPassLock;
  // Signalled when a request is queued, a waited-for file is marked, a pass ends or a
  // request is done.
  std::condition_variable FPassChanged;
  // Files whose reads asked for a pass, oldest first.
  std::deque<TComPtr<IvrnFile>> FRequests;
  // Requests queued and requests done since the mount; a read's ticket is the value of
  // FRequestsQueued after its own.
  std::uint64_t FRequestsQueued = 0;
  std::uint64_t FRequestsDone = 0;
  // Passes ended since the mount, and whether one is running (on the worker or on a
  // read's thread).
  std::uint64_t FPassesEnded = 0;
  bool FPassRunning = false;
  // Set by StopExtraction: no pass starts any more, and the worker ends once the queue
  // is empty.
  bool FWorkerQuit = false;
  // The files reads are waiting for, with the number of reads waiting for each.
  std::unordered_map<IvrnFile*, int> FWaitedFiles;
  // The read-ahead (QueueReadAhead): the group in line for the worker, the files of
  // that group and of the one running, whether one runs, its stop flag (set by
  // DropReadAhead and StopExtraction), the archive entry after the last one looked at,
  // and the entry of the last file of its own that a read extracted itself.
  std::vector<TComPtr<IvrnFile>> FAheadQueued;
  std::unordered_set<IvrnFile*> FAheadFiles;
  bool FAheadRunning = false;
  std::atomic<bool> FAheadAbort{false};
  std::int32_t FAheadEnd = 0;
  std::int32_t FLastAloneIndex = -1;
  // A read of an extracted file of its own at this entry or later queues the next
  // group; read without FPassLock.
  std::atomic<std::int32_t> FAheadTrigger{INT32_MAX};
  // Guards the items' open-handle counters: a share check with the increments it leads
  // to, and every decrement. Taken under FNameLock (opens) or alone (closes); only
  // FContextLock is taken inside it.
  TCriticalSection FOpenCountLock;
  // Pending messages, oldest first. Guarded by FMessageLock.
  std::deque<UString> FMessages;
  // Guards FMessages. Taken with no other lock held.
  TCriticalSection FMessageLock;
  // An extraction has reported and not yet ended. Guarded by FProgressLock.
  bool FProgressActive = false;
  // The last reported amounts. Guarded by FProgressLock.
  std::uint64_t FProgressCompleted = 0;
  std::uint64_t FProgressTotal = 0;
  // Guards the three progress fields. Innermost: taken inside FPassLock, or alone.
  TCriticalSection FProgressLock;
  // Engine passes started by reads.
  std::atomic<std::uint32_t> FExtractionCount{0};
  // Read-ahead passes started by the worker.
  std::atomic<std::uint32_t> FReadAheadCount{0};
};
