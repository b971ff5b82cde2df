// The built program under faults: killed on entry to every call that
// changes the disk, interrupted there, racing copies of itself, hostile
// files. The file must always be whole, either as it was or with the entry,
// or the next run must make it so; and nothing may be left behind.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <iostream>
#include <optional>
#include <random>
#include <regex>
#include <thread>

#include "platform/edit/profile_edit.h"
#include "platform/protocol/protocol.h"
#include "profile_reader.h"
#include "set_entry.h"
#include "test_support.h"

namespace {

using namespace testing_support;
using ::testing::ElementsAre;

const profile::Entry kDriver{"Hardware", "MKAVRO.DLL", "KAVRO DAQ Cards Driver"};

// Sections of settings, [Module 0] on, until the text is `size` bytes long.
std::string ModuleSections(size_t size, std::string text = "") {
  for (int section = 0; text.size() < size; ++section) {
    text += "[Module " + std::to_string(section) + "]\r\n";
    for (int key = 0; key < 10; ++key) {
      text += "Gain" + std::to_string(key) + "=" + std::to_string(section * 7 + key) + "\r\n";
    }
  }
  return text;
}

// A large configuration: many sections of settings, [Hardware] in the middle.
std::string LargeConfiguration(size_t size) {
  return ModuleSections(
      size, ModuleSections(size / 2) + "[Hardware]\r\nMDEMO.DLL=Demo Board Driver\r\n\r\n");
}

// A configuration as DASYLab ships it: a couple of hundred bytes.
const std::string kSmallConfiguration =
    "[Settings]\r\nLanguage=English\r\nLastWorksheet=C:\\Worksheets\\Lab3.DSB\r\n\r\n"
    "[Hardware]\r\nMDEMO.DLL=Demo Board Driver\r\nMIO16.DLL=Multi I/O 16 Driver\r\n\r\n"
    "[Hardware Options]\r\nSampleRate=1000\r\nChannels=16\r\n";

// About 1.2 MB: the record checks what a write in place replaces in 64 KiB
// blocks, so a cut-short write can fall in any of many of them.
constexpr size_t kCrashFileSize = 1200 * 1024;

// What the entry does to the file.
enum class Shape {
  kGrowing,    // a key added to [Hardware] at the top: the whole tail moves on
  kShrinking,  // a longer value there replaced by the driver's: the tail moves back
  kAppended,   // no [Hardware]: a section added at the end
  kCreated,    // no file at all
};

std::string ConfigurationOf(Shape shape) {
  switch (shape) {
    case Shape::kGrowing:
      return ModuleSections(kCrashFileSize, "[Hardware]\r\nMDEMO.DLL=Demo Board Driver\r\n\r\n");
    case Shape::kShrinking:
      return ModuleSections(kCrashFileSize,
                            "[Hardware]\r\nMKAVRO.DLL=KAVRO DAQ Cards Driver 0.9 beta, for the "
                            "DAQ-16 and DAQ-32 cards only, do not use with DASYLab 8\r\n\r\n");
    case Shape::kAppended:
      return ModuleSections(kCrashFileSize);
    case Shape::kCreated:
      return "";
  }
  return "";
}

// Every call that may change a file or a directory, as strace names them:
// what the crash points are found among.
constexpr const char* kDiskChangingCalls =
    "open,creat,openat,openat2,write,writev,pwrite64,pwritev,pwritev2,copy_file_range,sendfile,"
    "splice,fallocate,ftruncate,truncate,fsync,fdatasync,sync_file_range,rename,renameat,"
    "renameat2,link,linkat,symlink,symlinkat,unlink,unlinkat,mkdir,mkdirat,rmdir,mknod,mknodat,"
    "chmod,fchmod,fchmodat,chown,fchown,lchown,fchownat,setxattr,lsetxattr,fsetxattr,removexattr,"
    "lremovexattr,fremovexattr,utimensat";

bool IsOneOf(const std::string& name, std::initializer_list<const char*> names) {
  return std::any_of(names.begin(), names.end(), [&](const char* n) { return name == n; });
}

bool IsUnder(const std::string& path, const std::string& dir) {
  return path == dir || path.starts_with(dir + "/");
}

// Whether `call` may change what is on disk: every one of the traced
// calls but an open that neither creates nor writes.
bool ChangesTheDisk(const TracedCall& call) {
  if (!IsOneOf(call.name, {"open", "openat", "openat2"})) return true;
  return std::regex_search(call.flags, std::regex("O_CREAT|O_WRONLY|O_RDWR|O_TRUNC|O_APPEND"));
}

bool Touches(const TracedCall& call, const std::string& dir) {
  return std::any_of(call.paths.begin(), call.paths.end(),
                     [&](const std::string& path) { return IsUnder(path, dir); });
}

// The file whose data `call` writes, if it writes any.
std::string DataWrittenTo(const TracedCall& call) {
  if (IsOneOf(call.name, {"write", "writev", "pwrite64", "pwritev", "pwritev2", "sendfile"})) {
    return call.paths.empty() ? "" : call.paths[0];
  }
  if (IsOneOf(call.name, {"copy_file_range", "splice"})) {
    return call.paths.size() < 2 ? "" : call.paths[1];
  }
  return "";
}

std::string FlushedFile(const TracedCall& call) {
  return IsOneOf(call.name, {"fsync", "fdatasync"}) && !call.paths.empty() ? call.paths[0] : "";
}

bool IsTemporaryName(const std::string& path) { return path.ends_with(".kavro-tmp"); }
bool IsRecordName(const std::string& path) {
  return path.ends_with(".kavro-tmp") || path.ends_with(".kavro-redo");
}

// `call` as a person reads it, and as two runs of the same sequence give it
// alike: names under `dir` relative to it, nonces left out.
std::string Describe(const TracedCall& call, const std::string& dir) {
  std::string text = call.name + " #" + std::to_string(call.nth) + " (";
  for (size_t i = 0; i < call.paths.size(); ++i) {
    const std::string& path = call.paths[i];
    text += (i > 0 ? ", " : "") + (path == dir          ? "."
                                   : IsUnder(path, dir) ? path.substr(dir.size() + 1)
                                                        : path);
  }
  return std::regex_replace(text + ")", std::regex(R"(\.[0-9]+\.kavro-)"), ".#.kavro-");
}

// The calls of one clean run that matter here, by their place in its trace.
struct RunShape {
  std::vector<size_t> disk_calls;  // every call that changes the install directory
  // Of a write in place (nothing for a replace): the record's creation,
  // its flush, the first write of the file's own data and the record's
  // rename to its complete name.
  std::optional<size_t> record_created, record_flushed, first_file_write, record_rename;
  std::vector<size_t> file_flushes;  // of DASYLab.ini itself
};

RunShape ShapeOf(const ProcessTrace& trace, const std::string& dir, bool in_place) {
  const std::string ini = dir + "/DASYLab.ini";
  RunShape shape;
  for (size_t i = 0; i < trace.calls.size(); ++i) {
    const TracedCall& call = trace.calls[i];
    if (!ChangesTheDisk(call) || !Touches(call, dir)) continue;
    shape.disk_calls.push_back(i);
    if (FlushedFile(call) == ini) shape.file_flushes.push_back(i);
    if (!in_place) continue;
    const bool names_a_temporary =
        std::any_of(call.paths.begin(), call.paths.end(), IsTemporaryName);
    if (!shape.record_created && IsOneOf(call.name, {"open", "openat", "openat2", "creat"}) &&
        names_a_temporary) {
      shape.record_created = i;
    } else if (shape.record_created && !shape.record_flushed && IsRecordName(FlushedFile(call))) {
      shape.record_flushed = i;
    } else if (shape.record_flushed && !shape.first_file_write && DataWrittenTo(call) == ini) {
      shape.first_file_write = i;
    }
    if (shape.record_created && !shape.record_rename &&
        IsOneOf(call.name, {"rename", "renameat", "renameat2"}) && names_a_temporary) {
      shape.record_rename = i;
    }
  }
  return shape;
}

// Whether a power cut on entry to call `at` could leave DASYLab.ini with
// any mix of old and new sectors: its record is flushed, and the file has
// not been flushed since.
bool PowerCutsMixTheFile(const RunShape& shape, size_t at) {
  return shape.record_flushed && *shape.record_flushed < at &&
         std::none_of(shape.file_flushes.begin(), shape.file_flushes.end(),
                      [&](size_t flush) { return flush > *shape.record_flushed && flush < at; });
}

// `old_content` with the sectors of 512 bytes that `landed` holds (counted
// from the start of the file; none before the first changed byte) taken
// from `new_content`, and `size` bytes long: what a power cut leaves when
// only some of the file's data reached the disk. Room past the old end
// reads as zeros; past the new end the old bytes stay.
std::string Mixed(const std::string& old_content, const std::string& new_content,
                  const std::vector<bool>& landed, size_t size) {
  std::string mixed = old_content.substr(0, std::min(size, old_content.size()));
  mixed.resize(size, '\0');
  for (size_t sector = 0; sector < landed.size(); ++sector) {
    const size_t begin = sector * 512;
    const size_t end = std::min({begin + 512, size, new_content.size()});
    if (landed[sector] && begin < end)
      mixed.replace(begin, end - begin, new_content, begin, end - begin);
  }
  return mixed;
}

// Writes `content` over the file at `path`, keeping it the same file under
// every name (a record names it by its inode).
void Overwrite(const fs::path& path, const std::string& content, off_t at = 0) {
  const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0) << path;
  ASSERT_EQ(pwrite(fd, content.data(), content.size(), at), static_cast<ssize_t>(content.size()));
  close(fd);
}

