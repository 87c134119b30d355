#!/usr/bin/env bash
# OpenSSH's sftp client in batch mode against kiln-sftp-server (sftp -D).
# Each case runs one batch and checks the files on disk. A case that fails
# only because the provider does not serve a request yet (its log says
# "Received unsupported") is skipped; any
# other failure fails the test. Exit 77 when every case was skipped.
set -uo pipefail
server=${KILN_SFTP_SERVER:?}
module=${KILN_SFTP_MODULE:?}
work=$(mktemp -d /tmp/kiln-e2e-sftp.XXXXXX)
trap 'rm -rf "$work"' EXIT
root="$work/root"
local="$work/local"
mkdir -p "$root" "$local"
passed=0 skipped=0 failed=0

sftp_batch() {  # batch text on stdin; output in $work/out
    cat > "$work/batch"
    sftp -b "$work/batch" -D "$server --module $module --root $root -e -l VERBOSE" \
        > "$work/out" 2>&1
}

run_case() {  # name, check command; batch on stdin
    local name=$1 check=$2
    sftp_batch
    local rc=$?
    if [ $rc -eq 0 ] && eval "$check"; then
        echo "PASS $name"; passed=$((passed + 1))
    elif grep -q "Received unsupported" "$work/out"; then
        echo "SKIP $name (provider request not served yet)"; skipped=$((skipped + 1))
    else
        echo "FAIL $name"; sed 's/^/    /' "$work/out"; failed=$((failed + 1))
    fi
}

cd "$local" || exit 1
head -c $((64 << 20)) /dev/urandom > big.bin

# The provider reports each closed file; the server logs one line for it.
transfer_logged='grep -q "close \"/big.bin\" bytes read 0 written 67108864" "$work/out"'
[ "${KILN_E2E_REAL_PROVIDER:-0}" = 1 ] || transfer_logged=true
run_case "upload and download 64 MiB" 'cmp -s big.bin "$root/big.bin" && cmp -s big.bin back.bin && eval "$transfer_logged"' <<EOF
put big.bin
get big.bin back.bin
EOF

# put -f asks the server to make the upload durable (fsync@openssh.com); the
# real provider logs the flush.
flushed_logged='grep -q "KilnSfsWin: Flushed file" "$work/out"'
[ "${KILN_E2E_REAL_PROVIDER:-0}" = 1 ] || flushed_logged=true
run_case "put -f" 'cmp -s big.bin "$root/synced.bin" && eval "$flushed_logged"' <<EOF
put -f big.bin synced.bin
EOF

head -c $((20 << 20)) big.bin > "$local/part.bin"
cp "$local/part.bin" "$root/resume.bin"
rm -f back.bin
head -c $((5 << 20)) big.bin > back.bin
run_case "reput and reget resume" 'cmp -s big.bin "$root/resume.bin" && cmp -s big.bin back.bin' <<EOF
reput big.bin resume.bin
reget big.bin back.bin
EOF

mkdir -p "$root/many"
for i in $(seq 1 1000); do : > "$root/many/f$i"; done
run_case "ls -l of 1000 entries" '[ "$(grep -cE "^-rw.* (many\/)?f[0-9]+$" "$work/out")" -eq 1000 ]' <<EOF
ls -l many
EOF

echo data > "$root/plain"
run_case "mkdir rmdir rename" '[ -d "$root/made" ] && [ ! -d "$root/gone" ] && [ -f "$root/renamed" ]' <<EOF
mkdir made
mkdir gone
rmdir gone
rename plain renamed
EOF

echo linked > "$root/target"
run_case "ln -s and ln" '[ -L "$root/sym" ] && [ "$(cat "$root/sym")" = linked ] && [ "$(stat -c %h "$root/target")" = 2 ]' <<EOF
ln -s target sym
ln target hard
EOF

echo mode > "$root/mode"
run_case "chmod" '[ "$(stat -c %a "$root/mode")" = 604 ]' <<EOF
chmod 604 mode
EOF

run_case "df" 'grep -q "Size" "$work/out"' <<EOF
df -h /
EOF

run_case "cp (copy-data)" 'cmp -s "$root/big.bin" "$root/copy.bin"' <<EOF
cp big.bin copy.bin
EOF

run_case "rm" '[ ! -e "$root/copy.bin" ]' <<EOF
rm copy.bin
EOF

echo secret > "$work/outside"
rm -f "$local/leak"
sftp_batch <<EOF
get ../outside $local/leak
EOF
if [ ! -e "$local/leak" ]; then
    echo "PASS path outside the root refused"; passed=$((passed + 1))
else
    echo "FAIL path outside the root refused: the file was read"; failed=$((failed + 1))
fi

# A link inside the root that leads outside must not open a way out; only
# the real provider confines (the test module serves its directory plainly).
if [ "${KILN_E2E_REAL_PROVIDER:-0}" = 1 ]; then
    mkdir -p "$work/outside-dir"
    echo secret > "$work/outside-dir/secret"
    ln -s "$work/outside-dir" "$root/escape"
    rm -f "$local/leak2"
    echo "get escape/secret $local/leak2" | sftp_batch
    if [ ! -e "$local/leak2" ]; then
        echo "PASS symbolic link out of the root refused"; passed=$((passed + 1))
    else
        echo "FAIL symbolic link out of the root: the file was read"; failed=$((failed + 1))
    fi
fi

echo "openssh sftp: $passed passed, $skipped skipped, $failed failed"
[ $failed -eq 0 ] || exit 1
[ $passed -gt 1 ] || exit 77
exit 0
