// Setting one entry of a profile (.ini) file, as a function from the file's
// bytes to its new bytes. It follows the platform's profile-file conventions
// and changes nothing but the entry's own line or the lines it adds.
#ifndef KAVRO_PLATFORM_PROFILE_EDIT_H_
#define KAVRO_PLATFORM_PROFILE_EDIT_H_

#include <string>
#include <string_view>

namespace profile {

// Section and key are single-line names: no CR or LF, a section without `]`,
// a key without `=` that does not start with `[` or `;`. The value is a
// single line too. Characters of 8-bit text are taken as Latin-1 where they
// go into a UTF-16 file.
struct Entry {
  std::string_view section;
  std::string_view key;
  std::string_view value;
};

// Whether `entry` can be written by SetEntry at all.
bool IsWritable(const Entry& entry);

enum class EditStatus {
  kAlreadySet,  // a reader already gets the value: nothing to write
  kEdited,      // `content` holds the new file
  kUnreadable,  // a UTF-16 file with an odd number of bytes: left alone
};

// The one change an edit makes: the bytes [begin, end) of the file give way
// to `text`. Everything before and after stays as it is.
struct Splice {
  size_t begin = 0;
  size_t end = 0;
  std::string text;
};

struct Plan {
  EditStatus status;
  Splice splice;  // when status is kEdited
};

// Plans the change that sets `entry` in the file `original`, following the
// conventions
// that every profile reader shares:
//  - a section header is a line whose first non-blank character is `[`; its
//    name runs to the first `]` (or the end of the line), blanks trimmed;
//  - a line whose first non-blank character is `;` is a comment;
//  - a key is the text before a line's first `=` (the whole line when it has
//    none), blanks trimmed; its value is the text after, blanks trimmed and
//    one pair of surrounding quotes dropped;
//  - names match without regard to ASCII case; only the first section of a
//    name and, in it, the first line of a key count.
// An existing key keeps its line up to the value; a missing key goes right
// after the section's last key line; a missing section goes at the end.
// Lines end in CRLF, LF or CR, each keeping its own; added lines take the
// file's first line ending, or CRLF. UTF-16 files (by their byte order mark)
// stay UTF-16; a UTF-8 mark is kept; other bytes are never re-encoded.
// Requires IsWritable(entry).
Plan PlanEntry(std::string_view original, const Entry& entry);

struct Edit {
  EditStatus status;
  std::string content;  // the whole new file when status is kEdited
};

// The file `original` with `entry` set: PlanEntry applied.
Edit SetEntry(std::string_view original, const Entry& entry);

}  // namespace profile

#endif  // KAVRO_PLATFORM_PROFILE_EDIT_H_
