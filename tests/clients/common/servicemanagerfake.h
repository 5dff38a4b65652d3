// A stand-in for the service manager, for running a service main inside a test program: it takes
// the handler registration, records every status the service reports, delivers controls through
// the registered handler and its context as the dispatcher would, and runs the service main on a
// thread of its own as the dispatcher does.
#pragma once

#include "handles.h"
#include "servicemain.h"
#include "win.h"

#include <mutex>
#include <vector>

namespace servicetest {

struct StatusReport {
  DWORD state;
  DWORD exitCode;     // dwWin32ExitCode
  DWORD checkPoint;
  ULONGLONG atMs;     // GetTickCount64 when it was reported
};

class FakeServiceManager {
 public:
  // With `registrationFails`, the handler registration answers null with `registrationError`.
  explicit FakeServiceManager(bool registrationFails = false, DWORD registrationError = ERROR_SERVICE_DOES_NOT_EXIST)
      : registrationFails_(registrationFails), registrationError_(registrationError) {
    s_current = this;
    static const ServiceManagerCalls calls = {Register, SetStatus};
    SetServiceManagerCalls(&calls);
  }
  ~FakeServiceManager() {
    SetServiceManagerCalls(nullptr);
    s_current = nullptr;
  }
  FakeServiceManager(const FakeServiceManager&) = delete;
  FakeServiceManager& operator=(const FakeServiceManager&) = delete;

  bool Registered() const { return handler_ != nullptr; }

  std::vector<StatusReport> Reports() {
    std::lock_guard<std::mutex> hold(lock_);
    return reports_;
  }
  std::vector<DWORD> States() {
    std::vector<DWORD> states;
    for (const StatusReport& report : Reports()) states.push_back(report.state);
    return states;
  }
  // Waits until `state` has been reported; the report, or a zero report after the time-out.
  StatusReport WaitForState(DWORD state, DWORD timeoutMs) {
    ULONGLONG start = ::GetTickCount64();
    for (;;) {
      for (const StatusReport& report : Reports())
        if (report.state == state) return report;
      if (::GetTickCount64() - start > timeoutMs) return StatusReport{};
      ::Sleep(10);
    }
  }

  // A control as the dispatcher delivers it: to the registered handler with its own context.
  DWORD Control(DWORD control) {
    if (!handler_) return ERROR_SERVICE_NOT_ACTIVE;
    return handler_(control, 0, nullptr, handlerContext_);
  }

 private:
  static SERVICE_STATUS_HANDLE WINAPI Register(const wchar_t*, LPHANDLER_FUNCTION_EX handler, void* context) {
    FakeServiceManager* self = s_current;
    if (!self || self->registrationFails_) {
      ::SetLastError(self ? self->registrationError_ : ERROR_SERVICE_DOES_NOT_EXIST);
      return nullptr;
    }
    self->handler_ = handler;
    self->handlerContext_ = context;
    return reinterpret_cast<SERVICE_STATUS_HANDLE>(static_cast<ULONG_PTR>(0x5EC0));
  }
  static BOOL WINAPI SetStatus(SERVICE_STATUS_HANDLE handle, SERVICE_STATUS* status) {
    FakeServiceManager* self = s_current;
    if (!self || handle != reinterpret_cast<SERVICE_STATUS_HANDLE>(static_cast<ULONG_PTR>(0x5EC0))) {
      ::SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    std::lock_guard<std::mutex> hold(self->lock_);
    self->reports_.push_back({status->dwCurrentState, status->dwWin32ExitCode, status->dwCheckPoint, ::GetTickCount64()});
    return TRUE;
  }

  static inline FakeServiceManager* s_current = nullptr;
  bool registrationFails_;
  DWORD registrationError_;
  LPHANDLER_FUNCTION_EX handler_ = nullptr;
  void* handlerContext_ = nullptr;
  std::mutex lock_;
  std::vector<StatusReport> reports_;
};

// A service main running on a thread of its own, as the dispatcher starts it.
class ServiceMainRun {
 public:
  explicit ServiceMainRun(LPSERVICE_MAIN_FUNCTIONW serviceMain) : serviceMain_(serviceMain) {
    thread_.Reset(::CreateThread(nullptr, 0, Run, this, 0, nullptr));
  }
  ~ServiceMainRun() {
    // A service main that never ends would outlive the objects it uses; the test has failed
    // already, and ending the program is the only safe way on.
    if (thread_ && ::WaitForSingleObject(thread_.Get(), 120000) != WAIT_OBJECT_0) ::ExitProcess(3);
  }
  ServiceMainRun(const ServiceMainRun&) = delete;
  ServiceMainRun& operator=(const ServiceMainRun&) = delete;

  bool Started() const { return thread_.IsValid(); }
  bool WaitForEnd(DWORD timeoutMs) { return thread_ && ::WaitForSingleObject(thread_.Get(), timeoutMs) == WAIT_OBJECT_0; }

 private:
  static DWORD WINAPI Run(void* self) {
    static_cast<ServiceMainRun*>(self)->serviceMain_(0, nullptr);
    return 0;
  }
  LPSERVICE_MAIN_FUNCTIONW serviceMain_;
  KernelHandle thread_;
};

}  // namespace servicetest
