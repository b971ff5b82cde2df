// The record of a write in place: its head, its writing in one pass over
// the old content, and the proof a file gives of it, sector by sector.
#include "platform/protocol/record.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "platform/protocol/record_parts.h"

namespace profile {
namespace {

constexpr std::string_view kMagic = "KVRORED2";
constexpr size_t kFixedSize = 52;  // magic, head size, four sizes, splice count
constexpr size_t kSpliceSize = 24;
constexpr size_t kChecksumsSize = 16;
// A plan has a splice or two; more is no head of ours.
constexpr uint32_t kMostSplices = 16;
// Beyond any real file: sizes past it are no head of ours.
constexpr uint64_t kLargestSize = uint64_t{1} << 56;
// The unit a disk writes whole: after a power cut each holds what it held
// before or what was written last.
constexpr uint64_t kSectorSize = 512;

}  // namespace

uint32_t Crc32(std::string_view bytes, uint32_t crc) {
  while (!bytes.empty()) {
    const auto part = static_cast<uInt>(std::min<size_t>(bytes.size(), uInt{1} << 30));
    crc = static_cast<uint32_t>(crc32(crc, reinterpret_cast<const Bytef*>(bytes.data()), part));
    bytes.remove_prefix(part);
  }
  return crc;
}

uint64_t NewSize(const Plan& plan, uint64_t old_size) {
  for (const Splice& splice : plan.splices)
    old_size += splice.text.size() - (splice.end - splice.begin);
  return old_size;
}

uint64_t Record::replaced_size() const {
  uint64_t size = 0;
  for (const RecordSplice& splice : splices) size += splice.end - splice.begin;
  return size;
}

Record RecordOf(const Plan& plan, uint64_t file_id, uint64_t old_size) {
  assert(plan.status == EditStatus::kEdited && !plan.splices.empty());
  Record record;
  record.file_id = file_id;
  record.old_size = old_size;
  record.new_size = NewSize(plan, old_size);
  record.first_change = plan.splices.front().begin;
  for (const Splice& splice : plan.splices) {
    record.splices.push_back({splice.begin, splice.end, splice.text.size()});
  }
  record.content_offset = kFixedSize + kSpliceSize * record.splices.size() + kChecksumsSize;
  return record;
}

std::string EncodeRecordHead(const Record& record) {
  assert(!record.released);
  std::string out(kMagic);
  PutNumber(out, kFixedSize + kSpliceSize * record.splices.size() + kChecksumsSize, 8);
  for (const uint64_t value :
       {record.file_id, record.old_size, record.new_size, record.first_change}) {
    PutNumber(out, value, 8);
  }
  PutNumber(out, record.splices.size(), 4);
  for (const RecordSplice& splice : record.splices) {
    for (const uint64_t value : {splice.begin, splice.end, splice.text_size})
      PutNumber(out, value, 8);
  }
  PutNumber(out, record.content_checksum, 4);
  PutNumber(out, record.replaced_checksum, 4);
  PutNumber(out, record.old_checksum, 4);
  PutNumber(out, Crc32(out), 4);
  return out;
}

std::optional<uint64_t> RecordHeadSize(std::string_view start) {
  if (start.size() < kRecordStart) return std::nullopt;
  if (start.starts_with(kReleasedMagic)) return ReleasedHeadSize(start);
  if (!start.starts_with(kMagic)) return std::nullopt;
  const uint64_t size = GetNumber(start, kMagic.size(), 8);
  if (size < kFixedSize + kSpliceSize + kChecksumsSize ||
      size > kFixedSize + kSpliceSize * kMostSplices + kChecksumsSize ||
      (size - kFixedSize - kChecksumsSize) % kSpliceSize != 0) {
    return std::nullopt;
  }
  return size;
}

std::optional<Record> DecodeRecordHead(std::string_view stored) {
  const std::optional<uint64_t> size = RecordHeadSize(stored);
  if (!size || stored.size() != *size ||
      Crc32(stored.substr(0, stored.size() - 4)) != GetNumber(stored, stored.size() - 4, 4)) {
    return std::nullopt;
  }
  if (stored.starts_with(kReleasedMagic)) return DecodeReleasedHead(stored);
  Record record;
  record.file_id = GetNumber(stored, 16, 8);
  record.old_size = GetNumber(stored, 24, 8);
  record.new_size = GetNumber(stored, 32, 8);
  record.first_change = GetNumber(stored, 40, 8);
  const uint64_t count = GetNumber(stored, 48, 4);
  if (*size != kFixedSize + kSpliceSize * count + kChecksumsSize) return std::nullopt;
  uint64_t at = kFixedSize;
  // The splices must make the new size from the old one, in file order.
  uint64_t new_size = record.old_size, kept_from = record.first_change;
  for (uint64_t i = 0; i < count; ++i, at += kSpliceSize) {
    const RecordSplice splice{GetNumber(stored, at, 8), GetNumber(stored, at + 8, 8),
                              GetNumber(stored, at + 16, 8)};
    if (splice.begin < kept_from || splice.end < splice.begin || splice.end > record.old_size ||
        splice.text_size > kLargestSize) {
      return std::nullopt;
    }
    new_size += splice.text_size - (splice.end - splice.begin);
    kept_from = splice.end;
    record.splices.push_back(splice);
  }
  record.content_checksum = static_cast<uint32_t>(GetNumber(stored, at, 4));
  record.replaced_checksum = static_cast<uint32_t>(GetNumber(stored, at + 4, 4));
  record.old_checksum = static_cast<uint32_t>(GetNumber(stored, at + 8, 4));
  record.content_offset = *size;
  if (record.old_size > kLargestSize || record.new_size > kLargestSize ||
      new_size != record.new_size || record.splices.front().begin != record.first_change) {
    return std::nullopt;
  }
  return record;
}

namespace {

// The checksum of `a` + `b` from those of `a` and of `b`, `b_size` long.
uint32_t Joined(uint32_t a, uint32_t b, uint64_t b_size) {
  // zlib's lengths are a long, which Windows makes 32 bits wide; a
  // checksum moved over a length is moved over its parts in turn.
  constexpr uint64_t kStep = uint64_t{1} << 30;
  for (; b_size > kStep; b_size -= kStep) a = static_cast<uint32_t>(crc32_combine(a, 0, kStep));
  return static_cast<uint32_t>(crc32_combine(a, b, static_cast<z_off_t>(b_size)));
}

// Appends to one area of the record, taking its checksum.
class RecordArea {
 public:
  RecordArea(File& record, uint64_t offset) : record_(record), offset_(offset) {}
  // `bytes`, whose checksum is `checksum`.
  Status Put(std::string_view bytes, uint32_t checksum) {
    checksum_ = Joined(checksum_, checksum, bytes.size());
    const Status written = record_.WriteAt(offset_, bytes);
    offset_ += bytes.size();
    return written;
  }
  uint32_t checksum() const { return checksum_; }

