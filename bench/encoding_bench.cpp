// du::EncodingConverter::Convert against a plain iconv loop (the descriptor
// opened once, iconv into a preallocated 64 KiB buffer, the output appended
// to a std::string) on 1 MB of text: Shift-JIS to UTF-8 (Japanese with the
// ASCII words, numbers and file names of technical prose) and UTF-8 to
// ISO-8859-1 (French, German and Spanish with their accented letters).
//
// Results (g++ 12 -O2, 2-core x86-64 VM shared with other builds, median of
// 5 repetitions), from
//   cmake --build build --target qmk_encoding_bench &&
//   build/bench/qmk_encoding_bench --benchmark_repetitions=5
//       --benchmark_report_aggregates_only=true   (one command line)
//
//   BM_SjisToUtf8_Convert              1347 us   603 MB/s
//   BM_SjisToUtf8_PlainIconv           2937 us   251 MB/s   Convert 0.46x
//   BM_SjisToUtf8_ConvertFirst         1296 us   580 MB/s
//   BM_SjisToUtf8_PlainIconvFirst      3043 us   248 MB/s   ConvertFirst 0.43x
//   BM_Utf8ToLatin1_Convert             776 us  1.26 GB/s
//   BM_Utf8ToLatin1_PlainIconv         2779 us   378 MB/s   Convert 0.28x
//
// An earlier run gave 0.40x, 0.45x and 0.29x. Convert calls iconv once per
// character it has not met before and otherwise looks the character up in
// its table; ASCII goes 8 bytes at a time where it converts to itself (not
// from Shift-JIS, where 0x5C and 0x7E are the yen sign and the overline).
// The *First pair opens a new converter (a new descriptor) for every text,
// so Convert learns every character again: the text has about 120
// distinct ones.

#include <benchmark/benchmark.h>
#include <iconv.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "qmkutils/utilities/encodingconverter.h"

namespace {

constexpr std::size_t kTextSize = 1024 * 1024;

// About 1 MB of UTF-8: the sentences in turn, each line numbered.
std::string Text(const std::vector<const char*>& sentences) {
  std::string text;
  for (std::size_t line = 0; text.size() < kTextSize; ++line) {
    text += std::to_string(line + 1);
    text += ". ";
    text += sentences[line % sentences.size()];
    text += '\n';
  }
  return text;
}

// The plain loop: what a caller writes with iconv alone.
class PlainIconv {
 public:
  PlainIconv(const char* from, const char* to)
      : descriptor_(iconv_open(to, from)), buffer_(64 * 1024) {
    if (descriptor_ == reinterpret_cast<iconv_t>(-1)) throw std::runtime_error("iconv_open");
  }
  ~PlainIconv() { iconv_close(descriptor_); }
  PlainIconv(const PlainIconv&) = delete;
  PlainIconv& operator=(const PlainIconv&) = delete;

  bool Convert(const std::string& in, std::string& out) {
    iconv(descriptor_, nullptr, nullptr, nullptr, nullptr);
    std::string result;
    char* inPtr = const_cast<char*>(in.data());
    std::size_t inLeft = in.size();
    while (inLeft > 0) {
      char* outPtr = buffer_.data();
      std::size_t outLeft = buffer_.size();
      const std::size_t status = iconv(descriptor_, &inPtr, &inLeft, &outPtr, &outLeft);
      result.append(buffer_.data(), static_cast<std::size_t>(outPtr - buffer_.data()));
      if (status == static_cast<std::size_t>(-1) && errno != E2BIG) return false;
    }
    out = std::move(result);
    return true;
  }

 private:
  iconv_t descriptor_;
  std::vector<char> buffer_;
};

const std::string& JapaneseSjis() {
  static const std::string s_text = [] {
    std::string sjis;
    PlainIconv toSjis("UTF-8", "SJIS");
    if (!toSjis.Convert(
            Text({"設定ファイル config.xml は、インストール先の etc ディレクトリに保存されます。",
                  "バージョン 3.2 以降では、環境変数 QUILL_HOME でこの場所を変更できます。",
                  "エラーが発生した場合は、ログファイル (trace.log) を確認してください。",
                  "サーバーとの接続には TCP ポート 8080 を使用します。",
                  "詳細については、README.txt の「インストール」の章を参照してください。"}),
            sjis)) {
      throw std::runtime_error("the Japanese text does not convert to SJIS");
    }
    return sjis;
  }();
  return s_text;
}

const std::string& LatinUtf8() {
  static const std::string s_text =
      Text({"Le château médiéval, situé près de la rivière, attire chaque été des milliers de "
            "visiteurs.",
            "Über die Brücke gehen Fußgänger und Radfahrer; die Straße ist für Autos gesperrt.",
            "El niño comió una piña por la mañana y después durmió la siesta en el jardín.",
            "Ça m'a coûté très cher, mais le résultat dépasse de loin nos espérances.",
            "Größere Änderungen werden erst nach der nächsten Prüfung übernommen."});
  return s_text;
}

// Converts `in` from `from` to `to` while timed, with one converter, or
// (kFirst) with a new one each time; then checks the last output against the
// plain loop's.
template <class Converter, bool kFirst = false>
void Run(benchmark::State& state, const char* from, const char* to, const std::string& in) {
  Converter kept(from, to);
  std::string out;
  for (auto _ : state) {
    bool converted;
    if constexpr (kFirst) {
      Converter converter(from, to);
      converted = converter.Convert(in, out);
    } else {
      converted = kept.Convert(in, out);
    }
    if (!converted) {
      state.SkipWithError("the conversion failed");
      return;
    }
    benchmark::DoNotOptimize(out.data());
  }
  PlainIconv reference(from, to);
  std::string expected;
  if (!reference.Convert(in, expected) || out != expected) state.SkipWithError("wrong output");
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * in.size()));
}

void BM_SjisToUtf8_Convert(benchmark::State& state) {
  Run<du::EncodingConverter>(state, "SJIS", "UTF-8", JapaneseSjis());
}
BENCHMARK(BM_SjisToUtf8_Convert)->Unit(benchmark::kMicrosecond);

void BM_SjisToUtf8_PlainIconv(benchmark::State& state) {
  Run<PlainIconv>(state, "SJIS", "UTF-8", JapaneseSjis());
}
BENCHMARK(BM_SjisToUtf8_PlainIconv)->Unit(benchmark::kMicrosecond);

// A new converter learns each character on its first use.
void BM_SjisToUtf8_ConvertFirst(benchmark::State& state) {
  Run<du::EncodingConverter, true>(state, "SJIS", "UTF-8", JapaneseSjis());
}
BENCHMARK(BM_SjisToUtf8_ConvertFirst)->Unit(benchmark::kMicrosecond);

void BM_SjisToUtf8_PlainIconvFirst(benchmark::State& state) {
  Run<PlainIconv, true>(state, "SJIS", "UTF-8", JapaneseSjis());
}
BENCHMARK(BM_SjisToUtf8_PlainIconvFirst)->Unit(benchmark::kMicrosecond);

void BM_Utf8ToLatin1_Convert(benchmark::State& state) {
  Run<du::EncodingConverter>(state, "UTF-8", "ISO-8859-1", LatinUtf8());
}
BENCHMARK(BM_Utf8ToLatin1_Convert)->Unit(benchmark::kMicrosecond);

void BM_Utf8ToLatin1_PlainIconv(benchmark::State& state) {
  Run<PlainIconv>(state, "UTF-8", "ISO-8859-1", LatinUtf8());
}
BENCHMARK(BM_Utf8ToLatin1_PlainIconv)->Unit(benchmark::kMicrosecond);

}  // namespace
