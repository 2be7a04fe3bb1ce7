// The measuring half of bench/compare.sh: runs one program (a mounter, or 7z writing to
// its standard output) and times what a user of it does, from one process with a
// steady clock, under a time limit per measured step.
//
//   vrn_compare_probe mount MOUNTPOINT LIMIT STEP -- COMMAND...
//     Starts COMMAND, which must serve a mount on MOUNTPOINT in the foreground, waits
//     until the mount appears, then measures STEP:
//       list             a full recursive listing with every entry's attributes
//                        (mount_list_seconds, from the program's start)
//       list-read        the listing, then a read of every file once in listing order
//                        (read_all_seconds), then once more (reread_all_seconds, with
//                        everything extracted and in the kernel's page cache)
//       ranges:LISTFILE  one read per line of LISTFILE ("OFFSET LENGTH PATH", the path
//                        relative to the mount), each on a fresh open (ranges_seconds)
//       first:PATH       open PATH and read its first byte (first_byte_seconds)
//       parallel:N       a full listing, then every file read once by N threads at once,
//                        file i by thread i mod N (parallel_read_seconds)
//     then the program's peak resident memory (peak_rss_kib) and its end.
//   vrn_compare_probe tree FOLDER LIMIT STEP
//     The same steps on a folder of the local file system (mount_list_seconds is then
//     the listing alone), for the same tree read from local disk.
//   vrn_compare_probe pipe LIMIT -- COMMAND...
//     Runs COMMAND, reads all of its standard output and reports first_byte_seconds,
//     seconds, bytes and peak_rss_kib.
//
// Prints one "name value" line per figure. A step that ran out of its LIMIT seconds
// prints "name timeout": the program is then killed and its mount detached, which ends
// any read still blocked in it. A step that failed prints "name error" and an
// "error TEXT" line. Exits non-zero only when the probe itself cannot go on.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "probe_support.h"

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kBufferSize = 1 << 20;

[[noreturn]] void Die(const std::string& text) {
  std::fprintf(stderr, "vrn_compare_probe: %s\n", text.c_str());
  std::exit(1);
}

