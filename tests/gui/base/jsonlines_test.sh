#!/usr/bin/env bash
# JSON lines from eight threads at once, read through a pipe by Python's parser: every line is
# one whole record, and none is missing.
set -euo pipefail
build=${BUILD_DIR:?BUILD_DIR names the build folder}
export WINEDEBUG=-all
fail() { echo "jsonlines_test: $*" >&2; exit 1; }

check=$(cat <<'PY'
import json, sys

expected = {f"thread {t} record {i}" for t in range(8) for i in range(1000)}
seen, bad = set(), []
for line in sys.stdin.buffer.read().decode("utf-8").splitlines():
    if not line.startswith("{"):
        continue  # the test framework's own lines
    try:
        seen.add(json.loads(line)["message"])
    except (ValueError, TypeError, KeyError) as e:
        bad.append(f"{e!r}: {line[:300]}")
if bad:
    sys.exit(f"{len(bad)} line(s) are not one record, e.g. {bad[0]}")
missing = expected - seen
if missing:
    sys.exit(f"{len(missing)} record(s) missing, e.g. {sorted(missing)[0]}")
PY
)

CINDRAVALE_REPORT_CHILD=threads LOGTYPE=stdout wine "$build/tests/reportevent_test.exe" \
  --gtest_filter=ReportChild.Threads 2>/dev/null | python3 -c "$check" ||
  fail "the records of eight threads did not arrive as one JSON object per line"
echo "jsonlines_test: ok"