 private:
  File& record_;
  uint64_t offset_;
  uint32_t checksum_ = 0;
};

// The old bytes [begin, end) of `file` into `area`, and into the checksum
// of the old content, which they are read in the order of: each byte's
// checksum is taken once.
Status CopyOld(File& file, uint64_t begin, uint64_t end, std::vector<char>& buffer,
               RecordArea& area, uint32_t& old_checksum) {
  while (begin < end) {
    const auto want = static_cast<size_t>(std::min<uint64_t>(buffer.size(), end - begin));
    if (Status read = ReadExactly(file, begin, std::span(buffer.data(), want)); !read.ok()) {
      return read;
    }
    const std::string_view part(buffer.data(), want);
    const uint32_t checksum = Crc32(part);
    old_checksum = Joined(old_checksum, checksum, want);
    if (Status put = area.Put(part, checksum); !put.ok()) return put;
    begin += want;
  }
  return {};
}

}  // namespace

Status WriteRecord(File& file, const Plan& plan, Record& head, File& record, bool flush_mark) {
  // Where a record cut short must be known for one by its start, a head
  // comes first, though it proves nothing until the whole head replaces it.
  if (flush_mark) {
    std::string mark = EncodeRecordHead(head);
    mark.back() ^= 0xFF;  // a head that checks itself is only ever a whole one
    Status started = record.WriteAt(0, mark);
    if (started.ok()) started = record.Flush();
    if (!started.ok()) return started;
  }
  RecordArea content(record, head.content_offset), replaced(record, head.replaced_offset());
  std::vector<char> buffer = PartBuffer(head.old_size - head.first_change);
  uint64_t kept_from = head.first_change;
  uint32_t old_checksum = 0;
  for (const Splice& splice : plan.splices) {
    Status copied = CopyOld(file, kept_from, splice.begin, buffer, content, old_checksum);
    if (copied.ok()) copied = content.Put(splice.text, Crc32(splice.text));
    if (copied.ok()) {
      copied = CopyOld(file, splice.begin, splice.end, buffer, replaced, old_checksum);
    }
    if (!copied.ok()) return copied;
    kept_from = splice.end;
  }
  if (Status copied = CopyOld(file, kept_from, head.old_size, buffer, content, old_checksum);
      !copied.ok()) {
    return copied;
  }
  head.old_checksum = old_checksum;
  head.content_checksum = content.checksum();
  head.replaced_checksum = replaced.checksum();
  return record.WriteAt(0, EncodeRecordHead(head));
}

Result<std::optional<Record>> ReadRecordHead(File& record, uint64_t size) {
  std::string stored(kRecordStart, '\0');
  size_t got = 0;
  if (Status read = ReadFull(record, 0, stored, got); !read.ok()) return read;
  const std::optional<uint64_t> head_size = RecordHeadSize(stored.substr(0, got));
  if (!head_size || *head_size > size) return std::optional<Record>();
  stored.resize(static_cast<size_t>(*head_size));
  if (Status read = ReadFull(record, 0, stored, got); !read.ok()) return read;
  return DecodeRecordHead(stored.substr(0, got));
}

Result<bool> RecordIsWhole(File& record_file, const Record& record, uint64_t size) {
  if (size != record.size()) return false;
  Result<uint32_t> content =
      ChecksumOf(record_file, record.content_offset, record.replaced_offset());
  if (!content.ok()) return content.status();
  Result<uint32_t> replaced = ChecksumOf(record_file, record.replaced_offset(), record.size());
  if (!replaced.ok()) return replaced.status();
  return *content == record.content_checksum && *replaced == record.replaced_checksum;
}

Result<bool> FileIsStillOld(const Record& record, File& file, uint64_t file_size) {
  if (record.released) return ReleasedFileIsStillOld(record, file, file_size);
  if (file_size != record.old_size) return false;
  Result<uint32_t> checksum = ChecksumOf(file, record.first_change, record.old_size);
  if (!checksum.ok()) return checksum.status();
  return *checksum == record.old_checksum;
}

namespace {

// Whether a part of the file ([begin, end) of `file_bytes`) holds the new
// content up to some byte and, after it, the old content or zeros where
// zeros may be. `old_bytes` and `new_bytes` are empty where the old or the
// new file has ended.
bool PartProves(std::string_view file_bytes, std::string_view new_bytes, std::string_view old_bytes,
                bool zeros_may_be, bool& all_new) {
  const size_t common = static_cast<size_t>(
      std::mismatch(new_bytes.begin(), new_bytes.end(), file_bytes.begin()).first -
      new_bytes.begin());
  if (common == file_bytes.size()) return true;
  all_new = false;
  const std::string_view rest = file_bytes.substr(common);
  if (old_bytes.size() == file_bytes.size() && rest == old_bytes.substr(common)) return true;
  return zeros_may_be && rest.find_first_not_of('\0') == std::string_view::npos;
}

}  // namespace

Result<Proof> ProveRecord(const Record& record, File& record_file, File& file, uint64_t file_size) {
  if (record.released) return ProveReleasedRecord(record, record_file, file, file_size);
  // The write makes room for a longer file first and cuts a shorter one
  // last, but a power cut may keep either size, whatever the data did.
  if (file_size != record.old_size && file_size != record.new_size) return Proof::kNone;
  bool all_new = file_size == record.new_size;
  OldContent old_content(record, record_file);
  // Parts end on a sector's end but for the file's last.
  const uint64_t part_size = PartBuffer(file_size - record.first_change + kSectorSize).size();
  std::vector<char> file_part(part_size), new_part(part_size), old_part(part_size);
  for (uint64_t begin = record.first_change; begin < file_size;) {
    const uint64_t end =
        std::min(file_size, begin - begin % kSectorSize + std::max(part_size, kSectorSize));
    const auto length = static_cast<size_t>(end - begin);
    const auto within = [&](uint64_t size) {
      return static_cast<size_t>(std::min(end, std::max(size, begin)) - begin);
    };
    const size_t new_length = within(record.new_size), old_length = within(record.old_size);
    Status read = ReadExactly(file, begin, std::span(file_part.data(), length));
    if (read.ok()) {
      read = ReadExactly(record_file, record.content_offset + begin - record.first_change,
                         std::span(new_part.data(), new_length));
    }
    if (read.ok()) read = old_content.Read(begin, std::span(old_part.data(), old_length));
    if (!read.ok()) return read;
    // Each sector, split where the old and the new file end.
    for (uint64_t part = begin; part < end;) {
      uint64_t part_end = std::min(end, part - part % kSectorSize + kSectorSize);
      for (const uint64_t size : {record.old_size, record.new_size}) {
        if (part < size && size < part_end) part_end = size;
      }
      const auto at = static_cast<size_t>(part - begin);
      const auto part_length = static_cast<size_t>(part_end - part);
      const auto clip = [&](const std::vector<char>& bytes, size_t available) {
        return std::string_view(bytes.data() + std::min(at, available),
                                std::min(available, at + part_length) - std::min(at, available));
      };
      const std::string_view old_bytes = clip(old_part, old_length);
      if (!PartProves(std::string_view(file_part.data() + at, part_length),
                      clip(new_part, new_length),
                      old_bytes.size() == part_length ? old_bytes : std::string_view(),
                      part >= record.old_size || part >= record.new_size, all_new)) {
        return Proof::kNone;
      }
      part = part_end;
    }
    begin = end;
  }
  return all_new ? Proof::kDone : Proof::kCutShort;
}

}  // namespace profile
