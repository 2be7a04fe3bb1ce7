// The 7-Zip codec library's binary contract: PROPVARIANT, BSTR, the interfaces with
// their GUIDs and the exports, as the library (7zxa.dll on Windows, 7z.so on Linux)
// defines them.
//
// Every interface derives from IUnknown with exactly its three slots; the Linux library
// must be a build without a virtual destructor in IUnknown (interface type 0, checked
// when it is loaded). Methods use the platform's native convention (STDMETHODCALLTYPE).
// On Linux wchar_t is UTF-32 and BSTRs belong to the library's own allocator.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/vrnCom.h"
#include "platform/vrnWinTypes.h"

#if defined(_WIN32)
#include <oleauto.h>
#include <propidl.h>
#else
using BSTR = wchar_t*;
using VARIANT_BOOL = std::int16_t;
using PROPID = std::uint32_t;
#define VARIANT_TRUE ((VARIANT_BOOL)-1)
#define VARIANT_FALSE ((VARIANT_BOOL)0)

enum VARENUM : VARTYPE {
  VT_EMPTY = 0,
  VT_NULL = 1,
  VT_I2 = 2,
  VT_I4 = 3,
  VT_R4 = 4,
  VT_R8 = 5,
  VT_CY = 6,
  VT_DATE = 7,
  VT_BSTR = 8,
  VT_ERROR = 10,
  VT_BOOL = 11,
  VT_I1 = 16,
  VT_UI1 = 17,
  VT_UI2 = 18,
  VT_UI4 = 19,
  VT_I8 = 20,
  VT_UI8 = 21,
  VT_INT = 22,
  VT_UINT = 23,
  VT_FILETIME = 64,
};

// The library's PROPVARIANT: a 16-bit type tag, three reserved words, an 8-byte value.
struct PROPVARIANT {
  VARTYPE vt;
  WORD wReserved1;
  WORD wReserved2;
  WORD wReserved3;
  union {
    char cVal;
    unsigned char bVal;
    short iVal;
    unsigned short uiVal;
    LONG lVal;
    ULONG ulVal;
    int intVal;
    unsigned int uintVal;
    std::int64_t hVal;
    std::uint64_t uhVal;
    float fltVal;
    double dblVal;
    VARIANT_BOOL boolVal;
    HRESULT scode;
    FILETIME filetime;
    BSTR bstrVal;
  };
};
static_assert(sizeof(PROPVARIANT) == 16, "PROPVARIANT layout");
#endif

using UInt32 = std::uint32_t;
using Int32 = std::int32_t;
using UInt64 = std::uint64_t;
using Int64 = std::int64_t;
using Byte = std::uint8_t;

// A 7-Zip interface GUID {23170F69-40C1-278A-0000-00GG00II0000}.
constexpr GUID Make7zInterfaceGuid(std::uint8_t group, std::uint8_t id) {
  return GUID{0x23170F69, 0x40C1, 0x278A, {0x00, 0x00, 0x00, group, 0x00, id, 0x00, 0x00}};
}
// A 7-Zip format class ID {23170F69-40C1-278A-1000-000110FF0000}.
constexpr GUID Make7zFormatClassId(std::uint8_t format) {
  return GUID{0x23170F69, 0x40C1, 0x278A, {0x10, 0x00, 0x00, 0x01, 0x10, format, 0x00, 0x00}};
}

// The class ID of the 7z format.
inline constexpr GUID CLSID_Format7z = Make7zFormatClassId(0x07);

// Item property ids.
enum : PROPID {
  kpidPath = 3,
  kpidName = 4,
  kpidExtension = 5,
  kpidIsDir = 6,
  kpidSize = 7,
  kpidAttrib = 9,
  kpidCTime = 10,
  kpidATime = 11,
  kpidMTime = 12,
  kpidBlock = 27,
  kpidShortName = 50,
};

// Handler (format) property ids.
enum : PROPID {
  kHandlerPropClassID = 1,
  kHandlerPropSignature = 6,
  kHandlerPropMultiSignature = 7,
  kHandlerPropSignatureOffset = 8,
};

// Module property ids of GetModuleProp.
enum : PROPID {
  kModulePropInterfaceType = 0,
  kModulePropVersion = 1,
};

// Extraction modes and operation results.
enum : Int32 {
  kExtractAskExtract = 0,
  kExtractAskTest = 1,
  kExtractAskSkip = 2,
};
enum : Int32 {
  kOpResultOK = 0,
  kOpResultUnsupportedMethod = 1,
  kOpResultDataError = 2,
  kOpResultCRCError = 3,
  kOpResultUnavailable = 4,
  kOpResultUnexpectedEnd = 5,
  kOpResultDataAfterEnd = 6,
  kOpResultIsNotArc = 7,
  kOpResultHeadersError = 8,
  kOpResultWrongPassword = 9,
};

struct IProgress : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE SetTotal(UInt64 total) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetCompleted(const UInt64* completeValue) = 0;
};
VRN_DECLARE_IID(IProgress, Make7zInterfaceGuid(0x00, 0x05));

struct ISequentialInStream : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Read(void* data, UInt32 size, UInt32* processedSize) = 0;
};
VRN_DECLARE_IID(ISequentialInStream, Make7zInterfaceGuid(0x03, 0x01));

struct ISequentialOutStream : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Write(const void* data, UInt32 size, UInt32* processedSize) = 0;
};
VRN_DECLARE_IID(ISequentialOutStream, Make7zInterfaceGuid(0x03, 0x02));

struct IInStream : ISequentialInStream {
  virtual HRESULT STDMETHODCALLTYPE Seek(Int64 offset, UInt32 seekOrigin, UInt64* newPosition) = 0;
};
VRN_DECLARE_IID_EXTENDS(IInStream, ISequentialInStream, Make7zInterfaceGuid(0x03, 0x03));

