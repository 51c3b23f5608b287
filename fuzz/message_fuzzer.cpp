// Fuzzes dom::Message over received bytes, the way a connection reads them.
//
// Input: a script length byte (up to 63), the script, then a byte stream.
// The stream is cut into messages like a socket reader does: 19 header
// bytes, the announced length checked against the bound, then that many
// argument bytes; a stream that ends early or announces too much stops the
// reading. Each message is rebuilt from a copy of exactly its bytes, and the
// script then pulls arguments of every kind from it (a script byte picks the
// kind; some rewind the cursor to a position taken from the next byte).
// Whatever the bytes, nothing may crash, hang, leak or read beyond the
// buffer; a failed Get leaves the cursor; a successful one moves it by the
// value's size; Print and the undeliverable return work on any message.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "qmkutils/messaging/message.h"

namespace {

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "message: %s\n", what);
  std::abort();
}

// Pulls one value of the kind `op` names; the size it takes when it succeeds
// (strings: 4 + their length), or -1 when it fails.
long long Pull(dom::Message& message, std::uint8_t op) {
  bool flag;
  char c;
  unsigned char u8;
  short i16;
  unsigned short u16;
  int i32;
  unsigned u32;
  float f;
  void* pointer;
  long long i64;
  unsigned long long u64;
  double d;
  std::string text;
  du::Symbol symbol;
  unsigned char raw[16];
  switch (op % 17) {
    case 0:
      return message.GetBooleanValue(flag) ? 1 : -1;
    case 1:
      return message.GetCharValue(c) ? 1 : -1;
    case 2:
      return message.GetUInt8Value(u8) ? 1 : -1;
    case 3:
      return message.GetInt16Value(i16) ? 2 : -1;
    case 4:
      return message.GetUInt16Value(u16) ? 2 : -1;
    case 5:
      return message.GetInt32Value(i32) ? 4 : -1;
    case 6:
      return message.GetUInt32Value(u32) ? 4 : -1;
    case 7:
      return message.GetFloatValue(f) ? 4 : -1;
    case 8:
      return message.GetRawPtr(pointer) ? 4 : -1;
    case 9:
      return message.GetInt64Value(i64) ? 8 : -1;
    case 10:
      return message.GetUInt64Value(u64) ? 8 : -1;
    case 11:
      return message.GetDoubleValue(d) ? 8 : -1;
    case 12:
      return message.GetLocalPointer(pointer) ? 8 : -1;
    case 13:
      return message.GetStringValue(text) ? static_cast<long long>(4 + text.size()) : -1;
    case 14: {
      // A symbol may end at an embedded NUL: its size says nothing about
      // the cursor, so the string read from the same place does.
      const unsigned at = message.GetArgumentOffset();
      const bool asText = message.GetStringValue(text);
      message.RewindArgumentOffset(at);
      const bool asSymbol = message.GetStringValue(symbol);
      if (asText != asSymbol) Fail("symbol and string reads disagree");
      return asSymbol ? static_cast<long long>(4 + text.size()) : -1;
    }
    default: {
      const unsigned n = op / 17 % 17;
      return message.GetRawBytes(raw, n) ? static_cast<long long>(n) : -1;
    }
  }
}

void RunScript(dom::Message& message, const std::uint8_t* script, std::size_t scriptSize) {
  message.RewindArgumentOffset(0);
  for (std::size_t i = 0; i < scriptSize; ++i) {
    const std::uint8_t op = script[i];
    if (op >= 0xF0 && i + 1 < scriptSize) {
      // Positions around the end, and one far beyond every buffer.
      const std::uint8_t to = script[++i];
      message.RewindArgumentOffset(to == 0xFF ? 0xFFFFFFFFu : to);
      continue;
    }
    const unsigned before = message.GetArgumentOffset();
    const long long taken = Pull(message, op);
    const unsigned after = message.GetArgumentOffset();
    if (taken < 0 ? after != before : after != before + taken) Fail("cursor moved wrongly");
  }
}

void CheckOne(const std::uint8_t* bytes, std::size_t size, const std::uint8_t* script,
              std::size_t scriptSize) {
  // An exact-size copy, so that reading past the message is reading past an
  // allocation.
  const std::vector<unsigned char> copy(bytes, bytes + size);
  dom::MessagePtr message(new dom::Message);
  if (!message->AssignReceivedBytes(copy.data(), copy.size())) Fail("well-framed bytes refused");
  if (message->GetByteCount() != size) Fail("size changed");

  RunScript(*message, script, scriptSize);
  std::ostringstream printed;
  printed << message;

  // Pushing after arbitrary reads, finalising and reading back. Pushes write
  // in host order whatever the flags say, so only a little-endian message
  // reads its own push back.
  dom::Message rebuilt(*message);
  rebuilt.RewindArgumentOffset(static_cast<unsigned>(size - dom::Message::kHeaderSize));
  rebuilt.PushStringValue("tail");
  rebuilt.FinaliseMessage();
  rebuilt.RewindArgumentOffset(rebuilt.GetArgumentOffset() - 8);
  std::string tail;
  const bool hostOrder = (copy[0] & dom::Message::kBigEndianFlag) == 0;
  if (hostOrder && (!rebuilt.GetStringValue(tail) || tail != "tail")) Fail("pushed string lost");

  message->PrepForReturnUndeliverable();
  if (message->GetByteCount() != dom::Message::kHeaderSize || !message->IsUndeliverable()) {
    Fail("undeliverable return not empty");
  }
  message->Print(printed);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t scriptSize = std::min<std::size_t>(data[0] & 0x3F, size - 1);
  const std::uint8_t* script = data + 1;
  const std::uint8_t* stream = script + scriptSize;
  std::size_t left = size - 1 - scriptSize;

  while (left >= dom::Message::kHeaderSize) {
    unsigned length;
    if (!dom::Message::GetAnnouncedLength(stream, length)) break;
    if (left - dom::Message::kHeaderSize < length) {
      // The connection would wait for more; a message built from what
      // arrived must be refused.
      dom::Message partial;
      if (partial.AssignReceivedBytes(stream, left)) Fail("truncated bytes accepted");
      break;
    }
    const std::size_t total = dom::Message::kHeaderSize + std::size_t{length};
    CheckOne(stream, total, script, scriptSize);
    stream += total;
    left -= total;
  }
  return 0;
}
