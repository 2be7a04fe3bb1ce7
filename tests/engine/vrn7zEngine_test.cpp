// End-to-end tests of the engine binding on the real 7-Zip library.
//
// The archives come from tests/fixtures/make_fixtures.py, generated into the build tree
// with 7z; beside each one lies its listing by 7z itself (NAME.tsv), which is what the
// imported tree and the extracted bytes are held against. The tests open every fixture
// through the plug-in registry (password outcomes, engine failures, files of other
// kinds), compare the tree with the listing (paths, folder flags, sizes, masked
// attributes, times, solid blocks), ask the plug-in to recognise files, and extract
// every file under each store kind, with damaged data, wrong passwords and a stop
// request in the middle of a long block.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <cstdint>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "engine/vrn7zPlugin.h"
#include "model/vrnArchive.h"
#include "model/vrnItems.h"
#include "model/vrnPlugins.h"
#include "platform/vrnFiles.h"
#include "platform/vrnTime.h"
#include "tests/support/vrnFixtures.h"
#include "vfs/vrnData.h"
#include "vfs/vrnDrivo.h"

static void PrintTo(TvrnStoreKind kind, std::ostream* os) {
  *os << KindName(kind);
}

namespace {

// The path the tree gives a listed entry before FixNames.
UString ExpectedTreePath(const TListedEntry& entry) {
  UString path = FromUtf8(entry.Path);
  // A "\\" within a name is U+F05C in the tree, as the Windows library gives it.
  std::replace(path.begin(), path.end(), u'\\', u'\uF05C');
  std::replace(path.begin(), path.end(), u'/', u'\\');
  return NormalizePath(path, DefaultNameRules());
}

// The attributes the import leaves in the find record: read-only, hidden, system and
// archive kept, the folder bit for folders, 0x80 for a file with none; on Linux also the
// unix mode with its flag.
DWORD ExpectedAttributes(const TListedEntry& entry) {
  DWORD result = 0;
#if !defined(_WIN32)
  if (entry.UnixMode) {
    result |= kUnixExtensionAttribute | (*entry.UnixMode << 16);
  }
#endif
  if (entry.Attributes) {
    for (char letter : *entry.Attributes) {
      switch (letter) {
        case 'R':
          result |= 0x1;
          break;
        case 'H':
          result |= 0x2;
          break;
        case 'S':
          result |= 0x4;
          break;
        case 'A':
          result |= 0x20;
          break;
        default:
          break;
      }
    }
  }
  if (entry.Folder) {
    return result | 0x10;
  }
  return result == 0 ? 0x80 : result;
}

// What a store holds: its size as read back and the CRC-32 of its bytes.
struct TStoreContent {
  std::uint64_t Size = 0;
  std::uint32_t Crc = 0;
  NTSTATUS Status = 0;
};

TStoreContent ReadStore(IvrnData& data) {
  TStoreContent result;
  std::vector<std::uint8_t> buffer(1 << 20);
  for (;;) {
    std::uint32_t done = 0;
    result.Status =
        data.ReadAt(buffer.data(), result.Size, static_cast<std::uint32_t>(buffer.size()), done);
    if (result.Status != 0 || done == 0) {
      return result;
    }
    result.Crc = UpdateCrc(result.Crc, buffer.data(), done);
    result.Size += done;
  }
}

// Every item below Folder with its tree path ("a\b.txt").
void CollectPaths(IvrnFolder* folder,
                  const UString& prefix,
                  std::map<IvrnBaseItem*, UString>& paths) {
  for (std::int32_t i = 0; i < folder->GetFolderCount(); ++i) {
    IvrnFolder* sub = folder->GetFolder(i);
    UString path = prefix + sub->GetName();
    paths[sub] = path;
    CollectPaths(sub, path + u"\\", paths);
  }
  for (std::int32_t i = 0; i < folder->GetFileCount(); ++i) {
    IvrnFile* file = folder->GetFile(i);
    paths[file] = prefix + file->GetName();
  }
}

TComPtr<IvrnFile> FileAt(IvrnArchive* archive, std::int32_t index) {
  return TComPtr<IvrnBaseItem>(archive->GetItem(index)).Query<IvrnFile>();
}

std::uint64_t FindDataSize(IvrnBaseItem* item) {
  WIN32_FIND_DATAW fd;
  item->GetFindData(fd);
  return (std::uint64_t(fd.nFileSizeHigh) << 32) | fd.nFileSizeLow;
}

// Records the engine's progress; optionally sets a stop flag once Completed reaches a
// mark, as an unmount would in the middle of a long extraction.
class TProgressSink : public TInterfacedObject<IvrnProgress> {
 public:
  void Progress(std::uint64_t completed, std::uint64_t total) override {
    LastCompleted = completed;
    LastTotal = total;
    MaxCompleted = std::max(MaxCompleted, completed);
    if (StopFlag != nullptr && completed >= StopAt && !StopFlag->load()) {
      StoppedAt = completed;
      StopFlag->store(true);
    }
  }

