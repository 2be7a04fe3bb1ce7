#include "vfs/vrnDrivo.h"

#include <memory>
#include <new>

#include "platform/vrnErrors.h"

namespace {

// The thread object that the library's options carry as their global context.
TvrnDrivoThread* Owner(PDOKAN_FILE_INFO info) {
  return reinterpret_cast<TvrnDrivoThread*>(
      static_cast<std::uintptr_t>(info->DokanOptions->GlobalContext));
}

}  // namespace

NTSTATUS NtStatusFromException(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const EAbort&) {
    return DokanNtStatusFromWin32(ERROR_CANCELLED);
  } catch (const EOutOfMemory&) {
    return STATUS_NO_MEMORY;
  } catch (const std::bad_alloc&) {
    return STATUS_NO_MEMORY;
  } catch (const EOSError& e) {
    // A code of 0 would map to success: a failed handler must never report that.
    return e.ErrorCode() != ERROR_SUCCESS ? DokanNtStatusFromWin32(e.ErrorCode())
                                          : STATUS_UNSUCCESSFUL;
  } catch (const EArgumentError&) {
    return STATUS_INVALID_PARAMETER;
  } catch (const EInvalidPointer&) {
    return STATUS_INVALID_PARAMETER;
  } catch (...) {
    return STATUS_UNSUCCESSFUL;
  }
}

// The callbacks installed in DOKAN_OPERATIONS. Each finds its thread object through the
// options' global context and calls the handler; an exception becomes a status here.
class TvrnDrivoCallbacks {
 public:
  template <typename Call>
  static NTSTATUS Guard(PDOKAN_FILE_INFO info, Call call) noexcept {
    try {
      return call(*Owner(info));
    } catch (...) {
      return NtStatusFromException(std::current_exception());
    }
  }

