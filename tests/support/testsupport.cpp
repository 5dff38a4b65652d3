#include "testsupport.h"

#include <aclapi.h>
#include <sddl.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <map>

namespace test {

std::string Narrow(const std::wstring& wide) {
  if (wide.empty()) return {};
  int n = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
  std::string out(n, '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n, nullptr, nullptr);
  return out;
}

std::wstring Widen(const std::string& utf8) {
  if (utf8.empty()) return {};
  int n = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(n, L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
  return out;
}

std::wstring BinDir() {
  wchar_t path[MAX_PATH];
  DWORD n = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring dir(path, n);
  dir.resize(dir.find_last_of(L"\\/"));        // build\tests
  dir.resize(dir.find_last_of(L"\\/"));        // build
  return dir + L"\\bin";
}

std::wstring ProgramPath(const wchar_t* programName) { return BinDir() + L"\\" + programName + L".exe"; }

bool RunningOnWine() {
  HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  return ntdll && ::GetProcAddress(ntdll, "wine_get_version");
}

std::string KernelObjectDaclText(HANDLE object) {
  PSECURITY_DESCRIPTOR raw = nullptr;
  if (::GetSecurityInfo(object, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, nullptr,
                        &raw) != ERROR_SUCCESS)
    return "(unreadable)";
  LocalMemory descriptor(raw);
  char* text = nullptr;
  if (!::ConvertSecurityDescriptorToStringSecurityDescriptorA(raw, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text,
                                                              nullptr))
    return "(unconvertible)";
  LocalMemory owned(text);
  return text;
}

bool StartedOrEndedAtOnce(bool started, DWORD* error) {
  *error = ::GetLastError();
  return started || (RunningOnWine() && *error == ERROR_SERVICE_REQUEST_TIMEOUT);
}

bool ProcessOfProgramEnds(const wchar_t* exeName, DWORD timeoutMs) {
  ULONGLONG start = ::GetTickCount64();
  for (;;) {
    bool found = false;
    KernelHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    if (snapshot && snapshot.Get() != INVALID_HANDLE_VALUE && ::Process32FirstW(snapshot.Get(), &entry)) {
      do found = found || _wcsicmp(entry.szExeFile, exeName) == 0;
      while (::Process32NextW(snapshot.Get(), &entry));
    }
    if (!found) return true;
    if (::GetTickCount64() - start > timeoutMs) return false;
    ::Sleep(50);
  }
}

std::wstring FixturePath(const wchar_t* name) { return BinDir() + L"\\..\\fixtures\\" + name; }

namespace {
bool IsCiRun() {
  char value[16];
  DWORD n = ::GetEnvironmentVariableA("CI", value, sizeof value);
  if (n == 0 || n >= sizeof value) return false;
  return _stricmp(value, "true") == 0 || _stricmp(value, "1") == 0 || _stricmp(value, "yes") == 0;
}
}  // namespace

bool SigningFixturesPresent() {
  // The root is made last and moved in with the packages, so it stands for the whole set.
  if (::GetFileAttributesW(FixturePath(L"testroot.cer").c_str()) != INVALID_FILE_ATTRIBUTES) return true;
  const char* why =
      "the signing fixtures were not made (build/fixtures/testroot.cer is missing: openssl, wixl or "
      "osslsigncode was not found when the build was configured, see tests/fixtures)";
  // FAIL and GTEST_SKIP return from the function they are used in, hence the lambdas; a fatal
  // failure in SetUp keeps the test body from running, as a skip does.
  if (IsCiRun()) {
    [why] { FAIL() << why << "; a CI run (CI=true) needs them"; }();
  } else {
    [why] { GTEST_SKIP() << why; }();
  }
  return false;
}

TempDir::TempDir() {
  wchar_t base[MAX_PATH];
  ::GetTempPathW(MAX_PATH, base);
  static LONG counter = 0;
  wchar_t name[64];
  swprintf(name, 64, L"cvtest-%lu-%ld-%lu", ::GetCurrentProcessId(), ::InterlockedIncrement(&counter),
           ::GetTickCount());
  path_ = std::wstring(base) + name;
  ::CreateDirectoryW(path_.c_str(), nullptr);
}

namespace {
void RemoveTree(const std::wstring& dir) {
  WIN32_FIND_DATAW data;
  FindHandle find(::FindFirstFileW((dir + L"\\*").c_str(), &data));
  if (find) {
    do {
      std::wstring name = data.cFileName;
      if (name == L"." || name == L"..") continue;
      std::wstring full = dir + L"\\" + name;
      if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(full);
      } else {
        ::SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL);
        ::DeleteFileW(full.c_str());
      }
    } while (::FindNextFileW(find.Get(), &data));
  }
  find.Reset();
  ::RemoveDirectoryW(dir.c_str());
}
}  // namespace

TempDir::~TempDir() { RemoveTree(path_); }

bool WriteFileBytes(const std::wstring& path, const std::string& bytes) {
  FileHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  if (!file) return false;
  DWORD written = 0;
  return ::WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
         written == bytes.size();
}

bool ReadFileBytes(const std::wstring& path, std::string* bytes) {
  FileHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file) return false;
  bytes->clear();
  char buffer[65536];
  DWORD n = 0;
  while (::ReadFile(file.Get(), buffer, sizeof buffer, &n, nullptr) && n > 0) bytes->append(buffer, n);
  return true;
}