void CutTo(const fs::path& path, size_t size) {
  ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(size)), 0) << path;
}

// unshare(1), where it may make a PID namespace (as root) whose first
// process is the one it starts: a process id that always looks alive.
std::optional<std::string> UnshareForPidNamespaces() {
  for (const char* unshare : {"/usr/bin/unshare", "/bin/unshare"}) {
    if (fs::exists(unshare) &&
        RunProcess(unshare, {"--pid", "--fork", "/bin/sh", "-c", "echo $$"}, "/", {}).out ==
            "1\n") {
      return unshare;
    }
  }
  return std::nullopt;
}

// A child of this process, looked at without blocking until it is gone.
class Child {
 public:
  explicit Child(pid_t pid) : pid_(pid) {}
  pid_t pid() const { return pid_; }
  bool Gone() {
    if (!status_) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) status_ = status;
    }
    return status_.has_value();
  }
  int Wait() {
    if (!status_) {
      int status = 0;
      waitpid(pid_, &status, 0);
      status_ = status;
    }
    return WIFEXITED(*status_) ? WEXITSTATUS(*status_) : -1;
  }

 private:
  pid_t pid_;
  std::optional<int> status_;
};

// Waits until `done` holds or `child` is gone, looking again every
// millisecond: for a state that, once reached, stays until the test acts.
void WaitUntil(const std::function<bool()>& done, Child& child) {
  while (!done() && !child.Gone()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// Whether process `pid` has `dir` open.
bool HasOpen(pid_t pid, const fs::path& dir) {
  std::error_code error;
  for (const auto& fd : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error)) {
    std::error_code unreadable;
    if (fs::read_symlink(fd.path(), unreadable) == dir) return true;
  }
  return false;
}

// Whether process `pid` sleeps between two attempts, as a run waiting for a
// lock does: then it has been through everything before the lock.
bool Pausing(pid_t pid) {
  std::ifstream in_call("/proc/" + std::to_string(pid) + "/syscall");
  long call = -1;
  in_call >> call;
  return call == SYS_clock_nanosleep || call == SYS_nanosleep;
}

// A write lock on one byte of the file at `path`, held by an open file
// description of this test's own, as the program takes its locks, for the
// life of the object.
class HeldLock {
 public:
  HeldLock(const fs::path& path, off_t byte, bool create)
      : fd_(open(path.c_str(), O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0), 0644)) {
    struct flock range {};
    range.l_type = F_WRLCK;
    range.l_whence = SEEK_SET;
    range.l_start = byte;
    range.l_len = 1;
    held_ = fd_ >= 0 && fcntl(fd_, F_OFD_SETLK, &range) == 0;
  }
  ~HeldLock() { LetGo(); }
  HeldLock(const HeldLock&) = delete;
  HeldLock& operator=(const HeldLock&) = delete;
  bool held() const { return held_; }
  void LetGo() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
  bool held_ = false;
};

