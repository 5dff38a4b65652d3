// The services as a whole: one update pass in-process over N announcements without packages
// (how the pass grows with N), push-to-result latency of a rejected package through the
// running update service, stop latency of the native client service with no tray, and each
// service's working set and handle count after start and after many requests.
//
// It uses the machine-wide drop and update folders and registers services of its own: run it
// alone (scripts/bench does), never beside the test suite.
#include "benchutil.h"
#include "clientidentity.h"
#include "directories.h"
#include "files.h"
#include "handles.h"
#include "packagefiles.h"
#include "paths.h"
#include "servicestep.h"
#include "sharedevent.h"

#include <psapi.h>
#include <sddl.h>

#include <cctype>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr int kPassRepetitions = 3;
constexpr int kLargePassRepetitions = 1;
constexpr int kLatencyRepetitions = 7;
constexpr int kStopRepetitions = 5;
constexpr DWORD kResultTimeoutMs = 30000;

int RequestCount() {
  const char* text = getenv("BENCH_SERVICE_REQUESTS");
  int n = text ? atoi(text) : 0;
  return n > 0 ? n : 1000;
}

Str DropFolder() { return DropFolderPath(); }
Str UpdateFolder() { return UpdateFolderPath(); }
std::wstring In(const Str& folder, const std::string& name) {
  return std::wstring(WStr(folder).c_str()) + L"\\" + WStr(name.c_str()).c_str();
}
bool Exists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }
// Through the folder's handle, so that files no path can name (NUL.pending) go too.
void EmptyFolder(const Str& folder) {
  HeldFolder held;
  PathList names;
  if (!held.Open(folder) || !held.ListFileNames(&names)) return;
  for (uint32_t i = 0; i < names.Length(); ++i) held.DeleteEntry(names[i]);
}
// Empty folders made afresh: a folder that once held thousands of entries stays large on disk
// (ext4 does not shrink directories), and every scan of it under Wine then costs as much as then.
void CleanFolders() {
  MakeDirectory(DropFolder(), true);
  MakeDirectory(UpdateFolder(), true);
  EmptyFolder(DropFolder());
  EmptyFolder(UpdateFolder());
  ::RemoveDirectoryW(WStr(DropFolder()).c_str());
  ::RemoveDirectoryW(WStr(UpdateFolder()).c_str());
  MakeDirectory(DropFolder(), true);
  MakeDirectory(UpdateFolder(), true);
}
bool Touch(const std::wstring& path) {
  FileHandle f(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  return f.IsValid();
}
std::string ReadText(const std::wstring& path) {
  FileHandle f(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, 0, nullptr));
  if (!f) return {};
  char buffer[256];
  DWORD n = 0;
  if (!::ReadFile(f.Get(), buffer, sizeof buffer, &n, nullptr)) return {};
  return std::string(buffer, n);
}
// A reader that comes while the result file is being written sees it empty or cut short.
bool WaitResult(const std::wstring& path, std::string* line) {
  DWORD start = ::GetTickCount();
  for (;;) {
    if (Exists(path)) {
      *line = ReadText(path);
      // Complete once it ends in ": <code>" (a line break may follow).
      size_t end = line->find_last_not_of("\r\n");
      if (end != std::string::npos && end >= 2 && isdigit(static_cast<unsigned char>((*line)[end])) &&
          line->compare(end - 2, 2, ": ") == 0)
        return true;
    }
    if (::GetTickCount() - start > kResultTimeoutMs) return false;
    ::Sleep(1);
  }
}

std::wstring BenchDir() {
  wchar_t path[MAX_PATH];
  DWORD n = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring p(path, n);
  return p.substr(0, p.find_last_of(L'\\'));
}

// ---------------------------------------------------------------------------------------------
// Services registered for the run and removed again on every path.

