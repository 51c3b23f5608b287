// du::FileWriter, du::FileReader and du::LineReader against the C library,
// zlib and the C++ library, 1 Mi ints (4 MiB) per iteration from the page
// cache, both sides with 64 KiB buffers:
// - one call per value: std::fwrite / std::fread of each int; ours in
//   little-endian (the host's order) and big-endian (swapped);
// - whole arrays: one fwrite / fread of the array; one Write / Read ours;
// - compressed, one call per value: gzwrite / gzread on a gzFile (default
//   level); ours in a compressed section at the default level;
// - compressed, whole arrays: zlib's raw deflate / inflate with the
//   section's parameters (default level, 15-bit window, memory level 9)
//   through 64 KiB chunks of write(2) / read(2); ours one array in a section.
//   The data is a slowly varying series, so deflate has work to do;
// - lines: 200 000 lines of 0 to 80 characters, half ended by CR LF, against
//   std::getline on an std::ifstream (dropping the CR as ours does).
//
// Results (g++ 12 -O2, 2-core x86-64 VM shared with other builds: load
// average about 4; CPU time, median of 5 repetitions), from
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
//   BM_ArrayWrite_Ours/0                    1.22 ms  3.20 GB/s
//   BM_ArrayWrite_Ours/1 (swapped)          1.81 ms  2.16 GB/s
//   BM_ArrayWrite_Stdio                     1.08 ms  3.63 GB/s   ours 1.13x
//   BM_ArrayRead_Ours/0                     0.189 ms 20.7 GB/s
//   BM_ArrayRead_Ours/1 (swapped)           0.580 ms  6.7 GB/s
//   BM_ArrayRead_Stdio                      0.193 ms 20.2 GB/s   ours 0.98x
//   BM_CompressedWrite_Ours                 422 ms    9.5 MB/s
//   BM_CompressedWrite_Gz                   460 ms    8.7 MB/s   ours 0.92x
//   BM_CompressedRead_Ours                 17.8 ms    224 MB/s
//   BM_CompressedRead_Gz                   24.3 ms    165 MB/s   ours 0.73x
//   BM_SectionWrite_Ours                    422 ms    9.5 MB/s
//   BM_SectionWrite_RawDeflate              421 ms    9.5 MB/s   ours 1.00x (1.00-1.04)
//   BM_SectionRead_Ours                    14.1 ms    283 MB/s
//   BM_SectionRead_RawInflate              13.8 ms    289 MB/s   ours 1.02x (1.02-1.04)
//   BM_ReadLines_Ours                       3.77 ms   53 M lines/s
//   BM_ReadLines_StdGetline                 6.27 ms   32 M lines/s   ours 0.60x
//
// Plain values are stored straight into the buffer (swapped while copied),
// where stdio takes its lock and a general copy per call. Arrays that need
// no swapping and fill the buffer go straight between the caller and the
// file, as stdio's do. Compressed writing is deflate's time on both sides
// (this series makes deflate search long match chains); reading inflates
// into a buffer twice the file buffer's size, and copies from there: the
// copy is the 2% over raw inflate. Lines are found with memchr over a 4 KiB
// chunk and copied once.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "qmkutils/fileio/filereader.h"
#include "qmkutils/fileio/filewriter.h"
#include "qmkutils/fileio/linereader.h"
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

