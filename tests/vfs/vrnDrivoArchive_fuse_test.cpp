// Real FUSE mounts of the generated 7z fixtures, served by TvrnDrivoArchiveThread with the
// real 7-Zip library and looked at from outside through the kernel: every file against
// 7z's own listing under each store kind, listing order, fixed names, lookups that ignore
// case, refused writes, wrong passwords, many readers of one solid block, and an unmount
// in the middle of a long extraction.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/vrn7zPlugin.h"
#include "model/vrnPlugins.h"
#include "mount/vrnArchiveThread.h"
#include "platform/vrnTime.h"
#include "tests/support/vrnFixtures.h"
#include "vfs/dokan2_fuse.h"
#include "vfs/vrnDrivoArchive.h"

namespace {

using namespace std::chrono_literals;

// What reading a whole file through the mount gave.
struct TReadResult {
  int Error = 0;  // errno of the first failed call, 0 when all went well
  std::uint64_t Size = 0;
  std::uint32_t Crc = 0;
};

TReadResult ReadWhole(const std::string& path) {
  TReadResult result;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    result.Error = errno;
    return result;
  }
  std::vector<std::uint8_t> buffer(1 << 20);
  for (;;) {
    ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n < 0) {
      result.Error = errno;
      break;
    }
    if (n == 0) {
      break;
    }
    result.Crc = UpdateCrc(result.Crc, buffer.data(), static_cast<std::size_t>(n));
    result.Size += static_cast<std::uint64_t>(n);
  }
  ::close(fd);
  return result;
}

// The entries of a folder as readdir gives them, without "." and "..".
std::vector<std::string> ReadFolder(const std::string& path) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(path.c_str());
  if (dir == nullptr) {
    ADD_FAILURE() << "cannot list " << path << ": " << std::strerror(errno);
    return names;
  }
  while (dirent* entry = ::readdir(dir)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") {
      names.push_back(name);
    }
  }
  ::closedir(dir);
  return names;
}

// Where the descriptors of this process that lead to a temporary file of a mount (named
// by a braced GUID) point: the path, and " (deleted)" after it once it is unlinked.
std::vector<std::string> OpenTempFiles() {
  static const std::regex guid(
      R"(/\{[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\}( \(deleted\))?$)");
  std::vector<std::string> targets;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    std::string target = std::filesystem::read_symlink(entry.path(), error).string();
    if (!error && std::regex_search(target, guid)) {
      targets.push_back(target);
    }
  }
  return targets;
}

// The archive file system, counting the reads it answered with a failure.
class TCountingDrivo : public TvrnDrivoArchiveThread {
 public:
  using TvrnDrivoArchiveThread::TvrnDrivoArchiveThread;

  std::atomic<int> FFailedReads{0};

 protected:
  NTSTATUS DoReadFile(LPCWSTR fileName,
                      LPVOID buffer,
                      DWORD bufferLength,
                      LPDWORD readLength,
                      LONGLONG offset,
                      PDOKAN_FILE_INFO info) override {
    NTSTATUS status = TvrnDrivoArchiveThread::DoReadFile(fileName, buffer, bufferLength, readLength,
                                                         offset, info);
    if (status != STATUS_SUCCESS) {
      ++FFailedReads;
    }
    return status;
  }
};

// A fixture mounted on a fresh folder; every path out unmounts it and removes the folder.
class DrivoArchiveFuseTest : public testing::Test {
 protected:
  void SetUp() override {
    // As the command line mounts: each read opens and closes its own handle.
    DokanFuseSetOpenPerRead(true);
    RegisterEngineFormats();
    ASSERT_EQ(EngineLibraries().size(), 1u) << ToUtf8(EngineLibraryPath());
    // The prefix of the Dokan bridge's tests, whose sweeper clears dead mounts of a
    // killed run.
    char pattern[] = "/tmp/vrn-fuse-archive-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    FFolder = pattern;
  }
  void TearDown() override {
    Unmount();
    FArchiveThread.reset();
    ReleasePlugins();
    ReleaseEngineLibraries();
    DokanFuseSetOpenPerRead(false);
    std::error_code ignored;
    std::filesystem::remove(FFolder, ignored);
  }

