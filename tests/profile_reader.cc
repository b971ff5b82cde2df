#include "profile_reader.h"

#include <map>
#include <set>

namespace reader {
namespace {

bool Blank(char16_t c, Rules rules) {
  return c == u' ' || c == u'\t' ||
         (rules == Rules::kWine && (c == u'\v' || c == u'\f' || c == u'\x1a'));
}

std::u16string_view Trim(std::u16string_view s, Rules rules = Rules::kWindows) {
  while (!s.empty() && Blank(s.front(), rules)) s.remove_prefix(1);
  while (!s.empty() && Blank(s.back(), rules)) s.remove_suffix(1);
  return s;
}

// A name or value as the reader keeps it, once trimmed: Wine keeps C
// strings, which a NUL ends.
std::u16string_view Kept(std::u16string_view s, Rules rules) {
  return rules == Rules::kWine ? s.substr(0, s.find(u'\0')) : s;
}

// The name in a header line (trimmed, starting with `[`), or nothing when
// the line is no header for these rules.
std::optional<std::u16string_view> HeaderName(std::u16string_view line, Rules rules) {
  const std::u16string_view inside = line.substr(1);
  const size_t end = rules == Rules::kWine ? inside.rfind(u']') : inside.find(u']');
  if (end == std::u16string_view::npos && rules == Rules::kWine) return std::nullopt;
  return Kept(Trim(inside.substr(0, end), rules), rules);
}

std::u16string Upper(std::u16string_view s) {
  std::u16string upper(s);
  for (char16_t& c : upper) {
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
  }
  return upper;
}

std::vector<std::u16string_view> SplitLines(std::u16string_view text) {
  std::vector<std::u16string_view> lines;
  size_t begin = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != u'\r' && text[i] != u'\n') continue;
    lines.push_back(text.substr(begin, i - begin));
    if (text[i] == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n') ++i;
    begin = i + 1;
  }
  if (begin < text.size()) lines.push_back(text.substr(begin));
  return lines;
}

}  // namespace

std::u16string Widen(std::string_view ascii) {
  std::u16string wide;
  for (const char c : ascii) wide.push_back(static_cast<unsigned char>(c));
  return wide;
}

std::u16string Decode(std::string_view file) {
  const bool little = file.starts_with("\xFF\xFE");
  const bool big = file.starts_with("\xFE\xFF");
  if (!little && !big) return Widen(file.starts_with("\xEF\xBB\xBF") ? file.substr(3) : file);
  std::u16string units;
  for (size_t i = 2; i + 1 < file.size(); i += 2) {
    const auto first = static_cast<unsigned char>(file[i]);
    const auto second = static_cast<unsigned char>(file[i + 1]);
    units.push_back(static_cast<char16_t>(little ? first | second << 8 : second | first << 8));
  }
  return units;
}

std::vector<Entry> ReadEntries(std::string_view file, Rules rules) {
  const std::u16string text = Decode(file);
  std::vector<Entry> entries;
  std::optional<std::u16string> section;
  int header = 0;
  std::map<std::u16string, int> first_header;  // by folded name
  std::set<std::u16string> seen_keys;          // folded "section|key"
  size_t line_number = 0;
  for (const std::u16string_view raw : SplitLines(text)) {
    const size_t line_index = line_number++;
    const std::u16string_view line = Trim(raw, rules);
    if (line.empty() || (line.front() == u';' && rules == Rules::kWindows)) continue;
    if (line.front() == u'[') {
      if (const std::optional<std::u16string_view> name = HeaderName(line, rules)) {
        section = std::u16string(*name);
        first_header.emplace(Upper(*section), ++header);
        continue;
      }
    }
    if (!section) continue;
    const size_t equals = line.find(u'=');
    std::u16string_view value = equals == std::u16string_view::npos
                                    ? std::u16string_view()
                                    : Kept(Trim(line.substr(equals + 1), rules), rules);
    if (value.size() >= 2 && (value.front() == u'"' || value.front() == u'\'') &&
        value.back() == value.front()) {
      value = value.substr(1, value.size() - 2);
    }
    const std::u16string key(Kept(Trim(line.substr(0, equals), rules), rules));
    const bool visible = first_header[Upper(*section)] == header &&
                         seen_keys.insert(Upper(*section) + u'|' + Upper(key)).second;
    entries.push_back({*section, key, std::u16string(value), visible, line_index});
  }
  return entries;
}

std::optional<std::u16string> Lookup(const std::vector<Entry>& entries, std::u16string_view section,
                                     std::u16string_view key) {
  for (const Entry& entry : entries) {
    if (entry.visible && Upper(entry.section) == Upper(section) && Upper(entry.key) == Upper(key)) {
      return entry.value;
    }
  }
  return std::nullopt;
}

std::set<size_t> LinesOf(std::string_view file, std::u16string_view section,
                         std::u16string_view key) {
  std::set<size_t> lines;
  for (const Rules rules : {Rules::kWindows, Rules::kWine}) {
    for (const Entry& entry : ReadEntries(file, rules)) {
      if (entry.visible && Upper(entry.section) == Upper(section) &&
          Upper(entry.key) == Upper(key)) {
        lines.insert(entry.line);
      }
    }
  }
  return lines;
}

std::map<std::u16string, Reading> Visible(const std::vector<Entry>& entries) {
  std::map<std::u16string, Reading> visible;
  for (const Entry& entry : entries) {
    if (entry.visible) {
      visible.emplace(Upper(entry.section) + u'|' + Upper(entry.key),
                      Reading{entry.value, entry.line});
    }
  }
  return visible;
}

}  // namespace reader
