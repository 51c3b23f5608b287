// The counted pointer to du::RefCounted objects.
//
// du::SmartPtr<T> holds one reference: copying it costs one atomic
// increment, destroying it one atomic decrement, and moving it nothing. The
// last reference releases the object by du::RefCounted::Release. A SmartPtr
// object is not itself thread-safe (like std::shared_ptr, one instance must
// not be written by one thread while another reads it); distinct SmartPtrs
// to one object may be used from any threads.
#ifndef QMKUTILS_MEMORY_SMARTPTR_H_
#define QMKUTILS_MEMORY_SMARTPTR_H_

#include <cstddef>
#include <type_traits>
#include <utility>

#include "qmkutils/memory/refcounted.h"

namespace du {

template <class T>
class SmartPtr {
 public:
  SmartPtr() noexcept = default;
  SmartPtr(std::nullptr_t) noexcept {}              // NOLINT(google-explicit-constructor)
  SmartPtr(T* object) noexcept : object_(object) {  // NOLINT(google-explicit-constructor)
    if (object_ != nullptr) object_->AddReference();
  }
  SmartPtr(const SmartPtr& other) noexcept : SmartPtr(other.object_) {}
  SmartPtr(SmartPtr&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
  SmartPtr(const SmartPtr<U>& other) noexcept  // NOLINT(google-explicit-constructor)
      : SmartPtr(other.Get()) {}
  ~SmartPtr() { RefCounted::Release(object_); }

  SmartPtr& operator=(SmartPtr other) noexcept {
    std::swap(object_, other.object_);
    return *this;
  }

  T* Get() const noexcept { return object_; }
  T* operator->() const noexcept { return object_; }
  T& operator*() const noexcept { return *object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  void Reset(T* object = nullptr) { *this = SmartPtr(object); }

  template <class U>
  bool operator==(const SmartPtr<U>& other) const noexcept {
    return object_ == other.Get();
  }
  bool operator==(std::nullptr_t) const noexcept { return object_ == nullptr; }

 private:
  T* object_ = nullptr;
};

}  // namespace du

#endif  // QMKUTILS_MEMORY_SMARTPTR_H_