// Starts Command with its standard output on a pipe (Out) or thrown away (Out -1).
pid_t Spawn(const std::vector<std::string>& command, int* out) {
  int fds[2] = {-1, -1};
  if (out != nullptr && pipe2(fds, O_CLOEXEC) != 0) {
    Die("pipe failed");
  }
  pid_t pid = fork();
  if (pid < 0) {
    Die("fork failed");
  }
  if (pid == 0) {
    int sink = open("/dev/null", O_WRONLY);
    dup2(out != nullptr ? fds[1] : sink, STDOUT_FILENO);
    std::vector<char*> argv;
    for (const std::string& a : command) {
      argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  if (out != nullptr) {
    close(fds[1]);
    *out = fds[0];
  }
  return pid;
}

bool IsMounted(const std::string& mountPoint) {
  std::ifstream info("/proc/self/mountinfo");
  std::string line;
  while (std::getline(info, line)) {
    std::istringstream fields(line);
    std::string id, parent, device, root, point;
    fields >> id >> parent >> device >> root >> point;
    if (point == mountPoint) {
      return true;
    }
  }
  return false;
}

void Detach(const std::string& mountPoint) {
  std::string command = "fusermount3 -u -z '" + mountPoint + "' 2>/dev/null";
  if (std::system(command.c_str()) != 0) {
    command = "fusermount -u -z '" + mountPoint + "' 2>/dev/null";
    [[maybe_unused]] int ignored = std::system(command.c_str());
  }
}

// Ends the program of one measurement when a step runs past its limit: kills it and
// detaches its mount, so that whatever the step waits for fails at once.
class TWatchdog {
 public:
  TWatchdog(pid_t pid, std::string mountPoint, double limit)
      : FPid(pid), FMountPoint(std::move(mountPoint)), FLimit(limit) {}
  ~TWatchdog() { Disarm(); }

  // Starts the clock of one step.
  void Arm() {
    Disarm();
    FArmed = true;
    FThread = std::thread([this] {
      std::unique_lock<std::mutex> lock(FLock);
      auto deadline = Clock::now() + std::chrono::duration<double>(FLimit);
      if (!FChanged.wait_until(lock, deadline, [this] { return !FArmed; })) {
        FFired = true;
        if (FPid <= 0) {
          return;  // nothing to end: the step runs on in the caller
        }
        FPeakRss = PeakRss(FPid);
        kill(FPid, SIGKILL);
        if (!FMountPoint.empty()) {
          Detach(FMountPoint);
        }
      }
    });
  }
  // Stops the clock; true when the step finished in time.
  bool Disarm() {
    {
      std::lock_guard<std::mutex> lock(FLock);
      FArmed = false;
    }
    FChanged.notify_all();
    if (FThread.joinable()) {
      FThread.join();
    }
    return !FFired;
  }
  bool Fired() const { return FFired; }
  // The program's peak memory just before the watchdog killed it.
  long PeakRssAtKill() const { return FPeakRss; }

 private:
  pid_t FPid;
  std::string FMountPoint;
  double FLimit;
  std::mutex FLock;
  std::condition_variable FChanged;
  bool FArmed = false;
  std::atomic<bool> FFired{false};
  std::atomic<long> FPeakRss{0};
  std::thread FThread;
};

// Reads Count bytes at Offset of a file (to its end for Count 0); empty, or what failed.
std::string ReadFile(const std::string& path,
                     std::vector<char>& buffer,
                     std::uint64_t& read,
                     off_t offset = 0,
                     std::uint64_t count = 0) {
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) {
    return "open " + path + ": " + std::strerror(errno);
  }
  std::string failure;
  std::uint64_t left = count;
  while (count == 0 || left > 0) {
    std::size_t want = count == 0 ? buffer.size() : std::min<std::uint64_t>(left, buffer.size());
    ssize_t got = pread(fd, buffer.data(), want, offset);
    if (got < 0) {
      failure = "read " + path + ": " + std::strerror(errno);
      break;
    }
    if (got == 0) {
      break;
    }
    offset += got;
    read += static_cast<std::uint64_t>(got);
    left -= count == 0 ? 0 : static_cast<std::uint64_t>(got);
  }
  close(fd);
  return failure;
}

// Every file under Folder, found by a recursive listing that also asks each entry's
// attributes, with the sum of their sizes.
std::error_code ListFiles(const std::string& folder,
                          std::vector<std::string>& files,
                          std::uint64_t& bytes) {
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(folder, error);
       !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    struct stat info {};
    if (lstat(it->path().c_str(), &info) != 0) {
      return std::error_code(errno, std::generic_category());
    }
    if (S_ISREG(info.st_mode)) {
      files.push_back(it->path().string());
      bytes += static_cast<std::uint64_t>(info.st_size);
    }
  }
  return error;
}

// One step's figure: its seconds, "timeout" or "error" with the failure.
void Report(const char* name, bool inTime, double seconds, const std::string& failure = {}) {
  if (!inTime) {
    std::printf("%s timeout\n", name);
  } else if (!failure.empty()) {
    std::printf("%s error\nerror %s\n", name, failure.c_str());
  } else {
    std::printf("%s %.4f\n", name, seconds);
  }
}

