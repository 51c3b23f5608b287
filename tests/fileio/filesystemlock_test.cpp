#include "qmkutils/fileio/filesystemlock.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <filesystem>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/recording_consumer.h"
#include "support/run_threads.h"
#include "support/temp_dir.h"

namespace {

using du::FileSystemLock;
using du::FileSystemLockHolder;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

bool Exists(const std::string& path) { return std::filesystem::exists(path); }

// Retries without pause until the lock is obtained.
constexpr unsigned kForever = UINT_MAX;

TEST(FileSystemLockTest, StatesOfOneLockAndFailuresTracedWithTheSystemReason) {
  qmk_test::TempDir dir;
  const std::string path = dir / "lock";
  qmk_test::ScopedTraceRecorder recorder;

  FileSystemLock unbound;
  EXPECT_FALSE(unbound.ObtainLock() || unbound.ReleaseLock());

  FileSystemLock lock;
  lock.BindLock(path, 0, 0);
  EXPECT_FALSE(Exists(path));
  EXPECT_TRUE(lock.ReleaseLock());  // bound, not held: nothing to do
  ASSERT_TRUE(lock.ObtainLock());
  EXPECT_TRUE(std::filesystem::is_directory(path));
  // Held: obtaining again does not look at the file system.
  std::filesystem::remove(path);
  EXPECT_TRUE(lock.ObtainLock());
  std::filesystem::create_directory(path);
  // Binding elsewhere releases the held lock first.
  lock.BindLock(dir / "other", 0, 0);
  EXPECT_FALSE(Exists(path));
  EXPECT_FALSE(lock);
  EXPECT_THAT(recorder.log().Texts(), IsEmpty());

  FileSystemLock scoped(path, 0, 0);  // obtains at once
  { FileSystemLockHolder holder(&scoped); }
  EXPECT_FALSE(Exists(path));
  ASSERT_TRUE(scoped.ObtainLock());
  {
    FileSystemLockHolder holder(&scoped);
    holder.StopTrackingLock();
  }
  EXPECT_TRUE(Exists(path));

  // A fork child's copy of the held lock is only forgotten by the child.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) _exit(scoped.ReleaseLock() && !scoped ? 0 : 1);
  ASSERT_EQ(qmk_test::Reap(child), 0);
  EXPECT_TRUE(Exists(path) && scoped);

  const std::string orphan = dir / "missing/parent/lock";
  FileSystemLock second(path, 0, 0);  // zero retries: one attempt
  FileSystemLock third(orphan, 1, 0);
  EXPECT_FALSE(second || third);
  // A lock directory that cannot be removed stays held.
  qmk_test::WriteFile(path + "/intruder", "x");
  EXPECT_FALSE(scoped.ReleaseLock());
  EXPECT_TRUE(scoped);
  std::filesystem::remove(path + "/intruder");
  EXPECT_TRUE(scoped.ReleaseLock());
  // Once the directory is gone the lock that found it there obtains it.
  EXPECT_TRUE(second.ObtainLock());

  EXPECT_THAT(recorder.log().Texts(),
              ElementsAre("Could not obtain lock \"" + path + "\": File exists.",
                          "Could not obtain lock \"" + orphan + "\": No such file or directory.",
                          "Could not release lock \"" + path + "\": Directory not empty."));
  for (const auto& record : recorder.log().Records())
    EXPECT_TRUE(record.key == "du" && record.subKey == "FileSystemLock" &&
                record.type == dp::Error);
}

// Each holder checks that it is alone by counting itself in and out; the
// lock objects are separate, as they would be in separate programs.
TEST(FileSystemLockRace, ThreadsHoldTheLockOneAtATime) {
  qmk_test::TempDir dir;
  constexpr int kThreads = 8;
  constexpr int kIterations = 300;
  std::atomic<int> inside{0};
  std::atomic<int> faults{0};
  qmk_test::RunThreads(kThreads, [&](int) {
    FileSystemLock lock;
    lock.BindLock(dir / "lock", kForever, 0);
    for (int i = 0; i < kIterations; ++i) {
      if (!lock.ObtainLock() || inside.fetch_add(1) != 0) faults.fetch_add(1);
      inside.fetch_sub(1);
      FileSystemLockHolder holder(&lock);
    }
  });
  EXPECT_EQ(faults.load(), 0);
  EXPECT_FALSE(Exists(dir / "lock"));
}

// Between processes the holder marks its turn with a file created
// exclusively: a second holder at the same time would find it there.
TEST(FileSystemLockRace, ProcessesHoldTheLockOneAtATime) {
  qmk_test::TempDir dir;
  const std::string marker = dir / "holder";
  std::vector<pid_t> children;
  for (int p = 0; p < 4; ++p) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      int failures = 0;
      FileSystemLock lock;
      lock.BindLock(dir / "lock", kForever, 0);
      for (int i = 0; i < 200; ++i) {
        const bool obtained = lock.ObtainLock();
        const int fd = open(marker.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
        if (!obtained || fd < 0) ++failures;
        close(fd);
        unlink(marker.c_str());
        if (!lock.ReleaseLock()) ++failures;
      }
      _exit(failures == 0 ? 0 : 1);
    }
    children.push_back(child);
  }
  for (const pid_t child : children) EXPECT_EQ(qmk_test::Reap(child), 0);
  EXPECT_FALSE(Exists(dir / "lock"));
}

}  // namespace
