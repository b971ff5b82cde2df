// Fuzz target for the profile edit. For any file it checks that the edit
// does not crash, finds an edit (no file leaves it without one but an
// odd-length UTF-16 file), is idempotent, leaves the entry readable for
// Windows' reader and for Wine's, leaves every other entry as each of them
// saw it, and changes nothing but within the lines it edits and the lines it
// adds; and that the file read a part at a time, as the file layer reads
// it, gets the same plan.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>

#include "plan_in_parts.h"
#include "platform/edit/profile_edit.h"
#include "profile_reader.h"
#include "set_entry.h"

namespace {

const profile::Entry kDriver{"Hardware", "MKAVRO.DLL", "KAVRO DAQ Cards Driver"};

void Require(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "profile edit broke its contract: %s\n", what);
    std::abort();
  }
}

bool IsLineBreak(char16_t c) { return c == u'\r' || c == u'\n'; }

// Every entry a reader sees, but the driver's, reads the same before and
// after, unless its line before or after is one that either reader takes
// for the driver's entry: a line may be the driver's entry for one reader
// and another entry for the other, and then it may change.
void RequireOtherEntriesKept(std::string_view before, std::string_view after, reader::Rules rules) {
  const std::set<size_t> old_lines = reader::LinesOf(before, u"Hardware", u"MKAVRO.DLL");
  const std::set<size_t> new_lines = reader::LinesOf(after, u"Hardware", u"MKAVRO.DLL");
  auto old_entries = reader::Visible(reader::ReadEntries(before, rules));
  auto new_entries = reader::Visible(reader::ReadEntries(after, rules));
  for (auto* entries : {&old_entries, &new_entries}) entries->erase(u"HARDWARE|MKAVRO.DLL");
  for (const auto& [key, old_reading] : old_entries) {
    const auto now = new_entries.find(key);
    if (old_lines.contains(old_reading.line) ||
        (now != new_entries.end() && new_lines.contains(now->second.line))) {
      continue;
    }
    Require(now != new_entries.end() && now->second.value == old_reading.value,
            "another entry changed");
  }
  for (const auto& [key, new_reading] : new_entries) {
    Require(new_lines.contains(new_reading.line) || old_entries.contains(key),
            "another entry appeared");
  }
}

// Every splice replaces a stretch of the file that lies within one line.
void RequireEachSpliceWithinALine(std::string_view file, const profile::Plan& plan) {
  const bool utf16 = file.starts_with("\xFF\xFE") || file.starts_with("\xFE\xFF");
  const size_t bom = utf16 ? 2 : file.starts_with("\xEF\xBB\xBF") ? 3 : 0;
  const std::u16string units = reader::Decode(file);
  const auto unit_at = [&](size_t byte) { return (byte - bom) / (utf16 ? 2 : 1); };
  for (const profile::Splice& splice : plan.splices) {
    Require(splice.begin >= bom && splice.begin <= splice.end, "a splice out of place");
    for (size_t i = unit_at(splice.begin); i < unit_at(splice.end); ++i) {
      Require(!IsLineBreak(units[i]), "a splice reaches over more than one line");
    }
  }
}

// Read in parts of any size, the file gets the same plan.
void RequireSamePlanFromParts(std::string_view file, const profile::Plan& plan) {
  for (const size_t part : {size_t{1}, size_t{2}, size_t{7}, file.size() + 1}) {
    Require(testing_support::PlanInParts(file, kDriver, part).plan == plan,
            "the plan from parts differs");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const profile::Plan plan = profile::PlanEntry(input, kDriver);
  RequireSamePlanFromParts(input, plan);
  if (plan.status == profile::EditStatus::kUnreadable) {
    Require((input.starts_with("\xFF\xFE") || input.starts_with("\xFE\xFF")) && size % 2 == 1,
            "refused a file that is not odd-length UTF-16");
    return 0;
  }
  Require(plan.status != profile::EditStatus::kConflicting, "no edit found for both readers");
  RequireEachSpliceWithinALine(input, plan);
  const profile::Edit edit = profile::SetEntry(input, kDriver);
  const std::string_view result =
      edit.status == profile::EditStatus::kEdited ? edit.content : input;
  for (const reader::Rules rules : {reader::Rules::kWindows, reader::Rules::kWine}) {
    Require(reader::Lookup(reader::ReadEntries(result, rules), u"Hardware", u"MKAVRO.DLL") ==
                u"KAVRO DAQ Cards Driver",
            "the entry does not read back");
  }
  if (edit.status == profile::EditStatus::kAlreadySet) return 0;
  Require(profile::SetEntry(result, kDriver).status == profile::EditStatus::kAlreadySet,
          "a second edit changes the file again");
  for (const reader::Rules rules : {reader::Rules::kWindows, reader::Rules::kWine}) {
    RequireOtherEntriesKept(input, result, rules);
  }
  return 0;
}
