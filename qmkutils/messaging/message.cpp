#include "qmkutils/messaging/message.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <iomanip>
#include <ostream>
#include <utility>

#include "qmkutils/tracing/tracer.h"

namespace dom {

namespace {

const dp::QMTracer s_trace("dom", "Message");

constexpr unsigned char kHostOrderFlag = std::endian::native == std::endian::big ? 1 : 0;
constexpr unsigned kLengthOffset = 7;
constexpr unsigned kTableOffset = 15;
constexpr unsigned kTagOffset = 17;

void ReverseBytes(unsigned char* bytes, unsigned n) { std::reverse(bytes, bytes + n); }

template <class T>
T ReverseOf(T value) {
  ReverseBytes(reinterpret_cast<unsigned char*>(&value), sizeof value);
  return value;
}

bool IsForeignOrderFlag(unsigned char flags) {
  return (flags & Message::kBigEndianFlag) != kHostOrderFlag;
}

}  // namespace

Message::Buffer& Message::Buffer::operator=(const Buffer& other) {
  if (this != &other) Assign(other.Data(), other.size_);
  return *this;
}

void Message::Buffer::Free() {
  if (block_ != nullptr) du::CommonAllocatorImpl::DeallocateBytes(block_, capacity_);
  block_ = nullptr;
  capacity_ = kInlineCapacity;
}

void Message::Buffer::Reserve(std::size_t capacity) {
  if (capacity <= capacity_) return;
  auto* block = static_cast<unsigned char*>(du::CommonAllocatorImpl::AllocateBytes(capacity));
  if (size_ != 0) std::memcpy(block, Data(), size_);
  const std::size_t size = size_;
  Free();
  block_ = block;
  capacity_ = capacity;
  size_ = size;
}

void Message::Buffer::Resize(std::size_t size) {
  Reserve(size);
  if (size > size_) std::memset(Data() + size_, 0, size - size_);
  size_ = size;
}

void Message::Buffer::Assign(const unsigned char* bytes, std::size_t size) {
  size_ = 0;
  Reserve(size);
  if (size != 0) std::memcpy(Data(), bytes, size);
  size_ = size;
}

void Message::Buffer::Swap(Buffer& other) noexcept {
  if (block_ == nullptr && other.block_ == nullptr) {
    std::swap_ranges(inline_, inline_ + std::max(size_, other.size_), other.inline_);
  } else if (block_ == nullptr) {
    other.Swap(*this);
    return;
  } else if (other.block_ == nullptr) {
    // This side's block moves over; the other side's bytes move inline.
    std::memcpy(inline_, other.inline_, other.size_);
    other.block_ = std::exchange(block_, nullptr);
  } else {
    std::swap(block_, other.block_);
  }
  std::swap(size_, other.size_);
  std::swap(capacity_, other.capacity_);
}

Message::Message(unsigned capacity) {
  buffer_.Reserve(std::max(capacity, kHeaderSize));
  StartObjectMessage(0, 0, 0);
}

Message::Message(unsigned objectHandle, short table, unsigned short tag,
                 unsigned argumentBytesHint) {
  Reserve(argumentBytesHint);
  StartObjectMessage(objectHandle, table, tag);
}

Message::Message(const Message& other)
    : du::RefCounted(other),  // the count starts at 0 all the same
      du::CommonAllocated(other),
      argumentOffset_(other.argumentOffset_),
      buffer_(other.buffer_) {}

Message& Message::operator=(const Message& other) {
  if (this != &other) {
    argumentOffset_ = other.argumentOffset_;
    buffer_ = other.buffer_;
  }
  return *this;
}

Message::~Message() = default;

void Message::Swap(Message& other) noexcept {
  std::swap(argumentOffset_, other.argumentOffset_);
  buffer_.Swap(other.buffer_);
}

void Message::Reserve(unsigned n) {
  const std::uint64_t wanted = std::uint64_t{n} + kHeaderSize;
  buffer_.Reserve(wanted > 0xFFFFFFFFu
                      ? wanted
                      : du::CommonAllocatorImpl::GetRoundedSize(static_cast<unsigned>(wanted)));
}

void Message::StartObjectMessage(unsigned objectHandle, short table, unsigned short tag) {
  buffer_.Resize(kHeaderSize);
  Store32(11, objectHandle);
  Store16(kTableOffset, static_cast<std::uint16_t>(table));
  Store16(kTagOffset, tag);
  argumentOffset_ = kHeaderSize;
  buffer_[0] &= kBigEndianFlag;
  Store16(1, 0);
  Store16(3, kNoAddress);
  Store16(5, kNoAddress);
}

void Message::FinaliseMessage() {
  buffer_.Resize(argumentOffset_);
  Store32(kLengthOffset, argumentOffset_ - kHeaderSize);
  buffer_[0] |= kHostOrderFlag;
}

unsigned Message::PrepForReturnUndeliverable() {
  const unsigned returnAddress = GetReturnAddress();
  argumentOffset_ = kHeaderSize;
  buffer_.Resize(kHeaderSize);
  Store32(kLengthOffset, 0);
  buffer_[0] |= kHostOrderFlag | kUndeliverableFlag | kReplyFlag;
  Store16(3, static_cast<std::uint16_t>(returnAddress));
  Store16(5, 0);
  return returnAddress;
}

unsigned Message::RewindArgumentOffset(unsigned n) {
  const unsigned previous = GetArgumentOffset();
  // A position beyond any buffer stays beyond it instead of wrapping into
  // the header.
  argumentOffset_ = static_cast<std::uint32_t>(
      std::min<std::uint64_t>(std::uint64_t{n} + kHeaderSize, UINT32_MAX));
  return previous;
}

bool Message::IsForeignOrder() const { return IsForeignOrderFlag(buffer_[0]); }

std::uint16_t Message::Load16(unsigned offset) const {
  std::uint16_t value;
  std::memcpy(&value, buffer_.Data() + offset, sizeof value);
  return IsForeignOrder() ? ReverseOf(value) : value;
}

std::uint32_t Message::Load32(unsigned offset) const {
  std::uint32_t value;
  std::memcpy(&value, buffer_.Data() + offset, sizeof value);
  return IsForeignOrder() ? ReverseOf(value) : value;
}

void Message::Store16(unsigned offset, std::uint16_t value) {
  std::memcpy(buffer_.Data() + offset, &value, sizeof value);
}

void Message::Store32(unsigned offset, std::uint32_t value) {
  std::memcpy(buffer_.Data() + offset, &value, sizeof value);
}

unsigned char* Message::MakeRoom(unsigned n) {
  const std::size_t end = std::size_t{argumentOffset_} + n;
  if (buffer_.Size() < end) {
    // Growth by half again, but never past what 32-bit offsets can reach
    // when the size itself still fits.
    if (end > buffer_.Capacity()) {
      const std::size_t grown = buffer_.Capacity() + buffer_.Capacity() / 2;
      buffer_.Reserve(std::max(std::min<std::size_t>(grown, UINT32_MAX), end));
    }
    buffer_.Resize(end);
  }
  unsigned char* place = buffer_.Data() + argumentOffset_;
  argumentOffset_ += n;
  return place;
}

void Message::PushValue(const void* value, unsigned n) {
  if (n != 0) std::memcpy(MakeRoom(n), value, n);
}

void Message::PushBooleanValue(bool value) { PushUInt8Value(value ? 1 : 0); }
void Message::PushCharValue(char value) { PushValue(&value, 1); }
void Message::PushUInt8Value(unsigned char value) { PushValue(&value, 1); }
void Message::PushInt16Value(short value) { PushValue(&value, 2); }
void Message::PushUInt16Value(unsigned short value) { PushValue(&value, 2); }
void Message::PushInt32Value(int value) { PushValue(&value, 4); }
void Message::PushUInt32Value(unsigned int value) { PushValue(&value, 4); }
void Message::PushFloatValue(float value) { PushValue(&value, 4); }
void Message::PushInt64Value(long long value) { PushValue(&value, 8); }
void Message::PushUInt64Value(unsigned long long value) { PushValue(&value, 8); }
void Message::PushDoubleValue(double value) { PushValue(&value, 8); }

void Message::PushRawPtr(void* value) {
  // Four bytes on the wire: what crosses a socket is an id, not an address.
  PushUInt32Value(static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(value)));
}

