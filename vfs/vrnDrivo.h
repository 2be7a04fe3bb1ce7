// The file-system thread: one mount of a user-mode file system through Dokan 2.
//
// TvrnDrivoThread fills DOKAN_OPTIONS and DOKAN_OPERATIONS, runs DokanMain on its own
// thread until the volume is unmounted, and turns every callback the library makes on
// its worker threads into a call of an overridable handler. Errors raised by a handler
// become NTSTATUS values here and never reach the library. The base class serves
// nothing: its file handlers answer STATUS_NOT_IMPLEMENTED; a subclass supplies the
// mount options and the handlers its volume needs.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>

#include "platform/vrnStrings.h"
#include "platform/vrnThread.h"
#include "vfs/dokan2.h"

// The mount's progress, only ever forward.
enum TvrnDrivoState : std::uint8_t {
  dsMounting = 0,
  dsMounted = 1,
  dsFinished = 2,
};

// The NTSTATUS that a file-system callback returns for an exception, by its kind:
// cancellation, out of memory, OS error (through DokanNtStatusFromWin32), invalid
// argument or pointer, anything else.
NTSTATUS NtStatusFromException(const std::exception_ptr& error);

class TvrnDrivoThread : public TThread {
 public:
  TvrnDrivoThread();
  ~TvrnDrivoThread() override;

  // The longest name the volume reports, and the limit names are fixed to: 259 UTF-16
  // units on Windows, 255 UTF-8 bytes on Linux (NameMeasure).
  static constexpr DWORD MaxComponentLength() { return kMaxNameLength; }
  // The English text for a DokanMain result; empty for 0.
  static UString ResultMessage(int resultCode);

  // Waits until the volume is mounted or the thread has finished, then asks the
  // library to unmount the recorded mount point, if there is one and the volume has not
  // finished.
  virtual void UnmountDrive();

  // Owner-visible state, read by the controller's poll.
  TvrnDrivoState State() const { return FState; }
  // The mount point as the library reported it; valid once State is dsMounted.
  const UString& MountPoint() const { return FMountPoint; }
  // DokanMain's result, or 1 when the mount run raised; valid once State is dsFinished.
  int ResultCode() const { return FResultCode; }
  // English description of a non-zero ResultCode; valid once State is dsFinished.
  const UString& ErrorMessage() const { return FErrorMessage; }

 protected:
  friend class TvrnDrivoCallbacks;

  // The thread body: Run, with any error kept as result 1 and its message.
  void Execute() override;
  // Mounts and serves the volume until it is unmounted.
  virtual void Run();
  // Fills the zeroed options: mount point, option flags and whatever else the volume needs.
  virtual void FillOptions(DOKAN_OPTIONS& options) = 0;
  // Installs the callback table; a subclass may call it and then remove entries.
  virtual void FillOperations(DOKAN_OPERATIONS& operations);

