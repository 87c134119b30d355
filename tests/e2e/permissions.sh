#!/usr/bin/env bash
# OpenSSH's sftp against kiln-sftp-server (sftp -D): what users put keeps its
# permissions. put without -p keeps 0600 and 0755, chmod 4755 lands on disk
# whole, a 0444 file can be removed, and chown to an id without an account
# is applied.
set -uo pipefail
server=${KILN_SFTP_SERVER:?}
module=${KILN_SFTP_MODULE:?}
work=$(mktemp -d /tmp/kiln-e2e-perms.XXXXXX)
trap 'rm -rf "$work"' EXIT
root="$work/root" local="$work/local"
mkdir -p "$root" "$local"
cd "$local" || exit 1
echo secret > private && chmod 0600 private
printf '#!/bin/sh\n' > script && chmod 0755 script
echo ro > readonly && chmod 0444 readonly
cp readonly "$root/readonly" && chmod 0444 "$root/readonly"
umask 022

cat > "$work/batch" <<BATCH
put private
put script
put script setuid
chmod 4755 setuid
rm readonly
put script orphan
chown 12345 orphan
BATCH
sftp -b "$work/batch" -D "$server --module $module --root $root -e -l VERBOSE" > "$work/out" 2>&1
rc=$?
failed=0
check() {  # label, expected, actual
    if [ "$2" = "$3" ]; then echo "PASS $1"; else echo "FAIL $1: expected $2, got $3"; failed=1; fi
}
check "sftp batch" 0 "$rc"
check "put 0600" 600 "$(stat -c %a "$root/private" 2>&1)"
check "put 0755" 755 "$(stat -c %a "$root/script" 2>&1)"
check "chmod 4755" 4755 "$(stat -c %a "$root/setuid" 2>&1)"
check "rm of a 0444 file" gone "$([ -e "$root/readonly" ] && echo there || echo gone)"
check "chown to an id without an account" 12345 "$(stat -c %u "$root/orphan" 2>&1)"
[ $failed -eq 0 ] || { sed 's/^/    /' "$work/out"; exit 1; }