struct IOutStream : ISequentialOutStream {
  virtual HRESULT STDMETHODCALLTYPE Seek(Int64 offset, UInt32 seekOrigin, UInt64* newPosition) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetSize(UInt64 newSize) = 0;
};
VRN_DECLARE_IID_EXTENDS(IOutStream, ISequentialOutStream, Make7zInterfaceGuid(0x03, 0x04));

struct IStreamGetSize : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetSize(UInt64* size) = 0;
};
VRN_DECLARE_IID(IStreamGetSize, Make7zInterfaceGuid(0x03, 0x06));

struct ICompressProgressInfo : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE SetRatioInfo(const UInt64* inSize, const UInt64* outSize) = 0;
};
VRN_DECLARE_IID(ICompressProgressInfo, Make7zInterfaceGuid(0x04, 0x04));

struct IHasher : IUnknown {
  virtual void STDMETHODCALLTYPE Init() = 0;
  virtual void STDMETHODCALLTYPE Update(const void* data, UInt32 size) = 0;
  virtual void STDMETHODCALLTYPE Final(Byte* digest) = 0;
  virtual UInt32 STDMETHODCALLTYPE GetDigestSize() = 0;
};
VRN_DECLARE_IID(IHasher, Make7zInterfaceGuid(0x04, 0xC0));

struct ICryptoGetTextPassword : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE CryptoGetTextPassword(BSTR* password) = 0;
};
VRN_DECLARE_IID(ICryptoGetTextPassword, Make7zInterfaceGuid(0x05, 0x10));

struct IArchiveOpenCallback : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE SetTotal(const UInt64* files, const UInt64* bytes) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetCompleted(const UInt64* files, const UInt64* bytes) = 0;
};
VRN_DECLARE_IID(IArchiveOpenCallback, Make7zInterfaceGuid(0x06, 0x10));

struct IArchiveExtractCallback : IProgress {
  virtual HRESULT STDMETHODCALLTYPE GetStream(UInt32 index,
                                              ISequentialOutStream** outStream,
                                              Int32 askExtractMode) = 0;
  virtual HRESULT STDMETHODCALLTYPE PrepareOperation(Int32 askExtractMode) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetOperationResult(Int32 opRes) = 0;
};
VRN_DECLARE_IID_EXTENDS(IArchiveExtractCallback, IProgress, Make7zInterfaceGuid(0x06, 0x20));

struct IArchiveOpenVolumeCallback : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetProperty(PROPID propID, PROPVARIANT* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetStream(const wchar_t* name, IInStream** inStream) = 0;
};
VRN_DECLARE_IID(IArchiveOpenVolumeCallback, Make7zInterfaceGuid(0x06, 0x30));

struct IInArchive : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Open(IInStream* stream,
                                         const UInt64* maxCheckStartPosition,
                                         IArchiveOpenCallback* openCallback) = 0;
  virtual HRESULT STDMETHODCALLTYPE Close() = 0;
  virtual HRESULT STDMETHODCALLTYPE GetNumberOfItems(UInt32* numItems) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetProperty(UInt32 index,
                                                PROPID propID,
                                                PROPVARIANT* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE Extract(const UInt32* indices,
                                            UInt32 numItems,
                                            Int32 testMode,
                                            IArchiveExtractCallback* extractCallback) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetArchiveProperty(PROPID propID, PROPVARIANT* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetNumberOfProperties(UInt32* numProps) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetPropertyInfo(UInt32 index,
                                                    BSTR* name,
                                                    PROPID* propID,
                                                    VARTYPE* varType) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetNumberOfArchiveProperties(UInt32* numProps) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetArchivePropertyInfo(UInt32 index,
                                                           BSTR* name,
                                                           PROPID* propID,
                                                           VARTYPE* varType) = 0;
};
VRN_DECLARE_IID(IInArchive, Make7zInterfaceGuid(0x06, 0x60));

// A format's own recogniser: 0 not this format, 1 this format, 2 more bytes needed.
using Func_IsArc = UInt32(STDMETHODCALLTYPE*)(const Byte* p, std::size_t size);

// The library's exports.
using TCreateObjectFunc = HRESULT(STDMETHODCALLTYPE*)(const GUID* clsid,
                                                      const GUID* iid,
                                                      void** outObject);
using TGetNumberOfFormatsFunc = HRESULT(STDMETHODCALLTYPE*)(UInt32* numFormats);
using TGetHandlerProperty2Func = HRESULT(STDMETHODCALLTYPE*)(UInt32 formatIndex,
                                                             PROPID propID,
                                                             PROPVARIANT* value);
using TGetHandlerPropertyFunc = HRESULT(STDMETHODCALLTYPE*)(PROPID propID, PROPVARIANT* value);
using TGetIsArcFunc = HRESULT(STDMETHODCALLTYPE*)(UInt32 formatIndex, Func_IsArc* isArc);
using TGetMethodPropertyFunc = HRESULT(STDMETHODCALLTYPE*)(UInt32 codecIndex,
                                                           PROPID propID,
                                                           PROPVARIANT* value);
using TGetNumberOfMethodsFunc = HRESULT(STDMETHODCALLTYPE*)(UInt32* numCodecs);
using TSetLargePageModeFunc = HRESULT(STDMETHODCALLTYPE*)();
using TSetCodecsFunc = HRESULT(STDMETHODCALLTYPE*)(IUnknown* compressCodecsInfo);
using TGetModulePropFunc = HRESULT(STDMETHODCALLTYPE*)(PROPID propID, PROPVARIANT* value);
