// Line-by-line writing through a shared du::FileWriter.
//
// du::LineWriter writes each line followed by a single line feed (0x0A, no
// carriage return), and raw runs of bytes, counting every byte that
// reached the writer. It holds a reference to the writer, so the writer
// lives at least as long as the line writer.
//
// A short write is a false result; the writer's error flag
// (du::FileWriter::IsError) records its cause.
//
// Not thread-safe: one thread at a time may use a line writer and its file
// writer; only the writer's reference count is shared safely.
#ifndef QMKUTILS_FILEIO_LINEWRITER_H_
#define QMKUTILS_FILEIO_LINEWRITER_H_

#include <cstdint>
#include <memory>
#include <string>

#include "qmkutils/fileio/filewriter.h"
#include "qmkutils/platform/export.h"

namespace du {

class QMK_EXPORT LineWriter {
 public:
  explicit LineWriter(const FileWriterPtr& writer);
  ~LineWriter();
  LineWriter(LineWriter&&) noexcept;
  LineWriter& operator=(LineWriter&&) noexcept;
  LineWriter(const LineWriter&) = delete;
  LineWriter& operator=(const LineWriter&) = delete;

  // Writes `line` and a line feed. A null line writes nothing and is false.
  bool WriteLine(const char* line);
  // Writes `line` up to its first NUL, and a line feed.
  bool WriteLine(const std::string& line);
  // True at once for a null pointer or zero length.
  bool WriteBinary(const unsigned char* bytes, unsigned count);

  std::uint64_t GetBytesWritten() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace du

#endif  // QMKUTILS_FILEIO_LINEWRITER_H_
