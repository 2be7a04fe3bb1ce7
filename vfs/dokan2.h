// The Dokan 2 user-mode file-system library, version 2.0.6: the records, callbacks and
// exports the file-system thread uses.
//
// On Windows these bind to the real dokan2.dll (import library from vfs/dokan2.def).
// On Linux the same API is provided by vfs/dokan2_fuse.cpp over FUSE 3, with the
// mount point a folder path. The layouts follow the library's published headers
// field for field; nothing here may be reordered.
#pragma once

#include "platform/vrnWinTypes.h"

#if defined(_WIN32)
#if defined(VRN_DOKAN_EXPORTS)
#define DOKANAPI __declspec(dllexport) WINAPI
#else
#define DOKANAPI __declspec(dllimport) WINAPI
#endif
#else
#define DOKANAPI WINAPI
#endif

// Kernel-mode create dispositions (ZwCreateFile).
#ifndef FILE_SUPERSEDE
#define FILE_SUPERSEDE 0x00000000
#define FILE_OPEN 0x00000001
#define FILE_CREATE 0x00000002
#define FILE_OPEN_IF 0x00000003
#define FILE_OVERWRITE 0x00000004
#define FILE_OVERWRITE_IF 0x00000005
#endif

// Kernel-mode create options (ZwCreateFile).
#ifndef FILE_DIRECTORY_FILE
#define FILE_DIRECTORY_FILE 0x00000001
#define FILE_WRITE_THROUGH 0x00000002
#define FILE_SEQUENTIAL_ONLY 0x00000004
#define FILE_NO_INTERMEDIATE_BUFFERING 0x00000008
#define FILE_SYNCHRONOUS_IO_ALERT 0x00000010
#define FILE_SYNCHRONOUS_IO_NONALERT 0x00000020
#define FILE_NON_DIRECTORY_FILE 0x00000040
#define FILE_RANDOM_ACCESS 0x00000800
#define FILE_DELETE_ON_CLOSE 0x00001000
#define FILE_OPEN_FOR_BACKUP_INTENT 0x00004000
#define FILE_OPEN_REPARSE_POINT 0x00200000
#endif

#define DOKAN_VERSION 206

// DOKAN_OPTIONS.Options bits.
#define DOKAN_OPTION_DEBUG 1
#define DOKAN_OPTION_STDERR 2
#define DOKAN_OPTION_ALT_STREAM 4
#define DOKAN_OPTION_WRITE_PROTECT 8
#define DOKAN_OPTION_NETWORK 16
#define DOKAN_OPTION_REMOVABLE 32
#define DOKAN_OPTION_MOUNT_MANAGER 64
#define DOKAN_OPTION_CURRENT_SESSION 128
#define DOKAN_OPTION_FILELOCK_USER_MODE 256
#define DOKAN_OPTION_CASE_SENSITIVE 512
#define DOKAN_OPTION_ENABLE_UNMOUNT_NETWORK_DRIVE 1024
#define DOKAN_OPTION_DISPATCH_DRIVER_LOGS 2048
#define DOKAN_OPTION_ALLOW_IPC_BATCHING 4096

// DokanMain results.
#define DOKAN_SUCCESS 0
#define DOKAN_ERROR (-1)
#define DOKAN_DRIVE_LETTER_ERROR (-2)
#define DOKAN_DRIVER_INSTALL_ERROR (-3)
#define DOKAN_START_ERROR (-4)
#define DOKAN_MOUNT_ERROR (-5)
#define DOKAN_MOUNT_POINT_ERROR (-6)
#define DOKAN_VERSION_ERROR (-7)

