// du::ZipWriter and du::ZipReader against libzip and against minizip called
// directly, creating and extracting archives of 10 000 small files (about
// 100 bytes each) and of one large file.
//
// The small files are added with AddAllFilesFromDir (the peers loop over
// the same names) and extracted by ListContents and one Extract per entry,
// which is how callers use the reader; each peer extracts in one pass over
// its open archive. Every extraction starts from an empty folder (emptied
// outside the timing). The large file is 200 MiB of text-like bytes; its
// runs are single iterations, five of them.
//
// Results (g++ 12 -O2 RelWithDebInfo, 2-core x86-64 VM shared with other
// work, median real time of 5 repetitions), with every file in a tmpfs so
// that the file system's own costs do not drown the libraries', from
//   cmake -S . -B build && cmake --build build --target qmk_zip_bench &&
//   QUILL_TEMP=/dev/shm build/bench/qmk_zip_bench --benchmark_repetitions=5
//       --benchmark_report_aggregates_only=true   (one command line)
//
//                                       qmk      minizip   libzip    ours/minizip  ours/libzip
//   create, 10 000 files (large:0)      203 ms    175 ms    232 ms   1.16          0.88
//   create, 200 MiB file (large:1)     6264 ms   6392 ms   8953 ms   0.98          0.70
//   extract, 10 000 files (large:0)     253 ms    210 ms    194 ms   1.20          1.30
//   extract, 200 MiB file (large:1)    1466 ms   1470 ms   1560 ms   1.00          0.94
//
// The extraction rows come from runs with --benchmark_filter=BM_Extract_.*/large:0
// (and large:1) at a load average of about 3.5 on the 2 cores; real and CPU
// time agreed within 5%, except libzip's large run (1486 ms CPU). At a load
// of 4 to 5, real time follows the other work: CPU time there gave 249,
// 207 and 196 ms (1.20 / 1.27). Creating is dominated by deflate.
//
// Extracting many small files costs about 25 us per entry against 20: the
// reader keeps its archive open between calls, so minizip's search for the
// end records (the last 64 KiB, backwards) happens once per listing, but
// every Extract still checks the file's identity with one stat, looks the
// name up in its index and reads the entry's directory record and local
// header afresh, which the peers' single pass over the archive does not.
// Opening the archive anew for each entry cost 83 us per entry (6.2x).

#include <benchmark/benchmark.h>
#include <minizip/unzip.h>
#include <minizip/zip.h>
#include <zip.h>

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "qmkutils/fileio/zipreader.h"
#include "qmkutils/fileio/zipwriter.h"
#include "qmkutils/platform/filesystem.h"

namespace {

constexpr int kSmallFiles = 10000;
constexpr std::size_t kLargeFileSize = std::size_t{200} * 1024 * 1024;
constexpr std::size_t kBlockSize = 8192;

void WriteBytes(const std::string& path, const std::string& bytes) {
  FILE* file = dp::FileSystem::qmfopen(path, "wb");
  if (file == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size() ||
      std::fclose(file) != 0) {
    throw std::runtime_error("cannot write " + path);
  }
}

// The input files and one archive per set made by each writer, removed at exit.
class Files {
 public:
  Files() {
    root_ = dp::FileSystem::MkTempDir("qmk-zip-bench-");
    if (root_.empty()) throw std::runtime_error("cannot make a temporary directory");
    dp::FileSystem::Mkdir((root_ + "/small").c_str());
    for (int i = 0; i < kSmallFiles; ++i) {
      const std::string name = "f" + std::to_string(100000 + i);
      smallNames_.push_back(name);
      std::string text;
      for (int line = 0; line < 4; ++line)
        text += "entry " + name + " line " + std::to_string(line * i) + "\n";
      WriteBytes(root_ + "/small/" + name, text);
    }
    dp::FileSystem::Mkdir((root_ + "/large").c_str());
    // Text-like data that deflates to about a third, no two blocks alike.
    std::string large(kLargeFileSize, '\0');
    std::uint32_t state = 12345;
    for (char& c : large) {
      state = state * 1103515245 + 12345;
      c = static_cast<char>('a' + ((state >> 16) % 23));
    }
    WriteBytes(root_ + "/large/big", large);
    dp::FileSystem::Mkdir((root_ + "/out").c_str());
  }
  ~Files() { dp::FileSystem::DeletePath(root_); }
  Files(const Files&) = delete;
  Files& operator=(const Files&) = delete;

  std::string Dir(bool large) const { return root_ + (large ? "/large/" : "/small/"); }
  const std::vector<std::string>& Names(bool large) const {
    static const std::vector<std::string> s_large = {"big"};
    return large ? s_large : smallNames_;
  }
  std::string Archive(const char* who, bool large) const {
    return root_ + "/" + who + (large ? "-large.zip" : "-small.zip");
  }
  std::string Out() const { return root_ + "/out/"; }
  // Each extraction starts from an empty folder: writing over the files of
  // the previous run costs the file system less than making new ones.
  void EmptyOut(benchmark::State& state) const {
    state.PauseTiming();
    dp::FileSystem::DeletePath(root_ + "/out");
    dp::FileSystem::Mkdir((root_ + "/out").c_str());
    state.ResumeTiming();
  }

