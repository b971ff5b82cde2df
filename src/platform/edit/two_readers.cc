// Every change here writes the value on a line that a reader then takes for
// the entry: its key's line, or a line it adds. So every other entry reads
// as before under each reader, but one on such a line, which may change
// with the entry; and whether a change serves a reader comes down to where
// that reader found the entry, without reading the file again.
#include "platform/edit/two_readers.h"

#include <optional>

namespace profile {
namespace {

using Added = Change::Added;

// The change that gives a reader which finds the entry as `found` the value.
Change ChangeFor(const Found& found, const FileShape& shape) {
  if (found.key) {
    // The key's first line: its value is replaced, keeping the key's
    // spelling and the blanks after `=`.
    return {found.value_begin, found.key->content_end,
            found.has_equals ? Added::kValue : Added::kEqualsAndValue, false};
  }
  const size_t at = found.in_section ? found.insert_after.end : shape.end;
  return {at, at, found.in_section ? Added::kKeyLine : Added::kSectionAndKeyLine,
          at == shape.end && shape.last_line_open};
}

// Whether `reader` takes a key line added at the line boundary `at` for the
// entry: it falls into the reader's section, before any line of the key.
bool TakesLineAddedAt(const Found& reader, size_t at) {
  return reader.in_section && at >= reader.header.end &&
         at <= (reader.key ? reader.key->begin : reader.section_end);
}

// Whether `reader` takes the line that `writer`'s change writes for the entry.
bool TakesLineOf(const Found& reader, const Found& writer, const Change& change) {
  if (writer.key) {
    // Another line of the reader's section than its key's, before it; the
    // reader would have found it already but where the change adds `=`.
    const size_t line = writer.key->begin;
    return writer.other_reads_key_once_written && reader.in_section && line >= reader.header.end &&
           line < (reader.key ? reader.key->begin : reader.section_end);
  }
  if (writer.in_section) return TakesLineAddedAt(reader, change.begin);
  // A section added at the end is the first of its name only for a reader
  // that has none.
  return !reader.in_section;
}

// Where one change gives both readers the value, as nearly always: where
// both take the same line for the key; where both miss the key in the
// section under the same header, after the earlier of their last key lines,
// which lies in the section for both (they may see a line after it
// differently: a comment for Windows is a key for Wine); where both miss
// the section, at the end.
const Found* OnePlaceForBoth(const Found& windows, const Found& wine) {
  if (windows.in_section != wine.in_section) return nullptr;
  if (!windows.in_section) return &windows;
  if (windows.key || wine.key) {
    const bool same_line = windows.key && wine.key && windows.key->begin == wine.key->begin;
    return same_line ? &windows : nullptr;
  }
  if (windows.header.begin != wine.header.begin) return nullptr;
  return windows.insert_after.end <= wine.insert_after.end ? &windows : &wine;
}

// `first`'s change, and the one `second` still needs once it is made (the
// same as before it: `first`'s line is none that `second` takes), in file
// order; nothing where the second falls into the first one's new text.
std::optional<std::vector<Change>> TwoChanges(const Found& first, const Found& second,
                                              const FileShape& shape) {
  const Change first_change = ChangeFor(first, shape);
  // The second reader's last key line is the file's open last line, which
  // the first change has just given its ending.
  if (first_change.line_break_first && !second.key && second.in_section &&
      second.insert_after.end == shape.end) {
    return std::nullopt;
  }
  // Lines added at the end close the file's last line; a value does not.
  FileShape after_first = shape;
  const bool adds_lines =
      first_change.added == Added::kKeyLine || first_change.added == Added::kSectionAndKeyLine;
  if (adds_lines && first_change.begin == shape.end) after_first.last_line_open = false;
  const Change second_change = ChangeFor(second, after_first);
  if (second_change.added != Added::kSectionAndKeyLine && second_change.end <= first_change.begin) {
    return std::vector{second_change, first_change};
  }
  return std::vector{first_change, second_change};
}

}  // namespace

Decision DecideEdit(const Found& windows, const Found& wine, const FileShape& shape) {
  if (windows.set && wine.set) return {EditStatus::kAlreadySet, {}, shape.line_break};
  if (const Found* place = OnePlaceForBoth(windows, wine)) {
    return {EditStatus::kEdited, {ChangeFor(*place, shape)}, shape.line_break};
  }
  // Where the readers disagree, one reader's change still serves both where
  // the other already gets the value or takes the line it writes; otherwise
  // each gets its own, in whichever order fits.
  if (!windows.set) {
    const Change change = ChangeFor(windows, shape);
    if (wine.set || TakesLineOf(wine, windows, change))
      return {EditStatus::kEdited, {change}, shape.line_break};
  }
  if (!wine.set) {
    const Change change = ChangeFor(wine, shape);
    if (windows.set || TakesLineOf(windows, wine, change))
      return {EditStatus::kEdited, {change}, shape.line_break};
  }
  if (!windows.set && !wine.set) {
    for (auto both : {TwoChanges(windows, wine, shape), TwoChanges(wine, windows, shape)}) {
      if (both) return {EditStatus::kEdited, std::move(*both), shape.line_break};
    }
  }
  return {EditStatus::kConflicting, {}, shape.line_break};
}

}  // namespace profile
