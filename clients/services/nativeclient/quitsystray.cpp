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

// The one budget of a run: the seconds slept and the time spent inside every request. A stop
// runs QuitSystray inside the control handler, which Windows gives 30 seconds; a tray that
// answers each request just before its time-out must not stretch the run to minutes.
class QuitBudget {
 public:
  explicit QuitBudget(uint32_t spentMs) { Spend(spentMs); }
  bool Exhausted() const { return elapsedMs_ >= kBudgetMs; }
  uint32_t RemainingMs() const { return Exhausted() ? 0 : kBudgetMs - elapsedMs_; }
  void Spend(uint32_t ms) { elapsedMs_ = ms >= kBudgetMs - elapsedMs_ ? kBudgetMs : elapsedMs_ + ms; }
  // The pause between two looks at the windows, never past the end of the budget.
  void Pause() {
    uint32_t ms = RemainingMs() < kStepMs ? RemainingMs() : kStepMs;
    ::Sleep(ms);
    Spend(ms);
  }

 private:
  uint32_t elapsedMs_ = 0;
};

// A request the tray does not answer is only traced: it is asked again after the next pause. The
// request waits no longer than the budget has left, and its time is spent from the budget.
void AskTrayToQuit(TarsaInvoker& invoker, QuitBudget& budget, int line) {
  uint32_t timeoutMs = budget.RemainingMs() < TarsaInvoker::kRequestTimeoutMs ? budget.RemainingMs()
                                                                               : TarsaInvoker::kRequestTimeoutMs;
  ULONGLONG start = ::GetTickCount64();
  int64_t result = TarsaInvoker::SendRequest(invoker.FindPartnerWindow(), IpcUiQuit, Str(), false, timeoutMs);
  budget.Spend(static_cast<uint32_t>(::GetTickCount64() - start));
  TraceText text("QuitSystray: UI returned %lld", static_cast<long long>(result));
  Trace(line, text.c_str());
}

void TraceAccount(int line, const char* format, const CxRegistration& account) {
  TraceText text(format, account.domainHref.c_str(), account.userId.c_str());
  Trace(line, text.c_str());
}

void TraceCxTimeout(int line, const CxRegistration& account) {
  TraceText reason("timeout waiting for cx process %s|%s to be terminated (25 sec)", account.domainHref.c_str(),
                   account.userId.c_str());
  TraceText text("QuitSystray: %s", reason ? reason.c_str() : "");
  Trace(line, text.c_str());
}

Str Subkey(const Str& parent, const Str& name) {
  Str path = parent;
  path.Append('\\');
  path.Append(name);
  return path;
}

// The number of subkeys RegQueryInfoKey reports; 0 when the key cannot be opened or asked.
uint32_t SubkeyCount(const Str& path) {
  RegistryKey key;
  if (!OpenRegistryKey(path, RegistryRead, RegistryViewDefault, &key)) return 0;
  DWORD count = 0;
  if (::RegQueryInfoKeyW(key.Get(), nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr, nullptr, nullptr,
                         nullptr, nullptr) != ERROR_SUCCESS)
    return 0;
  return count;
}

}  // namespace

std::vector<CxRegistration> ReadCxRegistrations() {
  Str root("HKEY_COMPANY\\");
  root.Append(ClientIdentity::RegistryProductName);
  root.Append("CX");
  root.Append(ClientIdentity::NameInfix);

  std::vector<CxRegistration> accounts;
  uint32_t domains = SubkeyCount(root);
  for (uint32_t d = 0; d < domains; ++d) {
    // A name that cannot be read (or converted to UTF-8) hides only its own key, never the
    // accounts registered after it: their windows must still be waited for.
    Str domainName = SubkeyNameAt(root, d);
    if (domainName.IsEmpty()) continue;
    Str domainKey = Subkey(root, domainName);
    Str domainHref = ReadRegistryText(domainKey, Str(), Str("DomainHref"), Str());
    if (domainHref.IsEmpty()) continue;
    uint32_t users = SubkeyCount(domainKey);
    for (uint32_t u = 0; u < users; ++u) {
      Str userName = SubkeyNameAt(domainKey, u);
      if (userName.IsEmpty()) continue;
      Str userId = ReadRegistryText(Subkey(domainKey, userName), Str(), Str("UserId"), Str());
      if (!userId.IsEmpty()) accounts.push_back({domainHref, userId});
    }
  }
  return accounts;
}

bool QuitSystray(uint32_t spentMs) {
  Trace(__LINE__, "QuitSystray...");
  QuitBudget budget(spentMs);
  TarsaInvoker tray;
  while (tray.IsUIPresent()) {
    if (budget.Exhausted()) {
      Trace(__LINE__, "QuitSystray: timeout waiting for ui process to be terminated (25 sec)");
      return false;
    }
    AskTrayToQuit(tray, budget, __LINE__);
    budget.Pause();
  }

  std::vector<CxRegistration> accounts = ReadCxRegistrations();
  for (const CxRegistration& account : accounts) {
    TarsaInvoker invoker;
    invoker.TargetCX(account.domainHref, account.userId);
    if (invoker.IsCXPresent()) {
      for (;;) {
        if (budget.Exhausted()) {
          TraceCxTimeout(__LINE__, account);
          return false;
        }
        // The tray ends its CX processes; as long as one lingers, the tray is asked again.
        if (invoker.IsUIPresent()) AskTrayToQuit(invoker, budget, __LINE__);
        TraceAccount(__LINE__, "QuitSystray: Wait for CX process %s|%s to be terminated", account);
        budget.Pause();
        if (!invoker.IsCXPresent()) break;
      }
    }
    TraceAccount(__LINE__, "QuitSystray: CX process %s|%s did quit", account);
  }
  return true;
}
