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
//  - Wine keeps names as C strings: a NUL ends a header's or a key's name
//    where it stands, with nothing trimmed before it. Windows is taken to
//    read a NUL as any other character, so an edit that serves both readers
//    serves either way.
// Both end lines at CR, LF or CRLF, take a key as the text before a line's
// first `=`, drop one pair of quotes around a value, match names without
// regard to case, and use only the first section of a name and, in it, the
// first line of a key.
#ifndef KAVRO_PLATFORM_EDIT_PROFILE_RULES_H_
#define KAVRO_PLATFORM_EDIT_PROFILE_RULES_H_

#include <cstddef>
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
  // Whether a header's name runs to the line's last `]`, and a line without
  // one is no header; else it runs to the first `]` or the line's end.
  static constexpr bool kNameToLastBracket = false;
  // Whether a NUL ends the name of a header or a key.
  static constexpr bool kNulEndsNames = false;
};

struct WineRules {
  template <typename Char>
  static bool IsBlank(Char c) {
    return (c >= Char('\t') && c <= Char('\r')) || c == Char(0x1a) || c == Char(' ');
  }
  static constexpr bool kHasComments = false;
  static constexpr bool kNameToLastBracket = true;
  static constexpr bool kNulEndsNames = true;
};

template <typename Char>
bool IsLineBreak(Char c) {
  return c == Char('\r') || c == Char('\n');
}

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

}  // namespace profile

#endif  // KAVRO_PLATFORM_EDIT_PROFILE_RULES_H_
