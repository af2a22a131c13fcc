#!/usr/bin/env bash
# The Debian package on this machine (as root): install, the installed layout and unit, zel -i and
# -u against the package's unit, remove, reinstall (the configuration is kept), purge; documents
# in /var/lib/zel survive remove and purge. Usage: package-test.sh PATH-TO-zel.deb
# A machine where zel is installed already is left alone (the test is skipped).
set -euo pipefail
deb=$(realpath "$1")
failures=0
check() {  # description, then a command that must succeed
  local what=$1; shift
  if "$@"; then echo "ok   $what"; else echo "FAIL $what"; failures=$((failures + 1)); fi
}
mode_owner() { stat -c '%a %U:%G' "$1"; }
dpkg_locked() {  # dpkg with the lock waited for, as other installs may run beside this test
  local i
  for i in $(seq 120); do
    if out=$(dpkg "$@" 2>&1); then return 0; fi
    grep -q 'lock' <<<"$out" || { echo "$out"; return 1; }
    sleep 5
  done
  echo "$out"; return 1
}

if dpkg-query -W -f='${Status}' zel 2>/dev/null | grep -q 'ok installed'; then
  echo "zel is installed on this machine already: package test skipped"; exit 0
fi
had_base=; [ -e /var/lib/zel ] && had_base=1
cleanup() {
  dpkg-query -W zel >/dev/null 2>&1 && dpkg_locked --purge zel >/dev/null
  [ -n "$had_base" ] || rm -rf /var/lib/zel
}
trap cleanup EXIT

echo "== dpkg -i"
dpkg_locked -i "$deb"
check "zel -v from /usr/sbin" test "$(/usr/sbin/zel -v)" = "Velmor Carvoss v. 2.1.0444"
check "zel-passwd in /usr/sbin" test -x /usr/sbin/zel-passwd
check "config.xml 0600 root" test "$(mode_owner /etc/zel/config.xml)" = "600 root:root"
check "config names the base folder /var/lib/zel" grep -q '<Basedir path="/var/lib/zel"' /etc/zel/config.xml
check "base folder 0755 root" test "$(mode_owner /var/lib/zel)" = "755 root:root"
for folder in in out bad; do check "$folder 0755" test "$(mode_owner /var/lib/zel/$folder)" = "755 root:root"; done
for folder in queue temp log; do check "$folder 0700" test "$(mode_owner /var/lib/zel/$folder)" = "700 root:root"; done
check "state folder 0700" test "$(mode_owner /var/lib/CarvossService)" = "700 root:root"
unit=/lib/systemd/system/CarvossService.service
check "unit installed" test -f $unit
check "unit runs the installed program" grep -qx 'ExecStart=/usr/sbin/zel -c /etc/zel/config.xml' $unit
check "unit enabled" test -L /etc/systemd/system/multi-user.target.wants/CarvossService.service
check "systemd-analyze verify" test -z "$(systemd-analyze verify $unit 2>&1)"
exposure=$(SYSTEMD_COLORS=0 systemd-analyze security --offline=true --no-pager $unit |
  sed -n 's/.*Overall exposure level for .*: \([0-9.]*\).*/\1/p')
check "exposure $exposure at most 3.0" awk -v e="$exposure" 'BEGIN { exit !(e != "" && e <= 3.0) }'
check "zel -i answers as for an existing service" test "$(/usr/sbin/zel -i)" = "CreateService failed, error 0x00000011"
check "zel -u refuses" test "$(/usr/sbin/zel -u)" = \
  "The service CarvossService belongs to the zel package: remove the package instead"

echo "<document/>" > /var/lib/zel/in/delivered.xml
echo "<document/>" > /var/lib/zel/out/waiting.xml
echo "<!-- the administrator's -->" >> /etc/zel/config.xml
echo "== dpkg -r"
dpkg_locked -r zel
check "program removed" test ! -e /usr/sbin/zel
check "unit removed" test ! -e $unit
check "configuration kept" grep -q "the administrator's" /etc/zel/config.xml
check "documents kept" test -f /var/lib/zel/in/delivered.xml -a -f /var/lib/zel/out/waiting.xml
echo "== dpkg -i again"
dpkg_locked -i "$deb"
check "an existing configuration is never overwritten" grep -q "the administrator's" /etc/zel/config.xml
check "still 0600" test "$(mode_owner /etc/zel/config.xml)" = "600 root:root"
echo "== dpkg -P"
dpkg_locked -P zel
check "configuration purged" test ! -e /etc/zel
check "state purged" test ! -e /var/lib/CarvossService
check "log folder purged" test ! -e /var/lib/zel/log
check "enablement gone" test ! -e /etc/systemd/system/multi-user.target.wants/CarvossService.service
check "documents survive purge" test -f /var/lib/zel/in/delivered.xml -a -f /var/lib/zel/out/waiting.xml
check "empty folders gone" test ! -e /var/lib/zel/queue -a ! -e /var/lib/zel/bad
[ $failures -eq 0 ] && echo "package test passed" || { echo "package test: $failures failed"; exit 1; }
