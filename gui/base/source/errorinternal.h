// Private pieces shared by the sources of the error-reporting part.
#pragma once

#include "str.h"
#include "win.h"

#include <new>
#include <utility>

// A process-wide object that is built on first use and never destroyed: reports may come from
// other objects' destructors at process exit, after an ordinary static would be gone.
template <typename T>
class ProcessStatic {
 public:
  template <typename... Args>
  explicit ProcessStatic(Args&&... args) {
    new (storage_) T(std::forward<Args>(args)...);
  }
  ProcessStatic(const ProcessStatic&) = delete;
  ProcessStatic& operator=(const ProcessStatic&) = delete;
  T& Get() noexcept { return *std::launder(reinterpret_cast<T*>(storage_)); }

 private:
  alignas(T) unsigned char storage_[sizeof(T)];
};


// The message file path set by SetEventMessageFile (empty until then).
Str ReportMessageFile();

// The thread's error-text slot, read and written without touching the last-error value.
Str ThreadErrorText();
void StoreThreadErrorText(const Str& text);

// Pushes buffered records of both standard streams out, for a process that is about to end
// without the runtime's exit processing.
void FlushReportStreams();
