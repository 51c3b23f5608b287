#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "qmkutils/fileio/internal/zipextract.h"
#include "qmkutils/fileio/zipreader.h"
#include "qmkutils/fileio/zipwriter.h"
#include "support/child_process.h"
#include "support/recording_consumer.h"
#include "support/scoped_environment.h"
#include "support/temp_dir.h"

namespace {

using du::ZipReader;
using du::ZipWriter;
using qmk_test::ReadFile;
using qmk_test::TempDir;
using qmk_test::WriteFile;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

constexpr int kCreate = ZipWriter::kCreate;
constexpr int kAddInArchive = ZipWriter::kAddInArchive;

std::vector<std::string> List(ZipReader& reader) {
  std::vector<std::string> names;
  EXPECT_TRUE(reader.ListContents(names));
  return names;
}

bool Exists(const std::string& path) { return std::filesystem::exists(path); }

std::string Payload(int size) {
  std::string out;
  for (int i = 0; i < size; ++i) out.push_back(static_cast<char>((1LL * i * i + i / 7) % 251));
  return out;
}

TEST(ZipTest, FilesAndTreesRoundTrip) {
  TempDir dir;
  const std::string tree = dir / "tree/";
  std::filesystem::create_directories(tree + "d/e");
  std::filesystem::create_directory(dir / "void");
  const std::string big = Payload(300000);
  WriteFile(tree + "big", big);
  for (const char* name : {"empty", "d/e/c", "d/.hidden"}) WriteFile(tree + name, "");
  WriteFile(dir / "note.txt", "hello");
  // Written into the tree it walks: the archive is not added to itself,
  // and a link to a parent folder is not followed.
  std::filesystem::create_directory_symlink("..", tree + "d/loop");
  const std::string archive = tree + "a.zip";
  ZipWriter writer(archive);
  ASSERT_TRUE(writer.AddAllFilesFromDir(tree, kCreate, true));
  ASSERT_TRUE(writer.AddFile(dir / "note.txt", "sub/Note.txt", kAddInArchive));
  EXPECT_FALSE(writer.AddFile(dir / "missing", kAddInArchive));

  ZipReader reader(archive);
  // The failed entry was opened in the archive before its file was found.
  EXPECT_THAT(List(reader),
              ElementsAre("big", "d/.hidden", "d/e/c", "empty", "sub/Note.txt", "missing"));
  // Names are looked up without regard to case or separator.
  for (const auto& [entry, data] : {std::pair<std::string, std::string>{"big", big},
                                    {"empty", ""},
                                    {"SUB\\note.TXT", "hello"}}) {
    EXPECT_TRUE(reader.Extract(entry, dir / "out") && ReadFile(dir / "out") == data) << entry;
  }
  EXPECT_FALSE(reader.Extract("nothing", dir / "none") || Exists(dir / "none"));
  EXPECT_FALSE(reader.Extract("empty", dir / "no/such/folder/out"));

  // Without recursion the sub-directory cannot be added: the walk stops there.
  EXPECT_FALSE(writer.AddAllFilesFromDir(tree, kCreate, false));
  EXPECT_THAT(List(reader), ElementsAre("big", "d"));
  // An archive without entries lists as empty, also with a comment.
  ASSERT_TRUE(writer.AddAllFilesFromDir(dir / "void/", kCreate, true));
  EXPECT_THAT(List(reader), IsEmpty());
  std::string commented = ReadFile(archive);
  commented[20] = 3;
  WriteFile(archive, commented + "abc");
  EXPECT_THAT(List(reader), IsEmpty());
}

// One reader keeps its archive open between calls; it must still see the
// file as it is now: replaced by another file, rewritten in place within
// one time-stamp tick at the same size, or removed.
TEST(ZipTest, ArchiveChangedBetweenCallsOfOneReader) {
  TempDir dir;
  const std::string archive = dir / "a.zip";
  WriteFile(dir / "a", "first");
  WriteFile(dir / "b", "other");
  ZipWriter(archive).AddFile(dir / "a", kCreate);
  ZipWriter(dir / "next.zip").AddFile(dir / "b", kCreate);
  ZipReader reader(archive);
  ASSERT_TRUE(reader.Extract("a", dir / "out"));
  std::filesystem::rename(dir / "next.zip", archive);
  EXPECT_FALSE(reader.Extract("a", dir / "out"));
  EXPECT_TRUE(reader.Extract("B", dir / "out") && ReadFile(dir / "out") == "other");
  WriteFile(dir / "b", "again");
  const auto stamp = std::filesystem::last_write_time(archive);
  ZipWriter(archive).AddFile(dir / "b", kCreate);
  std::filesystem::last_write_time(archive, stamp);
  EXPECT_TRUE(reader.Extract("b", dir / "out") && ReadFile(dir / "out") == "again");
  ZipWriter(archive).AddFile(dir / "a", kAddInArchive);
  EXPECT_THAT(List(reader), ElementsAre("b", "a"));
  std::filesystem::remove(archive);
  EXPECT_FALSE(reader.Extract("b", dir / "gone") || Exists(dir / "gone"));
}

// Nothing that is not a whole archive may hang (a FIFO without a writer),
// pass as one or leave an output file. Arbitrary archive bytes are the zip
// fuzzer's.
TEST(ZipTest, BadArchivesFailCleanly) {
  TempDir dir;
  WriteFile(dir / "f", Payload(20000));
  ZipWriter(dir / "good.zip").AddFile(dir / "f", kCreate);
  const std::string good = ReadFile(dir / "good.zip");
  WriteFile(dir / "text.zip", "this is not a zip archive\n");
  WriteFile(dir / "empty.zip", "");
  WriteFile(dir / "truncated.zip", good.substr(0, good.size() / 2));
  ASSERT_EQ(mkfifo((dir / "fifo.zip").c_str(), 0600), 0);
  std::filesystem::create_directory(dir / "folder.zip");
  for (const char* name :
       {"text.zip", "empty.zip", "truncated.zip", "missing.zip", "fifo.zip", "folder.zip", ""}) {
    ZipReader reader(name[0] != '\0' ? dir / name : "");
    std::vector<std::string> names = {"kept"};
    EXPECT_FALSE(reader.ListContents(names)) << name;
    EXPECT_THAT(names, ElementsAre("kept"));
    EXPECT_FALSE(reader.Extract("f", dir / "out") || Exists(dir / "out")) << name;
  }
  // The directory is intact but the data is not: the copy fails.
  std::string corrupt = good;
  corrupt[good.size() / 3] = static_cast<char>(corrupt[good.size() / 3] ^ 0x55);
  WriteFile(dir / "corrupt.zip", corrupt);
  ZipReader reader(dir / "corrupt.zip");
  EXPECT_THAT(List(reader), ElementsAre("f"));
  EXPECT_FALSE(reader.Extract("f", dir / "out"));
}

TEST(ZipTest, NonAsciiArchivePathGoesThroughATemporaryCopy) {
  TempDir dir, temp;
  qmk_test::ScopedEnvironment environment;
  environment.Set("QUILL_TEMP", temp.path());
  const std::string archive = dir / "arch\xc3\xafve.zip";
  WriteFile(dir / "f", "data");
  {
    ZipWriter writer(archive);
    ASSERT_TRUE(writer.AddFile(dir / "f", kCreate));
    EXPECT_FALSE(Exists(archive));
  }
  {
    ZipReader reader(archive);
    ASSERT_TRUE(reader.Extract("f", dir / "out") && ReadFile(dir / "out") == "data");
    // Binding anew drops the copy: the archive's later changes are seen.
    ZipWriter(archive).AddFile(dir / "out", kAddInArchive);
    reader.Bind(archive);
    EXPECT_THAT(List(reader), ElementsAre("f", "out"));
  }
  EXPECT_TRUE(std::filesystem::is_empty(temp.path()));

  // A temporary folder that is not plain ASCII either: traced, and the
  // archive is used where it is.
  const std::string odd = temp / "t\xc3\xa9mp";
  std::filesystem::create_directory(odd);
  environment.Set("QUILL_TEMP", odd);
  qmk_test::ScopedTraceRecorder recorder;
  ZipReader reader(archive);
  EXPECT_THAT(List(reader), ElementsAre("f", "out"));
  ASSERT_THAT(recorder.log().Texts(),
              ElementsAre("Cannot zip as system temp directory path contains non ascii characters\n"
                          "temp directory: " +
                          odd));
  EXPECT_EQ(recorder.log().Records()[0].subKey, "ZipReader");
  EXPECT_EQ(recorder.log().Records()[0].type, dp::Error);
}

TEST(ZipTest, ExtractionStaysInsideTheDestination) {
  TempDir dir;
  const std::string dest = dir / "dest";
  std::filesystem::create_directories(dest);
  std::filesystem::create_directories(dir / "outside");
  std::filesystem::create_directory_symlink(dir / "outside", dest + "/link");
  std::filesystem::create_symlink(dir / "outside/target", dest + "/file");
  ASSERT_EQ(mkfifo((dest + "/fifo").c_str(), 0600), 0);
  WriteFile(dir / "f", "payload");
  const auto extract = [&](const std::string& entry, std::string* error) {
    ZipWriter writer(dir / "hostile.zip");
    writer.AddFile(dir / "f", "ok/first", kCreate);
    writer.AddFile(dir / "f", entry, kAddInArchive);
    ZipReader reader(dir / "hostile.zip");
    return du::zip_extract::ExtractAll(reader, dest, error);
  };
  const std::pair<const char*, const char*> refused[] = {
      {"../escaped", "refused entry"},   {"ok/../../escaped", "refused entry"},
      {"..\\escaped", "refused entry"},  {"/abs/escaped", "refused entry"},
      {"\\escaped", "refused entry"},    {"C:escaped", "refused entry"},
      {"c:\\escaped", "refused entry"},  {"", "refused entry"},
      {"link/escaped", "symbolic link"}, {"file", "symbolic link"},
      {"fifo", "not a regular file"},    {"OK\\First", "only in case"},
  };
  for (const auto& [entry, reason] : refused) {
    std::string error;
    EXPECT_FALSE(extract(entry, &error)) << entry;
    EXPECT_THAT(error, HasSubstr(reason)) << entry;
  }
  EXPECT_TRUE(std::filesystem::is_empty(dir / "outside"));
  EXPECT_FALSE(Exists(dir / "escaped"));
  EXPECT_FALSE(Exists("/abs/escaped"));
  // Harmless names with "." and doubled separators are fine; a file there
  // that is a hard link to one outside is replaced, not written through.
  WriteFile(dir / "victim", "mine");
  std::filesystem::remove(dest + "/ok/first");
  std::filesystem::create_hard_link(dir / "victim", dest + "/ok/first");
  std::string error;
  ASSERT_TRUE(extract("./a//b/.hidden..x", &error)) << error;
  EXPECT_EQ(ReadFile(dest + "/a/b/.hidden..x"), "payload");
  EXPECT_EQ(ReadFile(dest + "/ok/first"), "payload");
  EXPECT_EQ(ReadFile(dir / "victim"), "mine");
}

TEST(ZipTest, CommandLine) {
  TempDir dir;
  WriteFile(dir / "y", "y");
  const auto run = [](std::vector<std::string> args) {
    args.insert(args.begin(), {QMK_TEST_TOOL, "zip"});
    qmk_test::ChildProcess child(args);
    const int status = child.Finish();
    return std::make_pair(status, child.Out() + child.Err());
  };
  EXPECT_EQ(run({"add", dir / "a.zip", dir / "y"}).first, 0);
  EXPECT_EQ(run({"list", dir / "a.zip"}), std::make_pair(0, std::string("y\n")));
  ZipWriter(dir / "bad.zip").AddFile(dir / "y", "../y2", kCreate);
  const auto [status, output] = run({"extract", dir / "bad.zip", dir.path()});
  EXPECT_EQ(status, 1);
  EXPECT_THAT(output, HasSubstr("refused entry \"../y2\""));
  EXPECT_EQ(run({"unpack", dir / "a.zip"}).first, 2);
}

}  // namespace
