// The platform on Linux and other POSIX systems: drive letters map onto a
// Wine prefix, the profile writer is our own, and the message box is a box
// drawn on standard error.
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>

#include "platform/platform.h"
#include "platform/posix/posix_file_system.h"
#include "platform/posix/wine_paths.h"
#include "platform/protocol/protocol.h"
#include "shell/form1.h"

namespace {

PlatformError ErrorFromErrno(const std::string& what, int error_number) {
  return PlatformError(what + ": " + std::strerror(error_number));
}

// The icon bits of a message box style, drawn as text. Every box has only
// an OK button.
const char* IconFor(int style) {
  switch (style & 0x70) {
    case 0x10:
      return "(x) ";
    case 0x20:
      return "(?) ";
    case 0x30:
      return "(!) ";
    case 0x40:
      return "(i) ";
    default:
      return "";
  }
}

// Why root refuses a prefix whose way to DASYLab.ini another user may
// change.
constexpr const char* kAnotherUsersWay =
    "the way to the file passes a directory or link another user may change; run as the "
    "prefix's owner";

class PosixPlatform final : public Platform {
 public:
  void rtcChangeDir(const std::string& directory) override {
    cause_ = "the Wine prefix is not owned by you";
    if (!prefix_) throw PlatformError(cause_);
    cause_ = profile::CauseOf({profile::WriteResult::kNoDirectory}, directory, "");
    const std::optional<posix::PlaceBelowPrefix> place = Reach(directory, true);
    if (!place) {
      if (errno == EPERM) cause_ = kAnotherUsersWay;
      throw ErrorFromErrno("cannot change to " + directory, errno == EPERM ? EPERM : ENOENT);
    }
    if (fchdir(place->directory.get()) != 0) {
      throw ErrorFromErrno("cannot change to " + directory, errno);
    }
    cause_.clear();
  }

  int32_t WritePrivateProfileStringA(const std::string& section, const std::string& key,
                                     const std::string& value, const std::string& file) override {
    const profile::Entry entry{section, key, value};
    if (!profile::IsWritable(entry)) {
      cause_ = "the entry cannot be written as it is";
      return 0;
    }
    const std::optional<std::string> host =
        prefix_ ? posix::ToHostPath(prefix_->path, file) : std::nullopt;
    std::optional<posix::PlaceBelowPrefix> place =
        host ? posix::OpenBelowPrefix(*prefix_, *host, false) : std::nullopt;
    if (!place) {
      cause_ = errno == EPERM
                   ? kAnotherUsersWay
                   : std::string(profile::CauseOf({profile::WriteResult::kNoDirectory}, file, ""));
      return 0;
    }
    const std::string directory = host->substr(0, host->rfind('/'));
    const std::string name = place->name;
    const std::unique_ptr<profile::Directory> opened =
        profile::posix::DirectoryAt(std::move(place->directory));
    const profile::Outcome outcome = profile::WriteEntry(*opened, name, entry);
    if (!outcome.left_behind.empty()) {
      std::cerr << "kavro-register: could not remove " << directory << "/" << outcome.left_behind
                << "\n";
    }
    cause_ = outcome.registered() ? "" : profile::CauseOf(outcome, directory, name);
    return outcome.registered() ? 1 : 0;
  }

  int rtcMsgBox(const std::string& prompt, int style, const std::string& title) override {
    std::cerr << "\n" << IconFor(style) << title << "\n\n" << prompt << "\n\n[ OK ]";
    // Only someone who sees the box at a terminal can dismiss it; otherwise
    // it closes at once rather than wait for nobody (a log file, a pipe, a
    // deployment tool's session).
    if (isatty(STDIN_FILENO) && isatty(STDERR_FILENO)) {
      std::cerr << "  (press Enter)" << std::flush;
      std::string answer;
      std::getline(std::cin, answer);
    } else {
      // Unattended: a second line says why, for whoever reads the log.
      std::cerr << "\n";
      if (!cause_.empty()) std::cerr << "kavro-register: " << cause_ << "\n";
    }
    std::cerr << std::flush;
    if (!std::cerr) throw PlatformError("cannot show the message box");
    return kMsgBoxOk;
  }

  void Unload(Form1& form) override { form.MarkUnloaded(); }

 private:
  // The directory holding the last component of `windows_path` (or the
  // directory it names, when `whole`), reached from the prefix's handle.
  std::optional<posix::PlaceBelowPrefix> Reach(const std::string& windows_path, bool whole) const {
    const std::optional<std::string> host = posix::ToHostPath(prefix_->path, windows_path);
    return host ? posix::OpenBelowPrefix(*prefix_, *host, whole) : std::nullopt;
  }

  // Opened once, before anything else: entering the install directory must
  // not change which prefix a relative $WINEPREFIX names, and nothing may
  // put another prefix in its place.
  const std::optional<posix::OpenPrefix> prefix_ = posix::OpenWinePrefix();
  // Why the last step failed, in plain words.
  std::string cause_;
};

}  // namespace

std::unique_ptr<Platform> NewRealPlatform() { return std::make_unique<PosixPlatform>(); }