// Whether some open file description holds a write lock on byte 0 of the
// file at `path`: a run holds the run lock.
bool LockedByARun(const fs::path& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct flock probe {};
  probe.l_type = F_WRLCK;
  probe.l_whence = SEEK_SET;
  probe.l_start = 0;
  probe.l_len = 1;
  const bool locked = fcntl(fd, F_OFD_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
  close(fd);
  return locked;
}

class FaultTest : public ::testing::Test {
 protected:
  std::map<std::string, std::string> Env() const {
    return {{"WINEPREFIX", prefix_.path().string()}};
  }
  // The same for a run under strace: LeakSanitizer, in the sanitize
  // build, cannot look at a traced process and would fail every run.
  std::map<std::string, std::string> TracedEnv() const {
    std::map<std::string, std::string> env = Env();
    env["ASAN_OPTIONS"] = "detect_leaks=0";
    return env;
  }
  ProcessResult Run() { return RunProcess(KAVRO_REGISTER, {}, "/", Env()); }
  std::vector<std::string> NamesOf(bool in_place) const {
    return in_place ? std::vector<std::string>{"DASYLab.ini", "linked.ini"}
                    : std::vector<std::string>{"DASYLab.ini"};
  }
  fs::path other_name() const { return prefix_.install_dir() / "linked.ini"; }

  // Lays the install directory afresh: `content` as DASYLab.ini (none
  // for `created`), with a second name where it is to be written in place.
  void Lay(const std::string& content, bool in_place, bool created = false) {
    fs::remove_all(prefix_.install_dir());
    fs::create_directories(prefix_.install_dir());
    if (created) return;
    WriteFile(prefix_.ini(), content);
    if (in_place) fs::create_hard_link(prefix_.ini(), other_name());
  }

  // What one clean run makes of `content`: the program run on a copy.
  std::string NewContentOf(const std::string& content, bool created) {
    WinePrefix copy;
    if (!created) WriteFile(copy.ini(), content);
    EXPECT_EQ(
        RunProcess(KAVRO_REGISTER, {}, "/", {{"WINEPREFIX", copy.path().string()}}).exit_status, 0);
    return ReadFile(copy.ini());
  }

  // The strace command line for a run of the program (started by
  // `wrapper`, where given) with the disk-changing calls traced to
  // logs_, one file per process, and `options` (an inject).
  std::vector<std::string> StraceArguments(const std::vector<std::string>& options,
                                           const std::vector<std::string>& wrapper = {}) {
    fs::remove_all(logs_.path());
    fs::create_directories(logs_.path());
    std::vector<std::string> args = {"-f",
                                     "-ff",
                                     "-y",
                                     "-o",
                                     (logs_.path() / "run").string(),
                                     "-e",
                                     std::string("trace=") + kDiskChangingCalls};
    for (const std::string& option : options) args.insert(args.end(), {"-e", option});
    args.insert(args.end(), wrapper.begin(), wrapper.end());
    args.push_back(KAVRO_REGISTER);
    return args;
  }

  // The trace of the program itself among the processes logged: the one
  // that touched the install directory (a wrapper does not).
  ProcessTrace ProgramTrace() {
    std::vector<ProcessTrace> traces;
    for (const auto& log : fs::directory_iterator(logs_.path())) {
      traces.push_back(ReadProcessTrace(log.path()));
    }
    std::vector<ProcessTrace> touching;
    for (const ProcessTrace& trace : traces) {
      if (std::any_of(trace.calls.begin(), trace.calls.end(),
                      [&](const TracedCall& call) { return Touches(call, install_dir_); })) {
        touching.push_back(trace);
      }
    }
    if (touching.size() == 1) return touching[0];
    return traces.size() == 1 ? traces[0] : ProcessTrace{};
  }

  ProcessTrace TraceRun(const std::vector<std::string>& options,
                        const std::vector<std::string>& wrapper = {}) {
    RunProcess(*strace_, StraceArguments(options, wrapper), "/", TracedEnv());
    return ProgramTrace();
  }

  void SetUp() override {
    strace_ = FindStrace();
    ASSERT_TRUE(strace_) << "strace is needed: scripts/install-deps.sh native";
    install_dir_ = fs::canonical(prefix_.install_dir()).string();
  }

  WinePrefix prefix_;
  TempDir logs_;
  std::optional<std::string> strace_;
  std::string install_dir_;  // as strace gives paths
};

// How the run to be cut short is run.
enum class KilledAs {
  kOrdinary,
  kPidOne,     // PID 1 of a PID namespace of its own, as in a container
  kOneOfFour,  // one of four copies, the others running meanwhile
};

// Which of a run's calls it is killed on entry to.
enum class Points {
  kEvery,         // every call that changes the install directory, and after the last
  kWriteInPlace,  // those from the creation of a write in place's record on
  kFirstFileWriteAfterTheRecord,  // the first write of the file's data after its record's flush
  kRecordsRename,                 // the record's rename to its complete name
};

// What becomes of the disk the kill left before the next run.
enum class Aftermath {
  kPowerCuts,         // nothing; and, where the file's data may be mixed, what power cuts leave
  kAsKilled,          // nothing
  kPageLanded,        // the new content's 4 KiB page at 600 KiB alone reached the file
  kCutToNewSize,      // the file cut to its new size, its old data kept
  kFirstPagesLanded,  // the new content's first 8 KiB reached the file
};

struct CrashRow {
  const char* what;
  Shape shape;
  bool in_place;  // a second name, so written in place; else replaced (or created)
  KilledAs killed_as;
  Points points;
  Aftermath aftermath;
};

std::ostream& operator<<(std::ostream& out, const CrashRow& row) { return out << row.what; }

// Killed on entry to each call of a run that changes the install directory,
// a write in place's file also mixed as power cuts would leave it: the
// next run ends with the new content under every name and nothing else in
// the directory. Without a complete record beside it the file the killed
// run left is whole, the old one or the new one.
class CrashPointFaultTest : public FaultTest, public ::testing::WithParamInterface<CrashRow> {
 protected:
  struct State {
    std::string what;
    std::function<void()> change;  // nothing: the disk as the kill left it
  };

  // The states to try at a point, built from each kill state anew.
  std::vector<State> StatesAt(const CrashRow& row, const RunShape& shape, size_t at,
                              const std::string& old_content, const std::string& new_content,
                              std::mt19937& random) {
    const fs::path ini = prefix_.ini();
    switch (row.aftermath) {
      case Aftermath::kAsKilled:
        return {{"as killed", nullptr}};
      case Aftermath::kPageLanded:
        return {{"the new 4 KiB page at 600 KiB landed alone",
                 [=] { Overwrite(ini, new_content.substr(600 << 10, 4096), 600 << 10); }}};
      case Aftermath::kCutToNewSize:
        return {{"cut to the new size before its data landed",
                 [=] { CutTo(ini, new_content.size()); }}};
      case Aftermath::kFirstPagesLanded:
        return {{"the new first 8 KiB landed, the record's rename did not",
                 [=] { Overwrite(ini, new_content.substr(0, 8192)); }}};
      case Aftermath::kPowerCuts:
        break;
    }
    std::vector<State> states = {{"as killed", nullptr}};
    if (!PowerCutsMixTheFile(shape, at)) return states;
    size_t first_change = 0;
    while (first_change < std::min(old_content.size(), new_content.size()) &&
           old_content[first_change] == new_content[first_change]) {
      ++first_change;
    }
    const size_t first = first_change / 512;
    const size_t end = (std::max(old_content.size(), new_content.size()) + 511) / 512;
    const auto sectors = [&](const std::function<bool(size_t)>& lands) {
      std::vector<bool> landed(end, false);
      for (size_t sector = first; sector < end; ++sector) landed[sector] = lands(sector);
      return landed;
    };
    std::vector<bool> random_pages(end / 8 + 1);
    for (size_t page = 0; page < random_pages.size(); ++page) random_pages[page] = random() % 2;
    std::vector<bool> random_sectors(end);
    for (size_t sector = 0; sector < end; ++sector) random_sectors[sector] = random() % 2;
    const std::vector<std::pair<std::string, std::vector<bool>>> sets = {
        {"no sector", sectors([](size_t) { return false; })},
        {"every sector", sectors([](size_t) { return true; })},
        {"all but the first sector", sectors([&](size_t s) { return s != first; })},
        {"the first half", sectors([&](size_t s) { return s < (first + end) / 2; })},
        {"pages at random", sectors([&](size_t s) { return random_pages[s / 8]; })},
        {"sectors at random", sectors([&](size_t s) { return random_sectors[s]; })},
    };
    const std::vector<std::pair<std::string, size_t>> sizes = {
        {"the old size", old_content.size()}, {"the new size", new_content.size()}};
    const bool renamed = shape.record_rename && *shape.record_rename < at;
    for (const auto& [set, landed] : sets) {
      for (const auto& [size_name, size] : sizes) {
        const std::string mixed = Mixed(old_content, new_content, landed, size);
        states.push_back({"power cut: " + set + " of the new content landed, " + size_name, [=] {
                            Overwrite(ini, mixed);
                            CutTo(ini, mixed.size());
                          }});
        // The record's rename lost too, where the data landed after it.
        if (renamed && (set == "pages at random" || set == "sectors at random")) {
          states.push_back({states.back().what + ", the record's rename lost", [=, this] {
                              Overwrite(ini, mixed);
                              CutTo(ini, mixed.size());
                              RenameRecordBack();
                            }});
        }
      }
    }
    return states;
  }

  // Gives the complete record its temporary name again, as a power cut
  // before the directory reached the disk would.
  void RenameRecordBack() {
    for (const auto& entry : fs::directory_iterator(prefix_.install_dir())) {
      const std::string name = entry.path().filename().string();
      if (name.ends_with(".kavro-redo")) {
        fs::rename(
            entry.path(),
            entry.path().parent_path() /
                (name.substr(0, name.size() - std::string(".kavro-redo").size()) + ".kavro-tmp"));
        return;
      }
    }
    ADD_FAILURE() << "no complete record to give its temporary name again";
  }

  // Fails unless the run just traced was killed on entry to the call at
  // `point` of `clean` (run to its end, for no point).
  void ExpectKilledAt(const std::optional<size_t>& point, const ProcessTrace& clean,
                      const std::string& what) {
    const ProcessTrace run = ProgramTrace();
    if (!point) {
      ASSERT_EQ(run.ended, "exited with 0") << what;
      return;
    }
    const TracedCall* last = run.calls.empty() ? nullptr : &run.calls.back();
    ASSERT_TRUE(last != nullptr && run.ended == "killed by SIGKILL" &&
                Describe(*last, install_dir_) == Describe(clean.calls[*point], install_dir_))
        << what << ": the run ended " << run.ended << " after " << (last ? last->line : "no call");
  }

  // The install directory as a kill left it, to be put back for each state
  // built on it: DASYLab.ini kept as the same file, since a record names it
  // by its inode, and every other file beside it as it was.
  struct KillState {
    ino_t file = 0;
    std::string content;
    struct Beside {
      std::string name;
      std::string content;
      mode_t mode;
    };
    std::vector<Beside> beside;
  };

  std::optional<KillState> Keep() {
    if (!fs::exists(prefix_.ini())) return std::nullopt;
    KillState kept{StatOf(prefix_.ini()).st_ino, ReadFile(prefix_.ini()), {}};
    for (const auto& entry : fs::directory_iterator(prefix_.install_dir())) {
      const std::string name = entry.path().filename().string();
      if (name == "DASYLab.ini" || name == "linked.ini") continue;
      const struct stat st = StatOf(entry.path());
      if (!S_ISREG(st.st_mode) || st.st_nlink != 1) return std::nullopt;
      kept.beside.push_back(
          {name, ReadFile(entry.path()), static_cast<mode_t>(st.st_mode & 07777)});
    }
    return kept;
  }

  // Puts `kept` back, where DASYLab.ini is still the file it was (a run
  // that replaced it made another); false where it is not.
  bool PutBack(const KillState& kept, bool in_place) {
    if (!fs::exists(prefix_.ini()) || StatOf(prefix_.ini()).st_ino != kept.file ||
        (in_place && (!fs::exists(other_name()) || StatOf(other_name()).st_ino != kept.file))) {
      return false;
    }
    for (const auto& entry : fs::directory_iterator(prefix_.install_dir())) {
      const std::string name = entry.path().filename().string();
      if (name != "DASYLab.ini" && name != "linked.ini") fs::remove_all(entry.path());
    }
    Overwrite(prefix_.ini(), kept.content);
    CutTo(prefix_.ini(), kept.content.size());
    for (const KillState::Beside& file : kept.beside) {
      WriteFile(prefix_.install_dir() / file.name, file.content);
      fs::permissions(prefix_.install_dir() / file.name, static_cast<fs::perms>(file.mode));
    }
    return true;
  }

  // What is wrong with the disk as a kill left it, if anything.
  std::optional<std::string> KillStateProblem(const CrashRow& row, const std::string& old_content,
                                              const std::string& new_content) {
    const std::vector<std::string> left = ListTree(prefix_.install_dir());
    if (!fs::exists(prefix_.ini())) {
      if (row.shape == Shape::kCreated) return std::nullopt;
      return "DASYLab.ini is gone";
    }
    if (row.in_place && StatOf(prefix_.ini()).st_ino != StatOf(other_name()).st_ino) {
      return "DASYLab.ini and linked.ini are no longer one file";
    }
    const bool complete_record = std::any_of(
        left.begin(), left.end(), [](const std::string& n) { return n.ends_with(".kavro-redo"); });
    const std::string content = ReadFile(prefix_.ini());
    if (!complete_record && content != new_content &&
        (row.shape == Shape::kCreated || content != old_content)) {
      return "a file neither old nor new without a complete record beside it: " +
             ::testing::PrintToString(left);
    }
    return std::nullopt;
  }

  // What is wrong after the next run (or the survivors), if anything.
  std::optional<std::string> OutcomeProblem(const CrashRow& row, int exit_status,
                                            const std::string& new_content, std::string err) {
    if (exit_status != 0) {
      // The cause is the line after the warning box.
      const size_t cause = err.find("kavro-register: ");
      return "the next run exited " + std::to_string(exit_status) + ": " +
             (cause == std::string::npos ? err : err.substr(cause, err.find('\n', cause) - cause));
    }
    if (!fs::exists(prefix_.ini()) || ReadFile(prefix_.ini()) != new_content) {
      return "the next run exited 0, but DASYLab.ini is not the new content";
    }
    if (row.in_place && (StatOf(prefix_.ini()).st_ino != StatOf(other_name()).st_ino ||
                         ReadFile(other_name()) != new_content)) {
      return "linked.ini is not the new content, or no longer the same file";
    }
    const std::vector<std::string> left = ListTree(prefix_.install_dir());
    if (left != NamesOf(row.in_place)) {
      return "left in the install directory: " + ::testing::PrintToString(left);
    }
    return std::nullopt;
  }
};

TEST_P(CrashPointFaultTest, TheNextRunEndsWithTheNewFile) {
  const CrashRow& row = GetParam();
  const bool created = row.shape == Shape::kCreated;
  const std::string old_content = ConfigurationOf(row.shape);
  const std::string new_content = NewContentOf(old_content, created);
  ASSERT_NE(new_content, old_content);
  std::optional<std::string> unshare;
  if (row.killed_as == KilledAs::kPidOne) {
    unshare = UnshareForPidNamespaces();
    if (!unshare) GTEST_SKIP() << "killed as PID 1: unshare --pid --fork is not permitted here";
  }
  const std::vector<std::string> wrapper =
      unshare ? std::vector<std::string>{*unshare, "--pid", "--fork"} : std::vector<std::string>{};

  // One clean run, traced: where its crash points are.
  Lay(old_content, row.in_place, created);
  const ProcessTrace clean = TraceRun({}, wrapper);
  ASSERT_EQ(clean.ended, "exited with 0");
  ASSERT_EQ(ReadFile(prefix_.ini()), new_content);
  const RunShape shape = ShapeOf(clean, install_dir_, row.in_place);
  std::vector<std::optional<size_t>> points;  // nothing: after the last call
  switch (row.points) {
    case Points::kEvery:
      points.assign(shape.disk_calls.begin(), shape.disk_calls.end());
      points.push_back(std::nullopt);
      break;
    case Points::kWriteInPlace:
      ASSERT_TRUE(shape.record_created) << "no record was made";
      for (const size_t call : shape.disk_calls) {
        if (call >= *shape.record_created) points.push_back(call);
      }
      break;
    case Points::kFirstFileWriteAfterTheRecord:
      ASSERT_TRUE(shape.first_file_write) << "the file's data is never written after the record";
      points.push_back(*shape.first_file_write);
      break;
    case Points::kRecordsRename:
      ASSERT_TRUE(shape.record_rename) << "the record is never renamed";
      points.push_back(*shape.record_rename);
      break;
  }

  std::mt19937 random(20261210);
  int states = 0;
  std::vector<std::string> not_recovered;
  for (const std::optional<size_t>& point : points) {
    const std::string where =
        point ? "killed on entry to " + Describe(clean.calls[*point], install_dir_)
              : std::string("after the last call");
    SCOPED_TRACE(where);
    const std::string inject = point ? "inject=" + clean.calls[*point].name + ":signal=KILL:when=" +
                                           std::to_string(clean.calls[*point].nth)
                                     : "";
    std::optional<KillState> kept;  // what the kill left, for the states built on it
    for (const State& state : StatesAt(row, shape, point.value_or(clean.calls.size()), old_content,
                                       new_content, random)) {
      ++states;
      const std::string what = where + ", " + state.what;
      int next_status = -1;
      std::string next_err;
      if (row.killed_as == KilledAs::kOneOfFour) {
        Lay(old_content, row.in_place, created);
        // The copy to be killed first holds the run lock while it waits for
        // the file's own lock, which the test holds; the other three start
        // meanwhile and wait for it, their directory open. Only then does
        // the test let go, and the copy runs on into its kill.
        HeldLock file_lock(prefix_.ini(), static_cast<off_t>(profile::kFileLockOffset), false);
        ASSERT_TRUE(file_lock.held());
        Child victim(StartProcess(*strace_, TracedEnv(), StraceArguments({inject})));
        const fs::path lock_file = prefix_.install_dir() / ".dasylab.ini.kavro-lock";
        WaitUntil([&] { return LockedByARun(lock_file); }, victim);
        ASSERT_FALSE(victim.Gone()) << what << ": the copy to be killed never held the run lock";
        std::vector<Child> others;
        for (const pid_t copy : StartTogether(
                 KAVRO_REGISTER, std::vector<std::map<std::string, std::string>>(3, Env()))) {
          others.emplace_back(copy);
        }
        for (Child& other : others) {
          WaitUntil([&] { return HasOpen(other.pid(), install_dir_); }, other);
        }
        file_lock.LetGo();
        victim.Wait();
        ASSERT_NO_FATAL_FAILURE(ExpectKilledAt(point, clean, what));
        next_status = 0;
        for (Child& other : others) next_status = std::max(next_status, other.Wait());
        next_err = "(one of the three others)";
      } else {
        if (!kept || !PutBack(*kept, row.in_place)) {
          Lay(old_content, row.in_place, created);
          RunProcess(
              *strace_,
              StraceArguments(point ? std::vector{inject} : std::vector<std::string>{}, wrapper),
              "/", TracedEnv());
          ASSERT_NO_FATAL_FAILURE(ExpectKilledAt(point, clean, what));
          if (const std::optional<std::string> problem =
                  KillStateProblem(row, old_content, new_content)) {
            not_recovered.push_back(what + ": " + *problem);
            break;  // every state built on it would be wrong too
          }
          kept = Keep();
        }
        if (state.change) state.change();
        const ProcessResult next = Run();
        next_status = next.exit_status;
        next_err = next.err;
      }
      if (const std::optional<std::string> problem =
              OutcomeProblem(row, next_status, new_content, next_err)) {
        not_recovered.push_back(what + ": " + *problem);
      }
    }
  }
  std::cout << row.what << ": " << points.size() << " points, " << states << " states, "
            << not_recovered.size() << " not recovered\n";
  RecordProperty("points", static_cast<int>(points.size()));
  RecordProperty("states", states);
  RecordProperty("not_recovered", static_cast<int>(not_recovered.size()));
  for (size_t i = 0; i < std::min<size_t>(not_recovered.size(), 5); ++i) {
    ADD_FAILURE() << not_recovered[i];
  }
  EXPECT_EQ(not_recovered.size(), 0u) << "of " << states << " states";
}

const CrashRow kCrashRows[] = {
    {"native, replaced, growing", Shape::kGrowing, false, KilledAs::kOrdinary, Points::kEvery,
     Aftermath::kPowerCuts},
    {"native, replaced, shrinking", Shape::kShrinking, false, KilledAs::kOrdinary, Points::kEvery,
     Aftermath::kPowerCuts},
    {"native, replaced, section appended", Shape::kAppended, false, KilledAs::kOrdinary,
     Points::kEvery, Aftermath::kPowerCuts},
    {"native, in place, growing", Shape::kGrowing, true, KilledAs::kOrdinary, Points::kEvery,
     Aftermath::kPowerCuts},
    {"native, in place, shrinking", Shape::kShrinking, true, KilledAs::kOrdinary, Points::kEvery,
     Aftermath::kPowerCuts},
    {"native, in place, section appended", Shape::kAppended, true, KilledAs::kOrdinary,
     Points::kEvery, Aftermath::kPowerCuts},
    {"native, created", Shape::kCreated, false, KilledAs::kOrdinary, Points::kEvery,
     Aftermath::kPowerCuts},
    {"native, in place, growing, as PID 1 of its own PID namespace", Shape::kGrowing, true,
     KilledAs::kPidOne, Points::kWriteInPlace, Aftermath::kAsKilled},
    {"native, in place, growing, one of four copies", Shape::kGrowing, true, KilledAs::kOneOfFour,
     Points::kWriteInPlace, Aftermath::kAsKilled},
    {"native, in place, growing, a later page landed before the rest", Shape::kGrowing, true,
     KilledAs::kOrdinary, Points::kFirstFileWriteAfterTheRecord, Aftermath::kPageLanded},
    {"native, in place, shrinking, the new size landed before the data", Shape::kShrinking, true,
     KilledAs::kOrdinary, Points::kFirstFileWriteAfterTheRecord, Aftermath::kCutToNewSize},
    {"native, in place, growing, the record's rename lost", Shape::kGrowing, true,
     KilledAs::kOrdinary, Points::kRecordsRename, Aftermath::kFirstPagesLanded},
};

std::string RowName(const ::testing::TestParamInfo<CrashRow>& info) {
  std::string name;
  for (const char c : std::string(info.param.what)) {
    if (std::isalnum(static_cast<unsigned char>(c))) {
      name += c;
    } else if (!name.empty() && name.back() != '_') {
      name += '_';
    }
  }
  return name;
}

INSTANTIATE_TEST_SUITE_P(Native, CrashPointFaultTest, ::testing::ValuesIn(kCrashRows), RowName);

// Ctrl-C, a closed terminal or a stop request delivered on entry to each
// call of a run that changes the install directory: the program ends by
// that signal, as programs do, or runs to its end; the file is the old one
// or the new one; and no temporary file, record or lock is left for a later
// run to clear. Replaced (one name) and written in place (a second name).
TEST_F(FaultTest, InterruptedAnywhereLeavesNothingBehind) {
  const std::string old_content = ConfigurationOf(Shape::kGrowing);
  const std::string new_content = NewContentOf(old_content, false);
  for (const bool in_place : {false, true}) {
    const std::string what = in_place ? "signals, in place" : "signals, replaced";
    SCOPED_TRACE(what);
    Lay(old_content, in_place);
    const ProcessTrace clean = TraceRun({});
    ASSERT_EQ(clean.ended, "exited with 0");
    const RunShape shape = ShapeOf(clean, install_dir_, in_place);
    int runs = 0;
    std::vector<std::string> failures;
    for (const size_t point : shape.disk_calls) {
      const TracedCall& call = clean.calls[point];
      for (const auto& [signal_name, signal_number] :
           {std::pair{"INT", SIGINT}, std::pair{"TERM", SIGTERM}, std::pair{"HUP", SIGHUP}}) {
        ++runs;
        const std::string where =
            std::string("SIG") + signal_name + " on entry to " + Describe(call, install_dir_);
        Lay(old_content, in_place);
        TraceRun({"inject=" + call.name + ":signal=" + signal_name +
                  ":when=" + std::to_string(call.nth)});
        const ProcessTrace run = ProgramTrace();
        const std::string content = ReadFile(prefix_.ini());
        const std::vector<std::string> left = ListTree(prefix_.install_dir());
        if (run.ended != std::string("killed by SIG") + signal_name &&
            run.ended != "exited with 0") {
          failures.push_back(where + ": the run ended " + run.ended);
        } else if (content != old_content && content != new_content) {
          failures.push_back(where + ": the file is neither old nor new");
        } else if (in_place && (StatOf(prefix_.ini()).st_ino != StatOf(other_name()).st_ino ||
                                ReadFile(other_name()) != content)) {
          failures.push_back(where + ": linked.ini is no longer the same file");
        } else if (left != NamesOf(in_place)) {
          failures.push_back(where + ": left " + ::testing::PrintToString(left));
        }
      }
    }
    std::cout << what << ": " << shape.disk_calls.size() << " points, " << runs << " runs, "
              << failures.size() << " not clean\n";
    RecordProperty(what + ", runs", runs);
    RecordProperty(what + ", not clean", static_cast<int>(failures.size()));
    for (const std::string& failure : failures) ADD_FAILURE() << failure;
  }
}

// The install directory renamed, and a fresh one with a DASYLab.ini of its
// own put in its place, while a run is under way: the run finishes in the
// directory it started in, and the fresh file is never touched. The test
// holds the run lock, as another run would, until the program has its
// directory open and waits for the lock; then swaps the directories and
// lets go as a run does, removing the lock file and then closing it.
TEST_F(FaultTest, ADirectorySwappedDuringTheRunIsNeverWrittenInto) {
  const std::string old_content = ConfigurationOf(Shape::kGrowing);
  const std::string new_content = NewContentOf(old_content, false);
  const fs::path moved = prefix_.install_dir().parent_path() / "DASYLab 8.0.old";
  WriteFile(prefix_.ini(), old_content);
  const fs::path lock_file = prefix_.install_dir() / ".dasylab.ini.kavro-lock";
  HeldLock run_lock(lock_file, 0, true);
  ASSERT_TRUE(run_lock.held());

  Child child(StartProcess(KAVRO_REGISTER, Env()));
  // Waiting for the lock, with the install directory open: the directory
  // the run looked up is the one it writes in.
  WaitUntil([&] { return Pausing(child.pid()) && HasOpen(child.pid(), install_dir_); }, child);
  ASSERT_FALSE(child.Gone()) << "the run did not wait for the lock";
  fs::rename(prefix_.install_dir(), moved);
  fs::create_directory(prefix_.install_dir());
  WriteFile(prefix_.ini(), "[Fresh]\r\nx=1\r\n");
  fs::remove(moved / lock_file.filename());
  run_lock.LetGo();

  EXPECT_EQ(child.Wait(), 0);
  EXPECT_EQ(ReadFile(prefix_.ini()), "[Fresh]\r\nx=1\r\n");
  EXPECT_THAT(ListTree(prefix_.install_dir()), ElementsAre("DASYLab.ini"));
  EXPECT_TRUE(ReadFile(moved / "DASYLab.ini") == new_content);
  EXPECT_THAT(ListTree(moved), ElementsAre("DASYLab.ini"));
}

// Copies started at the same moment, round after round, take turns: every
// one succeeds, and after each round the file holds the entry once, under
// every name it has, with nothing left beside it. A file with one name is
// replaced; one with a second name is written in place. Without turns, a
// run takes another's temporary file or record for a dead run's and clears
// it, or reads a file half written.
TEST_F(FaultTest, CopiesStartedTogetherTakeTurns) {
  struct Row {
    const char* what;
    std::string content;
    int rounds;
    int copies;
    bool second_name;
  };
  const std::string large = LargeConfiguration(4 << 20);
  const std::vector<Row> rows = {
      {"small file, replaced", kSmallConfiguration, 100, 4, false},
      {"small file, written in place", kSmallConfiguration, 100, 4, true},
      {"4 MiB file, replaced", large, 4, 16, false},
      {"4 MiB file, written in place", large, 4, 16, true},
  };
  const fs::path other_name = prefix_.install_dir() / "linked.ini";
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const std::string expected = profile::SetEntry(row.content, kDriver).content;
    fs::remove(other_name);
    WriteFile(prefix_.ini(), row.content);
    std::vector<std::string> names = {"DASYLab.ini"};
    if (row.second_name) {
      fs::create_hard_link(prefix_.ini(), other_name);
      names.push_back("linked.ini");
    }
    const std::vector<std::map<std::string, std::string>> envs(row.copies, Env());
    int failed_rounds = 0;
    for (int round = 0; round < row.rounds; ++round) {
      WriteFile(prefix_.ini(), row.content);  // in place: the second name stays
      int failed_runs = 0;
      for (const pid_t copy : StartTogether(KAVRO_REGISTER, envs)) {
        failed_runs += WaitProcess(copy) != 0;
      }
      const bool whole = ReadFile(prefix_.ini()) == expected &&
                         (!row.second_name || ReadFile(other_name) == expected);
      const std::vector<std::string> left = ListTree(prefix_.install_dir());
      if (failed_runs == 0 && whole && left == names) continue;
      if (++failed_rounds <= 3) {
        ADD_FAILURE() << "round " << round << ": " << failed_runs << " of " << row.copies
                      << " runs failed, the file is " << (whole ? "right" : "wrong")
                      << ", the directory holds " << ::testing::PrintToString(left);
      }
    }
    EXPECT_EQ(failed_rounds, 0) << "of " << row.rounds << " rounds";
  }
}

