// The Dokan 2 API over FUSE 3 (Linux only): the same file-system code serves a folder
// here that it serves as a drive on Windows.
//
// DokanMain mounts the volume on a folder with libfuse's high-level API and runs its
// request loop until the folder is unmounted. Each kernel request is answered with the
// Dokan callbacks that Windows would issue for it: a FUSE path becomes a Windows file
// name ("/a/b" is "\a\b"), an open becomes ZwCreateFile with kernel-style access,
// disposition and create options, a release becomes Cleanup and CloseFile, and a query
// without a handle opens one for its length, as the Windows I/O manager does. NTSTATUS
// results become errno values (ErrnoFromNtStatus).
//
// Unix files: an attribute word with FILE_ATTRIBUTE_UNIX_EXTENSION (0x8000) carries a
// unix mode in its high 16 bits, as 7-Zip stores it. Its permission bits are shown
// without write, setuid, setgid and sticky bits, and a file whose mode is a symbolic link
// is served as one: its data is the link's target, read through an open handle as any
// read is. Without a mode files are 0444 and folders 0555. Windows names cannot hold a
// '\', so a '\' in a Linux name is U+F05C in the Windows path, as 7-Zip on Windows
// spells it; the mount is always nosuid and nodev.
//
// The volume is meant to be read-only and unchanging while mounted: with
// DOKAN_OPTION_WRITE_PROTECT it is mounted "ro" and every write-type request answers
// EROFS. Without it, writes and truncation of existing files reach WriteFile and
// SetEndOfFile; creating, deleting, renaming and every metadata change still answer
// EROFS, since nothing in the program serves them. The kernel keeps file contents and
// attributes cached for the whole mount (see kCacheSeconds).
//
// Opens per read (DokanFuseSetOpenPerRead): for a write-protected volume the kernel may be
// told to send no open and release requests for files at all. Each read (and readlink)
// then opens a handle of its own and closes it again, ZwCreateFile, ReadFile, Cleanup and
// CloseFile, as a program that opens, reads and closes the file would; a write still
// fails at the open, on the read-only mount.
//
// Unmounting: DokanRemoveMountPoint(folder) from any thread, DokanUnmount(letter) when a
// single volume runs (Linux has no drive letters), or an outside `fusermount3 -u DIR`.
// The first two stop the loop and unmount the folder; a folder still in use elsewhere is
// dismounted by force (its connection aborted, as a Windows forced dismount would), so
// DokanMain never waits for other processes to let go. Without root rights the unmount
// is a lazy `fusermount3 -u -z`, and DokanMain then returns once the last user is gone.
// Unmounted comes as soon as the kernel ends the session, however it was ended, while
// requests still under way may be running (the loop waits for them before DokanMain
// returns); a volume uses it to give up such work.
//
// libfuse's auto_unmount is not used: it keeps one fusermount3 process and socket per
// mount alive until the program exits, and that process unmounts whatever FUSE mount it
// finds on the folder when it finally goes, possibly a newer one. A program that dies
// leaves a dead mount behind, for `fusermount3 -u -z DIR` to clear.
//
// No signal handler is installed, the process is never daemonized or exited, and no
// exception ever reaches libfuse: every callback answers -EIO for one.
#define FUSE_USE_VERSION 312

#include "vfs/dokan2_fuse.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <fuse.h>
#include <fuse_lowlevel.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/vrnTime.h"

extern char** environ;

