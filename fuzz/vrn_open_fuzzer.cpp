// libFuzzer target over the open path: each input is written to a file that the
// registry opens with the real 7-Zip library, the tree is named as a mount names it,
// and every file of every block is extracted into each store kind and read back.
//
// The open runs once per store kind, since an extracted file keeps its store for good.
// Work per input is bounded so that every input finishes well within libFuzzer's
// -timeout: a pass stops (through the product's own stop flag) once the engine has
// unpacked kMaxPassBytes; at most kMaxExtractCalls passes run per open (an archive of
// 100,000 files outside any block would otherwise need 100,000 engine calls); and an
// archive of more than kMaxReopenFiles files is opened once, its passes taking the store
// kinds in turn. Every file is still read back. The names the tree serves and the stores
// of files extracted without error are checked against what the tree promises; a broken
// promise aborts, which libFuzzer reports as a crash.
//
// The 7-Zip library is not instrumented, so libFuzzer sees no coverage inside its header
// parser; and a mutation almost always breaks one of the two header CRCs, after which the
// library refuses the whole file. The custom mutator therefore mends both CRCs of most
// mutated inputs, so that mutations reach the header parser, the import and extraction.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/vrn7zPlugin.h"
#include "model/vrnPlugins.h"
#include "platform/vrnErrors.h"
#include "vfs/vrnData.h"
#include "vfs/vrnDrivo.h"
#include "vfs/vrnDrivoArchive.h"

