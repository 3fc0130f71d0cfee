#!/usr/bin/env bash
# Builds the Debian package and checks what a user installs: the files, the
# dependencies, a unit that systemd accepts, a readable manual page, and a
# binary that runs. A cross build's package is for ARCH,
# and its binary runs under EMULATOR.
# Usage: package_test.sh BUILD_DIR SOURCE_DIR [ARCH [EMULATOR]]
set -euo pipefail
build=$1
source=$2
arch=${3:-$(dpkg --print-architecture)}
emulator=${4:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

(cd "$build" && cpack -G DEB -B "$work/out" >/dev/null)
deb=$(ls "$work"/out/tirnserial_*.deb)

listing=$(dpkg-deb -c "$deb")
for file in ./usr/sbin/TirnSerial ./lib/systemd/system/tirnserial@.service \
            ./lib/systemd/system/tirnserial-scanner.target ./lib/udev/rules.d/70-tirnserial.rules \
            ./usr/share/man/man8/TirnSerial.8.gz ./etc/default/tirnserial \
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

root="$work/root"
dpkg-deb -x "$deb" "$root"
binary="$root/usr/sbin/TirnSerial"
file -b "$binary" | grep -q "$(case $arch in amd64) echo x86-64 ;; arm64) echo aarch64 ;; armhf) echo 'ARM, EABI5' ;; esac)" \
  || fail "the binary is not for $arch: $(file -b "$binary")"

# What Debian's own checker says of the package: nothing, at its default
# level (each warning it would give at --pedantic is mended or overridden
# with its reason in the package).
if command -v lintian >/dev/null; then
  verdict=$(lintian --pedantic "$deb" 2>&1 | grep -v '^running with root privileges') || true
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
  # Every option the binary knows is documented where users look (and the
  # installed binary runs, with the libraries the package depends on).
  help=$($emulator "$binary" --help) || fail "the installed binary does not run"
  for option in $(grep -o -E '^  --[a-z-]+' <<<"$help"); do
    grep -q -e "$option" <<<"$page" || fail "the manual page does not describe $option"
    grep -q -e "\`$option" "$source/README.md" || fail "README.md does not describe $option"
  done
fi

echo "package $(basename "$deb") checked"
dpkg-deb -f "$deb" Package Version Architecture Depends
