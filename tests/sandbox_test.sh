#!/usr/bin/env bash
# scripts/sandbox gives its command a /var/lib/tirnserial of its own and
# leaves the host's file system as it was: the host's /var/lib is replaced,
# in a private mount namespace, by an empty one with a marker, which must
# hold nothing else once the sandboxed command is done.
# Usage: sandbox_test.sh SANDBOX
set -euo pipefail
fail() { echo "FAIL: $*" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || { echo "not root: sandbox not checked"; exit 77; }
if [ "${1:-}" != --inside ]; then
  exec unshare --mount --propagation private "$0" --inside "$@"
fi
sandbox=$2

mount -t tmpfs -o mode=755,size=1m tmpfs /var/lib
echo host >/var/lib/marker
# shellcheck disable=SC2016 # expanded inside the sandbox
"$sandbox" sh -c '
  [ "$(cat /var/lib/marker)" = host ] || { echo "the host'\''s /var/lib is not seen"; exit 1; }
  [ -z "$(ls -A /var/lib/tirnserial)" ] || { echo "/var/lib/tirnserial is not empty"; exit 1; }
  touch /var/lib/tirnserial/history.db || exit 1' \
  || fail "inside the sandbox"
[ "$(ls -A /var/lib)" = marker ] || fail "the sandbox changed the host's /var/lib: $(ls -A /var/lib)"
echo "sandbox: /var/lib/tirnserial private, the host's /var/lib untouched"
