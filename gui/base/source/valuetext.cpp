// Display text of Values and the "name: value" lines of a field tree.
#include "valuetext.h"

#include "dict.h"
#include "format.h"
#include "timestamp.h"
#include "win.h"

#include <cstdio>
#include <cstring>

namespace {

// The bias that applied at a given local time: the difference to its UTC conversion, so that a
// summer date written in winter still carries its summer offset.
int32_t BiasAt(const DateTimeFields& f) noexcept {
  SYSTEMTIME local = {};
  local.wYear = WORD(f.year);
  local.wMonth = WORD(f.month);
  local.wDay = WORD(f.day);
  local.wHour = WORD(f.hour);
  local.wMinute = WORD(f.minute);
  local.wSecond = WORD(f.second);
  local.wMilliseconds = WORD(f.millisecond);
  SYSTEMTIME utc;
  FILETIME localFile, utcFile;
  if (!::TzSpecificLocalTimeToSystemTime(nullptr, &local, &utc) || !::SystemTimeToFileTime(&local, &localFile) ||
      !::SystemTimeToFileTime(&utc, &utcFile))
    return GetCurrentBias();
  auto ticks = [](const FILETIME& t) { return int64_t(uint64_t(t.dwHighDateTime) << 32 | t.dwLowDateTime); };
  return int32_t((ticks(utcFile) - ticks(localFile)) / 600000000);
}

bool AppendLine(Str& out, const Str& name, const Value& value) {
  Str text;
  if (!ValueToText(value, text)) return false;
  uint32_t length = out.Length();
  if (length && out[length - 1] != '\n' && !out.Append("\n", 1, true)) return false;
  return out.Append(name.c_str(), name.Length(), true) && out.Append(": ", 2, true) &&
         out.Append(text.c_str(), text.Length(), true);
}

bool AppendLines(Str& out, const Str& name, const Value& value) {
  switch (value.Tag()) {
    case ValueDictionary: {
      Dictionary d = value.AsDictionary();
      for (uint32_t i = 0; i < d.Count(); ++i) {
        Str inner = d.KeyAt(i);
        Str child = name.IsEmpty() ? inner : Concat(Concat(name, '.'), inner);
        if (!AppendLines(out, child, d.ValueAt(i))) return false;
      }
      return true;
    }
    case ValueArrayTag: {
      ValueArray a = value.AsArray();
      for (uint32_t i = 0; i < a.Length(); ++i) {
        char index[16];
        int n = std::snprintf(index, sizeof index, "[%u]", i);
        Str child = name;
        if (!child.Append(index, size_t(n)) || !AppendLines(out, child, a.Get(i))) return false;
      }
      return true;
    }
    default:
      return AppendLine(out, name, value);
  }
}

}  // namespace

bool AppendJsonDateTime(uint64_t packed, Str& out) {
  DWORD saved = ::GetLastError();
  DateTimeFields f = UnpackDateTime(packed);
  f.bias = IsThreadBiasSet() ? GetThreadBias() : BiasAt(f);
  ::SetLastError(saved);
  return FormatTimeStamp(PackDateTime(f), 'T', true, out);
}

bool ValueToText(const Value& value, Str& out) {
  char buffer[64];
  const char* text = buffer;
  int n = 0;
  uint32_t tag = value.Tag();
  switch (tag) {
    case ValueEmpty:
      out.Clear();
      return true;
    case ValueBool:
      text = value.AsBool() ? "true" : "false";
      n = int(std::strlen(text));
      break;
    case ValueInteger:
      n = std::snprintf(buffer, sizeof buffer, "%lld", static_cast<long long>(value.AsInteger()));
      break;
    case ValueDouble: {
      double d = value.AsDouble();
      if (d > 1e16) {
        text = "overflow";
      } else if (d < -1e16) {
        text = "underflow";
      } else if (d != d) {
        text = "NaN";  // the number writer has no form for it; an empty text would hide it
      } else {
        out.Clear();
        int digits = int(GetLocaleNumber(LOCALE_IDIGITS, 2));
        return FormatLocaleNumber(out, d, digits > 15 ? 15 : digits);
      }
      n = int(std::strlen(text));
      break;
    }
    case ValueDateTime:
      out.Clear();
      return FormatTimeStamp(ValueWordPackedDateTime(value.Word()), 'T', false, out);
    case ValueText:
      out = value.AsText();
      return true;
    case ValueInterface:
      return StrFormat(out, "%p", value.OnHeap() ? ValueWordPointer<void>(value.Word()) : nullptr);
    case ValueDictionary:
    case ValueArrayTag:
    case ValueRecords:
    case ValueList: {
      uint32_t count = value.Count();
      if (count == 1) {
        text = "[1 entry]";
        n = int(std::strlen(text));
      } else {
        n = std::snprintf(buffer, sizeof buffer, "[%u entries]", count);
      }
      break;
    }
    case ValueBytes:
      n = std::snprintf(buffer, sizeof buffer, "[%u bytes]", value.Count());
      break;
    default:
      n = std::snprintf(buffer, sizeof buffer, "[unknown type %d]", int(tag));
      break;
  }
  if (n <= 0) {
    out.Clear();
    return true;
  }
  if (!out.Assign(text, size_t(n))) {
    out.Clear();
    return false;
  }
  return true;
}

bool AppendValueLines(Str& out, const char* name, const Value& value) {
  return AppendLines(out, Str(name), value);
}
