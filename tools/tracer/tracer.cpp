// tracer: the developer's view of the trace channel. Listens on "\\.\pipe\ZevTracePipe" and
// prints every record as it arrives; reads and changes the machine-wide prefix word.
#include "handles.h"
#include "pipeserver.h"
#include "trace.h"

#include <cerrno>
#include <cstdio>
#include <cwchar>
#include <string>

namespace {

const char kUsage[] =
    "usage: tracer [--out FILE] [--count N] [--seconds T]\n"
    "       tracer --show-prefix | --set-prefix HEX\n"
    "       tracer --send TEXT\n"
    "\n"
    "Listens on \\\\.\\pipe\\ZevTracePipe for the trace records of every process on this machine\n"
    "(any number of them at once) and prints each record on its own line as it arrives.\n"
    "\n"
    "  --out FILE       also append every record (and a line break) to FILE\n"
    "  --count N        exit after N records\n"
    "  --seconds T      exit after T seconds\n"
    "  --show-prefix    print the shared prefix word of \"ZevTraceMap\" (hexadecimal) and exit\n"
    "  --set-prefix HEX set the shared prefix word and exit; it applies from the next line of\n"
    "                   every process (0x1000 no letters, 0x1 process, 0x2 thread, 0x4 program,\n"
    "                   0x20 source file, 0x40 line, 0x80 stack depth, 0x100 user; 0xF000\n"
    "                   exactly: the bare text; 7 is the default). The word lives as long as\n"
    "                   some process of the library keeps it mapped.\n"
    "  --send TEXT      write TEXT as one trace line of this process and exit\n"
    "  --help           show this text\n"
    "\n"
    "Exit codes: 0 done (N records, or T seconds without --count); 1 T seconds passed before N\n"
    "records; 2 bad arguments; 3 the pipe or the prefix word is not available (another tracer\n"
    "already listens, or the shared memory cannot be mapped).\n";

struct Options {
  bool help = false;
  bool showPrefix = false;
  bool setPrefix = false;
  uint32_t prefix = 0;
  const wchar_t* out = nullptr;
  const wchar_t* send = nullptr;
  unsigned long count = 0;    // 0: no limit
  unsigned long seconds = 0;  // 0: no limit
};

bool ParseNumber(const wchar_t* text, int base, unsigned long max, unsigned long* value) {
  if (!text || !*text || *text == L'-' || *text == L'+' || *text == L' ') return false;
  wchar_t* end = nullptr;
  errno = 0;
  unsigned long long v = wcstoull(text, &end, base);
  if (errno != 0 || *end != 0 || v > max) return false;
  *value = static_cast<unsigned long>(v);
  return true;
}

bool ParseOptions(int argc, wchar_t** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    std::wstring a = argv[i];
    const wchar_t* next = i + 1 < argc ? argv[i + 1] : nullptr;
    unsigned long v = 0;
    if (a == L"--help" || a == L"-h" || a == L"/?") {
      o->help = true;
    } else if (a == L"--show-prefix") {
      o->showPrefix = true;
    } else if (a == L"--set-prefix" && next) {
      std::wstring hex = next;
      if (hex.size() > 2 && hex[0] == L'0' && (hex[1] == L'x' || hex[1] == L'X')) hex = hex.substr(2);
      if (!ParseNumber(hex.c_str(), 16, 0xFFFFFFFFul, &v)) return false;
      o->setPrefix = true;
      o->prefix = static_cast<uint32_t>(v);
      ++i;
    } else if (a == L"--out" && next && *next) {
      o->out = next;
      ++i;
    } else if (a == L"--send" && next) {
      o->send = next;
      ++i;
    } else if (a == L"--count" && next) {
      if (!ParseNumber(next, 10, 0xFFFFFFFFul, &o->count) || o->count == 0) return false;
      ++i;
    } else if (a == L"--seconds" && next) {
      if (!ParseNumber(next, 10, 86400ul * 365, &o->seconds) || o->seconds == 0) return false;
      ++i;
    } else {
      return false;
    }
  }
  // One job per run: the word, a line to send, or listening.
  int jobs = (o->showPrefix || o->setPrefix) + (o->send != nullptr);
  bool listening = o->out || o->count || o->seconds;
  return jobs <= 1 && !(jobs == 1 && listening);
}

std::string Utf8(const wchar_t* text) {
  int n = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  std::string s(n > 0 ? n - 1 : 0, '\0');
  if (n > 1) ::WideCharToMultiByte(CP_UTF8, 0, text, -1, s.data(), n, nullptr, nullptr);
  return s;
}

struct Listener {
  FileHandle file;
  unsigned long count = 0;  // records wanted, 0: no limit
  unsigned long seen = 0;
  KernelHandle done;
};

void PrintRecord(const std::string& record, void* context) {
  Listener* l = static_cast<Listener*>(context);
  if (l->count && l->seen >= l->count) return;  // past the last wanted record
  fwrite(record.data(), 1, record.size(), stdout);
  fputc('\n', stdout);
  fflush(stdout);
  if (l->file) {
    std::string line = record + "\r\n";
    DWORD written = 0;
    ::WriteFile(l->file.Get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  }
  if (l->count && ++l->seen >= l->count) ::SetEvent(l->done.Get());
}

int Listen(const Options& o) {
  // Never freed: reader threads may still deliver while the process exits.
  Listener* l = new Listener;
  l->count = o.count;
  l->done.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (o.out) {
    l->file.Reset(::CreateFileW(o.out, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!l->file) {
      fprintf(stderr, "tracer: cannot open the output file (error %lu)\n", ::GetLastError());
      return 3;
    }
  }
  if (!l->done || !StartTraceServer(PrintRecord, l)) {
    DWORD error = ::GetLastError();
    fprintf(stderr, "tracer: cannot listen on \\\\.\\pipe\\ZevTracePipe (error %lu%s)\n", error,
            error == ERROR_ACCESS_DENIED ? ": another tracer is listening" : "");
    return 3;
  }
  DWORD wait = o.seconds ? static_cast<DWORD>(o.seconds * 1000) : INFINITE;
  DWORD result = ::WaitForSingleObject(l->done.Get(), wait);
  fflush(stdout);
  // Exit now: the reader threads are blocked in their reads and must not run static
  // destructors' state down under them.
  if (result == WAIT_OBJECT_0) return 0;
  return o.count ? 1 : 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  Options o;
  if (!ParseOptions(argc, argv, &o)) {
    fputs(kUsage, stderr);
    return 2;
  }
  if (o.help) {
    fputs(kUsage, stdout);
    return 0;
  }
  if (o.send) {
    std::string text = Utf8(o.send);
    TraceOut(TraceAreaDefault, TraceDetail, __FILE__, __LINE__, text.c_str());
    return 0;
  }
  if (o.setPrefix) {
    if (!SetTracePrefixFlags(o.prefix)) {
      fprintf(stderr, "tracer: the prefix word is not available (error %lu)\n", ::GetLastError());
      return 3;
    }
    printf("0x%X\n", static_cast<unsigned>(GetTracePrefixFlags()));
    return 0;
  }
  if (o.showPrefix) {
    printf("0x%X\n", static_cast<unsigned>(GetTracePrefixFlags()));
    return 0;
  }
  int code = Listen(o);
  fflush(stdout);
  fflush(stderr);
  ::ExitProcess(static_cast<UINT>(code));
}
