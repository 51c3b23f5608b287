#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

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

// minizip's append status.
constexpr int kCreate = 0;
constexpr int kAddInArchive = 2;

std::string Payload(int size) {
  std::string out;
  for (int i = 0; i < size; ++i) out.push_back(static_cast<char>((1LL * i * i + i / 7) % 251));
  return out;
}

std::vector<std::string> List(ZipReader& reader) {
  std::vector<std::string> names;
  EXPECT_TRUE(reader.ListContents(names));
  return names;
}

std::vector<std::string> FilesBelow(const std::string& dir) {
  std::vector<std::string> files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
    files.push_back(std::filesystem::relative(entry.path(), dir).string());
  }
  std::sort(files.begin(), files.end());
  return files;
}

TEST(ZipTest, FilesRoundTrip) {
  TempDir dir;
  const std::string archive = dir / "a.zip";
  const std::string big = Payload(300000);
  WriteFile(dir / "big.bin", big);
  WriteFile(dir / "empty", "");
  WriteFile(dir / "note.txt", "hello");
  {
    ZipWriter writer(archive);
    ASSERT_TRUE(writer.AddFile(dir / "big.bin", kCreate));
    ASSERT_TRUE(writer.AddFile(dir / "empty", kAddInArchive));
    ASSERT_TRUE(writer.AddFile(dir / "note.txt", "sub/Note.txt", kAddInArchive));
    EXPECT_FALSE(writer.AddFile(dir / "missing", kAddInArchive));
    // Adding to an archive that does not exist fails and creates nothing.
    ZipWriter absent(dir / "absent.zip");
    EXPECT_FALSE(absent.AddFile(dir / "empty", kAddInArchive));
  }
  EXPECT_FALSE(std::filesystem::exists(dir / "absent.zip"));

  ZipReader reader(archive);
  // The failed entry was opened in the archive before its file was found.
  EXPECT_THAT(List(reader), ElementsAre("big.bin", "empty", "sub/Note.txt", "missing"));
  ASSERT_TRUE(reader.Extract("big.bin", dir / "out.bin"));
  EXPECT_EQ(ReadFile(dir / "out.bin"), big);
  WriteFile(dir / "out.empty", "old");
  ASSERT_TRUE(reader.Extract("empty", dir / "out.empty"));
  EXPECT_EQ(ReadFile(dir / "out.empty"), "");
  // Backslashes and another case find the entry.
  ASSERT_TRUE(reader.Extract("SUB\\note.TXT", dir / "out.txt"));
  EXPECT_EQ(ReadFile(dir / "out.txt"), "hello");
  EXPECT_FALSE(reader.Extract("nothing", dir / "out.none"));
  EXPECT_FALSE(std::filesystem::exists(dir / "out.none"));
  EXPECT_FALSE(reader.Extract("empty", dir / "no/such/folder/out"));

  // Mode 0 starts the archive afresh.
  ZipWriter(archive).AddFile(dir / "note.txt", kCreate);
  EXPECT_THAT(List(reader), ElementsAre("note.txt"));
}

// The reader's name index must follow an archive rewritten in place, also
// within one time-stamp tick and at the same size.
TEST(ZipTest, ArchiveRewrittenBetweenExtracts) {
  TempDir dir;
  const std::string archive = dir / "a.zip";
  WriteFile(dir / "a", "first");
  WriteFile(dir / "b", "other");
  ZipWriter(archive).AddFile(dir / "a", kCreate);
  ZipReader reader(archive);
  ASSERT_TRUE(reader.Extract("a", dir / "out"));
  ZipWriter(archive).AddFile(dir / "b", kCreate);
  EXPECT_FALSE(reader.Extract("a", dir / "out"));
  ASSERT_TRUE(reader.Extract("B", dir / "out"));
  EXPECT_EQ(ReadFile(dir / "out"), "other");
  WriteFile(dir / "b", "again");
  ZipWriter(archive).AddFile(dir / "b", kCreate);
  ASSERT_TRUE(reader.Extract("b", dir / "out"));
  EXPECT_EQ(ReadFile(dir / "out"), "again");
}