  std::atomic<bool>* StopFlag = nullptr;
  std::uint64_t StopAt = 0;
  std::uint64_t StoppedAt = 0;
  std::uint64_t LastCompleted = 0, LastTotal = 0, MaxCompleted = 0;
};

// Registers the real library's 7z format for each test and releases it after; other
// tests of this program register plug-ins of their own between.
class EngineTest : public testing::Test {
 protected:
  void SetUp() override {
    RegisterEngineFormats();
    ASSERT_EQ(EngineLibraries().size(), 1u) << ToUtf8(EngineLibraryPath());
  }
  void TearDown() override {
    ReleasePlugins();
    ReleaseEngineLibraries();
  }

  // Opens a fixture through the registry; fails the test when it does not open.
  static TComPtr<IvrnArchive> Open(const std::string& file, const UString& password = u"") {
    std::atomic<bool> abort{false};
    TvrnOpenResult result = OpenArchiveFile(&abort, FixturePath(file), password);
    EXPECT_TRUE(result.Archive) << file << ": " << ToUtf8(result.ErrorText);
    return result.Archive;
  }
};

// ---------------------------------------------------------------------------------
// Opening: every fixture opens, or fails with the text its fault calls for.

enum TOpenOutcome { ooOpens, ooWrongPassword, ooEngineFailure, ooNotRecognised };

struct TOpenCase {
  const char* File;
  UString Password;
  TOpenOutcome Outcome;
};

void PrintTo(const TOpenCase& c, std::ostream* os) {
  *os << c.File << " with password '" << ToUtf8(c.Password) << "'";
}

class EngineOpenTest : public EngineTest, public testing::WithParamInterface<TOpenCase> {};

TEST_P(EngineOpenTest, OpensOrFailsWithTheRightText) {
  const TOpenCase& c = GetParam();
  std::atomic<bool> abort{false};
  TvrnOpenResult result = OpenArchiveFile(&abort, FixturePath(c.File), c.Password);
  switch (c.Outcome) {
    case ooOpens:
      EXPECT_TRUE(result.Archive) << ToUtf8(result.ErrorText);
      EXPECT_EQ(result.ErrorText, u"");
      break;
    case ooWrongPassword:
      EXPECT_FALSE(result.Archive);
      EXPECT_EQ(result.ErrorText, u"Wrong password?");
      break;
    case ooEngineFailure:
      // The engine refused the file without asking for a password.
      EXPECT_FALSE(result.Archive);
      EXPECT_EQ(result.ErrorText, EFalseError().Message());
      break;
    case ooNotRecognised:
      EXPECT_FALSE(result.Archive);
      EXPECT_EQ(result.ErrorText, u"") << "no plug-in should have tried the file";
      break;
  }
}

const TOpenCase kOpenCases[] = {
    {"plain.7z", u"", ooOpens},
    {"plain.7z", u"typed anyway", ooOpens},
    {"solid.7z", u"", ooOpens},
    {"names.7z", u"", ooOpens},
    {"attrs.7z", u"", ooOpens},
    {"noattr.7z", u"", ooOpens},
    {"noname.data.7z", u"", ooOpens},
    {"empty.7z", u"", ooOpens},
    {"long.7z", u"", ooOpens},
    {"damaged.7z", u"", ooOpens},
    {"encdata.7z", u"", ooOpens},
    {"encdata.7z", u"wrong", ooOpens},
    {"enchead.7z", kFixturePassword, ooOpens},
    {"enchead.7z", u"", ooWrongPassword},
    {"enchead.7z", u"wrong", ooWrongPassword},
    {"enchead.7z", u"P\u00e4ssw\u00f6rd", ooWrongPassword},
    {"truncated.7z", u"", ooEngineFailure},
    {"other.zip", u"", ooNotRecognised},
    {"text.txt", u"", ooNotRecognised},
    {"head.7z", u"", ooNotRecognised},
    // The recogniser looks at the start of the file only, so an archive behind other
    // bytes is not offered to the engine.
    {"junk.7z", u"", ooNotRecognised},
};

std::string CaseName(std::string file, const UString& password) {
  std::string name = file + (password.empty() ? "" : "_" + ToUtf8(password));
  for (char& ch : name) {
    if (!std::isalnum(static_cast<unsigned char>(ch))) {
      ch = '_';
    }
  }
  return name;
}

INSTANTIATE_TEST_SUITE_P(Engine,
                         EngineOpenTest,
                         testing::ValuesIn(kOpenCases),
                         [](const testing::TestParamInfo<TOpenCase>& info) {
                           return std::to_string(info.index) + "_" +
                                  CaseName(info.param.File, info.param.Password);
                         });

TEST_F(EngineTest, AMissingFileRaisesCannotOpen) {
  std::atomic<bool> abort{false};
  try {
    OpenArchiveFile(&abort, FixturePath("no-such-archive.7z"), u"");
    ADD_FAILURE() << "no error raised";
  } catch (const EOSError& e) {
    EXPECT_EQ(e.Message().rfind(u"Cannot open file", 0), 0u) << e.what();
  }
}

// ---------------------------------------------------------------------------------
// Import: the tree equals what 7z lists.

struct TFixture {
  const char* Name;  // the archive is Name.7z, its listing Name.tsv
  UString Password;
};

void PrintTo(const TFixture& f, std::ostream* os) {
  *os << f.Name << ".7z with password '" << ToUtf8(f.Password) << "'";
}

class EngineImportTest : public EngineTest, public testing::WithParamInterface<TFixture> {};

TEST_P(EngineImportTest, TreeEqualsTheListing) {
  const TFixture& f = GetParam();
  std::vector<TListedEntry> listing = ReadListing(f.Name);
  TComPtr<IvrnArchive> archive = Open(std::string(f.Name) + ".7z", f.Password);
  ASSERT_TRUE(archive);
  auto* root = dynamic_cast<TvrnArchive*>(archive.Get());
  ASSERT_NE(root, nullptr);

  const auto count = static_cast<std::int32_t>(listing.size());
  ASSERT_EQ(root->Items().Count(), count);
  EXPECT_THROW(archive->GetItem(count), EListError);

  std::map<IvrnBaseItem*, UString> paths;
  CollectPaths(archive.Get(), u"", paths);
  std::map<std::string, int> seenLower;  // names the tree had to make unique at once
  for (std::int32_t i = 0; i < count; ++i) {
    const TListedEntry& e = listing[i];
    SCOPED_TRACE(e.Path);
    IvrnBaseItem* item = archive->GetItem(i);
    if (e.Anti) {
      EXPECT_EQ(item, nullptr) << "a deletion marker is in the tree";
      continue;
    }
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->GetIndex(), i);
    EXPECT_EQ(item->IsFolder(), e.Folder);

    UString expected = ExpectedTreePath(e);
    std::string lower = ToUtf8(expected);
    if (DefaultNameRules() == nrWindows) {
      std::transform(lower.begin(), lower.end(), lower.begin(),
                     [](unsigned char ch) { return std::tolower(ch); });
    }
    ASSERT_TRUE(paths.count(item)) << "the item is not in the tree";
    if (seenLower[lower]++ == 0) {
      EXPECT_EQ(ToUtf8(paths[item]), ToUtf8(expected));
    } else {
      // A second file that differs only in case is renamed when it is added (Windows
      // names).
      EXPECT_NE(ToUtf8(paths[item]), ToUtf8(expected));
    }

    WIN32_FIND_DATAW fd;
    item->GetFindData(fd);
    EXPECT_EQ(fd.dwFileAttributes, ExpectedAttributes(e))
        << "listed as '" << e.Attributes.value_or("(none)") << "'";
    EXPECT_EQ(FindDataSize(item), e.Size);
    EXPECT_EQ(FileTimeToUInt64(fd.ftLastWriteTime), e.Modified.value_or(0));
    EXPECT_EQ(FileTimeToUInt64(fd.ftCreationTime), e.Created.value_or(0));
    EXPECT_EQ(FileTimeToUInt64(fd.ftLastAccessTime), e.Accessed.value_or(0));
    EXPECT_EQ(UString(AsU16(fd.cFileName)), item->GetName().substr(0, 259));
  }

