#!/usr/bin/env bash
# A tree as users keep it (private, executable and setuid files, a read-only
# file, relative, absolute and dangling links, names that are not UTF-8)
# uploaded with OpenSSH's sftp (put -r, no -p) and scp -r, then downloaded,
# read back and removed. OpenSSH's own sftp-server gets the same commands on a
# tree of its own and is the measure: whatever it keeps, ours keeps too.
set -uo pipefail
server=${KILN_SFTP_SERVER:?}
module=${KILN_SFTP_MODULE:?}
peer=${KILN_PEER_SFTP_SERVER:-/usr/lib/openssh/sftp-server}
[ -x "$peer" ] || { echo "SKIP: no OpenSSH sftp-server at $peer"; exit 77; }
work=$(mktemp -d /tmp/kiln-e2e-tree.XXXXXX)
trap 'rm -rf "$work"' EXIT
failed=0
fail() { echo "FAIL $*"; failed=$((failed + 1)); }

kroot="$work/kiln" proot="$work/peer" src="$work/src"
mkdir -p "$kroot" "$proot" "$src/sub"
# Both servers start in their root; ours sees it as "/", the peer as its cwd.
cat > "$work/kiln.sh" <<EOF
#!/bin/sh
exec "$server" --module "$module" --root "$kroot" -l ERROR
EOF
cat > "$work/peer.sh" <<EOF
#!/bin/sh
cd "$proot" && exec "$peer"
EOF
# scp runs its "ssh" with the host and "sftp" as the last arguments.
for s in kiln peer; do
    printf '#!/bin/sh\nexec "%s"\n' "$work/$s.sh" > "$work/$s-ssh.sh"
done
chmod +x "$work"/*.sh

umask 022
printf 'secret\n' > "$src/private";        chmod 0600 "$src/private"
printf '#!/bin/sh\necho hi\n' > "$src/run"; chmod 0755 "$src/run"
printf 'suid\n' > "$src/suid";             chmod 4755 "$src/suid"
printf 'frozen\n' > "$src/sub/pack";       chmod 0444 "$src/sub/pack"
head -c 300000 /dev/urandom > "$src/sub/blob"
printf 'ff\n' > "$src/bad$(printf '\xff')"
printf 'fe\n' > "$src/bad$(printf '\xfe')"
printf 'lookalike\n' > "$src/bad$(printf '\xef\xbf\xbd')"
printf 'private use\n' > "$src/pua$(printf '\xef\x80\xba')"

sftp_to() {  # server, batch on stdin
    sftp -q -b - -D "$work/$1.sh" > "$work/$1.out" 2>&1
}

# The tree as the disk holds it: type, mode, size, checksum, link text; one
# line per entry, names as hex so that any byte compares.
describe() {  # root
    (cd "$1" && find . -mindepth 1 -print0 | sort -z |
        while IFS= read -r -d '' p; do
            name=$(printf '%s' "$p" | xxd -p | tr -d '\n')
            if [ -L "$p" ]; then
                echo "$name link $(readlink "$p" | sed "s|^$1|<root>|")"
            elif [ -d "$p" ]; then
                echo "$name dir $(stat -c %a "$p")"
            else
                echo "$name file $(stat -c '%a %s' "$p") $(sha256sum < "$p" | cut -c1-16)"
            fi
        done)
}

for s in kiln peer; do
    sftp_to "$s" <<EOF
put -r $src tree
ln -s private tree/rel
ln -s sub/../run tree/rel2
ln -s /tree/sub/blob tree/abs
ln -s nowhere tree/dangling
EOF
    [ $? -eq 0 ] || { fail "$s: put -r and ln -s"; sed 's/^/    /' "$work/$s.out"; }
    scp -q -r -S "$work/$s-ssh.sh" "$src" "x:scp" > "$work/$s.scp" 2>&1 || fail "$s: scp -r"
done
root_of() { [ "$1" = kiln ] && echo "$kroot" || echo "$proot"; }

# Everything but absolute links must be as the peer made it; ours stores an
# absolute client path below its root, so that local users follow it too.
diff <(describe "$proot" | grep -v ' link /') <(describe "$kroot" | grep -v ' link <root>') \
    > "$work/diff" || { fail "tree on disk differs from OpenSSH's"; cat "$work/diff"; }
[ "$(readlink "$kroot/tree/abs")" = "$kroot/tree/sub/blob" ] || fail "absolute link stored as $(readlink "$kroot/tree/abs")"
[ "$(stat -c %a "$kroot/tree/private")" = 600 ] || fail "0600 file landed $(stat -c %a "$kroot/tree/private")"
[ "$(stat -c %a "$kroot/scp/run")" = 755 ] || fail "scp -r: 0755 file landed $(stat -c %a "$kroot/scp/run")"

# Link texts as a client reads them, in the client's view.
/usr/bin/python3 - "$(dirname "$0")" "$kroot" > "$work/links" <<'EOF' || fail "readlink through the server"
import sys
sys.path.insert(0, sys.argv[1])
from sftp_raw import paramiko_session, server_command
client, proc = paramiko_session(server_command(sys.argv[2]))
for name in ("rel", "rel2", "abs", "dangling"):
    print(name, client.readlink("/tree/" + name))
client.close()
proc.wait(timeout=30)
EOF
printf 'rel private\nrel2 sub/../run\nabs /tree/sub/blob\ndangling nowhere\n' |
    diff - "$work/links" || fail "link texts read back"

# Back down, with -p: contents, names and modes as they left.
mkdir "$work/back"
sftp -q -b - -D "$work/kiln.sh" > "$work/get.out" 2>&1 <<EOF || fail "get -r"
get -pr tree $work/back/tree
EOF
# OpenSSH's client keeps only the permission bits (0777) of what it fetches.
diff <(describe "$src" | sed 's/ file 4755 / file 755 /') <(describe "$work/back/tree" | grep -v ' link ') > "$work/diff" ||
    { fail "tree downloaded differs from the original"; cat "$work/diff"; }

# Removal, the read-only file included, through the client's own names.
{
    for f in private run suid "bad$(printf '\xff')" "bad$(printf '\xfe')" \
        "bad$(printf '\xef\xbf\xbd')" "pua$(printf '\xef\x80\xba')" sub/pack sub/blob \
        rel rel2 abs dangling; do
        printf 'rm "tree/%s"\n' "$f"
    done
    echo "rmdir tree/sub"
    echo "rmdir tree"
} > "$work/rm.batch"
sftp -q -b "$work/rm.batch" -D "$work/kiln.sh" > "$work/rm.out" 2>&1 ||
    { fail "removing the tree"; cat "$work/rm.out"; }
[ ! -e "$kroot/tree" ] || fail "tree left behind: $(ls -b "$kroot/tree")"

[ $failed -eq 0 ] && echo "PASS tree round trip" && exit 0
exit 1
