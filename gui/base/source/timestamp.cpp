// ISO 8601 time stamps, the system bias and the per-thread bias.
#include "timestamp.h"

#include "win.h"

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace {

// The per-thread bias needs no record of its own: the slot's value holds "set" in bit 32 and
// the bias in the low 32 bits, so nothing has to be freed when a thread ends.
constexpr uint64_t kBiasSet = uint64_t{1} << 32;

DWORD BiasSlot() {
  static const DWORD s_slot = ::TlsAlloc();
  return s_slot;
}

// Serves every thread when the process has run out of storage slots.
std::atomic<uint64_t> s_processBias{0};

uint64_t ReadBiasSetting() {
  DWORD slot = BiasSlot();
  if (slot == TLS_OUT_OF_INDEXES) return s_processBias.load(std::memory_order_relaxed);
  DWORD saved = ::GetLastError();  // TlsGetValue clears it
  uint64_t value = reinterpret_cast<uintptr_t>(::TlsGetValue(slot));
  ::SetLastError(saved);
  return value;
}

void WriteBiasSetting(uint64_t value) {
  DWORD slot = BiasSlot();
  DWORD saved = ::GetLastError();
  if (slot == TLS_OUT_OF_INDEXES || !::TlsSetValue(slot, reinterpret_cast<void*>(static_cast<uintptr_t>(value))))
    s_processBias.store(value, std::memory_order_relaxed);
  ::SetLastError(saved);
}

// The zone part for a bias in minutes: the sign is the opposite of the bias's.
bool AppendZone(int64_t bias, Str& out) {
  if (bias == 0) return out.Append('Z');
  uint64_t magnitude = static_cast<uint64_t>(bias < 0 ? -bias : bias);
  char zone[48];
  int n = snprintf(zone, sizeof zone, "%c%02llu:%02llu", bias < 0 ? '+' : '-',
                   static_cast<unsigned long long>(magnitude / 60), static_cast<unsigned long long>(magnitude % 60));
  return out.Append(zone, static_cast<size_t>(n));
}

}  // namespace

uint64_t PackDateTime(const DateTimeFields& f) noexcept {
  int32_t quarters = f.bias / 15;
  uint64_t magnitude = static_cast<uint64_t>(quarters < 0 ? -int64_t{quarters} : quarters);
  if (magnitude > 63) magnitude = 63;
  uint64_t zone = magnitude | (quarters < 0 ? 0x40u : 0u);
  return (uint64_t{f.millisecond} & 0x3FF) | (uint64_t{f.second} & 0x3F) << 10 | (uint64_t{f.minute} & 0x3F) << 16 |
         (uint64_t{f.hour} & 0x1F) << 22 | (uint64_t{f.day} & 0x1F) << 27 | (uint64_t{f.month} & 0xF) << 32 |
         (uint64_t{f.year} & 0xFFF) << 36 | zone << 48;
}

DateTimeFields UnpackDateTime(uint64_t packed) noexcept {
  DateTimeFields f{};
  f.millisecond = packed & 0x3FF;
  f.second = (packed >> 10) & 0x3F;
  f.minute = (packed >> 16) & 0x3F;
  f.hour = (packed >> 22) & 0x1F;
  f.day = (packed >> 27) & 0x1F;
  f.month = (packed >> 32) & 0xF;
  f.year = (packed >> 36) & 0xFFF;
  uint32_t zone = (packed >> 48) & 0xFF;
  int32_t minutes = static_cast<int32_t>(zone & 0x3F) * 15;
  f.bias = (zone & 0x40) ? -minutes : minutes;
  return f;
}

bool FormatTimeStamp(uint64_t packed, char separator, bool withZone, Str& out) {
  DateTimeFields f = UnpackDateTime(packed);
  char text[64];
  int n = snprintf(text, sizeof text, "%04u-%02u-%02u%c%02u:%02u:%02u.%03u", f.year, f.month, f.day, separator,
                   f.hour, f.minute, f.second, f.millisecond);
  Str stamp(text, static_cast<size_t>(n));
  if (withZone && !AppendZone(f.bias, stamp)) return false;
  return out.Append(stamp);
}

bool FormatIsoTime(int32_t hour, int32_t minute, int32_t second, const double* fraction, const int32_t* bias,
                   Str& out) {
  char text[96];
  int n = snprintf(text, sizeof text, "%02d:%02d:%02d", hour, minute, second);
  Str time(text, static_cast<size_t>(n));
  // NaN fails both comparisons and writes no fraction.
  if (fraction && *fraction >= 0.0 && *fraction < 1.0) {
    double scaled = std::floor(*fraction * 1e16 + 0.5);
    uint64_t digits = static_cast<uint64_t>(scaled);
    // A fraction a hair below 1 must not round up to a 17th digit.
    if (digits > 9999999999999999ull) digits = 9999999999999999ull;
    if (digits != 0) {
      char decimals[24];
      int count = snprintf(decimals, sizeof decimals, ".%016llu", static_cast<unsigned long long>(digits));
      while (count > 1 && decimals[count - 1] == '0') --count;
      if (!time.Append(decimals, static_cast<size_t>(count))) return false;
    }
  }
  if (bias && !AppendZone(*bias, time)) return false;
  return out.Append(time);
}

bool FormatIsoDateTime(int32_t year, int32_t month, int32_t day, int32_t hour, int32_t minute, int32_t second,
                       const double* fraction, const int32_t* bias, Str& out) {
  char text[96];
  int n = snprintf(text, sizeof text, "%04d-%02d-%02dT", year, month, day);
  Str stamp(text, static_cast<size_t>(n));
  if (!FormatIsoTime(hour, minute, second, fraction, bias, stamp)) return false;
  return out.Append(stamp);
}

int32_t GetCurrentBias() {
  TIME_ZONE_INFORMATION zone{};
  switch (::GetTimeZoneInformation(&zone)) {
    case TIME_ZONE_ID_UNKNOWN:
      return zone.Bias;
    case TIME_ZONE_ID_STANDARD:
      return zone.Bias + zone.StandardBias;
    case TIME_ZONE_ID_DAYLIGHT:
      return zone.Bias + zone.DaylightBias;
    default:
      return 0;
  }
}

int32_t GetThreadBias() {
  uint64_t setting = ReadBiasSetting();
  if (setting & kBiasSet) return static_cast<int32_t>(static_cast<uint32_t>(setting));
  return GetCurrentBias();
}

bool IsThreadBiasSet() {
  uint64_t setting = ReadBiasSetting();
  return (setting & kBiasSet) && static_cast<int32_t>(static_cast<uint32_t>(setting)) != GetCurrentBias();
}

void SetThreadBias(int32_t bias) { WriteBiasSetting(kBiasSet | static_cast<uint32_t>(bias)); }

void ClearThreadBias() { WriteBiasSetting(0); }
