// du::FileWriter and du::FileReader against the C library and zlib's own
// gzip streams, one call per 4-byte value, 1 Mi values (4 MiB) per
// iteration, both sides with 64 KiB buffers:
// - plain writes and reads: std::fwrite / std::fread of each int (stdio);
//   ours in little-endian (the host's order) and big-endian (swapped);
// - a compressed section: gzwrite / gzread of each int on a gzFile
//   (default level, gzbuffer 64 KiB); ours at the default level. The data
//   is a slowly varying series, so deflate has work to do.
//
// Results (g++ 12 -O2, 2-core x86-64 VM shared with other builds, median of
// 5 repetitions), from
//   cmake --build build --target qmk_fileio_bench &&
//   build/bench/qmk_fileio_bench --benchmark_repetitions=5
//       --benchmark_report_aggregates_only=true   (one command line)
//
//   BM_PlainWrite_Ours/0 (little-endian)    6.70 ms   802 MB/s
//   BM_PlainWrite_Ours/1 (big-endian)       6.32 ms   845 MB/s
//   BM_PlainWrite_Stdio                    13.8 ms    325 MB/s   ours 0.49x / 0.46x
//   BM_PlainRead_Ours/0                     3.55 ms  1.10 GB/s
//   BM_PlainRead_Ours/1                     3.59 ms  1.11 GB/s
//   BM_PlainRead_Stdio                     10.7 ms    372 MB/s   ours 0.33x / 0.34x
//   BM_CompressedWrite_Ours                 422 ms    9.5 MB/s
//   BM_CompressedWrite_Gz                   460 ms    8.7 MB/s   ours 0.92x
//   BM_CompressedRead_Ours                 17.8 ms    224 MB/s
//   BM_CompressedRead_Gz                   24.3 ms    165 MB/s   ours 0.73x
//
// Plain values are stored straight into the buffer (swapped while copied),
// where stdio takes its lock and a general copy per call. Compressed
// writing is deflate's time on both sides (this series makes deflate search
// long match chains); reading inflates into a buffer twice the file
// buffer's size, and each value is then a plain buffered read.

#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "qmkutils/fileio/filereader.h"
#include "qmkutils/fileio/filewriter.h"
#include "support/temp_dir.h"

