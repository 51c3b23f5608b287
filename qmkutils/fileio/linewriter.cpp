#include "qmkutils/fileio/linewriter.h"

#include <cstring>

namespace du {

struct LineWriter::State {
  FileWriterPtr writer;
  std::uint64_t bytesWritten = 0;

  // Writes and counts what was written; true when all of it was.
  template <class Byte>
  bool Write(const Byte* bytes, unsigned count) {
    if (writer == nullptr) return false;
    const unsigned written = writer->Write(bytes, count);
    bytesWritten += written;
    return written == count;
  }
};

LineWriter::LineWriter(const FileWriterPtr& writer) : state_(std::make_unique<State>()) {
  state_->writer = writer;
}

LineWriter::~LineWriter() = default;
LineWriter::LineWriter(LineWriter&&) noexcept = default;
LineWriter& LineWriter::operator=(LineWriter&&) noexcept = default;

bool LineWriter::WriteLine(const char* line) {
  if (line == nullptr) return false;
  // Both parts are written even when the first comes up short, so the
  // count reflects every byte the writer took.
  const bool text = state_->Write(line, static_cast<unsigned>(std::strlen(line)));
  const char lineFeed = '\n';
  const bool end = state_->Write(&lineFeed, 1);
  return text && end;
}

bool LineWriter::WriteLine(const std::string& line) { return WriteLine(line.c_str()); }

bool LineWriter::WriteBinary(const unsigned char* bytes, unsigned count) {
  if (bytes == nullptr || count == 0) return true;
  return state_->Write(bytes, count);
}

std::uint64_t LineWriter::GetBytesWritten() const { return state_->bytesWritten; }

}  // namespace du
