#include "platform/edit/utf16.h"

namespace profile {

bool IsUtf16(std::string_view head) {
  return head.starts_with("\xFF\xFE") || head.starts_with("\xFE\xFF");
}

ByteOrder ByteOrderOf(std::string_view head) {
  return head.starts_with("\xFF\xFE") ? ByteOrder::kLittleEndian : ByteOrder::kBigEndian;
}

char16_t Utf16Decoder::Unit(char first, char second) const {
  const auto lo = static_cast<unsigned char>(order_ == ByteOrder::kLittleEndian ? first : second);
  const auto hi = static_cast<unsigned char>(order_ == ByteOrder::kLittleEndian ? second : first);
  return static_cast<char16_t>(lo | (hi << 8));
}

size_t Utf16Decoder::Decode(std::string_view& bytes, char16_t* out, size_t room) {
  size_t units = 0;
  size_t used = 0;
  if (odd_ && !bytes.empty() && room > 0) {
    out[units++] = Unit(first_byte_, bytes[0]);
    used = 1;
    odd_ = false;
  }
  for (; units < room && used + 1 < bytes.size(); used += 2) {
    out[units++] = Unit(bytes[used], bytes[used + 1]);
  }
  if (units < room && used + 1 == bytes.size()) {
    first_byte_ = bytes[used++];
    odd_ = true;
  }
  bytes.remove_prefix(used);
  return units;
}

std::string EncodeUtf16(std::string_view text, ByteOrder order) {
  std::string bytes;
  bytes.reserve(2 * text.size());
  for (const char c : text) {
    // A Latin-1 character is the unit of the same number.
    if (order == ByteOrder::kLittleEndian) {
      bytes.push_back(c);
      bytes.push_back('\0');
    } else {
      bytes.push_back('\0');
      bytes.push_back(c);
    }
  }
  return bytes;
}

}  // namespace profile
