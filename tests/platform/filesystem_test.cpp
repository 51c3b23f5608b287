#include "qmkutils/platform/filesystem.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <iterator>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "support/recording_consumer.h"
#include "support/run_threads.h"
#include "support/scoped_environment.h"
#include "support/temp_dir.h"

namespace {

using dp::FileSystem;
using qmk_test::ReadFile;
using qmk_test::TempDir;
using qmk_test::WriteFile;
using namespace std::string_literals;
namespace fs = std::filesystem;

// `parent`/`prefix`, 13 characters of the temporary names' alphabet, `extension`.
bool IsTempPath(const std::string& path, const std::string& parent, const std::string& prefix,
                const std::string& extension = "") {
  const std::string start = parent + "/" + prefix;
  return path.size() == start.size() + 13 + extension.size() && path.starts_with(start) &&
         path.ends_with(extension) &&
         path.substr(start.size(), 13).find_first_not_of("0123456789abcdefghijklmnopqrstuv") ==
             std::string::npos;
}

bool IsCloseOnExec(int fd) { return (fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0; }

long EntriesOf(const std::string& directory) {
  return std::distance(fs::directory_iterator(directory), fs::directory_iterator());
}

bool Copy(const std::string& from, const std::string& to) {
  return FileSystem::CopyFile(from.c_str(), to.c_str());
}

bool Rename(const std::string& from, const std::string& to) {
  return FileSystem::RenameFile(from.c_str(), to.c_str());
}

struct ScopedCurrentDirectory {
  explicit ScopedCurrentDirectory(const std::string& directory) { fs::current_path(directory); }
  ~ScopedCurrentDirectory() { fs::current_path(saved); }
  const fs::path saved = fs::current_path();
};

TEST(FileSystem, OpeningIsCloseOnExecAndRefusesBadArguments) {
  TempDir dir;
  const std::string file = dir / "f.txt";
  // Windows letters after the mode are ignored: "rt, ..." only reads.
  const std::pair<const char*, const char*> writes[] = {
      {"wb", "hello"}, {"rt, ccs=UTF-8", "lost"}, {"ab+", "!"}};
  for (const auto& [mode, text] : writes) {
    FILE* stream = FileSystem::qmfopen(file, mode);
    ASSERT_NE(nullptr, stream) << mode;
    EXPECT_TRUE(IsCloseOnExec(fileno(stream)));
    std::fputs(text, stream);
    std::fclose(stream);
  }
  EXPECT_EQ("hello!", ReadFile(file));
  const std::pair<const char*, const char*> refused[] = {
      {file.c_str(), nullptr}, {nullptr, "r"}, {file.c_str(), "q"}};
  for (const auto& [path, mode] : refused) {
    errno = 0;
    EXPECT_EQ(nullptr, FileSystem::qmfopen(path, mode));
    EXPECT_EQ(EINVAL, errno) << (mode == nullptr ? "null" : mode);
  }
  FILE* result = reinterpret_cast<FILE*>(&dir);  // must be reset on failure
  EXPECT_EQ(EISDIR, FileSystem::qmfopen_s(&result, dir.path(), "rb"));
  EXPECT_EQ(nullptr, result);
  EXPECT_EQ(EINVAL, FileSystem::qmfopen_s(nullptr, dir / "x", "wb"));
  const int fd = FileSystem::qmopen(dir / "y", O_CREAT | O_WRONLY, 0600);
  EXPECT_TRUE(fd >= 0 && IsCloseOnExec(fd));
  close(fd);
}

TEST(FileSystem, ExistenceStatAndTheCurrentDirectory) {
  TempDir dir;
  const std::string file = dir / "f";
  WriteFile(file, "12345");
  EXPECT_TRUE(FileSystem::FileExists(file.c_str()) && FileSystem::FileReadable(file.c_str()));
  EXPECT_FALSE(FileSystem::FileExists(nullptr) || FileSystem::FileReadable(nullptr) ||
               FileSystem::DirExists(nullptr) || FileSystem::Unlink(nullptr) == 0);
  // A trailing separator of either kind is dropped, but "/" stays itself.
  for (const std::string& path : {dir.path(), dir.path() + "/", dir.path() + "\\", "/"s}) {
    EXPECT_TRUE(FileSystem::DirExists(path.c_str())) << path;
  }
  for (const std::string& path : {file, std::string(10000, 'a')}) {  // the last too long
    EXPECT_FALSE(FileSystem::DirExists(path.c_str())) << path;
  }
  dp::FileStat stat;
  ASSERT_EQ(0, FileSystem::Stat(file.c_str(), &stat));
  EXPECT_EQ(5, stat.size);
  EXPECT_NEAR(static_cast<double>(std::time(nullptr)), static_cast<double>(stat.modifyTime), 60);
  EXPECT_EQ(-1, FileSystem::Stat(file.c_str(), nullptr));

  const std::string current = fs::current_path().string();
  EXPECT_EQ(current, FileSystem::GetCurDir(false));
  EXPECT_EQ(current + "/", FileSystem::GetCurDir(true));
  EXPECT_EQ(current + "/a/../b", FileSystem::MakePathAbsolute("a/../b"));
  EXPECT_EQ("/x/y", FileSystem::MakePathAbsolute("/x/y"));
  EXPECT_EQ("", FileSystem::MakePathAbsolute(nullptr));
}

TEST(FileSystem, PathsFromTheEnvironment) {
  qmk_test::ScopedEnvironment environment;
  // HOMEDRIVE and HOMEPATH count only as a pair.
  environment.Set("HOME", "/home/someone").Set("HOMEDRIVE", "C:").Set("HOMEPATH", "\\Users\\x");
  EXPECT_EQ("C:\\Users\\x", FileSystem::GetHomeDir());
  environment.Set("HOMEPATH", "");
  EXPECT_EQ("/home/someone", FileSystem::GetHomeDir());
  environment.Set("QUILL_TEMP", "").Set("TMPDIR", "");
  EXPECT_EQ("/tmp", FileSystem::GetTempDir());

  environment.Set("QMK_FS_VAR", "C:\\t").Set("QMK_FS_UNSET", "");
  auto expand = [](std::string path, bool expected) {
    EXPECT_EQ(expected, FileSystem::PreProcessEnvVarInPath(path)) << path;
    return path;
  };
  const std::pair<const char*, const char*> expansions[] = {
      {"plain/path", "plain/path"}, {"", ""},
      {"$QMK_FS_VAR/x", "C:\\t/x"}, {"$QMK_FS_VAR\\x", "C:\\t\\x"},
      {"$QMK_FS_VAR", "C:\\t"},     {"$(QMK_FS_VAR)\\x", "C:\\t\\x"}};
  for (const auto& [path, expanded] : expansions) EXPECT_EQ(expanded, expand(path, true));
  // Failures leave the path as it was; a '/' ends the name even after a '\'.
  for (const char* path : {"$QMK_FS_VAR\\x/y", "$(QMK_FS_UNSET)\\x", "$QMK_FS_UNSET/x", "$", "$()",
                           "$()x", "$(QMK_FS_VAR", "$/x"}) {
    EXPECT_EQ(path, expand(path, false));
  }
}

TEST(FileSystem, RenameFileReplacesAFileButNeverWithADirectory) {
  TempDir dir;
  WriteFile(dir / "from", "new");
  WriteFile(dir / "to", "old");
  EXPECT_TRUE(Rename(dir / "from", dir / "to"));
  EXPECT_EQ("new", ReadFile(dir / "to"));
  EXPECT_FALSE(FileSystem::RenameFile(nullptr, (dir / "to").c_str()));
  // Not even an empty directory is replaced; a free name is fine.
  fs::create_directories(dir / "tree/sub");
  fs::create_directory(dir / "empty");
  EXPECT_FALSE(Rename(dir / "tree", dir / "empty"));
  EXPECT_EQ(EEXIST, errno);
  EXPECT_TRUE(fs::is_empty(dir / "empty"));
  EXPECT_TRUE(Rename(dir / "tree", dir / "moved"));
  EXPECT_TRUE(fs::is_directory(dir / "moved/sub"));
}

TEST(FileSystem, RenameFileAcrossFileSystemsReplacesTheTargetWholeOrNotAtAll) {
  TempDir dir;
  struct stat here {};
  struct stat shm {};
  if (stat(dir.path().c_str(), &here) != 0 || stat("/dev/shm", &shm) != 0 ||
      here.st_dev == shm.st_dev || access("/dev/shm", W_OK) != 0) {
    GTEST_SKIP() << "no second file system to rename across";
  }
  qmk_test::ScopedEnvironment environment;
  environment.Set("TMPDIR", "/dev/shm");
  const TempDir other;
  const std::string from = dir / "from", to = other / "to";
  WriteFile(from, "across");
  chmod(from.c_str(), 0640);
  // A target the copy cannot replace: both sides stay, the interim copy is gone.
  fs::create_directory(other / "target");
  EXPECT_FALSE(Rename(from, other / "target"));
  EXPECT_EQ("across", ReadFile(from));
  EXPECT_TRUE(fs::is_directory(other / "target") && EntriesOf(other.path()) == 1);
  // The old target's second name shows it replaced whole, not written over.
  WriteFile(to, "an older and longer target");
  ASSERT_EQ(0, link(to.c_str(), (other / "alias").c_str()));
  ASSERT_TRUE(Rename(from, to));
  EXPECT_FALSE(fs::exists(from));
  EXPECT_EQ("across", ReadFile(to));
  EXPECT_EQ(fs::perms{0640}, fs::status(to).permissions());
  EXPECT_EQ("an older and longer target", ReadFile(other / "alias"));
  EXPECT_EQ(3, EntriesOf(other.path()));
}

TEST(FileSystem, CopyFileCopiesEveryByteAndTruncatesTheTarget) {
  TempDir dir;
  const std::string small = dir / "small", copy = dir / "copy";
  std::string data(3 * 1024 * 1024 + 17, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>((i * 7919) >> 3);
  // A shorter source over a longer target, an empty one, and a /proc file of unknown size.
  for (const std::string& contents : {data, "abc"s, ""s}) {
    WriteFile(dir / "source", contents);
    ASSERT_TRUE(Copy(dir / "source", copy));
    EXPECT_EQ(contents, ReadFile(copy));
  }
  ASSERT_TRUE(Copy("/proc/self/status", copy));
  EXPECT_NE(std::string::npos, ReadFile(copy).find("Pid:"));

  // Refused: a missing source, a directory on either side, one file as both.
  WriteFile(small, "abc");
  const std::pair<std::string, std::string> refused[] = {
      {dir / "missing", dir / "x"}, {dir.path(), dir / "x"}, {small, dir.path()}, {small, small}};
  for (const auto& [from, to] : refused) EXPECT_FALSE(Copy(from, to)) << from << " to " << to;
  EXPECT_EQ("abc", ReadFile(small));
  EXPECT_FALSE(fs::exists(dir / "x"));
  EXPECT_FALSE(FileSystem::CopyFile(small.c_str(), nullptr) ||
               FileSystem::CopyFile(nullptr, copy.c_str()));
  if (access("/dev/full", W_OK) == 0) {  // a write that cannot complete
    EXPECT_FALSE(Copy(small, "/dev/full"));
  }
}

TEST(FileSystem, CopyFileToAFifoNeitherWaitsForAReaderNorRaisesSigpipe) {
  TempDir dir;
  const std::string fifo = dir / "fifo", source = dir / "source";
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
  WriteFile(source, std::string(std::size_t{4} * 1024 * 1024, 'x'));  // more than a pipe holds
  EXPECT_FALSE(Copy(source, fifo));
  EXPECT_EQ(ENXIO, errno);

  // A reader that leaves after one byte: EPIPE; a SIGPIPE would end this program.
  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  std::thread leaver([reader] {
    pollfd wait{reader, POLLIN, 0};
    poll(&wait, 1, -1);
    char byte = 0;
    EXPECT_GE(read(reader, &byte, 1), 0);
    close(reader);
  });
  const bool copied = Copy(source, fifo);
  const int error = errno;
  // Wakes the leaver should the copy not have opened the FIFO at all.
  const int writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (writer >= 0) close(writer);
  leaver.join();
  EXPECT_FALSE(copied);
  EXPECT_EQ(EPIPE, error);
  sigset_t pending, blocked;  // nothing pending, the thread's mask restored
  sigpending(&pending);
  pthread_sigmask(SIG_BLOCK, nullptr, &blocked);
  EXPECT_FALSE(sigismember(&pending, SIGPIPE) || sigismember(&blocked, SIGPIPE));
}

TEST(FileSystem, ComparisonsByBytesAndByLines) {
  TempDir dir;
  const std::string one = dir / "1", two = dir / "2", missing = dir / "missing";
  const std::string data(600 * 1024, 'a');  // more than a block; then the last byte differs
  // By lines, "\r\n" and a lone '\r' end a line as '\n' does.
  const std::tuple<bool, std::string, std::string, bool> cases[] = {
      {false, data, data, true},
      {false, data, data.substr(1) + "b", false},
      {false, data, data.substr(1), false},
      {true, "one\r\ntwo\r\n", "one\ntwo\n", true},
      {true, "one\rtwo\r", "one\ntwo\n", true},
      {true, "one\r\r\ntwo", "one\n\ntwo", true},
      {true, "one\r\n", "one\n\n", false},
      {true, "one\ntwo", "one\ntwo\n", false}};
  for (const auto& [text, first, second, same] : cases) {
    WriteFile(one, first);
    WriteFile(two, second);
    const auto compare = text ? &FileSystem::CompareTextFiles : &FileSystem::CompareBinaryFiles;
    EXPECT_EQ(same, compare(one.c_str(), two.c_str()))
        << first.substr(0, 16) << second.substr(0, 16);
  }
  EXPECT_FALSE(FileSystem::CompareBinaryFiles(one.c_str(), missing.c_str()) ||
               FileSystem::CompareBinaryFiles(dir.path().c_str(), dir.path().c_str()) ||
               FileSystem::CompareTextFiles(one.c_str(), missing.c_str()) ||
               FileSystem::CompareTextFiles(nullptr, one.c_str()));
}

TEST(FileSystem, BackupFileRotatesThroughCountBackups) {
  TempDir dir;
  const std::string file = dir / "data.txt";
  auto backup = [&](int n) { return file + ".~" + std::to_string(n) + "~"; };
  const std::string version[] = {"v0", "v1", "v2", "v3", "v4"};
  WriteFile(file, version[4]);
  for (int n = 1; n <= 3; ++n) WriteFile(backup(n), version[n]);
  ASSERT_TRUE(FileSystem::BackupFile(file, 3));
  for (int n = 1; n <= 3; ++n) EXPECT_EQ(version[n + 1], ReadFile(backup(n)));
  EXPECT_FALSE(fs::exists(backup(4)));
  // The first gap up to count is filled; without a count, the first free number.
  fs::remove(backup(2));
  WriteFile(file, "v5");
  ASSERT_TRUE(FileSystem::BackupFile(file, 3));
  ASSERT_TRUE(FileSystem::BackupFile(file, 0));
  EXPECT_EQ("v5v5", ReadFile(backup(2)) + ReadFile(backup(4)));

  EXPECT_FALSE(FileSystem::BackupFile(dir / "missing", 3));
  WriteFile(dir / "x~y", "guarded");
  EXPECT_FALSE(FileSystem::BackupFile(dir / "x~y", 3));
  EXPECT_FALSE(fs::exists(dir / "x~y.~1~"));
}

TEST(FileSystem, TemporaryNamesArePrefixedFromTheAlphabetAndFailuresTraced) {
  TempDir dir;
  const std::string& parent = dir.path();
  const std::string made = FileSystem::MkTempDir(parent.c_str(), "pre");
  EXPECT_TRUE(IsTempPath(made, parent, "pre") && fs::is_directory(made)) << made;
  EXPECT_EQ(fs::perms{0700}, fs::status(made).permissions());
  const std::string file = FileSystem::MkTempFile(parent.c_str(), "tmp", "dat");
  EXPECT_TRUE(IsTempPath(file, parent, "tmp", ".dat") && fs::is_regular_file(file)) << file;
  EXPECT_EQ(fs::perms{0600}, fs::status(file).permissions());
  {  // No directory: the temporary directory, its separator not doubled.
    qmk_test::ScopedEnvironment environment;
    environment.Set("QUILL_TEMP", parent + "/");
    EXPECT_TRUE(IsTempPath(FileSystem::MkTempDir("x"), parent, "x"));
    EXPECT_TRUE(IsTempPath(FileSystem::MkTempFile(nullptr, "t", ""), parent, "t"));
  }
  {  // An empty directory: the current one.
    const ScopedCurrentDirectory current(parent);
    const std::string here = FileSystem::MkTempFile("", "c", "x");
    EXPECT_TRUE(IsTempPath(here, fs::canonical(parent).string(), "c", ".x") && fs::exists(here))
        << here;
  }

  qmk_test::ScopedTraceRecorder recorder;
  const std::string missing = dir / "missing";
  EXPECT_EQ("", FileSystem::MkTempDir(missing.c_str(), "d"));
  EXPECT_EQ("", FileSystem::MkTempFile(missing.c_str(), "f", "x"));
  const auto records = recorder.log().Records();
  ASSERT_EQ(1u + 32u + 1u, records.size());
  EXPECT_EQ(dp::Error, records[0].type);
  EXPECT_EQ("dp/FileSystem", records[0].key + "/" + records[0].subKey);
  EXPECT_EQ("Failed to create temporary directory after 32 reties.", records.front().text);
  const std::string& attempt = records[1].text;
  EXPECT_EQ(0u, attempt.find(" Couldn't create temporary file \"" + missing + "/f")) << attempt;
  EXPECT_NE(std::string::npos, attempt.find(".x\" - No such file or directory.")) << attempt;
  EXPECT_EQ("Failed to create temporary File  after 32 reties.", records.back().text);
}

TEST(FileSystem, BuildPathAndDeletePathMakeAndRemoveWholeTrees) {
  TempDir dir;
  const std::string outside = dir / "outside", tree = dir / "tree";
  EXPECT_TRUE(FileSystem::BuildPath(tree + "/a/b/c/", true));
  EXPECT_TRUE(FileSystem::BuildPath(tree + "/a/b/c", true));  // all there already
  EXPECT_TRUE(FileSystem::BuildPath(tree + "/empty/file.txt", false));
  EXPECT_TRUE(fs::is_directory(tree + "/a/b/c") && fs::is_empty(tree + "/empty"));
  EXPECT_TRUE(FileSystem::BuildPath(outside + "/inner", true));
  WriteFile(outside + "/keep.txt", "keep");
  WriteFile(outside + "/inner/keep.txt", "keep");
  EXPECT_FALSE(FileSystem::BuildPath(outside + "/keep.txt/sub", true) ||
               FileSystem::BuildPath("", true));

  // Links inside the tree, or given as the tree, are unlinked, never followed.
  WriteFile(tree + "/a/b/c/.hidden", "x");
  fs::create_directory_symlink(outside, tree + "/a/link-to-dir");
  fs::create_symlink(outside + "/keep.txt", tree + "/link-to-file");
  fs::create_symlink(dir / "nowhere", tree + "/dangling");
  fs::create_directory_symlink(outside, dir / "link");
  fs::create_directory_symlink(outside, dir / "other");
  fs::create_symlink(dir / "nowhere", dir / "dangling");
  for (const std::string& path : {tree + "/", dir / "link", dir / "other/", dir / "dangling"}) {
    EXPECT_TRUE(FileSystem::DeletePath(path)) << path;
    EXPECT_FALSE(fs::exists(fs::symlink_status(path.substr(0, path.size() - path.ends_with('/')))))
        << path;
  }
  // Refused: a last name "." or "..", the root, anything but a directory or link.
  for (const std::string& path :
       {""s, "/"s, dir / "missing", outside + "/keep.txt", outside + "/inner/..",
        outside + "/inner/../", outside + "/inner/.", dir / std::string(5000, 'n')}) {
    EXPECT_FALSE(FileSystem::DeletePath(path)) << path;
  }
  // A tree deeper than any recursion goes, given by a relative path.
  std::string path = outside + "/inner/deep";
  ASSERT_EQ(0, mkdir(path.c_str(), 0700));
  for (int i = 0; i < 300; ++i) ASSERT_EQ(0, mkdir((path += "/d").c_str(), 0700));
  WriteFile(path + "/leaf", "x");
  {
    const ScopedCurrentDirectory current(outside + "/inner");
    EXPECT_FALSE(FileSystem::DeletePath(".") || FileSystem::DeletePath(".."));
    EXPECT_TRUE(FileSystem::DeletePath("deep"));
  }
  EXPECT_FALSE(fs::exists(outside + "/inner/deep"));
  EXPECT_EQ("keepkeep", ReadFile(outside + "/keep.txt") + ReadFile(outside + "/inner/keep.txt"));
}

// Threads racing for temporary names in one directory all get their own.
TEST(FileSystemRace, ConcurrentTemporaryNamesAreDistinctAndExist) {
  TempDir dir;
  constexpr int kThreads = 8, kEach = 40;
  std::vector<std::vector<std::string>> made(kThreads);
  qmk_test::RunThreads(kThreads, [&](int t) {
    for (int i = 0; i < kEach; ++i) {
      made[t].push_back(t % 2 == 0 ? FileSystem::MkTempFile(dir.path().c_str(), "r", nullptr)
                                   : FileSystem::MkTempDir(dir.path().c_str(), "r"));
    }
  });
  std::set<std::string> distinct;
  for (const auto& mine : made) {
    for (const auto& path : mine) EXPECT_TRUE(distinct.insert(path).second && fs::exists(path));
  }
  EXPECT_EQ(kThreads * kEach, EntriesOf(dir.path()));
}

}  // namespace