  static NTSTATUS WINAPI ZwCreateFile(LPCWSTR fileName,
                                      PDOKAN_IO_SECURITY_CONTEXT securityContext,
                                      ACCESS_MASK desiredAccess,
                                      ULONG fileAttributes,
                                      ULONG shareAccess,
                                      ULONG createDisposition,
                                      ULONG createOptions,
                                      PDOKAN_FILE_INFO info) {
    return Guard(info, [&](TvrnDrivoThread& self) {
      return self.DoCreateFile(fileName, securityContext, desiredAccess, fileAttributes,
                               shareAccess, createDisposition, createOptions, info);
    });
  }
  static void WINAPI Cleanup(LPCWSTR fileName, PDOKAN_FILE_INFO info) {
    Guard(info, [&](TvrnDrivoThread& self) {
      self.DoCleanup(fileName, info);
      return STATUS_SUCCESS;
    });
  }
  static void WINAPI CloseFile(LPCWSTR fileName, PDOKAN_FILE_INFO info) {
    Guard(info, [&](TvrnDrivoThread& self) {
      self.DoCloseFile(fileName, info);
      return STATUS_SUCCESS;
    });
  }
  static NTSTATUS WINAPI ReadFile(LPCWSTR fileName,
                                  LPVOID buffer,
                                  DWORD bufferLength,
                                  LPDWORD readLength,
                                  LONGLONG offset,
                                  PDOKAN_FILE_INFO info) {
    return Guard(info, [&](TvrnDrivoThread& self) {
      return self.DoReadFile(fileName, buffer, bufferLength, readLength, offset, info);
    });
  }
  static NTSTATUS WINAPI WriteFile(LPCWSTR fileName,
                                   LPCVOID buffer,
                                   DWORD numberOfBytesToWrite,
                                   LPDWORD numberOfBytesWritten,
                                   LONGLONG offset,
                                   PDOKAN_FILE_INFO info) {
    return Guard(info, [&](TvrnDrivoThread& self) {
      return self.DoWriteFile(fileName, buffer, numberOfBytesToWrite, numberOfBytesWritten, offset,
                              info);
    });
  }
  static NTSTATUS WINAPI FlushFileBuffers(LPCWSTR fileName, PDOKAN_FILE_INFO info) {
    return Guard(info,
                 [&](TvrnDrivoThread& self) { return self.DoFlushFileBuffers(fileName, info); });
  }
  static NTSTATUS WINAPI GetFileInformation(LPCWSTR fileName,
                                            LPBY_HANDLE_FILE_INFORMATION buffer,
                                            PDOKAN_FILE_INFO info) {
    return Guard(info, [&](TvrnDrivoThread& self) {
      return self.DoGetFileInformation(fileName, buffer, info);
    });
  }
  static NTSTATUS WINAPI FindFiles(LPCWSTR pathName,
                                   PFillFindData fillFindData,
                                   PDOKAN_FILE_INFO info) {
    return Guard(info, [&](TvrnDrivoThread& self) {
      return self.DoFindFiles(pathName, fillFindData, info);
    });
  }
  static NTSTATUS WINAPI SetFileAttributes(LPCWSTR fileName,
                                           DWORD fileAttributes,
                                           PDOKAN_FILE_INFO info) {
    return Guard(info, [&](TvrnDrivoThread& self) {
      return self.DoSetFileAttributes(fileName, fileAttributes, info);
    });
  }
  static NTSTATUS WINAPI SetFileTime(LPCWSTR fileName,
                                     const FILETIME* creationTime,
                                     const FILETIME* lastAccessTime,
                                     const FILETIME* lastWriteTime,
                                     PDOKAN_FILE_INFO info) {
    return Guard(info, [&](TvrnDrivoThread& self) {
      return self.DoSetFileTime(fileName, creationTime, lastAccessTime, lastWriteTime, info);
    });
  }
  static NTSTATUS WINAPI DeleteFile(LPCWSTR fileName, PDOKAN_FILE_INFO info) {
    return Guard(info, [&](TvrnDrivoThread& self) { return self.DoDeleteFile(fileName, info); });
  }
  static NTSTATUS WINAPI DeleteDirectory(LPCWSTR fileName, PDOKAN_FILE_INFO info) {
    return Guard(info,
                 [&](TvrnDrivoThread& self) { return self.DoDeleteDirectory(fileName, info); });
  }
  static NTSTATUS WINAPI MoveFile(LPCWSTR fileName,
                                  LPCWSTR newFileName,
                                  BOOL replaceIfExisting,
                                  PDOKAN_FILE_INFO info) {
    return Guard(info, [&](TvrnDrivoThread& self) {
      return self.DoMoveFile(fileName, newFileName, replaceIfExisting != FALSE, info);
    });
  }
  static NTSTATUS WINAPI SetEndOfFile(LPCWSTR fileName,
                                      LONGLONG byteOffset,
                                      PDOKAN_FILE_INFO info) {
    return Guard(info, [&](TvrnDrivoThread& self) {
      return self.DoSetEndOfFile(fileName, byteOffset, info);
    });
  }
  static NTSTATUS WINAPI SetAllocationSize(LPCWSTR fileName,
                                           LONGLONG allocSize,
                                           PDOKAN_FILE_INFO info) {
    return Guard(info, [&](TvrnDrivoThread& self) {
      return self.DoSetAllocationSize(fileName, allocSize, info);
    });
  }
  static NTSTATUS WINAPI LockFile(LPCWSTR fileName,
                                  LONGLONG byteOffset,
                                  LONGLONG length,
                                  PDOKAN_FILE_INFO info) {
    return Guard(info, [&](TvrnDrivoThread& self) {
      return self.DoLockFile(fileName, byteOffset, length, info);
    });
  }
  static NTSTATUS WINAPI UnlockFile(LPCWSTR fileName,
                                    LONGLONG byteOffset,
                                    LONGLONG length,
                                    PDOKAN_FILE_INFO info) {
    return Guard(info, [&](TvrnDrivoThread& self) {
      return self.DoUnlockFile(fileName, byteOffset, length, info);
    });
  }
  static NTSTATUS WINAPI GetDiskFreeSpace(PULONGLONG freeBytesAvailable,
                                          PULONGLONG totalNumberOfBytes,
                                          PULONGLONG totalNumberOfFreeBytes,
                                          PDOKAN_FILE_INFO info) {
    return Guard(info, [&](TvrnDrivoThread& self) {
      return self.DoGetDiskFreeSpace(freeBytesAvailable, totalNumberOfBytes, totalNumberOfFreeBytes,
                                     info);
    });
  }
  static NTSTATUS WINAPI GetVolumeInformation(LPWSTR volumeNameBuffer,
                                              DWORD volumeNameSize,
                                              LPDWORD volumeSerialNumber,
                                              LPDWORD maximumComponentLength,
                                              LPDWORD fileSystemFlags,
                                              LPWSTR fileSystemNameBuffer,
                                              DWORD fileSystemNameSize,
                                              PDOKAN_FILE_INFO info) {
    return Guard(info, [&](TvrnDrivoThread& self) {
      return self.DoGetVolumeInformation(volumeNameBuffer, volumeNameSize, volumeSerialNumber,
                                         maximumComponentLength, fileSystemFlags,
                                         fileSystemNameBuffer, fileSystemNameSize, info);
    });
  }
  static NTSTATUS WINAPI Mounted(LPCWSTR mountPoint, PDOKAN_FILE_INFO info) {
    return Guard(info, [&](TvrnDrivoThread& self) { return self.DoMounted(mountPoint, info); });
  }
  static NTSTATUS WINAPI Unmounted(PDOKAN_FILE_INFO info) {
    return Guard(info, [&](TvrnDrivoThread& self) { return self.DoUnmounted(info); });
  }
  static NTSTATUS WINAPI GetFileSecurity(LPCWSTR fileName,
                                         PSECURITY_INFORMATION securityInformation,
                                         PSECURITY_DESCRIPTOR securityDescriptor,
                                         ULONG bufferLength,
                                         PULONG lengthNeeded,
                                         PDOKAN_FILE_INFO info) {
    return Guard(info, [&](TvrnDrivoThread& self) {
      return self.DoGetFileSecurity(fileName, securityInformation, securityDescriptor, bufferLength,
                                    lengthNeeded, info);
    });
  }
  static NTSTATUS WINAPI SetFileSecurity(LPCWSTR fileName,
                                         PSECURITY_INFORMATION securityInformation,
                                         PSECURITY_DESCRIPTOR securityDescriptor,
                                         ULONG bufferLength,
                                         PDOKAN_FILE_INFO info) {
    return Guard(info, [&](TvrnDrivoThread& self) {
      return self.DoSetFileSecurity(fileName, securityInformation, securityDescriptor, bufferLength,
                                    info);
    });
  }
  static NTSTATUS WINAPI FindStreams(LPCWSTR fileName,
                                     PFillFindStreamData fillFindStreamData,
                                     PVOID findStreamContext,
                                     PDOKAN_FILE_INFO info) {
    return Guard(info, [&](TvrnDrivoThread& self) {
      return self.DoFindStreams(fileName, fillFindStreamData, findStreamContext, info);
    });
  }
};

