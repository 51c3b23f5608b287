#include "qmkutils/fileio/filesystemlock.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "support/child_process.h"
#include "support/recording_consumer.h"
#include "support/temp_dir.h"

namespace {

using du::FileSystemLock;
using du::FileSystemLockHolder;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

bool Exists(const std::string& path) { return std::filesystem::exists(path); }

// Retries without pause until the lock is obtained.
constexpr unsigned kForever = UINT_MAX;

TEST(FileSystemLockTest, StatesOfOneLock) {
  qmk_test::TempDir dir;
  const std::string path = dir / "lock";
  qmk_test::ScopedTraceRecorder recorder;

  FileSystemLock unbound;
  EXPECT_FALSE(unbound.ObtainLock());
  EXPECT_FALSE(unbound.ReleaseLock());
  EXPECT_FALSE(unbound);

  FileSystemLock lock;
  lock.BindLock(path, 0, 0);
  EXPECT_FALSE(lock);
  EXPECT_FALSE(Exists(path));
  EXPECT_TRUE(lock.ReleaseLock());  // bound, not held: nothing to do
  ASSERT_TRUE(lock.ObtainLock());
  EXPECT_TRUE(lock);
  EXPECT_TRUE(std::filesystem::is_directory(path));

  // Held: obtaining again does not look at the file system.
  std::filesystem::remove(path);
  EXPECT_TRUE(lock.ObtainLock());
  EXPECT_FALSE(Exists(path));
  std::filesystem::create_directory(path);

  // Binding elsewhere releases the held lock first.
  lock.BindLock(dir / "other", 0, 0);
  EXPECT_FALSE(Exists(path));
  EXPECT_FALSE(lock);
  EXPECT_THAT(recorder.log().Texts(), IsEmpty());

  {
    FileSystemLock scoped(path, 0, 0);  // obtains at once, releases when destroyed
    EXPECT_TRUE(scoped);
    EXPECT_TRUE(Exists(path));
  }
  EXPECT_FALSE(Exists(path));
}

TEST(FileSystemLockTest, FailuresAreTracedWithTheSystemReason) {
  qmk_test::TempDir dir;
  const std::string path = dir / "lock";
  const std::string orphan = dir / "missing/parent/lock";
  qmk_test::ScopedTraceRecorder recorder;

  FileSystemLock first(path, 0, 0);
  FileSystemLock second(path, 0, 0);  // zero retries: one attempt
  EXPECT_FALSE(second);
  FileSystemLock third(orphan, 1, 0);
  EXPECT_FALSE(third);
  EXPECT_FALSE(Exists(dir / "missing"));

  // A lock directory that cannot be removed stays held.
  qmk_test::WriteFile(path + "/intruder", "x");
  EXPECT_FALSE(first.ReleaseLock());
  EXPECT_TRUE(first);
  std::filesystem::remove(path + "/intruder");
  EXPECT_TRUE(first.ReleaseLock());
  EXPECT_FALSE(first);

  EXPECT_THAT(recorder.log().Texts(),
              ElementsAre("Could not obtain lock \"" + path + "\": File exists.",
                          "Could not obtain lock \"" + orphan + "\": No such file or directory.",
                          "Could not release lock \"" + path + "\": Directory not empty."));
  for (const auto& record : recorder.log().Records()) {
    EXPECT_EQ(record.key, "du");
    EXPECT_EQ(record.subKey, "FileSystemLock");
    EXPECT_EQ(record.type, dp::Error);
  }
}

TEST(FileSystemLockTest, HolderReleasesUnlessToldToStop) {
  qmk_test::TempDir dir;
  FileSystemLock lock(dir / "lock", 0, 0);
  { FileSystemLockHolder holder(&lock); }
  EXPECT_FALSE(lock);
  ASSERT_TRUE(lock.ObtainLock());
  {
    FileSystemLockHolder holder(&lock);
    holder.StopTrackingLock();
  }
  EXPECT_TRUE(lock);
  EXPECT_TRUE(Exists(dir / "lock"));
}

TEST(FileSystemLockTest, LockLeftByADeadProcessBlocksUntilRemoved) {
  qmk_test::TempDir dir;
  const std::string path = dir / "lock";
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Obtains the lock and dies without releasing it.
    auto* leaked = new FileSystemLock(path, 0, 0);
    _exit(*leaked ? 0 : 1);
  }
  ASSERT_EQ(qmk_test::Reap(child), 0);

  FileSystemLock lock(path, 2, 0);
  EXPECT_FALSE(lock);
  EXPECT_FALSE(lock.ObtainLock());
  std::filesystem::remove(path);
  EXPECT_TRUE(lock.ObtainLock());

  // A fork child's copy of the held lock is only forgotten by the child.
  const pid_t forked = fork();
  ASSERT_GE(forked, 0);
  if (forked == 0) _exit(lock.ReleaseLock() && !lock ? 0 : 1);
  ASSERT_EQ(qmk_test::Reap(forked), 0);
  EXPECT_TRUE(std::filesystem::exists(path) && lock);
}

// Each holder checks that it is alone by counting itself in and out; the
// lock objects are separate, as they would be in separate programs.
TEST(FileSystemLockRace, ThreadsHoldTheLockOneAtATime) {
  qmk_test::TempDir dir;
  const std::string path = dir / "lock";
  constexpr int kThreads = 8;
  constexpr int kIterations = 300;
  std::atomic<int> inside{0};
  std::atomic<int> overlaps{0};
  std::atomic<int> entries{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      FileSystemLock lock;
      lock.BindLock(path, kForever, 0);
      for (int i = 0; i < kIterations; ++i) {
        if (!lock.ObtainLock()) continue;
        if (inside.fetch_add(1) != 0) overlaps.fetch_add(1);
        entries.fetch_add(1);
        inside.fetch_sub(1);
        FileSystemLockHolder holder(&lock);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(overlaps.load(), 0);
  EXPECT_EQ(entries.load(), kThreads * kIterations);
  EXPECT_FALSE(Exists(path));
}

// Between processes the holder marks its turn with a file created
// exclusively: a second holder at the same time would find it there.
TEST(FileSystemLockRace, ProcessesHoldTheLockOneAtATime) {
  qmk_test::TempDir dir;
  const std::string path = dir / "lock";
  const std::string marker = dir / "holder";
  constexpr int kProcesses = 4;
  constexpr int kIterations = 200;
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      int failures = 0;
      FileSystemLock lock;
      lock.BindLock(path, kForever, 0);
      for (int i = 0; i < kIterations; ++i) {
        if (!lock.ObtainLock()) {
          ++failures;
          continue;
        }
        const int fd = open(marker.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
        if (fd < 0) ++failures;
        close(fd);
        unlink(marker.c_str());
        if (!lock.ReleaseLock()) ++failures;
      }
      _exit(failures == 0 ? 0 : 1);
    }
    children.push_back(child);
  }
  for (const pid_t child : children) EXPECT_EQ(qmk_test::Reap(child), 0);
  EXPECT_FALSE(Exists(path));
  EXPECT_FALSE(Exists(marker));
}

}  // namespace
