// The Dokan 2 API over FUSE: the pure translations, and real mounts of a small in-memory
// volume served by a TvrnDrivoThread and looked at from outside through the kernel.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/vrnErrors.h"
#include "platform/vrnTime.h"
#include "vfs/dokan2_fuse.h"
#include "vfs/vrnDrivo.h"

namespace {

using namespace std::chrono_literals;

constexpr ino_t kUnknownIno = 0xFFFFFFFF;

FILETIME UnixToFileTime(std::int64_t seconds, std::int64_t hundredNs = 0) {
  return UInt64ToFileTime(kFileTimeUnixEpoch + seconds * 10000000 + hundredNs);
}

// ---------------------------------------------------------------------------------------
// The translations, without a mount.

TEST(FuseTranslationTest, NtStatusesMapToErrno) {
  struct Case {
    NTSTATUS status;
    int error;
  };
  const Case cases[] = {
      {STATUS_SUCCESS, 0},
      {NTSTATUS(0x00000103), 0},  // STATUS_PENDING: a success code
      {STATUS_OBJECT_NAME_NOT_FOUND, ENOENT},
      {STATUS_OBJECT_PATH_NOT_FOUND, ENOENT},
      {STATUS_NO_SUCH_FILE, ENOENT},
      {STATUS_ACCESS_DENIED, EACCES},
      {STATUS_NOT_A_DIRECTORY, ENOTDIR},
      {STATUS_FILE_IS_A_DIRECTORY, EISDIR},
      {STATUS_NO_MEMORY, ENOMEM},
      {STATUS_INSUFFICIENT_RESOURCES, ENOMEM},
      {STATUS_INVALID_PARAMETER, EINVAL},
      {STATUS_NOT_IMPLEMENTED, ENOSYS},
      {STATUS_MEDIA_WRITE_PROTECTED, EROFS},
      {STATUS_CANCELLED, ECANCELED},
      {STATUS_OBJECT_NAME_COLLISION, EEXIST},
      {STATUS_DIRECTORY_NOT_EMPTY, ENOTEMPTY},
      {STATUS_DATA_ERROR, EIO},
      {STATUS_CRC_ERROR, EIO},
      {STATUS_INTERNAL_ERROR, EIO},
      {STATUS_UNSUCCESSFUL, EIO},
      {STATUS_BUFFER_OVERFLOW, EIO},  // a warning is not a success
      {NTSTATUS(0xC0DEC0DE), EIO},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ErrnoFromNtStatus(c.status), c.error) << std::hex << "status 0x" << c.status;
  }
}

TEST(FuseTranslationTest, FileInformationBecomesStat) {
  BY_HANDLE_FILE_INFORMATION file{};
  file.dwFileAttributes = FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY;
  file.ftLastAccessTime = UnixToFileTime(1600000000, 1234567);
  file.ftLastWriteTime = UnixToFileTime(1614834367, 5000000);
  file.ftCreationTime = UnixToFileTime(1000000000);
  file.nFileSizeHigh = 1;
  file.nFileSizeLow = 5;
  file.nNumberOfLinks = 1;
  file.nFileIndexHigh = 0x12;
  file.nFileIndexLow = 0x3456789A;

  struct stat st {};
  StatFromFileInformation(file, 1000, 2000, st);
  EXPECT_EQ(st.st_mode, mode_t(S_IFREG | 0444));
  EXPECT_EQ(st.st_size, 0x100000005);
  EXPECT_EQ(st.st_blocks, (0x100000005 + 511) / 512);
  EXPECT_EQ(st.st_ino, ino_t(0x123456789A));
  EXPECT_EQ(st.st_nlink, nlink_t(1));
  EXPECT_EQ(st.st_uid, uid_t(1000));
  EXPECT_EQ(st.st_gid, gid_t(2000));
  EXPECT_EQ(st.st_mtim.tv_sec, 1614834367);
  EXPECT_EQ(st.st_mtim.tv_nsec, 500000000);
  EXPECT_EQ(st.st_atim.tv_sec, 1600000000);
  EXPECT_EQ(st.st_atim.tv_nsec, 123456700);
  EXPECT_EQ(st.st_ctim.tv_sec, 1614834367);

  // A folder: mode and no size, whatever the record says.
  file.dwFileAttributes = FILE_ATTRIBUTE_DIRECTORY;
  StatFromFileInformation(file, 0, 0, st);
  EXPECT_EQ(st.st_mode, mode_t(S_IFDIR | 0555));
  EXPECT_EQ(st.st_size, 0);
  EXPECT_EQ(st.st_ino, ino_t(0x123456789A));

  // Times before 1970 stay before 1970.
  file.ftLastWriteTime = UnixToFileTime(-86400);
  StatFromFileInformation(file, 0, 0, st);
  EXPECT_EQ(st.st_mtim.tv_sec, -86400);
}

TEST(FuseTranslationTest, FindDataBecomesStatWithUnknownInode) {
  WIN32_FIND_DATAW data{};
  data.dwFileAttributes = FILE_ATTRIBUTE_NORMAL;
  data.nFileSizeLow = 42;
  data.ftLastWriteTime = UnixToFileTime(1700000000);
  struct stat st {};
  StatFromFindData(data, 5, 6, st);
  EXPECT_EQ(st.st_mode, mode_t(S_IFREG | 0444));
  EXPECT_EQ(st.st_size, 42);
  EXPECT_EQ(st.st_mtim.tv_sec, 1700000000);
  EXPECT_EQ(st.st_ino, kUnknownIno);
  EXPECT_EQ(st.st_uid, uid_t(5));

  data.dwFileAttributes = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN;
  StatFromFindData(data, 5, 6, st);
  EXPECT_EQ(st.st_mode, mode_t(S_IFDIR | 0555));
}

// An attribute word with the unix extension carries a mode: permission bits without
// write and special bits, a file with a link mode is a link, a folder stays a folder.
TEST(FuseTranslationTest, UnixModesInTheAttributesBecomeStatModes) {
  struct Case {
    DWORD Attributes;
    mode_t Mode;
  };
  auto unix = [](DWORD mode, DWORD windows) { return 0x8000 | (mode << 16) | windows; };
  const Case cases[] = {
      {unix(0100755, 0x20), S_IFREG | 0555},
      {unix(0100600, 0x20), S_IFREG | 0400},
      {unix(0100644, 0x01), S_IFREG | 0444},  // the read-only bit changes nothing
      {unix(0104755, 0x20), S_IFREG | 0555},  // no setuid
      {unix(0120777, 0x20), S_IFLNK | 0555},
      {unix(0040700, 0x10), S_IFDIR | 0500},
      {unix(0041777, 0x10), S_IFDIR | 0555},  // no sticky bit
      {unix(0120777, 0x10), S_IFDIR | 0555},  // a folder is never a link
      {unix(0020644, 0x20), S_IFREG | 0444},  // nor a file a device
      {0x8000 | 0x20, S_IFREG | 0444},        // the flag without a mode
      {(0100700u << 16) | 0x20, S_IFREG | 0444},  // a mode without the flag
  };
  for (const Case& c : cases) {
    BY_HANDLE_FILE_INFORMATION file{};
    file.dwFileAttributes = c.Attributes;
    struct stat st {};
    StatFromFileInformation(file, 0, 0, st);
    EXPECT_EQ(st.st_mode, c.Mode) << std::hex << c.Attributes;
    WIN32_FIND_DATAW data{};
    data.dwFileAttributes = c.Attributes;
    StatFromFindData(data, 0, 0, st);
    EXPECT_EQ(st.st_mode, c.Mode) << std::hex << c.Attributes;
  }
}

