// The archive file system at the level of its handlers: the installed callbacks are
// called directly, as the library's worker threads would call them, on the generated
// 7z fixtures opened by a real archive-open thread and the real 7-Zip library, and on a
// small hand-built tree whose extraction a test controls. Opens with their access,
// disposition and share rules, file information, listings, volume information, reads
// with extraction on first use and their failures, messages and progress. One test
// mounts through the build's dokan2 library (FUSE on Linux, the stand-in under Wine).
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/vrn7zPlugin.h"
#include "model/vrnPlugins.h"
#include "mount/vrnArchiveThread.h"
#include "platform/vrnErrors.h"
#include "platform/vrnFiles.h"
#include "tests/support/vrnFixtures.h"
#include "vfs/vrnDrivoArchive.h"

#if !defined(_WIN32)
#include <unistd.h>

#include <filesystem>
#endif

namespace {

using namespace std::chrono_literals;

// A path as a failed read's message shows it: "\" between names on Windows, "/" on Linux.
UString MessagePathOf(UString windowsPath) {
#if !defined(_WIN32)
  std::replace(windowsPath.begin(), windowsPath.end(), u'\\', u'/');
#endif
  return windowsPath;
}

// CRC-32 bit by bit, independent of the program's table.
std::uint32_t BitwiseCrc32(const std::uint8_t* data, std::size_t size) {
  std::uint32_t crc = 0xFFFFFFFF;
  for (std::size_t i = 0; i < size; ++i) {
    crc ^= data[i];
    for (int k = 0; k < 8; ++k) {
      crc = (crc >> 1) ^ ((crc & 1) != 0 ? 0xEDB88320u : 0u);
    }
  }
  return ~crc;
}

std::uint32_t Utf16LeCrc32(const UString& text) {
  std::vector<std::uint8_t> bytes;
  for (char16_t c : text) {
    bytes.push_back(static_cast<std::uint8_t>(c));
    bytes.push_back(static_cast<std::uint8_t>(c >> 8));
  }
  return BitwiseCrc32(bytes.data(), bytes.size());
}

// Size and CRC of one file as 7z lists it.
struct TListedFile {
  std::uint64_t Size = 0;
  std::uint32_t Crc = 0;
};

// The files of fixture Name by their Windows-style path ("s\f1.txt").
std::map<UString, TListedFile> ReadListedFiles(const std::string& name) {
  std::map<UString, TListedFile> files;
  for (const TListedEntry& entry : ReadListing(name)) {
    if (entry.Folder) {
      continue;
    }
    UString path = FromUtf8(entry.Path);
    std::replace(path.begin(), path.end(), u'/', u'\\');
    files[path] = {entry.Size, entry.Crc.value_or(0)};
  }
  return files;
}

// A store whose reads fail as a temporary file's read would.
class TFailingData : public TInterfacedObject<IvrnData> {
 public:
  void Lock() override {}
  void Unlock() override {}
  std::uint64_t GetSize() override { return 4; }
  NTSTATUS ReadAt(void*, std::uint64_t, std::uint32_t, std::uint32_t& done) override {
    done = 0;
    return STATUS_IO_DEVICE_ERROR;
  }
  NTSTATUS WriteAt(const void*, std::uint64_t, std::uint32_t, std::uint32_t&) override {
    return STATUS_NOT_IMPLEMENTED;
  }
};

// The empty stream a hand-built archive is made with.
std::unique_ptr<TFileStream>& NoStream() {
  thread_local std::unique_ptr<TFileStream> none;
  return none;
}

// A hand-built archive whose Extract does what the test sets for each file name.
class TTestArchive : public TvrnArchive {
 public:
  enum TOutcome { toData, toRaise, toNoStore, toDataError, toFailingStore, toNotReached };
  struct TBehaviour {
    TOutcome Outcome = toData;
    std::string Bytes;
  };

  TTestArchive() : TvrnArchive(nullptr, u"hand.7z", u"", NoStream()) {}

  // Adds a file with Bytes (its listed size) and what its extraction does.
  void AddFile(const UString& path, TOutcome outcome, const std::string& bytes = {}) {
    TComPtr<IvrnBaseItem> item = AddArchiveItem(path, false);
    item->GetInfo()->Size = bytes.size();
    FBehaviour[item->GetName()] = {outcome, bytes};
  }

  void Extract(TvrnAbortFlag,
               IvrnProgress* progress,
               IvrnFile* file,
               const TComPtr<IvrnData>& tempStore,
               TvrnStoreKind) override {
    ++Calls;
    EXPECT_TRUE(tempStore) << "every extraction gets the mount's temporary file";
    if (progress != nullptr) {
      progress->Progress(3, 7);
    }
    if (DuringExtract) {
      DuringExtract();
    }
    const TBehaviour& b = FBehaviour[file->GetName()];
    switch (b.Outcome) {
      case toData: {
        auto store = MakeCounted<TvrnMemoryData>(static_cast<std::uint32_t>(b.Bytes.size()));
        UInt32 written = 0;
        store->Write(b.Bytes.data(), static_cast<UInt32>(b.Bytes.size()), &written);
        file->SetData(TComPtr<IvrnData>(store.Get()));
        break;
      }
      case toRaise:
        throw EvrnError(u"The engine failed");
      case toNoStore:
        break;
      case toDataError:
        file->SetDataError(true);
        break;
      case toFailingStore:
        file->SetData(MakeCounted<TFailingData>());
        break;
      case toNotReached:
        return;
    }
    file->MarkExtracted();
  }

  std::atomic<int> Calls{0};
  // Runs inside every Extract, after its progress report.
  std::function<void()> DuringExtract;

 private:
  std::map<UString, TBehaviour> FBehaviour;
};

// A hand-built block of two files, a short head and a 2 MiB tail, whose pass marks the
// head, then pauses until the test lets it go on (or the mount stops it) before it
// delivers the tail.
class TPausedBlockArchive : public TvrnArchive {
 public:
  TPausedBlockArchive() : TvrnArchive(nullptr, u"paused.7z", u"", NoStream()) {
    for (std::size_t i = 0; i < FTail.size(); ++i) {
      FTail[i] = static_cast<char>('a' + i * 7 % 26);
    }
    for (const auto& [path, bytes] : {std::pair{u"head.txt", &FHead}, {u"tail.bin", &FTail}}) {
      TComPtr<IvrnBaseItem> item = AddArchiveItem(path, false);
      item->GetInfo()->Size = bytes->size();
      AddToBlock(item.Get(), 1);
    }
    CloseBlock();
  }

