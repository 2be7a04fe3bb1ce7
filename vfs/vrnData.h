// Stores of extracted bytes.
//
// The engine writes each file's data once, front to back, through the store's
// ISequentialOutStream while its block is extracted; afterwards the file system reads
// any part of it any number of times through IvrnData. TvrnTempFile is the mount's one
// temporary file, the overflow area of every memory-and-temp-file store; TvrnMemoryData
// holds a whole file in one block; TvrnMemoryAndTempFileData keeps the head of a file in
// memory and the rest in its own region of the temporary file.
//
// TvrnStoreLimits bound what the stores of a process take: memory held in memory blocks
// at once (beyond it, files keep no bytes in memory), and the size of the temporary file
// and the free space it leaves on its disk (beyond them, writes fail and the reads that
// need those files fail with the cause). Without limits set, only allocation failures and
// the disk itself bound them, as the Windows program has it.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "engine/qev7zUtils.h"
#include "platform/vrnCom.h"
#include "platform/vrnFiles.h"
#include "platform/vrnThread.h"
#include "platform/vrnWinTypes.h"

// Where the user chose to hold extracted data; the index of the window's list entry.
enum TvrnStoreKind : std::uint8_t {
  skTempFile = 0,           // "Temp file"
  skMemoryAndTempFile = 1,  // "Memory and temp file"
  skMemory = 2,             // "Memory"
  // Every byte in the mount's temporary file, none in the process's memory: the
  // kernel's page cache does the caching. The Linux default; the window does not offer it.
  skDisk = 3,
};

// The bounds of TvrnStoreLimits; the defaults bound nothing.
struct TvrnStoreLimits {
  // The memory that memory blocks of stores may hold at once, in bytes.
  std::uint64_t MaxMemory = UINT64_MAX;
  // The largest size of a mount's temporary file, in bytes.
  std::uint64_t MaxTemp = UINT64_MAX;
  // The free space a temporary file's growth leaves on its disk, in bytes.
  std::uint64_t FreeMargin = 0;
};
// Sets the limits of the stores made from now on, and of every temporary file's later
// growth. Process-wide; the Linux command line sets them once before it mounts.
void SetStoreLimits(const TvrnStoreLimits& limits);
TvrnStoreLimits GetStoreLimits();
// The bytes memory blocks of stores hold now, counted against MaxMemory.
std::uint64_t StoreMemoryInUse();

// What a temporary-file write answers when the file would pass MaxTemp or eat into the
// free margin (STATUS_FILE_TOO_LARGE), and what a store's Write then tells the engine
// (HRESULT_FROM_WIN32(ERROR_FILE_TOO_LARGE)).
inline constexpr NTSTATUS kStatusTempLimit = static_cast<NTSTATUS>(0xC0000904L);
inline constexpr HRESULT kTempLimitResult = static_cast<HRESULT>(0x800700DFL);

// A store of extracted bytes, read and written at explicit offsets.
struct IvrnData : IUnknown {
  // Takes the store's lock (re-entrant); only the temporary file has one.
  virtual void Lock() = 0;
  // Releases the store's lock.
  virtual void Unlock() = 0;
  // The number of bytes the store holds.
  virtual std::uint64_t GetSize() = 0;
  // Copies up to Count bytes at Offset into Buffer; Done receives the bytes copied (0 at
  // or beyond the end). STATUS_SUCCESS, or the status of a failed file read.
  virtual NTSTATUS ReadAt(void* buffer,
                          std::uint64_t offset,
                          std::uint32_t count,
                          std::uint32_t& done) = 0;
  // Writes Count bytes at Offset (the temporary file only).
  virtual NTSTATUS WriteAt(const void* buffer,
                           std::uint64_t offset,
                           std::uint32_t count,
                           std::uint32_t& done) = 0;
};
VRN_DECLARE_IID(
    IvrnData,
    (GUID{0xECA980CC, 0x6003, 0x4AAA, {0xB1, 0x3A, 0x63, 0xDF, 0xF5, 0x02, 0x0E, 0xBD}}));

