// The prefix of a trace record: kind letters and the parts the shared word selects.
#include "traceinternal.h"

#include "programfile.h"

#include <cstring>

namespace {

// Appends into the record buffer; once full it only counts, so the caller sees an overflow.
struct PrefixWriter {
  char* out;
  size_t length = 0;

  void Put(const char* text, size_t n) {
    if (length < kTraceRecordMax) {
      size_t room = kTraceRecordMax - length;
      memcpy(out + length, text, n < room ? n : room);
    }
    length += n;
  }
  void Put(const char* text) { Put(text, strlen(text)); }
  void Put(char c) { Put(&c, 1); }
  void Hex(uint64_t value) {
    char digits[16];
    int n = 0;
    do {
      digits[n++] = "0123456789ABCDEF"[value & 0xF];
      value >>= 4;
    } while (value);
    while (n) Put(digits[--n]);
  }
  void Decimal(int64_t value, size_t padTo, char pad) {
    char digits[24];
    int n = 0;
    uint64_t magnitude = value < 0 ? uint64_t(0) - uint64_t(value) : uint64_t(value);
    do {
      digits[n++] = char('0' + magnitude % 10);
      magnitude /= 10;
    } while (magnitude);
    if (value < 0) digits[n++] = '-';
    for (size_t width = size_t(n); width < padTo; ++width) Put(pad);
    while (n) Put(digits[--n]);
  }
};

char AreaLetter(uint32_t area) {
  switch (area) {
    case 0x2000: return 'T';
    case 0x3000: return 'F';
    case 0x4000: return 'K';
    case 0x5000: return 'C';
    case 0x6000: return 'I';
    default: return 'E';
  }
}

char TypeLetter(uint32_t type, char areaLetter) {
  switch (type) {
    case 2: return 'X';
    case 4: return 'M';
    case 8: return 'S';
    case 16: return 'A';
    case 32: return 'W';
    default: return areaLetter;
  }
}

}  // namespace

size_t BuildTracePrefix(char* out, const TracePrefixInput& in) {
  PrefixWriter w{out};
  const uint32_t word = in.word;
  if (!(word & TracePrefixNoLetters)) {
    char area = AreaLetter(in.area);
    w.Put(area);
    w.Put(TypeLetter(in.type, area));
  }
  if (word & TracePrefixProcess) {
    w.Put("|0x");
    w.Hex(::GetCurrentProcessId());
  }
  if (word & TracePrefixThread) {
    w.Put("|0x");
    w.Hex(::GetCurrentThreadId());
  }
  if (word & TracePrefixModule) {
    const Str& name = ProgramName();
    w.Put('|');
    w.Put(name.c_str(), name.Length());
  }
  if (word & TracePrefixFile) {
    w.Put('|');
    if (in.file) w.Put(in.file);
  }
  if (word & TracePrefixLine) {
    w.Put('|');
    if (in.file) w.Decimal(in.line, in.line < 10000 ? 5 : 0, '.');
  }
  if (word & TracePrefixStack) {
    w.Put('|');
    w.Decimal(int64_t(in.stackDepth), 0, '0');
  }
  if (word & TracePrefixUser) {
    char user[33] = {};
    DWORD size = 32;
    w.Put('|');
    if (::GetUserNameA(user, &size)) {
      user[32] = 0;
      w.Put(user);
    } else {
      w.Put("???");
    }
  }
  if (word != TracePrefixTextOnly) w.Put(": ");
  return w.length;
}
