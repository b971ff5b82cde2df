// The record a write in place leaves beside the file before the file's
// first byte changes, and how a later run tells whether the file is in a
// state that write could have left. The record holds the new content from
// the first changed byte on, and the old bytes that the edit replaced: the
// rest of the old content is in the new content, moved. So each sector of
// the file can be compared, byte for byte, with the new content and with
// the old, and a write cut short by a kill or a power cut, in any mix of
// old and new sectors, is told from a file someone else changed since.
//
// Stored (little-endian, fixed-width, so that the 32-bit Windows program
// and the 64-bit native one read each other's records):
//   "KVRORED2"  head size u64  file id u64  old size u64  new size u64
//   first change u64  splice count u32  {begin u64 end u64 text size u64}...
//   content checksum u32  replaced checksum u32  old checksum u32
//   head checksum u32
//   content: the new file from the first change to its end
//   replaced: the old bytes [begin, end) of each splice, in order
// Records of the released program ("KVROREDO", with a checksum of each
// 64 KiB block of the old content instead of the replaced bytes) are still
// read and finished, by the rule that program proved them with.
#ifndef KAVRO_PLATFORM_PROTOCOL_RECORD_H_
#define KAVRO_PLATFORM_PROTOCOL_RECORD_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/edit/profile_edit.h"
#include "platform/protocol/file_system.h"

namespace profile {

// A checksum (CRC-32, as zip uses) taken a part at a time:
// Crc32(b, Crc32(a)) == Crc32(a + b).
uint32_t Crc32(std::string_view bytes, uint32_t crc = 0);

// The size of the file that `plan` makes of one of `old_size` bytes.
uint64_t NewSize(const Plan& plan, uint64_t old_size);

// One splice of the plan, as the record keeps it: the old bytes
// [begin, end) gave way to `text_size` bytes of the new content.
struct RecordSplice {
  uint64_t begin = 0;
  uint64_t end = 0;
  uint64_t text_size = 0;
  bool operator==(const RecordSplice&) const = default;
};

// The released program's proof: a checksum of each block of the old
// content from the first change on.
struct BlockChecksums {
  uint32_t block_size = 0;
  std::vector<uint32_t> old_blocks;
  bool operator==(const BlockChecksums&) const = default;
};

struct Record {
  uint64_t file_id = 0;  // FileId::index of the file written
  uint64_t old_size = 0;
  uint64_t new_size = 0;
  uint64_t first_change = 0;
  std::vector<RecordSplice> splices;
  uint32_t content_checksum = 0;
  uint32_t replaced_checksum = 0;
  // Of the old file from the first change on: a record cut short before it
  // was flushed says by it whether the file is still the old one.
  uint32_t old_checksum = 0;
  // Where the content starts: the head's size.
  uint64_t content_offset = 0;
  // Only in a record of the released program, which holds no replaced
  // bytes.
  std::optional<BlockChecksums> released;
  bool operator==(const Record&) const = default;

  uint64_t replaced_offset() const { return content_offset + new_size - first_change; }
  uint64_t replaced_size() const;
  uint64_t size() const { return replaced_offset() + replaced_size(); }
};

// The record of `plan` (edited, with at least one splice) on the file
// `file_id` of `old_size` bytes, its checksums still to be taken.
Record RecordOf(const Plan& plan, uint64_t file_id, uint64_t old_size);

// The head as it is stored, and back: a head checks itself, so Decode
// gives nothing for anything that is not a whole head. A head of the
// released program's is decoded too.
std::string EncodeRecordHead(const Record& record);
std::optional<Record> DecodeRecordHead(std::string_view stored);
// How many bytes a stored head takes, from its first kRecordStart bytes;
// nothing where they start no head.
inline constexpr size_t kRecordStart = 16;
std::optional<uint64_t> RecordHeadSize(std::string_view start);

// Writes the record of `plan` on `file` into the empty file `record`,
// reading the old content once: with `flush_mark`, first a head that marks
// it as a record being written, flushed at once; then the content and the
// replaced bytes with their checksums, then the whole head. Not flushed.
Status WriteRecord(File& file, const Plan& plan, Record& head, File& record, bool flush_mark);

// The head of the record in `record` (`size` bytes), where it starts with
// a whole head that checks itself. A record whose size is not the one its
// head gives still has it: it is a record of the file, not a whole one.
Result<std::optional<Record>> ReadRecordHead(File& record, uint64_t size);
// Whether the record (`size` bytes) is as long as its head says and its
// content and replaced bytes have their checksums.
Result<bool> RecordIsWhole(File& record_file, const Record& record, uint64_t size);
// Whether `file` (`file_size` bytes) is still the old file the record's
// write would change.
Result<bool> FileIsStillOld(const Record& record, File& file, uint64_t file_size);

enum class Proof {
  kNone,      // the file is in no state the write could have left
  kCutShort,  // the write was cut short: finish it
  kDone,      // the file is the new one already
};

// What the file of `file_size` bytes is to the whole record: each sector
// from the first change on (split where the old and the new file end) must
// hold the new content up to some byte and the old content after it, or
// zeros where the file was made longer or shorter; and the file must have
// its old size or its new one, whatever its data did.
Result<Proof> ProveRecord(const Record& record, File& record_file, File& file, uint64_t file_size);

}  // namespace profile

#endif  // KAVRO_PLATFORM_PROTOCOL_RECORD_H_
