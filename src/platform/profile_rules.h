// How profile readers see the lines of a file, for the profile edit. Two
// readers may open DASYLab.ini: Windows' own, and Wine's when DASYLab runs
// under Wine. They agree on nearly every line and differ in a few shapes:
//  - Windows trims only blanks and tabs around names and values; Wine also
//    trims the other ASCII whitespace (vertical tab, form feed, CR, LF) and
//    Ctrl-Z.
//  - For Windows a line whose first non-blank character is `[` is a section
//    header whose name runs to the first `]` (or to the end of the line);
//    for Wine the name runs to the last `]`, and a line without one is no
//    header but a key.
//  - For Windows a line whose first non-blank character is `;` is a comment;
//    Wine has no comments (such a line is a key nobody asks for).
// Both end lines at CR, LF or CRLF, take a key as the text before a line's
// first `=`, drop one pair of quotes around a value, match names without
// regard to case, and use only the first section of a name and, in it, the
// first line of a key.
#ifndef KAVRO_PLATFORM_PROFILE_RULES_H_
#define KAVRO_PLATFORM_PROFILE_RULES_H_

#include <algorithm>
#include <cstddef>
#include <optional>
#include <string_view>

namespace profile {

// The file's text as code units: bytes for 8-bit and UTF-8 files, 16-bit
// units for UTF-16 files. Lines are found and matched only by ASCII
// characters, so every encoding shares one edit.
template <typename Char>
using Text = std::basic_string_view<Char>;

struct WindowsRules {
  template <typename Char>
  static bool IsBlank(Char c) {
    return c == Char(' ') || c == Char('\t');
  }
  static constexpr bool kHasComments = true;
  // Where a header's name ends, in the text after its `[`.
  template <typename Char>
  static std::optional<size_t> HeaderNameEnd(Text<Char> after_bracket) {
    return std::min(after_bracket.find(Char(']')), after_bracket.size());
  }
};

struct WineRules {
  template <typename Char>
  static bool IsBlank(Char c) {
    return (c >= Char('\t') && c <= Char('\r')) || c == Char(0x1a) || c == Char(' ');
  }
  static constexpr bool kHasComments = false;
  template <typename Char>
  static std::optional<size_t> HeaderNameEnd(Text<Char> after_bracket) {
    const size_t last = after_bracket.rfind(Char(']'));
    return last == Text<Char>::npos ? std::nullopt : std::optional(last);
  }
};

template <typename Rules, typename Char>
Text<Char> Trim(Text<Char> text) {
  while (!text.empty() && Rules::IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && Rules::IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

template <typename Char>
Char FoldAsciiCase(Char c) {
  return (c >= Char('a') && c <= Char('z')) ? Char(c - Char('a') + Char('A')) : c;
}

template <typename Char>
bool SameName(Text<Char> name, Text<Char> wanted) {
  return std::equal(name.begin(), name.end(), wanted.begin(), wanted.end(),
                    [](Char a, Char b) { return FoldAsciiCase(a) == FoldAsciiCase(b); });
}

// What a reader makes of a value: trimmed, then one pair of matching quotes
// dropped.
template <typename Rules, typename Char>
Text<Char> ValueAsRead(Text<Char> raw) {
  Text<Char> value = Trim<Rules>(raw);
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

// Whether a line may be a section header: its first non-blank character is
// `[`. Most lines are not, and need no closer look outside the section.
template <typename Rules, typename Char>
bool MayBeHeader(Text<Char> content) {
  size_t first = 0;
  while (first < content.size() && Rules::IsBlank(content[first])) ++first;
  return first < content.size() && content[first] == Char('[');
}

template <typename Rules, typename Char>
ParsedLine<Char> Parse(Text<Char> content) {
  size_t first = 0;
  while (first < content.size() && Rules::IsBlank(content[first])) ++first;
  if (first == content.size()) return {LineKind::kBlank, {}, 0, false};
  if (Rules::kHasComments && content[first] == Char(';')) {
    return {LineKind::kComment, {}, 0, false};
  }
  if (content[first] == Char('[')) {
    const Text<Char> rest = content.substr(first + 1);
    if (const std::optional<size_t> end = Rules::template HeaderNameEnd<Char>(rest)) {
      return {LineKind::kSection, Trim<Rules>(rest.substr(0, *end)), 0, false};
    }
  }
  const size_t equals = content.find(Char('='));
  if (equals == Text<Char>::npos) {
    const Text<Char> name = Trim<Rules>(content);
    return {LineKind::kKey, name, static_cast<size_t>(name.data() + name.size() - content.data()),
            false};
  }
  return {LineKind::kKey, Trim<Rules>(content.substr(0, equals)), equals, true};
}

}  // namespace profile

#endif  // KAVRO_PLATFORM_PROFILE_RULES_H_