  // Folders the archive does not list exist only as parts of longer paths.
  for (const auto& [item, path] : paths) {
    if (item->GetIndex() < 0) {
      EXPECT_TRUE(item->IsFolder()) << ToUtf8(path);
    }
  }

  // Blocks: the files of one listed block number share one TvrnBlock, in archive order;
  // a block of one file and files without a block are extracted alone.
  std::map<std::uint32_t, std::vector<std::int32_t>> byBlock;
  for (std::int32_t i = 0; i < count; ++i) {
    if (!listing[i].Folder && listing[i].Block) {
      byBlock[*listing[i].Block].push_back(i);
    }
  }
  int shared = 0;
  for (const auto& [number, members] : byBlock) {
    SCOPED_TRACE("block " + std::to_string(number));
    TvrnBlock* block = FileAt(archive.Get(), members[0])->GetBlock();
    if (members.size() == 1) {
      EXPECT_EQ(block, nullptr);
      continue;
    }
    ++shared;
    ASSERT_NE(block, nullptr);
    ASSERT_EQ(block->Count(), static_cast<std::int32_t>(members.size()));
    for (std::size_t k = 0; k < members.size(); ++k) {
      TComPtr<IvrnFile> file = FileAt(archive.Get(), members[k]);
      EXPECT_EQ(file->GetBlock(), block);
      EXPECT_EQ(block->GetItem(static_cast<std::int32_t>(k)), file.Get());
    }
  }
  for (std::int32_t i = 0; i < count; ++i) {
    if (!listing[i].Folder && !listing[i].Anti && !listing[i].Block) {
      EXPECT_EQ(FileAt(archive.Get(), i)->GetBlock(), nullptr) << listing[i].Path;
    }
  }
  EXPECT_EQ(root->Blocks().Count(), shared);
}