TEST(ZipTest, DirectoryTrees) {
  TempDir dir;
  const std::string tree = dir / "tree/";
  std::filesystem::create_directories(tree + "d/e");
  WriteFile(tree + "a", "1");
  WriteFile(tree + "d/b", "2");
  WriteFile(tree + "d/e/c", "3");
  WriteFile(tree + "d/.hidden", "4");
  // Written into the tree it walks: the archive is not added to itself,
  // and a link to a parent folder is not followed.
  std::filesystem::create_directory_symlink("..", tree + "d/loop");
  ZipWriter writer(tree + "r.zip");
  ASSERT_TRUE(writer.AddAllFilesFromDir(tree, kCreate, true));
  ZipReader reader(tree + "r.zip");
  EXPECT_THAT(List(reader), ElementsAre("a", "d/.hidden", "d/b", "d/e/c"));
  std::filesystem::remove(tree + "d/loop");

  // Without recursion the sub-directory cannot be added: the walk stops there.
  EXPECT_FALSE(writer.AddAllFilesFromDir(tree, kCreate, false));
  EXPECT_THAT(List(reader), ElementsAre("a", "d"));

  std::filesystem::create_directory(dir / "void");
  ASSERT_TRUE(writer.AddAllFilesFromDir(dir / "void/", kCreate, true));
  std::vector<std::string> names = {"stale"};
  EXPECT_TRUE(reader.ListContents(names));
  EXPECT_THAT(names, IsEmpty());
  EXPECT_FALSE(reader.Extract("a", dir / "out"));
  // The same with an archive comment, which the end record may carry.
  std::string commented = qmk_test::ReadFile(tree + "r.zip");
  commented[20] = 3;
  qmk_test::WriteFile(tree + "r.zip", commented + "abc");
  EXPECT_THAT(List(reader), IsEmpty());
  qmk_test::WriteFile(tree + "r.zip", commented + "ab");
  EXPECT_FALSE(reader.ListContents(names));
}

TEST(ZipTest, BadArchivesFailCleanly) {
  TempDir dir;
  WriteFile(dir / "f", Payload(20000));
  ZipWriter(dir / "good.zip").AddFile(dir / "f", kCreate);
  const std::string good = ReadFile(dir / "good.zip");
  WriteFile(dir / "text.zip", "this is not a zip archive\n");
  WriteFile(dir / "empty.zip", "");
  WriteFile(dir / "truncated.zip", good.substr(0, good.size() / 2));
  std::string corrupt = good;
  corrupt[good.size() / 3] = static_cast<char>(corrupt[good.size() / 3] ^ 0x55);
  WriteFile(dir / "corrupt.zip", corrupt);

  // Neither a FIFO without a writer nor a folder may hang or pass as an archive.
  ASSERT_EQ(mkfifo((dir / "fifo.zip").c_str(), 0600), 0);
  std::filesystem::create_directory(dir / "folder.zip");
  for (const char* name :
       {"text.zip", "empty.zip", "truncated.zip", "missing.zip", "fifo.zip", "folder.zip"}) {
    ZipReader reader(dir / name);
    std::vector<std::string> names = {"kept"};
    EXPECT_FALSE(reader.ListContents(names)) << name;
    EXPECT_THAT(names, ElementsAre("kept"));
    EXPECT_FALSE(reader.Extract("f", dir / "out")) << name;
    EXPECT_FALSE(std::filesystem::exists(dir / "out"));
  }
  // The directory is intact but the data is not: the copy fails.
  ZipReader reader(dir / "corrupt.zip");
  EXPECT_THAT(List(reader), ElementsAre("f"));
  EXPECT_FALSE(reader.Extract("f", dir / "out"));
  ZipReader unbound;
  std::vector<std::string> names;
  EXPECT_FALSE(unbound.ListContents(names));
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
    EXPECT_FALSE(std::filesystem::exists(archive));
    EXPECT_EQ(FilesBelow(temp.path()).size(), 1u);
  }
  EXPECT_THAT(FilesBelow(temp.path()), IsEmpty());
  {
    ZipReader reader(archive);
    EXPECT_THAT(List(reader), ElementsAre("f"));
    ASSERT_TRUE(reader.Extract("f", dir / "out"));
    EXPECT_EQ(ReadFile(dir / "out"), "data");
    EXPECT_EQ(FilesBelow(temp.path()).size(), 1u);
    // Binding anew drops the copy: the archive's later changes are seen.
    ZipWriter(archive).AddFile(dir / "out", kAddInArchive);
    reader.Bind(archive);
    EXPECT_THAT(List(reader), ElementsAre("f", "out"));
  }
  EXPECT_THAT(FilesBelow(temp.path()), IsEmpty());

  // A temporary folder that is not plain ASCII either: traced, and the
  // archive is used where it is.
  const std::string odd = temp / "t\xc3\xa9mp";
  std::filesystem::create_directory(odd);
  environment.Set("QUILL_TEMP", odd);
  qmk_test::ScopedTraceRecorder recorder;
  ZipReader reader(archive);
  EXPECT_THAT(List(reader), ElementsAre("f", "out"));
  ASSERT_EQ(recorder.log().Records().size(), 1u);
  const qmk_test::TraceRecord record = recorder.log().Records()[0];
  EXPECT_EQ(record.type, dp::Error);
  EXPECT_EQ(record.subKey, "ZipReader");
  EXPECT_EQ(record.text,
            "Cannot zip as system temp directory path contains non ascii characters\n"
            "temp directory: " +
                odd);
}

