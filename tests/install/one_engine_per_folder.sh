#!/usr/bin/env bash
# Two engines in one program folder would run every event twice: the second one must refuse to
# start, say why and exit non-zero, while the first runs on; once the first has stopped, an
# engine starts again in that folder.
set -euo pipefail
build="$1"
work=$(mktemp -d)
first=""
trap '[ -n "$first" ] && kill "$first" 2>/dev/null; rm -rf "$work"' EXIT
cp "$build/apps/qtx-automation-headless/qtx-automation-headless" "$work/"
"$build/apps/qtx-eventdb/qtx-eventdb" create "$work/QTXAutomation.mdb" 7 >/dev/null

"$work/qtx-automation-headless" >"$work/first.txt" 2>&1 &
first=$!
for _ in $(seq 50); do grep -q "Total Events" "$work/first.txt" && break; sleep 0.1; done

set +e
timeout 5 "$work/qtx-automation-headless" >"$work/second.txt" 2>&1
status=$?
set -e
cat "$work/second.txt"
[ "$status" -eq 1 ] || { echo "the second engine exited with $status"; exit 1; }
grep -q "Another QTX Automation engine is already running in $work/" "$work/second.txt"
kill -0 "$first" || { echo "the first engine stopped"; exit 1; }

kill -TERM "$first"
wait "$first"
first=""
set +e
timeout --preserve-status -s TERM 2 "$work/qtx-automation-headless" >"$work/third.txt" 2>&1
status=$?
set -e
[ "$status" -eq 0 ] || { echo "an engine could not start after the first stopped ($status)"; cat "$work/third.txt"; exit 1; }
grep -q "Stopping: scheduled events will not run." "$work/third.txt"
echo "one engine per folder: 1 passed, 0 failed"
