#include "engine/vrn7zPlugin.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <utility>

#include "platform/vrnFiles.h"
#include "vfs/vrnData.h"

#if !defined(_WIN32)
#include <unistd.h>
#endif

namespace {

// How far into the file the engine may look for the start of the archive.
constexpr UInt64 kMaxCheckStartPosition = 0x400000;
// How many entries the import takes between two looks at the cancel flag.
constexpr UInt32 kImportCancelCheck = 4096;
// The largest head the recogniser is given.
constexpr std::size_t kMaxRecogniserHead = 0x4000000;
// Recogniser answers.
constexpr UInt32 kIsArcNo = 0;
constexpr UInt32 kIsArcYes = 1;
constexpr UInt32 kIsArcNeedMore = 2;
// Attributes the import keeps: read-only, hidden, system, archive.
constexpr DWORD kImportedAttributes = 0x27;

std::vector<std::unique_ptr<Tvrn7zDll>>& LibraryList() {
  static std::vector<std::unique_ptr<Tvrn7zDll>> libraries;
  return libraries;
}

// Reads a value, converts it with Convert and clears it; conversion and clearing
// failures raise.
template <typename T, typename Convert>
T ConvertAndClear(PROPVARIANT& value, Convert convert) {
  T result{};
  HRESULT converted = S_OK;
  try {
    converted = convert(value, result);
  } catch (...) {
    ClearPropVariant(value);
    throw;
  }
  HRESULT cleared = ClearPropVariant(value);
  CheckSucceeded(converted);
  CheckSucceeded(cleared);
  return result;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// The library.

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
  bool layoutOk = true;
#if !defined(_WIN32)
  // The Linux library must have the IUnknown layout without a virtual destructor
  // (interface type 0): older builds shift every slot. Its strings come from its own
  // BSTR allocator.
  auto getModuleProp = FLibrary.GetProcAs<TGetModulePropFunc>("GetModuleProp");
  auto sysAlloc = FLibrary.GetProcAs<TSysAllocStringFunc>("SysAllocString");
  auto sysFree = FLibrary.GetProcAs<TSysFreeStringFunc>("SysFreeString");
  layoutOk = false;
  if (getModuleProp != nullptr && sysAlloc != nullptr && sysFree != nullptr) {
    PROPVARIANT value{};
    layoutOk = getModuleProp(kModulePropInterfaceType, &value) == S_OK && value.vt == VT_UI4 &&
               value.ulVal == 0;
  }
#endif
  FValid = layoutOk && CreateObject != nullptr && GetHandlerProperty2 != nullptr &&
           GetNumberOfFormats != nullptr;
#if !defined(_WIN32)
  if (FValid) {
    SetEngineStringAllocator(sysAlloc, sysFree);
  }
#endif
}

Tvrn7zDll::~Tvrn7zDll() {
#if !defined(_WIN32)
  if (FValid) {
    SetEngineStringAllocator(nullptr, nullptr);
  }
#endif
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
    ClearPropVariant(value);
    std::memset(&value, 0, sizeof(value));
  }
  return value;
}

GUID Tvrn7zDll::FormatGUIDProperty(UInt32 index, PROPID propId) const {
  PROPVARIANT value = FormatProperty(index, propId);
  return ConvertAndClear<GUID>(value, PropVariantToGUID);
}

std::vector<std::uint8_t> Tvrn7zDll::FormatBytesProperty(UInt32 index, PROPID propId) const {
  PROPVARIANT value = FormatProperty(index, propId);
  return ConvertAndClear<std::vector<std::uint8_t>>(value, PropVariantToBytes);
}

