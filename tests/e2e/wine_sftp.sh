#!/usr/bin/env bash
# OpenSSH's sftp (batch mode, protocol 3) served by kiln-sftp-server.exe under
# Wine, with the KilnSfsWin.dll and ZuProv.dll that lie beside it, as the
# package lays them out: tests/e2e/wine_sftp.sh BIN_DIR. The caller sets up
# WINEPREFIX. Each case is one batch, with its expected outcome and a check
# of the files on the host.
set -uo pipefail
bin=$(cd "${1:?usage: wine_sftp.sh BIN_DIR}" && pwd)
work=$(mktemp -d /tmp/kiln-wine-sftp.XXXXXX)
trap 'rm -rf "$work"' EXIT
root="$work/root" local="$work/local"
mkdir -p "$root" "$local" "$work/outside"
echo secret > "$work/outside/secret.txt"
# A host link that leads out of the root: Wine follows it, the provider
# must not.
ln -s "$work/outside" "$root/out"
winroot="Z:${root//\//\\}"
failed=0

# name; ok or refused; check (shell) after the batch; batch on stdin.
run_case() {
    local name=$1 expect=$2 check=$3 rc
    cat > "$work/batch"
    (cd "$local" && timeout 60 sftp -b "$work/batch" \
        -D "wine $bin/kiln-sftp-server.exe -e -l VERBOSE --root $winroot") >"$work/out" 2>&1
    rc=$?
    if [ $rc -eq 124 ]; then
        echo "FAIL $name (timed out)"
    elif { [ "$expect" = ok ] && [ $rc -eq 0 ]; } || { [ "$expect" = refused ] && [ $rc -ne 0 ]; }; then
        if (cd "$local" && eval "$check"); then echo "PASS $name"; return; fi
        echo "FAIL $name (check: $check)"
    else
        echo "FAIL $name (sftp exit $rc, expected $expect)"
    fi
    sed 's/^/    /' "$work/out"
    failed=1
}

head -c $((8 << 20)) /dev/urandom > "$local/big.bin"
printf 'caf\xc3\xa9\n' > "$local/small.txt"
sum() { sha256sum < "$1" | cut -d' ' -f1; }

run_case "upload and download with checksums" ok \
    '[ "$(sum big.bin)" = "$(sum "$root/big.bin")" ] && [ "$(sum big.bin)" = "$(sum back.bin)" ] &&
     [ "$(sum small.txt)" = "$(sum "$root/résumé.txt")" ]' <<'B'
put big.bin
get big.bin back.bin
put small.txt résumé.txt
B
run_case "mkdir, rename, listing, remove" ok \
    '[ -f "$root/d1/moved.bin" ] && [ ! -e "$root/big.bin" ] && [ ! -e "$root/résumé.txt" ] &&
     grep -q "^moved.bin" "$work/out" && grep -q "^d1" "$work/out"' <<'B'
mkdir d1
rename big.bin d1/moved.bin
cd d1
ls -1
cd ..
rm résumé.txt
ls -1
B
# Confinement: ".." folds at the root; the host link leads nowhere.
run_case "'..' stays at the root" ok 'grep -q "^d1" "$work/out"' <<'B'
cd ../../..
ls -1
B
for batch in "get ../outside/secret.txt" "get out/secret.txt" "ls out/" \
             "put small.txt out/new.txt" "mkdir out/made" "rm out/secret.txt" \
             "rename out/secret.txt taken.txt"; do
    run_case "confined: $batch" refused \
        '[ ! -e secret.txt ] && [ ! -e "$root/taken.txt" ] && [ -f "$work/outside/secret.txt" ] &&
         [ "$(ls "$work/outside")" = secret.txt ]' <<<"$batch"
done
# Names Windows cannot hold are refused by name (protocol 3 has no code for
# an invalid name: "no such file"), never made a stream or a device.
for name in 'a:b' 'q?' 'NUL' 'com1.txt' 'dot.' ; do
    run_case "Windows-invalid name $name" refused \
        '! ls "$root" | grep -qv "^\(d1\|out\)$" && grep -q "No such file" "$work/out"' \
        <<<"put small.txt \"$name\""
done
exit $failed
