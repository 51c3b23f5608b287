// dp::FileSystem::CopyFile against std::filesystem::copy_file (with
// overwrite_existing), copying a 100 MiB file over an existing copy
// (overwrite:1) and to a new file (overwrite:0, the old copy removed outside
// the timing); for reference, the original's method (4096-byte blocks
// through stdio). The files live in a directory made in
// dp::FileSystem::GetTempDir() (QUILL_TEMP, TMPDIR or /tmp), so the source
// is in the page cache after the first copy and each copy measures the
// copying itself plus the writing into the cache, not the disk.
//
// Results (g++ 12 -O3, 2-core x86-64 VM, ext4, median of 5 repetitions, run
// while no build ran), from
//   cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release &&
//   cmake --build build-release --target qmk_filesystem_bench &&
//   build-release/bench/qmk_filesystem_bench --benchmark_repetitions=5
//       --benchmark_report_aggregates_only   (one command line)
//
//   BM_CopyFile_Qmk/overwrite:1/real_time                  17.5 ms   5.59 GiB/s
//   BM_CopyFile_StdFilesystem/overwrite:1/real_time        84.0 ms   1.16 GiB/s   CopyFile 0.21x
//   BM_CopyFile_4096ByteBlocks/overwrite:1/real_time        321 ms   0.30 GiB/s   CopyFile 0.05x
//   BM_CopyFile_Qmk/overwrite:0/real_time                  32.2 ms   3.03 GiB/s
//   BM_CopyFile_StdFilesystem/overwrite:0/real_time        33.7 ms   2.90 GiB/s   CopyFile 0.96x
//   BM_CopyFile_4096ByteBlocks/overwrite:0/real_time        133 ms   0.74 GiB/s   CopyFile 0.24x
//
// A second run gave 0.20x and 1.01x against std::filesystem. libstdc++ 12
// opens the target with O_TRUNC and copies with one sendfile; CopyFile's
// copy_file_range moves the bytes the same way, so to a new file the two are
// equal. Over an existing copy, libstdc++ first frees every block of the old
// file and then allocates them again, where CopyFile writes over them and
// cuts the file to length at the end.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "qmkutils/platform/filesystem.h"

namespace {

constexpr std::size_t kFileSize = 100 * 1024 * 1024;

// The source file and the directory of the copies, removed at exit.
class Files {
 public:
  Files() {
    directory_ = dp::FileSystem::MkTempDir("qmk-copy-bench-");
    if (directory_.empty()) throw std::runtime_error("cannot make a temporary directory");
    source_ = directory_ + "/source";
    target_ = directory_ + "/target";
    std::vector<char> block(1024 * 1024);
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 131 + 7);
    std::ofstream out(source_, std::ios::binary);
    for (std::size_t written = 0; written < kFileSize; written += block.size()) {
      block[0] = static_cast<char>(written >> 20);  // no two blocks alike
      out.write(block.data(), static_cast<std::streamsize>(block.size()));
    }
  }
  ~Files() { dp::FileSystem::DeletePath(directory_); }
  Files(const Files&) = delete;
  Files& operator=(const Files&) = delete;

  const std::string& source() const { return source_; }
  const std::string& target() const { return target_; }

 private:
  std::string directory_, source_, target_;
};

const Files& TheFiles() {
  static const Files s_files;
  return s_files;
}

// Copies with `copy` `state.range(0)` = 1: over the previous copy; 0: to a
// new file (the previous copy is removed outside the timing). The copy is
// checked once at the end.
template <class Copy>
void RunCopies(benchmark::State& state, Copy copy) {
  const Files& files = TheFiles();
  const bool overwrite = state.range(0) != 0;
  for (auto _ : state) {
    if (!overwrite) {
      state.PauseTiming();
      unlink(files.target().c_str());
      state.ResumeTiming();
    }
    if (!copy(files.source(), files.target())) {
      state.SkipWithError("the copy failed");
      return;
    }
  }
  if (!dp::FileSystem::CompareBinaryFiles(files.source().c_str(), files.target().c_str())) {
    state.SkipWithError("the copy differs from its source");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kFileSize));
}

void BM_CopyFile_Qmk(benchmark::State& state) {
  RunCopies(state, [](const std::string& from, const std::string& to) {
    return dp::FileSystem::CopyFile(from.c_str(), to.c_str());
  });
}
BENCHMARK(BM_CopyFile_Qmk)
    ->ArgName("overwrite")
    ->Arg(1)
    ->Arg(0)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_CopyFile_StdFilesystem(benchmark::State& state) {
  RunCopies(state, [](const std::string& from, const std::string& to) {
    std::error_code error;
    std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing, error);
    return !error;
  });
}
BENCHMARK(BM_CopyFile_StdFilesystem)
    ->ArgName("overwrite")
    ->Arg(1)
    ->Arg(0)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The Windows original's method: fopen "rb" and "wb", 4096-byte blocks.
void BM_CopyFile_4096ByteBlocks(benchmark::State& state) {
  RunCopies(state, [](const std::string& from, const std::string& to) {
    FILE* in = std::fopen(from.c_str(), "rbe");
    FILE* out = std::fopen(to.c_str(), "wbe");
    bool copied = in != nullptr && out != nullptr;
    char block[4096];
    std::size_t got;
    while (copied && (got = std::fread(block, 1, sizeof block, in)) > 0) {
      copied = std::fwrite(block, 1, got, out) == got;
    }
    if (in != nullptr) std::fclose(in);
    if (out != nullptr) copied = std::fclose(out) == 0 && copied;
    return copied;
  });
}
BENCHMARK(BM_CopyFile_4096ByteBlocks)
    ->ArgName("overwrite")
    ->Arg(1)
    ->Arg(0)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
