#include <cerrno>
#include <cstring>
#include <iterator>

#include "platform/vrnErrors.h"

namespace {

struct TErrnoMapping {
  int Errno;
  DWORD Win32;
};

// Ordered so that the first entry for a Windows code is its usual errno.
constexpr TErrnoMapping kErrnoTable[] = {
    {ENOENT, ERROR_FILE_NOT_FOUND},
    {ENOENT, ERROR_PATH_NOT_FOUND},
    {EMFILE, ERROR_TOO_MANY_OPEN_FILES},
    {EACCES, ERROR_ACCESS_DENIED},
    {EPERM, ERROR_ACCESS_DENIED},
    {EBADF, ERROR_INVALID_HANDLE},
    {ENOMEM, ERROR_NOT_ENOUGH_MEMORY},
    {EROFS, ERROR_WRITE_PROTECT},
    {ESPIPE, ERROR_SEEK},
    {EBUSY, ERROR_SHARING_VIOLATION},
    {EEXIST, ERROR_FILE_EXISTS},
    {EINVAL, ERROR_INVALID_PARAMETER},
    {EPIPE, ERROR_BROKEN_PIPE},
    {ENOSPC, ERROR_DISK_FULL},
    {EDQUOT, ERROR_DISK_FULL},
    {ENOSYS, ERROR_CALL_NOT_IMPLEMENTED},
    {ENOTSUP, ERROR_NOT_SUPPORTED},
    {ENAMETOOLONG, ERROR_FILENAME_EXCED_RANGE},
    {ENOTEMPTY, ERROR_DIR_NOT_EMPTY},
    {ENOTDIR, ERROR_DIRECTORY},
    {ECANCELED, ERROR_CANCELLED},
    {ETIMEDOUT, ERROR_TIMEOUT},
    {EIO, ERROR_IO_DEVICE},
};

}  // namespace

DWORD Win32ErrorFromErrno(int error) {
  for (const auto& entry : kErrnoTable) {
    if (entry.Errno == error) {
      return entry.Win32;
    }
  }
  return ERROR_GEN_FAILURE;
}

DWORD GetLastOSError() {
  return Win32ErrorFromErrno(errno);
}

UString SysErrorMessage(DWORD errorCode) {
  for (const auto& entry : kErrnoTable) {
    if (entry.Win32 == errorCode) {
      return FromUtf8(std::strerror(entry.Errno));
    }
  }
  return u"System Error.  Code: " + IntToUStr(errorCode);
}

void RaiseLastOSError() {
  int error = errno;
  throw EOSError(Win32ErrorFromErrno(error), FromUtf8(std::strerror(error)));
}
