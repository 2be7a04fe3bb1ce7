// Files on Windows: CreateFileW handles, positioned reads and writes through OVERLAPPED
// offsets, and the delete-on-close temporary file.
//
// A positioned read or write on these (synchronous) handles also moves the handle's own
// position, unlike pread/pwrite on Linux; FileRead after FileReadAt continues from where
// the positioned read ended.
#include "platform/vrnCom.h"
#include "platform/vrnErrors.h"
#include "platform/vrnFiles.h"

TFileHandle::TNative TFileHandle::Invalid() {
  return INVALID_HANDLE_VALUE;
}

void TFileHandle::Close() {
  if (IsValid()) {
    ::CloseHandle(std::exchange(FNative, Invalid()));
  }
}

TFileHandle OpenFileDenyWrite(const UString& fileName) {
  HANDLE handle =
      ::CreateFileW(reinterpret_cast<const wchar_t*>(fileName.c_str()), GENERIC_READ,
                    FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    RaiseLastOSError();
  }
  return TFileHandle(handle);
}

UString GetTempFolder() {
  // GetTempPathW answers the size it needs, with the zero, when the buffer is too small.
  UString folder(MAX_PATH + 1, u'\0');
  for (;;) {
    DWORD length = ::GetTempPathW(static_cast<DWORD>(folder.size()),
                                  reinterpret_cast<wchar_t*>(folder.data()));
    if (length == 0) {
      RaiseLastOSError();
    }
    if (length < folder.size()) {
      folder.resize(length);
      return folder;
    }
    folder.resize(length);
  }
}

TFileHandle CreateTempFile() {
  UString name = GetTempFolder() + GuidToString(CreateGuid());
  HANDLE handle = ::CreateFileW(reinterpret_cast<const wchar_t*>(name.c_str()),
                                GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    RaiseLastOSError();
  }
  return TFileHandle(handle);
}

namespace {

OVERLAPPED OffsetOverlapped(std::uint64_t offset) {
  OVERLAPPED overlapped{};
  overlapped.Offset = static_cast<DWORD>(offset);
  overlapped.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return overlapped;
}

}  // namespace

std::uint32_t FileReadAt(const TFileHandle& file,
                         void* buffer,
                         std::uint32_t count,
                         std::uint64_t offset) {
  OVERLAPPED overlapped = OffsetOverlapped(offset);
  DWORD done = 0;
  if (!::ReadFile(file.Native(), buffer, count, &done, &overlapped)) {
    DWORD error = ::GetLastError();
    if (error == ERROR_HANDLE_EOF) {
      return 0;
    }
    RaiseOSError(error);
  }
  return done;
}

std::uint32_t FileWriteAt(const TFileHandle& file,
                          const void* buffer,
                          std::uint32_t count,
                          std::uint64_t offset,
                          std::uint32_t* written) {
  OVERLAPPED overlapped = OffsetOverlapped(offset);
  DWORD done = 0;
  BOOL ok = ::WriteFile(file.Native(), buffer, count, &done, &overlapped);
  if (written != nullptr) {
    *written = done;  // a failed write may still have written part of the buffer
  }
  if (!ok) {
    RaiseLastOSError();
  }
  return done;
}

std::uint32_t FileRead(const TFileHandle& file, void* buffer, std::uint32_t count) {
  DWORD done = 0;
  if (!::ReadFile(file.Native(), buffer, count, &done, nullptr)) {
    RaiseLastOSError();
  }
  return done;
}

std::uint64_t FileSeek(const TFileHandle& file, std::int64_t offset, std::uint32_t origin) {
  LARGE_INTEGER distance;
  distance.QuadPart = offset;
  LARGE_INTEGER position;
  if (!::SetFilePointerEx(file.Native(), distance, &position, origin)) {
    RaiseLastOSError();
  }
  return static_cast<std::uint64_t>(position.QuadPart);
}

std::uint64_t FileGetSize(const TFileHandle& file) {
  LARGE_INTEGER size;
  if (!::GetFileSizeEx(file.Native(), &size)) {
    RaiseLastOSError();
  }
  return static_cast<std::uint64_t>(size.QuadPart);
}

FILETIME FileGetTime(const TFileHandle& file) {
  FILETIME written{};
  if (!::GetFileTime(file.Native(), nullptr, nullptr, &written)) {
    return FILETIME{};
  }
  return written;
}

bool QueryFileFreeSpace(const TFileHandle&, std::uint64_t*) {
  return false;  // not needed here: the Windows program sets no free margin
}

bool QueryDiskFreeSpace(const UString& path,
                        std::uint64_t* freeBytesAvailable,
                        std::uint64_t* totalBytes,
                        std::uint64_t* totalFreeBytes) {
  ULARGE_INTEGER available, total, free;
  if (!::GetDiskFreeSpaceExW(reinterpret_cast<const wchar_t*>(path.c_str()), &available, &total,
                             &free)) {
    return false;
  }
  if (freeBytesAvailable != nullptr) {
    *freeBytesAvailable = available.QuadPart;
  }
  if (totalBytes != nullptr) {
    *totalBytes = total.QuadPart;
  }
  if (totalFreeBytes != nullptr) {
    *totalFreeBytes = free.QuadPart;
  }
  return true;
}

UString GetProgramFolder() {
  // GetModuleFileNameW cuts the path to the buffer without saying how long it is.
  UString path(MAX_PATH, u'\0');
  for (;;) {
    DWORD length = ::GetModuleFileNameW(nullptr, reinterpret_cast<wchar_t*>(path.data()),
                                        static_cast<DWORD>(path.size()));
    if (length < path.size()) {
      path.resize(length);
      break;
    }
    path.resize(path.size() * 2);
  }
  return path.substr(0, path.find_last_of(u"\\/") + 1);
}