class BenchService {
 public:
  BenchService(const std::wstring& name, const std::wstring& image, const std::wstring& display)
      : name_(name), manager_(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)) {
    if (!manager_) return;
    service_.Reset(::OpenServiceW(manager_.Get(), name.c_str(), SERVICE_ALL_ACCESS));
    if (service_) Remove();  // a leftover of a killed run
    service_.Reset(::CreateServiceW(manager_.Get(), name.c_str(), display.c_str(), SERVICE_ALL_ACCESS,
                                    SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                    image.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    if (!service_) printf("CreateServiceW(%ls) failed: %lu\n", name.c_str(), ::GetLastError());
  }
  ~BenchService() { Remove(); }
  bool IsValid() const { return service_.IsValid(); }

  bool Start() {
    DWORD start = ::GetTickCount();
    while (!::StartServiceW(service_.Get(), 0, nullptr)) {
      if (::GetLastError() != ERROR_SERVICE_DATABASE_LOCKED || ::GetTickCount() - start > 30000) return false;
      ::Sleep(100);
    }
    if (WaitState(SERVICE_RUNNING, 30000) != SERVICE_RUNNING) return false;
    process_.Reset(::OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | SYNCHRONIZE | PROCESS_TERMINATE, FALSE,
                                 ProcessId()));
    return process_.IsValid();
  }
  // ms from ControlService(STOP) to SERVICE_STOPPED as the service manager reports it.
  double StopMs() {
    SERVICE_STATUS status;
    double start = bench::NowNs();
    if (!::ControlService(service_.Get(), SERVICE_CONTROL_STOP, &status)) return -1;
    for (;;) {
      DWORD state = State();
      if (state == SERVICE_STOPPED) break;
      if (state == 0 || bench::NowNs() - start > 30e9) return -1;
      ::Sleep(0);
    }
    double ms = (bench::NowNs() - start) / 1e6;
    if (process_) ::WaitForSingleObject(process_.Get(), 10000);
    process_.Reset();
    return ms;
  }
  DWORD State() {
    SERVICE_STATUS_PROCESS s = {};
    DWORD needed;
    if (!::QueryServiceStatusEx(service_.Get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&s), sizeof s, &needed))
      return 0;
    return s.dwCurrentState;
  }
  HANDLE Process() const { return process_.Get(); }

 private:
  DWORD ProcessId() {
    SERVICE_STATUS_PROCESS s = {};
    DWORD needed;
    if (!::QueryServiceStatusEx(service_.Get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&s), sizeof s, &needed))
      return 0;
    return s.dwProcessId;
  }
  DWORD WaitState(DWORD want, DWORD timeoutMs) {
    DWORD start = ::GetTickCount();
    for (;;) {
      DWORD state = State();
      if (state == want || ::GetTickCount() - start > timeoutMs) return state;
      ::Sleep(5);
    }
  }
  void Remove() {
    if (!service_) return;
    if (State() != SERVICE_STOPPED && State() != 0) StopMs();
    // Wine's service manager never notices a killed service: a stuck one is ended here.
    if (process_ && ::WaitForSingleObject(process_.Get(), 5000) != WAIT_OBJECT_0) ::TerminateProcess(process_.Get(), 1);
    ::DeleteService(service_.Get());
    service_.Reset();
    process_.Reset();
  }

  std::wstring name_;
  ServiceHandle manager_;
  ServiceHandle service_;
  KernelHandle process_;
};

