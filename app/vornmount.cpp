// vornmount, the Linux program: mounts a 7z archive read-only on a folder from the
// command line.
//
// It is the command-line counterpart of the window: one client of the mount controller
// TvrnSource, which it polls from its own loop. The loop waits on a signalfd between
// polls, so SIGINT, SIGTERM and SIGHUP (blocked in every thread from the first line of
// main on) unmount cleanly; a second such signal while unmounting ends the process at
// once. An outside `fusermount3 -u` ends the file-system thread, which the next poll
// turns into SourceStopped with an empty text: a normal end.
//
// With --background the process forks before any thread exists. The child runs the
// mount and prints what the foreground program would print until the folder is live or
// the mount has failed; it then reports one status byte to the parent through a pipe,
// and after success leaves the terminal (new session, standard streams on /dev/null,
// working folder "/") and serves until the folder is unmounted, its later lines going
// to the system log. The parent only waits
// for that byte and exits with it.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>

#include "app/vrnCommandLine.h"
#include "app/vrnConsole.h"
#include "engine/vrn7zPlugin.h"
#include "model/vrnPlugins.h"
#include "mount/vrnSource.h"
#include "platform/vrnErrors.h"
#include "platform/vrnFiles.h"
#include "platform/vrnLocale.h"
#include "vfs/dokan2_fuse.h"
#include "vfs/vrnDrivoArchive.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kExitSuccess = 0;
// The mount failed, was cancelled before the folder was live, or ended with an error.
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// How often the controller is polled until the folder is live: the archive's open and
// the mount are seen this soon, rather than up to kPollInterval late. Once mounted the
// controller's own interval applies.
constexpr std::chrono::milliseconds kOpeningPollInterval{2};

// The last line of the archive-open thread's text when the engine refused the
// archive after asking for its password (the headers are encrypted).
constexpr UStringView kWrongPasswordText = u"Wrong password?";

// The status bytes the background child reports to its parent.
constexpr char kReportLive = '0';
constexpr char kReportFailed = '1';

// ---------------------------------------------------------------------------------------
// Signals.

// The signals that end a mount. They are blocked in every thread (threads inherit the
// mask of the thread that starts them) and read from a signalfd in the main loop.
class TvrnSignals {
 public:
  // Blocks the signals and opens the signalfd; SIGPIPE is ignored, so that a reader of
  // the output going away never kills a process that serves a mount.
  TvrnSignals() {
    sigemptyset(&FSet);
    for (int number : {SIGINT, SIGTERM, SIGHUP}) {
      sigaddset(&FSet, number);
    }
    pthread_sigmask(SIG_BLOCK, &FSet, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    FFd = TFileHandle(signalfd(-1, &FSet, SFD_CLOEXEC | SFD_NONBLOCK));
    if (!FFd.IsValid()) {
      RaiseLastOSError();
    }
  }

  int Fd() const { return FFd.Native(); }

  // The next pending signal, removed; 0 when none is pending. Sender receives the
  // sending process (0 for the kernel, such as the terminal's Ctrl+C).
  int Take(pid_t* sender = nullptr) {
    signalfd_siginfo info{};
    if (read(FFd.Native(), &info, sizeof info) != static_cast<ssize_t>(sizeof info)) {
      return 0;
    }
    if (sender != nullptr) {
      *sender = static_cast<pid_t>(info.ssi_pid);
    }
    return static_cast<int>(info.ssi_signo);
  }

  // Unblocks the signals in this thread with their default action, so that the next
  // one ends the process whatever it is waiting for.
  void Release() {
    for (int number : {SIGINT, SIGTERM, SIGHUP}) {
      std::signal(number, SIG_DFL);
    }
    pthread_sigmask(SIG_UNBLOCK, &FSet, nullptr);
  }

 private:
  sigset_t FSet{};
  TFileHandle FFd;
};

// ---------------------------------------------------------------------------------------
// Checks before mounting.

[[noreturn]] void Fail(const std::string& text) {
  throw EvrnError(FromUtf8(text));
}

// A path as a shell command line takes it: as is when that is safe, else in single
// quotes.
std::string ShellQuoted(const std::string& path) {
  bool plain = !path.empty() && std::all_of(path.begin(), path.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || std::strchr("/._-+,:@%", c) != nullptr;
  });
  if (plain) {
    return path;
  }
  std::string result = "'";
  for (char c : path) {
    result += c == '\'' ? std::string("'\\''") : std::string(1, c);
  }
  return ConsoleText(FromUtf8(result + "'"), false);
}

