// The measuring half of bench/mount_bench.sh: runs one vornmount over one archive and
// times what a user of the mounted folder does, from a single process with a steady
// clock, so that no process start-up lands in the figures.
//
//   vrn_mount_probe VORNMOUNT ARCHIVE MOUNTPOINT STORE files|ranges COUNT
//
// In order, on a fresh mount: the mount (program start until it prints "Mounted at"),
// a full recursive listing with every entry's attributes, a read of every file once in
// listing order (this extracts every block), COUNT reads of random whole files (files)
// or of random 64 KiB ranges (ranges), a second read of every file (the cost of serving
// extracted data alone), the program's peak resident memory (VmHWM), and its exit after
// SIGTERM. Prints one "name value" line per figure; exits
// non-zero, with the mount cleared, when any step fails.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "probe_support.h"

namespace {

namespace fs = std::filesystem;

// The longest the mount may take to come up or go away.
constexpr auto kTimeout = std::chrono::seconds(300);
constexpr std::size_t kBufferSize = 1 << 20;
// The length of one random range.
constexpr std::uint64_t kRangeSize = 64 << 10;

[[noreturn]] void Die(const std::string& text) {
  std::fprintf(stderr, "vrn_mount_probe: %s\n", text.c_str());
  std::exit(1);
}

struct TServer {
  pid_t Pid = -1;
  int Out = -1;
};

// Starts vornmount in the foreground with its output on a pipe.
TServer Start(const std::string& program,
              const std::string& archive,
              const std::string& mountPoint,
              const std::string& store) {
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) {
    Die("pipe failed");
  }
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], STDOUT_FILENO);
    execl(program.c_str(), program.c_str(), "-f", "-s", store.c_str(), archive.c_str(),
          mountPoint.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  return TServer{pid, out[0]};
}

// Reads the server's output until Text appears; false when it ends or times out first.
bool AwaitOutput(const TServer& server, const std::string& text, std::string& output) {
  auto deadline = Clock::now() + kTimeout;
  while (output.find(text) == std::string::npos) {
    if (Clock::now() > deadline) {
      return false;
    }
    pollfd fd{.fd = server.Out, .events = POLLIN, .revents = 0};
    if (poll(&fd, 1, 100) <= 0) {
      continue;
    }
    char buffer[4096];
    ssize_t size = read(server.Out, buffer, sizeof buffer);
    if (size <= 0) {
      return false;
    }
    output.append(buffer, size);
  }
  return true;
}

// Ends the server with SIGTERM and waits; its exit code, -1 after a timeout (the
// folder is then detached and the server killed).
int Stop(const TServer& server, const std::string& mountPoint) {
  kill(server.Pid, SIGTERM);
  auto deadline = Clock::now() + kTimeout;
  int status = 0;
  while (waitpid(server.Pid, &status, WNOHANG) == 0) {
    if (Clock::now() > deadline) {
      umount2(mountPoint.c_str(), MNT_FORCE | MNT_DETACH);
      kill(server.Pid, SIGKILL);
      waitpid(server.Pid, &status, 0);
      return -1;
    }
    usleep(10000);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Reads Count bytes at Offset of a file (all of it for Count 0); the bytes read.
std::uint64_t ReadFile(const std::string& path,
                       std::vector<char>& buffer,
                       off_t offset = 0,
                       std::uint64_t count = 0) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    Die("cannot open " + path + ": " + std::strerror(errno));
  }
  std::uint64_t total = 0;
  for (;;) {
    std::size_t want = buffer.size();
    if (count != 0) {
      want = std::min<std::uint64_t>(want, count - total);
      if (want == 0) {
        break;
      }
    }
    ssize_t size = pread(fd, buffer.data(), want, offset + static_cast<off_t>(total));
    if (size < 0) {
      Die("cannot read " + path + ": " + std::strerror(errno));
    }
    if (size == 0) {
      break;
    }
    total += static_cast<std::uint64_t>(size);
  }
  close(fd);
  return total;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 7) {
    Die("usage: vrn_mount_probe VORNMOUNT ARCHIVE MOUNTPOINT STORE files|ranges COUNT");
  }
  const std::string program = argv[1], archive = argv[2], mountPoint = argv[3], store = argv[4],
                    mode = argv[5];
  const int count = std::atoi(argv[6]);
  std::signal(SIGPIPE, SIG_IGN);

  // Mount, and list everything with attributes.
  Clock::time_point start = Clock::now();
  TServer server = Start(program, archive, mountPoint, store);
  std::string output;
  if (!AwaitOutput(server, "Mounted at ", output)) {
    Stop(server, mountPoint);
    Die("the archive was not mounted: " + output);
  }
  double mountSeconds = Seconds(start);
  std::vector<std::string> files;
  std::vector<std::uint64_t> sizes;
  std::uint64_t entries = 0, bytes = 0;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(mountPoint)) {
    struct stat info {};
    if (lstat(entry.path().c_str(), &info) != 0) {
      Die("cannot stat " + entry.path().string());
    }
    ++entries;
    if (S_ISREG(info.st_mode)) {
      files.push_back(entry.path().string());
      sizes.push_back(static_cast<std::uint64_t>(info.st_size));
      bytes += static_cast<std::uint64_t>(info.st_size);
    }
  }
  double mountListSeconds = Seconds(start);

  // Every file once: this extracts every block.
  std::vector<char> buffer(kBufferSize);
  Clock::time_point readStart = Clock::now();
  std::uint64_t read = 0;
  for (const std::string& file : files) {
    read += ReadFile(file, buffer);
  }
  double readAllSeconds = Seconds(readStart);
  if (read != bytes) {
    Die("read " + std::to_string(read) + " bytes of " + std::to_string(bytes));
  }

  // Random reads of extracted data.
  std::mt19937_64 random(12345);
  std::uniform_int_distribution<std::size_t> pick(0, files.empty() ? 0 : files.size() - 1);
  Clock::time_point randomStart = Clock::now();
  std::uint64_t randomBytes = 0;
  for (int i = 0; i < count && !files.empty(); ++i) {
    std::size_t index = pick(random);
    if (mode == "ranges") {
      std::uint64_t size = sizes[index];
      off_t offset = size > kRangeSize ? static_cast<off_t>(random() % (size - kRangeSize + 1)) : 0;
      randomBytes += ReadFile(files[index], buffer, offset, kRangeSize);
    } else {
      randomBytes += ReadFile(files[index], buffer);
    }
  }
  double randomSeconds = Seconds(randomStart);

  Clock::time_point rereadStart = Clock::now();
  for (const std::string& file : files) {
    ReadFile(file, buffer);
  }
  double rereadAllSeconds = Seconds(rereadStart);

  long peakRss = PeakRss(server.Pid);
  int exitCode = Stop(server, mountPoint);
  close(server.Out);
  std::printf("entries %llu\nfiles %zu\nbytes %llu\n", static_cast<unsigned long long>(entries),
              files.size(), static_cast<unsigned long long>(bytes));
  std::printf("mount_seconds %.4f\nmount_list_seconds %.4f\nread_all_seconds %.4f\n", mountSeconds,
              mountListSeconds, readAllSeconds);
  std::printf("random_reads %d\nrandom_bytes %llu\nrandom_seconds %.6f\n", count,
              static_cast<unsigned long long>(randomBytes), randomSeconds);
  std::printf("reread_all_seconds %.4f\npeak_rss_kib %ld\nexit_code %d\n", rereadAllSeconds,
              peakRss, exitCode);
  return exitCode == 0 ? 0 : 1;
}
