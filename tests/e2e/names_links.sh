#!/usr/bin/env bash
# Names that are not UTF-8, or that look like each other, and symbolic links,
# through real clients at protocol version 3 (names are bytes there): OpenSSH's
# sftp uploads, renames, links and removes, lftp reads the links back with
# READLINK while it mirrors. What lands on disk is checked byte for byte.
set -uo pipefail
export LC_ALL=C
server=${KILN_SFTP_SERVER:?}
module=${KILN_SFTP_MODULE:?}
work=$(mktemp -d /tmp/kiln-e2e-names.XXXXXX)
trap 'rm -rf "$work"' EXIT
root="$work/root"
mkdir -p "$root" "$work/src" "$work/outside"
fail=0
check() {  # description, command
    if eval "$2"; then echo "PASS $1"; else echo "FAIL $1"; fail=1; fi
}

# Pairs that used to list as one name: a stray byte and U+FFFD, two stray
# bytes, a character that is a private-use stand-in and what it stands for.
names=($'bad\xff' $'bad\xef\xbf\xbd' $'up\xfe' $'up\xff' $'x\xef\x80\xba' 'x:'
       $'y\xef\x83\xbf' $'y\xff' $'cut\xe0\xa0' $'\xed\xa0\x80' 'pipe|lt<gt>' $'caf\xc3\xa9')
i=0
for n in "${names[@]}"; do echo "file $i" > "$work/src/$n"; i=$((i + 1)); done
echo plain > "$work/src/plain.txt"

sftp_batch() {  # batch on stdin; output in $work/out
    cat > "$work/batch"
    sftp -b "$work/batch" -D "$server --module $module --root $root -e -l VERBOSE" \
        > "$work/out" 2>&1
}
listing() { (cd "$1" && find . -mindepth 1 -printf '%P %y\n' | sort); }

cd "$work" || exit 1
{
    echo "put -r src"
    echo "get -r src back"
} | sftp_batch
check "upload keeps every name's bytes" 'diff <(listing src) <(listing root/src) && diff -r src root/src'
check "download gives the same names back" 'diff -r src back'

{
    for n in "${names[@]}"; do echo "rename \"src/$n\" \"src/$n.r\""; done
    echo "symlink plain.txt src/rel"
    echo "symlink ../src/plain.txt src/up"
    echo "symlink /src/plain.txt src/abs"
    echo "symlink none/x src/dangling"
    echo "-symlink ../../escape src/out"
} | sftp_batch
check "each rename moves its own file" \
    '(for n in "${names[@]}"; do [ ! -e "root/src/$n" ] && cmp -s "src/$n" "root/src/$n.r" || exit 1; done)'
check "relative link texts are kept" \
    '[ "$(readlink root/src/rel)" = plain.txt ] && [ "$(readlink root/src/up)" = ../src/plain.txt ] && [ "$(readlink root/src/dangling)" = none/x ]'
check "an absolute link names the host path" '[ "$(readlink root/src/abs)" = "$root/src/plain.txt" ]'
check "a link that leaves the root is refused" '[ ! -L root/src/out ] && grep -q "No such file" "$work/out"'

# Made on the host: a text that leads outside is never told.
ln -s "$work/outside" "$root/src/hostout"
ln -s "../../outside" "$root/src/hostoutrel"
cat > "$work/connect" <<CONNECT
#!/bin/sh
exec "$server" --module "$module" --root "$root" -e -l VERBOSE 2>>"$work/server.log"
CONNECT
chmod +x "$work/connect"
timeout 120 lftp -c "set sftp:connect-program $work/connect; set sftp:protocol-version 3
open sftp://localhost; mirror src mirrored; bye" > "$work/lftp.out" 2>&1
check "lftp at version 3" 'grep -q "received client version 3" "$work/server.log"'
check "READLINK answers each link's text" \
    '[ "$(readlink mirrored/rel)" = plain.txt ] && [ "$(readlink mirrored/up)" = ../src/plain.txt ] && [ "$(readlink mirrored/dangling)" = none/x ] && [ "$(readlink mirrored/abs)" = /src/plain.txt ]'
check "links that leave the root tell nothing" \
    '! readlink mirrored/hostout | grep -q outside && ! readlink mirrored/hostoutrel | grep -q outside'

{
    for n in "${names[@]}"; do echo "rm \"src/$n.r\""; done
    echo "rm src/plain.txt"
} | sftp_batch
check "each remove takes its own file" '[ "$(listing root/src | grep -c " f$")" = 0 ]'
exit $fail