TEST(FuseTranslationTest, FusePathsBecomeWindowsPaths) {
  struct Case {
    std::string path;
    std::optional<UString> windows;
  };
  const Case cases[] = {
      {"/", u"\\"},
      {"/a", u"\\a"},
      {"/docs/guide.txt", u"\\docs\\guide.txt"},
      {"/\xC3\x9C/\xE2\x82\xAC", u"\\\u00DC\\\u20AC"},
      // A '\' inside a Linux name must not become a separator: it is U+F05C, and
      // U+F05C itself, which listings show as '\', names nothing.
      {"/docs\\guide.txt", u"\\docs\uF05Cguide.txt"},
      {"/docs\xEF\x81\x9Cguide.txt", std::nullopt},
      // Bytes that are not UTF-8 name no item, not one whose name holds U+FFFD.
      {"/bad\xFF", std::nullopt},
      {"/\xEF\xBF\xBD", u"\\\uFFFD"},
      {"", std::nullopt},
      {"relative", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(WindowsPathFromFuse(c.path), c.windows) << c.path;
  }
}

TEST(FuseTranslationTest, ListingNamesBecomeFuseNames) {
  struct Case {
    UString name;
    std::string fuse;
  };
  const Case cases[] = {
      {u"readme.txt", "readme.txt"},
      {u"\u00DCn\u00EFc\u00F6d\u00E9 \u20AC",
       "\xC3\x9Cn\xC3\xAF"
       "c\xC3\xB6"
       "d\xC3\xA9 \xE2\x82\xAC"},
      {u"", ""},
      {u".", ""},
      {u"..", ""},
      {u"a/b", ""},
      {u"...", "..."},
      {u"back\uF05Cslash", "back\\slash"},
  };
  for (const Case& c : cases) {
    WIN32_FIND_DATAW data{};
    c.name.copy(AsU16(data.cFileName), c.name.size());
    EXPECT_EQ(FuseNameFromFindData(data), c.fuse) << ToUtf8(c.name);
  }
  // A name filling the whole array has no terminator; it ends with the array.
  WIN32_FIND_DATAW full{};
  std::fill(std::begin(full.cFileName), std::end(full.cFileName), WCHAR('x'));
  std::fill(std::begin(full.cAlternateFileName), std::end(full.cAlternateFileName), WCHAR('y'));
  EXPECT_EQ(FuseNameFromFindData(full), std::string(MAX_PATH, 'x'));
}

// ---------------------------------------------------------------------------------------
// Real mounts.

// One item of the in-memory volume.
struct TMemItem {
  UString Path;  // Windows style, "\docs\guide.txt"
  bool Folder = false;
  std::string Data = {};
  FILETIME WriteTime{};
  ULONGLONG Index = 0;
  // What the handlers do for this item besides answering from the record.
  enum TFault { fNone, fDenyOpen, fNoDataOpen, fBreakRead, fWaitForGate } Fault = fNone;
};

// The arguments of one ZwCreateFile call, as the volume saw them.
struct TCreateCall {
  UString FileName;
  ACCESS_MASK Access;
  ULONG Share;
  ULONG Disposition;
  ULONG Options;
};

// A small volume served from memory. Reads are answered in pieces of at most
// kReadPiece bytes, as a handler may do, so the bridge must ask again.
class TMemDrivo : public TvrnDrivoThread {
 public:
  static constexpr DWORD kReadPiece = 1000;
  // The files of \many and the file index of the first.
  static constexpr int kManyFiles = 600;
  static constexpr ULONGLONG kManyFirstIndex = 1000;

  TMemDrivo(UString mountPoint, ULONG options, bool singleThread)
      : FRequest(std::move(mountPoint)), FOpts(options), FSingleThread(singleThread) {
    FVolumeSerial = 0xC0FFEE;
    Add({.Path = u"\\", .Folder = true, .WriteTime = UnixToFileTime(1500000000), .Index = 1});
    Add({.Path = u"\\docs", .Folder = true, .WriteTime = UnixToFileTime(1500000100), .Index = 2});
    Add({.Path = u"\\docs\\guide.txt",
         .Data = "Guide text\n",
         .WriteTime = UnixToFileTime(1500000200),
         .Index = 3});
    Add({.Path = u"\\readme.txt",
         .Data = "hello world",
         .WriteTime = UnixToFileTime(1614834367, 5000000),
         .Index = 0x123456789A});
    std::string big(300000, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) {
      big[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    }
    Add({.Path = u"\\big.bin", .Data = big, .WriteTime = UnixToFileTime(1500000300), .Index = 5});
    Add({.Path = u"\\\u00DCn\u00EFc\u00F6d\u00E9 \u20AC.txt",
         .Data = "unicode",
         .WriteTime = UnixToFileTime(1500000400),
         .Index = 6});
    Add({.Path = u"\\denied.txt",
         .Data = "secret",
         .WriteTime = UnixToFileTime(1500000500),
         .Index = 7,
         .Fault = TMemItem::fDenyOpen});
    Add({.Path = u"\\broken.bin",
         .Data = "0123456789",
         .WriteTime = UnixToFileTime(1500000600),
         .Index = 8,
         .Fault = TMemItem::fBreakRead});
    Add({.Path = u"\\slow.bin",
         .Data = "slow",
         .WriteTime = UnixToFileTime(1500000700),
         .Index = 9,
         .Fault = TMemItem::fWaitForGate});
    Add({.Path = u"\\unopenable.txt",
         .Data = "none",
         .WriteTime = UnixToFileTime(1500000800),
         .Index = 10,
         .Fault = TMemItem::fNoDataOpen});
    // More entries than one kernel buffer of a listing holds.
    Add({.Path = u"\\many", .Folder = true, .WriteTime = UnixToFileTime(1500000900), .Index = 11});
    for (int i = 0; i < kManyFiles; ++i) {
      Add({.Path = u"\\many\\file " + IntToUStr(i) + u".txt",
           .Data = std::string(static_cast<std::size_t>(i % 17), 'm'),
           .WriteTime = UnixToFileTime(1500001000 + i),
           .Index = kManyFirstIndex + static_cast<ULONGLONG>(i)});
    }
  }

  // Set while a read of slow.bin waits for the gate.
  TEvent FReadWaiting;
  // Opened by the first ZwCreateFile of \docs\guide.txt; reads of slow.bin wait for it.
  TEvent FGate;
  // Whether the last read of slow.bin saw the gate open within five seconds.
  std::atomic<bool> FGateSeen{false};
  // The volume was told to stop: by its own unmount or by the library.
  bool StopRequested() const { return FStopRequested; }

  // The ZwCreateFile calls seen so far.
  std::vector<TCreateCall> CreateCalls() {
    std::lock_guard<std::mutex> lock(FLock);
    return FCreates;
  }
  // Handles opened and not yet closed.
  int OpenHandles() const { return FOpenHandles; }
  // The data of an item as it is now (after writes).
  std::string DataOf(const UString& path) {
    std::lock_guard<std::mutex> lock(FLock);
    return Find(path)->Data;
  }

 protected:
  void FillOptions(DOKAN_OPTIONS& options) override {
    options.MountPoint = AsWChar(FRequest);
    options.Options = FOpts;
    options.SingleThread = FSingleThread;
  }

  NTSTATUS DoGetDiskFreeSpace(PULONGLONG freeBytesAvailable,
                              PULONGLONG totalNumberOfBytes,
                              PULONGLONG totalNumberOfFreeBytes,
                              PDOKAN_FILE_INFO) override {
    *freeBytesAvailable = 40960000;
    *totalNumberOfBytes = 409600000;
    *totalNumberOfFreeBytes = 81920000;
    return STATUS_SUCCESS;
  }

  NTSTATUS DoCreateFile(LPCWSTR fileName,
                        PDOKAN_IO_SECURITY_CONTEXT,
                        ACCESS_MASK desiredAccess,
                        ULONG,
                        ULONG shareAccess,
                        ULONG createDisposition,
                        ULONG createOptions,
                        PDOKAN_FILE_INFO info) override {
    std::lock_guard<std::mutex> lock(FLock);
    FCreates.push_back({fileName, desiredAccess, shareAccess, createDisposition, createOptions});
    if (UString(fileName) == u"\\docs\\guide.txt") {
      FGate.Set();
    }
    TMemItem* item = Find(fileName);
    if (item == nullptr) {
      return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    if (item->Fault == TMemItem::fDenyOpen) {
      throw EOSError(ERROR_ACCESS_DENIED, u"Access is denied");
    }
    if (item->Fault == TMemItem::fNoDataOpen && (desiredAccess & FILE_READ_DATA) != 0) {
      return STATUS_NOT_IMPLEMENTED;
    }
    bool writing = (desiredAccess & (FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0;
    if (writing && (FOpts & DOKAN_OPTION_WRITE_PROTECT) != 0) {
      return STATUS_MEDIA_WRITE_PROTECTED;
    }
    info->IsDirectory = item->Folder;
    info->Context = reinterpret_cast<std::uintptr_t>(item);
    ++FOpenHandles;
    return STATUS_SUCCESS;
  }

  void DoCloseFile(LPCWSTR, PDOKAN_FILE_INFO info) override {
    if (info->Context != 0) {
      info->Context = 0;
      --FOpenHandles;
    }
  }

  NTSTATUS DoGetFileInformation(LPCWSTR,
                                LPBY_HANDLE_FILE_INFORMATION buffer,
                                PDOKAN_FILE_INFO info) override {
    const TMemItem* item = ItemOf(info);
    if (item == nullptr) {
      return STATUS_INVALID_HANDLE;
    }
    std::lock_guard<std::mutex> lock(FLock);
    *buffer = {};
    buffer->dwFileAttributes = item->Folder ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
    buffer->ftLastWriteTime = item->WriteTime;
    buffer->ftLastAccessTime = item->WriteTime;
    buffer->ftCreationTime = item->WriteTime;
    buffer->dwVolumeSerialNumber = FVolumeSerial;
    buffer->nFileSizeLow = static_cast<DWORD>(item->Data.size());
    buffer->nNumberOfLinks = 1;
    buffer->nFileIndexHigh = static_cast<DWORD>(item->Index >> 32);
    buffer->nFileIndexLow = static_cast<DWORD>(item->Index);
    return STATUS_SUCCESS;
  }

  NTSTATUS DoFindFiles(LPCWSTR, PFillFindData fillFindData, PDOKAN_FILE_INFO info) override {
    const TMemItem* folder = ItemOf(info);
    if (folder == nullptr || !folder->Folder) {
      return STATUS_NOT_A_DIRECTORY;
    }
    UString prefix = folder->Path == u"\\" ? UString(u"\\") : folder->Path + u"\\";
    for (const TMemItem& item : FItems) {
      if (item.Path.size() <= prefix.size() || item.Path.compare(0, prefix.size(), prefix) != 0 ||
          item.Path.find(u'\\', prefix.size()) != UString::npos) {
        continue;
      }
      WIN32_FIND_DATAW data{};
      data.dwFileAttributes = item.Folder ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
      data.ftLastWriteTime = item.WriteTime;
      data.nFileSizeLow = static_cast<DWORD>(item.Data.size());
      UString name = item.Path.substr(prefix.size());
      name.copy(AsU16(data.cFileName), name.size());
      if (fillFindData(&data, info) != 0) {
        break;
      }
    }
    return STATUS_SUCCESS;
  }

  NTSTATUS DoReadFile(LPCWSTR,
                      LPVOID buffer,
                      DWORD bufferLength,
                      LPDWORD readLength,
                      LONGLONG offset,
                      PDOKAN_FILE_INFO info) override {
    const TMemItem* item = ItemOf(info);
    if (item == nullptr) {
      return STATUS_INVALID_HANDLE;
    }
    if (item->Fault == TMemItem::fBreakRead) {
      throw EvrnError(u"The block cannot be unpacked");
    }
    if (item->Fault == TMemItem::fWaitForGate) {
      FReadWaiting.Set();
      // Like an extraction, the wait gives up once the volume is told to stop.
      for (int i = 0; i < 500 && !FStopRequested; ++i) {
        if (FGate.WaitFor(10ms)) {
          FGateSeen = true;
          break;
        }
      }
      if (!FGateSeen) {
        return STATUS_CANCELLED;
      }
    }
    std::lock_guard<std::mutex> lock(FLock);
    std::size_t size = item->Data.size();
    std::size_t start = std::min<std::size_t>(static_cast<std::size_t>(offset), size);
    std::size_t count = std::min<std::size_t>({bufferLength, kReadPiece, size - start});
    std::copy_n(item->Data.data() + start, count, static_cast<char*>(buffer));
    *readLength = static_cast<DWORD>(count);
    return STATUS_SUCCESS;
  }

  NTSTATUS DoWriteFile(LPCWSTR,
                       LPCVOID buffer,
                       DWORD numberOfBytesToWrite,
                       LPDWORD numberOfBytesWritten,
                       LONGLONG offset,
                       PDOKAN_FILE_INFO info) override {
    TMemItem* item = ItemOf(info);
    std::lock_guard<std::mutex> lock(FLock);
    std::size_t end = static_cast<std::size_t>(offset) + numberOfBytesToWrite;
    if (item->Data.size() < end) {
      item->Data.resize(end);
    }
    std::copy_n(static_cast<const char*>(buffer), numberOfBytesToWrite,
                item->Data.begin() + offset);
    *numberOfBytesWritten = numberOfBytesToWrite;
    return STATUS_SUCCESS;
  }

 private:
  void Add(TMemItem item) { FItems.push_back(std::move(item)); }
  TMemItem* Find(const UString& path) {
    for (TMemItem& item : FItems) {
      if (item.Path == path) {
        return &item;
      }
    }
    return nullptr;
  }
  static TMemItem* ItemOf(PDOKAN_FILE_INFO info) {
    return reinterpret_cast<TMemItem*>(static_cast<std::uintptr_t>(info->Context));
  }

  UString FRequest;
  ULONG FOpts;
  bool FSingleThread;
  std::vector<TMemItem> FItems;  // fixed after construction; Data changes under FLock
  std::mutex FLock;
  std::vector<TCreateCall> FCreates;
  std::atomic<int> FOpenHandles{0};
};

// The folders our FUSE file systems are mounted on, by /proc/self/mountinfo.
std::vector<std::string> MountedFolders() {
  std::vector<std::string> folders;
  std::ifstream mountInfo("/proc/self/mountinfo");
  std::string line;
  while (std::getline(mountInfo, line)) {
    std::istringstream fields(line);
    std::string id, parent, device, root, mountPoint;
    fields >> id >> parent >> device >> root >> mountPoint;
    if (line.find(" - fuse.vornmount ") != std::string::npos) {
      folders.push_back(mountPoint);
    }
  }
  return folders;
}

bool IsMounted(const std::string& folder) {
  std::vector<std::string> folders = MountedFolders();
  return std::find(folders.begin(), folders.end(), folder) != folders.end();
}

// Waits until Thread has left dsMounting, at most ten seconds.
bool WaitWhileMounting(const TvrnDrivoThread& thread) {
  for (int i = 0; i < 1000 && thread.State() == dsMounting; ++i) {
    std::this_thread::sleep_for(10ms);
  }
  return thread.State() != dsMounting;
}

// Polls Condition until it holds, at most two seconds.
bool WaitUntil(const std::function<bool()>& condition) {
  for (int i = 0; i < 200 && !condition(); ++i) {
    std::this_thread::sleep_for(10ms);
  }
  return condition();
}

// Runs a command, its output discarded; its exit status.
int Shell(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str());
}

// Clears the dead mounts that an earlier run, killed before its teardown, left on its
// test folders; live mounts (another run's) answer and are left alone.
class TDeadMountSweeper : public ::testing::Environment {
 public:
  void SetUp() override {
    for (const std::string& folder : MountedFolders()) {
      struct stat st {};
      if (folder.rfind(kFolderPrefix, 0) == 0 && ::stat(folder.c_str(), &st) != 0 &&
          errno == ENOTCONN) {
        Shell("fusermount3 -u -z '" + folder + "'");
        ::rmdir(folder.c_str());
      }
    }
  }
  static constexpr char kFolderPrefix[] = "/tmp/vrn-fuse-";
};

[[maybe_unused]] ::testing::Environment* const kSweeper =
    ::testing::AddGlobalTestEnvironment(new TDeadMountSweeper);

// A fresh folder with volumes mounted on it; every path out unmounts and removes it.
class FuseMountTest : public ::testing::Test {
 protected:
  void SetUp() override { FFolder = NewFolder(); }

  void TearDown() override {
    for (auto& [folder, thread] : FThreads) {
      Stop(folder, thread);
    }
    for (const std::string& folder : FFolders) {
      std::error_code ignored;
      std::filesystem::remove_all(folder, ignored);
    }
  }

  std::string NewFolder() {
    std::string pattern = std::string(TDeadMountSweeper::kFolderPrefix) + "XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
      ADD_FAILURE() << "mkdtemp failed";
      return std::string();
    }
    FFolders.push_back(pattern);
    return pattern;
  }

  // Starts a volume on MountPoint and waits until it is mounted or has failed.
  TMemDrivo& Mount(const std::string& mountPoint,
                   ULONG options = DOKAN_OPTION_WRITE_PROTECT,
                   bool singleThread = false) {
    auto thread = std::make_unique<TMemDrivo>(FromUtf8(mountPoint), options, singleThread);
    thread->Start();
    EXPECT_TRUE(WaitWhileMounting(*thread)) << "still mounting after 10 s";
    TMemDrivo& result = *thread;
    FThreads.emplace_back(mountPoint, std::move(thread));
    return result;
  }

  // Unmounts and waits for the thread; falls back to a lazy fusermount3 and, if the
  // thread still runs, leaks it rather than hang in its destructor.
  static void Stop(const std::string& folder, std::unique_ptr<TMemDrivo>& thread) {
    if (!thread) {
      return;
    }
    if (thread->State() == dsMounted) {
      thread->UnmountDrive();
    }
    if (!thread->WaitFor(10s)) {
      ADD_FAILURE() << "the volume did not end after UnmountDrive";
      Shell("fusermount3 -u -z '" + folder + "'");
      if (!thread->WaitFor(5s)) {
        thread.release();
      }
    }
  }

  std::string FFolder;
  std::vector<std::string> FFolders;
  std::vector<std::pair<std::string, std::unique_ptr<TMemDrivo>>> FThreads;
};

TEST_F(FuseMountTest, ListsFoldersAndFiles) {
  TMemDrivo& volume = Mount(FFolder);
  ASSERT_EQ(volume.State(), dsMounted) << ToUtf8(volume.ErrorMessage());

  struct Case {
    std::string folder;
    std::map<std::string, unsigned char> entries;
  };
  const Case cases[] = {
      {"",
       {{".", DT_DIR},
        {"..", DT_DIR},
        {"docs", DT_DIR},
        {"readme.txt", DT_REG},
        {"big.bin", DT_REG},
        {"\xC3\x9Cn\xC3\xAF"
         "c\xC3\xB6"
         "d\xC3\xA9 \xE2\x82\xAC.txt",
         DT_REG},
        {"denied.txt", DT_REG},
        {"broken.bin", DT_REG},
        {"slow.bin", DT_REG},
        {"unopenable.txt", DT_REG},
        {"many", DT_DIR}}},
      {"/docs", {{".", DT_DIR}, {"..", DT_DIR}, {"guide.txt", DT_REG}}},
  };
  for (const Case& c : cases) {
    DIR* dir = ::opendir((FFolder + c.folder).c_str());
    ASSERT_NE(dir, nullptr) << c.folder << ": " << std::strerror(errno);
    std::map<std::string, unsigned char> seen;
    while (dirent* entry = ::readdir(dir)) {
      seen[entry->d_name] = entry->d_type;
    }
    ::closedir(dir);
    EXPECT_EQ(seen, c.entries) << c.folder;
  }
}

// A listing larger than the kernel's buffer comes in parts, each entry once and in order,
// and the attributes it hands the kernel with the entries are those a lookup gives.
TEST_F(FuseMountTest, LongListingsComeWholeWithLookupAttributes) {
  TMemDrivo& volume = Mount(FFolder);
  ASSERT_EQ(volume.State(), dsMounted) << ToUtf8(volume.ErrorMessage());
  const std::string folder = FFolder + "/many";
  DIR* dir = ::opendir(folder.c_str());
  ASSERT_NE(dir, nullptr) << std::strerror(errno);
  for (int pass = 0; pass < 2; ++pass) {  // the second after rewinddir
    std::vector<std::string> names;
    while (dirent* entry = ::readdir(dir)) {
      names.push_back(entry->d_name);
    }
    ASSERT_EQ(names.size(), std::size_t(TMemDrivo::kManyFiles + 2)) << "pass " << pass;
    EXPECT_EQ(names[0], ".");
    EXPECT_EQ(names[1], "..");
    for (int i = 0; i < TMemDrivo::kManyFiles; ++i) {
      EXPECT_EQ(names[i + 2], "file " + std::to_string(i) + ".txt") << "pass " << pass;
    }
    ::rewinddir(dir);
  }
  ::closedir(dir);
  for (int i = 0; i < TMemDrivo::kManyFiles; ++i) {
    const std::string path = folder + "/file " + std::to_string(i) + ".txt";
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0) << path << ": " << std::strerror(errno);
    EXPECT_EQ(st.st_ino, TMemDrivo::kManyFirstIndex + i) << path;
    EXPECT_EQ(st.st_size, i % 17) << path;
    EXPECT_EQ(st.st_mtim.tv_sec, 1500001000 + i) << path;
  }
}

TEST_F(FuseMountTest, StatReportsKindSizeTimeAndInode) {
  TMemDrivo& volume = Mount(FFolder);
  ASSERT_EQ(volume.State(), dsMounted) << ToUtf8(volume.ErrorMessage());

  struct Case {
    std::string path;
    int error = 0;
    mode_t mode = 0;
    off_t size = 0;
    time_t mtime = 0;
    long mtimeNs = 0;
    ino_t ino = 0;
  };
  const Case cases[] = {
      {"", 0, S_IFDIR | 0555, 0, 1500000000, 0, 1},
      {"/docs", 0, S_IFDIR | 0555, 0, 1500000100, 0, 2},
      {"/docs/guide.txt", 0, S_IFREG | 0444, 11, 1500000200, 0, 3},
      {"/readme.txt", 0, S_IFREG | 0444, 11, 1614834367, 500000000, 0x123456789A},
      {"/big.bin", 0, S_IFREG | 0444, 300000, 1500000300, 0, 5},
      {"/\xC3\x9Cn\xC3\xAF"
       "c\xC3\xB6"
       "d\xC3\xA9 \xE2\x82\xAC.txt",
       0, S_IFREG | 0444, 7, 1500000400, 0, 6},
      {"/missing", ENOENT},
      {"/docs/missing.txt", ENOENT},
      {"/readme.txt/below", ENOTDIR},
      {"/docs\\guide.txt", ENOENT},  // not the file docs/guide.txt
      {"/denied.txt", EACCES},
  };
  for (const Case& c : cases) {
    struct stat st {};
    int result = ::stat((FFolder + c.path).c_str(), &st);
    if (c.error != 0) {
      EXPECT_EQ(result, -1) << c.path;
      EXPECT_EQ(errno, c.error) << c.path;
      continue;
    }
    ASSERT_EQ(result, 0) << c.path << ": " << std::strerror(errno);
    EXPECT_EQ(st.st_mode, c.mode) << c.path;
    EXPECT_EQ(st.st_size, c.size) << c.path;
    EXPECT_EQ(st.st_mtim.tv_sec, c.mtime) << c.path;
    EXPECT_EQ(st.st_mtim.tv_nsec, c.mtimeNs) << c.path;
    EXPECT_EQ(st.st_ino, c.ino) << c.path;
    EXPECT_EQ(st.st_uid, ::getuid()) << c.path;
  }
}

TEST_F(FuseMountTest, ReadsWholeFilesAndAtOffsets) {
  TMemDrivo& volume = Mount(FFolder);
  ASSERT_EQ(volume.State(), dsMounted) << ToUtf8(volume.ErrorMessage());
  const std::string big = volume.DataOf(u"\\big.bin");

  // Whole files, through a stream; the big one takes many short handler reads.
  struct Case {
    std::string path;
    std::string content;
  };
  const Case cases[] = {
      {"/readme.txt", "hello world"},
      {"/docs/guide.txt", "Guide text\n"},
      {"/big.bin", big},
  };
  for (const Case& c : cases) {
    std::ifstream in(FFolder + c.path, std::ios::binary);
    ASSERT_TRUE(in) << c.path;
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_TRUE(content == c.content) << c.path << ": " << content.size() << " bytes";
  }

  // Positioned reads: inside, across a piece boundary, at and beyond the end.
  int fd = ::open((FFolder + "/big.bin").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0) << std::strerror(errno);
  struct Read {
    off_t offset;
    std::size_t count;
    std::size_t expected;
  };
  const Read reads[] = {
      {6, 5, 5},         {999, 2, 2},     {123457, 70000, 70000},
      {299990, 100, 10}, {300000, 10, 0}, {400000, 10, 0},
  };
  for (const Read& r : reads) {
    std::string buffer(r.count, '\0');
    ssize_t got = ::pread(fd, buffer.data(), r.count, r.offset);
    ASSERT_EQ(got, ssize_t(r.expected)) << "offset " << r.offset;
    EXPECT_TRUE(r.expected == 0 || buffer.compare(0, r.expected, big, r.offset, r.expected) == 0)
        << "offset " << r.offset;
  }
  ::close(fd);
}

TEST_F(FuseMountTest, StatvfsReportsAReadOnlyVolume) {
  TMemDrivo& volume = Mount(FFolder);
  ASSERT_EQ(volume.State(), dsMounted) << ToUtf8(volume.ErrorMessage());
  struct statvfs st {};
  ASSERT_EQ(::statvfs(FFolder.c_str(), &st), 0) << std::strerror(errno);
  EXPECT_NE(st.f_flag & ST_RDONLY, 0u);
  EXPECT_EQ(st.f_namemax, 255u);  // the kernel's limit, in UTF-8 bytes
  ASSERT_GT(st.f_frsize, 0u);
  EXPECT_EQ(st.f_blocks * st.f_frsize, 409600000u);
  EXPECT_EQ(st.f_bfree * st.f_frsize, 81920000u);
  EXPECT_EQ(st.f_bavail * st.f_frsize, 40960000u);
}

TEST_F(FuseMountTest, WritesAreRefusedAsReadOnly) {
  TMemDrivo& volume = Mount(FFolder);
  ASSERT_EQ(volume.State(), dsMounted) << ToUtf8(volume.ErrorMessage());
  const std::string file = FFolder + "/readme.txt";
  const std::string folder = FFolder + "/docs";
  struct Case {
    const char* what;
    std::function<int()> call;
  };
  const Case cases[] = {
      {"open for writing", [&] { return ::open(file.c_str(), O_WRONLY); }},
      {"open for reading and writing", [&] { return ::open(file.c_str(), O_RDWR); }},
      {"open truncating", [&] { return ::open(file.c_str(), O_RDONLY | O_TRUNC); }},
      {"create", [&] { return ::open((FFolder + "/new.txt").c_str(), O_CREAT | O_WRONLY, 0644); }},
      {"truncate", [&] { return ::truncate(file.c_str(), 0); }},
      {"unlink", [&] { return ::unlink(file.c_str()); }},
      {"rename", [&] { return ::rename(file.c_str(), (FFolder + "/other.txt").c_str()); }},
      {"mkdir", [&] { return ::mkdir((FFolder + "/newdir").c_str(), 0755); }},
      {"rmdir", [&] { return ::rmdir(folder.c_str()); }},
      {"chmod", [&] { return ::chmod(file.c_str(), 0644); }},
      {"utimes", [&] { return ::utimes(file.c_str(), nullptr); }},
      {"symlink", [&] { return ::symlink("readme.txt", (FFolder + "/link").c_str()); }},
  };
  for (const Case& c : cases) {
    errno = 0;
    int result = c.call();
    EXPECT_EQ(result, -1) << c.what;
    EXPECT_EQ(errno, EROFS) << c.what << ": " << std::strerror(errno);
    if (result >= 0) {
      ::close(result);
    }
  }
  EXPECT_EQ(volume.DataOf(u"\\readme.txt"), "hello world");
}

TEST_F(FuseMountTest, HandlerErrorsBecomeErrno) {
  TMemDrivo& volume = Mount(FFolder);
  ASSERT_EQ(volume.State(), dsMounted) << ToUtf8(volume.ErrorMessage());

  // EOSError(ERROR_ACCESS_DENIED) raised while opening.
  errno = 0;
  EXPECT_EQ(::open((FFolder + "/denied.txt").c_str(), O_RDONLY), -1);
  EXPECT_EQ(errno, EACCES);

  // A plain EvrnError raised while reading: the read fails, and no byte is made up.
  int fd = ::open((FFolder + "/broken.bin").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0) << std::strerror(errno);
  char buffer[16];
  errno = 0;
  EXPECT_EQ(::read(fd, buffer, sizeof(buffer)), -1);
  EXPECT_EQ(errno, EIO);
  ::close(fd);

  // An open the volume does not implement fails every time: the kernel must not take
  // the answer for "open needs no call" and let the next one through unasked.
  for (int attempt = 0; attempt < 2; ++attempt) {
    errno = 0;
    EXPECT_EQ(::open((FFolder + "/unopenable.txt").c_str(), O_RDONLY), -1) << attempt;
    EXPECT_EQ(errno, EOPNOTSUPP) << attempt;
  }

  // Reading a folder as a file.
  fd = ::open((FFolder + "/docs").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0) << std::strerror(errno);
  EXPECT_EQ(::read(fd, buffer, sizeof(buffer)), -1);
  EXPECT_EQ(errno, EISDIR);
  ::close(fd);
}

TEST_F(FuseMountTest, RequestsArriveAsWindowsWouldIssueThem) {
  TMemDrivo& volume = Mount(FFolder);
  ASSERT_EQ(volume.State(), dsMounted) << ToUtf8(volume.ErrorMessage());
  struct stat st {};
  ASSERT_EQ(::stat((FFolder + "/docs/guide.txt").c_str(), &st), 0);
  int fd = ::open((FFolder + "/docs/guide.txt").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  ::close(fd);
  DIR* dir = ::opendir((FFolder + "/docs").c_str());
  ASSERT_NE(dir, nullptr);
  ::closedir(dir);

  const ULONG sync = FILE_SYNCHRONOUS_IO_NONALERT;
  const TCreateCall expected[] = {
      {u"\\docs\\guide.txt", FILE_READ_ATTRIBUTES | SYNCHRONIZE, 7, FILE_OPEN, 0},
      {u"\\docs\\guide.txt", FILE_GENERIC_READ, 7, FILE_OPEN, FILE_NON_DIRECTORY_FILE | sync},
      {u"\\docs", FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE, 7, FILE_OPEN,
       FILE_DIRECTORY_FILE | sync},
  };
  std::vector<TCreateCall> calls = volume.CreateCalls();
  for (const TCreateCall& e : expected) {
    bool found = false;
    for (const TCreateCall& c : calls) {
      found = found || (c.FileName == e.FileName && c.Access == e.Access && c.Share == e.Share &&
                        c.Disposition == e.Disposition && c.Options == e.Options);
    }
    EXPECT_TRUE(found) << ToUtf8(e.FileName) << std::hex << " access 0x" << e.Access
                       << " options 0x" << e.Options;
  }
  // Every name is Windows style.
  for (const TCreateCall& c : calls) {
    EXPECT_EQ(c.FileName.find(u'/'), UString::npos) << ToUtf8(c.FileName);
    EXPECT_EQ(c.FileName.front(), u'\\') << ToUtf8(c.FileName);
  }
  // Each handle opened was closed again, transient ones included. The kernel sends
  // releases after close(2) has returned, so they are waited for.
  EXPECT_TRUE(WaitUntil([&] { return volume.OpenHandles() == 0; }))
      << volume.OpenHandles() << " handles open";
}

// With opens per read the kernel sends no open or release for files, and the volume still
// sees the Windows sequence for each read: its own handle opened for reading and closed
// again before the read returns. Writing still fails at the open.
TEST_F(FuseMountTest, WithOpensPerReadEachReadOpensAndClosesItsOwnHandle) {
  DokanFuseSetOpenPerRead(true);
  struct TReset {
    ~TReset() { DokanFuseSetOpenPerRead(false); }
  } reset;
  TMemDrivo& volume = Mount(FFolder);
  ASSERT_EQ(volume.State(), dsMounted) << ToUtf8(volume.ErrorMessage());
  auto readOpens = [&](const UString& name) {
    int count = 0;
    for (const TCreateCall& c : volume.CreateCalls()) {
      count += c.FileName == name && c.Access == FILE_GENERIC_READ ? 1 : 0;
    }
    return count;
  };
  // The first open of the mount still comes, answered so that no more do.
  std::ifstream(FFolder + "/docs/guide.txt").get();
  ASSERT_GE(readOpens(u"\\docs\\guide.txt"), 1);

  const std::string readme = FFolder + "/readme.txt";
  int fd = ::open(readme.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0) << std::strerror(errno);
  EXPECT_EQ(readOpens(u"\\readme.txt"), 0) << "the open reached the volume";
  char buffer[64] = {};
  ssize_t got = ::read(fd, buffer, sizeof buffer);
  EXPECT_EQ(std::string(buffer, got > 0 ? static_cast<std::size_t>(got) : 0), "hello world");
  EXPECT_EQ(readOpens(u"\\readme.txt"), 1);
  EXPECT_EQ(volume.OpenHandles(), 0) << "the read's handle is still open";
  ::close(fd);

  for (int flags : {O_WRONLY, O_RDWR, O_WRONLY | O_TRUNC}) {
    errno = 0;
    EXPECT_EQ(::open(readme.c_str(), flags), -1) << flags;
    EXPECT_EQ(errno, EROFS) << flags;
  }
  EXPECT_EQ(volume.DataOf(u"\\readme.txt"), "hello world");
}

TEST_F(FuseMountTest, RequestsAreServedWhileAReadWaits) {
  TMemDrivo& volume = Mount(FFolder);
  ASSERT_EQ(volume.State(), dsMounted) << ToUtf8(volume.ErrorMessage());
  std::string content;
  std::thread reader([&] {
    std::ifstream in(FFolder + "/slow.bin", std::ios::binary);
    content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  });
  bool waiting = volume.FReadWaiting.WaitFor(5s);
  EXPECT_TRUE(waiting);
  if (waiting) {
    // Served by another worker while the read is held; it opens the gate.
    struct stat st {};
    EXPECT_EQ(::stat((FFolder + "/docs/guide.txt").c_str(), &st), 0);
  }
  reader.join();
  EXPECT_TRUE(volume.FGateSeen);
  EXPECT_EQ(content, "slow");
}

TEST_F(FuseMountTest, AnOutsideUnmountStopsTheVolumeWhileAReadWaits) {
  // As `umount -f` does: the connection is aborted, then the folder detached.
  TMemDrivo& volume = Mount(FFolder);
  ASSERT_EQ(volume.State(), dsMounted) << ToUtf8(volume.ErrorMessage());
  int readError = 0;
  std::thread reader([&] {
    const int fd = ::open((FFolder + "/slow.bin").c_str(), O_RDONLY);
    char bytes[16];
    if (fd < 0 || ::read(fd, bytes, sizeof bytes) < 0) {
      readError = errno;
    }
    if (fd >= 0) {
      ::close(fd);
    }
  });
  const bool waiting = volume.FReadWaiting.WaitFor(5s);
  EXPECT_TRUE(waiting);
  EXPECT_FALSE(volume.StopRequested());
  const auto start = std::chrono::steady_clock::now();
  ::umount2(FFolder.c_str(), MNT_FORCE);
  ::umount2(FFolder.c_str(), MNT_DETACH);
  reader.join();
  EXPECT_EQ(readError, ENOTCONN);
  // The volume hears of the end at once, so the read it still holds gives up and the
  // loop can return, long before the read's own five seconds.
  EXPECT_TRUE(WaitUntil([&] { return volume.StopRequested(); }));
  EXPECT_TRUE(volume.WaitFor(10s));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  EXPECT_FALSE(volume.FGateSeen);
  EXPECT_EQ(volume.State(), dsFinished);
}

TEST_F(FuseMountTest, SingleThreadedVolumeServesAndUnmounts) {
  TMemDrivo& volume = Mount(FFolder, DOKAN_OPTION_WRITE_PROTECT, true);
  ASSERT_EQ(volume.State(), dsMounted) << ToUtf8(volume.ErrorMessage());
  std::ifstream in(FFolder + "/docs/guide.txt");
  std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(content, "Guide text\n");
  volume.UnmountDrive();
  ASSERT_TRUE(volume.WaitFor(10s));
  EXPECT_EQ(volume.ResultCode(), 0);
  EXPECT_FALSE(IsMounted(FFolder));
}

TEST_F(FuseMountTest, WritesReachTheVolumeWithoutWriteProtection) {
  TMemDrivo& volume = Mount(FFolder, 0);
  ASSERT_EQ(volume.State(), dsMounted) << ToUtf8(volume.ErrorMessage());
  struct statvfs vfs {};
  ASSERT_EQ(::statvfs(FFolder.c_str(), &vfs), 0);
  EXPECT_EQ(vfs.f_flag & ST_RDONLY, 0u);

  int fd = ::open((FFolder + "/readme.txt").c_str(), O_WRONLY);
  ASSERT_GE(fd, 0) << std::strerror(errno);
  EXPECT_EQ(::pwrite(fd, "HELLO", 5, 0), 5);
  ::close(fd);
  EXPECT_EQ(volume.DataOf(u"\\readme.txt"), "HELLO world");
  // Namespace changes have no handler behind them.
  errno = 0;
  EXPECT_EQ(::mkdir((FFolder + "/newdir").c_str(), 0755), -1);
  EXPECT_EQ(errno, EROFS);
}

TEST_F(FuseMountTest, UnmountDriveEndsTheMount) {
  // Given with a trailing separator: Mounted reports it as given, and the unmount that
  // the thread asks for with it still finds the volume.
  TMemDrivo& volume = Mount(FFolder + "/");
  ASSERT_EQ(volume.State(), dsMounted) << ToUtf8(volume.ErrorMessage());
  EXPECT_EQ(volume.MountPoint(), FromUtf8(FFolder + "/"));
  EXPECT_TRUE(IsMounted(FFolder));

  volume.UnmountDrive();
  ASSERT_TRUE(volume.WaitFor(10s));
  EXPECT_EQ(volume.State(), dsFinished);
  EXPECT_EQ(volume.ResultCode(), 0);
  EXPECT_EQ(volume.ErrorMessage(), u"");
  EXPECT_FALSE(IsMounted(FFolder));
  EXPECT_TRUE(std::filesystem::is_empty(FFolder));
  EXPECT_EQ(volume.OpenHandles(), 0);
  // Nothing is mounted there any more.
  EXPECT_FALSE(DokanRemoveMountPoint(AsWChar(FromUtf8(FFolder))));
}

TEST_F(FuseMountTest, UnmountDoesNotWaitForFilesHeldOpen) {
  TMemDrivo& volume = Mount(FFolder);
  ASSERT_EQ(volume.State(), dsMounted) << ToUtf8(volume.ErrorMessage());
  int fd = ::open((FFolder + "/readme.txt").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0) << std::strerror(errno);
  DIR* dir = ::opendir((FFolder + "/docs").c_str());
  ASSERT_NE(dir, nullptr);

  volume.UnmountDrive();
  EXPECT_TRUE(volume.WaitFor(10s));
  EXPECT_EQ(volume.ResultCode(), 0);
  EXPECT_FALSE(IsMounted(FFolder));
  char buffer[4];
  EXPECT_EQ(::pread(fd, buffer, sizeof(buffer), 0), -1);  // the connection is gone
  // The volume saw both handles closed although the kernel never released them.
  EXPECT_EQ(volume.OpenHandles(), 0);
  ::close(fd);
  ::closedir(dir);
}

TEST_F(FuseMountTest, OutsideFusermountEndsTheThread) {
  TMemDrivo& volume = Mount(FFolder);
  ASSERT_EQ(volume.State(), dsMounted) << ToUtf8(volume.ErrorMessage());
  ASSERT_EQ(Shell("fusermount3 -u '" + FFolder + "'"), 0);
  ASSERT_TRUE(volume.WaitFor(10s));
  EXPECT_EQ(volume.ResultCode(), 0);
  EXPECT_EQ(volume.ErrorMessage(), u"");
  EXPECT_FALSE(IsMounted(FFolder));
}

TEST_F(FuseMountTest, MountPointErrors) {
  std::string file = FFolder + "/plain-file";
  std::ofstream(file) << "x";
  struct Case {
    std::string mountPoint;
    int result;
    UString message;
  };
  const Case cases[] = {
      {FFolder + "/missing", DOKAN_MOUNT_POINT_ERROR, u"Mount point error"},
      {FFolder + "/missing/below", DOKAN_MOUNT_POINT_ERROR, u"Mount point error"},
      {file, DOKAN_MOUNT_POINT_ERROR, u"Mount point error"},
      {"", DOKAN_MOUNT_POINT_ERROR, u"Mount point error"},
      {"/", DOKAN_MOUNT_POINT_ERROR, u"Mount point error"},
  };
  for (const Case& c : cases) {
    TMemDrivo& volume = Mount(c.mountPoint);
    ASSERT_TRUE(volume.WaitFor(10s)) << c.mountPoint;
    EXPECT_EQ(volume.State(), dsFinished) << c.mountPoint;
    EXPECT_EQ(volume.ResultCode(), c.result) << c.mountPoint;
    EXPECT_EQ(volume.ErrorMessage(), c.message) << c.mountPoint;
    EXPECT_TRUE(volume.MountPoint().empty()) << c.mountPoint;
  }
}

// Counts the two lifecycle callbacks of a bare table; reached through GlobalContext.
struct TLifecycleCounts {
  std::atomic<int> Mounted{0};
  std::atomic<int> Unmounted{0};
  std::atomic<LPCWSTR> MountPoint{nullptr};
};

TLifecycleCounts& CountsOf(PDOKAN_FILE_INFO info) {
  return *reinterpret_cast<TLifecycleCounts*>(
      static_cast<std::uintptr_t>(info->DokanOptions->GlobalContext));
}

TEST_F(FuseMountTest, MountedAndUnmountedComeOnceEach) {
  TLifecycleCounts counts;
  UString mountPoint = FromUtf8(FFolder);
  auto options = std::make_unique<DOKAN_OPTIONS>();
  options->Version = DOKAN_VERSION;
  options->GlobalContext = reinterpret_cast<std::uintptr_t>(&counts);
  options->MountPoint = AsWChar(mountPoint);
  options->Options = DOKAN_OPTION_WRITE_PROTECT;
  DOKAN_OPERATIONS operations{};
  operations.Mounted = [](LPCWSTR given, PDOKAN_FILE_INFO info) -> NTSTATUS {
    CountsOf(info).MountPoint = given;
    ++CountsOf(info).Mounted;
    return STATUS_SUCCESS;
  };
  operations.Unmounted = [](PDOKAN_FILE_INFO info) -> NTSTATUS {
    ++CountsOf(info).Unmounted;
    return STATUS_SUCCESS;
  };
  std::atomic<int> result{99};
  TEvent finished;
  std::thread loop([&] {
    result = DokanMain(options.get(), &operations);
    finished.Set();
  });
  EXPECT_TRUE(WaitUntil([&] { return counts.Mounted == 1; }));
  EXPECT_TRUE(IsMounted(FFolder));
  EXPECT_EQ(counts.MountPoint.load(), options->MountPoint);  // the caller's own string
  EXPECT_EQ(counts.Unmounted, 0);

  EXPECT_TRUE(DokanRemoveMountPoint(AsWChar(mountPoint)));
  if (!finished.WaitFor(10s)) {
    ADD_FAILURE() << "DokanMain did not return";
    Shell("fusermount3 -u -z '" + FFolder + "'");
  }
  loop.join();
  EXPECT_EQ(result, DOKAN_SUCCESS);
  EXPECT_EQ(counts.Mounted, 1);
  EXPECT_EQ(counts.Unmounted, 1);
}

TEST_F(FuseMountTest, SeveralVolumesAtOnce) {
  std::string second = NewFolder();
  TMemDrivo& one = Mount(FFolder);
  TMemDrivo& two = Mount(second);
  ASSERT_EQ(one.State(), dsMounted) << ToUtf8(one.ErrorMessage());
  ASSERT_EQ(two.State(), dsMounted) << ToUtf8(two.ErrorMessage());

  // The same folder twice is refused while the first volume serves it.
  TMemDrivo& again = Mount(FFolder);
  ASSERT_TRUE(again.WaitFor(10s));
  EXPECT_EQ(again.ResultCode(), DOKAN_MOUNT_ERROR);

  // With two volumes a drive letter names neither.
  EXPECT_FALSE(DokanUnmount(u'M'));
  EXPECT_FALSE(DokanRemoveMountPoint(AsWChar(FromUtf8(FFolder + "/docs"))));

  one.UnmountDrive();
  ASSERT_TRUE(one.WaitFor(10s));
  EXPECT_FALSE(IsMounted(FFolder));
  ASSERT_TRUE(IsMounted(second));
  struct stat st {};
  EXPECT_EQ(::stat((second + "/readme.txt").c_str(), &st), 0);

  // One volume left: the drive letter ends it.
  EXPECT_TRUE(DokanUnmount(u'M'));
  ASSERT_TRUE(two.WaitFor(10s));
  EXPECT_EQ(two.ResultCode(), 0);
  EXPECT_FALSE(IsMounted(second));
}

}  // namespace
