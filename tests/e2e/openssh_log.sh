#!/usr/bin/env bash
# One OpenSSH sftp batch through OpenSSH's sftp-server and through
# kiln-sftp-server, each over a directory of its own, at every log level up to
# VERBOSE: the two logs must agree line by line once the directories are
# named alike. Deliberate differences, removed before comparing:
#   - the provider's own records ("KilnSfsWin: ...", from VERBOSE on), which
#     tell in Windows terms what each request did;
#   - "users-groups-by-id: N users, M groups": OpenSSH 9.2 counts the group
#     ids as users, we count each list.
# DEBUG levels differ by design (OpenSSH's lines name its own functions).
set -uo pipefail
server=${KILN_SFTP_SERVER:?}
module=${KILN_SFTP_MODULE:?}
openssh=/usr/lib/openssh/sftp-server
[ -x "$openssh" ] || { echo "SKIP: no $openssh to compare with"; exit 77; }
work=$(mktemp -d /tmp/kiln-e2e-log.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/local" && cd "$work/local" || exit 1
head -c 5000 /dev/urandom > up.bin
cat > batch <<BATCH
put up.bin
get up.bin back.bin
mkdir sub
rename up.bin sub/moved.bin
ls -l
chmod 600 sub/moved.bin
-get missing.bin
-rm missing.bin
rm sub/moved.bin
-rmdir sub
df
symlink x lnk
BATCH
failed=0
for level in QUIET ERROR INFO VERBOSE; do
    for side in openssh kiln; do
        rm -rf "$work/$side" && mkdir "$work/$side"
        command="$openssh"
        [ $side = kiln ] && command="$server --module $module"
        # sftp -D runs the server without a shell: a wrapper keeps its log.
        printf '#!/bin/sh\nexec %s -e -l %s -P rmdir -d %s 2>%s\n' "$command" "$level" \
            "$work/$side" "$work/$side.log" > "$work/$side.sh"
        chmod +x "$work/$side.sh"
        env -u SSH_CONNECTION sftp -b batch -D "$work/$side.sh" > /dev/null 2>&1
        # OpenSSH ends its lines on standard error with CR LF.
        tr -d '\r' < "$work/$side.log" | sed -e "s|$work/$side|DIR|g" -e 's/^kiln-sftp-server: //' |
            grep -v -e '^KilnSfsWin: ' -e '^users-groups-by-id: ' > "$work/$side.$level"
    done
    if diff "$work/openssh.$level" "$work/kiln.$level" > "$work/diff"; then
        echo "PASS -l $level: $(wc -l < "$work/kiln.$level") lines as OpenSSH's"
    else
        echo "FAIL -l $level (< OpenSSH's sftp-server, > kiln-sftp-server):"
        sed 's/^/    /' "$work/diff"
        failed=1
    fi
done
exit $failed