namespace {

// The block size reported by statfs and st_blksize.
constexpr unsigned long kBlockSize = 4096;
// How long the kernel may keep names, attributes and failed lookups: the volume does
// not change while mounted, so for as long as it is mounted.
constexpr double kCacheSeconds = 365.0 * 24 * 3600;
// The inode libfuse reports for an entry whose number is not known.
constexpr ino_t kUnknownIno = 0xFFFFFFFF;
// How a '\\' in a Linux name is written in a Windows path, and that character in UTF-8.
constexpr char16_t kBackslashInWindows = u'\uF05C';
constexpr std::string_view kBackslashInWindowsUtf8 = "\xEF\x81\x9C";
// The oldest DOKAN_OPTIONS.Version the API accepts (2.0.0).
constexpr USHORT kMinimumVersion = 200;
// FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE: Linux has no share modes.
constexpr ULONG kShareAll = 7;
// How long an unprivileged unmount may take before fusermount3 is given up on.
constexpr std::chrono::seconds kFusermountTimeout{5};

// One open FUSE file handle: the Dokan file info of that handle and its file name.
// One entry of a folder listing as FUSE takes it.
struct TListedEntry {
  std::string Name;
  struct stat Stat {};
  // Stat holds what a lookup of the entry answers (the file index included), not just
  // what the listing gave.
  bool Complete = false;
};

struct TFuseHandle {
  DOKAN_FILE_INFO Info{};
  UString FileName;
  // A folder's listing, taken whole when a read of it starts at offset 0 and served in
  // parts from here; the kernel sends one folder handle's reads one at a time.
  std::vector<TListedEntry> Listing;
};

// One running DokanMain: its volume, its mount and the state that unmount requests see.
struct TFuseInstance {
  // The caller's options and callbacks; they outlive DokanMain.
  PDOKAN_OPTIONS Options = nullptr;
  PDOKAN_OPERATIONS Operations = nullptr;
  // The mount point exactly as given, handed to Mounted and matched by unmount requests.
  UString GivenMountPoint;
  // The folder that was mounted: absolute, symbolic links of its parents resolved.
  std::string MountPath;
  // "major:minor" of the mount in /proc/self/mountinfo; empty when it was not found.
  std::string Device;
  // Every item's owner (the mounting process's own unless set) and the bits taken
  // from every mode (TDokanFuseMountOptions).
  uid_t Uid = 0;
  gid_t Gid = 0;
  mode_t Umask = 0;
  // DOKAN_OPTION_WRITE_PROTECT was given.
  bool WriteProtected = false;
  // The kernel sends no open and release requests for files (set at init, see
  // DokanFuseSetOpenPerRead): the first read-only open answers ENOSYS, and from then on
  // each read opens and closes its own handle.
  std::atomic<bool> NoOpen{false};
  // The file info handed to Mounted and Unmounted.
  DOKAN_FILE_INFO VolumeInfo{};
  // Mounted has been called, so Unmounted is owed.
  std::atomic<bool> MountedCalled{false};
  // Unmounted has been called (by the session watch or after the loop); it comes once.
  std::atomic<bool> UnmountedCalled{false};
  // The open FUSE handles. The kernel drops releases still in flight when a mount goes
  // away, so those left at the end are closed by DokanMain. HandlesLock guards the set
  // only; it is never held around a callback.
  std::mutex HandlesLock;
  std::set<TFuseHandle*> Handles;
  // Guarded by TRegistry::Lock: the libfuse object while it may be touched (mounted,
  // loop not yet ended), and whether an unmount was asked for.
  fuse* Fuse = nullptr;
  bool UnmountRequested = false;
};

// The running instances. Lock guards the list and each instance's Fuse and
// UnmountRequested; it is taken alone, never around a volume's callback.
struct TRegistry {
  std::mutex Lock;
  std::vector<std::shared_ptr<TFuseInstance>> Instances;
};

TRegistry& Registry() {
  static TRegistry registry;
  return registry;
}

// DokanFuseSetOpenPerRead.
std::atomic<bool> gOpenPerRead{false};

// The options of the mounts made from now on (DokanFuseSetMountOptions).
std::mutex gMountOptionsLock;
TDokanFuseMountOptions gMountOptions;

TDokanFuseMountOptions CurrentMountOptions() {
  std::lock_guard<std::mutex> lock(gMountOptionsLock);
  return gMountOptions;
}

// The state of one listing, reached from FillFindData through ProcessingContext.
struct TFillState {
  const TFuseInstance* Instance;
  std::vector<TListedEntry>* Listing;
  // Set when an entry could not be added; the listing then fails with it.
  int Error = 0;
};

TFuseInstance& CurrentInstance() {
  return *static_cast<TFuseInstance*>(fuse_get_context()->private_data);
}

DOKAN_FILE_INFO NewFileInfo(const TFuseInstance& instance) {
  DOKAN_FILE_INFO info{};
  info.DokanOptions = instance.Options;
  info.ProcessId = static_cast<ULONG>(fuse_get_context()->pid);
  info.SynchronousIo = 1;
  return info;
}

TFuseHandle* HandleOf(const fuse_file_info* fi) {
  return fi != nullptr ? reinterpret_cast<TFuseHandle*>(static_cast<std::uintptr_t>(fi->fh))
                       : nullptr;
}

// The errno for a failed open. ENOSYS is never answered there: the kernel would take it
// as "no open needed" and let every later open through without asking the volume.
int OpenErrno(NTSTATUS status) {
  int error = ErrnoFromNtStatus(status);
  return error == ENOSYS ? EOPNOTSUPP : error;
}

NTSTATUS CallCreateFile(const TFuseInstance& instance,
                        const UString& fileName,
                        ACCESS_MASK access,
                        ULONG disposition,
                        ULONG createOptions,
                        DOKAN_FILE_INFO& info) {
  if (instance.Operations->ZwCreateFile == nullptr) {
    return STATUS_SUCCESS;  // a volume without the callback accepts every open
  }
  // As on Windows, a folder request arrives marked as one; the handler corrects it.
  info.IsDirectory = (createOptions & FILE_DIRECTORY_FILE) != 0;
  return instance.Operations->ZwCreateFile(fileName.c_str(), nullptr, access, 0, kShareAll,
                                           disposition, createOptions, &info);
}

void CallCleanupAndClose(const TFuseInstance& instance,
                         const UString& fileName,
                         DOKAN_FILE_INFO& info) {
  if (instance.Operations->Cleanup != nullptr) {
    instance.Operations->Cleanup(fileName.c_str(), &info);
  }
  if (instance.Operations->CloseFile != nullptr) {
    instance.Operations->CloseFile(fileName.c_str(), &info);
  }
}

// Opens FileName as ZwCreateFile and keeps the handle in Fi; the errno on failure.
int OpenHandle(const char* path,
               fuse_file_info* fi,
               ACCESS_MASK access,
               ULONG disposition,
               ULONG createOptions) {
  TFuseInstance& instance = CurrentInstance();
  std::optional<UString> fileName = WindowsPathFromFuse(path != nullptr ? path : "");
  if (!fileName) {
    return ENOENT;
  }
  auto handle = std::make_unique<TFuseHandle>();
  handle->Info = NewFileInfo(instance);
  handle->FileName = std::move(*fileName);
  NTSTATUS status =
      CallCreateFile(instance, handle->FileName, access, disposition, createOptions, handle->Info);
  if (status < 0) {
    return OpenErrno(status);
  }
  {
    std::lock_guard<std::mutex> lock(instance.HandlesLock);
    instance.Handles.insert(handle.get());
  }
  fi->fh = reinterpret_cast<std::uintptr_t>(handle.release());
  return 0;
}

int ReleaseHandle(fuse_file_info* fi) {
  TFuseInstance& instance = CurrentInstance();
  std::unique_ptr<TFuseHandle> handle(HandleOf(fi));
  fi->fh = 0;
  if (handle) {
    {
      std::lock_guard<std::mutex> lock(instance.HandlesLock);
      instance.Handles.erase(handle.get());
    }
    CallCleanupAndClose(instance, handle->FileName, handle->Info);
  }
  return 0;
}

// Closes the handles that the kernel never released; the request loop has ended.
void CloseForgottenHandles(TFuseInstance& instance) {
  std::set<TFuseHandle*> handles;
  {
    std::lock_guard<std::mutex> lock(instance.HandlesLock);
    handles.swap(instance.Handles);
  }
  for (TFuseHandle* raw : handles) {
    std::unique_ptr<TFuseHandle> handle(raw);
    try {
      CallCleanupAndClose(instance, handle->FileName, handle->Info);
    } catch (...) {
      // The volume's own business; the other handles are still closed.
    }
  }
}

// The file information of FileName through Info's handle, as a stat record.
int StatThroughHandle(const TFuseInstance& instance,
                      const UString& fileName,
                      DOKAN_FILE_INFO& info,
                      struct stat& st) {
  if (instance.Operations->GetFileInformation == nullptr) {
    return ENOSYS;
  }
  BY_HANDLE_FILE_INFORMATION data{};
  NTSTATUS status = instance.Operations->GetFileInformation(fileName.c_str(), &data, &info);
  if (status < 0) {
    return ErrnoFromNtStatus(status);
  }
  if (info.IsDirectory != 0) {
    data.dwFileAttributes |= FILE_ATTRIBUTE_DIRECTORY;
  }
  StatFromFileInformation(data, instance.Uid, instance.Gid, st, instance.Umask);
  return 0;
}

// The file information of the item at the FUSE path Path, through a transient handle
// opened for attributes alone, as Windows opens one for a query by name.
int StatPath(const TFuseInstance& instance, std::string_view path, struct stat& st) {
  std::optional<UString> fileName = WindowsPathFromFuse(path);
  if (!fileName) {
    return ENOENT;
  }
  DOKAN_FILE_INFO info = NewFileInfo(instance);
  NTSTATUS status =
      CallCreateFile(instance, *fileName, FILE_READ_ATTRIBUTES | SYNCHRONIZE, FILE_OPEN, 0, info);
  if (status < 0) {
    return ErrnoFromNtStatus(status);
  }
  int error = StatThroughHandle(instance, *fileName, info, st);
  CallCleanupAndClose(instance, *fileName, info);
  return error;
}

// The FUSE path of the entry Name of the folder at FolderPath.
std::string ChildPath(std::string_view folderPath, std::string_view name) {
  std::string path(folderPath);
  if (path.empty() || path.back() != '/') {
    path += '/';
  }
  path += name;
  return path;
}

int WINAPI FillFindData(PWIN32_FIND_DATAW data, PDOKAN_FILE_INFO info) {
  auto* state = info != nullptr ? static_cast<TFillState*>(info->ProcessingContext) : nullptr;
  if (state == nullptr || data == nullptr) {
    return 1;
  }
  try {
    std::string name = FuseNameFromFindData(*data);
    if (name.empty()) {
      return 0;
    }
    TListedEntry& entry = state->Listing->emplace_back();
    entry.Name = std::move(name);
    StatFromFindData(*data, state->Instance->Uid, state->Instance->Gid, entry.Stat,
                     state->Instance->Umask);
    return 0;
  } catch (const std::bad_alloc&) {
    state->Error = ENOMEM;
    return 1;
  } catch (...) {
    state->Error = EIO;
    return 1;
  }
}

// Lists the folder of Handle into its Listing, "." and ".." first; the errno on failure.
int ListFolder(const TFuseInstance& instance, TFuseHandle& handle) {
  const DOKAN_OPERATIONS& operations = *instance.Operations;
  if (operations.FindFiles == nullptr && operations.FindFilesWithPattern == nullptr) {
    return ENOSYS;
  }
  handle.Listing.clear();
  for (const char* name : {".", ".."}) {
    TListedEntry& entry = handle.Listing.emplace_back();
    entry.Name = name;
    entry.Stat.st_mode = S_IFDIR | 0555;
    entry.Stat.st_ino = kUnknownIno;
  }
  TFillState state{.Instance = &instance, .Listing = &handle.Listing};
  // Each listing gets its own file info, whose ProcessingContext leads FillFindData back
  // to this state; a context the handler sets is kept for the handle.
  DOKAN_FILE_INFO info = handle.Info;
  info.ProcessingContext = &state;
  NTSTATUS status =
      operations.FindFiles != nullptr
          ? operations.FindFiles(handle.FileName.c_str(), FillFindData, &info)
          : operations.FindFilesWithPattern(handle.FileName.c_str(), u"*", FillFindData, &info);
  handle.Info.Context = info.Context;
  int error = status < 0 ? ErrnoFromNtStatus(status) : state.Error;
  if (error != 0) {
    handle.Listing.clear();
  }
  return error;
}

// ---------------------------------------------------------------------------------------
// The FUSE callbacks.

void* FsInit(fuse_conn_info* connection, fuse_config* config) noexcept {
  auto* instance = static_cast<TFuseInstance*>(fuse_get_context()->private_data);
  // Link targets do not change while mounted either: the kernel keeps them.
  if ((connection->capable & FUSE_CAP_CACHE_SYMLINKS) != 0) {
    connection->want |= FUSE_CAP_CACHE_SYMLINKS;
  }
  // A read-only volume needs no open file state in the kernel: without open and release
  // requests a file costs one round trip to read, and none once its pages are cached.
  if (gOpenPerRead.load() && instance->WriteProtected &&
      (connection->capable & FUSE_CAP_NO_OPEN_SUPPORT) != 0) {
    instance->NoOpen = true;
  }
  config->use_ino = 1;
  config->kernel_cache = 1;
  config->entry_timeout = kCacheSeconds;
  config->attr_timeout = kCacheSeconds;
  config->negative_timeout = kCacheSeconds;
  config->nullpath_ok = 0;
  try {
    if (instance->Operations->Mounted != nullptr) {
      instance->Operations->Mounted(instance->Options->MountPoint, &instance->VolumeInfo);
    }
  } catch (...) {
    // The volume's own business; the mount stands.
  }
  instance->MountedCalled = true;
  return instance;
}

// Reads up to Size bytes at Offset through Info's handle on FileName into Buffer, asking
// again while the handler returns less and more may come; the bytes read, or -errno.
int ReadThroughHandle(const TFuseInstance& instance,
                      const UString& fileName,
                      DOKAN_FILE_INFO& info,
                      char* buffer,
                      size_t size,
                      off_t offset) {
  if (instance.Operations->ReadFile == nullptr) {
    return -ENOSYS;
  }
  size = std::min<size_t>(size, INT_MAX);
  size_t done = 0;
  while (done < size) {
    DWORD wanted = static_cast<DWORD>(std::min<size_t>(size - done, 0x7FFFFFFF));
    DWORD got = 0;
    NTSTATUS status = instance.Operations->ReadFile(fileName.c_str(), buffer + done, wanted, &got,
                                                    offset + LONGLONG(done), &info);
    if (status == STATUS_END_OF_FILE) {
      break;
    }
    if (status < 0) {
      // Bytes already read are not returned: a short count would make the kernel
      // believe the file ends here.
      return -ErrnoFromNtStatus(status);
    }
    if (got > wanted) {
      return -EIO;  // the handler claims more than the buffer holds
    }
    if (got == 0) {
      break;
    }
    done += got;
  }
  return static_cast<int>(done);
}

// Reads as ReadThroughHandle does, through a handle opened for reading for this read
// alone and closed after it: ZwCreateFile, ReadFile, Cleanup and CloseFile, as a
// Windows program that opens, reads and closes the file gives them.
int ReadThroughOwnHandle(const TFuseInstance& instance,
                         const char* path,
                         char* buffer,
                         size_t size,
                         off_t offset) {
  std::optional<UString> fileName = WindowsPathFromFuse(path != nullptr ? path : "");
  if (!fileName) {
    return -ENOENT;
  }
  DOKAN_FILE_INFO info = NewFileInfo(instance);
  NTSTATUS status = CallCreateFile(instance, *fileName, FILE_GENERIC_READ, FILE_OPEN,
                                   FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, info);
  if (status < 0) {
    return -OpenErrno(status);
  }
  int done = ReadThroughHandle(instance, *fileName, info, buffer, size, offset);
  CallCleanupAndClose(instance, *fileName, info);
  return done;
}

int FsGetattr(const char* path, struct stat* st, fuse_file_info* fi) noexcept try {
  TFuseInstance& instance = CurrentInstance();
  if (TFuseHandle* handle = HandleOf(fi)) {
    return -StatThroughHandle(instance, handle->FileName, handle->Info, *st);
  }
  return -StatPath(instance, path != nullptr ? path : "", *st);
} catch (...) {
  return -EIO;
}

int FsOpen(const char* path, fuse_file_info* fi) noexcept try {
  const TFuseInstance& instance = CurrentInstance();
  int mode = fi->flags & O_ACCMODE;
  bool truncate = (fi->flags & O_TRUNC) != 0;
  if (instance.WriteProtected && (mode != O_RDONLY || truncate)) {
    return -EROFS;
  }
  ACCESS_MASK access = mode == O_WRONLY ? FILE_GENERIC_WRITE
                       : mode == O_RDWR ? FILE_GENERIC_READ | FILE_GENERIC_WRITE
                                        : FILE_GENERIC_READ;
  int error = OpenHandle(path, fi, access, truncate ? FILE_OVERWRITE : FILE_OPEN,
                         FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT);
  if (error != 0 || !instance.NoOpen) {
    return -error;
  }
  // The open is allowed; ENOSYS tells the kernel to send no more opens (nor releases)
  // for files. This first open's reads then come without a handle, as all later ones.
  ReleaseHandle(fi);
  return -ENOSYS;
} catch (...) {
  return -EIO;
}

int FsOpendir(const char* path, fuse_file_info* fi) noexcept try {
  // No more than a folder of a read-only volume grants: listing, attributes, traversal.
  return -OpenHandle(path, fi, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE, FILE_OPEN,
                     FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT);
} catch (...) {
  return -EIO;
}

int FsRelease(const char*, fuse_file_info* fi) noexcept try {
  return ReleaseHandle(fi);
} catch (...) {
  return -EIO;
}

int FsRead(const char* path, char* buffer, size_t size, off_t offset, fuse_file_info* fi) noexcept
    try {
  const TFuseInstance& instance = CurrentInstance();
  // A handler may return fewer bytes than asked; the kernel takes a short answer for the
  // end of the file, so the request is filled unless the file ends.
  if (TFuseHandle* handle = HandleOf(fi)) {
    return ReadThroughHandle(instance, handle->FileName, handle->Info, buffer, size, offset);
  }
  if (!instance.NoOpen) {
    return -EBADF;
  }
  return ReadThroughOwnHandle(instance, path, buffer, size, offset);
} catch (...) {
  return -EIO;
}

// A symbolic link's target is the file's data: read whole through a handle of its own,
// as a read of the file would be, and cut to the kernel's buffer.
int FsReadlink(const char* path, char* buffer, size_t size) noexcept try {
  if (size == 0) {
    return -EINVAL;
  }
  int done = ReadThroughOwnHandle(CurrentInstance(), path, buffer, size - 1, 0);
  if (done < 0) {
    return done;
  }
  buffer[done] = 0;
  return 0;
} catch (...) {
  return -EIO;
}

int FsWrite(const char*, const char* buffer, size_t size, off_t offset, fuse_file_info* fi) noexcept
    try {
  const TFuseInstance& instance = CurrentInstance();
  if (instance.WriteProtected) {
    return -EROFS;
  }
  TFuseHandle* handle = HandleOf(fi);
  if (handle == nullptr) {
    return -EBADF;
  }
  if (instance.Operations->WriteFile == nullptr) {
    return -EROFS;
  }
  DWORD wanted = static_cast<DWORD>(std::min<size_t>(size, INT_MAX));
  DWORD written = 0;
  NTSTATUS status = instance.Operations->WriteFile(handle->FileName.c_str(), buffer, wanted,
                                                   &written, offset, &handle->Info);
  if (status < 0) {
    return -ErrnoFromNtStatus(status);
  }
  return written <= wanted ? static_cast<int>(written) : -EIO;
} catch (...) {
  return -EIO;
}

int FsTruncate(const char* path, off_t size, fuse_file_info* fi) noexcept try {
  TFuseInstance& instance = CurrentInstance();
  if (instance.WriteProtected || instance.Operations->SetEndOfFile == nullptr) {
    return -EROFS;
  }
  if (TFuseHandle* handle = HandleOf(fi)) {
    return -ErrnoFromNtStatus(
        instance.Operations->SetEndOfFile(handle->FileName.c_str(), size, &handle->Info));
  }
  std::optional<UString> fileName = WindowsPathFromFuse(path != nullptr ? path : "");
  if (!fileName) {
    return -ENOENT;
  }
  DOKAN_FILE_INFO info = NewFileInfo(instance);
  NTSTATUS status = CallCreateFile(instance, *fileName, FILE_WRITE_DATA | SYNCHRONIZE, FILE_OPEN,
                                   FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, info);
  if (status < 0) {
    return -OpenErrno(status);
  }
  status = instance.Operations->SetEndOfFile(fileName->c_str(), size, &info);
  CallCleanupAndClose(instance, *fileName, info);
  return -ErrnoFromNtStatus(status);
} catch (...) {
  return -EIO;
}

int FsFsync(const char*, int, fuse_file_info* fi) noexcept try {
  const TFuseInstance& instance = CurrentInstance();
  TFuseHandle* handle = HandleOf(fi);
  if (instance.WriteProtected || handle == nullptr ||
      instance.Operations->FlushFileBuffers == nullptr) {
    return 0;
  }
  return -ErrnoFromNtStatus(
      instance.Operations->FlushFileBuffers(handle->FileName.c_str(), &handle->Info));
} catch (...) {
  return -EIO;
}

int FsStatfs(const char*, struct statvfs* st) noexcept try {
  const TFuseInstance& instance = CurrentInstance();
  const DOKAN_OPERATIONS& operations = *instance.Operations;
  DOKAN_FILE_INFO info = NewFileInfo(instance);
  ULONGLONG available = 0;
  ULONGLONG total = 0;
  ULONGLONG free = 0;
  if (operations.GetDiskFreeSpace != nullptr) {
    NTSTATUS status = operations.GetDiskFreeSpace(&available, &total, &free, &info);
    if (status < 0) {
      return -ErrnoFromNtStatus(status);
    }
  }
  WCHAR volumeName[MAX_PATH + 1] = {};
  WCHAR fileSystemName[MAX_PATH + 1] = {};
  DWORD serial = 0;
  DWORD maxComponentLength = 255;
  DWORD flags = 0;
  if (operations.GetVolumeInformation != nullptr) {
    NTSTATUS status =
        operations.GetVolumeInformation(volumeName, MAX_PATH + 1, &serial, &maxComponentLength,
                                        &flags, fileSystemName, MAX_PATH + 1, &info);
    if (status < 0) {
      return -ErrnoFromNtStatus(status);
    }
  }
  *st = {};
  st->f_bsize = kBlockSize;
  st->f_frsize = kBlockSize;
  st->f_blocks = total / kBlockSize;
  st->f_bfree = free / kBlockSize;
  st->f_bavail = available / kBlockSize;
  st->f_fsid = serial;
  st->f_namemax = maxComponentLength;
  // The kernel reports the mount's own flags; this is for completeness.
  if (instance.WriteProtected || (flags & FILE_READ_ONLY_VOLUME) != 0) {
    st->f_flag |= ST_RDONLY;
  }
  return 0;
} catch (...) {
  return -EIO;
}

int FsReaddir(const char* path,
              void* buffer,
              fuse_fill_dir_t filler,
              off_t offset,
              fuse_file_info* fi,
              fuse_readdir_flags flags) noexcept try {
  const TFuseInstance& instance = CurrentInstance();
  TFuseHandle* handle = HandleOf(fi);
  if (handle == nullptr) {
    return -EBADF;
  }
  if (offset <= 0 || handle->Listing.empty()) {
    if (int error = ListFolder(instance, *handle); error != 0) {
      return -error;
    }
  }
  // Entry i goes out with offset i + 1, where the next read starts, until the kernel's
  // buffer is full. With readdirplus the kernel takes each entry's attributes for what
  // a lookup would answer, so they come from the same query as a lookup's, once per
  // entry; an entry whose query fails goes out without them.
  bool plus = (flags & FUSE_READDIR_PLUS) != 0 && path != nullptr;
  for (std::size_t i = static_cast<std::size_t>(std::max<off_t>(offset, 0));
       i < handle->Listing.size(); ++i) {
    TListedEntry& entry = handle->Listing[i];
    bool dots = i < 2;
    if (plus && !dots && !entry.Complete) {
      struct stat st {};
      if (StatPath(instance, ChildPath(path, entry.Name), st) == 0) {
        entry.Stat = st;
        entry.Complete = true;
      }
    }
    auto fill = plus && entry.Complete ? FUSE_FILL_DIR_PLUS : fuse_fill_dir_flags(0);
    if (filler(buffer, entry.Name.c_str(), &entry.Stat, static_cast<off_t>(i + 1), fill) != 0) {
      break;
    }
  }
  return 0;
} catch (const std::bad_alloc&) {
  return -ENOMEM;
} catch (...) {
  return -EIO;
}

// The answer to every request that would create, delete, rename or change metadata.
template <typename... Args>
int RefuseWrite(Args...) noexcept {
  return -EROFS;
}

constexpr fuse_operations kFuseOperations = {
    .getattr = FsGetattr,
    .readlink = FsReadlink,
    .mknod = RefuseWrite<const char*, mode_t, dev_t>,
    .mkdir = RefuseWrite<const char*, mode_t>,
    .unlink = RefuseWrite<const char*>,
    .rmdir = RefuseWrite<const char*>,
    .symlink = RefuseWrite<const char*, const char*>,
    .rename = RefuseWrite<const char*, const char*, unsigned int>,
    .link = RefuseWrite<const char*, const char*>,
    .chmod = RefuseWrite<const char*, mode_t, fuse_file_info*>,
    .chown = RefuseWrite<const char*, uid_t, gid_t, fuse_file_info*>,
    .truncate = FsTruncate,
    .open = FsOpen,
    .read = FsRead,
    .write = FsWrite,
    .statfs = FsStatfs,
    .flush = nullptr,
    .release = FsRelease,
    .fsync = FsFsync,
    .setxattr = RefuseWrite<const char*, const char*, const char*, size_t, int>,
    .getxattr = nullptr,
    .listxattr = nullptr,
    .removexattr = RefuseWrite<const char*, const char*>,
    .opendir = FsOpendir,
    .readdir = FsReaddir,
    .releasedir = FsRelease,
    .fsyncdir = nullptr,
    .init = FsInit,
    .destroy = nullptr,
    .access = nullptr,
    .create = RefuseWrite<const char*, mode_t, fuse_file_info*>,
    .lock = nullptr,
    .utimens = RefuseWrite<const char*, const timespec*, fuse_file_info*>,
    .bmap = nullptr,
    .ioctl = nullptr,
    .poll = nullptr,
    .write_buf = nullptr,
    .read_buf = nullptr,
    .flock = nullptr,
    .fallocate = nullptr,
    .copy_file_range = nullptr,
    .lseek = nullptr,
};

// ---------------------------------------------------------------------------------------
// Mounting and unmounting.

bool IsOctalDigit(char c) {
  return c >= '0' && c <= '7';
}

// Undoes the escapes of a /proc/self/mountinfo field (\040 for a blank and so on).
std::string UnescapeMountField(const std::string& field) {
  std::string result;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() && IsOctalDigit(field[i + 1]) &&
        IsOctalDigit(field[i + 2]) && IsOctalDigit(field[i + 3])) {
      result += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                                  (field[i + 3] - '0'));
      i += 3;
    } else {
      result += field[i];
    }
  }
  return result;
}

