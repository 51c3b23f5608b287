// Messages: the unit of communication between objects, threads and
// processes.
//
// A dom::Message is a flat byte buffer: a 19-byte header (flags, sequence
// id, address, return address, argument length, object handle, message table
// and tag) followed by untyped argument values that the sender pushes and
// the receiver pulls in the same order. The buffer of a finalised message is
// exactly what travels between processes, so its layout is fixed to the
// byte: fields are packed without padding (the 2- and 4-byte fields sit at
// odd offsets), values are written in the writer's byte order, little-endian
// here, and flag bit 0 names that order so a reader swaps what a big-endian
// writer sent. Every access to the buffer goes through memcpy; nothing is
// overlaid on it.
//
// Reading never goes beyond the buffer: a Get that does not fit returns
// false and leaves the cursor alone (a string whose characters do not fit
// leaves it before its length prefix). Received bytes are taken only with an
// argument length of at most kMaxMessageLength (64 MiB): a peer announcing
// more is refused before anything is allocated.
//
// Print shows only argument bytes the buffer holds, also when the length
// field (left by an earlier finalise) promises more. A rewind beyond 4 GiB
// stays beyond every buffer instead of wrapping into the header.
//
// PushRawPtr and GetRawPtr carry 4 bytes, as on the wire: an id, never an
// address. A real pointer that stays in the process goes through
// PushLocalPointer/GetLocalPointer, 8 bytes, which must never cross a socket.
//
// A message keeps up to 256 bytes inside itself: one whose header and
// arguments fit is a single allocation of the common allocator.
//
// No operation throws except std::bad_alloc when the buffer cannot grow.
// A message has no lock: one thread builds it, a queue hands it over, one
// thread reads it. Its reference count (dom::MessagePtr) is atomic.
#ifndef QMKUTILS_MESSAGING_MESSAGE_H_
#define QMKUTILS_MESSAGING_MESSAGE_H_

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <string>

#include "qmkutils/memory/commonallocator.h"
#include "qmkutils/memory/refcounted.h"
#include "qmkutils/memory/smartptr.h"
#include "qmkutils/platform/export.h"
#include "qmkutils/utilities/symbol.h"

namespace dom {

class QMK_EXPORT Message : public du::RefCounted, public du::CommonAllocated {
 public:
  static constexpr unsigned kHeaderSize = 19;
  // The address a fresh message carries in both address fields.
  static constexpr unsigned kNoAddress = 10000;
  // The largest argument length accepted from received bytes.
  static constexpr unsigned kMaxMessageLength = 64u << 20;

  static constexpr unsigned char kBigEndianFlag = 0x01;
  static constexpr unsigned char kReplyFlag = 0x02;
  static constexpr unsigned char kNeedsReplyFlag = 0x04;
  static constexpr unsigned char kUndeliverableFlag = 0x08;

  Message() : Message(256) {}
  explicit Message(unsigned capacity);
  Message(unsigned objectHandle, short table, unsigned short tag, unsigned argumentBytesHint);
  Message(const Message& other);
  Message& operator=(const Message& other);
  ~Message() override;

  void Swap(Message& other) noexcept;
  // Reserves room for n argument bytes; never shrinks.
  void Reserve(unsigned n);

  // Restarts the message as an empty one for the given object: 19 bytes,
  // cursor at the first argument, no reply flags, sequence 0, no addresses.
  void StartObjectMessage(unsigned objectHandle, short table, unsigned short tag);
  // Cuts the buffer at the cursor and records the argument length. Call it
  // after the last push, before the message is posted or sent.
  void FinaliseMessage();
  // Turns the message into the undeliverable answer to its sender, whose
  // address it returns.
  unsigned PrepForReturnUndeliverable();

  void SetSequenceId(unsigned short id) { Store16(1, id); }
  unsigned short GetSequenceId() const { return Load16(1); }
  // Addresses are 16-bit on the wire: the low 16 bits are stored.
  void SetAddress(unsigned address) { Store16(3, static_cast<std::uint16_t>(address)); }
  unsigned GetAddress() const { return Load16(3); }
  void SetReturnAddress(unsigned address) { Store16(5, static_cast<std::uint16_t>(address)); }
  unsigned GetReturnAddress() const { return Load16(5); }
  void SetObjectHandle(unsigned handle) { Store32(11, handle); }
  unsigned GetObjectHandle() const { return Load32(11); }
  short GetMesgTable() const { return static_cast<short>(Load16(15)); }
  unsigned short GetMesgTag() const { return Load16(17); }

  void MarkReplyFlag() { buffer_[0] |= kReplyFlag; }
  void ClearReplyFlag() { buffer_[0] &= static_cast<unsigned char>(~kReplyFlag); }
  bool IsReply() const { return (buffer_[0] & kReplyFlag) != 0; }
  void MarkNeedsReplyFlag() { buffer_[0] |= kNeedsReplyFlag; }
  void ClearNeedsReplyFlag() { buffer_[0] &= static_cast<unsigned char>(~kNeedsReplyFlag); }
  bool NeedsReply() const { return (buffer_[0] & kNeedsReplyFlag) != 0; }
  void MarkUndeliverableFlag() { buffer_[0] |= kUndeliverableFlag; }
  void ClearUndeliverableFlag() { buffer_[0] &= static_cast<unsigned char>(~kUndeliverableFlag); }
  bool IsUndeliverable() const { return (buffer_[0] & kUndeliverableFlag) != 0; }

