// Dynamic libraries: LoadLibraryW/GetProcAddress/FreeLibrary on Windows, dlopen on Linux.
#pragma once

#include <utility>

#include "platform/vrnStrings.h"

// A move-only loaded library; freed when the object ends.
class TLibrary {
 public:
  TLibrary() = default;
  // Loads the library at Path; check IsLoaded for the outcome.
  explicit TLibrary(const UString& path);
  TLibrary(TLibrary&& other) noexcept : FHandle(std::exchange(other.FHandle, nullptr)) {}
  TLibrary& operator=(TLibrary&& other) noexcept;
  TLibrary(const TLibrary&) = delete;
  TLibrary& operator=(const TLibrary&) = delete;
  ~TLibrary() { Free(); }

  bool IsLoaded() const { return FHandle != nullptr; }
  // The address of an export, or nil when missing.
  void* GetProc(const char* name) const;
  // Typed form of GetProc.
  template <typename F>
  F GetProcAs(const char* name) const {
    return reinterpret_cast<F>(GetProc(name));
  }
  // Unloads the library, if loaded.
  void Free();

 private:
  void* FHandle = nullptr;
};