// The handles a process holds, counted in the system's handle table
// (NtQuerySystemInformation, SystemExtendedHandleInformation): Wine's GetProcessHandleCount
// answers 0 for every process, its handle table is complete. -1 when it cannot be read.
double CountHandlesInSystemTable(DWORD processId) {
  struct Entry {
    void* object;
    ULONG_PTR processId;
    ULONG_PTR handle;
    ULONG access;
    USHORT creatorBackTraceIndex;
    USHORT objectTypeIndex;
    ULONG attributes;
    ULONG reserved;
  };
  struct Table {
    ULONG_PTR count;
    ULONG_PTR reserved;
    Entry entries[1];
  };
  using Query = LONG(WINAPI*)(ULONG, void*, ULONG, ULONG*);
  constexpr ULONG kSystemExtendedHandleInformation = 64;
  constexpr LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);
  static const Query query = reinterpret_cast<Query>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
  if (!query) return -1;
  std::vector<unsigned char> buffer(1 << 20);
  LONG status;
  ULONG needed = 0;
  while ((status = query(kSystemExtendedHandleInformation, buffer.data(), ULONG(buffer.size()), &needed)) ==
         kInfoLengthMismatch)
    buffer.resize(buffer.size() * 2);
  if (status != 0) return -1;
  const Table* table = reinterpret_cast<const Table*>(buffer.data());
  double count = 0;
  for (ULONG_PTR i = 0; i < table->count; ++i)
    if (table->entries[i].processId == processId) ++count;
  return count;
}

struct Footprint {
  double peakKB = -1, workingKB = -1;
  double handles = -1;  // -1: the count could not be read
};
Footprint Measure(HANDLE process) {
  Footprint f;
  PROCESS_MEMORY_COUNTERS pmc = {};
  pmc.cb = sizeof pmc;
  if (::GetProcessMemoryInfo(process, &pmc, sizeof pmc)) {
    f.peakKB = double(pmc.PeakWorkingSetSize) / 1024;
    f.workingKB = double(pmc.WorkingSetSize) / 1024;
  }
  DWORD handles = 0;
  // Wine answers 0 for every process: a count of 0 is no count at all.
  if (::GetProcessHandleCount(process, &handles) && handles > 0) f.handles = handles;
  else f.handles = CountHandlesInSystemTable(::GetProcessId(process));
  return f;
}
void ReportFootprint(const char* service, const char* when, const Footprint& start, const Footprint& after) {
  printf("%s: peak working set %.0f KB after start, %.0f KB %s; working set %.0f -> %.0f KB; handles %.0f -> %.0f\n",
         service, start.peakKB, after.peakKB, when, start.workingKB, after.workingKB, start.handles, after.handles);
  char name[96];
  snprintf(name, sizeof name, "%s.peak-working-set.%s", service, when);
  bench::Report(name, after.peakKB, start.peakKB, "KB", true, "baseline=after-start");
  snprintf(name, sizeof name, "%s.handles.%s", service, when);
  if (after.handles < 0 || start.handles < 0)
    bench::Report(name, -1, -1, "handles", true, "no-handle-count-available");
  else
    bench::Report(name, after.handles, start.handles, "handles", true, "baseline=after-start");
}

// The string form of the SID of the account a process runs as: the service's per-account
// events carry it.
std::wstring ProcessSidText(HANDLE process) {
  KernelHandle token;
  if (!::OpenProcessToken(process, TOKEN_QUERY, token.Receive())) return {};
  std::vector<BYTE> buffer(256);
  DWORD size = 0;
  if (!::GetTokenInformation(token.Get(), TokenUser, buffer.data(), DWORD(buffer.size()), &size)) return {};
  wchar_t* text = nullptr;
  if (!::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text)) return {};
  std::wstring sid(text);
  ::LocalFree(text);
  return sid;
}

// ---------------------------------------------------------------------------------------------

