#include "qmkutils/fileio/outputbuffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "qmkutils/fileio/filewriter.h"
#include "support/bytes.h"
#include "support/temp_dir.h"

namespace {

using qmk_test::Bytes;

std::string Contents(const du::OutputBuffer& buffer) {
  return std::string(buffer.Get(), buffer.GetSize());
}

// Puts the same values into a buffer and through a file writer: the two
// must agree byte for byte in either order.
TEST(OutputBufferTest, EncodesAsTheFileWriterDoes) {
  qmk_test::TempDir dir;
  for (int endian : {0, 1}) {
    du::OutputBuffer buffer(endian, 0);
    du::FileWriterPtr writer = du::FileWriter::Construct();
    ASSERT_TRUE(writer->Open(dir / "w", endian));
    const short shorts[2] = {-2, 0x1234};
    const unsigned ints[2] = {1, 0xA0B0C0D0};
    const double doubles[1] = {0.1};
    const auto both = [&](const auto&... values) {
      EXPECT_TRUE(((buffer.Put(values) && writer->Write(values)) && ...));
    };
    both('c', static_cast<unsigned char>(0xFE), true, static_cast<short>(-300),
         static_cast<unsigned short>(0xBEEF), -5, 0xDEADBEEFu, 1.5f, -1e300);
    EXPECT_TRUE(buffer.Put(shorts, 2) && buffer.Put(ints, 2) && buffer.Put(doubles, 1) &&
                buffer.Put("xyz", 3) && buffer.Put(ints, 0));
    EXPECT_EQ(writer->Write(shorts, 2) + writer->Write(ints, 2) + writer->Write(doubles, 1) +
                  writer->Write("xyz", 3),
              8u);
    ASSERT_TRUE(writer->Close());
    EXPECT_EQ(Contents(buffer), qmk_test::ReadFile(dir / "w")) << "endian " << endian;
  }
  // The writer's own tests pin the bytes; an unknown order is little-endian.
  EXPECT_TRUE(du::OutputBuffer(7, 0).IsLittleEndian());
}

TEST(OutputBufferTest, GrowsByItsCapacityAndKeepsTheData) {
  du::OutputBuffer buffer;  // 8192 bytes, doubled twice (added to, it would be 24576)
  for (int i = 0; i < 5000; ++i) ASSERT_TRUE(buffer.Put(i));
  EXPECT_EQ(buffer.GetCapacity(), 32768u);
  EXPECT_EQ(buffer.GetSize(), 20000u);
  bool intact = true;
  for (int i = 0; i < 5000; ++i) intact &= std::memcmp(buffer.Get() + 4 * i, &i, 4) == 0;
  EXPECT_TRUE(intact);

  // A large array grows past twice the capacity in one step.
  du::OutputBuffer small(0, 100);  // at least 1024 bytes
  const std::string block(5000, 'b');
  ASSERT_TRUE(small.Put(block.data(), 5000));
  EXPECT_EQ(small.GetCapacity(), 1024u + 5120u);
  EXPECT_EQ(Contents(small), block);
}

TEST(OutputBufferTest, PositionsGapsAndReset) {
  du::OutputBuffer buffer(0, 1024);
  ASSERT_TRUE(buffer.SetPosition(100000));
  EXPECT_GE(buffer.GetCapacity(), 100000u);
  EXPECT_EQ(buffer.GetSize(), 0u);  // a position alone adds no data

  // Overwriting inside the data leaves the size alone; putting past it
  // counts the gap, which reads as zero even over earlier data.
  buffer.Reset();
  ASSERT_TRUE(buffer.Put("abcdefgh", 8));
  buffer.Reset();
  ASSERT_TRUE(buffer.Put('A') && buffer.SetPosition(6) && buffer.Put('G'));
  ASSERT_TRUE(buffer.SetPosition(3) && buffer.Put('D'));
  EXPECT_EQ(buffer.GetPosition(), 4u);
  EXPECT_EQ(Contents(buffer), Bytes({'A', 0, 0, 'D', 0, 0, 'G'}));

  // The position may sit exactly at the capacity.
  du::OutputBuffer full(0, 1024);
  ASSERT_TRUE(full.SetPosition(1024));
  EXPECT_EQ(full.GetCapacity(), 1024u);
  ASSERT_TRUE(full.Put(1.0));
  EXPECT_EQ(full.GetSize(), 1032u);
}

}  // namespace
