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
#include <latch>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/recording_consumer.h"
#include "support/scoped_environment.h"
#include "support/temp_dir.h"

namespace {

using dp::FileSystem;
using qmk_test::ReadFile;
using qmk_test::TempDir;
using qmk_test::WriteFile;
using namespace std::string_literals;
namespace fs = std::filesystem;

// True when `path` is `parent`/`prefix`, 13 characters from the first 32 of
// the temporary names' alphabet, and `extension`.
bool IsTempPath(const std::string& path, const std::string& parent, const std::string& prefix,
                const std::string& extension = "") {
  const std::string start = parent + "/" + prefix;
  return path.size() == start.size() + 13 + extension.size() && path.starts_with(start) &&
         path.ends_with(extension) &&
         path.substr(start.size(), 13).find_first_not_of("0123456789abcdefghijklmnopqrstuv") ==
             std::string::npos;
}

bool IsCloseOnExec(int fd) { return (fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0; }

// The type and permission bits; 0 for a missing file.
mode_t ModeOf(const std::string& path) {
  struct stat status {};
  return stat(path.c_str(), &status) == 0 ? status.st_mode & (S_IFMT | 07777) : 0;
}

long EntriesOf(const std::string& directory) {
  return std::distance(fs::directory_iterator(directory), fs::directory_iterator());
}

bool Copy(const std::string& from, const std::string& to) {
  return FileSystem::CopyFile(from.c_str(), to.c_str());
}

bool Rename(const std::string& from, const std::string& to) {
  return FileSystem::RenameFile(from.c_str(), to.c_str());
}

// Makes `directory` current for the scope.
struct ScopedCurrentDirectory {
  explicit ScopedCurrentDirectory(const std::string& directory) { fs::current_path(directory); }
  ~ScopedCurrentDirectory() { fs::current_path(saved); }
  const fs::path saved = fs::current_path();
};

TEST(FileSystem, OpeningIsCloseOnExecAndReportsTheError) {
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
  auto openError = [](const char* path, const char* mode) {
    return FileSystem::qmfopen(path, mode) == nullptr ? errno : 0;
  };
  EXPECT_EQ(EISDIR, openError(dir.path().c_str(), "r"));
  EXPECT_EQ(EISDIR, openError(dir.path().c_str(), "w"));
  EXPECT_EQ(ENOENT, openError("", "r"));
  EXPECT_EQ(EINVAL, openError(nullptr, "r"));
  EXPECT_EQ(EINVAL, openError(file.c_str(), "q"));
  EXPECT_EQ(EINVAL, openError(file.c_str(), ""));
  EXPECT_EQ(EINVAL, openError(file.c_str(), nullptr));
  EXPECT_EQ(EEXIST, openError(file.c_str(), "wx"));

  FILE* result = reinterpret_cast<FILE*>(&dir);  // must be reset on failure
  EXPECT_EQ(ENOENT, FileSystem::qmfopen_s(&result, dir / "missing", "rb"));
  EXPECT_EQ(nullptr, result);
  EXPECT_EQ(EISDIR, FileSystem::qmfopen_s(&result, dir.path(), "rb"));
  EXPECT_EQ(EINVAL, FileSystem::qmfopen_s(nullptr, dir / "x", "wb"));
  ASSERT_EQ(0, FileSystem::qmfopen_s(&result, dir / "x", "wb"));
  EXPECT_TRUE(IsCloseOnExec(fileno(result)));
  std::fclose(result);

  const int fd = FileSystem::qmopen(dir / "y", O_CREAT | O_WRONLY, 0600);
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(IsCloseOnExec(fd));
  close(fd);
  EXPECT_EQ(-1, FileSystem::qmopen(dir / "missing", O_RDONLY, 0));
  EXPECT_EQ(ENOENT, errno);
}

TEST(FileSystem, ExistenceStatAndDirectoryCalls) {
  TempDir dir;
  const std::string file = dir / "f", missing = dir / "missing", sub = dir / "sub";
  WriteFile(file, "12345");
  EXPECT_TRUE(FileSystem::FileExists(file.c_str()) && FileSystem::FileReadable(file.c_str()));
  EXPECT_TRUE(FileSystem::FileExists(dir.path().c_str()));
  EXPECT_FALSE(FileSystem::FileExists(missing.c_str()));
  EXPECT_FALSE(FileSystem::FileExists(nullptr) || FileSystem::FileReadable(nullptr));
  // A trailing separator of either kind is dropped, but "/" stays itself.
  for (const std::string& path : {dir.path(), dir.path() + "/", dir.path() + "\\", "/"s}) {
    EXPECT_TRUE(FileSystem::DirExists(path.c_str())) << path;
  }
  for (const std::string& path : {file, missing, std::string(10000, 'a')}) {  // the last too long
    EXPECT_FALSE(FileSystem::DirExists(path.c_str())) << path;
  }
  EXPECT_FALSE(FileSystem::DirExists(nullptr));

  dp::FileStat stat;
  ASSERT_EQ(0, FileSystem::Stat(file.c_str(), &stat));
  EXPECT_EQ(5, stat.size);
  EXPECT_TRUE(S_ISREG(static_cast<mode_t>(stat.mode)));
  EXPECT_NEAR(static_cast<double>(std::time(nullptr)), static_cast<double>(stat.modifyTime), 60);
  EXPECT_TRUE(stat.accessTime > 0 && stat.changeTime > 0);
  ASSERT_EQ(0, FileSystem::Stat(dir.path().c_str(), &stat));
  EXPECT_EQ(0x4000u, stat.mode & 0xF000u);  // the directory bit
  EXPECT_EQ(-1, FileSystem::Stat(missing.c_str(), &stat));
  EXPECT_EQ(ENOENT, errno);
  EXPECT_EQ(-1, FileSystem::Stat(file.c_str(), nullptr));

  // The plain calls return the C library's result.
  EXPECT_EQ(0, FileSystem::Mkdir(sub.c_str()));
  const std::string canonical = fs::canonical(sub).string();
  {
    const ScopedCurrentDirectory restore(dir.path());
    EXPECT_EQ(0, FileSystem::Chdir("sub"));
    EXPECT_EQ(canonical, FileSystem::GetCurDir(false));
    EXPECT_EQ(canonical + "/", FileSystem::GetCurDir(true));
    EXPECT_EQ(canonical + "/a/../b", FileSystem::MakePathAbsolute("a/../b"));
    EXPECT_EQ(-1, FileSystem::Chdir("missing"));
  }
  EXPECT_EQ("/x/y", FileSystem::MakePathAbsolute("/x/y"));
  EXPECT_EQ("", FileSystem::MakePathAbsolute(""));
  EXPECT_EQ("", FileSystem::MakePathAbsolute(nullptr));
  EXPECT_EQ(0, FileSystem::Rmdir(sub.c_str()));
  EXPECT_EQ(0, FileSystem::Unlink(file.c_str()));
  EXPECT_EQ(-1, FileSystem::Unlink(file.c_str()));
  EXPECT_EQ(ENOENT, errno);
  EXPECT_EQ(-1, FileSystem::Unlink(nullptr));
}

TEST(FileSystem, PathsFromTheEnvironment) {
  qmk_test::ScopedEnvironment environment;
  environment.Set("HOMEDRIVE", "").Set("HOMEPATH", "").Set("HOME", "/home/someone");
  EXPECT_EQ("/home/someone", FileSystem::GetHomeDir());
  environment.Set("HOMEDRIVE", "C:").Set("HOMEPATH", "\\Users\\someone");
  EXPECT_EQ("C:\\Users\\someone", FileSystem::GetHomeDir());
  // Half of the pair is not a home directory.
  environment.Set("HOMEPATH", "");
  EXPECT_EQ("/home/someone", FileSystem::GetHomeDir());
  environment.Set("HOMEDRIVE", "").Set("HOMEPATH", "\\Users\\someone");
  EXPECT_EQ("/home/someone", FileSystem::GetHomeDir());

  environment.Set("QUILL_TEMP", "").Set("TMPDIR", "");
  EXPECT_EQ("/tmp", FileSystem::GetTempDir());
  environment.Set("TMPDIR", "/var/tmp/x");
  EXPECT_EQ("/var/tmp/x", FileSystem::GetTempDir());
  environment.Set("QUILL_TEMP", "/quill/temp");
  EXPECT_EQ("/quill/temp", FileSystem::GetTempDir());

  environment.Set("QMK_FS_VAR", "C:\\t").Set("QMK_FS_UNSET", "");
  auto expand = [](std::string path, bool expected) {
    EXPECT_EQ(expected, FileSystem::PreProcessEnvVarInPath(path)) << path;
    return path;
  };
  const std::pair<const char*, const char*> expansions[] = {
      {"plain/path", "plain/path"}, {"", ""},
      {"$QMK_FS_VAR/x", "C:\\t/x"}, {"$QMK_FS_VAR\\x", "C:\\t\\x"},
      {"$QMK_FS_VAR", "C:\\t"},     {"$(QMK_FS_VAR)\\x", "C:\\t\\x"},
      {"$(QMK_FS_VAR)", "C:\\t"}};
  for (const auto& [path, expanded] : expansions) EXPECT_EQ(expanded, expand(path, true));
  // Failures leave the path as it was; a '/' ends the name even after a '\'.
  for (const char* path : {"$QMK_FS_VAR\\x/y", "$(QMK_FS_UNSET)\\x", "$QMK_FS_UNSET/x", "$", "$()",
                           "$()x", "$(QMK_FS_VAR", "$/x"}) {
    EXPECT_EQ(path, expand(path, false));
  }
}

TEST(FileSystem, RenameFileReplacesAFileButNeverWithADirectory) {
  TempDir dir;
  const std::string from = dir / "from", to = dir / "to";
  WriteFile(from, "new");
  WriteFile(to, "old");
  EXPECT_TRUE(Rename(from, to));
  EXPECT_EQ("new", ReadFile(to));
  EXPECT_FALSE(fs::exists(from));
  // A missing source, a null name or a missing directory: the target stays.
  EXPECT_FALSE(Rename(from, to));
  EXPECT_FALSE(FileSystem::RenameFile(to.c_str(), nullptr));
  EXPECT_FALSE(FileSystem::RenameFile(nullptr, to.c_str()));
  EXPECT_FALSE(Rename(to, dir / "missing/to"));
  EXPECT_EQ("new", ReadFile(to));

  // Not even an empty directory is replaced; a free name is fine.
  fs::create_directory(dir / "tree");
  WriteFile(dir / "tree/inside", "kept");
  fs::create_directory(dir / "empty");
  EXPECT_FALSE(Rename(dir / "tree", dir / "empty"));
  EXPECT_EQ(EEXIST, errno);
  EXPECT_TRUE(fs::is_empty(dir / "empty"));
  EXPECT_FALSE(Rename(dir / "tree", to));
  EXPECT_EQ("new", ReadFile(to));
  EXPECT_TRUE(Rename(dir / "tree", dir / "moved"));
  EXPECT_EQ("kept", ReadFile(dir / "moved/inside"));
  EXPECT_FALSE(fs::exists(dir / "tree"));
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
  // A target the copy cannot be renamed over: both sides stay, and the copy
  // made on the way is gone.
  fs::create_directory(other / "target");
  WriteFile(other / "target/inside", "target");
  EXPECT_FALSE(Rename(from, other / "target"));
  EXPECT_EQ("across", ReadFile(from));
  EXPECT_EQ("target", ReadFile(other / "target/inside"));
  EXPECT_EQ(1, EntriesOf(other.path()));
  // A second name of the old target shows that it is replaced whole, not
  // written over in place.
  WriteFile(to, "an older and longer target");
  ASSERT_EQ(0, link(to.c_str(), (other / "alias").c_str()));
  ASSERT_TRUE(Rename(from, to));
  EXPECT_FALSE(fs::exists(from));
  EXPECT_EQ("across", ReadFile(to));
  EXPECT_EQ(S_IFREG | 0640u, ModeOf(to));
  EXPECT_EQ("an older and longer target", ReadFile(other / "alias"));
  EXPECT_EQ(3, EntriesOf(other.path()));
}

TEST(FileSystem, CopyFileCopiesEveryByteAndTruncatesTheTarget) {
  TempDir dir;
  const std::string small = dir / "small", copy = dir / "copy";
  std::string data(3 * 1024 * 1024 + 17, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>((i * 7919) >> 3);
  // A shorter source over a longer target, an empty one, and a file of
  // /proc, which reports no size but has contents.
  for (const std::string& contents : {data, "abc"s, ""s}) {
    WriteFile(dir / "source", contents);
    ASSERT_TRUE(Copy(dir / "source", copy));
    EXPECT_EQ(contents, ReadFile(copy));
  }
  ASSERT_TRUE(Copy("/proc/self/status", copy));
  EXPECT_NE(std::string::npos, ReadFile(copy).find("Pid:"));

  WriteFile(small, "abc");
  EXPECT_FALSE(Copy(dir / "missing", dir / "x"));
  EXPECT_FALSE(fs::exists(dir / "x"));
  EXPECT_FALSE(Copy(small, dir / "missing/x"));
  EXPECT_FALSE(Copy(dir.path(), dir / "x"));
  EXPECT_FALSE(Copy(small, dir.path()));
  EXPECT_FALSE(Copy(small, small));  // one file as both: refused, the contents kept
  EXPECT_EQ("abc", ReadFile(small));
  EXPECT_FALSE(FileSystem::CopyFile(small.c_str(), nullptr));
  EXPECT_FALSE(FileSystem::CopyFile(nullptr, copy.c_str()));
  // A write that cannot complete.
  if (access("/dev/full", W_OK) == 0) {
    EXPECT_FALSE(Copy(small, "/dev/full"));
  }
}

TEST(FileSystem, CopyFileToAFifoNeitherWaitsForAReaderNorRaisesSigpipe) {
  TempDir dir;
  const std::string fifo = dir / "fifo", source = dir / "source";
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
  WriteFile(source, std::string(std::size_t{4} * 1024 * 1024, 'x'));  // more than a pipe holds
  // No reader: false at once instead of waiting for one.
  EXPECT_FALSE(Copy(source, fifo));
  EXPECT_EQ(ENXIO, errno);

  // A reader that leaves after the first byte: the copy fails with EPIPE.
  // Were SIGPIPE raised, its default action would end this test program.
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
  sigset_t pending, blocked;
  sigemptyset(&pending);
  sigpending(&pending);
  pthread_sigmask(SIG_BLOCK, nullptr, &blocked);
  EXPECT_EQ(0, sigismember(&pending, SIGPIPE));
  EXPECT_EQ(0, sigismember(&blocked, SIGPIPE));  // the thread's mask is back
}

TEST(FileSystem, ComparisonsByBytesAndByLines) {
  TempDir dir;
  const std::string one = dir / "1", two = dir / "2", missing = dir / "missing";
  auto compare = [&](auto function, const std::string& first, const std::string& second) {
    WriteFile(one, first);
    WriteFile(two, second);
    return function(one.c_str(), two.c_str());
  };
  const auto binary = &FileSystem::CompareBinaryFiles;
  const std::string data(600 * 1024, 'a');  // more than a block
  EXPECT_TRUE(compare(binary, data, data));
  EXPECT_FALSE(compare(binary, data, data.substr(1) + "b"));  // the last byte differs
  EXPECT_FALSE(compare(binary, data, data.substr(1)));
  EXPECT_TRUE(compare(binary, "", ""));
  EXPECT_FALSE(FileSystem::CompareBinaryFiles(one.c_str(), missing.c_str()));
  EXPECT_FALSE(FileSystem::CompareBinaryFiles(dir.path().c_str(), dir.path().c_str()));

  const auto text = &FileSystem::CompareTextFiles;
  EXPECT_TRUE(compare(text, "one\r\ntwo\r\n", "one\ntwo\n"));
  EXPECT_TRUE(compare(text, "one\rtwo\r", "one\ntwo\n"));  // lone carriage returns
  EXPECT_TRUE(compare(text, "one\r\r\ntwo", "one\n\ntwo"));
  EXPECT_TRUE(compare(text, "", ""));
  EXPECT_FALSE(compare(text, "one\r\n", "one\n\n"));
  EXPECT_FALSE(compare(text, "one\ntwo", "one\ntwo\n"));
  EXPECT_FALSE(compare(text, "one\ntwo", "one\nTwo"));
  EXPECT_FALSE(FileSystem::CompareTextFiles(one.c_str(), missing.c_str()));
  EXPECT_FALSE(FileSystem::CompareTextFiles(nullptr, one.c_str()));
}

TEST(FileSystem, BackupFileRotatesThroughCountBackups) {
  TempDir dir;
  const std::string file = dir / "data.txt";
  auto backup = [&](int n) { return file + ".~" + std::to_string(n) + "~"; };
  WriteFile(file, "v4");
  for (int n = 1; n <= 3; ++n) {
    std::string text = "v";  // not "v" + ...: g++ 12 -O3 warns falsely on it
    WriteFile(backup(n), text += std::to_string(n));
  }
  ASSERT_TRUE(FileSystem::BackupFile(file, 3));
  EXPECT_EQ("v2", ReadFile(backup(1)));
  EXPECT_EQ("v3", ReadFile(backup(2)));
  EXPECT_EQ("v4", ReadFile(backup(3)));
  EXPECT_FALSE(fs::exists(backup(4)));
  // The first missing name up to count is filled.
  fs::remove(backup(2));
  WriteFile(file, "v5");
  ASSERT_TRUE(FileSystem::BackupFile(file, 3));
  EXPECT_EQ("v5", ReadFile(backup(2)));
  // Without a count: the first free number.
  ASSERT_TRUE(FileSystem::BackupFile(file, 0));
  EXPECT_EQ("v5", ReadFile(backup(4)));

  EXPECT_FALSE(FileSystem::BackupFile(dir / "missing", 3));
  WriteFile(dir / "x~y", "guarded");
  EXPECT_FALSE(FileSystem::BackupFile(dir / "x~y", 3));
  EXPECT_FALSE(fs::exists(dir / "x~y.~1~"));
}

TEST(FileSystem, TemporaryNamesArePrefixedFromTheAlphabetAndFailuresTraced) {
  TempDir dir;
  const std::string& parent = dir.path();
  const std::string made = FileSystem::MkTempDir(parent.c_str(), "pre");
  EXPECT_TRUE(IsTempPath(made, parent, "pre")) << made;
  EXPECT_EQ(S_IFDIR | 0700u, ModeOf(made));
  EXPECT_TRUE(IsTempPath(FileSystem::MkTempDir(parent.c_str(), nullptr), parent, ""));
  const std::string file = FileSystem::MkTempFile(parent.c_str(), "tmp", "dat");
  EXPECT_TRUE(IsTempPath(file, parent, "tmp", ".dat")) << file;
  EXPECT_EQ(S_IFREG | 0600u, ModeOf(file));
  EXPECT_EQ(0u, fs::file_size(file));
  EXPECT_TRUE(IsTempPath(FileSystem::MkTempFile(parent.c_str(), "p", nullptr), parent, "p"));
  {  // No directory: the temporary directory.
    qmk_test::ScopedEnvironment environment;
    environment.Set("QUILL_TEMP", parent + "/");
    EXPECT_TRUE(IsTempPath(FileSystem::MkTempDir("x"), parent, "x"));
    environment.Set("QUILL_TEMP", parent);
    EXPECT_TRUE(IsTempPath(FileSystem::MkTempFile(nullptr, "t", ""), parent, "t"));
  }
  {  // An empty directory: the current one.
    const ScopedCurrentDirectory current(parent);
    const std::string here = FileSystem::MkTempFile("", "c", "x");
    EXPECT_TRUE(IsTempPath(here, fs::canonical(parent).string(), "c", ".x")) << here;
    EXPECT_TRUE(fs::exists(here));
  }

  qmk_test::ScopedTraceRecorder recorder;
  const std::string missing = dir / "missing";
  EXPECT_EQ("", FileSystem::MkTempDir(missing.c_str(), "d"));
  EXPECT_EQ("", FileSystem::MkTempFile(missing.c_str(), "f", "x"));
  const auto records = recorder.log().Records();
  ASSERT_EQ(1u + 32u + 1u, records.size());
  for (const auto& record : records) {
    EXPECT_EQ(dp::Error, record.type);
    EXPECT_EQ("dp", record.key);
    EXPECT_EQ("FileSystem", record.subKey);
  }
  EXPECT_EQ("Failed to create temporary directory after 32 reties.", records.front().text);
  const std::string& attempt = records[1].text;
  EXPECT_EQ(0u, attempt.find(" Couldn't create temporary file \"" + missing + "/f")) << attempt;
  EXPECT_NE(std::string::npos, attempt.find(".x\" - No such file or directory.")) << attempt;
  EXPECT_EQ("Failed to create temporary File  after 32 reties.", records.back().text);
}

TEST(FileSystem, BuildPathAndDeletePathMakeAndRemoveWholeTrees) {
  TempDir dir;
  const std::string outside = dir / "outside", tree = dir / "tree";
  EXPECT_TRUE(FileSystem::BuildPath(tree + "/a/b/c", true));
  EXPECT_TRUE(fs::is_directory(tree + "/a/b/c"));
  EXPECT_TRUE(FileSystem::BuildPath(tree + "/a/b/c/", true));  // all there already
  EXPECT_TRUE(FileSystem::BuildPath(tree + "/empty/file.txt", false));
  EXPECT_TRUE(fs::is_empty(tree + "/empty"));
  {
    const ScopedCurrentDirectory current(dir.path());
    EXPECT_TRUE(FileSystem::BuildPath("outside/inner", true));
  }
  EXPECT_TRUE(fs::is_directory(outside + "/inner"));
  WriteFile(outside + "/keep.txt", "keep");
  WriteFile(outside + "/inner/keep.txt", "keep");
  auto kept = [&] {
    return ReadFile(outside + "/keep.txt") + ReadFile(outside + "/inner/keep.txt");
  };
  EXPECT_FALSE(FileSystem::BuildPath(outside + "/keep.txt/sub", true));
  EXPECT_FALSE(FileSystem::BuildPath("", true));

  // Links inside the tree are unlinked, never followed.
  WriteFile(tree + "/top.txt", "1");
  WriteFile(tree + "/a/b/c/deep.txt", "2");
  WriteFile(tree + "/.hidden", "3");
  fs::create_directory_symlink(outside, tree + "/a/link-to-dir");
  fs::create_symlink(outside + "/keep.txt", tree + "/link-to-file");
  fs::create_symlink(dir / "nowhere", tree + "/dangling");
  EXPECT_TRUE(FileSystem::DeletePath(tree + "/"));
  EXPECT_FALSE(fs::exists(tree));
  // So is a link given as the tree, with or without a trailing '/'.
  fs::create_directory_symlink(outside, dir / "link");
  fs::create_directory_symlink(outside, dir / "other");
  fs::create_symlink(dir / "nowhere", dir / "dangling");
  for (const std::string& link : {dir / "link", dir / "other/", dir / "dangling"}) {
    EXPECT_TRUE(FileSystem::DeletePath(link)) << link;
    EXPECT_FALSE(fs::is_symlink(link.substr(0, link.find_last_not_of('/') + 1))) << link;
  }
  // Refused: a last name of "." or "..", the root, and anything but a
  // directory or a link.
  for (const std::string& path :
       {dir / "link", ""s, "/"s, dir / "missing", outside + "/keep.txt", outside + "/inner/..",
        outside + "/inner/../", outside + "/inner/.", dir / std::string(5000, 'n')}) {
    EXPECT_FALSE(FileSystem::DeletePath(path)) << path;
  }
  ASSERT_EQ("keepkeep", kept());
  {
    const ScopedCurrentDirectory current(outside + "/inner");
    EXPECT_FALSE(FileSystem::DeletePath("."));
    EXPECT_FALSE(FileSystem::DeletePath(".."));
  }
  EXPECT_EQ("keepkeep", kept());

  // A tree deeper than any recursion should go, given by a relative path.
  std::string path = dir / "deep";
  ASSERT_EQ(0, mkdir(path.c_str(), 0700));
  for (int i = 0; i < 300; ++i) ASSERT_EQ(0, mkdir((path += "/d").c_str(), 0700));
  WriteFile(path + "/leaf", "x");
  {
    const ScopedCurrentDirectory current(dir.path());
    EXPECT_TRUE(FileSystem::DeletePath("deep"));
  }
  EXPECT_FALSE(fs::exists(dir / "deep"));
}

// Threads racing for temporary names in one directory all get their own.
TEST(FileSystemRace, ConcurrentTemporaryNamesAreDistinctAndExist) {
  TempDir dir;
  constexpr int kThreads = 8, kEach = 40;
  std::latch start(kThreads);
  std::vector<std::vector<std::string>> made(kThreads);
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        start.arrive_and_wait();
        for (int i = 0; i < kEach; ++i) {
          made[t].push_back(t % 2 == 0 ? FileSystem::MkTempFile(dir.path().c_str(), "r", nullptr)
                                       : FileSystem::MkTempDir(dir.path().c_str(), "r"));
        }
      });
    }
  }
  std::set<std::string> distinct;
  for (const auto& mine : made) {
    for (const auto& path : mine) EXPECT_TRUE(distinct.insert(path).second && fs::exists(path));
  }
  EXPECT_EQ(kThreads * kEach, EntriesOf(dir.path()));
}

}  // namespace
