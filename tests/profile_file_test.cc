#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <tuple>

#include "platform/protocol/record.h"
#include "posix_write.h"
#include "same_failure_cases.h"
#include "set_entry.h"
#include "test_support.h"

namespace {

using namespace testing_support;
using ::testing::ElementsAre;

const profile::Entry kDriver{"Hardware", "MKAVRO.DLL", "KAVRO DAQ Cards Driver"};
const std::string kRegistered = "[Hardware]\r\nMKAVRO.DLL=KAVRO DAQ Cards Driver\r\n";

class ProfileFileTest : public ::testing::Test {
 protected:
  fs::path dir() const { return temp_.path(); }
  fs::path ini() const { return temp_.path() / "DASYLab.ini"; }
  bool Write(const fs::path& path) {
    const profile::WriteResult result = WriteProfileEntry(path.string(), kDriver);
    return result == profile::WriteResult::kWritten || result == profile::WriteResult::kAlreadySet;
  }

  TempDir temp_;
};

TEST_F(ProfileFileTest, CreatesMissingFileWithOnlyTheEntry) {
  ASSERT_TRUE(Write(ini()));
  EXPECT_EQ(ReadFile(ini()), kRegistered);
  const mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(StatOf(ini()).st_mode & 07777, 0666 & ~mask);
  EXPECT_THAT(ListTree(dir()), ElementsAre("DASYLab.ini"));
}

TEST_F(ProfileFileTest, ReplacesFileKeepingPermissionsAndOwner) {
  WriteFile(ini(), "[Hardware]\nA=1\n");
  ASSERT_EQ(chmod(ini().c_str(), 0640), 0);
  const bool as_root = geteuid() == 0;
  if (as_root) {
    ASSERT_EQ(chown(ini().c_str(), 4321, 8765), 0);
  }
  const ino_t before = StatOf(ini()).st_ino;

  ASSERT_TRUE(Write(ini()));
  EXPECT_EQ(ReadFile(ini()), "[Hardware]\nA=1\nMKAVRO.DLL=KAVRO DAQ Cards Driver\n");
  const struct stat after = StatOf(ini());
  EXPECT_NE(after.st_ino, before) << "the file must be replaced, not rewritten in place";
  EXPECT_EQ(after.st_mode & 07777, 0640u);
  if (as_root) {
    EXPECT_EQ(after.st_uid, 4321u);
    EXPECT_EQ(after.st_gid, 8765u);
  }
  EXPECT_THAT(ListTree(dir()), ElementsAre("DASYLab.ini"));
}

// A POSIX access control list as Linux stores it in an extended attribute.
std::string AccessControlList(
    std::initializer_list<std::tuple<uint16_t, uint16_t, uint32_t>> entries) {
  std::string acl;
  const auto append = [&acl](auto number) {
    acl.append(reinterpret_cast<const char*>(&number), sizeof number);
  };
  append(uint32_t{2});  // the format's version
  for (const auto& [tag, permissions, id] : entries) {
    append(tag);
    append(permissions);
    append(id);
  }
  return acl;
}

std::string ExtendedAttribute(const fs::path& path, const char* name) {
  std::string value(4096, '\0');
  const ssize_t length = getxattr(path.c_str(), name, value.data(), value.size());
  value.resize(static_cast<size_t>(std::max<ssize_t>(length, 0)));
  return length < 0 ? "(none)" : value;
}

// Wine's DOS attributes (hidden, system), other user attributes and the
// access control list go with the content: nothing of the file changes but
// the entry. A directory's default ACL, which the temporary file inherits,
// is not added to a file that had none.
TEST_F(ProfileFileTest, KeepsExtendedAttributesAndTheAccessControlList) {
  constexpr uint16_t kUserObj = 0x01, kUser = 0x02, kGroupObj = 0x04, kMask = 0x10, kOther = 0x20;
  const std::string acl = AccessControlList({{kUserObj, 6, ~0u},
                                             {kUser, 4, 4242},
                                             {kGroupObj, 4, ~0u},
                                             {kMask, 4, ~0u},
                                             {kOther, 0, ~0u}});
  WriteFile(ini(), "[Hardware]\nA=1\n");
  if (setxattr(ini().c_str(), "user.DOSATTRIB", "0x6", 3, 0) != 0) {
    GTEST_SKIP() << "this file system keeps no user attributes";
  }
  ASSERT_EQ(setxattr(ini().c_str(), "user.kavro.note", "kept", 4, 0), 0);
  ASSERT_EQ(setxattr(ini().c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0), 0);
  const mode_t mode = StatOf(ini()).st_mode & 07777;

  ASSERT_TRUE(Write(ini()));
  EXPECT_EQ(ReadFile(ini()), "[Hardware]\nA=1\nMKAVRO.DLL=KAVRO DAQ Cards Driver\n");
  EXPECT_EQ(ExtendedAttribute(ini(), "user.DOSATTRIB"), "0x6");
  EXPECT_EQ(ExtendedAttribute(ini(), "user.kavro.note"), "kept");
  EXPECT_EQ(ExtendedAttribute(ini(), "system.posix_acl_access"), acl);
  EXPECT_EQ(StatOf(ini()).st_mode & 07777, mode);

  // The directory gets a default ACL; the file, rewritten, gets none.
  ASSERT_EQ(removexattr(ini().c_str(), "system.posix_acl_access"), 0);
  ASSERT_EQ(setxattr(dir().c_str(), "system.posix_acl_default", acl.data(), acl.size(), 0), 0);
  WriteFile(ini(), "[Hardware]\nA=2\n");
  ASSERT_TRUE(Write(ini()));
  EXPECT_EQ(ExtendedAttribute(ini(), "system.posix_acl_access"), "(none)");
  EXPECT_THAT(ListTree(dir()), ElementsAre("DASYLab.ini"));
}

// Where a new file in its place would not be the same file (other names of
// it, a file mounted in place), the file is written in place: every name
// sees the entry, and nothing is left beside it.
TEST_F(ProfileFileTest, WritesInPlaceWhereANewFileWouldNotBeTheSameFile) {
  WriteFile(ini(), "[Hardware]\nA=1\n[Other]\nB=2\n");
  const fs::path other_name = dir() / "linked.ini";
  fs::create_hard_link(ini(), other_name);
  const ino_t inode = StatOf(ini()).st_ino;
  ASSERT_TRUE(Write(ini()));
  const std::string edited = "[Hardware]\nA=1\nMKAVRO.DLL=KAVRO DAQ Cards Driver\n[Other]\nB=2\n";
  EXPECT_EQ(ReadFile(other_name), edited);
  EXPECT_EQ(StatOf(ini()).st_ino, inode);
  EXPECT_THAT(ListTree(dir()), ElementsAre("DASYLab.ini", "linked.ini"));
  fs::remove(other_name);

  // A file bind-mounted over DASYLab.ini cannot be renamed over.
  const TempDir elsewhere;
  const fs::path source = elsewhere.path() / "mounted.ini";
  WriteFile(source, "[Hardware]\r\nA=1\r\n");
  if (mount(source.c_str(), ini().c_str(), nullptr, MS_BIND, nullptr) != 0) {
    GTEST_SKIP() << "bind mounts are not permitted here";
  }
  const bool written = Write(ini());
  umount(ini().c_str());
  EXPECT_TRUE(written);
  EXPECT_EQ(ReadFile(source), "[Hardware]\r\nA=1\r\nMKAVRO.DLL=KAVRO DAQ Cards Driver\r\n");
  EXPECT_THAT(ListTree(dir()), ElementsAre("DASYLab.ini"));
}

TEST_F(ProfileFileTest, DoesNotTouchAFileThatAlreadyGivesTheValue) {
  for (const mode_t mode : {0644, 0444}) {
    WriteFile(ini(), kRegistered);
    ASSERT_EQ(chmod(ini().c_str(), mode), 0);
    const struct timespec old_time[2] = {{1000000, 0}, {1000000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, ini().c_str(), old_time, 0), 0);
    const ino_t inode = StatOf(ini()).st_ino;

    EXPECT_TRUE(Write(ini())) << "mode " << std::oct << mode;
    EXPECT_EQ(StatOf(ini()).st_ino, inode);
    EXPECT_EQ(StatOf(ini()).st_mtim.tv_sec, 1000000);
  }
}

TEST_F(ProfileFileTest, RefusesReadOnlyFileEvenForRoot) {
  WriteFile(ini(), "[Hardware]\r\nMKAVRO.DLL=old\r\n");
  ASSERT_EQ(chmod(ini().c_str(), 0444), 0);
  EXPECT_FALSE(Write(ini()));
  EXPECT_EQ(ReadFile(ini()), "[Hardware]\r\nMKAVRO.DLL=old\r\n");
  EXPECT_THAT(ListTree(dir()), ElementsAre("DASYLab.ini"));
}

TEST_F(ProfileFileTest, RefusesWhatIsNotARegularFileWithoutBlocking) {
  fs::create_directory(dir() / "directory.ini");
  ASSERT_EQ(mkfifo((dir() / "fifo.ini").c_str(), 0644), 0);
  const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string socket_path = (dir() / "socket.ini").string();
  ASSERT_LT(socket_path.size(), sizeof address.sun_path);
  socket_path.copy(address.sun_path, socket_path.size());
  ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  fs::create_symlink("/dev/null", dir() / "device.ini");

  for (const char* name : {"directory.ini", "fifo.ini", "socket.ini", "device.ini"}) {
    EXPECT_FALSE(Write(dir() / name)) << name;
  }
  close(sock);
  EXPECT_TRUE(fs::is_fifo(dir() / "fifo.ini"));
  EXPECT_TRUE(fs::is_empty(dir() / "directory.ini"));
  EXPECT_EQ(ListTree(dir()).size(), 4u);
}

TEST_F(ProfileFileTest, EditsTheTargetOfALinkAndKeepsTheLink) {
  fs::create_directory(dir() / "real");
  WriteFile(dir() / "real" / "target.ini", "[A]\n");
  fs::create_symlink("real/target.ini", ini());

  ASSERT_TRUE(Write(ini()));
  EXPECT_TRUE(fs::is_symlink(ini()));
  EXPECT_EQ(ReadFile(dir() / "real" / "target.ini"),
            "[A]\n[Hardware]\nMKAVRO.DLL=KAVRO DAQ Cards Driver\n");
  EXPECT_THAT(ListTree(dir()), ElementsAre("DASYLab.ini", "real", "real/target.ini"));
}

TEST_F(ProfileFileTest, RefusesDanglingAndLoopingLinksAndMissingDirectories) {
  fs::create_symlink("nowhere.ini", ini());
  fs::create_symlink("loop-b", dir() / "loop-a");
  fs::create_symlink("loop-a", dir() / "loop-b");
  EXPECT_FALSE(Write(ini()));
  EXPECT_FALSE(Write(dir() / "loop-a"));
  EXPECT_FALSE(Write(dir() / "missing" / "DASYLab.ini"));
  EXPECT_THAT(ListTree(dir()), ElementsAre("DASYLab.ini", "loop-a", "loop-b"));
}

// Where a Wine prefix may live: the entry is written, and what the README
// promises is kept, on every file system a user may put one on. Each is made
// and mounted by the test (as root), and skipped, saying so, where this
// machine lacks the tool or the driver.
TEST_F(ProfileFileTest, WritesOnEveryFileSystemAPrefixLivesOn) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting file systems needs root";
  const fs::path work = dir();
  const auto sh = [](const std::string& command) {
    return std::system(("(" + command + ") >/dev/null 2>&1").c_str()) == 0;
  };
  const auto image = [&](const std::string& name, const std::string& make) {
    const std::string path = (work / (name + ".img")).string();
    return sh("truncate -s 64M " + path + " && " + make + " " + path) ? path : "";
  };
  struct Row {
    std::string what;
    std::function<bool(const fs::path&)> mount;    // mounts a file system at the path
    std::function<void(const fs::path&)> prepare;  // the file, made before the run
    bool keeps_modes;
  };
  const auto plain = [](const fs::path& file) { WriteFile(file, "[Hardware]\r\nA=1\r\n"); };
  const auto overlay = [&](const fs::path& at, const fs::path& upper_on) {
    fs::create_directories(work / "lower");
    fs::create_directories(upper_on / "upper");
    fs::create_directories(upper_on / "ovwork");
    return sh("mount -t overlay overlay -o lowerdir=" + (work / "lower").string() +
              ",upperdir=" + (upper_on / "upper").string() +
              ",workdir=" + (upper_on / "ovwork").string() + " '" + at.string() + "'");
  };
  const std::vector<Row> rows = {
      {"ext4",
       [&](const fs::path& at) {
         const std::string img = image("ext4", "mkfs.ext4 -q -F");
         return !img.empty() && sh("mount -o loop " + img + " '" + at.string() + "'");
       },
       plain, true},
      {"tmpfs",
       [&](const fs::path& at) { return sh("mount -t tmpfs tmpfs '" + at.string() + "'"); }, plain,
       true},
      {"overlayfs, upper layer", [&](const fs::path& at) { return overlay(at, work); }, plain,
       true},
      {"overlayfs, copied up from below",
       [&](const fs::path& at) {
         fs::create_directories(work / "lower");
         WriteFile(work / "lower" / "DASYLab.ini", "[Hardware]\r\nA=1\r\n");
         return overlay(at, work);
       },
       [](const fs::path& file) { ASSERT_EQ(chmod(file.c_str(), 0640), 0); }, true},
      {"overlayfs, layers on different file systems",
       [&](const fs::path& at) {
         fs::create_directories(work / "upper-fs");
         return sh("mount -t tmpfs tmpfs '" + (work / "upper-fs").string() + "'") &&
                overlay(at, work / "upper-fs");
       },
       plain, true},
      {"NTFS through ntfs-3g",
       [&](const fs::path& at) {
         const std::string img = image("ntfs", "mkntfs -F -q -f");
         return !img.empty() && sh("ntfs-3g " + img + " '" + at.string() + "'");
       },
       [&](const fs::path& file) {
         plain(file);
         ASSERT_TRUE(sh("setfattr -n system.ntfs_attrib_be -v 0x00000026 '" + file.string() + "'"));
       },
       false},
      {"FAT through fusefat",
       [&](const fs::path& at) {
         const std::string img = image("fat", "mkfs.vfat");
         return !img.empty() && sh("fusefat -o rw+ " + img + " '" + at.string() + "'");
       },
       plain, false},
  };
  int tried = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    for (const char* layer : {"lower", "upper", "ovwork"}) fs::remove_all(work / layer);
    const fs::path at = work / "mnt";
    fs::create_directories(at);
    if (!row.mount(at)) {
      std::cout << "SKIPPED: " << row.what << " (no tool or driver for it here)\n";
      continue;
    }
    ++tried;
    const fs::path file = at / "DASYLab.ini";
    row.prepare(file);
    const bool user_attributes = setxattr(file.c_str(), "user.kavro", "kept", 4, 0) == 0;
    if (row.keeps_modes) {
      ASSERT_EQ(chmod(file.c_str(), 0640), 0);
    }
    const std::string windows_before = ExtendedAttribute(file, "system.ntfs_attrib_be");
    const std::string created_before = ExtendedAttribute(file, "system.ntfs_crtime_be");