void Message::PushLocalPointer(const void* pointer) {
  const auto bits = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(pointer));
  PushValue(&bits, 8);
}

void Message::PushStringValue(const char* value) {
  const std::size_t length = value == nullptr ? 0 : std::strlen(value);
  const auto prefix = static_cast<std::uint32_t>(length);
  PushValue(&prefix, 4);
  PushValue(value, prefix);
}

void Message::PushStringValue(const std::string& value) {
  const auto prefix = static_cast<std::uint32_t>(value.size());
  PushValue(&prefix, 4);
  PushValue(value.data(), prefix);
}

void Message::PushStringValue(const du::Symbol& value) {
  const auto prefix = static_cast<std::uint32_t>(value.size());
  PushValue(&prefix, 4);
  PushValue(value.c_str(), prefix);
}

void Message::PushRawBytes(const void* bytes, unsigned n) { PushValue(bytes, n); }

bool Message::GetValue(void* value, unsigned n, bool swappable) {
  // A value fits when its bytes lie within the buffer; so an empty one fits
  // at the very end.
  if (argumentOffset_ > buffer_.Size() || buffer_.Size() - argumentOffset_ < n) return false;
  auto* out = static_cast<unsigned char*>(value);
  if (n != 0) std::memcpy(out, buffer_.Data() + argumentOffset_, n);
  if (swappable && IsForeignOrder()) ReverseBytes(out, n);
  argumentOffset_ += n;
  return true;
}

bool Message::GetBooleanValue(bool& value) {
  unsigned char byte;
  if (!GetValue(&byte, 1, false)) return false;
  value = byte == 1;
  return true;
}

