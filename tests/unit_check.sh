#!/usr/bin/env bash
# Checks the service's files as systemd reads them: the unit passes systemd-analyze verify and
# rates an exposure of at most 2.0 in systemd-analyze security; the user and the spool come out
# of systemd-sysusers and systemd-tmpfiles as the unit needs them (in a scratch root); the start
# script maps the instance to the port and refuses a bad one.
#
#   tests/unit_check.sh        (exits 77, skipped, when systemd-analyze is missing)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
dir=$here/packaging/systemd
command -v systemd-analyze >/dev/null || { echo "systemd-analyze is not installed: skipped"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() {
  echo "unit check: $*" >&2
  exit 1
}

# An instance of the template, its start script taken from the source tree (verify checks that
# the command exists and is executable).
unit=$work/telvaro3-receive@com1.service
sed "s|/usr/lib/telvaro3/telvaro3-receive|$dir/telvaro3-receive|" "$dir/telvaro3-receive@.service" >"$unit"
grep -qx "ExecStart=/usr/lib/telvaro3/telvaro3-receive %i" "$dir/telvaro3-receive@.service" ||
  fail "the unit's ExecStart is not the installed start script with the instance"
(cd "$work" && systemd-analyze verify --man=no "$(basename "$unit")") || fail "systemd-analyze verify"
echo "systemd-analyze verify: no complaints"
(cd "$work" && systemd-analyze security --offline=true --threshold=20 "$(basename "$unit")" >security.txt 2>&1) ||
  { cat "$work/security.txt" >&2; fail "the exposure is above 2.0"; }
grep 'Overall exposure' "$work/security.txt"
for setting in 'User=telvaro3' 'SupplementaryGroups=dialout' 'Type=notify' 'WatchdogSec=' \
  'Restart=on-failure' 'ProtectSystem=strict' 'ReadWritePaths=/var/spool/telvaro3' \
  'Environment=XDG_CONFIG_HOME=/etc' 'EnvironmentFile=-/etc/telvaro3/%i.conf'; do
  grep -q "^$setting" "$unit" || fail "the unit lacks $setting"
done

# The user, in the group dialout, and the spool it owns, in a scratch root.
root=$work/root
mkdir -p "$root/etc"
printf 'root:x:0:0:root:/root:/bin/sh\n' >"$root/etc/passwd"
printf 'root:x:0:\ndialout:x:20:\n' >"$root/etc/group"
systemd-sysusers --root="$root" "$dir/telvaro3.sysusers" >/dev/null 2>&1 || fail "systemd-sysusers"
grep -q '^telvaro3:x:[0-9]*:[0-9]*:.*:/usr/sbin/nologin$' "$root/etc/passwd" || fail "no user telvaro3"
grep -qx 'dialout:x:20:telvaro3' "$root/etc/group" || fail "telvaro3 is not in dialout"
systemd-tmpfiles --create --root="$root" "$dir/telvaro3.tmpfiles" || fail "systemd-tmpfiles"
uid=$(awk -F: '$1 == "telvaro3" {print $3}' "$root/etc/passwd")
[[ $(stat -c '%a %u' "$root/var/spool/telvaro3") == "2770 $uid" ]] ||
  fail "the spool is $(stat -c '%a %u' "$root/var/spool/telvaro3"), not 2770 owned by telvaro3"
echo "sysusers and tmpfiles: user telvaro3 in dialout, spool 2770"

# The start script: the instance is the port, the spool directory (made when missing) in the
# program's own syntax.
prog=$(printf '%s' "C:$work/spool/" | tr / '\\')
for n in 1 20; do
  got=$(TELVARO3_PROGRAM=echo TELVARO3_OPTIONS="+APP +B9600" TELVARO3_DIRECTORY=$work/spool \
    "$dir/telvaro3-receive" "com$n")
  [[ $got == "+P$((n - 1)) +RXON +DDE +APP +B9600 $prog" ]] || fail "com$n starts '$got'"
done
[[ -d $work/spool ]] || fail "the receive directory was not made"
for bad in com0 com21 comx tty1 ""; do
  status=0
  TELVARO3_PROGRAM=true "$dir/telvaro3-receive" "$bad" 2>/dev/null || status=$?
  [[ $status == 2 ]] || fail "instance '$bad' gives status $status, not 2"
done
echo "start script: com1 ... com20 only"
echo "unit check passed"
