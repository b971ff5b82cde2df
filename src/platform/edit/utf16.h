// UTF-16 files, told by their byte order mark: their bytes as code units
// for the edit, and the edit's text back in their bytes.
#ifndef KAVRO_PLATFORM_EDIT_UTF16_H_
#define KAVRO_PLATFORM_EDIT_UTF16_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace profile {

enum class ByteOrder { kLittleEndian, kBigEndian };

constexpr size_t kUtf16MarkSize = 2;

// Whether the file starting with `head` is UTF-16.
bool IsUtf16(std::string_view head);
// Its byte order, for a head that IsUtf16.
ByteOrder ByteOrderOf(std::string_view head);

// Turns the bytes after the mark into units, however the file's parts cut
// them: a unit's first byte at the end of a part waits for its second.
class Utf16Decoder {
 public:
  explicit Utf16Decoder(ByteOrder order) : order_(order) {}

  // Puts the units of `bytes` into `out`, up to `room` of them, and says
  // how many; takes off `bytes` those it used.
  size_t Decode(std::string_view& bytes, char16_t* out, size_t room);
  // Bytes that need not be decoded: only how many there are counts.
  void Pass(std::string_view bytes) { odd_ ^= bytes.size() % 2 == 1; }
  // Whether the bytes so far are an odd number: a unit is cut.
  bool odd() const { return odd_; }

 private:
  char16_t Unit(char first, char second) const;

  ByteOrder order_;
  bool odd_ = false;
  char first_byte_ = 0;  // when odd_: the cut unit's first byte
};

// `text`, whose bytes are taken as Latin-1, as UTF-16 in `order`.
std::string EncodeUtf16(std::string_view text, ByteOrder order);

}  // namespace profile

#endif  // KAVRO_PLATFORM_EDIT_UTF16_H_
