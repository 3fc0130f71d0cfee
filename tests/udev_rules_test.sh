#!/usr/bin/env bash
# The udev rules tirnserial-udev-rules writes for each way of writing
# /etc/default/tirnserial that systemd reads (EnvironmentFile=: quotes,
# escapes, continued lines, comments, later lines overriding earlier ones),
# for names of one device written several ways, and for device words that
# try to write rules of their own. Each case runs the generator on a root of
# its own (DPKG_ROOT), as the package's scripts may, so nothing here needs
# root or touches the system's rules.
# Usage: udev_rules_test.sh GENERATOR
set -euo pipefail
generator=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

wanted=', TAG+="systemd", ENV{SYSTEMD_WANTS}+="tirnserial-scanner.target"'
# rule SUBSYSTEM MATCH [mm]: the line for one scanner; mm when ModemManager
# is told to leave it alone.
rule() {
  local mm=""
  [ -z "${3:-}" ] || mm=', ENV{ID_MM_DEVICE_IGNORE}="1"'
  printf 'ACTION!="remove", SUBSYSTEM=="%s", %s%s%s' "$1" "$2" "$wanted" "$mm"
}
serial() { rule tty "KERNEL==\"$1\"" mm; }

case_number=0
# verbatim LINE: LINE as check's CONTENT, with a line end.
verbatim() { printf '%s\n' "$1" | sed -e 's/\\/\\\\/g' -e 's/%/%%/g'; }
# check NAME CONTENT EXPECTED [SAID]: /etc/default/tirnserial holding
# CONTENT (printf's escapes) gives exactly the rules EXPECTED (- for any), and the
# generator's messages match the extended regular expression SAID.
check() {
  local name=$1 content=$2 expected=$3 said=${4:-} root got
  case_number=$((case_number + 1))
  root=$work/$case_number
  mkdir -p "$root/etc/default"
  # shellcheck disable=SC2059 # the content is written with its escapes
  [ "$content" = "(none)" ] || printf "$content" >"$root/etc/default/tirnserial"
  if [ -n "${systemd_library:-}" ]; then
    mkdir -p "$root/${systemd_library%/*}"
    touch "$root/$systemd_library"
  fi
  if ! DPKG_ROOT=$root "$generator" 2>"$root/said"; then
    fail "$name: the generator failed: $(cat "$root/said")"
    return
  fi
  got=$(grep -v '^#' "$root/etc/udev/rules.d/70-tirnserial.rules" || true)
  [ "$expected" = - ] || [ "$got" = "$expected" ] || fail "$name: the rules are
$got
expected
$expected"
  ! grep -q '^#.*ACTION' "$root/etc/udev/rules.d/70-tirnserial.rules" \
    || fail "$name: a rule is commented out: $(grep '^#.*ACTION' "$root/etc/udev/rules.d/70-tirnserial.rules")"
  [ -z "$said" ] || grep -q -E -e "$said" "$root/said" || fail "$name: it said $(cat "$root/said"), not /$said/"
}

# Nothing named: the service's default scanner starts it, and whatever
# device that is (a modem, say) stays ModemManager's.
check "no options file" "(none)" "$(rule tty 'KERNEL=="ttyUSB0"')"
check "no --device" 'TIRNSERIAL_OPTS="--log events"\n' "$(rule tty 'KERNEL=="ttyUSB0"')"
check "ttyUSB0 named" 'TIRNSERIAL_OPTS="--device /dev/ttyUSB0"\n' "$(serial ttyUSB0)"