namespace {

// Whole arrays in one call, against one fwrite / fread of the array.
void BM_ArrayWrite_Ours(benchmark::State& state) {
  const std::string path = Scratch() / "ours-array";
  const int endian = static_cast<int>(state.range(0));
  for (auto _ : state) {
    du::FileWriterPtr writer = du::FileWriter::Construct();
    writer->Open(path, endian, kBufferSize);
    if (writer->Write(Values().data(), kValues) != kValues || !writer->Close()) {
      throw std::runtime_error("write failed");
    }
  }
  state.SetBytesProcessed(state.iterations() * kValues * 4);
}
BENCHMARK(BM_ArrayWrite_Ours)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_ArrayWrite_Stdio(benchmark::State& state) {
  const std::string path = Scratch() / "stdio-array";
  std::vector<char> buffer(kBufferSize);
  for (auto _ : state) {
    FILE* file = std::fopen(path.c_str(), "wb");
    std::setvbuf(file, buffer.data(), _IOFBF, buffer.size());
    std::fwrite(Values().data(), sizeof(int), kValues, file);
    std::fclose(file);
  }
  state.SetBytesProcessed(state.iterations() * kValues * 4);
}
BENCHMARK(BM_ArrayWrite_Stdio)->Unit(benchmark::kMillisecond);

void BM_ArrayRead_Ours(benchmark::State& state) {
  const std::string path = Scratch() / "ours-array-read";
  const int endian = static_cast<int>(state.range(0));
  WriteOurs(path, endian, false);
  std::vector<int> values(kValues);
  for (auto _ : state) {
    du::FileReader reader;
    reader.Open(path, endian, kBufferSize);
    if (reader.Read(values.data(), kValues) != kValues) throw std::runtime_error("read failed");
    benchmark::DoNotOptimize(values.data());
  }
  state.SetBytesProcessed(state.iterations() * kValues * 4);
}
BENCHMARK(BM_ArrayRead_Ours)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_ArrayRead_Stdio(benchmark::State& state) {
  const std::string path = Scratch() / "stdio-array-read";
  WriteOurs(path, 0, false);
  std::vector<char> buffer(kBufferSize);
  std::vector<int> values(kValues);
  for (auto _ : state) {
    FILE* file = std::fopen(path.c_str(), "rb");
    std::setvbuf(file, buffer.data(), _IOFBF, buffer.size());
    if (std::fread(values.data(), sizeof(int), kValues, file) != kValues) {
      throw std::runtime_error("read failed");
    }
    std::fclose(file);
    benchmark::DoNotOptimize(values.data());
  }
  state.SetBytesProcessed(state.iterations() * kValues * 4);
}
BENCHMARK(BM_ArrayRead_Stdio)->Unit(benchmark::kMillisecond);

// A compressed section written and read as one array, against zlib's raw
// deflate and inflate with the section's parameters (default level, 15-bit
// window, memory level 9) over the same 64 KiB chunks of file I/O.
void BM_SectionWrite_Ours(benchmark::State& state) {
  const std::string path = Scratch() / "ours-section";
  for (auto _ : state) {
    du::FileWriterPtr writer = du::FileWriter::Construct();
    writer->Open(path, 0, kBufferSize);
    writer->StartCompressedSection(-1);
    writer->Write(Values().data(), kValues);
    if (!writer->EndCompressedSection() || !writer->Close()) {
      throw std::runtime_error("write failed");
    }
  }
  state.SetBytesProcessed(state.iterations() * kValues * 4);
}
BENCHMARK(BM_SectionWrite_Ours)->Unit(benchmark::kMillisecond);

void WriteRawDeflate(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  z_stream stream{};
  deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY);
  std::vector<unsigned char> out(kBufferSize);
  const auto* in = reinterpret_cast<const unsigned char*>(Values().data());
  const std::size_t total = kValues * sizeof(int);
  for (std::size_t done = 0;;) {
    const std::size_t chunk = std::min<std::size_t>(kBufferSize, total - done);
    stream.next_in = const_cast<unsigned char*>(in + done);
    stream.avail_in = static_cast<uInt>(chunk);
    done += chunk;
    const int flush = done == total ? Z_FINISH : Z_NO_FLUSH;
    int result = Z_OK;
    do {
      stream.next_out = out.data();
      stream.avail_out = static_cast<uInt>(out.size());
      result = deflate(&stream, flush);
      const std::size_t produced = out.size() - stream.avail_out;
      if (produced != 0 && ::write(fd, out.data(), produced) != static_cast<ssize_t>(produced)) {
        throw std::runtime_error("write failed");
      }
    } while (stream.avail_out == 0 || (flush == Z_FINISH && result != Z_STREAM_END));
    if (flush == Z_FINISH) break;
  }
  deflateEnd(&stream);
  ::close(fd);
}