  // The overridable handlers, one per installed callback but Unmounted; each gets the
  // callback's own arguments.
  virtual NTSTATUS DoMounted(LPCWSTR mountPoint, PDOKAN_FILE_INFO info);
  virtual NTSTATUS DoGetVolumeInformation(LPWSTR volumeNameBuffer,
                                          DWORD volumeNameSize,
                                          LPDWORD volumeSerialNumber,
                                          LPDWORD maximumComponentLength,
                                          LPDWORD fileSystemFlags,
                                          LPWSTR fileSystemNameBuffer,
                                          DWORD fileSystemNameSize,
                                          PDOKAN_FILE_INFO info);
  virtual NTSTATUS DoGetDiskFreeSpace(PULONGLONG freeBytesAvailable,
                                      PULONGLONG totalNumberOfBytes,
                                      PULONGLONG totalNumberOfFreeBytes,
                                      PDOKAN_FILE_INFO info);
  virtual NTSTATUS DoCreateFile(LPCWSTR fileName,
                                PDOKAN_IO_SECURITY_CONTEXT securityContext,
                                ACCESS_MASK desiredAccess,
                                ULONG fileAttributes,
                                ULONG shareAccess,
                                ULONG createDisposition,
                                ULONG createOptions,
                                PDOKAN_FILE_INFO info);
  virtual void DoCleanup(LPCWSTR fileName, PDOKAN_FILE_INFO info);
  virtual void DoCloseFile(LPCWSTR fileName, PDOKAN_FILE_INFO info);
  virtual NTSTATUS DoGetFileInformation(LPCWSTR fileName,
                                        LPBY_HANDLE_FILE_INFORMATION buffer,
                                        PDOKAN_FILE_INFO info);
  virtual NTSTATUS DoFindFiles(LPCWSTR pathName, PFillFindData fillFindData, PDOKAN_FILE_INFO info);
  virtual NTSTATUS DoFindStreams(LPCWSTR fileName,
                                 PFillFindStreamData fillFindStreamData,
                                 PVOID findStreamContext,
                                 PDOKAN_FILE_INFO info);
  virtual NTSTATUS DoReadFile(LPCWSTR fileName,
                              LPVOID buffer,
                              DWORD bufferLength,
                              LPDWORD readLength,
                              LONGLONG offset,
                              PDOKAN_FILE_INFO info);
  virtual NTSTATUS DoGetFileSecurity(LPCWSTR fileName,
                                     PSECURITY_INFORMATION securityInformation,
                                     PSECURITY_DESCRIPTOR securityDescriptor,
                                     ULONG bufferLength,
                                     PULONG lengthNeeded,
                                     PDOKAN_FILE_INFO info);
  virtual NTSTATUS DoWriteFile(LPCWSTR fileName,
                               LPCVOID buffer,
                               DWORD numberOfBytesToWrite,
                               LPDWORD numberOfBytesWritten,
                               LONGLONG offset,
                               PDOKAN_FILE_INFO info);
  virtual NTSTATUS DoFlushFileBuffers(LPCWSTR fileName, PDOKAN_FILE_INFO info);
  virtual NTSTATUS DoSetFileAttributes(LPCWSTR fileName,
                                       DWORD fileAttributes,
                                       PDOKAN_FILE_INFO info);
  virtual NTSTATUS DoSetFileTime(LPCWSTR fileName,
                                 const FILETIME* creationTime,
                                 const FILETIME* lastAccessTime,
                                 const FILETIME* lastWriteTime,
                                 PDOKAN_FILE_INFO info);
  virtual NTSTATUS DoDeleteFile(LPCWSTR fileName, PDOKAN_FILE_INFO info);
  virtual NTSTATUS DoDeleteDirectory(LPCWSTR fileName, PDOKAN_FILE_INFO info);
  virtual NTSTATUS DoMoveFile(LPCWSTR fileName,
                              LPCWSTR newFileName,
                              bool replaceIfExisting,
                              PDOKAN_FILE_INFO info);
  virtual NTSTATUS DoSetEndOfFile(LPCWSTR fileName, LONGLONG byteOffset, PDOKAN_FILE_INFO info);
  virtual NTSTATUS DoSetAllocationSize(LPCWSTR fileName, LONGLONG allocSize, PDOKAN_FILE_INFO info);
  virtual NTSTATUS DoLockFile(LPCWSTR fileName,
                              LONGLONG byteOffset,
                              LONGLONG length,
                              PDOKAN_FILE_INFO info);
  virtual NTSTATUS DoUnlockFile(LPCWSTR fileName,
                                LONGLONG byteOffset,
                                LONGLONG length,
                                PDOKAN_FILE_INFO info);
  virtual NTSTATUS DoSetFileSecurity(LPCWSTR fileName,
                                     PSECURITY_INFORMATION securityInformation,
                                     PSECURITY_DESCRIPTOR securityDescriptor,
                                     ULONG bufferLength,
                                     PDOKAN_FILE_INFO info);
  // Answers the Unmounted callback by raising FStopRequested; not overridable.
  NTSTATUS DoUnmounted(PDOKAN_FILE_INFO info);

  // Held for reading around every lookup of a path in the tree (subclass).
  TMultiReadLock FNameLock;
  // Held for reading around every use of an opened item's data (subclass).
  TMultiReadLock FItemLock;
  // The serial number reported to the system.
  DWORD FVolumeSerial = 0;
  // The label reported to the system; empty by default.
  UString FVolumeName;
  // The file-system name reported to the system.
  UString FFileSystemName;
  // Mounting, mounted or finished; written by the thread and the Mounted handler.
  std::atomic<TvrnDrivoState> FState{dsMounting};
  // The mount point as the library reported it; empty until mounted.
  UString FMountPoint;
  // Signalled when the volume is mounted and again when the thread finishes.
  TEvent FStateEvent;
  // DokanMain's result, or 1 when the mount run raised.
  std::atomic<int> FResultCode{0};
  // English description of a non-zero FResultCode.
  UString FErrorMessage;
  // Set by the subclass's unmount and when the library reports the volume unmounted;
  // handed to long operations as their abort flag.
  std::atomic<bool> FStopRequested{false};
};
