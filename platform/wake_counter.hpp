// The wake-up of a UI thread's event loop by other threads.
#pragma once

#include <memory>

#include "platform/owned_descriptor.hpp"

namespace kavori::platform::host {

// An eventfd: Signal() from any thread makes Fd() readable until Clear() on the reader's thread.
class WakeCounter : public OwnedDescriptor {
 public:
  // nullptr when no eventfd can be made.
  static std::unique_ptr<WakeCounter> Open();
  void Signal();
  void Clear();

 private:
  using OwnedDescriptor::OwnedDescriptor;
};

}  // namespace kavori::platform::host