void BM_SectionWrite_RawDeflate(benchmark::State& state) {
  const std::string path = Scratch() / "raw-deflate";
  for (auto _ : state) WriteRawDeflate(path);
  state.SetBytesProcessed(state.iterations() * kValues * 4);
}
BENCHMARK(BM_SectionWrite_RawDeflate)->Unit(benchmark::kMillisecond);

void BM_SectionRead_Ours(benchmark::State& state) {
  const std::string path = Scratch() / "ours-section-read";
  WriteOurs(path, 0, true);
  std::vector<int> values(kValues);
  for (auto _ : state) {
    du::FileReader reader;
    reader.Open(path, 0, kBufferSize);
    reader.StartCompressedSection();
    if (reader.Read(values.data(), kValues) != kValues) throw std::runtime_error("read failed");
    benchmark::DoNotOptimize(values.data());
  }
  state.SetBytesProcessed(state.iterations() * kValues * 4);
}
BENCHMARK(BM_SectionRead_Ours)->Unit(benchmark::kMillisecond);

void BM_SectionRead_RawInflate(benchmark::State& state) {
  const std::string path = Scratch() / "raw-inflate";
  WriteRawDeflate(path);
  std::vector<unsigned char> in(kBufferSize);
  std::vector<int> values(kValues);
  for (auto _ : state) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    z_stream stream{};
    inflateInit2(&stream, -15);
    stream.next_out = reinterpret_cast<unsigned char*>(values.data());
    stream.avail_out = static_cast<uInt>(kValues * sizeof(int));
    int result = Z_OK;
    while (result == Z_OK) {
      if (stream.avail_in == 0) {
        const ssize_t got = ::read(fd, in.data(), in.size());
        if (got <= 0) break;
        stream.next_in = in.data();
        stream.avail_in = static_cast<uInt>(got);
      }
      result = inflate(&stream, Z_SYNC_FLUSH);
    }
    if (result != Z_STREAM_END) throw std::runtime_error("inflate failed");
    inflateEnd(&stream);
    ::close(fd);
    benchmark::DoNotOptimize(values.data());
  }
  state.SetBytesProcessed(state.iterations() * kValues * 4);
}
BENCHMARK(BM_SectionRead_RawInflate)->Unit(benchmark::kMillisecond);

// 200 000 lines of 0 to 80 characters (about 8 MiB), half of them ended by
// CR LF, read line by line.
constexpr int kLines = 200000;

const std::string& LineFile() {
  static const std::string s_path = [] {
    const std::string path = Scratch() / "lines";
    std::ofstream out(path, std::ios::binary);
    for (int i = 0; i < kLines; ++i) {
      out << std::string(static_cast<std::size_t>(i * 7919 % 81), static_cast<char>('a' + i % 26))
          << (i % 2 == 0 ? "\r\n" : "\n");
    }
    return path;
  }();
  return s_path;
}

void BM_ReadLines_Ours(benchmark::State& state) {
  const std::string& path = LineFile();
  for (auto _ : state) {
    du::FileReader reader;
    reader.Open(path);
    du::LineReader lines(&reader, 0);
    int count = 0;
    while (lines.ReadLine()) ++count;
    if (count != kLines) throw std::runtime_error("lines lost");
  }
  state.SetItemsProcessed(state.iterations() * kLines);
}
BENCHMARK(BM_ReadLines_Ours)->Unit(benchmark::kMillisecond);

void BM_ReadLines_StdGetline(benchmark::State& state) {
  const std::string& path = LineFile();
  for (auto _ : state) {
    std::ifstream in(path, std::ios::binary);
    std::string line;
    int count = 0;
    // Dropping the carriage return, as the line reader does.
    while (std::getline(in, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      ++count;
    }
    if (count != kLines) throw std::runtime_error("lines lost");
  }
  state.SetItemsProcessed(state.iterations() * kLines);
}
BENCHMARK(BM_ReadLines_StdGetline)->Unit(benchmark::kMillisecond);

}  // namespace
