// The mount controller with real worker threads, the real 7-Zip library and a real
// volume (a FUSE mount in a new folder on Linux; the stand-in dokan2.dll at M:\ under
// Wine): the notifications a mount's life sends, their order among several clients,
// the error texts of the ways a mount fails, and a mount that cannot even start.
// The tests drive the poll themselves, as the owner's timer would.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "engine/vrn7zPlugin.h"
#include "model/vrnPlugins.h"
#include "mount/vrnSource.h"
#include "platform/vrnErrors.h"
#include "tests/support/vrnFixtures.h"

#if defined(_WIN32)
#include "tests/dokan_standin/dokan_standin.h"
#else
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#endif

namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

using TLog = std::vector<std::string>;

// A client that writes every notification into a log ("Name:Event:arguments"), and can
// be made to fail after writing.
class TTestClient : public TInterfacedObject<IvrnSourceClient> {
 public:
  TTestClient(TLog& log, std::string name) : FLog(log), FName(std::move(name)) {}

  bool FThrow = false;
  // Runs inside SourceStopped, after the entry is written.
  std::function<void()> FOnStopped;

  void SourceStopped(const UString& errorText) override {
    Record("Stopped:" + ToUtf8(errorText));
    if (FOnStopped) {
      FOnStopped();
    }
  }
  void SourceOpening() override { Record("Opening"); }
  void SourceMounted(const UString& mountPoint) override {
    Record("Mounted:" + ToUtf8(mountPoint));
  }
  void SourceRunning() override { Record("Running"); }
  void SourceMessage(const UString& text) override { Record("Message:" + ToUtf8(text)); }
  void SourceProgress(bool active, std::uint64_t done, std::uint64_t total) override {
    Record("Progress:" + std::to_string(active) + ":" + std::to_string(done) + ":" +
           std::to_string(total));
  }

 private:
  void Record(const std::string& event) {
    FLog.push_back(FName.empty() ? event : FName + ":" + event);
    if (FThrow) {
      throw std::runtime_error("client failed");
    }
  }

  TLog& FLog;
  std::string FName;
};

// An object that is no client of the controller.
class TNotAClient : public TInterfacedObject<IvrnProgress> {
 public:
  void Progress(std::uint64_t, std::uint64_t) override {}
};

// Points the user's temporary folder somewhere that does not exist, for its lifetime.
class TMissingTempFolder {
 public:
  explicit TMissingTempFolder(const std::string& folder) {
#if defined(_WIN32)
    wchar_t old[1024];
    DWORD length = ::GetEnvironmentVariableW(L"TMP", old, 1024);
    FHad = length > 0 && length < 1024;
    if (FHad) {
      FOld = FromWide(std::wstring_view(old, length));
    }
    ::SetEnvironmentVariableW(L"TMP", AsWChar(FromUtf8(folder)));
#else
    const char* old = std::getenv("TMPDIR");
    FHad = old != nullptr;
    if (FHad) {
      FOld = FromUtf8(old);
    }
    ::setenv("TMPDIR", folder.c_str(), 1);
#endif
  }
  ~TMissingTempFolder() {
#if defined(_WIN32)
    ::SetEnvironmentVariableW(L"TMP", FHad ? AsWChar(FOld) : nullptr);
#else
    if (FHad) {
      ::setenv("TMPDIR", ToUtf8(FOld).c_str(), 1);
    } else {
      ::unsetenv("TMPDIR");
    }
#endif
  }

 private:
  bool FHad = false;
  UString FOld;
};

class SourceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RegisterEngineFormats();
    ASSERT_EQ(EngineLibraries().size(), 1u) << ToUtf8(EngineLibraryPath());
#if defined(_WIN32)
    FMountPoint = u"M:\\";
#else
    char pattern[] = "/tmp/vrn-source-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    FFolder = pattern;
    FMountPoint = FromUtf8(FFolder);
