// Stored numbers, exact reads, and the old content as a record gives it.
#include "platform/protocol/record_parts.h"

#include <algorithm>
#include <cassert>

namespace profile {

void PutNumber(std::string& out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

uint64_t GetNumber(std::string_view in, size_t at, int bytes) {
  assert(at + static_cast<size_t>(bytes) <= in.size());
  uint64_t value = 0;
  for (int i = 0; i < bytes; ++i) {
    value |= uint64_t{static_cast<unsigned char>(in[at + i])} << (8 * i);
  }
  return value;
}

Status ReadFull(File& file, uint64_t offset, std::span<char> buffer, size_t& got) {
  got = 0;
  for (size_t part = 0; got < buffer.size(); got += part) {
    if (Status read = file.ReadAt(offset + got, buffer.subspan(got), part); !read.ok()) return read;
    if (part == 0) break;
  }
  return {};
}

Status ReadExactly(File& file, uint64_t offset, std::span<char> buffer) {
  size_t got = 0;
  if (Status read = ReadFull(file, offset, buffer, got); !read.ok()) return read;
  if (got != buffer.size()) return Failure{ErrorKind::kIo, "read", "", "", "the file ended early"};
  return {};
}

Result<uint32_t> ChecksumOf(File& file, uint64_t begin, uint64_t end) {
  std::vector<char> buffer(static_cast<size_t>(std::min<uint64_t>(kRecordPart, end - begin)));
  uint32_t checksum = 0;
  while (begin < end) {
    const auto want = static_cast<size_t>(std::min<uint64_t>(buffer.size(), end - begin));
    if (Status read = ReadExactly(file, begin, std::span(buffer.data(), want)); !read.ok()) {
      return read;
    }
    checksum = Crc32(std::string_view(buffer.data(), want), checksum);
    begin += want;
  }
  return checksum;
}

OldContent::OldContent(const Record& record, File& record_file) : record_file_(record_file) {
  uint64_t kept_from = record.first_change;
  uint64_t new_at = record.content_offset;  // where `kept_from` went in the record's content
  uint64_t replaced_at = record.replaced_offset();
  for (const RecordSplice& splice : record.splices) {
    if (splice.begin > kept_from) {
      stretches_.push_back({kept_from, splice.begin, new_at});
      new_at += splice.begin - kept_from;
    }
    if (splice.end > splice.begin) {
      stretches_.push_back({splice.begin, splice.end, replaced_at});
      replaced_at += splice.end - splice.begin;
    }
    new_at += splice.text_size;
    kept_from = splice.end;
  }
  if (record.old_size > kept_from) stretches_.push_back({kept_from, record.old_size, new_at});
}

Status OldContent::Read(uint64_t offset, std::span<char> buffer) {
  const uint64_t end = offset + buffer.size();
  for (const Stretch& stretch : stretches_) {
    const uint64_t from = std::max(offset, stretch.begin), to = std::min(end, stretch.end);
    if (from >= to) continue;
    const Status read = ReadExactly(
        record_file_, stretch.at + (from - stretch.begin),
        buffer.subspan(static_cast<size_t>(from - offset), static_cast<size_t>(to - from)));
    if (!read.ok()) return read;
  }
  return {};
}

}  // namespace profile
