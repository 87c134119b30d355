#!/usr/bin/env bash
# A git checkout through sshfs, as developers use a server: clone a local
# repository (executable scripts, a relative link, read-only pack files) into
# the mount, find `git status` clean, and remove the clone with `rm -rf`.
# Needs FUSE; skipped (exit 77) where /dev/fuse or sshfs is missing.
set -uo pipefail
server=${KILN_SFTP_SERVER:?}
module=${KILN_SFTP_MODULE:?}
[ -c /dev/fuse ] || { echo "SKIP: /dev/fuse is missing"; exit 77; }
command -v sshfs > /dev/null || { echo "SKIP: sshfs is not installed"; exit 77; }
command -v git > /dev/null || { echo "SKIP: git is not installed"; exit 77; }
work=$(mktemp -d /tmp/kiln-e2e-sshfs.XXXXXX)
root="$work/root" mnt="$work/mnt" repo="$work/repo"
mkdir -p "$root" "$mnt" "$repo"
cleanup() {
    fusermount3 -u "$mnt" 2> /dev/null || fusermount -u "$mnt" 2> /dev/null || umount -l "$mnt" 2> /dev/null
    rm -rf "$work"
}
trap cleanup EXIT

# sshfs runs its "ssh" with a host and "-s sftp"; the server speaks on the pipe.
cat > "$work/ssh.sh" << EOF
#!/bin/sh
exec "$server" --module "$module" --root "$root" -l ERROR 2>> "$work/server.log"
EOF
chmod +x "$work/ssh.sh"

export GIT_AUTHOR_NAME=kiln GIT_AUTHOR_EMAIL=kiln@localhost
export GIT_COMMITTER_NAME=kiln GIT_COMMITTER_EMAIL=kiln@localhost
(
    cd "$repo" && git init -q &&
        mkdir -p src bin && printf 'int main(void) { return 0; }\n' > src/main.c &&
        printf '#!/bin/sh\necho built\n' > bin/build.sh && chmod 0755 bin/build.sh &&
        ln -s src/main.c main-link.c && printf 'notes\n' > README &&
        git add -A && git commit -qm one && printf 'more\n' >> README && git commit -qam two
) || { echo "FAIL: preparing the repository"; exit 1; }

sshfs -o ssh_command="$work/ssh.sh" x: "$mnt" ||
    { echo "FAIL: sshfs mount"; cat "$work/server.log" 2> /dev/null; exit 1; }

failed=0
fail() { echo "FAIL $*"; failed=$((failed + 1)); }
# --no-local: the clone writes its objects and a read-only pack through the mount.
git clone -q --no-local "$repo" "$mnt/clone" 2> "$work/clone.err" ||
    { fail "git clone into the mount"; cat "$work/clone.err"; }
status=$(git -C "$mnt/clone" status --porcelain 2>&1)
[ -z "$status" ] || fail "git status not clean: $status"
[ "$(stat -c %a "$root/clone/bin/build.sh")" = 755 ] || fail "script mode $(stat -c %a "$root/clone/bin/build.sh")"
[ "$(readlink "$root/clone/main-link.c")" = src/main.c ] || fail "link text $(readlink "$root/clone/main-link.c")"
rm -rf "$mnt/clone" 2> "$work/rm.err" || { fail "rm -rf of the clone"; cat "$work/rm.err"; }
[ ! -e "$root/clone" ] || fail "clone left behind on disk"

[ $failed -eq 0 ] && echo "PASS git through sshfs" && exit 0
exit 1
