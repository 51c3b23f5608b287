#include "qmkutils/fileio/filereader.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <string>
#include <tuple>
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

TEST(FileReaderTest, ReadsPrimitivesAndArraysInEitherByteOrder) {
  qmk_test::TempDir dir;
  qmk_test::WriteFile(dir / "f", Bytes({1, 2, 3, 4, 0x07, 0x3F, 0x80, 0, 0, 0xAB, 0xCD}));
  du::FileReader reader;
  ASSERT_TRUE(reader.Open(dir / "f", 1, 10));
  int value = 0;
  bool flag = false;  // any non-zero byte is true
  float real = 0;
  unsigned short word = 0;
  EXPECT_TRUE(reader.Read(value) && reader.Read(flag) && reader.Read(real) && reader.SetEndian(0) &&
              reader.Read(word));
  EXPECT_EQ(std::tuple(value, flag, real, word), std::tuple(0x01020304, true, 1.0f, 0xCDAB));
  EXPECT_FALSE(reader.SetEndian(7));
  EXPECT_TRUE(reader.SetEndian(1));
  ASSERT_TRUE(reader.Open(dir / "f", -1, 10));  // keeps the order set before
  EXPECT_TRUE(reader.Read(value) && value == 0x01020304);

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
    EXPECT_TRUE(reader.Read(back, 2) == 2u && reader.Read(shortsBack, 3) == 3u);
    EXPECT_EQ(std::tuple(back[1], shortsBack[2]), std::tuple(-3.25, -300));
  }
}

