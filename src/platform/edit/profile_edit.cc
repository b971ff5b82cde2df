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
