// Stores of extracted bytes: the mount's temporary file, the whole-file memory store and
// the memory-and-temp-file store, and the rule that picks a file's store.
//
// Write, ReadAt and WriteAt are called from the 7-Zip engine and the file-system
// library's threads, so no exception leaves them: failures of the temporary file become
// NTSTATUS values (through DokanNtStatusFromWin32) or HRESULTs here.
#include "vfs/vrnData.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <new>

#include "platform/vrnErrors.h"
#include "vfs/dokan2.h"

namespace {

// HRESULT_FROM_WIN32(ERROR_DISK_FULL): what a store's Write answers when the temporary
// file cannot grow.
constexpr HRESULT kDiskFullResult = static_cast<HRESULT>(0x80070000u | ERROR_DISK_FULL);

// The limits, and the memory counted against MaxMemory.
std::atomic<std::uint64_t> gMaxMemory{UINT64_MAX};
std::atomic<std::uint64_t> gMaxTemp{UINT64_MAX};
std::atomic<std::uint64_t> gFreeMargin{0};
std::atomic<std::uint64_t> gMemoryInUse{0};

// Counts Size bytes against the memory limit; false, counting nothing, when they do not
// fit.
bool ReserveMemory(std::uint64_t size) {
  const std::uint64_t limit = gMaxMemory.load(std::memory_order_relaxed);
  std::uint64_t used = gMemoryInUse.load(std::memory_order_relaxed);
  do {
    if (size > limit || used > limit - size) {
      return false;
    }
  } while (!gMemoryInUse.compare_exchange_weak(used, used + size, std::memory_order_relaxed));
  return true;
}

void ReleaseMemory(std::uint64_t size) {
  gMemoryInUse.fetch_sub(size, std::memory_order_relaxed);
}

// Holds a store's lock for one scope.
class TStoreLock {
 public:
  explicit TStoreLock(IvrnData& store) : FStore(store) { FStore.Lock(); }
  TStoreLock(const TStoreLock&) = delete;
  TStoreLock& operator=(const TStoreLock&) = delete;
  ~TStoreLock() { FStore.Unlock(); }

 private:
  IvrnData& FStore;
};

// Runs Step, which answers an NTSTATUS, and turns what it raises into one; the
// temporary file's failures reach no caller as exceptions.
template <typename Step>
NTSTATUS Guarded(Step step) noexcept {
  try {
    return step();
  } catch (const EOSError& e) {
    // A code of 0 would map to success: a failed transfer must never report that.
    return e.ErrorCode() != ERROR_SUCCESS ? DokanNtStatusFromWin32(e.ErrorCode())
                                          : STATUS_UNSUCCESSFUL;
  } catch (const std::bad_alloc&) {
    return STATUS_NO_MEMORY;
  } catch (...) {
    return STATUS_UNSUCCESSFUL;
  }
}

// Runs one positioned transfer of the temporary file (the caller holds its lock); Done
// receives what Transfer returns, or, when it fails, what Transfer left in it (0 unless
// it counts there as it goes).
template <typename Transfer>
NTSTATUS GuardedTransfer(std::uint32_t& done, Transfer transfer) noexcept {
  done = 0;
  return Guarded([&] {
    done = transfer();
    return STATUS_SUCCESS;
  });
}

// A block of Size bytes, left uninitialised. Throws EOutOfMemory.
std::unique_ptr<std::uint8_t[]> AllocateBlock(std::uint32_t size) {
  std::unique_ptr<std::uint8_t[]> block(new (std::nothrow) std::uint8_t[size]);
  if (block == nullptr) {
    throw EOutOfMemory();
  }
  return block;
}

// A new temporary file; the error names the folder it could not be made in, which the
// system's text alone does not ("Read-only file system").
TFileHandle CreateMountTempFile() {
  try {
    return CreateTempFile();
  } catch (const EOSError& e) {
    throw EOSError(e.ErrorCode(),
                   u"Cannot create a temporary file in \"" + GetTempFolder() + u"\". " + e.Message());
  }
}

}  // namespace