// Measures Step on the tree below MountPoint (a mount, or a local folder), the clock of
// the listing counted from Start; false for an unknown step.
bool RunStep(const std::string& mountPoint,
             const std::string& step,
             TWatchdog& watchdog,
             Clock::time_point start) {
  std::vector<char> buffer(kBufferSize);

  if (step == "list" || step == "list-read") {
    std::vector<std::string> files;
    std::uint64_t bytes = 0;
    std::error_code error = ListFiles(mountPoint, files, bytes);
    bool inTime = watchdog.Disarm();
    Report("mount_list_seconds", inTime, Seconds(start),
           error ? "listing: " + error.message() : std::string());
    std::printf("files %zu\nbytes %llu\n", files.size(), static_cast<unsigned long long>(bytes));
    // The files read once, then once more with everything extracted and cached.
    for (const char* name : {"read_all_seconds", "reread_all_seconds"}) {
      if (step == "list" || !inTime || error) {
        break;
      }
      watchdog.Arm();
      Clock::time_point readStart = Clock::now();
      std::uint64_t read = 0;
      std::string failure;
      for (std::size_t i = 0; i < files.size() && failure.empty(); ++i) {
        failure = ReadFile(files[i], buffer, read);
      }
      double seconds = Seconds(readStart);
      if (failure.empty() && read != bytes) {
        failure = "read " + std::to_string(read) + " bytes of " + std::to_string(bytes);
      }
      inTime = watchdog.Disarm();
      Report(name, inTime, seconds, failure);
      if (!failure.empty()) {
        break;
      }
    }
  } else if (step.rfind("ranges:", 0) == 0) {
    std::ifstream list(step.substr(7));
    std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges;
    std::vector<std::string> paths;
    std::uint64_t offset = 0, length = 0;
    std::string path;
    while (list >> offset >> length && std::getline(list >> std::ws, path)) {
      ranges.emplace_back(offset, length);
      paths.push_back(mountPoint + "/" + path);
    }
    watchdog.Arm();
    Clock::time_point readStart = Clock::now();
    std::uint64_t read = 0;
    std::string failure;
    for (std::size_t i = 0; i < paths.size() && failure.empty(); ++i) {
      failure = ReadFile(paths[i], buffer, read, static_cast<off_t>(ranges[i].first),
                         ranges[i].second);
    }
    double seconds = Seconds(readStart);
    Report("ranges_seconds", watchdog.Disarm(), seconds, failure);
    std::printf("ranges %zu\nranges_bytes %llu\n", paths.size(),
                static_cast<unsigned long long>(read));
  } else if (step.rfind("parallel:", 0) == 0) {
    const std::size_t threads = std::max(1, std::atoi(step.c_str() + 9));
    std::vector<std::string> files;
    std::uint64_t bytes = 0;
    std::error_code error = ListFiles(mountPoint, files, bytes);
    watchdog.Disarm();
    if (error) {
      Die("listing " + mountPoint + ": " + error.message());
    }
    watchdog.Arm();
    Clock::time_point readStart = Clock::now();
    std::vector<std::uint64_t> read(threads);
    std::vector<std::string> failures(threads);
    std::vector<std::thread> readers;
    for (std::size_t t = 0; t < threads; ++t) {
      readers.emplace_back([&, t] {
        std::vector<char> own(kBufferSize);
        for (std::size_t i = t; i < files.size() && failures[t].empty(); i += threads) {
          failures[t] = ReadFile(files[i], own, read[t]);
        }
      });
    }
    for (std::thread& reader : readers) {
      reader.join();
    }
    double seconds = Seconds(readStart);
    std::string failure;
    std::uint64_t total = 0;
    for (std::size_t t = 0; t < threads; ++t) {
      total += read[t];
      if (failure.empty()) {
        failure = failures[t];
      }
    }
    if (failure.empty() && total != bytes) {
      failure = "read " + std::to_string(total) + " bytes of " + std::to_string(bytes);
    }
    Report("parallel_read_seconds", watchdog.Disarm(), seconds, failure);
  } else if (step.rfind("first:", 0) == 0) {
    watchdog.Arm();
    Clock::time_point readStart = Clock::now();
    std::uint64_t read = 0;
    std::vector<char> one(1);
    std::string failure = ReadFile(mountPoint + "/" + step.substr(6), one, read, 0, 1);
    double seconds = Seconds(readStart);
    if (failure.empty() && read != 1) {
      failure = "no byte in " + step.substr(6);
    }
    Report("first_byte_seconds", watchdog.Disarm(), seconds, failure);
  } else {
    return false;
  }
  return true;

}

