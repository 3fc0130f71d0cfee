#!/usr/bin/env bash
# scripts/setup against a mirror in mid-sync: apt-get, apt-cache and
# dpkg-query are stubs that play one (an index that fails to download at
# every try, or only at the first), so what the setup says and does can be
# checked without touching the host's packages.
# Usage: setup_test.sh SOURCE_DIR
set -euo pipefail
fail() { echo "FAIL: $*" >&2; exit 1; }
source=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
index="http://mirror.invalid/debian/dists/bookworm/main/binary-amd64/Packages.xz"

# The stubs: UPDATE_FAILS tries of apt-get update fail with the index, and
# INSTALLABLE says whether the package can be had all the same.
mkdir "$work/bin"
cat >"$work/bin/apt-get" <<EOF
#!/bin/sh
echo "apt-get \$*" >>"$work/calls"
for arg; do
  case "\$arg" in
    update)
      tries=\$(( \$(cat "$work/tries" 2>/dev/null || echo 0) + 1 )); echo \$tries >"$work/tries"
      [ "\$tries" -gt "\$UPDATE_FAILS" ] && exit 0
      echo "E: Failed to fetch $index  File has unexpected size (2840 != 2836). Mirror sync in progress? [IP: 192.0.2.1 80]"
      echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
      exit 100 ;;
    install) [ "\$INSTALLABLE" = 1 ] && exit 0; echo "E: Unable to locate package chromium"; exit 100 ;;
  esac
done
EOF
cat >"$work/bin/apt-cache" <<EOF
#!/bin/sh
echo "chromium:"; echo "  Installed: (none)"
[ "\$INSTALLABLE" = 1 ] && echo "  Candidate: 1.0" || echo "  Candidate: (none)"
EOF
# Everything is installed but chromium.
cat >"$work/bin/dpkg-query" <<'EOF'
#!/bin/sh
for arg; do :; done
[ "$arg" = chromium ] && exit 1
printf 'install ok installed'
EOF
printf '#!/bin/sh\n' >"$work/bin/sleep"
chmod +x "$work"/bin/*

# Runs the setup as root would; its status, standard error and apt's calls.
setup() {
  rm -f "$work/calls" "$work/tries"
  set +e
  env PATH="$work/bin:$PATH" UPDATE_FAILS="$1" INSTALLABLE="$2" "$source/scripts/setup" --tests \
    >"$work/out" 2>"$work/err" </dev/null
  status=$?
  set -e
}
[ "$(id -u)" -eq 0 ] || { echo "skipped: the setup runs its apt-get as root only"; exit 77; }

# The index fails at every try, and the package can be installed from the
# lists at hand: one warning naming the index, then the install.
setup 99 1
[ "$status" = 0 ] || fail "a failed index with the packages at hand ended the setup ($status): $(cat "$work/err")"
[ "$(grep -c 'apt-get.* update' "$work/calls")" = 4 ] || fail "apt-get update was not tried 4 times: $(cat "$work/calls")"
[ "$(wc -l <"$work/err")" = 1 ] && grep -q "setup: warning: could not download $index; " "$work/err" ||
  fail "not one warning naming the index: $(cat "$work/err")"
grep -q 'apt-get.* install -y .*chromium' "$work/calls" || fail "nothing installed: $(cat "$work/calls")"

# The package is not to be had: one line naming it and the index, status 1.
setup 99 0
[ "$status" = 1 ] || fail "an uninstallable package gave status $status"
[ "$(cat "$work/err")" = "setup: cannot install chromium: no index offers it (failed to download: $index)" ] ||
  fail "the failure does not name the package and the index: $(cat "$work/err")"
grep -q 'install -y' "$work/calls" && fail "it installed after all: $(cat "$work/calls")"

# The mirror recovers on the second try: no warning at all.
setup 1 1
[ "$status" = 0 ] && [ ! -s "$work/err" ] || fail "a second try that worked still warned: $(cat "$work/err")"
[ "$(grep -c 'apt-get.* update' "$work/calls")" = 2 ] || fail "update tried $(grep -c update "$work/calls") times"
echo "setup: a mirror in mid-sync is retried, named, and fails only when a package cannot be had"