// Quotes a name the user typed for a message.
std::string Quoted(const std::string& name) {
  return "'" + ConsoleText(FromUtf8(name), false) + "'";
}

// Refuses Path (absolute, links resolved) when something is mounted on it. Only a mount
// of this program gets the advice to unmount it: the same command, run as root, would
// just as well remove any other file system (a tmpfs, /home) from under its users.
void CheckNotMounted(const std::string& typed, const std::string& path) {
  std::string type = DokanFuseMountTypeAt(path);
  if (type.empty()) {
    return;
  }
  if (type == kDokanFuseMountType) {
    Fail("Mount point " + Quoted(typed) + " is already mounted; unmount it first " +
         "(fusermount3 -u " + ShellQuoted(path) + ")");
  }
  Fail("Mount point " + Quoted(typed) + " is in use: a file system of type " +
       ConsoleText(FromUtf8(type), false) + " is mounted on it");
}

// The folder to mount on, absolute with every symbolic link resolved, after checking
// that it exists, is a folder and carries no mount yet. Throws EvrnError with the text
// for the user.
std::string CheckMountPoint(const std::string& typed) {
  std::error_code error;
  std::filesystem::path path = std::filesystem::absolute(typed, error).lexically_normal();
  if (error) {
    Fail("Mount point " + Quoted(typed) + ": " + error.message());
  }
  if (!path.has_filename() && path != path.root_path()) {
    path = path.parent_path();  // "dir/" names dir
  }
  if (path == path.root_path()) {
    Fail("Mount point " + Quoted(typed) + " is the root folder");
  }
  // The parent resolved, the name itself not yet: a mount on the name is found in the
  // table before anything looks at the folder.
  std::filesystem::path parent = std::filesystem::canonical(path.parent_path(), error);
  if (error) {
    Fail("Mount point " + Quoted(typed) + " does not exist");
  }
  std::string candidate = (parent / path.filename()).string();
  CheckNotMounted(typed, candidate);
  struct stat info {};
  if (stat(candidate.c_str(), &info) != 0) {
    int code = errno;
    if (code == ENOENT) {
      Fail("Mount point " + Quoted(typed) + " does not exist");
    }
    Fail("Mount point " + Quoted(typed) + ": " + std::strerror(code));
  }
  if (!S_ISDIR(info.st_mode)) {
    Fail("Mount point " + Quoted(typed) + " is not a folder");
  }
  std::string resolved = std::filesystem::canonical(candidate, error).string();
  if (error) {
    Fail("Mount point " + Quoted(typed) + ": " + error.message());
  }
  if (resolved != candidate) {
    CheckNotMounted(typed, resolved);
  }
  return resolved;
}

// Refuses a name that UTF-16 cannot carry unchanged: the core keeps names as UTF-16,
// so a name that is not UTF-8 would open or mount some other file.
void CheckUtf8(const std::string& typed, const std::string& what) {
  if (ToUtf8(FromUtf8(typed)) != typed) {
    Fail(what + " " + Quoted(typed) + " is not valid UTF-8");
  }
}

// What a file that is not a regular file is, for a message.
std::string FileKindText(mode_t mode) {
  if (S_ISCHR(mode) || S_ISBLK(mode)) {
    return "a device";
  }
  if (S_ISSOCK(mode)) {
    return "a socket";
  }
  return "not a regular file";
}

