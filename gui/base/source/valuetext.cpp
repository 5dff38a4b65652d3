// Display text of Values and the "name: value" lines of a field tree.
#include "valuetext.h"

#include "dict.h"
#include "win.h"

#include <cstdio>
#include <cstring>

namespace {

// The UTC bias (UTC minus local, in minutes) of the system's current zone setting.
int CurrentBias() noexcept {
  TIME_ZONE_INFORMATION zone;
  switch (::GetTimeZoneInformation(&zone)) {
    case TIME_ZONE_ID_UNKNOWN:
      return int(zone.Bias);
    case TIME_ZONE_ID_STANDARD:
      return int(zone.Bias + zone.StandardBias);
    case TIME_ZONE_ID_DAYLIGHT:
      return int(zone.Bias + zone.DaylightBias);
    default:
      return 0;
  }
}

// The bias that applied at a given local time: the difference to its UTC conversion, so that a
// summer date written in winter still carries its summer offset.
int BiasAt(const DateTimeFields& f) noexcept {
  SYSTEMTIME local = {};
  local.wYear = f.year;
  local.wMonth = f.month;
  local.wDay = f.day;
  local.wHour = f.hour;
  local.wMinute = f.minute;
  local.wSecond = f.second;
  local.wMilliseconds = f.millisecond;
  SYSTEMTIME utc;
  FILETIME localFile, utcFile;
  if (!::TzSpecificLocalTimeToSystemTime(nullptr, &local, &utc) || !::SystemTimeToFileTime(&local, &localFile) ||
      !::SystemTimeToFileTime(&utc, &utcFile))
    return CurrentBias();
  auto ticks = [](const FILETIME& t) { return int64_t(uint64_t(t.dwHighDateTime) << 32 | t.dwLowDateTime); };
  return int((ticks(utcFile) - ticks(localFile)) / 600000000);
}

const char* kSeparator = "\n";

bool AppendLine(Str& out, const Str& name, const Value& value) {
  Str text;
  if (!ValueToText(value, text)) return false;
  uint32_t length = out.Length();
  if (length && out[length - 1] != '\n' && !out.Append(kSeparator, 1, true)) return false;
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

// The number of fractional digits of the user's locale (LOCALE_IDIGITS), 2 when unreadable.
int LocaleDigits() noexcept {
  wchar_t text[8];
  LCID locale = ::GetThreadLocale();
  if (locale == 0) locale = LOCALE_USER_DEFAULT;
  if (::GetLocaleInfoW(locale, LOCALE_IDIGITS, text, 8) <= 0) return 2;
  int digits = 0;
  for (const wchar_t* p = text; *p; ++p) {
    if (*p < L'0' || *p > L'9') return 2;
    digits = digits * 10 + (*p - L'0');
    if (digits > 15) return 15;
  }
  return digits;
}

}  // namespace

size_t FormatDisplayDateTime(const DateTimeFields& f, char* text) noexcept {
  int n = std::snprintf(text, kDateTimeTextSize, "%04u-%02u-%02u%c%02u:%02u:%02u.%03u", unsigned(f.year),
                        unsigned(f.month), unsigned(f.day), 'T', unsigned(f.hour), unsigned(f.minute),
                        unsigned(f.second), unsigned(f.millisecond));
  return n > 0 ? size_t(n) : 0;
}

size_t FormatJsonDateTime(const DateTimeFields& f, char* text) noexcept {
  size_t length = FormatDisplayDateTime(f, text);
  int bias = BiasAt(f);
  if (bias == 0) {
    text[length++] = 'Z';
    text[length] = 0;
    return length;
  }
  unsigned magnitude = unsigned(bias < 0 ? -bias : bias);
  // The bias is UTC minus local time: a zone east of Greenwich has a negative bias and a "+".
  int n = std::snprintf(text + length, kDateTimeTextSize - length, "%c%02u:%02u", bias < 0 ? '+' : '-',
                        magnitude / 60, magnitude % 60);
  return n > 0 ? length + size_t(n) : length;
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
      if (d > 1e16) text = "overflow";
      else if (d < -1e16) text = "underflow";
      else n = std::snprintf(buffer, sizeof buffer, "%.*f", LocaleDigits(), d);
      if (text != buffer) n = int(std::strlen(text));
      break;
    }
    case ValueDateTime:
      n = int(FormatDisplayDateTime(value.AsDateTime(), buffer));
      break;
    case ValueText:
      out = value.AsText();
      return true;
    case ValueInterface:
      n = std::snprintf(buffer, sizeof buffer, "%p",
                        value.OnHeap() ? static_cast<void*>(ValueWordPointer<void>(value.Word())) : nullptr);
      break;
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