int Mount(const std::string& mountPoint,
          double limit,
          const std::string& step,
          const std::vector<std::string>& command) {
  Clock::time_point start = Clock::now();
  pid_t pid = Spawn(command, nullptr);
  TWatchdog watchdog(pid, mountPoint, limit);
  watchdog.Arm();
  int status = 0;
  bool exited = false;
  while (!IsMounted(mountPoint)) {
    if (waitpid(pid, &status, WNOHANG) == pid) {
      exited = true;
      break;
    }
    usleep(1000);
  }
  if (exited || watchdog.Fired()) {
    bool inTime = watchdog.Disarm();
    if (!exited) {
      waitpid(pid, &status, 0);
    }
    Report(step == "list-read" ? "mount_list_seconds" : "mount_seconds", inTime, 0,
           "the program ended without mounting");
    return 0;
  }
  std::printf("mount_seconds %.4f\n", Seconds(start));
  if (!RunStep(mountPoint, step, watchdog, start)) {
    Detach(mountPoint);
    kill(pid, SIGKILL);
    Die("unknown step " + step);
  }

  std::printf("peak_rss_kib %ld\n", watchdog.Fired() ? watchdog.PeakRssAtKill() : PeakRss(pid));
  if (!watchdog.Fired()) {
    Detach(mountPoint);
    kill(pid, SIGTERM);
  }
  waitpid(pid, &status, 0);
  return 0;
}

int Tree(const std::string& folder, double limit, const std::string& step) {
  TWatchdog watchdog(0, "", limit);
  watchdog.Arm();
  if (!RunStep(folder, step, watchdog, Clock::now())) {
    Die("unknown step " + step);
  }
  return 0;
}

int Pipe(double limit, const std::vector<std::string>& command) {
  int out = -1;
  Clock::time_point start = Clock::now();
  pid_t pid = Spawn(command, &out);
  TWatchdog watchdog(pid, "", limit);
  watchdog.Arm();
  std::vector<char> buffer(kBufferSize);
  std::uint64_t bytes = 0;
  double firstByte = -1;
  for (;;) {
    ssize_t got = read(out, buffer.data(), buffer.size());
    if (got <= 0) {
      break;
    }
    if (bytes == 0) {
      firstByte = Seconds(start);
    }
    bytes += static_cast<std::uint64_t>(got);
  }
  close(out);
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  double seconds = Seconds(start);
  bool inTime = watchdog.Disarm();
  if (firstByte >= 0) {
    std::printf("first_byte_seconds %.4f\n", firstByte);
  }
  Report("seconds", inTime, seconds);
  std::printf("bytes %llu\npeak_rss_kib %ld\n", static_cast<unsigned long long>(bytes),
              usage.ru_maxrss);
  if (inTime && !(WIFEXITED(status) && WEXITSTATUS(status) == 0)) {
    Die("the command failed");
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 4 && args[0] == "tree") {
    return Tree(fs::absolute(args[1]).lexically_normal().string(), std::atof(args[2].c_str()),
                args[3]);
  }
  auto dashes = std::find(args.begin(), args.end(), "--");
  if (dashes == args.end() || dashes + 1 == args.end()) {
    Die("usage: vrn_compare_probe mount MOUNTPOINT LIMIT STEP -- COMMAND... | "
        "tree FOLDER LIMIT STEP | pipe LIMIT -- COMMAND...");
  }
  std::vector<std::string> command(dashes + 1, args.end());
  args.erase(dashes, args.end());
  if (args.size() == 4 && args[0] == "mount") {
    return Mount(fs::absolute(args[1]).lexically_normal().string(), std::atof(args[2].c_str()),
                 args[3], command);
  }
  if (args.size() == 2 && args[0] == "pipe") {
    return Pipe(std::atof(args[1].c_str()), command);
  }
  Die("usage: vrn_compare_probe mount MOUNTPOINT LIMIT STEP -- COMMAND... | "
      "tree FOLDER LIMIT STEP | pipe LIMIT -- COMMAND...");
}