  void Extract(TvrnAbortFlag abort,
               IvrnProgress* progress,
               IvrnFile*,
               const TComPtr<IvrnData>&,
               TvrnStoreKind) override {
    ++Calls;
    TComPtr<IvrnFileProgress> files = TComPtr<IvrnProgress>(progress).Query<IvrnFileProgress>();
    EXPECT_TRUE(files) << "the file system follows each file's mark";
    const std::uint64_t total = FHead.size() + FTail.size();
    progress->Progress(0, total);
    Deliver(0, FHead, files.Get());
    progress->Progress(FHead.size(), total);
    HeadDone.Set();
    // Bounded, so that a read that wrongly waits for the whole pass fails the test
    // rather than hanging it.
    for (int i = 0; i < 3000 && !Resume.WaitFor(10ms); ++i) {
      if (abort != nullptr && abort->load()) {
        return;
      }
    }
    // The bytes are counted before the file's result, as the engine counts them.
    progress->Progress(total, total);
    Deliver(1, FTail, files.Get());
  }

  TEvent HeadDone;
  TEvent Resume;
  std::atomic<int> Calls{0};
  const std::string FHead = "the head of the block";
  std::string FTail = std::string(2 << 20, '\0');

 private:
  void Deliver(std::int32_t index, const std::string& bytes, IvrnFileProgress* files) {
    TComPtr<IvrnFile> file = TComPtr<IvrnBaseItem>(GetItem(index)).Query<IvrnFile>();
    auto store = MakeCounted<TvrnMemoryData>(static_cast<std::uint32_t>(bytes.size()));
    UInt32 written = 0;
    store->Write(bytes.data(), static_cast<UInt32>(bytes.size()), &written);
    file->SetData(TComPtr<IvrnData>(store.Get()));
    file->MarkExtracted();
    if (files != nullptr) {
      files->FileDone(file.Get());
    }
  }
};

// The archive file system with its preparation and mount observable.
class TTestArchiveDrivo : public TvrnDrivoArchiveThread {
 public:
  using TvrnDrivoArchiveThread::FFreeSpaceRoot;
  using TvrnDrivoArchiveThread::FillOperations;
  using TvrnDrivoArchiveThread::FillOptions;
  using TvrnDrivoArchiveThread::FRoot;
  using TvrnDrivoArchiveThread::PrepareVolume;
  using TvrnDrivoArchiveThread::TvrnDrivoArchiveThread;

  // The options the library mounted with, as the Mounted callback saw them.
  std::atomic<ULONG> FSeenOptions{0};

 protected:
  NTSTATUS DoMounted(LPCWSTR mountPoint, PDOKAN_FILE_INFO info) override {
    FSeenOptions = info->DokanOptions->Options;
    return TvrnDrivoArchiveThread::DoMounted(mountPoint, info);
  }
};

// One open handle: its file info, as the library keeps it between calls.
struct THandle {
  NTSTATUS Status = STATUS_UNSUCCESSFUL;
  DOKAN_FILE_INFO Info{};
};

// A volume whose callbacks a test calls directly: a fixture opened by a real archive-open
// thread, or a hand-built tree.
class TVolume {
 public:
  // Opens fixture File with Password and prepares the volume as Run would.
  TVolume(const std::string& file, const UString& password, TvrnStoreKind kind)
      : FArchiveThread(std::make_unique<TvrnArchiveThread>(FixturePath(file), password)) {
    FArchiveThread->Start();
    Thread = std::make_unique<TTestArchiveDrivo>(u"M:\\", FArchiveThread.get(), kind);
    Prepared = Thread->PrepareVolume();
    Init();
  }
  // Serves Archive as it is.
  explicit TVolume(IvrnArchive* archive)
      : Thread(std::make_unique<TTestArchiveDrivo>(u"M:\\", nullptr, skMemory)) {
    Thread->FRoot = TComPtr<IvrnArchive>(archive);
    Prepared = true;
    Init();
  }
  ~TVolume() {
    Thread.reset();  // frees the contexts of handles still open, then the tree
    if (FArchiveThread) {
      FArchiveThread->WaitFor();
    }
  }

  THandle Open(const UString& path,
               ACCESS_MASK access,
               ULONG disposition = FILE_OPEN,
               ULONG share = FILE_SHARE_READ,
               ULONG createOptions = 0) {
    THandle handle;
    handle.Info.DokanOptions = Options.get();
    // As the library does, a request marked FILE_DIRECTORY_FILE arrives as a folder's.
    handle.Info.IsDirectory = (createOptions & FILE_DIRECTORY_FILE) != 0;
    handle.Status = Ops.ZwCreateFile(AsWChar(path), nullptr, access, 0, share, disposition,
                                     createOptions, &handle.Info);
    return handle;
  }
  void Close(THandle& handle) {
    Ops.Cleanup(nullptr, &handle.Info);
    Ops.CloseFile(nullptr, &handle.Info);
  }
  // Reads through Handle's context, or by path when it has none.
  NTSTATUS Read(THandle& handle,
                const UString& path,
                std::string& bytes,
                LONGLONG offset = 0,
                DWORD length = 1 << 20) {
    bytes.assign(length, '\0');
    DWORD done = 0xDEADBEEF;
    NTSTATUS status =
        Ops.ReadFile(AsWChar(path), bytes.data(), length, &done, offset, &handle.Info);
    bytes.resize(std::min<DWORD>(done, length));
    return status;
  }
  // Reads a whole file by path, without a handle.
  NTSTATUS ReadPath(const UString& path, std::string& bytes) {
    THandle none;
    none.Info.DokanOptions = Options.get();
    return Read(none, path, bytes);
  }
  BY_HANDLE_FILE_INFORMATION Information(THandle& handle) {
    BY_HANDLE_FILE_INFORMATION result{};
    EXPECT_EQ(Ops.GetFileInformation(nullptr, &result, &handle.Info), STATUS_SUCCESS);
    return result;
  }
  // The names FindFiles gives for Handle, in order; Status receives its result.
  std::vector<UString> List(THandle& handle, NTSTATUS& status) {
    std::vector<UString> names;
    handle.Info.ProcessingContext = &names;
    status = Ops.FindFiles(nullptr, &Collect, &handle.Info);
    handle.Info.ProcessingContext = nullptr;
    return names;
  }
  // A file info without a handle, for volume-wide calls.
  DOKAN_FILE_INFO* VolumeInfo() {
    FVolumeInfo = DOKAN_FILE_INFO{};
    FVolumeInfo.DokanOptions = Options.get();
    return &FVolumeInfo;
  }
  std::vector<UString> Messages() {
    std::vector<UString> messages;
    for (UString m = Thread->TakeMessage(); !m.empty(); m = Thread->TakeMessage()) {
      messages.push_back(m);
    }
    return messages;
  }

