#include "platform/profile_edit.h"

#include <cstddef>
#include <map>
#include <optional>
#include <set>
#include <utility>

#include "platform/profile_rules.h"

namespace profile {
namespace {

template <typename Char>
using String = std::basic_string<Char>;

template <typename Char>
String<Char> Widen(std::string_view ascii) {
  String<Char> wide;
  wide.reserve(ascii.size());
  for (const char c : ascii) wide.push_back(static_cast<Char>(static_cast<unsigned char>(c)));
  return wide;
}

template <typename Char>
struct WideEntry {
  String<Char> section, key, value;
  explicit WideEntry(const Entry& entry)
      : section(Widen<Char>(entry.section)),
        key(Widen<Char>(entry.key)),
        value(Widen<Char>(entry.value)) {}
};

// A splice in code units.
template <typename Char>
struct TextSplice {
  size_t begin;
  size_t end;
  String<Char> text;
};

// Where one reader finds the entry.
struct Found {
  bool in_section = false;  // the section is there
  Line insert_after{};      // its header or its last key line
  std::optional<Line> key;  // the key's first line in it
  size_t key_end = 0;       // on that line: where `=` is, or the name ends
  bool has_equals = false;
  bool set = false;  // the reader gets the value
};

// Looks for the entry line by line, as the reader of `Rules` does.
template <typename Rules, typename Char>
class Finder {
 public:
  explicit Finder(const WideEntry<Char>& entry) : entry_(entry) {}

  // Takes the next line; returns false once the reader would look no
  // further.
  bool Take(Text<Char> text, const Line& line) {
    if (done_) return false;
    const Text<Char> content = text.substr(line.begin, line.content_end - line.begin);
    const ParsedLine<Char> parsed = Parse<Rules>(content);
    if (parsed.kind == LineKind::kSection) {
      if (found_.in_section) return !(done_ = true);  // past the end of the section
      found_.in_section = SameName<Char>(parsed.name, entry_.section);
      if (found_.in_section) found_.insert_after = line;
      return true;
    }
    if (!found_.in_section || parsed.kind != LineKind::kKey) return true;
    found_.insert_after = line;
    if (!SameName<Char>(parsed.name, entry_.key)) return true;
    found_.key = line;
    found_.key_end = parsed.key_end;
    found_.has_equals = parsed.has_equals;
    found_.set = parsed.has_equals &&
                 ValueAsRead<Rules>(content.substr(parsed.key_end + 1)) == Text<Char>(entry_.value);
    return !(done_ = true);
  }

  const Found& found() const { return found_; }

