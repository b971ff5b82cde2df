// A plain reader of profile files, written apart from the writer so that
// tests can check what the writer produced with the eyes of a reader.
#ifndef KAVRO_TESTS_PROFILE_READER_H_
#define KAVRO_TESTS_PROFILE_READER_H_

#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace reader {

// The file as 16-bit units: UTF-16 by its byte order mark, else each byte
// widened (a UTF-8 mark dropped).
std::u16string Decode(std::string_view file);

struct Entry {
  std::u16string section;  // as spelled in its header
  std::u16string key;      // as spelled in its line
  std::u16string value;    // as a reader returns it
  // Whether a reader can reach it: it is in the first section of its name
  // and is the first line of its key there.
  bool visible;
  size_t line;  // counted from 0
};

// Whose reading rules: Windows' own reader, or Wine's, which also trims
// vertical tab, form feed and Ctrl-Z, ends a header's name at its last `]`
// (a line without one is no header), has no comment lines and ends a
// trimmed name or value at a NUL.
enum class Rules { kWindows, kWine };

// Every entry in file order; lines before the first header are left out.
std::vector<Entry> ReadEntries(std::string_view file, Rules rules = Rules::kWindows);

// The value a reader gets, names compared without regard to ASCII case.
std::optional<std::u16string> Lookup(const std::vector<Entry>& entries, std::u16string_view section,
                                     std::u16string_view key);

// The lines a reader takes for the value of `key` in `section`, under each
// of the two rule sets.
std::set<size_t> LinesOf(std::string_view file, std::u16string_view section,
                         std::u16string_view key);

struct Reading {
  std::u16string value;
  size_t line;
};

// The entries a reader can reach (first section of a name, first key in
// it), by "SECTION|KEY" with names folded to upper case.
std::map<std::u16string, Reading> Visible(const std::vector<Entry>& entries);

std::u16string Widen(std::string_view ascii);

}  // namespace reader

#endif  // KAVRO_TESTS_PROFILE_READER_H_