// A hostile file gets a clear outcome: the entry written with everything
// else kept, or the warning with the file untouched; never a hang or crash.
TEST_F(FaultTest, HostileFilesGetAClearOutcome) {
  std::mt19937 random(7);
  std::string garbage(1 << 20, '\0');
  for (char& c : garbage) c = static_cast<char>(random());
  struct Hostile {
    const char* what;
    std::string content;
  };
  const std::vector<Hostile> files = {
      {"binary garbage", garbage},
      {"NUL bytes", std::string(4096, '\0') + "[Hardware]\n" + std::string(10, '\0')},
      {"one 50 MB line", "[Hardware]" + std::string(50 << 20, 'x')},
      {"odd-length UTF-16", std::string("\xFF\xFE[\0H\0a", 7)},
  };
  for (const Hostile& file : files) {
    SCOPED_TRACE(file.what);
    WriteFile(prefix_.ini(), file.content);
    const ProcessResult result = Run();
    const std::string after = ReadFile(prefix_.ini());
    const profile::Edit edit = profile::SetEntry(file.content, kDriver);
    if (edit.status == profile::EditStatus::kUnreadable) {
      EXPECT_EQ(result.exit_status, 1);
      EXPECT_EQ(after, file.content);
    } else {
      EXPECT_EQ(result.exit_status, 0);
      EXPECT_EQ(after, edit.content);
      EXPECT_EQ(reader::Lookup(reader::ReadEntries(after), u"Hardware", u"MKAVRO.DLL"),
                u"KAVRO DAQ Cards Driver");
    }
    EXPECT_THAT(ListTree(prefix_.install_dir()), ElementsAre("DASYLab.ini"));
  }
}