TEST(ZipTest, ExtractionStaysInsideTheDestination) {
  TempDir dir;
  const std::string dest = dir / "dest";
  std::filesystem::create_directories(dest);
  std::filesystem::create_directories(dir / "outside");
  WriteFile(dir / "f", "payload");
  const auto archiveWith = [&](const std::string& entry) {
    const std::string path = dir / "hostile.zip";
    ZipWriter writer(path);
    writer.AddFile(dir / "f", "ok/first", kCreate);
    writer.AddFile(dir / "f", entry, kAddInArchive);
    return path;
  };
  for (const char* entry : {"../escaped", "ok/../../escaped", "..\\escaped", "/abs/escaped",
                            "\\escaped", "C:escaped", "c:\\escaped", ""}) {
    ZipReader reader(archiveWith(entry));
    std::string error;
    EXPECT_FALSE(du::zip_extract::ExtractAll(reader, dest, &error)) << entry;
    EXPECT_THAT(error, HasSubstr("refused entry")) << entry;
  }
  // A link inside the destination never leads out of it.
  std::filesystem::create_directory_symlink(dir / "outside", dest + "/link");
  std::filesystem::create_symlink(dir / "outside/target", dest + "/file");
  for (const char* entry : {"link/escaped", "file"}) {
    ZipReader reader(archiveWith(entry));
    std::string error;
    EXPECT_FALSE(du::zip_extract::ExtractAll(reader, dest, &error)) << entry;
    EXPECT_THAT(error, HasSubstr("symbolic link")) << entry;
  }
  ASSERT_EQ(mkfifo((dest + "/fifo").c_str(), 0600), 0);
  {
    ZipReader reader(archiveWith("fifo"));
    std::string error;
    EXPECT_FALSE(du::zip_extract::ExtractAll(reader, dest, &error));
    EXPECT_THAT(error, HasSubstr("not a regular file"));
  }
  EXPECT_THAT(FilesBelow(dir / "outside"), IsEmpty());
  EXPECT_FALSE(std::filesystem::exists(dir / "escaped"));
  EXPECT_FALSE(std::filesystem::exists("/abs/escaped"));

  // Harmless names with "." and doubled separators are fine; a file there
  // that is a hard link to one outside is replaced, not written through.
  WriteFile(dir / "victim", "mine");
  std::filesystem::remove(dest + "/ok/first");
  std::filesystem::create_hard_link(dir / "victim", dest + "/ok/first");
  ZipReader reader(archiveWith("./a//b/.hidden..x"));
  std::string error;
  ASSERT_TRUE(du::zip_extract::ExtractAll(reader, dest, &error)) << error;
  EXPECT_EQ(ReadFile(dest + "/a/b/.hidden..x"), "payload");
  EXPECT_EQ(ReadFile(dest + "/ok/first"), "payload");
  EXPECT_EQ(ReadFile(dir / "victim"), "mine");
}

TEST(ZipTest, CommandLine) {
  TempDir dir;
  std::filesystem::create_directories(dir / "src/sub");
  WriteFile(dir / "src/sub/x", "x");
  WriteFile(dir / "y", "y");
  const auto run = [](std::vector<std::string> args) {
    args.insert(args.begin(), {QMK_TEST_TOOL, "zip"});
    qmk_test::ChildProcess child(args);
    const int status = child.Finish();
    return std::make_pair(status, child.Out() + child.Err());
  };
  EXPECT_EQ(run({"add", dir / "a.zip", dir / "src", dir / "y"}).first, 0);
  EXPECT_EQ(run({"list", dir / "a.zip"}), std::make_pair(0, std::string("sub/x\ny\n")));
  std::filesystem::create_directory(dir / "out");
  EXPECT_EQ(run({"extract", dir / "a.zip", dir / "out"}).first, 0);
  EXPECT_EQ(ReadFile(dir / "out/sub/x"), "x");

  ZipWriter(dir / "bad.zip").AddFile(dir / "y", "../y2", kCreate);
  const auto [status, output] = run({"extract", dir / "bad.zip", dir / "out"});
  EXPECT_EQ(status, 1);
  EXPECT_THAT(output, HasSubstr("refused entry \"../y2\""));
  EXPECT_FALSE(std::filesystem::exists(dir / "y2"));
  EXPECT_EQ(run({"list", dir / "y"}).first, 1);
  EXPECT_EQ(run({"list"}).first, 2);
  EXPECT_EQ(run({"unpack", dir / "a.zip"}).first, 2);
}

}  // namespace