extern "C" {

struct DOKAN_OPTIONS {
  USHORT Version;
  BOOLEAN SingleThread;
  ULONG Options;
  ULONG64 GlobalContext;
  LPCWSTR MountPoint;
  LPCWSTR UNCName;
  ULONG Timeout;
  ULONG AllocationUnitSize;
  ULONG SectorSize;
  ULONG VolumeSecurityDescriptorLength;
  char VolumeSecurityDescriptor[16384];
};
using PDOKAN_OPTIONS = DOKAN_OPTIONS*;

struct DOKAN_FILE_INFO {
  ULONG64 Context;
  ULONG64 DokanContext;
  PDOKAN_OPTIONS DokanOptions;
  PVOID ProcessingContext;
  ULONG ProcessId;
  UCHAR IsDirectory;
  UCHAR DeleteOnClose;
  UCHAR PagingIo;
  UCHAR SynchronousIo;
  UCHAR Nocache;
  UCHAR WriteToEndOfFile;
};
using PDOKAN_FILE_INFO = DOKAN_FILE_INFO*;

// Passed to ZwCreateFile; the program never looks inside.
struct DOKAN_IO_SECURITY_CONTEXT;
using PDOKAN_IO_SECURITY_CONTEXT = DOKAN_IO_SECURITY_CONTEXT*;

// Adds one listing entry; non-zero means the buffer is full.
using PFillFindData = int(WINAPI*)(PWIN32_FIND_DATAW, PDOKAN_FILE_INFO);
using PFillFindStreamData = BOOL(WINAPI*)(PWIN32_FIND_STREAM_DATA, PVOID);

struct DOKAN_OPERATIONS {
  NTSTATUS(WINAPI* ZwCreateFile)
  (LPCWSTR FileName, PDOKAN_IO_SECURITY_CONTEXT SecurityContext, ACCESS_MASK DesiredAccess,
   ULONG FileAttributes, ULONG ShareAccess, ULONG CreateDisposition, ULONG CreateOptions,
   PDOKAN_FILE_INFO DokanFileInfo);
  void(WINAPI* Cleanup)(LPCWSTR FileName, PDOKAN_FILE_INFO DokanFileInfo);
  void(WINAPI* CloseFile)(LPCWSTR FileName, PDOKAN_FILE_INFO DokanFileInfo);
  NTSTATUS(WINAPI* ReadFile)
  (LPCWSTR FileName, LPVOID Buffer, DWORD BufferLength, LPDWORD ReadLength, LONGLONG Offset,
   PDOKAN_FILE_INFO DokanFileInfo);
  NTSTATUS(WINAPI* WriteFile)
  (LPCWSTR FileName, LPCVOID Buffer, DWORD NumberOfBytesToWrite, LPDWORD NumberOfBytesWritten,
   LONGLONG Offset, PDOKAN_FILE_INFO DokanFileInfo);
  NTSTATUS(WINAPI* FlushFileBuffers)(LPCWSTR FileName, PDOKAN_FILE_INFO DokanFileInfo);
  NTSTATUS(WINAPI* GetFileInformation)
  (LPCWSTR FileName, LPBY_HANDLE_FILE_INFORMATION Buffer, PDOKAN_FILE_INFO DokanFileInfo);
  NTSTATUS(WINAPI* FindFiles)
  (LPCWSTR PathName, PFillFindData FillFindData, PDOKAN_FILE_INFO DokanFileInfo);
  NTSTATUS(WINAPI* FindFilesWithPattern)
  (LPCWSTR PathName, LPCWSTR SearchPattern, PFillFindData FillFindData,
   PDOKAN_FILE_INFO DokanFileInfo);
  NTSTATUS(WINAPI* SetFileAttributes)
  (LPCWSTR FileName, DWORD FileAttributes, PDOKAN_FILE_INFO DokanFileInfo);
  NTSTATUS(WINAPI* SetFileTime)
  (LPCWSTR FileName, const FILETIME* CreationTime, const FILETIME* LastAccessTime,
   const FILETIME* LastWriteTime, PDOKAN_FILE_INFO DokanFileInfo);
  NTSTATUS(WINAPI* DeleteFile)(LPCWSTR FileName, PDOKAN_FILE_INFO DokanFileInfo);
  NTSTATUS(WINAPI* DeleteDirectory)(LPCWSTR FileName, PDOKAN_FILE_INFO DokanFileInfo);
  NTSTATUS(WINAPI* MoveFile)
  (LPCWSTR FileName, LPCWSTR NewFileName, BOOL ReplaceIfExisting, PDOKAN_FILE_INFO DokanFileInfo);
  NTSTATUS(WINAPI* SetEndOfFile)
  (LPCWSTR FileName, LONGLONG ByteOffset, PDOKAN_FILE_INFO DokanFileInfo);
  NTSTATUS(WINAPI* SetAllocationSize)
  (LPCWSTR FileName, LONGLONG AllocSize, PDOKAN_FILE_INFO DokanFileInfo);
  NTSTATUS(WINAPI* LockFile)
  (LPCWSTR FileName, LONGLONG ByteOffset, LONGLONG Length, PDOKAN_FILE_INFO DokanFileInfo);
  NTSTATUS(WINAPI* UnlockFile)
  (LPCWSTR FileName, LONGLONG ByteOffset, LONGLONG Length, PDOKAN_FILE_INFO DokanFileInfo);
  NTSTATUS(WINAPI* GetDiskFreeSpace)
  (PULONGLONG FreeBytesAvailable, PULONGLONG TotalNumberOfBytes, PULONGLONG TotalNumberOfFreeBytes,
   PDOKAN_FILE_INFO DokanFileInfo);
  NTSTATUS(WINAPI* GetVolumeInformation)
  (LPWSTR VolumeNameBuffer, DWORD VolumeNameSize, LPDWORD VolumeSerialNumber,
   LPDWORD MaximumComponentLength, LPDWORD FileSystemFlags, LPWSTR FileSystemNameBuffer,
   DWORD FileSystemNameSize, PDOKAN_FILE_INFO DokanFileInfo);
  NTSTATUS(WINAPI* Mounted)(LPCWSTR MountPoint, PDOKAN_FILE_INFO DokanFileInfo);
  NTSTATUS(WINAPI* Unmounted)(PDOKAN_FILE_INFO DokanFileInfo);
  NTSTATUS(WINAPI* GetFileSecurity)
  (LPCWSTR FileName, PSECURITY_INFORMATION SecurityInformation,
   PSECURITY_DESCRIPTOR SecurityDescriptor, ULONG BufferLength, PULONG LengthNeeded,
   PDOKAN_FILE_INFO DokanFileInfo);
  NTSTATUS(WINAPI* SetFileSecurity)
  (LPCWSTR FileName, PSECURITY_INFORMATION SecurityInformation,
   PSECURITY_DESCRIPTOR SecurityDescriptor, ULONG BufferLength, PDOKAN_FILE_INFO DokanFileInfo);
  NTSTATUS(WINAPI* FindStreams)
  (LPCWSTR FileName, PFillFindStreamData FillFindStreamData, PVOID FindStreamContext,
   PDOKAN_FILE_INFO DokanFileInfo);
};
using PDOKAN_OPERATIONS = DOKAN_OPERATIONS*;

void DOKANAPI DokanInit();
void DOKANAPI DokanShutdown();
int DOKANAPI DokanMain(PDOKAN_OPTIONS DokanOptions, PDOKAN_OPERATIONS DokanOperations);
BOOL DOKANAPI DokanUnmount(WCHAR DriveLetter);
BOOL DOKANAPI DokanRemoveMountPoint(LPCWSTR MountPoint);
NTSTATUS DOKANAPI DokanNtStatusFromWin32(DWORD Error);
void DOKANAPI DokanMapKernelToUserCreateFileFlags(ACCESS_MASK DesiredAccess, ULONG FileAttributes,
                                                  ULONG CreateOptions, ULONG CreateDisposition,
                                                  ACCESS_MASK* outDesiredAccess,
                                                  DWORD* outFileAttributesAndFlags,
                                                  DWORD* outCreationDisposition);

}  // extern "C"

#if defined(_WIN64) || (defined(__x86_64__) && !defined(_WIN32))
static_assert(sizeof(DOKAN_OPTIONS) == 16384 + 48, "DOKAN_OPTIONS layout");
static_assert(sizeof(DOKAN_FILE_INFO) == 48, "DOKAN_FILE_INFO layout");
static_assert(sizeof(DOKAN_OPERATIONS) == 25 * sizeof(void*), "DOKAN_OPERATIONS layout");
#endif
