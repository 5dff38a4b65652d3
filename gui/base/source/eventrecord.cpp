// Event records and their two written forms.
#include "eventrecord.h"

#include "dict.h"
#include "json.h"
#include "win.h"

#include <cstdio>

namespace {

// Every occurrence of `marker` (two bytes) in `text` replaced by "<unknown>".
Str ReplaceMarker(const Str& text, const char* marker) {
  int32_t at = text.Find(marker);
  if (at < 0) return text;
  static const char kReplacement[] = "<unknown>";
  Str out;
  uint32_t from = 0;
  while (at >= 0) {
    out.Append(text.c_str() + from, uint32_t(at) - from, true);
    out.Append(kReplacement, sizeof kReplacement - 1, true);
    from = uint32_t(at) + 2;
    at = text.Find(marker, from);
  }
  out.Append(text.c_str() + from, text.Length() - from, true);
  return out;
}

bool HasEntries(const Value& fields) { return fields.Tag() == ValueDictionary && fields.Count() > 0; }

// The record's scalar fields after the caller's dictionary, in written order, as far as set.
template <typename Visit>
bool VisitTrailingFields(const EventRecord& record, Visit visit) {
  if (!record.source.IsEmpty() && !visit("source", Value(record.source))) return false;
  if (!record.category.IsEmpty() && !visit("category", Value(record.category))) return false;
  if (!record.processname.IsEmpty() && !visit("processname", Value(record.processname))) return false;
  if (record.processid != 0 && !visit("processid", Value(record.processid))) return false;
  if (record.threadid != 0 && !visit("threadid", Value(record.threadid))) return false;
  if (!record.version.IsEmpty() && !visit("version", Value(record.version))) return false;
  return true;
}

}  // namespace

EventRecord MakeEventRecord(const Str& source, uint32_t eventId, const Str& message, const Value& fields) {
  EventRecord record;
  Str text = message;
  for (const char* marker : {"%1", "%2", "%3", "%4"}) text = ReplaceMarker(text, marker);
  record.message = text;
  if (!source.IsEmpty() && eventId != 0) {
    char number[16];
    std::snprintf(number, sizeof number, "-%05u", eventId);
    record.id = Concat(source, Str(number));
  }
  if (HasEntries(fields)) {
    if (source.IsEmpty()) {
      record.fields = fields;
    } else {
      Str key = source;
      ToLower(key);
      Dictionary nested;
      nested.Set(key, fields);
      record.fields = Value(nested);
    }
  }
  return record;
}

bool EventRecordText(const EventRecord& record, Str& out) {
  Str text;
  bool ok = true;
  if (!record.id.IsEmpty()) ok = text.Append(record.id) && text.Append(": ", 2);
  ok = ok && text.Append(record.message);
  if (ok && !text.IsEmpty()) ok = text.Append('\n');
  if (ok && HasEntries(record.fields)) ok = AppendValueLines(text, "", record.fields);
  ok = ok && VisitTrailingFields(record, [&text](const char* name, const Value& value) {
         return AppendValueLines(text, name, value);
       });
  if (!ok) {
    out.Clear();
    return false;
  }
  out = text;
  return true;
}

bool EventRecordJson(const EventRecord& record, Str& out) {
  Dictionary json;
  bool ok = json.Set("@timestamp", Value(record.timestamp)) && json.Set("level", Value(record.level));
  if (ok && !record.id.IsEmpty()) ok = json.Set("id", Value(record.id));
  ok = ok && json.Set("message", Value(record.message));
  if (ok && HasEntries(record.fields)) {
    Dictionary fields = record.fields.AsDictionary();
    for (uint32_t i = 0; ok && i < fields.Count(); ++i) ok = json.Set(fields.KeyAt(i), fields.ValueAt(i));
  }
  ok = ok && VisitTrailingFields(record, [&json](const char* name, const Value& value) {
         return json.Set(name, value);
       });
  if (!ok) {
    out.Clear();
    return false;
  }
  return ValueToJson(out, Value(json), true, true);
}

const char* SeverityLevelText(Severity severity) {
  switch (severity) {
    case SeverityError: return "err";
    case SeverityWarning: return "warning";
    case SeverityInfo: return "info";
    case SeverityNotice: return "notice";
  }
  return "unknown";
}

uint16_t SeverityEventType(Severity severity) {
  switch (severity) {
    case SeverityError: return EVENTLOG_ERROR_TYPE;
    case SeverityWarning: return EVENTLOG_WARNING_TYPE;
    case SeverityInfo: return EVENTLOG_INFORMATION_TYPE;
    case SeverityNotice: return EVENTLOG_SUCCESS;
  }
  return EVENTLOG_ERROR_TYPE;
}

const char* EventCategoryName(EventCategory category) {
  static const char* const kNames[] = {"None",    "Unknown",     "Internal",     "Trace",
                                       "Message", "Application", "Installation", "Performance"};
  return category < sizeof kNames / sizeof kNames[0] ? kNames[category] : "Unknown";
}
