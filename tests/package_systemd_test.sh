#!/usr/bin/env bash
# The package's life under a real systemd: a Debian root (scripts/sysroot
# systemd) boots as a container (systemd-nspawn, systemd as its PID 1, no
# network), the package is installed there and a pty plays the scanner.
# What the service manager itself does is checked, not what it was asked:
# the instance enabled and started, ready with its status line, scans it
# relays, its lines in the journal, the stop line, an upgrade restarting it,
# a frozen service killed by the watchdog and started again, the udev rules
# naming the devices the manager passes for each way of writing
# /etc/default/tirnserial, a COM port's drop-in read by the manager, remove
# stopping it and taking the drop-in away, and purge leaving nothing behind. The device allow-list is not
# enforced in such a nested container (the pty is not a ttyUSB): the unit's
# confinement is checked by systemd-analyze in package_test.sh.
# Skipped (status 77, with one line) where no container can boot here:
# no root, no nspawn, no overlay, or nspawn ending at once.
# Usage: package_systemd_test.sh BUILD_DIR ROOT
set -euo pipefail
fail() { echo "FAIL: $*" >&2; exit 1; }
# One line, whatever the reason quotes.
skip() { echo "skipped: $(echo "$*" | tr -s '\n' ' ')"; exit 77; }

if [ "${1:-}" != --inside ]; then
  build=$1 root=${2:-}
  [ "$(id -u)" -eq 0 ] || skip "needs root to boot a container"
  command -v systemd-nspawn >/dev/null || skip "no systemd-nspawn (systemd-container)"
  [ -n "$root" ] && [ -d "$root" ] || skip "no root to boot (scripts/sysroot systemd made none)"
  out=$(mktemp -d)
  (cd "$build" && cpack -G DEB -B "$out" >"$out/cpack.log" 2>&1) || { cat "$out/cpack.log"; rm -rf "$out"; fail "cpack failed"; }
  # The rest in mount and pid namespaces of its own, in this very process
  # (a timeout kills it): the container's root (an overlay on the cached
  # one, its changes in memory) and every process of it go with the test
  # however it ends.
  cp "$build/tirn-virtual-scanner" "$out/"
  exec unshare --mount --propagation private --pid --fork --kill-child --mount-proc \
    "$0" --inside "$out" "$root"
fi

out=$2 lower=$3
# Everything of the test's own in memory, on a /tmp only this namespace sees
# (which hides the checkout too, when it is under /tmp: what comes from
# there is held open before).
exec 6<"$out/tirn-virtual-scanner" 7<"$(ls "$out"/tirnserial_*.deb)"
rm -rf "$out"
cd /
mount -t tmpfs -o mode=1777 tmpfs /tmp
work=/tmp/box
merged=$work/merged
mkdir -p "$work"
deb=$work/tirnserial.deb
scanner=$work/tirn-virtual-scanner
cat <&6 >"$scanner"
chmod 755 "$scanner"
cat <&7 >"$deb"
exec 6<&- 7<&-
mkdir -p "$work"/{upper,overlay-work} "$merged"
mount -t overlay overlay -o "lowerdir=$lower,upperdir=$work/upper,workdir=$work/overlay-work" "$merged" ||
  skip "no overlay on $lower here"
cp "$deb" "$merged/root/tirnserial.deb"
cp "$scanner" "$merged/root/tirn-virtual-scanner"
dpkg-deb -R "$deb" "$work/next"
sed -i 's/^Version: .*/&+1/' "$work/next/DEBIAN/control"
dpkg-deb -b "$work/next" "$merged/root/tirnserial-next.deb" >/dev/null
mkfifo "$merged/root/scans"

systemd-nspawn --quiet --boot --register=no --keep-unit --private-network --console=pipe \
  --machine="tirn-test-$(od -An -N4 -tx4 /dev/urandom | tr -d ' ')" \
  --directory="$merged" </dev/null >"$work/console.log" 2>&1 &
nspawn=$!
leader=
stop_container() {
  [ -z "$leader" ] || kill -KILL "$leader" 2>/dev/null || true
  kill -KILL "$nspawn" 2>/dev/null || true
  wait "$nspawn" 2>/dev/null || true
}
trap stop_container EXIT

# The container's PID 1: nspawn's child that runs systemd.
for _ in $(seq 600); do
  kill -0 "$nspawn" 2>/dev/null || skip "systemd-nspawn cannot boot here: $(tail -n 3 "$work/console.log")"
  for pid in $(pgrep -P "$nspawn" || true); do
    [ "$(awk '/^NSpid:/ { print $NF }' "/proc/$pid/status" 2>/dev/null)" = 1 ] && leader=$pid
  done
  [ -n "$leader" ] && break
  sleep 0.1
