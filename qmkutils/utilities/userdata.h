// Caller data attached to an object under process-wide numeric keys.
//
// A class derives from (or holds) `du::UserData` so that independent parts of
// a program can hang their own data on its objects without knowing of each
// other: each part asks `GetId` for the key of its name once and stores a
// pointer under that key. A slot holds either a plain pointer, which the
// object never touches, or a reference-counted one, of which it holds one
// reference until the slot is overwritten or removed or the object dies.
// Keys index a vector, so they should come from `GetId`.
//
// Thread-safe: one process-wide lock guards the slots of every object (the
// data is small and rarely touched, so one lock costs less than one per
// object) and another the key names; both are held across fork(), so a
// child may use them. References are dropped after the lock is released, so
// a destructor run by the drop may itself use user data.
#ifndef QMKUTILS_UTILITIES_USERDATA_H_
#define QMKUTILS_UTILITIES_USERDATA_H_

#include "qmkutils/memory/refcounted.h"
#include "qmkutils/memory/smartptr.h"
#include "qmkutils/platform/export.h"
#include "qmkutils/utilities/symbol.h"

namespace du {

class QMK_EXPORT UserData {
 public:
  using Key = unsigned;

  UserData() = default;
  // A copy holds the same data, with references of its own.
  UserData(const UserData& other);
  UserData& operator=(const UserData& other);
  virtual ~UserData();

  // The key of `name`, the same for the life of the process; an empty name
  // gets a fresh key each time.
  static Key GetId(const du::Symbol& name);

  // Stores a plain pointer, dropping the reference of a counted one there.
  void AddUserData(Key key, void* data);
  // The plain pointer under `key`, or null (also when a counted one is there).
  void* GetUserData(Key key) const;
  // Empties the slot, dropping the reference of a counted pointer.
  void RemoveUserData(Key key);

  template <class T>
  void AddUserDataPtr(Key key, const SmartPtr<T>& data) {
    AddRefCountedUserData(key, data.Get());
  }
  // The counted pointer under `key` when it is a T, else null.
  template <class T>
  SmartPtr<T> GetUserDataPtr(Key key) const {
    return SmartPtr<T>(dynamic_cast<T*>(GetRefCountedUserData(key).Get()));
  }

 private:
  class Impl;

  void AddRefCountedUserData(Key key, RefCounted* data);
  // With a reference taken under the lock, so that the data cannot die
  // between the lookup and the caller's use.
  SmartPtr<RefCounted> GetRefCountedUserData(Key key) const;

  Impl* impl_ = nullptr;  // made by the first store
};

}  // namespace du

#endif  // QMKUTILS_UTILITIES_USERDATA_H_
