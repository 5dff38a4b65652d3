// The library's JSON writer against RapidJSON's Writer with ASCII output (every non-ASCII
// character escaped, as ours does) over the same content: one report-like dictionary, and an
// array of such records. Both sides write into buffers that persist across runs, so the figure
// is the writer's and not the page faults of a fresh block. MB/s of output.
#include "benchutil.h"
#include "dict.h"
#include "json.h"
#include "value.h"

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstring>
#include <string>

namespace {

// Many short runs rather than a few long ones: on a shared machine a neighbour's time slice
// spoils a whole run, and the median of many short ones passes over those.
constexpr int kRepetitions = 101;
constexpr int kRecordWrites = 200;
constexpr int kLargeRecords = 2000;
constexpr int kLargeWrites = 1;

using RjWriter = rapidjson::Writer<rapidjson::StringBuffer, rapidjson::UTF8<>, rapidjson::ASCII<>>;

// What an error report carries: plain and escaped texts (quotes, backslashes of paths, a tab,
// non-ASCII letters), integers, a nested dictionary and arrays.
struct Field {
  const char* key;
  const char* text;  // null: the integer
  int64_t number;
};
const Field kFields[] = {
    {"source", "QELGUI", 0},
    {"event", nullptr, 2105},
    {"severity", nullptr, 4},
    {"category", nullptr, 6},
    {"message", "Command execution succeeded", 0},
    {"commandline", "\"C:\\windows\\system32\\msiexec.exe\" /qn /i \"C:\\Program Files\\Vennacor\\Update\\client-25.10.0.74.msi\" AUTOUPDATE=1", 0},
    {"pid", nullptr, 4242},
    {"time", "2025-10-07T14:03:59.123+02:00", 0},
    {"user", "M\xC3\xBCller\tJos\xC3\xA9", 0},
    {"code", nullptr, 3221225477LL},
};
const char* const kModules[] = {"CindravaleUS.exe", "ntdll.dll", "kernel32.dll", "msi.dll"};

Value OurRecord(int index) {
  Dictionary d;
  for (const Field& f : kFields) d.Set(f.key, f.text ? Value(f.text) : Value(f.number + index));
  Dictionary process;
  process.Set("name", Value("CindravaleUS"));
  process.Set("id", Value(int64_t(4242)));
  process.Set("path", Value("C:\\Program Files\\Vennacor\\CindravaleUS.exe"));
  d.Set("process", Value(process));
  ValueArray numbers;
  for (int i = 0; i < 8; ++i) numbers.Set(numbers.Length(), Value(int64_t(i * 1000 + index)));
  d.Set("counters", Value(numbers));
  ValueArray names;
  for (const char* m : kModules) names.Set(names.Length(), Value(m));
  d.Set("modules", Value(names));
  return Value(d);
}

void RjRecord(rapidjson::Value& out, rapidjson::Document::AllocatorType& a, int index) {
  out.SetObject();
  for (const Field& f : kFields) {
    rapidjson::Value v;
    if (f.text)
      v.SetString(rapidjson::StringRef(f.text));
    else
      v.SetInt64(f.number + index);
    out.AddMember(rapidjson::StringRef(f.key), v, a);
  }
  rapidjson::Value process(rapidjson::kObjectType);
  process.AddMember("name", "CindravaleUS", a);
  process.AddMember("id", int64_t(4242), a);
  process.AddMember("path", "C:\\Program Files\\Vennacor\\CindravaleUS.exe", a);
  out.AddMember("process", process, a);
  rapidjson::Value numbers(rapidjson::kArrayType);
  for (int i = 0; i < 8; ++i) numbers.PushBack(int64_t(i * 1000 + index), a);
  out.AddMember("counters", numbers, a);
  rapidjson::Value names(rapidjson::kArrayType);
  for (const char* m : kModules) names.PushBack(rapidjson::StringRef(m), a);
  out.AddMember("modules", names, a);
}

struct Case {
  const char* name;
  Value ours;
  rapidjson::Document theirs;
  int writes;
};

double OursMBps(const Case& c, Str& out) {
  size_t bytes = 0;
  double start = bench::NowNs();
  for (int i = 0; i < c.writes; ++i) {
    ValueToJson(out, c.ours, true, false);
    bytes += out.Length();
  }
  return double(bytes) * 1e3 / (bench::NowNs() - start);
}

double TheirsMBps(const Case& c, rapidjson::StringBuffer& sb) {
  size_t bytes = 0;
  double start = bench::NowNs();
  for (int i = 0; i < c.writes; ++i) {
    sb.Clear();
    RjWriter w(sb);
    c.theirs.Accept(w);
    bytes += sb.GetSize();
  }
  return double(bytes) * 1e3 / (bench::NowNs() - start);
}

}  // namespace

int main() {
  Case record{"json.record", OurRecord(0), {}, kRecordWrites};
  RjRecord(record.theirs, record.theirs.GetAllocator(), 0);

  ValueArray many;
  for (int i = 0; i < kLargeRecords; ++i) many.Set(many.Length(), OurRecord(i));
  Case large{"json.records", Value(many), {}, kLargeWrites};
  large.theirs.SetArray();
  for (int i = 0; i < kLargeRecords; ++i) {
    rapidjson::Value r;
    RjRecord(r, large.theirs.GetAllocator(), i);
    large.theirs.PushBack(r, large.theirs.GetAllocator());
  }

  printf("JSON writer, MB/s of output: median of %d repetitions; one record x %d writes, %d records x %d writes\n",
         kRepetitions, kRecordWrites, kLargeRecords, kLargeWrites);
  Str out;
  rapidjson::StringBuffer sb;
  for (Case* c : {&record, &large}) {
    // Same content, so the same text (our escapes are lower-case, RapidJSON's upper-case).
    ValueToJson(out, c->ours, true, false);
    sb.Clear();
    RjWriter w(sb);
    c->theirs.Accept(w);
    bool same = out.Length() == sb.GetSize() && _strnicmp(out.c_str(), sb.GetString(), sb.GetSize()) == 0;
    printf("%-14s %8u bytes, text %s RapidJSON's\n", c->name, out.Length(), same ? "equal to" : "DIFFERS from");
    if (!same) printf("  ours:   %.200s\n  theirs: %.200s\n", out.c_str(), sb.GetString());
    double ours, theirs;
    bench::MedianPair(
        kRepetitions, [&] { return OursMBps(*c, out); }, [&] { return TheirsMBps(*c, sb); }, &ours, &theirs);
    printf("%-14s ours %8.1f MB/s  RapidJSON %8.1f MB/s  ratio %.2f\n", c->name, ours, theirs, ours / theirs);
    bench::Report(c->name, ours, theirs, "MB/s", false);
  }
  return 0;
}
