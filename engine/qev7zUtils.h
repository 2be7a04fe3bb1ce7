// The 7-Zip codec library's binary contract: PROPVARIANT, BSTR, the interfaces with
// their GUIDs and the exports, as the library (7zxa.dll on Windows, 7z.so on Linux)
// defines them.
//
// Every interface derives from IUnknown with exactly its three slots; the Linux library
// must be a build without a virtual destructor in IUnknown (interface type 0, checked
// when it is loaded). Methods use the platform's native convention (STDMETHODCALLTYPE).
// On Linux wchar_t is 4 bytes, yet the library keeps UTF-16 code units in it (a
// character beyond the BMP is two surrogate units), and BSTRs belong to the library's
// own allocator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include "platform/vrnCom.h"
#include "platform/vrnFiles.h"
#include "platform/vrnStrings.h"
#include "platform/vrnWinTypes.h"

#if defined(_WIN32)
#include <oleauto.h>
#include <propidl.h>
#else
using BSTR = wchar_t*;
using VARIANT_BOOL = std::int16_t;
using PROPID = std::uint32_t;
using DATE = double;
// A currency value: a 64-bit integer scaled by 10000.
union CY {
  std::int64_t int64;
};
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
  VT_LPSTR = 30,
  VT_LPWSTR = 31,
  VT_FILETIME = 64,
  VT_CLSID = 72,
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
    CY cyVal;
    DATE date;
    FILETIME filetime;
    CLSID* puuid;
    BSTR bstrVal;
    char* pszVal;
    wchar_t* pwszVal;
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
  kpidIsAnti = 21,
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

// ---------------------------------------------------------------------------------------
// Result checks, conversions and the engine stream over a file handle. Implemented in
// engine/qev7zUtils.cpp.

// Returns for S_OK; raises EFalseError for S_FALSE and EOleError (with the system's
// message for the code) for any other value.
void CheckResult(HRESULT result);
// As CheckResult, but E_NOTIMPL passes when AllowNotImplemented is true.
void CheckResultEx(HRESULT result, bool allowNotImplemented);
// Raises EOleError only for a failure code; every success code passes.
void CheckSucceeded(HRESULT result);
// The result an engine-facing method returns for the exception it caught.
HRESULT ExceptionToResult(const std::exception_ptr& error) noexcept;
// The system's text for an HRESULT.
UString OleErrorMessage(HRESULT result);

// PROPVARIANT conversions: each resets its output, answers S_OK or E_INVALIDARG and
// never raises (but for the FILETIME text, which raises when the system refuses it).
HRESULT PropVariantToString(const PROPVARIANT& value, UString& text);
HRESULT PropVariantToUInt32(const PROPVARIANT& value, std::uint32_t& number);
HRESULT PropVariantToUInt64(const PROPVARIANT& value, std::uint64_t& number);
HRESULT PropVariantToBoolean(const PROPVARIANT& value, bool& flag);
HRESULT PropVariantToFileTime(const PROPVARIANT& value, FILETIME& time);
HRESULT PropVariantToGUID(const PROPVARIANT& value, GUID& guid);
HRESULT PropVariantToBytes(const PROPVARIANT& value, std::vector<std::uint8_t>& bytes);
// Frees what the variant holds (a BSTR, through the engine's allocator) and sets it
// VT_EMPTY; E_INVALIDARG, leaving it unchanged, for tags it does not know.
HRESULT ClearPropVariant(PROPVARIANT& value);

// Engine strings. Windows: OLE BSTRs of oleaut32. Linux: UTF-16 units in wchar_t, BSTRs from
// the library's own exported SysAllocString/SysFreeString, which the loader installs.
using TSysAllocStringFunc = BSTR(STDMETHODCALLTYPE*)(const wchar_t* text);
using TSysFreeStringFunc = void(STDMETHODCALLTYPE*)(BSTR text);
// Installs the allocator that engine BSTRs come from and go back to.
void SetEngineStringAllocator(TSysAllocStringFunc alloc, TSysFreeStringFunc free);
// A new BSTR holding Text, from the engine's allocator; nil for an empty Text.
BSTR AllocEngineString(UStringView text);
// Frees a BSTR of the engine's allocator; nil is allowed.
void FreeEngineString(BSTR text);
// The byte length a BSTR's prefix records (0 for nil).
std::uint32_t EngineStringByteLength(BSTR text);
// A zero-terminated string of the engine as UTF-16; nil gives "". On Linux a whole code
// point beyond the BMP is taken too.
UString FromEngineString(const wchar_t* text);
// UTF-16 as a zero-terminated string for the engine: one wchar_t per UTF-16 unit.
std::wstring ToEngineString(UStringView text);

// HRESULT_FROM_WIN32: 0x80070000 with the low 16 bits of Code, and 0 for Code 0.
constexpr HRESULT HResultFromWin32(DWORD code) {
  return code == 0 ? S_OK : static_cast<HRESULT>(0x80070000u | (code & 0xFFFFu));
}
// HRESULT_FROM_WIN32(ERROR_CANCELLED): the answer for a silent abort (EAbort).
inline constexpr HRESULT kResultCancelled = HResultFromWin32(ERROR_CANCELLED);

// The reference-counted base of the engine binding's objects: IUnknown for the listed
// interfaces and those they extend, freed by the last Release.
template <typename... Interfaces>
using TqevInterfacedObject = TInterfacedObject<Interfaces...>;

// The engine's stream over a file handle that somebody else owns: reads, writes and
// seeks at the handle's own file position, without buffering, and never closes it.
// It answers IInStream, IOutStream (with their sequential bases) and IStreamGetSize;
// the Windows IStream members and a copy interface of its own are left out, since
// nothing in the program asks for them.
class Tqev7zFileStream final : public TqevInterfacedObject<IInStream, IOutStream, IStreamGetSize> {
 public:
  // Borrows Handle; raises EOleError(E_INVALIDARG) for an invalid handle (Windows: 0 or
  // INVALID_HANDLE_VALUE; Linux: a negative descriptor).
  explicit Tqev7zFileStream(TFileHandle::TNative handle);

  // One system read of Size bytes at the file position; ProcessedSize may be short at the
  // end of the file. A size of 0 does not touch the file.
  HRESULT STDMETHODCALLTYPE Read(void* data, UInt32 size, UInt32* processedSize) noexcept override;
  // One system write of Size bytes at the file position.
  HRESULT STDMETHODCALLTYPE Write(const void* data,
                                  UInt32 size,
                                  UInt32* processedSize) noexcept override;
  // Moves the file position (origin 0 begin, 1 current, 2 end) by the full 64-bit offset.
  HRESULT STDMETHODCALLTYPE Seek(Int64 offset,
                                 UInt32 seekOrigin,
                                 UInt64* newPosition) noexcept override;
  // Not offered: E_NOTIMPL.
  HRESULT STDMETHODCALLTYPE SetSize(UInt64 newSize) noexcept override;
  // The file's size; the file position is left where it was.
  HRESULT STDMETHODCALLTYPE GetSize(UInt64* size) noexcept override;

  // The borrowed handle.
  TFileHandle::TNative Handle() const { return FHandle; }

 private:
  TFileHandle::TNative FHandle;
};
