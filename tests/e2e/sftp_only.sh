#!/usr/bin/env bash
# The README's set-up for confined users through a private sshd: the server is
# every session's ForceCommand and logs to its standard error, which reaches
# the client. SFTP works; a command, scp, a shell without a terminal and an
# interactive login are refused at once instead of waiting for a packet.
set -uo pipefail
force_command=yes
# shellcheck source-path=SCRIPTDIR source=sshd_helper.sh
. "$(dirname "$0")/sshd_helper.sh"
cd "$work" && echo data > "$root/f" && printf 'echo hello\n' > shell-input || exit 1
opts=(-F /dev/null -i "$work/user_key" -o IdentitiesOnly=yes -o BatchMode=yes
    -o UserKnownHostsFile="$work/known_hosts" -o GlobalKnownHostsFile=/dev/null)
failed=0
if ! echo pwd | timeout 60 sftp "${opts[@]}" -P "$port" -b - "$user@127.0.0.1" > out 2>&1 ||
    ! grep -q "^Remote working directory: /\$" out; then
    [ "$(id -u)" -ne 0 ] && { echo "SKIP: sshd running as $user could not log $user in"; exit 77; }
    echo "FAIL sftp through ForceCommand:"; sed 's/^/    /' out sshd.log; exit 1
fi
refused() {  # label, standard input, client command
    local label=$1 input=$2 rc
    shift 2
    timeout 30 "$@" < "$input" > out 2>&1
    rc=$?
    if [ $rc -ne 0 ] && [ $rc -ne 124 ] &&
        grep -q "refusing non-sftp session.*This service allows sftp connections only." out; then
        echo "PASS $label refused"
    else
        echo "FAIL $label (exit status $rc)"; sed 's/^/    /' out; failed=1
    fi
}
refused "a command" /dev/null ssh "${opts[@]}" -p "$port" "$user@127.0.0.1" echo hello
refused "scp -O" /dev/null scp -O "${opts[@]}" -P "$port" "$user@127.0.0.1:f" copied
refused "a shell without a terminal" shell-input ssh -T "${opts[@]}" -p "$port" "$user@127.0.0.1"
refused "an interactive login" /dev/null ssh -tt "${opts[@]}" -p "$port" "$user@127.0.0.1"
[ ! -e copied ] || { echo "FAIL scp copied the file"; failed=1; }
stop_sshd || failed=1
exit $failed