namespace {

// The unpacked bytes after which an extraction pass is stopped.
constexpr std::uint64_t kMaxPassBytes = 16u << 20;
// The extraction passes run per open.
constexpr int kMaxExtractCalls = 256;
// The most files for which the archive is opened again for each store kind.
constexpr std::size_t kMaxReopenFiles = 10000;

// The file each input is written to (in TMPDIR, removed at exit); an entry without a
// name is listed under its name without ".7z".
std::string gInputPath;
int gInputFd = -1;
// VRN_FUZZ_VERBOSE set: say why an input is no archive and what each one held.
bool gVerbose = false;

[[noreturn]] void Fail(const char* what, const UString& name = {}) {
  std::fprintf(stderr, "vrn_open_fuzzer: %s %s\n", what, ToUtf8(name).c_str());
  std::abort();
}

void ReleaseEngine() {
  ReleasePlugins();
  ReleaseEngineLibraries();
  if (!gInputPath.empty()) {
    ::unlink(gInputPath.c_str());
  }
}

// Stops the pass it watches once the engine has unpacked the byte budget.
class TBudget : public TInterfacedObject<IvrnProgress> {
 public:
  void Progress(std::uint64_t completed, std::uint64_t) override {
    if (completed > kMaxPassBytes) {
      Stop.store(true);
    }
  }
  std::atomic<bool> Stop{false};
};

// Every name the mount would serve: not empty, no separator or NUL, within the
// platform's limit; each list strictly in key order, and no key in both lists.
void CheckNames(IvrnFolder* folder) {
  auto check = [](IvrnBaseItem* item, const std::string* previous) {
    const UString& name = item->GetName();
    if (name.empty() || name.find_first_of(UStringView(u"\\/\0", 3)) != UString::npos) {
      Fail("invalid name", name);
    }
    if (NameMeasure(name) > static_cast<int>(TvrnDrivoThread::MaxComponentLength())) {
      Fail("name too long", name);
    }
    if (previous != nullptr && !(*previous < item->GetSortKey())) {
      Fail("names out of order or twice in one folder", name);
    }
    return &item->GetSortKey();
  };
  std::vector<std::string> folderKeys;
  const std::string* previous = nullptr;
  for (std::int32_t i = 0; i < folder->GetFolderCount(); ++i) {
    previous = check(folder->GetFolder(i), previous);
    folderKeys.push_back(*previous);
  }
  previous = nullptr;
  for (std::int32_t i = 0; i < folder->GetFileCount(); ++i) {
    previous = check(folder->GetFile(i), previous);
    if (std::binary_search(folderKeys.begin(), folderKeys.end(), *previous)) {
      Fail("a file and a folder with one name", folder->GetFile(i)->GetName());
    }
  }
}

// Reads a file's store back in pieces of odd sizes and checks what it answers.
void ReadBack(IvrnFile* file) {
  if (!file->IsExtracted() || file->GetDataError()) {
    return;
  }
  TComPtr<IvrnData> data = file->GetData();
  if (!data) {
    return;  // an empty file the engine gave no stream
  }
  std::uint64_t listed = file->GetInfo()->Size;
  std::uint64_t size = data->GetSize();
  if (size != listed) {
    Fail("extracted without error, but not the listed size", file->GetName());
  }
  std::vector<std::uint8_t> buffer(65537);
  std::uint64_t offset = 0;
  for (;;) {
    std::uint32_t done = 0;
    NTSTATUS status = data->ReadAt(buffer.data(), offset, 65537, done);
    if (status != STATUS_SUCCESS) {
      Fail("a store read failed", file->GetName());
    }
    if (done > 65537 || offset + done > size) {
      Fail("a store read more than it holds", file->GetName());
    }
    if (done == 0) {
      break;
    }
    offset += done;
  }
  if (offset != size) {
    Fail("a store read back fewer bytes than it holds", file->GetName());
  }
}

// Opens the input and names the tree as a mount does; nil when it is no archive.
TComPtr<IvrnArchive> OpenInput() {
  std::atomic<bool> abort{false};
  TvrnOpenResult result;
  try {
    result = OpenArchiveFile(&abort, FromUtf8(gInputPath), u"");
  } catch (const std::exception& e) {
    if (gVerbose) {
      std::fprintf(stderr, "vrn_open_fuzzer: open raised: %s\n", e.what());
    }
    return nullptr;  // as the archive-open thread, which shows the text
  }
  if (result.Archive) {
    result.Archive->FixNames(TvrnDrivoThread::MaxComponentLength());
  } else if (gVerbose) {
    std::fprintf(stderr, "vrn_open_fuzzer: no archive: %s\n", ToUtf8(result.ErrorText).c_str());
  }
  return result.Archive;
}

// The files of the tree, with every folder's names checked on the way; walked without
// recursion, since deep paths are inputs too.
std::vector<IvrnFile*> CollectFiles(IvrnArchive* archive) {
  std::vector<IvrnFile*> files;
  std::vector<IvrnFolder*> pending{archive};
  while (!pending.empty()) {
    IvrnFolder* folder = pending.back();
    pending.pop_back();
    CheckNames(folder);
    for (std::int32_t i = 0; i < folder->GetFolderCount(); ++i) {
      pending.push_back(folder->GetFolder(i));
    }
    for (std::int32_t i = 0; i < folder->GetFileCount(); ++i) {
      files.push_back(folder->GetFile(i));
    }
  }
  return files;
}

// Extracts the files not yet extracted, up to kMaxExtractCalls passes, into the kind that
// KindOf gives for each pass; then reads every store back.
template <typename KindOf>
void ExtractAll(IvrnArchive* archive, const std::vector<IvrnFile*>& files,
                const TComPtr<IvrnData>& tempFile, KindOf kindOf) {
  int calls = 0;
  for (IvrnFile* file : files) {
    if (!file->IsExtracted() && calls < kMaxExtractCalls) {
      auto budget = MakeCounted<TBudget>();
      try {
        archive->Extract(&budget->Stop, budget.Get(), file, tempFile, kindOf(calls++));
      } catch (const std::exception&) {
        // As on a read: a failed pass leaves its files as they are.
      }
    }
    ReadBack(file);
  }
}

// CRC-32 of Size bytes at Data, as the 7z format stores it (little-endian).
void PutCrc(std::uint8_t* at, const std::uint8_t* data, std::size_t size) {
  TComPtr<IHasher> hasher = MakeCounted<Tqev7zCRC32Hasher>();
  hasher->Init();
  hasher->Update(data, static_cast<UInt32>(size));
  hasher->Final(at);
}

// Writes the right CRCs into a 7z signature header and the header it points at, when
// the input has both.
void MendHeaderCrcs(std::uint8_t* data, std::size_t size) {
  static constexpr std::uint8_t kSignature[] = {'7', 'z', 0xBC, 0xAF, 0x27, 0x1C};
  constexpr std::size_t kSignatureHeaderSize = 32;
  if (size < kSignatureHeaderSize || !std::equal(kSignature, kSignature + 6, data)) {
    return;
  }
  auto number = [&](std::size_t at) {
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i) {
      value = value << 8 | data[at + i];
    }
    return value;
  };
  std::uint64_t offset = number(12);
  std::uint64_t length = number(20);
  std::uint64_t room = size - kSignatureHeaderSize;
  if (offset <= room && length <= room - offset) {
    PutCrc(data + 28, data + kSignatureHeaderSize + offset, length);
  }
  PutCrc(data + 8, data + 12, 20);
}

}  // namespace

