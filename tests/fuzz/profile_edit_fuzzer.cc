// Fuzz target for the profile edit. For any file it checks that the edit
// does not crash, is idempotent, leaves the entry readable, leaves every
// other entry as a reader saw it, and keeps every byte outside the changed
// and added lines.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/profile_edit.h"
#include "profile_reader.h"

namespace {

const profile::Entry kDriver{"Hardware", "MKAVRO.DLL", "KAVRO DAQ Cards Driver"};

void Require(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "profile edit broke its contract: %s\n", what);
    std::abort();
  }
}

bool IsLineBreak(char16_t c) { return c == u'\r' || c == u'\n'; }

std::vector<std::u16string> OtherVisibleEntries(std::string_view file) {
  std::vector<std::u16string> others;
  for (std::u16string& entry : reader::Visible(reader::ReadEntries(file))) {
    if (!entry.starts_with(u"HARDWARE|MKAVRO.DLL=")) others.push_back(std::move(entry));
  }
  return others;
}

// The new file must be the old one with one stretch replaced, and that
// stretch of the old file must lie within one line.
void RequireOnlyOneLineChanged(std::string_view before, std::string_view after) {
  const std::u16string old_units = reader::Decode(before);
  const std::u16string new_units = reader::Decode(after);
  size_t prefix = 0;
  while (prefix < old_units.size() && prefix < new_units.size() &&
         old_units[prefix] == new_units[prefix]) {
    ++prefix;
  }
  size_t suffix = 0;
  while (suffix < old_units.size() - prefix && suffix < new_units.size() - prefix &&
         old_units[old_units.size() - 1 - suffix] == new_units[new_units.size() - 1 - suffix]) {
    ++suffix;
  }
  for (size_t i = prefix; i < old_units.size() - suffix; ++i) {
    Require(!IsLineBreak(old_units[i]), "more than one line of the old file changed");
  }
  Require(before.substr(0, 2) == after.substr(0, 2) || before.size() < 2,
          "byte order mark changed");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const profile::Edit edit = profile::SetEntry(input, kDriver);
  if (edit.status == profile::EditStatus::kUnreadable) {
    Require((input.starts_with("\xFF\xFE") || input.starts_with("\xFE\xFF")) && size % 2 == 1,
            "refused a file that is not odd-length UTF-16");
    return 0;
  }
  const std::string_view result =
      edit.status == profile::EditStatus::kEdited ? edit.content : input;
  Require(reader::Lookup(reader::ReadEntries(result), u"Hardware", u"MKAVRO.DLL") ==
              u"KAVRO DAQ Cards Driver",
          "the entry does not read back");
  if (edit.status == profile::EditStatus::kAlreadySet) return 0;
  Require(profile::SetEntry(result, kDriver).status == profile::EditStatus::kAlreadySet,
          "a second edit changes the file again");
  Require(OtherVisibleEntries(input) == OtherVisibleEntries(result), "another entry changed");
  RequireOnlyOneLineChanged(input, result);
  return 0;
}
