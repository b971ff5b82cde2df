// The profile written the same way by every real platform.
#include "platform/profile_platform.h"

#include "shell/form1.h"

int32_t ProfilePlatform::WritePrivateProfileStringA(const std::string& section,
                                                    const std::string& key,
                                                    const std::string& value,
                                                    const std::string& file) {
  const profile::Entry entry{section, key, value};
  if (!profile::IsWritable(entry)) {
    cause_ = "the entry cannot be written as it is";
    return 0;
  }
  const std::optional<Written> written = Write(file, entry);
  if (!written) return 0;
  const profile::Outcome& outcome = written->outcome;
  if (!outcome.left_behind.empty()) {
    Warn("could not remove " + profile::PathIn(written->directory, outcome.left_behind));
  }
  cause_ = outcome.registered() ? "" : profile::CauseOf(outcome, written->directory, written->name);
  return outcome.registered() ? 1 : 0;
}

void ProfilePlatform::Unload(Form1& form) { form.MarkUnloaded(); }
