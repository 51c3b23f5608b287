#include "qmkutils/utilities/userdata.h"

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "support/run_threads.h"

namespace {

std::atomic<int> s_alive{0};

struct Counted : du::RefCounted {
  Counted() { ++s_alive; }
  ~Counted() override { --s_alive; }
};

struct OtherCounted : du::RefCounted {};

// Uses user data from its destructor.
struct Reentrant : du::RefCounted {
  ~Reentrant() override {
    du::UserData scratch;
    scratch.AddUserDataPtr(0, du::SmartPtr<Counted>(new Counted));
  }
};

// Keys are stable per name and fresh for each empty name.
TEST(UserDataTest, SlotsHoldOneReferenceUntilOverwrittenRemovedOrDestroyed) {
  const du::UserData::Key key = du::UserData::GetId("user-data-test-slot");
  EXPECT_EQ(du::UserData::GetId("user-data-test-slot"), key);
  EXPECT_NE(du::UserData::GetId("user-data-test-other"), key);
  EXPECT_NE(du::UserData::GetId(""), du::UserData::GetId(du::Symbol()));
  const du::UserData::Key far = key + 40;

  int plain = 0;
  {
    du::UserData data;
    EXPECT_EQ(data.GetUserDataPtr<Counted>(far), nullptr);
    data.RemoveUserData(far);

    du::SmartPtr<Counted> object(new Counted);
    data.AddUserDataPtr(key, object);
    data.AddUserDataPtr(key, object);  // the same pointer again adds nothing
    EXPECT_EQ(object->GetReferenceCount(), 2);
    EXPECT_EQ(data.GetUserDataPtr<Counted>(key), object);
    EXPECT_EQ(data.GetUserDataPtr<OtherCounted>(key), nullptr);
    EXPECT_EQ(data.GetUserData(key), nullptr);  // not a plain slot

    data.AddUserData(key, &plain);  // plain over counted drops the reference
    EXPECT_EQ(object->GetReferenceCount(), 1);
    EXPECT_EQ(data.GetUserData(key), &plain);
    EXPECT_EQ(data.GetUserDataPtr<Counted>(key), nullptr);
    data.AddUserDataPtr(far, object);
    data.RemoveUserData(far);
    EXPECT_EQ(object->GetReferenceCount(), 1);

    data.AddUserDataPtr(far, du::SmartPtr<Counted>(new Counted));
    data.AddUserDataPtr(key, object);
    du::UserData copy(data);
    EXPECT_EQ(object->GetReferenceCount(), 3);
    data = du::UserData();
    EXPECT_EQ(object->GetReferenceCount(), 2);
    EXPECT_EQ(copy.GetUserDataPtr<Counted>(key), object);
    EXPECT_EQ(s_alive, 2);

    // A destructor run by a dropped reference may itself use user data.
    data.AddUserDataPtr(far, du::SmartPtr<Reentrant>(new Reentrant));
    data.RemoveUserData(far);
  }
  EXPECT_EQ(s_alive, 0);
}

TEST(UserDataRace, ObjectsSharedAcrossThreadsKeepExactCounts) {
  constexpr int kThreads = 8, kRounds = 3000;

  std::vector<du::UserData> objects(4);
  qmk_test::RunThreads(kThreads, [&objects](int t) {
    const du::UserData::Key key = du::UserData::GetId(t % 2 == 0 ? "race-even" : "race-odd");
    for (int i = 0; i < kRounds; ++i) {
      du::UserData& target = objects[static_cast<std::size_t>(i + t) % objects.size()];
      switch ((i + t) % 4) {
        case 0:
          target.AddUserDataPtr(key, du::SmartPtr<Counted>(new Counted));
          break;
        case 1:
          if (du::SmartPtr<Counted> held = target.GetUserDataPtr<Counted>(key)) {
            EXPECT_GE(held->GetReferenceCount(), 1);
          }
          break;
        case 2:
          target.AddUserData(key, &target);
          break;
        default:
          target.RemoveUserData(key);
          break;
      }
    }
  });
  objects.clear();
  EXPECT_EQ(s_alive, 0);
}

}  // namespace