 private:
  const WideEntry<Char>& entry_;
  Found found_;
  bool done_ = false;
};

// Where each of `finders` finds the entry, in one pass over the lines. The
// lines start at `start`; what comes before (a byte order mark) is no line.
template <typename Char, typename... Finders>
void FindAll(Text<Char> text, size_t start, Finders&... finders) {
  for (size_t pos = start; pos < text.size();) {
    const Line line = LineAt(text, pos);
    pos = line.end;
    // Every finder takes the line, until none wants more.
    const int wanting = (static_cast<int>(finders.Take(text, line)) + ...);
    if (wanting == 0) return;
  }
}

template <typename Rules, typename Char>
Found Find(Text<Char> text, size_t start, const WideEntry<Char>& entry) {
  Finder<Rules, Char> finder(entry);
  FindAll(text, start, finder);
  return finder.found();
}

// The change that gives a reader which finds the entry as `found` the value.
template <typename Char>
TextSplice<Char> SpliceFor(Text<Char> text, size_t start, const Found& found,
                           const WideEntry<Char>& entry) {
  if (found.key) {
    // The key's first line: its value is replaced, keeping the key's
    // spelling and the blanks after `=`, which every reader skips.
    const Line line = *found.key;
    if (!found.has_equals) {
      return {line.begin + found.key_end, line.content_end, Char('=') + entry.value};
    }
    size_t value_begin = line.begin + found.key_end + 1;
    while (value_begin < line.content_end && WindowsRules::IsBlank(text[value_begin])) {
      ++value_begin;
    }
    return {value_begin, line.content_end, entry.value};
  }
  const Line first_line = LineAt(text, start);
  const String<Char> line_break =
      first_line.has_ending() ? String<Char>(text.substr(first_line.content_end,
                                                         first_line.end - first_line.content_end))
                              : Widen<Char>("\r\n");
  const size_t at = found.in_section ? found.insert_after.end : text.size();
  String<Char> added;
  // A last line without an ending gets one before anything follows it.
  if (at == text.size() && at > start && text.back() != Char('\n') && text.back() != Char('\r')) {
    added = line_break;
  }
  if (!found.in_section) added += Char('[') + entry.section + Char(']') + line_break;
  added += entry.key + Char('=') + entry.value + line_break;
  return {at, at, std::move(added)};
}

// What a reader gets for a key, and whether the key's line is one that a
// reader takes for this entry (such a key may change with it).
template <typename Char>
struct Reading {
  String<Char> value;
  bool on_entry_line;
};

template <typename Char>
using Readings = std::map<String<Char>, Reading<Char>>;

// Every entry a reader can reach (the first section of a name, the first
// line of a key in it) but this one, by "SECTION|KEY".
template <typename Rules, typename Char>
Readings<Char> OtherEntries(Text<Char> text, size_t start, const WideEntry<Char>& entry,
                            const std::set<size_t>& entry_lines) {
  Readings<Char> readings;
  std::set<String<Char>> seen_sections;
  String<Char> section;
  bool first_of_its_name = false;
  for (size_t pos = start; pos < text.size();) {
    const Line line = LineAt(text, pos);
    pos = line.end;
    const Text<Char> content = text.substr(line.begin, line.content_end - line.begin);
    const ParsedLine<Char> parsed = Parse<Rules>(content);
    if (parsed.kind == LineKind::kSection) {
      section.clear();
      for (const Char c : parsed.name) section.push_back(FoldAsciiCase(c));
      first_of_its_name = seen_sections.insert(section).second;
      continue;
    }
    if (parsed.kind != LineKind::kKey || !first_of_its_name ||
        (SameName<Char>(parsed.name, entry.key) && SameName<Char>(section, entry.section))) {
      continue;
    }
    String<Char> key = section + Char('|');
    for (const Char c : parsed.name) key.push_back(FoldAsciiCase(c));
    const Text<Char> value =
        parsed.has_equals ? ValueAsRead<Rules>(content.substr(parsed.key_end + 1)) : Text<Char>();
    readings.emplace(std::move(key),
                     Reading<Char>{String<Char>(value), entry_lines.contains(line.begin)});
  }
  return readings;
}

// Every key reads the same before and after, but where its line before or
// after is one that a reader takes for this entry.
template <typename Char>
bool SameOtherEntries(const Readings<Char>& before, const Readings<Char>& after) {
  for (const auto& [key, old_reading] : before) {
    const auto now = after.find(key);
    if (old_reading.on_entry_line || (now != after.end() && now->second.on_entry_line)) continue;
    if (now == after.end() || now->second.value != old_reading.value) return false;
  }
  for (const auto& [key, new_reading] : after) {
    if (!new_reading.on_entry_line && !before.contains(key)) return false;
  }
  return true;
}

std::set<size_t> EntryLines(const Found& windows, const Found& wine) {
  std::set<size_t> lines;
  for (const Found* found : {&windows, &wine}) {
    if (found->key) lines.insert(found->key->begin);
  }
  return lines;
}

// Whether the edit from `before` to `after` kept the promise: both readers
// get the value, and every other entry reads as before under each.
template <typename Char>
bool KeepsThePromise(Text<Char> before, Text<Char> after, size_t start,
                     const WideEntry<Char>& entry) {
  const Found windows = Find<WindowsRules>(after, start, entry);
  const Found wine = Find<WineRules>(after, start, entry);
  if (!windows.set || !wine.set) return false;
  const std::set<size_t> old_lines =
      EntryLines(Find<WindowsRules>(before, start, entry), Find<WineRules>(before, start, entry));
  const std::set<size_t> new_lines = EntryLines(windows, wine);
  return SameOtherEntries(OtherEntries<WindowsRules>(before, start, entry, old_lines),
                          OtherEntries<WindowsRules>(after, start, entry, new_lines)) &&
         SameOtherEntries(OtherEntries<WineRules>(before, start, entry, old_lines),
                          OtherEntries<WineRules>(after, start, entry, new_lines));
}

template <typename Char>
struct TextPlan {
  EditStatus status;
  std::vector<TextSplice<Char>> splices;
};

template <typename Char>
String<Char> AppliedAll(Text<Char> text, const std::vector<TextSplice<Char>>& splices) {
  String<Char> result;
  size_t kept_from = 0;
  for (const TextSplice<Char>& splice : splices) {
    result.append(text.substr(kept_from, splice.begin - kept_from)).append(splice.text);
    kept_from = splice.end;
  }
  return result.append(text.substr(kept_from));
}

// `first`, one reader's change, and on top of it the change the reader of
// `SecondRules` then still needs, both in terms of `text`; nothing where the
// second change falls into the first one's new text.
template <typename SecondRules, typename Char>
std::optional<std::vector<TextSplice<Char>>> TwoChanges(Text<Char> text, size_t start,
                                                        const WideEntry<Char>& entry,
                                                        TextSplice<Char> first) {
  const String<Char> edited = AppliedAll(text, {first});
  const Found second_reader = Find<SecondRules>(Text<Char>(edited), start, entry);
  TextSplice<Char> second = SpliceFor(Text<Char>(edited), start, second_reader, entry);
  const size_t first_new_end = first.begin + first.text.size();
  if (second.end <= first.begin) return std::vector{std::move(second), std::move(first)};
  if (second.begin < first_new_end) return std::nullopt;
  second.begin -= first_new_end - first.end;
  second.end -= first_new_end - first.end;
  return std::vector{std::move(first), std::move(second)};
}

// Where the readers disagree, one reader's change may still serve both;
// otherwise each gets its own, the second made on top of the first, in
// whichever order fits. The result is checked against the promise.
template <typename Char>
TextPlan<Char> PlanForEachReader(Text<Char> text, size_t start, const WideEntry<Char>& entry,
                                 const Found& windows, const Found& wine) {
  const auto keeps_the_promise = [&](const std::vector<TextSplice<Char>>& splices) {
    return KeepsThePromise<Char>(text, Text<Char>(AppliedAll(text, splices)), start, entry);
  };
  std::vector<std::vector<TextSplice<Char>>> candidates;
  if (!windows.set) candidates.push_back({SpliceFor(text, start, windows, entry)});
  if (!wine.set) candidates.push_back({SpliceFor(text, start, wine, entry)});
  if (!windows.set && !wine.set) {
    for (auto both : {TwoChanges<WineRules>(text, start, entry, candidates[0][0]),
                      TwoChanges<WindowsRules>(text, start, entry, candidates[1][0])}) {
      if (both) candidates.push_back(std::move(*both));
    }
  }
  for (std::vector<TextSplice<Char>>& splices : candidates) {
    if (keeps_the_promise(splices)) return {EditStatus::kEdited, std::move(splices)};
  }
  return {EditStatus::kConflicting, {}};
}

// Both readers usually take the same line for the entry, or miss the key in
// the same section at the same place, or miss the section: then the change
// one needs serves the other.
bool FindTheSamePlace(const Found& windows, const Found& wine) {
  if (windows.in_section != wine.in_section) return false;
  if (!windows.in_section) return true;
  if (windows.key || wine.key) {
    return windows.key && wine.key && windows.key->begin == wine.key->begin;
  }
  return windows.insert_after.begin == wine.insert_after.begin;
}

template <typename Char>
TextPlan<Char> PlanInText(Text<Char> text, size_t start, const WideEntry<Char>& entry) {
  Finder<WindowsRules, Char> windows_finder(entry);
  Finder<WineRules, Char> wine_finder(entry);
  FindAll(text, start, windows_finder, wine_finder);
  const Found& windows = windows_finder.found();
  const Found& wine = wine_finder.found();
  if (windows.set && wine.set) return {EditStatus::kAlreadySet, {}};
  if (FindTheSamePlace(windows, wine)) {
    return {EditStatus::kEdited, {SpliceFor(text, start, windows, entry)}};
  }
  return PlanForEachReader(text, start, entry, windows, wine);
}

enum class ByteOrder { kLittleEndian, kBigEndian };

char16_t ReadUnit(std::string_view bytes, size_t i, ByteOrder order) {
  const auto lo = static_cast<unsigned char>(bytes[order == ByteOrder::kLittleEndian ? i : i + 1]);
  const auto hi = static_cast<unsigned char>(bytes[order == ByteOrder::kLittleEndian ? i + 1 : i]);
  return static_cast<char16_t>(lo | (hi << 8));
}

void AppendUnit(std::string& bytes, char16_t unit, ByteOrder order) {
  const char lo = static_cast<char>(unit & 0xFF);
  const char hi = static_cast<char>(unit >> 8);
  if (order == ByteOrder::kLittleEndian) {
    bytes.push_back(lo);
    bytes.push_back(hi);
  } else {
    bytes.push_back(hi);
    bytes.push_back(lo);
  }
}

Plan PlanInUtf16(std::string_view original, ByteOrder order, const Entry& entry) {
  constexpr size_t kBomSize = 2;
  const std::string_view body = original.substr(kBomSize);
  if (body.size() % 2 != 0) return {EditStatus::kUnreadable, {}};
  std::u16string units;
  units.reserve(body.size() / 2);
  for (size_t i = 0; i < body.size(); i += 2) units.push_back(ReadUnit(body, i, order));
  TextPlan<char16_t> planned = PlanInText<char16_t>(units, 0, WideEntry<char16_t>(entry));
  Plan plan{planned.status, {}};
  for (const TextSplice<char16_t>& in_units : planned.splices) {
    Splice splice{kBomSize + 2 * in_units.begin, kBomSize + 2 * in_units.end, {}};
    splice.text.reserve(2 * in_units.text.size());
    for (const char16_t unit : in_units.text) AppendUnit(splice.text, unit, order);
    plan.splices.push_back(std::move(splice));
  }
  return plan;
}

}  // namespace

bool IsWritable(const Entry& entry) {
  const auto single_line = [](std::string_view text) {
    return text.find_first_of("\r\n") == std::string_view::npos;
  };
  const std::string_view key = Trim<WindowsRules>(entry.key);
  const std::string_view section = Trim<WindowsRules>(entry.section);
  return single_line(entry.section) && single_line(entry.key) && single_line(entry.value) &&
         !section.empty() && section.find(']') == std::string_view::npos && !key.empty() &&
         key.find('=') == std::string_view::npos && key.front() != '[' && key.front() != ';';
}

Plan PlanEntry(std::string_view original, const Entry& entry) {
  constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
  if (original.starts_with("\xFF\xFE"))
    return PlanInUtf16(original, ByteOrder::kLittleEndian, entry);
  if (original.starts_with("\xFE\xFF")) return PlanInUtf16(original, ByteOrder::kBigEndian, entry);
  const size_t start = original.starts_with(kUtf8Bom) ? kUtf8Bom.size() : 0;
  TextPlan<char> planned = PlanInText<char>(original, start, WideEntry<char>(entry));
  Plan plan{planned.status, {}};
  for (TextSplice<char>& splice : planned.splices) {
    plan.splices.push_back({splice.begin, splice.end, std::move(splice.text)});
  }
  return plan;
}

std::vector<std::string_view> Pieces(std::string_view original, const Plan& plan) {
  std::vector<std::string_view> pieces;
  size_t kept_from = 0;
  for (const Splice& splice : plan.splices) {
    pieces.push_back(original.substr(kept_from, splice.begin - kept_from));
    pieces.push_back(splice.text);
    kept_from = splice.end;
  }
  pieces.push_back(original.substr(kept_from));
  return pieces;
}

Edit SetEntry(std::string_view original, const Entry& entry) {
  const Plan plan = PlanEntry(original, entry);
  if (plan.status != EditStatus::kEdited) return {plan.status, {}};
  std::string content;
  for (const std::string_view piece : Pieces(original, plan)) content.append(piece);
  return {EditStatus::kEdited, std::move(content)};
}

}  // namespace profile
