#include "platform/profile_edit.h"

#include <cstddef>
#include <cstring>
#include <map>
#include <memory>
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
  size_t header_begin = 0;  // its header line
  Line insert_after{};      // its header or its last key line
  std::optional<Line> key;  // the key's first line in it
  bool has_equals = false;  // on that line
  size_t value_begin = 0;   // where a new value goes on it: past `=` and the
                            // blanks after it, which every reader skips, or
                            // where the name ends
  bool set = false;  // the reader gets the value
};

// Looks for the entry line by line, as the reader of `Rules` does.
template <typename Rules, typename Char>
class Finder {
 public:
  explicit Finder(const WideEntry<Char>& entry) : entry_(entry) {}

  // Takes the next line, `line_text` with its ending; returns false once
  // the reader would look no further.
  bool Take(Text<Char> line_text, const Line& line) {
    if (done_) return false;
    const Text<Char> content(line_text.data(), line.content_end - line.begin);
    if (!found_.in_section && !MayBeHeader<Rules>(content)) return true;
    const ParsedLine<Char> parsed = Parse<Rules>(content);
    if (parsed.kind == LineKind::kSection) {
      if (found_.in_section) return !(done_ = true);  // past the end of the section
      found_.in_section = SameName<Char>(parsed.name, entry_.section);
      if (found_.in_section) {
        found_.header_begin = line.begin;
        found_.insert_after = line;
      }
      return true;
    }
    if (!found_.in_section || parsed.kind != LineKind::kKey) return true;
    found_.insert_after = line;
    if (!SameName<Char>(parsed.name, entry_.key)) return true;
    found_.key = line;
    found_.has_equals = parsed.has_equals;
    size_t value_begin = parsed.key_end + (parsed.has_equals ? 1 : 0);
    while (parsed.has_equals && value_begin < content.size() &&
           WindowsRules::IsBlank(content[value_begin])) {
      ++value_begin;
    }
    found_.value_begin = line.begin + value_begin;
    found_.set = parsed.has_equals &&
                 ValueAsRead<Rules>(content.substr(parsed.key_end + 1)) == Text<Char>(entry_.value);
    return !(done_ = true);
  }

  // Whether only a line that may be a section header could change what
  // the reader finds: it is outside the section or done.
  bool NeedsOnlyHeaders() const { return done_ || !found_.in_section; }

  const Found& found() const { return found_; }

 private:
  const WideEntry<Char>& entry_;
  Found found_;
  bool done_ = false;
};

// The ending of a text's first line, once that line is taken: what added
// lines end with.
template <typename Char>
struct FirstLineEnding {
  std::optional<String<Char>> ending;
  bool Take(Text<Char> line_text, const Line& line) {
    if (!ending) ending = String<Char>(line_text.substr(line.content_end - line.begin));
    return false;
  }
  bool NeedsOnlyHeaders() const { return ending.has_value(); }
};

// Where the lines of a part of the file that are surely whole end: a last
// line may go on in the next part, and so may a CR at the end (half of a
// CRLF).
template <typename Char>
size_t WholeLinesEnd(Text<Char> part) {
  size_t end = part.size();
  if (end > 0 && part[end - 1] == Char('\r')) --end;
  while (end > 0 && part[end - 1] != Char('\r') && part[end - 1] != Char('\n')) --end;
  return end;
}

// The first line at or after `from` (a line's start) that may be a section
// header for either reader: `[` after nothing but blanks.
template <typename Char>
size_t NextLineThatMayBeAHeader(Text<Char> text, size_t from) {
  for (size_t bracket = text.find(Char('['), from); bracket != Text<Char>::npos;
       bracket = text.find(Char('['), bracket + 1)) {
    size_t line_begin = bracket;
    // Wine's blanks include Windows' ones.
    while (line_begin > from && text[line_begin - 1] != Char('\r') &&
           text[line_begin - 1] != Char('\n') && WineRules::IsBlank(text[line_begin - 1])) {
      --line_begin;
    }
    if (line_begin == from || text[line_begin - 1] == Char('\r') ||
        text[line_begin - 1] == Char('\n')) {
      return line_begin;
    }
  }
  return text.size();
}

struct LinesTaken {
  size_t end;    // where the lines not taken begin
  bool wanting;  // some finder wants more
};