#endif
    FSource = std::make_unique<TvrnSource>();
  }

  void TearDown() override {
    // Destroying the controller ends any mount it still runs; the clients outlive it.
    FSource.reset();
    EXPECT_FALSE(IsMounted());
#if !defined(_WIN32)
    if (IsMounted()) {
      int ignoredStatus = std::system(("fusermount3 -u -z " + FFolder).c_str());
      (void)ignoredStatus;
    }
    std::error_code ignored;
    std::filesystem::remove(FFolder, ignored);
#endif
    ReleasePlugins();
    ReleaseEngineLibraries();
  }

  // A new client, registered with the controller and kept alive by the test.
  TTestClient& AddClient(const std::string& name = "") {
    FClients.push_back(MakeCounted<TTestClient>(FLog, name));
    FSource->AddClient(static_cast<IvrnSourceClient*>(FClients.back().Get()));
    return *FClients.back().Get();
  }

  void Mount(const std::string& fixture, const UString& password = u"") {
    FSource->Mount(FMountPoint, FixturePath(fixture), password, skMemoryAndTempFile);
  }

  // Polls, as the owner's timer would but more often, until the controller is in State;
  // false after ten seconds.
  bool PollUntil(TvrnSourceState state) {
    for (int i = 0; i < 2000; ++i) {
      FSource->Poll();
      if (FSource->State() == state) {
        return true;
      }
      std::this_thread::sleep_for(5ms);
    }
    return false;
  }

  // The log since the last call.
  TLog TakeLog() {
    return std::exchange(FLog, TLog());
  }

  // The volume is mounted at the test's mount point.
  bool IsMounted() const {
#if defined(_WIN32)
    auto findMount = StandinExport<TStandinFindMount>("StandinFindMount");
    return findMount != nullptr && findMount(AsWChar(FMountPoint), nullptr) != nullptr;
#else
    std::ifstream mounts("/proc/self/mounts");
    std::string line;
    while (std::getline(mounts, line)) {
      std::istringstream fields(line);
      std::string device, target;
      fields >> device >> target;
      if (target == FFolder) {
        return true;
      }
    }
    return false;
#endif
  }

  // Waits until the volume is mounted; false after ten seconds.
  bool WaitUntilMounted() const {
    for (int i = 0; i < 2000 && !IsMounted(); ++i) {
      std::this_thread::sleep_for(5ms);
    }
    return IsMounted();
  }

  // The whole content of a file of the mounted volume (Path with "/" between names), read
  // as another program would; nothing when the open or a read fails.
  std::optional<std::string> ReadThroughVolume(const std::string& path) {
#if defined(_WIN32)
    auto findMount = StandinExport<TStandinFindMount>("StandinFindMount");
    PDOKAN_OPTIONS options = nullptr;
    PDOKAN_OPERATIONS operations =
        findMount != nullptr ? findMount(AsWChar(FMountPoint), &options) : nullptr;
    if (operations == nullptr) {
      ADD_FAILURE() << "nothing is mounted";
      return std::nullopt;
    }
    std::string windowsPath = "\\" + path;
    std::replace(windowsPath.begin(), windowsPath.end(), '/', '\\');
    const UString name = FromUtf8(windowsPath);
    DOKAN_FILE_INFO info{};
    info.DokanOptions = options;
    info.ProcessId = ::GetCurrentProcessId();
    if (operations->ZwCreateFile(AsWChar(name), nullptr, FILE_GENERIC_READ, 0, FILE_SHARE_READ,
                                 FILE_OPEN, 0, &info) != STATUS_SUCCESS) {
      return std::nullopt;
    }
    std::optional<std::string> content = std::string();
    char buffer[65536];
    for (;;) {
      DWORD done = 0;
      if (operations->ReadFile(AsWChar(name), buffer, sizeof buffer, &done,
                               static_cast<LONGLONG>(content->size()), &info) != STATUS_SUCCESS) {
        content.reset();
        break;
      }
      if (done == 0) {
        break;
      }
      content->append(buffer, done);
    }
    operations->CloseFile(AsWChar(name), &info);
    return content;
#else
    // On its own thread, so that a volume that stops answering fails the test instead of
    // hanging it: ending the mount makes the read return.
    auto reading = std::async(std::launch::async, [file = FFolder + "/" + path] {
      std::optional<std::string> content;
      std::ifstream in(file, std::ios::binary);
      if (in) {
        std::ostringstream data;
        data << in.rdbuf();
        if (!in.bad() && !data.fail()) {
          content = data.str();
        }
      }
      return content;
    });
    if (reading.wait_for(10s) != std::future_status::ready) {
      ADD_FAILURE() << "the volume did not answer a read of " << path;
      FSource->Unmount(true);
    }
    return reading.get();
#endif
  }

  UString FMountPoint;
  std::string FFolder;
  TLog FLog;
  std::vector<TComPtr<TTestClient>> FClients;
  std::unique_ptr<TvrnSource> FSource;
};