done
[ -n "$leader" ] || fail "systemd-nspawn started no container in 60 s: $(tail -n 3 "$work/console.log")"
inside() { nsenter --target "$leader" --all -- env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin "$@"; }
# systemctl answers once the manager's socket is there.
for _ in $(seq 600); do inside test -S /run/systemd/private 2>/dev/null && break; sleep 0.1; done
state=$(inside timeout 120 systemctl is-system-running --wait 2>&1 || true)
case "$state" in
  running|degraded) ;;
  *) fail "the container's systemd did not come up ($state): $(tail -n 3 "$work/console.log")" ;;
esac

# Waits up to SECONDS for COMMAND (run inside) to succeed.
await() {
  local seconds=$1; shift
  for _ in $(seq $((seconds * 10))); do
    inside "$@" >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  return 1
}
prop() { inside systemctl show -P "$1" tirnserial@0.service; }
journal() { inside journalctl -q -o cat -u tirnserial@0.service; }
# How many scans /scans holds, or why it could not be asked.
scans() {
  nsenter --target "$leader" --net -- /usr/bin/python3 -c '
import json, urllib.request
try:
    print(len(json.load(urllib.request.urlopen("http://127.0.0.1:9010/scans?since=0", timeout=5))))
except Exception as error:
    print("no answer (%s)" % error)' 2>&1 || true
}

inside dpkg -i /root/tirnserial.deb >"$work/dpkg.log" 2>&1 || fail "install: $(cat "$work/dpkg.log")"
[ "$(inside systemctl is-enabled tirnserial@0.service 2>&1)" = disabled ] ||
  fail "a first installation enabled an instance"

# The scanner, a pty at /dev/ttyUSB0 inside, typing what the test writes.
echo 'TIRNSERIAL_OPTS="--log events"' >"$merged/etc/default/tirnserial"
inside sh -c '/root/tirn-virtual-scanner --hold </root/scans >/dev/null 2>&1 &'
exec 8<>"$merged/root/scans"
await 60 test -e /dev/ttyUSB0 || fail "the virtual scanner did not appear"

inside systemctl enable --now tirnserial@0.service >"$work/enable.log" 2>&1 ||
  fail "enable --now: $(cat "$work/enable.log"; journal)"
[ "$(prop ActiveState)" = active ] || fail "not active after enable --now: $(journal)"
[[ "$(prop StatusText)" == *scan* ]] || fail "no status line: '$(prop StatusText)'"
echo "TIRN-0001" >&8
echo "TIRN-0002" >&8
for _ in $(seq 600); do [ "$(scans)" = 2 ] && break; sleep 0.1; done
count=$(scans)
[ "$count" = 2 ] || fail "/scans: $count, not 2 scans: $(journal)"
journal | grep -q "starting in mode 0" || fail "no start line in the journal: $(journal)"
journal | grep -q "listening on" || fail "no listening line in the journal: $(journal)"
echo "started, ready, relaying and in the journal"

inside systemctl stop tirnserial@0.service
# journald reads the service's stream on its own time.
for _ in $(seq 600); do journal | grep -q "stopping: asked to end" && break; sleep 0.1; done
journal | grep -q "stopping: asked to end (SIGTERM or SIGINT)" || fail "no stop line: $(journal)"
[ "$(prop Result)" = success ] || fail "the stop was a $(prop Result)"
inside systemctl start tirnserial@0.service

# An upgrade restarts the running instance on the new binary.
before=$(prop MainPID)
inside dpkg -i /root/tirnserial-next.deb >"$work/dpkg.log" 2>&1 || fail "upgrade: $(cat "$work/dpkg.log")"
after=$(prop MainPID)
[ "$after" != "$before" ] && [ "$after" != 0 ] && [ "$(prop ActiveState)" = active ] ||
  fail "the upgrade did not restart the instance (pid $before, then $after, $(prop ActiveState))"
echo "upgrade restarted it"

# Frozen: no watchdog pings for 30 s, then killed and started again 5 s later.
inside kill -STOP "$after"
for _ in $(seq 900); do [ "$(prop NRestarts)" = 1 ] && [ "$(prop ActiveState)" = active ] && break; sleep 0.1; done
[ "$(prop NRestarts)" = 1 ] && [ "$(prop ActiveState)" = active ] ||
  fail "a frozen service was not restarted: $(prop NRestarts) restarts, $(prop ActiveState)"
inside journalctl -q -o cat -u tirnserial@0.service | grep -q -i "watchdog timeout" ||
  fail "no watchdog timeout in the journal"
echo "the watchdog restarted a frozen service"