  std::unique_ptr<TTestArchiveDrivo> Thread;
  bool Prepared = false;
  DOKAN_OPERATIONS Ops{};
  std::unique_ptr<DOKAN_OPTIONS> Options = std::make_unique<DOKAN_OPTIONS>();

 private:
  void Init() {
    Thread->FillOperations(Ops);
    Thread->FillOptions(*Options);
    Options->GlobalContext =
        reinterpret_cast<std::uintptr_t>(static_cast<TvrnDrivoThread*>(Thread.get()));
  }
  static int WINAPI Collect(PWIN32_FIND_DATAW data, PDOKAN_FILE_INFO info) {
    static_cast<std::vector<UString>*>(info->ProcessingContext)
        ->push_back(UString(AsU16(data->cFileName)));
    return 0;
  }

  std::unique_ptr<TvrnArchiveThread> FArchiveThread;
  DOKAN_FILE_INFO FVolumeInfo{};
};

// The real 7-Zip library's 7z format is registered for each test and released after.
// The volume is the Windows program's, with its Windows names, on either platform.
class DrivoArchiveTest : public testing::Test {
 protected:
  TScopedNameRules FWindowsNames{nrWindows};

  void SetUp() override {
    RegisterEngineFormats();
    ASSERT_EQ(EngineLibraries().size(), 1u) << ToUtf8(EngineLibraryPath());
  }
  void TearDown() override {
    Volume.reset();  // the archive goes before the library it was opened with
    ReleasePlugins();
    ReleaseEngineLibraries();
  }

  TVolume& OpenFixture(const std::string& file,
                       const UString& password = u"",
                       TvrnStoreKind kind = skMemoryAndTempFile) {
    Volume = std::make_unique<TVolume>(file, password, kind);
    EXPECT_TRUE(Volume->Prepared) << file;
    return *Volume;
  }