UInt32 Tvrn7zDll::FormatUInt32Property(UInt32 index, PROPID propId) const {
  PROPVARIANT value = FormatProperty(index, propId);
  return ConvertAndClear<std::uint32_t>(value, PropVariantToUInt32);
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

const std::vector<std::unique_ptr<Tvrn7zDll>>& EngineLibraries() {
  return LibraryList();
}

void RegisterEngineFormats() {
  try {
    auto dll = std::make_unique<Tvrn7zDll>(EngineLibraryPath());
    if (!dll->Valid()) {
      return;  // unloads it
    }
    Tvrn7zDll* library = dll.get();
    LibraryList().push_back(std::move(dll));
    UInt32 count = library->FormatCount();
    for (UInt32 i = 0; i < count; ++i) {
      if (library->FormatGUIDProperty(i, kHandlerPropClassID) == CLSID_Format7z) {
        RegisterPlugin(std::make_unique<Tvrn7zPlugin>(library, i));
      }
    }
  } catch (...) {
    // The program starts with what was registered so far; opening then fails.
  }
}

void ReleaseEngineLibraries() {
  auto& libraries = LibraryList();
  while (!libraries.empty()) {
    libraries.pop_back();
  }
}

// ---------------------------------------------------------------------------------------
// The plug-in.

Tvrn7zPlugin::Tvrn7zPlugin(Tvrn7zDll* dll, UInt32 formatIndex)
    : FDll(dll), FFormatIndex(formatIndex) {
  if (dll->GetIsArc != nullptr && dll->GetIsArc(formatIndex, &FIsArc) != S_OK) {
    FIsArc = nullptr;
  }
  FClassID = dll->FormatGUIDProperty(formatIndex, kHandlerPropClassID);
  std::vector<std::uint8_t> signature =
      dll->FormatBytesProperty(formatIndex, kHandlerPropSignature);
  std::vector<std::uint8_t> multi =
      dll->FormatBytesProperty(formatIndex, kHandlerPropMultiSignature);
  UInt32 offset = dll->FormatUInt32Property(formatIndex, kHandlerPropSignatureOffset);
  if (!signature.empty()) {
    FSignatures.push_back({offset, std::move(signature)});
    return;
  }
  // Several signatures: each a length byte and that many bytes.
  for (std::size_t at = 0; at < multi.size();) {
    std::size_t length = multi[at];
    std::size_t start = at + 1;
    std::size_t end = std::min(start + length, multi.size());
    if (end > start) {
      FSignatures.push_back(
          {offset, std::vector<std::uint8_t>(multi.begin() + start, multi.begin() + end)});
    }
    at = start + length;
  }
}

bool Tvrn7zPlugin::CheckFormat(const UString&,
                               TFileStream& stream,
                               std::vector<std::uint8_t>& buffer) {
  if (FIsArc != nullptr) {
    for (;;) {
      UInt32 answer = FIsArc(buffer.data(), buffer.size());
      if (answer == kIsArcNo) {
        return false;
      }
      if (answer == kIsArcYes) {
        return true;
      }
      if (answer != kIsArcNeedMore) {
        continue;  // an answer the program does not know: ask again
      }
      if (buffer.size() >= kMaxRecogniserHead) {
        break;  // the signatures decide
      }
      std::uint64_t size = stream.Size();
      if (size == buffer.size()) {
        return false;  // the whole file is there and still not enough
      }
      std::size_t grown =
          static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size() * 2, size));
      buffer.resize(grown);
      stream.Seek(0, 0);
      stream.ReadBuffer(buffer.data(), static_cast<std::uint32_t>(grown));
    }
  }
  for (const Tvrn7zSignature& signature : FSignatures) {
    std::size_t end = std::size_t(signature.Offset) + signature.Signature.size();
    std::vector<std::uint8_t> candidate;
    if (end > buffer.size()) {
      // Beyond the head: read what the file has there.
      candidate.resize(signature.Signature.size());
      stream.Seek(signature.Offset, 0);
      std::uint32_t done = 0;
      while (done < candidate.size()) {
        std::uint32_t n = stream.Read(candidate.data() + done,
                                      static_cast<std::uint32_t>(candidate.size() - done));
        if (n == 0) {
          break;
        }
        done += n;
      }
      candidate.resize(done);
    } else {
      candidate.assign(buffer.begin() + signature.Offset, buffer.begin() + end);
    }
    if (candidate == signature.Signature) {
      return true;
    }
  }
  return false;
}

