#pragma once

#include <glib-object.h>

#include <utility>

namespace torvak_emu {

// Owns one reference to a GObject.
template <typename T>
class GObjectRef {
 public:
  GObjectRef() = default;
  static GObjectRef adopt(T* object) {
    GObjectRef ref;
    ref.object_ = object;
    return ref;
  }
  static GObjectRef share(T* object) {
    if (object != nullptr) g_object_ref(object);
    return adopt(object);
  }
  GObjectRef(GObjectRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  GObjectRef& operator=(GObjectRef&& other) noexcept {
    if (this != &other) {
      reset();
      object_ = std::exchange(other.object_, nullptr);
    }
    return *this;
  }
  GObjectRef(const GObjectRef&) = delete;
  GObjectRef& operator=(const GObjectRef&) = delete;
  ~GObjectRef() { reset(); }

  void reset() {
    if (object_ != nullptr) g_object_unref(object_);
    object_ = nullptr;
  }
  T* get() const { return object_; }
  T* operator->() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  T* object_ = nullptr;
};

}  // namespace torvak_emu
