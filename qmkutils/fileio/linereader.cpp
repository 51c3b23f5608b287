#include "qmkutils/fileio/linereader.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "qmkutils/fileio/filereader.h"

namespace du {

namespace {

// A line longer than this leaves a buffer that the next ReadLine replaces
// with a fresh small one, so one long line does not pin its memory.
constexpr std::size_t kLineBufferKeepLimit = 4096;

}  // namespace

struct LineReader::State {
  FileReader* reader = nullptr;
  char* line = nullptr;
  const unsigned char* binary = nullptr;

  unsigned char chunk[kChunkSize];
  std::size_t chunkRead = 0;
  std::size_t chunkEnd = 0;

  char* buffer = nullptr;
  std::size_t bufferUsed = 0;
  std::size_t bufferCapacity = 0;

  std::uint64_t byteLimit = 0;  // 0: none
  std::uint64_t bytesRead = 0;
  unsigned chunkStart = 0;  // the reader's position at chunk[0]
  unsigned lineStart = 0;
  bool lineStarted = false;

  ~State() { std::free(buffer); }

  bool Allocate(std::size_t capacity) {
    char* fresh = static_cast<char*>(std::malloc(capacity));
    if (fresh == nullptr) return false;
    std::free(buffer);
    buffer = fresh;
    bufferCapacity = capacity;
    return true;
  }

  // Doubles the buffer until `size` bytes fit; false (buffer unchanged)
  // when that cannot be allocated.
  bool Fit(std::size_t size) {
    if (size <= bufferCapacity) return true;
    std::size_t capacity = std::max<std::size_t>(bufferCapacity, kInitialLineSize);
    while (capacity < size) capacity *= 2;
    char* grown = static_cast<char*>(std::realloc(buffer, capacity));
    if (grown == nullptr) return false;
    buffer = grown;
    bufferCapacity = capacity;
    return true;
  }

  // Refills the empty chunk; false at the end of input.
  bool FillChunk() {
    if (reader == nullptr || reader->IsEOF()) return false;
    std::uint64_t want = kChunkSize;
    if (byteLimit != 0) want = std::min(want, byteLimit - bytesRead);
    chunkStart = reader->GetPosition();
    const unsigned got = want == 0 ? 0 : reader->Read(chunk, static_cast<unsigned>(want));
    bytesRead += got;
    chunkRead = 0;
    chunkEnd = got;
    return got != 0;
  }
};

LineReader::LineReader(FileReader* reader, int byteLimit) : state_(std::make_unique<State>()) {
  state_->reader = reader;
  state_->byteLimit = byteLimit > 0 ? static_cast<std::uint64_t>(byteLimit) : 0;
  if (reader != nullptr) state_->chunkStart = reader->GetPosition();
  state_->Allocate(kInitialLineSize);
}

LineReader::~LineReader() = default;
LineReader::LineReader(LineReader&&) noexcept = default;
LineReader& LineReader::operator=(LineReader&&) noexcept = default;

char* LineReader::GetBuffer() const { return state_->line; }
const unsigned char* LineReader::GetBinBuffer() const { return state_->binary; }

bool LineReader::ReadLine() {
  State& s = *state_;
  if (s.bufferCapacity > kLineBufferKeepLimit && !s.Allocate(kInitialLineSize)) return false;
  s.line = nullptr;
  s.binary = nullptr;
  s.lineStart = s.chunkStart + static_cast<unsigned>(s.chunkRead);
  s.lineStarted = true;
  s.bufferUsed = 0;
  bool ended = false;
  while (!ended) {
    if (s.chunkRead == s.chunkEnd && !s.FillChunk()) break;
    const unsigned char* begin = s.chunk + s.chunkRead;
    const std::size_t available = s.chunkEnd - s.chunkRead;
    const auto* lineFeed = static_cast<const unsigned char*>(std::memchr(begin, '\n', available));
    const std::size_t take =
        lineFeed != nullptr ? static_cast<std::size_t>(lineFeed - begin) : available;
    // One more byte for the terminating NUL.
    if (!s.Fit(s.bufferUsed + take + 1)) return false;
    std::memcpy(s.buffer + s.bufferUsed, begin, take);
    s.bufferUsed += take;
    s.chunkRead += take;
    if (lineFeed != nullptr) {
      ++s.chunkRead;
      if (s.bufferUsed != 0 && s.buffer[s.bufferUsed - 1] == '\r') --s.bufferUsed;
      ended = true;
    }
  }
  if (!ended && s.bufferUsed == 0) return false;
  if (!s.Fit(s.bufferUsed + 1)) return false;
  s.buffer[s.bufferUsed] = '\0';
  s.line = s.buffer;
  return true;
}

unsigned long LineReader::ReadBinary(unsigned long count) {
  State& s = *state_;
  s.line = nullptr;
  s.binary = nullptr;
  // The buffer grows with the bytes that actually arrive, so a huge count
  // near the end of a file allocates only what the file holds.
  unsigned long copied = 0;
  while (copied < count) {
    if (s.chunkRead == s.chunkEnd && !s.FillChunk()) break;
    const std::size_t take = std::min<std::uint64_t>(count - copied, s.chunkEnd - s.chunkRead);
    if (!s.Fit(copied + take)) break;
    std::memcpy(s.buffer + copied, s.chunk + s.chunkRead, take);
    copied += take;
    s.chunkRead += take;
  }
  if (copied != 0) s.binary = reinterpret_cast<const unsigned char*>(s.buffer);
  return copied;
}

bool LineReader::SeekToBufferStart() {
  State& s = *state_;
  if (!s.lineStarted) return false;
  const std::uint64_t chunkEndPosition = std::uint64_t{s.chunkStart} + s.chunkEnd;
  if (s.lineStart >= s.chunkStart && s.lineStart <= chunkEndPosition) {
    s.chunkRead = s.lineStart - s.chunkStart;
  } else if (s.reader != nullptr && s.reader->SetPosition(s.lineStart)) {
    s.bytesRead -= chunkEndPosition - s.lineStart;
    s.chunkStart = s.lineStart;
    s.chunkRead = s.chunkEnd = 0;
    s.FillChunk();
  }
  return false;
}

}  // namespace du
