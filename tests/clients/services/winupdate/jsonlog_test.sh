#!/usr/bin/env bash
# Reports seen from outside the programs: with LOGTYPE=stdout (any letter case) every record is
# one JSON line that Python's parser reads, with its keys in the written order; with the event
# log, Wine prints each record's text on its eventlog debug channel (it keeps no log), at err,
# warn or trace by the record's event type.
# ctest-property: RESOURCE_LOCK update-service
set -euo pipefail
build=${BUILD_DIR:?BUILD_DIR names the build folder}
sys='C:\windows\system32'
tmp=$(mktemp -d)
cleanup() {
  wine "$sys\\sc.exe" delete CINDRAVALEUS >/dev/null 2>&1 || true
  rm -rf "$tmp"
}
trap cleanup EXIT
export WINEDEBUG=-all
unset LOGTYPE
# A registration left by an interrupted run would turn the first install into a failure.
wine "$sys\\sc.exe" delete CINDRAVALEUS >/dev/null 2>&1 || true

fail() { echo "jsonlog_test: $*" >&2; exit 1; }

# Installing twice: the first install's record, then the second's CreateService failure.
LOGTYPE=stdout wine "$build/bin/CindravaleUS.exe" install >"$tmp/first.out" 2>/dev/null ||
  fail "the first install failed"
rc=0
LOGTYPE=StdOut wine "$build/bin/CindravaleUS.exe" install >"$tmp/second.out" 2>/dev/null || rc=$?
[ "$rc" -eq 1 ] || fail "the second install exited with $rc, not 1"

# The launcher's records (2106 for a missing program, 2105 for a started one).
CINDRAVALE_REPORT_CHILD=launch LOGTYPE=STDOUT wine "$build/tests/reportevent_test.exe" \
  --gtest_also_run_disabled_tests --gtest_filter=ReportChild.DISABLED_Launch >"$tmp/launch.out" 2>/dev/null ||
  fail "the launcher run failed"

# Every JSON line is one document for the standard parser.
for f in first second launch; do
  n=0
  while IFS= read -r line; do
    line=${line%$'\r'}
    [[ $line == '{'* ]] || continue
    printf '%s' "$line" | python3 -m json.tool >/dev/null || fail "$f: not JSON: $line"
    n=$((n + 1))
  done <"$tmp/$f.out"
  [ "$n" -gt 0 ] || fail "$f: no JSON line in: $(cat "$tmp/$f.out")"
done

python3 - "$tmp" <<'PY' || fail "record check failed"
import json, re, sys

folder = sys.argv[1]
ORDER = ["@timestamp", "level", "id", "message", "source", "category", "processname", "processid", "threadid",
         "version"]
STAMP = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}(Z|[+-]\d\d:\d\d)")


def records(name):
    result = []
    with open(f"{folder}/{name}.out", encoding="ascii", newline="") as f:
        for line in f:
            line = line.rstrip("\r\n")
            if line.startswith("{"):
                result.append(json.loads(line, object_pairs_hook=list))
    return result


def check(pairs, **expected):
    keys = [k for k, _ in pairs]
    record = dict(pairs)
    assert len(keys) == len(record), f"a key appears twice: {keys}"
    own = [k for k in keys if k in ORDER]
    assert own == [k for k in ORDER if k in own], f"keys out of order: {keys}"
    # The caller's fields lie between the message and the destination's fields.
    fields = keys[keys.index("message") + 1:keys.index("source")]
    assert all(k not in ORDER for k in fields), keys
    assert STAMP.fullmatch(record["@timestamp"]), record["@timestamp"]
    assert isinstance(record["processid"], int) and record["processid"] > 0, record
    assert isinstance(record["threadid"], int) and record["threadid"] > 0, record
    for key, want in expected.items():
        if want is None:
            assert key not in record, f"{key} should be left out: {keys}"
        elif callable(want):
            assert key in record and want(record[key]), f"{key}: {record.get(key)!r}"
        else:
            assert record.get(key) == want, f"{key}: {record.get(key)!r} != {want!r}"
    return record


service = dict(source="Cindravale Client Update Service", processname="CINDRAVALEUS", version="25.10.0.74",
               id=None, category=None)
first = records("first")
assert len(first) == 1, first
check(first[0], level="info", message="Cindravale Client Update Service (25.10.0.74) installed.", **service)

second = records("second")
assert len(second) == 1, second
check(second[0], level="err",
      message=lambda m: m.startswith("Function [CreateService] failed with code [00000431]: ") and m.endswith("."),
      **service)

launch = records("launch")
assert len(launch) == 2, launch
program = dict(source="REPORTEVENT_TEST", processname="REPORTEVENT_TEST", category="Internal")
failed = check(launch[0], level="err", id="QELGUI-02106", message="Command execution failed", **program)
assert [k for k, _ in failed["qelgui"]] == ["command", "error"], failed["qelgui"]
started = check(launch[1], level="notice", id="QELGUI-02105", message="Command execution succeeded", **program)
inner = dict(started["qelgui"])
assert list(inner) == ["command", "processid"] and isinstance(inner["processid"], int), inner
PY

# The event-log path: the text form, one ReportEventW string per record.
CINDRAVALE_REPORT_CHILD=records WINEDEBUG=-all,+eventlog wine "$build/tests/reportevent_test.exe" \
  --gtest_also_run_disabled_tests --gtest_filter=ReportChild.DISABLED_Records >/dev/null 2>"$tmp/records.err" ||
  fail "the records run failed"
expect() { grep -qF -- "$1" "$tmp/records.err" || fail "no event-log line [$1] in: $(cat "$tmp/records.err")"; }
expect 'err:eventlog:ReportEventW L"disk <unknown> full\nprocessname: REPORTEVENT_TEST\nprocessid: '
expect 'warn:eventlog:ReportEventW L"QELGUI-00005: library <unknown> event\nqelgui.lockname: L\nqelgui.count: 3\nprocessname: REPORTEVENT_TEST\n'
expect 'trace:eventlog:ReportEventW L"trace-only record\n'
expect 'err:eventlog:ReportEventW L"odd severity\n'
expect 'trace:eventlog:ReportEventW L"first\r\nsecond\rthird\n\nhidden\nprocessname: '
expect '\nversion: 9.8.7.6"'
[ "$(grep -c 'eventlog:ReportEventW' "$tmp/records.err")" -eq 6 ] || fail "not six event-log records"
echo "jsonlog_test: ok"
