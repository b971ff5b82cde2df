// Feeds a file to the entry planner a part at a time, as the file layer
// reads it.
#ifndef KAVRO_TESTS_PLAN_IN_PARTS_H_
#define KAVRO_TESTS_PLAN_IN_PARTS_H_

#include <algorithm>
#include <span>
#include <string_view>

#include "platform/edit/profile_edit.h"

namespace testing_support {

struct PlannedInParts {
  profile::Plan plan;
  size_t bytes_read = 0;  // until the planner wanted no more
};

// The planner's plan for `file` read `part` bytes at a time (fewer where
// its room is smaller).
inline PlannedInParts PlanInParts(std::string_view file, const profile::Entry& entry, size_t part) {
  profile::EntryPlanner planner(entry);
  size_t read = 0;
  while (read < file.size()) {
    const std::span<char> room = planner.Room();
    const size_t count = std::min({part, room.size(), file.size() - read});
    file.copy(room.data(), count, read);
    read += count;
    if (!planner.Took(count)) break;
  }
  return {planner.Finish(), read};
}

}  // namespace testing_support

#endif  // KAVRO_TESTS_PLAN_IN_PARTS_H_
