// Files as the core needs them: the archive opened deny-write, positioned reads and
// writes, the delete-on-close temporary file, the temporary folder and free space.
//
// Windows uses CreateFileW handles. Linux uses file descriptors; the "deny write"
// share mode has no equivalent there and the file is simply opened read-only, and the
// temporary file is created 0600 and unlinked at once, so nothing is left behind
// whatever way the process ends.
#pragma once

#include <cstdint>
#include <utility>

#include "platform/vrnStrings.h"
#include "platform/vrnWinTypes.h"

// A move-only owner of an open file: a HANDLE on Windows, a descriptor on Linux.
class TFileHandle {
 public:
#if defined(_WIN32)
  using TNative = HANDLE;
#else
  using TNative = int;
#endif
  TFileHandle() = default;
  explicit TFileHandle(TNative native) : FNative(native) {}
  TFileHandle(TFileHandle&& other) noexcept : FNative(std::exchange(other.FNative, Invalid())) {}
  TFileHandle& operator=(TFileHandle&& other) noexcept {
    if (this != &other) {
      Close();
      FNative = std::exchange(other.FNative, Invalid());
    }
    return *this;
  }
  TFileHandle(const TFileHandle&) = delete;
  TFileHandle& operator=(const TFileHandle&) = delete;
  ~TFileHandle() {
    Close();
  }

  // The value that marks no file (INVALID_HANDLE_VALUE or -1).
  static TNative Invalid();
  bool IsValid() const {
    return FNative != Invalid();
  }
  TNative Native() const {
    return FNative;
  }
  // Closes the file, if open.
  void Close();

 private:
  TNative FNative = Invalid();
};

// Opens an existing file for reading, refusing writers while it is open (Windows).
// Throws EOSError.
TFileHandle OpenFileDenyWrite(const UString& fileName);
// Creates the delete-on-close temporary file: the temporary folder plus a new braced
// GUID, read and write, exclusive. Throws EOSError.
TFileHandle CreateTempFile();
// The user's temporary folder, ending with a path separator. Throws EOSError.
UString GetTempFolder();

// Positioned transfers. On Windows they also move the handle's own position, on Linux
// they leave it alone: do not mix them with FileRead/FileSeek on one handle.
//
// Reads up to Count bytes at Offset; returns the bytes read (0 at the end). Throws EOSError.
std::uint32_t FileReadAt(const TFileHandle& file,
                         void* buffer,
                         std::uint32_t count,
                         std::uint64_t offset);
// Writes up to Count bytes at Offset; returns the bytes written. Throws EOSError; Written,
// when given, holds the bytes written before the failure too.
std::uint32_t FileWriteAt(const TFileHandle& file,
                          const void* buffer,
                          std::uint32_t count,
                          std::uint64_t offset,
                          std::uint32_t* written = nullptr);
// Reads up to Count bytes at the file's own position and advances it. Throws EOSError.
std::uint32_t FileRead(const TFileHandle& file, void* buffer, std::uint32_t count);
// Moves the file's own position (Origin 0 begin, 1 current, 2 end); returns the new
// position. Throws EOSError.
std::uint64_t FileSeek(const TFileHandle& file, std::int64_t offset, std::uint32_t origin);
// The file's size in bytes. Throws EOSError.
std::uint64_t FileGetSize(const TFileHandle& file);
// The file's last write time; zero when it cannot be read.
FILETIME FileGetTime(const TFileHandle& file);

// A seekable read stream over an open file, using the handle's own position.
class TFileStream {
 public:
  explicit TFileStream(TFileHandle handle) : FHandle(std::move(handle)) {}
  // Reads up to Count bytes at the position and advances it; returns the bytes read.
  std::uint32_t Read(void* buffer, std::uint32_t count) { return FileRead(FHandle, buffer, count); }
  // Reads exactly Count bytes; raises "Stream read error" when the file ends first.
  void ReadBuffer(void* buffer, std::uint32_t count);
  // Moves the position (origin 0 begin, 1 current, 2 end); returns the new position.
  std::uint64_t Seek(std::int64_t offset, std::uint32_t origin) {
    return FileSeek(FHandle, offset, origin);
  }
  std::uint64_t Position() { return FileSeek(FHandle, 0, 1); }
  std::uint64_t Size() { return FileGetSize(FHandle); }
  const TFileHandle& Handle() const { return FHandle; }

 private:
  TFileHandle FHandle;
};

// Free and total space of the volume that holds Path; false when the query fails.
bool QueryDiskFreeSpace(const UString& path,
                        std::uint64_t* freeBytesAvailable,
                        std::uint64_t* totalBytes,
                        std::uint64_t* totalFreeBytes);
// Free space, for an unprivileged user, of the volume that holds the open File; false
// when the query fails or the platform cannot tell (Windows).
bool QueryFileFreeSpace(const TFileHandle& file, std::uint64_t* freeBytesAvailable);
// The folder that holds the running program, ending with a path separator.
UString GetProgramFolder();
