// The partner process invoker: points at the client's tray process ("UI") or at the CX process
// of one account, finds its window, starts the tray program when its window is missing and sends
// numbered requests. It holds no handles: every question searches the windows again, so a
// partner that restarted with a new window is found again.
#pragma once

#include "str.h"
#include "win.h"

#include <cstdint>

class TarsaInvoker {
 public:
  // A new invoker points at the tray process.
  TarsaInvoker();

  void TargetUI();
  // Window name "<domain reference>|<user id>" of class "TARSACXPU".
  void TargetCX(const Str& domainHref, const Str& userId);

  // The partner's top-level window on the calling thread's desktop, or null (traced).
  HWND FindPartnerWindow() const;
  // Re-target, then search; one object may alternate between the tray and a CX process.
  bool IsUIPresent();
  bool IsCXPresent();

  // Whether this process runs with a full elevated token; such a process never starts the tray.
  static bool IsElevated();

  // Starts the tray program unless its window exists. Serialised process-wide. On failure
  // `errorText` (may be null) says why.
  bool StartUI(Str* errorText);

  // How long one request may wait for the partner's answer.
  static constexpr uint32_t kRequestTimeoutMs = 5000;
  // Sends one request by WM_COPYDATA and returns the receiver's reply; -1 for a null window.
  // Blocks until the receiver's window procedure returns, at most `timeoutMs` (then 0).
  static int64_t SendRequest(HWND window, int32_t id, const Str& text, bool foreground,
                             uint32_t timeoutMs = kRequestTimeoutMs);

  const Str& DomainHref() const { return domainHref_; }
  const Str& UserId() const { return userId_; }
  const WStr& WindowClass() const { return windowClass_; }
  const WStr& WindowName() const { return windowName_; }

 private:
  Str domainHref_;
  Str userId_;
  WStr windowClass_;
  WStr windowName_;  // empty: any window of the class
};

// The tray program's file name: "CindravaleUI.exe".
Str UIProgramFileName();
// The registered location ("Path" of HKEY_COMPANY\VennacorCloudUI), not yet normalised.
Str RegisteredUILocation();
// The default location for a program path: only a program in a folder named "x64" (any case)
// has one, that folder's parent + "\x64\CindravaleUI.exe"; empty otherwise.
Str DefaultUILocation(const Str& programPath);

// The service's use: starts the tray program on a fresh invoker and traces a failure.
bool StartUI();

// The question StartUI asks before it starts anything: TarsaInvoker::IsElevated, unless another
// check was put in place (null puts the token query back). Where every process gets a full
// administrator token (Wine), a test answers in the token's place to reach the start itself.
using ElevationCheck = bool (*)();
void SetElevationCheck(ElevationCheck check);