    EXPECT_EQ(WriteProfileEntry(file.string(), kDriver), profile::WriteResult::kWritten);
    EXPECT_EQ(WriteProfileEntry(file.string(), kDriver), profile::WriteResult::kAlreadySet);
    EXPECT_EQ(ReadFile(file), "[Hardware]\r\nA=1\r\nMKAVRO.DLL=KAVRO DAQ Cards Driver\r\n");
    if (row.keeps_modes) {
      EXPECT_EQ(StatOf(file).st_mode & 07777, 0640u);
    }
    if (user_attributes) {
      EXPECT_EQ(ExtendedAttribute(file, "user.kavro"), "kept");
    }
    EXPECT_EQ(ExtendedAttribute(file, "system.ntfs_attrib_be"), windows_before);
    EXPECT_EQ(ExtendedAttribute(file, "system.ntfs_crtime_be"), created_before);
    EXPECT_THAT(ListTree(at), ::testing::Contains("DASYLab.ini"));
    for (const std::string& name : ListTree(at)) {
      EXPECT_EQ(name.find("kavro"), std::string::npos) << name;
    }
    // Windows' read-only attribute, which the permission bits do not show.
    if (windows_before != "(none)") {
      WriteFile(file, "[Hardware]\r\n");
      ASSERT_TRUE(sh("setfattr -n system.ntfs_attrib_be -v 0x00000021 '" + file.string() + "'"));
      EXPECT_EQ(WriteProfileEntry(file.string(), kDriver), profile::WriteResult::kReadOnly);
      EXPECT_EQ(ReadFile(file), "[Hardware]\r\n");
    }
    sh("umount '" + at.string() + "' || fusermount -u '" + at.string() + "'");
    sh("umount '" + (work / "upper-fs").string() + "'");
  }
  if (tried == 0) GTEST_SKIP() << "no file system could be mounted here";
}

