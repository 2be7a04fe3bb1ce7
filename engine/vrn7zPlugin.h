// The 7-Zip codec library as the program loads it.
//
// TvrnBaseDll/TvrnDll own a dynamically loaded library; Tvrn7zDll resolves the nine
// 7-Zip exports by name and reads format properties. The library is 7zxa.dll next to
// the program on Windows; on Linux 7z.so next to the program, else Debian's
// /usr/lib/p7zip/7z.so, accepted only when it reports the interface layout without a
// virtual destructor (GetModuleProp interface type 0).
#pragma once

#include "engine/qev7zUtils.h"
#include "platform/vrnLibrary.h"

// A dynamically loaded library.
class TvrnBaseDll {
 public:
  explicit TvrnBaseDll(const UString& fileName);
  virtual ~TvrnBaseDll() = default;
  TvrnBaseDll(const TvrnBaseDll&) = delete;
  TvrnBaseDll& operator=(const TvrnBaseDll&) = delete;

  // The library was loaded.
  bool Loaded() const { return FLibrary.IsLoaded(); }

 protected:
  TLibrary FLibrary;
};

// A loaded library that a subclass validates; freed with the object.
class TvrnDll : public TvrnBaseDll {
 public:
  using TvrnBaseDll::TvrnBaseDll;
  // The library offers what the subclass needs.
  bool Valid() const { return FValid; }

 protected:
  bool FValid = false;
};

// The 7-Zip codec library with its exports.
class Tvrn7zDll : public TvrnDll {
 public:
  // Loads FileName and resolves the exports; Valid when CreateObject,
  // GetHandlerProperty2 and GetNumberOfFormats are there (and, on Linux, the library
  // has the interface layout this program is built for).
  explicit Tvrn7zDll(const UString& fileName);

  // The number of formats; 0 when not Valid or the call fails.
  UInt32 FormatCount() const;
  // A property of a format; VT_EMPTY when not Valid or the call fails. The caller
  // clears the value with ClearValue.
  PROPVARIANT FormatProperty(UInt32 index, PROPID propId) const;
  // Frees what a PROPVARIANT of this library holds and leaves it VT_EMPTY.
  void ClearValue(PROPVARIANT& value) const;
  // Allocates a BSTR with the library's allocator (the engine frees it).
  BSTR AllocString(const wchar_t* text) const;
  // Frees a BSTR that the library allocated.
  void FreeString(BSTR text) const;

  TCreateObjectFunc CreateObject = nullptr;
  TGetHandlerProperty2Func GetHandlerProperty2 = nullptr;
  TGetHandlerPropertyFunc GetHandlerProperty = nullptr;
  TGetIsArcFunc GetIsArc = nullptr;
  TGetMethodPropertyFunc GetMethodProperty = nullptr;
  TGetNumberOfFormatsFunc GetNumberOfFormats = nullptr;
  TGetNumberOfMethodsFunc GetNumberOfMethods = nullptr;
  TSetLargePageModeFunc SetLargePageMode = nullptr;
  TSetCodecsFunc SetCodecs = nullptr;

 private:
  using TSysAllocStringFunc = BSTR(STDMETHODCALLTYPE*)(const wchar_t*);
  using TSysFreeStringFunc = void(STDMETHODCALLTYPE*)(BSTR);
  TSysAllocStringFunc FSysAllocString = nullptr;
  TSysFreeStringFunc FSysFreeString = nullptr;
};

// Where the engine library is looked for: 7zxa.dll in the program's folder on Windows;
// on Linux 7z.so in the program's folder when present, else /usr/lib/p7zip/7z.so.
UString EngineLibraryPath();
