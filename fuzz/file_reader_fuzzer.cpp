// Fuzzes du::FileReader over arbitrary files driven by a small script, and
// the round trip of du::FileWriter's compressed sections.
//
// Input: a configuration byte (bit 0 the byte order, bits 1-2 the buffer
// size, bits 3-6 the compression level), a script length byte, the script,
// then the file's bytes. Each script byte is an operation (typed and array
// reads, compressed sections with and without a known length, positions,
// skips) taking its arguments from the bytes after it. Whatever the file
// holds, the reader must not crash, hang, over-read or leak; array reads
// return at most the count asked for; a reader at its end reads nothing;
// Close clears every flag. The file's bytes written in a compressed section
// must read back unchanged, to the deflate end and to the known length.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "qmkutils/fileio/filereader.h"
#include "qmkutils/fileio/filewriter.h"
#include "scratchfile.h"

namespace {

using qmk_fuzz::ScratchFile;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "file_reader: %s\n", what);
  std::abort();
}

class Script {
 public:
  Script(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool Done() const { return next_ >= size_; }
  unsigned Byte() { return next_ < size_ ? data_[next_++] : 0; }
  unsigned Word() { return Byte() | (Byte() << 8); }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t next_ = 0;
};

template <class T>
void ReadArray(du::FileReader& reader, unsigned count) {
  const std::unique_ptr<T[]> values(new T[count]);
  if (reader.Read(values.get(), count) > count) Fail("an array read returned too many");
}

void ReadArrayOfType(du::FileReader& reader, unsigned type, unsigned count) {
  switch (type % 5) {
    case 0:
      return ReadArray<char>(reader, count);
    case 1:
      return ReadArray<bool>(reader, count);
    case 2:
      return ReadArray<short>(reader, count);
    case 3:
      return ReadArray<int>(reader, count);
    default:
      return ReadArray<double>(reader, count);
  }
}

void RunScript(du::FileReader& reader, Script script) {
  char c;
  bool b;
  unsigned short s;
  int i;
  float f;
  double d;
  while (!script.Done()) {
    switch (script.Byte() % 16) {
      case 0:
        reader.Read(c);
        break;
      case 1:
        reader.Read(b);
        break;
      case 2:
        reader.Read(s);
        break;
      case 3:
        reader.Read(i);
        break;
      case 4:
        reader.Read(f);
        break;
      case 5:
        reader.Read(d);
        break;
      case 6: {
        const unsigned type = script.Byte();
        ReadArrayOfType(reader, type, script.Byte() * 4);
        break;
      }
      case 7:
        reader.StartCompressedSection();
        break;
      case 8:
        reader.StartCompressedSection(script.Word());
        break;
      case 9:
        reader.EndCompressedSection((script.Byte() & 1) != 0);
        break;
      case 10: {
        const unsigned position = script.Word();
        if (reader.SetPosition(position) && reader.GetPosition() != position) {
          Fail("SetPosition did not move there");
        }
        break;
      }
      case 11:
        reader.SkipBytes(script.Byte() * 16);
        break;
      case 12:
        reader.SetEndian(static_cast<int>(script.Byte() & 1));
        break;
      case 13:
        reader.GetFilePos();
        break;
      case 14:
        if (reader.IsEOF() && reader.Read(c)) Fail("a reader at its end read a byte");
        break;
      default:
        if (!reader.IsCompressed() && reader.Rewind() && reader.GetPosition() != 0) {
          Fail("Rewind did not go to 0");
        }
        break;
    }
  }
}

void CheckRoundTrip(const ScratchFile& scratch, const std::uint8_t* data, std::size_t size,
                    int endian, unsigned bufferSize, int level) {
  du::FileWriterPtr writer = du::FileWriter::Construct();
  if (!writer->Open(scratch.path(), endian, bufferSize)) Fail("the writer cannot open");
  writer->Write('<');
  writer->StartCompressedSection(level);
  if (writer->Write(reinterpret_cast<const char*>(data), static_cast<unsigned>(size)) != size) {
    Fail("the writer wrote less");
  }
  if (!writer->EndCompressedSection()) Fail("the section did not end cleanly");
  const unsigned length = writer->GetPosition() - 1;
  writer->Write(0x5EC7105E);
  if (!writer->Close()) Fail("the writer did not close cleanly");

  for (bool known : {false, true}) {
    du::FileReader reader;
    char mark = 0;
    if (!reader.Open(scratch.path(), endian, bufferSize) || !reader.Read(mark) || mark != '<' ||
        !(known ? reader.StartCompressedSection(length) : reader.StartCompressedSection())) {
      Fail("the section cannot be opened");
    }
    std::vector<char> back(size);
    if (reader.Read(back.data(), static_cast<unsigned>(size)) != size ||
        (size > 0 && std::memcmp(back.data(), data, size) != 0)) {
      Fail("the section read back differently");
    }
    int last = 0;
    if (!reader.EndCompressedSection(true) || !reader.Read(last) || last != 0x5EC7105E ||
        reader.IsError()) {
      Fail("the bytes after the section read back differently");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const ScratchFile s_input("file_reader_input");
  static const ScratchFile s_roundTrip("file_reader_round_trip");
  if (size < 2) return 0;
  const unsigned config = data[0];
  const std::size_t scriptSize = std::min<std::size_t>(data[1], size - 2);
  const std::uint8_t* file = data + 2 + scriptSize;
  const std::size_t fileSize = size - 2 - scriptSize;
  const int endian = static_cast<int>(config & 1);
  static constexpr unsigned kBufferSizes[] = {10, 1031, 2048, 4096};
  const unsigned bufferSize = kBufferSizes[(config >> 1) & 3];

  s_input.Set(file, fileSize);
  du::FileReader reader;
  if (!reader.Open(s_input.path(), endian, bufferSize)) Fail("the reader cannot open");
  RunScript(reader, Script(data + 2, scriptSize));
  if (!reader.Close() || reader.IsError() || reader.IsCompressed() || reader.IsOpen()) {
    Fail("Close left the reader unclean");
  }

  const int level = static_cast<int>((config >> 3) % 12) - 1;
  CheckRoundTrip(s_roundTrip, file, fileSize, endian, bufferSize, level);
  return 0;
}