# The file as systemd reads it.
check "double quotes" 'TIRNSERIAL_OPTS="--log events --device /dev/ttyUSB1"\n' "$(serial ttyUSB1)"
check "single quotes" "TIRNSERIAL_OPTS='--log events --device /dev/ttyUSB1'\n" "$(serial ttyUSB1)"
check "no quotes" 'TIRNSERIAL_OPTS=--log events --device /dev/ttyUSB1\n' "$(serial ttyUSB1)"
check "quotes around a part" 'TIRNSERIAL_OPTS="--log events --device "/dev/ttyUSB1\n' "$(serial ttyUSB1)"
check "quoted parts joined" "TIRNSERIAL_OPTS='--device '\"/dev/ttyUSB1\"\\n" "$(serial ttyUSB1)"
check "escaped quotes inside" 'TIRNSERIAL_OPTS="--server-name \\"till\\" --device /dev/ttyUSB1"\n' "$(serial ttyUSB1)"
check "continued line" 'TIRNSERIAL_OPTS=--log events \\\n  --device /dev/ttyUSB1\n' "$(serial ttyUSB1)"
check "continued quoted line" 'TIRNSERIAL_OPTS="--log events \\\n--device /dev/ttyUSB1"\n' "$(serial ttyUSB1)"
check "quoted over two lines" 'TIRNSERIAL_OPTS="--log events\n  --device /dev/ttyUSB1"\n' "$(serial ttyUSB1)"
check "escaped spaces" 'TIRNSERIAL_OPTS=--log\\ events\\ --device\\ /dev/ttyUSB1\n' "$(serial ttyUSB1)"
check "blanks around =, CRLF" '  TIRNSERIAL_OPTS =  "--device /dev/ttyUSB1"\r\n' "$(serial ttyUSB1)"
check "the last line wins; comments" \
  'TIRNSERIAL_OPTS="--device /dev/ttyUSB2"\nTIRNSERIAL_OPTS="--device /dev/ttyUSB1"\n# TIRNSERIAL_OPTS="--device /dev/ttyUSB3"\n;TIRNSERIAL_OPTS="--device /dev/ttyUSB4"\nTIRNSERIAL_OPTS\n' \
  "$(serial ttyUSB1)"
check "no such variable for systemd" 'export TIRNSERIAL_OPTS="--device /dev/ttyUSB1"\n' "$(rule tty 'KERNEL=="ttyUSB0"')"
# A comment's last backslash, read as the box's systemd reads it: the next
# line is a comment too before systemd 254, and not from then on.
commented='# the scanner on the till \\\nTIRNSERIAL_OPTS="--device /dev/ttyUSB1"\n'
systemd_library=usr/lib/x86_64-linux-gnu/systemd/libsystemd-shared-252.so \
  check "a continued comment, systemd 252" "$commented" "$(rule tty 'KERNEL=="ttyUSB0"')"
systemd_library=usr/lib/systemd/libsystemd-shared-257.so \
  check "a comment's backslash, systemd 257" "$commented" "$(serial ttyUSB1)"
systemd_library=usr/lib/x86_64-linux-gnu/systemd/libsystemd-shared-252.so \
  check "an escaped backslash ends a comment, systemd 252" \
  '# C:\\\\\nTIRNSERIAL_OPTS="--device /dev/ttyUSB1"\n' "$(serial ttyUSB1)"
check "unterminated quote" 'TIRNSERIAL_OPTS="--device /dev/ttyUSB1\n' "$(serial ttyUSB1)"
# $TIRNSERIAL_OPTS split as ExecStart splits it: quotes and backslashes in
# the value hold words together and are removed.
check "quotes in the value" "$(verbatim "TIRNSERIAL_OPTS=\"--device '/dev/ttyUSB1'\"")" "$(serial ttyUSB1)"
check "a quoted option value" \
  "$(verbatim "TIRNSERIAL_OPTS=\"--log 'events --device /dev/ttyUSB2' --device /dev/ttyUSB1\"")" "$(serial ttyUSB1)"
check "a quoted blank in a device" "$(verbatim "TIRNSERIAL_OPTS=\"--device '/dev/ttyUSB1 /dev/ttyUSB2'\"")" "" \
  'ttyUSB1 /dev/ttyUSB2: characters.*no rule'
check "a backslash in the value" "$(verbatim 'TIRNSERIAL_OPTS="--device /dev/tty\\USB1"')" "$(serial ttyUSB1)"

# One device written several ways gets the rule of its plain name.
check "doubled and dot components" \
  'TIRNSERIAL_OPTS="--device /dev//ttyUSB1 --device=/dev/./ttyUSB2 --device //dev/serial/by-id//usb-FTDI_A1-if00-port0/."\n' \
  "$(serial ttyUSB1)
$(serial ttyUSB2)
$(rule tty 'SYMLINK=="serial/by-id/usb-FTDI_A1-if00-port0"' mm)"
check "a .. component" 'TIRNSERIAL_OPTS="--device /dev/serial/../ttyUSB1 --device /dev/ttyUSB2"\n' \
  "$(serial ttyUSB2)" '/dev/serial/\.\./ttyUSB1.*no rule'