TEST_F(SourceTest, GoodMountGoesThroughItsStatesAndReportsProgressAtEveryLaterPoll) {
  AddClient();
  Mount("solid.7z");
  EXPECT_TRUE(FSource->PollEnabled());
  ASSERT_TRUE(PollUntil(ssMounted));
  // The poll that finds the volume up sends the mount point and nothing else.
  EXPECT_THAT(TakeLog(), ElementsAre("Stopped:", "Opening", "Mounted:" + ToUtf8(FMountPoint)));
  EXPECT_TRUE(IsMounted());

  // Idle: every later poll reports progress, inactive and 0 of 0.
  FSource->Poll();
  FSource->Poll();
  EXPECT_THAT(TakeLog(), ElementsAre("Running", "Progress:0:0:0", "Progress:0:0:0"));

  // After an extraction the amounts it last reported stay readable.
  std::optional<std::string> content = ReadThroughVolume("s/f1.txt");
  ASSERT_TRUE(content);
  EXPECT_EQ(content->size(), 20000u);
  FSource->Poll();
  // Block 0 holds f1, f2 and f3: 20000 + 40000 + 60000 bytes.
  EXPECT_THAT(TakeLog(), ElementsAre("Progress:0:120000:120000"));
  EXPECT_EQ(FSource->State(), ssRunning);

  FSource->Unmount(true);
  EXPECT_FALSE(FSource->PollEnabled());
  EXPECT_FALSE(IsMounted());
  EXPECT_THAT(TakeLog(), ElementsAre("Stopped:"));
}

TEST_F(SourceTest, MessagesQueuedBeforeMountedArriveOnePollLaterBeforeTheProgress) {
  AddClient();
  TakeLog();
  Mount("damaged.7z");
  ASSERT_TRUE(WaitUntilMounted());
  // The first block of this archive is damaged: the read fails and queues a message
  // before the controller has seen the volume come up.
  EXPECT_FALSE(ReadThroughVolume("s/f1.txt"));

  ASSERT_TRUE(PollUntil(ssMounted));
  EXPECT_THAT(TakeLog(), ElementsAre("Opening", "Mounted:" + ToUtf8(FMountPoint)));

  FSource->Poll();
  TLog log = TakeLog();
  // The kernel may retry a failed read, so the one fault can be queued more than once.
#if defined(_WIN32)
  const std::string message = "Message:Data error: s\\f1.txt";
#else
  const std::string message = "Message:Data error: s/f1.txt";
#endif
  ASSERT_GE(log.size(), 3u);
  EXPECT_EQ(log.front(), "Running");
  for (std::size_t i = 1; i + 1 < log.size(); ++i) {
    EXPECT_EQ(log[i], message);
  }
  EXPECT_EQ(log.back().rfind("Progress:0:", 0), 0u) << log.back();

  // The queue was emptied: the next poll has progress only.
  FSource->Poll();
  log = TakeLog();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].rfind("Progress:0:", 0), 0u) << log[0];
}

TEST_F(SourceTest, AClientAddedInEachStateIsToldThatState) {
  AddClient("stopped");
  Mount("solid.7z");
  AddClient("opening");
  ASSERT_TRUE(PollUntil(ssMounted));
  AddClient("mounted");
  FSource->Poll();
  AddClient("running");
  const std::string mounted = "Mounted:" + ToUtf8(FMountPoint);
  // Later clients are told first, and the clients that are there are told every change.
  EXPECT_THAT(TakeLog(), ElementsAreArray<std::string>({
                             "stopped:Stopped:",
                             "stopped:Opening",
                             "opening:Opening",
                             "opening:" + mounted,
                             "stopped:" + mounted,
                             "mounted:" + mounted,
                             "mounted:Running",
                             "opening:Running",
                             "stopped:Running",
                             "mounted:Progress:0:0:0",
                             "opening:Progress:0:0:0",
                             "stopped:Progress:0:0:0",
                             "running:Running",
                         }));
}

TEST_F(SourceTest, FailedOpenReportsTheComposedTextAndKeepsItForLaterClients) {
  AddClient("first");
  TakeLog();
  Mount("enchead.7z", u"wrong");
  ASSERT_TRUE(PollUntil(ssStopped));
  const std::string text = "Cannot open file '" + ToUtf8(FixturePath("enchead.7z")) +
                           "' as archive:\r\n\r\nWrong password?";
  EXPECT_THAT(TakeLog(), ElementsAre("first:Opening", "first:Stopped:" + text));
  EXPECT_FALSE(FSource->PollEnabled());
  EXPECT_FALSE(IsMounted());

  // A stray poll after the end sends nothing and keeps the text.
  FSource->Poll();
  EXPECT_EQ(ToUtf8(FSource->ErrorText()), text);
  AddClient("late");
  EXPECT_THAT(TakeLog(), ElementsAre("late:Stopped:" + text));
}

