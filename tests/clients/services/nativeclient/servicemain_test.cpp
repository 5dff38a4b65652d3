// The native client service's host in-process: the states its service main reports, watched
// through a stand-in for the service manager, the stop path against the tray supervision, and
// the registered accounts that a shutdown waits for. The per-account event names and the client
// registry keys are shared with the end-to-end tests, hence the lock.
// ctest-property: RESOURCE_LOCK native-service
// ctest-property: TIMEOUT 120
#include "../../common/servicemanagerfake.h"
#include "clientidentity.h"
#include "nclservice.h"
#include "quitsystray.h"
#include "sharedevent.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

namespace {

using servicetest::FakeServiceManager;
using servicetest::StatusReport;

// What this process writes as debugger output (the trace channel's fallback without a tracer):
// OutputDebugStringA raises DBG_PRINTEXCEPTION_C with the text before it looks for a debugger,
// so a vectored handler sees every line, on Windows and under Wine, without a listener that
// other processes would queue for.
class DebugTextCatcher {
 public:
  DebugTextCatcher() {
    s_current = this;
    handler_ = AddVectoredExceptionHandler(1, Catch);
  }
  ~DebugTextCatcher() {
    RemoveVectoredExceptionHandler(handler_);
    s_current = nullptr;
  }
  DebugTextCatcher(const DebugTextCatcher&) = delete;
  DebugTextCatcher& operator=(const DebugTextCatcher&) = delete;

  std::string Text() {
    std::lock_guard<std::mutex> hold(lock_);
    return text_;
  }
  bool Saw(const std::string& needle) { return Text().find(needle) != std::string::npos; }
  void Clear() {
    std::lock_guard<std::mutex> hold(lock_);
    text_.clear();
  }

 private:
  static LONG CALLBACK Catch(EXCEPTION_POINTERS* exception) {
    const EXCEPTION_RECORD* record = exception->ExceptionRecord;
    DebugTextCatcher* self = s_current;
    if (self && record->ExceptionCode == DBG_PRINTEXCEPTION_C && record->NumberParameters >= 2 &&
        record->ExceptionInformation[1]) {
      size_t length = static_cast<size_t>(record->ExceptionInformation[0]);  // with the terminating zero
      std::lock_guard<std::mutex> hold(self->lock_);
      self->text_.append(reinterpret_cast<const char*>(record->ExceptionInformation[1]), length ? length - 1 : 0);
    }
    return EXCEPTION_CONTINUE_SEARCH;
  }

  static inline DebugTextCatcher* s_current = nullptr;
  void* handler_ = nullptr;
  std::mutex lock_;
  std::string text_;
};

const wchar_t kCxKey[] = L"Software\\Vennacor\\VennacorCloudCX";
const wchar_t kUiKey[] = L"Software\\Vennacor\\VennacorCloudUI";

class NativeServiceInProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    RegDeleteTreeW(HKEY_CURRENT_USER, kCxKey);
    RegDeleteTreeW(HKEY_CURRENT_USER, kUiKey);
  }
  void TearDown() override {
    for (KernelHandle& process : children_) {
      TerminateProcess(process.Get(), 1);
      WaitForSingleObject(process.Get(), 5000);
    }
    RegDeleteTreeW(HKEY_CURRENT_USER, kCxKey);
  }
  // Writes one REG_SZ value, creating the key; the names may hold any UTF-16 units.
  static bool WriteText(const std::wstring& subkey, const wchar_t* name, const std::wstring& value) {
    RegKey key;
    std::wstring path = std::wstring(kCxKey) + L"\\" + subkey;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.Receive(),
                        nullptr))
      return false;
    return RegSetValueExW(key.Get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
  }
  static std::wstring SubkeyAt(const std::wstring& subkey, DWORD index) {
    RegKey key;
    std::wstring path = std::wstring(kCxKey) + (subkey.empty() ? L"" : L"\\" + subkey);
    if (RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, key.Receive())) return L"(no key)";
    wchar_t name[256];
    DWORD size = 256;
    if (RegEnumKeyExW(key.Get(), index, name, &size, nullptr, nullptr, nullptr, nullptr)) return L"(none)";
    return std::wstring(name, size);
  }
  // A CX stand-in on this process's desktop, ended at the latest when the test ends.
  HANDLE StartCx(const std::wstring& arguments) {
    std::wstring commandLine = L"\"" + test::ProgramPath(L"cxstandin") + L"\" " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
      return nullptr;
    CloseHandle(info.hThread);
    test::AdoptChildProcess(info.hProcess);
    children_.emplace_back(info.hProcess);
    return info.hProcess;
  }

  std::vector<KernelHandle> children_;
};

TEST_F(NativeServiceInProcess, PlantedShutdownEventEndsTheServiceWithItsError) {
  KernelHandle planted(CreateEventW(nullptr, FALSE, FALSE, GlobalEventName(ClientIdentity::ShutdownEventName).c_str()));
  ASSERT_TRUE(planted);
  FakeServiceManager manager;
  ServiceMain(0, nullptr);  // returns: the test would hang otherwise
  std::vector<StatusReport> reports = manager.Reports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].state, static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_EQ(reports[0].exitCode, static_cast<DWORD>(ERROR_ALREADY_EXISTS));
}

