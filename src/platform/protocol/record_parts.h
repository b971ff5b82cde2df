// What record.cc shares with the reading of the released program's records
// (record_released.cc): the stored numbers, reading a file exactly, and the
// old content as a record gives it back.
#ifndef KAVRO_PLATFORM_PROTOCOL_RECORD_PARTS_H_
#define KAVRO_PLATFORM_PROTOCOL_RECORD_PARTS_H_

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/protocol/file_system.h"
#include "platform/protocol/record.h"

namespace profile {

// How much of a file a record's reader or writer holds at a time.
inline constexpr size_t kRecordPart = size_t{1} << 20;
// A buffer for `bytes` bytes read a part at a time: no larger than needed.
inline std::vector<char> PartBuffer(uint64_t bytes) {
  return std::vector<char>(static_cast<size_t>(std::min<uint64_t>(kRecordPart, bytes)));
}

void PutNumber(std::string& out, uint64_t value, int bytes);
// Requires `bytes` bytes of `in` at `at`.
uint64_t GetNumber(std::string_view in, size_t at, int bytes);

// Reads until `buffer` is full or the file ends; `got` says how far.
Status ReadFull(File& file, uint64_t offset, std::span<char> buffer, size_t& got);
// Reads all of `buffer`; a file that ends sooner fails (kIo).
Status ReadExactly(File& file, uint64_t offset, std::span<char> buffer);
// The checksum of the bytes [begin, end) of `file`.
Result<uint32_t> ChecksumOf(File& file, uint64_t begin, uint64_t end);

// The old file from the record's first change on: kept bytes are in the
// new content, moved by what the splices before them added or took away;
// the bytes a splice replaced are in the replaced bytes.
class OldContent {
 public:
  OldContent(const Record& record, File& record_file);
  // Exactly `buffer.size()` bytes at `offset`, within the old file.
  Status Read(uint64_t offset, std::span<char> buffer);

 private:
  struct Stretch {
    uint64_t begin, end;  // in the old file
    uint64_t at;          // where it starts in the record
  };
  File& record_file_;
  std::vector<Stretch> stretches_;
};

// The released program's records.
inline constexpr std::string_view kReleasedMagic = "KVROREDO";
std::optional<uint64_t> ReleasedHeadSize(std::string_view start);
// Requires a head whose checksum has been checked.
std::optional<Record> DecodeReleasedHead(std::string_view stored);
Result<Proof> ProveReleasedRecord(const Record& record, File& record_file, File& file,
                                  uint64_t file_size);
// Whether `file` is still the old file a released record's write would
// change: its size, and the checksum of every block.
Result<bool> ReleasedFileIsStillOld(const Record& record, File& file, uint64_t file_size);

}  // namespace profile

#endif  // KAVRO_PLATFORM_PROTOCOL_RECORD_PARTS_H_