extern "C" std::size_t LLVMFuzzerMutate(std::uint8_t* data, std::size_t size, std::size_t maxSize);

extern "C" std::size_t LLVMFuzzerCustomMutator(std::uint8_t* data,
                                               std::size_t size,
                                               std::size_t maxSize,
                                               unsigned int seed) {
  size = LLVMFuzzerMutate(data, size, maxSize);
  // One mutation in eight keeps its broken CRCs: the refusal is a path too.
  if (seed % 8 != 0) {
    MendHeaderCrcs(data, size);
  }
  return size;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* folder = std::getenv("TMPDIR");
  gInputPath = std::string(folder != nullptr && *folder != 0 ? folder : "/tmp") +
               "/vrn-fuzz-" + std::to_string(::getpid()) + "-input.7z";
  gInputFd = ::open(gInputPath.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (gInputFd < 0) {
    std::perror(gInputPath.c_str());
    std::exit(1);
  }
  gVerbose = std::getenv("VRN_FUZZ_VERBOSE") != nullptr;
  RegisterEngineFormats();
  if (EngineLibraries().empty()) {
    std::fprintf(stderr, "vrn_open_fuzzer: cannot load %s\n",
                 ToUtf8(EngineLibraryPath()).c_str());
    std::exit(1);
  }
  std::atexit(ReleaseEngine);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (::ftruncate(gInputFd, 0) != 0 ||
      ::pwrite(gInputFd, data, size, 0) != static_cast<ssize_t>(size)) {
    Fail("cannot write the input file");
  }
  constexpr TvrnStoreKind kKinds[] = {skTempFile, skMemoryAndTempFile, skMemory};
  TComPtr<IvrnData> tempFile = MakeCounted<TvrnTempFile>();
  TComPtr<IvrnArchive> archive = OpenInput();
  if (!archive) {
    return 0;
  }
  std::vector<IvrnFile*> files = CollectFiles(archive.Get());
  if (gVerbose) {
    std::size_t depth = 0;
    for (IvrnFolder* folder = archive.Get(); folder->GetFolderCount() > 0;
         folder = folder->GetFolder(0)) {
      ++depth;
    }
    std::fprintf(stderr, "vrn_open_fuzzer: %zu files, first path %zu folders deep\n",
                 files.size(), depth);
  }
  if (files.size() > kMaxReopenFiles) {
    // One open only: the passes take the store kinds in turn.
    ExtractAll(archive.Get(), files, tempFile, [&](int call) { return kKinds[call % 3]; });
    return 0;
  }
  for (TvrnStoreKind kind : kKinds) {
    if (!archive) {
      archive = OpenInput();
      if (!archive) {
        Fail("the input opened once, but not again");
      }
      files = CollectFiles(archive.Get());
    }
    ExtractAll(archive.Get(), files, tempFile, [kind](int) { return kind; });
    files.clear();
    archive.Reset();
  }
  return 0;
}
