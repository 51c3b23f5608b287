// Fuzzes du::LineReader over arbitrary files, plain and inside a
// compressed section, against a model of what each read must return.
//
// Input: a configuration byte (bit 0: the file's bytes are read from a
// compressed section; bits 1-7: the byte limit in units of 37 bytes, 0 for
// none), a script length byte, the script, then the file's bytes. Script
// bytes are ReadLine, ReadBinary (with a count from the next byte) or
// SeekToBufferStart (plain files only: inside a section the reader cannot
// go back past its chunk). Every line and binary run must be exactly the
// model's bytes: lines split at line feeds, a carriage return before one
// dropped, no empty last line, nothing past the byte limit.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "qmkutils/fileio/filereader.h"
#include "qmkutils/fileio/filewriter.h"
#include "qmkutils/fileio/linereader.h"
#include "scratchfile.h"

namespace {

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "line_reader: %s\n", what);
  std::abort();
}

constexpr unsigned kLimitUnit = 37;

// Where the model is in the file, and what each read should give.
class Model {
 public:
  Model(std::string_view data, std::size_t end) : data_(data), end_(end) {}

  void CheckReadLine(du::LineReader& lines) {
    const bool read = lines.ReadLine();
    lineStart_ = position_;
    started_ = true;
    if (position_ >= end_) {
      if (read || lines.GetBuffer() != nullptr) Fail("a line after the end of input");
      return;
    }
    const std::size_t lineFeed = data_.substr(0, end_).find('\n', position_);
    std::size_t length = (lineFeed == std::string_view::npos ? end_ : lineFeed) - position_;
    position_ = lineFeed == std::string_view::npos ? end_ : lineFeed + 1;
    if (lineFeed != std::string_view::npos && length > 0 && data_[lineFeed - 1] == '\r') {
      --length;
    }
    const char* line = lines.GetBuffer();
    if (!read || line == nullptr) Fail("a line was not returned");
    if (std::memcmp(line, data_.data() + lineStart_, length) != 0 || line[length] != '\0') {
      Fail("a line differs from the file");
    }
  }

  void CheckReadBinary(du::LineReader& lines, unsigned long count) {
    const unsigned long got = lines.ReadBinary(count);
    const std::size_t expected = std::min<std::size_t>(count, end_ - position_);
    if (got != expected) Fail("ReadBinary returned the wrong count");
    const unsigned char* bytes = lines.GetBinBuffer();
    if ((got == 0) != (bytes == nullptr)) Fail("GetBinBuffer disagrees with the count");
    if (got != 0 && std::memcmp(bytes, data_.data() + position_, got) != 0) {
      Fail("binary bytes differ from the file");
    }
    position_ += got;
  }

  void CheckSeekToBufferStart(du::LineReader& lines) {
    if (lines.SeekToBufferStart()) Fail("SeekToBufferStart returned true");
    if (started_) position_ = lineStart_;
  }

 private:
  std::string_view data_;
  std::size_t end_;
  std::size_t position_ = 0;
  std::size_t lineStart_ = 0;
  bool started_ = false;
};

// Writes the file's bytes inside one compressed section, with a byte
// before and after it.
void WriteSection(const qmk_fuzz::ScratchFile& scratch, const std::uint8_t* data,
                  std::size_t size) {
  du::FileWriterPtr writer = du::FileWriter::Construct();
  if (!writer->Open(scratch.path()) || !writer->Write('<') || !writer->StartCompressedSection(1) ||
      writer->Write(reinterpret_cast<const unsigned char*>(data), static_cast<unsigned>(size)) !=
          size ||
      !writer->EndCompressedSection() || !writer->Write('>') || !writer->Close()) {
    Fail("the section cannot be written");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const qmk_fuzz::ScratchFile s_file("line_reader_input");
  if (size < 2) return 0;
  const unsigned config = data[0];
  const std::size_t scriptSize = std::min<std::size_t>(data[1], size - 2);
  const std::uint8_t* script = data + 2;
  const std::uint8_t* file = script + scriptSize;
  const std::size_t fileSize = size - 2 - scriptSize;
  const bool compressed = (config & 1) != 0;
  const std::size_t limit = (config >> 1) * kLimitUnit;

  du::FileReader reader;
  if (compressed) {
    WriteSection(s_file, file, fileSize);
    char first = 0;
    if (!reader.Open(s_file.path()) || !reader.Read(first) || !reader.StartCompressedSection()) {
      Fail("the section cannot be opened");
    }
  } else {
    s_file.Set(file, fileSize);
    if (!reader.Open(s_file.path())) Fail("the file cannot be opened");
  }
  du::LineReader lines(&reader, static_cast<int>(limit));
  Model model(std::string_view(reinterpret_cast<const char*>(file), fileSize),
              limit == 0 ? fileSize : std::min(fileSize, limit));
  for (std::size_t i = 0; i < scriptSize; ++i) {
    switch (script[i] % 3) {
      case 0:
        model.CheckReadLine(lines);
        break;
      case 1: {
        const unsigned long count = i + 1 < scriptSize ? script[++i] * 23ul : 0;
        model.CheckReadBinary(lines, count);
        break;
      }
      default:
        if (compressed) {
          model.CheckReadLine(lines);
        } else {
          model.CheckSeekToBufferStart(lines);
        }
        break;
    }
  }
  // The rest of the input, line by line.
  while (lines.ReadLine()) {
  }
  return 0;
}