TComPtr<IvrnArchive> Tvrn7zPlugin::OpenArchive(TvrnAbortFlag abortFlag,
                                               const UString& fileName,
                                               const UString& password,
                                               std::unique_ptr<TFileStream>& stream) {
  TComPtr<IInArchive> engine;
  const GUID iid = TInterfaceId<IInArchive>::Value;
  if (FDll->CreateObject(&FClassID, &iid, reinterpret_cast<void**>(engine.Receive())) != S_OK ||
      !engine) {
    return nullptr;
  }
  TComPtr<IvrnArchive> archive(new Tvrn7zArchive(this, engine, fileName, password, stream));
  archive->Open(abortFlag);  // on an error the archive goes, and the file with it
  return archive;
}

// ---------------------------------------------------------------------------------------
// Engine callbacks.

// Cancellation and progress, shared by every engine callback.
class Tvrn7zBaseCallback {
 public:
  virtual ~Tvrn7zBaseCallback() = default;

 protected:
  explicit Tvrn7zBaseCallback(TvrnAbortFlag abort) : FAbort(abort) {}

  bool Aborted() const { return FAbort != nullptr && FAbort->load(std::memory_order_relaxed); }
  // IProgress.SetTotal.
  HRESULT ProgressSetTotal(UInt64 total) noexcept {
    try {
      if (Aborted()) {
        return E_ABORT;
      }
      FTotal = total;
      DoProgress(FCompleted, FTotal);
      return S_OK;
    } catch (...) {
      return ExceptionToResult(std::current_exception());
    }
  }
  // IProgress.SetCompleted.
  HRESULT ProgressSetCompleted(const UInt64* completed) noexcept {
    try {
      if (Aborted()) {
        return E_ABORT;
      }
      if (completed != nullptr) {
        FCompleted = *completed;
      }
      DoProgress(FCompleted, FTotal);
      return S_OK;
    } catch (...) {
      return ExceptionToResult(std::current_exception());
    }
  }
  // Where the latest amounts go; nowhere here.
  virtual void DoProgress(UInt64, UInt64) {}

  TvrnAbortFlag FAbort;
  UInt64 FTotal = 0;
  UInt64 FCompleted = 0;
};

// The password question, shared by the open and the extraction callbacks.
class Tvrn7zBasePasswordCallback : public Tvrn7zBaseCallback {
 protected:
  using Tvrn7zBaseCallback::Tvrn7zBaseCallback;

  // Verdicts of GetPassword.
  static constexpr int kUsePassword = 1;
  static constexpr int kCancel = 2;
  static constexpr int kNoPassword = 3;
  static constexpr int kCancelAndMark = 5;

  // The password to hand the engine, with the verdict.
  virtual int GetPassword(UString& password) {
    password.clear();
    return kNoPassword;
  }
  // ICryptoGetTextPassword.CryptoGetTextPassword.
  HRESULT AnswerPassword(BSTR* password) noexcept {
    try {
      if (password == nullptr) {
        return E_POINTER;
      }
      *password = nullptr;
      UString text;
      // The engine keeps its own copy; this one is zeroed on the way out.
      struct TWipe {
        UString& Text;
        ~TWipe() { WipeText(Text); }
      } wipe{text};
      switch (GetPassword(text)) {
        case kUsePassword:
          *password = AllocEngineString(text);  // nil for an empty password
          return S_OK;
        case kCancel:
          return E_ABORT;
        case kCancelAndMark:
          FPasswordCancelled = true;
          return E_ABORT;
        default:
          return S_OK;
      }
    } catch (...) {
      return ExceptionToResult(std::current_exception());
    }
  }

  bool FPasswordCancelled = false;
};

