#include "test_support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace testing_support {

TempDir::TempDir() {
  std::string pattern = (fs::temp_directory_path() / "kavro-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

WinePrefix::WinePrefix() { fs::create_directories(install_dir()); }

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

void WriteFile(const fs::path& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  if (!out.flush()) throw std::runtime_error("cannot write " + path.string());
}

struct stat StatOf(const fs::path& path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) throw std::runtime_error("cannot stat " + path.string());
  return st;
}

std::vector<std::string> ListTree(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    names.push_back(entry.path().lexically_relative(dir).string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

SmallTmpfs::SmallTmpfs(const fs::path& path, const std::string& size) : path_(path) {
  fs::create_directories(path);
  mounted_ = mount("tmpfs", path.c_str(), "tmpfs", 0, ("size=" + size).c_str()) == 0;
}

SmallTmpfs::~SmallTmpfs() {
  if (mounted_) umount2(path_.c_str(), MNT_DETACH);
}

namespace {

// The environment of a child, as execve wants it; `strings` owns the text.
std::vector<char*> EnvironmentBlock(const std::map<std::string, std::string>& env,
                                    std::vector<std::string>& strings) {
  for (const auto& [name, value] : env) strings.push_back(name + "=" + value);
  std::vector<char*> block;
  for (std::string& entry : strings) block.push_back(entry.data());
  block.push_back(nullptr);
  return block;
}

void ReadAvailable(int fd, std::string& into, bool& open) {
  char buffer[4096];
  const ssize_t got = read(fd, buffer, sizeof buffer);
  if (got > 0) {
    into.append(buffer, static_cast<size_t>(got));
  } else if (got == 0) {
    open = false;
  }
}

}  // namespace

SilentTerminal::SilentTerminal() : master_(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC)) {
  const char* name =
      master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0 ? ptsname(master_) : nullptr;
  if (name == nullptr) throw std::runtime_error("no pseudo-terminal");
  path_ = name;
}

SilentTerminal::~SilentTerminal() { close(master_); }

ProcessResult RunProcess(const std::string& program, const std::vector<std::string>& args,
                         const fs::path& cwd, const std::map<std::string, std::string>& env,
                         int timeout_seconds, const fs::path& input) {
  int out_pipe[2];
  int err_pipe[2];
  if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) throw std::runtime_error("pipe failed");
  std::vector<std::string> env_strings;
  std::vector<char*> envp = EnvironmentBlock(env, env_strings);
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    const int in = open(input.c_str(), O_RDWR | O_NOCTTY);
    dup2(in, STDIN_FILENO);
    dup2(out_pipe[1], STDOUT_FILENO);
    dup2(err_pipe[1], STDERR_FILENO);
    if (chdir(cwd.c_str()) != 0) _exit(127);
    execve(program.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);

  ProcessResult result;
  bool out_open = true;
  bool err_open = true;
  const time_t deadline = time(nullptr) + timeout_seconds;
  while ((out_open || err_open) && time(nullptr) < deadline) {
    pollfd fds[] = {{out_open ? out_pipe[0] : -1, POLLIN, 0},
                    {err_open ? err_pipe[0] : -1, POLLIN, 0}};
    if (poll(fds, 2, 200) <= 0) continue;
    if (fds[0].revents != 0) ReadAvailable(out_pipe[0], result.out, out_open);
    if (fds[1].revents != 0) ReadAvailable(err_pipe[0], result.err, err_open);
  }
  if (out_open || err_open) kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  close(out_pipe[0]);
  close(err_pipe[0]);
  result.exit_status = WIFEXITED(status) && !(out_open || err_open) ? WEXITSTATUS(status) : -1;
  return result;
}

namespace {

// Forks and runs `program`; the child first waits for end of file on
// `gate`, where it is not -1, and closes `gate_writer`.
pid_t StartBehindGate(const std::string& program, const std::map<std::string, std::string>& env,
                      const std::vector<std::string>& args, int gate, int gate_writer) {
  std::vector<std::string> env_strings;
  std::vector<char*> envp = EnvironmentBlock(env, env_strings);
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    if (gate >= 0) {
      close(gate_writer);
      char byte;
      while (read(gate, &byte, 1) < 0 && errno == EINTR) {
      }
    }
    const int null = open("/dev/null", O_RDWR);
    dup2(null, STDIN_FILENO);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    execve(program.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  return child;
}

}  // namespace

pid_t StartProcess(const std::string& program, const std::map<std::string, std::string>& env,
                   const std::vector<std::string>& args) {
  return StartBehindGate(program, env, args, -1, -1);
}

std::vector<pid_t> StartTogether(const std::string& program,
                                 const std::vector<std::map<std::string, std::string>>& envs) {
  int gate[2];
  if (pipe2(gate, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  std::vector<pid_t> children;
  for (const auto& env : envs) {
    children.push_back(StartBehindGate(program, env, {}, gate[0], gate[1]));
  }
  close(gate[1]);  // the last writer: every child's read ends now
  close(gate[0]);
  return children;
}

int WaitProcess(pid_t child) {
  int status = 0;
  if (waitpid(child, &status, 0) != child) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

pid_t FirstChildOf(pid_t parent, int timeout_milliseconds) {
  const std::string children =
      "/proc/" + std::to_string(parent) + "/task/" + std::to_string(parent) + "/children";
  const auto give_up =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_milliseconds);
  do {
    std::ifstream in(children);
    pid_t child = -1;
    if (in >> child && child > 0) return child;
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  } while (std::chrono::steady_clock::now() < give_up);
  return -1;
}

std::optional<std::string> FindStrace() {
  for (const char* strace : {"/usr/bin/strace", "/bin/strace"}) {
    if (access(strace, X_OK) == 0) return strace;
  }
  return std::nullopt;
}

namespace {

// Reads the quoted string that starts at `line[at]` (the opening quote),
// with its escapes as strace writes them, and moves `at` past it.
std::string QuotedString(const std::string& line, size_t& at) {
  std::string text;
  for (++at; at < line.size() && line[at] != '"'; ++at) {
    if (line[at] != '\\' || at + 1 >= line.size()) {
      text += line[at];
      continue;
    }
    const char escaped = line[++at];
    if (escaped >= '0' && escaped <= '7') {
      int value = 0;
      for (int digits = 0; digits < 3 && at < line.size() && line[at] >= '0' && line[at] <= '7';
           ++digits, ++at) {
        value = value * 8 + (line[at] - '0');
      }
      --at;
      text += static_cast<char>(value);
    } else if (escaped == 'x' && at + 2 < line.size()) {
      text += static_cast<char>(std::stoi(line.substr(at + 1, 2), nullptr, 16));
      at += 2;
    } else {
      const std::string from = "nrtvf", to = "\n\r\t\v\f";
      const size_t known = from.find(escaped);
      text += known == std::string::npos ? escaped : to[known];
    }
  }
  if (at < line.size()) ++at;  // the closing quote
  return text;
}

// Whether the strings a call named `name` is given are paths (else they
// are data, or attribute names).
bool TakesPaths(const std::string& name) {
  static const std::set<std::string> kTakePaths = {
      "open",      "creat",     "openat",      "openat2",      "rename",   "renameat",
      "renameat2", "unlink",    "unlinkat",    "link",         "linkat",   "symlink",
      "symlinkat", "mkdir",     "mkdirat",     "rmdir",        "mknod",    "mknodat",
      "chmod",     "fchmodat",  "chown",       "lchown",       "fchownat", "truncate",
      "setxattr",  "lsetxattr", "removexattr", "lremovexattr", "utimensat"};
  return kTakePaths.contains(name);
}

// The arguments of the call logged on `line` from `at` (just past the
// opening parenthesis) up to the closing one, into `call`.
void ReadArguments(const std::string& line, size_t at, TracedCall& call) {
  const bool takes_paths = TakesPaths(call.name);
  int depth = 0;
  while (at < line.size()) {
    const char c = line[at];
    if (c == '"') {
      const std::string text = QuotedString(line, at);
      if (takes_paths && text.starts_with("/")) call.paths.push_back(text);
      call.flags += "\"\"";
      continue;
    }
    const size_t end = c == '<' ? line.find('>', at) : std::string::npos;
    if (end != std::string::npos) {
      // A descriptor's path: "5</some/path>" or "AT_FDCWD</>"; a name right
      // after it is relative to it.
      const std::string directory = line.substr(at + 1, end - at - 1);
      call.paths.push_back(directory);
      at = end + 1;
      if (takes_paths && line.compare(at, 3, ", \"") == 0) {
        at += 2;
        const std::string name = QuotedString(line, at);
        call.paths.push_back(name.starts_with("/") ? name
                             : directory == "/"    ? "/" + name
                                                   : directory + "/" + name);
        call.flags += ", \"\"";
      }
      continue;
    }
    if (c == '(' || c == '[' || c == '{') ++depth;
    if (c == ')' || c == ']' || c == '}') {
      if (depth == 0) return;  // the end of the arguments
      --depth;
    }
    call.flags += c;
    ++at;
  }
}

}  // namespace

ProcessTrace ReadProcessTrace(const fs::path& log) {
  ProcessTrace trace;
  std::ifstream in(log);
  std::map<std::string, int> seen;
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with("+++ ")) {
      trace.ended = line.substr(4, line.rfind(" +++") - 4);
      continue;
    }
    if (line.starts_with("---") || line.starts_with("<...")) continue;
    const size_t open = line.find('(');
    if (open == std::string::npos || open == 0) continue;
    TracedCall call;
    call.name = line.substr(0, open);
    if (call.name.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_") != std::string::npos) {
      continue;
    }
    call.nth = ++seen[call.name];
    call.line = line;
    ReadArguments(line, open + 1, call);
    trace.calls.push_back(std::move(call));
  }
  return trace;
}

}  // namespace testing_support
