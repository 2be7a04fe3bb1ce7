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
    Refuse("the password is given more than once (-p, --password-stdin, password-file)");
  }
  result.PasswordSource = source;
}

// The mount options that say what the mount always is or that only mount(8) reads:
// the mount is read-only, nosuid and nodev whatever is asked, and the rest changes
// nothing here. They are taken so that fstab lines ("defaults", "user", "noauto") and
// what mount.fuse3 passes on work unchanged.
constexpr std::string_view kTakenMountOptions[] = {
    "ro",      "rw",       "defaults",    "nosuid",     "suid",       "nodev",  "dev",
    "noexec",  "exec",     "atime",       "noatime",    "relatime",   "norelatime",
    "diratime", "nodiratime", "strictatime", "nostrictatime", "lazytime", "nolazytime",
    "auto",    "noauto",   "user",        "nouser",     "users",      "owner",  "group",
    "nofail",  "_netdev",  "async",       "nonempty",
};

std::uint32_t NumberOf(std::string_view option, std::string_view text, int base) {
  std::uint64_t value = 0;
  bool valid = !text.empty();
  for (char c : text) {
    int digit = c >= '0' && c <= '9' ? c - '0' : base;
    if (digit >= base || value > UINT32_MAX / static_cast<unsigned>(base)) {
      valid = false;
      break;
    }
    value = value * static_cast<unsigned>(base) + static_cast<unsigned>(digit);
  }
  if (!valid || value > (base == 8 ? 0777u : UINT32_MAX - 1)) {
    Refuse("'" + std::string(text) + "' is no " + (base == 8 ? "octal mask (022)" : "number") +
           " for -o " + std::string(option));
  }
  return static_cast<std::uint32_t>(value);
}

// One mount option of an -o list: NAME or NAME=VALUE.
void TakeMountOption(TvrnCommandLine& result, std::string_view option) {
  const std::size_t equals = option.find('=');
  const std::string_view name = option.substr(0, equals);
  const bool hasValue = equals != std::string_view::npos;
  const std::string_view value = hasValue ? option.substr(equals + 1) : std::string_view();
  auto noValue = [&]() {
    if (hasValue) {
      Refuse("-o " + std::string(name) + " takes no value");
    }
  };
  auto flag = [&](bool& target) {
    noValue();
    target = true;
  };
  auto needValue = [&]() {
    if (!hasValue || value.empty()) {
      Refuse("-o " + std::string(name) + " needs a value (" + std::string(name) + "=...)");
    }
  };
  if (option.empty()) {
    return;  // "a,,b" or a trailing comma
  }
  if (name.starts_with("x-") || name == "comment") {
    return;  // for mount(8) and systemd
  }
  for (std::string_view taken : kTakenMountOptions) {
    if (name == taken && !hasValue) {
      return;
    }
  }
  if (name == "allow_other" || name == "allow-other") {
    flag(result.AllowOther);
  } else if (name == "allow_root") {
    flag(result.AllowRoot);
  } else if (name == "default_permissions") {
    flag(result.DefaultPermissions);
  } else if (name == "windows-names") {
    flag(result.WindowsNames);
  } else if (name == "background") {
    noValue();  // the default
  } else if (name == "password-stdin") {
    noValue();
    SetPasswordSource(result, psStdin);
  } else if (name == "password-file") {
    needValue();
    SetPasswordSource(result, psFile);
    result.PasswordFile.assign(value);
  } else if (name == "uid" || name == "gid") {
    needValue();
    (name == "uid" ? result.Uid : result.Gid) = NumberOf(name, value, 10);
  } else if (name == "umask") {
    needValue();
    result.Umask = NumberOf(name, value, 8);
  } else if (name == "store" || name == "s") {
    needValue();
    result.StoreKind = StoreKindOf(value);
  } else if (name == "max-memory" || name == "max-temp") {
    needValue();
    (name == "max-memory" ? result.MaxMemory : result.MaxTemp) =
        SizeOf("-o " + std::string(name), value);
  } else {
    Refuse("unknown mount option '" + std::string(option) + "' in -o");
  }
}

// Every option of an -o list, separated by commas.
void TakeMountOptions(TvrnCommandLine& result, std::string_view list) {
  while (true) {
    const std::size_t comma = list.find(',');
    TakeMountOption(result, list.substr(0, comma));
    if (comma == std::string_view::npos) {
      return;
    }
    list.remove_prefix(comma + 1);
  }
}

}  // namespace