// The open callback: no further volumes, the archive's password, cancellation.
class TqevSevenZipOpenCallback final : public TInterfacedObject<IArchiveOpenCallbackEx,
                                                                IArchiveOpenVolumeCallback,
                                                                ICryptoGetTextPassword>,
                                       public Tvrn7zBasePasswordCallback {
 public:
  TqevSevenZipOpenCallback(TvrnAbortFlag abort, Tvrn7zArchive* archive)
      : Tvrn7zBasePasswordCallback(abort), FArchive(archive) {}

  HRESULT STDMETHODCALLTYPE SetTotal(const UInt64*, const UInt64* bytes) override {
    return OpenProgress(bytes, FOpenTotal);
  }
  HRESULT STDMETHODCALLTYPE SetCompleted(const UInt64*, const UInt64* bytes) override {
    return OpenProgress(bytes, FOpenCompleted);
  }
  bool GetPasswordRequested() override { return FPasswordRequested; }
  void SetPasswordRequested(bool value) override { FPasswordRequested = value; }
  bool GetPasswordCancelled() override { return FPasswordCancelled; }

  // No volume has a path, name, size or time: only the chosen file is read.
  HRESULT STDMETHODCALLTYPE GetProperty(PROPID, PROPVARIANT* value) override {
    if (value == nullptr) {
      return E_POINTER;
    }
    std::memset(value, 0, sizeof(*value));
    return S_OK;
  }
  // No further volume exists.
  HRESULT STDMETHODCALLTYPE GetStream(const wchar_t*, IInStream** inStream) override {
    if (inStream != nullptr) {
      *inStream = nullptr;
    }
    return S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE CryptoGetTextPassword(BSTR* password) override {
    return AnswerPassword(password);
  }

 private:
  int GetPassword(UString& password) override {
    password = FArchive->Password();
    FPasswordRequested = true;
    return kUsePassword;
  }
  // IArchiveOpenCallback.SetTotal and SetCompleted: byte amounts, no progress shown.
  HRESULT OpenProgress(const UInt64* bytes, UInt64& slot) noexcept {
    if (Aborted()) {
      return E_ABORT;
    }
    if (bytes != nullptr) {
      slot = *bytes;
    }
    if (FOpenTotal > 0) {
      DoProgress(FOpenCompleted, FOpenTotal);
    }
    return S_OK;
  }

  // Not counted: the archive outlives the open call.
  Tvrn7zArchive* FArchive;
  UInt64 FOpenTotal = 0;
  UInt64 FOpenCompleted = 0;
  bool FPasswordRequested = false;
};

// The extraction protocol: a stream per requested file, its result, cancellation.
class TQuorel7ZipArchiveExtractCallback : public Tvrn7zBasePasswordCallback {
 protected:
  using Tvrn7zBasePasswordCallback::Tvrn7zBasePasswordCallback;

  // The stream that receives file Index; nil skips it.
  virtual TComPtr<ISequentialOutStream> GetStream(UInt32) { return nullptr; }
  // The engine asks about file Index without taking its bytes (test or skip).
  virtual void Skipped(UInt32) {}
  // The engine's result for the file of the last stream.
  virtual void OperationResult(Int32) {}

  // IArchiveExtractCallback.GetStream.
  HRESULT AnswerGetStream(UInt32 index,
                          ISequentialOutStream** outStream,
                          Int32 askExtractMode) noexcept {
    try {
      if (outStream == nullptr) {
        return E_POINTER;
      }
      *outStream = nullptr;
      if (askExtractMode < kExtractAskExtract || askExtractMode > kExtractAskSkip) {
        return E_INVALIDARG;
      }
      if (Aborted()) {
        return E_ABORT;
      }
      if (askExtractMode == kExtractAskExtract) {
        *outStream = GetStream(index).Detach();
      } else {
        Skipped(index);
      }
      return S_OK;
    } catch (...) {
      return ExceptionToResult(std::current_exception());
    }
  }
  // IArchiveExtractCallback.SetOperationResult: the result is recorded even when a stop
  // request arrived with it.
  HRESULT AnswerOperationResult(Int32 result) noexcept {
    try {
      FLastOperationResult = result;
      OperationResult(result);
      return Aborted() ? E_ABORT : S_OK;
    } catch (...) {
      return ExceptionToResult(std::current_exception());
    }
  }

  Int32 FLastOperationResult = 0;
};

// The program's extraction callback: data stores, marks, progress and password.
class TqevSevenZipExtractCallback final : public TInterfacedObject<IArchiveExtractCallback,
                                                                   ICompressProgressInfo,
                                                                   ICryptoGetTextPassword>,
                                          public TQuorel7ZipArchiveExtractCallback {
 public:
  TqevSevenZipExtractCallback(TvrnAbortFlag abort,
                              IvrnProgress* progress,
                              Tvrn7zArchive* archive,
                              const TComPtr<IvrnData>& tempStore,
                              TvrnStoreKind storeKind)
      : TQuorel7ZipArchiveExtractCallback(abort),
        FProgress(progress),
        FFileProgress(FProgress.Query<IvrnFileProgress>()),
        FArchive(archive),
        FTempStore(tempStore),
        FStoreKind(storeKind) {}

  HRESULT STDMETHODCALLTYPE SetTotal(UInt64 total) override { return ProgressSetTotal(total); }
  HRESULT STDMETHODCALLTYPE SetCompleted(const UInt64* completed) override {
    return ProgressSetCompleted(completed);
  }
  HRESULT STDMETHODCALLTYPE GetStream(UInt32 index,
                                      ISequentialOutStream** outStream,
                                      Int32 askExtractMode) override {
    return AnswerGetStream(index, outStream, askExtractMode);
  }
  HRESULT STDMETHODCALLTYPE PrepareOperation(Int32) override { return Aborted() ? E_ABORT : S_OK; }
  HRESULT STDMETHODCALLTYPE SetOperationResult(Int32 result) override {
    return AnswerOperationResult(result);
  }
  HRESULT STDMETHODCALLTYPE SetRatioInfo(const UInt64*, const UInt64*) override {
    return Aborted() ? E_ABORT : S_OK;
  }
  HRESULT STDMETHODCALLTYPE CryptoGetTextPassword(BSTR* password) override {
    return AnswerPassword(password);
  }

 private:
  int GetPassword(UString& password) override {
    password = FArchive->Password();
    FPasswordRequested = true;
    return kUsePassword;
  }

  // The file the engine numbers Index (its archive index); nil for a folder.
  TComPtr<IvrnFile> FileAt(UInt32 index) {
    return TComPtr<IvrnBaseItem>(FArchive->GetItem(static_cast<std::int32_t>(index)))
        .Query<IvrnFile>();
  }

  TComPtr<ISequentialOutStream> GetStream(UInt32 index) override {
    FCurrentFile.Reset();
    FCurrentFileSkipped = false;
    TComPtr<IvrnFile> file = FileAt(index);
    if (!file) {
      throw EOleError(E_NOINTERFACE, OleErrorMessage(E_NOINTERFACE));
    }
    if (file->IsExtracted()) {
      // Extracted by an earlier pass that stopped later in the block: its store is
      // complete and may be in use, so the engine only decodes past it.
      return nullptr;
    }
    const std::uint64_t size = file->GetInfo()->Size;
    // Always a new, empty store: after a stopped pass the file reads its second writing
    // alone.
    TComPtr<IvrnData> store = CreateFileStore(size, FStoreKind, FTempStore);
    file->SetData(store);
    TComPtr<ISequentialOutStream> stream = store.Query<ISequentialOutStream>();
    CheckResult(stream ? S_OK : E_NOINTERFACE);
    FCurrentFile = file;
    return stream;
  }

  void Skipped(UInt32 index) override {
    // When the engine cannot decode a file (a wrong password makes it only test the
    // block), its failed result is still the file's outcome: record it, so that every
    // read does not run the whole block again to learn the same error.
    FCurrentFile.Reset();
    TComPtr<IvrnFile> file = FileAt(index);
    if (file && !file->IsExtracted()) {
      FCurrentFile = file;
      FCurrentFileSkipped = true;
    }
  }

  void OperationResult(Int32 result) override {
    bool skipped = std::exchange(FCurrentFileSkipped, false);
    if (FCurrentFile && skipped && result == kOpResultOK) {
      FCurrentFile.Reset();  // tested good but not delivered: it stays to be extracted
      return;
    }
    if (FCurrentFile) {
      // The flag and the store are set before the mark that publishes them.
      FCurrentFile->SetDataError(result != kOpResultOK);
      FCurrentFile->SetDataErrorCause(CauseOf(result));
      FCurrentFile->MarkExtracted();
      if (FFileProgress) {
        FFileProgress->FileDone(FCurrentFile.Get());
      }
      FCurrentFile.Reset();
    }
  }

  void DoProgress(UInt64 completed, UInt64 total) override {
    if (FProgress) {
      FProgress->Progress(completed, total);
    }
  }

  // The cause of a file's failed result. The engine cannot tell a wrong password from
  // damaged data (the key only decrypts to garbage), so any data fault of a block it
  // asked the password for is put down to the password, as 7-Zip's own tools do.
  TvrnDataErrorCause CauseOf(Int32 result) const {
    switch (result) {
      case kOpResultOK:
        return dcUnknown;
      case kOpResultWrongPassword:
        return FArchive->Password().empty() ? dcNoPassword : dcWrongPassword;
      case kOpResultDataError:
      case kOpResultCRCError:
      case kOpResultUnexpectedEnd:
        if (FPasswordRequested) {
          return FArchive->Password().empty() ? dcNoPassword : dcWrongPassword;
        }
        return result == kOpResultUnexpectedEnd ? dcUnexpectedEnd : dcDamaged;
      case kOpResultUnsupportedMethod:
        return dcUnsupportedMethod;
      default:
        return dcDamaged;
    }
  }

  TComPtr<IvrnProgress> FProgress;
  // The same sink's file reports; nil when it has none.
  TComPtr<IvrnFileProgress> FFileProgress;
  // Not counted: the archive outlives the extraction.
  Tvrn7zArchive* FArchive;
  TComPtr<IvrnData> FTempStore;
  TvrnStoreKind FStoreKind;
  bool FPasswordRequested = false;
  TComPtr<IvrnFile> FCurrentFile;
  // The engine asked about CurrentFile without taking its bytes.
  bool FCurrentFileSkipped = false;
};

// ---------------------------------------------------------------------------------------
// The archive.

Tvrn7zArchive::Tvrn7zArchive(Tvrn7zPlugin* plugin,
                             TComPtr<IInArchive> inArchive,
                             const UString& fileName,
                             const UString& password,
                             std::unique_ptr<TFileStream>& stream)
    : TvrnArchive(plugin, fileName, password, stream), FInArchive(std::move(inArchive)) {
  FInStream = TComPtr<IInStream>(new Tqev7zFileStream(FStream->Handle().Native()));
  FOpenedSize = FStream->Size();
  std::size_t folderEnd = fileName.find_last_of(u"\\/");
  FDefaultName = folderEnd == UString::npos ? fileName : fileName.substr(folderEnd + 1);
  std::size_t dot = FDefaultName.rfind(u'.');
  if (dot != UString::npos) {
    FDefaultName.resize(dot);
  }
}

Tvrn7zArchive::~Tvrn7zArchive() {
  FInArchive.Reset();
  FInStream.Reset();
}

void Tvrn7zArchive::Open(TvrnAbortFlag abortFlag) {
  TComPtr<IArchiveOpenCallbackEx> callback(new TqevSevenZipOpenCallback(abortFlag, this));
  const UInt64 maxStart = kMaxCheckStartPosition;
  HRESULT result = FInArchive->Open(FInStream.Get(), &maxStart, callback.Get());
  if (result == S_FALSE && callback->GetPasswordRequested()) {
    throw EPossibleInvalidPassword(u"Wrong password?");
  }
  CheckResult(result);
  UInt32 count = 0;
  CheckResult(FInArchive->GetNumberOfItems(&count));
  if (count > 0) {
    Items().SetCapacity(count);
    for (UInt32 i = 0; i < count; ++i) {
      // A million entries take seconds to import, and the library reports no progress
      // here: a cancel is looked at every few thousand.
      if (i % kImportCancelCheck == 0 && abortFlag != nullptr &&
          abortFlag->load(std::memory_order_relaxed)) {
        throw EAbort();
      }
      ImportItem(i);
    }
  }
  callback.Reset();
  CloseBlock();
}

bool Tvrn7zArchive::ReadItemProperty(UInt32 index, PROPID propId, PROPVARIANT& value) {
  std::memset(&value, 0, sizeof(value));
  CheckResultEx(FInArchive->GetProperty(index, propId, &value), false);
  return value.vt != VT_EMPTY;
}

UString Tvrn7zArchive::ItemPropertyString(UInt32 index, PROPID propId) {
  PROPVARIANT value;
  ReadItemProperty(index, propId, value);
  return ConvertAndClear<UString>(value, PropVariantToString);
}

UString Tvrn7zArchive::ItemPath(UInt32 index) {
  UString path = ItemPropertyString(index, kpidPath);
  UString name = path.empty() ? ItemPropertyString(index, kpidName) : UString();
#if !defined(_WIN32)
  // The Linux library separates components with "/" and keeps a "\" inside a name as it
  // is; the Windows library gives "\" and U+F05C. Make the tree the same on both.
  for (UString* text : {&path, &name}) {
    for (char16_t& c : *text) {
      c = c == u'\\' ? u'\uF05C' : c == u'/' ? u'\\' : c;
    }
  }
#endif
  UString extension = ItemPropertyString(index, kpidExtension);
  if (!extension.empty() && extension[0] != u'.') {
    extension.insert(extension.begin(), u'.');
  }
  UString result = path + name + extension;
  if (result.empty()) {
    return FDefaultName;
  }
  if (path.empty() && name.empty()) {
    return FDefaultName + result;
  }
  return result;
}

void Tvrn7zArchive::ImportItem(UInt32 index) {
  PROPVARIANT value;
  // A deletion marker of an update archive says that its path is gone: nothing to show.
  if (ReadItemProperty(index, kpidIsAnti, value) &&
      ConvertAndClear<bool>(value, PropVariantToBoolean)) {
    SkipArchiveItem();
    return;
  }
  UString path = ItemPath(index);
  bool isFolder = false;
  if (ReadItemProperty(index, kpidIsDir, value)) {
    isFolder = ConvertAndClear<bool>(value, PropVariantToBoolean);
  }
  TComPtr<IvrnBaseItem> item = AddArchiveItem(path, isFolder);
  TvrnItemInfo* info = item->GetInfo();

  if (!isFolder && ReadItemProperty(index, kpidBlock, value)) {
    AddToBlock(item.Get(), static_cast<std::int32_t>(
                               ConvertAndClear<std::uint32_t>(value, PropVariantToUInt32)));
  }
  if (ReadItemProperty(index, kpidAttrib, value)) {
    DWORD stored = ConvertAndClear<std::uint32_t>(value, PropVariantToUInt32);
    DWORD attributes = stored & kImportedAttributes;
    if ((stored & kUnixExtensionAttribute) != 0 && (stored >> 16) != 0) {
      attributes |= stored & kUnixModeAttributes;
    }
    if (isFolder) {
      attributes |= FILE_ATTRIBUTE_DIRECTORY;
    } else if (attributes == 0) {
      attributes = FILE_ATTRIBUTE_NORMAL;
    }
    info->Attributes = attributes;
  }
  const std::pair<PROPID, FILETIME*> times[] = {{kpidCTime, &info->CreationTime},
                                                {kpidATime, &info->LastAccessTime},
                                                {kpidMTime, &info->LastWriteTime}};
  for (const auto& [propId, slot] : times) {
    if (ReadItemProperty(index, propId, value)) {
      *slot = ConvertAndClear<FILETIME>(value, PropVariantToFileTime);
    }
  }
  if (ReadItemProperty(index, kpidSize, value)) {
    info->Size = ConvertAndClear<std::uint64_t>(value, PropVariantToUInt64);
  }
  if (ReadItemProperty(index, kpidShortName, value)) {
    item->SetShortName(ConvertAndClear<UString>(value, PropVariantToString));
  }
}

void Tvrn7zArchive::Extract(TvrnAbortFlag abortFlag,
                            IvrnProgress* progress,
                            IvrnFile* file,
                            const TComPtr<IvrnData>& tempStore,
                            TvrnStoreKind storeKind) {
  ExtractFiles(abortFlag, progress, {file}, tempStore, storeKind);
}

void Tvrn7zArchive::ExtractFiles(TvrnAbortFlag abortFlag,
                                 IvrnProgress* progress,
                                 const std::vector<IvrnFile*>& files,
                                 const TComPtr<IvrnData>& tempStore,
                                 TvrnStoreKind storeKind) {
  std::vector<UInt32> indices;
  for (IvrnFile* file : files) {
    if (TvrnBlock* block = file->GetBlock()) {
      for (std::int32_t i = 0; i < block->Count(); ++i) {
        indices.push_back(static_cast<UInt32>(block->GetItem(i)->GetIndex()));
      }
    } else {
      indices.push_back(static_cast<UInt32>(file->GetIndex()));
    }
  }
  // The engine wants them ascending, each once.
  std::sort(indices.begin(), indices.end());
  indices.erase(std::unique(indices.begin(), indices.end()), indices.end());
  TComPtr<IArchiveExtractCallback> callback(
      new TqevSevenZipExtractCallback(abortFlag, progress, this, tempStore, storeKind));
  // The outcome is recorded on the files; a file the engine did not finish stays
  // unextracted.
  HRESULT result =
      FInArchive->Extract(indices.data(), static_cast<UInt32>(indices.size()), 0, callback.Get());
  if (abortFlag != nullptr && *abortFlag) {
    return;  // stopped: nothing failed
  }
  RecordFailureCause(indices, result);
}

void Tvrn7zArchive::RecordFailureCause(const std::vector<UInt32>& indices, HRESULT result) {
  std::vector<TComPtr<IvrnFile>> failed;
  for (UInt32 index : indices) {
    TComPtr<IvrnFile> file =
        TComPtr<IvrnBaseItem>(GetItem(static_cast<std::int32_t>(index))).Query<IvrnFile>();
    if (file && (!file->IsExtracted() || file->GetDataError())) {
      failed.push_back(file);
    }
  }
  if (failed.empty()) {
    return;
  }
  // An archive file that is no longer the size it was opened with explains every
  // failure better than what the engine made of the bytes it found.
  std::optional<TvrnDataErrorCause> cause;
  try {
    if (FStream->Size() != FOpenedSize) {
      cause = dcArchiveChanged;
    }
  } catch (const EvrnError&) {
    cause = dcArchiveRead;
  }
  if (!cause && result == HResultFromWin32(ERROR_DISK_FULL)) {
    cause = dcNoSpace;
  } else if (!cause && result == kTempLimitResult) {
    cause = dcTempLimit;
  } else if (!cause && result != S_OK && result != S_FALSE) {
    // The engine gives up with the archive stream's own error when a read of it fails;
    // the stores' errors other than a full disk are not told apart from it.
    if ((static_cast<std::uint32_t>(result) & 0xFFFF0000u) == 0x80070000u) {
      cause = dcArchiveRead;
    }
  }
  if (!cause) {
    return;
  }
  for (const TComPtr<IvrnFile>& file : failed) {
    file->SetDataErrorCause(*cause);
  }
}
