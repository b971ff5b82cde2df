// The edit that gives both readers the value, decided from where each finds
// the entry: one change where they agree, one for each where they do not.
#ifndef KAVRO_PLATFORM_EDIT_TWO_READERS_H_
#define KAVRO_PLATFORM_EDIT_TWO_READERS_H_

#include <cstddef>
#include <vector>

#include "platform/edit/entry_finding.h"
#include "platform/edit/profile_edit.h"

namespace profile {

enum class LineBreak { kCrLf, kLf, kCr };

// What lines added to the file need to know of it.
struct FileShape {
  LineBreak line_break = LineBreak::kCrLf;  // its first line's ending, or CRLF
  // Its size, where it was read to its end; no change goes there otherwise.
  size_t end = kNotReadToEnd;
  bool last_line_open = false;  // its last line has no ending
  static constexpr size_t kNotReadToEnd = static_cast<size_t>(-1);
};

// One change, in code units: [begin, end) gives way to what `added` says.
struct Change {
  enum class Added {
    kValue,              // the value
    kEqualsAndValue,     // `=` and the value, after a key without one
    kKeyLine,            // a line of the key and value
    kSectionAndKeyLine,  // the section's header, then the key's line
  };
  size_t begin = 0;
  size_t end = 0;
  Added added = Added::kValue;
  bool line_break_first = false;  // the file's open last line gets its ending first
};

struct Decision {
  EditStatus status;
  std::vector<Change> changes;  // when kEdited: in file order, none overlapping
  LineBreak line_break;         // what the added lines end with
};

Decision DecideEdit(const Found& windows, const Found& wine, const FileShape& shape);

}  // namespace profile

#endif  // KAVRO_PLATFORM_EDIT_TWO_READERS_H_
