#include "platform/edit/entry_finding.h"

namespace profile {

void Finder::Take(const Line& line, const LineFacts& own, const LineFacts& other) {
  if (done_) return;
  if (own.kind == LineKind::kSection) {
    if (found_.in_section) {
      // Past the end of the section.
      found_.section_end = line.begin;
      done_ = true;
      return;
    }
    if (own.names_section) {
      found_.in_section = true;
      found_.header = line;
      found_.insert_after = line;
    }
    return;
  }
  if (!found_.in_section || own.kind != LineKind::kKey) return;
  found_.insert_after = line;
  if (!own.names_key) return;
  found_.key = line;
  found_.has_equals = own.has_equals;
  found_.value_begin = line.begin + own.value_begin;
  found_.set = own.set;
  // With `=` the text before it stays, and so does the other reader's name
  // for the line. Without, `=` goes right after this reader's name: the
  // other reader then sees that name where it starts at the same place,
  // that is where nothing but blanks of both readers come before it.
  found_.other_reads_key_once_written = own.has_equals ? other.names_key : other.first == own.first;
  done_ = true;
}

void Finder::End(size_t end) {
  if (found_.in_section && !done_) found_.section_end = end;
  done_ = true;
}

}  // namespace profile
