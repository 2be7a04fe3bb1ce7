#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "platform/vrnCom.h"
#include "platform/vrnErrors.h"
#include "platform/vrnFiles.h"
#include "platform/vrnTime.h"

TFileHandle::TNative TFileHandle::Invalid() {
  return -1;
}

void TFileHandle::Close() {
  if (IsValid()) {
    ::close(std::exchange(FNative, Invalid()));
  }
}

TFileHandle OpenFileDenyWrite(const UString& fileName) {
  int fd = ::open(ToUtf8(fileName).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    RaiseLastOSError();
  }
  struct stat info;
  if (::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
    ::close(fd);
    RaiseOSError(ERROR_ACCESS_DENIED);
  }
  return TFileHandle(fd);
}

UString GetTempFolder() {
  const char* folder = std::getenv("TMPDIR");
  std::string path = (folder != nullptr && *folder != 0) ? folder : "/tmp";
  if (path.back() != '/') {
    path += '/';
  }
  return FromUtf8(path);
}

TFileHandle CreateTempFile() {
  std::string name = ToUtf8(GetTempFolder() + GuidToString(CreateGuid()));
  int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    RaiseLastOSError();
  }
  ::unlink(name.c_str());
  return TFileHandle(fd);
}

std::uint32_t FileReadAt(const TFileHandle& file,
                         void* buffer,
                         std::uint32_t count,
                         std::uint64_t offset) {
  std::uint32_t done = 0;
  while (done < count) {
    ssize_t n = ::pread(file.Native(), static_cast<char*>(buffer) + done, count - done,
                        static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0) {
      RaiseLastOSError();
    }
    if (n == 0) {
      break;
    }
    done += static_cast<std::uint32_t>(n);
  }
  return done;
}

std::uint32_t FileWriteAt(const TFileHandle& file,
                          const void* buffer,
                          std::uint32_t count,
                          std::uint64_t offset,
                          std::uint32_t* written) {
  std::uint32_t done = 0;
  if (written != nullptr) {
    *written = 0;
  }
  while (done < count) {
    ssize_t n = ::pwrite(file.Native(), static_cast<const char*>(buffer) + done, count - done,
                         static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0) {
      RaiseLastOSError();
    }
    if (n == 0) {
      break;  // nothing more was accepted; the caller sees the short count
    }
    done += static_cast<std::uint32_t>(n);
    if (written != nullptr) {
      *written = done;
    }
  }
  return done;
}

std::uint32_t FileRead(const TFileHandle& file, void* buffer, std::uint32_t count) {
  for (;;) {
    ssize_t n = ::read(file.Native(), buffer, count);
    if (n >= 0) {
      return static_cast<std::uint32_t>(n);
    }
    if (errno != EINTR) {
      RaiseLastOSError();
    }
  }
}

std::uint64_t FileSeek(const TFileHandle& file, std::int64_t offset, std::uint32_t origin) {
  static constexpr int kWhence[] = {SEEK_SET, SEEK_CUR, SEEK_END};
  if (origin > 2) {
    RaiseOSError(ERROR_INVALID_PARAMETER);
  }
  off_t position = ::lseek(file.Native(), static_cast<off_t>(offset), kWhence[origin]);
  if (position < 0) {
    RaiseLastOSError();
  }
  return static_cast<std::uint64_t>(position);
}

std::uint64_t FileGetSize(const TFileHandle& file) {
  struct stat info;
  if (::fstat(file.Native(), &info) != 0) {
    RaiseLastOSError();
  }
  return static_cast<std::uint64_t>(info.st_size);
}

FILETIME FileGetTime(const TFileHandle& file) {
  struct stat info;
  if (::fstat(file.Native(), &info) != 0) {
    return FILETIME{};
  }
  return TimespecToFileTime(info.st_mtim);
}

bool QueryFileFreeSpace(const TFileHandle& file, std::uint64_t* freeBytesAvailable) {
  struct statvfs info;
  if (::fstatvfs(file.Native(), &info) != 0) {
    return false;
  }
  *freeBytesAvailable = static_cast<std::uint64_t>(info.f_bavail) * info.f_frsize;
  return true;
}

bool QueryDiskFreeSpace(const UString& path,
                        std::uint64_t* freeBytesAvailable,
                        std::uint64_t* totalBytes,
                        std::uint64_t* totalFreeBytes) {
  struct statvfs info;
  if (::statvfs(ToUtf8(path).c_str(), &info) != 0) {
    return false;
  }
  if (freeBytesAvailable != nullptr) {
    *freeBytesAvailable = std::uint64_t(info.f_bavail) * info.f_frsize;
  }
  if (totalBytes != nullptr) {
    *totalBytes = std::uint64_t(info.f_blocks) * info.f_frsize;
  }
  if (totalFreeBytes != nullptr) {
    *totalFreeBytes = std::uint64_t(info.f_bfree) * info.f_frsize;
  }
  return true;
}

UString GetProgramFolder() {
  char path[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", path, sizeof(path) - 1);
  if (n <= 0) {
    return u"./";
  }
  std::string text(path, static_cast<std::size_t>(n));
  return FromUtf8(text.substr(0, text.rfind('/') + 1));
}
