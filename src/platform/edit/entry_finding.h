// Where one reader finds the entry, taken line by line from what it makes
// of each line. Positions count code units from the file's start.
#ifndef KAVRO_PLATFORM_EDIT_ENTRY_FINDING_H_
#define KAVRO_PLATFORM_EDIT_ENTRY_FINDING_H_

#include <cstddef>
#include <optional>

namespace profile {

// One line: [begin, content_end) is its text, [content_end, end) its ending
// (CRLF, LF, CR, or nothing on a last line without one).
struct Line {
  size_t begin = 0;
  size_t content_end = 0;
  size_t end = 0;
};

enum class LineKind { kBlank, kComment, kSection, kKey };

// What one reader makes of one line, as far as the entry goes. Offsets count
// from the line's start.
struct LineFacts {
  LineKind kind = LineKind::kBlank;
  bool names_section = false;  // a header of the entry's section
  bool names_key = false;      // a line of the entry's key; then:
  bool has_equals = false;
  size_t first = 0;        // the first non-blank unit (the line's length when blank)
  size_t key_end = 0;      // where `=` is, or where the name ends without one
  size_t value_begin = 0;  // where a new value goes: past `=` and the blanks
                           // after it, which every reader skips, or key_end
  bool set = false;        // the reader gets the entry's value
};

struct Found {
  bool in_section = false;  // the section is there
  Line header;              // its first header
  size_t section_end = 0;   // without the key: where its next header or the file begins
  Line insert_after;        // the header or the section's last key line
  std::optional<Line> key;  // the key's first line in the section
  bool has_equals = false;  // on that line
  size_t value_begin = 0;   // where a new value goes on that line
  bool set = false;         // the reader gets the value
  // Whether the other reader takes the key's line for a key of the entry's
  // name once this reader's value is written on it (writing `=` where it
  // lacks one may make it so).
  bool other_reads_key_once_written = false;
};

// Follows one reader through the file's lines until it would look no
// further: past the key's first line in the section, or past the section.
class Finder {
 public:
  // `own` is what this reader makes of the line, `other` what the other does.
  void Take(const Line& line, const LineFacts& own, const LineFacts& other);
  // The file ended at `end`.
  void End(size_t end);

  // Whether only a header of the section's name could change what the
  // reader finds: it is outside the section or done.
  bool NeedsOnlyHeaders() const { return done_ || !found_.in_section; }
  bool done() const { return done_; }
  const Found& found() const { return found_; }

 private:
  Found found_;
  bool done_ = false;
};

}  // namespace profile

#endif  // KAVRO_PLATFORM_EDIT_ENTRY_FINDING_H_