  // The cursor as a position among the arguments.
  unsigned GetArgumentOffset() const { return argumentOffset_ - kHeaderSize; }
  // Moves the cursor to argument position n; returns the previous position.
  unsigned RewindArgumentOffset(unsigned n);

  void PushBooleanValue(bool value);
  void PushCharValue(char value);
  void PushUInt8Value(unsigned char value);
  void PushInt16Value(short value);
  void PushUInt16Value(unsigned short value);
  void PushInt32Value(int value);
  void PushUInt32Value(unsigned int value);
  void PushFloatValue(float value);
  void PushRawPtr(void* value);
  void PushInt64Value(long long value);
  void PushUInt64Value(unsigned long long value);
  void PushDoubleValue(double value);
  // A null pointer is pushed as the empty string.
  void PushStringValue(const char* value);
  void PushStringValue(const std::string& value);
  void PushStringValue(const du::Symbol& value);
  void PushRawBytes(const void* bytes, unsigned n);
  void PushLocalPointer(const void* pointer);

  // Only the byte 1 reads as true; any other byte reads as false.
  bool GetBooleanValue(bool& value);
  bool GetCharValue(char& value);
  bool GetUInt8Value(unsigned char& value);
  bool GetInt16Value(short& value);
  bool GetUInt16Value(unsigned short& value);
  bool GetInt32Value(int& value);
  bool GetUInt32Value(unsigned int& value);
  bool GetFloatValue(float& value);
  // The 4 bytes, zero-extended.
  bool GetRawPtr(void*& value);
  bool GetInt64Value(long long& value);
  bool GetUInt64Value(unsigned long long& value);
  bool GetDoubleValue(double& value);
  bool GetStringValue(std::string& value);
  bool GetStringValue(du::Symbol& value);
  bool GetRawBytes(void* bytes, unsigned n);
  bool GetLocalPointer(void*& pointer);

  // One record without a line end: flags, header fields in hexadecimal and
  // the argument bytes. Leaves the stream in hexadecimal with fill '0'.
  void Print(std::ostream& out) const;

  // The bytes to send: header and arguments, as they stand.
  const unsigned char* GetBytes() const { return buffer_.Data(); }
  std::size_t GetByteCount() const { return buffer_.Size(); }

  // The argument length announced by a received 19-byte header, in the
  // byte order its flags name. False (traced) when it exceeds
  // kMaxMessageLength: the sender cannot be trusted any further.
  static bool GetAnnouncedLength(const unsigned char* header, unsigned& length);
  // Takes received bytes as this message's buffer, the cursor on the first
  // argument. False, leaving the message as it was, unless the bytes are a
  // header whose announced length is within the bound and exactly that many
  // argument bytes after it.
  bool AssignReceivedBytes(const unsigned char* bytes, std::size_t size);

 private:
  friend class WindowsIOHandler;

  unsigned GetMessageLength() const { return Load32(7); }
  bool IsForeignOrder() const;
  std::uint16_t Load16(unsigned offset) const;
  std::uint32_t Load32(unsigned offset) const;
  void Store16(unsigned offset, std::uint16_t value);
  void Store32(unsigned offset, std::uint32_t value);
  // Grows the buffer to hold n bytes at the cursor; returns where they go.
  unsigned char* MakeRoom(unsigned n);
  void PushValue(const void* value, unsigned n);
  // Reads n bytes at the cursor, reversed for a foreign writer when n > 1.
  bool GetValue(void* value, unsigned n, bool swappable);
  bool GetStringBytes(const unsigned char*& characters, unsigned& length);

  // The byte buffer. Up to kInlineCapacity bytes live inside the message,
  // so a message whose arguments fit is one allocation; beyond that the
  // bytes move to a block of the common allocator.
  class Buffer {
   public:
    static constexpr std::size_t kInlineCapacity = 256;

    Buffer() = default;
    Buffer(const Buffer& other) { Assign(other.Data(), other.size_); }
    Buffer& operator=(const Buffer& other);
    ~Buffer() { Free(); }

    unsigned char* Data() { return block_ != nullptr ? block_ : inline_; }
    const unsigned char* Data() const { return block_ != nullptr ? block_ : inline_; }
    std::size_t Size() const { return size_; }
    unsigned char& operator[](std::size_t i) { return Data()[i]; }
    unsigned char operator[](std::size_t i) const { return Data()[i]; }

    void Reserve(std::size_t capacity);
    // New bytes are zero.
    void Resize(std::size_t size);
    void Assign(const unsigned char* bytes, std::size_t size);
    void Swap(Buffer& other) noexcept;
    std::size_t Capacity() const { return capacity_; }

   private:
    void Free();

    unsigned char* block_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = kInlineCapacity;
    unsigned char inline_[kInlineCapacity];
  };

  std::uint32_t argumentOffset_ = kHeaderSize;
  Buffer buffer_;
};

using MessagePtr = du::SmartPtr<Message>;

// "{", the message's address, its Print record unless null, "}".
QMK_EXPORT std::ostream& operator<<(std::ostream& out, const MessagePtr& message);

}  // namespace dom

#endif  // QMKUTILS_MESSAGING_MESSAGE_H_