bool CopyProgram(const std::wstring& from, const std::wstring& to) {
  return ::CopyFileW(from.c_str(), to.c_str(), FALSE) != FALSE;
}

namespace {

// Moves what a pipe holds now into `text`; false once every writer has closed it.
bool DrainPipe(HANDLE pipe, std::string* text) {
  for (;;) {
    DWORD available = 0;
    if (!::PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)) return false;
    if (available == 0) return true;
    char buffer[4096];
    DWORD n = 0;
    if (!::ReadFile(pipe, buffer, available < sizeof buffer ? available : sizeof buffer, &n, nullptr)) return false;
    text->append(buffer, n);
  }
}

std::wstring BuildEnvironmentBlock(const std::vector<std::wstring>& extra) {
  std::map<std::wstring, std::wstring> vars;  // keyed by upper-case name, Windows compares names without case
  wchar_t* block = ::GetEnvironmentStringsW();
  for (const wchar_t* p = block; *p; p += wcslen(p) + 1) {
    std::wstring entry = p;
    size_t eq = entry.find(L'=', 1);
    std::wstring key = entry.substr(0, eq);
    for (auto& c : key) c = static_cast<wchar_t>(towupper(c));
    vars[key] = entry;
  }
  ::FreeEnvironmentStringsW(block);
  for (const std::wstring& entry : extra) {
    std::wstring key = entry.substr(0, entry.find(L'='));
    for (auto& c : key) c = static_cast<wchar_t>(towupper(c));
    vars[key] = entry;
  }
  std::wstring out;
  for (auto& [key, entry] : vars) {
    out += entry;
    out.push_back(L'\0');
  }
  out.push_back(L'\0');
  return out;
}

// Every child a test starts belongs to this job, which ends them all when the test program
// ends, also when it dies half-way: a tracer or a stand-in left running would take trace lines
// or windows from the tests that follow.
HANDLE ChildJob() {
  static HANDLE s_job = [] {
    HANDLE job = ::CreateJobObjectW(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_BREAKAWAY_OK;
    if (job) ::SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
    return job;
  }();
  return s_job;
}

}  // namespace

void AdoptChildProcess(HANDLE process) {
  if (HANDLE job = ChildJob()) ::AssignProcessToJobObject(job, process);
}

