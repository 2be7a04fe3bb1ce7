// The 7-Zip codec library as the program's 7z format: loading the library, the 7z
// plug-in, opening and importing an archive, and extracting a solid block.
//
// Tvrn7zDll loads the library (7zxa.dll next to the program on Windows; on Linux 7z.so
// next to the program, else Debian's /usr/lib/p7zip/7z.so, accepted only with the
// interface layout this program is built for) and resolves its exports. At program
// start RegisterEngineFormats registers one Tvrn7zPlugin per format of the library with
// the 7z class ID. The plug-in recognises 7z files and opens them as Tvrn7zArchive,
// whose Open imports every entry into the item tree and whose Extract unpacks a file's
// whole solid block into data stores in one engine pass.
//
// The engine calls back into the objects below on the thread that called it; every such
// method catches everything and answers an HRESULT (ExceptionToResult).
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "engine/qev7zUtils.h"
#include "model/vrnPlugins.h"
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
  // has the interface layout this program is built for and its own BSTR allocator,
  // which it then installs for every engine string).
  explicit Tvrn7zDll(const UString& fileName);
  // Uninstalls the library's string allocator before the library goes.
  ~Tvrn7zDll() override;

  // The number of formats; 0 when not Valid or the call fails.
  UInt32 FormatCount() const;
  // A property of a format; VT_EMPTY when not Valid or the call fails. The caller
  // clears the value with ClearPropVariant.
  PROPVARIANT FormatProperty(UInt32 index, PROPID propId) const;
  // A format's GUID property (the null GUID when absent); raises for another type.
  GUID FormatGUIDProperty(UInt32 index, PROPID propId) const;
  // A format's byte-string property (no bytes when absent).
  std::vector<std::uint8_t> FormatBytesProperty(UInt32 index, PROPID propId) const;
  // A format's number property (0 when absent); raises for another type.
  UInt32 FormatUInt32Property(UInt32 index, PROPID propId) const;

  TCreateObjectFunc CreateObject = nullptr;
  TGetHandlerProperty2Func GetHandlerProperty2 = nullptr;
  TGetHandlerPropertyFunc GetHandlerProperty = nullptr;
  TGetIsArcFunc GetIsArc = nullptr;
  TGetMethodPropertyFunc GetMethodProperty = nullptr;
  TGetNumberOfFormatsFunc GetNumberOfFormats = nullptr;
  TGetNumberOfMethodsFunc GetNumberOfMethods = nullptr;
  TSetLargePageModeFunc SetLargePageMode = nullptr;
  TSetCodecsFunc SetCodecs = nullptr;
};

// Where the engine library is looked for: 7zxa.dll in the program's folder on Windows;
// on Linux 7z.so in the program's folder when present, else /usr/lib/p7zip/7z.so.
UString EngineLibraryPath();

// Loads the engine library and registers a Tvrn7zPlugin for each of its 7z formats.
// Failures are swallowed: without a library no archive opens, and the open says so.
void RegisterEngineFormats();
// Frees the loaded engine libraries, the last loaded first. The plug-ins must not be
// used any more.
void ReleaseEngineLibraries();
// The libraries that passed validation (at most one).
const std::vector<std::unique_ptr<Tvrn7zDll>>& EngineLibraries();

// One signature of a format: the bytes that stand at Offset in its files.
struct Tvrn7zSignature {
  UInt32 Offset = 0;
  std::vector<std::uint8_t> Signature;
};

// The 7z format of the engine library as an archive plug-in.
class Tvrn7zPlugin : public TvrnPlugin {
 public:
  // Reads the format's recogniser, class ID and signatures from the library.
  Tvrn7zPlugin(Tvrn7zDll* dll, UInt32 formatIndex);

  // The library's recogniser on the head (doubling the head up to 64 MiB while it asks
  // for more); without a recogniser, or when it still wants more, the signatures.
  bool CheckFormat(const UString& fileName,
                   TFileStream& stream,
                   std::vector<std::uint8_t>& buffer) override;
  // Creates the engine's archive object and a Tvrn7zArchive over Stream, and opens it.
  // Nil, without an error, when the engine cannot create the object.
  TComPtr<IvrnArchive> OpenArchive(TvrnAbortFlag abortFlag,
                                   const UString& fileName,
                                   const UString& password,
                                   std::unique_ptr<TFileStream>& stream) override;