// Also for arrays larger than the buffer, which are read around it when no
// swap is needed.
TEST(FileReaderTest, EndOfDataShortArraysAndTheStickyError) {
  qmk_test::TempDir dir;
  qmk_test::ScopedTraceRecorder recorder;
  const std::string big = Payload(4102);
  qmk_test::WriteFile(dir / "f", Payload(38));
  qmk_test::WriteFile(dir / "big", big);
  for (int endian : {0, 1}) {
    du::FileReader reader;
    ASSERT_TRUE(reader.Open(dir / "f", endian));
    int values[10];
    char two[2];
    EXPECT_EQ(reader.Read(values, 10), 9u);  // the 2 surplus bytes stay unread
    EXPECT_FALSE(reader.IsEOF());
    EXPECT_EQ(reader.Read(two, 2), 2u);
    EXPECT_TRUE(reader.IsEOF());
    EXPECT_FALSE(reader.IsError());        // meeting the end is no error
    EXPECT_FALSE(reader.Read(values[0]));  // reading after it is
    EXPECT_TRUE(reader.IsError());

    ASSERT_TRUE(reader.Open(dir / "f", endian));
    EXPECT_TRUE(reader.Read(values, 9) == 9u && reader.Read(two, 2) == 2u);
    EXPECT_FALSE(reader.IsEOF());  // the end has not been met yet
    EXPECT_FALSE(reader.Read(two[0]));
    EXPECT_TRUE(reader.IsEOF() && !reader.IsError());

    ASSERT_TRUE(reader.Open(dir / "big", endian, 1024));
    std::vector<unsigned> words(1100);
    ASSERT_TRUE(reader.Read(two[0]));
    EXPECT_EQ(reader.Read(words.data(), 1100), 1025u);
    unsigned expected = 0;
    std::memcpy(&expected, big.data() + 1 + 4 * 1024, 4);
    EXPECT_EQ(words[1024], endian == 1 ? __builtin_bswap32(expected) : expected);
    EXPECT_TRUE(reader.Read(two, 1) == 1u && two[0] == big.back());
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
  EXPECT_TRUE(reader.Read(byte) && byte == static_cast<unsigned char>(data[3032]));
  // Inside the buffer only the read pointer moves: the file is not read again.
  EXPECT_TRUE(reader.SetPosition(3500));
  qmk_test::WriteFile(dir / "f", std::string(5000, 'z'));
  EXPECT_TRUE(reader.Read(byte) && byte == static_cast<unsigned char>(data[3500]));
  EXPECT_TRUE(reader.Rewind() && reader.Read(byte) && byte == 'z');
  EXPECT_FALSE(reader.Rewind(1));
  EXPECT_TRUE(reader.IsError());
}

TEST(FileReaderTest, CompressedSectionsRoundTrip) {
  qmk_test::TempDir dir;
  du::FileWriterPtr writer = du::FileWriter::Construct();
  ASSERT_TRUE(writer->Open(dir / "f", 1, 1024) && writer->Write(7) &&
              writer->StartCompressedSection(-1));
  for (int i = 0; i < 1000; ++i) ASSERT_TRUE(writer->Write(i));
  ASSERT_TRUE(writer->EndCompressedSection());
  ASSERT_TRUE(writer->Write(-99) && writer->StartCompressedSection(1) && writer->Write(1.25) &&
              writer->EndCompressedSection() && writer->Write(123) && writer->Close());

  // Left after 10 values, for the end to skip; whole sections read back as
  // written is the file reader fuzzer's round trip.
  du::FileReader reader;
  int value = 0;
  ASSERT_TRUE(reader.Open(dir / "f", 1, 1024) && reader.Read(value) &&
              reader.StartCompressedSection());
  EXPECT_TRUE(reader.IsCompressed());
  bool all = true;
  for (int i = 0; i < 10; ++i) all = all && reader.Read(value) && value == i;
  EXPECT_TRUE(all);
  EXPECT_EQ(reader.GetPosition(), 40u);
  EXPECT_FALSE(reader.SetPosition(0));
  EXPECT_FALSE(reader.StartCompressedSection());  // no nesting: an error
  EXPECT_TRUE(reader.IsError());
  EXPECT_TRUE(reader.EndCompressedSection(true));
  double real = 0;
  EXPECT_TRUE(reader.Read(value) && value == -99 && reader.StartCompressedSection() &&
              reader.Read(real) && real == 1.25);
  EXPECT_FALSE(reader.Read(value));  // the end of the section
  EXPECT_TRUE(reader.IsEOF());
  EXPECT_TRUE(reader.EndCompressedSection(false) && reader.Read(value) && value == 123);

  du::FileReader plain;
  ASSERT_TRUE(plain.Open(dir / "f"));
  EXPECT_FALSE(plain.StartCompressedSection(0));
  EXPECT_FALSE(plain.IsError());
  EXPECT_FALSE(plain.EndCompressedSection(true));
  EXPECT_TRUE(plain.IsError());
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
        ASSERT_TRUE(reader.Open(dir / "f", 1, bufferSize) &&
                    (known ? reader.StartCompressedSection(static_cast<unsigned>(member.size()))
                           : reader.StartCompressedSection()));
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

// One case per header field; a comment is skipped as the name is.
TEST(FileReaderTest, BadSectionsFailCleanly) {
  qmk_test::TempDir dir;
  qmk_test::ScopedTraceRecorder recorder;
  const std::string body = Deflate(Payload(20000), -15);
  const std::string header = Bytes({0x1F, 0x8B, 8, 0, 0, 0, 0, 0, 0, 0});
  struct Case {
    std::string name, bytes;
    bool starts;
    unsigned knownLength = 0;
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
      {"header crc missing", Bytes({0x1F, 0x8B, 8, 2, 0, 0, 0, 0, 0, 0, 1}), true},
      {"known length shorter than the data", header + body, true, 30},
  };
  for (const Case& c : cases) {
    qmk_test::WriteFile(dir / "f", c.bytes);
    du::FileReader reader;
    ASSERT_TRUE(reader.Open(dir / "f"));
    EXPECT_EQ(c.knownLength != 0 ? reader.StartCompressedSection(c.knownLength)
                                 : reader.StartCompressedSection(),
              c.starts)
        << c.name;
    if (c.starts) {
      std::vector<char> out(30000);
      EXPECT_LT(reader.Read(out.data(), 30000), 20000u) << c.name;
      EXPECT_TRUE(c.knownLength == 0 || reader.IsEOF()) << c.name;  // met the known end
      EXPECT_FALSE(reader.EndCompressedSection(true)) << c.name;
    }
    EXPECT_TRUE(reader.IsError()) << c.name;
    EXPECT_FALSE(reader.IsCompressed()) << c.name;
    // A known length is where the section ends, whatever inflate made of it.
    EXPECT_TRUE(c.knownLength == 0 || reader.GetPosition() == c.knownLength) << c.name;
  }
  EXPECT_THAT(recorder.log().Texts(),
              ::testing::Contains("FillBuffer() failed inflate data (-3).\n"));
}

}  // namespace