TvrnCommandLine ParseCommandLine(int argc, char** argv) {
  TvrnCommandLine result;
  std::vector<std::string> operands;
  bool optionsEnded = false;
  bool foreground = false;
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
      // The default, said out loud.
    } else if (arg == "-f") {
      foreground = true;
    } else if (arg == "-d") {
      foreground = true;
      result.Debug = true;
    } else if (arg == "-o") {
      if (i + 1 >= argc) {
        Refuse("-o needs a list of mount options");
      }
      TakeMountOptions(result, argv[++i]);
    } else if (arg.starts_with("-o") && !arg.starts_with("--")) {
      TakeMountOptions(result, arg.substr(2));
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
  // The FUSE way: in the background unless -f or -d says otherwise.
  result.Background = !foreground;
  if (result.AllowOther && result.AllowRoot) {
    Refuse("allow_other and allow_root exclude each other: allow_other lets root in too");
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
         "Mounts a 7z archive read-only on the folder MOUNTPOINT and returns once it is\n"
         "mounted; it stays mounted until `umount MOUNTPOINT` or `fusermount3 -u\n"
         "MOUNTPOINT` (with -f: until then, Ctrl+C or SIGTERM). Files are extracted on\n"
         "first read, a whole solid block at a time; a read goes on as soon as its own\n"
         "file is out, while the rest of the block is unpacked behind it.\n"
         "The mount is the archive's own tree: its exact names (looked up with case),\n"
         "symbolic links, and unix permissions without write, setuid, setgid or sticky\n"
         "bits; only names Linux cannot hold change (\".\", \"..\", longer than 255\n"
         "bytes, a path listed twice: \"name (2)\"). Files belong to the mounting user.\n"
         "\n"
         "Options:\n"
         "  -p[PASSWORD]      the archive's password; -p alone asks for it on the terminal.\n"
         "                    Other users can see a password typed on the command line while\n"
         "                    the program starts: prefer -p alone, --password-stdin or\n"
         "                    -o password-file=PATH.\n"
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
         "  -f                stay in the foreground, showing progress and failed reads,\n"
         "                    until the folder is unmounted or Ctrl+C\n"
         "  -d                as -f, and log every FUSE request to standard error\n"
         "  --background      the default: return once the folder is mounted. From then on\n"
         "                    failed reads and the unmount are reported to the system log\n"
         "                    (syslog, facility daemon; journalctl -t vornmount), each\n"
         "                    after the mount point\n"
         "  --allow-other     let other users read the mount too (a user other than root\n"
         "                    needs user_allow_other in /etc/fuse.conf); without it only\n"
         "                    the user who mounted it gets in\n"
         "  --windows-names   names as the Windows program shows them, for sharing the\n"
         "                    mount with Windows clients: looked up without case, case\n"
         "                    twins numbered (\"makefile (2)\"), the characters \" * : < > ? |\n"
         "                    and control characters as \"_\", blanks around a name and\n"
         "                    device names (con, aux.txt) changed\n"
         "  -o OPT[,OPT...]   mount options, as /etc/fstab and mount.fuse3 give them:\n"
         "                    allow_other, allow_root (root besides the mounting user),\n"
         "                    default_permissions (the kernel checks the modes shown),\n"
         "                    uid=N and gid=N (every item's owner and group), umask=M\n"
         "                    (octal bits taken from every mode), password-file=PATH (the\n"
         "                    first line of a file only its owner can read), and every\n"
         "                    long option above as NAME[=VALUE] (store=temp,\n"
         "                    max-temp=2G, windows-names). ro, nosuid and nodev are what\n"
         "                    the mount always is; rw, suid, dev, exec, noexec, the atime\n"
         "                    options, nonempty, defaults and what only mount(8) reads\n"
         "                    (user, noauto, nofail, _netdev, x-...) are accepted and\n"
         "                    change nothing\n"
         "  -h, --help        show this help and exit\n"
         "  --version         show the version and exit\n"
         "\n"
         "In /etc/fstab (mounted with `mount DIR`, or at boot):\n"
         "  /srv/photos.7z  /mnt/photos  fuse.vornmount  ro,allow_other,noauto  0  0\n"
         "\n"
         "Exit status: 0 once the folder is mounted (with -f: once it has been unmounted\n"
         "again), 1 when the mount failed, 2 for a usage error.\n";
}

std::string VersionText() {
  return "vornmount " VRN_VERSION "\n";
}