 private:
  std::string root_;
  std::vector<std::string> smallNames_;
};

const Files& TheFiles() {
  static const Files s_files;
  return s_files;
}

bool IsLarge(const benchmark::State& state) { return state.range(0) != 0; }

// ---- creating -------------------------------------------------------------

void BM_Create_Qmk(benchmark::State& state) {
  const Files& files = TheFiles();
  const bool large = IsLarge(state);
  for (auto _ : state) {
    du::ZipWriter writer(files.Archive("qmk", large));
    if (!writer.AddAllFilesFromDir(files.Dir(large), 0, true)) state.SkipWithError("failed");
  }
}

void BM_Create_Minizip(benchmark::State& state) {
  const Files& files = TheFiles();
  const bool large = IsLarge(state);
  std::vector<char> buffer(kBlockSize);
  for (auto _ : state) {
    zipFile archive = zipOpen(files.Archive("minizip", large).c_str(), APPEND_STATUS_CREATE);
    for (const std::string& name : files.Names(large)) {
      zipOpenNewFileInZip(archive, name.c_str(), nullptr, nullptr, 0, nullptr, 0, nullptr,
                          Z_DEFLATED, Z_DEFAULT_COMPRESSION);
      FILE* in = std::fopen((files.Dir(large) + name).c_str(), "rb");
      std::size_t read = 0;
      while ((read = std::fread(buffer.data(), 1, buffer.size(), in)) > 0) {
        zipWriteInFileInZip(archive, buffer.data(), static_cast<unsigned>(read));
      }
      std::fclose(in);
      zipCloseFileInZip(archive);
    }
    zipClose(archive, nullptr);
  }
}

void BM_Create_Libzip(benchmark::State& state) {
  const Files& files = TheFiles();
  const bool large = IsLarge(state);
  for (auto _ : state) {
    int error = 0;
    zip_t* archive =
        zip_open(files.Archive("libzip", large).c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    for (const std::string& name : files.Names(large)) {
      zip_source_t* source = zip_source_file(archive, (files.Dir(large) + name).c_str(), 0, -1);
      zip_file_add(archive, name.c_str(), source, ZIP_FL_ENC_UTF_8);
    }
    if (zip_close(archive) != 0) state.SkipWithError("failed");
  }
}

// ---- extracting -----------------------------------------------------------

// Each extraction reads the archive made by the same library.
void BM_Extract_Qmk(benchmark::State& state) {
  const Files& files = TheFiles();
  const bool large = IsLarge(state);
  du::ZipWriter(files.Archive("qmk", large)).AddAllFilesFromDir(files.Dir(large), 0, true);
  du::ZipReader reader(files.Archive("qmk", large));
  for (auto _ : state) {
    files.EmptyOut(state);
    std::vector<std::string> names;
    reader.ListContents(names);
    for (const std::string& name : names) {
      if (!reader.Extract(name, files.Out() + name)) state.SkipWithError("failed");
    }
  }
}

void BM_Extract_Minizip(benchmark::State& state) {
  const Files& files = TheFiles();
  const bool large = IsLarge(state);
  du::ZipWriter(files.Archive("minizip", large)).AddAllFilesFromDir(files.Dir(large), 0, true);
  std::vector<char> buffer(kBlockSize);
  for (auto _ : state) {
    files.EmptyOut(state);
    unzFile archive = unzOpen(files.Archive("minizip", large).c_str());
    for (int status = unzGoToFirstFile(archive); status == UNZ_OK;
         status = unzGoToNextFile(archive)) {
      char name[1024];
      unz_file_info info{};
      unzGetCurrentFileInfo(archive, &info, name, sizeof name, nullptr, 0, nullptr, 0);
      FILE* out = std::fopen((files.Out() + name).c_str(), "wb");
      unzOpenCurrentFile(archive);
      int read = 0;
      while ((read = unzReadCurrentFile(archive, buffer.data(),
                                        static_cast<unsigned>(buffer.size()))) > 0) {
        std::fwrite(buffer.data(), 1, static_cast<std::size_t>(read), out);
      }
      unzCloseCurrentFile(archive);
      std::fclose(out);
    }
    unzClose(archive);
  }
}

void BM_Extract_Libzip(benchmark::State& state) {
  const Files& files = TheFiles();
  const bool large = IsLarge(state);
  du::ZipWriter(files.Archive("libzip", large)).AddAllFilesFromDir(files.Dir(large), 0, true);
  std::vector<char> buffer(kBlockSize);
  for (auto _ : state) {
    files.EmptyOut(state);
    int error = 0;
    zip_t* archive = zip_open(files.Archive("libzip", large).c_str(), ZIP_RDONLY, &error);
    const zip_int64_t count = zip_get_num_entries(archive, 0);
    for (zip_int64_t i = 0; i < count; ++i) {
      zip_file_t* entry = zip_fopen_index(archive, static_cast<zip_uint64_t>(i), 0);
      FILE* out = std::fopen(
          (files.Out() + zip_get_name(archive, static_cast<zip_uint64_t>(i), 0)).c_str(), "wb");
      zip_int64_t read = 0;
      while ((read = zip_fread(entry, buffer.data(), buffer.size())) > 0) {
        std::fwrite(buffer.data(), 1, static_cast<std::size_t>(read), out);
      }
      std::fclose(out);
      zip_fclose(entry);
    }
    zip_discard(archive);
  }
}

// large:0 is the 10 000 small files, large:1 the one large file.
#define QMK_ZIP_BENCHMARK(name)                                                            \
  BENCHMARK(name)->ArgName("large")->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime(); \
  BENCHMARK(name)                                                                          \
      ->ArgName("large")                                                                   \
      ->Arg(1)                                                                             \
      ->Unit(benchmark::kMillisecond)                                                      \
      ->UseRealTime()                                                                      \
      ->Iterations(1)

QMK_ZIP_BENCHMARK(BM_Create_Qmk);
QMK_ZIP_BENCHMARK(BM_Create_Minizip);
QMK_ZIP_BENCHMARK(BM_Create_Libzip);
QMK_ZIP_BENCHMARK(BM_Extract_Qmk);
QMK_ZIP_BENCHMARK(BM_Extract_Minizip);
QMK_ZIP_BENCHMARK(BM_Extract_Libzip);

}  // namespace
