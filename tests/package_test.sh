#!/usr/bin/env bash
# Builds the Debian package and checks what a user installs: the files, the
# dependencies, a unit that systemd accepts, a readable manual page, a
# binary that runs, the udev rules for the configured scanners, and what
# installing, upgrading, removing and purging it does to a box. A cross
# build's package is for ARCH, and its binary runs under EMULATOR.
# Usage: package_test.sh BUILD_DIR SOURCE_DIR [ARCH [EMULATOR]]
set -euo pipefail
fail() { echo "FAIL: $*" >&2; exit 1; }

# The package's life on a box, in a private root inside a private mount
# namespace: the host's /usr seen through an overlay (what the package puts
# there stays in the overlay), and systemctl, deb-systemd-helper,
# deb-systemd-invoke and udevadm replaced by stubs that record their calls.
# Usage: package_test.sh --lifecycle DEB DIR
lifecycle() {
  local deb=$1 dir=$2 root=$2/root
  mkdir -p "$root"/{usr,etc,dev,run/systemd/system,var/log,var/lib/dpkg/info,var/lib/dpkg/updates} \
           "$dir"/{upper,overlay-work}
  touch "$root"/var/lib/dpkg/{status,available} "$root/dev/null"
  mount -t overlay overlay -o "lowerdir=/usr,upperdir=$dir/upper,workdir=$dir/overlay-work" "$root/usr"
  mount --bind /dev/null "$root/dev/null"
  for link in bin sbin lib lib32 lib64 libx32; do
    [ ! -L "/$link" ] || ln -s "$(readlink "/$link")" "$root/$link"
  done
  # awk is an alternative: its link is in /etc, which the root has its own of.
  mkdir -p "$root/etc/alternatives"
  ln -s "$(readlink -f /usr/bin/awk)" "$root/etc/alternatives/awk"
  for tool in systemctl deb-systemd-helper deb-systemd-invoke udevadm; do
    printf '#!/bin/sh\necho "%s $*" >>/calls\n' "$tool" >"$root/usr/bin/$tool"
    chmod 755 "$root/usr/bin/$tool"
  done
  local dpkg=(dpkg --root="$root" --force-depends --force-architecture --force-confold)
  # Each step: what the stubs were asked, in order, and nothing else.
  step() {
    local name=$1 expected=$2; shift 2
    rm -f "$root/calls"
    "${dpkg[@]}" "$@" >"$dir/dpkg.log" 2>&1 || fail "$name: dpkg $*: $(cat "$dir/dpkg.log")"
    [ "$(cat "$root/calls" 2>/dev/null)" = "$expected" ] \
      || fail "$name asked: $(cat "$root/calls" 2>/dev/null); expected: $expected"
  }
  there() { [ -e "$root/$1" ] || [ -L "$root/$1" ] || fail "$2: /$1 is gone"; }
  gone() { [ ! -e "$root/$1" ] && [ ! -L "$root/$1" ] || fail "$2: /$1 is left"; }
  local reload=$'udevadm control --reload-rules\nsystemctl --system daemon-reload'
  step install "$reload" -i "$deb"
  grep -q 'KERNEL=="ttyUSB0"' "$root/etc/udev/rules.d/70-tirnserial.rules" \
    || fail "install: no rule for the default scanner"
  ! grep -q ID_MM_DEVICE_IGNORE "$root/etc/udev/rules.d/70-tirnserial.rules" \
    || fail "install: ModemManager is kept off ttyUSB0 although no scanner is named"

  # The administrator enables mode 0, names four scanners (in the option's
  # every form the service takes; one on a COM port, which the unit allows
  # only through the generator's drop-in), and the service stores scans.
  local requires=etc/systemd/system/tirnserial-scanner.target.requires
  mkdir -p "$root/$requires" "$root/var/lib/tirnserial"
  ln -s /lib/systemd/system/tirnserial@.service "$root/$requires/tirnserial@0.service"
  touch "$root"/var/lib/tirnserial/{outbox.db,history.db}
  local by_id=/dev/serial/by-id/usb-FTDI_FT232R_A1B2-if00-port0
  local kbd=/dev/input/by-id/usb-Scanner_Inc_Barcode-event-kbd
  echo "TIRNSERIAL_OPTS=\"--log events --device $by_id,9600 --device=keyboard:$kbd --dev hidpos:/dev/hidraw3 --device /dev/ttyS1\"" \
    >"$root/etc/default/tirnserial"
  rm -f "$root/calls"
  chroot "$root" tirnserial-udev-rules 2>/dev/null || fail "tirnserial-udev-rules failed"
  local dropin=etc/systemd/system/tirnserial@.service.d/tirnserial-devices.conf
  grep -qx 'DeviceAllow=/dev/ttyS1 rw' "$root/$dropin" || fail "the unit is not allowed /dev/ttyS1"
  [ "$(cat "$root/calls" 2>/dev/null)" = "$reload" ] \
    || fail "systemd was not told of the new drop-in: $(cat "$root/calls" 2>/dev/null)"
  local rules wanted
  rules=$(grep -v '^#' "$root/etc/udev/rules.d/70-tirnserial.rules")
  wanted=', TAG+="systemd", ENV{SYSTEMD_WANTS}+="tirnserial-scanner.target"'
  [ "$rules" = "ACTION!=\"remove\", SUBSYSTEM==\"tty\", SYMLINK==\"${by_id#/dev/}\"$wanted, ENV{ID_MM_DEVICE_IGNORE}=\"1\"
ACTION!=\"remove\", SUBSYSTEM==\"input\", SYMLINK==\"${kbd#/dev/}\"$wanted
ACTION!=\"remove\", SUBSYSTEM==\"hidraw\", KERNEL==\"hidraw3\"$wanted
ACTION!=\"remove\", SUBSYSTEM==\"tty\", KERNEL==\"ttyS1\"$wanted, ENV{ID_MM_DEVICE_IGNORE}=\"1\"" ] \
    || fail "rules for the configured scanners: $rules"

  # An upgrade restarts what ran, once the new units are known.
  dpkg-deb -R "$deb" "$dir/next"
  sed -i 's/^Version: .*/&+1/' "$dir/next/DEBIAN/control"
  dpkg-deb -b "$dir/next" "$dir/next.deb" >/dev/null
  step upgrade "$reload"$'\ndeb-systemd-invoke try-restart tirnserial@*.service' -i "$dir/next.deb"
  grep -q "SYMLINK==\"${kbd#/dev/}\"" "$root/etc/udev/rules.d/70-tirnserial.rules" \
    || fail "upgrade: the rules no longer follow /etc/default/tirnserial"

  step remove $'deb-systemd-invoke stop tirnserial@*.service tirnserial-scanner.target\n'"$reload" -r tirnserial
  gone usr/sbin/TirnSerial remove
  gone etc/udev/rules.d/70-tirnserial.rules remove
  gone "${dropin%/*}" remove
  for kept in etc/default/tirnserial "$requires/tirnserial@0.service" var/lib/tirnserial/outbox.db; do
    there "$kept" remove
  done

  step purge 'deb-systemd-helper purge tirnserial@.service' -P tirnserial
  for left in etc/default/tirnserial "$requires" var/lib/tirnserial; do gone "$left" purge; done

  # The same life with the scripts run outside the root (dpkg
  # --force-script-chrootless, as image builders do): they must work on the
  # root through $DPKG_ROOT and leave the system they run on alone. That
  # system is the host seen through overlays in this mount namespace, with
  # a scanner box's files of its own (the host's own ones are never at
  # risk): what a script writes or deletes there lands in an upper folder,
  # which must stay empty, and its systemctl, deb-systemd-invoke and udevadm
  # record any call.
  local host=$dir/host
  mkdir -p "$host"/{etc,var-lib,run}-{upper,work} "$host/stubs/bin" "$host/etc/default" \
           "$host/etc/udev/rules.d" "$host/$requires" "$host/var-lib/tirnserial" "$host/run/systemd/system"
  echo 'TIRNSERIAL_OPTS="--device /dev/ttyACM7"' >"$host/etc/default/tirnserial"
  echo '# the host scanner' >"$host/etc/udev/rules.d/70-tirnserial.rules"
  mkdir -p "$host/${dropin%/*}"
  printf '[Service]\nDeviceAllow=/dev/ttyS0 rw\n' >"$host/$dropin"
  ln -s /lib/systemd/system/tirnserial@.service "$host/$requires/tirnserial@0.service"
  touch "$host"/var-lib/tirnserial/{outbox.db,history.db}
  for tool in systemctl deb-systemd-helper deb-systemd-invoke udevadm; do
    # shellcheck disable=SC2016 # expanded by the stub
    printf '#!/bin/sh\necho "%s $* (DPKG_ROOT=${DPKG_ROOT:-})" >>%s\n' "$tool" "$dir/host-calls" >"$host/stubs/bin/$tool"
    chmod 755 "$host/stubs/bin/$tool"
  done
  mount -t overlay overlay -o "lowerdir=$host/etc:/etc,upperdir=$host/etc-upper,workdir=$host/etc-work" /etc
  mount -t overlay overlay -o "lowerdir=$host/var-lib:/var/lib,upperdir=$host/var-lib-upper,workdir=$host/var-lib-work" /var/lib
  mount -t overlay overlay -o "lowerdir=$host/run:/run,upperdir=$host/run-upper,workdir=$host/run-work" /run
  mount -t overlay overlay -o "lowerdir=$host/stubs:/usr" /usr
  chrootless() {
    local name=$1 expected=$2; shift 2
    rm -f "$dir/host-calls"
    "${dpkg[@]}" --force-script-chrootless "$@" >"$dir/dpkg.log" 2>&1 \
      || fail "chrootless $name: dpkg $*: $(cat "$dir/dpkg.log")"
    [ "$(cat "$dir/host-calls" 2>/dev/null)" = "$expected" ] \
      || fail "chrootless $name asked the host: $(cat "$dir/host-calls" 2>/dev/null); expected: ${expected:-nothing}"
    local touched
    touched=$(cd "$host" && find etc-upper var-lib-upper run-upper -mindepth 1)
    [ -z "$touched" ] || fail "chrootless $name changed the host: $touched"
    for kept in etc/udev/rules.d/70-tirnserial.rules "$dropin" "$requires/tirnserial@0.service" \
                var/lib/tirnserial/outbox.db var/lib/tirnserial/history.db; do
      [ -e "/$kept" ] || [ -L "/$kept" ] || fail "chrootless $name: the host's /$kept is gone"
    done
  }
  chrootless install "" -i "$deb"
  grep -q 'KERNEL=="ttyUSB0"' "$root/etc/udev/rules.d/70-tirnserial.rules" \
    || fail "chrootless install: no rule in the root for its default scanner"
  ! grep -q ttyACM7 "$root/etc/udev/rules.d/70-tirnserial.rules" \
    || fail "chrootless install: the root's rules follow the host's /etc/default/tirnserial"
  mkdir -p "$root/$requires" "$root/var/lib/tirnserial"
  ln -s /lib/systemd/system/tirnserial@.service "$root/$requires/tirnserial@0.service"
  touch "$root"/var/lib/tirnserial/{outbox.db,history.db}
  chrootless upgrade "" -i "$dir/next.deb"
  mkdir -p "$root/${dropin%/*}"
  printf '[Service]\nDeviceAllow=/dev/ttyS2 rw\n' >"$root/$dropin"
  chrootless remove "" -r tirnserial
  gone etc/udev/rules.d/70-tirnserial.rules "chrootless remove"
  gone "${dropin%/*}" "chrootless remove"
  there var/lib/tirnserial/outbox.db "chrootless remove"
  # deb-systemd-helper works on $DPKG_ROOT's links itself.
  chrootless purge "deb-systemd-helper purge tirnserial@.service (DPKG_ROOT=$root)" -P tirnserial
  for left in etc/default/tirnserial "$requires" var/lib/tirnserial; do gone "$left" "chrootless purge"; done
  echo "lifecycle: install, upgrade, remove and purge checked, in the root and with chrootless scripts"
}
if [ "${1:-}" = --lifecycle ]; then
  lifecycle "$2" "$3"
  exit 0
