#include "memory_file_system.h"

#include <algorithm>

namespace memory {
namespace {

using profile::ErrorKind;
using profile::Failure;
using profile::FileFacts;
using profile::Status;

Failure Off(const std::string& call, const std::string& name) {
  return {ErrorKind::kIo, call, name, "", "the power is off"};
}

Failure Missing(const std::string& call, const std::string& name) {
  return {ErrorKind::kMissing, call, name, "", "no such file"};
}

// Marks the sectors holding the bytes [begin, end) as written since the
// file's last flush.
void Touch(Inode& inode, uint64_t begin, uint64_t end) {
  for (uint64_t sector = begin / kSectorSize; sector * kSectorSize < end; ++sector) {
    inode.dirty_sectors.insert(sector);
  }
}

void Resize(Inode& inode, uint64_t size) {
  const uint64_t old_size = inode.current.size();
  Touch(inode, std::min(old_size, size), std::max(old_size, size));
  inode.current.resize(size, '\0');
}

class MemoryFile final : public profile::File {
 public:
  MemoryFile(MemoryDirectory& directory, int inode, std::string name)
      : directory_(directory), inode_(inode), name_(std::move(name)) {}
  ~MemoryFile() override { Unlock(); }

  Result<FileFacts> Facts() override {
    if (!directory_.alive()) return Off("look at", name_);
    const Inode& inode = this->inode();
    FileFacts facts;
    facts.type = inode.regular ? profile::FileType::kRegular : profile::FileType::kOther;
    facts.id = {1, static_cast<uint64_t>(inode_)};
    facts.size = inode.current.size();
    facts.links = static_cast<uint32_t>(
        std::count_if(directory_.disk().names.begin(), directory_.disk().names.end(),
                      [this](const auto& name) { return name.second == inode_; }));
    facts.read_only = inode.read_only;
    return facts;
  }

  Status ReadAt(uint64_t offset, std::span<char> buffer, size_t& got) override {
    got = 0;
    if (!directory_.alive()) return Off("read", name_);
    const std::string& content = inode().current;
    if (offset >= content.size()) return {};
    got = static_cast<size_t>(std::min<uint64_t>(buffer.size(), content.size() - offset));
    std::copy_n(content.data() + offset, got, buffer.data());
    return {};
  }

  Status WriteAt(uint64_t offset, std::string_view data) override {
    if (!directory_.Step()) return Off("write", name_);
    Put(offset, data);
    return {};
  }

  Status SetSize(uint64_t size) override {
    if (!directory_.Step()) return Off("resize", name_);
    Resize(inode(), size);
    return {};
  }

  Status Reserve(uint64_t size) override {
    if (size <= inode().current.size()) return {};
    return SetSize(size);
  }

  Status Flush() override {
    if (!directory_.Step()) return Off("flush", name_);
    inode().durable = inode().current;
    inode().dirty_sectors.clear();
    return {};
  }

  Result<bool> TryLock(uint64_t offset) override {
    if (!directory_.alive()) return Off("lock", name_);
    auto [held, taken] = directory_.locks().emplace(std::pair(inode_, offset), this);
    return taken || held->second == this;
  }

  Status Close() override {
    Unlock();
    return {};
  }

  void Put(uint64_t offset, std::string_view data) {
    Inode& inode = this->inode();
    if (inode.current.size() < offset + data.size()) Resize(inode, offset + data.size());
    Touch(inode, offset, offset + data.size());
    std::copy(data.begin(), data.end(), inode.current.begin() + static_cast<ptrdiff_t>(offset));
  }

  Inode& inode() { return directory_.disk().inodes.at(inode_); }
  const std::string& content() { return inode().current; }
  int number() const { return inode_; }

 private:
  void Unlock() {
    std::erase_if(directory_.locks(), [this](const auto& lock) { return lock.second == this; });
  }