void SetStoreLimits(const TvrnStoreLimits& limits) {
  gMaxMemory.store(limits.MaxMemory);
  gMaxTemp.store(limits.MaxTemp);
  gFreeMargin.store(limits.FreeMargin);
}

TvrnStoreLimits GetStoreLimits() {
  return TvrnStoreLimits{gMaxMemory.load(), gMaxTemp.load(), gFreeMargin.load()};
}

std::uint64_t StoreMemoryInUse() {
  return gMemoryInUse.load();
}

// TvrnTempFile

TvrnTempFile::TvrnTempFile() : FHandle(CreateMountTempFile()) {}

void TvrnTempFile::Lock() {
  FLock.lock();
}

void TvrnTempFile::Unlock() {
  FLock.unlock();
}

std::uint64_t TvrnTempFile::GetSize() {
  std::lock_guard<TCriticalSection> hold(FLock);
  return End();
}

std::uint64_t TvrnTempFile::End() {
  return FPending.empty() ? FileGetSize(FHandle) : FPendingOffset + FPending.size();
}

NTSTATUS TvrnTempFile::CheckRoom(std::uint64_t count) noexcept {
  // The free margin is looked at as bytes go to the disk: the growth may not take it
  // below the margin. (A disk that others fill meanwhile still fails the write itself.)
  const std::uint64_t margin = gFreeMargin.load();
  std::uint64_t available = 0;
  if (margin == 0 || !QueryFileFreeSpace(FHandle, &available) || available >= margin + count) {
    return STATUS_SUCCESS;
  }
  return kStatusTempLimit;
}

NTSTATUS TvrnTempFile::FlushPending() noexcept {
  std::uint32_t done = 0;
  NTSTATUS status = FPending.empty() ? STATUS_SUCCESS : CheckRoom(FPending.size());
  while (!FPending.empty() && status == STATUS_SUCCESS) {
    const auto count = static_cast<std::uint32_t>(FPending.size());
    status = GuardedTransfer(done, [&] {
      return FileWriteAt(FHandle, FPending.data(), count, FPendingOffset, &done);
    });
    done = std::min(done, count);
    FPending.erase(FPending.begin(), FPending.begin() + done);
    FPendingOffset += done;
    if (status == STATUS_SUCCESS && done == 0) {
      status = STATUS_DISK_FULL;  // the system took nothing
    }
  }
  return status;
}

NTSTATUS TvrnTempFile::ReadAt(void* buffer,
                              std::uint64_t offset,
                              std::uint32_t count,
                              std::uint32_t& done) noexcept {
  if (count == 0) {
    return STATUS_SUCCESS;
  }
  done = 0;
  return Guarded([&] {
    std::lock_guard<TCriticalSection> hold(FLock);
    auto* target = static_cast<std::uint8_t*>(buffer);
    // What lies before the pending bytes is in the file.
    if (FPending.empty() || offset < FPendingOffset) {
      const std::uint32_t before =
          FPending.empty() ? count
                           : static_cast<std::uint32_t>(
                                 std::min<std::uint64_t>(count, FPendingOffset - offset));
      NTSTATUS status =
          GuardedTransfer(done, [&] { return FileReadAt(FHandle, target, before, offset); });
      if (status != STATUS_SUCCESS || done < before || done == count) {
        return status;
      }
    }
    const std::uint64_t at = offset + done;
    const std::uint64_t pendingEnd = FPendingOffset + FPending.size();
    if (at >= FPendingOffset && at < pendingEnd) {
      const auto n =
          static_cast<std::uint32_t>(std::min<std::uint64_t>(count - done, pendingEnd - at));
      std::memcpy(target + done, FPending.data() + (at - FPendingOffset), n);
      done += n;
    }
    return NTSTATUS(STATUS_SUCCESS);
  });
}