// Every finder takes each line of `text`, whose first code unit is the
// file's `base`, until none wants more. Without `at_end` the text is a part
// of the file that the next part goes on from, and only its whole lines are
// taken. Lines that no finder needs are passed over without a look.
template <typename Char, typename... Finders>
LinesTaken TakeLines(Text<Char> text, size_t base, bool at_end, Finders&... finders) {
  const Text<Char> lines = at_end ? text : text.substr(0, WholeLinesEnd(text));
  size_t pos = 0;
  while (pos < lines.size()) {
    if ((finders.NeedsOnlyHeaders() && ...)) {
      pos = NextLineThatMayBeAHeader(lines, pos);
      if (pos == lines.size()) break;
    }
    const Line in_text = LineAt(lines, pos);
    const Line line{base + in_text.begin, base + in_text.content_end, base + in_text.end};
    const Text<Char> line_text(lines.data() + in_text.begin, in_text.end - in_text.begin);
    pos = in_text.end;
    if ((static_cast<int>(finders.Take(line_text, line)) + ...) == 0) return {pos, false};
  }
  return {lines.size(), true};
}

// Where each of `finders` finds the entry, in one pass over the lines. The
// lines start at `start`; what comes before (a byte order mark) is no line.
template <typename Char, typename... Finders>
void FindAll(Text<Char> text, size_t start, Finders&... finders) {
  TakeLines(text.substr(start), start, true, finders...);
}

template <typename Rules, typename Char>
Found Find(Text<Char> text, size_t start, const WideEntry<Char>& entry) {
  Finder<Rules, Char> finder(entry);
  FindAll(text, start, finder);
  return finder.found();
}

// What lines added to a text need to know of it.
template <typename Char>
struct Shape {
  String<Char> line_break;  // its first line's ending, or CRLF
  size_t end;               // its size
  bool last_line_open;      // its last line has no ending
};

template <typename Char>
Shape<Char> MakeShape(const std::optional<String<Char>>& first_line_ending, size_t start,
                      size_t end, Char last) {
  return {
      first_line_ending && !first_line_ending->empty() ? *first_line_ending : Widen<Char>("\r\n"),
      end, end > start && last != Char('\n') && last != Char('\r')};
}

template <typename Char>
Shape<Char> ShapeOf(Text<Char> text, size_t start) {
  FirstLineEnding<Char> first_line;
  FindAll(text, start, first_line);
  return MakeShape(first_line.ending, start, text.size(), text.empty() ? Char() : text.back());
}