// The record the released program left for a write in place: `old_content`
// made `new_content` at `first_change` and after, for the file whose inode
// is `file_id`, with a checksum of each 64 KiB block of what it replaced.
std::string ReleasedRecordOf(const std::string& old_content, const std::string& new_content,
                             size_t first_change, uint64_t file_id) {
  constexpr size_t kBlock = 1 << 16;
  std::vector<uint32_t> blocks;
  for (size_t at = first_change; at < old_content.size(); at += kBlock) {
    blocks.push_back(profile::Crc32(std::string_view(old_content).substr(at, kBlock)));
  }
  const std::string recorded = new_content.substr(first_change);
  std::string head = "KVROREDO";
  const auto put = [&head](uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) head.push_back(static_cast<char>(value >> (8 * i)));
  };
  put(60 + 4 * blocks.size() + 4, 8);
  for (const uint64_t value : {uint64_t{file_id}, uint64_t{old_content.size()},
                               uint64_t{new_content.size()}, uint64_t{first_change}}) {
    put(value, 8);
  }
  put(kBlock, 4);
  put(profile::Crc32(recorded), 4);
  put(blocks.size(), 4);
  for (const uint32_t block : blocks) put(block, 4);
  put(profile::Crc32(head), 4);
  return head + recorded;
}

