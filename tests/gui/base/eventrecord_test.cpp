// Event records: the caller's part (id, marker replacement, nesting under the source), the text
// form written to the event log and echoed to the trace channel, the JSON form written to the
// standard streams, and the severity and category tables.
#include "dict.h"
#include "eventrecord.h"
#include "value.h"

#include <gtest/gtest.h>

#include <string>

namespace {

Value NoFields() { return Value(); }
Value EmptyDictionary() { return Value(Dictionary()); }
Value OneLock() {
  Dictionary d;
  d.Set("lockname", Value("Str s_modulename"));
  d.Set("calltime_ms", Value(412));
  return Value(d);
}
Value ArrayAndNested() {
  ValueArray list;
  list.Append(Value(1));
  list.Append(Value("two"));
  Dictionary inner;
  inner.Set("depth", Value(2));
  Dictionary d;
  d.Set("list", Value(list));
  d.Set("outer", Value(inner));
  return Value(d);
}
Value NotADictionary() { return Value(7); }

struct RecordCase {
  const char* name;
  const char* source;
  uint32_t eventId;
  const char* message;
  Value (*fields)();
  const char* text;
  const char* json;
};

const RecordCase kRecordCases[] = {
    {"PlainMessage", "", 0, "service started", NoFields, "service started\n",
     R"({"@timestamp":"","level":"","message":"service started"})"},
    {"MarkersBecomeUnknown", "", 0, "disk %1 full", NoFields, "disk <unknown> full\n",
     R"({"@timestamp":"","level":"","message":"disk <unknown> full"})"},
    {"EveryMarkerEveryTime", "", 0, "%1%1 %2 %3 %4 %5 %%1 %10", NoFields,
     "<unknown><unknown> <unknown> <unknown> <unknown> %5 %<unknown> <unknown>0\n", nullptr},
    {"SourceAndNumberFormTheId", "QELGUI", 5, "m", NoFields, "QELGUI-00005: m\n",
     R"({"@timestamp":"","level":"","id":"QELGUI-00005","message":"m"})"},
    {"LongNumberKeepsAllDigits", "Svc", 123456, "m", NoFields, "Svc-123456: m\n", nullptr},
    {"NumberZeroGivesNoId", "QELGUI", 0, "m", NoFields, "m\n", R"({"@timestamp":"","level":"","message":"m"})"},
    {"EmptySourceGivesNoId", "", 500, "m", NoFields, "m\n", nullptr},
    {"LibraryFieldsNestUnderTheSource", "QELGUI", 500, "Lock duration exceeded threshold", OneLock,
     "QELGUI-00500: Lock duration exceeded threshold\nqelgui.lockname: Str s_modulename\nqelgui.calltime_ms: 412",
     R"({"@timestamp":"","level":"","id":"QELGUI-00500","message":"Lock duration exceeded threshold",)"
     R"("qelgui":{"lockname":"Str s_modulename","calltime_ms":412}})"},
    {"SourceIsLowerCasedAsKey", "MySource", 1, "m", OneLock,
     "MySource-00001: m\nmysource.lockname: Str s_modulename\nmysource.calltime_ms: 412", nullptr},
    {"FieldsWithoutSourceStayFlat", "", 0, "m", OneLock, "m\nlockname: Str s_modulename\ncalltime_ms: 412",
     R"({"@timestamp":"","level":"","message":"m","lockname":"Str s_modulename","calltime_ms":412})"},
    {"ArrayElementsAndNestedNames", "QELGUI", 2, "m", ArrayAndNested,
     "QELGUI-00002: m\nqelgui.list[0]: 1\nqelgui.list[1]: two\nqelgui.outer.depth: 2",
     R"({"@timestamp":"","level":"","id":"QELGUI-00002","message":"m","qelgui":{"list":[1,"two"],"outer":{"depth":2}}})"},
    {"EmptyDictionaryIsNoFields", "QELGUI", 2, "m", EmptyDictionary, "QELGUI-00002: m\n",
     R"({"@timestamp":"","level":"","id":"QELGUI-00002","message":"m"})"},
    {"AScalarIsNoFields", "QELGUI", 2, "m", NotADictionary, "QELGUI-00002: m\n", nullptr},
    {"JsonEscapesLineEnds", "", 0, "a\r\nb\"c", NoFields, "a\r\nb\"c\n",
     R"({"@timestamp":"","level":"","message":"a\r\nb\"c"})"},
};

class EventRecordForms : public testing::TestWithParam<RecordCase> {};