std::string FixtureName(const testing::TestParamInfo<TFixture>& info) {
  return CaseName(info.param.Name, info.param.Password.empty() ? u"" : u"password");
}

const TFixture kImportFixtures[] = {
    {"plain", u""}, {"solid", u""},   {"names", u""},
    {"attrs", u""}, {"noattr", u""},  {"noname.data", u""},
    {"empty", u""}, {"encdata", u""}, {"enchead", kFixturePassword},
    {"long", u""},  {"damaged", u""}, {"unix", u""},   {"update", u""},
};
INSTANTIATE_TEST_SUITE_P(Engine, EngineImportTest, testing::ValuesIn(kImportFixtures), FixtureName);

// ---------------------------------------------------------------------------------
// The plug-in: registration and recognition.

// The index of the library's one 7z format.
UInt32 SevenZipFormat(const Tvrn7zDll& dll) {
  std::vector<UInt32> formats;
  for (UInt32 i = 0; i < dll.FormatCount(); ++i) {
    if (dll.FormatGUIDProperty(i, kHandlerPropClassID) == CLSID_Format7z) {
      formats.push_back(i);
    }
  }
  EXPECT_EQ(formats.size(), 1u);
  return formats.empty() ? 0 : formats[0];
}

TEST_F(EngineTest, ThePluginRecognisesOnly7z) {
  Tvrn7zPlugin plugin(EngineLibraries()[0].get(), SevenZipFormat(*EngineLibraries()[0]));
  EXPECT_EQ(plugin.ClassID(), CLSID_Format7z);

  struct {
    const char* File;
    bool Recognised;
  } cases[] = {
      {"plain.7z", true},  {"solid.7z", true},     {"enchead.7z", true},
      {"empty.7z", true},  {"truncated.7z", true}, {"other.zip", false},
      {"text.txt", false}, {"head.7z", false},     {"junk.7z", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.File);
    TFileStream stream(OpenFileDenyWrite(FixturePath(c.File)));
    std::vector<std::uint8_t> buffer(
        static_cast<std::size_t>(std::min<std::uint64_t>(stream.Size(), kArchiveHeadSize)));
    stream.ReadBuffer(buffer.data(), static_cast<std::uint32_t>(buffer.size()));
    EXPECT_EQ(plugin.CheckFormat(FixturePath(c.File), stream, buffer), c.Recognised);
  }
}

