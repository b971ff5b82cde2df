#include "platform/profile_edit.h"

#include <cstddef>
#include <optional>

namespace profile {
namespace {

// The file's text as code units: bytes for 8-bit and UTF-8 files, 16-bit
// units for UTF-16 files. Lines are found and matched only by ASCII
// characters, so every encoding shares one edit.
template <typename Char>
using Text = std::basic_string_view<Char>;

template <typename Char>
bool IsBlank(Char c) {
  return c == Char(' ') || c == Char('\t');
}

template <typename Char>
Text<Char> TrimBlanks(Text<Char> text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

template <typename Char>
Char FoldAsciiCase(Char c) {
  return (c >= Char('a') && c <= Char('z')) ? Char(c - Char('a') + Char('A')) : c;
}

template <typename Char>
bool SameName(Text<Char> name, Text<Char> wanted) {
  if (name.size() != wanted.size()) return false;
  for (size_t i = 0; i < name.size(); ++i) {
    if (FoldAsciiCase(name[i]) != FoldAsciiCase(wanted[i])) return false;
  }
  return true;
}

// What a reader makes of a value: blanks trimmed, then one pair of matching
// quotes dropped.
template <typename Char>
Text<Char> ValueAsRead(Text<Char> raw) {
  Text<Char> value = TrimBlanks(raw);
  if (value.size() >= 2 && (value.front() == Char('"') || value.front() == Char('\'')) &&
      value.back() == value.front()) {
    value = value.substr(1, value.size() - 2);
  }
  return value;
}

// One line: [begin, content_end) is its text, [content_end, end) its ending
// (CRLF, LF, CR, or nothing on a last line without one).
struct Line {
  size_t begin;
  size_t content_end;
  size_t end;
  bool has_ending() const { return content_end != end; }
};

template <typename Char>
Line LineAt(Text<Char> text, size_t begin) {
  size_t pos = begin;
  while (pos < text.size() && text[pos] != Char('\r') && text[pos] != Char('\n')) ++pos;
  size_t end = pos;
  if (end < text.size()) {
    end +=
        (text[end] == Char('\r') && end + 1 < text.size() && text[end + 1] == Char('\n')) ? 2 : 1;
  }
  return {begin, pos, end};
}

enum class LineKind { kBlank, kComment, kSection, kKey };

template <typename Char>
struct ParsedLine {
  LineKind kind;
  Text<Char> name;  // section or key name, trimmed
  size_t key_end;   // for a key line: where its `=` is, or where the name ends
  bool has_equals;
};

template <typename Char>
ParsedLine<Char> Parse(Text<Char> content) {
  size_t first = 0;
  while (first < content.size() && IsBlank(content[first])) ++first;
  if (first == content.size()) return {LineKind::kBlank, {}, 0, false};
  if (content[first] == Char(';')) return {LineKind::kComment, {}, 0, false};
  if (content[first] == Char('[')) {
    Text<Char> rest = content.substr(first + 1);
    return {LineKind::kSection, TrimBlanks(rest.substr(0, rest.find(Char(']')))), 0, false};
  }
  const size_t equals = content.find(Char('='));
  if (equals == Text<Char>::npos) {
    const Text<Char> name = TrimBlanks(content);
    return {LineKind::kKey, name, static_cast<size_t>(name.data() + name.size() - content.data()),
            false};
  }
  return {LineKind::kKey, TrimBlanks(content.substr(0, equals)), equals, true};
}

template <typename Char>
std::basic_string<Char> Widen(std::string_view ascii) {
  std::basic_string<Char> wide;
  wide.reserve(ascii.size());
  for (const char c : ascii) wide.push_back(static_cast<Char>(static_cast<unsigned char>(c)));
  return wide;
}

template <typename Char>
struct WideEntry {
  std::basic_string<Char> section, key, value;
  explicit WideEntry(const Entry& entry)
      : section(Widen<Char>(entry.section)),
        key(Widen<Char>(entry.key)),
        value(Widen<Char>(entry.value)) {}
};

// A splice in code units.
template <typename Char>
struct TextSplice {
  size_t begin;
  size_t end;
  std::basic_string<Char> text;
};

// The edit itself, on code units. The lines start at `start`; what comes
// before (a byte order mark) is kept as it is. Returns nothing when the value
// is already what a reader gets.
template <typename Char>
std::optional<TextSplice<Char>> PlanInText(Text<Char> text, size_t start,
                                           const WideEntry<Char>& entry) {
  using String = std::basic_string<Char>;
  const Line first_line = LineAt(text, start);
  const String line_break =
      first_line.has_ending()
          ? String(text.substr(first_line.content_end, first_line.end - first_line.content_end))
          : Widen<Char>("\r\n");

  bool in_section = false;
  Line insert_after{};  // the section's header or its last key line
  for (size_t pos = start; pos < text.size();) {
    const Line line = LineAt(text, pos);
    pos = line.end;
    const Text<Char> content = text.substr(line.begin, line.content_end - line.begin);
    const ParsedLine<Char> parsed = Parse(content);
    if (parsed.kind == LineKind::kSection) {
      if (in_section) break;  // past the end of the section we want
      in_section = SameName<Char>(parsed.name, entry.section);
      if (in_section) insert_after = line;
      continue;
    }
    if (!in_section || parsed.kind != LineKind::kKey) continue;
    insert_after = line;
    if (!SameName<Char>(parsed.name, entry.key)) continue;

    // The key's first line: replace its value, keeping the key's spelling
    // and the blanks after `=`.
    if (!parsed.has_equals) {
      return TextSplice<Char>{line.begin + parsed.key_end, line.content_end,
                              Char('=') + entry.value};
    }
    if (ValueAsRead(content.substr(parsed.key_end + 1)) == Text<Char>(entry.value)) {
      return std::nullopt;
    }
    size_t value_begin = parsed.key_end + 1;
    while (value_begin < content.size() && IsBlank(content[value_begin])) ++value_begin;
    return TextSplice<Char>{line.begin + value_begin, line.content_end, entry.value};
  }

  const size_t at = in_section ? insert_after.end : text.size();
  String added;
  // A last line without an ending gets one before anything follows it.
  if (at == text.size() && at > start && text.back() != Char('\n') && text.back() != Char('\r')) {
    added = line_break;
  }
  if (!in_section) added += Char('[') + entry.section + Char(']') + line_break;
  added += entry.key + Char('=') + entry.value + line_break;
  return TextSplice<Char>{at, at, std::move(added)};
}

enum class ByteOrder { kLittleEndian, kBigEndian };

char16_t ReadUnit(std::string_view bytes, size_t i, ByteOrder order) {
  const auto lo = static_cast<unsigned char>(bytes[order == ByteOrder::kLittleEndian ? i : i + 1]);
  const auto hi = static_cast<unsigned char>(bytes[order == ByteOrder::kLittleEndian ? i + 1 : i]);
  return static_cast<char16_t>(lo | (hi << 8));
}

void AppendUnit(std::string& bytes, char16_t unit, ByteOrder order) {
  const char lo = static_cast<char>(unit & 0xFF);
  const char hi = static_cast<char>(unit >> 8);
  if (order == ByteOrder::kLittleEndian) {
    bytes.push_back(lo);
    bytes.push_back(hi);
  } else {
    bytes.push_back(hi);
    bytes.push_back(lo);
  }
}

Plan PlanInUtf16(std::string_view original, ByteOrder order, const Entry& entry) {
  constexpr size_t kBomSize = 2;
  const std::string_view body = original.substr(kBomSize);
  if (body.size() % 2 != 0) return {EditStatus::kUnreadable, {}};
  std::u16string units;
  units.reserve(body.size() / 2);
  for (size_t i = 0; i < body.size(); i += 2) units.push_back(ReadUnit(body, i, order));
  const auto planned = PlanInText<char16_t>(units, 0, WideEntry<char16_t>(entry));
  if (!planned) return {EditStatus::kAlreadySet, {}};
  Splice splice{kBomSize + 2 * planned->begin, kBomSize + 2 * planned->end, {}};
  splice.text.reserve(2 * planned->text.size());
  for (const char16_t unit : planned->text) AppendUnit(splice.text, unit, order);
  return {EditStatus::kEdited, std::move(splice)};
}

}  // namespace

bool IsWritable(const Entry& entry) {
  const auto single_line = [](std::string_view text) {
    return text.find_first_of("\r\n") == std::string_view::npos;
  };
  const std::string_view key = TrimBlanks(entry.key);
  const std::string_view section = TrimBlanks(entry.section);
  return single_line(entry.section) && single_line(entry.key) && single_line(entry.value) &&
         !section.empty() && section.find(']') == std::string_view::npos && !key.empty() &&
         key.find('=') == std::string_view::npos && key.front() != '[' && key.front() != ';';
}

Plan PlanEntry(std::string_view original, const Entry& entry) {
  constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
  if (original.starts_with("\xFF\xFE"))
    return PlanInUtf16(original, ByteOrder::kLittleEndian, entry);
  if (original.starts_with("\xFE\xFF")) return PlanInUtf16(original, ByteOrder::kBigEndian, entry);
  const size_t start = original.starts_with(kUtf8Bom) ? kUtf8Bom.size() : 0;
  auto planned = PlanInText<char>(original, start, WideEntry<char>(entry));
  if (!planned) return {EditStatus::kAlreadySet, {}};
  return {EditStatus::kEdited, {planned->begin, planned->end, std::move(planned->text)}};
}

Edit SetEntry(std::string_view original, const Entry& entry) {
  const Plan plan = PlanEntry(original, entry);
  if (plan.status != EditStatus::kEdited) return {plan.status, {}};
  const Splice& splice = plan.splice;
  std::string content;
  content.reserve(original.size() - (splice.end - splice.begin) + splice.text.size());
  content.append(original.substr(0, splice.begin))
      .append(splice.text)
      .append(original.substr(splice.end));
  return {EditStatus::kEdited, std::move(content)};
}

}  // namespace profile