fi

build=$1
source=$2
arch=${3:-$(dpkg --print-architecture)}
emulator=${4:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

(cd "$build" && cpack -G DEB -B "$work/out" >/dev/null)
deb=$(ls "$work"/out/tirnserial_*.deb)

listing=$(dpkg-deb -c "$deb")
for file in ./usr/sbin/TirnSerial ./lib/systemd/system/tirnserial@.service \
            ./lib/systemd/system/tirnserial-scanner.target ./usr/sbin/tirnserial-udev-rules \
            ./usr/sbin/tirnserial-make-cert ./usr/share/man/man8/tirnserial-make-cert.8.gz \
            ./usr/share/man/man8/TirnSerial.8.gz ./usr/share/man/man8/tirnserial-udev-rules.8.gz \
            ./etc/default/tirnserial \
            ./usr/share/doc/tirnserial/copyright ./usr/share/doc/tirnserial/changelog.gz; do
  grep -q " $file\$" <<<"$listing" || fail "$file is not in the package"
done
dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles | grep -qx /etc/default/tirnserial \
  || fail "/etc/default/tirnserial is not a conffile"
[ "$(basename "$deb")" = "tirnserial_$(dpkg-deb -f "$deb" Version)_$arch.deb" ] \
  || fail "$(basename "$deb") is not named for $arch"
[ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ] \
  || fail "Architecture is $(dpkg-deb -f "$deb" Architecture), not $arch"
depends=$(dpkg-deb -f "$deb" Depends)
for dependency in libcjson1 libstdc++6 libc6 procps; do
  grep -q "$dependency" <<<"$depends" || fail "Depends lacks $dependency: $depends"
done
description=$(dpkg-deb -f "$deb" Description)
for kind in serial keyboard-mode "HID point-of-sale"; do
  grep -q "$kind" <<<"$description" || fail "the description names no $kind scanners: $description"
done

root="$work/root"
dpkg-deb -x "$deb" "$root"

# The certificate maker README sends the administrator to: a bad value is
# named, and a good call writes a pair (openssl, which it runs, is
# recommended).
grep -q openssl <<<"$(dpkg-deb -f "$deb" Recommends)" || fail "openssl is not recommended"
said=$("$root/usr/sbin/tirnserial-make-cert" --days abc --out "$work/cert" 2>&1) && status=0 || status=$?
[ "$status" -eq 2 ] && grep -q -e "--days.*abc" <<<"$said" \
  || fail "tirnserial-make-cert --days abc: status $status, said: $said"
"$root/usr/sbin/tirnserial-make-cert" --days 1 --out "$work/cert" till-3.local >/dev/null \
  && openssl x509 -noout -checkend 0 -in "$work/cert/tirnserial.crt" >/dev/null \
  || fail "tirnserial-make-cert wrote no valid certificate"
binary="$root/usr/sbin/TirnSerial"
file -b "$binary" | grep -q "$(case $arch in amd64) echo x86-64 ;; arm64) echo aarch64 ;; armhf) echo 'ARM, EABI5' ;; esac)" \
  || fail "the binary is not for $arch: $(file -b "$binary")"

# What Debian's own checker says of the package: nothing, down to its
# pedantic and informational tags (each is mended, or overridden with its
# reason in the package, and no override is left unused).
if command -v lintian >/dev/null; then
  verdict=$(lintian --pedantic -I "$deb" 2>&1 | grep -v -e '^running with root privileges' -e '^N: 0 hints overridden$') || true
  [ -z "$verdict" ] || fail "lintian: $verdict"
  echo "lintian: clean"
else
  echo "lintian not available: package not checked"
fi

if command -v systemd-analyze >/dev/null; then
  # An instance of the template, started from where the package was unpacked,
  # and the target that the scanner's udev rule asks for.
  mkdir "$work/units"
  sed "s|/usr/sbin/TirnSerial|$binary|" "$root/lib/systemd/system/tirnserial@.service" \
    >"$work/units/tirnserial@0.service"
  cp "$root/lib/systemd/system/tirnserial-scanner.target" "$work/units/"
  # With the drop-in the generator writes for a COM port, which systemd
  # reads from beside the unit.
  mkdir -p "$work/box/etc/default" "$work/units/tirnserial@.service.d"
  echo 'TIRNSERIAL_OPTS="--device /dev/ttyS0"' >"$work/box/etc/default/tirnserial"
  DPKG_ROOT=$work/box "$root/usr/sbin/tirnserial-udev-rules" 2>/dev/null \
    || fail "tirnserial-udev-rules failed on a COM port"
  cp "$work/box/etc/systemd/system/tirnserial@.service.d/tirnserial-devices.conf" "$work/units/tirnserial@.service.d/"
  verdict=$(systemd-analyze verify --man=no "$work/units/tirnserial@0.service" \
            "$work/units/tirnserial-scanner.target" 2>&1) \
    || fail "systemd-analyze rejects the unit: $verdict"
  [ -z "$verdict" ] || fail "systemd-analyze complains: $verdict"
  # How much of the system the confined service could reach, 0 (nothing) to
  # 10 (everything).
  report=$(systemd-analyze security --offline=true "$work/units/tirnserial@0.service" 2>&1) || true
  exposure=$(sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p' <<<"$report")
  awk -v e="$exposure" 'BEGIN { exit !(e != "" && e + 0 <= 2.0) }' \
    || fail "the unit's exposure is ${exposure:-unknown}, above 2.0: $report"
  echo "unit exposure $exposure"
else
  echo "systemd-analyze not available: unit not verified"
fi

if command -v man >/dev/null; then
  page=$(MANWIDTH=80 man -l "$root/usr/share/man/man8/TirnSerial.8.gz" 2>&1)
  grep -q "EXIT STATUS" <<<"$page" || fail "the manual page does not render: $page"
  # Every option the binary knows is documented where users look, the
  # unit's options file included (and the installed binary runs, with the
  # libraries the package depends on).
  help=$($emulator "$binary" --help) || fail "the installed binary does not run"
  for option in $(grep -o -E '^  --[a-z-]+' <<<"$help"); do
    grep -q -e "$option" <<<"$page" || fail "the manual page does not describe $option"
    grep -q -e "\`$option" "$source/README.md" || fail "README.md does not describe $option"
    [[ "$option" =~ ^--(help|version)$ ]] || grep -q -E -e "^#.* $option( |$)" "$root/etc/default/tirnserial" \
      || fail "/etc/default/tirnserial does not list $option"
  done
fi

if [ "$(id -u)" -eq 0 ]; then
  unshare --mount --propagation private "$0" --lifecycle "$deb" "$work/life"
else
  echo "not root: install, upgrade, remove and purge not checked"
fi

echo "package $(basename "$deb") checked"
dpkg-deb -f "$deb" Package Version Architecture Depends
