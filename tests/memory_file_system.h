// A file system in memory that can lose power, for running the write
// protocol through every crash point and the states a power cut can leave.
//
// The persistence model, pessimistic within what ext4, NTFS and their kin
// do (docs/write-protocol.md):
//  - data written to a file since its last flush may be on the disk in any
//    subset of its 512-byte sectors: the new bytes, the old ones, or zeros
//    where the file grew;
//  - the file's size may be as last flushed or as last set, whatever the
//    data did;
//  - directory changes since the directory's last flush may be lost from
//    some point on, in order.
// Every call that changes the disk is a step; a run can be stopped on the
// Nth, after which the disk is frozen and every call fails.
#ifndef KAVRO_TESTS_MEMORY_FILE_SYSTEM_H_
#define KAVRO_TESTS_MEMORY_FILE_SYSTEM_H_

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "platform/protocol/file_system.h"

namespace memory {

using profile::Result;

inline constexpr uint64_t kSectorSize = 512;

// How the OS under the protocol answers what only it knows.
struct Personality {
  const char* name;
  bool replaces;                   // a file with one name may be replaced
  bool carries_over;               // what describes the file goes to a new one
  bool removing_may_follow_links;  // a Windows program under Wine
};
inline constexpr Personality kNative{"native", true, true, false};
// On Windows a new file cannot take an owner other than this account: the
// replace is tried, then the file written in place.
inline constexpr Personality kWindowsOtherOwner{"Windows, another owner", true, false, false};
inline constexpr Personality kWindowsUnderWine{"Windows under Wine", false, true, true};

struct Inode {
  std::string durable;  // as of its last flush
  std::string current;  // as the programs see it
  std::set<uint64_t> dirty_sectors;
  bool ours = true;      // this user's
  bool private_ = true;  // nobody else may write it
  bool regular = true;
  bool read_only = false;
};

// A change of a name, kept until the directory is flushed.
struct NameChange {
  enum Kind { kLink, kRename, kRemove } kind;
  std::string name;
  std::string other;  // a rename's new name
  int inode = 0;
};

// The disk: the directory's names and the files, as the programs see them
// and as they are on the disk.
struct Disk {
  std::map<int, Inode> inodes;
  std::map<std::string, int> names;          // as the programs see them
  std::map<std::string, int> durable_names;  // as of the directory's last flush
  std::vector<NameChange> changes;           // since then
  int next_inode = 1;
  uint64_t nonce = 0;  // the last a run took

  // A disk holding `files` (name, content) and nothing unflushed; names
  // given the same content by `same_file` are names of one file.
  static Disk With(const std::map<std::string, std::string>& files,
                   const std::vector<std::string>& same_file = {});
  // The content under `name`, or nothing.
  std::optional<std::string> Content(const std::string& name) const;
};

// The disk as a kill leaves it: all that was written is there.
Disk KillState(const Disk& disk);
// Each state a power cut at this moment could leave, flushed through, to
// `visit`: for every number of the name changes kept, every sector choice
// of each file as far as `limit` allows, beyond it a seeded sample. The
// first is the kill state. Returns how many.
int VisitPowerCutStates(const Disk& disk, size_t limit, std::mt19937& random,
                        const std::function<void(Disk&)>& visit);

// The protocol's file system over `disk`, stopped on its step `stop_at`
// (1 for the first; 0 for never).
class MemoryDirectory final : public profile::Directory {
 public:
  MemoryDirectory(Disk& disk, Personality personality, int stop_at = 0)
      : disk_(disk), personality_(personality), stop_at_(stop_at) {}

  int steps() const { return steps_; }
  bool stopped() const { return stopped_; }
  // Virtual time: pauses pass at once, after what another run does then.
  uint64_t Milliseconds() override { return now_; }
  void Pause(uint32_t milliseconds) override {
    now_ += milliseconds;
    if (during_pause) during_pause();
  }
  std::function<void()> during_pause;
  // Whether the byte `offset` of `inode` is locked by an open file.
  std::map<std::pair<int, uint64_t>, const void*>& locks() { return locks_; }

  Result<std::unique_ptr<profile::File>> OpenTarget(const std::string& name,
                                                    profile::Access access) override;
  Result<std::unique_ptr<profile::File>> OpenLeftover(const std::string& name) override;
  Result<std::unique_ptr<profile::File>> OpenLockFile(const std::string& name,
                                                      bool& created) override;
  Result<std::unique_ptr<profile::File>> CreateNew(const std::string& name,
                                                   profile::NewFile kind) override;
  Result<profile::FileFacts> Look(const std::string& name) override;
  Result<std::vector<std::string>> List() override;
  profile::Status Rename(const std::string& from, const std::string& to,
                         profile::Overwrite how) override;
  profile::Status Remove(const std::string& name) override;
  profile::Status Sync() override;
  profile::Status Copy(profile::File& from, uint64_t from_offset, profile::File& to,
                       uint64_t to_offset, uint64_t length) override;
  bool ReplaceKeepsFile(const std::string& name, profile::File& file) override;
  profile::Status CarryOver(profile::File& original, profile::File& replacement) override;
  bool IsOwnLeftover(profile::File& leftover) override;
  bool MayTrustRecord(profile::File& record, profile::File& target) override;
  bool RemovingMayFollowLinks() override { return personality_.removing_may_follow_links; }
  void RemoveIfInterrupted(profile::Watched, std::optional<std::string>) override {}
  void HoldInterruptions(bool) override {}
  uint64_t Nonce() override { return ++disk_.nonce; }

  // For the files: false, and frozen from then on, once the run is stopped.
  bool Step();
  bool alive() const { return !stopped_; }
  Disk& disk() { return disk_; }

 private:
  Result<std::unique_ptr<profile::File>> Open(const std::string& name, int inode);
  void Change(NameChange change);

  Disk& disk_;
  Personality personality_;
  int stop_at_;
  int steps_ = 0;
  bool stopped_ = false;
  uint64_t now_ = 0;
  std::map<std::pair<int, uint64_t>, const void*> locks_;
};

}  // namespace memory

#endif  // KAVRO_TESTS_MEMORY_FILE_SYSTEM_H_
