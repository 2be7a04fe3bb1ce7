// The vornmount program from outside: the built binary run against the generated 7z
// fixtures with real FUSE mounts, its exit codes, its output and the mounted folder.
//
// Nothing here touches a mount from inside the test process: every read of a mounted
// folder runs in a child process (diff, cat) with a timeout, and every wait has one, so a
// broken mount fails a test instead of hanging it. The test process is a child
// subreaper, so the server that --background leaves behind becomes its child and its
// exit status can be checked; whatever a test leaves mounted or running is cleared in
// TearDown.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/vrnFixtures.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

const std::string kProgram = VRN_VORNMOUNT;
const std::string kFixtures = VRN_FIXTURE_DIR;
// The password of the encrypted fixtures (make_fixtures.py).
const std::string kPassword = "p\u00e4ssw\u00f6rd\U0001f511";
// The longest any single wait may take.
constexpr auto kTimeout = 20s;

std::string Fixture(const std::string& name) {
  return kFixtures + "/" + name;
}

// A program run in a child process with its output collected: standard output and
// error apart through pipes, or both through a pseudo-terminal (Terminal), which is then
// the child's controlling terminal. Without a terminal the child gets a session of its
// own, so it has no controlling terminal to ask on. Killed in the destructor if it still
// runs.
class TProcess {
 public:
  TProcess(const std::vector<std::string>& args, bool terminal = false, bool closedStdin = true) {
    std::vector<char*> argv;
    std::vector<std::string> words = args;
    // The program serves in the foreground here (-f), where its output and exit can be
    // watched, unless a test asks for the background: when it is run itself or through
    // env(1).
    auto program = words.empty() ? words.end()
                   : words[0] == "/usr/bin/env" ? std::find(words.begin(), words.end(), kProgram)
                   : words[0] == kProgram       ? words.begin()
                                                : words.end();
    if (program != words.end() &&
        std::find(words.begin(), words.end(), "--background") == words.end()) {
      words.insert(program + 1, "-f");
    }
    for (std::string& word : words) {
      argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    if (terminal) {
      int master = -1;
      FPid = forkpty(&master, nullptr, nullptr, nullptr);
      if (FPid == 0) {
        execv(argv[0], argv.data());
        _exit(127);
      }
      FOut = master;
      FIn = master;
      return;
    }
    int out[2], err[2], in[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0 || pipe2(in, O_CLOEXEC) != 0) {
      std::abort();
    }
    FPid = fork();
    if (FPid == 0) {
      setsid();
      dup2(out[1], STDOUT_FILENO);
      dup2(err[1], STDERR_FILENO);
      if (closedStdin) {
        int null = open("/dev/null", O_RDONLY);
        dup2(null, STDIN_FILENO);
      } else {
        dup2(in[0], STDIN_FILENO);
      }
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(out[1]);
    close(err[1]);
    close(in[0]);
    FOut = out[0];
    FErr = err[0];
    FIn = in[1];
  }
  TProcess(const TProcess&) = delete;
  TProcess& operator=(const TProcess&) = delete;
  ~TProcess() {
    if (FRunning) {
      kill(FPid, SIGKILL);
      waitpid(FPid, nullptr, 0);
    }
    for (int fd : {FOut, FErr}) {
      if (fd >= 0) {
        close(fd);
      }
    }
    if (FIn >= 0 && FIn != FOut) {
      close(FIn);
    }
  }

  pid_t Pid() const { return FPid; }
  // Standard output (everything, with a terminal) and standard error so far.
  const std::string& Out() const { return FOutText; }
  const std::string& Err() const { return FErrText; }

  void Write(const std::string& text) {
    ASSERT_EQ(write(FIn, text.data(), text.size()), ssize_t(text.size()));
  }
  void CloseInput() {
    if (FIn >= 0 && FIn != FOut) {
      close(FIn);
      FIn = -1;
    }
  }
  void Signal(int number) { kill(FPid, number); }

  // Collects output until Text has appeared on standard output; false after kTimeout or
  // when the output ended first.
  bool WaitForOutput(const std::string& text) {
    auto deadline = Clock::now() + kTimeout;
    while (FOutText.find(text) == std::string::npos) {
      if (Clock::now() > deadline || !Pump(50ms)) {
        return FOutText.find(text) != std::string::npos;
      }
    }
    return true;
  }
  // Same for standard error.
  bool WaitForError(const std::string& text) {
    auto deadline = Clock::now() + kTimeout;
    while (FErrText.find(text) == std::string::npos) {
      if (Clock::now() > deadline || !Pump(50ms)) {
        return FErrText.find(text) != std::string::npos;
      }
    }
    return true;
  }

  // Waits for the exit and for the end of its output; the exit code, or nothing after
  // kTimeout (the process is then killed) or when it died of a signal.
  std::optional<int> Wait() {
    auto deadline = Clock::now() + kTimeout;
    int status = 0;
    while (FRunning) {
      pid_t done = waitpid(FPid, &status, WNOHANG);
      if (done == FPid) {
        FRunning = false;
        break;
      }
      if (Clock::now() > deadline) {
        return std::nullopt;
      }
      Pump(20ms);
    }
    // The rest of the output; a pseudo-terminal answers EIO once its child is gone.
    while (Clock::now() < deadline && Pump(20ms)) {
    }
    if (!WIFEXITED(status)) {
      return std::nullopt;
    }
    return WEXITSTATUS(status);
  }

 private:
  // Reads what is available within Timeout; false once every output has ended.
  bool Pump(std::chrono::milliseconds timeout) {
    pollfd fds[2];
    int count = 0;
    for (int fd : {FOut, FErr}) {
      if (fd >= 0) {
        fds[count++] = {.fd = fd, .events = POLLIN, .revents = 0};
      }
    }
    if (count == 0) {
      return false;
    }
    if (poll(fds, count, static_cast<int>(timeout.count())) <= 0) {
      return true;
    }
    for (int i = 0; i < count; ++i) {
      if (fds[i].revents == 0) {
        continue;
      }
      char buffer[4096];
      ssize_t size = read(fds[i].fd, buffer, sizeof buffer);
      bool isOut = fds[i].fd == FOut;
      if (size > 0) {
        (isOut ? FOutText : FErrText).append(buffer, size);
      } else {
        close(fds[i].fd);
        if (isOut && FIn == FOut) {
          FIn = -1;
        }
        (isOut ? FOut : FErr) = -1;
      }
    }
    return true;
  }

  pid_t FPid = -1;
  bool FRunning = true;
  int FOut = -1;
  int FErr = -1;
  int FIn = -1;
  std::string FOutText;
  std::string FErrText;
};

// Runs a program to its end with standard input from /dev/null (or Input); its exit
// code (-1 for a timeout or a signal) and output.
struct TRun {
  int Code = -1;
  std::string Out;
  std::string Err;
};
TRun RunProgram(const std::vector<std::string>& args,
                const std::optional<std::string>& input = {}) {
  TProcess process(args, false, !input.has_value());
  if (input) {
    process.Write(*input);
    process.CloseInput();
  }
  std::optional<int> code = process.Wait();
  return TRun{code.value_or(-1), process.Out(), process.Err()};
}

// The output of a failed run, for assertion messages.
std::string Describe(const TRun& run) {
  return "exit " + std::to_string(run.Code) + "\nstdout:\n" + run.Out + "\nstderr:\n" + run.Err;
}

// The number of lines of Text that are exactly Line.
int CountLines(const std::string& text, const std::string& line) {
  std::istringstream lines(text);
  std::string next;
  int count = 0;
  while (std::getline(lines, next)) {
    count += next == line ? 1 : 0;
  }
  return count;
}

// The folder tree of a fixture's sources: what a mount of that fixture must show.
std::string Sources(const std::string& name) {
  return kFixtures + "/src/" + name;
}

class VornmountTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { prctl(PR_SET_CHILD_SUBREAPER, 1); }

  void SetUp() override {
    char pattern[] = "/tmp/vornmount-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    FFolder = fs::canonical(pattern).string();
    FMountPoint = FFolder + "/mnt";
    ASSERT_EQ(mkdir(FMountPoint.c_str(), 0755), 0);
  }

  void TearDown() override {
    for (int i = 0; i < 4 && IsMountedAt(FMountPoint); ++i) {
      umount2(FMountPoint.c_str(), i == 0 ? UMOUNT_NOFOLLOW : MNT_FORCE | MNT_DETACH);
    }
    if (IsMountedAt(TempFolder())) {
      umount2(TempFolder().c_str(), MNT_DETACH);
    }
    EXPECT_TRUE(ReapOrphans()) << "a background server did not end after its unmount";
    std::error_code ignored;
    fs::remove_all(FFolder, ignored);
  }

  // Waits for the processes that --background left to this subreaper; true when all
  // ended by themselves within kTimeout (the rest are killed). Their exit codes land in
  // FOrphanCodes.
  bool ReapOrphans() {
    auto deadline = Clock::now() + kTimeout;
    for (;;) {
      int status = 0;
      pid_t pid = waitpid(-1, &status, WNOHANG);
      if (pid > 0) {
        FOrphanCodes.push_back(WIFEXITED(status) ? WEXITSTATUS(status) : -1);
        continue;
      }
      if (pid < 0) {
        return true;  // no child left
      }
      if (Clock::now() > deadline) {
        for (pid_t child : ChildPids()) {
          kill(child, SIGKILL);
        }
        while (waitpid(-1, nullptr, 0) > 0) {
        }
        return false;
      }
      std::this_thread::sleep_for(20ms);
    }
  }

  // The processes whose parent is this one.
  static std::vector<pid_t> ChildPids() {
    std::vector<pid_t> result;
    for (const auto& entry : fs::directory_iterator("/proc")) {
      std::ifstream status(entry.path() / "status");
      std::string line;
      while (std::getline(status, line)) {
        if (line.rfind("PPid:", 0) == 0) {
          if (std::stoi(line.substr(5)) == getpid()) {
            result.push_back(std::stoi(entry.path().filename().string()));
          }
          break;
        }
      }
    }
    return result;
  }

  // `diff -r` of a tree against the mount point: true when they are the same.
  ::testing::AssertionResult SameTree(const std::string& expected) {
    TRun diff = RunProgram({"/usr/bin/diff", "-r", expected, FMountPoint});
    if (diff.Code == 0) {
      return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "diff -r " << expected << ": " << Describe(diff);
  }

  // A temporary folder for the program (TMPDIR) on a tmpfs of its own with the mount
  // Options, unmounted in TearDown.
  ::testing::AssertionResult MountTempFolder(const std::string& options) {
    if (mkdir(TempFolder().c_str(), 0755) != 0 ||
        mount("tmpfs", TempFolder().c_str(), "tmpfs", 0, options.c_str()) != 0) {
      return ::testing::AssertionFailure()
             << "tmpfs on " << TempFolder() << ": " << std::strerror(errno);
    }
    return ::testing::AssertionSuccess();
  }
  std::string TempFolder() const { return FFolder + "/tmp"; }

  std::string FFolder;
  std::string FMountPoint;
  std::vector<int> FOrphanCodes;
};

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The lines of Text, sorted.
std::vector<std::string> SortedLines(const std::string& text) {
  std::istringstream lines(text);
  std::vector<std::string> result;
  for (std::string line; std::getline(lines, line);) {
    result.push_back(line);
  }
  std::sort(result.begin(), result.end());
  return result;
}

// ---------------------------------------------------------------------------------------
// The command line itself.

TEST_F(VornmountTest, UsageErrorsExitWithTwoAndSayWhy) {
  struct Case {
    std::vector<std::string> args;
    std::string error;
  };
  const Case cases[] = {
      {{}, "ARCHIVE and MOUNTPOINT are missing"},
      {{"a.7z"}, "MOUNTPOINT is missing"},
      {{"a.7z", "mnt", "extra"}, "too many arguments, from 'extra' on"},
      {{"--bogus", "a.7z", "mnt"}, "unknown option '--bogus'"},
      {{"-s", "ram", "a.7z", "mnt"}, "unknown store 'ram'"},
      {{"--max-memory=lots", "a.7z", "mnt"}, "'lots' is no size for --max-memory"},
      {{"--max-temp", "12Q", "a.7z", "mnt"}, "'12Q' is no size for --max-temp"},
      {{"a.7z", "mnt", "--max-temp"}, "--max-temp needs a value"},
      {{"a.7z", "mnt", "-s"}, "-s needs a store"},
      {{"-pone", "--password-stdin", "a.7z", "mnt"}, "the password is given more than once"},
      {{"-p", "-p", "a.7z", "mnt"}, "the password is given more than once"},
      {{"a.7z", "mnt", "-o", "ro,bogus=1"}, "unknown mount option 'bogus=1' in -o"},
      {{"-ouid=me", "a.7z", "mnt"}, "'me' is no number for -o uid"},
      {{"-o", "umask=089", "a.7z", "mnt"}, "'089' is no octal mask (022) for -o umask"},
      {{"-o", "store=ram", "a.7z", "mnt"}, "unknown store 'ram'"},
      {{"-o", "max-temp=lots", "a.7z", "mnt"}, "'lots' is no size for -o max-temp"},
      {{"-o", "allow_other,allow_root", "a.7z", "mnt"}, "allow_other and allow_root exclude"},
      {{"-o", "windows-names=yes", "a.7z", "mnt"}, "-o windows-names takes no value"},
      {{"-o", "password-file", "a.7z", "mnt"}, "-o password-file needs a value"},
      {{"-p", "-o", "password-file=pw", "a.7z", "mnt"}, "the password is given more than once"},
      {{"a.7z", "mnt", "-o"}, "-o needs a list of mount options"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args{kProgram};
    args.insert(args.end(), c.args.begin(), c.args.end());
    TRun run = RunProgram(args);
    SCOPED_TRACE(c.error);
    EXPECT_EQ(run.Code, 2) << Describe(run);
    EXPECT_NE(run.Err.find("vornmount: " + c.error), std::string::npos) << run.Err;
    EXPECT_NE(run.Err.find("--help"), std::string::npos) << run.Err;
    EXPECT_EQ(run.Out, "");
  }
}

TEST_F(VornmountTest, HelpAndVersionPrintAndExitWithZero) {
  TRun help = RunProgram({kProgram, "--help"});
  EXPECT_EQ(help.Code, 0);
  EXPECT_EQ(help.Out.rfind("Usage: vornmount [OPTIONS] ARCHIVE MOUNTPOINT\n", 0), 0u) << help.Out;
  EXPECT_EQ(RunProgram({kProgram, "-h"}).Out, help.Out);
  TRun version = RunProgram({kProgram, "--version"});
  EXPECT_EQ(version.Code, 0);
  EXPECT_EQ(version.Out, "vornmount 1.0.0\n");
}

TEST_F(VornmountTest, PasswordSwitchesWithoutAnInputFailAtOnce) {
  // -p without a terminal to ask on, and --password-stdin on an empty input: usage
  // errors, without waiting for input that never comes.
  TRun prompt = RunProgram({kProgram, "-p", Fixture("enchead.7z"), FMountPoint});
  EXPECT_EQ(prompt.Code, 2) << Describe(prompt);
  EXPECT_NE(prompt.Err.find("no terminal"), std::string::npos) << prompt.Err;
  TRun stdinPassword =
      RunProgram({kProgram, "--password-stdin", Fixture("enchead.7z"), FMountPoint}, "");
  EXPECT_EQ(stdinPassword.Code, 2) << Describe(stdinPassword);
  EXPECT_NE(stdinPassword.Err.find("no password on standard input"), std::string::npos);
  EXPECT_FALSE(IsMountedAt(FMountPoint));
}

// ---------------------------------------------------------------------------------------
// Mounts that fail.

TEST_F(VornmountTest, FailedMountsPrintTheErrorAndExitWithOne) {
  std::string file = Fixture("text.txt");
  // What is not a regular file is refused before it is opened: the open of a pipe would
  // wait for a writer, past any signal.
  const std::string fifo = FFolder + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  struct Case {
    std::string archive;
    std::string mountPoint;
    std::string error;
  };
  const std::string cannotOpen = "vornmount: Cannot open file '";
  const Case cases[] = {
      {Fixture("solid.7z"), FFolder + "/missing",
       "vornmount: Mount point '" + FFolder + "/missing' does not exist"},
      {Fixture("solid.7z"), FFolder + "/missing/deeper",
       "vornmount: Mount point '" + FFolder + "/missing/deeper' does not exist"},
      {Fixture("solid.7z"), file, "vornmount: Mount point '" + file + "' is not a folder"},
      {Fixture("missing.7z"), FMountPoint,
       "vornmount: Cannot open file \"" + Fixture("missing.7z") + "\". No such file or directory"},
      {kFixtures, FMountPoint, "vornmount: '" + kFixtures + "' is a folder, not an archive"},
      {fifo, FMountPoint,
       "vornmount: '" + fifo +
           "' is a pipe: input that cannot be seeked is not supported; the archive must be a "
           "regular file"},
      {"/dev/null", FMountPoint,
       "vornmount: '/dev/null' is a device: the archive must be a regular file"},
      // Not a 7z archive, and 7z archives whose headers cannot be read.
      {file, FMountPoint,
       cannotOpen + file +
           "' as archive: it is not a 7z archive (only 7z archives can be mounted)"},
      {Fixture("other.zip"), FMountPoint,
       cannotOpen + Fixture("other.zip") +
           "' as archive: it is not a 7z archive (only 7z archives can be mounted)"},
      {Fixture("head.7z"), FMountPoint,
       cannotOpen + Fixture("head.7z") + "' as archive: the archive is damaged or incomplete"},
      {Fixture("truncated.7z"), FMountPoint,
       cannotOpen + Fixture("truncated.7z") + "' as archive: the archive is damaged or incomplete"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.archive + " on " + c.mountPoint);
    for (bool background : {false, true}) {
      std::vector<std::string> args{kProgram, c.archive, c.mountPoint};
      if (background) {
        args.insert(args.begin() + 1, "--background");
      }
      TRun run = RunProgram(args);
      EXPECT_EQ(run.Code, 1) << Describe(run);
      EXPECT_EQ(run.Err, c.error + "\n");
      EXPECT_FALSE(IsMountedAt(c.mountPoint));
    }
  }
  EXPECT_TRUE(ReapOrphans());
  EXPECT_FALSE(IsMountedAt(FMountPoint));
}

TEST_F(VornmountTest, WithoutFuseTheMountFailsBeforeOpening) {
  // A private mount namespace whose /dev has no fuse device.
  TRun run = RunProgram({"/usr/bin/unshare", "--mount", "--propagation", "private", "/bin/sh", "-c",
                         "mount -t tmpfs none /dev && exec \"$0\" \"$@\"", kProgram,
                         Fixture("solid.7z"), FMountPoint});
  EXPECT_EQ(run.Code, 1) << Describe(run);
  EXPECT_EQ(run.Err,
            "vornmount: FUSE is not available: /dev/fuse: No such file or directory (Debian: "
            "apt-get install fuse3)\n");
  EXPECT_EQ(run.Out, "");
  // Installed but closed to this user: a matter of permission, not of installing.
  ASSERT_EQ(chmod(FFolder.c_str(), 0755), 0);
  TRun other = RunProgram({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                           "--", kProgram, Fixture("solid.7z"), FMountPoint});
  EXPECT_EQ(other.Code, 1) << Describe(other);
  EXPECT_EQ(other.Err.rfind("vornmount: FUSE cannot be used: no permission to open /dev/fuse", 0),
            0u)
      << other.Err;
  EXPECT_EQ(other.Err.find("apt-get"), std::string::npos) << other.Err;
}

TEST_F(VornmountTest, EncryptedHeadersWithoutTheRightPasswordFail) {
  const std::string archive = Fixture("enchead.7z");
  const std::string prefix = "vornmount: Cannot open file '" + archive + "' as archive: ";
  // A wrong password, and none at all with no terminal to ask on.
  struct Case {
    std::vector<std::string> args;
    std::string error;
  };
  const Case cases[] = {
      {{kProgram, "-pwrong", archive, FMountPoint}, prefix + "wrong password\n"},
      {{kProgram, archive, FMountPoint},
       prefix + "its headers are encrypted and a password is needed: give it with -p (asked on "
                "the terminal) or --password-stdin\n"},
  };
  for (const Case& c : cases) {
    TRun run = RunProgram(c.args);
    EXPECT_EQ(run.Code, 1) << Describe(run);
    EXPECT_EQ(run.Err, c.error);
    EXPECT_EQ(run.Out, "Opening archive...\n");
    EXPECT_FALSE(IsMountedAt(FMountPoint));
  }
}

TEST_F(VornmountTest, AMountPointThatIsMountedIsRefused) {
  TRun first = RunProgram({kProgram, "--background", Fixture("solid.7z"), FMountPoint});
  ASSERT_EQ(first.Code, 0) << Describe(first);
  const std::string expected = "vornmount: Mount point '" + FMountPoint +
                               "' is already mounted; unmount it first (fusermount3 -u " +
                               FMountPoint + ")\n";
  for (bool background : {false, true}) {
    std::vector<std::string> args{kProgram, Fixture("plain.7z"), FMountPoint};
    if (background) {
      args.insert(args.begin() + 1, "--background");
    }
    TRun second = RunProgram(args);
    EXPECT_EQ(second.Code, 1) << Describe(second);
    EXPECT_EQ(second.Err, expected);
  }
  // The first mount is untouched.
  EXPECT_TRUE(SameTree(Sources("solid")));
  EXPECT_EQ(RunProgram({"/usr/bin/fusermount3", "-u", FMountPoint}).Code, 0);
  EXPECT_TRUE(ReapOrphans());
  EXPECT_EQ(FOrphanCodes, std::vector<int>{0});
}

TEST_F(VornmountTest, AFolderWithAnotherFileSystemOnItIsInUseAndNotOurs) {
  // Run as root, the unmount advice would remove any file system from under its users:
  // it is given only for a mount of this program.
  ASSERT_TRUE(MountTempFolder("size=4k"));
  const std::string link = FFolder + "/link";
  ASSERT_EQ(symlink(TempFolder().c_str(), link.c_str()), 0);
  for (const std::string& typed : {TempFolder(), link}) {
    TRun run = RunProgram({kProgram, Fixture("solid.7z"), typed});
    EXPECT_EQ(run.Code, 1) << Describe(run);
    EXPECT_EQ(run.Err, "vornmount: Mount point '" + typed +
                           "' is in use: a file system of type tmpfs is mounted on it\n");
    EXPECT_EQ(run.Err.find("fusermount3"), std::string::npos);
  }
  EXPECT_TRUE(IsMountedAt(TempFolder()));
}

TEST_F(VornmountTest, LinksAreFollowedToTheRealArchiveAndFolder) {
  // A link to the archive opens it; a link as mount point is mounted at its target, which
  // is what the output names, since only that unmounts.
  const std::string archive = FFolder + "/archive.7z";
  const std::string link = FFolder + "/link";
  ASSERT_EQ(symlink(Fixture("solid.7z").c_str(), archive.c_str()), 0);
  ASSERT_EQ(symlink(FMountPoint.c_str(), link.c_str()), 0);
  TRun run = RunProgram({kProgram, "--background", archive, link});
  ASSERT_EQ(run.Code, 0) << Describe(run);
  EXPECT_NE(run.Out.find("Mounted at " + FMountPoint + "\n"), std::string::npos) << run.Out;
  EXPECT_NE(run.Out.find("fusermount3 -u " + FMountPoint + "`"), std::string::npos) << run.Out;
  EXPECT_TRUE(SameTree(Sources("solid")));
  EXPECT_EQ(RunProgram({"/usr/bin/fusermount3", "-u", FMountPoint}).Code, 0);
  EXPECT_TRUE(ReapOrphans());
  EXPECT_EQ(FOrphanCodes, std::vector<int>{0});
}

// ---------------------------------------------------------------------------------------
// Mounts that serve.

TEST_F(VornmountTest, ServesEveryStoreKindUntilUnmountedEitherWay) {
  struct Case {
    std::string store;
    // A signal to the program, or 0 for an outside `fusermount3 -u`.
    int signal;
  };
  const Case cases[] = {
      {"temp", SIGINT},
      {"memory-temp", SIGTERM},
      {"memory", 0},
      {"temp", SIGHUP},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("-s " + c.store + ", signal " + std::to_string(c.signal));
    TProcess process({kProgram, "-s", c.store, Fixture("solid.7z"), FMountPoint});
    ASSERT_TRUE(process.WaitForOutput("Mounted at " + FMountPoint + "\n")) << process.Out();
    // Announced only once the folder is live.
    EXPECT_TRUE(IsMountedAt(FMountPoint));
    EXPECT_TRUE(SameTree(Sources("solid")));
    if (c.signal != 0) {
      process.Signal(c.signal);
    } else {
      EXPECT_EQ(RunProgram({"/usr/bin/fusermount3", "-u", FMountPoint}).Code, 0);
    }
    EXPECT_EQ(process.Wait(), 0) << process.Out() << process.Err();
    EXPECT_FALSE(IsMountedAt(FMountPoint));
    EXPECT_EQ(process.Out().rfind("Opening archive...\nMounted at " + FMountPoint + "\n", 0), 0u)
        << process.Out();
    EXPECT_EQ(CountLines(process.Out(), "Unmounted."), 1) << process.Out();
    EXPECT_EQ(process.Err(), "");
  }
}

// The mount is the tree that was packed, as Linux tools expect it: the same names,
// contents and links (diff -r without following links), modes without write and
// special bits, a script that runs, links that resolve, a header found through a linked
// folder by the compiler, and no time from before 1970 (a 1601 would be negative).
TEST_F(VornmountTest, TheMountIsTheArchivesOwnTree) {
  TRun run = RunProgram({kProgram, "--background", Fixture("unix.7z"), FMountPoint});
  ASSERT_EQ(run.Code, 0) << Describe(run);
  // Whatever the modes say, nothing on the mount runs setuid or opens a device.
  std::ifstream mountInfo("/proc/self/mountinfo");
  std::string options;
  for (std::string line; std::getline(mountInfo, line);) {
    std::istringstream fields(line);
    std::string id, parent, device, root, point, mountOptions;
    if (fields >> id >> parent >> device >> root >> point >> mountOptions && point == FMountPoint) {
      options = "," + mountOptions + ",";
    }
  }
  for (const char* option : {",ro,", ",nosuid,", ",nodev,"}) {
    EXPECT_NE(options.find(option), std::string::npos) << option << " in " << options;
  }
  TRun diff = RunProgram({"/usr/bin/diff", "-r", "--no-dereference", Sources("unix"), FMountPoint});
  EXPECT_EQ(diff.Code, 0) << Describe(diff);

  // Every entry's mode as find(1) prints it: permissions, type, path.
  std::string expected;
  int entries = 0;
  for (const auto& entry : fs::recursive_directory_iterator(Sources("unix"))) {
    struct stat st {};
    ASSERT_EQ(lstat(entry.path().c_str(), &st), 0);
    char line[32];
    std::snprintf(line, sizeof line, "%o %c ", unsigned(st.st_mode & 0555),
                  S_ISLNK(st.st_mode) ? 'l' : S_ISDIR(st.st_mode) ? 'd' : 'f');
    expected += line + entry.path().lexically_relative(Sources("unix")).string() + "\n";
    ++entries;
  }
  TRun modes = RunProgram({"/usr/bin/find", FMountPoint, "-mindepth", "1", "-printf", "%m %y %P\n"});
  EXPECT_EQ(SortedLines(modes.Out), SortedLines(expected)) << Describe(modes);

  TRun script = RunProgram({FMountPoint + "/bin/run.sh"});
  EXPECT_EQ(script.Code, 0) << Describe(script);
  EXPECT_EQ(script.Out, "vornmount-script-ran\n");
  struct Link {
    std::string Path, Target;
  };
  for (const Link& link : {Link{"include/ncursesw/curses.h", "../curses.h"},
                           Link{"absolute", "/etc/passwd"},
                           Link{"dangling", "no/such/target"}, Link{"headers", "include"}}) {
    TRun target = RunProgram({"/usr/bin/readlink", FMountPoint + "/" + link.Path});
    EXPECT_EQ(target.Out, link.Target + "\n") << link.Path;
  }
  TRun through = RunProgram({"/usr/bin/cat", FMountPoint + "/headers/ncursesw/curses.h"});
  EXPECT_EQ(through.Out, "#define VRN_LINKED_HEADER 42\n") << Describe(through);
  EXPECT_NE(RunProgram({"/usr/bin/cat", FMountPoint + "/dangling"}).Code, 0);

  const std::string source = FFolder + "/uses_header.c";
  const std::string binary = FFolder + "/uses_header";
  std::ofstream(source) << "#include <ncursesw/curses.h>\n"
                           "int main(void) { return VRN_LINKED_HEADER == 42 ? 0 : 1; }\n";
  TRun compile = RunProgram(
      {"/usr/bin/gcc", "-I", FMountPoint + "/headers", "-o", binary, source});
  ASSERT_EQ(compile.Code, 0) << Describe(compile);
  EXPECT_EQ(RunProgram({binary}).Code, 0);

  // Access, modification and change times of every entry and of the root; the root and
  // the folders the archive does not list have the archive file's own time.
  TRun times = RunProgram(
      {"/usr/bin/find", FMountPoint, "-printf", "%A@ %T@ %C@ %p\n"});
  ASSERT_EQ(times.Code, 0) << Describe(times);
  std::istringstream lines(times.Out);
  int count = 0;
  for (std::string line; std::getline(lines, line); ++count) {
    double access = 0, modification = 0, change = 0;
    ASSERT_EQ(std::sscanf(line.c_str(), "%lf %lf %lf", &access, &modification, &change), 3);
    EXPECT_GT(access, 0) << line;
    EXPECT_GT(modification, 0) << line;
    EXPECT_GT(change, 0) << line;
  }
  EXPECT_EQ(count, entries + 1);
  struct stat archive {};
  ASSERT_EQ(stat(Fixture("unix.7z").c_str(), &archive), 0);
  TRun root = RunProgram({"/usr/bin/stat", "-c", "%Y", FMountPoint});
  EXPECT_EQ(root.Out, std::to_string(archive.st_mtime) + "\n");

  EXPECT_EQ(RunProgram({"/usr/bin/fusermount3", "-u", FMountPoint}).Code, 0);
  EXPECT_TRUE(ReapOrphans());
}

// --windows-names: the names the Windows program shows, and lookups that ignore case.
TEST_F(VornmountTest, WindowsNamesAreTheWindowsProgramsNames) {
  TRun run = RunProgram(
      {kProgram, "--background", "--windows-names", Fixture("unix.7z"), FMountPoint});
  ASSERT_EQ(run.Code, 0) << Describe(run);
  TRun list = RunProgram({"/usr/bin/ls", "-A", FMountPoint});
  std::vector<std::string> names = SortedLines(list.Out);
  for (const char* name : {"Makefile", "makefile (2)", "a_b_c", "_con", "back\\slash"}) {
    EXPECT_NE(std::find(names.begin(), names.end(), name), names.end()) << name << "\n" << list.Out;
  }
  for (const char* name : {"makefile", "a:b?c", "con"}) {
    EXPECT_EQ(std::find(names.begin(), names.end(), name), names.end()) << name;
  }
  EXPECT_EQ(RunProgram({"/usr/bin/cat", FMountPoint + "/MAKEFILE"}).Out, "upper\n");
  EXPECT_EQ(RunProgram({"/usr/bin/fusermount3", "-u", FMountPoint}).Code, 0);
  EXPECT_TRUE(ReapOrphans());
}

// The FUSE way of mounting: mount.fuse3 runs `vornmount ARCHIVE DIR -o OPTIONS` as an
// fstab line or `mount -t fuse.vornmount` asks, and waits for it to return; the program
// goes to the background once the folder is live. The options of mount(8) are taken,
// the owner, group and mask apply to every item, and the mount shows the archive as its
// source and stays read-only, nosuid and nodev whatever the line says.
TEST_F(VornmountTest, MountFuse3MountsWithFstabOptions) {
  const std::string program = std::filesystem::path(kProgram).parent_path().string();
  const std::string archive = Fixture("solid.7z");
  TRun run = RunProgram({"/usr/bin/env", "PATH=" + program + ":/usr/bin:/bin", "/sbin/mount.fuse3",
                         archive, FMountPoint, "-t", "vornmount", "-o",
                         "rw,defaults,suid,dev,exec,noatime,nofail,_netdev,x-systemd.automount,"
                         "uid=4321,gid=8765,umask=0227,store=temp,max-temp=64M,nonempty"});
  ASSERT_EQ(run.Code, 0) << Describe(run);
  ASSERT_TRUE(IsMountedAt(FMountPoint));
  std::string line;
  {
    std::ifstream mounts("/proc/self/mounts");
    for (std::string entry; std::getline(mounts, entry);) {
      std::istringstream fields(entry);
      std::string source, point;
      if (fields >> source >> point && point == FMountPoint) {
        line = entry;
      }
    }
  }
  std::istringstream fields(line);
  std::string source, point, type, options;
  fields >> source >> point >> type >> options;
  EXPECT_EQ(source, archive) << line;
  EXPECT_EQ(type, "fuse.vornmount") << line;
  for (const char* option : {",ro,", ",nosuid,", ",nodev,"}) {
    EXPECT_NE(("," + options + ",").find(option), std::string::npos) << option << " in " << line;
  }
  struct stat file {};
  ASSERT_EQ(stat((FMountPoint + "/s/f1.txt").c_str(), &file), 0) << std::strerror(errno);
  EXPECT_EQ(file.st_uid, 4321u);
  EXPECT_EQ(file.st_gid, 8765u);
  EXPECT_EQ(file.st_mode & 07777, 0440u) << std::oct << file.st_mode;
  struct stat folder {};
  ASSERT_EQ(stat((FMountPoint + "/s").c_str(), &folder), 0);
  EXPECT_EQ(folder.st_mode & 07777, 0550u) << std::oct << folder.st_mode;
  EXPECT_TRUE(SameTree(Sources("solid")));
  EXPECT_EQ(RunProgram({"/usr/bin/umount", FMountPoint}).Code, 0);
  EXPECT_TRUE(ReapOrphans());
  EXPECT_EQ(FOrphanCodes, std::vector<int>{0});
  EXPECT_FALSE(IsMountedAt(FMountPoint));
}

// -o password-file=PATH reads the first line of a file that only its owner may read;
// one that others may read is refused before anything is mounted.
TEST_F(VornmountTest, APasswordFileOpensTheArchiveOnlyWhenPrivate) {
  const std::string file = FFolder + "/password";
  {
    std::ofstream out(file);
    out << kPassword << "\nnot this line\n";
  }
  ASSERT_EQ(chmod(file.c_str(), 0644), 0);
  TRun open = RunProgram({kProgram, "-o", "password-file=" + file, Fixture("enchead.7z"),
                          FMountPoint});
  EXPECT_EQ(open.Code, 1) << Describe(open);
  EXPECT_NE(open.Err.find("can be read by other users"), std::string::npos) << open.Err;
  EXPECT_FALSE(IsMountedAt(FMountPoint));

  ASSERT_EQ(chmod(file.c_str(), 0600), 0);
  TRun run = RunProgram({kProgram, "--background", "-o", "password-file=" + file,
                         Fixture("enchead.7z"), FMountPoint});
  ASSERT_EQ(run.Code, 0) << Describe(run);
  EXPECT_TRUE(SameTree(Sources("secret")));
  EXPECT_EQ(RunProgram({"/usr/bin/fusermount3", "-u", FMountPoint}).Code, 0);
  EXPECT_TRUE(ReapOrphans());
}

TEST_F(VornmountTest, BackgroundReturnsOnceLiveAndServesUntilUnmounted) {
  TRun run =
      RunProgram({kProgram, "--background", "-s", "memory", Fixture("solid.7z"), FMountPoint});
  ASSERT_EQ(run.Code, 0) << Describe(run);
  EXPECT_EQ(run.Out.rfind("Opening archive...\nMounted at " + FMountPoint + "\n", 0), 0u)
      << run.Out;
  EXPECT_EQ(run.Err, "");
  // Live the moment the command returned.
  EXPECT_TRUE(IsMountedAt(FMountPoint));
  EXPECT_TRUE(SameTree(Sources("solid")));
  // The server stays until the folder is unmounted from outside, then ends cleanly.
  EXPECT_TRUE(ChildPids().size() == 1);
  EXPECT_EQ(RunProgram({"/usr/bin/fusermount3", "-u", FMountPoint}).Code, 0);
  EXPECT_TRUE(ReapOrphans());
  EXPECT_EQ(FOrphanCodes, std::vector<int>{0});
  EXPECT_FALSE(IsMountedAt(FMountPoint));
}

TEST_F(VornmountTest, InTheBackgroundFailedReadsAndTheUnmountGoToTheSystemLog) {
  // The server runs in a private mount namespace whose /dev holds only the devices it
  // needs and a log socket of this test's own, so the real syslog() is what is heard.
  const std::string dev = FFolder + "/dev";
  ASSERT_EQ(mkdir(dev.c_str(), 0755), 0);
  int log = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(log, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string socketPath = dev + "/log";
  ASSERT_LT(socketPath.size(), sizeof address.sun_path);
  std::strcpy(address.sun_path, socketPath.c_str());
  ASSERT_EQ(bind(log, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  const std::string script =
      "set -e; for n in null fuse urandom; do : > \"$1/$n\"; mount --bind /dev/$n \"$1/$n\"; "
      "done; mount --rbind \"$1\" /dev; \"$0\" --background \"$2\" \"$3\"; "
      "! cat \"$3/s/f1.txt\" >/dev/null 2>&1; umount \"$3\"";
  TRun run = RunProgram({"/usr/bin/unshare", "--mount", "--propagation", "private", "/bin/sh", "-c",
                         script, kProgram, dev, Fixture("damaged.7z"), FMountPoint});
  EXPECT_EQ(run.Code, 0) << Describe(run);
  EXPECT_NE(run.Out.find("Messages go to the system log from now on.\n"), std::string::npos)
      << run.Out;
  std::string records;
  auto deadline = Clock::now() + kTimeout;
  while (records.find(": Unmounted.") == std::string::npos && Clock::now() < deadline) {
    pollfd ready{.fd = log, .events = POLLIN, .revents = 0};
    char buffer[2048];
    if (poll(&ready, 1, 100) > 0) {
      ssize_t size = recv(log, buffer, sizeof buffer, 0);
      if (size > 0) {
        records.append(buffer, static_cast<std::size_t>(size)).append("\n");
      }
    }
  }
  close(log);
  EXPECT_TRUE(ReapOrphans());
  EXPECT_EQ(FOrphanCodes, std::vector<int>{0});
  for (const std::string& text :
       {std::string("vornmount["), ": " + FMountPoint + ": Mounted " + Fixture("damaged.7z") + "\n",
        ": " + FMountPoint + ": Data error: s/f1.txt (the archive's data is damaged)\n",
        ": " + FMountPoint + ": Unmounted.\n"}) {
    EXPECT_NE(records.find(text), std::string::npos) << text << " in:\n" << records;
  }
}

TEST_F(VornmountTest, BackgroundServerEndsCleanlyOnSigterm) {
  TRun run = RunProgram({kProgram, "--background", Fixture("solid.7z"), FMountPoint});
  ASSERT_EQ(run.Code, 0) << Describe(run);
  std::vector<pid_t> servers = ChildPids();
  ASSERT_EQ(servers.size(), 1u);
  kill(servers[0], SIGTERM);
  EXPECT_TRUE(ReapOrphans());
  EXPECT_EQ(FOrphanCodes, std::vector<int>{0});
  EXPECT_FALSE(IsMountedAt(FMountPoint));
}

TEST_F(VornmountTest, AMountIsPrivateToTheUserWhoMadeItUnlessOthersAreLetIn) {
  // The folder is world-readable; whether another user gets into the mount is the
  // mount's own choice.
  ASSERT_EQ(chmod(FFolder.c_str(), 0755), 0);
  for (bool allowOther : {false, true}) {
    SCOPED_TRACE(allowOther ? "--allow-other" : "private");
    std::vector<std::string> args{kProgram, "--background", Fixture("solid.7z"), FMountPoint};
    if (allowOther) {
      args.insert(args.begin() + 1, "--allow-other");
    }
    TRun run = RunProgram(args);
    ASSERT_EQ(run.Code, 0) << Describe(run);
    TRun other = RunProgram({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                             "--", "/bin/ls", FMountPoint + "/s"});
    if (allowOther) {
      EXPECT_EQ(other.Code, 0) << Describe(other);
      EXPECT_NE(other.Out.find("f7.txt"), std::string::npos) << Describe(other);
    } else {
      EXPECT_NE(other.Code, 0) << Describe(other);
      EXPECT_NE(other.Err.find("Permission denied"), std::string::npos) << Describe(other);
    }
    EXPECT_TRUE(SameTree(Sources("solid")));  // the owner always gets in
    EXPECT_EQ(RunProgram({"/usr/bin/fusermount3", "-u", FMountPoint}).Code, 0);
    EXPECT_TRUE(ReapOrphans());
  }
}

TEST_F(VornmountTest, PasswordFromStdinOpensEncryptedHeaders) {
  TProcess process({kProgram, "--password-stdin", Fixture("enchead.7z"), FMountPoint}, false,
                   false);
  process.Write(kPassword + "\n");
  ASSERT_TRUE(process.WaitForOutput("Mounted at " + FMountPoint + "\n"))
      << process.Out() << process.Err();
  EXPECT_TRUE(SameTree(Sources("secret")));
  process.Signal(SIGTERM);
  EXPECT_EQ(process.Wait(), 0);
  EXPECT_EQ(process.Out().find(kPassword), std::string::npos);
  EXPECT_EQ(process.Err(), "");
}

TEST_F(VornmountTest, PasswordArgumentLeavesTheVisibleCommandLine) {
  TProcess process({kProgram, "-p" + kPassword, Fixture("enchead.7z"), FMountPoint});
  ASSERT_TRUE(process.WaitForOutput("Mounted at " + FMountPoint + "\n"))
      << process.Out() << process.Err();
  std::ifstream cmdline("/proc/" + std::to_string(process.Pid()) + "/cmdline");
  std::string visible((std::istreambuf_iterator<char>(cmdline)), std::istreambuf_iterator<char>());
  EXPECT_EQ(visible.find(kPassword), std::string::npos);
  EXPECT_NE(visible.find(Fixture("enchead.7z")), std::string::npos);  // the rest stays
  EXPECT_TRUE(SameTree(Sources("secret")));
  process.Signal(SIGINT);
  EXPECT_EQ(process.Wait(), 0);
}

TEST_F(VornmountTest, WrongDataPasswordFailsReadsWithOneMessageEach) {
  struct Case {
    std::vector<std::string> args;
    std::string cause;
  };
  const Case cases[] = {
      {{kProgram, "-pwrong"}, "wrong password, or damaged encrypted data"},
      {{kProgram}, "the data is encrypted and no password was given: use -p or --password-stdin"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.cause);
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {Fixture("encdata.7z"), FMountPoint});
    TProcess process(args);
    ASSERT_TRUE(process.WaitForOutput("Mounted at " + FMountPoint + "\n"))
        << process.Out() << process.Err();
    // The names show (the headers are not encrypted); the data does not.
    TRun list = RunProgram({"/bin/ls", FMountPoint});
    EXPECT_EQ(list.Out, "alone\none.txt\ntwo.txt\n");
    for (const char* name : {"one.txt", "one.txt", "alone/three.bin"}) {
      TRun read = RunProgram({"/bin/cat", FMountPoint + "/" + name});
      EXPECT_EQ(read.Code, 1) << Describe(read);
      EXPECT_NE(read.Err.find("Input/output error"), std::string::npos) << read.Err;
      EXPECT_EQ(read.Out, "");
    }
    // Each failed file is reported, and only once however often its read failed.
    EXPECT_TRUE(process.WaitForError("three.bin (" + c.cause + ")\n")) << process.Err();
    EXPECT_TRUE(process.WaitForError("one.txt (" + c.cause + ")\n")) << process.Err();
    process.Signal(SIGTERM);
    EXPECT_EQ(process.Wait(), 0);
    EXPECT_EQ(SortedLines(process.Err()),
              (std::vector<std::string>{"Data error: alone/three.bin (" + c.cause + ")",
                                        "Data error: one.txt (" + c.cause + ")"}));
  }
}

// ---------------------------------------------------------------------------------------
// Faults around a mount.

TEST_F(VornmountTest, ANearlyFullTempFolderFailsOnlyTheReadsThatDoNotFit) {
  // 2 MiB for the temporary file, of which 5% stay free: long.7z's part1.bin (1 MiB) fits
  // and reads, every later file of its block (2 MiB and more) finds no room, and the
  // messages say why; the disk is never filled.
  ASSERT_TRUE(MountTempFolder("size=2m"));
  TProcess process({"/usr/bin/env", "TMPDIR=" + TempFolder(), kProgram, Fixture("long.7z"),
                    FMountPoint});
  ASSERT_TRUE(process.WaitForOutput("Mounted at " + FMountPoint + "\n"))
      << process.Out() << process.Err();
  std::vector<std::string> expected;
  for (const char* name : {"part1.bin", "part2.bin", "part3.bin", "part6.bin", "part2.bin"}) {
    SCOPED_TRACE(name);
    const std::string path = name;
    TRun read = RunProgram({"/bin/cat", FMountPoint + "/" + path});
    if (path == "part1.bin") {
      EXPECT_EQ(read.Code, 0) << read.Err;
      EXPECT_EQ(read.Out.size(), 1u << 20);
      continue;
    }
    EXPECT_EQ(read.Code, 1) << read.Err;
    EXPECT_NE(read.Err.find("Input/output error"), std::string::npos) << read.Err;
    const std::string message = "Data error: " + path +
                                " (the temporary file may not grow further (keeping 102.4 KiB "
                                "free in " +
                                TempFolder() + "/))";
    if (std::find(expected.begin(), expected.end(), message) == expected.end()) {
      expected.push_back(message);
    }
  }
  EXPECT_TRUE(process.WaitForError("part6.bin (the temporary file")) << process.Err();
  process.Signal(SIGTERM);
  EXPECT_EQ(process.Wait(), 0) << process.Out() << process.Err();
  // One message a file, however often its read failed.
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(SortedLines(process.Err()), expected);
}

// The temporary file stops at --max-temp: the files that fit are read, the others fail
// with a message that names the limit. A memory limit makes memory stores fall back to
// the temporary file, and every byte still reads right.
TEST_F(VornmountTest, StoreLimitsBoundTheTemporaryFileAndMemory) {
  {
    TProcess process({kProgram, "--max-temp=64K", Fixture("solid.7z"), FMountPoint});
    ASSERT_TRUE(process.WaitForOutput("Mounted at " + FMountPoint + "\n")) << process.Err();
    // The first block's f1.txt (20,000 bytes) and f2.txt (40,000) fit in 64 KiB.
    TRun first = RunProgram({"/bin/cat", FMountPoint + "/s/f1.txt"});
    EXPECT_EQ(first.Out, ReadWhole(Sources("solid") + "/s/f1.txt")) << Describe(first);
    TRun last = RunProgram({"/bin/cat", FMountPoint + "/s/f7.txt"});
    EXPECT_NE(last.Err.find("Input/output error"), std::string::npos) << Describe(last);
    EXPECT_TRUE(process.WaitForError(
        "Data error: s/f7.txt (the temporary file may not grow further (--max-temp 64 KiB, "
        "keeping "))
        << process.Err();
    process.Signal(SIGTERM);
    EXPECT_EQ(process.Wait(), 0) << process.Err();
  }
  TProcess process({kProgram, "-s", "memory", "--max-memory", "100K", Fixture("solid.7z"),
                    FMountPoint});
  ASSERT_TRUE(process.WaitForOutput("Mounted at " + FMountPoint + "\n")) << process.Err();
  EXPECT_TRUE(SameTree(Sources("solid")));
  process.Signal(SIGTERM);
  EXPECT_EQ(process.Wait(), 0) << process.Err();
}

TEST_F(VornmountTest, ATempFolderThatCannotTakeTheFileFailsTheMountNamingIt) {
  struct Case {
    std::string folder;
    std::string reason;
  };
  ASSERT_TRUE(MountTempFolder("ro"));
  const Case cases[] = {
      {TempFolder(), "Read-only file system"},
      {FFolder + "/missing", "No such file or directory"},
  };
  for (const Case& c : cases) {
    TRun run = RunProgram(
        {"/usr/bin/env", "TMPDIR=" + c.folder, kProgram, Fixture("solid.7z"), FMountPoint});
    EXPECT_EQ(run.Code, 1) << Describe(run);
    EXPECT_EQ(run.Err, "vornmount: Cannot create a temporary file in \"" + c.folder + "/\". " +
                           c.reason + "\n");
    EXPECT_FALSE(IsMountedAt(FMountPoint));
  }
}

TEST_F(VornmountTest, TheArchiveDeletedOrReplacedWhileMountedStillServes) {
  const std::string archive = FFolder + "/archive.7z";
  for (bool replace : {false, true}) {
    SCOPED_TRACE(replace ? "replaced" : "deleted");
    fs::copy_file(Fixture("solid.7z"), archive, fs::copy_options::overwrite_existing);
    TProcess process({kProgram, archive, FMountPoint});
    ASSERT_TRUE(process.WaitForOutput("Mounted at " + FMountPoint + "\n"))
        << process.Out() << process.Err();
    if (replace) {
      const std::string other = FFolder + "/other.7z";
      fs::copy_file(Fixture("plain.7z"), other, fs::copy_options::overwrite_existing);
      fs::rename(other, archive);
    } else {
      fs::remove(archive);
    }
    // Nothing was extracted before: every block comes from the file opened at mount.
    EXPECT_TRUE(SameTree(Sources("solid")));
    process.Signal(SIGTERM);
    EXPECT_EQ(process.Wait(), 0) << process.Out() << process.Err();
    EXPECT_EQ(process.Err(), "");
  }
}

TEST_F(VornmountTest, AFailedReadRightBeforeAnOutsideUnmountIsReportedWithItsCause) {
  // The read's message is queued for the next poll, which the unmount may come before.
  const std::string archive = FFolder + "/archive.7z";
  struct Case {
    std::string fixture;
    bool cut;  // the archive file is cut short once mounted
    std::string path;
    std::string cause;
  };
  const Case cases[] = {
      {"damaged.7z", false, "s/f1.txt", "the archive's data is damaged"},
      {"solid.7z", true, "s/f7.txt", "the archive file changed or was cut short while mounted"},
      {"damaged.7z", false, "s/f2.txt", "the archive's data is damaged"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fixture + " " + c.path);
    fs::copy_file(Fixture(c.fixture), archive, fs::copy_options::overwrite_existing);
    TProcess process({kProgram, archive, FMountPoint});
    ASSERT_TRUE(process.WaitForOutput("Mounted at " + FMountPoint + "\n"))
        << process.Out() << process.Err();
    if (c.cut) {
      ASSERT_EQ(truncate(archive.c_str(), 300), 0);
    }
    TRun read = RunProgram({"/bin/cat", FMountPoint + "/" + c.path});
    EXPECT_EQ(read.Code, 1) << Describe(read);
    EXPECT_EQ(RunProgram({"/usr/bin/fusermount3", "-u", FMountPoint}).Code, 0);
    EXPECT_EQ(process.Wait(), 0) << process.Out() << process.Err();
    EXPECT_EQ(process.Err(), "Data error: " + c.path + " (" + c.cause + ")\n");
  }
}

TEST_F(VornmountTest, AnOutsideLazyUnmountEndsTheServerAndTheFolderCanGo) {
  TProcess process({kProgram, Fixture("solid.7z"), FMountPoint});
  ASSERT_TRUE(process.WaitForOutput("Mounted at " + FMountPoint + "\n"))
      << process.Out() << process.Err();
  ASSERT_EQ(umount2(FMountPoint.c_str(), MNT_DETACH), 0) << std::strerror(errno);
  EXPECT_EQ(rmdir(FMountPoint.c_str()), 0) << std::strerror(errno);
  EXPECT_EQ(process.Wait(), 0) << process.Out() << process.Err();
  EXPECT_EQ(CountLines(process.Out(), "Unmounted."), 1) << process.Out();
  EXPECT_EQ(process.Err(), "");
}

TEST_F(VornmountTest, AServerKilledWhileExtractingLeavesAMountThatFusermountClears) {
  TProcess server({kProgram, "-s", "memory", Fixture("long.7z"), FMountPoint});
  ASSERT_TRUE(server.WaitForOutput("Mounted at " + FMountPoint + "\n"))
      << server.Out() << server.Err();
  // The reader sets off the extraction of the 35 MiB block and is cut off by the kill.
  TProcess reader({"/bin/cat", FMountPoint + "/part6.bin"});
  std::this_thread::sleep_for(100ms);
  server.Signal(SIGKILL);
  EXPECT_EQ(server.Wait(), std::nullopt);  // killed
  EXPECT_TRUE(reader.Wait().has_value()) << "the reader did not end";
  // The kernel keeps the mount of a dead server until it is unmounted, and says so.
  EXPECT_TRUE(IsMountedAt(FMountPoint));
  TRun stat = RunProgram({"/usr/bin/stat", FMountPoint});
  EXPECT_NE(stat.Err.find("Transport endpoint is not connected"), std::string::npos)
      << Describe(stat);
  EXPECT_EQ(RunProgram({"/usr/bin/fusermount3", "-u", FMountPoint}).Code, 0);
  EXPECT_FALSE(IsMountedAt(FMountPoint));
  // The folder takes a new mount.
  TProcess again({kProgram, Fixture("solid.7z"), FMountPoint});
  ASSERT_TRUE(again.WaitForOutput("Mounted at " + FMountPoint + "\n"))
      << again.Out() << again.Err();
  EXPECT_TRUE(SameTree(Sources("solid")));
  again.Signal(SIGTERM);
  EXPECT_EQ(again.Wait(), 0);
}

// ---------------------------------------------------------------------------------------
// On a terminal.

TEST_F(VornmountTest, AsksForThePasswordOnTheTerminalWithoutEcho) {
  struct Case {
    bool promptSwitch;  // -p given; otherwise asked after the open failed
    std::string typed;
    bool mounts;
  };
  const Case cases[] = {
      {true, kPassword, true},
      {false, kPassword, true},
      {false, "not-it", false},  // asked once only
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.promptSwitch ? "-p" : "no -p") + ", typed " + c.typed);
    std::vector<std::string> args{kProgram, Fixture("enchead.7z"), FMountPoint};
    if (c.promptSwitch) {
      args.insert(args.begin() + 1, "-p");
    }
    TProcess process(args, true);
    ASSERT_TRUE(process.WaitForOutput("Password: ")) << process.Out();
    EXPECT_EQ(process.Out().find("The archive is encrypted.") != std::string::npos, !c.promptSwitch)
        << process.Out();
    process.Write(c.typed + "\n");
    if (c.mounts) {
      ASSERT_TRUE(process.WaitForOutput("Mounted at " + FMountPoint)) << process.Out();
      EXPECT_TRUE(SameTree(Sources("secret")));
      process.Signal(SIGINT);
      EXPECT_EQ(process.Wait(), 0) << process.Out();
    } else {
      EXPECT_EQ(process.Wait(), 1) << process.Out();
      EXPECT_NE(process.Out().find("as archive: wrong password\r\n"), std::string::npos)
          << process.Out();
      EXPECT_EQ(CountLines(process.Out(), "Password: \r"), 1) << process.Out();
    }
    EXPECT_EQ(process.Out().find(c.typed), std::string::npos) << "echoed: " << process.Out();
    EXPECT_FALSE(IsMountedAt(FMountPoint));
  }
}

}  // namespace
