// The platform on Linux and other POSIX systems: drive letters map onto a
// Wine prefix, the profile writer is our own, and the message box is a box
// drawn on standard error.
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>

#include "platform/posix/posix_file_system.h"
#include "platform/posix/wine_paths.h"
#include "platform/profile_platform.h"
#include "platform/protocol/protocol.h"
#include "platform/text_box.h"

namespace {

std::string UserName(uint32_t uid) {
  const passwd* user = getpwuid(uid);
  return user != nullptr ? user->pw_name : "#" + std::to_string(uid);
}

class PosixPlatform final : public ProfilePlatform {
 public:
  void rtcChangeDir(const std::string& directory) override {
    std::optional<wine::Place> place = Reach(directory, true);
    if (!place) throw PlatformError("cannot change to " + directory + ": " + cause_);
    if (fchdir(place->directory.get()) != 0) {
      cause_ = "cannot enter " + place->host_directory + ": " + std::strerror(errno);
      throw PlatformError(cause_);
    }
    cause_.clear();
  }

  // The box, then why in a line of its own, which a person at a terminal
  // and a deployment tool's log both read.
  int rtcMsgBox(const std::string& prompt, int style, const std::string& title) override {
    std::cerr << TextBox(prompt, style, title);
    if (!cause_.empty()) Warn(cause_);
    // Only someone who sees the box at a terminal can dismiss it; otherwise
    // it closes at once rather than wait for nobody (a log file, a pipe, a
    // deployment tool's session).
    if (isatty(STDIN_FILENO) && isatty(STDERR_FILENO)) {
      std::cerr << "(press Enter)" << std::flush;
      std::string answer;
      std::getline(std::cin, answer);
    }
    std::cerr << std::flush;
    if (!std::cerr) throw PlatformError("cannot show the message box");
    return kMsgBoxOk;
  }

 private:
  std::optional<Written> Write(const std::string& file, const profile::Entry& entry) override {
    std::optional<wine::Place> place = Reach(file, false);
    if (!place) return std::nullopt;
    const std::unique_ptr<profile::Directory> opened =
        profile::posix::DirectoryAt(std::move(place->directory));
    return Written{profile::WriteEntry(*opened, place->name, entry), place->host_directory,
                   place->name};
  }

  void Warn(const std::string& line) override { std::cerr << "kavro-register: " << line << "\n"; }

  // The place `windows_path` leads to below the prefix; nothing, with the
  // cause, where there is none.
  std::optional<wine::Place> Reach(const std::string& windows_path, bool whole) {
    if (!prefix_.prefix) {
      cause_ = wine::CauseOf(prefix_.none, UserName, getuid());
      return std::nullopt;
    }
    wine::Stop stop;
    std::optional<wine::Place> place = wine::Reach(*prefix_.prefix, windows_path, whole, stop);
    if (!place) cause_ = CauseOf(stop, windows_path);
    return place;
  }

  std::string CauseOf(const wine::Stop& stop, const std::string& windows_path) const {
    if (stop.reason != wine::Stop::kMissing) return wine::CauseOf(stop, windows_path);
    wine::Stop elsewhere;
    const bool in_x86 =
        wine::Reach(*prefix_.prefix, kX86InstallDirectory, true, elsewhere).has_value();
    return profile::CauseOfMissingDirectory(stop.host_path, in_x86 ? kX86InstallDirectory : "");
  }

  // Opened once, before anything else: entering the install directory must
  // not change which prefix a relative $WINEPREFIX names, and nothing may
  // put another prefix in its place.
  const wine::OpenedPrefix prefix_ = wine::OpenPrefix();
};

}  // namespace

std::unique_ptr<Platform> NewRealPlatform() { return std::make_unique<PosixPlatform>(); }
