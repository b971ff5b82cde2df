// The edit applied to a whole file in memory, as the tests check it: the
// plan's splices put into the original's bytes.
#ifndef KAVRO_TESTS_SET_ENTRY_H_
#define KAVRO_TESTS_SET_ENTRY_H_

#include <string>
#include <string_view>

#include "platform/edit/profile_edit.h"

namespace profile {

struct Edit {
  EditStatus status;
  std::string content;  // the whole new file when status is kEdited
};

// The file `original` with `entry` set: PlanEntry applied.
inline Edit SetEntry(std::string_view original, const Entry& entry) {
  const Plan plan = PlanEntry(original, entry);
  if (plan.status != EditStatus::kEdited) return {plan.status, {}};
  std::string content;
  size_t kept_from = 0;
  for (const Splice& splice : plan.splices) {
    content.append(original.substr(kept_from, splice.begin - kept_from)).append(splice.text);
    kept_from = splice.end;
  }
  return {EditStatus::kEdited, content.append(original.substr(kept_from))};
}

}  // namespace profile

#endif  // KAVRO_TESTS_SET_ENTRY_H_
