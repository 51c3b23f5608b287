#include "qmkutils/messaging/message.h"

#include <gtest/gtest.h>

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

std::string Printed(const Message& message) {
  std::ostringstream out;
  message.Print(out);
  return out.str();
}

MessagePtr Assigned(const std::string& bytes) {
  MessagePtr message(new Message);
  EXPECT_TRUE(message->AssignReceivedBytes(reinterpret_cast<const unsigned char*>(bytes.data()),
                                           bytes.size()));
  message->RewindArgumentOffset(0);
  return message;
}

// A received message: a header with the byte-order flag and length in that
// order, then `arguments`.
MessagePtr Received(const std::string& arguments, bool bigEndian) {
  std::string bytes(Message::kHeaderSize, '\0');
  bytes[0] = bigEndian ? Message::kBigEndianFlag : 0;
  const auto length = static_cast<std::uint32_t>(arguments.size());
  for (int i = 0; i < 4; ++i) {
    bytes[7 + i] = static_cast<char>((length >> (bigEndian ? 24 - 8 * i : 8 * i)) & 0xFF);
  }
  return Assigned(bytes + arguments);
}

TEST(MessageTest, HeaderBytesAndPrint) {
  Message fresh;
  EXPECT_EQ(BufferOf(fresh),
            Bytes({0, 0, 0, 0x10, 0x27, 0x10, 0x27, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Printed(fresh), "[---:S0000:A2710:R2710:L0:H00000000:T0000:]");
  Message forObject(0x01020304, -2, 0xABCD, 5);
  EXPECT_EQ(BufferOf(forObject).substr(11), Bytes({4, 3, 2, 1, 0xFE, 0xFF, 0xCD, 0xAB}));

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
  message.ClearNeedsReplyFlag();  // the print shows the flags
  EXPECT_EQ(Printed(message), "[R-U:S1234:A2345:R2a:L0:H00000007:T0009:]");
  message.StartObjectMessage(1, 2, 3);  // keeps the byte-order bit only
  EXPECT_EQ(BufferOf(message)[0], 0);

  Message undeliverable(77, 4, 5, 0);
  undeliverable.SetSequenceId(12);
  undeliverable.SetAddress(3);
  undeliverable.SetReturnAddress(7);
  undeliverable.MarkNeedsReplyFlag();
  undeliverable.PushInt32Value(1);
  undeliverable.FinaliseMessage();
  EXPECT_EQ(undeliverable.PrepForReturnUndeliverable(), 7u);
  EXPECT_EQ(BufferOf(undeliverable),
            Bytes({0x0E, 12, 0, 7, 0, 0, 0, 0, 0, 0, 0, 77, 0, 0, 0, 4, 0, 5, 0}));
  EXPECT_EQ(undeliverable.GetArgumentOffset(), 0u);
}

TEST(MessageTest, PushedArgumentsBytesAndFinalise) {
  Message message;
  message.PushBooleanValue(true);
  message.PushUInt16Value(0x2345);
  message.PushStringValue("ab");
  message.FinaliseMessage();
  EXPECT_EQ(BufferOf(message).substr(7, 4), Bytes({9, 0, 0, 0}));
  EXPECT_EQ(BufferOf(message).substr(19), Bytes({1, 0x45, 0x23, 2, 0, 0, 0, 'a', 'b'}));
  EXPECT_EQ(
      Printed(message),
      "[---:S0000:A2710:R2710:L9:H00000000:T0000:01, 45(E), 23(#), 02, 00, 00, 00, 61(a), 62(b)]");

  // Overwriting the first argument in place, then cutting after it.
  EXPECT_EQ(message.RewindArgumentOffset(0), 9u);
  message.PushInt16Value(0x0102);
  message.FinaliseMessage();
  EXPECT_EQ(BufferOf(message).substr(7), Bytes({2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 1}));

  // Restarting keeps the stale length field; Print shows only existing bytes.
  message.StartObjectMessage(0, 0, 0);
  EXPECT_EQ(Printed(message), "[---:S0000:A2710:R2710:L2:H00000000:T0000:]");
}

TEST(MessageTest, EveryPushReadsBack) {
  Message message;
  int local = 0;
  message.PushFloatValue(1.5F);
  message.PushRawPtr(reinterpret_cast<void*>(std::uintptr_t{0x89ABCDEF}));
  message.PushInt64Value(-4);
  message.PushDoubleValue(-0.5);
  message.PushStringValue(std::string("s\0t", 3));
  message.PushStringValue(du::Symbol("sym"));
  message.PushStringValue(static_cast<const char*>(nullptr));
  message.PushRawBytes("raw", 3);
  message.PushLocalPointer(&local);
  message.FinaliseMessage();
  EXPECT_EQ(message.GetByteCount(), 19u + 4 + 4 + 8 + 8 + 7 + 7 + 4 + 3 + 8);

  message.RewindArgumentOffset(0);
  unsigned floatBits = 0;
  void *raw = nullptr, *pointer = nullptr;
  unsigned long long u64 = 0, doubleBits = 0;
  std::string text, empty = "x";
  du::Symbol symbol;
  char rawBytes[3];
  ASSERT_TRUE(message.GetUInt32Value(floatBits) && message.GetRawPtr(raw) &&
              message.GetUInt64Value(u64) && message.GetUInt64Value(doubleBits) &&
              message.GetStringValue(text) && message.GetStringValue(symbol) &&
              message.GetStringValue(empty) && message.GetRawBytes(rawBytes, 3) &&
              message.GetLocalPointer(pointer));
  EXPECT_EQ(floatBits, 0x3FC00000u);
  EXPECT_EQ(raw, reinterpret_cast<void*>(std::uintptr_t{0x89ABCDEF}));
  EXPECT_EQ(u64, 0xFFFFFFFFFFFFFFFCull);
  EXPECT_EQ(doubleBits, 0xBFE0000000000000ull);
  EXPECT_EQ(text, std::string("s\0t", 3));
  EXPECT_EQ(symbol, du::Symbol("sym"));
  EXPECT_EQ(empty, "");
  EXPECT_EQ(std::string(rawBytes, 3), "raw");
  EXPECT_EQ(pointer, &local);
}

TEST(MessageTest, BigEndianWriterIsReadInItsOrder) {
  MessagePtr message =
      Received(Bytes({0x23, 0x45, 0x01, 0x02, 0x03, 0x04, 1, 2,   3,   4,    5,
                      6,    7,    8,    0,    0,    0,    2, 'h', 'i', 0x80, 0x7F}),
               true);
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

  MessagePtr bare = Assigned(Bytes(
      {0x01, 0x12, 0x34, 0x00, 0x07, 0x27, 0x10, 0, 0, 0, 0, 1, 2, 3, 4, 0xFF, 0xFE, 0xAB, 0xCD}));
  EXPECT_EQ(bare->GetSequenceId(), 0x1234);
  EXPECT_EQ(bare->GetAddress(), 7u);
  EXPECT_EQ(bare->GetReturnAddress(), 10000u);
  EXPECT_EQ(bare->GetObjectHandle(), 0x01020304u);
  EXPECT_EQ(bare->GetMesgTable(), -2);
  EXPECT_EQ(bare->GetMesgTag(), 0xABCD);
  bare->FinaliseMessage();  // ORs in this host's 0: stays big-endian
  EXPECT_EQ(BufferOf(*bare)[0], 1);
}

TEST(MessageTest, FailedGetsLeaveTheCursor) {
  MessagePtr message = Received(Bytes({2, 9, 0, 0, 0, 'a', 'b', 'c'}), false);
  bool flag = true;
  ASSERT_TRUE(message->GetBooleanValue(flag));
  EXPECT_FALSE(flag);  // a byte 2 is false, and succeeds
  std::string text = "kept";
  EXPECT_FALSE(message->GetStringValue(text));  // promises 9, holds 3
  EXPECT_EQ(text, "kept");
  long long wide = 0;
  EXPECT_FALSE(message->GetInt64Value(wide));
  EXPECT_EQ(message->GetArgumentOffset(), 1u);
  unsigned u32 = 0;
  EXPECT_TRUE(message->GetUInt32Value(u32));
  EXPECT_FALSE(message->GetUInt32Value(u32));  // three bytes left
  EXPECT_EQ(message->GetArgumentOffset(), 5u);
  unsigned char rest[3];
  // An empty read fits anywhere up to the end, also at the end.
  EXPECT_TRUE(message->GetRawBytes(rest, 0) && message->GetRawBytes(rest, 3) &&
              message->GetRawBytes(rest, 0));

  // A cursor far beyond the end reads nothing; a length prefix near 4 GiB
  // does not wrap the bound check.
  message->RewindArgumentOffset(0xFFFFFFF0u);
  char c;
  unsigned char raw[0x20];
  EXPECT_FALSE(message->GetCharValue(c) || message->GetStringValue(text) ||
               message->GetRawBytes(raw, 0x20));
  MessagePtr lying = Received(Bytes({0xFF, 0xFF, 0xFF, 0xFF, 'x'}), false);
  EXPECT_FALSE(lying->GetStringValue(text));
  EXPECT_EQ(lying->GetArgumentOffset(), 0u);
}

TEST(MessageTest, CopiesAndSwapsOwnTheirBytes) {
  Message small;
  small.PushInt32Value(5);
  small.FinaliseMessage();
  MessagePtr held(new Message(small));
  small.RewindArgumentOffset(0);
  small.PushInt32Value(6);
  EXPECT_EQ(BufferOf(*held).substr(19), Bytes({5, 0, 0, 0}));

  // A buffer beyond what a message holds inside itself, swapped with an
  // inline one both ways, and copied over.
  Message big(1, 0, 0, 0);
  for (int i = 0; i < 300; ++i) big.PushUInt8Value(static_cast<unsigned char>(i));
  big.FinaliseMessage();
  const std::string bigBytes = BufferOf(big), smallBytes = BufferOf(small);
  big.Swap(small);
  EXPECT_EQ(BufferOf(small), bigBytes);
  EXPECT_EQ(BufferOf(big), smallBytes);
  big.Swap(small);
  small = big;
  EXPECT_EQ(BufferOf(small), bigBytes);

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
  const std::string longer = bytes + "x";
  EXPECT_FALSE(received.AssignReceivedBytes(data, 18));                // truncated header
  EXPECT_FALSE(received.AssignReceivedBytes(data, bytes.size() - 1));  // body short
  EXPECT_FALSE(received.AssignReceivedBytes(reinterpret_cast<const unsigned char*>(longer.data()),
                                            longer.size()));
  EXPECT_EQ(received.GetArgumentOffset(), 4u);  // untouched by the refusals
  ASSERT_TRUE(received.AssignReceivedBytes(data, bytes.size()));
  EXPECT_EQ(BufferOf(received), bytes);
  EXPECT_TRUE(recorder.log().Records().empty());

  // 64 MiB of arguments are accepted, one byte more is refused and traced,
  // in either byte order.
  std::string header = bytes.substr(0, Message::kHeaderSize);
  const auto* headerData = reinterpret_cast<const unsigned char*>(header.data());
  header.replace(7, 4, Bytes({0, 0, 0, 4}));
  ASSERT_TRUE(Message::GetAnnouncedLength(headerData, length));
  EXPECT_EQ(length, Message::kMaxMessageLength);
  header.replace(7, 4, Bytes({1, 0, 0, 4}));
  EXPECT_FALSE(Message::GetAnnouncedLength(headerData, length));
  header[0] = 1;
  header.replace(7, 4, Bytes({0xFF, 0, 0, 0}));
  EXPECT_FALSE(received.AssignReceivedBytes(headerData, header.size()));
  ASSERT_EQ(recorder.log().Records().size(), 2u);
  EXPECT_EQ(recorder.log().Records()[0].subKey, "Message");
}

}  // namespace