NTSTATUS TvrnTempFile::WriteAt(const void* buffer,
                               std::uint64_t offset,
                               std::uint32_t count,
                               std::uint32_t& done) noexcept {
  if (count == 0) {
    return STATUS_SUCCESS;
  }
  done = 0;
  if (offset > gMaxTemp.load() || count > gMaxTemp.load() - offset) {
    return kStatusTempLimit;
  }
  return Guarded([&] {
    std::lock_guard<TCriticalSection> hold(FLock);
    const std::uint64_t end = End();
    const auto* source = static_cast<const std::uint8_t*>(buffer);
    if (offset == end && count < kTempFilePending) {
      if (FPending.size() + count > kTempFilePending) {
        if (NTSTATUS status = FlushPending(); status != STATUS_SUCCESS) {
          return status;
        }
      }
      if (FPending.empty()) {
        FPending.reserve(kTempFilePending);
        FPendingOffset = offset;
      }
      FPending.insert(FPending.end(), source, source + count);
      done = count;
      return STATUS_SUCCESS;
    }
    // Anything else goes to the file at once, after the pending bytes, which must not
    // overwrite it later.
    if (NTSTATUS status = FlushPending(); status != STATUS_SUCCESS) {
      return status;
    }
    if (offset + count > end) {
      if (NTSTATUS status = CheckRoom(offset + count - end); status != STATUS_SUCCESS) {
        return status;
      }
    }
    // A write that fails part-way still reports the bytes that reached the file.
    return GuardedTransfer(done,
                           [&] { return FileWriteAt(FHandle, buffer, count, offset, &done); });
  });
}

// TvrnMemoryData

TvrnMemoryData::TvrnMemoryData(std::uint32_t size) {
  if (!ReserveMemory(size)) {
    throw EOutOfMemory();
  }
  try {
    FMemory = AllocateBlock(size);
  } catch (...) {
    ReleaseMemory(size);
    throw;
  }
  FWritePos = FMemory.get();
  FRemaining = size;
}

TvrnMemoryData::~TvrnMemoryData() {
  ReleaseMemory(FSize + FRemaining);
}

HRESULT STDMETHODCALLTYPE TvrnMemoryData::Write(const void* data,
                                                UInt32 size,
                                                UInt32* processedSize) noexcept {
  if (processedSize != nullptr) {
    *processedSize = 0;
  }
  if (size == 0) {
    return S_OK;
  }
  std::uint32_t n = std::min(size, FRemaining);
  if (n == 0) {
    return E_FAIL;
  }
  std::memcpy(FWritePos, data, n);
  FWritePos += n;
  FRemaining -= n;
  FSize += n;
  if (processedSize != nullptr) {
    *processedSize = n;
  }
  return S_OK;
}

NTSTATUS TvrnMemoryData::ReadAt(void* buffer,
                                std::uint64_t offset,
                                std::uint32_t count,
                                std::uint32_t& done) noexcept {
  done = 0;
  if (count == 0 || offset >= FSize) {
    return STATUS_SUCCESS;
  }
  std::uint32_t n = static_cast<std::uint32_t>(std::min<std::uint64_t>(count, FSize - offset));
  std::memcpy(buffer, FMemory.get() + offset, n);
  done = n;
  return STATUS_SUCCESS;
}

NTSTATUS TvrnMemoryData::WriteAt(const void*,
                                 std::uint64_t,
                                 std::uint32_t,
                                 std::uint32_t& done) noexcept {
  done = 0;
  return STATUS_DATA_ERROR;
}

// TvrnMemoryAndTempFileData

TvrnMemoryAndTempFileData::TvrnMemoryAndTempFileData(std::uint64_t size,
                                                     TComPtr<IvrnData> tempFile,
                                                     std::int32_t threshold)
    : FTempFile(std::move(tempFile)) {
  if (!FTempFile) {
    throw EInvalidPointer();
  }
  // A negative threshold means no memory part, not a huge one.
  std::uint64_t limit = threshold > 0 ? static_cast<std::uint64_t>(threshold) : 0;
  std::uint32_t memorySize = static_cast<std::uint32_t>(std::min(size, limit));
  // Without room under the memory limit the whole file goes to the temporary file.
  if (memorySize > 0 && ReserveMemory(memorySize)) {
    try {
      FMemory = AllocateBlock(memorySize);
    } catch (...) {
      ReleaseMemory(memorySize);
      throw;
    }
    FMemorySize = memorySize;
  }
}

TvrnMemoryAndTempFileData::~TvrnMemoryAndTempFileData() {
  ReleaseMemory(FMemorySize);
}

