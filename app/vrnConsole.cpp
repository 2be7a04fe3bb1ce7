// The Linux program's terminal side: lines, progress bar, secret input (see the header).
#include "app/vrnConsole.h"

#include <fcntl.h>
#include <poll.h>
#include <syslog.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "platform/vrnFiles.h"

namespace {

// The width of the bar between its brackets.
constexpr int kBarWidth = 30;
// The status text shown with the progress, as in the window.
constexpr std::string_view kExtractionText = "Data extraction...";

void WriteOut(std::FILE* stream, std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

// Switches a terminal's echo off for the life of the object; a non-terminal is left alone.
class TEchoOff {
 public:
  explicit TEchoOff(int fd) : FFd(fd) {
    if (tcgetattr(fd, &FSaved) != 0) {
      return;
    }
    termios quiet = FSaved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;
    // TCSADRAIN, not TCSAFLUSH: a password typed ahead of the prompt is kept.
    FActive = tcsetattr(fd, TCSADRAIN, &quiet) == 0;
  }
  TEchoOff(const TEchoOff&) = delete;
  TEchoOff& operator=(const TEchoOff&) = delete;
  ~TEchoOff() {
    if (FActive) {
      tcsetattr(FFd, TCSADRAIN, &FSaved);
    }
  }

 private:
  int FFd;
  termios FSaved{};
  bool FActive = false;
};

}  // namespace

std::string ConsoleText(UStringView text, bool keepLineBreaks) {
  std::string utf8 = ToUtf8(text);
  std::string result;
  result.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(utf8[i]);
    if (c == '\r' && i + 1 < utf8.size() && utf8[i + 1] == '\n' && keepLineBreaks) {
      continue;  // the "\n" follows
    }
    if (c == '\n' && keepLineBreaks) {
      result += '\n';
    } else if (c < 0x20 || c == 0x7F) {
      result += '?';
    } else if (c == 0xC2 && i + 1 < utf8.size() &&
               static_cast<unsigned char>(utf8[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(utf8[i + 1]) <= 0x9F) {
      result += '?';  // a C1 control, U+0080 to U+009F
      ++i;
    } else {
      result += static_cast<char>(c);
    }
  }
  return result;
}

int ProgressPermille(std::uint64_t done, std::uint64_t total) {
  if (total == 0) {
    return 0;
  }
  double permille = std::round(static_cast<double>(done) / static_cast<double>(total) * 1000.0);
  return permille >= 1000.0 ? 1000 : permille <= 0.0 ? 0 : static_cast<int>(permille);
}

TvrnConsole::TvrnConsole() : FTerminal(isatty(STDOUT_FILENO) == 1) {}

void TvrnConsole::UseSystemLog(const std::string& mountPoint) {
  ClearProgress();
  // Connected now: the server is about to leave its session and working folder.
  openlog("vornmount", LOG_PID | LOG_NDELAY, LOG_DAEMON);
  FSystemLog = true;
  FTerminal = false;
  FLogPrefix = mountPoint + ": ";
}

void TvrnConsole::Line(std::string_view text) {
  if (FSystemLog) {
    syslog(LOG_NOTICE, "%s%.*s", FLogPrefix.c_str(), static_cast<int>(text.size()), text.data());
    return;
  }
  ClearProgress();
  std::string line(text);
  line += '\n';
  WriteOut(stdout, line);
}

void TvrnConsole::ErrorLine(std::string_view text) {
  if (FSystemLog) {
    syslog(LOG_ERR, "%s%.*s", FLogPrefix.c_str(), static_cast<int>(text.size()), text.data());
    return;
  }
  ClearProgress();
  std::string line(text);
  line += '\n';
  WriteOut(stderr, line);
}

void TvrnConsole::Progress(bool active, std::uint64_t done, std::uint64_t total) {
  if (FSystemLog) {
    return;
  }
  if (!active || total == 0) {
    ClearProgress();
    FLastPercent = -1;
    return;
  }
  int permille = ProgressPermille(done, total);
  if (FTerminal) {
    int filled = permille * kBarWidth / 1000;
    char percent[16];
    std::snprintf(percent, sizeof percent, "%5.1f%%", permille / 10.0);
    std::string bar = "\r" + std::string(kExtractionText) + " [" + std::string(filled, '#') +
                      std::string(kBarWidth - filled, '-') + "] " + percent + "\033[K";
    WriteOut(stdout, bar);
    FBarShown = true;
    return;
  }
  int percent = permille / 10;
  if (percent != FLastPercent) {
    FLastPercent = percent;
    WriteOut(stdout, std::string(kExtractionText) + " " + std::to_string(percent) + "%\n");
  }
}

void TvrnConsole::ClearProgress() {
  if (FBarShown) {
    WriteOut(stdout, "\r\033[K");
    FBarShown = false;
  }
}

void TvrnSecret::Wipe() {
  explicit_bzero(FText.data(), FText.size());
  FText.clear();
}

TvrnReadResult ReadSecretLine(int fd,
                              int interruptFd,
                              TvrnSecret& secret,
                              std::string_view prompt) {
  secret.Wipe();
  TEchoOff echoOff(fd);
  // Only now: whatever is typed once the prompt shows is not echoed.
  if (!prompt.empty() && write(fd, prompt.data(), prompt.size()) < 0) {
    return rrFailed;
  }
  bool any = false;
  for (;;) {
    pollfd fds[2] = {{.fd = fd, .events = POLLIN, .revents = 0},
                     {.fd = interruptFd, .events = POLLIN, .revents = 0}};
    if (poll(fds, interruptFd >= 0 ? 2 : 1, -1) < 0) {
      if (errno == EINTR) {
        continue;
      }
      return rrFailed;
    }
    if (interruptFd >= 0 && (fds[1].revents & POLLIN) != 0) {
      secret.Wipe();
      return rrInterrupted;
    }
    char c = 0;
    ssize_t count = read(fd, &c, 1);
    if (count < 0) {
      if (errno == EINTR || errno == EAGAIN) {
        continue;
      }
      secret.Wipe();
      return rrFailed;
    }
    if (count == 0) {
      return any ? rrLine : rrEnd;
    }
    any = true;
    if (c == '\n') {
      break;
    }
    secret.Text() += c;
    c = 0;
  }
  std::string& text = secret.Text();
  if (!text.empty() && text.back() == '\r') {
    text.back() = 0;
    text.pop_back();
  }
  return rrLine;
}

TvrnReadResult PromptPassword(int interruptFd, TvrnSecret& secret) {
  TFileHandle terminal(open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!terminal.IsValid()) {
    return rrFailed;
  }
  TvrnReadResult result = ReadSecretLine(terminal.Native(), interruptFd, secret, "Password: ");
  if (result != rrLine) {
    // The line break that ends the prompt's line, since none was typed.
    (void)!write(terminal.Native(), "\n", 1);
  }
  return result;
}
