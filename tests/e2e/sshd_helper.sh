# shellcheck shell=bash
# Sourced by the end-to-end tests that reach kiln-sftp-server the way users
# do: through a private OpenSSH sshd on a free loopback port, which runs the
# server as its sftp subsystem. Its keys, configuration, authorized keys, pid
# file and logs live in a temporary directory.
#
# Before sourcing, a test may set:
#   server_log_level   the server's -l (VERBOSE when unset)
#   sshd_extra_config  lines added to sshd_config
#   work_prefix        name of the temporary directory (kiln-e2e-sshd)
#   cleanup_hook       a function that the exit trap calls first
#   force_command      set: the README's set-up, the server as every session's
#                      ForceCommand logging to the client, Debian's Subsystem
# After sourcing, sshd runs and these are set: $work, $root (the served root,
# empty), $port, $user, $sshd_pid, $host_sha256; files $work/user_key,
# $work/known_hosts, $work/server.log. When sshd cannot start, the script has
# already ended: with 77 (skipped) for an unprivileged user, else with 1.
# stop_sshd stops it and fails when anything of the test is left running.
server=${KILN_SFTP_SERVER:?}
module=${KILN_SFTP_MODULE:?}
sshd_program=${KILN_SSHD:-/usr/sbin/sshd}
user=$(id -un)
work=$(mktemp -d "/tmp/${work_prefix:-kiln-e2e-sshd}.XXXXXX")
root="$work/root"
mkdir -p "$root"
sshd_pid=""

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
    if declare -F cleanup_hook >/dev/null; then cleanup_hook || status=1; fi
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
# serves every client.
ssh-keygen -t ed25519 -N '' -q -C kiln-e2e-host -f "$work/host_key" || exit 1
ssh-keygen -t ed25519 -N '' -q -C kiln-e2e-user -f "$work/user_key" || exit 1
cp "$work/user_key.pub" "$work/authorized_keys"

# sshd starts the subsystem through the user's shell with a cleared
# environment, so the wrapper carries absolute paths and sends the server's
# log records to a file of ours.
log_to=" 2>>$work/server.log" subsystem_command=$work/subsystem
[ -n "${force_command:-}" ] && log_to="" subsystem_command=/usr/lib/openssh/sftp-server
cat > "$work/subsystem" <<SUBSYSTEM
#!/bin/sh
exec "$server" --module "$module" --root "$root" -e -l ${server_log_level:-VERBOSE}$log_to
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
${force_command:+ForceCommand $work/subsystem}
Subsystem sftp $subsystem_command
LogLevel VERBOSE
${sshd_extra_config:-}
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

# The host key is known beforehand, so clients check that they reached our
# sshd and not something else that happens to listen on the port.
echo "[127.0.0.1]:$port $(cut -d' ' -f1,2 "$work/host_key.pub")" > "$work/known_hosts"
host_sha256=$(ssh-keygen -l -E sha256 -f "$work/host_key.pub" | awk '{ print $2 }')
host_sha256=${host_sha256#SHA256:}
