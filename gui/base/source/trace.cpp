// Trace channel. This first body writes every line to the debugger output; the pipe client
// and the shared prefix word replace it without changing a caller.
#include "trace.h"

#include "win.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

constexpr int kFormatBuffers = 4;
constexpr size_t kLineBytes = 1025;

struct FormatBuffers {
  int used = 0;
  char text[kFormatBuffers][kLineBytes];
};
thread_local FormatBuffers t_format;

void WriteLines(const char* text) {
  char line[kLineBytes + 2];
  const char* p = text;
  while (*p) {
    size_t n = strcspn(p, "\r\n");
    size_t take = n < kLineBytes - 1 ? n : kLineBytes - 1;
    memcpy(line, p, take);
    memcpy(line + take, "\r\n", 3);
    ::OutputDebugStringA(line);
    p += n;
    if (*p == '\r' && p[1] == '\n') p += 2;
    else if (*p) ++p;
  }
}

}  // namespace

void TraceOut(uint32_t /*area*/, uint32_t /*type*/, const char* /*file*/, int /*line*/, const char* text) {
  if (!text) return;
  DWORD saved = ::GetLastError();
  WriteLines(text);
  ::SetLastError(saved);
}

void TraceAssert(uint32_t area, uint32_t type, const char* file, int line, const char* text) {
  TraceOut(area, type, file, line, text);
}

const char* TraceFormat(const char* format, ...) {
  FormatBuffers& buffers = t_format;
  if (buffers.used >= kFormatBuffers) return nullptr;
  char* out = buffers.text[buffers.used++];
  va_list args;
  va_start(args, format);
  vsnprintf(out, kLineBytes - 1, format, args);
  va_end(args);
  out[kLineBytes - 2] = '\0';
  return out;
}

void TraceFormatDone() {
  DWORD saved = ::GetLastError();
  if (t_format.used > 0) --t_format.used;
  ::SetLastError(saved);
}
