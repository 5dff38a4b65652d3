#include "tarsainvoker.h"

#include "clientidentity.h"
#include "error.h"
#include "handles.h"
#include "ipcmessages.h"
#include "files.h"
#include "locks.h"
#include "paths.h"
#include "programfile.h"
#include "registry.h"
#include "trace.h"

#include <cerrno>
#include <cstring>

namespace {

constexpr char kTraceFile[] = "clients/common/tarsainvoker";
constexpr DWORD kInputIdleMs = 5000;

void Trace(uint32_t type, int line, const char* text) {
  if (text) TraceOut(TraceAreaDefault, type, kTraceFile, line, text);
}
void TraceFailure(int line, const char* text) {
  if (text) TraceAssert(TraceAreaDefault, TraceError, kTraceFile, line, text);
}
// The text, ": " and the text of the thread's last error (of errno when that is 0); the
// last-error value is kept for the caller.
void TraceWithLastError(uint32_t type, int line, const char* text) {
  DWORD error = ::GetLastError();
  Str line_text(text);
  line_text.Append(": ");
  line_text.Append(error != 0 ? GetErrorText(error) : Str(strerror(errno)));
  Trace(type, line, line_text.c_str());
  ::SetLastError(error);
}

// The invoker lock: a named lock of its own ("Unknown", like but separate from the library's
// lock of that name), created during static initialisation (or on first use, should a start run
// earlier) and never destroyed, so that a start on another thread can never meet a dead lock.
NamedCriticalSection& TheInvokerLock() {
  static NamedCriticalSection* s_invokerLock = new NamedCriticalSection("Unknown");
  return *s_invokerLock;
}
[[maybe_unused]] NamedCriticalSection& s_invokerLockAtStart = TheInvokerLock();

Str ClassName(const char* fixedPart) {
  Str name(fixedPart);
  name.Append(ClientIdentity::EditionSuffix);
  return name;
}

// Set by SetElevationCheck; null means the token query.
ElevationCheck s_elevationCheck = nullptr;

bool RunsElevated() { return s_elevationCheck ? s_elevationCheck() : TarsaInvoker::IsElevated(); }

// A Windows error as the HRESULT the error text is looked up for.
HRESULT ErrorAsHresult(DWORD error) {
  if (error == 0) return E_FAIL;
  if (static_cast<LONG>(error) > 0) return static_cast<HRESULT>(0x80070000u | (error & 0xFFFFu));
  return static_cast<HRESULT>(error);
}

}  // namespace

TarsaInvoker::TarsaInvoker() { TargetUI(); }

void TarsaInvoker::TargetUI() {
  windowClass_ = WStr(ClassName("TARSAUI"));
  windowName_ = WStr();
}

void TarsaInvoker::TargetCX(const Str& domainHref, const Str& userId) {
  domainHref_ = domainHref;
  userId_ = userId;
  windowClass_ = WStr(ClassName("TARSACX"));
  WStr name(domainHref);
  name.Append(L'|');
  name.Append(WStr(userId));
  windowName_ = name;
}

HWND TarsaInvoker::FindPartnerWindow() const {
  HWND window = ::FindWindowExW(nullptr, nullptr, windowClass_.c_str(),
                                windowName_.IsEmpty() ? nullptr : windowName_.c_str());
  if (!window) {
    DWORD error = ::GetLastError();
    Str className = Str::FromUtf16(windowClass_);
    TraceText text("| IPC|  no window|%s|%s|class|%s|", windowName_.IsEmpty() ? "" : domainHref_.c_str(),
                   windowName_.IsEmpty() ? "" : userId_.c_str(), className.c_str());
    Trace(TraceDetail, __LINE__, text.c_str());
    ::SetLastError(error);
  }
  return window;
}

bool TarsaInvoker::IsUIPresent() {
  TargetUI();
  return FindPartnerWindow() != nullptr;
}

bool TarsaInvoker::IsCXPresent() {
  TargetCX(domainHref_, userId_);
  return FindPartnerWindow() != nullptr;
}

bool TarsaInvoker::IsElevated() {
  KernelHandle token;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.Receive())) {
    TraceWithLastError(TraceError, __LINE__, "| IPC|open token?|");
    return false;
  }
  DWORD elevationType = 0, size = 0;
  if (!::GetTokenInformation(token.Get(), TokenElevationType, &elevationType, sizeof elevationType, &size)) {
    TraceWithLastError(TraceError, __LINE__, "| IPC|token info?|");
    return false;
  }
  if (size != sizeof elevationType) {
    TraceText text("| IPC|token info?|result size %u|expected size %u|", static_cast<unsigned>(size),
                   static_cast<unsigned>(sizeof elevationType));
    TraceFailure(__LINE__, text.c_str());
    return false;
  }
  if (elevationType != TokenElevationTypeFull) return false;
  Str program = ProgramFilePath();
  TraceText text("| IPC|elevated   |%s|", program.c_str());
  TraceFailure(__LINE__, text.c_str());
  return true;
}

Str UIProgramFileName() {
  Str name(ClientIdentity::ProgramProductName);
  name.Append("UI");
  name.Append(ClientIdentity::NameInfix);
  name.Append(".exe");
  return name;
}

Str RegisteredUILocation() {
  Str key("HKEY_COMPANY\\");
  key.Append(ClientIdentity::RegistryProductName);
  key.Append("UI");
  key.Append(ClientIdentity::NameInfix);
  return ReadRegistryText(key, Str(), Str("Path"), Str());
}