// Given the file anyway, the engine looks for the archive's start within the first 4 MiB.
TEST_F(EngineTest, TheEngineFindsAnArchiveAfterOtherBytes) {
  Tvrn7zPlugin plugin(EngineLibraries()[0].get(), SevenZipFormat(*EngineLibraries()[0]));
  auto stream = std::make_unique<TFileStream>(OpenFileDenyWrite(FixturePath("junk.7z")));
  std::atomic<bool> abort{false};
  TComPtr<IvrnArchive> archive = plugin.OpenArchive(&abort, FixturePath("junk.7z"), u"", stream);
  ASSERT_TRUE(archive);
  EXPECT_FALSE(stream) << "the archive takes the file over";
  auto* root = dynamic_cast<TvrnArchive*>(archive.Get());
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(root->Items().Count(), static_cast<std::int32_t>(ReadListing("junk").size()));
}

// A cancel during the open ends the import too: the Linux library calls no progress
// callback while it opens, so only the import itself can see the flag.
TEST_F(EngineTest, ACancelledOpenImportsNothing) {
  Tvrn7zPlugin plugin(EngineLibraries()[0].get(), SevenZipFormat(*EngineLibraries()[0]));
  auto stream = std::make_unique<TFileStream>(OpenFileDenyWrite(FixturePath("names.7z")));
  std::atomic<bool> abort{true};
  EXPECT_THROW(plugin.OpenArchive(&abort, FixturePath("names.7z"), u"", stream), EvrnError);
}

// ---------------------------------------------------------------------------------
// Extraction.

struct TExtractCase {
  TFixture Fixture;
  TvrnStoreKind Kind;
};

void PrintTo(const TExtractCase& c, std::ostream* os) {
  PrintTo(c.Fixture, os);
  *os << ", store kind " << KindName(c.Kind);
}

class EngineExtractTest : public EngineTest, public testing::WithParamInterface<TExtractCase> {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    FTempStore = MakeCounted<TvrnTempFile>();
  }

  // The mount's temporary file that memory-and-temp-file stores spill into.
  TComPtr<IvrnData> FTempStore;
};

// What a finished extraction must leave on a listed file: the error flag as 7z t saw
// it, and, for good data, a store of the listed size and CRC.
void ExpectExtracted(IvrnFile* file, const TListedEntry& e, std::optional<TvrnStoreKind> kind) {
  SCOPED_TRACE(e.Path);
  ASSERT_TRUE(file->IsExtracted());
  EXPECT_EQ(file->GetDataError(), e.Broken);
  if (e.Broken) {
    return;
  }
  TComPtr<IvrnData> data = file->GetData();
  ASSERT_TRUE(data);
  TStoreContent content = ReadStore(*data);
  EXPECT_EQ(content.Status, 0);
  EXPECT_EQ(data->GetSize(), e.Size);
  EXPECT_EQ(content.Size, e.Size);
  EXPECT_EQ(content.Crc, e.Crc.value_or(0));
  if (kind) {
    // Every fixture file fits the 64 MiB of the memory store.
    EXPECT_EQ(bool(data.Query<IvrnMemoryData>()), *kind == skMemory);
  }
}