  std::unique_ptr<TVolume> Volume;
};

// The hand-built tree: \order holds subfolders b and A and files c.txt and B.txt;
// \faults holds one file per way a read can fail.
TComPtr<TTestArchive> HandBuiltArchive() {
  auto archive = MakeCounted<TTestArchive>();
  archive->AddArchiveItem(u"order\\b", true);
  archive->AddFile(u"order\\c.txt", TTestArchive::toData, "c content");
  archive->AddArchiveItem(u"order\\A", true);
  archive->AddFile(u"order\\B.txt", TTestArchive::toData, "B content");
  archive->AddFile(u"faults\\raises.bin", TTestArchive::toRaise, "1234");
  archive->AddFile(u"faults\\nostore.bin", TTestArchive::toNoStore, "1234");
  archive->AddFile(u"faults\\flagged.bin", TTestArchive::toDataError, "1234");
  archive->AddFile(u"faults\\ioerror.bin", TTestArchive::toFailingStore, "1234");
  archive->AddFile(u"faults\\unreached.bin", TTestArchive::toNotReached, "1234");
  return archive;
}

// ---------------------------------------------------------------------------------------
// Label, serial, free space.

TEST(DrivoArchiveVolumeTest, CrcHasherIsIsoHdlcCrc32) {
  auto hasher = MakeCounted<Tqev7zCRC32Hasher>();
  EXPECT_EQ(hasher->GetDigestSize(), 4u);
  const char check[] = "123456789";
  hasher->Init();
  hasher->Update(check, 4);  // in two parts: the sum runs on
  hasher->Update(check + 4, 5);
  Byte digest[4] = {};
  hasher->Final(digest);
  const Byte expected[4] = {0x26, 0x39, 0xF4, 0xCB};  // 0xCBF43926, little-endian
  EXPECT_TRUE(std::equal(digest, digest + 4, expected));
  Byte again[4] = {};
  hasher->Final(again);  // Final leaves the running sum alone
  EXPECT_TRUE(std::equal(again, again + 4, expected));
  hasher->Init();
  hasher->Final(digest);
  EXPECT_EQ(digest[0] | digest[1] | digest[2] | digest[3], 0);  // the CRC of nothing
}

TEST(DrivoArchiveVolumeTest, LabelSerialAndFreeSpaceRootOfAnArchivePath) {
  // The serial is the CRC-32 of the 52 bytes of the path in UTF-16LE.
  const UString path = u"D:\\media\\holiday.photos.7z";
  ASSERT_EQ(path.size(), 26u);
  EXPECT_EQ(ArchiveVolumeSerial(path), Utf16LeCrc32(path));
  EXPECT_EQ(ArchiveVolumeSerial(path), 0xC7021C65u);  // zlib.crc32 of the same bytes
  EXPECT_NE(ArchiveVolumeSerial(u"d:\\media\\holiday.photos.7z"), ArchiveVolumeSerial(path))
      << "the name is taken exactly as typed";

  struct Case {
    UString Path, Label, FreeSpaceRoot;
  };
#if defined(_WIN32)
  const Case cases[] = {
      {path, u"holiday.photos", u"D:\\"},
      {u"C:\\photos.2021.7z", u"photos.2021", u"C:\\"},
      {u"\\\\server\\share\\dir\\a.7z", u"a", u"\\\\server\\share\\"},
      {u"\\\\server\\share", u"share", u"\\\\server\\share\\"},
      {u"archive", u"archive", u"\\"},
      {u"D:archive.7z", u"archive", u"D:\\"},
      {u"dir/sub/x.y.7z", u"x.y", u"\\"},
  };
#else
  const Case cases[] = {
      {u"/media/holiday.photos.7z", u"holiday.photos", u"/media"},
      {u"/photos.2021.7z", u"photos.2021", u"/"},
      {u"/srv/archive", u"archive", u"/srv"},
      {u"/srv/odd\\name.7z", u"odd\\name", u"/srv"},
  };
#endif
  for (const Case& c : cases) {
    EXPECT_EQ(ToUtf8(ArchiveVolumeLabel(c.Path)), ToUtf8(c.Label)) << ToUtf8(c.Path);
    EXPECT_EQ(ToUtf8(ArchiveFreeSpaceRoot(c.Path)), ToUtf8(c.FreeSpaceRoot)) << ToUtf8(c.Path);
  }
#if !defined(_WIN32)
  // A relative name is taken from the folder the program runs in.
  char cwd[4096];
  ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
  EXPECT_EQ(ToUtf8(ArchiveFreeSpaceRoot(u"x.7z")), std::string(cwd));
#endif
}

TEST_F(DrivoArchiveTest, VolumeReportsTheArchivesLabelSerialDiskAndOptions) {
  TVolume& v = OpenFixture("solid.7z");
  WCHAR label[64] = {};
  DWORD serial = 0;
  ASSERT_EQ(
      v.Ops.GetVolumeInformation(label, 64, &serial, nullptr, nullptr, nullptr, 0, v.VolumeInfo()),
      STATUS_SUCCESS);
  EXPECT_EQ(ToUtf8(AsU16(label)), "solid");
  EXPECT_EQ(serial, Utf16LeCrc32(FixturePath("solid.7z")));

  // The numbers of the disk that holds the archive, not the fallback ones.
  std::uint64_t expectedTotal = 0;
#if defined(_WIN32)
  ASSERT_TRUE(QueryDiskFreeSpace(u"Z:\\", nullptr, &expectedTotal, nullptr));
#else
  ASSERT_TRUE(QueryDiskFreeSpace(FixtureFolder(), nullptr, &expectedTotal, nullptr));
#endif
  ULONGLONG available = 0, total = 0, free = 0;
  ASSERT_EQ(v.Ops.GetDiskFreeSpace(&available, &total, &free, v.VolumeInfo()), STATUS_SUCCESS);
  EXPECT_EQ(total, expectedTotal);
  EXPECT_NE(total, 0x7FFFFFFFFFFFFFFFu);
  EXPECT_EQ(v.Ops.GetDiskFreeSpace(nullptr, nullptr, nullptr, v.VolumeInfo()), STATUS_SUCCESS);
  // A disk that cannot be asked gives the fallback figures.
  v.Thread->FFreeSpaceRoot = FixturePath("no-such-folder");
  ASSERT_EQ(v.Ops.GetDiskFreeSpace(&available, &total, &free, v.VolumeInfo()), STATUS_SUCCESS);
  EXPECT_EQ(available, 0x20000000u);
  EXPECT_EQ(total, 0x7FFFFFFFFFFFFFFFu);

  // Write-protected, mount manager, case-sensitive names; the mount point as requested;
  // security left to the library.
  EXPECT_EQ(v.Options->Options, 0x248u);
  EXPECT_EQ(ToUtf8(AsU16(v.Options->MountPoint)), "M:\\");
  EXPECT_EQ(v.Ops.GetFileSecurity, nullptr);
  EXPECT_EQ(v.Ops.SetFileSecurity, nullptr);
  EXPECT_EQ(v.Ops.FindFilesWithPattern, nullptr);
  EXPECT_NE(v.Ops.ReadFile, nullptr);
}

TEST_F(DrivoArchiveTest, AnArchiveThatDidNotOpenMountsNothing) {
  TvrnArchiveThread archiveThread(FixturePath("text.txt"), u"");
  archiveThread.Start();
  TvrnDrivoArchiveThread thread(u"M:\\", &archiveThread, skMemory);
  thread.Start();
  ASSERT_TRUE(thread.WaitFor(10s));
  EXPECT_EQ(thread.State(), dsFinished);
  EXPECT_EQ(thread.ResultCode(), 0);
  EXPECT_EQ(thread.ErrorMessage(), u"");
  EXPECT_EQ(thread.MountPoint(), u"");
  thread.UnmountDrive();  // returns at once: nothing was mounted
  EXPECT_TRUE(archiveThread.Failed());
}

// ---------------------------------------------------------------------------------------
// Opening.

struct TOpenCase {
  const char16_t* Path;
  ACCESS_MASK Access;
  ULONG Disposition;
  NTSTATUS Status;
  ULONG CreateOptions = 0;
};

TEST_F(DrivoArchiveTest, OpensFollowAccessAndDispositionRules) {
  TVolume& v = OpenFixture("solid.7z");
  constexpr ACCESS_MASK kList = FILE_LIST_DIRECTORY | SYNCHRONIZE;
  constexpr ACCESS_MASK kRead = FILE_GENERIC_READ;
  const TOpenCase cases[] = {
      // Folders, the root among them: listing, traversal and attributes only.
      {u"\\", kList, FILE_OPEN, STATUS_SUCCESS},
      {u"", kList, FILE_OPEN, STATUS_SUCCESS},
      {u"\\s", kList | FILE_TRAVERSE | FILE_READ_ATTRIBUTES, FILE_OPEN, STATUS_SUCCESS},
      {u"\\S\\NOTHING", kList, FILE_OPEN, STATUS_SUCCESS},
      {u"\\s", kList, FILE_OPEN, STATUS_SUCCESS, FILE_NON_DIRECTORY_FILE},
      {u"\\", FILE_GENERIC_READ, FILE_OPEN, STATUS_ACCESS_DENIED},
      {u"\\s", READ_CONTROL, FILE_OPEN, STATUS_ACCESS_DENIED},
      {u"\\s", FILE_READ_EA, FILE_OPEN, STATUS_ACCESS_DENIED},
      {u"\\s", kList | FILE_ADD_FILE, FILE_OPEN, STATUS_ACCESS_DENIED},
      {u"\\s", kList, FILE_OPEN_IF, STATUS_ACCESS_DENIED},
      {u"\\s", kList, FILE_CREATE, STATUS_ACCESS_DENIED},
      {u"\\", kList, FILE_SUPERSEDE, STATUS_ACCESS_DENIED},
      // Files: read, execute and attribute access, open-existing only.
      {u"\\s\\f1.txt", kRead, FILE_OPEN, STATUS_SUCCESS},
      {u"\\S\\F1.TXT", kRead, FILE_OPEN, STATUS_SUCCESS},
      {u"\\s\\f1.txt", GENERIC_READ | GENERIC_EXECUTE, FILE_OPEN, STATUS_SUCCESS},
      {u"\\s\\f1.txt", FILE_READ_ATTRIBUTES | SYNCHRONIZE, FILE_OPEN, STATUS_SUCCESS},
      {u"\\s\\f1.txt", kRead, FILE_OPEN, STATUS_SUCCESS, FILE_DIRECTORY_FILE},
      {u"\\s\\f1.txt", GENERIC_WRITE, FILE_OPEN, STATUS_ACCESS_DENIED},
      {u"\\s\\f1.txt", kRead | FILE_WRITE_DATA, FILE_OPEN, STATUS_ACCESS_DENIED},
      {u"\\s\\f1.txt", DELETE, FILE_OPEN, STATUS_ACCESS_DENIED},
      {u"\\s\\f1.txt", FILE_WRITE_ATTRIBUTES, FILE_OPEN, STATUS_ACCESS_DENIED},
      {u"\\s\\f1.txt", kRead, FILE_OPEN_IF, STATUS_ACCESS_DENIED},
      {u"\\s\\f1.txt", kRead, FILE_CREATE, STATUS_ACCESS_DENIED},
      {u"\\s\\f1.txt", kRead, FILE_OVERWRITE, STATUS_ACCESS_DENIED},
      {u"\\s\\f1.txt", kRead, FILE_OVERWRITE_IF, STATUS_ACCESS_DENIED},
      {u"\\s\\f1.txt", kRead, FILE_SUPERSEDE, STATUS_ACCESS_DENIED},
      // Paths that name nothing, whatever the disposition.
      {u"\\s\\missing.txt", kRead, FILE_OPEN, STATUS_OBJECT_NAME_NOT_FOUND},
      {u"\\s\\missing.txt", kRead, FILE_CREATE, STATUS_OBJECT_NAME_NOT_FOUND},
      {u"\\s\\missing.txt", kRead, FILE_OPEN_IF, STATUS_OBJECT_NAME_NOT_FOUND},
      {u"\\s\\f1.txt\\deeper", kRead, FILE_OPEN, STATUS_OBJECT_NAME_NOT_FOUND},
      {u"s\\f1.txt", kRead, FILE_OPEN, STATUS_OBJECT_NAME_NOT_FOUND},
      {u"s", kList, FILE_CREATE, STATUS_OBJECT_NAME_NOT_FOUND},
  };
  for (const TOpenCase& c : cases) {
    SCOPED_TRACE(ToUtf8(c.Path) + " access " + std::to_string(c.Access) + " disposition " +
                 std::to_string(c.Disposition));
    THandle h = v.Open(c.Path, c.Access, c.Disposition, FILE_SHARE_READ, c.CreateOptions);
    EXPECT_EQ(h.Status, c.Status);
    EXPECT_EQ(h.Info.Context != 0, c.Status == STATUS_SUCCESS);
    if (c.Status == STATUS_SUCCESS) {
      // The item's own kind decides, whatever the request assumed.
      std::string path = ToUtf8(c.Path);
      std::transform(path.begin(), path.end(), path.begin(), ::tolower);
      bool folder = path.find(".txt") == std::string::npos;
      EXPECT_EQ(h.Info.IsDirectory != 0, folder);
      v.Close(h);
      EXPECT_EQ(h.Info.Context, 0u);
    }
  }
}

TEST_F(DrivoArchiveTest, AHandleAlreadyOpenIsAnInternalError) {
  TVolume& v = OpenFixture("solid.7z");
  THandle h = v.Open(u"\\s\\f1.txt", FILE_GENERIC_READ);
  ASSERT_EQ(h.Status, STATUS_SUCCESS);
  const ULONG64 context = h.Info.Context;
  EXPECT_EQ(v.Ops.ZwCreateFile(AsWChar(u"\\s\\f2.txt"), nullptr, FILE_GENERIC_READ, 0, 1, FILE_OPEN,
                               0, &h.Info),
            STATUS_INTERNAL_ERROR);
  EXPECT_EQ(h.Info.Context, context);
  v.Close(h);
  v.Close(h);  // a second close finds no context and does nothing
}

TEST_F(DrivoArchiveTest, SharingChecksOnlyReadersOfTheSameFile) {
  TVolume& v = OpenFixture("solid.7z");
  const UString file = u"\\s\\f1.txt";
  constexpr ACCESS_MASK kRead = FILE_GENERIC_READ;

  // Folder handles hold no counter, so they never stand in a file's way.
  THandle root = v.Open(u"\\", FILE_LIST_DIRECTORY | SYNCHRONIZE, FILE_OPEN, 0);
  ASSERT_EQ(root.Status, STATUS_SUCCESS);
  EXPECT_FALSE(v.Thread->FRoot->HasReaders());
  auto item = v.Thread->FRoot->FindItem(file.substr(1));
  THandle writeOnlyWhileNoneOpen = v.Open(file, kRead, FILE_OPEN, FILE_SHARE_WRITE);
  ASSERT_EQ(writeOnlyWhileNoneOpen.Status, STATUS_SUCCESS);
  v.Close(writeOnlyWhileNoneOpen);

  THandle first = v.Open(file, kRead, FILE_OPEN, FILE_SHARE_READ);
  ASSERT_EQ(first.Status, STATUS_SUCCESS);
  EXPECT_TRUE(item->HasReaders());
  struct Case {
    ULONG Share;
    NTSTATUS Status;
  };
  const Case cases[] = {
      {FILE_SHARE_WRITE, STATUS_ACCESS_DENIED},
      {FILE_SHARE_DELETE, STATUS_ACCESS_DENIED},
      {FILE_SHARE_WRITE | FILE_SHARE_DELETE, STATUS_ACCESS_DENIED},
      {0, STATUS_SUCCESS},  // 0 counts as sharing everything
      {FILE_SHARE_READ, STATUS_SUCCESS},
      {FILE_SHARE_READ | FILE_SHARE_WRITE, STATUS_SUCCESS},
  };
  for (const Case& c : cases) {
    THandle second = v.Open(file, kRead, FILE_OPEN, c.Share);
    EXPECT_EQ(second.Status, c.Status) << "share " << c.Share;
    v.Close(second);
  }
  // Another file is not affected.
  THandle other = v.Open(u"\\s\\f2.txt", kRead, FILE_OPEN, FILE_SHARE_WRITE);
  EXPECT_EQ(other.Status, STATUS_SUCCESS);
  v.Close(other);

  v.Close(first);
  EXPECT_FALSE(item->HasReaders()) << "every close lowers what its open raised";
  THandle afterClose = v.Open(file, kRead, FILE_OPEN, FILE_SHARE_WRITE);
  EXPECT_EQ(afterClose.Status, STATUS_SUCCESS);
  v.Close(afterClose);
  v.Close(root);
}

// ---------------------------------------------------------------------------------------
// File information and listings.

TEST_F(DrivoArchiveTest, FileInformationHasStableIndicesOneLinkAndTheSerial) {
  TVolume& v = OpenFixture("solid.7z");
  THandle a1 = v.Open(u"\\s\\f2.txt", FILE_GENERIC_READ);
  THandle a2 = v.Open(u"\\S\\f2.TXT", FILE_READ_ATTRIBUTES);
  THandle b = v.Open(u"\\s\\f3.txt", FILE_GENERIC_READ);
  THandle folder = v.Open(u"\\s", FILE_LIST_DIRECTORY);
  THandle root = v.Open(u"\\", FILE_LIST_DIRECTORY);
  for (const THandle* h : {&a1, &a2, &b, &folder, &root}) {
    ASSERT_EQ(h->Status, STATUS_SUCCESS);
  }
  DWORD serial = 0;
  v.Ops.GetVolumeInformation(nullptr, 0, &serial, nullptr, nullptr, nullptr, 0, v.VolumeInfo());

  auto index = [](const BY_HANDLE_FILE_INFORMATION& i) {
    return (std::uint64_t(i.nFileIndexHigh) << 32) | i.nFileIndexLow;
  };
  BY_HANDLE_FILE_INFORMATION i1 = v.Information(a1), i2 = v.Information(a2), ib = v.Information(b),
                             ifolder = v.Information(folder), iroot = v.Information(root);
  EXPECT_EQ(index(i1), index(i2));
  EXPECT_NE(index(i1), index(ib));
  EXPECT_NE(index(i1), index(ifolder));
  EXPECT_NE(index(ifolder), index(iroot));
  for (const auto* i : {&i1, &ib, &ifolder, &iroot}) {
    EXPECT_EQ(i->nNumberOfLinks, 1u);
    EXPECT_EQ(i->dwVolumeSerialNumber, serial);
  }
  EXPECT_EQ(i1.nFileSizeLow, 40000u);
  EXPECT_EQ(i1.nFileSizeHigh, 0u);
  EXPECT_EQ(ib.nFileSizeLow, 60000u);
  EXPECT_EQ(i1.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
  EXPECT_EQ(i1.dwFileAttributes & FILE_ATTRIBUTE_READONLY, 0u) << "no attribute is added";
  EXPECT_NE(ifolder.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
  EXPECT_NE(iroot.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY, 0u);

  THandle none;
  none.Info.DokanOptions = v.Options.get();
  BY_HANDLE_FILE_INFORMATION unused{};
  EXPECT_EQ(v.Ops.GetFileInformation(AsWChar(u"\\s\\f2.txt"), &unused, &none.Info),
            STATUS_OBJECT_NAME_NOT_FOUND)
      << "information comes through a handle, not a path";
  EXPECT_EQ(v.Ops.GetFileInformation(nullptr, nullptr, &a1.Info), STATUS_INVALID_PARAMETER);
}

TEST_F(DrivoArchiveTest, ListingsGiveFoldersFirstEachInNameOrder) {
  auto archive = HandBuiltArchive();
  Volume = std::make_unique<TVolume>(archive.Get());
  TVolume& v = *Volume;
  NTSTATUS status = 0;

  THandle order = v.Open(u"\\order", FILE_LIST_DIRECTORY | SYNCHRONIZE);
  ASSERT_EQ(order.Status, STATUS_SUCCESS);
  EXPECT_EQ(v.List(order, status), (std::vector<UString>{u"A", u"b", u"B.txt", u"c.txt"}));
  EXPECT_EQ(status, STATUS_SUCCESS);

  THandle root = v.Open(u"\\", FILE_LIST_DIRECTORY | SYNCHRONIZE);
  EXPECT_EQ(v.List(root, status), (std::vector<UString>{u"faults", u"order"}));
  THandle empty = v.Open(u"\\order\\A", FILE_LIST_DIRECTORY | SYNCHRONIZE);
  EXPECT_TRUE(v.List(empty, status).empty());
  EXPECT_EQ(status, STATUS_SUCCESS);

  THandle file = v.Open(u"\\order\\c.txt", FILE_GENERIC_READ);
  ASSERT_EQ(file.Status, STATUS_SUCCESS);
  EXPECT_TRUE(v.List(file, status).empty());
  EXPECT_EQ(status, STATUS_NOT_A_DIRECTORY);

  THandle none;
  none.Info.DokanOptions = v.Options.get();
  v.List(none, status);
  EXPECT_EQ(status, STATUS_OBJECT_NAME_NOT_FOUND) << "a listing needs an open handle";
  // Order, root, empty and file stay open: the thread frees their contexts.
}

// ---------------------------------------------------------------------------------------
// Reads.

TEST_F(DrivoArchiveTest, OneReadExtractsTheWholeBlock) {
  TVolume& v = OpenFixture("solid.7z");
  std::map<UString, TListedFile> listed = ReadListedFiles("solid");
  auto* root = v.Thread->FRoot.Get();
  auto fileAt = [&](const UString& path) { return root->FindItem(path).Query<IvrnFile>(); };

  THandle f2 = v.Open(u"\\s\\f2.txt", FILE_GENERIC_READ);
  std::string bytes;
  ASSERT_EQ(v.Read(f2, u"\\s\\f2.txt", bytes), STATUS_SUCCESS);
  EXPECT_EQ(v.Thread->ExtractionCount(), 1u);
  for (const char16_t* name : {u"s\\f1.txt", u"s\\f2.txt", u"s\\f3.txt"}) {
    EXPECT_TRUE(fileAt(name)->IsExtracted()) << ToUtf8(name);
  }
  EXPECT_FALSE(fileAt(u"s\\f4.txt")->IsExtracted()) << "another block";

  // The other two files of the block, one through a handle and one by path alone: no
  // further extraction, and every byte as 7z lists it.
  THandle f1 = v.Open(u"\\s\\f1.txt", FILE_GENERIC_READ);
  std::map<UString, std::string> read = {{u"s\\f2.txt", bytes}};
  ASSERT_EQ(v.Read(f1, u"\\s\\f1.txt", read[u"s\\f1.txt"]), STATUS_SUCCESS);
  ASSERT_EQ(v.ReadPath(u"\\s\\f3.txt", read[u"s\\f3.txt"]), STATUS_SUCCESS);
  EXPECT_EQ(v.Thread->ExtractionCount(), 1u);
  for (const auto& [path, content] : read) {
    EXPECT_EQ(content.size(), listed[path].Size) << ToUtf8(path);
    EXPECT_EQ(BitwiseCrc32(reinterpret_cast<const std::uint8_t*>(content.data()), content.size()),
              listed[path].Crc)
        << ToUtf8(path);
  }

  // Progress of the finished extraction stays readable, no longer active.
  std::uint64_t completed = 0, total = 0;
  EXPECT_FALSE(v.Thread->GetProgress(completed, total));
  EXPECT_EQ(completed, total);
  EXPECT_GE(total, 40000u);

  ASSERT_EQ(v.ReadPath(u"\\s\\f4.txt", bytes), STATUS_SUCCESS);
  EXPECT_EQ(v.Thread->ExtractionCount(), 2u);
  EXPECT_TRUE(v.Messages().empty());
}

TEST_F(DrivoArchiveTest, ReadsAtAndBeyondTheEndGiveNoBytes) {
  for (TvrnStoreKind kind : {skTempFile, skMemoryAndTempFile, skMemory}) {
    SCOPED_TRACE("store kind " + std::to_string(kind));
    TVolume& v = OpenFixture("solid.7z", u"", kind);
    THandle h = v.Open(u"\\s\\f1.txt", FILE_GENERIC_READ);
    std::string whole, bytes;
    ASSERT_EQ(v.Read(h, u"\\s\\f1.txt", whole), STATUS_SUCCESS);
    ASSERT_EQ(whole.size(), 20000u);
    struct Case {
      LONGLONG Offset;
      DWORD Length;
      std::size_t Expected;
    };
    const Case cases[] = {
        {19990, 100, 10}, {20000, 100, 0}, {20001, 100, 0}, {LONGLONG(1) << 40, 100, 0},
        {0, 0, 0},        {40000, 0, 0},   {12345, 1, 1},
    };
    for (const Case& c : cases) {
      EXPECT_EQ(v.Read(h, u"\\s\\f1.txt", bytes, c.Offset, c.Length), STATUS_SUCCESS)
          << "offset " << c.Offset;
      EXPECT_EQ(bytes, whole.substr(std::min<std::size_t>(c.Offset, whole.size()), c.Expected))
          << "offset " << c.Offset;
    }
    // An empty file is extracted on its own, then reads as nothing.
    THandle empty = v.Open(u"\\s\\empty.txt", FILE_GENERIC_READ);
    ASSERT_EQ(v.Read(empty, u"\\s\\empty.txt", bytes), STATUS_SUCCESS);
    EXPECT_EQ(bytes.size(), 0u);
    EXPECT_TRUE(v.Thread->FRoot->FindItem(u"s\\empty.txt").Query<IvrnFile>()->IsExtracted());
    EXPECT_TRUE(v.Messages().empty());
    Volume.reset();
  }
}

TEST_F(DrivoArchiveTest, AWrongDataPasswordGivesDataErrorAndOneMessagePerFailedRead) {
  TVolume& v = OpenFixture("encdata.7z", u"wrong");
  std::string bytes;
  THandle one = v.Open(u"\\one.txt", FILE_GENERIC_READ);
  EXPECT_EQ(v.Read(one, u"\\one.txt", bytes), STATUS_DATA_ERROR);
  EXPECT_EQ(bytes.size(), 0u);
  EXPECT_EQ(v.Read(one, u"\\one.txt", bytes, 100, 10), STATUS_DATA_ERROR);
  EXPECT_EQ(v.ReadPath(u"\\alone\\three.bin", bytes), STATUS_DATA_ERROR);
  EXPECT_EQ(v.Thread->ExtractionCount(), 1u) << "a file marked with an error is not retried";
  EXPECT_EQ(v.Messages(),
            (std::vector<UString>{u"Data error: one.txt", u"Data error: one.txt",
                                  u"Data error: " + MessagePathOf(u"alone\\three.bin")}));
  EXPECT_TRUE(v.Messages().empty());

  // The right password reads the same file.
  TVolume& right = OpenFixture("encdata.7z", kFixturePassword);
  EXPECT_EQ(right.ReadPath(u"\\one.txt", bytes), STATUS_SUCCESS);
  EXPECT_EQ(bytes.size(), 3000u);
}

TEST_F(DrivoArchiveTest, ReadFailuresAnswerByCause) {
  auto archive = HandBuiltArchive();
  Volume = std::make_unique<TVolume>(archive.Get());
  TVolume& v = *Volume;
  struct Case {
    const char16_t* Path;
    NTSTATUS Status;
    bool Message;
  };
  const Case cases[] = {
      {u"\\faults\\raises.bin", STATUS_INTERNAL_ERROR, true},
      {u"\\faults\\unreached.bin", STATUS_INTERNAL_ERROR, true},
      {u"\\faults\\nostore.bin", STATUS_DATA_ERROR, true},
      {u"\\faults\\flagged.bin", STATUS_DATA_ERROR, true},
      {u"\\faults\\ioerror.bin", STATUS_IO_DEVICE_ERROR, true},
      {u"\\faults", STATUS_FILE_IS_A_DIRECTORY, false},
      {u"\\", STATUS_FILE_IS_A_DIRECTORY, false},
      {u"\\faults\\missing.bin", STATUS_OBJECT_NAME_NOT_FOUND, false},
      {u"faults\\raises.bin", STATUS_OBJECT_NAME_NOT_FOUND, false},
  };
  std::string bytes;
  for (const Case& c : cases) {
    SCOPED_TRACE(ToUtf8(c.Path));
    EXPECT_EQ(v.ReadPath(c.Path, bytes), c.Status);
    std::vector<UString> messages = v.Messages();
    if (c.Message) {
      EXPECT_EQ(messages, std::vector<UString>{u"Data error: " + MessagePathOf(c.Path + 1)});
    } else {
      EXPECT_TRUE(messages.empty());
    }
  }
  // A file that an extraction did not finish is tried again on its next read; one with
  // a result, good or bad, is not.
  const int calls = archive->Calls;
  EXPECT_EQ(v.ReadPath(u"\\faults\\raises.bin", bytes), STATUS_INTERNAL_ERROR);
  EXPECT_EQ(v.ReadPath(u"\\faults\\unreached.bin", bytes), STATUS_INTERNAL_ERROR);
  EXPECT_EQ(archive->Calls, calls + 2);
  EXPECT_EQ(v.ReadPath(u"\\faults\\flagged.bin", bytes), STATUS_DATA_ERROR);
  EXPECT_EQ(v.ReadPath(u"\\faults\\nostore.bin", bytes), STATUS_DATA_ERROR);
  EXPECT_EQ(archive->Calls, calls + 2);
  EXPECT_EQ(v.Messages().size(), 4u);
}

TEST_F(DrivoArchiveTest, ProgressIsActiveOnlyWhileAnExtractionRuns) {
  auto archive = HandBuiltArchive();
  Volume = std::make_unique<TVolume>(archive.Get());
  TVolume& v = *Volume;
  std::uint64_t completed = 1, total = 1;
  EXPECT_FALSE(v.Thread->GetProgress(completed, total));
  EXPECT_EQ(completed, 0u);
  EXPECT_EQ(total, 0u);

  bool activeInside = false;
  std::uint64_t completedInside = 0, totalInside = 0;
  archive->DuringExtract = [&] {
    activeInside = v.Thread->GetProgress(completedInside, totalInside);
  };
  std::string bytes;
  ASSERT_EQ(v.ReadPath(u"\\order\\c.txt", bytes), STATUS_SUCCESS);
  EXPECT_EQ(bytes, "c content");
  EXPECT_TRUE(activeInside);
  EXPECT_EQ(completedInside, 3u);
  EXPECT_EQ(totalInside, 7u);
  EXPECT_FALSE(v.Thread->GetProgress(completed, total));
  EXPECT_EQ(completed, 3u);
  EXPECT_EQ(total, 7u);

  // An extraction that raises ends its progress too.
  EXPECT_EQ(v.ReadPath(u"\\faults\\raises.bin", bytes), STATUS_INTERNAL_ERROR);
  EXPECT_TRUE(activeInside);
  EXPECT_FALSE(v.Thread->GetProgress(completed, total));
}

TEST_F(DrivoArchiveTest, ConcurrentFirstReadsOfAFileExtractItOnce) {
  auto archive = HandBuiltArchive();
  Volume = std::make_unique<TVolume>(archive.Get());
  TVolume& v = *Volume;
  // Long enough that every reader arrives while the first one extracts.
  archive->DuringExtract = [] { std::this_thread::sleep_for(200ms); };
  constexpr int kReaders = 16;
  std::atomic<int> ready{0};
  std::vector<NTSTATUS> statuses(kReaders, STATUS_UNSUCCESSFUL);
  std::vector<std::string> contents(kReaders);
  std::vector<std::thread> readers;
  for (int i = 0; i < kReaders; ++i) {
    readers.emplace_back([&, i] {
      THandle h = v.Open(u"\\order\\B.txt", FILE_GENERIC_READ);
      ++ready;
      while (ready < kReaders) {
        std::this_thread::yield();
      }
      statuses[i] = v.Read(h, u"\\order\\B.txt", contents[i]);
      v.Close(h);
    });
  }
  for (std::thread& t : readers) {
    t.join();
  }
  EXPECT_EQ(archive->Calls, 1);
  EXPECT_EQ(v.Thread->ExtractionCount(), 1u);
  for (int i = 0; i < kReaders; ++i) {
    EXPECT_EQ(statuses[i], STATUS_SUCCESS) << i;
    EXPECT_EQ(contents[i], "B content") << i;
  }
}

TEST_F(DrivoArchiveTest, AReadReturnsWithItsOwnFileWhileThePassGoesOn) {
  auto archive = MakeCounted<TPausedBlockArchive>();
  Volume = std::make_unique<TVolume>(archive.Get());
  TVolume& v = *Volume;
  auto fileAt = [&](const char16_t* path) { return archive->FindItem(path).Query<IvrnFile>(); };

  // The head's read returns while the pass is held after the head.
  std::string head;
  ASSERT_EQ(v.ReadPath(u"\\head.txt", head), STATUS_SUCCESS);
  EXPECT_EQ(head, archive->FHead);
  EXPECT_FALSE(archive->Resume.IsSet());
  EXPECT_FALSE(fileAt(u"tail.bin")->IsExtracted());
  std::uint64_t completed = 0, total = 0;
  EXPECT_TRUE(v.Thread->GetProgress(completed, total)) << "the pass is still running";

  // The tail's read waits for the tail, from the same pass, and gets every byte.
  std::atomic<bool> tailDone{false};
  std::string tail;
  NTSTATUS tailStatus = STATUS_UNSUCCESSFUL;
  std::thread tailReader([&] {
    THandle none;
    none.Info.DokanOptions = v.Options.get();
    tailStatus = v.Read(none, u"\\tail.bin", tail, 0, 4 << 20);
    tailDone = true;
  });
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(tailDone) << "the tail cannot be served before the pass delivers it";
  archive->Resume.Set();
  tailReader.join();
  EXPECT_EQ(tailStatus, STATUS_SUCCESS);
  EXPECT_TRUE(tail == archive->FTail) << tail.size() << " bytes";

  // One pass for both, ended by the time the last file's read returns.
  EXPECT_EQ(archive->Calls, 1);
  EXPECT_EQ(v.Thread->ExtractionCount(), 1u);
  EXPECT_FALSE(v.Thread->GetProgress(completed, total));
  EXPECT_EQ(completed, total);
  EXPECT_TRUE(v.Messages().empty());
}

// ---------------------------------------------------------------------------------------
// A mount through the build's library.

TEST_F(DrivoArchiveTest, MountsTheArchiveAndUnmounts) {
#if defined(_WIN32)
  const UString mountPoint = u"M:\\";
#else
  char pattern[] = "/tmp/vrn-drivoarchive-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  const UString mountPoint = FromUtf8(pattern);
#endif
  {
    TvrnArchiveThread archiveThread(FixturePath("solid.7z"), u"");
    archiveThread.Start();
    TTestArchiveDrivo thread(mountPoint, &archiveThread, skMemory);
    thread.Start();
    for (int i = 0; i < 1000 && thread.State() == dsMounting; ++i) {
      std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(thread.State(), dsMounted) << ToUtf8(thread.ErrorMessage());
    EXPECT_EQ(thread.MountPoint(), mountPoint);
    EXPECT_EQ(thread.FSeenOptions, 0x248u);
    thread.UnmountDrive();
    EXPECT_TRUE(thread.WaitFor(10s));
    EXPECT_EQ(thread.State(), dsFinished);
    EXPECT_EQ(thread.ResultCode(), 0);
    EXPECT_EQ(thread.ErrorMessage(), u"");
    archiveThread.WaitFor();
  }
#if !defined(_WIN32)
  std::error_code ignored;
  std::filesystem::remove(pattern, ignored);
#endif
}

}  // namespace
