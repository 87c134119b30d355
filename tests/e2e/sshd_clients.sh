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
server=${KILN_SFTP_SERVER:?}
module=${KILN_SFTP_MODULE:?}
sshd_program=${KILN_SSHD:-/usr/sbin/sshd}
user=$(id -un)
work=$(mktemp -d /tmp/kiln-e2e-sshd.XXXXXX)
root="$work/root"
local="$work/local"
mkdir -p "$root" "$local"
sshd_pid=""
passed=0 skipped=0 failed=0

descendants() {  # every process below the given one
    local child
    for child in $(pgrep -P "$1"); do
        echo "$child"
        descendants "$child"
    done
}

# Anything this test started names its directory on its command line: sshd
# through -f, the server through --root. pgrep only looks; ending a process
# is always done by its id.
leftovers() {
    pgrep -f -- "$work" || true
}

running() {  # a zombie has ended; only its parent has not collected it yet
    local state
    state=$(ps -o stat= -p "$1" 2>/dev/null) || return 1
    [[ $state != Z* ]]
}

still_running() {  # pids to look at; prints those still running
    local pid
    for pid in "$@"; do
        running "$pid" && echo "$pid"
    done
}

# Stops sshd and makes sure that nothing of this test stays behind: the
# sessions sshd forked (their command lines no longer name our directory) and
# every server must be gone. Sessions get the time to end on their own first,
# so that sshd itself collects them. Returns 1 when something had to be killed.
stop_sshd() {
    [ -n "$sshd_pid" ] || return 0
    local sessions left pid below
    for _ in $(seq 1 50); do
        sessions=$(descendants "$sshd_pid")
        [ -z "$(still_running $sessions)" ] && break
        sleep 0.2
    done
    kill -TERM "$sshd_pid" 2>/dev/null
    wait "$sshd_pid" 2>/dev/null
    sshd_pid=""
    for _ in $(seq 1 25); do
        left=$(leftovers; still_running $sessions)
        [ -z "$left" ] && return 0
        sleep 0.2
    done
    echo "FAIL processes of this test still running after sshd stopped:"
    for pid in $left; do
        ps -o pid=,args= -p "$pid" | sed 's/^/    /'
    done
    for pid in $left; do
        mapfile -t below < <(descendants "$pid")
        kill -KILL "$pid" "${below[@]}" 2>/dev/null
    done
    return 1
}

cleanup() {
    local status=$?
    stop_sshd || status=1
    rm -rf "$work"
    exit $status
}
trap cleanup EXIT
trap 'exit 130' INT TERM

free_port() {
    python3 -c 'import socket
s = socket.socket()
s.bind(("127.0.0.1", 0))
print(s.getsockname()[1])' 2>/dev/null || echo $((20000 + RANDOM % 40000))
}

port_open() {
    timeout 1 bash -c "exec 3<>/dev/tcp/127.0.0.1/$1" 2>/dev/null
}

# Keys. libssh2 1.10 reads ed25519 keys in OpenSSH's format, so one user key
# serves both clients.
ssh-keygen -t ed25519 -N '' -q -C kiln-e2e-host -f "$work/host_key" || exit 1
ssh-keygen -t ed25519 -N '' -q -C kiln-e2e-user -f "$work/user_key" || exit 1
cp "$work/user_key.pub" "$work/authorized_keys"

# sshd starts the subsystem through the user's shell with a cleared
# environment, so the wrapper carries absolute paths and sends the server's
# log records to a file of ours.
cat > "$work/subsystem" <<SUBSYSTEM
#!/bin/sh
exec "$server" --module "$module" --root "$root" -e -l VERBOSE 2>>"$work/server.log"
SUBSYSTEM
chmod +x "$work/subsystem"
: > "$work/server.log"

# Privilege separation needs its empty directory when sshd runs as root.
[ "$(id -u)" -eq 0 ] && mkdir -p /run/sshd

start_sshd() {  # port; 0 when sshd listens there
    local port=$1
    : > "$work/sshd.log"
    cat > "$work/sshd_config" <<CONFIG
ListenAddress 127.0.0.1
Port $port
HostKey $work/host_key
PidFile $work/sshd.pid
AuthorizedKeysFile $work/authorized_keys
PubkeyAuthentication yes
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM no
StrictModes no
PermitRootLogin prohibit-password
AllowUsers $user
Subsystem sftp $work/subsystem
LogLevel VERBOSE
CONFIG
    "$sshd_program" -f "$work/sshd_config" -D -E "$work/sshd.log" &
    sshd_pid=$!
    for _ in $(seq 1 100); do
        if ! kill -0 "$sshd_pid" 2>/dev/null; then
            wait "$sshd_pid" 2>/dev/null
            sshd_pid=""
            return 1
        fi
        port_open "$port" && return 0
        sleep 0.1
    done
    echo "sshd did not accept connections on port $port within 10 s"
    stop_sshd
    return 1
}

port=""
for _ in 1 2 3 4 5; do
    candidate=$(free_port)
    if start_sshd "$candidate"; then
        port=$candidate
        break
    fi
    # Another program may have taken the port between our check and sshd's
    # bind; anything else will not go away by trying again.
    grep -qE "Address already in use|Cannot bind any address" "$work/sshd.log" 2>/dev/null || break
done
if [ -z "$port" ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "SKIP: sshd cannot start without privileges here:"
        sed 's/^/    /' "$work/sshd.log" 2>/dev/null
        exit 77
    fi
    echo "FAIL: sshd did not start:"
    sed 's/^/    /' "$work/sshd.log" 2>/dev/null
    exit 1
fi

# The host key is known beforehand, so both clients check that they reached
# our sshd and not something else that happens to listen on the port. curl
# checks the key's fingerprint; its -k only keeps it away from the user's own
# known_hosts file, where a host on our port would be missing or different.
echo "[127.0.0.1]:$port $(cut -d' ' -f1,2 "$work/host_key.pub")" > "$work/known_hosts"
host_sha256=$(ssh-keygen -l -E sha256 -f "$work/host_key.pub" | awk '{ print $2 }')
host_sha256=${host_sha256#SHA256:}

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