ProcessResult RunProcess(const std::wstring& commandLine, DWORD timeoutMs, const std::vector<std::wstring>& environment) {
  ProcessResult result;
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE outRead, outWrite, errRead, errWrite;
  if (!::CreatePipe(&outRead, &outWrite, &inherit, 0)) return result;
  FileHandle outReadOwner(outRead), outWriteOwner(outWrite);
  if (!::CreatePipe(&errRead, &errWrite, &inherit, 0)) return result;
  FileHandle errReadOwner(errRead), errWriteOwner(errWrite);
  ::SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
  ::SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);
  FileHandle nul(::CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr));

  STARTUPINFOW si = {};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = nul.Get();
  si.hStdOutput = outWrite;
  si.hStdError = errWrite;
  PROCESS_INFORMATION pi = {};
  std::wstring cmd = commandLine;
  std::wstring env = BuildEnvironmentBlock(environment);
  if (!::CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, TRUE, CREATE_UNICODE_ENVIRONMENT | CREATE_SUSPENDED,
                        env.data(), nullptr, &si, &pi))
    return result;
  result.started = true;
  KernelHandle process(pi.hProcess), thread(pi.hThread);
  AdoptChildProcess(process.Get());
  ::ResumeThread(thread.Get());
  outWriteOwner.Reset();
  errWriteOwner.Reset();
  // Read while the process runs, so that a chatty child never blocks on a full pipe, and after
  // its end until the pipes close. A process it left behind may hold them open for ever (a
  // reader waiting for their end once hung a test for a quarter of an hour): that gets one
  // second, then the reading stops.
  bool outOpen = true, errOpen = true;
  const DWORD start = ::GetTickCount();
  for (;;) {
    if (outOpen) outOpen = DrainPipe(outRead, &result.out);
    if (errOpen) errOpen = DrainPipe(errRead, &result.err);
    if (::WaitForSingleObject(process.Get(), 10) == WAIT_OBJECT_0) {
      result.finished = true;
      break;
    }
    if (::GetTickCount() - start > timeoutMs) {
      ::TerminateProcess(process.Get(), 0xDEAD);
      ::WaitForSingleObject(process.Get(), 5000);
      break;
    }
  }
  const DWORD ended = ::GetTickCount();
  while (outOpen || errOpen) {
    if (outOpen) outOpen = DrainPipe(outRead, &result.out);
    if (errOpen) errOpen = DrainPipe(errRead, &result.err);
    if (!(outOpen || errOpen) || ::GetTickCount() - ended > 1000) break;
    ::Sleep(10);
  }
  ::GetExitCodeProcess(process.Get(), &result.exitCode);
  return result;
}

std::vector<TracedReport> TracedReports(const std::string& text) {
  static const char kReportLine[] = "ReportEvent: ";
  std::vector<TracedReport> reports;
  bool inReport = false;
  for (const std::string& line : SplitLines(text)) {
    if (line.rfind(kReportLine, 0) == 0) {
      TracedReport report;
      std::string rest = line.substr(sizeof kReportLine - 1);
      // "<SOURCE>-<five digits>: " when the report has a source and a number.
      size_t dash = rest.find('-');
      size_t colon = rest.find(": ");
      if (dash != std::string::npos && colon == dash + 6 &&
          rest.find_first_not_of("0123456789", dash + 1) == colon) {
        report.id = rest.substr(0, colon);
        rest = rest.substr(colon + 2);
      }
      report.message = rest;
      reports.push_back(report);
      inReport = true;
    } else if (inReport && line.rfind("  ", 0) == 0) {
      size_t begin = line.find_first_not_of(' ');
      size_t colon = line.find(": ", begin);
      if (begin == std::string::npos || colon == std::string::npos) continue;
      reports.back().fields.emplace_back(line.substr(begin, colon - begin), line.substr(colon + 2));
    } else {
      inReport = false;
    }
  }
  return reports;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

std::string WithoutTracePrefixes(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    end = end == std::string::npos ? text.size() : end + 1;
    std::string line = text.substr(start, end - start);
    // Two letters (area, type) and bar-separated parts, ended by ": ".
    bool letters = line.size() > 2 && isupper(static_cast<unsigned char>(line[0])) &&
                   isupper(static_cast<unsigned char>(line[1])) && (line[2] == '|' || line[2] == ':');
    size_t colon = letters ? line.find(": ") : std::string::npos;
    out += colon == std::string::npos ? line : line.substr(colon + 2);
    start = end;
  }
  return out;
}