TEST_F(FaultTest, LinksAndSpecialFilesAreRefusedWithoutBlocking) {
  const fs::path ini = prefix_.ini();
  const std::vector<std::pair<std::string, std::function<void()>>> setups = {
      {"link loop", [&] { fs::create_symlink("DASYLab.ini", ini); }},
      {"dangling link", [&] { fs::create_symlink("gone.ini", ini); }},
      {"FIFO", [&] { ASSERT_EQ(mkfifo(ini.c_str(), 0644), 0); }},
  };
  for (const auto& [what, setup] : setups) {
    SCOPED_TRACE(what);
    fs::remove(ini);
    setup();
    const ProcessResult result = Run();
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_THAT(result.err, ::testing::HasSubstr("Alarm"));
    EXPECT_TRUE(fs::is_symlink(ini) || fs::is_fifo(ini));
    EXPECT_THAT(ListTree(prefix_.install_dir()), ElementsAre("DASYLab.ini"));
  }
}

// Run as root on root's own prefix, nothing another user may change leads
// the program anywhere: not a drive_c or dosdevices/c: that user owns, not
// their link in DASYLab.ini's place, and not a swap of the prefix for one of
// theirs while the program runs. A root-only file elsewhere, which each of
// these would lead to, is never written.
TEST_F(FaultTest, RootNeverWritesThroughAnotherUsersHands) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root and another user's files";
  constexpr uid_t kUser = 4321;
  const fs::path secret =
      prefix_.path().parent_path() / (prefix_.path().filename().string() + ".secret");
  WriteFile(secret, "[Hardware]\r\nroot only\r\n");
  ASSERT_EQ(chmod(secret.c_str(), 0600), 0);
  const auto user_owns = [](const fs::path& path) {
    ASSERT_EQ(lchown(path.c_str(), kUser, kUser), 0) << path;
  };
  const fs::path drive_c = prefix_.path() / "drive_c";
  const std::vector<std::pair<std::string, std::function<void()>>> setups = {
      {"drive_c a user's, DASYLab.ini their link",
       [&] {
         fs::create_symlink(secret, prefix_.ini());
         for (const fs::path& path :
              {drive_c, drive_c / "Program Files", prefix_.install_dir(), prefix_.ini()}) {
           user_owns(path);
         }
       }},
      {"dosdevices/c: a user's link",
       [&] {
         fs::create_directories(prefix_.path() / "elsewhere" / "Program Files" / "DASYLab 8.0");
         fs::create_symlink(secret, prefix_.path() / "elsewhere" / "Program Files" / "DASYLab 8.0" /
                                        "DASYLab.ini");
         fs::create_directories(prefix_.path() / "dosdevices");
         fs::create_symlink("../elsewhere", prefix_.path() / "dosdevices" / "c:");
         user_owns(prefix_.path() / "dosdevices" / "c:");
       }},
      {"DASYLab.ini a user's link in root's directory",
       [&] {
         fs::create_symlink(secret, prefix_.ini());
         user_owns(prefix_.ini());
       }},
      {"DASYLab.ini root's link through a user's directory",
       [&] {
         fs::create_directories(drive_c / "users" / "lab");
         fs::create_symlink(secret, drive_c / "users" / "lab" / "x.ini");
         user_owns(drive_c / "users" / "lab");
         user_owns(drive_c / "users" / "lab" / "x.ini");
         fs::create_symlink("../../users/lab/x.ini", prefix_.ini());
       }},
      {"a directory on the way that others may change",
       [&] {
         fs::create_symlink(secret, prefix_.ini());
         ASSERT_EQ(chmod(prefix_.install_dir().c_str(), 0777), 0);
       }},
  };
  for (const auto& [what, setup] : setups) {
    SCOPED_TRACE(what);
    fs::remove_all(prefix_.path());
    fs::create_directories(prefix_.install_dir());
    setup();
    EXPECT_EQ(Run().exit_status, 1);
    EXPECT_EQ(ReadFile(secret), "[Hardware]\r\nroot only\r\n");
  }

  // The user swaps root's prefix, in a directory of theirs, with a prefix
  // of their own whose DASYLab.ini leads to the root-only file, as fast as
  // they can, while root runs the program again and again.
  const fs::path home = prefix_.path() / "home";
  const fs::path roots = home / "root-prefix", theirs = home / "their-prefix";
  fs::remove_all(prefix_.path());
  for (const fs::path& prefix : {roots, theirs}) {
    fs::create_directories(prefix / "drive_c" / "Program Files" / "DASYLab 8.0");
  }
  fs::create_symlink(secret, theirs / "drive_c" / "Program Files" / "DASYLab 8.0" / "DASYLab.ini");
  for (const auto& entry : fs::recursive_directory_iterator(theirs)) user_owns(entry.path());
  user_owns(theirs);
  user_owns(home);
  std::atomic<bool> swapping = true;
  std::thread swapper([&] {
    while (swapping) {
      syscall(SYS_renameat2, AT_FDCWD, roots.c_str(), AT_FDCWD, theirs.c_str(), RENAME_EXCHANGE);
    }
  });
  // However many of the swaps fall inside a run, no run may get through.
  for (int run = 0; run < 200; ++run) {
    RunProcess(KAVRO_REGISTER, {}, "/", {{"WINEPREFIX", roots.string()}});
  }
  swapping = false;
  swapper.join();
  EXPECT_EQ(ReadFile(secret), "[Hardware]\r\nroot only\r\n");
  fs::remove(secret);
}

}  // namespace