// The change that gives a reader which finds the entry as `found` the value.
template <typename Char>
TextSplice<Char> SpliceFor(const Found& found, const Shape<Char>& shape,
                           const WideEntry<Char>& entry) {
  if (found.key) {
    // The key's first line: its value is replaced, keeping the key's
    // spelling and the blanks after `=`.
    return {found.value_begin, found.key->content_end,
            found.has_equals ? entry.value : Char('=') + entry.value};
  }
  const size_t at = found.in_section ? found.insert_after.end : shape.end;
  String<Char> added;
  // A last line without an ending gets one before anything follows it.
  if (at == shape.end && shape.last_line_open) added = shape.line_break;
  if (!found.in_section) added += Char('[') + entry.section + Char(']') + shape.line_break;
  added += entry.key + Char('=') + entry.value + shape.line_break;
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
  TextSplice<Char> second = SpliceFor(second_reader, ShapeOf(Text<Char>(edited), start), entry);
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
  const Shape<Char> shape = ShapeOf(text, start);
  std::vector<std::vector<TextSplice<Char>>> candidates;
  if (!windows.set) candidates.push_back({SpliceFor(windows, shape, entry)});
  if (!wine.set) candidates.push_back({SpliceFor(wine, shape, entry)});
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

// Where one change gives both readers the value, as nearly always, and
// changes no other entry for either: where both take the same line for the
// key; where both miss the key in the section under the same header, after
// the earlier of their last key lines, which lies in the section for both
// (they may see a line after it differently: a comment for Windows is a key
// for Wine); where both miss the section, at the end.
const Found* OnePlaceForBoth(const Found& windows, const Found& wine) {
  if (windows.in_section != wine.in_section) return nullptr;
  if (!windows.in_section) return &windows;
  if (windows.key || wine.key) {
    const bool same_line = windows.key && wine.key && windows.key->begin == wine.key->begin;
    return same_line ? &windows : nullptr;
  }
  if (windows.header_begin != wine.header_begin) return nullptr;
  return windows.insert_after.end <= wine.insert_after.end ? &windows : &wine;
}

// The plan where both readers already get the value or one change serves
// both; nothing otherwise.
template <typename Char>
std::optional<TextPlan<Char>> PlanWhereReadersAgree(const Found& windows, const Found& wine,
                                                    const Shape<Char>& shape,
                                                    const WideEntry<Char>& entry) {
  if (windows.set && wine.set) return TextPlan<Char>{EditStatus::kAlreadySet, {}};
  const Found* place = OnePlaceForBoth(windows, wine);
  if (!place) return std::nullopt;
  return TextPlan<Char>{EditStatus::kEdited, {SpliceFor(*place, shape, entry)}};
}

template <typename Char>
TextPlan<Char> PlanInText(Text<Char> text, size_t start, const WideEntry<Char>& entry) {
  Finder<WindowsRules, Char> windows(entry);
  Finder<WineRules, Char> wine(entry);
  FindAll(text, start, windows, wine);
  if (auto plan =
          PlanWhereReadersAgree(windows.found(), wine.found(), ShapeOf(text, start), entry)) {
    return std::move(*plan);
  }
  return PlanForEachReader(text, start, entry, windows.found(), wine.found());
}

Plan InBytes(TextPlan<char> planned) {
  Plan plan{planned.status, {}};
  for (TextSplice<char>& splice : planned.splices) {
    plan.splices.push_back({splice.begin, splice.end, std::move(splice.text)});
  }
  return plan;
}

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

bool IsUtf16(std::string_view original) {
  return original.starts_with("\xFF\xFE") || original.starts_with("\xFE\xFF");
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
  if (IsUtf16(original)) {
    return PlanInUtf16(
        original, original[0] == '\xFF' ? ByteOrder::kLittleEndian : ByteOrder::kBigEndian, entry);
  }
  const size_t start = original.starts_with(kUtf8Bom) ? kUtf8Bom.size() : 0;
  return InBytes(PlanInText<char>(original, start, WideEntry<char>(entry)));
}

struct EntryPlanner::State {
  static constexpr size_t kPartSize = size_t{1} << 16;

  explicit State(const Entry& wanted) : entry(wanted), windows(entry), wine(entry) {}

  WideEntry<char> entry;
  Finder<WindowsRules, char> windows;
  Finder<WineRules, char> wine;
  FirstLineEnding<char> first_line;
  // The part of the file not yet taken as lines, and room for more.
  std::unique_ptr<char[]> buffer = std::make_unique_for_overwrite<char[]>(kPartSize);
  size_t capacity = kPartSize;
  size_t buffer_base = 0;       // the file's byte at buffer[0]
  size_t filled = 0;            // bytes in the buffer
  size_t taken = 0;             // of them, those taken as lines
  std::optional<size_t> start;  // where the lines begin, once that is known
  bool utf16 = false;
  bool wanting = true;
  char last = '\0';  // the file's last byte so far

  bool TakeWholeLines(bool at_end) {
    if (!wanting) return false;
    if (!start) {
      // Three bytes tell the byte order mark, if any.
      const std::string_view head(buffer.get(), filled);
      if (head.size() < kUtf8Bom.size() && !at_end) return true;
      utf16 = IsUtf16(head);
      if (utf16) return wanting = false;
      start = taken = head.starts_with(kUtf8Bom) ? kUtf8Bom.size() : 0;
    }
    const LinesTaken lines = TakeLines(Text<char>(buffer.get() + taken, filled - taken),
                                       buffer_base + taken, at_end, windows, wine, first_line);
    taken += lines.end;
    return wanting = lines.wanting;
  }
};

EntryPlanner::EntryPlanner(const Entry& entry) : state_(std::make_unique<State>(entry)) {}

EntryPlanner::~EntryPlanner() = default;

std::span<char> EntryPlanner::Room() {
  State& s = *state_;
  // The lines taken make way; a line longer than the buffer makes it grow.
  std::memmove(s.buffer.get(), s.buffer.get() + s.taken, s.filled - s.taken);
  s.buffer_base += s.taken;
  s.filled -= s.taken;
  s.taken = 0;
  if (s.filled == s.capacity) {
    auto larger = std::make_unique_for_overwrite<char[]>(2 * s.capacity);
    std::memcpy(larger.get(), s.buffer.get(), s.filled);
    s.buffer = std::move(larger);
    s.capacity *= 2;
  }
  return {s.buffer.get() + s.filled, s.capacity - s.filled};
}

bool EntryPlanner::Took(size_t count) {
  State& s = *state_;
  s.filled += count;
  if (count > 0) s.last = s.buffer[s.filled - 1];
  return s.TakeWholeLines(false);
}

std::optional<Plan> EntryPlanner::Finish() {
  State& s = *state_;
  s.TakeWholeLines(true);
  if (s.utf16) return std::nullopt;
  const Shape<char> shape =
      MakeShape(s.first_line.ending, *s.start, s.buffer_base + s.filled, s.last);
  std::optional<TextPlan<char>> plan =
      PlanWhereReadersAgree(s.windows.found(), s.wine.found(), shape, s.entry);
  if (!plan) return std::nullopt;
  return InBytes(std::move(*plan));
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
