#include "qmkutils/messaging/message.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>

#include "support/bytes.h"
#include "support/recording_consumer.h"

namespace {

using dom::Message;
using dom::MessagePtr;
using qmk_test::Bytes;

std::string BufferOf(const Message& message) {
  return {reinterpret_cast<const char*>(message.GetBytes()), message.GetByteCount()};
}

std::string ArgumentsOf(const Message& message) {
  return BufferOf(message).substr(Message::kHeaderSize);
}

// A received message from the given header fields (big-endian when the flag
// says so) followed by `arguments`.
MessagePtr Received(unsigned char flags, const std::string& arguments, bool bigEndian) {
  std::string bytes(Message::kHeaderSize, '\0');
  bytes[0] = static_cast<char>(flags | (bigEndian ? Message::kBigEndianFlag : 0));
  const auto length = static_cast<std::uint32_t>(arguments.size());
  for (int i = 0; i < 4; ++i) {
    const int shift = bigEndian ? 24 - 8 * i : 8 * i;
    bytes[7 + i] = static_cast<char>((length >> shift) & 0xFF);
  }
  bytes += arguments;
  MessagePtr message(new Message);
  EXPECT_TRUE(message->AssignReceivedBytes(reinterpret_cast<const unsigned char*>(bytes.data()),
                                           bytes.size()));
  return message;
}

std::string Printed(const Message& message) {
  std::ostringstream out;
  message.Print(out);
  return out.str();
}

TEST(MessageTest, FreshMessageHeaderAndPrint) {
  Message message;
  EXPECT_EQ(BufferOf(message),
            Bytes({0, 0, 0, 0x10, 0x27, 0x10, 0x27, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(message.GetArgumentOffset(), 0u);
  EXPECT_EQ(message.GetAddress(), 10000u);
  EXPECT_EQ(message.GetReturnAddress(), 10000u);
  EXPECT_EQ(Printed(message), "[---:S0000:A2710:R2710:L0:H00000000:T0000:]");

  Message forObject(0x01020304, -2, 0xABCD, 5);
  EXPECT_EQ(forObject.GetObjectHandle(), 0x01020304u);
  EXPECT_EQ(forObject.GetMesgTable(), -2);
  EXPECT_EQ(forObject.GetMesgTag(), 0xABCD);
  EXPECT_EQ(BufferOf(forObject).substr(11), Bytes({4, 3, 2, 1, 0xFE, 0xFF, 0xCD, 0xAB}));
}

TEST(MessageTest, HeaderFieldsAtTheirOffsetsLittleEndian) {
  Message message(7, 3, 9, 0);
  message.SetSequenceId(0x1234);
  message.SetAddress(0x12345);  // only the low 16 bits travel
  message.SetReturnAddress(42);
  message.MarkReplyFlag();
  message.MarkNeedsReplyFlag();
  message.MarkUndeliverableFlag();
  message.FinaliseMessage();
  EXPECT_EQ(BufferOf(message),
            Bytes({0x0E, 0x34, 0x12, 0x45, 0x23, 42, 0, 0, 0, 0, 0, 7, 0, 0, 0, 3, 0, 9, 0}));
  EXPECT_EQ(message.GetAddress(), 0x2345u);
  message.ClearNeedsReplyFlag();
  EXPECT_TRUE(message.IsReply() && message.IsUndeliverable() && !message.NeedsReply());
  EXPECT_EQ(Printed(message), "[R-U:S1234:A2345:R2a:L0:H00000007:T0009:]");

  // A restart keeps the byte-order bit and clears the others.
  message.StartObjectMessage(1, 2, 3);
  EXPECT_EQ(BufferOf(message)[0], 0);
  EXPECT_EQ(message.GetSequenceId(), 0);
}

TEST(MessageTest, PushedArgumentsBytesAndFinalise) {
  Message message;
  message.PushBooleanValue(true);
  message.PushUInt16Value(0x2345);
  message.PushStringValue("ab");
  message.FinaliseMessage();
  EXPECT_EQ(message.GetByteCount(), 19u + 9u);
  EXPECT_EQ(BufferOf(message).substr(7, 4), Bytes({9, 0, 0, 0}));
  EXPECT_EQ(ArgumentsOf(message), Bytes({1, 0x45, 0x23, 2, 0, 0, 0, 'a', 'b'}));
  EXPECT_EQ(
      Printed(message),
      "[---:S0000:A2710:R2710:L9:H00000000:T0000:01, 45(E), 23(#), 02, 00, 00, 00, 61(a), 62(b)]");

  // Overwriting the first argument in place, then cutting after it.
  EXPECT_EQ(message.RewindArgumentOffset(0), 9u);
  message.PushInt16Value(0x0102);
  message.FinaliseMessage();
  EXPECT_EQ(message.GetByteCount(), 21u);
  EXPECT_EQ(ArgumentsOf(message), Bytes({2, 1}));
  EXPECT_EQ(BufferOf(message).substr(7, 4), Bytes({2, 0, 0, 0}));

  // Restarting keeps the stale length field; Print shows only existing bytes.
  message.StartObjectMessage(0, 0, 0);
  EXPECT_EQ(Printed(message), "[---:S0000:A2710:R2710:L2:H00000000:T0000:]");
}

TEST(MessageTest, EveryPushReadsBackThroughEachGetOfItsWidth) {
  Message message;
  message.PushBooleanValue(false);
  message.PushCharValue('x');
  message.PushUInt8Value(0xFE);
  message.PushInt16Value(-2);
  message.PushInt32Value(-3);
  message.PushFloatValue(1.5F);
  message.PushRawPtr(reinterpret_cast<void*>(std::uintptr_t{0x89ABCDEF}));
  message.PushInt64Value(-4);
  message.PushDoubleValue(-0.5);
  message.PushStringValue(std::string("s\0t", 3));
  message.PushStringValue(du::Symbol("sym"));
  message.PushStringValue(static_cast<const char*>(nullptr));
  message.PushRawBytes("raw", 3);
  int local = 0;
  message.PushLocalPointer(&local);
  message.FinaliseMessage();
  EXPECT_EQ(message.GetByteCount(), 19u + 1 + 1 + 1 + 2 + 4 + 4 + 4 + 8 + 8 + 7 + 7 + 4 + 3 + 8);

  message.RewindArgumentOffset(0);
  bool flag = true;
  char c = 0;
  unsigned char u8 = 0;
  unsigned short u16 = 0;
  unsigned u32 = 0, floatBits = 0;
  void* raw = nullptr;
  unsigned long long u64 = 0, doubleBits = 0;
  std::string text;
  du::Symbol symbol;
  char rawBytes[3];
  void* pointer = nullptr;
  ASSERT_TRUE(message.GetBooleanValue(flag) && message.GetCharValue(c) &&
              message.GetUInt8Value(u8) && message.GetUInt16Value(u16) &&
              message.GetUInt32Value(u32) && message.GetUInt32Value(floatBits) &&
              message.GetRawPtr(raw) && message.GetUInt64Value(u64) &&
              message.GetUInt64Value(doubleBits));
  EXPECT_FALSE(flag);
  EXPECT_EQ(c, 'x');
  EXPECT_EQ(u8, 0xFE);
  EXPECT_EQ(u16, 0xFFFE);
  EXPECT_EQ(u32, 0xFFFFFFFDu);
  EXPECT_EQ(floatBits, 0x3FC00000u);
  EXPECT_EQ(raw, reinterpret_cast<void*>(std::uintptr_t{0x89ABCDEF}));
  EXPECT_EQ(u64, 0xFFFFFFFFFFFFFFFCull);
  EXPECT_EQ(doubleBits, 0xBFE0000000000000ull);
  ASSERT_TRUE(message.GetStringValue(text) && message.GetStringValue(symbol));
  EXPECT_EQ(text, std::string("s\0t", 3));
  EXPECT_EQ(symbol, du::Symbol("sym"));
  ASSERT_TRUE(message.GetStringValue(text) && message.GetRawBytes(rawBytes, 3) &&
              message.GetLocalPointer(pointer));
  EXPECT_EQ(text, "");
  EXPECT_EQ(std::string(rawBytes, 3), "raw");
  EXPECT_EQ(pointer, &local);
  EXPECT_FALSE(message.GetCharValue(c));

  // The other direction: signed, float and double gets of unsigned pushes.
  message.StartObjectMessage(0, 0, 0);
  message.PushUInt8Value(0x80);
  message.PushUInt16Value(0x8000);
  message.PushUInt32Value(0x40490FDB);
  message.PushUInt64Value(0x400921FB54442D18ull);
  message.PushUInt64Value(0x8000000000000000ull);
  message.FinaliseMessage();
  message.RewindArgumentOffset(0);
  short i16 = 0;
  float f = 0;
  double d = 0;
  long long i64 = 0;
  ASSERT_TRUE(message.GetCharValue(c) && message.GetInt16Value(i16) && message.GetFloatValue(f) &&
              message.GetDoubleValue(d) && message.GetInt64Value(i64));
  EXPECT_EQ(static_cast<unsigned char>(c), 0x80);
  EXPECT_EQ(i16, -32768);
  EXPECT_EQ(f, 3.14159274F);
  EXPECT_EQ(d, 3.141592653589793);
  EXPECT_EQ(i64, static_cast<long long>(0x8000000000000000ull));
}

TEST(MessageTest, BigEndianWriterIsReadInItsOrder) {
  MessagePtr message =
      Received(0, Bytes({0x23, 0x45, 0x01, 0x02, 0x03, 0x04, 1, 2,   3,   4,    5,
                         6,    7,    8,    0,    0,    0,    2, 'h', 'i', 0x80, 0x7F}),
               true);
  EXPECT_EQ(message->GetByteCount(), 19u + 22u);
  message->RewindArgumentOffset(0);
  unsigned short u16 = 0;
  unsigned u32 = 0;
  unsigned long long u64 = 0;
  std::string text;
  unsigned char raw[2];
  ASSERT_TRUE(message->GetUInt16Value(u16) && message->GetUInt32Value(u32) &&
              message->GetUInt64Value(u64) && message->GetStringValue(text) &&
              message->GetRawBytes(raw, 2));
  EXPECT_EQ(u16, 0x2345);
  EXPECT_EQ(u32, 0x01020304u);
  EXPECT_EQ(u64, 0x0102030405060708ull);
  EXPECT_EQ(text, "hi");
  EXPECT_EQ(raw[0], 0x80);  // raw bytes are never swapped

  // Header fields too; a restart leaves bit 0, so setters then write in
  // host order into a message that claims the other.
  const std::string header = Bytes(
      {0x01, 0x12, 0x34, 0x00, 0x07, 0x27, 0x10, 0, 0, 0, 0, 1, 2, 3, 4, 0xFF, 0xFE, 0xAB, 0xCD});
  MessagePtr bare(new Message);
  ASSERT_TRUE(bare->AssignReceivedBytes(reinterpret_cast<const unsigned char*>(header.data()),
                                        header.size()));
  EXPECT_EQ(bare->GetSequenceId(), 0x1234);
  EXPECT_EQ(bare->GetAddress(), 7u);
  EXPECT_EQ(bare->GetReturnAddress(), 10000u);
  EXPECT_EQ(bare->GetObjectHandle(), 0x01020304u);
  EXPECT_EQ(bare->GetMesgTable(), -2);
  EXPECT_EQ(bare->GetMesgTag(), 0xABCD);
  // A local finalise ORs in 0: a big-endian message stays big-endian.
  bare->FinaliseMessage();
  EXPECT_EQ(BufferOf(*bare)[0], 1);
}

TEST(MessageTest, FailedGetsLeaveTheCursor) {
  MessagePtr message = Received(0, Bytes({2, 9, 0, 0, 0, 'a', 'b', 'c'}), false);
  message->RewindArgumentOffset(0);
  bool flag = true;
  ASSERT_TRUE(message->GetBooleanValue(flag));
  EXPECT_FALSE(flag);  // a byte 2 is false, and succeeds
  std::string text = "kept";
  EXPECT_FALSE(message->GetStringValue(text));  // promises 9, holds 3
  du::Symbol symbol("kept");
  EXPECT_FALSE(message->GetStringValue(symbol));
  EXPECT_EQ(message->GetArgumentOffset(), 1u);
  EXPECT_EQ(text, "kept");
  EXPECT_EQ(symbol, du::Symbol("kept"));
  long long wide = 0;
  EXPECT_FALSE(message->GetInt64Value(wide));
  unsigned char raw[8];
  EXPECT_FALSE(message->GetRawBytes(raw, 8));
  unsigned u32 = 0;
  EXPECT_TRUE(message->GetUInt32Value(u32));
  EXPECT_EQ(u32, 9u);
  EXPECT_FALSE(message->GetUInt32Value(u32));  // three bytes left
  EXPECT_EQ(message->GetArgumentOffset(), 5u);
  EXPECT_TRUE(message->GetRawBytes(raw, 0));
  unsigned char rest[3];
  EXPECT_TRUE(message->GetRawBytes(rest, 3) && message->GetRawBytes(raw, 0));  // fits at the end

  // A cursor rewound far beyond the end reads nothing, not even one byte.
  message->RewindArgumentOffset(0xFFFFFFF0u);
  char c;
  EXPECT_FALSE(message->GetCharValue(c));
  EXPECT_FALSE(message->GetStringValue(text));
  EXPECT_FALSE(message->GetRawBytes(raw, 0x20));
  // A length prefix near 4 GiB does not wrap the bound check.
  MessagePtr lying = Received(0, Bytes({0xFF, 0xFF, 0xFF, 0xFF, 'x'}), false);
  lying->RewindArgumentOffset(0);
  EXPECT_FALSE(lying->GetStringValue(text));
  EXPECT_EQ(lying->GetArgumentOffset(), 0u);
}

TEST(MessageTest, UndeliverableReturn) {
  Message message(77, 4, 5, 0);
  message.SetSequenceId(12);
  message.SetAddress(3);
  message.SetReturnAddress(7);
  message.MarkNeedsReplyFlag();
  message.PushInt32Value(1);
  message.FinaliseMessage();
  EXPECT_EQ(message.PrepForReturnUndeliverable(), 7u);
  EXPECT_EQ(BufferOf(message),
            Bytes({0x0E, 12, 0, 7, 0, 0, 0, 0, 0, 0, 0, 77, 0, 0, 0, 4, 0, 5, 0}));
  EXPECT_EQ(message.GetArgumentOffset(), 0u);
}

TEST(MessageTest, CopiesAndSwapsOwnTheirBytes) {
  Message original;
  original.PushInt32Value(5);
  original.FinaliseMessage();
  MessagePtr held(new Message(original));
  EXPECT_EQ(held->GetReferenceCount(), 1);
  EXPECT_EQ(held->GetArgumentOffset(), 4u);
  original.RewindArgumentOffset(0);
  original.PushInt32Value(6);
  Message other;
  other = original;
  Message empty;
  other.Swap(empty);
  EXPECT_EQ(other.GetByteCount(), 19u);
  EXPECT_EQ(ArgumentsOf(empty), Bytes({6, 0, 0, 0}));
  EXPECT_EQ(ArgumentsOf(*held), Bytes({5, 0, 0, 0}));

  // Buffers beyond what a message holds inside itself, swapped both ways
  // with inline ones and with each other, and copied.
  Message big(1, 0, 0, 0);
  for (int i = 0; i < 300; ++i) big.PushUInt8Value(static_cast<unsigned char>(i));
  big.FinaliseMessage();
  const std::string bigBytes = BufferOf(big);
  const std::string smallBytes = BufferOf(empty);
  big.Swap(empty);
  EXPECT_EQ(BufferOf(empty), bigBytes);
  EXPECT_EQ(BufferOf(big), smallBytes);
  empty.Swap(big);
  EXPECT_EQ(BufferOf(big), bigBytes);
  Message bigger(big);
  bigger.PushUInt8Value(1);
  bigger.FinaliseMessage();
  bigger.Swap(big);
  EXPECT_EQ(BufferOf(bigger), bigBytes);
  EXPECT_EQ(big.GetByteCount(), bigBytes.size() + 1);
  big = empty;
  EXPECT_EQ(BufferOf(big), smallBytes);
  big.RewindArgumentOffset(0);
  int value = 0;
  EXPECT_TRUE(big.GetInt32Value(value));
  EXPECT_EQ(value, 6);

  std::ostringstream out;
  out << held << MessagePtr();
  EXPECT_NE(out.str().find("L4:H00000000:T0000:05, 00, 00, 00]}"), std::string::npos);
  EXPECT_EQ(out.str().substr(out.str().size() - 3), "{0}");
}

TEST(MessageTest, ReceivedBytesAreBoundedAndExact) {
  qmk_test::ScopedTraceRecorder recorder;
  MessagePtr sent(new Message(1, 2, 3, 0));
  sent->PushStringValue("payload");
  sent->FinaliseMessage();
  const std::string bytes = BufferOf(*sent);
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());

  unsigned length = 0;
  ASSERT_TRUE(Message::GetAnnouncedLength(data, length));
  EXPECT_EQ(length, 11u);
  Message received;
  received.PushInt32Value(99);
  EXPECT_FALSE(received.AssignReceivedBytes(data, 18));                // truncated header
  EXPECT_FALSE(received.AssignReceivedBytes(data, bytes.size() - 1));  // body short
  std::string longer = bytes + "x";
  EXPECT_FALSE(received.AssignReceivedBytes(reinterpret_cast<const unsigned char*>(longer.data()),
                                            longer.size()));
  EXPECT_EQ(received.GetArgumentOffset(), 4u);  // untouched by the refusals
  ASSERT_TRUE(received.AssignReceivedBytes(data, bytes.size()));
  EXPECT_EQ(BufferOf(received), bytes);
  std::string text;
  EXPECT_TRUE(received.GetStringValue(text));
  EXPECT_EQ(text, "payload");
  EXPECT_TRUE(recorder.log().Records().empty());

  // 64 MiB of arguments are accepted, one byte more is refused and traced,
  // in either byte order.
  std::string header = bytes.substr(0, Message::kHeaderSize);
  header.replace(7, 4, Bytes({0, 0, 0, 4}));
  ASSERT_TRUE(
      Message::GetAnnouncedLength(reinterpret_cast<const unsigned char*>(header.data()), length));
  EXPECT_EQ(length, Message::kMaxMessageLength);
  header.replace(7, 4, Bytes({1, 0, 0, 4}));
  EXPECT_FALSE(
      Message::GetAnnouncedLength(reinterpret_cast<const unsigned char*>(header.data()), length));
  header[0] = 1;
  header.replace(7, 4, Bytes({0xFF, 0, 0, 0}));
  EXPECT_FALSE(received.AssignReceivedBytes(reinterpret_cast<const unsigned char*>(header.data()),
                                            header.size()));
  ASSERT_EQ(recorder.log().Records().size(), 2u);
  EXPECT_EQ(recorder.log().Records()[0].subKey, "Message");
}

}  // namespace