TvrnDrivoThread::TvrnDrivoThread() : FFileSystemName(u"FAT32") {}

TvrnDrivoThread::~TvrnDrivoThread() = default;

UString TvrnDrivoThread::ResultMessage(int resultCode) {
  switch (resultCode) {
    case DOKAN_SUCCESS:
      return UString();
    case DOKAN_ERROR:
      return u"Error";
    case DOKAN_DRIVE_LETTER_ERROR:
      return u"Bad Drive letter";
    case DOKAN_DRIVER_INSTALL_ERROR:
      return u"Can't install driver";
    case DOKAN_START_ERROR:
      return u"Driver something wrong";
    case DOKAN_MOUNT_ERROR:
      return u"Can't assign a drive letter or mount point";
    case DOKAN_MOUNT_POINT_ERROR:
      return u"Mount point error";
    case DOKAN_VERSION_ERROR:
      return u"Version error";
    default:
      return u"Unknown error " + IntToUStr(resultCode);
  }
}

void TvrnDrivoThread::UnmountDrive() {
  FStateEvent.WaitFor();
  // Once finished the volume is gone, and a request for its mount point would reach
  // whatever has been mounted there since.
  if (!FMountPoint.empty() && FState != dsFinished) {
#if defined(_WIN32)
    DokanUnmount(FMountPoint[0]);
#else
    // A Linux mount point is a folder path, not a drive letter.
    DokanRemoveMountPoint(AsWChar(FMountPoint));
#endif
  }
}

void TvrnDrivoThread::Execute() {
  try {
    Run();
  } catch (const EvrnError& e) {
    FErrorMessage = e.Message();
    FResultCode = 1;
  } catch (const std::exception& e) {
    FErrorMessage = FromUtf8(e.what());
    FResultCode = 1;
  } catch (...) {
    FErrorMessage = u"Unknown error";
    FResultCode = 1;
  }
  FState = dsFinished;
  FStateEvent.Set();
}