TEST_P(EngineExtractTest, EveryFileComesOutAsListed) {
  const TExtractCase& c = GetParam();
  std::vector<TListedEntry> listing = ReadListing(c.Fixture.Name);
  TComPtr<IvrnArchive> archive = Open(std::string(c.Fixture.Name) + ".7z", c.Fixture.Password);
  ASSERT_TRUE(archive);

  // One Extract per block and per file that stands alone: each call leaves every file
  // of its block extracted.
  std::atomic<bool> abort{false};
  int calls = 0;
  std::map<std::uint32_t, int> blockSizes;
  for (const TListedEntry& e : listing) {
    if (!e.Folder && e.Block) {
      ++blockSizes[*e.Block];
    }
  }
  int expectedCalls = 0;
  for (const TListedEntry& e : listing) {
    expectedCalls += e.Folder || e.Anti ? 0 : 1;
  }
  for (const auto& [number, size] : blockSizes) {
    expectedCalls -= size - 1;
  }
  for (std::int32_t i = 0; i < static_cast<std::int32_t>(listing.size()); ++i) {
    if (listing[i].Folder || listing[i].Anti) {
      continue;
    }
    TComPtr<IvrnFile> file = FileAt(archive.Get(), i);
    ASSERT_TRUE(file) << listing[i].Path;
    if (file->IsExtracted()) {
      continue;
    }
    auto progress = MakeCounted<TProgressSink>();
    archive->Extract(&abort, progress.Get(), file.Get(), FTempStore, c.Kind);
    ++calls;
    EXPECT_TRUE(file->IsExtracted()) << listing[i].Path;
    if (!listing[i].Broken) {
      // The unpacked amount reaches the total that the engine announced.
      EXPECT_EQ(progress->LastCompleted, progress->LastTotal) << listing[i].Path;
      EXPECT_GE(progress->LastTotal, listing[i].Size) << listing[i].Path;
    }
    if (TvrnBlock* block = file->GetBlock()) {
      for (std::int32_t k = 0; k < block->Count(); ++k) {
        EXPECT_TRUE(block->GetItem(k)->IsExtracted())
            << "file " << k << " of the block of " << listing[i].Path;
      }
    }
  }
  EXPECT_EQ(calls, expectedCalls);

  for (std::int32_t i = 0; i < static_cast<std::int32_t>(listing.size()); ++i) {
    if (!listing[i].Folder && !listing[i].Anti) {
      ExpectExtracted(FileAt(archive.Get(), i).Get(), listing[i], c.Kind);
    }
  }
}