TEST_F(NativeServiceInProcess, FailedHandlerRegistrationReportsNothingAndReturns) {
  FakeServiceManager manager(true, ERROR_INVALID_NAME);
  ServiceMain(0, nullptr);
  EXPECT_TRUE(manager.Reports().empty());
}

TEST_F(NativeServiceInProcess, StopWorksOnTheContextItIsGiven) {
  FakeServiceManager manager;
  ServiceContext context;
  InitServiceStatus(context);
  context.statusHandle = reinterpret_cast<SERVICE_STATUS_HANDLE>(static_cast<ULONG_PTR>(0x5EC0));
  context.events[0].Reset(CreateEventA(nullptr, FALSE, FALSE, nullptr));
  context.events[1].Reset(CreateEventA(nullptr, FALSE, FALSE, nullptr));
  HANDLE stop = context.events[1].Get();
  context.ready = true;
  EXPECT_EQ(ControlHandler(SERVICE_CONTROL_STOP, 0, nullptr, &context), 0u);
  EXPECT_EQ(manager.States(), std::vector<DWORD>{SERVICE_STOP_PENDING});
  EXPECT_EQ(WaitForSingleObject(stop, 0), WAIT_OBJECT_0) << "the stop event of this context";

  ServiceContext failed;
  InitServiceStatus(failed);
  failed.lastError = ERROR_ALREADY_EXISTS;
  EXPECT_EQ(ControlHandler(SERVICE_CONTROL_STOP, 0, nullptr, &failed), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(manager.States().size(), 1u);
}

TEST_F(NativeServiceInProcess, SupervisionStartsNoTrayOnceAStopWasRequested) {
  // The stop path asks the tray to quit; a supervision that came after it must not start a new
  // one behind the stopping service. End to end the race needs the minute's time-out to fall
  // into a stop, which cannot be arranged reliably, so the two steps run here in their order.
  DebugTextCatcher traces;
  const char kStartTried[] = "partner window of class [TARSAUIPU] not found";
  ServiceContext context;
  InitServiceStatus(context);
  // No tray window: the supervision tries a start (which finds no program here, or refuses to
  // start one from a process with a full administrator token, as every Wine process has).
  SuperviseTray(context);
  ASSERT_TRUE(traces.Saw(kStartTried)) << "the trace channel's debugger output is not seen:\n" << traces.Text();

  traces.Clear();
  EXPECT_EQ(ControlHandler(SERVICE_CONTROL_STOP, 0, nullptr, &context), 0u);
  EXPECT_TRUE(traces.Saw("QuitSystray...")) << traces.Text();
  SuperviseTray(context);
  EXPECT_FALSE(traces.Saw(kStartTried)) << traces.Text();
}

TEST_F(NativeServiceInProcess, UnreadableRegistrationNameHidesOnlyItsOwnKey) {
  // Key names are UTF-16 and may hold an unpaired surrogate, which has no UTF-8 form. The
  // registry lists names in upper-case order, so U+D800 comes before U+FF41 ("ａ").
  const std::wstring bad = std::wstring(1, static_cast<wchar_t>(0xD800)) + L"bad";
  const std::wstring good = std::wstring(1, static_cast<wchar_t>(0xFF41)) + L"good";
  ASSERT_TRUE(WriteText(bad, L"DomainHref", L"https://hidden.example"));
  ASSERT_TRUE(WriteText(bad + L"\\" + good, L"UserId", L"mallory"));
  ASSERT_TRUE(WriteText(good, L"DomainHref", L"https://a.example"));
  ASSERT_TRUE(WriteText(good + L"\\" + bad, L"UserId", L"eve"));
  ASSERT_TRUE(WriteText(good + L"\\" + good, L"UserId", L"alice"));
  ASSERT_EQ(SubkeyAt(L"", 0), bad) << "the unreadable name must come first to show the fault";
  ASSERT_EQ(SubkeyAt(good, 0), bad);

  std::vector<CxRegistration> accounts = ReadCxRegistrations();
  ASSERT_EQ(accounts.size(), 1u);
  EXPECT_EQ(accounts[0].domainHref, Str("https://a.example"));
  EXPECT_EQ(accounts[0].userId, Str("alice"));

  // The shutdown waits for that account's window to go.
  HANDLE cx = StartCx(L"--domain=https://a.example --user=alice --lifetime=2500");
  ASSERT_TRUE(cx);
  ULONGLONG waitStart = GetTickCount64();
  while (!FindWindowExW(nullptr, nullptr, L"TARSACXPU", L"https://a.example|alice") && GetTickCount64() - waitStart < 10000)
    Sleep(20);
  ASSERT_TRUE(FindWindowExW(nullptr, nullptr, L"TARSACXPU", L"https://a.example|alice"));
  DebugTextCatcher traces;
  EXPECT_TRUE(QuitSystray());
  EXPECT_FALSE(FindWindowExW(nullptr, nullptr, L"TARSACXPU", L"https://a.example|alice"))
      << "QuitSystray returned while the account's window was still open";
  EXPECT_TRUE(traces.Saw("QuitSystray: CX process https://a.example|alice did quit")) << traces.Text();
}

}  // namespace
