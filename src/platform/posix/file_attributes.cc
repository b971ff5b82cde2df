// What describes a file on POSIX beyond its content: extended attributes
// (Wine's DOS attributes, the ACL), NTFS's Windows attributes, whether a
// new file could take its place, and whom a record or a path is trusted by.
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <vector>

#include "platform/posix/posix_file_system.h"

namespace profile::posix {
namespace {

// The mount `name` in `directory` lies on ("" for the directory itself), as
// far as the kernel tells.
std::optional<std::pair<uint64_t, dev_t>> MountOf(int directory, const char* name) {
  struct statx st;
  const int flags = *name == '\0' ? AT_EMPTY_PATH : AT_SYMLINK_NOFOLLOW;
  if (statx(directory, name, flags, STATX_MNT_ID, &st) != 0) return std::nullopt;
  const uint64_t mount_id = (st.stx_mask & STATX_MNT_ID) ? st.stx_mnt_id : 0;
  return std::pair(mount_id, makedev(st.stx_dev_major, st.stx_dev_minor));
}

// Whether this process may give a file it owns to `group`: root, or a
// member of it.
bool MayGiveTo(gid_t group) {
  if (geteuid() == 0 || getegid() == group) return true;
  std::vector<gid_t> groups(static_cast<size_t>(std::max(getgroups(0, nullptr), 0)));
  groups.resize(
      static_cast<size_t>(std::max(getgroups(static_cast<int>(groups.size()), groups.data()), 0)));
  return std::find(groups.begin(), groups.end(), group) != groups.end();
}

// Attributes a file system keeps for itself (overlayfs's own), which a
// file copied up or written anew gets from it and no program may carry.
bool IsOthersBusiness(const std::string& name) { return name.starts_with("trusted.overlay."); }

// Whether `group` is the primary group of `user`: with a group of its own
// per user, as Debian gives, that group is the user alone.
bool IsPrimaryGroupOf(uid_t user, gid_t group) {
  struct passwd entry;
  struct passwd* found = nullptr;
  char buffer[4096];
  return getpwuid_r(user, &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr &&
         found->pw_gid == group;
}

}  // namespace

std::optional<ExtendedAttributes> ReadExtendedAttributes(int fd) {
  // The names are read again where their size changed between the calls
  // (overlayfs counts attributes of its own that it then does not list).
  std::string names;
  for (int attempt = 0;; ++attempt) {
    const ssize_t size = flistxattr(fd, nullptr, 0);
    if (size < 0) return errno == ENOTSUP ? std::optional(ExtendedAttributes{}) : std::nullopt;
    names.assign(static_cast<size_t>(size), '\0');
    const ssize_t listed = flistxattr(fd, names.data(), names.size());
    if (listed >= 0) {
      names.resize(static_cast<size_t>(listed));
      break;
    }
    if (errno != ERANGE || attempt == 3) return std::nullopt;
  }
  ExtendedAttributes attributes;
  for (size_t begin = 0; begin < names.size(); begin = names.find('\0', begin) + 1) {
    const std::string name = names.c_str() + begin;
    if (IsOthersBusiness(name)) continue;
    const ssize_t length = fgetxattr(fd, name.c_str(), nullptr, 0);
    std::string value(static_cast<size_t>(std::max<ssize_t>(length, 0)), '\0');
    if (length < 0 || fgetxattr(fd, name.c_str(), value.data(), value.size()) != length) {
      // One this process may not read (a trusted one, as another user) is
      // not its to carry.
      if (IsOneOf(errno, EPERM, EACCES, ENODATA)) continue;
      return std::nullopt;
    }
    attributes.emplace(name, std::move(value));
  }
  return attributes;
}

// A security label this process may not set is left to the system's
// default, and one it may not read or set as another user is the owner's
// business; any other attribute that cannot be carried over refuses the
// write.
bool CarryExtendedAttributes(int fd, const ExtendedAttributes& wanted) {
  const std::optional<ExtendedAttributes> created = ReadExtendedAttributes(fd);
  if (!created) return false;
  const auto may_fail = [](const std::string& name) {
    return name.starts_with("security.") || (name.starts_with("trusted.") && errno == EPERM);
  };
  for (const auto& [name, value] : *created) {
    if (!wanted.contains(name) && fremovexattr(fd, name.c_str()) != 0 && !may_fail(name)) {
      return false;
    }
  }
  for (const auto& [name, value] : wanted) {
    if (fsetxattr(fd, name.c_str(), value.data(), value.size(), 0) != 0 && !may_fail(name)) {
      return false;
    }
  }
  return true;
}

bool MayPass(const struct stat& st, uid_t directory_owner) {
  if (geteuid() != 0) return true;
  if (S_ISLNK(st.st_mode)) return st.st_uid == 0 || st.st_uid == directory_owner;
  if (!S_ISDIR(st.st_mode)) return true;
  const bool sticky = (st.st_mode & S_ISVTX) != 0;
  return st.st_uid == 0 && (sticky || (st.st_mode & S_IWOTH) == 0) &&
         (sticky || st.st_gid == 0 || (st.st_mode & S_IWGRP) == 0);
}

bool KeepsNoPermissions(int fd) {
  // FUSE (ntfs-3g), NTFS, the kernel's ntfs3, FAT, exFAT.
  constexpr unsigned long kTypes[] = {0x65735546, 0x5346544e, 0x7366746e, 0x4d44, 0x2011bab0};
  struct statfs fs;
  return fstatfs(fd, &fs) == 0 &&
         std::ranges::find(kTypes, static_cast<unsigned long>(fs.f_type)) != std::end(kTypes);
}

bool ReplacingWouldChangeIt(const struct stat& st, int directory, const std::string& file_name) {
  const auto file_mount = MountOf(directory, file_name.c_str());
  const bool mounted_in_place = !file_mount || file_mount != MountOf(directory, "");
  const bool owner_kept = geteuid() == 0 || (st.st_uid == geteuid() && MayGiveTo(st.st_gid));
  return !owner_kept || st.st_nlink > 1 || mounted_in_place;
}

std::optional<uint32_t> WindowsAttributesOf(int fd) {
  // Only NTFS (through FUSE, as ntfs-3g is, or the kernel's ntfs3) has them.
  struct statfs fs;
  if (fstatfs(fd, &fs) == 0 && fs.f_type != 0x65735546 && fs.f_type != 0x7366746e) {
    return std::nullopt;
  }
  unsigned char value[4];
  // ntfs-3g gives them big-endian under one name and in the machine's order
  // under another; the kernel's ntfs3 driver under a third.
  if (fgetxattr(fd, "system.ntfs_attrib_be", value, sizeof value) == sizeof value) {
    return uint32_t{value[0]} << 24 | uint32_t{value[1]} << 16 | uint32_t{value[2]} << 8 |
           uint32_t{value[3]};
  }
  for (const char* name : {"system.ntfs_attrib", "system.dos_attrib"}) {
    uint32_t attributes = 0;
    if (fgetxattr(fd, name, &attributes, sizeof attributes) == sizeof attributes) {
      return attributes;
    }
  }
  return std::nullopt;
}

// The Windows program under Wine makes its files with the umask's
// permissions, group-writable under the common umask 002; on a file system
// without Unix permissions (NTFS or FAT through FUSE) every file shows the
// mount's.
bool IsTrustedRecord(const struct stat& record, const struct stat& file) {
  const bool others_may_write = (record.st_mode & 002) != 0;
  const bool group_may_write =
      (record.st_mode & 020) != 0 && !IsPrimaryGroupOf(record.st_uid, record.st_gid);
  return (!others_may_write || (file.st_mode & 002) != 0) &&
         (!group_may_write || ((file.st_mode & 020) != 0 && file.st_gid == record.st_gid) ||
          (file.st_mode & 002) != 0);
}

}  // namespace profile::posix
