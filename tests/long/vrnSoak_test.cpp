// The long checks, run by `scripts/test.sh --long`: many readers for a minute on a
// mounted solid archive with every byte compared against `7z x`, and a hundred mount
// cycles, in process and of the command line, that must leave nothing behind.
//
// Reads here go through the mount from this process's own threads; ctest's timeout ends
// the program should a read hang.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/vrn7zPlugin.h"
#include "model/vrnPlugins.h"
#include "mount/vrnSource.h"
#include "tests/support/vrnFixtures.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

const std::string kProgram = VRN_VORNMOUNT;

constexpr int kReaders = 64;
constexpr auto kSoakTime = 60s;
constexpr int kCycles = 100;

// The generated fixtures' folder.
std::string Fixtures() {
  return ToUtf8(FixtureFolder());
}

std::size_t CountEntries(const std::string& folder) {
  return static_cast<std::size_t>(
      std::distance(fs::directory_iterator(folder), fs::directory_iterator()));
}

// A "Name: value kB" line of /proc/PID/status, in KiB.
long StatusKib(pid_t pid, const std::string& name) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(name + ":", 0) == 0) {
      return std::atol(line.c_str() + name.size() + 1);
    }
  }
  return 0;
}

int Shell(const std::string& command) {
  int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class LongTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vornmount-long-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    FFolder = pattern;
    FMountPoint = FFolder + "/mnt";
    ASSERT_TRUE(fs::create_directory(FMountPoint));
  }

  void TearDown() override {
    if (FServer > 0) {
      kill(FServer, SIGKILL);
      waitpid(FServer, nullptr, 0);
    }
    if (IsMountedAt(FMountPoint)) {
      umount2(FMountPoint.c_str(), MNT_DETACH);
    }
    std::error_code ignored;
    fs::remove_all(FFolder, ignored);
  }

  // Starts vornmount in the foreground and waits until it serves.
  ::testing::AssertionResult StartServer(const std::string& archive, const std::string& store) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
      return ::testing::AssertionFailure() << "pipe";
    }
    FServer = fork();
    if (FServer == 0) {
      dup2(out[1], STDOUT_FILENO);
      execl(kProgram.c_str(), kProgram.c_str(), "-f", "-s", store.c_str(), archive.c_str(),
            FMountPoint.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    close(out[1]);
    std::string output;
    auto deadline = Clock::now() + 20s;
    while (output.find("Mounted at ") == std::string::npos && Clock::now() < deadline) {
      pollfd fd{.fd = out[0], .events = POLLIN, .revents = 0};
      if (poll(&fd, 1, 100) > 0) {
        char buffer[4096];
        ssize_t size = read(out[0], buffer, sizeof buffer);
        if (size <= 0) {
          break;
        }
        output.append(buffer, static_cast<std::size_t>(size));
      }
    }
    close(out[0]);
    if (output.find("Mounted at ") == std::string::npos) {
      return ::testing::AssertionFailure() << "not mounted: " << output;
    }
    return ::testing::AssertionSuccess();
  }

  // Ends the server with SIGTERM; its exit code (-1 when it died otherwise).
  int StopServer() {
    kill(FServer, SIGTERM);
    int status = 0;
    waitpid(FServer, &status, 0);
    FServer = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  std::string FFolder;
  std::string FMountPoint;
  pid_t FServer = -1;
};

// The files of a tree by path relative to it, with their bytes.
std::map<std::string, std::string> LoadTree(const std::string& root) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (entry.is_regular_file()) {
      std::ifstream in(entry.path(), std::ios::binary);
      files[fs::relative(entry.path(), root).string()] =
          std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
  }
  return files;
}

// Reads Count bytes at Offset; with Direct the page cache is bypassed, so the read
// reaches the volume every time. The bytes read, or an errno text.
std::string ReadRange(const std::string& path, std::size_t offset, std::size_t count, bool direct) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | (direct ? O_DIRECT : 0));
  if (fd < 0) {
    return std::string("open: ") + std::strerror(errno);
  }
  std::string data(count, '\0');
  std::size_t done = 0;
  while (done < count) {
    ssize_t size = pread(fd, data.data() + done, count - done, static_cast<off_t>(offset + done));
    if (size < 0) {
      close(fd);
      return std::string("read: ") + std::strerror(errno);
    }
    if (size == 0) {
      break;
    }
    done += static_cast<std::size_t>(size);
  }
  close(fd);
  data.resize(done);
  return data;
}

