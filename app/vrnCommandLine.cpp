// The command line of the Linux program: switches, help text and parse (see the header).
#include "app/vrnCommandLine.h"

#include <cstring>
#include <string_view>
#include <vector>

#include "platform/vrnErrors.h"

#ifndef VRN_VERSION
#define VRN_VERSION "0.0.0"
#endif

namespace {

// The -s names, in the order of TvrnStoreKind (the window's list order, then disk).
struct TvrnStoreName {
  std::string_view Name;
  TvrnStoreKind Kind;
};
constexpr TvrnStoreName kStoreNames[] = {
    {"temp", skTempFile},
    {"memory-temp", skMemoryAndTempFile},
    {"memory", skMemory},
    {"disk", skDisk},
};
// The -s names as the messages list them.
constexpr std::string_view kStoreChoices = "disk, temp, memory-temp or memory";

[[noreturn]] void Refuse(const std::string& text) {
  throw EArgumentError(FromUtf8(text));
}

TvrnStoreKind StoreKindOf(std::string_view name) {
  for (const TvrnStoreName& entry : kStoreNames) {
    if (entry.Name == name) {
      return entry.Kind;
    }
  }
  Refuse("unknown store '" + std::string(name) + "' for -s: use " + std::string(kStoreChoices));
}

std::uint64_t SizeOf(std::string_view option, std::string_view text) {
  std::optional<std::uint64_t> size = ParseSize(text);
  if (!size) {
    Refuse("'" + std::string(text) + "' is no size for " + std::string(option) +
           ": a number of bytes, or with K, M, G or T after it (512M, 2G)");
  }
  return *size;
}

// The value of a long option given as --NAME=VALUE or --NAME VALUE; advances I past a
// separate value. Nothing when Arg is not that option.
std::optional<std::string_view> LongValue(std::string_view name,
                                          std::string_view arg,
                                          int& i,
                                          int argc,
                                          char** argv) {
  if (arg == name) {
    if (i + 1 >= argc) {
      Refuse(std::string(name) + " needs a value");
    }
    return std::string_view(argv[++i]);
  }
  if (arg.size() > name.size() && arg.starts_with(name) && arg[name.size()] == '=') {
    return arg.substr(name.size() + 1);
  }
  return std::nullopt;
}

void SetPasswordSource(TvrnCommandLine& result, TvrnPasswordSource source) {
  if (result.PasswordSource != psNone) {
    Refuse("the password is given more than once (-p, --password-stdin)");
  }
  result.PasswordSource = source;
}

}  // namespace

TvrnCommandLine ParseCommandLine(int argc, char** argv) {
  TvrnCommandLine result;
  std::vector<std::string> operands;
  bool optionsEnded = false;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg(argv[i]);
    if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
      operands.emplace_back(arg);
    } else if (arg == "--") {
      optionsEnded = true;
    } else if (arg == "-h" || arg == "--help") {
      result.Help = true;
    } else if (arg == "--version") {
      result.Version = true;
    } else if (arg == "--background") {
      result.Background = true;
    } else if (arg == "--allow-other") {
      result.AllowOther = true;
    } else if (arg == "--windows-names") {
      result.WindowsNames = true;
    } else if (arg == "--password-stdin") {
      SetPasswordSource(result, psStdin);
    } else if (arg.starts_with("-p")) {
      if (arg.size() == 2) {
        SetPasswordSource(result, psPrompt);
      } else {
        SetPasswordSource(result, psArgument);
        result.Password.assign(arg.substr(2));
        // Out of ps and /proc/PID/cmdline; "-p" stays, so the words still line up.
        std::memset(argv[i] + 2, 0, arg.size() - 2);
      }
    } else if (auto memory = LongValue("--max-memory", arg, i, argc, argv)) {
      result.MaxMemory = SizeOf("--max-memory", *memory);
    } else if (auto temp = LongValue("--max-temp", arg, i, argc, argv)) {
      result.MaxTemp = SizeOf("--max-temp", *temp);
    } else if (arg == "-s" || arg == "--store") {
      if (i + 1 >= argc) {
        Refuse("-s needs a store: " + std::string(kStoreChoices));
      }
      result.StoreKind = StoreKindOf(argv[++i]);
    } else if (arg.starts_with("--store=")) {
      result.StoreKind = StoreKindOf(arg.substr(8));
    } else if (arg.starts_with("-s") && !arg.starts_with("--")) {
      result.StoreKind = StoreKindOf(arg.substr(2));
    } else {
      Refuse("unknown option '" + std::string(arg) + "'");
    }
  }
  if (result.Help || result.Version) {
    return result;
  }
  if (operands.size() < 2) {
    Refuse(operands.empty() ? "ARCHIVE and MOUNTPOINT are missing" : "MOUNTPOINT is missing");
  }
  if (operands.size() > 2) {
    Refuse("too many arguments, from '" + operands[2] + "' on");
  }
  result.ArchiveFileName = operands[0];
  result.MountPoint = operands[1];
  if (result.ArchiveFileName.empty()) {
    Refuse("the archive name is empty");
  }
  if (result.MountPoint.empty()) {
    Refuse("the mount point is empty");
  }
  return result;
}

