#include <dlfcn.h>

#include "platform/vrnLibrary.h"

TLibrary::TLibrary(const UString& path) {
  FHandle = ::dlopen(ToUtf8(path).c_str(), RTLD_NOW | RTLD_LOCAL);
}

TLibrary& TLibrary::operator=(TLibrary&& other) noexcept {
  if (this != &other) {
    Free();
    FHandle = std::exchange(other.FHandle, nullptr);
  }
  return *this;
}

void* TLibrary::GetProc(const char* name) const {
  return FHandle != nullptr ? ::dlsym(FHandle, name) : nullptr;
}

void TLibrary::Free() {
  if (void* handle = std::exchange(FHandle, nullptr)) {
    ::dlclose(handle);
  }
}
