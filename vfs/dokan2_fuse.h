// The translations between Dokan 2 records and FUSE 3 values that vfs/dokan2_fuse.cpp
// uses, exposed for unit tests (Linux only).
//
// The FUSE implementation of the Dokan API answers every kernel request with Dokan
// callbacks; these functions are the pure parts of that bridge: status codes to errno
// values, Windows file records to struct stat, FUSE paths to Windows paths and listing
// names to FUSE names.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

#include "platform/vrnStrings.h"
#include "vfs/dokan2.h"

// How the mounts made from now on show themselves and whom they let in: choices Dokan
// does not know, which the Linux command line makes (its -o options). Until set, a
// mount is private to the user who made it, shows "vornmount" as its source and that
// user as every item's owner.
struct TDokanFuseMountOptions {
  // The source that mount, df and /proc/mounts show (the archive); "vornmount" when
  // empty.
  std::string Source;
  // Let other users in (allow_other), or root besides the mounting user (allow_root);
  // not both.
  bool AllowOther = false;
  bool AllowRoot = false;
  // The kernel checks the modes shown before it lets anyone in (default_permissions).
  bool DefaultPermissions = false;
  // Every item's owner and group; the mounting user's own when not given.
  std::optional<uid_t> Uid;
  std::optional<gid_t> Gid;
  // The permission bits taken from every mode shown.
  mode_t Umask = 0;
  // Every request logged to standard error (libfuse's debug).
  bool Debug = false;
};
void DokanFuseSetMountOptions(const TDokanFuseMountOptions& options);

// Whether mounts of write-protected volumes made from now on let the kernel do without
// open and release requests for files: a file then costs one request to read, and none
// once its pages are cached, and each read opens and closes a handle of its own. Only for
// volumes whose read-only open succeeds for every file that a lookup finds, since a
// refused open would then show at the read. Off until set; the Linux command line sets it.
void DokanFuseSetOpenPerRead(bool perRead);

// True when a mount sits on Path (absolute, as /proc/self/mountinfo lists it). Only the
// table is read: the folder itself is never touched, so a stalled mount on it cannot
// block the caller.
bool DokanFuseIsMountedAt(const std::string& path);

// The file-system type of our mounts in /proc/self/mountinfo ("fuse." + subtype).
inline constexpr char kDokanFuseMountType[] = "fuse.vornmount";

// The file-system type of the mount on top of Path (absolute, as /proc/self/mountinfo
// lists it), such as "tmpfs" or kDokanFuseMountType; empty when nothing is mounted there.
// Reads only the table, as DokanFuseIsMountedAt does.
std::string DokanFuseMountTypeAt(const std::string& path);

// The errno a FUSE callback answers (negated) for an NTSTATUS; 0 for any success status.
// STATUS_CANCELLED gives ECANCELED rather than EINTR, so that a reader does not retry a
// request the volume gave up on; unknown failures give EIO.
int ErrnoFromNtStatus(NTSTATUS status);

// Fills St from a handle's file information: size, times, the file index as inode, the
// given owner, and the mode. An attribute word with FILE_ATTRIBUTE_UNIX_EXTENSION
// (0x8000) carries a unix mode in its high 16 bits: its permission bits are shown without
// write, setuid, setgid and sticky bits, and a file whose mode is a symbolic link is
// S_IFLNK. Without a mode folders are S_IFDIR|0555 and files S_IFREG|0444. The bits of
// Umask are taken from the permissions last.
void StatFromFileInformation(const BY_HANDLE_FILE_INFORMATION& info,
                             uid_t uid,
                             gid_t gid,
                             struct stat& st,
                             mode_t umask = 0);

// Fills St from a listing entry as StatFromFileInformation does; a listing carries no
// file index, so the inode is left unknown (0xFFFFFFFF, as libfuse marks it).
void StatFromFindData(const WIN32_FIND_DATAW& data,
                      uid_t uid,
                      gid_t gid,
                      struct stat& st,
                      mode_t umask = 0);

// The Windows file name of a FUSE path: "/" gives "\" and "/a/b" gives "\a\b", and a
// '\' within a name is U+F05C, the character Windows programs write for it. Nothing when
// the path cannot name an item: bytes that are not UTF-8, or U+F05C itself (which a
// listing shows as '\').
std::optional<UString> WindowsPathFromFuse(std::string_view path);

// The UTF-8 name under which a listing entry is shown, with U+F05C as '\'; empty when
// the entry must be skipped: an empty name, "." or ".." (the bridge adds its own), or a
// name holding '/'.
std::string FuseNameFromFindData(const WIN32_FIND_DATAW& data);
