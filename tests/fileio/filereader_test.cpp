#include "qmkutils/fileio/filereader.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "qmkutils/fileio/filewriter.h"
#include "support/bytes.h"
#include "support/recording_consumer.h"
#include "support/temp_dir.h"

namespace {

using qmk_test::Bytes;
using ::testing::ElementsAre;

// windowBits as zlib takes them: -15 raw deflate, 15 a zlib stream, 31 a gzip member.
std::string Deflate(const std::string& data, int windowBits) {
  z_stream stream{};
  EXPECT_EQ(deflateInit2(&stream, 6, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY), Z_OK);
  std::string out(compressBound(data.size()) + 64, '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream.avail_in = static_cast<uInt>(data.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

std::string Payload(int size) {
  std::string out;
  for (int i = 0; i < size; ++i) out.push_back(static_cast<char>((1LL * i * i) % 251));
  return out;
}

TEST(FileReaderTest, ReadsPrimitivesInEitherByteOrder) {
  qmk_test::TempDir dir;
  qmk_test::WriteFile(dir / "f", Bytes({1, 2, 3, 4, 0x07, 0x3F, 0x80, 0, 0, 0xAB, 0xCD}));
  du::FileReader reader;
  ASSERT_TRUE(reader.Open(dir / "f", 1, 10));
  int value = 0;
  bool flag = false;
  float real = 0;
  unsigned short word = 0;
  EXPECT_TRUE(reader.Read(value) && reader.Read(flag) && reader.Read(real));
  EXPECT_EQ(value, 0x01020304);
  EXPECT_TRUE(flag);  // any non-zero byte is true
  EXPECT_EQ(real, 1.0f);
  EXPECT_TRUE(reader.SetEndian(0) && reader.Read(word));
  EXPECT_EQ(word, 0xCDAB);
  EXPECT_TRUE(reader.SetPosition(0) && reader.Read(value));
  EXPECT_EQ(value, 0x04030201);
  EXPECT_FALSE(reader.SetEndian(7));
  EXPECT_TRUE(reader.SetEndian(1));
  ASSERT_TRUE(reader.Open(dir / "f", -1, 10));  // keeps the order set before
  EXPECT_TRUE(reader.Read(value));
  EXPECT_EQ(value, 0x01020304);
  EXPECT_TRUE(reader.MustSwapBytes() == reader.IsBigEndian());
  EXPECT_EQ(du::FileReader::GetSystemEndian(), 0);

  // Arrays are swapped element by element, for 8- and 2-byte elements alike.
  const double wide[2] = {1.5, -3.25};
  const short shorts[3] = {-1, 2, -300};
  for (int endian : {0, 1}) {
    du::FileWriterPtr writer = du::FileWriter::Construct();
    ASSERT_TRUE(writer->Open(dir / "d", endian));
    EXPECT_TRUE(writer->Write(wide, 2) == 2u && writer->Write(shorts, 3) == 3u && writer->Close());
    ASSERT_TRUE(reader.Open(dir / "d", endian));
    double back[2] = {};
    short shortsBack[3] = {};
    EXPECT_EQ(reader.Read(back, 2), 2u);
    EXPECT_EQ(reader.Read(shortsBack, 3), 3u);
    EXPECT_EQ(back[1], -3.25);
    EXPECT_EQ(shortsBack[2], -300);
  }
}

TEST(FileReaderTest, EndOfDataShortArraysAndTheStickyError) {
  qmk_test::TempDir dir;
  qmk_test::ScopedTraceRecorder recorder;
  qmk_test::WriteFile(dir / "f", Payload(38));
  for (int endian : {0, 1}) {
    du::FileReader reader;
    ASSERT_TRUE(reader.Open(dir / "f", endian));
    int values[10];
    EXPECT_EQ(reader.Read(values, 10), 9u);  // the 2 surplus bytes stay unread
    EXPECT_EQ(reader.GetPosition(), 36u);
    EXPECT_FALSE(reader.IsEOF());
    char two[2];
    EXPECT_EQ(reader.Read(two, 2), 2u);
    EXPECT_TRUE(reader.IsEOF());
    EXPECT_FALSE(reader.IsError());  // meeting the end is no error
    int value = 0;
    EXPECT_FALSE(reader.Read(value));  // reading after it is
    EXPECT_TRUE(reader.IsError());
    EXPECT_TRUE(reader.Close());
    EXPECT_FALSE(reader.IsError());

    ASSERT_TRUE(reader.Open(dir / "f", endian));
    EXPECT_EQ(reader.Read(values, 9), 9u);
    EXPECT_EQ(reader.Read(two, 2), 2u);
    EXPECT_FALSE(reader.IsEOF());  // the end has not been met yet
    EXPECT_FALSE(reader.Read(two[0]));
    EXPECT_TRUE(reader.IsEOF());
    EXPECT_FALSE(reader.IsError());
  }

  // Arrays larger than the buffer (read around it when no swap is needed)
  // keep the same counts, positions and unread surplus.
  const std::string big = Payload(4102);
  qmk_test::WriteFile(dir / "big", big);
  for (int endian : {0, 1}) {
    du::FileReader reader;
    ASSERT_TRUE(reader.Open(dir / "big", endian, 1024));
    char first = 0, last = 0;
    std::vector<unsigned> values(1100);
    ASSERT_TRUE(reader.Read(first));
    EXPECT_EQ(reader.Read(values.data(), 1100), 1025u);
    EXPECT_EQ(reader.GetPosition(), 4101u);
    unsigned expected = 0;
    std::memcpy(&expected, big.data() + 1 + 4 * 1024, 4);
    if (endian == 1) expected = __builtin_bswap32(expected);
    EXPECT_EQ(values[1024], expected);
    EXPECT_EQ(reader.Read(&last, 1), 1u);
    EXPECT_EQ(last, big.back());
    EXPECT_TRUE(reader.IsEOF() && !reader.IsError());
  }

  du::FileReader reader;
  char byte;
  EXPECT_FALSE(reader.Read(byte));
  EXPECT_FALSE(reader.Open((dir / "missing").c_str()));
  EXPECT_TRUE(reader.IsError());
  const std::string eof = "FillBuffer() failed to read because of EOF (38).\n";
  EXPECT_THAT(recorder.log().Texts(),
              ElementsAre(eof, eof, "FillBuffer() failed because file is closed.\n",
                          "Open() could not open file \"" + (dir / "missing") +
                              "\".  \"No such file or directory\"(2).\n"));
  EXPECT_EQ(recorder.log().Records().back().type, dp::Error);
  EXPECT_EQ(recorder.log().Records().back().subKey, "FileReader");
}

TEST(FileReaderTest, PositionsAndSkips) {
  qmk_test::TempDir dir;
  const std::string data = Payload(5000);
  qmk_test::WriteFile(dir / "f", data);
  du::FileReader reader;
  ASSERT_TRUE(reader.Open(dir / "f", 0, 1024));
  EXPECT_TRUE(reader.SkipBytes(10) && reader.SkipUInt16s(5) && reader.SkipUInt32s(1) &&
              reader.SkipDoubles(1));
  EXPECT_EQ(reader.GetPosition(), 32u);
  EXPECT_EQ(reader.GetFilePos(), 32u);
  EXPECT_TRUE(reader.Forward(3000));  // past the buffer: a seek
  EXPECT_EQ(reader.GetPosition(), 3032u);
  unsigned char byte = 0;
  EXPECT_TRUE(reader.Read(byte));
  EXPECT_EQ(byte, static_cast<unsigned char>(data[3032]));
  // Inside the buffer only the read pointer moves: the file is not read again.
  EXPECT_TRUE(reader.SetPosition(3500));
  qmk_test::WriteFile(dir / "f", std::string(5000, 'z'));
  EXPECT_TRUE(reader.Read(byte));
  EXPECT_EQ(byte, static_cast<unsigned char>(data[3500]));
  EXPECT_TRUE(reader.Rewind());
  EXPECT_TRUE(reader.Read(byte));
  EXPECT_EQ(byte, 'z');
  EXPECT_FALSE(reader.Rewind(1));
  EXPECT_TRUE(reader.IsError());
}

TEST(FileReaderTest, CompressedSectionsRoundTrip) {
  qmk_test::TempDir dir;
  du::FileWriterPtr writer = du::FileWriter::Construct();
  ASSERT_TRUE(writer->Open(dir / "f", 1, 1024));
  ASSERT_TRUE(writer->Write(7));
  ASSERT_TRUE(writer->StartCompressedSection(-1));
  for (int i = 0; i < 1000; ++i) ASSERT_TRUE(writer->Write(i));
  ASSERT_TRUE(writer->EndCompressedSection());
  const unsigned sectionLength = writer->GetPosition() - 4;
  ASSERT_TRUE(writer->Write(-99));
  ASSERT_TRUE(writer->StartCompressedSection(1));
  ASSERT_TRUE(writer->Write(1.25));
  ASSERT_TRUE(writer->EndCompressedSection());
  ASSERT_TRUE(writer->Write(123));
  ASSERT_TRUE(writer->Close());

  for (int pass = 0; pass < 3; ++pass) {
    du::FileReader reader;
    ASSERT_TRUE(reader.Open(dir / "f", 1, 1024));
    int value = 0;
    ASSERT_TRUE(reader.Read(value));
    ASSERT_TRUE(pass == 1 ? reader.StartCompressedSection(sectionLength)
                          : reader.StartCompressedSection());
    EXPECT_TRUE(reader.IsCompressed());
    const int readCount = pass == 2 ? 10 : 1000;
    bool all = true;
    for (int i = 0; i < readCount; ++i) all = all && reader.Read(value) && value == i;
    EXPECT_TRUE(all);
    EXPECT_EQ(reader.GetPosition(), static_cast<unsigned>(readCount) * 4);
    EXPECT_FALSE(reader.SetPosition(0));
    EXPECT_FALSE(reader.StartCompressedSection());  // no nesting: an error
    EXPECT_TRUE(reader.IsError());
    EXPECT_TRUE(reader.EndCompressedSection(true));
    ASSERT_TRUE(reader.Read(value));
    EXPECT_EQ(value, -99);
    ASSERT_TRUE(reader.StartCompressedSection());
    double real = 0;
    EXPECT_TRUE(reader.Read(real));
    EXPECT_EQ(real, 1.25);
    EXPECT_FALSE(reader.Read(value));
    EXPECT_TRUE(reader.IsEOF());
    EXPECT_TRUE(reader.EndCompressedSection(false));
    ASSERT_TRUE(reader.Read(value));
    EXPECT_EQ(value, 123);
  }
  du::FileReader reader;
  ASSERT_TRUE(reader.Open(dir / "f"));
  EXPECT_FALSE(reader.StartCompressedSection(0));
  EXPECT_FALSE(reader.IsError());
  EXPECT_FALSE(reader.EndCompressedSection(true));
  EXPECT_TRUE(reader.IsError());
}

// Gzip members and zlib streams as zlib writes them, and a gzip member with
// every optional header field, each followed by plain bytes.
TEST(FileReaderTest, ReadsSectionsFromZlibAndEveryOptionalGzipHeaderField) {
  qmk_test::TempDir dir;
  const std::string big = Payload(300000), small = "optional header fields";
  // FHCRC, FEXTRA (length little-endian), FNAME, FCOMMENT.
  // The extra field and the name are longer than the smaller buffer.
  const std::string everyField = Bytes({0x1F, 0x8B, 8, 2 | 4 | 8 | 16, 1, 2, 3, 4, 0, 3, 0xD0, 7}) +
                                 std::string(2000, 'e') + std::string(1500, 'n') + '\0' +
                                 "comment" + '\0' + "hc" + Deflate(small, -15) + "crc!size";
  const std::pair<std::string, std::string> members[] = {
      {Deflate(big, 31), big}, {Deflate(big, 15), big}, {everyField, small}};
  for (const auto& [member, data] : members) {
    qmk_test::WriteFile(dir / "f", member + "after");
    for (unsigned bufferSize : {1024u, 5000u}) {
      for (bool known : {false, true}) {
        du::FileReader reader;
        ASSERT_TRUE(reader.Open(dir / "f", 1, bufferSize));
        ASSERT_TRUE(known ? reader.StartCompressedSection(static_cast<unsigned>(member.size()))
                          : reader.StartCompressedSection());
        std::string back(data.size(), '\0');
        EXPECT_EQ(reader.Read(back.data(), static_cast<unsigned>(back.size())), data.size());
        EXPECT_TRUE(back == data) << data.size() << " bytes, buffer " << bufferSize;
        EXPECT_TRUE(reader.EndCompressedSection(true));
        char after[6] = {};
        EXPECT_EQ(reader.Read(after, 6), 5u);  // a short read at the end of the file
        EXPECT_STREQ(after, "after");
        EXPECT_FALSE(reader.IsError());
      }
    }
  }
}

TEST(FileReaderTest, BadSectionsFailCleanly) {
  qmk_test::TempDir dir;
  qmk_test::ScopedTraceRecorder recorder;
  const std::string body = Deflate(Payload(20000), -15);
  const std::string header = Bytes({0x1F, 0x8B, 8, 0, 0, 0, 0, 0, 0, 0});
  struct Case {
    std::string name, bytes;
    bool starts;
  };
  const std::vector<Case> cases = {
      {"truncated body", header + body.substr(0, body.size() / 2), true},
      {"corrupt body", header + std::string(50, '\xFF'), true},
      {"zlib stream garbage", "xyz", true},
      {"one byte", "\x1F", false},
      {"header cut short", header.substr(0, 7), false},
      {"extra longer than the file", Bytes({0x1F, 0x8B, 8, 4, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF}), true},
      {"extra length cut", Bytes({0x1F, 0x8B, 8, 4, 0, 0, 0, 0, 0, 0, 0xFF}), false},
      {"name without end", Bytes({0x1F, 0x8B, 8, 8, 0, 0, 0, 0, 0, 0}) + "abc", false},
      {"comment without end", Bytes({0x1F, 0x8B, 8, 16, 0, 0, 0, 0, 0, 0}) + "abc", false},
      {"header crc missing", Bytes({0x1F, 0x8B, 8, 2, 0, 0, 0, 0, 0, 0, 1}), true},
  };
  for (const Case& c : cases) {
    qmk_test::WriteFile(dir / "f", c.bytes);
    du::FileReader reader;
    ASSERT_TRUE(reader.Open(dir / "f"));
    EXPECT_EQ(reader.StartCompressedSection(), c.starts) << c.name;
    if (c.starts) {
      std::vector<char> out(30000);
      EXPECT_LT(reader.Read(out.data(), 30000), 20000u) << c.name;
      EXPECT_FALSE(reader.EndCompressedSection(true)) << c.name;
    }
    EXPECT_TRUE(reader.IsError()) << c.name;
    EXPECT_FALSE(reader.IsCompressed()) << c.name;
  }
  EXPECT_THAT(recorder.log().Texts(),
              ::testing::Contains("FillBuffer() failed inflate data (-3).\n"));

  // A known length shorter than the data ends the section early.
  qmk_test::WriteFile(dir / "f", header + body);
  du::FileReader reader;
  ASSERT_TRUE(reader.Open(dir / "f"));
  ASSERT_TRUE(reader.StartCompressedSection(30));
  std::vector<char> out(30000);
  EXPECT_LT(reader.Read(out.data(), 30000), 20000u);
  EXPECT_TRUE(reader.IsEOF());
  EXPECT_FALSE(reader.EndCompressedSection(true));
  EXPECT_EQ(reader.GetPosition(), 30u);
}

}  // namespace
