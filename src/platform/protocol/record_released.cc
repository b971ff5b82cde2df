// Records the released program left: the new content and, instead of the
// replaced bytes, a checksum of each 64 KiB block of the old content from
// the first change on. That program proved a record on a file cut short by
// a kill: the new content up to some byte, the old after it, checked block
// by block, but for the one block that byte falls in. Such a record is
// still finished by that rule; every record written now is of the newer
// kind.
#include <algorithm>

#include "platform/protocol/record_parts.h"

namespace profile {
namespace {

constexpr size_t kReleasedFixedSize = kRecordStart + 4 * 8 + 3 * 4;
constexpr uint64_t kMostBlocks = uint64_t{1} << 24;

uint64_t BlockCount(uint64_t old_size, uint64_t first_change, uint32_t block_size) {
  return old_size <= first_change ? 0 : (old_size - first_change + block_size - 1) / block_size;
}

// The first byte from the first change on where the file is not the new
// content, or where either ends.
Result<uint64_t> Frontier(const Record& record, File& record_file, File& file, uint64_t file_size) {
  const uint64_t end = std::min(file_size, record.new_size);
  std::vector<char> file_part = PartBuffer(end), new_part = PartBuffer(end);
  for (uint64_t at = record.first_change; at < end;) {
    const auto want = static_cast<size_t>(std::min<uint64_t>(file_part.size(), end - at));
    Status read = ReadExactly(file, at, std::span(file_part.data(), want));
    if (read.ok()) {
      read = ReadExactly(record_file, record.content_offset + at - record.first_change,
                         std::span(new_part.data(), want));
    }
    if (!read.ok()) return read;
    const auto differs =
        std::mismatch(file_part.begin(), file_part.begin() + want, new_part.begin());
    if (differs.first != file_part.begin() + want) {
      return at + static_cast<uint64_t>(differs.first - file_part.begin());
    }
    at += want;
  }
  return end;
}

// Whether every block of the old content that starts at `from` or later
// has its checksum in the file.
Result<bool> OldFrom(const Record& record, File& file, uint64_t from) {
  const BlockChecksums& checks = *record.released;
  for (uint64_t block = 0; block < checks.old_blocks.size(); ++block) {
    const uint64_t begin = record.first_change + block * checks.block_size;
    const uint64_t end = std::min(begin + checks.block_size, record.old_size);
    if (begin < from) continue;
    Result<uint32_t> checksum = ChecksumOf(file, begin, end);
    if (!checksum.ok()) return checksum.status();
    if (*checksum != checks.old_blocks[block]) return false;
  }
  return true;
}

}  // namespace

std::optional<uint64_t> ReleasedHeadSize(std::string_view start) {
  const uint64_t size = GetNumber(start, kReleasedMagic.size(), 8);
  if (size < kReleasedFixedSize + 4 || size > kReleasedFixedSize + 4 * kMostBlocks + 4) {
    return std::nullopt;
  }
  return size;
}

std::optional<Record> DecodeReleasedHead(std::string_view stored) {
  Record record;
  record.file_id = GetNumber(stored, 16, 8);
  record.old_size = GetNumber(stored, 24, 8);
  record.new_size = GetNumber(stored, 32, 8);
  record.first_change = GetNumber(stored, 40, 8);
  BlockChecksums checks;
  checks.block_size = static_cast<uint32_t>(GetNumber(stored, 48, 4));
  record.content_checksum = static_cast<uint32_t>(GetNumber(stored, 52, 4));
  const uint64_t count = GetNumber(stored, 56, 4);
  if (checks.block_size == 0 || record.first_change > record.old_size ||
      record.first_change > record.new_size ||
      count != BlockCount(record.old_size, record.first_change, checks.block_size) ||
      stored.size() != kReleasedFixedSize + 4 * count + 4) {
    return std::nullopt;
  }
  for (uint64_t i = 0; i < count; ++i) {
    checks.old_blocks.push_back(
        static_cast<uint32_t>(GetNumber(stored, kReleasedFixedSize + 4 * i, 4)));
  }
  record.released = std::move(checks);
  record.content_offset = stored.size();
  return record;
}

Result<Proof> ProveReleasedRecord(const Record& record, File& record_file, File& file,
                                  uint64_t file_size) {
  // Room for a longer file was made first, and a shorter one cut last.
  if (file_size != record.old_size && file_size != record.new_size) return Proof::kNone;
  Result<uint64_t> frontier = Frontier(record, record_file, file, file_size);
  if (!frontier.ok()) return frontier.status();
  // New content up to the file's end: done, or nothing written yet of a
  // file that only grows at its end.
  if (*frontier >= file_size) return file_size == record.new_size ? Proof::kDone : Proof::kCutShort;
  // Old content after the frontier: the file cannot have been cut yet.
  if (file_size < record.old_size) return Proof::kNone;
  Result<bool> old = OldFrom(record, file, *frontier);
  if (!old.ok()) return old.status();
  if (!*old) return Proof::kNone;
  // Room made for a longer file reads as zeros.
  const uint64_t zeros_from = std::max(*frontier, record.old_size);
  std::vector<char> part = PartBuffer(file_size - std::min(file_size, zeros_from));
  for (uint64_t at = zeros_from; at < file_size;) {
    const auto want = static_cast<size_t>(std::min<uint64_t>(part.size(), file_size - at));
    if (Status read = ReadExactly(file, at, std::span(part.data(), want)); !read.ok()) return read;
    if (std::any_of(part.begin(), part.begin() + want, [](char c) { return c != 0; })) {
      return Proof::kNone;
    }
    at += want;
  }
  return Proof::kCutShort;
}

Result<bool> ReleasedFileIsStillOld(const Record& record, File& file, uint64_t file_size) {
  if (file_size != record.old_size) return false;
  return OldFrom(record, file, record.first_change);
}

}  // namespace profile
