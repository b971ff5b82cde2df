// The plan from the file's bytes, a part at a time: the first bytes tell
// the encoding, and the text goes to the streaming planner as bytes or, for
// UTF-16, as units, whose plan is then put back in the file's bytes.
#include <algorithm>
#include <array>
#include <cassert>
#include <memory>
#include <optional>

#include "platform/edit/profile_edit.h"
#include "platform/edit/streaming_planner.h"
#include "platform/edit/two_readers.h"
#include "platform/edit/utf16.h"

namespace profile {
namespace {

constexpr std::string_view kUtf8Mark = "\xEF\xBB\xBF";

std::string_view LineBreakText(LineBreak line_break) {
  switch (line_break) {
    case LineBreak::kLf:
      return "\n";
    case LineBreak::kCr:
      return "\r";
    case LineBreak::kCrLf:
      break;
  }
  return "\r\n";
}

// What a change writes, in 8-bit text.
std::string TextOf(const Change& change, const Entry& entry, LineBreak line_break) {
  const std::string_view ending = LineBreakText(line_break);
  std::string text(change.line_break_first ? ending : "");
  switch (change.added) {
    case Change::Added::kValue:
      return text.append(entry.value);
    case Change::Added::kEqualsAndValue:
      return text.append("=").append(entry.value);
    case Change::Added::kSectionAndKeyLine:
      text.append("[").append(entry.section).append("]").append(ending);
      break;
    case Change::Added::kKeyLine:
      break;
  }
  return text.append(entry.key).append("=").append(entry.value).append(ending);
}

// Plans from the file's bytes as they come.
class FilePlanner {
 public:
  static constexpr size_t kPartSize = size_t{1} << 16;

  explicit FilePlanner(const Entry& wanted)
      : section(wanted.section), key(wanted.key), value(wanted.value), entry{section, key, value} {
    assert(IsWritable(wanted));
  }

  // Takes the file's next bytes; returns false once the plan needs no more.
  bool Feed(std::string_view bytes) {
    if (!bytes_planner && !units_planner) {
      // Three bytes tell the byte order mark, if any.
      const size_t count = std::min(head.size() - head_size, bytes.size());
      head_size += bytes.copy(head.data() + head_size, count);
      bytes.remove_prefix(count);
      if (head_size < head.size()) return true;
      if (!Start()) return false;
    }
    return FeedText(bytes);
  }

  // Once the file has ended or Feed returned false.
  Plan Finish() {
    if (!bytes_planner && !units_planner) Start();
    if (units_planner) {
      if (decoder->odd()) return {EditStatus::kUnreadable, {}};
      return InBytes(units_planner->Finish(), kUtf16MarkSize, 2);
    }
    return InBytes(bytes_planner->Finish(), 0, 1);
  }

 private:
  // Starts the planner the head's encoding calls for, and gives it what of
  // the head is text; returns whether it wants more.
  bool Start() {
    const std::string_view first(head.data(), head_size);
    if (IsUtf16(first)) {
      const ByteOrder order = ByteOrderOf(first);
      decoder.emplace(order);
      utf16_order = order;
      units = std::make_unique_for_overwrite<char16_t[]>(kPartSize / 2);
      units_planner.emplace(entry, 0);
      return FeedText(first.substr(kUtf16MarkSize));
    }
    const size_t mark = first.starts_with(kUtf8Mark) ? kUtf8Mark.size() : 0;
    bytes_planner.emplace(entry, mark);
    return FeedText(first.substr(mark));
  }

  bool FeedText(std::string_view bytes) {
    if (bytes_planner) return wanting = bytes_planner->Take(bytes);
    while (!bytes.empty() && wanting) {
      const size_t count = decoder->Decode(bytes, units.get(), kPartSize / 2);
      wanting = units_planner->Take(Text<char16_t>(units.get(), count));
    }
    // Whether the file has an odd number of bytes, which leaves it alone,
    // only its end tells.
    decoder->Pass(bytes);
    return true;
  }

  // The plan for a decision in units of `unit_size` bytes after `mark` bytes.
  Plan InBytes(const Decision& decision, size_t mark, size_t unit_size) const {
    Plan plan{decision.status, {}};
    for (const Change& change : decision.changes) {
      std::string text = TextOf(change, entry, decision.line_break);
      if (utf16_order) text = EncodeUtf16(text, *utf16_order);
      plan.splices.push_back(
          {mark + unit_size * change.begin, mark + unit_size * change.end, std::move(text)});
    }
    return plan;
  }

  const std::string section, key, value;
  const Entry entry;
  std::array<char, 3> head{};
  size_t head_size = 0;
  bool wanting = true;
  std::optional<StreamingPlanner<char>> bytes_planner;
  // For UTF-16 files:
  std::optional<StreamingPlanner<char16_t>> units_planner;
  std::optional<Utf16Decoder> decoder;
  std::optional<ByteOrder> utf16_order;
  std::unique_ptr<char16_t[]> units;
};

}  // namespace

struct EntryPlanner::State {
  explicit State(const Entry& entry) : file(entry) {}
  FilePlanner file;
  std::unique_ptr<char[]> buffer = std::make_unique_for_overwrite<char[]>(FilePlanner::kPartSize);
};

EntryPlanner::EntryPlanner(const Entry& entry) : state_(std::make_unique<State>(entry)) {}

EntryPlanner::~EntryPlanner() = default;

std::span<char> EntryPlanner::Room() { return {state_->buffer.get(), FilePlanner::kPartSize}; }

bool EntryPlanner::Took(size_t count) {
  return state_->file.Feed(std::string_view(state_->buffer.get(), count));
}

Plan EntryPlanner::Finish() { return state_->file.Finish(); }

// The whole file is one part: 8-bit text is planned where it lies.
Plan PlanEntry(std::string_view original, const Entry& entry) {
  FilePlanner planner(entry);
  planner.Feed(original);
  return planner.Finish();
}

}  // namespace profile
