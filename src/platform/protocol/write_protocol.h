// The protocol by which both file layers write a profile file, so that any
// mix of runs (the native program, the Windows program under Wine or on
// Windows) takes turns and finishes what a cut-short run left. The steps,
// their states and the reasons behind them are in docs/write-protocol.md;
// this header holds what both layers must agree on byte for byte: the names
// beside the file, the record a write in place leaves, and how that record
// proves itself.
#ifndef KAVRO_PLATFORM_PROTOCOL_WRITE_PROTOCOL_H_
#define KAVRO_PLATFORM_PROTOCOL_WRITE_PROTOCOL_H_

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/edit/profile_edit.h"

namespace profile {

// What became of a write. Every refusal leaves the file as it was.
enum class WriteResult {
  kWritten,         // the file holds the entry (written now, or there already)
  kNoDirectory,     // the file's directory is missing
  kNotAFile,        // a directory, a device, a FIFO or a dangling link
  kReadOnly,        // the read-only attribute, or no write permission bit
  kAccessDenied,    // the file or its directory may not be written
  kHeldOpen,        // another program keeps the file open or locked
  kDiskFull,        // no room for the new content
  kLockTimedOut,    // another run held the lock for too long
  kLockUnusable,    // the lock file is not an empty regular file
  kUnprovenRecord,  // a cut-short write's record does not match the file
  kUnreadable,      // content no edit can keep (odd-length UTF-16, ...)
  kFailed,          // anything else the system refused
};

// The cause in plain words, for a person reading a log.
std::string_view Describe(WriteResult result);

// How long a run waits for another run's lock before it gives up, and how
// often it looks again meanwhile.
inline constexpr int kLockWaitMilliseconds = 30000;
inline constexpr int kLockPollMilliseconds = 20;

// Where a file written in place is locked itself: a byte far beyond the end
// of any real file, which no reader reads, so that Windows' mandatory locks
// stop nobody.
inline constexpr uint64_t kFileLockOffset = uint64_t{1} << 62;

// Names beside the file, all starting ".<file>." with the file's name in
// ASCII lower case, so that both programs name the same file whatever case
// the path was spelled in (Wine matches names without regard to case, a
// Linux file system does not).
//   .<file>.kavro-lock            the lock a run holds from before it reads
//                                 the file until its write is done
//   .<file>.<nonce>.kavro-tmp     a new file or record being written
//   .<file>.<nonce>.kavro-redo    the complete record of a write in place
enum class Leftover { kNone, kTemporary, kRedo };

template <typename Char>
std::basic_string<Char> LowerAscii(std::basic_string_view<Char> name) {
  std::basic_string<Char> lower(name);
  for (Char& c : lower) {
    if (c >= Char('A') && c <= Char('Z')) c = static_cast<Char>(c - Char('A') + Char('a'));
  }
  return lower;
}

template <typename Char>
std::basic_string<Char> Spelled(std::string_view ascii) {
  return std::basic_string<Char>(ascii.begin(), ascii.end());
}

template <typename Char>
std::basic_string<Char> LeftoverPrefix(std::basic_string_view<Char> file_name) {
  return Spelled<Char>(".") + LowerAscii(file_name) + Spelled<Char>(".");
}

template <typename Char>
std::basic_string<Char> LockName(std::basic_string_view<Char> file_name) {
  return LeftoverPrefix(file_name) + Spelled<Char>("kavro-lock");
}

template <typename Char>
std::basic_string<Char> TemporaryName(std::basic_string_view<Char> file_name, uint64_t nonce) {
  return LeftoverPrefix(file_name) + Spelled<Char>(std::to_string(nonce)) +
         Spelled<Char>(".kavro-tmp");
}

// The name a complete record takes: its temporary name with the other
// ending.
template <typename Char>
std::basic_string<Char> RedoName(std::basic_string_view<Char> temporary_name) {
  const std::string_view tmp = ".kavro-tmp";
  return std::basic_string<Char>(temporary_name.substr(0, temporary_name.size() - tmp.size())) +
         Spelled<Char>(".kavro-redo");
}

// What `name`, found beside the file `file_name`, is. Names of earlier
// versions (".<file>.<pid>.<nonce>.kavro-tmp") count too.
template <typename Char>
Leftover LeftoverKind(std::basic_string_view<Char> name, std::basic_string_view<Char> file_name) {
  const std::basic_string<Char> prefix = LeftoverPrefix(file_name);
  const std::basic_string<Char> lower = LowerAscii(name);
  const std::basic_string_view<Char> rest(lower);
  if (!rest.starts_with(prefix)) return Leftover::kNone;
  if (rest.ends_with(Spelled<Char>(".kavro-tmp"))) return Leftover::kTemporary;
  if (rest.ends_with(Spelled<Char>(".kavro-redo"))) return Leftover::kRedo;
  return Leftover::kNone;
}

// A checksum (CRC-32, as zip uses) that can be taken a part at a time:
// Crc32(b, Crc32(a)) == Crc32(a + b).
uint32_t Crc32(std::string_view bytes, uint32_t crc = 0);

// The head of a write in place's record. The record is this head followed
// by the new content from `first_change` to its end; it is written and
// flushed in full before the first byte of the file changes. The head says
// which file the write was for and what it replaced, so that a later run
// finishes the write only on a file in a state the write could have left:
// its bytes before some point as the new content, and after it as the old
// one, checked against a checksum of each block of what was replaced.
struct RedoHeader {
  uint64_t file_id = 0;  // inode number; Windows' file index (the same under Wine)
  uint64_t old_size = 0;
  uint64_t new_size = 0;
  uint64_t first_change = 0;
  uint32_t block_size = 0;
  // Of the new content the record holds, so that a record changed since is
  // never applied.
  uint32_t new_content_checksum = 0;
  // Of the old content's blocks of `block_size` bytes from `first_change`
  // on; the last one may be shorter.
  std::vector<uint32_t> old_block_checksums;
  bool operator==(const RedoHeader&) const = default;
};

inline constexpr uint32_t kRedoBlockSize = 1 << 16;

// The head as it is stored, and back. The stored head carries a checksum of
// its own; Decode returns nothing for anything that is not such a head.
std::string EncodeRedoHeader(const RedoHeader& header);
// How many bytes the stored head takes, from its first kRedoHeaderStart
// bytes; nothing where they do not start a head.
inline constexpr size_t kRedoHeaderStart = 16;
std::optional<uint64_t> RedoHeaderSize(std::string_view start);
std::optional<RedoHeader> DecodeRedoHeader(std::string_view stored);

// Checksums of the old content's blocks, taken a part at a time as the old
// file is read from `first_change` to its end.
class OldContentChecksums {
 public:
  explicit OldContentChecksums(uint32_t block_size) : block_size_(block_size) {}
  void Take(std::string_view part);
  std::vector<uint32_t> Finish();

