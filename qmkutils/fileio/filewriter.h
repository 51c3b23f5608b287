// Buffered writing of binary files: typed values in a byte order chosen per
// file, and compressed sections deflated on the fly.
//
// du::FileWriter writes the primitives du::FileReader reads (1-byte char,
// unsigned char and bool, 2-byte shorts, 4-byte ints and floats, 8-byte
// doubles, and arrays of them back to back) in little-endian (0) or
// big-endian (1) order, with no header or framing of its own.
//
// A compressed section is one gzip member: the 10-byte header 1F 8B 08 00
// 00 00 00 00 00 00, raw deflate data (15-bit window, memory level 9), then
// the CRC-32 and the byte count of the uncompressed data modulo 2^32, both
// little-endian whatever the file's order. Its compressed length is not
// recorded; a format that wants readers to know it stores it itself.
//
// Writers are made by Construct() and shared through du::FileWriterPtr. New
// files get mode 0600 (less the umask); without truncation an existing file
// is overwritten in place from offset 0. The descriptor is close-on-exec.
// Destroying a writer closes it, finishing an open section.
//
// Failures never throw: results are false or short, and a sticky error flag
// (IsError) stays set until Close or the next Open. Flush failures are
// traced (key "du", sub-key "FileWriter"). Positions are 32-bit: files over
// 4 GiB are not supported.
//
// One thread at a time may use a writer; only its reference count is
// thread-safe.
#ifndef QMKUTILS_FILEIO_FILEWRITER_H_
#define QMKUTILS_FILEIO_FILEWRITER_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "qmkutils/memory/refcounted.h"
#include "qmkutils/memory/smartptr.h"
#include "qmkutils/platform/export.h"

namespace du {

class FileWriter;
using FileWriterPtr = SmartPtr<FileWriter>;

class QMK_EXPORT FileWriter : public virtual RefCounted {
 public:
  static constexpr unsigned kMinimumBufferSize = 1024;
  static constexpr unsigned kDefaultBufferSize = 65536;
  static constexpr unsigned kNoPosition = 0xFFFFFFFF;

  static FileWriterPtr Construct();
  ~FileWriter() override;
  FileWriter(const FileWriter&) = delete;
  FileWriter& operator=(const FileWriter&) = delete;

  // `endian` 0 or 1 sets the byte order; other values keep the current one.
  // The buffer holds max(bufferSize, 1024) bytes.
  bool Open(const char* path, int endian = 0, unsigned bufferSize = kDefaultBufferSize,
            bool truncate = true);
  bool Open(const std::string& path, int endian = 0, unsigned bufferSize = kDefaultBufferSize,
            bool truncate = true);
  // Finishes an open section and flushes. True when nothing was open, or
  // every byte reached the file and the descriptor closed cleanly.
  bool Close();

  bool IsOpen() const { return fd_ >= 0; }
  const std::string& GetName() const { return name_; }
  bool IsError() const { return (mode_ & kError) != 0; }
  bool IsCompressed() const { return (mode_ & kInSection) != 0; }

  bool SetEndian(int endian);
  int GetEndian() const { return IsBigEndian() ? 1 : 0; }
  bool IsBigEndian() const { return (mode_ & kBigEndian) != 0; }
  bool IsLittleEndian() const { return !IsBigEndian(); }

  bool Write(const char& value);
  bool Write(const unsigned char& value);
  bool Write(const bool& value);
  bool Write(const short& value);
  bool Write(const unsigned short& value);
  bool Write(const int& value);
  bool Write(const unsigned int& value);
  bool Write(const float& value);
  bool Write(const double& value);

  // Each returns the number of whole elements written.
  unsigned Write(const char* values, unsigned count);
  unsigned Write(const unsigned char* values, unsigned count);
  unsigned Write(const bool* values, unsigned count);
  unsigned Write(const short* values, unsigned count);
  unsigned Write(const unsigned short* values, unsigned count);
  unsigned Write(const int* values, unsigned count);
  unsigned Write(const unsigned int* values, unsigned count);
  unsigned Write(const float* values, unsigned count);
  unsigned Write(const double* values, unsigned count);

  // Appends another file's bytes (compressed inside a section). The number
  // of bytes copied; 0 for a file that cannot be read, or is empty.
  unsigned WriteFile(const char* path);

  // kNoPosition inside a section; otherwise flushes and gives the offset.
  unsigned GetPosition();
  // Flushes and moves to `position` from the file's start; false inside a
  // section (without setting the error).
  bool SetPosition(unsigned position);

  // `level` is -1 (zlib's default) or 0 to 9; anything else counts as -1.
  // Sections do not nest.
  bool StartCompressedSection(int level);
  // Writes the gzip trailer; true when deflate finished cleanly.
  bool EndCompressedSection();

 private:
  enum Mode : std::uint32_t {
    kBigEndian = 2,
    kMustSwap = 4,
    kInSection = 8,
    kError = 0x80000000,
  };
  struct Section;

  FileWriter();
  template <class T>
  bool WriteScalar(T value);
  template <class T>
  unsigned WriteArray(const T* values, unsigned count);
  bool WriteRaw(const unsigned char* bytes, std::size_t size);
  bool FlushBuffer(bool final);
  bool Deflate(bool final);
  bool WriteToFile(const unsigned char* bytes, std::size_t size);
  bool AllocateBuffer(std::unique_ptr<unsigned char[]>& buffer);
  bool MustSwap() const { return (mode_ & kMustSwap) != 0; }
  void SetError() { mode_ |= kError; }

  std::string name_;
  int fd_ = -1;
  std::size_t bufferSize_ = kMinimumBufferSize;
  // Typed writes fill this buffer; inside a section it holds the
  // uncompressed bytes, and `output_` deflate's output.
  std::unique_ptr<unsigned char[]> buffer_;
  std::unique_ptr<unsigned char[]> output_;
  std::size_t used_ = 0;
  std::uint64_t position_ = 0;
  bool truncate_ = true;
  std::uint32_t mode_ = 0;
  std::unique_ptr<Section> section_;
};

}  // namespace du

#endif  // QMKUTILS_FILEIO_FILEWRITER_H_
