// Line-by-line reading of a du::FileReader, for text records inside (or
// making up) a binary file.
//
// du::LineReader reads through its own 4 KB chunk from the reader's
// current position, optionally no further than a byte limit. A line ends
// at a line feed (0x0A); a carriage return just before it is dropped, one
// anywhere else is part of the line. The last line needs no line feed, and
// a file ending in one yields no extra empty line. ReadBinary takes raw
// runs of bytes from the same stream, so text and binary parts can follow
// one another.
//
// The end of input is a false result; errors of the underlying reader stay
// visible through du::FileReader::IsError. The line reader does not own the
// file reader and leaves it open. A line or binary buffer stays valid until
// the next read.
//
// Not thread-safe: one thread at a time may use a line reader and, while
// it does, its file reader.
#ifndef QMKUTILS_FILEIO_LINEREADER_H_
#define QMKUTILS_FILEIO_LINEREADER_H_

#include <memory>

#include "qmkutils/platform/export.h"

namespace du {

class FileReader;

class QMK_EXPORT LineReader {
 public:
  static constexpr unsigned kChunkSize = 4096;
  static constexpr unsigned kInitialLineSize = 1024;

  // Reads at most `byteLimit` bytes from the reader's current position; 0
  // (or a negative limit) reads to the end.
  LineReader(FileReader* reader, int byteLimit);
  ~LineReader();
  LineReader(LineReader&&) noexcept;
  LineReader& operator=(LineReader&&) noexcept;
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  // True with the next line in GetBuffer(); false at the end of input, or
  // when a longer line buffer cannot be allocated.
  bool ReadLine();
  // The last line read, NUL-terminated and without its line end; writable
  // in place (e.g. by du::strtokchar). Null when the last read failed or
  // was binary.
  char* GetBuffer() const;

  // Reads the next `count` raw bytes, or fewer at the end of input, and
  // returns how many; GetBinBuffer() then holds them (null after 0).
  unsigned long ReadBinary(unsigned long count);
  const unsigned char* GetBinBuffer() const;

  // Makes the next read start again at the first byte of the last line
  // read. Always returns false (the result callers have always had); the
  // next ReadLine shows the effect. Going back beyond the current chunk
  // needs du::FileReader::SetPosition, so it does nothing inside a
  // compressed section.
  bool SeekToBufferStart();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace du

#endif  // QMKUTILS_FILEIO_LINEREADER_H_
