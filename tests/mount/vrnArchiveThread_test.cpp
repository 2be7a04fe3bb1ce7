// The archive-open thread on the real 7-Zip library: the archive it hands over, the one
// text each kind of failure becomes, and a stop request while a plug-in is still busy.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "engine/vrn7zPlugin.h"
#include "model/vrnPlugins.h"
#include "mount/vrnArchiveThread.h"
#include "platform/vrnErrors.h"
#include "tests/support/vrnFixtures.h"

namespace {

using namespace std::chrono_literals;

UString CannotOpen(const UString& fileName) {
  return u"Cannot open file '" + fileName + u"' as archive";
}

// Runs one open to its end; fails the test when it does not end within ten seconds.
std::unique_ptr<TvrnArchiveThread> RunOpen(const UString& fileName, const UString& password) {
  auto thread = std::make_unique<TvrnArchiveThread>(fileName, password);
  thread->Start();
  EXPECT_TRUE(thread->WaitFor(10s)) << ToUtf8(fileName);
  return thread;
}

class ArchiveThreadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RegisterEngineFormats();
    ASSERT_EQ(EngineLibraries().size(), 1u) << ToUtf8(EngineLibraryPath());
  }
  void TearDown() override {
    ReleasePlugins();
    ReleaseEngineLibraries();
  }
};

TEST_F(ArchiveThreadTest, OpensAnArchiveOrKeepsOneTextForTheFailure) {
  const UString notAnArchive = FixturePath("text.txt");
  const UString encrypted = FixturePath("enchead.7z");
  const UString missing = FixturePath("no-such-archive.7z");
  struct Case {
    UString file;
    UString password;
    UString errorText;  // empty: the archive opens
  };
  const Case cases[] = {
      {FixturePath("solid.7z"), u"", u""},
      {encrypted, kFixturePassword, u""},
      // No plug-in recognises it and none raised: the text alone, no ":" after it.
      {notAnArchive, u"", CannotOpen(notAnArchive)},
      // The plug-in raised: its message after ":" and two line breaks.
      {encrypted, u"wrong", CannotOpen(encrypted) + u":\r\n\r\nWrong password?"},
      // The file cannot be opened at all: the raised text alone, without the prefix.
      {missing, u"",
       u"Cannot open file \"" + missing + u"\". " + SysErrorMessage(ERROR_FILE_NOT_FOUND)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(ToUtf8(c.file) + " / " + ToUtf8(c.password));
    auto thread = RunOpen(c.file, c.password);
    EXPECT_EQ(thread->ErrorText(), c.errorText);
    EXPECT_EQ(thread->Failed(), !c.errorText.empty());
    if (c.errorText.empty()) {
      ASSERT_TRUE(thread->Archive());
      EXPECT_GT(thread->Archive()->GetFolderCount() + thread->Archive()->GetFileCount(), 0);
    } else {
      EXPECT_FALSE(thread->Archive());
    }
  }
}

// A plug-in that takes every file and then waits, as a slow engine open does, until the
// open's cancel flag is set (for ten seconds at most).
class TSlowPlugin : public TvrnPlugin {
 public:
  std::atomic<bool> FEntered{false};
  std::atomic<bool> FSawCancel{false};

  bool CheckFormat(const UString&, TFileStream&, std::vector<std::uint8_t>&) override {
    return true;
  }
  TComPtr<IvrnArchive> OpenArchive(TvrnAbortFlag abortFlag,
                                   const UString&,
                                   const UString&,
                                   std::unique_ptr<TFileStream>& stream) override {
    stream.reset();
    FEntered = true;
    for (int i = 0; i < 2000 && !*abortFlag; ++i) {
      std::this_thread::sleep_for(5ms);
    }
    FSawCancel = abortFlag->load();
    throw EAbort();
  }
};

class ArchiveThreadStopTest : public ::testing::Test {
 protected:
  void TearDown() override { ReleasePlugins(); }
};

TEST_F(ArchiveThreadStopTest, StopDuringTheOpenEndsTheThreadFailed) {
  auto owned = std::make_unique<TSlowPlugin>();
  TSlowPlugin& plugin = *owned;
  RegisterPlugin(std::move(owned));
  const UString file = FixturePath("solid.7z");

  TvrnArchiveThread thread(file, u"");
  thread.Start();
  for (int i = 0; i < 2000 && !plugin.FEntered; ++i) {
    std::this_thread::sleep_for(5ms);
  }
  ASSERT_TRUE(plugin.FEntered);
  EXPECT_FALSE(thread.Finished());

  thread.Stop();
  EXPECT_TRUE(thread.Terminated());
  EXPECT_TRUE(thread.Cancelled());
  ASSERT_TRUE(thread.WaitFor(5s));
  EXPECT_TRUE(plugin.FSawCancel);
  EXPECT_TRUE(thread.Failed());
  EXPECT_FALSE(thread.Archive());
  EXPECT_EQ(thread.ErrorText(), CannotOpen(file) + u":\r\n\r\nOperation aborted");
}

}  // namespace