Str DefaultUILocation(const Str& programPath) {
  Str folder = DirectoryOf(NormalizePath(programPath, true));
  if (folder.IsEmpty() || CompareNoCase(FileNameOf(folder), Str("x64")) != 0) return Str();
  // The folder's own spelling is not kept: the location is rebuilt with "x64".
  // A drive root keeps its separator ("C:\"); AddTrailingSeparator adds one only where missing.
  Str location = AddTrailingSeparator(DirectoryOf(folder));
  location.Append("x64\\");
  location.Append(UIProgramFileName());
  return location;
}

namespace {

// The tray program to start: the registered location, else the default one beside this
// program's folder; empty with the reason in `error` when neither may or can be started.
Str ChooseUILocation(Str* error) {
  if (RunsElevated()) {
    // A full administrator token would hand the tray program rights the user never gave it.
    *error = ProgramFilePath();
    error->Append(" runs elevated.");
    return Str();
  }
  Str path = NormalizePath(RegisteredUILocation(), true);
  if (!path.IsEmpty() && FileExists(path)) return path;
  Str fallback = NormalizePath(DefaultUILocation(ProgramFilePath()), true);
  if (!fallback.IsEmpty() && FileExists(fallback)) return fallback;
  *error = fallback.IsEmpty() ? Str("No executable") : Concat(fallback, Str(" not found"));
  return Str();
}

// Starts `path` on the caller's desktop; false with the error text (and the path) in `error`.
bool LaunchUI(const Str& path, Str* error) {
  WStr quoted(QuotePath(path));
  WStr commandLine;
  wchar_t* buffer = commandLine.GetBuffer(quoted.Length() + 1);
  if (!buffer) {
    *error = GetErrorText(static_cast<uint32_t>(E_OUTOFMEMORY));
    return false;
  }
  quoted.CopyTo(buffer, quoted.Length() + 1);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW | STARTF_FORCEONFEEDBACK;
  startup.wShowWindow = SW_SHOW;
  PROCESS_INFORMATION process = {};
  // No desktop named: the tray program lands on the caller's desktop, where the window search
  // looks for it.
  if (!::CreateProcessW(nullptr, buffer, nullptr, nullptr, FALSE, CREATE_BREAKAWAY_FROM_JOB | NORMAL_PRIORITY_CLASS,
                        nullptr, nullptr, &startup, &process)) {
    DWORD code = ::GetLastError();
    *error = GetErrorText(static_cast<uint32_t>(ErrorAsHresult(code)));
    if (!error->IsEmpty()) error->Append(' ');
    error->Append('(');
    error->Append(path);
    error->Append(')');
    ::SetLastError(code);
    return false;
  }
  KernelHandle thread(process.hThread);
  KernelHandle child(process.hProcess);
  thread.Reset();
  if (child) {
    if (process.dwProcessId != 0) ::AllowSetForegroundWindow(process.dwProcessId);
    // A console-subsystem program answers WAIT_FAILED at once; the result does not matter.
    ::WaitForInputIdle(child.Get(), kInputIdleMs);
  }
  return true;
}

}  // namespace

bool TarsaInvoker::StartUI(Str* errorText) {
  NamedLockHold hold(TheInvokerLock(), "StartUI");
  if (IsUIPresent()) return true;
  {
    TraceText text("partner window of class [%ls] not found", windowClass_.c_str());
    Trace(TraceState, __LINE__, text.c_str());
  }
  Str error;
  Str path = ChooseUILocation(&error);
  if (!path.IsEmpty() && LaunchUI(path, &error)) return true;
  if (errorText) *errorText = error;
  return false;
}

int64_t TarsaInvoker::SendRequest(HWND window, int32_t id, const Str& text, bool foreground, uint32_t timeoutMs) {
  if (!window) {
    TraceFailure(__LINE__, "| IPC|WM_COPYDATA|no target|");
    return -1;
  }
  COPYDATASTRUCT data = IpcCopyData(id, text);
  if (foreground || IsForegroundRequest(id)) {
    DWORD processId = 0;
    ::GetWindowThreadProcessId(window, &processId);
    if (processId != 0) ::AllowSetForegroundWindow(processId);
  }
  // A partner that stops answering must not hold the caller for ever (a stop request waits on
  // this call): the request gives up after `timeoutMs`, or at once for a hung window.
  DWORD_PTR answer = 0;
  LRESULT result = 0;
  if (::SendMessageTimeoutA(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data), SMTO_ABORTIFHUNG,
                            timeoutMs, &answer))
    result = static_cast<LRESULT>(answer);
  if (result > 0) return result;

  const char* name = IpcMessageName(id);
  if (::IsWindow(window)) {
    TraceText line("| IPC|WM_COPYDATA|%s|target %p|failed|", name, static_cast<void*>(window));
    Trace(TraceDetail, __LINE__, line.c_str());
  } else {
    TraceText line("| IPC|WM_COPYDATA|%s|target %p destroyed|", name, static_cast<void*>(window));
    TraceFailure(__LINE__, line.c_str());
  }
  return result;
}

bool StartUI() {
  TarsaInvoker invoker;
  Str error;
  if (invoker.StartUI(&error)) return true;
  TraceText text("| IPC|start UI   |%s|", error.c_str());
  TraceFailure(__LINE__, text.c_str());
  return false;
}

void SetElevationCheck(ElevationCheck check) { s_elevationCheck = check; }
