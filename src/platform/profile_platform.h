// What the native and the Windows platform share: the profile written by
// the write protocol, why the last step failed kept for the message box,
// and the form unloaded by marking it so. Each OS gives only the way to its
// directory and its standard error.
#ifndef KAVRO_PLATFORM_PROFILE_PLATFORM_H_
#define KAVRO_PLATFORM_PROFILE_PLATFORM_H_

#include <optional>
#include <string>

#include "platform/edit/profile_edit.h"
#include "platform/platform.h"
#include "platform/protocol/outcome.h"

// Where DASYLab 8.0's 32-bit installer puts it on a 64-bit Windows, which
// the registration does not look in but the cause names.
inline constexpr char kX86InstallDirectory[] = R"(C:\Program Files (x86)\DASYLab 8.0)";

class ProfilePlatform : public Platform {
 public:
  int32_t WritePrivateProfileStringA(const std::string& section, const std::string& key,
                                     const std::string& value, const std::string& file) final;
  void Unload(Form1& form) final;

 protected:
  // A write's outcome, and the directory and the name of the file as the
  // user knows them.
  struct Written {
    profile::Outcome outcome;
    std::string directory;
    std::string name;
  };
  // `entry` written into the profile file at the Windows path `file`;
  // nothing, with `cause_` set, where its directory cannot be reached.
  virtual std::optional<Written> Write(const std::string& file, const profile::Entry& entry) = 0;
  // "kavro-register: " and `line`, as a line of the standard error the
  // process was given, where there is one.
  virtual void Warn(const std::string& line) = 0;

  // Why the last step failed, in plain words.
  std::string cause_;
};

#endif  // KAVRO_PLATFORM_PROFILE_PLATFORM_H_