// The topmost mount on Path as /proc/self/mountinfo lists it.
struct TMountEntry {
  std::string Device;
  std::string Type;
};

std::optional<TMountEntry> TopMountAt(const std::string& path) {
  std::ifstream mountInfo("/proc/self/mountinfo");
  std::optional<TMountEntry> found;
  std::string line;
  while (std::getline(mountInfo, line)) {
    std::istringstream fields(line);
    std::string id, parent, device, root, mountPoint, field;
    if (!(fields >> id >> parent >> device >> root >> mountPoint) ||
        UnescapeMountField(mountPoint) != path) {
      continue;
    }
    while (fields >> field && field != "-") {
    }
    std::string type;
    fields >> type;
    found = TMountEntry{device, type};  // later lines lie on top of earlier ones
  }
  return found;
}

// Runs `fusermount3 -u -z -- Path` and waits for it, at most kFusermountTimeout.
void RunFusermountUnmount(const std::string& path) {
  std::string program = "fusermount3";
  std::string unmount = "-u";
  std::string lazy = "-z";
  std::string end = "--";
  std::string target = path;
  char* argv[] = {program.data(), unmount.data(), lazy.data(), end.data(), target.data(), nullptr};
  pid_t child = 0;
  if (posix_spawnp(&child, argv[0], nullptr, nullptr, argv, environ) != 0) {
    return;
  }
  auto deadline = std::chrono::steady_clock::now() + kFusermountTimeout;
  while (waitpid(child, nullptr, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(child, SIGKILL);
      waitpid(child, nullptr, 0);
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

// Takes Instance's folder away from the system, so that the kernel ends the session and
// the request loop returns. Does nothing when our mount is no longer the one on top of
// the folder (already unmounted, or covered by another), so that nothing else is hit.
void DetachMount(const TFuseInstance& instance) {
  std::optional<TMountEntry> top = TopMountAt(instance.MountPath);
  if (!top || top->Type != kDokanFuseMountType ||
      (!instance.Device.empty() && top->Device != instance.Device)) {
    return;
  }
  const char* path = instance.MountPath.c_str();
  if (geteuid() != 0) {
    RunFusermountUnmount(instance.MountPath);
    return;
  }
  if (umount2(path, UMOUNT_NOFOLLOW) == 0 || errno != EBUSY) {
    return;
  }
  // In use elsewhere: abort the connection, so nothing waits on those users, and detach.
  umount2(path, MNT_FORCE | UMOUNT_NOFOLLOW);
  umount2(path, MNT_DETACH | UMOUNT_NOFOLLOW);
}

// Asks Instance to end; the caller holds the registry lock. A mount still under way
// sees the request once fuse_mount has returned.
void RequestUnmountLocked(TFuseInstance& instance) {
  if (instance.UnmountRequested) {
    return;
  }
  instance.UnmountRequested = true;
  if (instance.Fuse == nullptr) {
    return;
  }
  fuse_session_exit(fuse_get_session(instance.Fuse));
  DetachMount(instance);
}

// The folder that a mount point names, absolute and with the symbolic links of its
// parent folders resolved; the folder itself is not looked at, so a mount on it (even a
// stalled one) is never asked. Empty when the parent does not exist.
std::string MountPathOf(const std::string& mountPoint) {
  std::error_code error;
  std::filesystem::path path = std::filesystem::absolute(mountPoint, error);
  if (error) {
    return std::string();
  }
  path = path.lexically_normal();
  if (!path.has_filename() && path.has_parent_path() && path != path.root_path()) {
    path = path.parent_path();
  }
  if (path == path.root_path()) {
    return path.string();
  }
  std::filesystem::path parent = std::filesystem::canonical(path.parent_path(), error);
  if (error) {
    return std::string();
  }
  return (parent / path.filename()).string();
}

// Removes Instance from the registry, after which no unmount request touches its
// libfuse object any more.
void Deregister(const std::shared_ptr<TFuseInstance>& instance) {
  TRegistry& registry = Registry();
  std::lock_guard<std::mutex> lock(registry.Lock);
  instance->Fuse = nullptr;
  std::erase(registry.Instances, instance);
}

// Destroys a libfuse object (after its unmount, where it was mounted).
struct TFuseDestroyer {
  void operator()(fuse* session) const { fuse_destroy(session); }
};
using TFuseSession = std::unique_ptr<fuse, TFuseDestroyer>;

// Keeps an instance in the registry for as long as DokanMain runs.
class TRegistration {
 public:
  explicit TRegistration(std::shared_ptr<TFuseInstance> instance)
      : FInstance(std::move(instance)) {}
  TRegistration(const TRegistration&) = delete;
  TRegistration& operator=(const TRegistration&) = delete;
  ~TRegistration() { Deregister(FInstance); }

 private:
  std::shared_ptr<TFuseInstance> FInstance;
};

// Text as one value of a libfuse option list, where a comma ends the value and a
// backslash makes the next character its own.
std::string EscapeOptionValue(std::string_view text) {
  std::string escaped;
  for (char c : text) {
    if (c == ',' || c == '\\') {
      escaped += '\\';
    }
    escaped += c;
  }
  return escaped;
}

// Builds the libfuse object for Instance, or nothing when FUSE cannot start.
TFuseSession NewFuse(TFuseInstance& instance, const TDokanFuseMountOptions& mount) {
  // Private to the mounting user unless other users were let in; whatever modes the
  // volume shows, nothing on it runs with other rights or reaches a device.
  std::string options =
      "fsname=" + EscapeOptionValue(mount.Source.empty() ? "vornmount" : mount.Source) +
      ",subtype=vornmount,nosuid,nodev";
  if (mount.AllowOther) {
    options += ",allow_other";
  } else if (mount.AllowRoot) {
    options += ",allow_root";
  }
  if (mount.DefaultPermissions) {
    options += ",default_permissions";
  }
  if (instance.WriteProtected) {
    options += ",ro";
  }
  ULONG debug = DOKAN_OPTION_DEBUG | DOKAN_OPTION_STDERR;
  if (mount.Debug || (instance.Options->Options & debug) == debug) {
    options += ",debug";
  }
  std::string program = "vornmount";
  std::string optionSwitch = "-o";
  char* argv[] = {program.data(), optionSwitch.data(), options.data(), nullptr};
  fuse_args args = FUSE_ARGS_INIT(3, argv);
  TFuseSession result(fuse_new(&args, &kFuseOperations, sizeof(kFuseOperations), &instance));
  fuse_opt_free_args(&args);
  return result;
}

// Tells the volume that it is unmounted, once, and only when Mounted was called.
void NotifyUnmounted(TFuseInstance& instance) {
  if (!instance.MountedCalled || instance.Operations->Unmounted == nullptr ||
      instance.UnmountedCalled.exchange(true)) {
    return;
  }
  try {
    instance.Operations->Unmounted(&instance.VolumeInfo);
  } catch (...) {
  }
}

// Watches the kernel connection of a running loop, so that the volume hears of the end
// of its session at once, however it ended (our unmount, `fusermount3 -u`, `umount -f`,
// an aborted connection): the loop itself returns only once every request under way has
// been answered, and a request may be waiting for work that only the volume can stop.
class TSessionWatch {
 public:
  TSessionWatch(TFuseInstance& instance, fuse_session* session) : FInstance(instance) {
    FWake = eventfd(0, EFD_CLOEXEC);
    if (FWake < 0) {
      return;  // no watch: the volume hears of the end once the loop has returned
    }
    const int device = fuse_session_fd(session);
    try {
      FThread = std::thread([this, device] { Watch(device); });
    } catch (...) {
      close(FWake);
      FWake = -1;
    }
  }
  TSessionWatch(const TSessionWatch&) = delete;
  TSessionWatch& operator=(const TSessionWatch&) = delete;
  // Ends the watch without telling the volume anything.
  ~TSessionWatch() {
    if (FThread.joinable()) {
      const std::uint64_t one = 1;
      while (write(FWake, &one, sizeof one) < 0 && errno == EINTR) {
      }
      FThread.join();
    }
    if (FWake >= 0) {
      close(FWake);
    }
  }

 private:
  void Watch(int device) {
    // No events asked for the device: poll reports its error state alone, which the
    // kernel sets when the connection goes.
    pollfd fds[2] = {{.fd = device, .events = 0, .revents = 0},
                     {.fd = FWake, .events = POLLIN, .revents = 0}};
    for (;;) {
      if (poll(fds, 2, -1) < 0) {
        if (errno == EINTR) {
          continue;
        }
        return;
      }
      if (fds[1].revents != 0) {
        return;
      }
      if ((fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
        NotifyUnmounted(FInstance);
        return;
      }
    }
  }

  TFuseInstance& FInstance;
  int FWake = -1;
  std::thread FThread;
};

int RunMount(PDOKAN_OPTIONS options, PDOKAN_OPERATIONS operations) {
  if (options == nullptr || operations == nullptr) {
    return DOKAN_ERROR;
  }
  if (options->Version < kMinimumVersion) {
    return DOKAN_VERSION_ERROR;
  }
  if (options->MountPoint == nullptr || options->MountPoint[0] == 0) {
    return DOKAN_MOUNT_POINT_ERROR;
  }
  auto instance = std::make_shared<TFuseInstance>();
  instance->Options = options;
  instance->Operations = operations;
  instance->GivenMountPoint = options->MountPoint;
  instance->MountPath = MountPathOf(ToUtf8(instance->GivenMountPoint));
  struct stat folder {};
  if (instance->MountPath.empty() || instance->MountPath == "/" ||
      stat(instance->MountPath.c_str(), &folder) != 0 || !S_ISDIR(folder.st_mode)) {
    return DOKAN_MOUNT_POINT_ERROR;
  }
  if (access("/dev/fuse", R_OK | W_OK) != 0) {
    return DOKAN_START_ERROR;
  }
  TDokanFuseMountOptions mount = CurrentMountOptions();
  instance->Uid = mount.Uid.value_or(getuid());
  instance->Gid = mount.Gid.value_or(getgid());
  instance->Umask = mount.Umask & 07777;
  instance->WriteProtected = (options->Options & DOKAN_OPTION_WRITE_PROTECT) != 0;
  instance->VolumeInfo.DokanOptions = options;
  instance->VolumeInfo.ProcessId = static_cast<ULONG>(getpid());

  TRegistry& registry = Registry();
  {
    std::lock_guard<std::mutex> lock(registry.Lock);
    for (const auto& other : registry.Instances) {
      if (other->MountPath == instance->MountPath) {
        return DOKAN_MOUNT_ERROR;  // this folder is served already
      }
    }
    registry.Instances.push_back(instance);
  }
  TRegistration registration(instance);

  TFuseSession session = NewFuse(*instance, mount);
  if (!session) {
    return DOKAN_START_ERROR;
  }
  if (fuse_mount(session.get(), instance->MountPath.c_str()) != 0) {
    return DOKAN_MOUNT_ERROR;
  }
  // From here on nothing raises before the unmount below.
  try {
    std::optional<TMountEntry> mount = TopMountAt(instance->MountPath);
    if (mount && mount->Type == kDokanFuseMountType) {
      instance->Device = mount->Device;
    }
  } catch (...) {
    // Unknown device: unmount requests then go by the folder's file-system type alone.
  }
  bool cancelled = false;
  {
    std::lock_guard<std::mutex> lock(registry.Lock);
    instance->Fuse = session.get();
    cancelled = instance->UnmountRequested;
  }
  int loopResult = 0;
  if (!cancelled) {
    TSessionWatch watch(*instance, fuse_get_session(session.get()));
    if (options->SingleThread) {
      loopResult = fuse_loop(session.get());
    } else {
      fuse_loop_config* config = fuse_loop_cfg_create();
      loopResult = fuse_loop_mt(session.get(), config);
      fuse_loop_cfg_destroy(config);
    }
  }
  bool requested = false;
  {
    std::lock_guard<std::mutex> lock(registry.Lock);
    requested = instance->UnmountRequested;
  }
  Deregister(instance);
  fuse_unmount(session.get());
  session.reset();
  CloseForgottenHandles(*instance);
  NotifyUnmounted(*instance);
  return loopResult == 0 || requested ? DOKAN_SUCCESS : DOKAN_ERROR;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// The test-visible translations.

int ErrnoFromNtStatus(NTSTATUS status) {
  if (status >= 0) {
    return 0;
  }
  switch (status) {
    case STATUS_OBJECT_NAME_NOT_FOUND:
    case STATUS_OBJECT_PATH_NOT_FOUND:
    case STATUS_NO_SUCH_FILE:
      return ENOENT;
    case STATUS_ACCESS_DENIED:
      return EACCES;
    case STATUS_NOT_A_DIRECTORY:
      return ENOTDIR;
    case STATUS_FILE_IS_A_DIRECTORY:
      return EISDIR;
    case STATUS_NO_MEMORY:
    case STATUS_INSUFFICIENT_RESOURCES:
      return ENOMEM;
    case STATUS_INVALID_PARAMETER:
    case STATUS_OBJECT_NAME_INVALID:
      return EINVAL;
    case STATUS_NOT_IMPLEMENTED:
      return ENOSYS;
    case STATUS_NOT_SUPPORTED:
      return EOPNOTSUPP;
    case STATUS_MEDIA_WRITE_PROTECTED:
      return EROFS;
    case STATUS_CANCELLED:
      return ECANCELED;
    case STATUS_INVALID_HANDLE:
      return EBADF;
    case STATUS_SHARING_VIOLATION:
      return EBUSY;
    case STATUS_OBJECT_NAME_COLLISION:
      return EEXIST;
    case STATUS_DIRECTORY_NOT_EMPTY:
      return ENOTEMPTY;
    case STATUS_DISK_FULL:
      return ENOSPC;
    case STATUS_NAME_TOO_LONG:
      return ENAMETOOLONG;
    default:
      return EIO;
  }
}

namespace {

// The unix mode an attribute word carries, 0 when it carries none.
mode_t StoredUnixMode(DWORD attributes) {
  return (attributes & kUnixExtensionAttribute) != 0 ? static_cast<mode_t>(attributes >> 16) : 0;
}

void FillStat(DWORD attributes,
              const FILETIME& lastAccess,
              const FILETIME& lastWrite,
              ULONGLONG size,
              uid_t uid,
              gid_t gid,
              mode_t umask,
              struct stat& st) {
  st = {};
  bool folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  mode_t stored = StoredUnixMode(attributes);
  bool link = !folder && S_ISLNK(stored);
  // Read-only whatever was stored, and never setuid, setgid or sticky.
  mode_t permissions = (stored != 0 ? (stored & 0555) : folder ? 0555 : 0444) & ~umask;
  st.st_mode = (folder ? S_IFDIR : link ? S_IFLNK : S_IFREG) | permissions;
  st.st_nlink = 1;  // also for folders: 1 tells find(1) not to count subfolders by links
  st.st_uid = uid;
  st.st_gid = gid;
  st.st_size = folder ? 0 : static_cast<off_t>(std::min<ULONGLONG>(size, LLONG_MAX));
  st.st_blksize = kBlockSize;
  st.st_blocks = static_cast<blkcnt_t>((static_cast<ULONGLONG>(st.st_size) + 511) / 512);
  st.st_atim = FileTimeToTimespec(lastAccess);
  st.st_mtim = FileTimeToTimespec(lastWrite);
  st.st_ctim = st.st_mtim;  // Windows keeps no change time apart from the write time
}

}  // namespace

void StatFromFileInformation(const BY_HANDLE_FILE_INFORMATION& info,
                             uid_t uid,
                             gid_t gid,
                             struct stat& st,
                             mode_t umask) {
  ULONGLONG size = (ULONGLONG(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  FillStat(info.dwFileAttributes, info.ftLastAccessTime, info.ftLastWriteTime, size, uid, gid,
           umask, st);
  st.st_ino = static_cast<ino_t>((ULONGLONG(info.nFileIndexHigh) << 32) | info.nFileIndexLow);
  if (!S_ISDIR(st.st_mode) && info.nNumberOfLinks > 1) {
    st.st_nlink = info.nNumberOfLinks;
  }
}

void StatFromFindData(const WIN32_FIND_DATAW& data,
                      uid_t uid,
                      gid_t gid,
                      struct stat& st,
                      mode_t umask) {
  ULONGLONG size = (ULONGLONG(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  FillStat(data.dwFileAttributes, data.ftLastAccessTime, data.ftLastWriteTime, size, uid, gid,
           umask, st);
  st.st_ino = kUnknownIno;
}

bool DokanFuseIsMountedAt(const std::string& path) {
  return TopMountAt(path).has_value();
}

std::string DokanFuseMountTypeAt(const std::string& path) {
  std::optional<TMountEntry> top = TopMountAt(path);
  return top ? top->Type : std::string();
}

void DokanFuseSetMountOptions(const TDokanFuseMountOptions& options) {
  std::lock_guard<std::mutex> lock(gMountOptionsLock);
  gMountOptions = options;
}

void DokanFuseSetOpenPerRead(bool perRead) {
  gOpenPerRead.store(perRead);
}

std::optional<UString> WindowsPathFromFuse(std::string_view path) {
  // Every name of a volume is valid UTF-8 with its U+F05C shown as '\\': other bytes,
  // or U+F05C itself, name nothing, rather than an item whose name merely converts alike.
  if (path.empty() || path.front() != '/' || path.find(kBackslashInWindowsUtf8) != path.npos) {
    return std::nullopt;
  }
  UString result = FromUtf8(path);
  if (result.find(u'\uFFFD') != UString::npos && ToUtf8(result) != path) {
    return std::nullopt;
  }
  for (char16_t& c : result) {
    c = c == u'\\' ? kBackslashInWindows : c == u'/' ? u'\\' : c;
  }
  return result;
}

std::string FuseNameFromFindData(const WIN32_FIND_DATAW& data) {
  // The name need not be terminated when it fills the whole array.
  std::size_t length = 0;
  while (length < std::size(data.cFileName) && data.cFileName[length] != 0) {
    ++length;
  }
  UString wide(AsU16(data.cFileName), length);
  std::replace(wide.begin(), wide.end(), kBackslashInWindows, u'\\');
  std::string name = ToUtf8(wide);
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
    return std::string();
  }
  return name;
}

// ---------------------------------------------------------------------------------------
// The exports.

void DOKANAPI DokanInit() {
  // Nothing to prepare: each DokanMain sets up its own session. Kept as a no-op so that
  // one volume's DokanShutdown never disturbs another running volume.
}

void DOKANAPI DokanShutdown() {}

int DOKANAPI DokanMain(PDOKAN_OPTIONS DokanOptions, PDOKAN_OPERATIONS DokanOperations) {
  try {
    return RunMount(DokanOptions, DokanOperations);
  } catch (...) {
    return DOKAN_ERROR;
  }
}

BOOL DOKANAPI DokanUnmount(WCHAR DriveLetter) {
  (void)DriveLetter;  // Linux mount points are folders; see the note at the top
  try {
    TRegistry& registry = Registry();
    std::lock_guard<std::mutex> lock(registry.Lock);
    if (registry.Instances.size() != 1) {
      return FALSE;
    }
    RequestUnmountLocked(*registry.Instances.front());
    return TRUE;
  } catch (...) {
    return FALSE;
  }
}

BOOL DOKANAPI DokanRemoveMountPoint(LPCWSTR MountPoint) {
  if (MountPoint == nullptr || MountPoint[0] == 0) {
    return FALSE;
  }
  try {
    UString given(MountPoint);
    std::string mountPath = MountPathOf(ToUtf8(given));
    TRegistry& registry = Registry();
    std::lock_guard<std::mutex> lock(registry.Lock);
    for (const auto& instance : registry.Instances) {
      if (instance->GivenMountPoint == given ||
          (!mountPath.empty() && instance->MountPath == mountPath)) {
        RequestUnmountLocked(*instance);
        return TRUE;
      }
    }
    return FALSE;
  } catch (...) {
    return FALSE;
  }
}
