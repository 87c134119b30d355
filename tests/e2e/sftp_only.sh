#!/usr/bin/env bash
# The README's set-up for confined users, through a private sshd: the server
# is the ForceCommand of every session. SFTP works; a command, scp, a shell
# without a terminal and an interactive login are refused at once with
# "This service allows sftp connections only." instead of waiting for a
# packet that never comes. The server logs to its standard error, which
# reaches the client: the refusal's log line is what the user reads.
set -uo pipefail
force_command=yes
# shellcheck source-path=SCRIPTDIR source=sshd_helper.sh
. "$(dirname "$0")/sshd_helper.sh"
cd "$work" || exit 1
failed=0
message="This service allows sftp connections only."
opts=(-F /dev/null -i "$work/user_key" -o IdentitiesOnly=yes -o BatchMode=yes
    -o StrictHostKeyChecking=yes -o UserKnownHostsFile="$work/known_hosts"
    -o GlobalKnownHostsFile=/dev/null)

echo pwd > batch
if ! timeout 60 sftp "${opts[@]}" -P "$port" -b batch "$user@127.0.0.1" > out 2>&1 ||
    ! grep -q "^Remote working directory: /\$" out; then
    [ "$(id -u)" -ne 0 ] && { echo "SKIP: sshd running as $user could not log $user in"; exit 77; }
    echo "FAIL sftp through ForceCommand:"; sed 's/^/    /' out sshd.log
    exit 1
fi
echo "PASS sftp through ForceCommand"

echo data > "$root/f"
refused() {  # label, stdin file, then the client command
    local label=$1 input=$2 rc
    shift 2
    timeout 30 "$@" < "$input" > out 2>&1
    rc=$?
    if [ $rc -ne 0 ] && [ $rc -ne 124 ] && grep -q "refusing non-sftp session.*$message" out; then
        echo "PASS $label refused"
    else
        echo "FAIL $label (exit status $rc)"; sed 's/^/    /' out
        failed=1
    fi
}
printf 'echo hello\n' > shell-input
refused "a command" /dev/null ssh "${opts[@]}" -p "$port" "$user@127.0.0.1" echo hello
refused "scp -O" /dev/null scp -O "${opts[@]}" -P "$port" "$user@127.0.0.1:f" copied
refused "a shell without a terminal" shell-input ssh -T "${opts[@]}" -p "$port" "$user@127.0.0.1"
refused "an interactive login" /dev/null ssh -tt "${opts[@]}" -p "$port" "$user@127.0.0.1"
[ ! -e copied ] || { echo "FAIL scp copied the file"; failed=1; }

stop_sshd || failed=1
exit $failed
