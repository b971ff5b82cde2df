// Scratch directories, files and child processes for the file-system tests.
#ifndef KAVRO_TESTS_TEST_SUPPORT_H_
#define KAVRO_TESTS_TEST_SUPPORT_H_

#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace testing_support {

namespace fs = std::filesystem;

// A fresh directory, removed with everything in it at the end of the scope.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// A Wine-style prefix with "C:\Program Files\DASYLab 8.0" under drive_c.
class WinePrefix : public TempDir {
 public:
  WinePrefix();
  fs::path install_dir() const { return path() / "drive_c" / "Program Files" / "DASYLab 8.0"; }
  fs::path ini() const { return install_dir() / "DASYLab.ini"; }
};

std::string ReadFile(const fs::path& path);
void WriteFile(const fs::path& path, const std::string& content);
struct stat StatOf(const fs::path& path);

// Every name under `dir`, sorted, relative to it.
std::vector<std::string> ListTree(const fs::path& dir);

// A small tmpfs mounted at `path` for the life of the object, where mounting
// is permitted (root, no container rules against it); mounted() says so.
class SmallTmpfs {
 public:
  SmallTmpfs(const fs::path& path, const std::string& size);
  ~SmallTmpfs();
  bool mounted() const { return mounted_; }

 private:
  fs::path path_;
  bool mounted_ = false;
};

// A pseudo-terminal whose other end nobody types into: what a program sees
// on a terminal that never answers. Open for the life of the object.
class SilentTerminal {
 public:
  SilentTerminal();
  ~SilentTerminal();
  SilentTerminal(const SilentTerminal&) = delete;
  SilentTerminal& operator=(const SilentTerminal&) = delete;
  const fs::path& path() const { return path_; }  // the terminal end

 private:
  int master_;
  fs::path path_;
};

struct ProcessResult {
  int exit_status = -1;  // -1 when killed by a signal or timed out
  std::string out;
  std::string err;
};

// Runs `program` with `args` in `cwd` with exactly `env`, standard input
// from `input`, and waits at most `timeout_seconds`.
ProcessResult RunProcess(const std::string& program, const std::vector<std::string>& args,
                         const fs::path& cwd, const std::map<std::string, std::string>& env,
                         int timeout_seconds = 20, const fs::path& input = "/dev/null");

// Starts `program` with `args` and exactly `env`, its standard streams on
// /dev/null, and returns at once.
pid_t StartProcess(const std::string& program, const std::map<std::string, std::string>& env,
                   const std::vector<std::string>& args = {});

// Starts a copy of `program` for each of `envs`, with that environment, as
// StartProcess does, each held back after its fork until all are forked, so
// that they reach the file together rather than one fork apart.
std::vector<pid_t> StartTogether(const std::string& program,
                                 const std::vector<std::map<std::string, std::string>>& envs);

// The first child of `parent` (a child of this process), waiting up to
// `timeout_milliseconds` for it to appear; -1 when none did. For reaching
// the program that a wrapper such as unshare started.
pid_t FirstChildOf(pid_t parent, int timeout_milliseconds = 5000);

// Waits for a child started by StartProcess; returns its exit status, or -1
// when a signal ended it.
int WaitProcess(pid_t child);

// strace(1), where it is installed.
std::optional<std::string> FindStrace();

// One system call as `strace -y` logged it.
struct TracedCall {
  std::string name;  // "openat", "pwrite64", ...
  // Which call of that name it was in its process, 1 for the first: the N
  // of strace's `inject=NAME:...:when=N`, which counts per process.
  int nth = 0;
  // Its arguments as logged, with every string argument left out, so that
  // flags can be looked for without matching file content.
  std::string flags;
  // Every file it names, in argument order: the path strace gives for a
  // descriptor, a path argument, and a name relative to a directory
  // descriptor joined to that directory's path. The result is left out.
  std::vector<std::string> paths;
  std::string line;  // as logged
};

// One process's log, as `strace -ff -y -o PREFIX` writes it to PREFIX.PID.
struct ProcessTrace {
  std::vector<TracedCall> calls;
  // How it ended, as strace says it: "exited with 0", "killed by SIGKILL";
  // empty when the log does not say.
  std::string ended;
};

ProcessTrace ReadProcessTrace(const fs::path& log);

}  // namespace testing_support

#endif  // KAVRO_TESTS_TEST_SUPPORT_H_
