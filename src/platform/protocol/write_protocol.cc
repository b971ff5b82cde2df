#include "platform/protocol/write_protocol.h"

#include <algorithm>
#include <array>

namespace profile {

std::string_view Describe(WriteResult result) {
  switch (result) {
    case WriteResult::kWritten:
      return "the entry is in the file";
    case WriteResult::kNoDirectory:
      return "the install directory is missing";
    case WriteResult::kNotAFile:
      return "the file is not a regular file (a directory, a device, a FIFO or a dangling link)";
    case WriteResult::kReadOnly:
      return "the file is read-only";
    case WriteResult::kAccessDenied:
      return "this user may not write the file or its directory";
    case WriteResult::kHeldOpen:
      return "another program holds the file open";
    case WriteResult::kDiskFull:
      return "the disk is full";
    case WriteResult::kLockTimedOut:
      return "another run of kavro-register held the file's lock for too long";
    case WriteResult::kLockUnusable:
      return "the lock file beside the file (its name ends in .kavro-lock) is not an empty "
             "regular file; remove it";
    case WriteResult::kUnprovenRecord:
      return "the record of a cut-short write beside the file does not match it, so it was left "
             "alone; check the file and remove the .kavro-redo file";
    case WriteResult::kUnreadable:
      return "the file's content cannot be edited safely (an odd-length UTF-16 file)";
    case WriteResult::kFailed:
      break;
  }
  return "the system refused to write the file";
}

namespace {

constexpr std::array<uint32_t, 256> MakeCrcTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int bit = 0; bit < 8; ++bit) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[i] = c;
  }
  return table;
}
constexpr std::array<uint32_t, 256> kCrcTable = MakeCrcTable();

uint32_t CrcByte(uint32_t crc, unsigned char byte) {
  const uint32_t c = ~crc;
  return ~(kCrcTable[(c ^ byte) & 0xFF] ^ (c >> 8));
}

// The stored head: fixed-width little-endian numbers, so that the 32-bit
// Windows program and the 64-bit native one read each other's records.
constexpr std::string_view kMagic = "KVROREDO";
constexpr size_t kFixedSize = kRedoHeaderStart + 4 * 8 + 3 * 4;
constexpr uint64_t kMostBlocks = uint64_t{1} << 24;  // a 1 TiB file

void Put(std::string& out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

uint64_t Get(std::string_view in, size_t at, int bytes) {
  uint64_t value = 0;
  for (int i = 0; i < bytes; ++i) {
    value |= uint64_t{static_cast<unsigned char>(in[at + i])} << (8 * i);
  }
  return value;
}

uint64_t BlockCount(uint64_t old_size, uint64_t first_change, uint32_t block_size) {
  return old_size <= first_change ? 0 : (old_size - first_change + block_size - 1) / block_size;
}

}  // namespace

uint64_t NewSize(const Plan& plan, uint64_t old_size) {
  for (const Splice& splice : plan.splices)
    old_size += splice.text.size() - (splice.end - splice.begin);
  return old_size;
}

uint32_t Crc32(std::string_view bytes, uint32_t crc) {
  uint32_t c = ~crc;
  for (const char byte : bytes)
    c = kCrcTable[(c ^ static_cast<unsigned char>(byte)) & 0xFF] ^ (c >> 8);
  return ~c;
}

std::string EncodeRedoHeader(const RedoHeader& header) {
  std::string out(kMagic);
  Put(out, kFixedSize + 4 * header.old_block_checksums.size() + 4, 8);
  for (const uint64_t value :
       {header.file_id, header.old_size, header.new_size, header.first_change}) {
    Put(out, value, 8);
  }
  Put(out, header.block_size, 4);
  Put(out, header.new_content_checksum, 4);
  Put(out, header.old_block_checksums.size(), 4);
  for (const uint32_t checksum : header.old_block_checksums) Put(out, checksum, 4);
  Put(out, Crc32(out), 4);
  return out;
}

std::optional<uint64_t> RedoHeaderSize(std::string_view start) {
  if (start.size() < kRedoHeaderStart || !start.starts_with(kMagic)) return std::nullopt;
  const uint64_t size = Get(start, kMagic.size(), 8);
  if (size < kFixedSize + 4 || size > kFixedSize + 4 * kMostBlocks + 4) return std::nullopt;
  return size;
}

