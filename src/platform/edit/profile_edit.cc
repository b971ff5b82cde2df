#include "platform/edit/profile_edit.h"

#include "platform/edit/profile_rules.h"

namespace profile {

bool IsWritable(const Entry& entry) {
  const auto single_line = [](std::string_view text) {
    return text.find_first_of("\r\n") == std::string_view::npos;
  };
  // Names and value as readers read them back: a reader trims blanks (Wine's
  // include Windows') around names and the value, and drops a pair of quotes
  // around the value.
  const auto as_read = [](std::string_view name) { return Trim<WineRules>(name) == name; };
  const std::string_view key = entry.key;
  return single_line(entry.section) && single_line(entry.key) && single_line(entry.value) &&
         !entry.section.empty() && as_read(entry.section) &&
         entry.section.find(']') == std::string_view::npos && !key.empty() && as_read(key) &&
         key.find('=') == std::string_view::npos && key.front() != '[' && key.front() != ';' &&
         ValueAsRead<WineRules>(entry.value) == entry.value;
}

}  // namespace profile