void UpdatePassCase() {
  printf("update pass in-process over N announcements without packages (code 7): median of %d passes per N "
         "(%d for N = 10000)\n",
         kPassRepetitions, kLargePassRepetitions);
  // A pass over an empty folder: what every pass costs before its first announcement (holding
  // and checking the folders, listing them). Each N's line also shows the cost per announcement
  // beyond it.
  std::vector<double> empty;
  for (int r = 0; r < kPassRepetitions; ++r) {
    CleanFolders();
    double start = bench::NowNs();
    UpdateStep();
    empty.push_back((bench::NowNs() - start) / 1e6);
  }
  const double emptyMs = bench::MedianOf(empty);
  printf("N=0     %10.1f ms per pass (an empty drop folder)\n", emptyMs);
  double perAnnouncement10 = 0;
  for (int n : {10, 100, 1000, 10000}) {
    std::vector<double> figures;
    bool allAnswered = true;
    const int repetitions = n >= 10000 ? kLargePassRepetitions : kPassRepetitions;
    for (int r = 0; r < repetitions; ++r) {
      CleanFolders();
      for (int i = 0; i < n; ++i) Touch(In(DropFolder(), "bench" + std::to_string(i) + ".pending"));
      double start = bench::NowNs();
      UpdateStep();
      figures.push_back((bench::NowNs() - start) / 1e6);
      allAnswered = allAnswered && Exists(In(UpdateFolder(), "bench" + std::to_string(n - 1) + ".result")) &&
                    ReadText(In(UpdateFolder(), "bench0.result")).find(": 7") != std::string::npos;
    }
    CleanFolders();
    double ms = bench::MedianOf(figures);
    if (n == 10) perAnnouncement10 = ms / n;
    printf("N=%-5d %10.1f ms per pass  %8.3f ms per announcement  %8.3f ms beyond the empty pass  %s\n", n, ms,
           ms / n, (ms - emptyMs) / n, allAnswered ? "all answered with code 7" : "NOT ALL ANSWERED");
    char name[64];
    snprintf(name, sizeof name, "update-pass.N%d", n);
    // The baseline column: N times the cost per announcement at N = 10, what linear growth gives.
    bench::Report(name, ms, perAnnouncement10 * n, "ms", true, "baseline=linear-from-N10");
  }
}

void UpdateServiceCases(const std::wstring& binDir, const std::wstring& fixtures) {
  CleanFolders();
  std::wstring name = L"CindravaleUSBench" + std::to_wstring(::GetCurrentProcessId());
  BenchService service(name, binDir + L"\\CindravaleUS.exe", L"Cindravale Update Service Bench " + name);
  if (!service.IsValid() || !service.Start()) {
    printf("the update service did not start\n");
    bench::Report("update-service.push-to-result.rejected", -1, -1, "ms", true, "service-did-not-start");
    return;
  }
  Footprint start = Measure(service.Process());
  KernelHandle push(::OpenEventA(EVENT_MODIFY_STATE, FALSE, ClientIdentity::MsiPushEventName));
  if (!push) {
    printf("push event missing: %lu\n", ::GetLastError());
    return;
  }

  // One unsigned package at a time: dropped as the client drops it, then the signal.
  std::vector<double> latencies;
  std::string line;
  int rejected = 0;
  for (int r = 0; r < kLatencyRepetitions; ++r) {
    std::string base = "rejected" + std::to_string(r);
    ::CopyFileW(fixtures.c_str(), In(DropFolder(), base + ".msi").c_str(), FALSE);
    Touch(In(DropFolder(), base + ".pending"));
    double t0 = bench::NowNs();
    ::SetEvent(push.Get());
    if (!WaitResult(In(UpdateFolder(), base + ".result"), &line)) break;
    latencies.push_back((bench::NowNs() - t0) / 1e6);
    if (line.find(": 6") != std::string::npos) ++rejected;
    else printf("  %s answered '%s'\n", base.c_str(), line.c_str());
  }
  printf("push to result, unsigned package: median of %zu: %.1f ms (%d answered with code 6)\n", latencies.size(),
         bench::MedianOf(latencies), rejected);
  bench::Report("update-service.push-to-result.rejected", bench::MedianOf(latencies), -1, "ms", true);

  // Many passes, each one announcement without a package, answered and cleared before the next.
  int requests = RequestCount();
  std::vector<double> passes;
  for (int i = 0; i < requests; ++i) {
    std::string base = "pass" + std::to_string(i);
    std::wstring result = In(UpdateFolder(), base + ".result");
    Touch(In(DropFolder(), base + ".pending"));
    double t0 = bench::NowNs();
    ::SetEvent(push.Get());
    if (!WaitResult(result, &line)) {
      printf("pass %d unanswered\n", i);
      break;
    }
    passes.push_back((bench::NowNs() - t0) / 1e6);
    ::DeleteFileW(result.c_str());
  }
  printf("push to result, no package: median of %zu passes: %.2f ms\n", passes.size(), bench::MedianOf(passes));
  bench::Report("update-service.push-to-result.no-package", bench::MedianOf(passes), -1, "ms", true);
  Footprint after = Measure(service.Process());
  char when[32];
  snprintf(when, sizeof when, "after-%zu-passes", passes.size());
  ReportFootprint("update-service", when, start, after);
  double stop = service.StopMs();
  printf("update service stop: %.1f ms\n", stop);
  CleanFolders();
}