// What cut-short runs leave beside the file, found by the next run, which
// holds the lock, so that nothing there belongs to a live run: a temporary
// file of this user's goes, whatever process id its name holds; a record
// of a write in place on this file is finished when the file is in a state
// that write could have left, and otherwise refuses the write, both files
// left as they are; anything planted, another user's, writable by others,
// not a regular file or of another file is never applied nor waited on.
TEST_F(ProfileFileTest, LeftoversOfCutShortRunsGetWhatTheyProve) {
  // Over several checksum blocks, growing by the entry in the middle.
  std::string old_content;
  for (int i = 0; old_content.size() < 300000; ++i) {
    if (i == 2000) old_content += "[Hardware]\r\nA=1\r\n";
    old_content += "[Module " + std::to_string(i) + "]\r\nGain=" + std::to_string(i) + "\r\n";
  }
  const profile::Plan plan = profile::PlanEntry(old_content, kDriver);
  const std::string new_content = profile::SetEntry(old_content, kDriver).content;
  const size_t first_change = plan.splices.front().begin;
  const size_t midway = first_change + 150000;
  const std::string record = ".dasylab.ini.77.kavro-redo";
  const bool as_root = geteuid() == 0;
  const auto torn_at = [&](size_t k) { return new_content.substr(0, k) + old_content.substr(k); };

  struct Case {
    std::string what;
    std::string file;                     // what the file holds when the run starts
    std::function<void(uint64_t)> leave;  // leaves the leftovers, given the file's inode
    profile::WriteResult result;
    std::string after;              // what the file holds afterwards
    std::vector<std::string> left;  // beside it afterwards
  };
  const auto own_record = [&](mode_t mode, uid_t owner) {
    return [&, mode, owner](uint64_t inode) {
      WriteFile(dir() / record, ReleasedRecordOf(old_content, new_content, first_change, inode));
      ASSERT_EQ(chmod((dir() / record).c_str(), mode), 0);
      if (owner != geteuid()) {
        ASSERT_EQ(chown((dir() / record).c_str(), owner, owner), 0);
      }
    };
  };
  std::vector<Case> cases = {
      {"temporaries of dead runs, any name",
       old_content,
       [&](uint64_t) {
         WriteFile(dir() / ".DASYLab.ini.999999999.7.kavro-tmp", "partial");
         WriteFile(dir() / ".dasylab.ini.1.kavro-tmp", "partial");
         WriteFile(dir() / ".other.ini.5.kavro-tmp", "not this file's");
       },
       profile::WriteResult::kWritten,
       new_content,
       {".other.ini.5.kavro-tmp"}},
      {"record, nothing written yet",
       old_content,
       own_record(0600, geteuid()),
       profile::WriteResult::kAlreadySet,
       new_content,
       {}},
      {"record, cut short midway",
       torn_at(midway),
       own_record(0600, geteuid()),
       profile::WriteResult::kAlreadySet,
       new_content,
       {}},
      {"record, cut short where the room was reserved",
       new_content.substr(0, new_content.size() - 20) + std::string(20, '\0'),
       own_record(0600, geteuid()),
       profile::WriteResult::kAlreadySet,
       new_content,
       {}},
      {"record, write done but not removed",
       new_content,
       own_record(0600, geteuid()),
       profile::WriteResult::kAlreadySet,
       new_content,
       {}},
      {"stale record: the file changed since",
       torn_at(midway).replace(midway + 70000, 1, "#"),
       own_record(0600, geteuid()),
       profile::WriteResult::kUnprovenRecord,
       torn_at(midway).replace(midway + 70000, 1, "#"),
       {record}},
      {"record changed since it was written",
       torn_at(midway),
       [&](uint64_t inode) {
         std::string changed = ReleasedRecordOf(old_content, new_content, first_change, inode);
         changed[changed.size() - 100] ^= 1;
         WriteFile(dir() / record, changed);
         ASSERT_EQ(chmod((dir() / record).c_str(), 0600), 0);
       },
       profile::WriteResult::kUnprovenRecord,
       torn_at(midway),
       {record}},
      // A record of this file that lost its last byte is not whole either:
      // it must refuse the write and stay, as one with a byte changed does,
      // not be taken for no record at all and removed, which keeps the torn
      // file as it is.
      {"record one byte short",
       torn_at(midway),
       [&](uint64_t inode) {
         std::string short_one = ReleasedRecordOf(old_content, new_content, first_change, inode);
         short_one.pop_back();
         WriteFile(dir() / record, short_one);
         ASSERT_EQ(chmod((dir() / record).c_str(), 0600), 0);
       },
       profile::WriteResult::kUnprovenRecord,
       torn_at(midway),
       {record}},
      {"stale record: the file cut since",
       old_content.substr(0, 200000),
       own_record(0600, geteuid()),
       profile::WriteResult::kUnprovenRecord,
       old_content.substr(0, 200000),
       {record}},
      {"record writable by others",
       old_content,
       own_record(0602, geteuid()),
       profile::WriteResult::kWritten,
       new_content,
       {record}},
      {"record of another file",
       old_content,
       [&](uint64_t inode) { own_record(0600, geteuid())(inode + 1); },
       profile::WriteResult::kWritten,
       new_content,
       {record}},
      {"FIFO in a record's place",
       old_content,
       [&](uint64_t) { ASSERT_EQ(mkfifo((dir() / record).c_str(), 0600), 0); },
       profile::WriteResult::kWritten,
       new_content,
       {record}},
  };
  if (as_root) {
    cases.push_back({"record planted by another user",
                     old_content,
                     own_record(0600, 4321),
                     profile::WriteResult::kWritten,
                     new_content,
                     {record}});
    cases.push_back({"another user's temporary file",
                     old_content,
                     [&](uint64_t) {
                       WriteFile(dir() / ".dasylab.ini.3.kavro-tmp", "theirs");
                       ASSERT_EQ(chown((dir() / ".dasylab.ini.3.kavro-tmp").c_str(), 4321, 4321),
                                 0);
                     },
                     profile::WriteResult::kWritten,
                     new_content,
                     {".dasylab.ini.3.kavro-tmp"}});
  }
  for (const Case& test : cases) {
    SCOPED_TRACE(test.what);
    fs::remove_all(dir());
    fs::create_directory(dir());
    WriteFile(ini(), test.file);
    test.leave(StatOf(ini()).st_ino);
    EXPECT_EQ(WriteProfileEntry(ini().string(), kDriver), test.result);
    EXPECT_TRUE(ReadFile(ini()) == test.after);
    std::vector<std::string> left = test.left;
    left.push_back("DASYLab.ini");
    std::sort(left.begin(), left.end());
    EXPECT_EQ(ListTree(dir()), left);
  }
}

