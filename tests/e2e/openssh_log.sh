#!/usr/bin/env bash
# One sftp batch through OpenSSH's sftp-server and through ours (under --root),
# each over a directory of its own, at each level up to VERBOSE: the logs agree
# line by line. Deliberate differences, removed first: the provider's own records
# ("KilnSfsWin: ..."), and "users-groups-by-id", whose group count OpenSSH 9.2
# adds to its user count. DEBUG levels differ by design.
set -uo pipefail
openssh=/usr/lib/openssh/sftp-server
[ -x $openssh ] && command -v sftp > /dev/null || exit 77
work=$(mktemp -d /tmp/kiln-e2e-log.XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work" && head -c 5000 /dev/urandom > up.bin || exit 1
printf '%s\n' "put up.bin" "get up.bin back.bin" "mkdir sub" "rename up.bin sub/moved.bin" \
    "ls -l" "chmod 600 sub/moved.bin" "-get missing.bin" "-rm missing.bin" "rm sub/moved.bin" \
    "-rmdir sub" "df" "symlink x lnk" > batch
failed=0
for level in QUIET ERROR INFO VERBOSE; do
    for side in openssh kiln; do
        rm -rf "$side" && mkdir "$side"
        command=$openssh start=$work/$side
        [ $side = kiln ] && command="$KILN_SFTP_SERVER --module $KILN_SFTP_MODULE --root $start" start=/
        # sftp -D runs no shell, so a script keeps the log; OpenSSH ends lines with CR LF.
        printf '#!/bin/sh\nexec %s -e -l %s -P rmdir -d %s 2>%s\n' "$command" $level \
            "$start" "$side.log" > $side.sh && chmod +x $side.sh
        env -u SSH_CONNECTION sftp -b batch -D "$work/$side.sh" > /dev/null 2>&1
        tr -d '\r' < $side.log | sed -e "s|$work/openssh/|/|g" -e "s|\"$work/openssh\"|\"/\"|g" \
            -e 's/^kiln-sftp-server: //' |
            grep -v -e '^KilnSfsWin: ' -e '^users-groups-by-id: ' > $side.$level
    done
    diff openssh.$level kiln.$level > diff && echo "PASS -l $level: $(wc -l < kiln.$level) lines" ||
        { echo "FAIL -l $level (< OpenSSH's, > ours):"; sed 's/^/    /' diff; failed=1; }
done
exit $failed