std::vector<TExtractCase> ExtractCases() {
  const TFixture fixtures[] = {
      {"plain", u""},
      {"solid", u""},
      {"names", u""},
      {"attrs", u""},
      {"noattr", u""},
      {"noname.data", u""},
      {"encdata", kFixturePassword},
      {"enchead", kFixturePassword},
      {"long", u""},
      {"damaged", u""},
      {"unix", u""},
      {"update", u""},
  };
  std::vector<TExtractCase> cases;
  for (const TFixture& f : fixtures) {
    for (TvrnStoreKind kind : {skTempFile, skMemoryAndTempFile, skMemory}) {
      cases.push_back({f, kind});
    }
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Engine,
                         EngineExtractTest,
                         testing::ValuesIn(ExtractCases()),
                         [](const testing::TestParamInfo<TExtractCase>& info) {
                           return CaseName(info.param.Fixture.Name, u"") + "_" +
                                  KindName(info.param.Kind);
                         });

// A path as long as the engine lists: 8,000 folders deep. Import, the naming pass,
// lookup, extraction and release walk it without a stack frame per level.
TEST_F(EngineTest, AFileThousandsOfFoldersDeepOpensAndExtracts) {
  UString path;
  for (int i = 0; i < 8000; ++i) {
    path += u"d\\";
  }
  path += u"bottom.txt";
  TComPtr<IvrnArchive> archive = Open("deep.7z");
  ASSERT_TRUE(archive);
  archive->FixNames(TvrnDrivoThread::MaxComponentLength());
  TComPtr<IvrnFile> file = archive->FindItem(path).Query<IvrnFile>();
  ASSERT_TRUE(file);
  std::atomic<bool> abort{false};
  archive->Extract(&abort, nullptr, file.Get(), TComPtr<IvrnData>(), skMemory);
  ASSERT_TRUE(file->IsExtracted());
  EXPECT_FALSE(file->GetDataError());
  char buffer[32] = {};
  std::uint32_t done = 0;
  ASSERT_EQ(file->GetData()->ReadAt(buffer, 0, sizeof buffer, done), 0);
  EXPECT_EQ(std::string(buffer, done), "at the bottom\n");
  file.Reset();
  archive.Reset();
}

// A wrong password for encrypted data: each file that the engine delivers is marked
// extracted with the error flag.
TEST_F(EngineTest, AWrongPasswordForDataMarksEveryFileWithAnError) {
  std::vector<TListedEntry> listing = ReadListing("encdata");
  for (const UString& password : {UString(u""), UString(u"wrong")}) {
    SCOPED_TRACE("password '" + ToUtf8(password) + "'");
    TComPtr<IvrnArchive> archive = Open("encdata.7z", password);
    ASSERT_TRUE(archive);
    TComPtr<IvrnData> tempStore = MakeCounted<TvrnTempFile>();
    std::atomic<bool> abort{false};
    for (std::int32_t i = 0; i < static_cast<std::int32_t>(listing.size()); ++i) {
      if (listing[i].Folder) {
        continue;
      }
      TComPtr<IvrnFile> file = FileAt(archive.Get(), i);
      if (!file->IsExtracted()) {
        archive->Extract(&abort, nullptr, file.Get(), tempStore, skMemoryAndTempFile);
      }
      EXPECT_TRUE(file->IsExtracted()) << listing[i].Path;
      EXPECT_TRUE(file->GetDataError()) << listing[i].Path;
    }
  }
}

// A stop request in the middle of a long block ends the pass at the engine's next
// callback; files it did not reach stay not extracted, and a later Extract completes
// the block with the right bytes.
class EngineCancelTest : public EngineTest, public testing::WithParamInterface<TvrnStoreKind> {};

TEST_P(EngineCancelTest, AStopEndsTheBlockAndALaterExtractCompletesIt) {
  constexpr std::uint64_t kStopAt = 14 << 20;  // inside part3.bin (13..16 MiB)
  constexpr std::uint64_t kSlack = 2 << 20;    // what one engine step may add after it
  std::vector<TListedEntry> listing = ReadListing("long");
  TComPtr<IvrnArchive> archive = Open("long.7z");
  ASSERT_TRUE(archive);
  TComPtr<IvrnData> tempStore = MakeCounted<TvrnTempFile>();

  std::atomic<bool> stop{false};
  auto progress = MakeCounted<TProgressSink>();
  progress->StopFlag = &stop;
  progress->StopAt = kStopAt;
  archive->Extract(&stop, progress.Get(), FileAt(archive.Get(), 0).Get(), tempStore, GetParam());
  ASSERT_TRUE(stop.load()) << "the engine reported no progress up to " << kStopAt;
  EXPECT_LE(progress->MaxCompleted, progress->StoppedAt + kSlack);

  std::uint64_t start = 0;
  for (std::int32_t i = 0; i < static_cast<std::int32_t>(listing.size()); ++i) {
    const TListedEntry& e = listing[i];
    TComPtr<IvrnFile> file = FileAt(archive.Get(), i);
    if (start + e.Size <= progress->StoppedAt) {
      ExpectExtracted(file.Get(), e, GetParam());
    } else if (start >= progress->StoppedAt + kSlack) {
      EXPECT_FALSE(file->IsExtracted()) << e.Path << " at " << start;
    }
    start += e.Size;
  }

  std::atomic<bool> go{false};
  std::int32_t last = static_cast<std::int32_t>(listing.size()) - 1;
  archive->Extract(&go, nullptr, FileAt(archive.Get(), last).Get(), tempStore, GetParam());
  for (std::int32_t i = 0; i <= last; ++i) {
    ExpectExtracted(FileAt(archive.Get(), i).Get(), listing[i], GetParam());
  }
}

INSTANTIATE_TEST_SUITE_P(Engine,
                         EngineCancelTest,
                         testing::Values(skTempFile, skMemoryAndTempFile, skMemory),
                         [](const testing::TestParamInfo<TvrnStoreKind>& info) {
                           return std::string(KindName(info.param));
                         });

}  // namespace