  MemoryDirectory& directory_;
  int inode_;
  std::string name_;
};

MemoryFile& Of(profile::File& file) { return static_cast<MemoryFile&>(file); }

void Apply(std::map<std::string, int>& names, const NameChange& change) {
  switch (change.kind) {
    case NameChange::kLink:
      names[change.name] = change.inode;
      break;
    case NameChange::kRename:
      names[change.other] = names.at(change.name);
      names.erase(change.name);
      break;
    case NameChange::kRemove:
      names.erase(change.name);
      break;
  }
}

// What a file may hold after a power cut: for each choice of its unflushed
// sectors that landed, each size it may have.
std::vector<std::string> Variants(const Inode& inode, std::mt19937& random) {
  if (inode.dirty_sectors.empty() && inode.durable.size() == inode.current.size()) {
    return {inode.current};
  }
  const std::vector<uint64_t> dirty(inode.dirty_sectors.begin(), inode.dirty_sectors.end());
  const size_t count = dirty.size();
  // Which of the unflushed sectors landed, as a mask over `dirty`.
  std::vector<std::vector<bool>> landings;
  if (count <= 10) {
    for (uint32_t mask = 0; mask < (1u << count); ++mask) {
      std::vector<bool> landed(count);
      for (size_t i = 0; i < count; ++i) landed[i] = (mask >> i) & 1;
      landings.push_back(landed);
    }
  } else {
    // None and all; each alone and each missing; every prefix and suffix
    // (a later sector landed but an earlier one did not); and a sample.
    landings.push_back(std::vector<bool>(count, false));
    landings.push_back(std::vector<bool>(count, true));
    for (size_t i = 0; i < count; ++i) {
      std::vector<bool> alone(count, false), missing(count, true), prefix(count, false),
          suffix(count, false);
      alone[i] = true;
      missing[i] = false;
      std::fill(prefix.begin(), prefix.begin() + static_cast<ptrdiff_t>(i), true);
      std::fill(suffix.begin() + static_cast<ptrdiff_t>(i), suffix.end(), true);
      for (auto& landing : {alone, missing, prefix, suffix}) landings.push_back(landing);
    }
    for (int i = 0; i < 32; ++i) {
      std::vector<bool> landed(count);
      for (size_t j = 0; j < count; ++j) landed[j] = random() % 2 == 1;
      landings.push_back(landed);
    }
  }
  std::set<std::string> variants;
  const size_t longest = std::max(inode.durable.size(), inode.current.size());
  for (const std::vector<bool>& landed : landings) {
    std::string bytes = inode.durable;
    bytes.resize(longest, '\0');
    for (size_t i = 0; i < count; ++i) {
      if (!landed[i]) continue;
      const size_t begin = static_cast<size_t>(dirty[i] * kSectorSize);
      for (size_t at = begin; at < std::min(longest, begin + kSectorSize); ++at) {
        bytes[at] = at < inode.current.size() ? inode.current[at] : '\0';
      }
    }
    for (const size_t size : {inode.durable.size(), inode.current.size()}) {
      std::string sized = bytes;
      sized.resize(size, '\0');
      variants.insert(sized);
    }
  }
  return {variants.begin(), variants.end()};
}

}  // namespace

Disk Disk::With(const std::map<std::string, std::string>& files,
                const std::vector<std::string>& same_file) {
  Disk disk;
  int shared = 0;
  for (const auto& [name, content] : files) {
    const bool one_of_them = std::count(same_file.begin(), same_file.end(), name) > 0;
    int number = one_of_them && shared != 0 ? shared : disk.next_inode++;
    if (one_of_them) shared = number;
    disk.inodes[number].durable = disk.inodes[number].current = content;
    disk.names[name] = disk.durable_names[name] = number;
  }
  return disk;
}

std::optional<std::string> Disk::Content(const std::string& name) const {
  const auto found = names.find(name);
  if (found == names.end()) return std::nullopt;
  return inodes.at(found->second).current;
}

Disk KillState(const Disk& disk) {
  Disk killed = disk;
  for (auto& [number, inode] : killed.inodes) {
    inode.durable = inode.current;
    inode.dirty_sectors.clear();
  }
  killed.durable_names = killed.names;
  killed.changes.clear();
  return killed;
}

int VisitPowerCutStates(const Disk& disk, size_t limit, std::mt19937& random,
                        const std::function<void(Disk&)>& visit) {
  Disk killed = KillState(disk);
  const Disk flushed = killed;
  visit(killed);
  int visited = 1;
  for (size_t kept = 0; kept <= disk.changes.size(); ++kept) {
    std::map<std::string, int> names = disk.durable_names;
    for (size_t i = 0; i < kept; ++i) Apply(names, disk.changes[i]);
    std::set<int> reachable;
    for (const auto& [name, number] : names) reachable.insert(number);
    std::vector<std::pair<int, std::vector<std::string>>> choices;
    size_t product = 1;
    for (const int number : reachable) {
      choices.emplace_back(number, Variants(disk.inodes.at(number), random));
      product *= choices.back().second.size();
    }
    const size_t count = std::min(product, limit);
    for (size_t state = 0; state < count; ++state, ++visited) {
      // Every combination while they fit the limit, a sample beyond it.
      size_t pick = product <= limit ? state : random() % product;
      Disk cut = flushed;
      cut.names = cut.durable_names = names;
      for (const auto& [number, variants] : choices) {
        Inode& inode = cut.inodes.at(number);
        inode.current = inode.durable = variants[pick % variants.size()];
        pick /= variants.size();
      }
      visit(cut);
    }
  }
  return visited;
}

bool MemoryDirectory::Step() {
  if (stopped_) return false;
  if (++steps_ == stop_at_) stopped_ = true;
  return !stopped_;
}

void MemoryDirectory::Change(NameChange change) {
  Apply(disk_.names, change);
  disk_.changes.push_back(std::move(change));
}

Result<std::unique_ptr<profile::File>> MemoryDirectory::Open(const std::string& name, int inode) {
  return std::unique_ptr<profile::File>(std::make_unique<MemoryFile>(*this, inode, name));
}

Result<std::unique_ptr<profile::File>> MemoryDirectory::OpenTarget(const std::string& name,
                                                                   profile::Access access) {
  if (!alive()) return Off("open", name);
  const auto found = disk_.names.find(name);
  if (found == disk_.names.end()) return Missing("open", name);
  const Inode& inode = disk_.inodes.at(found->second);
  if (!inode.regular) return Failure{ErrorKind::kNotAFile, "open", name, "", "not a file"};
  if (access == profile::Access::kReadWrite && inode.read_only) {
    return Failure{ErrorKind::kAccessDenied, "open for writing", name, "", "read-only"};
  }
  return Open(name, found->second);
}

Result<std::unique_ptr<profile::File>> MemoryDirectory::OpenLeftover(const std::string& name) {
  Result<profile::FileFacts> facts = Look(name);
  if (!facts.ok()) return facts.status();
  if (facts->type != profile::FileType::kRegular || facts->links != 1) {
    return Failure{ErrorKind::kNotAFile, "open", name, "", "not a file of ours"};
  }
  return Open(name, disk_.names.at(name));
}

Result<std::unique_ptr<profile::File>> MemoryDirectory::OpenLockFile(const std::string& name,
                                                                     bool& created) {
  if (!alive()) return Off("open", name);
  created = !disk_.names.contains(name);
  if (created) {
    if (!Step()) return Off("create", name);
    disk_.inodes[disk_.next_inode];
    Change({NameChange::kLink, name, "", disk_.next_inode++});
  }
  return Open(name, disk_.names.at(name));
}

Result<std::unique_ptr<profile::File>> MemoryDirectory::CreateNew(const std::string& name,
                                                                  profile::NewFile kind) {
  if (!alive()) return Off("create", name);
  if (disk_.names.contains(name)) {
    return Failure{ErrorKind::kExists, "create", name, "", "exists"};
  }
  if (!Step()) return Off("create", name);
  disk_.inodes[disk_.next_inode].private_ = kind == profile::NewFile::kPrivate;
  Change({NameChange::kLink, name, "", disk_.next_inode++});
  return Open(name, disk_.names.at(name));
}

Result<profile::FileFacts> MemoryDirectory::Look(const std::string& name) {
  if (!alive()) return Off("look at", name);
  const auto found = disk_.names.find(name);
  if (found == disk_.names.end()) return Missing("look at", name);
  return MemoryFile(*this, found->second, name).Facts();
}

Result<std::vector<std::string>> MemoryDirectory::List() {
  if (!alive()) return Off("list", ".");
  std::vector<std::string> names;
  for (const auto& [name, number] : disk_.names) names.push_back(name);
  return names;
}

Status MemoryDirectory::Rename(const std::string& from, const std::string& to,
                               profile::Overwrite how) {
  if (!alive()) return Off("rename", from);
  if (!disk_.names.contains(from)) return Missing("rename", from);
  if (how == profile::Overwrite::kOnlyIfMissing && disk_.names.contains(to)) {
    return Failure{ErrorKind::kExists, "rename", from, to, "exists"};
  }
  if (!Step()) return Off("rename", from);
  Change({NameChange::kRename, from, to, 0});
  return {};
}

Status MemoryDirectory::Remove(const std::string& name) {
  if (!alive()) return Off("remove", name);
  if (!disk_.names.contains(name)) return {};
  if (!Step()) return Off("remove", name);
  Change({NameChange::kRemove, name, "", 0});
  return {};
}

Status MemoryDirectory::Sync() {
  if (!Step()) return Off("flush", ".");
  disk_.durable_names = disk_.names;
  disk_.changes.clear();
  return {};
}

Status MemoryDirectory::Copy(profile::File& from, uint64_t from_offset, profile::File& to,
                             uint64_t to_offset, uint64_t length) {
  if (!Step()) return Off("copy to", "");
  const std::string& source = Of(from).content();
  if (from_offset + length > source.size()) {
    return Failure{ErrorKind::kIo, "copy from", "", "", "it ended early"};
  }
  Of(to).Put(to_offset,
             std::string(source, static_cast<size_t>(from_offset), static_cast<size_t>(length)));
  return {};
}

bool MemoryDirectory::ReplaceKeepsFile(const std::string&, profile::File& file) {
  Result<profile::FileFacts> facts = file.Facts();
  return personality_.replaces && facts.ok() && facts->links == 1;
}

Status MemoryDirectory::CarryOver(profile::File&, profile::File&) {
  if (!alive()) return Off("carry over", "");
  if (!personality_.carries_over) {
    return Failure{ErrorKind::kUnsupported, "carry over", "", "", "another owner"};
  }
  return {};
}

bool MemoryDirectory::IsOwnLeftover(profile::File& leftover) { return Of(leftover).inode().ours; }

bool MemoryDirectory::MayTrustRecord(profile::File& record, profile::File&) {
  return Of(record).inode().private_;
}

}  // namespace memory
