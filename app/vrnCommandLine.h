// The command line of the Linux program: its switches, help text and parse.
//
// `vornmount [OPTIONS] ARCHIVE MOUNTPOINT` with the program's own switches (-p, -s,
// --max-memory, ...) and the ones every FUSE mounter takes: -o with a list of mount
// options (which is how mount.fuse3 and /etc/fstab hand them over; each long switch has
// an -o form too), -f and -d. The parse only reads the words; it opens nothing and asks
// for nothing. A password typed after -p is moved out of the process's argument area at
// once, so that other users cannot read it in /proc/PID/cmdline or ps for longer than
// the program takes to start.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "vfs/vrnData.h"

// Where the archive's password comes from.
enum TvrnPasswordSource : std::uint8_t {
  psNone = 0,      // no password: the archive is opened without one
  psArgument = 1,  // -pPASSWORD
  psPrompt = 2,    // -p alone: asked on the terminal without echo
  psStdin = 3,     // --password-stdin: the first line of standard input
  psFile = 4,      // -o password-file=PATH: the first line of that file
};

// What the user asked for.
struct TvrnCommandLine {
  // The archive file, exactly as typed.
  std::string ArchiveFileName;
  // The folder to mount on, exactly as typed.
  std::string MountPoint;
  TvrnPasswordSource PasswordSource = psNone;
  // The password of -pPASSWORD (UTF-8); empty for every other source.
  std::string Password;
  // Where extracted data is held; the disk store unless -s says otherwise.
  TvrnStoreKind StoreKind = skDisk;
  // --max-memory and --max-temp in bytes, when given.
  std::optional<std::uint64_t> MaxMemory;
  std::optional<std::uint64_t> MaxTemp;
  // The file of -o password-file, exactly as typed.
  std::string PasswordFile;
  // Return once the folder is live and leave the mount running (the default; -f and -d
  // keep the program in the foreground).
  bool Background = true;
  // -d: every FUSE request logged to standard error (in the foreground).
  bool Debug = false;
  // Let other users into the mount; without it only the user who mounted gets in.
  bool AllowOther = false;
  // Let root in besides the user who mounted (allow_root).
  bool AllowRoot = false;
  // The kernel checks the modes shown before it lets anyone in (default_permissions).
  bool DefaultPermissions = false;
  // The owner and group every item shows, and the bits taken from every mode; the
  // mounting user's own ids and no mask when not given.
  std::optional<std::uint32_t> Uid;
  std::optional<std::uint32_t> Gid;
  std::uint32_t Umask = 0;
  // Show Windows names (the Windows program's rules) rather than the archive's own.
  bool WindowsNames = false;
  // -h/--help or --version: print and exit, nothing else.
  bool Help = false;
  bool Version = false;
};

// Reads the arguments. A password after -p is copied into the result and its bytes in
// Argv are overwritten with zeros. Throws EArgumentError with a text for the user (no
// program name, no "try --help") for a usage error.
TvrnCommandLine ParseCommandLine(int argc, char** argv);

// A size as the options take it: a number of bytes, or with K, M, G or T after it (powers
// of 1024, an "iB" or "B" may follow); nothing when Text is no size.
std::optional<std::uint64_t> ParseSize(std::string_view text);

// The text of --help.
std::string UsageText();
// The text of --version.
std::string VersionText();
