// The two pure helpers of the Dokan 2 API: Win32 error codes to NTSTATUS values, and the
// folding of kernel-mode create arguments into user-mode ones.
//
// Portable on purpose: the Linux build links it into our FUSE implementation of the API,
// and the Windows test build compiles it into a stand-in dokan2.dll. It uses nothing but
// the Win32 vocabulary of platform/vrnWinTypes.h. Codes that header does not name on
// Linux are written as numbers with their Windows names beside them.
#include "vfs/dokan2.h"

#include <iterator>

namespace {

// One pair of the error table.
struct TWin32ToNtStatus {
  DWORD Error;
  NTSTATUS Status;
};

// Win32 codes and the NTSTATUS they stand for. ERROR_CANCELLED (1223) is deliberately
// absent: the library answers it, like every code it does not know, with
// STATUS_ACCESS_DENIED, and callers rely on that. ERROR_SUCCESS is absent too: the
// function maps errors that were raised, and an error carrying code 0 must still fail.
constexpr TWin32ToNtStatus kWin32ToNtStatus[] = {
    {ERROR_INVALID_FUNCTION, STATUS_NOT_IMPLEMENTED},
    {ERROR_FILE_NOT_FOUND, STATUS_OBJECT_NAME_NOT_FOUND},
    {ERROR_PATH_NOT_FOUND, STATUS_OBJECT_PATH_NOT_FOUND},
    {ERROR_TOO_MANY_OPEN_FILES, NTSTATUS(0xC000011F)},  // STATUS_TOO_MANY_OPENED_FILES
    {ERROR_ACCESS_DENIED, STATUS_ACCESS_DENIED},
    {ERROR_INVALID_HANDLE, STATUS_INVALID_HANDLE},
    {ERROR_NOT_ENOUGH_MEMORY, STATUS_NO_MEMORY},
    {18, NTSTATUS(0x80000006)},  // ERROR_NO_MORE_FILES: STATUS_NO_MORE_FILES
    {ERROR_WRITE_PROTECT, STATUS_MEDIA_WRITE_PROTECTED},
    {ERROR_NOT_READY, NTSTATUS(0xC00000A3)},  // STATUS_DEVICE_NOT_READY
    {ERROR_CRC, STATUS_CRC_ERROR},
    {ERROR_GEN_FAILURE, STATUS_UNSUCCESSFUL},
    {ERROR_SHARING_VIOLATION, STATUS_SHARING_VIOLATION},
    {ERROR_LOCK_VIOLATION, NTSTATUS(0xC0000054)},  // STATUS_FILE_LOCK_CONFLICT
    {ERROR_HANDLE_EOF, STATUS_END_OF_FILE},
    {ERROR_NOT_SUPPORTED, STATUS_NOT_SUPPORTED},
    {ERROR_FILE_EXISTS, STATUS_OBJECT_NAME_COLLISION},
    {ERROR_INVALID_PARAMETER, STATUS_INVALID_PARAMETER},
    {ERROR_BROKEN_PIPE, NTSTATUS(0xC000014B)},  // STATUS_PIPE_BROKEN
    {ERROR_DISK_FULL, STATUS_DISK_FULL},
    {ERROR_CALL_NOT_IMPLEMENTED, STATUS_NOT_IMPLEMENTED},
    {ERROR_INSUFFICIENT_BUFFER, STATUS_BUFFER_TOO_SMALL},
    {ERROR_INVALID_NAME, STATUS_OBJECT_NAME_INVALID},
    {ERROR_DIR_NOT_EMPTY, STATUS_DIRECTORY_NOT_EMPTY},
    {161, NTSTATUS(0xC000003B)},  // ERROR_BAD_PATHNAME: STATUS_OBJECT_PATH_SYNTAX_BAD
    {ERROR_ALREADY_EXISTS, STATUS_OBJECT_NAME_COLLISION},
    {ERROR_FILENAME_EXCED_RANGE, STATUS_NAME_TOO_LONG},
    {234, NTSTATUS(0x80000005)},  // ERROR_MORE_DATA: STATUS_BUFFER_OVERFLOW
    {ERROR_DIRECTORY, STATUS_NOT_A_DIRECTORY},
    {303, STATUS_DELETE_PENDING},  // ERROR_DELETE_PENDING
    {ERROR_OPERATION_ABORTED, STATUS_CANCELLED},
    {998, NTSTATUS(0xC0000005)},   // ERROR_NOACCESS: STATUS_ACCESS_VIOLATION
    {1006, NTSTATUS(0xC0000098)},  // ERROR_FILE_INVALID: STATUS_FILE_INVALID
    {ERROR_IO_DEVICE, STATUS_IO_DEVICE_ERROR},
    {1392, NTSTATUS(0xC0000102)},           // ERROR_FILE_CORRUPT: STATUS_FILE_CORRUPT_ERROR
    {1450, STATUS_INSUFFICIENT_RESOURCES},  // ERROR_NO_SYSTEM_RESOURCES
};

// A complete set of file rights and the generic right it folds into.
struct TGenericFold {
  ACCESS_MASK Rights;
  ACCESS_MASK Generic;
};

constexpr TGenericFold kGenericFolds[] = {
    {FILE_GENERIC_READ, GENERIC_READ},
    {FILE_GENERIC_WRITE, GENERIC_WRITE},
    {FILE_GENERIC_EXECUTE, GENERIC_EXECUTE},
    {FILE_ALL_ACCESS, GENERIC_ALL},
};

// A kernel create option and the user-mode flag it becomes.
struct TOptionFlag {
  ULONG Option;
  DWORD Flag;
};

constexpr TOptionFlag kOptionFlags[] = {
    {FILE_WRITE_THROUGH, FILE_FLAG_WRITE_THROUGH},
    {FILE_SEQUENTIAL_ONLY, FILE_FLAG_SEQUENTIAL_SCAN},
    {FILE_RANDOM_ACCESS, FILE_FLAG_RANDOM_ACCESS},
    {FILE_NO_INTERMEDIATE_BUFFERING, FILE_FLAG_NO_BUFFERING},
    {FILE_OPEN_REPARSE_POINT, FILE_FLAG_OPEN_REPARSE_POINT},
    {FILE_DELETE_ON_CLOSE, FILE_FLAG_DELETE_ON_CLOSE},
    {FILE_OPEN_FOR_BACKUP_INTENT, FILE_FLAG_BACKUP_SEMANTICS},
};

DWORD UserDisposition(ULONG createDisposition) {
  switch (createDisposition) {
    case FILE_SUPERSEDE:
    case FILE_OVERWRITE_IF:
      return CREATE_ALWAYS;
    case FILE_OPEN:
      return OPEN_EXISTING;
    case FILE_CREATE:
      return CREATE_NEW;
    case FILE_OPEN_IF:
      return OPEN_ALWAYS;
    case FILE_OVERWRITE:
      return TRUNCATE_EXISTING;
    default:
      return 0;
  }
}

ACCESS_MASK UserAccess(ACCESS_MASK desiredAccess) {
  // Every set is tested against the request as it came, before any bit is cleared, so
  // overlapping sets (they share SYNCHRONIZE, READ_CONTROL, FILE_READ_ATTRIBUTES) are
  // each recognised.
  bool complete[std::size(kGenericFolds)] = {};
  ACCESS_MASK result = desiredAccess;
  for (std::size_t i = 0; i < std::size(kGenericFolds); ++i) {
    complete[i] = (desiredAccess & kGenericFolds[i].Rights) == kGenericFolds[i].Rights;
    if (complete[i]) {
      result |= kGenericFolds[i].Generic;
    }
  }
  for (std::size_t i = 0; i < std::size(kGenericFolds); ++i) {
    if (complete[i]) {
      result &= ~kGenericFolds[i].Rights;
    }
  }
  return result;
}

DWORD UserAttributesAndFlags(ULONG fileAttributes, ULONG createOptions) {
  DWORD result = fileAttributes;
  for (const TOptionFlag& entry : kOptionFlags) {
    if ((createOptions & entry.Option) != 0) {
      result |= entry.Flag;
    }
  }
  return result;
}

}  // namespace

NTSTATUS DOKANAPI DokanNtStatusFromWin32(DWORD Error) {
  for (const TWin32ToNtStatus& entry : kWin32ToNtStatus) {
    if (entry.Error == Error) {
      return entry.Status;
    }
  }
  return STATUS_ACCESS_DENIED;
}

void DOKANAPI DokanMapKernelToUserCreateFileFlags(ACCESS_MASK DesiredAccess,
                                                  ULONG FileAttributes,
                                                  ULONG CreateOptions,
                                                  ULONG CreateDisposition,
                                                  ACCESS_MASK* outDesiredAccess,
                                                  DWORD* outFileAttributesAndFlags,
                                                  DWORD* outCreationDisposition) {
  if (outDesiredAccess != nullptr) {
    *outDesiredAccess = UserAccess(DesiredAccess);
  }
  if (outFileAttributesAndFlags != nullptr) {
    *outFileAttributesAndFlags = UserAttributesAndFlags(FileAttributes, CreateOptions);
  }
  if (outCreationDisposition != nullptr) {
    *outCreationDisposition = UserDisposition(CreateDisposition);
  }
}
