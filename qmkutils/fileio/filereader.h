// Buffered reading of binary files: typed values in a byte order chosen per
// file, and compressed sections inflated on the fly.
//
// du::FileReader reads the primitives du::FileWriter writes (1-byte char,
// unsigned char and bool, 2-byte shorts, 4-byte ints and floats, 8-byte
// doubles, and arrays of them back to back) in little-endian (0) or
// big-endian (1) order. The file has no header or framing of its own.
//
// A compressed section is either a gzip member (its header may carry any
// of the optional fields; neither the header CRC nor the trailer is
// checked) or a zlib stream. Its end is found from the deflate end marker,
// or from a length the caller stored in its own format: that length counts
// from the section's first byte, gzip header included. Inside a section the
// typed reads return the inflated bytes.
//
// Failures never throw: results are false or short, and a sticky error flag
// (IsError) stays set until Close or the next Open. Running out of data is
// not itself an error: the read that meets the end of the file fails and
// sets IsEOF. A failed scalar read consumes nothing; an array read returns
// the whole elements it read and leaves a partial one unread. Failures are
// traced (key "du", sub-key "FileReader").
//
// Positions are 32-bit: files over 4 GiB are not supported. GetFilePos gives
// the offset in the file of the next byte not yet consumed (inside a
// section, the next compressed byte not yet handed to inflate).
//
// One thread at a time may use a reader; only its reference count is
// thread-safe. The descriptor is close-on-exec.
#ifndef QMKUTILS_FILEIO_FILEREADER_H_
#define QMKUTILS_FILEIO_FILEREADER_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "qmkutils/memory/refcounted.h"
#include "qmkutils/memory/smartptr.h"
#include "qmkutils/platform/export.h"
#include "qmkutils/utilities/symbol.h"

namespace du {

class QMK_EXPORT FileReader : public virtual RefCounted {
 public:
  static constexpr unsigned kMinimumBufferSize = 1024;
  static constexpr unsigned kDefaultBufferSize = 65536;

  FileReader();
  ~FileReader() override;
  FileReader(const FileReader&) = delete;
  FileReader& operator=(const FileReader&) = delete;

  // `endian` 0 or 1 sets the byte order; other values keep the current one.
  // The buffer holds max(bufferSize, 1024) bytes.
  bool Open(const char* path, int endian = 0, unsigned bufferSize = kDefaultBufferSize);
  bool Open(const std::string& path, int endian = 0, unsigned bufferSize = kDefaultBufferSize);
  bool Open(const Symbol& path, int endian = 0, unsigned bufferSize = kDefaultBufferSize);
  // Leaves an open section first; clears the error and restores
  // little-endian order. True when nothing was open or it closed cleanly.
  bool Close();

  bool IsOpen() const { return fd_ >= 0; }
  const std::string& GetName() const { return name_; }
  bool IsError() const { return error_; }
  bool IsCompressed() const { return inSection_; }
  // No bytes left, and the end of the file (or, inside one, of the
  // section) has been met.
  bool IsEOF() const;

  bool SetEndian(int endian);
  int GetEndian() const { return fileBigEndian_ ? 1 : 0; }
  bool IsBigEndian() const { return fileBigEndian_; }
  bool IsLittleEndian() const { return !fileBigEndian_; }
  bool MustSwapBytes() const { return mustSwap_; }
  static int GetSystemEndian();
  static bool IsSystemBigEndian();
  static bool IsSystemLittleEndian();

  bool Read(char& value);
  bool Read(unsigned char& value);
  bool Read(bool& value);
  bool Read(short& value);
  bool Read(unsigned short& value);
  bool Read(int& value);
  bool Read(unsigned int& value);
  bool Read(float& value);
  bool Read(double& value);

  // Each returns the number of whole elements read.
  unsigned Read(char* values, unsigned count);
  unsigned Read(unsigned char* values, unsigned count);
  unsigned Read(bool* values, unsigned count);
  unsigned Read(short* values, unsigned count);
  unsigned Read(unsigned short* values, unsigned count);
  unsigned Read(int* values, unsigned count);
  unsigned Read(unsigned int* values, unsigned count);
  unsigned Read(float* values, unsigned count);
  unsigned Read(double* values, unsigned count);

  bool SkipBytes(unsigned count);
  bool Forward(unsigned count) { return SkipBytes(count); }
  bool SkipUInt16s(unsigned count);
  bool SkipUInt32s(unsigned count);
  bool SkipFloats(unsigned count);
  bool SkipDoubles(unsigned count);

  // Outside a section, the file offset of the next byte; inside one, the
  // offset within the section's inflated bytes.
  unsigned GetPosition() const;
  // False inside a section (without setting the error).
  bool SetPosition(unsigned position);
  bool Rewind() { return SetPosition(0); }
  // Not supported: sets the error and returns false.
  bool Rewind(unsigned count);
  unsigned GetFilePos() const;

  // Sections do not nest. The length form refuses 0 (false, no error).
  bool StartCompressedSection();
  bool StartCompressedSection(unsigned compressedLength);
  // With `readToEnd`, inflates and drops what the caller left unread, so
  // that reading goes on after the section (and its gzip trailer). Without
  // it, reading goes on at the first compressed byte not yet inflated. The
  // section is left in every case; the result says whether its stream
  // ended cleanly.
  bool EndCompressedSection(bool readToEnd);

 private:
  struct Section;

  template <class T>
  bool ReadScalar(T& value);
  template <class T>
  unsigned ReadArray(T* values, unsigned count);
  unsigned ReadArrayFromFile(unsigned char* into, unsigned count, std::size_t size);
  bool AllocateFileBuffer();
  bool SkipBytes64(std::uint64_t count);
  bool FillBuffer(std::size_t required);
  bool FillFromFile();
  bool FillFromSection();
  bool ReadFromFile(unsigned char* into, std::size_t size, std::size_t& got);
  bool Start(bool lengthKnown, unsigned compressedLength);
  bool ParseGzipHeader();
  bool SkipZeroTerminated();
  void SetByteOrder(bool bigEndian);
  unsigned char* ReadBuffer() const;

  std::string name_;
  int fd_ = -1;
  std::size_t bufferSize_ = kMinimumBufferSize;
  // The file's bytes; inside a section, the compressed input.
  std::unique_ptr<unsigned char[]> fileBuffer_;
  // Twice the size: the inflated bytes of a section.
  std::unique_ptr<unsigned char[]> inflatedBuffer_;
  std::size_t readOffset_ = 0;  // in the current read buffer
  std::size_t dataEnd_ = 0;     // valid bytes of the current read buffer
  std::uint64_t fileBytesRead_ = 0;
  bool fileBigEndian_ = false;
  bool mustSwap_ = false;
  bool inSection_ = false;
  bool sectionIsGzip_ = false;
  bool sectionEndReached_ = false;
  bool sectionLengthKnown_ = false;
  bool endOfFile_ = false;
  bool error_ = false;
  std::unique_ptr<Section> section_;
};

}  // namespace du

#endif  // QMKUTILS_FILEIO_FILEREADER_H_