// A store that holds a whole file in one memory block.
struct IvrnMemoryData : IvrnData {
  // The address of the store's memory block.
  virtual const std::uint8_t* GetMemory() = 0;
};
VRN_DECLARE_IID_EXTENDS(
    IvrnMemoryData,
    IvrnData,
    (GUID{0x05D11361, 0xAD96, 0x4C4A, {0x84, 0x2C, 0x99, 0x9A, 0x44, 0xB9, 0x3D, 0xD0}}));

// The largest file that the "Memory" choice holds wholly in memory (64 MiB).
inline constexpr std::uint64_t kMemoryStoreLimit = 0x4000000;
// The memory part of each file under "Memory and temp file" (10 MiB).
inline constexpr std::int32_t kMemoryAndTempFileThreshold = 0xA00000;
// The memory part of each file under "Temp file", and under "Memory" for a file that is
// too large or whose block could not be allocated (32 KiB).
inline constexpr std::int32_t kTempFileThreshold = 0x8000;

// The mount's one temporary file, read and written at explicit offsets: the overflow
// area of every memory-and-temp-file store of the mount. The system removes the file
// when the last reference closes it (Windows: delete-on-close; Linux: unlinked at once).
//
// Small writes at the file's end gather in a pending buffer of kTempFilePending bytes
// that goes to the file in one write, so that a block of many tiny files costs a system
// call per megabyte rather than per file; reads take pending bytes from the buffer. A
// write that cannot pass them to the file keeps them there, still readable, and fails.
class TvrnTempFile : public TInterfacedObject<IvrnData> {
 public:
  // Creates the file in the user's temporary folder under a new braced GUID.
  // Throws EOSError.
  TvrnTempFile();

  // Takes the file's lock; the same thread may take it again.
  void Lock() override;
  // Releases one hold of the file's lock.
  void Unlock() override;
  // The file's current end, pending bytes included. Throws EOSError.
  std::uint64_t GetSize() override;
  // A positioned read; Done may fall short of Count at the end of the file. Count 0
  // answers STATUS_SUCCESS without touching the file or Done.
  NTSTATUS ReadAt(void* buffer,
                  std::uint64_t offset,
                  std::uint32_t count,
                  std::uint32_t& done) noexcept override;
  // A positioned write, growing the file as needed. Count 0 answers STATUS_SUCCESS
  // without touching the file or Done.
  NTSTATUS WriteAt(const void* buffer,
                   std::uint64_t offset,
                   std::uint32_t count,
                   std::uint32_t& done) noexcept override;

 private:
  // The open file.
  TFileHandle FHandle;
  // Makes each size query and positioned transfer one step, and is the lock of
  // Lock/Unlock, which memory-and-temp-file stores hold across region placement and
  // their spill writes and across their reads. Innermost lock of a mount: it is taken
  // under the file system's locks and no other lock is taken while it is held.
  TCriticalSection FLock;
  // Bytes written at the end and not yet in the file, and the offset of the first one.
  // Guarded by FLock.
  std::vector<std::uint8_t> FPending;
  std::uint64_t FPendingOffset = 0;

  // Passes the pending bytes to the file; on failure keeps those it could not write.
  // The caller holds FLock.
  NTSTATUS FlushPending() noexcept;
  // Whether Count more bytes may go to the disk under the free margin: STATUS_SUCCESS or
  // kStatusTempLimit.
  NTSTATUS CheckRoom(std::uint64_t count) noexcept;
  // The end of the file with the pending bytes. The caller holds FLock. Throws EOSError.
  std::uint64_t End();
};

// How many bytes the temporary file gathers before it writes them (1 MiB); a larger
// write goes to the file at once.
inline constexpr std::size_t kTempFilePending = 1 << 20;

// A store that holds a whole file in one memory block of the size the archive
// announced; it refuses any byte beyond that.
class TvrnMemoryData : public TInterfacedObject<ISequentialOutStream, IvrnMemoryData> {
 public:
  // Allocates a block of Size bytes, counted against the memory limit. Throws
  // EOutOfMemory, also when the limit has no room for it.
  explicit TvrnMemoryData(std::uint32_t size);
  ~TvrnMemoryData() override;

