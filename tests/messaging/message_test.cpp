#include "qmkutils/messaging/message.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <tuple>

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

// A received message with the cursor on its first argument.
MessagePtr Received(const std::string& bytes) {
  MessagePtr message(new Message);
  EXPECT_TRUE(message->AssignReceivedBytes(reinterpret_cast<const unsigned char*>(bytes.data()),
                                           bytes.size()));
  message->RewindArgumentOffset(0);
  return message;
}

// A little-endian header announcing `length` argument bytes.
std::string Header(unsigned char length) {
  std::string header(Message::kHeaderSize, '\0');
  header[7] = static_cast<char>(length);
  return header;
}

TEST(MessageTest, HeaderAndArgumentBytesPrintAndUndeliverableReturn) {
  Message fresh;
  EXPECT_EQ(BufferOf(fresh),
            Bytes({0, 0, 0, 0x10, 0x27, 0x10, 0x27, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  // Restarting keeps the stale length field; Print shows only existing bytes.
  fresh.PushInt32Value(1);
  fresh.FinaliseMessage();
  fresh.StartObjectMessage(0, 0, 0);
  EXPECT_EQ(Printed(fresh), "[---:S0000:A2710:R2710:L4:H00000000:T0000:]");

  Message message(0x01020304, -2, 0xABCD, 5);
  message.SetSequenceId(0x1234);
  message.SetAddress(0x12345);  // only the low 16 bits travel
  message.SetReturnAddress(42);
  message.MarkReplyFlag();
  message.MarkNeedsReplyFlag();
  message.MarkUndeliverableFlag();
  message.FinaliseMessage();
  EXPECT_EQ(BufferOf(message), Bytes({0x0E, 0x34, 0x12, 0x45, 0x23, 42, 0, 0, 0, 0, 0, 4, 3, 2, 1,
                                      0xFE, 0xFF, 0xCD, 0xAB}));
  message.ClearNeedsReplyFlag();  // the print shows the flags
  EXPECT_EQ(Printed(message), "[R-U:S1234:A2345:R2a:L0:H01020304:Tabcd:]");
  message.StartObjectMessage(77, 4, 5);  // clears every flag but the byte order

  message.SetReturnAddress(7);
  message.MarkNeedsReplyFlag();
  message.PushBooleanValue(true);
  message.PushUInt16Value(0x2345);
  message.PushStringValue("ab");
  message.FinaliseMessage();
  EXPECT_EQ(
      Printed(message),
      "[-N-:S0000:A2710:R07:L9:H0000004d:T0005:01, 45(E), 23(#), 02, 00, 00, 00, 61(a), 62(b)]");
  // Overwriting the first argument in place, then cutting after it.
  EXPECT_EQ(message.RewindArgumentOffset(0), 9u);
  message.PushInt16Value(0x0102);
  message.FinaliseMessage();
  EXPECT_EQ(BufferOf(message).substr(7), Bytes({2, 0, 0, 0, 77, 0, 0, 0, 4, 0, 5, 0, 2, 1}));

  // Sent back to its return address, from none, without its arguments.
  EXPECT_EQ(message.PrepForReturnUndeliverable(), 7u);
  EXPECT_EQ(BufferOf(message),
            Bytes({0x0E, 0, 0, 7, 0, 0, 0, 0, 0, 0, 0, 77, 0, 0, 0, 4, 0, 5, 0}));
  EXPECT_EQ(message.GetArgumentOffset(), 0u);
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
  EXPECT_EQ(
      std::tuple(floatBits, raw, u64, doubleBits, text, empty + std::string(rawBytes, 3)),
      std::tuple(0x3FC00000u, reinterpret_cast<void*>(std::uintptr_t{0x89ABCDEF}),
                 0xFFFFFFFFFFFFFFFCull, 0xBFE0000000000000ull, std::string("s\0t", 3), "raw"));
  EXPECT_TRUE(symbol == du::Symbol("sym") && pointer == &local);
}

TEST(MessageTest, BigEndianWriterIsReadInItsOrder) {
  MessagePtr message =
      Received(Bytes({0x01, 0x12, 0x34, 0x00, 0x07, 0x27, 0x10, 0,    0,    0,    22,  1, 2, 3, 4,
                      0xFF, 0xFE, 0xAB, 0xCD, 0x23, 0x45, 0x01, 0x02, 0x03, 0x04, 1,   2, 3, 4, 5,
                      6,    7,    8,    0,    0,    0,    2,    'h',  'i',  0x80, 0x7F}));
  EXPECT_EQ(std::tuple(message->GetSequenceId(), message->GetAddress(), message->GetReturnAddress(),
                       message->GetObjectHandle(), message->GetMesgTable(), message->GetMesgTag()),
            std::tuple(0x1234, 7u, 10000u, 0x01020304u, -2, 0xABCD));
  unsigned short u16 = 0;
  unsigned u32 = 0;
  unsigned long long u64 = 0;
  std::string text;
  unsigned char raw[2];
  ASSERT_TRUE(message->GetUInt16Value(u16) && message->GetUInt32Value(u32) &&
              message->GetUInt64Value(u64) && message->GetStringValue(text) &&
              message->GetRawBytes(raw, 2));
  // Raw bytes are never swapped.
  EXPECT_EQ(std::tuple(u16, u32, u64, text, raw[0]),
            std::tuple(0x2345, 0x01020304u, 0x0102030405060708ull, "hi", 0x80));
  message->FinaliseMessage();  // ORs in this host's 0: stays big-endian
  EXPECT_EQ(BufferOf(*message)[0], 1);
}

// Cursor movement on failure, and reads past the end, are left to the
// message fuzzer; here the values a failed read must not touch.
TEST(MessageTest, FailedGetsLeaveTheirTarget) {
  MessagePtr message = Received(Header(8) + Bytes({2, 9, 0, 0, 0, 'a', 'b', 'c'}));
  bool flag = true;
  std::string text = "kept";
  // A byte 2 is false; the string then promises 9 bytes where 3 are held.
  EXPECT_TRUE(message->GetBooleanValue(flag) && !flag && !message->GetStringValue(text));
  EXPECT_EQ(text, "kept");
}

TEST(MessageTest, CopiesAndSwapsOwnTheirBytes) {
  Message small;
  small.PushInt32Value(5);
  small.FinaliseMessage();
  MessagePtr held(new Message(small));
  small.RewindArgumentOffset(0);
  small.PushInt32Value(6);

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
  const std::string bytes = Header(11) + Bytes({7, 0, 0, 0}) + "payload", longer = bytes + "x";
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  Message received;
  received.PushInt32Value(99);
  EXPECT_FALSE(received.AssignReceivedBytes(data, 18));  // truncated header
  EXPECT_FALSE(received.AssignReceivedBytes(reinterpret_cast<const unsigned char*>(longer.data()),
                                            longer.size()));
  EXPECT_EQ(received.GetArgumentOffset(), 4u);  // untouched by the refusals
  ASSERT_TRUE(received.AssignReceivedBytes(data, bytes.size()));
  EXPECT_EQ(BufferOf(received), bytes);

  // 64 MiB of arguments are accepted, one byte more is refused and traced,
  // in either byte order.
  unsigned length = 0;
  std::string header = Header(0);
  const auto* headerData = reinterpret_cast<const unsigned char*>(header.data());
  header.replace(7, 4, Bytes({0, 0, 0, 4}));
  EXPECT_TRUE(Message::GetAnnouncedLength(headerData, length) &&
              length == Message::kMaxMessageLength);
  header.replace(7, 4, Bytes({1, 0, 0, 4}));
  EXPECT_FALSE(Message::GetAnnouncedLength(headerData, length));
  header[0] = 1;
  header.replace(7, 4, Bytes({0xFF, 0, 0, 0}));
  EXPECT_FALSE(received.AssignReceivedBytes(headerData, header.size()));
  ASSERT_EQ(recorder.log().Records().size(), 2u);
  EXPECT_EQ(recorder.log().Records()[0].subKey, "Message");
}

}  // namespace