std::optional<RedoHeader> DecodeRedoHeader(std::string_view stored) {
  const std::optional<uint64_t> size = RedoHeaderSize(stored);
  if (!size || stored.size() != *size ||
      Crc32(stored.substr(0, stored.size() - 4)) != Get(stored, stored.size() - 4, 4)) {
    return std::nullopt;
  }
  RedoHeader header;
  header.file_id = Get(stored, 16, 8);
  header.old_size = Get(stored, 24, 8);
  header.new_size = Get(stored, 32, 8);
  header.first_change = Get(stored, 40, 8);
  header.block_size = static_cast<uint32_t>(Get(stored, 48, 4));
  header.new_content_checksum = static_cast<uint32_t>(Get(stored, 52, 4));
  const uint64_t count = Get(stored, 56, 4);
  if (header.block_size == 0 || header.first_change > header.old_size ||
      header.first_change > header.new_size ||
      count != BlockCount(header.old_size, header.first_change, header.block_size) ||
      *size != kFixedSize + 4 * count + 4) {
    return std::nullopt;
  }
  for (uint64_t i = 0; i < count; ++i) {
    header.old_block_checksums.push_back(static_cast<uint32_t>(Get(stored, kFixedSize + 4 * i, 4)));
  }
  return header;
}

void OldContentChecksums::Take(std::string_view part) {
  while (!part.empty()) {
    const size_t take = std::min<size_t>(part.size(), block_size_ - filled_);
    crc_ = Crc32(part.substr(0, take), crc_);
    filled_ += static_cast<uint32_t>(take);
    part.remove_prefix(take);
    if (filled_ == block_size_) {
      checksums_.push_back(crc_);
      crc_ = 0;
      filled_ = 0;
    }
  }
}

std::vector<uint32_t> OldContentChecksums::Finish() {
  if (filled_ > 0) checksums_.push_back(crc_);
  filled_ = 0;
  crc_ = 0;
  return std::move(checksums_);
}

CutShortWriteCheck::CutShortWriteCheck(const RedoHeader& header, uint64_t file_size)
    : header_(header),
      file_size_(file_size),
      offset_(header.first_change),
      // The write first makes room for a longer file and cuts a shorter one
      // only at its end: the file has its old size or its new one.
      consistent_(file_size == header.old_size || file_size == header.new_size) {}

void CutShortWriteCheck::Take(std::string_view file_part, std::string_view new_part) {
  const size_t length = std::max(file_part.size(), new_part.size());
  if (!frontier_) {
    size_t same = 0;
    const size_t both = std::min(file_part.size(), new_part.size());
    while (same < both && file_part[same] == new_part[same]) ++same;
    if (same < length) frontier_ = offset_ + same;
  }
  for (size_t i = 0; i < file_part.size(); ++i) {
    TakeFileByte(offset_ + i, static_cast<unsigned char>(file_part[i]));
  }
  offset_ += length;
}

// Past the frontier the file must still be the old content, block by block
// (the block the frontier falls in is part new, part old, and cannot be
// checked), and zeros where it was made longer.
void CutShortWriteCheck::TakeFileByte(uint64_t offset, unsigned char byte) {
  const bool past_frontier = frontier_ && offset >= *frontier_;
  if (offset >= header_.old_size) {
    if (past_frontier && byte != 0) consistent_ = false;
    return;
  }
  const uint64_t block = (offset - header_.first_change) / header_.block_size;
  const uint64_t block_begin = header_.first_change + block * header_.block_size;
  const uint64_t block_end = std::min(block_begin + header_.block_size, header_.old_size);
  if (offset == block_begin) {
    block_crc_ = 0;
    block_checked_ = past_frontier;
  }
  block_crc_ = CrcByte(block_crc_, byte);
  if (offset + 1 == block_end && block_checked_ &&
      block_crc_ != header_.old_block_checksums[block]) {
    consistent_ = false;
  }
}

bool CutShortWriteCheck::Proves() const {
  if (!consistent_) return false;
  const uint64_t frontier = frontier_.value_or(offset_);
  // New content up to the file's end: done, or nothing written yet of a
  // file that only grows at its end.
  if (frontier >= file_size_) return true;
  // Old content after the frontier: the file cannot have been cut to a
  // shorter size yet, since that comes last.
  return file_size_ >= header_.old_size;
}

