#!/usr/bin/env bash
# Installs the built packages into a fresh Debian root (debootstrap, minimal variant, from the
# mirror apt is configured with; the root is cached between runs) and checks what a facility
# meets: the program folder's owners and modes, a database the service user can write, programs
# it cannot replace, the engine running as that user, an upgrade that keeps the data, remove
# that keeps it and purge that deletes it with the user.
#   tests/package/fresh_root_test.sh WORK     (WORK holds the .deb files; run as root)
set -euo pipefail
work="$1"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }
suite=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
# The root holds what the packages depend on (dpkg -i installs no dependencies), so the list
# comes from the built packages; the cached root is kept per list.
depends=$(for p in qtx-automation qtx-switcher-sim; do dpkg-deb -f "$work/$p"_*.deb Depends; done |
  tr ',' '\n' | sed -e 's/|.*//' -e 's/(.*)//' -e 's/ //g' | grep -v -e '^$' -e '^qtx-' | sort -u | paste -sd, -)
base="adduser,init-system-helpers,$depends"
cache="${XDG_CACHE_HOME:-$HOME/.cache}/qtx-automation/$suite-minbase-$(echo "$base" | md5sum | cut -c1-8).tar"

mirror() { # the first Debian archive apt is configured with
  { grep -hs '^URIs:' /etc/apt/sources.list.d/*.sources | awk '{print $2}'
    grep -hs '^deb ' /etc/apt/sources.list | awk '{print $2}'; } | grep -v security | head -1
}

if [ ! -f "$cache" ]; then
  if ! command -v debootstrap >/dev/null; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q debootstrap >/dev/null 2>&1 || true
  fi
  tmp="$work/debootstrap"
  rm -rf "$tmp"
  if command -v debootstrap >/dev/null && [ -n "$(mirror)" ] &&
    timeout 900 debootstrap --variant=minbase --include="$base" "$suite" "$tmp" "$(mirror)" \
      >"$work/debootstrap.log" 2>&1; then
    mkdir -p "$(dirname "$cache")"
    tar -C "$tmp" -cf "$cache" .
    rm -rf "$tmp"
  else
    tail -5 "$work/debootstrap.log" 2>/dev/null || true
    echo "SKIP: no fresh Debian root (debootstrap or mirror not available); dpkg-deb checks only"
    exit 0
  fi
fi

r="$work/fresh-root"
rm -rf "$r" && mkdir -p "$r"
tar -C "$r" -xf "$cache"
mount -t proc proc "$r/proc"
trap 'umount "$r/proc" 2>/dev/null || true' EXIT
cp "$work"/qtx-automation_*.deb "$work"/qtx-switcher-sim_*.deb "$r/tmp/"
in_root() { chroot "$r" "$@"; }
as_qtx() { chroot "$r" setpriv --reuid=qtx --regid=qtx --init-groups -- "$@"; }
dir=/opt/qtx-automation
db=$dir/QTXAutomation.mdb

if in_root sh -c 'dpkg -i /tmp/qtx-automation_*.deb /tmp/qtx-switcher-sim_*.deb' >"$work/install.log" 2>&1; then
  pass "installed into a fresh root"
else
  cat "$work/install.log"; fail "dpkg -i in the fresh root"; exit 1
fi

[ "$(in_root stat -c '%U:%G %a' $dir)" = "root:qtx 3775" ] && pass "program folder root:qtx 3775" ||
  fail "program folder is $(in_root stat -c '%U:%G %a' $dir)"
[ "$(in_root stat -c '%U:%G %a' $dir/messages)" = "root:qtx 3775" ] && pass "messages/ root:qtx 3775" ||
  fail "messages/ is $(in_root stat -c '%U:%G %a' $dir/messages 2>&1)"
[ "$(in_root stat -c '%U:%G %a' $db)" = "qtx:qtx 664" ] && pass "database created for the service" ||
  fail "database is $(in_root stat -c '%U:%G %a' $db 2>&1)"
in_root id -nG qtx | grep -qw qtx && pass "user qtx exists" || fail "no user qtx"
in_root sh -c 'command -v qtx-eventdb && command -v qtx-automation-headless' >/dev/null && pass "programs on PATH" ||
  fail "programs not on PATH"

# The service user cannot rename, replace, delete or rewrite a program...
for attempt in "mv $dir/qtx-eventdb $dir/moved" "cp /bin/true $dir/qtx-eventdb" \
  "rm -f $dir/qtx-automation-headless" "ln -sf /bin/true $dir/qtx-automation-headless" \
  "sh -c 'echo x > $dir/qtx-automation-headless'"; do
  if as_qtx sh -c "$attempt" 2>/dev/null; then fail "service user could: $attempt"; else pass "service user cannot: $attempt"; fi
done
cmp -s "$r$dir/qtx-eventdb" "$work/root$dir/qtx-eventdb" && pass "programs unchanged" || fail "a program changed"
# ...but writes the database, and the engine runs as that user and writes its logs.
# An event due in two seconds, refused (no switcher), so the engine writes its activity log.
when=$(date -d '+2 seconds' '+%u %H:%M:%S')
if as_qtx $dir/qtx-eventdb add $db Number=7 "Day=$((${when%% *} - 1))" "Time=${when#* }" \
  "Title=Kept event" Active=1 scontrol=1 Salvo=1 >/dev/null &&
  as_qtx $dir/qtx-eventdb set $db IPAddr=127.0.0.1 IPPort=1 >/dev/null; then
  pass "service user writes the database"
else
  fail "service user cannot write the database"
fi
in_root sh -c "cd / && timeout --preserve-status -s TERM 4 setpriv --reuid=qtx --regid=qtx --init-groups qtx-automation-headless" \
  >"$work/engine.log" 2>&1 && pass "engine ran as qtx and stopped on SIGTERM" ||
  { cat "$work/engine.log"; fail "engine as qtx"; }
grep -q "Events: 1 Total Events" "$work/engine.log" && pass "engine found its database" || fail "engine did not load"
grep -q "Kept event not executed - Server not connected" "$r$dir/Tally.Dat" 2>/dev/null &&
  [ "$(in_root stat -c %U $dir/Tally.Dat)" = qtx ] && pass "activity log written by qtx" ||
  fail "no activity log by qtx"

# Upgrade (the same packages again) keeps the database.
in_root sh -c 'dpkg -i /tmp/qtx-automation_*.deb' >/dev/null 2>&1 || fail "reinstall"
in_root $dir/qtx-eventdb list $db | grep -q "Kept event" && pass "upgrade kept the events" ||
  fail "upgrade lost the events"

# Remove keeps the data and leaves the package purgeable; purge deletes data and user.
in_root dpkg -r qtx-automation >/dev/null 2>&1 || fail "dpkg -r"
[ "$(in_root dpkg-query -W -f='${db:Status-Abbrev}' qtx-automation)" = "rc " ] &&
  pass "removed package stays known to dpkg (rc)" || fail "removed package not in rc state"
[ -f "$r$db" ] && [ -f "$r$dir/Tally.Dat" ] && pass "remove kept the database and logs" ||
  fail "remove deleted data"
in_root dpkg -P qtx-automation >/dev/null 2>&1 || fail "dpkg -P"
[ ! -e "$r$db" ] && [ ! -e "$r$dir/Tally.Dat" ] && pass "purge deleted the data" || fail "purge left data"
in_root getent passwd qtx >/dev/null && fail "purge left the user" || pass "purge removed the user"

echo "fresh root: $failures failed"
[ "$failures" -eq 0 ]