// Checks the archive name as far as the controller's texts would be unhelpful: a folder
// would otherwise fail as "access denied", and the open of a pipe or a device waits for
// a writer that may never come (or reads an endless stream), past any signal. A
// symbolic link to a regular file is fine; a name that does not exist is left to the
// open, which says so.
void CheckArchive(const std::string& typed) {
  CheckUtf8(typed, "Archive");
  struct stat info {};
  if (stat(typed.c_str(), &info) != 0) {
    return;
  }
  if (S_ISDIR(info.st_mode)) {
    Fail(Quoted(typed) + " is a folder, not an archive");
  }
  if (S_ISFIFO(info.st_mode)) {
    // Also what a shell's <(command) gives.
    Fail(Quoted(typed) + " is a pipe: input that cannot be seeked is not supported; the "
         "archive must be a regular file");
  }
  if (!S_ISREG(info.st_mode)) {
    std::string kind = FileKindText(info.st_mode);
    Fail(Quoted(typed) + " is " + kind + ": the archive must be a regular file");
  }
}

// The archive's absolute path, which the mount shows as its source; as typed when it
// cannot be made absolute.
std::string AbsoluteArchivePath(const std::string& typed) {
  std::error_code error;
  std::filesystem::path path = std::filesystem::absolute(typed, error);
  return error ? typed : path.lexically_normal().string();
}

// Reads the first line of the password file Name into Secret. Refuses (EvrnError) a
// file that other users may read or that cannot be read, and one without a line.
TvrnReadResult ReadPasswordFile(const std::string& name, int interruptFd, TvrnSecret& secret) {
  int fd = open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    Fail("Password file " + Quoted(name) + ": " + std::strerror(errno));
  }
  struct stat info {};
  if (fstat(fd, &info) != 0 || (S_ISREG(info.st_mode) && (info.st_mode & 077) != 0)) {
    close(fd);
    Fail("Password file " + Quoted(name) + " can be read by other users: make it private "
         "first (chmod 600)");
  }
  TvrnReadResult read = ReadSecretLine(fd, interruptFd, secret);
  close(fd);
  if (read == rrFailed || read == rrEnd) {
    Fail("Password file " + Quoted(name) + " holds no password");
  }
  return read;
}

// Checks that this process can mount with FUSE at all; the library's own answer would
// only be "Driver something wrong", after the archive was opened.
void CheckFuse() {
  if (access("/dev/fuse", R_OK | W_OK) == 0) {
    return;
  }
  int code = errno;
  if (code == EACCES || code == EPERM) {
    // Installed, but closed to this user: installing it again would not help.
    Fail(
        "FUSE cannot be used: no permission to open /dev/fuse; its owner and mode "
        "(ls -l /dev/fuse) must let this user read and write it, for example as a "
        "member of its group, or mount as root");
  }
  Fail(std::string("FUSE is not available: /dev/fuse: ") + std::strerror(code) +
       " (Debian: apt-get install fuse3)");
}

// True when Text is the archive-open failure for encrypted headers.
bool IsWrongPassword(const UString& text) {
  return text.size() >= kWrongPasswordText.size() &&
         UStringView(text).substr(text.size() - kWrongPasswordText.size()) == kWrongPasswordText;
}