TEST_F(ProfileFileTest, DiskFullLeavesTheOriginalAndNoTemporaryFile) {
  SmallTmpfs disk(dir() / "disk", "64k");
  if (!disk.mounted()) GTEST_SKIP() << "mounting a tmpfs is not permitted here";
  const fs::path file = dir() / "disk" / "DASYLab.ini";
  const std::string original = "[Hardware]\n" + std::string(40000, 'x') + "=1\n";
  WriteFile(file, original);

  EXPECT_EQ(WriteProfileEntry(file.string(), kDriver), profile::WriteResult::kDiskFull);
  EXPECT_EQ(ReadFile(file), original);
  EXPECT_THAT(ListTree(dir() / "disk"), ElementsAre("DASYLab.ini"));

  // The same with a second name, where the file would be written in place:
  // the record beside it does not fit, and nothing is touched.
  fs::create_hard_link(file, dir() / "disk" / "linked.ini");
  std::ofstream(dir() / "disk" / "filler") << std::string(64 << 10, 'f');
  EXPECT_EQ(WriteProfileEntry(file.string(), kDriver), profile::WriteResult::kDiskFull);
  EXPECT_EQ(ReadFile(file), original);
  EXPECT_THAT(ListTree(dir() / "disk"), ElementsAre("DASYLab.ini", "filler", "linked.ini"));
}

