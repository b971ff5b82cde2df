#include "platform/edit/streaming_planner.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace profile {
namespace {

template <typename Char>
std::basic_string<Char> Widen(std::string_view text) {
  std::basic_string<Char> wide;
  for (const char c : text) wide.push_back(static_cast<Char>(static_cast<unsigned char>(c)));
  return wide;
}

// Where the line that holds `at` begins, if nothing but blanks (Wine's
// include Windows') come before `at` on it; nothing otherwise. `line_start`
// is a line's start at or before `at`.
template <typename Char>
std::optional<size_t> BlankLineStartBefore(Text<Char> units, size_t line_start, size_t at) {
  while (at > line_start && !IsLineBreak(units[at - 1]) && WineRules::IsBlank(units[at - 1])) --at;
  if (at == line_start || IsLineBreak(units[at - 1])) return at;
  return std::nullopt;
}

// Whether the line whose `[` is at `bracket` may name the section for a
// reader: what follows the `[` and blanks (Wine's include Windows') is the
// section's first unit, or lies in the next part. Anything else, a `]` or
// the line's end too, makes the line another section's header, or a key,
// for both readers, as the section starts with neither a blank nor a `]`.
template <typename Char>
bool MayNameSection(Text<Char> units, size_t bracket, Char section_first) {
  size_t i = bracket + 1;
  while (i < units.size() && !IsLineBreak(units[i]) && WineRules::IsBlank(units[i])) ++i;
  return i == units.size() || FoldAsciiCase(units[i]) == FoldAsciiCase(section_first);
}

// Where `c` is first in `units` at or after `from`, or their end: what
// `known` holds where it is still ahead, as a part may hold many lines
// that end in the other character.
size_t FindFrom(Text<char> units, size_t from, char c, size_t& known) {
  if (known == Text<char>::npos || known < from) {
    const void* found = std::memchr(units.data() + from, c, units.size() - from);
    known =
        found ? static_cast<size_t>(static_cast<const char*>(found) - units.data()) : units.size();
  }
  return known;
}

}  // namespace

// Bytes are looked through by memchr, as a line may be very long.
template <typename Char>
size_t StreamingPlanner<Char>::FindLineBreak(Text<Char> units, size_t from) {
  if constexpr (sizeof(Char) == 1) {
    return std::min(FindFrom(units, from, '\n', next_lf_), FindFrom(units, from, '\r', next_cr_));
  } else {
    while (from < units.size() && !IsLineBreak(units[from])) ++from;
    return from;
  }
}

template <typename Char>
StreamingPlanner<Char>::StreamingPlanner(const Entry& entry, size_t start)
    : wanted_{Widen<Char>(entry.section), Widen<Char>(entry.key), Widen<Char>(entry.value)},
      windows_reading_(wanted_),
      wine_reading_(wanted_),
      start_(start),
      pos_(start) {}

template <typename Char>
bool StreamingPlanner<Char>::OnlyHeadersWanted() const {
  return first_line_read_ && windows_.NeedsOnlyHeaders() && wine_.NeedsOnlyHeaders();
}

template <typename Char>
bool StreamingPlanner<Char>::Take(Text<Char> units) {
  if (!wanting_ || units.empty()) return wanting_;
  last_ = units.back();
  next_lf_ = next_cr_ = Text<Char>::npos;
  size_t i = 0;
  if (pending_cr_) {
    pending_cr_ = false;
    const bool lf = units[0] == Char('\n');
    i = lf ? 1 : 0;
    EndLine({line_begin_, content_end_, pos_ + i}, lf ? LineBreak::kCrLf : LineBreak::kCr);
  }
  while (wanting_ && i < units.size()) {
    if (!in_line_) {
      if (OnlyHeadersWanted()) {
        i = SkipToPossibleHeader(units, i);
        continue;
      }
      StartLine(pos_ + i);
    }
    i = ReadLine(units, i);
  }
  pos_ += units.size();
  return wanting_;
}

template <typename Char>
size_t StreamingPlanner<Char>::SkipToPossibleHeader(Text<Char> units, size_t i) {
  if (skip_rest_of_line_) {
    const size_t line_break = FindLineBreak(units, i);
    if (line_break == units.size()) return line_break;
    skip_rest_of_line_ = false;
    i = line_break + 1;  // an LF after a CR makes an empty line here: no header
  }
  for (size_t bracket = units.find(Char('['), i); bracket != Text<Char>::npos;
       bracket = units.find(Char('['), bracket + 1)) {
    const std::optional<size_t> line = BlankLineStartBefore(units, i, bracket);
    if (line && MayNameSection(units, bracket, wanted_.section.front())) {
      StartLine(pos_ + *line);
      return *line;
    }
  }
  // The last line may go on into the next part: where all of it so far is
  // blank, it is read from here on.
  if (const std::optional<size_t> line = BlankLineStartBefore(units, i, units.size())) {
    if (*line < units.size()) StartLine(pos_ + *line);
    return *line;
  }
  skip_rest_of_line_ = true;
  return units.size();
}

template <typename Char>
void StreamingPlanner<Char>::StartLine(size_t begin) {
  in_line_ = true;
  line_begin_ = begin;
  windows_reading_.Start();
  wine_reading_.Start();
}

template <typename Char>
size_t StreamingPlanner<Char>::ReadLine(Text<Char> units, size_t i) {
  const size_t line_break = FindLineBreak(units, i);
  const Text<Char> content = units.substr(i, line_break - i);
  windows_reading_.Feed(content);
  wine_reading_.Feed(content);
  if (line_break == units.size()) return line_break;
  const size_t content_end = pos_ + line_break;
  if (units[line_break] == Char('\n')) {
    EndLine({line_begin_, content_end, content_end + 1}, LineBreak::kLf);
    return line_break + 1;
  }
  if (line_break + 1 == units.size()) {
    pending_cr_ = true;
    content_end_ = content_end;
    return units.size();
  }
  const bool lf = units[line_break + 1] == Char('\n');
  EndLine({line_begin_, content_end, content_end + (lf ? 2 : 1)},
          lf ? LineBreak::kCrLf : LineBreak::kCr);
  return line_break + (lf ? 2 : 1);
}

template <typename Char>
void StreamingPlanner<Char>::EndLine(const Line& line, std::optional<LineBreak> ending) {
  in_line_ = false;
  if (!first_line_read_) {
    first_line_read_ = true;
    first_line_break_ = ending;
  }
  const LineFacts& windows = windows_reading_.End();
  const LineFacts& wine = wine_reading_.End();
  windows_.Take(line, windows, wine);
  wine_.Take(line, wine, windows);
  wanting_ = !(first_line_read_ && windows_.done() && wine_.done());
}

template <typename Char>
Decision StreamingPlanner<Char>::Finish() {
  FileShape shape;
  if (wanting_) {
    // The text has ended, and with it its last line.
    if (pending_cr_) {
      EndLine({line_begin_, content_end_, pos_}, LineBreak::kCr);
    } else if (in_line_) {
      EndLine({line_begin_, pos_, pos_}, std::nullopt);
    }
    windows_.End(pos_);
    wine_.End(pos_);
    shape.end = pos_;
    shape.last_line_open = pos_ > start_ && !IsLineBreak(last_);
  }
  shape.line_break = first_line_break_.value_or(LineBreak::kCrLf);
  return DecideEdit(windows_.found(), wine_.found(), shape);
}

template class StreamingPlanner<char>;
template class StreamingPlanner<char16_t>;

}  // namespace profile
