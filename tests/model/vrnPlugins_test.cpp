// Opening a file as an archive: the head buffer the plug-ins share, the order and the
// stops of the plug-in loop, and the error texts.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>

#include "model/vrnPlugins.h"

namespace {

// An archive root that a fake plug-in opens; it keeps the stream it was given.
class TFakeArchive : public TvrnArchive {
 public:
  using TvrnArchive::TvrnArchive;
  void Extract(TvrnAbortFlag,
               IvrnProgress*,
               IvrnFile*,
               const TComPtr<IvrnData>&,
               TvrnStoreKind) override {}
  bool HasStream() const { return FStream != nullptr; }
};

// A plug-in whose answers a test chooses; it records what it was shown.
class TFakePlugin : public TvrnPlugin {
 public:
  std::function<bool(std::vector<std::uint8_t>&)> FCheck = [](auto&) { return false; };
  std::function<void()> FOpen;  // may raise
  std::vector<std::size_t> FSeenSizes;
  std::vector<std::uint8_t> FSeenHead;
  int FOpenCalls = 0;

  bool CheckFormat(const UString&, TFileStream&, std::vector<std::uint8_t>& buffer) override {
    FSeenSizes.push_back(buffer.size());
    FSeenHead.assign(buffer.begin(), buffer.begin() + std::min<std::size_t>(buffer.size(), 16));
    return FCheck(buffer);
  }
  TComPtr<IvrnArchive> OpenArchive(TvrnAbortFlag,
                                   const UString& fileName,
                                   const UString& password,
                                   std::unique_ptr<TFileStream>& stream) override {
    ++FOpenCalls;
    TComPtr<IvrnArchive> archive(new TFakeArchive(this, fileName, password, stream));
    if (FOpen) {
      FOpen();  // the archive and its stream go with the error
    }
    return archive;
  }
};

class PluginRegistryTest : public ::testing::Test {
 protected:
  void TearDown() override {
    ReleasePlugins();
    for (const UString& name : FFiles) {
      std::remove(ToUtf8(name).c_str());
    }
  }

  // Registers a fake plug-in; the registry owns it, the test keeps a pointer.
  TFakePlugin& AddPlugin() {
    auto plugin = std::make_unique<TFakePlugin>();
    TFakePlugin& result = *plugin;
    RegisterPlugin(std::move(plugin));
    return result;
  }

  // A file in the temporary folder holding Size bytes: 0, 1, 2, ... modulo 251.
  UString MakeFile(std::size_t size) {
    UString name = GetTempFolder() + GuidToString(CreateGuid()) + u".bin";
    FILE* file = std::fopen(ToUtf8(name).c_str(), "wb");
    for (std::size_t i = 0; i < size; ++i) {
      std::fputc(static_cast<int>(i % 251), file);
    }
    std::fclose(file);
    FFiles.push_back(name);
    return name;
  }