TEST_F(SourceTest, UserUnmountReportsNoErrorEvenWhenAThreadFailed) {
  AddClient();
  TakeLog();
  // The open fails whether or not the stop reaches it first, so the unmount below
  // always finds a failed thread; the user asked, so no error is reported.
  Mount("enchead.7z", u"wrong");
  FSource->Unmount(true);
  EXPECT_THAT(TakeLog(), ElementsAre("Opening", "Stopped:"));
  EXPECT_EQ(FSource->ErrorText(), u"");
}

TEST_F(SourceTest, MountWhileMountedEndsTheOldVolumeFirst) {
  TTestClient& client = AddClient();
  Mount("solid.7z");
  ASSERT_TRUE(PollUntil(ssMounted));
  FSource->Poll();
  TakeLog();

  bool mountedWhenStopped = true;
  client.FOnStopped = [&] { mountedWhenStopped = IsMounted(); };
  Mount("plain.7z");
  EXPECT_FALSE(mountedWhenStopped);
  EXPECT_THAT(TakeLog(), ElementsAre("Stopped:", "Opening"));

  client.FOnStopped = nullptr;
  ASSERT_TRUE(PollUntil(ssMounted));
  std::optional<std::string> content = ReadThroughVolume("top.txt");
  ASSERT_TRUE(content);
  EXPECT_EQ(*content, "top\n");  // the new archive is the one served
}

TEST_F(SourceTest, DeliveryGoesLastAddedFirstSkipsNonClientsAndSurvivesFailingClients) {
  TComPtr<TNotAClient> notAClient = MakeCounted<TNotAClient>();
  AddClient("A");
  TTestClient& failing = AddClient("F");
  failing.FThrow = true;
  FSource->AddClient(static_cast<IvrnProgress*>(notAClient.Get()));
  TTestClient& b = AddClient("B");
  EXPECT_THAT(TakeLog(), ElementsAre("A:Stopped:", "F:Stopped:", "B:Stopped:"));

  Mount("text.txt");
  FSource->Unmount(true);
  EXPECT_THAT(TakeLog(), ElementsAre("B:Opening", "F:Opening", "A:Opening",
                                     "B:Stopped:", "F:Stopped:", "A:Stopped:"));

  // A removed client hears nothing more.
  FSource->RemoveClient(static_cast<IvrnSourceClient*>(&b));
  Mount("text.txt");
  EXPECT_THAT(TakeLog(), ElementsAre("F:Opening", "A:Opening"));
  FSource->RemoveClient(notAClient.Get());
}

TEST_F(SourceTest, MountTheLibraryRefusesReportsTheLibraryText) {
  AddClient();
  TakeLog();
#if defined(_WIN32)
  // The stand-in fails the mount as the real library does without a free drive letter.
  auto setMainResult = StandinExport<TStandinSetMainResult>("StandinSetMainResult");
  ASSERT_NE(setMainResult, nullptr);
  setMainResult(DOKAN_MOUNT_ERROR);
  const std::string text = "Can't assign a drive letter or mount point";
#else
  FMountPoint += u"/missing";
  const std::string text = "Mount point error";
#endif
  Mount("solid.7z");
  ASSERT_TRUE(PollUntil(ssStopped));
  EXPECT_THAT(TakeLog(), ElementsAre("Opening", "Stopped:" + text));
  EXPECT_EQ(ToUtf8(FSource->ErrorText()), text);
}

TEST_F(SourceTest, MountThatCannotStartLeavesNothingRunningAndSaysWhy) {
  AddClient();
  Mount("solid.7z");  // a running mount, to show that it is ended first
  TakeLog();

#if defined(_WIN32)
  const std::string missing = "Z:\\no-such-folder-of-vornmount\\";
#else
  const std::string missing = "/no-such-folder-of-vornmount/";
#endif
  TMissingTempFolder redirect(missing);
  UString expected;
  try {
    MakeCounted<TvrnTempFile>();
    FAIL() << "a temporary file was created in " << missing;
  } catch (const EvrnError& e) {
    expected = e.Message();
  }
  ASSERT_FALSE(expected.empty());

  Mount("solid.7z");
  EXPECT_THAT(TakeLog(), ElementsAre("Stopped:", "Stopped:" + ToUtf8(expected)));
  EXPECT_EQ(FSource->State(), ssStopped);
  EXPECT_FALSE(FSource->PollEnabled());
  EXPECT_EQ(FSource->ErrorText(), expected);
  FSource->Poll();
  EXPECT_TRUE(TakeLog().empty());
  EXPECT_FALSE(IsMounted());
}

}  // namespace