std::string ReadServicesLog() {
  const char* unixPath = getenv("CINDRAVALE_SERVICES_LOG");
  if (!unixPath || !*unixPath) return {};
  std::wstring path = L"Z:" + Widen(unixPath);
  for (auto& c : path)
    if (c == L'/') c = L'\\';
  std::string text;
  ReadFileBytes(path, &text);
  return text;
}

bool WaitForServicesLog(const std::string& needle, size_t from, DWORD timeoutMs) {
  DWORD start = ::GetTickCount();
  for (;;) {
    std::string log = ReadServicesLog();
    if (log.size() > from && log.find(needle, from) != std::string::npos) return true;
    if (::GetTickCount() - start > timeoutMs) return false;
    ::Sleep(50);
  }
}

ScopedService::ScopedService(const std::wstring& name)
    : name_(name), manager_(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)) {}

ScopedService::~ScopedService() { Remove(); }

bool ScopedService::Open() {
  service_.Reset(::OpenServiceW(manager_.Get(), name_.c_str(), SERVICE_ALL_ACCESS));
  return service_.IsValid();
}

bool ScopedService::Create(const std::wstring& imagePath, const std::wstring& displayName) {
  service_.Reset(::CreateServiceW(manager_.Get(), name_.c_str(), displayName.c_str(), SERVICE_ALL_ACCESS,
                                  SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                  imagePath.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
  return service_.IsValid();
}

bool ScopedService::Start() {
  // The service manager refuses a start while it is busy starting another service (its
  // database lock); test programs start services in parallel, so that refusal is waited out.
  DWORD start = ::GetTickCount();
  for (;;) {
    if (::StartServiceW(service_.Get(), 0, nullptr)) return true;
    if (::GetLastError() != ERROR_SERVICE_DATABASE_LOCKED || ::GetTickCount() - start > 60000) return false;
    ::Sleep(100);
  }
}

bool ScopedService::Stop() {
  SERVICE_STATUS status;
  return ::ControlService(service_.Get(), SERVICE_CONTROL_STOP, &status) != FALSE;
}

DWORD ScopedService::WaitState(DWORD want, DWORD timeoutMs, std::vector<DWORD>* seen) {
  DWORD start = ::GetTickCount();
  for (;;) {
    DWORD state = State();
    if (seen && (seen->empty() || seen->back() != state)) seen->push_back(state);
    if (state == want || ::GetTickCount() - start > timeoutMs) return state;
    ::Sleep(10);
  }
}

DWORD ScopedService::State() {
  SERVICE_STATUS_PROCESS status = {};
  DWORD needed = 0;
  if (!::QueryServiceStatusEx(service_.Get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                              &needed))
    return 0;
  return status.dwCurrentState;
}

DWORD ScopedService::ProcessId() {
  SERVICE_STATUS_PROCESS status = {};
  DWORD needed = 0;
  if (!::QueryServiceStatusEx(service_.Get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                              &needed))
    return 0;
  return status.dwProcessId;
}

void ScopedService::Remove() {
  if (!service_ && !Open()) return;
  DWORD pid = ProcessId();
  KernelHandle process(pid ? ::OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, pid) : nullptr);
  if (State() != SERVICE_STOPPED && State() != 0) {
    Stop();
    WaitState(SERVICE_STOPPED, 30000);
  }
  // Wine's service manager never notices a killed service; a stuck one is ended here so that
  // the next test starts clean.
  if (process && ::WaitForSingleObject(process.Get(), 5000) != WAIT_OBJECT_0) {
    ::TerminateProcess(process.Get(), 1);
    ::WaitForSingleObject(process.Get(), 5000);
  }
  ::DeleteService(service_.Get());
  service_.Reset();
}

void DeleteServiceIfPresent(const std::wstring& name) {
  ScopedService leftover(name);
  leftover.Open();
}

}  // namespace test
