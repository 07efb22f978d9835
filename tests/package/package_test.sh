#!/usr/bin/env bash
# Builds the Debian packages from the working tree and checks them as a packager and a facility
# would: lintian (no errors or warnings), the files, modes, owners and maintainer scripts of each
# package, hardened binaries with separate debug symbols, the units' hardening and validity, and
# then a real installation into a fresh Debian root (debootstrap) where the service user may
# write the database but not replace a program, an upgrade keeps the data, remove keeps it and
# purge deletes it. Without a Debian mirror the fresh-root part is skipped and says so.
#   tests/package/package_test.sh [WORK]      (default WORK: build-package/ in the tree; root)
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
work="${1:-$root/build-package}"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

[ "$(id -u)" -eq 0 ] || { echo "package test needs root (chroot, owners)"; exit 1; }

# --- Build ------------------------------------------------------------------------------------
# A fixed source path keeps ccache's hits between runs.
rm -rf "$work/src" "$work"/*.deb "$work"/*.ddeb "$work"/*.changes "$work"/*.buildinfo
mkdir -p "$work/src"
(cd "$root" && git ls-files -co --exclude-standard -z | xargs -0 tar -cf - --no-recursion) |
  tar -xf - -C "$work/src"
# The suite runs in scripts/test; the package build skips it.
export DEB_BUILD_OPTIONS="nocheck parallel=$(nproc)" DEB_BUILD_PROFILES=nocheck
command -v ccache >/dev/null && export CMAKE_CXX_COMPILER_LAUNCHER=ccache CMAKE_C_COMPILER_LAUNCHER=ccache
(cd "$work/src" && dpkg-buildpackage -b -us -uc >"$work/build.log" 2>&1) ||
  { tail -40 "$work/build.log"; echo "FAIL: dpkg-buildpackage"; exit 1; }
cd "$work"
deb() { ls "$work/$1"_*.deb; }
for p in qtx-automation qtx-automation-desktop qtx-switcher-sim; do
  [ -f "$(deb $p)" ] && pass "package $p built" || fail "package $p missing"
  ls "$work/$p-dbgsym"_*.*deb >/dev/null 2>&1 && pass "$p has a debug-symbol package" ||
    fail "$p has no debug-symbol package"
done

# --- lintian ----------------------------------------------------------------------------------
if lintian --fail-on error,warning --no-tag-display-limit "$work"/*.changes >"$work/lintian.log" 2>&1; then
  pass "lintian: no errors or warnings"
else
  cat "$work/lintian.log"; fail "lintian"
fi

# --- Files, modes, owners ---------------------------------------------------------------------
# "mode owner path" lines that each package must hold.
expect_entry() { # package mode owner path
  local line
  line=$(dpkg-deb -c "$(deb "$1")" | awk -v p="./$4" '$6 == p || $6 == p"/" {print $1, $2}')
  [ "$line" = "$2 $3" ] && pass "$1: $4 $2 $3" || fail "$1: $4 is '$line', expected '$2 $3'"
}
expect_entry qtx-automation -rwxr-xr-x root/root opt/qtx-automation/qtx-automation-headless
expect_entry qtx-automation -rwxr-xr-x root/root opt/qtx-automation/qtx-eventdb
expect_entry qtx-automation lrwxrwxrwx root/root usr/bin/qtx-automation-headless
expect_entry qtx-automation lrwxrwxrwx root/root usr/bin/qtx-eventdb
expect_entry qtx-automation -rw-r--r-- root/root lib/systemd/system/qtx-automation.service
expect_entry qtx-automation -rw-r--r-- root/root lib/systemd/system/qtx-automation@.service
expect_entry qtx-automation -rw-r--r-- root/root usr/share/man/man1/qtx-automation-headless.1.gz
expect_entry qtx-automation -rw-r--r-- root/root usr/share/man/man1/qtx-eventdb.1.gz
expect_entry qtx-automation -rw-r--r-- root/root usr/share/doc/qtx-automation/copyright
expect_entry qtx-automation -rw-r--r-- root/root opt/qtx-automation/snmp/QTX-AUTOMATION-MIB.txt
expect_entry qtx-automation -rw-r--r-- root/root opt/qtx-automation/prometheus/qtx-alerts.yml
expect_entry qtx-automation-desktop -rwxr-xr-x root/root opt/qtx-automation/qtx-automation
expect_entry qtx-automation-desktop -rw-r--r-- root/root opt/qtx-automation/Runvane.HLP
expect_entry qtx-automation-desktop lrwxrwxrwx root/root usr/bin/qtx-automation
expect_entry qtx-automation-desktop -rw-r--r-- root/root usr/share/applications/qtx-automation.desktop
expect_entry qtx-automation-desktop -rw-r--r-- root/root usr/share/icons/hicolor/scalable/apps/qtx-automation.svg
expect_entry qtx-automation-desktop -rw-r--r-- root/root usr/share/metainfo/qtx-automation.metainfo.xml
expect_entry qtx-automation-desktop -rw-r--r-- root/root usr/share/man/man1/qtx-automation.1.gz
expect_entry qtx-switcher-sim -rwxr-xr-x root/root usr/bin/qtx-switcher-sim
expect_entry qtx-switcher-sim -rw-r--r-- root/root usr/share/man/man1/qtx-switcher-sim.1.gz
# No package writes into the program folder's data or holds the database.
if dpkg-deb -c "$(deb qtx-automation)" | grep -Eq 'QTXAutomation\.mdb|Tally\.Dat|Errorlog\.txt'; then
  fail "qtx-automation ships data files"
else
  pass "no data files shipped"
fi
# A server needs no Qt.
if dpkg-deb -f "$(deb qtx-automation)" Depends | grep -qi qt6; then
  fail "qtx-automation depends on Qt"
else
  pass "qtx-automation needs no Qt: $(dpkg-deb -f "$(deb qtx-automation)" Depends)"
fi

# Every program: stripped, hardened (PIE, RELRO, BIND_NOW, stack protector, fortify). Control-
# flow protection is not among this release's default hardening flags, so it is not asked for.
rm -rf "$work/root" && mkdir -p "$work/root"
for p in qtx-automation qtx-automation-desktop qtx-switcher-sim; do dpkg-deb -x "$(deb $p)" "$work/root"; done
for exe in opt/qtx-automation/qtx-automation-headless opt/qtx-automation/qtx-eventdb \
  opt/qtx-automation/qtx-automation usr/bin/qtx-switcher-sim; do
  f="$work/root/$exe"
  file -b "$f" | grep -q ', stripped' && pass "$exe stripped" || fail "$exe not stripped"
  if hardening-check --nocfprotection --quiet "$f" </dev/null >"$work/hardening.txt" 2>&1; then
    pass "$exe hardened"
  else
    cat "$work/hardening.txt"; fail "$exe hardening"
  fi
done
# --version answers without starting an engine.
out=$(timeout 5 "$work/root/opt/qtx-automation/qtx-automation-headless" --version) &&
  [ "$out" = "qtx-automation-headless $(dpkg-deb -f "$(deb qtx-automation)" Version)" ] &&
  pass "--version: $out" || fail "--version printed '$out'"

# Maintainer scripts: the folder's modes, the database, the unit enabled and restarted on
# upgrade, purge of data and user.
scripts="$work/scripts" && rm -rf "$scripts" && dpkg-deb -e "$(deb qtx-automation)" "$scripts"
check_script() { # file pattern what
  grep -Eq "$2" "$scripts/$1" && pass "$1: $3" || fail "$1: $3 (no /$2/)"
}
check_script postinst 'dpkg-statoverride --update --add root qtx 3775' "sticky group-writable program folder"
check_script postinst 'dpkg-statoverride --update --add root qtx 3775 "\$dir/messages"' "messages/ folder as the program folder"
check_script postinst 'qtx-eventdb" create' "creates a database when there is none"
check_script postinst 'deb-systemd-helper (unmask|enable)' "enables the service"
check_script postinst '_dh_action=restart' "restarts the service on upgrade"
check_script postinst 'deb-systemd-invoke \$_dh_action' "starts the service"
check_script prerm 'deb-systemd-invoke stop' "stops the service on removal"
check_script postrm 'rm -rf /var/lib/qtx-automation' "purge deletes the instances' data"
check_script postrm 'deluser --system' "purge removes the user"
for s in postinst postrm prerm; do
  sh -n "$scripts/$s" && pass "$s parses" || fail "$s does not parse"
done

# --- Units ------------------------------------------------------------------------------------
units="$work/root/lib/systemd/system"
for unit in qtx-automation.service qtx-automation@.service; do
  level=$(systemd-analyze security --offline=true --no-pager "$units/$unit" 2>&1 |
    sed -n 's/.*Overall exposure level for .*: \([0-9.]*\).*/\1/p')
  if [ -n "$level" ] && awk -v l="$level" 'BEGIN { exit !(l <= 2.0) }'; then
    pass "$unit exposure $level"
  else
    fail "$unit exposure '$level' (at most 2.0)"
  fi
done
# verify needs the system's own units beside ours. The template's program appears in the
# instance folder in the unit's own mount namespace; verify looks at the disk, so the root used
# for it gets a stand-in.
cp -an /lib/systemd/system/. "$units/"
mkdir -p "$work/root/var/lib/qtx-automation/studio1"
ln -sf /opt/qtx-automation/qtx-automation-headless "$work/root/var/lib/qtx-automation/studio1/"
for unit in qtx-automation.service qtx-automation@studio1.service; do
  if systemd-analyze verify --man=no --root="$work/root" "$unit" >"$work/verify.txt" 2>&1 &&
    [ ! -s "$work/verify.txt" ]; then
    pass "systemd-analyze verify $unit"
  else
    cat "$work/verify.txt"; fail "systemd-analyze verify $unit"
  fi
done

# --- A fresh Debian root ----------------------------------------------------------------------
"$root/tests/package/fresh_root_test.sh" "$work" || failures=$((failures + 1))

echo "package test: $failures failed"
[ "$failures" -eq 0 ]