TEST_F(LongTest, SixtyFourReadersForAMinuteGetEveryByteOfTheArchive) {
  // The reference: what the 7z program extracts.
  const std::string expectedRoot = FFolder + "/expected";
  ASSERT_EQ(Shell("7z x -y -o'" + expectedRoot + "' '" + Fixtures() + "/long.7z' >/dev/null"),
            0);
  const std::map<std::string, std::string> expected = LoadTree(expectedRoot);
  ASSERT_EQ(expected.size(), 6u);
  std::vector<const std::pair<const std::string, std::string>*> files;
  for (const auto& file : expected) {
    files.push_back(&file);
  }
  ASSERT_TRUE(StartServer(Fixtures() + "/long.7z", "memory-temp"));

  // A first full pass extracts the block; the server's memory after it is the yardstick.
  for (const auto* file : files) {
    ASSERT_EQ(ReadRange(FMountPoint + "/" + file->first, 0, file->second.size(), false),
              file->second)
        << file->first;
  }
  const long firstPassKib = StatusKib(FServer, "VmRSS");

  std::atomic<std::uint64_t> compared{0}, reads{0}, failures{0};
  const auto deadline = Clock::now() + kSoakTime;
  std::vector<std::thread> readers;
  for (int i = 0; i < kReaders; ++i) {
    readers.emplace_back([&, i] {
      std::mt19937_64 random(1000 + i);
      while (Clock::now() < deadline) {
        const auto& [name, bytes] = *files[random() % files.size()];
        std::size_t offset = random() % (bytes.size() + 1);
        std::size_t count = 1 + random() % (256 << 10);
        bool direct = random() % 2 == 0;
        std::string got = ReadRange(FMountPoint + "/" + name, offset, count, direct);
        std::string want = bytes.substr(offset, count);
        ++reads;
        if (got != want) {
          if (failures++ < 5) {
            ADD_FAILURE() << name << " at " << offset << ", " << count << " bytes"
                          << (direct ? " (direct)" : "") << ": "
                          << (got.size() < 100 ? got : std::to_string(got.size()) + " bytes");
          }
          continue;
        }
        compared += got.size();
      }
    });
  }
  for (std::thread& reader : readers) {
    reader.join();
  }
  const long endKib = StatusKib(FServer, "VmRSS");
  std::printf("%d readers, %llu reads, %llu bytes compared, RSS %ld KiB after the first pass, "
              "%ld KiB at the end\n",
              kReaders, static_cast<unsigned long long>(reads.load()),
              static_cast<unsigned long long>(compared.load()), firstPassKib, endKib);
  EXPECT_EQ(failures.load(), 0u);
  EXPECT_GT(reads.load(), std::uint64_t(kReaders));
  EXPECT_LE(endKib, firstPassKib + firstPassKib / 10);
  EXPECT_EQ(StopServer(), 0);
}

// The descriptors and threads of this process.
struct TResources {
  std::size_t Descriptors;
  std::size_t Threads;
  bool operator==(const TResources&) const = default;
};
TResources Resources() {
  return {CountEntries("/proc/self/fd"), CountEntries("/proc/self/task")};
}

TEST_F(LongTest, AHundredMountsInProcessLeaveNoDescriptorOrThreadBehind) {
  RegisterEngineFormats();
  const std::string file = FMountPoint + "/s/f4.txt";
  const std::string want = ReadRange(Fixtures() + "/src/solid/s/f4.txt", 0, 1 << 20, false);
  auto cycle = [&] {
    TvrnSource source;
    source.Mount(FromUtf8(FMountPoint), FixturePath("solid.7z"), u"", skMemoryAndTempFile);
    for (int i = 0; i < 2000 && source.State() != ssMounted && source.State() != ssRunning; ++i) {
      source.Poll();
      std::this_thread::sleep_for(5ms);
    }
    EXPECT_TRUE(source.State() == ssMounted || source.State() == ssRunning)
        << ToUtf8(source.ErrorText());
    EXPECT_EQ(ReadRange(file, 0, 1 << 20, false), want);
    source.Unmount(true);
  };
  cycle();  // the first mount loads what stays loaded
  const TResources before = Resources();
  for (int i = 0; i < kCycles && !HasFailure(); ++i) {
    cycle();
  }
  // Threads that have ended may take a moment to leave the list.
  TResources after = Resources();
  for (int i = 0; i < 100 && !(after == before); ++i) {
    std::this_thread::sleep_for(10ms);
    after = Resources();
  }
  std::printf("%d cycles: %zu descriptors, %zu threads before; %zu, %zu after\n", kCycles,
              before.Descriptors, before.Threads, after.Descriptors, after.Threads);
  EXPECT_EQ(after.Descriptors, before.Descriptors);
  EXPECT_EQ(after.Threads, before.Threads);
  EXPECT_FALSE(IsMountedAt(FMountPoint));
  ReleasePlugins();
  ReleaseEngineLibraries();
}

TEST_F(LongTest, AHundredCommandLineMountsLeaveNoProcessMountOrTempFileBehind) {
  const std::string temp = FFolder + "/tmp";
  ASSERT_TRUE(fs::create_directory(temp));
  const TResources before = Resources();
  const std::string mount = "TMPDIR='" + temp + "' '" + kProgram + "' --background '" +
                            Fixtures() + "/solid.7z' '" + FMountPoint + "' >/dev/null";
  const std::string read = "cmp -s '" + Fixtures() + "/src/solid/s/f4.txt' '" + FMountPoint +
                           "/s/f4.txt'";
  for (int i = 0; i < kCycles && !HasFailure(); ++i) {
    ASSERT_EQ(Shell(mount), 0) << "cycle " << i;
    EXPECT_EQ(Shell(read), 0) << "cycle " << i;
    ASSERT_EQ(Shell("fusermount3 -u '" + FMountPoint + "'"), 0) << "cycle " << i;
  }
  // Every server ends after its unmount.
  bool left = true;
  for (int i = 0; i < 200 && left; ++i) {
    // The bracket keeps the pattern from matching the shell that runs pgrep.
    left = Shell("pgrep -f -- '[-]-background .*/solid.7z " + FMountPoint + "' >/dev/null") == 0;
    if (left) {
      std::this_thread::sleep_for(50ms);
    }
  }
  EXPECT_FALSE(left) << "a server is still running";
  EXPECT_FALSE(IsMountedAt(FMountPoint));
  EXPECT_EQ(CountEntries(temp), 0u);
  EXPECT_EQ(Resources(), before);
}

}  // namespace
