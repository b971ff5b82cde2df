// How fast the profile writer is, next to what a user would do instead: copy
// the file as cp does, inside the kernel, to a flushed temporary file and
// rename it over the original. The copy through a user buffer, the least
// that a writer which reads the file must do, is kept beside it.
//   build/native/bench/profile_write_bench
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/profile_edit.h"
#include "platform/profile_file.h"

namespace {

namespace fs = std::filesystem;

const profile::Entry kDriver{"Hardware", "MKAVRO.DLL", "KAVRO DAQ Cards Driver"};
constexpr int64_t kKiB = 1024;
constexpr int64_t kMiB = 1024 * kKiB;

// A long configuration in the shape of a real one: many module sections of
// settings, with [Hardware] half-way and without the driver's key.
std::string MakeConfiguration(int64_t size) {
  std::string text;
  text.reserve(static_cast<size_t>(size) + 256);
  bool hardware_added = false;
  for (int section = 0; static_cast<int64_t>(text.size()) < size; ++section) {
    if (!hardware_added && static_cast<int64_t>(text.size()) >= size / 2) {
      text += "[Hardware]\r\nMDEMO.DLL=Demo Board Driver\r\nMIO16.DLL=Multi I/O 16 Driver\r\n\r\n";
      hardware_added = true;
    }
    text += "[Module " + std::to_string(section) + "]\r\n";
    for (int key = 0; key < 12; ++key) {
      text += "Channel" + std::to_string(key) + "Gain = " + std::to_string(section * 31 + key) +
              ".25 ; volts per count\r\n";
    }
    text += "\r\n";
  }
  return text;
}

fs::path ScratchDir() {
  const fs::path dir = fs::current_path() / "bench-scratch";
  fs::create_directories(dir);
  return dir;
}

void Store(const fs::path& path, const std::string& content) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

void BM_EditBytes(benchmark::State& state) {
  const std::string original = MakeConfiguration(state.range(0));
  for (auto _ : state) {
    profile::Edit edit = profile::SetEntry(original, kDriver);
    benchmark::DoNotOptimize(edit.content.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(original.size()));
}

void BM_WriteProfileEntry(benchmark::State& state) {
  const std::string original = MakeConfiguration(state.range(0));
  const fs::path file = ScratchDir() / "DASYLab.ini";
  for (auto _ : state) {
    state.PauseTiming();
    Store(file, original);
    state.ResumeTiming();
    if (!profile::WriteProfileEntry(file, kDriver)) state.SkipWithError("write refused");
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(original.size()));
}

// A baseline: `copy` writes the file's bytes to a temporary file and
// flushes it; then, as for every safe writer, the temporary file is renamed
// over the original and the directory is flushed.
template <typename Copy>
void RunBaseline(benchmark::State& state, Copy copy) {
  const std::string original = MakeConfiguration(state.range(0));
  const fs::path dir = ScratchDir();
  const fs::path file = dir / "DASYLab.ini";
  const fs::path temporary = dir / ".DASYLab.ini.copy";
  for (auto _ : state) {
    state.PauseTiming();
    Store(file, original);
    state.ResumeTiming();
    const int in = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    const int out = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const bool copied = in >= 0 && out >= 0 && copy(in, out, original.size()) && fsync(out) == 0;
    close(in);
    const bool done = close(out) == 0 && copied && rename(temporary.c_str(), file.c_str()) == 0;
    const int dir_fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    fsync(dir_fd);
    close(dir_fd);
    if (!done) state.SkipWithError("copy failed");
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(original.size()));
}

// What a user would do instead: cp, whose copy stays inside the kernel
// (copy_file_range).
void BM_KernelCopyThroughTemporary(benchmark::State& state) {
  RunBaseline(state, [](int in, int out, size_t size) {
    while (size > 0) {
      const ssize_t copied = copy_file_range(in, nullptr, out, nullptr, size, 0);
      if (copied <= 0) return false;
      size -= static_cast<size_t>(copied);
    }
    return true;
  });
}

// The least a writer that reads the file must do: carry the bytes through a
// buffer of its own.
void BM_CopyThroughTemporary(benchmark::State& state) {
  RunBaseline(state, [](int in, int out, size_t size) {
    std::string content(size, '\0');
    return read(in, content.data(), size) == static_cast<ssize_t>(size) &&
           write(out, content.data(), size) == static_cast<ssize_t>(size);
  });
}

// Peak memory of the whole program registering the driver in a file of the
// given size, against the budget of twice the file plus 8 MiB.
void BM_ProgramPeakMemory(benchmark::State& state) {
  const int64_t size = state.range(0);
  const std::string original = MakeConfiguration(size);
  const fs::path prefix = ScratchDir() / "prefix";
  const fs::path install_dir = prefix / "drive_c" / "Program Files" / "DASYLab 8.0";
  fs::create_directories(install_dir);
  long peak_kib = 0;
  for (auto _ : state) {
    state.PauseTiming();
    Store(install_dir / "DASYLab.ini", original);
    state.ResumeTiming();
    const pid_t child = fork();
    if (child == 0) {
      setenv("WINEPREFIX", prefix.c_str(), 1);
      execl(KAVRO_REGISTER, KAVRO_REGISTER, nullptr);
      _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) state.SkipWithError("the program failed");
    peak_kib = std::max(peak_kib, usage.ru_maxrss);
  }
  state.counters["peak_MiB"] = static_cast<double>(peak_kib) / 1024;
  state.counters["budget_MiB"] = 2.0 * static_cast<double>(size) / kMiB + 8;
  state.counters["file_MiB"] = static_cast<double>(size) / kMiB;
}

BENCHMARK(BM_EditBytes)->Arg(4 * kKiB)->Arg(kMiB)->Arg(64 * kMiB)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CopyThroughTemporary)
    ->Arg(4 * kKiB)
    ->Arg(kMiB)
    ->Arg(64 * kMiB)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_KernelCopyThroughTemporary)
    ->Arg(4 * kKiB)
    ->Arg(kMiB)
    ->Arg(64 * kMiB)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_WriteProfileEntry)
    ->Arg(4 * kKiB)
    ->Arg(kMiB)
    ->Arg(64 * kMiB)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_ProgramPeakMemory)
    ->Arg(64 * kMiB)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
