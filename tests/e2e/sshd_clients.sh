#!/usr/bin/env bash
# kiln-sftp-server as the sftp subsystem of a real sshd, reached the way users
# reach it: by OpenSSH's sftp and by curl (libssh2). The sshd is private to
# this test: its keys, configuration, authorized keys, pid file and logs live
# in a temporary directory, and it listens on a free loopback port.
# A case that fails only because the provider does not serve a request yet
# (the server logs "Received unsupported") is skipped; exit 77 when every case
# was skipped, or when sshd run by an unprivileged user cannot start or cannot
# log that user in.
set -uo pipefail
# shellcheck source-path=SCRIPTDIR source=sshd_helper.sh
. "$(dirname "$0")/sshd_helper.sh"
local="$work/local"
mkdir -p "$local"
passed=0 skipped=0 failed=0

# Runs a case: name, command that performs it (output in $work/out), check.
# A case whose server log shows an unsupported request is skipped.
run_case() {
    local name=$1 command=$2 check=$3 log_offset rc
    log_offset=$(stat -c %s "$work/server.log")
    eval "$command" > "$work/out" 2>&1
    rc=$?
    if [ $rc -eq 0 ] && eval "$check"; then
        echo "PASS $name"; passed=$((passed + 1))
    elif tail -c +$((log_offset + 1)) "$work/server.log" | grep -q "Received unsupported"; then
        echo "SKIP $name (provider request not served yet)"; skipped=$((skipped + 1))
    else
        echo "FAIL $name (exit status $rc)"
        sed 's/^/    /' "$work/out"
        tail -c +$((log_offset + 1)) "$work/server.log" | tail -n 20 | sed 's/^/    server: /'
        failed=$((failed + 1))
    fi
}

sftp_batch() {  # batch text on stdin
    cat > "$work/batch"
    timeout 120 sftp -F /dev/null -i "$work/user_key" -P "$port" \
        -o IdentitiesOnly=yes -o BatchMode=yes -o StrictHostKeyChecking=yes \
        -o UserKnownHostsFile="$work/known_hosts" -o GlobalKnownHostsFile=/dev/null \
        -b "$work/batch" "$user@127.0.0.1"
}

# curl checks the host key's fingerprint; its -k only keeps it away from the
# user's own known_hosts file, where a host on our port would be missing or
# different.
curl_sftp() {  # curl arguments; the URL path follows sftp://user@host:port
    timeout 120 curl -sS --key "$work/user_key" --pubkey "$work/user_key.pub" \
        -k --hostpubsha256 "$host_sha256" "$@"
}
# shellcheck disable=SC2034  # the cases' texts use it
url="sftp://$user@127.0.0.1:$port"

cd "$local" || exit 1

# A first login tells a broken setup apart from failing cases. An unprivileged
# sshd can only log in its own user, and not even that when the account is
# locked or has no shell (nobody): that is the machine's limit, not the
# server's fault.
if ! echo pwd | sftp_batch > "$work/out" 2>&1 ||
    ! grep -q "^Remote working directory: /\$" "$work/out"; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "SKIP: sshd running as $user could not log $user in:"
        sed 's/^/    /' "$work/out"
        grep -v "^Connection from\|^kex_exchange" "$work/sshd.log" | tail -n 5 | sed 's/^/    sshd: /'
        exit 77
    fi
    echo "FAIL: logging in through sshd, or the start directory:"
    sed 's/^/    /' "$work/out" "$work/sshd.log" "$work/server.log"
    exit 1
fi

head -c $((5 << 20)) /dev/urandom > up.bin
head -c $((3 << 20)) /dev/urandom > "$root/served.bin"
# shellcheck disable=SC2034  # the cases' texts use it
up_size=$(stat -c %s up.bin)
echo "remove me" > "$root/doomed.txt"

# OpenSSH's sftp, which speaks protocol version 3.
run_case "sftp over ssh: put and get of 5 MiB" \
    'sftp_batch <<BATCH
put up.bin
get up.bin back.bin
get served.bin served.bin
BATCH' \
    'cmp -s up.bin "$root/up.bin" && cmp -s back.bin up.bin && cmp -s served.bin "$root/served.bin"'

run_case "sftp over ssh: ls -l shows name and size" \
    'echo "ls -l" | sftp_batch' \
    'grep -qE "^-rw.* $up_size .* up\.bin\$" "$work/out" && grep -qE " served\.bin\$" "$work/out"'

run_case "sftp over ssh: mkdir, rename, rm" \
    'sftp_batch <<BATCH
mkdir made
rename up.bin made/moved.bin
rm doomed.txt
BATCH' \
    '[ -d "$root/made" ] && [ ! -e "$root/up.bin" ] && cmp -s up.bin "$root/made/moved.bin" &&
     [ ! -e "$root/doomed.txt" ] && [ -e "$root/served.bin" ]'

# curl over sftp:// (libssh2). "/~/" is the session's start directory, which
# is the served root here; a plain absolute path is relative to the root.
head -c $((4 << 20)) /dev/urandom > curl-up.bin
run_case "curl: upload to a home-relative path" \
    'curl_sftp -T curl-up.bin "$url/~/curl-home.bin"' \
    'cmp -s curl-up.bin "$root/curl-home.bin"'

run_case "curl: upload to an absolute path" \
    'curl_sftp -T curl-up.bin "$url/made/curl-abs.bin"' \
    'cmp -s curl-up.bin "$root/made/curl-abs.bin"'

run_case "curl: download" \
    'curl_sftp -o curl-got.bin "$url/served.bin" && curl_sftp -o curl-back.bin "$url/~/curl-home.bin"' \
    'cmp -s curl-got.bin "$root/served.bin" && cmp -s curl-back.bin curl-up.bin'

run_case "curl: directory listing" \
    'curl_sftp "$url/"' \
    'grep -qE " curl-home\.bin\$" "$work/out" && grep -qE "^d.* made\$" "$work/out"'

run_case "curl: name-only listing" \
    'curl_sftp -l "$url/made/"' \
    'grep -qx "curl-abs.bin" "$work/out" && grep -qx "moved.bin" "$work/out"'

# curl's status 78 is "remote file not found".
run_case "curl: download of a missing file fails" \
    'curl_sftp -o never.bin "$url/no-such-file"; [ $? -eq 78 ]' \
    'grep -q "No such file" "$work/out"'

echo short > short.txt
run_case "curl: upload replaces a longer file" \
    'curl_sftp -T short.txt "$url/~/curl-home.bin"' \
    'cmp -s short.txt "$root/curl-home.bin"'

stop_sshd || failed=$((failed + 1))
echo "sshd clients: $passed passed, $skipped skipped, $failed failed"
[ $failed -eq 0 ] || exit 1
[ $passed -gt 0 ] || exit 77
exit 0