std::optional<std::uint64_t> ParseSize(std::string_view text) {
  std::uint64_t value = 0;
  std::size_t i = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    if (value > (UINT64_MAX - 9) / 10) {
      return std::nullopt;
    }
    value = value * 10 + static_cast<std::uint64_t>(text[i] - '0');
  }
  if (i == 0) {
    return std::nullopt;
  }
  std::string_view unit = text.substr(i);
  int shift = 0;
  if (!unit.empty()) {
    const std::string_view units = "KMGT";
    std::size_t position = units.find(static_cast<char>(unit[0] & ~0x20));
    if (position != std::string_view::npos) {
      shift = 10 * static_cast<int>(position + 1);
      unit.remove_prefix(1);
      if (unit == "iB" || unit == "B") {
        unit = {};
      }
    } else if (unit == "B") {
      unit = {};
    }
  }
  if (!unit.empty() || (shift > 0 && value > (UINT64_MAX >> shift))) {
    return std::nullopt;
  }
  return value << shift;
}

std::string UsageText() {
  return "Usage: vornmount [OPTIONS] ARCHIVE MOUNTPOINT\n"
         "Mounts a 7z archive read-only on the folder MOUNTPOINT and serves it until the\n"
         "folder is unmounted: Ctrl+C, SIGTERM or `fusermount3 -u MOUNTPOINT`. Files are\n"
         "extracted on first read, a whole solid block at a time; a read goes on as soon\n"
         "as its own file is out, while the rest of the block is unpacked behind it.\n"
         "The mount is the archive's own tree: its exact names (looked up with case),\n"
         "symbolic links, and unix permissions without write, setuid, setgid or sticky\n"
         "bits; only names Linux cannot hold change (\".\", \"..\", longer than 255\n"
         "bytes, a path listed twice: \"name (2)\"). Files belong to the mounting user.\n"
         "\n"
         "Options:\n"
         "  -p[PASSWORD]      the archive's password; -p alone asks for it on the terminal.\n"
         "                    Other users can see a password typed on the command line while\n"
         "                    the program starts: prefer -p alone or --password-stdin.\n"
         "  --password-stdin  read the password from the first line of standard input\n"
         "  -s STORE          where extracted data is held: disk (the default: all of it in\n"
         "                    a temporary file, which the system's page cache caches),\n"
         "                    temp (the first 32 KiB of each file in memory, the rest in\n"
         "                    the temporary file), memory-temp (memory up to 10 MiB a\n"
         "                    file, the rest in the temporary file) or memory (files up to\n"
         "                    64 MiB in memory)\n"
         "  --max-memory=SIZE the memory that the memory stores may hold in all (512M, 2G;\n"
         "                    default a quarter of the physical memory); beyond it, files\n"
         "                    are held in the temporary file\n"
         "  --max-temp=SIZE   the largest size of the temporary file (default: as large as\n"
         "                    the disk allows while 5% of it, at most 1 GiB, stays free);\n"
         "                    reads of files that do not fit then fail, naming the limit\n"
         "  --background      return once the folder is mounted; it stays mounted until\n"
         "                    `fusermount3 -u MOUNTPOINT`. From then on failed reads and\n"
         "                    the unmount are reported to the system log (syslog, facility\n"
         "                    daemon; journalctl -t vornmount), each after the mount point\n"
         "  --allow-other     let other users read the mount too (a user other than root\n"
         "                    needs user_allow_other in /etc/fuse.conf); without it only\n"
         "                    the user who mounted it gets in\n"
         "  --windows-names   names as the Windows program shows them, for sharing the\n"
         "                    mount with Windows clients: looked up without case, case\n"
         "                    twins numbered (\"makefile (2)\"), the characters \" * : < > ? |\n"
         "                    and control characters as \"_\", blanks around a name and\n"
         "                    device names (con, aux.txt) changed\n"
         "  -h, --help        show this help and exit\n"
         "  --version         show the version and exit\n"
         "\n"
         "Exit status: 0 once the folder has been unmounted again (with --background: once\n"
         "it is mounted), 1 when the mount failed, 2 for a usage error.\n";
}

std::string VersionText() {
  return "vornmount " VRN_VERSION "\n";
}
