#include "quitsystray.h"

#include "clientidentity.h"
#include "ipcmessages.h"
#include "registry.h"
#include "tarsainvoker.h"
#include "trace.h"
#include "win.h"

namespace {

constexpr char kTraceFile[] = "nclservice";
constexpr uint32_t kBudgetMs = 25000;
constexpr uint32_t kStepMs = 1000;

void Trace(int line, const char* text) {
  if (text) TraceOut(TraceAreaDefault, TraceState, kTraceFile, line, text);
}

// A request the tray does not answer is only traced: it is asked again after the next second.
void AskTrayToQuit(TarsaInvoker& invoker, int line) {
  int64_t result = TarsaInvoker::SendRequest(invoker.FindPartnerWindow(), IpcUiQuit, Str(), false);
  const char* text = TraceFormat("QuitSystray: UI returned %lld", static_cast<long long>(result));
  Trace(line, text);
  if (text) TraceFormatDone();
}

void TraceAccount(int line, const char* format, const CxRegistration& account) {
  const char* text = TraceFormat(format, account.domainHref.c_str(), account.userId.c_str());
  Trace(line, text);
  if (text) TraceFormatDone();
}

void TraceCxTimeout(int line, const CxRegistration& account) {
  const char* reason = TraceFormat("timeout waiting for cx process %s|%s to be terminated (25 sec)",
                                   account.domainHref.c_str(), account.userId.c_str());
  const char* text = TraceFormat("QuitSystray: %s", reason ? reason : "");
  Trace(line, text);
  if (text) TraceFormatDone();
  if (reason) TraceFormatDone();
}

Str Subkey(const Str& parent, const Str& name) {
  Str path = parent;
  path.Append('\\');
  path.Append(name);
  return path;
}

}  // namespace

std::vector<CxRegistration> ReadCxRegistrations() {
  Str root("HKEY_COMPANY\\");
  root.Append(ClientIdentity::RegistryProductName);
  root.Append("CX");
  root.Append(ClientIdentity::NameInfix);

  std::vector<CxRegistration> accounts;
  for (uint32_t d = 0;; ++d) {
    Str domainName = SubkeyNameAt(root, d);
    if (domainName.IsEmpty()) break;
    Str domainKey = Subkey(root, domainName);
    Str domainHref = ReadRegistryText(domainKey, Str(), Str("DomainHref"), Str());
    if (domainHref.IsEmpty()) continue;
    for (uint32_t u = 0;; ++u) {
      Str userName = SubkeyNameAt(domainKey, u);
      if (userName.IsEmpty()) break;
      Str userId = ReadRegistryText(Subkey(domainKey, userName), Str(), Str("UserId"), Str());
      if (!userId.IsEmpty()) accounts.push_back({domainHref, userId});
    }
  }
  return accounts;
}

bool QuitSystray() {
  Trace(__LINE__, "QuitSystray...");
  uint32_t elapsed = 0;
  TarsaInvoker tray;
  while (tray.IsUIPresent()) {
    if (elapsed >= kBudgetMs) {
      Trace(__LINE__, "QuitSystray: timeout waiting for ui process to be terminated (25 sec)");
      return false;
    }
    AskTrayToQuit(tray, __LINE__);
    ::Sleep(kStepMs);
    elapsed += kStepMs;
  }

  std::vector<CxRegistration> accounts = ReadCxRegistrations();
  for (const CxRegistration& account : accounts) {
    TarsaInvoker invoker;
    invoker.TargetCX(account.domainHref, account.userId);
    if (invoker.IsCXPresent()) {
      for (;;) {
        if (elapsed >= kBudgetMs) {
          TraceCxTimeout(__LINE__, account);
          return false;
        }
        // The tray ends its CX processes; as long as one lingers, the tray is asked again.
        if (invoker.IsUIPresent()) AskTrayToQuit(invoker, __LINE__);
        TraceAccount(__LINE__, "QuitSystray: Wait for CX process %s|%s to be terminated", account);
        ::Sleep(kStepMs);
        elapsed += kStepMs;
        if (!invoker.IsCXPresent()) break;
      }
    }
    TraceAccount(__LINE__, "QuitSystray: CX process %s|%s did quit", account);
  }
  return true;
}
