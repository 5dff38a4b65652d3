// Helpers for tests that start programs, services and read what they report.
#pragma once

#include "handles.h"
#include "win.h"

#include <string>
#include <utility>
#include <vector>

namespace test {

std::string Narrow(const std::wstring& wide);
std::wstring Widen(const std::string& utf8);

// Folder of the built programs (build/bin), seen from a test program in build/tests.
std::wstring BinDir();
std::wstring ProgramPath(const wchar_t* programName);  // BinDir() + name + ".exe"
// Whether this program runs under Wine (its ntdll exports wine_get_version).
bool RunningOnWine();
// The DACL of a kernel object in SDDL, or "(unreadable)" / "(unconvertible)".
std::string KernelObjectDaclText(HANDLE object);
// Whether a start request of a service counts as made: Windows' StartService returns once the
// service main runs, Wine's waits for the first status report and answers
// ERROR_SERVICE_REQUEST_TIMEOUT when that report is SERVICE_STOPPED. Reads the last error.
bool StartedOrEndedAtOnce(bool started, DWORD* error);
// Whether every process of the program `exeName` has ended within `timeoutMs`. (A service that
// ends at once may be gone before its process id could be asked.)
bool ProcessOfProgramEnds(const wchar_t* exeName, DWORD timeoutMs);

// A file of the signing fixtures made at build time (build/fixtures).
std::wstring FixturePath(const wchar_t* name);
// Whether the signing fixtures were made. When they were not, the running test is skipped with
// the reason, or failed when the environment says this is a CI run (CI is "true", "1" or "yes",
// any letter case): a CI run must not go green by skipping every test of the update pass. Call
// it first in SetUp and return at once when it answers false.
bool SigningFixturesPresent();
// A fresh, empty folder for one test, removed by the caller's TempDir owner.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::wstring& Path() const { return path_; }
  std::wstring Join(const std::wstring& name) const { return path_ + L"\\" + name; }

 private:
  std::wstring path_;
};
bool WriteFileBytes(const std::wstring& path, const std::string& bytes);
bool ReadFileBytes(const std::wstring& path, std::string* bytes);
bool CopyProgram(const std::wstring& from, const std::wstring& to);

struct ProcessResult {
  bool started = false;
  bool finished = false;   // false: killed after the time-out
  DWORD exitCode = 0;      // the full Windows exit code (a Unix status keeps only 8 bits)
  std::string out;
  std::string err;         // includes Wine's debug channels when WINEDEBUG enables them
};
// Puts a process this test started into a job that ends it when the test program ends.
void AdoptChildProcess(HANDLE process);

// Runs a command line, capturing standard output and standard error. `environment` entries
// ("NAME=value") are added to (or replace) the test's own environment.
ProcessResult RunProcess(const std::wstring& commandLine, DWORD timeoutMs,
                         const std::vector<std::wstring>& environment = {});

// The text of debugger output with the trace channel's line prefix ("EX|0x1AC|0x1B0|name: ",
// whatever parts the shared prefix word selects) taken off each line, so that tests compare
// what was traced, not who traced it.
std::string WithoutTracePrefixes(const std::string& text);

// One report as the trace channel echoes it: a line "ReportEvent: <id>: <message>" and one line
// "  <name>: <value>" per field, read back from debugger output without the trace prefixes.
struct TracedReport {
  std::string id;       // "QELGUI-00002"; empty for a report without source and number
  std::string message;
  std::vector<std::pair<std::string, std::string>> fields;  // in their order, names as written
};
std::vector<TracedReport> TracedReports(const std::string& text);

// The lines of a captured text, without their line ends ("\r\n" or "\n"); a last line without
// one counts too.
std::vector<std::string> SplitLines(const std::string& text);

// The log that receives the services' event-log and debugger lines (see scripts/wine-run).
std::string ReadServicesLog();
// Waits until `needle` appears in the services log after byte offset `from`.
bool WaitForServicesLog(const std::string& needle, size_t from, DWORD timeoutMs);

// A service registered for one test; the registration is deleted when the owner goes.
class ScopedService {
 public:
  explicit ScopedService(const std::wstring& name);
  ~ScopedService();
  ScopedService(const ScopedService&) = delete;
  ScopedService& operator=(const ScopedService&) = delete;

  // Opens an existing registration (e.g. made by the program's "install").
  bool Open();
  bool Create(const std::wstring& imagePath, const std::wstring& displayName);
  bool Start();
  bool Stop();
  // Polls until the state is `want` or the time-out passes; returns the last state seen.
  DWORD WaitState(DWORD want, DWORD timeoutMs, std::vector<DWORD>* seen = nullptr);
  DWORD State();
  DWORD ProcessId();
  // Stops the service if needed, waits for its process to end, deletes the registration.
  void Remove();
  SC_HANDLE Get() const { return service_.Get(); }

 private:
  std::wstring name_;
  ServiceHandle manager_;
  ServiceHandle service_;
};
// Deletes a leftover registration of an earlier, interrupted run.
void DeleteServiceIfPresent(const std::wstring& name);

}  // namespace test