void TvrnDrivoThread::Run() {
  FState = dsMounting;
  // The options record is 16 KiB; it lives on the heap rather than the thread's stack.
  auto options = std::make_unique<DOKAN_OPTIONS>();
  FillOptions(*options);
  options->Version = DOKAN_VERSION;
  options->GlobalContext = reinterpret_cast<std::uintptr_t>(this);
  DOKAN_OPERATIONS operations{};
  FillOperations(operations);
  DokanInit();
  FResultCode = DokanMain(options.get(), &operations);
  DokanShutdown();
  FErrorMessage = ResultMessage(FResultCode);
}

void TvrnDrivoThread::FillOperations(DOKAN_OPERATIONS& operations) {
  using C = TvrnDrivoCallbacks;
  operations = DOKAN_OPERATIONS{
      .ZwCreateFile = C::ZwCreateFile,
      .Cleanup = C::Cleanup,
      .CloseFile = C::CloseFile,
      .ReadFile = C::ReadFile,
      .WriteFile = C::WriteFile,
      .FlushFileBuffers = C::FlushFileBuffers,
      .GetFileInformation = C::GetFileInformation,
      .FindFiles = C::FindFiles,
      .FindFilesWithPattern = nullptr,
      .SetFileAttributes = C::SetFileAttributes,
      .SetFileTime = C::SetFileTime,
      .DeleteFile = C::DeleteFile,
      .DeleteDirectory = C::DeleteDirectory,
      .MoveFile = C::MoveFile,
      .SetEndOfFile = C::SetEndOfFile,
      .SetAllocationSize = C::SetAllocationSize,
      .LockFile = C::LockFile,
      .UnlockFile = C::UnlockFile,
      .GetDiskFreeSpace = C::GetDiskFreeSpace,
      .GetVolumeInformation = C::GetVolumeInformation,
      .Mounted = C::Mounted,
      .Unmounted = C::Unmounted,
      .GetFileSecurity = C::GetFileSecurity,
      .SetFileSecurity = C::SetFileSecurity,
      .FindStreams = C::FindStreams,
  };
}

NTSTATUS TvrnDrivoThread::DoMounted(LPCWSTR mountPoint, PDOKAN_FILE_INFO) {
  FMountPoint = mountPoint != nullptr ? UString(AsU16(mountPoint)) : UString();
  FState = dsMounted;
  FStateEvent.Set();
  return STATUS_SUCCESS;
}

NTSTATUS TvrnDrivoThread::DoGetVolumeInformation(LPWSTR volumeNameBuffer,
                                                 DWORD volumeNameSize,
                                                 LPDWORD volumeSerialNumber,
                                                 LPDWORD maximumComponentLength,
                                                 LPDWORD fileSystemFlags,
                                                 LPWSTR fileSystemNameBuffer,
                                                 DWORD fileSystemNameSize,
                                                 PDOKAN_FILE_INFO) {
  if (volumeNameBuffer != nullptr && !FVolumeName.empty()) {
    CopyToBuffer(volumeNameBuffer, volumeNameSize, FVolumeName);
  }
  if (maximumComponentLength != nullptr) {
    *maximumComponentLength = MaxComponentLength();
  }
  if (volumeSerialNumber != nullptr) {
    *volumeSerialNumber = FVolumeSerial;
  }
  if (fileSystemFlags != nullptr) {
    *fileSystemFlags = FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK |
                       FILE_VOLUME_IS_COMPRESSED | FILE_READ_ONLY_VOLUME;
  }
  if (fileSystemNameBuffer != nullptr) {
    CopyToBuffer(fileSystemNameBuffer, fileSystemNameSize, FFileSystemName);
  }
  return STATUS_SUCCESS;
}

NTSTATUS TvrnDrivoThread::DoGetDiskFreeSpace(PULONGLONG freeBytesAvailable,
                                             PULONGLONG totalNumberOfBytes,
                                             PULONGLONG totalNumberOfFreeBytes,
                                             PDOKAN_FILE_INFO) {
  if (freeBytesAvailable != nullptr) {
    *freeBytesAvailable = 0x20000000;
  }
  if (totalNumberOfBytes != nullptr) {
    *totalNumberOfBytes = 0x7FFFFFFFFFFFFFFF;
  }
  if (totalNumberOfFreeBytes != nullptr) {
    *totalNumberOfFreeBytes = 0x7FFFFFFFFFFFFFFF;
  }
  return STATUS_SUCCESS;
}

