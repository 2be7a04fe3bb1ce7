// The stand-in dokan2.dll: the Dokan 2 exports the program imports, without a driver.
//
// Windows test runs load it in place of the real library. A mount here is a record in a
// table: DokanMain checks the options as the library does, reports Mounted with the
// options' mount point, waits until another thread unmounts that mount point, reports
// Unmounted and returns 0. DokanNtStatusFromWin32 and DokanMapKernelToUserCreateFileFlags
// are the program's own (vfs/dokan2_common.cpp), compiled into this DLL. The control
// exports are declared for tests in dokan_standin.h.

#include "tests/dokan_standin/dokan_standin.h"

#include <atomic>
#include <condition_variable>
#include <cwctype>
#include <list>
#include <mutex>
#include <string>

#define STANDIN_EXPORT extern "C" __declspec(dllexport)

namespace {

// One running DokanMain.
struct TStandinMount {
  // The mount point in the form that Unmount requests are compared in.
  std::wstring Key;
  PDOKAN_OPTIONS Options;
  PDOKAN_OPERATIONS Operations;
  // Set by DokanUnmount or DokanRemoveMountPoint; ends the wait in DokanMain.
  bool UnmountRequested = false;
};

// Guards Mounts and every record in it.
std::mutex MountsLock;
// Signalled whenever an unmount is requested.
std::condition_variable MountsChanged;
// The running mounts; a list, so records stay where they are while others come and go.
std::list<TStandinMount> Mounts;
// The result the next DokanMain returns at once; 0 for a normal mount.
std::atomic<int> NextMainResult{0};

// Upper case, no trailing backslash, and a drive letter given as "M" or "M:\" as "M:".
std::wstring MountKey(const wchar_t* mountPoint) {
  std::wstring key(mountPoint);
  for (wchar_t& c : key) {
    c = static_cast<wchar_t>(std::towupper(c));
  }
  while (key.size() > 1 && key.back() == L'\\') {
    key.pop_back();
  }
  if (key.size() == 1) {
    key += L':';
  }
  return key;
}

// Asks the mount at Key to end; false when nothing is mounted there.
BOOL RequestUnmount(const std::wstring& key) {
  std::lock_guard<std::mutex> guard(MountsLock);
  for (TStandinMount& mount : Mounts) {
    if (mount.Key == key && !mount.UnmountRequested) {
      mount.UnmountRequested = true;
      MountsChanged.notify_all();
      return TRUE;
    }
  }
  return FALSE;
}

// The file information the library hands to callbacks that concern no open file.
DOKAN_FILE_INFO VolumeFileInfo(PDOKAN_OPTIONS options) {
  DOKAN_FILE_INFO info{};
  info.DokanOptions = options;
  info.ProcessId = ::GetCurrentProcessId();
  return info;
}

}  // namespace

// Nothing to set up: there is no driver to talk to.
void DOKANAPI DokanInit() {}

// Nothing to tear down.
void DOKANAPI DokanShutdown() {}

// Checks the options, mounts, serves until unmounted and returns 0, or fails at once
// with the result the library gives for the fault (or the one a test chose).
int DOKANAPI DokanMain(PDOKAN_OPTIONS options, PDOKAN_OPERATIONS operations) {
  if (int result = NextMainResult.exchange(0); result != 0) {
    return result;
  }
  if (options == nullptr || operations == nullptr) {
    return DOKAN_ERROR;
  }
  if (options->Version != DOKAN_VERSION) {
    return DOKAN_VERSION_ERROR;
  }
  if (options->MountPoint == nullptr || options->MountPoint[0] == L'\0') {
    return DOKAN_MOUNT_POINT_ERROR;
  }

  std::list<TStandinMount>::iterator mount;
  {
    std::lock_guard<std::mutex> guard(MountsLock);
    std::wstring key = MountKey(options->MountPoint);
    for (const TStandinMount& other : Mounts) {
      if (other.Key == key) {
        return DOKAN_MOUNT_ERROR;
      }
    }
    mount = Mounts.insert(Mounts.end(), TStandinMount{key, options, operations});
  }

  if (operations->Mounted != nullptr) {
    DOKAN_FILE_INFO info = VolumeFileInfo(options);
    operations->Mounted(options->MountPoint, &info);
  }
  {
    std::unique_lock<std::mutex> lock(MountsLock);
    MountsChanged.wait(lock, [&] { return mount->UnmountRequested; });
    Mounts.erase(mount);
  }
  if (operations->Unmounted != nullptr) {
    DOKAN_FILE_INFO info = VolumeFileInfo(options);
    operations->Unmounted(&info);
  }
  return DOKAN_SUCCESS;
}

// Ends the mount at the drive letter; FALSE when nothing is mounted there.
BOOL DOKANAPI DokanUnmount(WCHAR driveLetter) {
  const wchar_t letter[] = {driveLetter, L'\0'};
  return RequestUnmount(MountKey(letter));
}

// Ends the mount at the mount point; FALSE when nothing is mounted there.
BOOL DOKANAPI DokanRemoveMountPoint(LPCWSTR mountPoint) {
  if (mountPoint == nullptr) {
    return FALSE;
  }
  return RequestUnmount(MountKey(mountPoint));
}

// See TStandinSetMainResult.
STANDIN_EXPORT void WINAPI StandinSetMainResult(int result) {
  NextMainResult = result;
}

// See TStandinFindMount.
STANDIN_EXPORT PDOKAN_OPERATIONS WINAPI StandinFindMount(LPCWSTR mountPoint,
                                                         PDOKAN_OPTIONS* options) {
  if (options != nullptr) {
    *options = nullptr;
  }
  if (mountPoint == nullptr) {
    return nullptr;
  }
  std::wstring key = MountKey(mountPoint);
  std::lock_guard<std::mutex> guard(MountsLock);
  for (const TStandinMount& mount : Mounts) {
    if (mount.Key == key && !mount.UnmountRequested) {
      if (options != nullptr) {
        *options = mount.Options;
      }
      return mount.Operations;
    }
  }
  return nullptr;
}