// True when the file FileName starts as a 7z archive does, as far as it goes: the
// engine's refusal of such a file means a damaged or incomplete archive, not another
// kind of file.
bool StartsAs7z(const std::string& fileName) {
  static constexpr unsigned char kSignature[] = {'7', 'z', 0xBC, 0xAF, 0x27, 0x1C};
  TFileHandle file(open(fileName.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  unsigned char head[sizeof kSignature] = {};
  ssize_t size = file.IsValid() ? read(file.Native(), head, sizeof head) : -1;
  return size > 0 && std::memcmp(head, kSignature, static_cast<std::size_t>(size)) == 0;
}

// The command line's one-line text for the controller's error: the window shows the
// open thread's text as a heading, an empty line and the engine's detail, which may end
// in a raw result code. Here the detail follows the heading after ": ", in words the
// user can act on; the prefix is the program's name, as for usage errors.
std::string FailureText(const UString& errorText, const std::string& archive, bool passwordGiven) {
  std::string text = ConsoleText(errorText, true);
  std::string head = text;
  std::string detail;
  std::size_t gap = text.find("\n\n");
  if (gap != std::string::npos) {
    head = text.substr(0, gap);
    detail = text.substr(gap + 2);
    if (head.ends_with(':')) {
      head.pop_back();
    }
  }
  const bool cannotOpen = head.starts_with("Cannot open file '") && head.ends_with("' as archive");
  if (IsWrongPassword(errorText)) {
    detail = passwordGiven ? std::string("wrong password")
                           : std::string(
                                 "its headers are encrypted and a password is needed: "
                                 "give it with -p (asked on the terminal) or "
                                 "--password-stdin");
  } else if (cannotOpen && (detail.empty() || detail.find(", S_FALSE)") != std::string::npos)) {
    // Nothing opened it, or the engine found no archive in it.
    detail = StartsAs7z(archive) ? "the archive is damaged or incomplete"
                                 : "it is not a 7z archive (only 7z archives can be mounted)";
  } else if (std::size_t code = detail.rfind(" (result 0x"); code != std::string::npos) {
    detail.resize(code);
  }
  std::string line = "vornmount: " + head + (detail.empty() ? std::string() : ": " + detail);
  std::replace(line.begin(), line.end(), '\n', ' ');
  return line;
}

// A size for a message: bytes below 1 KiB, else KiB, MiB, GiB or TiB with one decimal
// where it is not whole ("64 KiB", "102.4 KiB").
std::string SizeText(std::uint64_t bytes) {
  static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
  if (bytes < 1024) {
    return std::to_string(bytes) + " bytes";
  }
  double value = static_cast<double>(bytes);
  std::size_t unit = 0;
  for (value /= 1024; value >= 1024 && unit + 1 < std::size(kUnits); value /= 1024) {
    ++unit;
  }
  char text[32];
  const bool whole = value == static_cast<double>(static_cast<std::uint64_t>(value));
  std::snprintf(text, sizeof text, whole ? "%.0f %s" : "%.1f %s", value, kUnits[unit]);
  return text;
}

// The store limits of a mount: memory as the user gave it or a quarter of the physical
// memory (Linux's overcommit never makes a large allocation fail: without a limit the
// process would be killed instead), the temporary file as given, and a margin of 5% of
// the temporary folder's disk, at most 1 GiB, that its growth leaves free.
TvrnStoreLimits StoreLimitsOf(const TvrnCommandLine& commandLine) {
  TvrnStoreLimits limits;
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long pageSize = sysconf(_SC_PAGESIZE);
  const std::uint64_t physical =
      pages > 0 && pageSize > 0 ? std::uint64_t(pages) * std::uint64_t(pageSize) : 0;
  limits.MaxMemory = commandLine.MaxMemory.value_or(physical > 0 ? physical / 4 : UINT64_MAX);
  limits.MaxTemp = commandLine.MaxTemp.value_or(UINT64_MAX);
  std::uint64_t available = 0;
  std::uint64_t total = 0;
  std::uint64_t free = 0;
  try {
    if (QueryDiskFreeSpace(GetTempFolder(), &available, &total, &free)) {
      limits.FreeMargin = std::min<std::uint64_t>(total / 20, std::uint64_t(1) << 30);
    }
  } catch (const EvrnError&) {
    // No temporary folder: the mount fails on its own, saying so.
  }
  return limits;
}

// The words after the path of a failed read's message: why the read failed, and for a
// password what to do about it. The window's list keeps the bare "Data error: PATH".
UString DataErrorDetail(TvrnDataErrorCause cause) {
  switch (cause) {
    case dcWrongPassword:
      return u"wrong password, or damaged encrypted data";
    case dcNoPassword:
      return u"the data is encrypted and no password was given: use -p or --password-stdin";
    case dcDamaged:
      return u"the archive's data is damaged";
    case dcUnsupportedMethod:
      return u"a compression or encryption method that the 7-Zip library lacks";
    case dcUnexpectedEnd:
      return u"the archive is incomplete";
    case dcNoSpace:
      return u"no space left in the temporary folder " + GetTempFolder();
    case dcArchiveChanged:
      return u"the archive file changed or was cut short while mounted";
    case dcArchiveRead:
      return u"the archive file could not be read";
    case dcTempLimit: {
      const TvrnStoreLimits limits = GetStoreLimits();
      std::string text = "the temporary file may not grow further (";
      if (limits.MaxTemp != UINT64_MAX) {
        text += "--max-temp " + SizeText(limits.MaxTemp) + ", ";
      }
      text += "keeping " + SizeText(limits.FreeMargin) + " free in ";
      return FromUtf8(text) + GetTempFolder() + u")";
    }
    case dcUnknown:
      break;
  }
  return UString();
}

// ---------------------------------------------------------------------------------------
// The controller's client.

// Prints what the controller reports, as the window shows it: the status lines, each
// distinct message once per mount, the progress bar.
class TvrnConsoleClient : public TInterfacedObject<IvrnSourceClient> {
 public:
  explicit TvrnConsoleClient(TvrnConsole& console) : FConsole(console) {}

  // Forgets the previous mount: its messages and whether it came up.
  void Reset() {
    FMounted = false;
    FMessageKeys.clear();
  }
  // SourceMounted arrived since Reset.
  bool Mounted() const { return FMounted; }

  void SourceStopped(const UString&) override { FConsole.ClearProgress(); }
  void SourceOpening() override { FConsole.Line("Opening archive..."); }
  void SourceMounted(const UString& mountPoint) override {
    FMounted = true;
    FConsole.Line("Mounted at " + ConsoleText(mountPoint, false));
  }
  void SourceRunning() override {}
  void SourceMessage(const UString& text) override {
    // Listed once, compared as the window compares its lines: case ignored, by locale.
    if (FMessageKeys.insert(MakeSortKey(text)).second) {
      FConsole.ErrorLine(ConsoleText(text, false));
    }
  }
  void SourceProgress(bool active, std::uint64_t done, std::uint64_t total) override {
    FConsole.Progress(active, done, total);
  }

 private:
  TvrnConsole& FConsole;
  bool FMounted = false;
  std::set<std::string> FMessageKeys;
};

// ---------------------------------------------------------------------------------------
// The mount.

// How one mount ended.
enum TvrnMountEnd : std::uint8_t {
  meUnmounted = 0,  // served, then unmounted without error
  meFailed = 1,     // never served, or ended with an error; Source.ErrorText says why
  meCancelled = 2,  // a signal ended it before the folder was live
};

// The background child's end of the pipe to its parent: one status byte is sent, once.
class TvrnReport {
 public:
  TvrnReport() = default;
  explicit TvrnReport(int fd) : FPipe(fd) {}

  // Whether a report is still owed (background child before its report).
  bool Pending() const { return FPipe.IsValid(); }
  // Sends Status and closes the pipe; nothing when already sent or in the foreground.
  void Send(char status) {
    if (FPipe.IsValid()) {
      (void)!write(FPipe.Native(), &status, 1);
      FPipe.Close();
    }
  }

 private:
  TFileHandle FPipe;
};

// The background child's report that the folder is live, after which it leaves the
// terminal: a new session, the standard streams on /dev/null, "/" as working folder
// (the archive is open and every path is absolute by now). What it would print from
// then on (failed reads, the unmount) goes to the system log, where the log of any
// server without a terminal is looked for.
void ReportLive(TvrnConsole& console,
                const std::string& mountPath,
                const std::string& archive,
                TvrnReport& report) {
  console.Line("Unmount with `fusermount3 -u " + ShellQuoted(mountPath) + "`.");
  console.Line("Messages go to the system log from now on.");
  console.UseSystemLog(ConsoleText(FromUtf8(mountPath), false));
  console.Line("Mounted " + ConsoleText(FromUtf8(archive), false));
  setsid();
  (void)!chdir("/");
  TFileHandle null(open("/dev/null", O_RDWR | O_CLOEXEC));
  if (null.IsValid()) {
    for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
      dup2(null.Native(), fd);
    }
  }
  report.Send(kReportLive);
}

// Mounts and polls until the mount ends or a signal arrives.
TvrnMountEnd RunMount(TvrnSource& source,
                      TvrnConsoleClient& client,
                      TvrnSignals& signals,
                      TvrnConsole& console,
                      const TvrnCommandLine& commandLine,
                      const std::string& mountPath,
                      const UString& password,
                      TvrnReport& report) {
  client.Reset();
  source.Mount(FromUtf8(mountPath), FromUtf8(commandLine.ArchiveFileName), password,
               commandLine.StoreKind);
  Clock::time_point nextPoll = Clock::now() + kOpeningPollInterval;
  bool live = false;
  while (source.PollEnabled()) {
    auto wait = std::chrono::ceil<std::chrono::milliseconds>(nextPoll - Clock::now());
    pollfd signalPoll{.fd = signals.Fd(), .events = POLLIN, .revents = 0};
    int ready = poll(&signalPoll, 1, static_cast<int>(std::max<std::int64_t>(wait.count(), 0)));
    if (ready > 0 && signals.Take() != 0) {
      if (live) {
        source.Poll();  // the messages of reads that failed since the last poll
      }
      console.Line(live ? "Unmounting..." : "Cancelling...");
      signals.Release();
      source.Unmount(true);
      return live ? meUnmounted : meCancelled;
    }
    if (Clock::now() < nextPoll) {
      continue;
    }
    source.Poll();
    if (!live && client.Mounted()) {
      live = true;
      if (report.Pending()) {
        ReportLive(console, mountPath, commandLine.ArchiveFileName, report);
      } else if (console.IsTerminal()) {
        console.Line("Unmount with Ctrl+C or `fusermount3 -u " + ShellQuoted(mountPath) + "`.");
      }
    }
    nextPoll = Clock::now() + (live ? TvrnSource::kPollInterval : kOpeningPollInterval);
  }
  return client.Mounted() && source.ErrorText().empty() ? meUnmounted : meFailed;
}

// Frees the engine's plug-ins and library when the program ends.
struct TvrnEngineScope {
  TvrnEngineScope() { RegisterEngineFormats(); }
  ~TvrnEngineScope() {
    ReleasePlugins();
    ReleaseEngineLibraries();
  }
  TvrnEngineScope(const TvrnEngineScope&) = delete;
  TvrnEngineScope& operator=(const TvrnEngineScope&) = delete;
};

// Mounts, serves and unmounts; the exit status. Report is owed by the background child.
int Serve(const TvrnCommandLine& commandLine,
          const std::string& mountPath,
          UString& password,
          TvrnSignals& signals,
          TvrnConsole& console,
          TvrnReport& report) {
  TvrnEngineScope engine;
  if (EngineLibraries().empty()) {
    console.ErrorLine("vornmount: the 7-Zip library " + ConsoleText(EngineLibraryPath(), false) +
                      " could not be loaded (Debian: apt-get install p7zip-full)");
    return kExitFailure;
  }
  TvrnMountEnd end;
  UString errorText;
  bool passwordGiven = commandLine.PasswordSource != psNone;
  {
    TvrnSource source;
    TComPtr<TvrnConsoleClient> client = MakeCounted<TvrnConsoleClient>(console);
    source.AddClient(static_cast<IvrnSourceClient*>(client.Get()));
    end = RunMount(source, *client, signals, console, commandLine, mountPath, password, report);
    // Encrypted headers and no password given: ask on the terminal, once.
    if (end == meFailed && !client->Mounted() && commandLine.PasswordSource == psNone &&
        isatty(STDIN_FILENO) == 1 && IsWrongPassword(source.ErrorText())) {
      console.Line("The archive is encrypted.");
      TvrnSecret secret;
      TvrnReadResult read = PromptPassword(signals.Fd(), secret);
      if (read == rrInterrupted) {
        signals.Take();
        end = meCancelled;
      } else if (read == rrLine) {
        WipeText(password);
        password = FromUtf8(secret.Text());
        secret.Wipe();
        passwordGiven = true;
        end = RunMount(source, *client, signals, console, commandLine, mountPath, password, report);
      }
    }
    WipeText(password);
    errorText = source.ErrorText();
    source.RemoveClient(static_cast<IvrnSourceClient*>(client.Get()));
  }
  switch (end) {
    case meUnmounted:
      console.Line("Unmounted.");
      return kExitSuccess;
    case meCancelled:
      console.ErrorLine("vornmount: cancelled before the archive was mounted");
      break;
    case meFailed:
      console.ErrorLine(errorText.empty()
                            ? std::string("vornmount: the mount ended without serving the folder")
                            : FailureText(errorText, commandLine.ArchiveFileName, passwordGiven));
      break;
  }
  report.Send(kReportFailed);
  return kExitFailure;
}

// The background parent: waits for the child's status byte and exits with it. A signal
// that another process sent to the parent is passed on to the child (Ctrl+C from the
// terminal reaches the child by itself).
int AwaitBackgroundChild(pid_t child, int reportFd, TvrnSignals& signals) {
  for (;;) {
    pollfd fds[2] = {{.fd = reportFd, .events = POLLIN, .revents = 0},
                     {.fd = signals.Fd(), .events = POLLIN, .revents = 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) {
        continue;
      }
      break;
    }
    if ((fds[1].revents & POLLIN) != 0) {
      pid_t sender = 0;
      int signal = signals.Take(&sender);
      if (signal != 0 && sender != 0) {
        kill(child, signal);
      }
      continue;
    }
    char status = 0;
    ssize_t count = read(reportFd, &status, 1);
    if (count < 0 && errno == EINTR) {
      continue;
    }
    if (count == 1) {
      return status == kReportLive ? kExitSuccess : kExitFailure;
    }
    break;  // the child ended without a report
  }
  int status = 0;
  std::string how = "ended unexpectedly";
  if (waitpid(child, &status, 0) == child && WIFSIGNALED(status)) {
    how = "was killed by signal " + std::to_string(WTERMSIG(status));
  }
  std::string text = "vornmount: the mount process " + how + "\n";
  (void)!write(STDERR_FILENO, text.data(), text.size());
  return kExitFailure;
}

// Opens /dev/null on standard input, output or error when they are closed, so that no
// file the program opens later (the temporary file of extracted data, say) takes one
// of those numbers and receives its status lines.
void EnsureStandardStreams() {
  for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      int null = open("/dev/null", O_RDWR);
      if (null >= 0 && null != fd) {
        dup2(null, fd);
        close(null);
      }
    }
  }
}

