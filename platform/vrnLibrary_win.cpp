// Dynamic libraries through LoadLibraryW. A library that cannot be loaded is reported by
// IsLoaded, never by a system dialog box.
#include "platform/vrnLibrary.h"
#include "platform/vrnWinTypes.h"

TLibrary::TLibrary(const UString& path) {
  DWORD oldMode = 0;
  BOOL quiet = ::SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &oldMode);
  FHandle = ::LoadLibraryW(reinterpret_cast<const wchar_t*>(path.c_str()));
  if (quiet) {
    ::SetThreadErrorMode(oldMode, nullptr);
  }
}

TLibrary& TLibrary::operator=(TLibrary&& other) noexcept {
  if (this != &other) {
    Free();
    FHandle = std::exchange(other.FHandle, nullptr);
  }
  return *this;
}

void* TLibrary::GetProc(const char* name) const {
  return FHandle != nullptr
             ? reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(FHandle), name))
             : nullptr;
}

void TLibrary::Free() {
  if (void* handle = std::exchange(FHandle, nullptr)) {
    ::FreeLibrary(static_cast<HMODULE>(handle));
  }
}
