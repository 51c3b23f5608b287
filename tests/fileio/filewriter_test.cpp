#include "qmkutils/fileio/filewriter.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zlib.h>

#include <string>
#include <utility>
#include <vector>

#include "support/bytes.h"
#include "support/recording_consumer.h"
#include "support/temp_dir.h"

namespace {

using qmk_test::Bytes;
using ::testing::ElementsAre;

// Decodes one gzip member with zlib, checking its trailer's CRC and size.
std::string Gunzip(const std::string& member) {
  z_stream stream{};
  EXPECT_EQ(inflateInit2(&stream, 16 + 15), Z_OK);
  std::string out(1 << 20, '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(member.data()));
  stream.avail_in = static_cast<uInt>(member.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(inflate(&stream, Z_FINISH), Z_STREAM_END);
  out.resize(stream.total_out);
  inflateEnd(&stream);
  return out;
}

TEST(FileWriterTest, WritesPrimitivesInEitherByteOrder) {
  qmk_test::TempDir dir;
  for (int endian : {0, 1}) {
    du::FileWriterPtr writer = du::FileWriter::Construct();
    ASSERT_TRUE(writer->Open(dir / "p", endian));
    const unsigned short shorts[2] = {0x0A0B, 0x0C0D};
    const bool bools[2] = {false, true};
    EXPECT_TRUE(writer->Write(0x01020304) && writer->Write(static_cast<short>(0x0506)) &&
                writer->Write(true) && writer->Write('x') && writer->Write(1.0f) &&
                writer->Write(-2.0));
    EXPECT_TRUE(writer->Write(shorts, 2) == 2u && writer->Write(bools, 2) == 2u && writer->Close());
    const std::string expected =
        endian == 1 ? Bytes({1, 2, 3, 4, 5, 6, 1, 'x',  0x3F, 0x80, 0,    0, 0xC0,
                             0, 0, 0, 0, 0, 0, 0, 0x0A, 0x0B, 0x0C, 0x0D, 0, 1})
                    : Bytes({4, 3, 2, 1, 6, 5, 1,    'x',  0,    0,    0x80, 0x3F, 0,
                             0, 0, 0, 0, 0, 0, 0xC0, 0x0B, 0x0A, 0x0D, 0x0C, 0,    1});
    EXPECT_EQ(qmk_test::ReadFile(dir / "p"), expected) << "endian " << endian;
  }
}

TEST(FileWriterTest, OpenModesPositionsBufferSizeAndFileCopies) {
  qmk_test::TempDir dir;
  du::FileWriterPtr writer = du::FileWriter::Construct();
  // A new file is owner-only; a tiny buffer still holds 1024 bytes, so 2000
  // bytes overflow it (and go around it) and arrive whole, after the byte
  // still buffered.
  ASSERT_TRUE(writer->Open(dir / "new", 0, 10));
  struct stat info {};
  ASSERT_EQ(stat((dir / "new").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0077, 0u);
  const std::vector<char> bytes(2000, 'a');
  EXPECT_TRUE(writer->Write('<'));
  EXPECT_EQ(writer->Write(bytes.data(), 2000), 2000u);
  EXPECT_EQ(writer->GetPosition(), 2001u);
  EXPECT_TRUE(writer->SetPosition(1) && writer->Write('b') && writer->Close());
  EXPECT_EQ(qmk_test::ReadFile(dir / "new"), "<b" + std::string(1999, 'a'));

  // Without truncation the file is overwritten in place from its start.
  qmk_test::WriteFile(dir / "old", std::string(100, '.'));
  ASSERT_TRUE(writer->Open(dir / "old", 0, 1024, false));
  EXPECT_TRUE(writer->Write("0123456789", 10) == 10u && writer->Close());
  EXPECT_EQ(qmk_test::ReadFile(dir / "old"), "0123456789" + std::string(90, '.'));
  EXPECT_TRUE(writer->Open(dir / "old") && writer->Close());  // truncates
  EXPECT_EQ(qmk_test::ReadFile(dir / "old"), "");

  // Whole files are copied in, plain and into a compressed section.
  std::string source;
  for (int i = 0; i < 5000; ++i) source += static_cast<char>(i * 31);
  qmk_test::WriteFile(dir / "source", source);
  qmk_test::WriteFile(dir / "empty", "");
  ASSERT_TRUE(writer->Open(dir / "copy", 0, 1024));
  EXPECT_EQ(writer->WriteFile((dir / "source").c_str()), 5000u);
  EXPECT_EQ(
      writer->WriteFile((dir / "missing").c_str()) + writer->WriteFile((dir / "empty").c_str()),
      0u);
  ASSERT_TRUE(writer->StartCompressedSection(-1));
  EXPECT_EQ(writer->WriteFile((dir / "source").c_str()), 5000u);
  EXPECT_TRUE(writer->Close());
  const std::string file = qmk_test::ReadFile(dir / "copy");
  EXPECT_EQ(file.substr(0, 5000), source);
  EXPECT_EQ(Gunzip(file.substr(5000)), source);
}

TEST(FileWriterTest, FailuresSetTheStickyErrorUntilClose) {
  qmk_test::TempDir dir;
  qmk_test::ScopedTraceRecorder recorder;
  du::FileWriterPtr writer = du::FileWriter::Construct();
  EXPECT_FALSE(writer->Open(dir / "missing/x"));
  EXPECT_TRUE(writer->IsError());
  EXPECT_FALSE(writer->Write(1) || writer->Write("abc", 3) != 0u ||
               writer->EndCompressedSection() || writer->SetEndian(2));
  // Only the writes are traced: Open fails silently.
  EXPECT_THAT(recorder.log().Texts(),
              ElementsAre("FlushBuffer() failed because file is closed.\n",
                          "FlushBuffer() failed because file is closed.\n"));
  for (const auto& record : recorder.log().Records()) EXPECT_EQ(record.subKey, "FileWriter");
  EXPECT_TRUE(writer->Close());
  EXPECT_FALSE(writer->IsError());

  ASSERT_TRUE(writer->Open(dir / "f", 1));
  ASSERT_TRUE(writer->StartCompressedSection(5));
  EXPECT_EQ(writer->GetPosition(), du::FileWriter::kNoPosition);
  EXPECT_FALSE(writer->SetPosition(0));
  EXPECT_FALSE(writer->IsError());
  EXPECT_FALSE(writer->StartCompressedSection(5));  // no nesting
  EXPECT_TRUE(writer->IsError());
  EXPECT_TRUE(writer->IsCompressed());
  EXPECT_TRUE(writer->Close());
  EXPECT_FALSE(writer->IsBigEndian());  // Close forgets the byte order
  EXPECT_EQ(Gunzip(qmk_test::ReadFile(dir / "f")), "");
}

TEST(FileWriterTest, CompressedSectionIsAGzipMemberBetweenPlainBytes) {
  qmk_test::TempDir dir;
  // The prefixes put the header in the middle of the buffer, make it fill
  // the buffer exactly, and make it wait for a flush.
  for (auto [level, prefix] : {std::pair{-1, 1}, {0, 1014}, {9, 1018}, {42, 1}}) {
    du::FileWriterPtr writer = du::FileWriter::Construct();
    // Big-endian file: the trailer stays little-endian.
    ASSERT_TRUE(writer->Open(dir / "s", 1, 1024));
    const std::string plain(prefix, 'P');
    EXPECT_EQ(writer->Write(plain.data(), prefix), static_cast<unsigned>(prefix));
    ASSERT_TRUE(writer->StartCompressedSection(level));
    std::string expected;  // the values big-endian, as the section holds them
    for (int i = 0; i < 1000; ++i) {
      ASSERT_TRUE(writer->Write(i * 7919));
      for (int shift = 24; shift >= 0; shift -= 8)
        expected.push_back(static_cast<char>(i * 7919 >> shift));
    }
    EXPECT_TRUE(writer->EndCompressedSection());
    EXPECT_FALSE(writer->IsCompressed());
    EXPECT_TRUE(writer->Write(0x11223344));
    const unsigned end = writer->GetPosition();
    EXPECT_TRUE(writer->Close());

    const std::string file = qmk_test::ReadFile(dir / "s");
    ASSERT_EQ(file.size(), end);
    EXPECT_EQ(file.substr(0, prefix + 10), plain + Bytes({0x1F, 0x8B, 8, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(file.substr(file.size() - 4), Bytes({0x11, 0x22, 0x33, 0x44}));
    EXPECT_EQ(Gunzip(file.substr(prefix, file.size() - prefix - 4)), expected) << "level " << level;
  }
}

}  // namespace