NTSTATUS TvrnDrivoThread::DoCreateFile(LPCWSTR,
                                       PDOKAN_IO_SECURITY_CONTEXT,
                                       ACCESS_MASK,
                                       ULONG,
                                       ULONG,
                                       ULONG,
                                       ULONG,
                                       PDOKAN_FILE_INFO) {
  return STATUS_NOT_IMPLEMENTED;
}

void TvrnDrivoThread::DoCleanup(LPCWSTR, PDOKAN_FILE_INFO) {}

void TvrnDrivoThread::DoCloseFile(LPCWSTR, PDOKAN_FILE_INFO) {}

NTSTATUS TvrnDrivoThread::DoGetFileInformation(LPCWSTR,
                                               LPBY_HANDLE_FILE_INFORMATION,
                                               PDOKAN_FILE_INFO) {
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS TvrnDrivoThread::DoFindFiles(LPCWSTR, PFillFindData, PDOKAN_FILE_INFO) {
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS TvrnDrivoThread::DoFindStreams(LPCWSTR, PFillFindStreamData, PVOID, PDOKAN_FILE_INFO) {
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS TvrnDrivoThread::DoReadFile(LPCWSTR, LPVOID, DWORD, LPDWORD, LONGLONG, PDOKAN_FILE_INFO) {
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS TvrnDrivoThread::DoGetFileSecurity(LPCWSTR,
                                            PSECURITY_INFORMATION,
                                            PSECURITY_DESCRIPTOR,
                                            ULONG,
                                            PULONG,
                                            PDOKAN_FILE_INFO) {
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS TvrnDrivoThread::DoWriteFile(LPCWSTR,
                                      LPCVOID,
                                      DWORD,
                                      LPDWORD,
                                      LONGLONG,
                                      PDOKAN_FILE_INFO) {
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS TvrnDrivoThread::DoFlushFileBuffers(LPCWSTR, PDOKAN_FILE_INFO) {
  return STATUS_SUCCESS;
}

NTSTATUS TvrnDrivoThread::DoSetFileAttributes(LPCWSTR, DWORD, PDOKAN_FILE_INFO) {
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS TvrnDrivoThread::DoSetFileTime(LPCWSTR,
                                        const FILETIME*,
                                        const FILETIME*,
                                        const FILETIME*,
                                        PDOKAN_FILE_INFO) {
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS TvrnDrivoThread::DoDeleteFile(LPCWSTR, PDOKAN_FILE_INFO) {
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS TvrnDrivoThread::DoDeleteDirectory(LPCWSTR, PDOKAN_FILE_INFO) {
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS TvrnDrivoThread::DoMoveFile(LPCWSTR, LPCWSTR, bool, PDOKAN_FILE_INFO) {
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS TvrnDrivoThread::DoSetEndOfFile(LPCWSTR, LONGLONG, PDOKAN_FILE_INFO) {
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS TvrnDrivoThread::DoSetAllocationSize(LPCWSTR, LONGLONG, PDOKAN_FILE_INFO) {
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS TvrnDrivoThread::DoLockFile(LPCWSTR, LONGLONG, LONGLONG, PDOKAN_FILE_INFO) {
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS TvrnDrivoThread::DoUnlockFile(LPCWSTR, LONGLONG, LONGLONG, PDOKAN_FILE_INFO) {
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS TvrnDrivoThread::DoSetFileSecurity(LPCWSTR,
                                            PSECURITY_INFORMATION,
                                            PSECURITY_DESCRIPTOR,
                                            ULONG,
                                            PDOKAN_FILE_INFO) {
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS TvrnDrivoThread::DoUnmounted(PDOKAN_FILE_INFO) {
  // However the volume went (our unmount or someone else's), nothing is served any more:
  // work under way for a request, such as an extraction a read waits for, gives up now
  // rather than holding the library, which waits for that request before it returns.
  FStopRequested = true;
  return STATUS_SUCCESS;
}
