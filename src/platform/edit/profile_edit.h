// Setting one entry of a profile (.ini) file, as a function from the file's
// bytes to its new bytes. It follows the platform's profile-file conventions
// and changes nothing but the entry's own line or the lines it adds.
#ifndef KAVRO_PLATFORM_EDIT_PROFILE_EDIT_H_
#define KAVRO_PLATFORM_EDIT_PROFILE_EDIT_H_

#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace profile {

// Section and key are single-line names: no CR or LF, no blanks at their
// ends (readers trim them), a section without `]`, a key without `=` that
// does not start with `[` or `;`. The value is a single line that reads as
// itself: no blanks at its ends and not in a pair of quotes. Characters of
// 8-bit text are taken as Latin-1 where they go into a UTF-16 file.
struct Entry {
  std::string_view section;
  std::string_view key;
  std::string_view value;
};

// Whether `entry` can be written by SetEntry at all.
bool IsWritable(const Entry& entry);

enum class EditStatus {
  kAlreadySet,   // both readers already get the value: nothing to write
  kEdited,       // the plan's splices make the new file
  kUnreadable,   // a UTF-16 file with an odd number of bytes: left alone
  kConflicting,  // no edit gives both readers the value without changing
                 // another entry: left alone
};

// One change: the bytes [begin, end) of the file give way to `text`.
struct Splice {
  size_t begin = 0;
  size_t end = 0;
  std::string text;
  bool operator==(const Splice&) const = default;
};

struct Plan {
  EditStatus status;
  std::vector<Splice> splices;  // when kEdited: in file order, none overlapping
  bool operator==(const Plan&) const = default;
};

// Plans the change that sets `entry` in the file `original` so that both
// readers that may open it, Windows' and Wine's (profile_rules.h says where
// they differ), get the value, and every entry that neither of them takes
// for this one reads as before under each:
//  - a section header is a line whose first non-blank character is `[`;
//  - a key is the text before a line's first `=` (the whole line when it has
//    none); its value is the text after, trimmed and one pair of quotes
//    dropped;
//  - names match without regard to ASCII case; only the first section of a
//    name and, in it, the first line of a key count.
// An existing key keeps its line up to the value; a missing key goes right
// after the section's last key line; a missing section goes at the end.
// Where the readers find the same line (nearly every file) that is one
// splice; where they do not, each gets the change it needs.
// Lines end in CRLF, LF or CR, each keeping its own; added lines take the
// file's first line ending, or CRLF. UTF-16 files (by their byte order mark)
// stay UTF-16; a UTF-8 mark is kept; other bytes are never re-encoded.
// Requires IsWritable(entry).
Plan PlanEntry(std::string_view original, const Entry& entry);

// PlanEntry for a file read from its start a part at a time. It holds none
// of the file, however long its lines, and needs it only up to the end of
// the entry's section for both readers (for a UTF-16 file, whose number of
// bytes decides whether it can be read at all, to the end).
class EntryPlanner {
 public:
  explicit EntryPlanner(const Entry& entry);
  ~EntryPlanner();
  EntryPlanner(const EntryPlanner&) = delete;
  EntryPlanner& operator=(const EntryPlanner&) = delete;

  // Room for the file's next bytes, at least one.
  std::span<char> Room();
  // Takes the `count` bytes put at the start of Room(); returns false once
  // the plan needs no more of the file.
  bool Took(size_t count);
  // The plan, once the file has ended or Took returned false.
  Plan Finish();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace profile

#endif  // KAVRO_PLATFORM_EDIT_PROFILE_EDIT_H_