bool Message::GetCharValue(char& value) { return GetValue(&value, 1, false); }
bool Message::GetUInt8Value(unsigned char& value) { return GetValue(&value, 1, false); }
bool Message::GetInt16Value(short& value) { return GetValue(&value, 2, true); }
bool Message::GetUInt16Value(unsigned short& value) { return GetValue(&value, 2, true); }
bool Message::GetInt32Value(int& value) { return GetValue(&value, 4, true); }
bool Message::GetUInt32Value(unsigned int& value) { return GetValue(&value, 4, true); }
bool Message::GetFloatValue(float& value) { return GetValue(&value, 4, true); }
bool Message::GetInt64Value(long long& value) { return GetValue(&value, 8, true); }
bool Message::GetUInt64Value(unsigned long long& value) { return GetValue(&value, 8, true); }
bool Message::GetDoubleValue(double& value) { return GetValue(&value, 8, true); }

bool Message::GetRawPtr(void*& value) {
  std::uint32_t bits;
  if (!GetValue(&bits, 4, true)) return false;
  value = reinterpret_cast<void*>(std::uintptr_t{bits});
  return true;
}

bool Message::GetLocalPointer(void*& pointer) {
  std::uint64_t bits;
  if (!GetValue(&bits, 8, false)) return false;
  pointer = reinterpret_cast<void*>(static_cast<std::uintptr_t>(bits));
  return true;
}

bool Message::GetRawBytes(void* bytes, unsigned n) { return GetValue(bytes, n, false); }

bool Message::GetStringBytes(const unsigned char*& characters, unsigned& length) {
  const std::uint32_t before = argumentOffset_;
  std::uint32_t prefix;
  if (!GetValue(&prefix, 4, true)) return false;
  if (buffer_.Size() - argumentOffset_ < prefix) {
    argumentOffset_ = before;
    return false;
  }
  characters = buffer_.Data() + argumentOffset_;
  length = prefix;
  argumentOffset_ += prefix;
  return true;
}

bool Message::GetStringValue(std::string& value) {
  const unsigned char* characters;
  unsigned length;
  if (!GetStringBytes(characters, length)) return false;
  value.assign(reinterpret_cast<const char*>(characters), length);
  return true;
}

bool Message::GetStringValue(du::Symbol& value) {
  const unsigned char* characters;
  unsigned length;
  if (!GetStringBytes(characters, length)) return false;
  value = du::Symbol(std::string_view(reinterpret_cast<const char*>(characters), length));
  return true;
}

void Message::Print(std::ostream& out) const {
  const unsigned char flags = buffer_[0];
  out << '[' << ((flags & kReplyFlag) != 0 ? 'R' : '-')
      << ((flags & kNeedsReplyFlag) != 0 ? 'N' : '-')
      << ((flags & kUndeliverableFlag) != 0 ? 'U' : '-');
  out << std::hex << std::nouppercase << std::noshowbase << std::right << std::setfill('0');
  out << ":S" << std::setw(4) << GetSequenceId() << ":A" << std::setw(2) << GetAddress() << ":R"
      << std::setw(2) << GetReturnAddress() << ":L" << GetMessageLength() << ":H" << std::setw(8)
      << GetObjectHandle() << ":T" << std::setw(4) << GetMesgTag() << ':';
  // A message restarted after a finalise may announce more than it holds:
  // only bytes that exist are printed.
  const std::size_t count = std::min<std::size_t>(GetMessageLength(), buffer_.Size() - kHeaderSize);
  for (std::size_t i = 0; i < count; ++i) {
    const unsigned char byte = buffer_[kHeaderSize + i];
    if (i != 0) out << ", ";
    out << std::setw(2) << unsigned{byte};
    if (byte >= 0x20 && byte <= 0x7E) out << '(' << static_cast<char>(byte) << ')';
  }
  out << ']';
}

std::ostream& operator<<(std::ostream& out, const MessagePtr& message) {
  out << '{' << static_cast<const void*>(message.Get());
  if (message) message->Print(out);
  return out << '}';
}

bool Message::GetAnnouncedLength(const unsigned char* header, unsigned& length) {
  std::uint32_t announced;
  std::memcpy(&announced, header + kLengthOffset, sizeof announced);
  if (IsForeignOrderFlag(header[0])) announced = ReverseOf(announced);
  if (announced > kMaxMessageLength) {
    s_trace(dp::Error, "Received message announces %u argument bytes, more than the %u accepted.\n",
            announced, kMaxMessageLength);
    return false;
  }
  length = announced;
  return true;
}

bool Message::AssignReceivedBytes(const unsigned char* bytes, std::size_t size) {
  unsigned length;
  if (size < kHeaderSize || !GetAnnouncedLength(bytes, length) || size - kHeaderSize != length)
    return false;
  buffer_.Assign(bytes, size);
  argumentOffset_ = kHeaderSize;
  return true;
}

}  // namespace dom