namespace {

constexpr int kValues = 1 << 20;
constexpr unsigned kBufferSize = 64 * 1024;

const std::vector<int>& Values() {
  static const std::vector<int> s_values = [] {
    std::vector<int> values(kValues);
    for (int i = 0; i < kValues; ++i) values[i] = i / 7 + (i % 13) * 1000;
    return values;
  }();
  return s_values;
}

// One scratch folder for the process, removed at exit.
const qmk_test::TempDir& Scratch() {
  static const qmk_test::TempDir s_dir;
  return s_dir;
}

void WriteOurs(const std::string& path, int endian, bool compressed) {
  du::FileWriterPtr writer = du::FileWriter::Construct();
  if (!writer->Open(path, endian, kBufferSize)) throw std::runtime_error("open failed");
  if (compressed) writer->StartCompressedSection(-1);
  for (int value : Values()) writer->Write(value);
  if (!writer->Close()) throw std::runtime_error("write failed");
}

long long ReadOurs(const std::string& path, int endian, bool compressed) {
  du::FileReader reader;
  if (!reader.Open(path, endian, kBufferSize)) throw std::runtime_error("open failed");
  if (compressed) reader.StartCompressedSection();
  long long sum = 0;
  for (int i = 0, value = 0; i < kValues && reader.Read(value); ++i) sum += value;
  return sum;
}

void BM_PlainWrite_Ours(benchmark::State& state) {
  const std::string path = Scratch() / "ours";
  for (auto _ : state) WriteOurs(path, static_cast<int>(state.range(0)), false);
  state.SetBytesProcessed(state.iterations() * kValues * 4);
}
BENCHMARK(BM_PlainWrite_Ours)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_PlainWrite_Stdio(benchmark::State& state) {
  const std::string path = Scratch() / "stdio";
  std::vector<char> buffer(kBufferSize);
  for (auto _ : state) {
    FILE* file = std::fopen(path.c_str(), "wb");
    std::setvbuf(file, buffer.data(), _IOFBF, buffer.size());
    for (int value : Values()) std::fwrite(&value, sizeof value, 1, file);
    std::fclose(file);
  }
  state.SetBytesProcessed(state.iterations() * kValues * 4);
}
BENCHMARK(BM_PlainWrite_Stdio)->Unit(benchmark::kMillisecond);

void BM_PlainRead_Ours(benchmark::State& state) {
  const std::string path = Scratch() / "ours-read";
  WriteOurs(path, static_cast<int>(state.range(0)), false);
  for (auto _ : state)
    benchmark::DoNotOptimize(ReadOurs(path, static_cast<int>(state.range(0)), false));
  state.SetBytesProcessed(state.iterations() * kValues * 4);
}
BENCHMARK(BM_PlainRead_Ours)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_PlainRead_Stdio(benchmark::State& state) {
  const std::string path = Scratch() / "stdio-read";
  WriteOurs(path, 0, false);
  std::vector<char> buffer(kBufferSize);
  for (auto _ : state) {
    FILE* file = std::fopen(path.c_str(), "rb");
    std::setvbuf(file, buffer.data(), _IOFBF, buffer.size());
    long long sum = 0;
    for (int i = 0, value = 0; i < kValues && std::fread(&value, sizeof value, 1, file) == 1; ++i) {
      sum += value;
    }
    std::fclose(file);
    benchmark::DoNotOptimize(sum);
  }
  state.SetBytesProcessed(state.iterations() * kValues * 4);
}
BENCHMARK(BM_PlainRead_Stdio)->Unit(benchmark::kMillisecond);

void BM_CompressedWrite_Ours(benchmark::State& state) {
  const std::string path = Scratch() / "ours-gz";
  for (auto _ : state) WriteOurs(path, 0, true);
  state.SetBytesProcessed(state.iterations() * kValues * 4);
}
BENCHMARK(BM_CompressedWrite_Ours)->Unit(benchmark::kMillisecond);

void WriteGz(const std::string& path) {
  gzFile file = gzopen(path.c_str(), "wb");
  gzbuffer(file, kBufferSize);
  for (int value : Values()) gzwrite(file, &value, sizeof value);
  gzclose(file);
}

void BM_CompressedWrite_Gz(benchmark::State& state) {
  const std::string path = Scratch() / "zlib-gz";
  for (auto _ : state) WriteGz(path);
  state.SetBytesProcessed(state.iterations() * kValues * 4);
}
BENCHMARK(BM_CompressedWrite_Gz)->Unit(benchmark::kMillisecond);

void BM_CompressedRead_Ours(benchmark::State& state) {
  const std::string path = Scratch() / "ours-gz-read";
  WriteOurs(path, 0, true);
  for (auto _ : state) benchmark::DoNotOptimize(ReadOurs(path, 0, true));
  state.SetBytesProcessed(state.iterations() * kValues * 4);
}
BENCHMARK(BM_CompressedRead_Ours)->Unit(benchmark::kMillisecond);

void BM_CompressedRead_Gz(benchmark::State& state) {
  const std::string path = Scratch() / "zlib-gz-read";
  WriteGz(path);
  for (auto _ : state) {
    gzFile file = gzopen(path.c_str(), "rb");
    gzbuffer(file, kBufferSize);
    long long sum = 0;
    for (int i = 0, value = 0; i < kValues && gzread(file, &value, sizeof value) == sizeof value;
         ++i) {
      sum += value;
    }
    gzclose(file);
    benchmark::DoNotOptimize(sum);
  }
  state.SetBytesProcessed(state.iterations() * kValues * 4);
}
BENCHMARK(BM_CompressedRead_Gz)->Unit(benchmark::kMillisecond);

}  // namespace
