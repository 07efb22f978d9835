#!/usr/bin/env bash
# An installed engine, run as an unprivileged user from a group-writable sticky program folder,
# finds its database there, writes its logs there and stops cleanly on SIGTERM; that user cannot
# replace the programs.
set -euo pipefail
build="$1"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"
prefix="$work/qtx-automation"
cmake --install "$build" --prefix "$prefix" >/dev/null
for p in qtx-automation-headless qtx-eventdb qtx-switcher-sim qtx-automation.service; do
  [ -e "$prefix/$p" ] || { echo "missing in the program folder: $p"; exit 1; }
done

db="$prefix/QTXAutomation.mdb"
"$prefix/qtx-eventdb" create "$db" 7 >/dev/null
when=$(date -d '+2 seconds' '+%u %H:%M:%S')
"$prefix/qtx-eventdb" add "$db" Number=1 "Day=$(( ${when%% *} - 1 ))" "Time=${when#* }" \
  "Title=Installed check" Active=1 scontrol=1 Salvo=1 >/dev/null
"$prefix/qtx-eventdb" add "$db" Number=2 Day=7 Time=24:00:00 "Title=Spare" Active=0 >/dev/null

# The folder belongs to the service's group, group-writable and sticky, as the package makes
# it; the programs stay root's.
chgrp 65534 "$prefix" "$db"
chmod 3775 "$prefix"
chmod 664 "$db"
# The service user cannot rename, replace or delete a program.
for attempt in "mv $prefix/qtx-eventdb $prefix/moved" "rm -f $prefix/qtx-automation-headless" \
  "cp /bin/true $prefix/qtx-automation-headless"; do
  if setpriv --reuid=65534 --regid=65534 --clear-groups sh -c "$attempt" 2>/dev/null; then
    echo "the service user could: $attempt"; exit 1
  fi
done
# Assert first that the user really cannot write elsewhere (root would ignore permissions).
if setpriv --reuid=65534 --regid=65534 --clear-groups touch "$work/not-allowed" 2>/dev/null; then
  echo "the unprivileged user could write outside the program folder"; exit 1
fi

cd /
set +e
timeout --preserve-status -s TERM 5 setpriv --reuid=65534 --regid=65534 --clear-groups \
  "$prefix/qtx-automation-headless" >"$work/out.txt" 2>&1
status=$?
set -e
cat "$work/out.txt"
[ "$status" -eq 0 ] || { echo "engine exit status $status"; exit 1; }
grep -q "Events: 2 Total Events" "$work/out.txt"
grep -q "Stopping: scheduled events will not run." "$work/out.txt"
grep -q "Installed check not executed - Server not connected" "$prefix/Tally.Dat"
[ "$(stat -c %u "$prefix/Tally.Dat")" = 65534 ] || { echo "log not written by the service user"; exit 1; }
echo "installed engine: 1 passed, 0 failed"