# tirnserial-udev-rules reads /etc/default/tirnserial as this systemd does:
# for each way of writing it, the --device words the manager passes to a
# command line's unquoted $TIRNSERIAL_OPTS are those it wrote rules for
# (none: the service's default).
forms=(
  'TIRNSERIAL_OPTS="--log events --device "/dev/ttyUSB1'
  "TIRNSERIAL_OPTS='--device '\"/dev/ttyUSB1\""
  $'TIRNSERIAL_OPTS=--log events \\\n  --device /dev/ttyUSB1'
  $'TIRNSERIAL_OPTS="--log events\n  --device /dev/ttyUSB1"'
  'TIRNSERIAL_OPTS=--log\ events\ --device\ /dev/ttyUSB1'
  $'  TIRNSERIAL_OPTS =  "--device /dev/ttyUSB1"\r'
  $'TIRNSERIAL_OPTS="--device /dev/ttyUSB2"\nTIRNSERIAL_OPTS="--device /dev/ttyUSB1"\n# TIRNSERIAL_OPTS="--device /dev/ttyUSB3"\n;TIRNSERIAL_OPTS="--device /dev/ttyUSB4"'
  'export TIRNSERIAL_OPTS="--device /dev/ttyUSB2"'
  "TIRNSERIAL_OPTS=\"--device '/dev/ttyUSB1' --log 'events --device /dev/ttyUSB2'\""
  'TIRNSERIAL_OPTS="--device /dev/tty\\USB1 --device /dev/tty\USB2"'
  $'# the till\'s scanner \\\nTIRNSERIAL_OPTS="--device /dev/ttyUSB1"'
  $'# C:\\\\\nTIRNSERIAL_OPTS="--device /dev/ttyUSB1"'
  'TIRNSERIAL_OPTS="--device /dev/ttyUSB1'
)
for form in "${forms[@]}"; do
  printf '%s\n' "$form" >"$merged/etc/default/tirnserial"
  inside systemd-run --wait --quiet --collect -p EnvironmentFile=/etc/default/tirnserial \
    -p StandardOutput=truncate:/root/words /usr/bin/printf '%s\n' '$TIRNSERIAL_OPTS' >/dev/null 2>&1 ||
    fail "systemd-run with $form failed"
  manager=$(awk 'take { print; take = 0; next } /^--device$/ { take = 1 }' "$merged/root/words")
  inside tirnserial-udev-rules >/dev/null 2>&1 || fail "tirnserial-udev-rules failed on $form"
  generator=$(sed -n 's/^# --device //p' "$merged/etc/udev/rules.d/70-tirnserial.rules")
  [ "$generator" = "${manager:-/dev/ttyUSB0}" ] ||
    fail "for $(printf '%q' "$form") systemd passes --device $(echo $manager), the rules are for $(echo $generator)"
done
echo "the rules follow the devices systemd passes, in ${#forms[@]} ways of writing them"

# A scanner on a COM port, named: the drop-in tirnserial-udev-rules writes
# reaches the unit, the manager told of it without a hand's daemon-reload.
echo 'TIRNSERIAL_OPTS="--log events --device /dev/ttyS0"' >"$merged/etc/default/tirnserial"
inside tirnserial-udev-rules >"$work/rules.log" 2>&1 || fail "tirnserial-udev-rules: $(cat "$work/rules.log")"
allowed=$(inside systemctl show -p DeviceAllow tirnserial@0.service)
grep -qx "DeviceAllow=/dev/ttyS0 rw" <<<"$allowed" || fail "the unit does not allow /dev/ttyS0: $allowed"
! grep -q "DeviceAllow=char-ttyS " <<<"$allowed" || fail "the unit allows every ttyS: $allowed"
[ "$(prop NeedDaemonReload)" = no ] || fail "systemd was not told of the drop-in"
echo "a COM port is allowed by its name"

inside dpkg -r tirnserial >"$work/dpkg.log" 2>&1 || fail "remove: $(cat "$work/dpkg.log")"
[ ! -e "$merged/etc/systemd/system/tirnserial@.service.d" ] || fail "remove left the unit's drop-in"
[ "$(prop ActiveState)" != active ] || fail "remove left the instance running"
[ ! -e "$merged/usr/sbin/TirnSerial" ] || fail "remove left the binary"
[ -e "$merged/var/lib/tirnserial/history.db" ] || fail "remove deleted the history"
inside dpkg -P tirnserial >"$work/dpkg.log" 2>&1 || fail "purge: $(cat "$work/dpkg.log")"
for left in etc/systemd/system/tirnserial-scanner.target.requires var/lib/tirnserial \
            etc/systemd/system/tirnserial@.service.d \
            etc/udev/rules.d/70-tirnserial.rules etc/default/tirnserial; do
  [ ! -e "$merged/$left" ] && [ ! -L "$merged/$left" ] || fail "purge left /$left"
done
echo "remove stopped it; purge left nothing"
echo "package checked under a real systemd"