// From here on, in this process, copy_file_range fails with `error`, as in
// a sandbox that forbids it or on a kernel without it.
bool ForbidKernelCopy(int error) {
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_copy_file_range, 0, 1),
      BPF_STMT(BPF_RET | BPF_K,
               SECCOMP_RET_ERRNO | (static_cast<uint32_t>(error) & SECCOMP_RET_DATA)),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  const sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

// Where the kernel will not copy, the kept bytes go through a buffer: the
// same file comes out, replaced or written in place.
TEST_F(ProfileFileTest, WritesTheSameFileWhereTheKernelCannotCopy) {
  std::string original;
  for (int i = 0; original.size() < 300000; ++i) {
    if (i == 3000) original += "[Hardware]\r\nA=1\r\n";
    original += "[Module " + std::to_string(i) + "]\r\nGain=" + std::to_string(i) + "\r\n";
  }
  const std::string expected = profile::SetEntry(original, kDriver).content;
  for (const int error : {ENOSYS, EPERM}) {
    SCOPED_TRACE(error);
    const fs::path replaced = dir() / "replaced.ini";
    const fs::path in_place = dir() / "in-place.ini";
    WriteFile(replaced, original);
    WriteFile(in_place, original);
    fs::create_hard_link(in_place, dir() / "second-name.ini");
    const pid_t child = fork();
    if (child == 0) {
      const bool written = ForbidKernelCopy(error) && Write(replaced) && Write(in_place);
      _exit(written ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(ReadFile(replaced), expected);
    EXPECT_EQ(ReadFile(dir() / "second-name.ini"), expected);
    EXPECT_THAT(ListTree(dir()), ElementsAre("in-place.ini", "replaced.ini", "second-name.ini"));
    fs::remove(dir() / "second-name.ini");
  }
}

// The same failure reads the same on every OS: errno here, the Windows
// error codes in the probe under Wine, from the same table.
TEST(CauseTest, TheSameFailureReadsTheSameOnEveryOS) {
  static_assert(EACCES == 13 && EPERM == 1 && EROFS == 30 && ENOSPC == 28 && EDQUOT == 122 &&
                EFBIG == 27 && ETXTBSY == 26 && EBUSY == 16 && EISDIR == 21 && EEXIST == 17 &&
                ENOENT == 2 && ENOTDIR == 20 && EIO == 5);
  for (const same_failure::Case& failure : same_failure::kCases) {
    SCOPED_TRACE(failure.what);
    profile::Failure made = profile::posix::FailureOf("rename", same_failure::kFrom,
                                                      failure.linux_errno, same_failure::kTo);
    EXPECT_EQ(made.reason, std::strerror(failure.linux_errno));
    made.reason = "REASON";
    EXPECT_EQ(profile::CauseOf(profile::Refusal(made), same_failure::kDirectory, "DASYLab.ini"),
              std::string(same_failure::kWhatFailed) + failure.next_step);
  }
}

}  // namespace