void NativeServiceCases(const std::wstring& binDir) {
  std::wstring name = L"CindravaleSVCBench" + std::to_wstring(::GetCurrentProcessId());
  BenchService service(name, binDir + L"\\CindravaleSVC.exe", L"Cindravale Native Service Bench " + name);
  if (!service.IsValid()) return;

  // Stop latency with no tray: the tray program is not beside the service program.
  std::vector<double> stops;
  for (int r = 0; r < kStopRepetitions; ++r) {
    if (!service.Start()) {
      printf("the native client service did not start\n");
      break;
    }
    ::Sleep(200);  // past the start's own tray check
    double ms = service.StopMs();
    if (ms >= 0) stops.push_back(ms);
  }
  printf("native client service stop without a tray: median of %zu: %.1f ms\n", stops.size(), bench::MedianOf(stops));
  bench::Report("native-service.stop-no-tray", bench::MedianOf(stops), -1, "ms", true);

  if (!service.Start()) return;
  ::Sleep(200);
  Footprint start = Measure(service.Process());
  std::wstring sid = ProcessSidText(service.Process());
  std::wstring suffix = sid.empty() ? L"" : L"." + sid;
  std::wstring shutdownName = L"Global\\" + std::wstring(WStr(ClientIdentity::ShutdownEventName).c_str()) + suffix;
  std::wstring stoppedName = L"Global\\" + std::wstring(WStr(ClientIdentity::StoppedEventName).c_str()) + suffix;
  KernelHandle shutdown(::OpenEventW(EVENT_MODIFY_STATE, FALSE, shutdownName.c_str()));
  KernelHandle stopped(::CreateEventW(nullptr, FALSE, FALSE, stoppedName.c_str()));
  if (!shutdown || !stopped) {
    printf("shutdown events not available (%ls): %lu\n", shutdownName.c_str(), ::GetLastError());
    return;
  }
  int requests = RequestCount();
  std::vector<double> answers;
  for (int i = 0; i < requests; ++i) {
    double t0 = bench::NowNs();
    ::SetEvent(shutdown.Get());
    if (::WaitForSingleObject(stopped.Get(), 10000) != WAIT_OBJECT_0) {
      printf("shutdown request %d unanswered\n", i);
      break;
    }
    answers.push_back((bench::NowNs() - t0) / 1e6);
  }
  printf("shutdown request to answer without a tray: median of %zu: %.2f ms\n", answers.size(),
         bench::MedianOf(answers));
  bench::Report("native-service.shutdown-request", bench::MedianOf(answers), -1, "ms", true);
  Footprint after = Measure(service.Process());
  char when[32];
  snprintf(when, sizeof when, "after-%zu-requests", answers.size());
  ReportFootprint("native-service", when, start, after);
  double stop = service.StopMs();
  printf("native client service stop after the requests: %.1f ms\n", stop);
}

}  // namespace

int main(int argc, char** argv) {
  std::wstring binDir = BenchDir() + L"\\..\\bin";
  std::wstring fixtures = BenchDir() + L"\\..\\fixtures\\unsigned.msi";
  std::string only = argc > 1 ? argv[1] : "";
  if (only.empty() || only == "pass") UpdatePassCase();
  if (only.empty() || only == "us") UpdateServiceCases(binDir, fixtures);
  if (only.empty() || only == "svc") NativeServiceCases(binDir);
  return 0;
}
