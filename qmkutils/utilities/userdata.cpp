#include "qmkutils/utilities/userdata.h"

#include <atomic>
#include <cstddef>
#include <unordered_map>
#include <utility>
#include <vector>

#include "qmkutils/platform/internal/forkhandlers.h"
#include "qmkutils/platform/lockable.h"
#include "qmkutils/platform/threadannotations.h"

namespace du {
namespace {

std::atomic<dp::SpinLock*> s_slotLockSlot{nullptr};
std::atomic<dp::SpinLock*> s_keyLockSlot{nullptr};

dp::SpinLock& SlotLock() { return dp::LazySpinLock(s_slotLockSlot); }
dp::SpinLock& KeyLock() { return dp::LazySpinLock(s_keyLockSlot); }

// Both locks are leaves: nothing else of the library is locked under them.
const dp::fork::Registration s_forkRegistration(dp::fork::Participant::kUserData,
                                                {[]() QMK_NO_THREAD_SAFETY_ANALYSIS {
                                                   KeyLock().Lock();
                                                   SlotLock().Lock();
                                                 },
                                                 []() QMK_NO_THREAD_SAFETY_ANALYSIS {
                                                   SlotLock().Unlock();
                                                   KeyLock().Unlock();
                                                 },
                                                 []() QMK_NO_THREAD_SAFETY_ANALYSIS {
                                                   SlotLock().Unlock();
                                                   KeyLock().Unlock();
                                                 }});

// Names and their keys, kept for the life of the process (never destroyed,
// so keys stay valid during exit).
std::unordered_map<Symbol, UserData::Key>* s_keys = nullptr;
UserData::Key s_nextKey = 0;

// References dropped once the slot lock is released.
class DeferredReleases {
 public:
  DeferredReleases() = default;
  DeferredReleases(const DeferredReleases&) = delete;
  DeferredReleases& operator=(const DeferredReleases&) = delete;
  ~DeferredReleases() {
    for (const RefCounted* object : objects_) RefCounted::Release(object);
  }
  void Add(const RefCounted* object) {
    if (object != nullptr) objects_.push_back(object);
  }

 private:
  std::vector<const RefCounted*> objects_;
};

}  // namespace

class UserData::Impl {
 public:
  struct Slot {
    void* plain = nullptr;
    RefCounted* counted = nullptr;
    bool isCounted = false;
  };

  Slot* Find(Key key) { return key < slots_.size() ? &slots_[key] : nullptr; }

  Slot& Grow(Key key) {
    if (key >= slots_.size()) slots_.resize(std::size_t{key} + 1);
    return slots_[key];
  }

  // Takes a reference to every counted pointer.
  void CopyFrom(const Impl& other) {
    slots_ = other.slots_;
    for (const Slot& slot : slots_) {
      if (slot.counted != nullptr) slot.counted->AddReference();
    }
  }

  // Hands every counted pointer to `releases`, last slot first.
  void Clear(DeferredReleases& releases) {
    for (auto slot = slots_.rbegin(); slot != slots_.rend(); ++slot) releases.Add(slot->counted);
    slots_.clear();
  }

 private:
  std::vector<Slot> slots_;
};

UserData::UserData(const UserData& other) {
  dp::SpinLockGuard lock(SlotLock());
  if (other.impl_ == nullptr) return;
  impl_ = new Impl;
  impl_->CopyFrom(*other.impl_);
}

UserData& UserData::operator=(const UserData& other) {
  if (this == &other) return *this;
  DeferredReleases releases;
  dp::SpinLockGuard lock(SlotLock());
  if (impl_ != nullptr) impl_->Clear(releases);
  if (other.impl_ != nullptr) {
    if (impl_ == nullptr) impl_ = new Impl;
    impl_->CopyFrom(*other.impl_);
  }
  return *this;
}

UserData::~UserData() {
  if (impl_ == nullptr) return;
  DeferredReleases releases;
  {
    dp::SpinLockGuard lock(SlotLock());
    impl_->Clear(releases);
  }
  delete impl_;
}

UserData::Key UserData::GetId(const Symbol& name) {
  dp::SpinLockGuard lock(KeyLock());
  if (name.empty()) return s_nextKey++;
  if (s_keys == nullptr) s_keys = new std::unordered_map<Symbol, Key>;
  const auto [entry, added] = s_keys->try_emplace(name, s_nextKey);
  if (added) ++s_nextKey;
  return entry->second;
}

void UserData::AddUserData(Key key, void* data) {
  DeferredReleases releases;
  dp::SpinLockGuard lock(SlotLock());
  if (impl_ == nullptr) impl_ = new Impl;
  Impl::Slot& slot = impl_->Grow(key);
  releases.Add(slot.counted);
  slot = {data, nullptr, false};
}

void UserData::AddRefCountedUserData(Key key, RefCounted* data) {
  DeferredReleases releases;
  dp::SpinLockGuard lock(SlotLock());
  if (impl_ == nullptr) impl_ = new Impl;
  Impl::Slot& slot = impl_->Grow(key);
  if (slot.isCounted && slot.counted == data) return;
  releases.Add(slot.counted);
  if (data != nullptr) data->AddReference();
  slot = {nullptr, data, true};
}

void* UserData::GetUserData(Key key) const {
  dp::SpinLockGuard lock(SlotLock());
  const Impl::Slot* slot = impl_ != nullptr ? impl_->Find(key) : nullptr;
  return slot != nullptr && !slot->isCounted ? slot->plain : nullptr;
}

SmartPtr<RefCounted> UserData::GetRefCountedUserData(Key key) const {
  dp::SpinLockGuard lock(SlotLock());
  const Impl::Slot* slot = impl_ != nullptr ? impl_->Find(key) : nullptr;
  return slot != nullptr && slot->isCounted ? slot->counted : nullptr;
}

void UserData::RemoveUserData(Key key) {
  DeferredReleases releases;
  dp::SpinLockGuard lock(SlotLock());
  Impl::Slot* slot = impl_ != nullptr ? impl_->Find(key) : nullptr;
  if (slot == nullptr) return;
  releases.Add(slot->counted);
  *slot = {};
}

}  // namespace du