 private:
  uint32_t block_size_;
  uint32_t filled_ = 0;
  uint32_t crc_ = 0;
  std::vector<uint32_t> checksums_;
};

// Whether a file of `file_size` bytes, read from `first_change` on beside
// the record's new content, is in a state the recorded write could have
// left: cut short by a kill at any moment of it, or done.
class CutShortWriteCheck {
 public:
  CutShortWriteCheck(const RedoHeader& header, uint64_t file_size);
  // The next parts, at the same offset, of the file and of the new content;
  // either is shorter than the other, or empty, once it has ended.
  void Take(std::string_view file_part, std::string_view new_part);
  // Whether the file proves the record, once both have ended.
  bool Proves() const;

 private:
  void TakeFileByte(uint64_t offset, unsigned char byte);

  const RedoHeader& header_;
  uint64_t file_size_;
  uint64_t offset_;
  std::optional<uint64_t> frontier_;  // the first byte that is not new content
  bool consistent_;
  uint32_t block_crc_ = 0;
  bool block_checked_ = false;
};

// The size of the file that `plan` makes of one of `old_size` bytes.
uint64_t NewSize(const Plan& plan, uint64_t old_size);

// A file read at offsets, as each OS's layer opens it, so that the checks
// below read a record and its file the same way everywhere.
class PositionalReader {
 public:
  virtual ~PositionalReader() = default;
  // Reads up to `buffer.size()` bytes at `offset` into `buffer`; `got` is 0
  // at the end. Returns false on a read error.
  virtual bool ReadAt(uint64_t offset, std::span<char> buffer, size_t& got) = 0;
};

// The checksums of the old content's blocks from `first_change` to
// `old_size`, read from the old file; nothing on a read error.
std::optional<std::vector<uint32_t>> ChecksumOldContent(PositionalReader& old_file,
                                                        uint64_t first_change, uint64_t old_size);

// The checksum of `length` bytes of `file` from `offset`; nothing on a read
// error or where the file ends sooner.
std::optional<uint32_t> ChecksumRange(PositionalReader& file, uint64_t offset, uint64_t length);

// A record read back: its head, and where the new content starts in it.
struct RedoRecord {
  RedoHeader header;
  uint64_t content_offset = 0;
};

// Reads the record whose file is `record_size` bytes long; nothing where it
// is not a whole record.
std::optional<RedoRecord> ReadRedoRecord(PositionalReader& record, uint64_t record_size);

// Whether the record's new content has its checksum and the file, `file_size`
// bytes long, is in a state the record's write could have left
// (CutShortWriteCheck over both files).
bool FileProvesRecord(const RedoRecord& redo, PositionalReader& record, PositionalReader& file,
                      uint64_t file_size);

}  // namespace profile

#endif  // KAVRO_PLATFORM_PROTOCOL_WRITE_PROTOCOL_H_
