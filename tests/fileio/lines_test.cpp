#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "qmkutils/fileio/filereader.h"
#include "qmkutils/fileio/filewriter.h"
#include "qmkutils/fileio/linereader.h"
#include "qmkutils/fileio/linewriter.h"
#include "support/temp_dir.h"

namespace {

// Every line a line reader gives for `contents`, read from `offset` with
// `limit`.
std::vector<std::string> Lines(const std::string& contents, int limit = 0, unsigned offset = 0) {
  qmk_test::TempDir dir;
  qmk_test::WriteFile(dir / "f", contents);
  du::FileReader reader;
  EXPECT_TRUE(reader.Open(dir / "f") && reader.SetPosition(offset));
  du::LineReader lines(&reader, limit);
  std::vector<std::string> out;
  while (lines.ReadLine()) out.emplace_back(lines.GetBuffer());
  return out;
}

using Strings = std::vector<std::string>;

// The line reader fuzzer holds every read to these rules; here they are
// shown once, and the byte limit counts from where the reader already was.
TEST(LineReaderTest, SplitsAtLineFeedsDroppingOnlyTheCarriageReturnBeforeThem) {
  EXPECT_EQ(Lines("\n\r\n\nx\r\r\ny\rz"), Strings({"", "", "", "x\r", "y\rz"}));
  EXPECT_EQ(Lines("skip\nthis\nthat\n", 7, 5), Strings({"this", "th"}));
}

// Lines of every length up to a few chunks, with carriage returns inside
// them, come back exactly as a line writer wrote them.
TEST(LineReaderTest, ReadsBackWhatTheLineWriterWrote) {
  qmk_test::TempDir dir;
  std::mt19937 random(7);
  Strings written;
  du::FileWriterPtr writer = du::FileWriter::Construct();
  ASSERT_TRUE(writer->Open(dir / "lines"));
  {
    du::LineWriter lines(writer);
    for (int i = 0; i < 300; ++i) {
      std::string line(random() % (i % 10 == 0 ? 9000 : 80), 'a' + i % 26);
      for (char& c : line) c = random() % 7 == 0 ? '\r' : c;
      if (!line.empty() && line.back() == '\r') line.back() = '.';
      written.push_back(line);
      ASSERT_TRUE(lines.WriteLine(line));
    }
  }
  ASSERT_TRUE(writer->Close());
  EXPECT_TRUE(Lines(qmk_test::ReadFile(dir / "lines")) == written);
}

TEST(LineReaderTest, SeeksBackToTheLastLineWithinAndAcrossChunks) {
  qmk_test::TempDir dir;
  const std::string longLine(6000, 'x');
  qmk_test::WriteFile(dir / "f", "one\r\ntwo\n" + longLine + "\nend");
  du::FileReader reader;
  ASSERT_TRUE(reader.Open(dir / "f"));
  du::LineReader lines(&reader, 0);
  EXPECT_FALSE(lines.SeekToBufferStart());
  for (const char* expected : {"one", "two"}) {
    for (int pass = 0; pass < 2; ++pass) {
      ASSERT_TRUE(lines.ReadLine());
      EXPECT_STREQ(lines.GetBuffer(), expected);
      if (pass == 0) lines.SeekToBufferStart();
    }
  }
  // The long line began in an earlier chunk: the reader is repositioned.
  ASSERT_TRUE(lines.ReadLine());
  EXPECT_TRUE(lines.GetBuffer() == longLine);
  lines.SeekToBufferStart();
  for (const std::string& expected : {longLine, std::string("end")}) {
    ASSERT_TRUE(lines.ReadLine());
    EXPECT_TRUE(lines.GetBuffer() == expected);
  }
  EXPECT_FALSE(lines.ReadLine());
  EXPECT_FALSE(reader.IsError());
}

TEST(LineReaderTest, MixesBinaryRunsWithLinesAndReadsInsideSections) {
  qmk_test::TempDir dir;
  du::FileWriterPtr writer = du::FileWriter::Construct();
  ASSERT_TRUE(writer->Open(dir / "mixed"));
  du::LineWriter lines(writer);
  const unsigned char binary[5] = {'\n', 0, '\r', 0xFF, 'b'};
  EXPECT_TRUE(lines.WriteBinary(nullptr, 3) && lines.WriteBinary(binary, 0));
  EXPECT_EQ(lines.GetBytesWritten(), 0u);
  ASSERT_TRUE(lines.WriteLine("head") && lines.WriteBinary(binary, 5));
  ASSERT_TRUE(writer->StartCompressedSection(6));
  ASSERT_TRUE(lines.WriteLine(std::string("packed\0hidden", 13)) && lines.WriteLine("more"));
  ASSERT_TRUE(writer->EndCompressedSection() && lines.WriteLine("tail") && writer->Close());
  EXPECT_EQ(lines.GetBytesWritten(), 5u + 5 + 7 + 5 + 5);
  EXPECT_FALSE(lines.WriteLine("closed"));
  EXPECT_FALSE(lines.WriteLine(nullptr));

  du::FileReader reader;
  ASSERT_TRUE(reader.Open(dir / "mixed"));
  {
    du::LineReader plain(&reader, 10);
    ASSERT_TRUE(plain.ReadLine());
    EXPECT_STREQ(plain.GetBuffer(), "head");
    EXPECT_EQ(plain.ReadBinary(100), 5u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(plain.GetBinBuffer()), 5),
              std::string(reinterpret_cast<const char*>(binary), 5));
    EXPECT_EQ(plain.GetBuffer(), nullptr);
    EXPECT_EQ(plain.ReadBinary(1), 0u);
    EXPECT_EQ(plain.GetBinBuffer(), nullptr);
  }
  ASSERT_TRUE(reader.SetPosition(10) && reader.StartCompressedSection());
  {
    du::LineReader packed(&reader, 0);
    ASSERT_TRUE(packed.ReadLine() && packed.ReadLine());
    EXPECT_STREQ(packed.GetBuffer(), "more");
    EXPECT_FALSE(packed.ReadLine());
  }
  ASSERT_TRUE(reader.EndCompressedSection(false));
  du::LineReader after(&reader, 0);
  ASSERT_TRUE(after.ReadLine());
  EXPECT_STREQ(after.GetBuffer(), "tail");
}

}  // namespace