  std::vector<UString> FFiles;
};

TEST_F(PluginRegistryTest, PluginsSeeTheHeadOfTheFile) {
  struct Case {
    std::size_t fileSize;
    std::size_t headSize;
  };
  const Case cases[] = {{10, 10}, {5 * 1048576, 1048576}, {0, 0}};
  for (const Case& c : cases) {
    TFakePlugin& first = AddPlugin();
    TFakePlugin& second = AddPlugin();
    TvrnOpenResult result = OpenArchiveFile(nullptr, MakeFile(c.fileSize), u"");
    EXPECT_FALSE(result.Archive);
    EXPECT_TRUE(result.ErrorText.empty());
    if (c.fileSize == 0) {
      EXPECT_TRUE(first.FSeenSizes.empty()) << "no plug-in is asked about an empty file";
    } else {
      EXPECT_EQ(first.FSeenSizes, std::vector<std::size_t>{c.headSize});
      EXPECT_EQ(second.FSeenSizes, std::vector<std::size_t>{c.headSize});
      EXPECT_EQ(first.FSeenHead[9], 9);
    }
    ReleasePlugins();
  }
}

TEST_F(PluginRegistryTest, AnEnlargedHeadIsWhatLaterPluginsSee) {
  UString name = MakeFile(3 * 1048576);
  TFakePlugin& first = AddPlugin();
  first.FCheck = [](std::vector<std::uint8_t>& buffer) {
    buffer.assign(2 * 1048576, 0xAB);
    return false;
  };
  TFakePlugin& second = AddPlugin();
  TvrnOpenResult result = OpenArchiveFile(nullptr, name, u"");
  EXPECT_FALSE(result.Archive);
  EXPECT_EQ(second.FSeenSizes, std::vector<std::size_t>{2 * 1048576});
  EXPECT_EQ(second.FSeenHead[0], 0xAB);
}

TEST_F(PluginRegistryTest, TheFirstPluginThatRecognisesTheFileOpensIt) {
  UString name = MakeFile(100);
  TFakePlugin& refuses = AddPlugin();
  TFakePlugin& opens = AddPlugin();
  opens.FCheck = [](auto&) { return true; };
  TFakePlugin& never = AddPlugin();
  TvrnOpenResult result = OpenArchiveFile(nullptr, name, u"secret");
  ASSERT_TRUE(result.Archive);
  auto* archive = static_cast<TFakeArchive*>(result.Archive.Get());
  EXPECT_TRUE(archive->HasStream());
  EXPECT_EQ(archive->FileName(), name);
  EXPECT_EQ(archive->Password(), u"secret");
  EXPECT_EQ(refuses.FOpenCalls, 0);
  EXPECT_TRUE(never.FSeenSizes.empty());
#if defined(_WIN32)
  // While the archive holds the file, nobody may write to it.
  HANDLE writer =
      ::CreateFileW(reinterpret_cast<const wchar_t*>(name.c_str()), GENERIC_WRITE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(writer, INVALID_HANDLE_VALUE);
  EXPECT_EQ(::GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
  result.Archive.Reset();
#endif
}

TEST_F(PluginRegistryTest, AFailedOpenEndsTheLoopWithItsMessage) {
  UString name = MakeFile(100);
  TFakePlugin& opens = AddPlugin();
  opens.FCheck = [](auto&) { return true; };
  opens.FOpen = [] { throw EPossibleInvalidPassword(u"Wrong password?"); };
  TFakePlugin& next = AddPlugin();
  next.FCheck = [](auto&) { return true; };
  TvrnOpenResult result = OpenArchiveFile(nullptr, name, u"");
  EXPECT_FALSE(result.Archive);
  EXPECT_EQ(result.ErrorText, u"Wrong password?");
  // The stream went with the failed archive; nothing is left to offer the next plug-in.
  EXPECT_EQ(next.FOpenCalls, 0);
}

TEST_F(PluginRegistryTest, ACheckErrorIsKeptAndTheNextPluginTried) {
  UString name = MakeFile(100);
  TFakePlugin& broken = AddPlugin();
  broken.FCheck = [](auto&) -> bool { throw EvrnError(u"Stream read error"); };
  TFakePlugin& next = AddPlugin();
  TvrnOpenResult result = OpenArchiveFile(nullptr, name, u"");
  EXPECT_EQ(result.ErrorText, u"Stream read error");
  EXPECT_EQ(next.FSeenSizes.size(), 1u);
}

TEST_F(PluginRegistryTest, AnAbortedOpenAsksNoPlugin) {
  TFakePlugin& plugin = AddPlugin();
  std::atomic<bool> aborted{true};
  TvrnOpenResult result = OpenArchiveFile(&aborted, MakeFile(100), u"");
  EXPECT_FALSE(result.Archive);
  EXPECT_TRUE(plugin.FSeenSizes.empty());
}

TEST_F(PluginRegistryTest, AMissingFileRaisesWithItsName) {
  UString name = GetTempFolder() + u"no such archive.7z";
  try {
    OpenArchiveFile(nullptr, name, u"");
    FAIL() << "no error";
  } catch (const EOSError& e) {
    UString prefix = u"Cannot open file \"" + name + u"\". ";
    EXPECT_TRUE(e.Message().starts_with(prefix)) << ToUtf8(e.Message());
    EXPECT_GT(e.Message().size(), prefix.size());
    EXPECT_EQ(e.ErrorCode(), DWORD(ERROR_FILE_NOT_FOUND));
  }
}

}  // namespace