check "a trailing slash" 'TIRNSERIAL_OPTS="--device /dev/ttyUSB1/"\n' "" 'no rule'
check "below a device node" 'TIRNSERIAL_OPTS="--device /dev/ttyUSB1/x --device hidpos:/dev/hidraw0/x"\n' "" \
  'hidraw0/x names no device; no rule'

# A scanner's settings after its path (its name, aim, gs1, a serial line's)
# go with it; a name with a character of the shell's is no device's.
check "settings after the path" \
  'TIRNSERIAL_OPTS="--device /dev/ttyUSB1,9600,name=till-1,aim --device keyboard:/dev/input/by-id/usb-S-event-kbd,name=till.2,gs1 --device /dev/ttyUSB2,name=till;3"\n' \
  "$(serial ttyUSB1)
$(rule input 'SYMLINK=="input/by-id/usb-S-event-kbd"')" 'ttyUSB2,name=till;3: characters.*no rule'

# Words that would write rules of their own, or comment the next one out,
# as they reach the service: the file's line is given verbatim, and a
# backslash in the value is doubled for the word to keep one.
check "a rule in the device's settings" \
  "$(verbatim "TIRNSERIAL_OPTS='--device /dev/ttyUSB0,\\\\nRUN+=\\\"/bin/sh\\\"'")" "" \
  '^tirnserial-udev-rules: --device /dev/ttyUSB0,\\nRUN\+="/bin/sh".*no rule'
check "an escape that ends the output" \
  "$(verbatim "TIRNSERIAL_OPTS='--device /dev/ttyUSB1,9600\\\\c --device /dev/ttyUSB2'")" "$(serial ttyUSB2)" \
  '9600\\c.*no rule'
check "an octal escape" "$(verbatim "TIRNSERIAL_OPTS='--device /dev/ttyUSB1\\\\0012'")" "" '0012.*no rule'

# Serial ports outside the unit's own device families (ttyUSB, ttyACM,
# ttyAMA, input, hidraw) are allowed by name in a drop-in, and only they:
# not char-ttyS, whose major number holds the virtual consoles too.
dropin=etc/systemd/system/tirnserial@.service.d/tirnserial-devices.conf
# allowed NAME CONTENT DEVICES: the drop-in allows exactly DEVICES (none:
# there is no drop-in).
allowed() {
  local name=$1 content=$2 expected=$3 got=""
  check "$name" "$content" -
  [ ! -e "$work/$case_number/$dropin" ] || got=$(grep -v '^#' "$work/$case_number/$dropin")
  [ "$got" = "$expected" ] || fail "$name: the drop-in holds
$got
expected
$expected"
}
allowed "a COM port" 'TIRNSERIAL_OPTS="--device /dev/ttyS0,9600 --device /dev/ttyUSB1"\n' \
  "$(printf '[Service]\nDeviceAllow=/dev/ttyS0 rw')"
allowed "by path" 'TIRNSERIAL_OPTS="--device serial:/dev/serial/by-path/pci-0000:00:16.3-port0"\n' \
  "$(printf '[Service]\nDeviceAllow=/dev/serial/by-path/pci-0000:00:16.3-port0 rw')"
allowed "families the unit allows" \
  'TIRNSERIAL_OPTS="--device /dev/ttyAMA0 --device /dev/ttyACM0 --device /dev/serial/by-id/usb-FTDI_A1-if00-port0 --device hidpos:/dev/hidraw1"\n' ""
# A drop-in left from an earlier run goes once no such port is named.
mkdir -p "$work/$((case_number + 1))/${dropin%/*}"
echo '[Service]' >"$work/$((case_number + 1))/$dropin"
allowed "no such port any more" 'TIRNSERIAL_OPTS="--device /dev/ttyUSB0"\n' ""
[ ! -e "$work/$case_number/${dropin%/*}" ] || fail "no such port any more: the drop-in's folder is left"

[ "$failures" -eq 0 ] || { echo "$failures failures in $case_number cases" >&2; exit 1; }
echo "udev rules: $case_number cases checked"
