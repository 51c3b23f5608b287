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
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <iterator>
#include <latch>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/recording_consumer.h"
#include "support/scoped_environment.h"
#include "support/temp_dir.h"

namespace {

using dp::FileSystem;
using qmk_test::ReadFile;
using qmk_test::TempDir;
using qmk_test::WriteFile;

namespace fs = std::filesystem;

// The characters a temporary name can hold: the alphabet's first 32.
constexpr const char* kNameCharacters = "0123456789abcdefghijklmnopqrstuv";

// True when `name` is `prefix` followed by 13 characters of kNameCharacters.
bool IsTempName(const std::string& name, const std::string& prefix) {
  if (name.size() != prefix.size() + 13 || name.compare(0, prefix.size(), prefix) != 0) {
    return false;
  }
  return name.find_first_not_of(kNameCharacters, prefix.size()) == std::string::npos;
}

bool IsCloseOnExec(int fd) { return (fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0; }

mode_t PermissionsOf(const std::string& path) {
  struct stat status {};
  stat(path.c_str(), &status);
  return status.st_mode & 07777;
}

// Restores the current directory at the end of the scope.
class ScopedCurrentDirectory {
 public:
  explicit ScopedCurrentDirectory(const std::string& directory) : saved_(fs::current_path()) {
    fs::current_path(directory);
  }
  ~ScopedCurrentDirectory() { fs::current_path(saved_); }
  ScopedCurrentDirectory(const ScopedCurrentDirectory&) = delete;
  ScopedCurrentDirectory& operator=(const ScopedCurrentDirectory&) = delete;

 private:
  fs::path saved_;
};

TEST(FileSystem, QmfopenOpensCloseOnExecAndRefusesDirectories) {
  TempDir dir;
  const std::string file = dir / "f.txt";
  FILE* out = FileSystem::qmfopen(file, "wb");
  ASSERT_NE(nullptr, out);
  EXPECT_TRUE(IsCloseOnExec(fileno(out)));
  std::fputs("hello", out);
  std::fclose(out);

  FILE* in = FileSystem::qmfopen(file.c_str(), "rt, ccs=UTF-8");  // Windows letters are ignored
  ASSERT_NE(nullptr, in);
  char text[16] = {};
  EXPECT_EQ(5u, std::fread(text, 1, sizeof text, in));
  EXPECT_STREQ("hello", text);
  std::fclose(in);

  FILE* append = FileSystem::qmfopen(file, "ab+");
  ASSERT_NE(nullptr, append);
  std::fputs("!", append);
  std::fclose(append);
  EXPECT_EQ("hello!", ReadFile(file));

  EXPECT_EQ(nullptr, FileSystem::qmfopen(dir.path(), "r"));
  EXPECT_EQ(EISDIR, errno);
  EXPECT_EQ(nullptr, FileSystem::qmfopen(dir.path(), "w"));
  EXPECT_EQ(EISDIR, errno);
  EXPECT_EQ(nullptr, FileSystem::qmfopen("", "r"));
  EXPECT_EQ(nullptr, FileSystem::qmfopen(static_cast<const char*>(nullptr), "r"));
  EXPECT_EQ(nullptr, FileSystem::qmfopen(file, "q"));
  EXPECT_EQ(EINVAL, errno);
  EXPECT_EQ(nullptr, FileSystem::qmfopen(file, ""));
  EXPECT_EQ(EINVAL, errno);
  EXPECT_EQ(nullptr, FileSystem::qmfopen(file, nullptr));
  EXPECT_EQ(nullptr, FileSystem::qmfopen(file, "wx"));
  EXPECT_EQ(EEXIST, errno);
}

TEST(FileSystem, QmfopenSReturnsTheErrorCode) {
  TempDir dir;
  FILE* file = reinterpret_cast<FILE*>(&dir);  // must be reset on failure
  EXPECT_EQ(ENOENT, FileSystem::qmfopen_s(&file, dir / "missing", "rb"));
  EXPECT_EQ(nullptr, file);
  EXPECT_EQ(EISDIR, FileSystem::qmfopen_s(&file, dir.path(), "rb"));
  EXPECT_EQ(nullptr, file);
  EXPECT_EQ(EINVAL, FileSystem::qmfopen_s(nullptr, dir / "x", "wb"));
  ASSERT_EQ(0, FileSystem::qmfopen_s(&file, dir / "x", "wb"));
  ASSERT_NE(nullptr, file);
  EXPECT_TRUE(IsCloseOnExec(fileno(file)));
  std::fclose(file);
}

TEST(FileSystem, QmopenAddsCloseOnExec) {
  TempDir dir;
  const int fd = FileSystem::qmopen(dir / "x", O_CREAT | O_WRONLY, 0600);
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(IsCloseOnExec(fd));
  close(fd);
  EXPECT_EQ(-1, FileSystem::qmopen(dir / "missing", O_RDONLY, 0));
  EXPECT_EQ(ENOENT, errno);
}

TEST(FileSystem, ExistenceTests) {
  TempDir dir;
  const std::string file = dir / "f";
  WriteFile(file, "x");
  EXPECT_TRUE(FileSystem::FileExists(file.c_str()));
  EXPECT_TRUE(FileSystem::FileReadable(file.c_str()));
  EXPECT_TRUE(FileSystem::FileExists(dir.path().c_str()));
  EXPECT_FALSE(FileSystem::FileExists((dir / "missing").c_str()));
  EXPECT_FALSE(FileSystem::FileExists(nullptr));
  EXPECT_FALSE(FileSystem::FileReadable(nullptr));

  EXPECT_TRUE(FileSystem::DirExists(dir.path().c_str()));
  EXPECT_TRUE(FileSystem::DirExists((dir.path() + "/").c_str()));
  EXPECT_TRUE(FileSystem::DirExists((dir.path() + "\\").c_str()));
  EXPECT_TRUE(FileSystem::DirExists("/"));
  EXPECT_FALSE(FileSystem::DirExists(file.c_str()));
  EXPECT_FALSE(FileSystem::DirExists((dir / "missing").c_str()));
  EXPECT_FALSE(FileSystem::DirExists(nullptr));
  EXPECT_FALSE(FileSystem::DirExists(std::string(10000, 'a').c_str()));  // too long
}

TEST(FileSystem, StatFillsTheRecord) {
  TempDir dir;
  const std::string file = dir / "f";
  WriteFile(file, "12345");
  dp::FileStat stat;
  ASSERT_EQ(0, FileSystem::Stat(file.c_str(), &stat));
  EXPECT_EQ(5, stat.size);
  EXPECT_TRUE(S_ISREG(static_cast<mode_t>(stat.mode)));
  EXPECT_NEAR(static_cast<double>(std::time(nullptr)), static_cast<double>(stat.modifyTime), 60);
  EXPECT_GT(stat.accessTime, 0);
  EXPECT_GT(stat.changeTime, 0);
  ASSERT_EQ(0, FileSystem::Stat(dir.path().c_str(), &stat));
  EXPECT_EQ(0x4000u, stat.mode & 0xF000u);  // the directory bit
  EXPECT_EQ(-1, FileSystem::Stat((dir / "missing").c_str(), &stat));
  EXPECT_EQ(ENOENT, errno);
  EXPECT_EQ(-1, FileSystem::Stat(file.c_str(), nullptr));
}

TEST(FileSystem, DirectoryCallsReturnTheCLibraryResult) {
  TempDir dir;
  const std::string sub = dir / "sub";
  EXPECT_EQ(0, FileSystem::Mkdir(sub.c_str()));
  EXPECT_EQ(-1, FileSystem::Mkdir(sub.c_str()));
  EXPECT_EQ(EEXIST, errno);
  {
    const std::string saved = FileSystem::GetCurDir(false);
    EXPECT_EQ(0, FileSystem::Chdir(sub.c_str()));
    EXPECT_EQ(fs::canonical(sub).string(), FileSystem::GetCurDir(false));
    EXPECT_EQ(fs::canonical(sub).string() + "/", FileSystem::GetCurDir(true));
    EXPECT_EQ(0, FileSystem::Chdir(saved.c_str()));
  }
  EXPECT_EQ(-1, FileSystem::Chdir((dir / "missing").c_str()));
  EXPECT_EQ(0, FileSystem::Rmdir(sub.c_str()));
  EXPECT_EQ(-1, FileSystem::Rmdir(sub.c_str()));
  WriteFile(dir / "f", "x");
  EXPECT_EQ(0, FileSystem::Unlink((dir / "f").c_str()));
  EXPECT_EQ(-1, FileSystem::Unlink((dir / "f").c_str()));
  EXPECT_EQ(ENOENT, errno);
  EXPECT_EQ(-1, FileSystem::Unlink(nullptr));
}

TEST(FileSystem, RenameFileReplacesTheTargetAndRefusesAMissingSource) {
  TempDir dir;
  const std::string from = dir / "from", to = dir / "to";
  WriteFile(from, "new");
  WriteFile(to, "old");
  EXPECT_TRUE(FileSystem::RenameFile(from.c_str(), to.c_str()));
  EXPECT_EQ("new", ReadFile(to));
  EXPECT_FALSE(fs::exists(from));

  // The source is gone now: nothing happens, the target stays.
  EXPECT_FALSE(FileSystem::RenameFile(from.c_str(), to.c_str()));
  EXPECT_EQ("new", ReadFile(to));
  EXPECT_FALSE(FileSystem::RenameFile(to.c_str(), nullptr));
  EXPECT_FALSE(FileSystem::RenameFile(nullptr, to.c_str()));
  EXPECT_TRUE(fs::exists(to));
  // A target in a missing directory.
  EXPECT_FALSE(FileSystem::RenameFile(to.c_str(), (dir / "missing/to").c_str()));
  EXPECT_TRUE(fs::exists(to));
}

TEST(FileSystem, RenameFileNeverReplacesATargetWithADirectory) {
  TempDir dir;
  fs::create_directory(dir / "from");
  WriteFile(dir / "from/inside", "kept");
  fs::create_directory(dir / "empty");
  EXPECT_FALSE(FileSystem::RenameFile((dir / "from").c_str(), (dir / "empty").c_str()));
  EXPECT_EQ(EEXIST, errno);
  EXPECT_TRUE(fs::is_directory(dir / "empty"));
  EXPECT_TRUE(fs::is_empty(dir / "empty"));
  EXPECT_EQ("kept", ReadFile(dir / "from/inside"));

  WriteFile(dir / "file", "file");
  EXPECT_FALSE(FileSystem::RenameFile((dir / "from").c_str(), (dir / "file").c_str()));
  EXPECT_EQ("file", ReadFile(dir / "file"));
  EXPECT_EQ("kept", ReadFile(dir / "from/inside"));

  // A free name is fine.
  EXPECT_TRUE(FileSystem::RenameFile((dir / "from").c_str(), (dir / "moved").c_str()));
  EXPECT_EQ("kept", ReadFile(dir / "moved/inside"));
  EXPECT_FALSE(fs::exists(dir / "from"));
}

// A directory of its own on another file system than TempDir's (the shared
// memory one), removed with everything in it; empty when there is none.
class OtherFileSystemDir {
 public:
  explicit OtherFileSystemDir(const std::string& near) {
    struct stat here {};
    struct stat shm {};
    if (stat(near.c_str(), &here) != 0 || stat("/dev/shm", &shm) != 0 ||
        here.st_dev == shm.st_dev || access("/dev/shm", W_OK) != 0) {
      return;
    }
    std::string pattern = "/dev/shm/qmktest-XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~OtherFileSystemDir() {
    std::error_code ignored;
    if (!path_.empty()) fs::remove_all(path_, ignored);
  }
  OtherFileSystemDir(const OtherFileSystemDir&) = delete;
  OtherFileSystemDir& operator=(const OtherFileSystemDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

TEST(FileSystem, RenameFileAcrossFileSystemsCopiesAndUnlinks) {
  TempDir dir;
  const OtherFileSystemDir other(dir.path());
  if (other.path().empty()) GTEST_SKIP() << "no second file system to rename across";
  const std::string from = dir / "from";
  const std::string to = other / "to";
  WriteFile(from, "across");
  chmod(from.c_str(), 0640);
  WriteFile(to, "an older and longer target");
  // A second name of the old target shows whether it was written over in
  // place (it must not be: the new file replaces it whole).
  ASSERT_EQ(0, link(to.c_str(), (other / "alias").c_str()));
  ASSERT_TRUE(FileSystem::RenameFile(from.c_str(), to.c_str()));
  EXPECT_FALSE(fs::exists(from));
  EXPECT_EQ("across", ReadFile(to));
  EXPECT_EQ(0640u, PermissionsOf(to));
  EXPECT_EQ("an older and longer target", ReadFile(other / "alias"));
  // Nothing else is left in the target's directory.
  EXPECT_EQ(2, std::distance(fs::directory_iterator(other.path()), fs::directory_iterator()));
}

TEST(FileSystem, RenameFileAcrossFileSystemsKeepsBothSidesOnFailure) {
  TempDir dir;
  const OtherFileSystemDir other(dir.path());
  if (other.path().empty()) GTEST_SKIP() << "no second file system to rename across";
  const std::string from = dir / "from";
  WriteFile(from, "source");
  // A target that the copy cannot be renamed over: a directory.
  fs::create_directory(other / "target");
  WriteFile(other / "target/inside", "target");
  EXPECT_FALSE(FileSystem::RenameFile(from.c_str(), (other / "target").c_str()));
  EXPECT_EQ("source", ReadFile(from));
  EXPECT_EQ("target", ReadFile(other / "target/inside"));
  // The copy made on the way is gone.
  EXPECT_EQ(1, std::distance(fs::directory_iterator(other.path()), fs::directory_iterator()));
}

TEST(FileSystem, CopyFileCopiesEveryByteAndTruncatesTheTarget) {
  TempDir dir;
  std::string data(3 * 1024 * 1024 + 17, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>((i * 7919) >> 3);
  WriteFile(dir / "big", data);
  ASSERT_TRUE(FileSystem::CopyFile((dir / "big").c_str(), (dir / "copy").c_str()));
  EXPECT_EQ(data, ReadFile(dir / "copy"));

  // A shorter source over a longer existing target.
  WriteFile(dir / "small", "abc");
  ASSERT_TRUE(FileSystem::CopyFile((dir / "small").c_str(), (dir / "copy").c_str()));
  EXPECT_EQ("abc", ReadFile(dir / "copy"));

  WriteFile(dir / "empty", "");
  ASSERT_TRUE(FileSystem::CopyFile((dir / "empty").c_str(), (dir / "copy").c_str()));
  EXPECT_EQ("", ReadFile(dir / "copy"));

  // A file of /proc reports no size but has contents.
  ASSERT_TRUE(FileSystem::CopyFile("/proc/self/status", (dir / "status").c_str()));
  EXPECT_NE(std::string::npos, ReadFile(dir / "status").find("Pid:"));
}

TEST(FileSystem, CopyFileFailures) {
  TempDir dir;
  WriteFile(dir / "f", "contents");
  EXPECT_FALSE(FileSystem::CopyFile((dir / "missing").c_str(), (dir / "x").c_str()));
  EXPECT_FALSE(fs::exists(dir / "x"));
  EXPECT_FALSE(FileSystem::CopyFile((dir / "f").c_str(), nullptr));
  EXPECT_FALSE(FileSystem::CopyFile(nullptr, (dir / "x").c_str()));
  EXPECT_FALSE(FileSystem::CopyFile((dir / "f").c_str(), (dir / "missing/x").c_str()));
  EXPECT_FALSE(FileSystem::CopyFile(dir.path().c_str(), (dir / "x").c_str()));
  EXPECT_FALSE(FileSystem::CopyFile((dir / "f").c_str(), dir.path().c_str()));
  // One file as both: refused, and the file keeps its contents.
  EXPECT_FALSE(FileSystem::CopyFile((dir / "f").c_str(), (dir / "f").c_str()));
  EXPECT_EQ("contents", ReadFile(dir / "f"));
  // A write that cannot complete.
  if (access("/dev/full", W_OK) == 0) {
    EXPECT_FALSE(FileSystem::CopyFile((dir / "f").c_str(), "/dev/full"));
  }
}

bool SigpipePending() {
  sigset_t pending;
  sigemptyset(&pending);
  sigpending(&pending);
  return sigismember(&pending, SIGPIPE) == 1;
}

bool SigpipeBlocked() {
  sigset_t mask;
  sigemptyset(&mask);
  pthread_sigmask(SIG_BLOCK, nullptr, &mask);
  return sigismember(&mask, SIGPIPE) == 1;
}

TEST(FileSystem, CopyFileToAFifoNeitherWaitsForAReaderNorRaisesSigpipe) {
  TempDir dir;
  const std::string fifo = dir / "fifo", source = dir / "source";
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
  WriteFile(source, std::string(std::size_t{4} * 1024 * 1024, 'x'));  // more than a pipe holds

  // No reader: false at once instead of waiting for one.
  EXPECT_FALSE(FileSystem::CopyFile(source.c_str(), fifo.c_str()));
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
  const bool copied = FileSystem::CopyFile(source.c_str(), fifo.c_str());
  const int error = errno;
  // Wakes the leaver should the copy not have opened the FIFO at all.
  const int writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (writer >= 0) close(writer);
  leaver.join();
  EXPECT_FALSE(copied);
  EXPECT_EQ(EPIPE, error);
  EXPECT_FALSE(SigpipePending());
  EXPECT_FALSE(SigpipeBlocked());  // the thread's mask is back
}

TEST(FileSystem, CompareBinaryFiles) {
  TempDir dir;
  std::string data(600 * 1024, 'a');
  WriteFile(dir / "a", data);
  WriteFile(dir / "b", data);
  EXPECT_TRUE(FileSystem::CompareBinaryFiles((dir / "a").c_str(), (dir / "b").c_str()));
  data.back() = 'b';
  WriteFile(dir / "b", data);
  EXPECT_FALSE(FileSystem::CompareBinaryFiles((dir / "a").c_str(), (dir / "b").c_str()));
  WriteFile(dir / "b", data.substr(1));
  EXPECT_FALSE(FileSystem::CompareBinaryFiles((dir / "a").c_str(), (dir / "b").c_str()));
  WriteFile(dir / "e1", "");
  WriteFile(dir / "e2", "");
  EXPECT_TRUE(FileSystem::CompareBinaryFiles((dir / "e1").c_str(), (dir / "e2").c_str()));
  EXPECT_FALSE(FileSystem::CompareBinaryFiles((dir / "a").c_str(), (dir / "missing").c_str()));
  EXPECT_FALSE(FileSystem::CompareBinaryFiles(dir.path().c_str(), dir.path().c_str()));
}

TEST(FileSystem, CompareTextFilesNormalisesLineEnds) {
  TempDir dir;
  auto compare = [&](const std::string& first, const std::string& second) {
    WriteFile(dir / "1", first);
    WriteFile(dir / "2", second);
    return FileSystem::CompareTextFiles((dir / "1").c_str(), (dir / "2").c_str());
  };
  EXPECT_TRUE(compare("one\r\ntwo\r\n", "one\ntwo\n"));
  EXPECT_TRUE(compare("one\rtwo\r", "one\ntwo\n"));  // lone carriage returns
  EXPECT_TRUE(compare("one\r\r\ntwo", "one\n\ntwo"));
  EXPECT_TRUE(compare("", ""));
  EXPECT_FALSE(compare("one\r\n", "one\n\n"));
  EXPECT_FALSE(compare("one\ntwo", "one\ntwo\n"));
  EXPECT_FALSE(compare("one\ntwo", "one\nTwo"));
  EXPECT_FALSE(FileSystem::CompareTextFiles((dir / "1").c_str(), (dir / "missing").c_str()));
  EXPECT_FALSE(FileSystem::CompareTextFiles(nullptr, (dir / "1").c_str()));
}

TEST(FileSystem, MakePathAbsolute) {
  const std::string current = FileSystem::GetCurDir(true);
  ASSERT_FALSE(current.empty());
  EXPECT_EQ(current + "a/../b", FileSystem::MakePathAbsolute("a/../b"));
  EXPECT_EQ("/x/y", FileSystem::MakePathAbsolute("/x/y"));
  EXPECT_EQ("", FileSystem::MakePathAbsolute(""));
  EXPECT_EQ("", FileSystem::MakePathAbsolute(nullptr));
}

TEST(FileSystem, HomeAndTemporaryDirectoriesComeFromTheEnvironment) {
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
}

TEST(FileSystem, PreProcessEnvVarInPath) {
  qmk_test::ScopedEnvironment environment;
  environment.Set("QMK_FS_VAR", "C:\\t").Set("QMK_FS_UNSET", "");
  auto expand = [](std::string path, bool expected) {
    EXPECT_EQ(expected, FileSystem::PreProcessEnvVarInPath(path)) << path;
    return path;
  };
  EXPECT_EQ("plain/path", expand("plain/path", true));
  EXPECT_EQ("", expand("", true));
  EXPECT_EQ("C:\\t/x", expand("$QMK_FS_VAR/x", true));
  EXPECT_EQ("C:\\t\\x", expand("$QMK_FS_VAR\\x", true));
  EXPECT_EQ("C:\\t", expand("$QMK_FS_VAR", true));
  // A '/' ends the name even after a '\'.
  EXPECT_EQ("$QMK_FS_VAR\\x/y", expand("$QMK_FS_VAR\\x/y", false));
  EXPECT_EQ("C:\\t\\x", expand("$(QMK_FS_VAR)\\x", true));
  EXPECT_EQ("C:\\t", expand("$(QMK_FS_VAR)", true));
  // Failures leave the path as it was.
  EXPECT_EQ("$(QMK_FS_UNSET)\\x", expand("$(QMK_FS_UNSET)\\x", false));
  EXPECT_EQ("$QMK_FS_UNSET/x", expand("$QMK_FS_UNSET/x", false));
  EXPECT_EQ("$", expand("$", false));
  EXPECT_EQ("$()", expand("$()", false));
  EXPECT_EQ("$()x", expand("$()x", false));
  EXPECT_EQ("$(QMK_FS_VAR", expand("$(QMK_FS_VAR", false));
  EXPECT_EQ("$/x", expand("$/x", false));  // an empty name
}

TEST(FileSystem, MkTempDirMakesPrefixedNamesFromTheAlphabet) {
  TempDir dir;
  const std::string made = FileSystem::MkTempDir(dir.path().c_str(), "pre");
  ASSERT_FALSE(made.empty());
  EXPECT_EQ(dir.path(), fs::path(made).parent_path().string());
  EXPECT_TRUE(IsTempName(fs::path(made).filename().string(), "pre")) << made;
  EXPECT_TRUE(fs::is_directory(made));
  EXPECT_EQ(0700u, PermissionsOf(made));

  // The one-argument form uses the temporary directory.
  qmk_test::ScopedEnvironment environment;
  environment.Set("QUILL_TEMP", dir.path() + "/");
  const std::string other = FileSystem::MkTempDir("x");
  ASSERT_FALSE(other.empty());
  EXPECT_EQ(dir.path(), fs::path(other).parent_path().string());
  EXPECT_TRUE(IsTempName(fs::path(other).filename().string(), "x")) << other;
  EXPECT_NE(made, other);

  const std::string bare = FileSystem::MkTempDir(dir.path().c_str(), nullptr);
  EXPECT_TRUE(IsTempName(fs::path(bare).filename().string(), "")) << bare;
}

TEST(FileSystem, MkTempFileMakesAnEmptyPrivateFile) {
  TempDir dir;
  const std::string made = FileSystem::MkTempFile(dir.path().c_str(), "tmp", "dat");
  ASSERT_FALSE(made.empty());
  const fs::path path(made);
  EXPECT_EQ(dir.path(), path.parent_path().string());
  EXPECT_EQ(".dat", path.extension().string());
  EXPECT_TRUE(IsTempName(path.stem().string(), "tmp")) << made;
  EXPECT_TRUE(fs::is_regular_file(path));
  EXPECT_EQ(0u, fs::file_size(path));
  EXPECT_EQ(0600u, PermissionsOf(made));

  const std::string plain = FileSystem::MkTempFile(dir.path().c_str(), "p", nullptr);
  EXPECT_TRUE(IsTempName(fs::path(plain).filename().string(), "p")) << plain;

  {
    qmk_test::ScopedEnvironment environment;
    environment.Set("QUILL_TEMP", dir.path());
    const std::string inTemp = FileSystem::MkTempFile(nullptr, "t", "");
    EXPECT_EQ(dir.path(), fs::path(inTemp).parent_path().string());
    EXPECT_TRUE(IsTempName(fs::path(inTemp).filename().string(), "t")) << inTemp;
  }
  {
    ScopedCurrentDirectory current(dir.path());
    const std::string here = FileSystem::MkTempFile("", "c", "x");
    EXPECT_EQ(fs::canonical(dir.path()).string(), fs::path(here).parent_path().string());
    EXPECT_TRUE(fs::exists(here));
  }
}

TEST(FileSystem, TemporaryNameFailuresAreTraced) {
  TempDir dir;
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

TEST(FileSystem, DeletePathRemovesATreeButNeverFollowsLinksOutOfIt) {
  TempDir dir;
  const std::string outside = dir / "outside";
  fs::create_directories(outside + "/inner");
  WriteFile(outside + "/keep.txt", "keep");
  WriteFile(outside + "/inner/keep.txt", "keep");
  const std::string tree = dir / "tree";
  fs::create_directories(tree + "/a/b/c");
  fs::create_directories(tree + "/empty");
  WriteFile(tree + "/top.txt", "1");
  WriteFile(tree + "/a/b/c/deep.txt", "2");
  WriteFile(tree + "/.hidden", "3");
  fs::create_directory_symlink(outside, tree + "/a/link-to-dir");
  fs::create_symlink(outside + "/keep.txt", tree + "/link-to-file");
  fs::create_symlink(dir / "nowhere", tree + "/dangling");

  EXPECT_TRUE(FileSystem::DeletePath(tree + "/"));
  EXPECT_FALSE(fs::exists(tree));
  EXPECT_EQ("keep", ReadFile(outside + "/keep.txt"));
  EXPECT_EQ("keep", ReadFile(outside + "/inner/keep.txt"));
}

TEST(FileSystem, DeletePathOfALinkUnlinksTheLinkOnly) {
  TempDir dir;
  fs::create_directories(dir / "target/sub");
  WriteFile(dir / "target/sub/file", "x");
  fs::create_directory_symlink(dir / "target", dir / "link");
  fs::create_directory_symlink(dir / "target", dir / "other");
  fs::create_symlink(dir / "nowhere", dir / "dangling");
  EXPECT_TRUE(FileSystem::DeletePath(dir / "link"));
  EXPECT_FALSE(fs::is_symlink(dir / "link"));
  EXPECT_TRUE(FileSystem::DeletePath(dir / "other/"));
  EXPECT_FALSE(fs::is_symlink(dir / "other"));
  EXPECT_TRUE(FileSystem::DeletePath(dir / "dangling"));
  EXPECT_FALSE(fs::is_symlink(dir / "dangling"));
  EXPECT_EQ("x", ReadFile(dir / "target/sub/file"));
  EXPECT_FALSE(FileSystem::DeletePath(dir / "link"));  // gone already
}

TEST(FileSystem, DeletePathRefusesALastNameOfDotOrDotDot) {
  TempDir dir;
  fs::create_directories(dir / "dir/sub");
  WriteFile(dir / "dir/file", "x");
  WriteFile(dir / "dir/sub/file", "y");
  EXPECT_FALSE(FileSystem::DeletePath(dir / "dir/sub/.."));
  EXPECT_FALSE(FileSystem::DeletePath(dir / "dir/sub/../"));
  EXPECT_FALSE(FileSystem::DeletePath(dir / "dir/sub/."));
  {
    ScopedCurrentDirectory current(dir / "dir/sub");
    EXPECT_FALSE(FileSystem::DeletePath("."));
    EXPECT_FALSE(FileSystem::DeletePath(".."));
  }
  EXPECT_EQ("x", ReadFile(dir / "dir/file"));
  EXPECT_EQ("y", ReadFile(dir / "dir/sub/file"));
}

TEST(FileSystem, DeletePathEdgeCases) {
  TempDir dir;
  EXPECT_FALSE(FileSystem::DeletePath(""));
  EXPECT_FALSE(FileSystem::DeletePath("/"));
  EXPECT_FALSE(FileSystem::DeletePath(dir / "missing"));
  WriteFile(dir / "file", "x");
  EXPECT_FALSE(FileSystem::DeletePath(dir / "file"));
  EXPECT_TRUE(fs::exists(dir / "file"));
  EXPECT_FALSE(FileSystem::DeletePath(dir.path() + "/" + std::string(5000, 'n')));

  // A tree deeper than any recursion should go, relative path included.
  std::string deep = dir / "deep";
  fs::create_directory(deep);
  std::string path = deep;
  for (int i = 0; i < 300; ++i) {
    path += "/d";
    ASSERT_EQ(0, mkdir(path.c_str(), 0700));
  }
  WriteFile(path + "/leaf", "x");
  {
    ScopedCurrentDirectory current(dir.path());
    EXPECT_TRUE(FileSystem::DeletePath("deep"));
  }
  EXPECT_FALSE(fs::exists(deep));
}

TEST(FileSystem, BackupFileRotatesThroughCountBackups) {
  TempDir dir;
  const std::string file = dir / "data.txt";
  auto backup = [&](int n) { return file + ".~" + std::to_string(n) + "~"; };
  WriteFile(file, "v4");
  WriteFile(backup(1), "v1");
  WriteFile(backup(2), "v2");
  WriteFile(backup(3), "v3");
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

TEST(FileSystem, BuildPathCreatesEveryMissingDirectory) {
  TempDir dir;
  EXPECT_TRUE(FileSystem::BuildPath(dir / "a/b/c", true));
  EXPECT_TRUE(fs::is_directory(dir / "a/b/c"));
  EXPECT_TRUE(FileSystem::BuildPath(dir / "a/b/c/", true));  // all there already
  EXPECT_TRUE(FileSystem::BuildPath(dir / "x/y/file.txt", false));
  EXPECT_TRUE(fs::is_directory(dir / "x/y"));
  EXPECT_FALSE(fs::exists(dir / "x/y/file.txt"));
  {
    ScopedCurrentDirectory current(dir.path());
    EXPECT_TRUE(FileSystem::BuildPath("rel/one", true));
  }
  EXPECT_TRUE(fs::is_directory(dir / "rel/one"));

  WriteFile(dir / "file", "x");
  EXPECT_FALSE(FileSystem::BuildPath(dir / "file/sub", true));
  EXPECT_FALSE(FileSystem::BuildPath("", true));
}

// Threads racing for temporary names in one directory all get their own.
TEST(FileSystemRace, ConcurrentTemporaryNamesAreDistinctAndExist) {
  TempDir dir;
  constexpr int kThreads = 8;
  constexpr int kEach = 40;
  std::latch start(kThreads);
  std::mutex mutex;
  std::vector<std::string> made;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::vector<std::string> mine;
      start.arrive_and_wait();
      for (int i = 0; i < kEach; ++i) {
        mine.push_back(t % 2 == 0 ? FileSystem::MkTempFile(dir.path().c_str(), "r", nullptr)
                                  : FileSystem::MkTempDir(dir.path().c_str(), "r"));
      }
      std::lock_guard<std::mutex> guard(mutex);
      made.insert(made.end(), mine.begin(), mine.end());
    });
  }
  for (auto& thread : threads) thread.join();
  const std::set<std::string> distinct(made.begin(), made.end());
  EXPECT_EQ(made.size(), distinct.size());
  EXPECT_EQ(0u, distinct.count(""));
  for (const auto& path : made) EXPECT_TRUE(fs::exists(path)) << path;
  EXPECT_EQ(static_cast<std::size_t>(kThreads * kEach),
            static_cast<std::size_t>(
                std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator())));
}

}  // namespace
