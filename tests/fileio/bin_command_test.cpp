// `qmk bin dump`, run as a separate process.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "qmkutils/fileio/filewriter.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace {

class QmkBinDump : public ::testing::Test {
 protected:
  int Run(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {QMK_TEST_TOOL, "bin", "dump"});
    return qmk_test::RunCommand(arguments, &out_, &err_);
  }

  // A big-endian record: an int, a section holding a short and a text,
  // then a double.
  std::string Record() {
    du::FileWriterPtr writer = du::FileWriter::Construct();
    EXPECT_TRUE(writer->Open(dir_ / "record", 1));
    EXPECT_TRUE(writer->Write(-7) && writer->StartCompressedSection(9));
    EXPECT_TRUE(writer->Write(static_cast<short>(300)) && writer->Write("hi!", 3) == 3);
    EXPECT_TRUE(writer->EndCompressedSection() && writer->Write(0.25) && writer->Close());
    return dir_ / "record";
  }

  qmk_test::TempDir dir_;
  std::string out_, err_;
};

TEST_F(QmkBinDump, ReadsALayoutIntoSectionsAndShowsWhatIsLeft) {
  const std::string record = Record();
  EXPECT_EQ(Run({record, "--big-endian", "--layout", "i32 z{i16 char} f64"}), 0) << err_;
  // The section's compressed size is zlib's business; the double follows it.
  const std::size_t sectionEnd = qmk_test::ReadFile(record).size() - 8;
  char endOffset[9];
  std::snprintf(endOffset, sizeof endOffset, "%08zx", sectionEnd);
  EXPECT_EQ(out_,
            std::string("00000000  i32      -7\n"
                        "00000004  z        compressed section\n"
                        "  00000000  i16      300\n"
                        "  00000002  char     'h'\n"
                        "  00000003  2 bytes more in the section:\n"
                        "    00000003  69 21                                            |i!|\n") +
                endOffset + "  end of section: " + std::to_string(sectionEnd - 4) +
                " bytes compressed\n" + endOffset + "  f64      0.25\n");

  // Read in the wrong order, the section's short and the double come out
  // differently, and the layout runs past the end of the file.
  EXPECT_EQ(Run({record, "--layout", "u8*4 z{ i16 } f64 i8"}), 1);
  EXPECT_NE(out_.find("00000000  u8*4     255 255 255 249\n"), std::string::npos) << out_;
  EXPECT_NE(out_.find("  00000000  i16      11265\n"), std::string::npos) << out_;
  EXPECT_NE(out_.find("  f64      2.6339133645442695e-319\n"), std::string::npos) << out_;
  EXPECT_NE(out_.find("  i8       missing: the data ends here\n"), std::string::npos) << out_;
}

TEST_F(QmkBinDump, FindsGzipMembersWithoutALayout) {
  const std::string record = Record();
  EXPECT_EQ(Run({record}), 0) << err_;
  EXPECT_EQ(out_.rfind("00000000  ff ff ff f9                                      |....|\n"
                       "00000004  z        gzip member, 5 bytes inflated:\n",
                       0),
            0u)
      << out_;
  EXPECT_NE(out_.find("  00000000  01 2c 68 69 21                                   |.,hi!|\n"),
            std::string::npos)
      << out_;

  // A gzip header over data that does not inflate is only bytes.
  qmk_test::WriteFile(dir_ / "fake", std::string("\x1f\x8b\x08\0\0\0\0\0\0\0junk", 14));
  EXPECT_EQ(Run({dir_ / "fake"}), 0);
  EXPECT_EQ(out_, "00000000  1f 8b 08 00 00 00 00 00 00 00 6a 75 6e 6b        |..........junk|\n");
  EXPECT_EQ(Run({dir_ / "fake", "--layout", "z"}), 1);
  EXPECT_NE(out_.find("cannot be read"), std::string::npos) << out_;
}

TEST_F(QmkBinDump, RefusesBadUsage) {
  const std::string record = Record();
  for (const char* layout : {"i32 q64", "i32*0", "i32*x", "z{ i32", "i32 }"}) {
    EXPECT_EQ(Run({record, "--layout", layout}), 2) << layout;
  }
  EXPECT_TRUE(Run({}) == 2 && Run({record, "--layout"}) == 2 && Run({record, "--little"}) == 2 &&
              Run({record, record}) == 2);
  EXPECT_EQ(Run({dir_ / "missing"}), 1);
  EXPECT_NE(err_.find("cannot open"), std::string::npos) << err_;
}

}  // namespace
