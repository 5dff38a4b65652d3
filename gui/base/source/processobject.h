// Private to the base library: storage for a process-wide object that is built once, on first
// use from any thread, and never destroyed. Late static destructors and threads still running at
// exit may use these objects (the library's own locks), so they outlive every user; the system
// reclaims them with the process.
#pragma once

#include "win.h"

#include <new>

template <typename T>
struct ProcessObject {
  alignas(T) unsigned char storage[sizeof(T)] = {};
  INIT_ONCE once = INIT_ONCE_STATIC_INIT;

  // `make(void* storage)` constructs the object in place; it runs exactly once.
  template <void (*make)(void*)>
  T& Get() noexcept {
    ::InitOnceExecuteOnce(
        &once,
        [](PINIT_ONCE, PVOID context, PVOID*) -> BOOL {
          make(context);
          return TRUE;
        },
        storage, nullptr);
    return *std::launder(reinterpret_cast<T*>(storage));
  }
  // The object built by its default constructor.
  T& Get() noexcept { return Get<&ConstructDefault>(); }

 private:
  static void ConstructDefault(void* at) { ::new (at) T(); }
};