  // Opens and mounts fixture File; false (with a failure) when it did not mount.
  bool Mount(const std::string& file,
             const UString& password = u"",
             TvrnStoreKind kind = skMemoryAndTempFile) {
    FArchiveThread = std::make_unique<TvrnArchiveThread>(FixturePath(file), password);
    FArchiveThread->Start();
    FThread = std::make_unique<TCountingDrivo>(FromUtf8(FFolder), FArchiveThread.get(), kind);
    FThread->Start();
    for (int i = 0; i < 1000 && FThread->State() == dsMounting; ++i) {
      std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(FThread->State(), dsMounted) << file << ": " << ToUtf8(FThread->ErrorMessage());
    return FThread->State() == dsMounted;
  }

  // Unmounts and waits for the thread; when it does not end, detaches the folder and,
  // if it still runs, leaks it rather than hang in its destructor.
  void Unmount() {
    if (!FThread) {
      return;
    }
    if (FThread->State() != dsMounting) {
      FThread->UnmountDrive();
    }
    if (!FThread->WaitFor(10s)) {
      ADD_FAILURE() << "the volume did not end after UnmountDrive";
      ::umount2(FFolder.c_str(), MNT_FORCE | UMOUNT_NOFOLLOW);
      ::umount2(FFolder.c_str(), MNT_DETACH | UMOUNT_NOFOLLOW);
      if (!FThread->WaitFor(5s)) {
        FThread.release();
        FArchiveThread.release();
        return;
      }
    }
    FThread.reset();
  }

  // The opened archive's tree.
  IvrnArchive* Archive() const { return FArchiveThread->Archive().Get(); }

  // Where a tree path ("a\b.txt") lies under the mount; a name's U+F05C is a '\' there.
  std::string OnMount(const UString& treePath) const {
    UString mounted = treePath;
    for (char16_t& c : mounted) {
      c = c == u'\\' ? u'/' : c == u'\uF05C' ? u'\\' : c;
    }
    return FFolder + "/" + ToUtf8(mounted);
  }

  // Every item of the tree with its path as mounted (names fixed).
  std::map<IvrnBaseItem*, UString> TreePaths() const {
    std::map<IvrnBaseItem*, UString> paths;
    Collect(Archive(), u"", paths);
    return paths;
  }

  static void Collect(IvrnFolder* folder,
                      const UString& prefix,
                      std::map<IvrnBaseItem*, UString>& paths) {
    for (std::int32_t i = 0; i < folder->GetFolderCount(); ++i) {
      IvrnFolder* sub = folder->GetFolder(i);
      paths[sub] = prefix + sub->GetName();
      Collect(sub, prefix + sub->GetName() + u"\\", paths);
    }
    for (std::int32_t i = 0; i < folder->GetFileCount(); ++i) {
      paths[folder->GetFile(i)] = prefix + folder->GetFile(i)->GetName();
    }
  }

  std::vector<UString> Messages() {
    std::vector<UString> messages;
    for (UString m = FThread->TakeMessage(); !m.empty(); m = FThread->TakeMessage()) {
      messages.push_back(m);
    }
    return messages;
  }

  std::string FFolder;
  std::unique_ptr<TvrnArchiveThread> FArchiveThread;
  std::unique_ptr<TCountingDrivo> FThread;
};

// ---------------------------------------------------------------------------------------
// Every file as 7z lists it.

struct TMountCase {
  const char* Name;  // Name.7z and Name.tsv
  UString Password;
  TvrnStoreKind Kind;
};

void PrintTo(const TMountCase& c, std::ostream* os) {
  *os << c.Name << ".7z, store kind " << int(c.Kind);
}

// The mode a listed entry shows: its unix permissions without write and special bits
// (0444 for a file, 0555 for a folder without any), a link for a file with a link mode.
mode_t ExpectedMode(const TListedEntry& e) {
  mode_t type = e.Folder ? S_IFDIR : e.UnixMode && S_ISLNK(*e.UnixMode) ? S_IFLNK : S_IFREG;
  mode_t permissions = e.UnixMode ? (*e.UnixMode & 0555) : e.Folder ? 0555 : 0444;
  return type | permissions;
}

class DrivoArchiveFuseFilesTest : public DrivoArchiveFuseTest,
                                  public testing::WithParamInterface<TMountCase> {};

TEST_P(DrivoArchiveFuseFilesTest, EveryEntryStatsAndReadsAsListed) {
  const TMountCase& c = GetParam();
  std::vector<TListedEntry> listing = ReadListing(c.Name);
  ASSERT_TRUE(Mount(std::string(c.Name) + ".7z", c.Password, c.Kind));
  std::map<IvrnBaseItem*, UString> paths = TreePaths();
  int broken = 0;
  for (std::int32_t i = 0; i < static_cast<std::int32_t>(listing.size()); ++i) {
    const TListedEntry& e = listing[i];
    SCOPED_TRACE(e.Path);
    IvrnBaseItem* item = Archive()->GetItem(i);
    if (e.Anti) {
      EXPECT_EQ(item, nullptr);
      continue;
    }
    ASSERT_TRUE(paths.count(item));
    std::string path = OnMount(paths[item]);

    struct stat st {};
    ASSERT_EQ(::lstat(path.c_str(), &st), 0) << path << ": " << std::strerror(errno);
    EXPECT_EQ(st.st_mode, ExpectedMode(e));
    if (e.Modified) {
      timespec expected = FileTimeToTimespec(UInt64ToFileTime(*e.Modified));
      EXPECT_EQ(st.st_mtim.tv_sec, expected.tv_sec);
      EXPECT_EQ(st.st_mtim.tv_nsec, expected.tv_nsec);
    }
    if (e.Folder) {
      continue;
    }
    EXPECT_EQ(std::uint64_t(st.st_size), e.Size);
    if (S_ISLNK(st.st_mode)) {
      // The target, exactly as stored: the link's data.
      std::vector<char> target(e.Size + 16);
      ssize_t length = ::readlink(path.c_str(), target.data(), target.size());
      ASSERT_EQ(length, static_cast<ssize_t>(e.Size)) << std::strerror(errno);
      EXPECT_EQ(UpdateCrc(0, reinterpret_cast<const std::uint8_t*>(target.data()),
                          static_cast<std::size_t>(length)),
                e.Crc.value_or(0));
      continue;
    }
    TReadResult read = ReadWhole(path);
    if (e.Broken) {
      EXPECT_EQ(read.Error, EIO);
      ++broken;
    } else {
      EXPECT_EQ(read.Error, 0) << std::strerror(read.Error);
      EXPECT_EQ(read.Size, e.Size);
      EXPECT_EQ(read.Crc, e.Crc.value_or(0));
    }
  }
  // A failed read leaves its message; good reads leave none.
  std::vector<UString> messages = Messages();
  EXPECT_EQ(messages.empty(), broken == 0);
  EXPECT_EQ(static_cast<int>(messages.size()), FThread->FFailedReads.load());
}

std::vector<TMountCase> MountCases() {
  std::vector<TMountCase> cases;
  for (TvrnStoreKind kind : {skDisk, skTempFile, skMemoryAndTempFile, skMemory}) {
    for (const char* name : {"plain", "solid", "long", "damaged"}) {
      cases.push_back({name, u"", kind});
    }
  }
  // The other fixtures under the default kind.
  for (const char* name : {"names", "attrs", "noattr", "noname.data", "unix", "update"}) {
    cases.push_back({name, u"", skMemoryAndTempFile});
  }
  cases.push_back({"encdata", kFixturePassword, skMemoryAndTempFile});
  cases.push_back({"enchead", kFixturePassword, skTempFile});
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Fixtures,
                         DrivoArchiveFuseFilesTest,
                         testing::ValuesIn(MountCases()),
                         [](const testing::TestParamInfo<TMountCase>& info) {
                           std::string name = info.param.Name;
                           std::replace(name.begin(), name.end(), '.', '_');
                           return name + "_" + KindName(info.param.Kind);
                         });

// ---------------------------------------------------------------------------------------
// Names and listings.

TEST_F(DrivoArchiveFuseTest, ListingsFollowTheTreeFoldersFirst) {
  ASSERT_TRUE(Mount("solid.7z"));
  EXPECT_EQ(ReadFolder(FFolder), std::vector<std::string>{"s"});
  EXPECT_EQ(ReadFolder(FFolder + "/s"),
            (std::vector<std::string>{"nothing", "empty.txt", "f1.txt", "f2.txt", "f3.txt",
                                      "f4.txt", "f5.txt", "f6.txt", "f7.txt"}));
  EXPECT_TRUE(ReadFolder(FFolder + "/s/nothing").empty());
}

// By default the names are the archive's own; only a name over 255 UTF-8 bytes is cut
// (before its extension). Every folder lists as the tree orders it.
TEST_F(DrivoArchiveFuseTest, NamesAreTheArchivesOwnAndListInTreeOrder) {
  ASSERT_TRUE(Mount("names.7z"));
  std::vector<std::string> root = ReadFolder(FFolder);
  for (const char* exact :
       {"con", "Aux.txt", "a:b", "x?", "trail.", "   ", "Case.txt", "case.txt"}) {
    EXPECT_NE(std::find(root.begin(), root.end(), exact), root.end()) << exact;
  }
  for (const char* fixed : {"_con", "_Aux.txt", "a_b", "x_", "Noname", "case (2).txt"}) {
    EXPECT_EQ(std::find(root.begin(), root.end(), fixed), root.end()) << fixed;
  }
  auto longName = std::find_if(root.begin(), root.end(),
                               [](const std::string& n) { return n.rfind("long-", 0) == 0; });
  ASSERT_NE(longName, root.end());
  EXPECT_EQ(longName->size(), 255u);
  EXPECT_EQ(longName->substr(longName->size() - 4), ".txt");

  // Every folder lists as the tree orders it: subfolders first, then files.
  std::map<IvrnBaseItem*, UString> paths = TreePaths();
  paths[Archive()] = u"";
  for (const auto& [item, path] : paths) {
    if (!item->IsFolder()) {
      continue;
    }
    auto folder = TComPtr<IvrnBaseItem>(item).Query<IvrnFolder>();
    std::vector<std::string> expected;
    for (std::int32_t i = 0; i < folder->GetFolderCount(); ++i) {
      expected.push_back(ToUtf8(folder->GetFolder(i)->GetName()));
    }
    for (std::int32_t i = 0; i < folder->GetFileCount(); ++i) {
      expected.push_back(ToUtf8(folder->GetFile(i)->GetName()));
    }
    std::string mounted = path.empty() ? FFolder : OnMount(path);
    EXPECT_EQ(ReadFolder(mounted), expected) << mounted;
  }
  // The two folders come before every file, whatever their names.
  ASSERT_GE(root.size(), 2u);
  std::vector<std::string> folders(root.begin(), root.begin() + 2);
  std::sort(folders.begin(), folders.end());
  EXPECT_EQ(folders, (std::vector<std::string>{"\xD0\xBF\xD0\xB0\xD0\xBF\xD0\xBA\xD0\xB0",
                                               "\xF0\x9F\x93\x81"}));  // папка, 📁
}

// With Windows names (--windows-names) reserved device names get a "_", forbidden
// characters become "_", a blank name is "Noname" and the second of two names that
// differ in case is renamed.
TEST_F(DrivoArchiveFuseTest, WindowsNamesAppearFixed) {
  TScopedNameRules windowsNames(nrWindows);
  ASSERT_TRUE(Mount("names.7z"));
  std::vector<std::string> root = ReadFolder(FFolder);
  for (const char* fixed :
       {"_con", "_Aux.txt", "a_b", "x_", "trail.", "Noname", "Case.txt", "case (2).txt"}) {
    EXPECT_NE(std::find(root.begin(), root.end(), fixed), root.end()) << fixed;
  }
  for (const char* raw : {"con", "Aux.txt", "a:b", "x?", "   ", "case.txt"}) {
    EXPECT_EQ(std::find(root.begin(), root.end(), raw), root.end()) << raw;
  }
}

// The archive's own names are looked up exactly, as Linux tools expect.
TEST_F(DrivoArchiveFuseTest, LookupsOfTheArchivesOwnNamesKeepCase) {
  ASSERT_TRUE(Mount("solid.7z"));
  struct stat st {};
  EXPECT_EQ(::stat((FFolder + "/s/f2.txt").c_str(), &st), 0);
  for (const char* name : {"/S/F2.TXT", "/s/F2.txt", "/S/f2.txt", "/S"}) {
    EXPECT_EQ(::stat((FFolder + name).c_str(), &st), -1) << name;
    EXPECT_EQ(errno, ENOENT) << name;
  }
}

TEST_F(DrivoArchiveFuseTest, LookupsOfWindowsNamesThatDifferOnlyInCaseFindTheItem) {
  TScopedNameRules windowsNames(nrWindows);
  std::vector<TListedEntry> listing = ReadListing("solid");
  ASSERT_TRUE(Mount("solid.7z"));
  struct stat st {};
  ASSERT_EQ(::stat((FFolder + "/S/NOTHING").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  for (const char* name : {"/S/F2.TXT", "/s/F2.txt", "/S/f2.Txt"}) {
    SCOPED_TRACE(name);
    TReadResult read = ReadWhole(FFolder + name);
    EXPECT_EQ(read.Error, 0);
    EXPECT_EQ(read.Size, 40000u);
    EXPECT_EQ(read.Crc, listing[4].Crc.value_or(0));  // s/f2.txt
  }
  EXPECT_EQ(::stat((FFolder + "/S/F8.TXT").c_str(), &st), -1);
  EXPECT_EQ(errno, ENOENT);
}

// What ls -lR and find do: a listing with every entry's attributes decodes nothing, and
// reading the links' targets decodes each block that holds a link once, and no other.
TEST_F(DrivoArchiveFuseTest, ListingLinksDecodesOnlyTheirBlocksOnce) {
  std::vector<TListedEntry> listing = ReadListing("unix");
  ASSERT_TRUE(Mount("unix.7z"));
  std::vector<std::string> links;
  std::vector<std::string> pending{FFolder};
  while (!pending.empty()) {
    std::string folder = pending.back();
    pending.pop_back();
    for (const std::string& name : ReadFolder(folder)) {
      std::string path = folder + "/" + name;
      struct stat st {};
      ASSERT_EQ(::lstat(path.c_str(), &st), 0) << path;
      if (S_ISDIR(st.st_mode)) {
        pending.push_back(path);
      } else if (S_ISLNK(st.st_mode)) {
        links.push_back(path);
      }
    }
  }
  EXPECT_EQ(FThread->ExtractionCount(), 0u);

  std::set<std::uint32_t> linkBlocks;
  for (const TListedEntry& e : listing) {
    if (e.UnixMode && S_ISLNK(*e.UnixMode)) {
      ASSERT_TRUE(e.Block);
      linkBlocks.insert(*e.Block);
    }
  }
  ASSERT_EQ(links.size(), 4u);
  ASSERT_LT(linkBlocks.size(), 4u) << "the fixture puts two links in one block";
  for (int round = 0; round < 2; ++round) {
    for (const std::string& link : links) {
      char target[256];
      EXPECT_GT(::readlink(link.c_str(), target, sizeof target), 0) << link;
    }
    EXPECT_EQ(FThread->ExtractionCount(), linkBlocks.size()) << "round " << round;
  }
  for (std::int32_t i = 0; i < static_cast<std::int32_t>(listing.size()); ++i) {
    if (!listing[i].Folder && listing[i].Block && !linkBlocks.count(*listing[i].Block)) {
      auto file = TComPtr<IvrnBaseItem>(Archive()->GetItem(i)).Query<IvrnFile>();
      EXPECT_FALSE(file->IsExtracted()) << listing[i].Path << " in a block without links";
    }
  }
}

// ---------------------------------------------------------------------------------------
// A read-only volume.

TEST_F(DrivoArchiveFuseTest, EveryChangeIsRefusedAsReadOnly) {
  ASSERT_TRUE(Mount("plain.7z"));
  const std::string file = FFolder + "/top.txt";
  const std::string folder = FFolder + "/docs";
  for (int flags : {O_WRONLY, O_RDWR, O_RDONLY | O_TRUNC, O_WRONLY | O_APPEND}) {
    errno = 0;
    EXPECT_EQ(::open(file.c_str(), flags | O_CLOEXEC), -1) << "flags " << flags;
    EXPECT_EQ(errno, EROFS) << "flags " << flags;
  }
  auto expectRofs = [](int result, const char* what) {
    EXPECT_EQ(result, -1) << what;
    EXPECT_EQ(errno, EROFS) << what;
  };
  expectRofs(::open((FFolder + "/new.txt").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644),
             "create");
  expectRofs(::mkdir((FFolder + "/newdir").c_str(), 0755), "mkdir");
  expectRofs(::unlink(file.c_str()), "unlink");
  expectRofs(::rmdir((FFolder + "/docs/empty").c_str()), "rmdir");
  expectRofs(::rename(file.c_str(), (FFolder + "/moved.txt").c_str()), "rename");
  expectRofs(::chmod(file.c_str(), 0666), "chmod");
  expectRofs(::chmod(folder.c_str(), 0777), "chmod folder");
  expectRofs(::truncate(file.c_str(), 0), "truncate");
  expectRofs(::utimes(file.c_str(), nullptr), "utimes");
  expectRofs(::symlink("top.txt", (FFolder + "/link").c_str()), "symlink");
  expectRofs(::link(file.c_str(), (FFolder + "/hard.txt").c_str()), "link");
  expectRofs(::mknod((FFolder + "/fifo").c_str(), S_IFIFO | 0644, 0), "mknod");
  expectRofs(::chown(file.c_str(), ::getuid(), ::getgid()), "chown");
  expectRofs(::setxattr(file.c_str(), "user.note", "x", 1, 0), "setxattr");
  expectRofs(::removexattr(file.c_str(), "user.note"), "removexattr");

  // The volume says so itself, with the name limit and the size of the archive's disk.
  struct statvfs volume {};
  struct statvfs disk {};
  ASSERT_EQ(::statvfs(FFolder.c_str(), &volume), 0);
  ASSERT_EQ(::statvfs(ToUtf8(FixtureFolder()).c_str(), &disk), 0);
  EXPECT_NE(volume.f_flag & ST_RDONLY, 0u);
  EXPECT_EQ(volume.f_namemax, 255u);
  EXPECT_EQ(std::uint64_t(volume.f_blocks) * volume.f_frsize / 4096,
            std::uint64_t(disk.f_blocks) * disk.f_frsize / 4096);

  // Nothing changed.
  TReadResult read = ReadWhole(file);
  EXPECT_EQ(read.Error, 0);
  EXPECT_EQ(read.Size, 4u);
}

// ---------------------------------------------------------------------------------------
// Reads that fail.

TEST_F(DrivoArchiveFuseTest, AWrongDataPasswordGivesEioAndAMessagePerFailedRead) {
  std::vector<TListedEntry> listing = ReadListing("encdata");
  ASSERT_TRUE(Mount("encdata.7z", u"wrong"));
  std::vector<std::string> files;
  for (const TListedEntry& e : listing) {
    if (!e.Folder) {
      files.push_back(e.Path);
    }
  }
  for (int round = 0; round < 2; ++round) {
    for (const std::string& name : files) {
      SCOPED_TRACE(name);
      // Fresh reads each round: nothing of a failed read stays in the page cache.
      EXPECT_EQ(ReadWhole(FFolder + "/" + name).Error, EIO);
      std::vector<UString> messages = Messages();
      ASSERT_FALSE(messages.empty()) << "round " << round;
      for (const UString& m : messages) {
        EXPECT_EQ(ToUtf8(m), "Data error: " + name);
      }
    }
  }
  EXPECT_EQ(FThread->ExtractionCount(), 1u) << "files marked with an error are not retried";
  // One message for each read the volume failed, none more: the counts were drained
  // above, so compare the totals through a last read.
  const int before = FThread->FFailedReads;
  EXPECT_EQ(ReadWhole(FFolder + "/one.txt").Error, EIO);
  EXPECT_EQ(static_cast<int>(Messages().size()), FThread->FFailedReads - before);
}

// ---------------------------------------------------------------------------------------
// Many readers, and an unmount during an extraction.

TEST_F(DrivoArchiveFuseTest, SixteenReadersOfOneSolidBlockGetTheirBytesFromOneExtraction) {
  std::vector<TListedEntry> listing = ReadListing("long");
  ASSERT_EQ(listing.size(), 6u);
  ASSERT_TRUE(Mount("long.7z", u"", skMemoryAndTempFile));
  constexpr int kReaders = 16;
  std::mt19937 random(20240229);
  std::vector<int> chosen(kReaders);
  for (int& c : chosen) {
    c = static_cast<int>(random() % listing.size());
  }
  std::atomic<int> ready{0};
  std::vector<TReadResult> results(kReaders);
  std::vector<std::thread> readers;
  for (int i = 0; i < kReaders; ++i) {
    readers.emplace_back([&, i] {
      ++ready;
      while (ready < kReaders) {
        std::this_thread::yield();
      }
      results[i] = ReadWhole(FFolder + "/" + listing[chosen[i]].Path);
    });
  }
  for (std::thread& t : readers) {
    t.join();
  }
  for (int i = 0; i < kReaders; ++i) {
    const TListedEntry& e = listing[chosen[i]];
    EXPECT_EQ(results[i].Error, 0) << "reader " << i << ": " << e.Path;
    EXPECT_EQ(results[i].Size, e.Size) << "reader " << i << ": " << e.Path;
    EXPECT_EQ(results[i].Crc, e.Crc.value_or(0)) << "reader " << i << ": " << e.Path;
  }
  EXPECT_EQ(FThread->ExtractionCount(), 1u);
  EXPECT_TRUE(Messages().empty());
}

// Files of their own read in order: after two of them the worker unpacks the next ones
// in groups ahead of the reader, and every file still reads whole.
TEST_F(DrivoArchiveFuseTest, FilesOfTheirOwnReadInOrderAreReadAhead) {
  std::vector<TListedEntry> listing = ReadListing("many");
  ASSERT_TRUE(Mount("many.7z", u"", skDisk));
  int files = 0;
  for (const TListedEntry& e : listing) {
    if (e.Folder) {
      continue;
    }
    ++files;
    TReadResult got = ReadWhole(FFolder + "/" + e.Path);
    EXPECT_EQ(got.Error, 0) << e.Path;
    EXPECT_EQ(got.Size, e.Size) << e.Path;
    EXPECT_EQ(got.Crc, e.Crc.value_or(0)) << e.Path;
  }
  ASSERT_EQ(files, 241);
  EXPECT_GE(FThread->ReadAheadCount(), 3u);
  EXPECT_LT(FThread->ExtractionCount(), 20u) << "reads extracted their files one by one";
  EXPECT_TRUE(Messages().empty());
}

// Reads that jump about and run at once give up read-ahead groups half done; the files
// a stopped group did not finish are extracted again, whole.
TEST_F(DrivoArchiveFuseTest, ReadsOutOfOrderStopTheReadAheadAndStillReadWhole) {
  std::vector<TListedEntry> listing = ReadListing("many");
  std::erase_if(listing, [](const TListedEntry& e) { return e.Folder; });
  ASSERT_TRUE(Mount("many.7z", u"", skTempFile));
  // In order runs of five from random places, by four readers at once.
  constexpr int kReaders = 4;
  std::vector<std::vector<std::size_t>> plans(kReaders);
  std::mt19937 random(20261211);
  for (std::vector<std::size_t>& plan : plans) {
    for (int run = 0; run < 12; ++run) {
      std::size_t start = random() % listing.size();
      for (std::size_t i = start; i < std::min(start + 5, listing.size()); ++i) {
        plan.push_back(i);
      }
    }
  }
  std::vector<std::vector<TReadResult>> results(kReaders);
  std::vector<std::thread> readers;
  for (int r = 0; r < kReaders; ++r) {
    readers.emplace_back([&, r] {
      for (std::size_t i : plans[r]) {
        results[r].push_back(ReadWhole(FFolder + "/" + listing[i].Path));
      }
    });
  }
  for (std::thread& t : readers) {
    t.join();
  }
  for (int r = 0; r < kReaders; ++r) {
    for (std::size_t k = 0; k < plans[r].size(); ++k) {
      const TListedEntry& e = listing[plans[r][k]];
      EXPECT_EQ(results[r][k].Error, 0) << "reader " << r << ": " << e.Path;
      EXPECT_EQ(results[r][k].Size, e.Size) << "reader " << r << ": " << e.Path;
      EXPECT_EQ(results[r][k].Crc, e.Crc.value_or(0)) << "reader " << r << ": " << e.Path;
    }
  }
  // And everything afterwards, in order.
  for (const TListedEntry& e : listing) {
    TReadResult got = ReadWhole(FFolder + "/" + e.Path);
    EXPECT_EQ(got.Crc, e.Crc.value_or(0)) << e.Path;
    EXPECT_EQ(got.Size, e.Size) << e.Path;
  }
  EXPECT_TRUE(Messages().empty());
}

TEST_F(DrivoArchiveFuseTest, TheFirstFileOfALongBlockReadsBeforeTheBlockIsUnpacked) {
  std::vector<TListedEntry> listing = ReadListing("long");
  ASSERT_TRUE(Mount("long.7z", u"", skTempFile));
  auto fileAt = [&](const char16_t* name) {
    return TComPtr<IvrnBaseItem>(Archive()->FindItem(name)).Query<IvrnFile>();
  };
  auto listed = [&](const std::string& path) {
    return *std::find_if(listing.begin(), listing.end(),
                         [&](const TListedEntry& e) { return e.Path == path; });
  };

  // part1.bin is the first MiB of 35: its first read is served while the pass goes on.
  const int fd = open((FFolder + "/part1.bin").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0) << strerror(errno);
  char bytes[4096];
  const ssize_t got = pread(fd, bytes, sizeof bytes, 0);
  const bool lastExtracted = fileAt(u"part6.bin")->IsExtracted();
  std::uint64_t completed = 0, total = 0;
  const bool running = FThread->GetProgress(completed, total);
  close(fd);
  EXPECT_EQ(got, static_cast<ssize_t>(sizeof bytes));
  EXPECT_FALSE(lastExtracted) << "the read waited for the whole block";
  EXPECT_TRUE(running) << completed << " of " << total;
  TReadResult first = ReadWhole(FFolder + "/part1.bin");
  EXPECT_EQ(first.Error, 0);
  EXPECT_EQ(first.Size, listed("part1.bin").Size);
  EXPECT_EQ(first.Crc, listed("part1.bin").Crc.value_or(0));

  // The last file comes from the same pass, whole.
  TReadResult last = ReadWhole(FFolder + "/part6.bin");
  EXPECT_EQ(last.Error, 0);
  EXPECT_EQ(last.Size, listed("part6.bin").Size);
  EXPECT_EQ(last.Crc, listed("part6.bin").Crc.value_or(0));
  EXPECT_EQ(FThread->ExtractionCount(), 1u);
  EXPECT_TRUE(Messages().empty());
}

TEST_F(DrivoArchiveFuseTest, AnUnmountFromOutsideStopsAPassNoReadWaitsFor) {
  ASSERT_TRUE(Mount("long.7z", u"", skTempFile));
  {
    const int fd = open((FFolder + "/part1.bin").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0) << strerror(errno);
    char bytes[4096];
    EXPECT_EQ(pread(fd, bytes, sizeof bytes, 0), static_cast<ssize_t>(sizeof bytes));
    close(fd);
  }
  // The pass goes on alone; the volume going ends it rather than waiting for the block.
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(::umount2(FFolder.c_str(), UMOUNT_NOFOLLOW), 0) << strerror(errno);
  EXPECT_TRUE(FThread->WaitFor(10s));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
  auto last = TComPtr<IvrnBaseItem>(Archive()->FindItem(u"part6.bin")).Query<IvrnFile>();
  ASSERT_TRUE(last);
  EXPECT_FALSE(last->IsExtracted());
  EXPECT_EQ(FThread->ExtractionCount(), 1u);

  Unmount();
  FArchiveThread.reset();
  EXPECT_TRUE(OpenTempFiles().empty());
}

TEST_F(DrivoArchiveFuseTest, UnmountDuringALongExtractionStopsItAndLeavesNoTempFile) {
  ASSERT_TRUE(Mount("long.7z", u"", skTempFile));
  // The mount's temporary file is open, and already unlinked: nothing can be left on disk.
  std::vector<std::string> tempFiles = OpenTempFiles();
  ASSERT_EQ(tempFiles.size(), 1u);
  EXPECT_TRUE(tempFiles[0].ends_with(" (deleted)")) << tempFiles[0];

  // A reader of the block's last file waits inside the extraction of all six.
  struct TReader {
    std::atomic<bool> Done{false};
    TReadResult Result;
  };
  auto reader = std::make_shared<TReader>();
  std::thread thread([reader, path = FFolder + "/part6.bin"] {
    reader->Result = ReadWhole(path);
    reader->Done = true;
  });
  bool active = false;
  std::uint64_t completed = 0, total = 0;
  for (int i = 0; i < 5000 && !(active = FThread->GetProgress(completed, total)); ++i) {
    std::this_thread::sleep_for(1ms);
  }
  // No early return from here on: the reader must be joined.
  EXPECT_TRUE(active) << "no extraction started";

  const auto start = std::chrono::steady_clock::now();
  FThread->UnmountDrive();
  const bool ended = FThread->WaitFor(10s);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_TRUE(ended);
  EXPECT_LT(elapsed, 1s);
  EXPECT_EQ(FThread->ResultCode(), 0);

  for (int i = 0; i < 500 && !reader->Done; ++i) {
    std::this_thread::sleep_for(10ms);
  }
  if (reader->Done) {
    thread.join();
    EXPECT_NE(reader->Result.Error, 0) << "the read cannot have completed";
  } else {
    ADD_FAILURE() << "the reader is still blocked after the unmount";
    thread.detach();
  }
  // The extraction gave up before it reached the last file.
  {
    auto last = TComPtr<IvrnBaseItem>(Archive()->FindItem(u"part6.bin")).Query<IvrnFile>();
    ASSERT_TRUE(last);
    EXPECT_FALSE(last->IsExtracted());
  }

  Unmount();
  FArchiveThread.reset();
  EXPECT_TRUE(OpenTempFiles().empty());
}

}  // namespace
