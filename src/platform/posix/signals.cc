// The signals that end a program: they first remove the run's lock file
// and temporary file, and wait while a file is written in place.
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <iterator>

#include "platform/posix/posix_file_system.h"

namespace profile::posix {
namespace {

// Every signal whose default action ends the program and that someone may
// send it: Ctrl-C and Ctrl-\, a closed terminal, a stop request, and the
// timers and user signals that scripts and supervisors use.
constexpr int kEndingSignals[] = {SIGINT,  SIGTERM, SIGHUP,    SIGQUIT, SIGUSR1,
                                  SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF};

// The watched files, where a signal handler can reach them: the lock file
// and a temporary file.
struct WatchedFile {
  char name[NAME_MAX + 1];
  volatile sig_atomic_t directory = -1;
  volatile sig_atomic_t armed = 0;
};
WatchedFile watched[2];
struct sigaction previous_actions[std::size(kEndingSignals)];

void RemoveWatchedAndEnd(int signal_number) {
  // The temporary file first: it is the large one.
  for (const Watched slot : {Watched::kTemporary, Watched::kLock}) {
    const WatchedFile& file = watched[static_cast<int>(slot)];
    if (file.armed && unlinkat(file.directory, file.name, 0) != 0 && errno != ENOENT) {
      static const char kCannotRemove[] =
          "kavro-register: could not remove its temporary file beside DASYLab.ini\n";
      [[maybe_unused]] const ssize_t ignored =
          write(STDERR_FILENO, kCannotRemove, sizeof kCannotRemove - 1);
    }
  }
  signal(signal_number, SIG_DFL);
  raise(signal_number);
}

}  // namespace

// A signal the program was started to ignore stays ignored.
Interruptions::Interruptions() {
  struct sigaction remove {};
  remove.sa_handler = RemoveWatchedAndEnd;
  sigemptyset(&remove.sa_mask);
  for (size_t i = 0; i < std::size(kEndingSignals); ++i) {
    sigaction(kEndingSignals[i], &remove, &previous_actions[i]);
    if (previous_actions[i].sa_handler == SIG_IGN) {
      sigaction(kEndingSignals[i], &previous_actions[i], nullptr);
    }
  }
}

Interruptions::~Interruptions() {
  Watch(Watched::kLock, -1, std::nullopt);
  Watch(Watched::kTemporary, -1, std::nullopt);
  for (size_t i = 0; i < std::size(kEndingSignals); ++i) {
    sigaction(kEndingSignals[i], &previous_actions[i], nullptr);
  }
}

void Interruptions::Watch(Watched slot, int directory, const std::optional<std::string>& name) {
  WatchedFile& file = watched[static_cast<int>(slot)];
  file.armed = 0;
  if (!name || name->size() >= sizeof file.name) return;
  name->copy(file.name, name->size());
  file.name[name->size()] = '\0';
  file.directory = directory;
  file.armed = 1;
}

void Interruptions::Hold(bool held) {
  if (held && depth_++ == 0) {
    sigset_t ending;
    sigemptyset(&ending);
    for (const int signal_number : kEndingSignals) sigaddset(&ending, signal_number);
    sigprocmask(SIG_BLOCK, &ending, &previous_);
  } else if (!held && --depth_ == 0) {
    sigprocmask(SIG_SETMASK, &previous_, nullptr);
  }
}

}  // namespace profile::posix
