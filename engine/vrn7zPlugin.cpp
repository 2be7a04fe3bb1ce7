#include "engine/vrn7zPlugin.h"

#include <cstring>

#include "platform/vrnFiles.h"

#if !defined(_WIN32)
#include <unistd.h>
#endif

TvrnBaseDll::TvrnBaseDll(const UString& fileName) : FLibrary(fileName) {}

Tvrn7zDll::Tvrn7zDll(const UString& fileName) : TvrnDll(fileName) {
  if (!Loaded()) {
    return;
  }
  CreateObject = FLibrary.GetProcAs<TCreateObjectFunc>("CreateObject");
  GetHandlerProperty = FLibrary.GetProcAs<TGetHandlerPropertyFunc>("GetHandlerProperty");
  GetHandlerProperty2 = FLibrary.GetProcAs<TGetHandlerProperty2Func>("GetHandlerProperty2");
  GetIsArc = FLibrary.GetProcAs<TGetIsArcFunc>("GetIsArc");
  GetMethodProperty = FLibrary.GetProcAs<TGetMethodPropertyFunc>("GetMethodProperty");
  GetNumberOfFormats = FLibrary.GetProcAs<TGetNumberOfFormatsFunc>("GetNumberOfFormats");
  GetNumberOfMethods = FLibrary.GetProcAs<TGetNumberOfMethodsFunc>("GetNumberOfMethods");
  SetLargePageMode = FLibrary.GetProcAs<TSetLargePageModeFunc>("SetLargePageMode");
  SetCodecs = FLibrary.GetProcAs<TSetCodecsFunc>("SetCodecs");
#if defined(_WIN32)
  FSysAllocString = ::SysAllocString;
  FSysFreeString = ::SysFreeString;
  bool layoutOk = true;
#else
  // The Linux library brings its own BSTR allocator, and must have the IUnknown layout
  // without a virtual destructor (interface type 0); older builds shift every slot.
  FSysAllocString = FLibrary.GetProcAs<TSysAllocStringFunc>("SysAllocString");
  FSysFreeString = FLibrary.GetProcAs<TSysFreeStringFunc>("SysFreeString");
  auto getModuleProp = FLibrary.GetProcAs<TGetModulePropFunc>("GetModuleProp");
  bool layoutOk = false;
  if (getModuleProp != nullptr && FSysAllocString != nullptr && FSysFreeString != nullptr) {
    PROPVARIANT value{};
    layoutOk = getModuleProp(kModulePropInterfaceType, &value) == S_OK && value.vt == VT_UI4 &&
               value.ulVal == 0;
  }
#endif
  FValid = layoutOk && CreateObject != nullptr && GetHandlerProperty2 != nullptr &&
           GetNumberOfFormats != nullptr;
}

UInt32 Tvrn7zDll::FormatCount() const {
  UInt32 count = 0;
  if (!Valid() || GetNumberOfFormats(&count) != S_OK) {
    return 0;
  }
  return count;
}

PROPVARIANT Tvrn7zDll::FormatProperty(UInt32 index, PROPID propId) const {
  PROPVARIANT value{};
  if (Valid() && GetHandlerProperty2(index, propId, &value) != S_OK) {
    ClearValue(value);
  }
  return value;
}

void Tvrn7zDll::ClearValue(PROPVARIANT& value) const {
  if (value.vt == VT_BSTR && value.bstrVal != nullptr) {
    FreeString(value.bstrVal);
  }
  std::memset(&value, 0, sizeof(value));
}

BSTR Tvrn7zDll::AllocString(const wchar_t* text) const {
  return FSysAllocString != nullptr ? FSysAllocString(text) : nullptr;
}

void Tvrn7zDll::FreeString(BSTR text) const {
  if (FSysFreeString != nullptr && text != nullptr) {
    FSysFreeString(text);
  }
}

UString EngineLibraryPath() {
#if defined(_WIN32)
  return GetProgramFolder() + u"7zxa.dll";
#else
  UString local = GetProgramFolder() + u"7z.so";
  if (::access(ToUtf8(local).c_str(), R_OK) == 0) {
    return local;
  }
  return u"/usr/lib/p7zip/7z.so";
#endif
}