  Tvrn7zDll* Dll() const { return FDll; }
  UInt32 FormatIndex() const { return FFormatIndex; }
  const GUID& ClassID() const { return FClassID; }
  const std::vector<Tvrn7zSignature>& Signatures() const { return FSignatures; }

 private:
  // Not owned: the library list owns it.
  Tvrn7zDll* FDll;
  UInt32 FFormatIndex;
  GUID FClassID{};
  Func_IsArc FIsArc = nullptr;
  std::vector<Tvrn7zSignature> FSignatures;
};

// The open callback's extra interface: whether the engine asked for the password.
struct IArchiveOpenCallbackEx : IArchiveOpenCallback {
  virtual bool GetPasswordRequested() = 0;
  virtual void SetPasswordRequested(bool value) = 0;
  virtual bool GetPasswordCancelled() = 0;
};
VRN_DECLARE_IID_EXTENDS(
    IArchiveOpenCallbackEx,
    IArchiveOpenCallback,
    (GUID{0xACA65CD7, 0x4EA3, 0x4859, {0x87, 0x51, 0x76, 0xD6, 0xA9, 0x6B, 0xA9, 0x60}}));

// An opened 7z archive: the engine's archive object over the archive file.
class Tvrn7zArchive : public TvrnArchive {
 public:
  // Takes Stream over; the engine reads the file through a Tqev7zFileStream over its
  // handle.
  Tvrn7zArchive(Tvrn7zPlugin* plugin,
                TComPtr<IInArchive> inArchive,
                const UString& fileName,
                const UString& password,
                std::unique_ptr<TFileStream>& stream);
  ~Tvrn7zArchive() override;

  // Opens the archive in the engine (password, no further volumes, start within 4 MiB)
  // and imports every entry in ascending entry number. Raises "Wrong password?" when
  // the engine refused the file after asking for the password.
  void Open(TvrnAbortFlag abortFlag) override;
  // Unpacks File's whole block (or File alone) in one engine pass; each delivered file
  // gets a new store, its error flag and the extracted mark, then is reported to the
  // progress sink's IvrnFileProgress, if it has one. Files already extracted are passed
  // over, so their stores never change under a reader.
  void Extract(TvrnAbortFlag abortFlag,
               IvrnProgress* progress,
               IvrnFile* file,
               const TComPtr<IvrnData>& tempStore,
               TvrnStoreKind storeKind) override;
  // One engine call for all of Files' entries.
  void ExtractFiles(TvrnAbortFlag abortFlag,
                    IvrnProgress* progress,
                    const std::vector<IvrnFile*>& files,
                    const TComPtr<IvrnData>& tempStore,
                    TvrnStoreKind storeKind) override;

  // The name an entry without a path gets: the archive's file name without its folder
  // and its last extension.
  const UString& DefaultName() const { return FDefaultName; }

 private:
  // Adds entry Index to the tree with its record and block.
  void ImportItem(UInt32 index);
  // The entry's path as the tree takes it.
  UString ItemPath(UInt32 index);
  // Reads a property; true when the engine gave a value.
  bool ReadItemProperty(UInt32 index, PROPID propId, PROPVARIANT& value);
  // A property as text; empty when absent.
  UString ItemPropertyString(UInt32 index, PROPID propId);
  // After a pass over the entries Indices that the engine ended with Result: gives the
  // files it failed a cause that only the pass as a whole shows (the archive file
  // changed, a full temporary folder, a failed read of the archive file).
  void RecordFailureCause(const std::vector<UInt32>& indices, HRESULT result);

  TComPtr<IInStream> FInStream;
  TComPtr<IInArchive> FInArchive;
  UString FDefaultName;
  // The archive file's size when it was opened.
  std::uint64_t FOpenedSize = 0;
};