HRESULT STDMETHODCALLTYPE TvrnMemoryAndTempFileData::Write(const void* data,
                                                           UInt32 size,
                                                           UInt32* processedSize) noexcept {
  if (processedSize != nullptr) {
    *processedSize = 0;
  }
  const auto* source = static_cast<const std::uint8_t*>(data);
  std::uint32_t processed = 0;
  if (size > 0 && FSize < FMemorySize) {
    auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(FMemorySize - FSize, size));
    std::memcpy(FMemory.get() + FSize, source, n);
    FSize += n;
    processed += n;
    size -= n;
    source += n;
  }
  HRESULT result = S_OK;
  if (size > 0) {
    try {
      // Placing the region and filling it under one hold keeps regions from overlapping.
      TStoreLock hold(*FTempFile);
      if (!FRegionPlaced) {
        FTempBase = FTempFile->GetSize();
        FRegionPlaced = true;
      }
      while (size > 0) {
        std::uint32_t written = 0;
        NTSTATUS status =
            FTempFile->WriteAt(source, FTempBase + (FSize - FMemorySize), size, written);
        // Bytes that reached the file count even when the write then failed.
        written = std::min(written, size);
        FSize += written;
        processed += written;
        size -= written;
        source += written;
        if (status != STATUS_SUCCESS || written == 0) {
          // A full disk and the file's limit keep their codes, so that extraction can say
          // why it failed.
          result = status == STATUS_DISK_FULL ? kDiskFullResult
                   : status == kStatusTempLimit ? kTempLimitResult
                                                : E_FAIL;
          break;
        }
      }
    } catch (const std::bad_alloc&) {
      result = E_OUTOFMEMORY;
    } catch (...) {
      result = E_FAIL;
    }
  }
  if (processedSize != nullptr) {
    *processedSize = processed;
  }
  return result;
}

NTSTATUS TvrnMemoryAndTempFileData::ReadAt(void* buffer,
                                           std::uint64_t offset,
                                           std::uint32_t count,
                                           std::uint32_t& done) noexcept {
  done = 0;
  try {
    TStoreLock hold(*FTempFile);
    if (count == 0 || offset >= FSize) {
      return STATUS_SUCCESS;
    }
    count = static_cast<std::uint32_t>(std::min<std::uint64_t>(count, FSize - offset));
    auto* target = static_cast<std::uint8_t*>(buffer);
    if (offset < FMemorySize) {
      auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(FMemorySize - offset, count));
      std::memcpy(target, FMemory.get() + offset, n);
      done = n;
      count -= n;
      if (count == 0) {
        return STATUS_SUCCESS;
      }
      target += n;
      offset += n;
    }
    std::uint32_t n = 0;
    NTSTATUS result = FTempFile->ReadAt(target, FTempBase + (offset - FMemorySize), count, n);
    if (result == STATUS_SUCCESS) {
      done += n;
    }
    return result;
  } catch (...) {
    return STATUS_UNSUCCESSFUL;
  }
}

NTSTATUS TvrnMemoryAndTempFileData::WriteAt(const void*,
                                            std::uint64_t,
                                            std::uint32_t,
                                            std::uint32_t& done) noexcept {
  done = 0;
  return STATUS_NOT_IMPLEMENTED;
}

// The choice of a file's store

TComPtr<IvrnData> CreateFileStore(std::uint64_t size,
                                  TvrnStoreKind kind,
                                  const TComPtr<IvrnData>& tempFile) {
  if (kind == skMemory && size <= kMemoryStoreLimit) {
    try {
      return MakeCounted<TvrnMemoryData>(static_cast<std::uint32_t>(size));
    } catch (const EOutOfMemory&) {
      // A block this large may not be available; the file then keeps only its head in
      // memory, and the user is not told.
    } catch (const std::bad_alloc&) {
      // Nor the store object itself: the same way out.
    }
  }
  std::int32_t threshold = kind == skMemoryAndTempFile ? kMemoryAndTempFileThreshold
                           : kind == skDisk            ? 0
                                                       : kTempFileThreshold;
  return MakeCounted<TvrnMemoryAndTempFileData>(size, tempFile, threshold);
}
