// Owning wrappers for Windows handles: one move-only owner per kind, so that "closed on every
// path" holds by construction. Each kind is one line below: its type, its close call and what its
// calls answer for "no handle".
#pragma once

#include "win.h"

#include <wincrypt.h>

#include <utility>

// Traits give the invalid value and the close call of one handle kind.
template <typename Traits>
class ScopedHandle {
 public:
  using Type = typename Traits::Type;

  ScopedHandle() noexcept : handle_(Traits::Invalid()) {}
  explicit ScopedHandle(Type handle) noexcept : handle_(handle) {}
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  ScopedHandle(ScopedHandle&& other) noexcept : handle_(other.Take()) {}
  ScopedHandle& operator=(ScopedHandle&& other) noexcept {
    if (this != &other) Reset(other.Take());
    return *this;
  }
  ~ScopedHandle() { Reset(); }

  bool IsValid() const noexcept { return Traits::IsValid(handle_); }
  explicit operator bool() const noexcept { return IsValid(); }
  Type Get() const noexcept { return handle_; }

  // Closes the held handle (preserving the caller's last-error value) and holds the new one.
  void Reset(Type handle = Traits::Invalid()) noexcept {
    if (Traits::IsValid(handle_)) {
      DWORD saved = ::GetLastError();
      Traits::Close(handle_);
      ::SetLastError(saved);
    }
    handle_ = handle;
  }
  [[nodiscard]] Type Take() noexcept { return std::exchange(handle_, Traits::Invalid()); }
  // For out-parameters of Windows calls: closes what is held and hands out the slot.
  Type* Receive() noexcept {
    Reset();
    return &handle_;
  }

 private:
  Type handle_;
};

// What a kind's calls answer for "no handle". The two kernel conventions are separate types, so
// an owner of one can never take over a handle of the other; for both, neither null nor
// INVALID_HANDLE_VALUE is ever closed (the latter is also the current process's pseudo handle).
enum class NoHandle {
  Null,                // null only: keys, service handles, views, SIDs, memory, certificates, modules
  KernelNull,          // kernel objects whose calls answer null: events, processes, threads, tokens, mappings
  KernelInvalidValue,  // kernel objects whose calls answer INVALID_HANDLE_VALUE: CreateFileW, FindFirstFileW
};

// One handle kind: its type, its close call and its "no handle" convention.
template <typename T, auto close, NoHandle none = NoHandle::Null>
struct HandleTraits {
  static_assert(none == NoHandle::Null || sizeof(T) == sizeof(HANDLE), "kernel conventions are for HANDLE kinds");
  using Type = T;
  static Type Invalid() noexcept {
    if constexpr (none == NoHandle::KernelInvalidValue) {
      return INVALID_HANDLE_VALUE;
    } else {
      return nullptr;
    }
  }
  static bool IsValid(Type h) noexcept {
    if constexpr (none == NoHandle::Null) {
      return h != nullptr;
    } else {
      return h != nullptr && h != INVALID_HANDLE_VALUE;
    }
  }
  static void Close(Type h) noexcept { close(h); }
};

// Close calls that take more than the handle.
inline void FreeProcessHeapBlock(void* block) noexcept { ::HeapFree(::GetProcessHeap(), 0, block); }
inline void CloseCertificateStore(HCERTSTORE store) noexcept { ::CertCloseStore(store, 0); }

using KernelHandle = ScopedHandle<HandleTraits<HANDLE, ::CloseHandle, NoHandle::KernelNull>>;
using FileHandle = ScopedHandle<HandleTraits<HANDLE, ::CloseHandle, NoHandle::KernelInvalidValue>>;
using FindHandle = ScopedHandle<HandleTraits<HANDLE, ::FindClose, NoHandle::KernelInvalidValue>>;
using RegKey = ScopedHandle<HandleTraits<HKEY, ::RegCloseKey>>;
using ServiceHandle = ScopedHandle<HandleTraits<SC_HANDLE, ::CloseServiceHandle>>;
using MappedView = ScopedHandle<HandleTraits<void*, ::UnmapViewOfFile>>;
// SIDs from AllocateAndInitializeSid.
using AllocatedSid = ScopedHandle<HandleTraits<PSID, ::FreeSid>>;
// ACLs, security descriptors and texts that Windows hands out with LocalAlloc.
using LocalMemory = ScopedHandle<HandleTraits<void*, ::LocalFree>>;
// Blocks from the process heap (HeapAlloc on GetProcessHeap()).
using HeapMemory = ScopedHandle<HandleTraits<void*, FreeProcessHeapBlock>>;
using EventSourceHandle = ScopedHandle<HandleTraits<HANDLE, ::DeregisterEventSource>>;
// Certificate contexts from the crypto API (also the signer certificate msi.dll hands out).
using CertContext = ScopedHandle<HandleTraits<PCCERT_CONTEXT, ::CertFreeCertificateContext>>;
// Certificate stores from CertOpenStore.
using CertStore = ScopedHandle<HandleTraits<HCERTSTORE, CloseCertificateStore>>;
// Modules from LoadLibrary: one reference each, dropped with FreeLibrary.
using LoadedLibrary = ScopedHandle<HandleTraits<HMODULE, ::FreeLibrary>>;