namespace {

// Reads until `buffer` is full or the file ends; `got` says how far.
bool ReadFull(PositionalReader& file, uint64_t offset, std::span<char> buffer, size_t& got) {
  got = 0;
  for (size_t part = 0; got < buffer.size(); got += part) {
    if (!file.ReadAt(offset + got, buffer.subspan(got), part)) return false;
    if (part == 0) break;
  }
  return true;
}

constexpr size_t kReadPart = 1 << 16;

}  // namespace

std::optional<std::vector<uint32_t>> ChecksumOldContent(PositionalReader& old_file,
                                                        uint64_t first_change, uint64_t old_size) {
  OldContentChecksums checksums(kRedoBlockSize);
  std::vector<char> buffer(kReadPart);
  for (uint64_t offset = first_change; offset < old_size;) {
    size_t got = 0;
    const size_t want = static_cast<size_t>(std::min<uint64_t>(buffer.size(), old_size - offset));
    if (!ReadFull(old_file, offset, std::span(buffer.data(), want), got) || got != want) {
      return std::nullopt;
    }
    checksums.Take(std::string_view(buffer.data(), got));
    offset += got;
  }
  return checksums.Finish();
}

std::optional<uint32_t> ChecksumRange(PositionalReader& file, uint64_t offset, uint64_t length) {
  std::vector<char> buffer(kReadPart);
  uint32_t crc = 0;
  while (length > 0) {
    size_t got = 0;
    const size_t want = static_cast<size_t>(std::min<uint64_t>(buffer.size(), length));
    if (!ReadFull(file, offset, std::span(buffer.data(), want), got) || got != want) {
      return std::nullopt;
    }
    crc = Crc32(std::string_view(buffer.data(), got), crc);
    offset += got;
    length -= got;
  }
  return crc;
}

std::optional<RedoRecord> ReadRedoRecord(PositionalReader& record, uint64_t record_size) {
  std::string stored(kRedoHeaderStart, '\0');
  size_t got = 0;
  if (!ReadFull(record, 0, stored, got) || got != stored.size()) return std::nullopt;
  const std::optional<uint64_t> size = RedoHeaderSize(stored);
  if (!size || *size > record_size) return std::nullopt;
  stored.resize(static_cast<size_t>(*size));
  if (!ReadFull(record, 0, stored, got) || got != stored.size()) return std::nullopt;
  std::optional<RedoHeader> header = DecodeRedoHeader(stored);
  if (!header || record_size != *size + (header->new_size - header->first_change)) {
    return std::nullopt;
  }
  return RedoRecord{std::move(*header), *size};
}

bool FileProvesRecord(const RedoRecord& redo, PositionalReader& record, PositionalReader& file,
                      uint64_t file_size) {
  CutShortWriteCheck check(redo.header, file_size);
  uint32_t new_content_checksum = 0;
  std::vector<char> file_part(kReadPart), new_part(kReadPart);
  const uint64_t end = std::max(file_size, redo.header.new_size);
  for (uint64_t offset = redo.header.first_change; offset < end; offset += kReadPart) {
    // Each file is read only within its size, and must hold all of that.
    const auto within = [offset](uint64_t size) {
      return static_cast<size_t>(std::min<uint64_t>(kReadPart, size - std::min(size, offset)));
    };
    const size_t file_want = within(file_size), new_want = within(redo.header.new_size);
    size_t file_got = 0, new_got = 0;
    if (!ReadFull(file, offset, std::span(file_part.data(), file_want), file_got) ||
        !ReadFull(record, redo.content_offset + offset - redo.header.first_change,
                  std::span(new_part.data(), new_want), new_got) ||
        file_got != file_want || new_got != new_want) {
      return false;
    }
    check.Take(std::string_view(file_part.data(), file_got),
               std::string_view(new_part.data(), new_got));
    new_content_checksum = Crc32(std::string_view(new_part.data(), new_got), new_content_checksum);
  }
  return new_content_checksum == redo.header.new_content_checksum && check.Proves();
}

}  // namespace profile