int Main(int argc, char** argv) {
  EnsureStandardStreams();
  // Before any thread exists: every later thread inherits the blocked signals.
  TvrnSignals signals;
  TvrnConsole console;
  TvrnCommandLine commandLine;
  try {
    commandLine = ParseCommandLine(argc, argv);
  } catch (const EvrnError& e) {
    console.ErrorLine("vornmount: " + ConsoleText(e.Message(), false) +
                      "\nTry 'vornmount --help' for more information.");
    return kExitUsage;
  }
  if (commandLine.Help) {
    std::fputs(UsageText().c_str(), stdout);
    return kExitSuccess;
  }
  if (commandLine.Version) {
    std::fputs(VersionText().c_str(), stdout);
    return kExitSuccess;
  }

  std::string mountPath;
  try {
    CheckArchive(commandLine.ArchiveFileName);
    CheckUtf8(commandLine.MountPoint, "Mount point");
    mountPath = CheckMountPoint(commandLine.MountPoint);
    CheckFuse();
  } catch (const EvrnError& e) {
    console.ErrorLine("vornmount: " + ConsoleText(e.Message(), false));
    return kExitFailure;
  }

  UString password;
  {
    TvrnSecret secret;
    TvrnReadResult read = rrLine;
    if (commandLine.PasswordSource == psArgument) {
      secret.Text() = commandLine.Password;
      explicit_bzero(commandLine.Password.data(), commandLine.Password.size());
    } else if (commandLine.PasswordSource == psPrompt) {
      read = PromptPassword(signals.Fd(), secret);
      if (read == rrFailed) {
        console.ErrorLine(
            "vornmount: no terminal to ask for the password on; use "
            "--password-stdin");
        return kExitUsage;
      }
    } else if (commandLine.PasswordSource == psStdin) {
      read = ReadSecretLine(STDIN_FILENO, signals.Fd(), secret);
      if (read == rrFailed || read == rrEnd) {
        console.ErrorLine("vornmount: no password on standard input");
        return kExitUsage;
      }
    } else if (commandLine.PasswordSource == psFile) {
      try {
        read = ReadPasswordFile(commandLine.PasswordFile, signals.Fd(), secret);
      } catch (const EvrnError& e) {
        console.ErrorLine("vornmount: " + ConsoleText(e.Message(), false));
        return kExitFailure;
      }
    }
    if (read == rrInterrupted) {
      console.ErrorLine("vornmount: cancelled before the archive was mounted");
      return kExitFailure;
    }
    password = FromUtf8(secret.Text());
  }

  TDokanFuseMountOptions mountOptions;
  mountOptions.Source = AbsoluteArchivePath(commandLine.ArchiveFileName);
  mountOptions.AllowOther = commandLine.AllowOther;
  mountOptions.AllowRoot = commandLine.AllowRoot;
  mountOptions.DefaultPermissions = commandLine.DefaultPermissions;
  mountOptions.Uid = commandLine.Uid;
  mountOptions.Gid = commandLine.Gid;
  mountOptions.Umask = static_cast<mode_t>(commandLine.Umask);
  mountOptions.Debug = commandLine.Debug;
  DokanFuseSetMountOptions(mountOptions);
  // An archive's files always open for reading: each read may open its own handle.
  DokanFuseSetOpenPerRead(true);
  SetDefaultNameRules(commandLine.WindowsNames ? nrWindows : nrExact);
  SetDataErrorDetail(DataErrorDetail);
  SetStoreLimits(StoreLimitsOf(commandLine));
  TvrnReport report;
  if (commandLine.Background) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
      console.ErrorLine(std::string("vornmount: ") + std::strerror(errno));
      return kExitFailure;
    }
    std::fflush(nullptr);
    pid_t child = fork();
    if (child < 0) {
      console.ErrorLine(std::string("vornmount: ") + std::strerror(errno));
      return kExitFailure;
    }
    if (child > 0) {
      WipeText(password);
      close(pipeFds[1]);
      int status = AwaitBackgroundChild(child, pipeFds[0], signals);
      close(pipeFds[0]);
      return status;
    }
    close(pipeFds[0]);
    report = TvrnReport(pipeFds[1]);
  }
  try {
    return Serve(commandLine, mountPath, password, signals, console, report);
  } catch (const std::exception& e) {
    WipeText(password);
    console.ErrorLine(std::string("vornmount: ") + e.what());
    report.Send(kReportFailed);
    return kExitFailure;
  }
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Main(argc, argv);
  } catch (const std::exception& e) {
    std::string text = std::string("vornmount: ") + e.what() + "\n";
    (void)!write(STDERR_FILENO, text.data(), text.size());
    return kExitFailure;
  }
}
