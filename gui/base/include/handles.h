// Owning wrappers for Windows handles: one small move-only owner per kind, so that
// "closed on every path" holds by construction.
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

// Events, processes, threads, mappings, tokens: null means "no handle".
struct KernelHandleTraits {
  using Type = HANDLE;
  static Type Invalid() { return nullptr; }
  static bool IsValid(Type h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
  static void Close(Type h) { ::CloseHandle(h); }
};
// Files and pipes: CreateFileW answers INVALID_HANDLE_VALUE on failure.
struct FileHandleTraits {
  using Type = HANDLE;
  static Type Invalid() { return INVALID_HANDLE_VALUE; }
  static bool IsValid(Type h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
  static void Close(Type h) { ::CloseHandle(h); }
};
struct FindHandleTraits {
  using Type = HANDLE;
  static Type Invalid() { return INVALID_HANDLE_VALUE; }
  static bool IsValid(Type h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
  static void Close(Type h) { ::FindClose(h); }
};
struct RegKeyTraits {
  using Type = HKEY;
  static Type Invalid() { return nullptr; }
  static bool IsValid(Type h) { return h != nullptr; }
  static void Close(Type h) { ::RegCloseKey(h); }
};
struct ServiceHandleTraits {
  using Type = SC_HANDLE;
  static Type Invalid() { return nullptr; }
  static bool IsValid(Type h) { return h != nullptr; }
  static void Close(Type h) { ::CloseServiceHandle(h); }
};
struct MappedViewTraits {
  using Type = void*;
  static Type Invalid() { return nullptr; }
  static bool IsValid(Type h) { return h != nullptr; }
  static void Close(Type h) { ::UnmapViewOfFile(h); }
};
// SIDs from AllocateAndInitializeSid.
struct AllocatedSidTraits {
  using Type = PSID;
  static Type Invalid() { return nullptr; }
  static bool IsValid(Type h) { return h != nullptr; }
  static void Close(Type h) { ::FreeSid(h); }
};
// ACLs, security descriptors and texts that Windows hands out with LocalAlloc.
struct LocalMemoryTraits {
  using Type = void*;
  static Type Invalid() { return nullptr; }
  static bool IsValid(Type h) { return h != nullptr; }
  static void Close(Type h) { ::LocalFree(h); }
};
// Blocks from the process heap (HeapAlloc on GetProcessHeap()).
struct HeapMemoryTraits {
  using Type = void*;
  static Type Invalid() { return nullptr; }
  static bool IsValid(Type h) { return h != nullptr; }
  static void Close(Type h) { ::HeapFree(::GetProcessHeap(), 0, h); }
};
struct EventSourceTraits {
  using Type = HANDLE;
  static Type Invalid() { return nullptr; }
  static bool IsValid(Type h) { return h != nullptr; }
  static void Close(Type h) { ::DeregisterEventSource(h); }
};
// Certificate contexts from the crypto API (also the signer certificate msi.dll hands out).
struct CertContextTraits {
  using Type = PCCERT_CONTEXT;
  static Type Invalid() { return nullptr; }
  static bool IsValid(Type h) { return h != nullptr; }
  static void Close(Type h) { ::CertFreeCertificateContext(h); }
};
// Certificate stores from CertOpenStore.
struct CertStoreTraits {
  using Type = HCERTSTORE;
  static Type Invalid() { return nullptr; }
  static bool IsValid(Type h) { return h != nullptr; }
  static void Close(Type h) { ::CertCloseStore(h, 0); }
};
// Modules from LoadLibrary: one reference each, dropped with FreeLibrary.
struct LoadedLibraryTraits {
  using Type = HMODULE;
  static Type Invalid() { return nullptr; }
  static bool IsValid(Type h) { return h != nullptr; }
  static void Close(Type h) { ::FreeLibrary(h); }
};

using KernelHandle = ScopedHandle<KernelHandleTraits>;
using FileHandle = ScopedHandle<FileHandleTraits>;
using FindHandle = ScopedHandle<FindHandleTraits>;
using RegKey = ScopedHandle<RegKeyTraits>;
using ServiceHandle = ScopedHandle<ServiceHandleTraits>;
using MappedView = ScopedHandle<MappedViewTraits>;
using AllocatedSid = ScopedHandle<AllocatedSidTraits>;
using LocalMemory = ScopedHandle<LocalMemoryTraits>;
using HeapMemory = ScopedHandle<HeapMemoryTraits>;
using CertContext = ScopedHandle<CertContextTraits>;
using CertStore = ScopedHandle<CertStoreTraits>;
using LoadedLibrary = ScopedHandle<LoadedLibraryTraits>;