  // Appends to the block: a write larger than the room left is accepted in part (S_OK,
  // ProcessedSize < Size); once the block is full a write answers E_FAIL.
  HRESULT STDMETHODCALLTYPE Write(const void* data,
                                  UInt32 size,
                                  UInt32* processedSize) noexcept override;

  // No lock: the store is written by one thread before any reader sees it.
  void Lock() override {}
  void Unlock() override {}
  // The bytes written so far.
  std::uint64_t GetSize() override { return FSize; }
  // Copies from the block; Done 0 at or beyond the end.
  NTSTATUS ReadAt(void* buffer,
                  std::uint64_t offset,
                  std::uint32_t count,
                  std::uint32_t& done) noexcept override;
  // Refuses: the store is filled only through Write. Answers STATUS_DATA_ERROR.
  NTSTATUS WriteAt(const void* buffer,
                   std::uint64_t offset,
                   std::uint32_t count,
                   std::uint32_t& done) noexcept override;
  // The address of the block.
  const std::uint8_t* GetMemory() override { return FMemory.get(); }

 private:
  // The block, allocated once with the size given at creation.
  std::unique_ptr<std::uint8_t[]> FMemory;
  // Bytes written so far.
  std::uint32_t FSize = 0;
  // Where the next written byte goes.
  std::uint8_t* FWritePos = nullptr;
  // Room left in the block.
  std::uint32_t FRemaining = 0;
};

// A store that keeps the head of a file (up to a threshold) in memory and the rest in
// its own contiguous region of the mount's temporary file, placed at the file's end
// when the store first overflows.
class TvrnMemoryAndTempFileData : public TInterfacedObject<ISequentialOutStream, IvrnData> {
 public:
  // Allocates a memory part of min(Size, Threshold) bytes (none for Size 0, a Threshold
  // of 0 or below, or when the memory limit has no room for it) and keeps a counted
  // reference to TempFile. Throws EOutOfMemory, or EInvalidPointer when TempFile is nil.
  TvrnMemoryAndTempFileData(std::uint64_t size, TComPtr<IvrnData> tempFile, std::int32_t threshold);
  ~TvrnMemoryAndTempFileData() override;

  // Appends: fills the memory part, then spills to the temporary file under its lock.
  // A failed or empty temporary-file write answers E_FAIL; the bytes written up to then
  // stay and are counted in ProcessedSize.
  HRESULT STDMETHODCALLTYPE Write(const void* data,
                                  UInt32 size,
                                  UInt32* processedSize) noexcept override;

  // No lock of its own: readers and spill writes use the temporary file's.
  void Lock() override {}
  void Unlock() override {}
  // The bytes written so far, memory part and temporary-file part together.
  std::uint64_t GetSize() override { return FSize; }
  // Copies from the memory part, then from the temporary file, all under the temporary
  // file's lock. A failed file read answers its status, with Done counting the bytes
  // copied from memory.
  NTSTATUS ReadAt(void* buffer,
                  std::uint64_t offset,
                  std::uint32_t count,
                  std::uint32_t& done) noexcept override;
  // Refuses: the store is filled only through Write. Answers STATUS_NOT_IMPLEMENTED.
  NTSTATUS WriteAt(const void* buffer,
                   std::uint64_t offset,
                   std::uint32_t count,
                   std::uint32_t& done) noexcept override;

 private:
  // Bytes written so far (memory part and temporary-file part together).
  std::uint64_t FSize = 0;
  // The memory part, or nil when it is empty.
  std::unique_ptr<std::uint8_t[]> FMemory;
  // Size of the memory part.
  std::uint32_t FMemorySize = 0;
  // The store's region in the temporary file has been placed.
  bool FRegionPlaced = false;
  // The mount's temporary file.
  TComPtr<IvrnData> FTempFile;
  // Offset in the temporary file at which this store's region begins.
  std::uint64_t FTempBase = 0;
};

// A new, empty store for a file of Size bytes (as the archive lists it) under the
// user's store kind. A file whose extraction is repeated gets a fresh store, so that
// what is read is the last writing alone. Throws EOutOfMemory or EInvalidPointer.
TComPtr<IvrnData> CreateFileStore(std::uint64_t size,
                                  TvrnStoreKind kind,
                                  const TComPtr<IvrnData>& tempFile);
