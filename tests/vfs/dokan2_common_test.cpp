// The two helpers of the Dokan 2 contract: Win32 codes to NTSTATUS, and the folding of
// kernel create arguments into user-mode ones.
#include <gtest/gtest.h>

#include "vfs/dokan2.h"

namespace {

TEST(DokanHelpersTest, Win32CodesMapToNtStatus) {
  struct Case {
    DWORD error;
    NTSTATUS status;
  };
  const Case cases[] = {
      {ERROR_FILE_NOT_FOUND, STATUS_OBJECT_NAME_NOT_FOUND},
      {ERROR_PATH_NOT_FOUND, STATUS_OBJECT_PATH_NOT_FOUND},
      {ERROR_ACCESS_DENIED, STATUS_ACCESS_DENIED},
      {ERROR_INVALID_HANDLE, STATUS_INVALID_HANDLE},
      {ERROR_NOT_ENOUGH_MEMORY, STATUS_NO_MEMORY},
      {ERROR_WRITE_PROTECT, STATUS_MEDIA_WRITE_PROTECTED},
      {ERROR_CRC, STATUS_CRC_ERROR},
      {ERROR_GEN_FAILURE, STATUS_UNSUCCESSFUL},
      {ERROR_SHARING_VIOLATION, STATUS_SHARING_VIOLATION},
      {ERROR_HANDLE_EOF, STATUS_END_OF_FILE},
      {ERROR_NOT_SUPPORTED, STATUS_NOT_SUPPORTED},
      {ERROR_FILE_EXISTS, STATUS_OBJECT_NAME_COLLISION},
      {ERROR_INVALID_PARAMETER, STATUS_INVALID_PARAMETER},
      {ERROR_DISK_FULL, STATUS_DISK_FULL},
      {ERROR_INSUFFICIENT_BUFFER, STATUS_BUFFER_TOO_SMALL},
      {ERROR_INVALID_NAME, STATUS_OBJECT_NAME_INVALID},
      {ERROR_DIRECTORY, STATUS_NOT_A_DIRECTORY},
      {ERROR_OPERATION_ABORTED, STATUS_CANCELLED},
      {ERROR_IO_DEVICE, STATUS_IO_DEVICE_ERROR},
      {ERROR_CALL_NOT_IMPLEMENTED, STATUS_NOT_IMPLEMENTED},
      {ERROR_DIR_NOT_EMPTY, STATUS_DIRECTORY_NOT_EMPTY},
      {ERROR_ALREADY_EXISTS, STATUS_OBJECT_NAME_COLLISION},
      {ERROR_FILENAME_EXCED_RANGE, STATUS_NAME_TOO_LONG},
      {ERROR_SUCCESS, STATUS_ACCESS_DENIED},    // an error raised with code 0 still fails
      {ERROR_CANCELLED, STATUS_ACCESS_DENIED},  // not in the table
      {0xFFFF, STATUS_ACCESS_DENIED},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DokanNtStatusFromWin32(c.error), c.status) << "error " << c.error;
  }
}

TEST(DokanHelpersTest, KernelDispositionsFoldToUserDispositions) {
  struct Case {
    ULONG kernel;
    DWORD user;
  };
  const Case cases[] = {
      {FILE_SUPERSEDE, CREATE_ALWAYS},
      {FILE_OPEN, OPEN_EXISTING},
      {FILE_CREATE, CREATE_NEW},
      {FILE_OPEN_IF, OPEN_ALWAYS},
      {FILE_OVERWRITE, TRUNCATE_EXISTING},
      {FILE_OVERWRITE_IF, CREATE_ALWAYS},
      {6, 0},
  };
  for (const Case& c : cases) {
    DWORD disposition = 99;
    DokanMapKernelToUserCreateFileFlags(0, 0, 0, c.kernel, nullptr, nullptr, &disposition);
    EXPECT_EQ(disposition, c.user) << "kernel disposition " << c.kernel;
  }
}

TEST(DokanHelpersTest, CompleteRightSetsFoldToGenericRights) {
  struct Case {
    ACCESS_MASK kernel;
    ACCESS_MASK user;
  };
  const Case cases[] = {
      {FILE_GENERIC_READ, GENERIC_READ},
      {FILE_GENERIC_WRITE, GENERIC_WRITE},
      {FILE_GENERIC_EXECUTE, GENERIC_EXECUTE},
      {FILE_GENERIC_READ | FILE_GENERIC_EXECUTE, GENERIC_READ | GENERIC_EXECUTE},
      {FILE_ALL_ACCESS, GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL},
      // An incomplete set stays as it is.
      {FILE_READ_DATA | SYNCHRONIZE, FILE_READ_DATA | SYNCHRONIZE},
      {FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
       FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE},
      // Bits outside the complete set survive; the shared bits go with it.
      {FILE_GENERIC_READ | DELETE, GENERIC_READ | DELETE},
  };
  for (const Case& c : cases) {
    ACCESS_MASK access = 0;
    DokanMapKernelToUserCreateFileFlags(c.kernel, 0, 0, FILE_OPEN, &access, nullptr, nullptr);
    EXPECT_EQ(access, c.user) << std::hex << "kernel access 0x" << c.kernel;
  }
}

TEST(DokanHelpersTest, CreateOptionsBecomeFileFlags) {
  DWORD flags = 0;
  DokanMapKernelToUserCreateFileFlags(
      GENERIC_READ, FILE_ATTRIBUTE_ARCHIVE,
      FILE_WRITE_THROUGH | FILE_SEQUENTIAL_ONLY | FILE_DELETE_ON_CLOSE, FILE_OPEN, nullptr, &flags,
      nullptr);
  EXPECT_EQ(flags, DWORD(FILE_ATTRIBUTE_ARCHIVE | FILE_FLAG_WRITE_THROUGH |
                         FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_DELETE_ON_CLOSE));
  DokanMapKernelToUserCreateFileFlags(GENERIC_READ, 0,
                                      FILE_RANDOM_ACCESS | FILE_NO_INTERMEDIATE_BUFFERING |
                                          FILE_OPEN_REPARSE_POINT | FILE_OPEN_FOR_BACKUP_INTENT,
                                      FILE_OPEN, nullptr, &flags, nullptr);
  EXPECT_EQ(flags, DWORD(FILE_FLAG_RANDOM_ACCESS | FILE_FLAG_NO_BUFFERING |
                         FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS));
}

}  // namespace
