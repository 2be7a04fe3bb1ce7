// The Linux program's terminal side: status and error lines, the extraction progress
// bar, and passwords read without echo.
//
// Status lines go to standard output, errors to standard error, each flushed at once so
// that a reader of a pipe sees a line as soon as it is printed. On a terminal the
// extraction progress is one bar redrawn in place; elsewhere it is a plain line for each
// new whole percent. Texts that come from an archive (file names in messages) are printed
// with their control characters replaced, so a name cannot move the cursor, forge a line
// or send escape sequences to the terminal.
//
// A server in the background has no terminal left: from UseSystemLog on, its lines go to
// the system log (syslog, facility daemon) instead, each after the mount point, and the
// progress is not shown.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/vrnStrings.h"

// A text for the console: UTF-8, "\r\n" as "\n", and every other control character
// (C0, DEL, C1) as '?'; a line break is kept only where KeepLineBreaks allows it.
std::string ConsoleText(UStringView text, bool keepLineBreaks);

// The extraction progress in thousandths, as the window's bar shows it: Done / Total x
// 1000 rounded, 0 for a Total of 0, at most 1000.
int ProgressPermille(std::uint64_t done, std::uint64_t total);

class TvrnConsole {
 public:
  // Looks once whether standard output is a terminal.
  TvrnConsole();
  TvrnConsole(const TvrnConsole&) = delete;
  TvrnConsole& operator=(const TvrnConsole&) = delete;

  // A status line on standard output.
  void Line(std::string_view text);
  // An error line (or several) on standard error.
  void ErrorLine(std::string_view text);
  // One poll's progress: a bar while Active (and Total is not 0), nothing otherwise.
  void Progress(bool active, std::uint64_t done, std::uint64_t total);
  // Removes the bar, if one is shown.
  void ClearProgress();
  bool IsTerminal() const { return FTerminal; }
  // Sends every later line to the system log as "MountPoint: text", status lines as
  // notices and error lines as errors.
  void UseSystemLog(const std::string& mountPoint);

 private:
  bool FTerminal = false;
  // UseSystemLog was called; FLogPrefix is the mount point and ": ".
  bool FSystemLog = false;
  std::string FLogPrefix;
  // A bar is drawn on the terminal's current line.
  bool FBarShown = false;
  // The percent of the last plain progress line; -1 when none was printed for the
  // running extraction.
  int FLastPercent = -1;
};

// A line of secret text (a password) whose bytes are zeroed when it goes.
class TvrnSecret {
 public:
  TvrnSecret() { FText.reserve(1024); }
  TvrnSecret(const TvrnSecret&) = delete;
  TvrnSecret& operator=(const TvrnSecret&) = delete;
  ~TvrnSecret() { Wipe(); }

  // Zeroes the bytes and empties the text.
  void Wipe();
  std::string& Text() { return FText; }
  const std::string& Text() const { return FText; }

 private:
  std::string FText;
};

// How reading a secret line ended.
enum TvrnReadResult : std::uint8_t {
  rrLine = 0,         // a line, or the last text before the end of input
  rrEnd = 1,          // the input ended before any character
  rrInterrupted = 2,  // InterruptFd became readable first (a signal arrived)
  rrFailed = 3,       // the input could not be read
};

// Reads one line from Fd into Secret, without its line break ("\n" or "\r\n"), one byte
// at a time so that nothing after the line is consumed. While it reads from a terminal
// the terminal's echo is off (the line break still shows); Prompt, when given, is written
// to Fd once echo is off. Gives up when InterruptFd becomes readable.
TvrnReadResult ReadSecretLine(int fd,
                              int interruptFd,
                              TvrnSecret& secret,
                              std::string_view prompt = {});

// Asks "Password: " on the controlling terminal (/dev/tty) and reads the answer without
// echo. rrFailed when there is no terminal.
TvrnReadResult PromptPassword(int interruptFd, TvrnSecret& secret);