TEST_P(EventRecordForms, TextAndJson) {
  const RecordCase& c = GetParam();
  EventRecord record = MakeEventRecord(Str(c.source), c.eventId, Str(c.message), c.fields());
  Str text;
  ASSERT_TRUE(EventRecordText(record, text));
  EXPECT_STREQ(text.c_str(), c.text);
  if (c.json) {
    Str json;
    ASSERT_TRUE(EventRecordJson(record, json));
    EXPECT_STREQ(json.c_str(), c.json);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, EventRecordForms, testing::ValuesIn(kRecordCases),
                         [](const testing::TestParamInfo<RecordCase>& info) { return std::string(info.param.name); });

// The destination's fields follow the caller's, in a fixed order; empty texts and zero numbers
// are left out (the message, time stamp and level of the JSON form excepted).
struct TrailingCase {
  const char* name;
  void (*fill)(EventRecord&);
  const char* text;
  const char* json;
};

void AllSet(EventRecord& r) {
  r.timestamp = "2025-03-01T14:02:03.512+01:00";
  r.level = "err";
  r.source = "Cindravale Client Update Service";
  r.category = "Internal";
  r.processname = "CINDRAVALEUS";
  r.processid = 12;
  r.threadid = 34;
  r.version = "25.10.0.74";
}
void NoneSet(EventRecord&) {}
void ProcessOnly(EventRecord& r) {
  r.processname = "CINDRAVALEUS";
  r.processid = 12;
}

const TrailingCase kTrailingCases[] = {
    {"AllSet", AllSet,
     "QELGUI-02106: Command execution failed\nqelgui.command: x.exe\nsource: Cindravale Client Update Service\n"
     "category: Internal\nprocessname: CINDRAVALEUS\nprocessid: 12\nthreadid: 34\nversion: 25.10.0.74",
     R"({"@timestamp":"2025-03-01T14:02:03.512+01:00","level":"err","id":"QELGUI-02106",)"
     R"("message":"Command execution failed","qelgui":{"command":"x.exe"},)"
     R"("source":"Cindravale Client Update Service","category":"Internal","processname":"CINDRAVALEUS",)"
     R"("processid":12,"threadid":34,"version":"25.10.0.74"})"},
    {"NoneSet", NoneSet, "QELGUI-02106: Command execution failed\nqelgui.command: x.exe",
     R"({"@timestamp":"","level":"","id":"QELGUI-02106","message":"Command execution failed",)"
     R"("qelgui":{"command":"x.exe"}})"},
    {"ProcessOnly", ProcessOnly,
     "QELGUI-02106: Command execution failed\nqelgui.command: x.exe\nprocessname: CINDRAVALEUS\nprocessid: 12",
     R"({"@timestamp":"","level":"","id":"QELGUI-02106","message":"Command execution failed",)"
     R"("qelgui":{"command":"x.exe"},"processname":"CINDRAVALEUS","processid":12})"},
};

class EventRecordTrailingFields : public testing::TestWithParam<TrailingCase> {};

TEST_P(EventRecordTrailingFields, OrderAndOmissions) {
  const TrailingCase& c = GetParam();
  Dictionary fields;
  fields.Set("command", Value("x.exe"));
  EventRecord record = MakeEventRecord(Str("QELGUI"), 2106, Str("Command execution failed"), Value(fields));
  c.fill(record);
  Str text, json;
  ASSERT_TRUE(EventRecordText(record, text));
  ASSERT_TRUE(EventRecordJson(record, json));
  EXPECT_STREQ(text.c_str(), c.text);
  EXPECT_STREQ(json.c_str(), c.json);
}

INSTANTIATE_TEST_SUITE_P(Cases, EventRecordTrailingFields, testing::ValuesIn(kTrailingCases),
                         [](const testing::TestParamInfo<TrailingCase>& info) { return std::string(info.param.name); });

TEST(EventRecordJson, IllFormedTextFailsTheJsonFormOnly) {
  EventRecord record = MakeEventRecord(Str(), 0, Str("bad \xFF byte"), Value());
  Str text, json("old");
  EXPECT_TRUE(EventRecordText(record, text));
  EXPECT_FALSE(EventRecordJson(record, json));
  EXPECT_TRUE(json.IsEmpty());
}

struct SeverityCase {
  uint32_t severity;
  const char* level;
  uint16_t eventType;
};

TEST(EventRecordSeverity, LevelTextAndEventType) {
  const SeverityCase cases[] = {
      {0, "err", EVENTLOG_ERROR_TYPE},         {1, "warning", EVENTLOG_WARNING_TYPE},
      {2, "info", EVENTLOG_INFORMATION_TYPE},  {3, "notice", EVENTLOG_SUCCESS},
      {4, "unknown", EVENTLOG_ERROR_TYPE},     {7, "unknown", EVENTLOG_ERROR_TYPE},
      {0xFFFFFFFF, "unknown", EVENTLOG_ERROR_TYPE},
  };
  for (const SeverityCase& c : cases) {
    SCOPED_TRACE(c.severity);
    EXPECT_STREQ(SeverityLevelText(Severity(c.severity)), c.level);
    EXPECT_EQ(SeverityEventType(Severity(c.severity)), c.eventType);
  }
}

TEST(EventRecordCategory, NamesOfTheMessageTable) {
  const char* const names[] = {"None",    "Unknown",     "Internal",     "Trace",      "Message",
                               "Application", "Installation", "Performance", "Unknown", "Unknown"};
  const uint16_t numbers[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 0xFFFF};
  for (size_t i = 0; i < sizeof numbers / sizeof numbers[0]; ++i) {
    SCOPED_TRACE(numbers[i]);
    EXPECT_STREQ(EventCategoryName(EventCategory(numbers[i])), names[i]);
  }
}

}  // namespace
