// How fast the profile writer is, next to what a user would do instead: copy
// the file as cp does, inside the kernel, to a flushed temporary file and
// rename it over the original. The copy through a user buffer is kept
// beside it. Then the memory the whole program takes, next to cp's.
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
#include <vector>

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

// Finding where the entry goes, the part of the write that is this
// program's own work; in this file it reads half of it.
void BM_PlanEntry(benchmark::State& state) {
  const std::string original = MakeConfiguration(state.range(0));
  for (auto _ : state) {
    profile::Plan plan = profile::PlanEntry(original, kDriver);
    benchmark::DoNotOptimize(plan.splices.data());
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

// Peak memory of a program, run on a fresh copy of a configuration of the
// given size: `argv` after the copy is in place. The benchmark holds no copy
// of the file itself while the program runs, as a forked child counts the
// memory it shares with its parent until it starts the program.
template <typename Argv>
void RunForPeakMemory(benchmark::State& state, Argv argv) {
  const int64_t size = state.range(0);
  const fs::path prefix = ScratchDir() / "prefix";
  const fs::path install_dir = prefix / "drive_c" / "Program Files" / "DASYLab 8.0";
  const fs::path pristine = ScratchDir() / "pristine.ini";
  fs::create_directories(install_dir);
  Store(pristine, MakeConfiguration(size));
  long peak_kib = 0;
  for (auto _ : state) {
    state.PauseTiming();
    fs::copy_file(pristine, install_dir / "DASYLab.ini", fs::copy_options::overwrite_existing);
    state.ResumeTiming();
    const std::vector<std::string> args = argv(prefix, pristine, install_dir / "DASYLab.ini");
    const pid_t child = fork();
    if (child == 0) {
      setenv("WINEPREFIX", prefix.c_str(), 1);
      std::vector<char*> arg_pointers;
      for (const std::string& arg : args) arg_pointers.push_back(const_cast<char*>(arg.c_str()));
      arg_pointers.push_back(nullptr);
      execv(arg_pointers[0], arg_pointers.data());
      _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) state.SkipWithError("the program failed");
    peak_kib = std::max(peak_kib, usage.ru_maxrss);
  }
  state.counters["peak_MiB"] = static_cast<double>(peak_kib) / 1024;
  state.counters["file_MiB"] = static_cast<double>(size) / kMiB;
}

// The whole program registering the driver.
void BM_ProgramPeakMemory(benchmark::State& state) {
  RunForPeakMemory(state, [](const fs::path&, const fs::path&, const fs::path&) {
    return std::vector<std::string>{KAVRO_REGISTER};
  });
}

// cp copying the file, for the memory any program needs to run at all.
void BM_CpPeakMemory(benchmark::State& state) {
  RunForPeakMemory(state, [](const fs::path&, const fs::path& pristine, const fs::path& file) {
    return std::vector<std::string>{"/bin/cp", pristine.string(), file.string() + ".copy"};
  });
}

BENCHMARK(BM_PlanEntry)->Arg(4 * kKiB)->Arg(kMiB)->Arg(64 * kMiB)->Unit(benchmark::kMicrosecond);
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
BENCHMARK(BM_CpPeakMemory)->Arg(64 * kMiB)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ProgramPeakMemory)->Arg(64 * kMiB)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
