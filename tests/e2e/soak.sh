#!/usr/bin/env bash
# Load and soak through OpenSSH's sshd; soak_clients.py has the details.
# CI runs it for 60 s; a longer or larger run:
#   KILN_SOAK_SECONDS=3600 KILN_SOAK_SESSIONS=100 ctest -R e2e_soak --timeout 4000
set -uo pipefail
server_log_level=ERROR
work_prefix=kiln-e2e-soak
# Fifty clients log in at once; sshd's default drops unauthenticated
# connections beyond ten.
sshd_extra_config="MaxStartups 500"
# shellcheck source-path=SCRIPTDIR source=sshd_helper.sh
. "$(dirname "$0")/sshd_helper.sh"
/usr/bin/python3 "$(dirname "$0")/soak_clients.py" --port "$port" --work "$work" \
    --root "$root" --user "$user" --server "$server"
status=$?
if [ -s "$work/server.log" ]; then
    echo "server errors:"
    tail -n 20 "$work/server.log" | sed 's/^/    /'
fi
stop_sshd || status=1
exit $status
