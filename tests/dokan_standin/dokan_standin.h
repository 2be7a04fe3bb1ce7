// Test-side control of the stand-in dokan2.dll that Windows test runs load in place of
// the real library, whose kernel driver cannot run under Wine.
//
// The stand-in mounts nothing: DokanMain checks its options, calls the Mounted callback,
// waits for DokanUnmount or DokanRemoveMountPoint of its mount point, calls Unmounted and
// returns 0. Its extra exports below let a test make DokanMain fail and call the
// callbacks of a running mount as the library's worker threads would. Test programs link
// only the ordinary import library and resolve these at run time, so nothing here
// exists when the real library is loaded.
#pragma once

#include "vfs/dokan2.h"

#if defined(_WIN32)

// Makes the next DokanMain call return Result at once, without any callback; 0 cancels.
using TStandinSetMainResult = void(WINAPI*)(int result);
// The callback table of the running mount at MountPoint (compared as DokanMain saw it:
// case ignored, a trailing backslash ignored) and, through Options, its options; nil when
// nothing is mounted there. Both stay valid until that mount's DokanMain returns.
using TStandinFindMount = PDOKAN_OPERATIONS(WINAPI*)(LPCWSTR mountPoint, PDOKAN_OPTIONS* options);

// The export Name of the loaded dokan2.dll as a T; nil when the loaded library is not
// the stand-in.
template <typename T>
T StandinExport(const char* name) {
  HMODULE library = ::GetModuleHandleW(L"dokan2.dll");
  if (library == nullptr) {
    return nullptr;
  }
  // Through void (*)(), the type GCC accepts as a stand-in for any function type.
  return reinterpret_cast<T>(reinterpret_cast<void (*)()>(::GetProcAddress(library, name)));
}

#endif  // _WIN32
