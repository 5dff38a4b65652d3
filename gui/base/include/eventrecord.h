// The unit of reporting: one event record, its text form (event log and trace echo) and its
// JSON form (one line on standard output or standard error).
#pragma once

#include "error.h"
#include "str.h"
#include "value.h"

#include <cstdint>

// One reported event, built for one ReportEvent call. Text fields that are empty (and the two
// numbers when 0) are left out of both forms, except the message, and the time stamp and level,
// which the JSON form always carries.
struct EventRecord {
  Str timestamp;    // local time, ISO form; stream destinations only
  Str level;        // SeverityLevelText; stream destinations only
  Str id;           // "%s-%05u" of the reporter's source and event number
  Str message;
  Value fields;     // a dictionary, or empty
  Str source;       // the event-log source name; stream destinations only
  Str category;     // EventCategoryName for categories 2 and above; stream destinations only
  Str processname;  // the program's file name without folder and extension, upper case
  uint32_t processid = 0;
  uint32_t threadid = 0;
  Str version;
};

// The caller's part of a record: the message with "%1".."%4" made "<unknown>" (so that the
// event viewer cannot expand insertion markers inside it), the id when `source` is not empty
// and `eventId` is not 0, and the fields, nested under the lower-case source when both the
// source and the dictionary are not empty.
EventRecord MakeEventRecord(const Str& source, uint32_t eventId, const Str& message, const Value& fields);

// "id: " and the message, a line feed, then one "name: value" line per field (nested
// dictionaries as "outer.inner", array elements as "name[index]"), then source, category,
// processname, processid, threadid and version. False when the text could not be allocated.
bool EventRecordText(const EventRecord& record, Str& out);
// The compact one-line JSON object: "@timestamp", "level", "id", "message", the fields (a nested
// dictionary as one object), "source", "category", "processname", "processid", "threadid",
// "version", in this order. False (and `out` empty) when the writer fails, e.g. on ill-formed
// UTF-8.
bool EventRecordJson(const EventRecord& record, Str& out);

// "err", "warning", "info", "notice"; "unknown" for 4 and above.
const char* SeverityLevelText(Severity severity);
// EVENTLOG_ERROR_TYPE, _WARNING_TYPE, _INFORMATION_TYPE, EVENTLOG_SUCCESS; error for 4 and above.
uint16_t SeverityEventType(Severity severity);
// The message table's category name: "None", "Unknown", "Internal", "Trace", "Message",
// "Application", "Installation", "Performance"; "Unknown" above 7.
const char* EventCategoryName(EventCategory category);
