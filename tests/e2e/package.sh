#!/usr/bin/env bash
# The Debian package, unpacked with dpkg -x rather than installed: it builds
# from this build tree without a lintian error, the unpacked server loads its
# libraries, its module and the crypto provider from the unpacked tree,
# answers -Q, and serves an OpenSSH sftp batch with -u, -P and request
# logging; the manual pages render and name every option of --help.
set -uo pipefail
top=${KILN_SOURCE_DIR:?}
build=${KILN_BUILD_DIR:?}
work=$(mktemp -d /tmp/kiln-e2e-package.XXXXXX)
trap 'rm -rf "$work"' EXIT
failed=0
check() {  # label, then a command that must succeed
    local label=$1
    shift
    if "$@"; then echo "PASS $label"; else echo "FAIL $label"; failed=1; fi
}

if ! deb=$("$top/scripts/package" --build-dir "$build" --out "$work" 2>"$work/package.log"); then
    echo "FAIL scripts/package"
    sed 's/^/    /' "$work/package.log"
    exit 1
fi
echo "PASS scripts/package (lintian: no errors)"
dpkg -x "$deb" "$work/x" || { echo "FAIL dpkg -x"; exit 1; }
unpacked=$(cd "$work/x" && pwd)
server="$unpacked/usr/sbin/kiln-sftp-server"

"$server" -Q requests >"$work/requests"
check "-Q requests exits 0" test $? -eq 0
check "-Q requests lists core requests and extensions" \
    grep -qxF -e open -e posix-rename "$work/requests"
check "-Q lists each request once" test "$(sort "$work/requests" | uniq -d)" = ""
"$server" -Q features 2>/dev/null
check "-Q with another query is a usage error" test $? -eq 2
"$server" -P remove,rnmae </dev/null 2>/dev/null
check "a misspelt request name is a usage error" test $? -eq 2
SSH_ORIGINAL_COMMAND="scp -f f" "$server" </dev/null 2>"$work/refused"
check "a command under ForceCommand is refused" test $? -eq 1
check "the refusal says why" grep -qxF "This service allows sftp connections only." "$work/refused"

# A batch through the unpacked server: uploads land with the umask applied to
# the client's mode, remove is refused by the deny list and logged, and the
# dynamic loader shows where the libraries and the module came from.
root=$(realpath -m "$work/root")
mkdir -p "$root" "$work/local"
cd "$work/local" || exit 1
head -c 102400 /dev/urandom >f && chmod 0644 f
cat >"$work/batch" <<EOF
pwd
put f
mkdir d
-rm f
get f back
EOF
env -u SSH_CONNECTION sftp -b "$work/batch" \
    -D "env LD_DEBUG=files LD_DEBUG_OUTPUT=$work/ld $server --root $root -d /missing -u 077 -P remove -e -l VERBOSE" \
    >"$work/out" 2>&1
check "sftp batch" test $? -eq 0
check "a missing -d directory: the session starts in the root" \
    grep -qx "Remote working directory: /" "$work/out"
check "-u 077 on an uploaded 0644 file gives 0600" test "$(stat -c %a "$root/f")" = 600
check "-u 077 on mkdir gives 0700" test "$(stat -c %a "$root/d")" = 700
check "remove refused, the file kept and read back" cmp -s f back
logged() { grep -qF -- "$1" "$work/out"; }
user=$(id -un)
for line in \
    "kiln-sftp-server: session opened for local user $user from [UNKNOWN]" \
    "kiln-sftp-server: chdir to \"/missing\" failed: No such file or directory" \
    "kiln-sftp-server: open \"/f\" flags WRITE,CREATE,TRUNCATE mode 0644" \
    "kiln-sftp-server: close \"/f\" bytes read 0 written 102400" \
    "kiln-sftp-server: mkdir name \"/d\" mode 0777" \
    "kiln-sftp-server: Refusing denylisted remove request" \
    "kiln-sftp-server: session closed for local user $user from [UNKNOWN]"; do
    check "logged: ${line#kiln-sftp-server: }" logged "$line"
done
# The loader names a library found through the run path as usr/sbin/../lib.
loaded() { grep -qE "calling init: $unpacked/usr/(sbin/\.\./)?lib/kiln-sftp-server/$1\$" "$work"/ld.*; }
check "libkiln.so from the package" loaded libkiln.so
check "the module from the package" loaded libKilnSfsWin.so
check "nothing from the build tree" sh -c "! grep -qF 'calling init: $build' $work/ld.*"

# A file hash needs the crypto provider, which the module loads at run time.
rm -f "$work"/ld.*
/usr/bin/python3 - "$top/tests/e2e" "$server" "$root" "$work/ld" >"$work/hash" 2>&1 <<'EOF'
import hashlib, os, sys
sys.path.insert(0, sys.argv[1])
from sftp_raw import paramiko_session
server, root, ld = sys.argv[2:]
env = dict(os.environ, LD_DEBUG="files", LD_DEBUG_OUTPUT=ld)
sftp, proc = paramiko_session([server, "--root", root], env=env)
with sftp.open("/f", "rb") as f:
    digest = f.check("sha256", 0, 0, 0)
sftp.close()
proc.wait()
with open(os.path.join(root, "f"), "rb") as f:
    assert digest == hashlib.sha256(f.read()).digest(), "wrong digest"
EOF
check "check-file hashes through the packaged crypto provider" test $? -eq 0
check "libZuProv.so from the package" loaded libZuProv.so
check "sfsdump runs from the package" sh -c "'$unpacked/usr/bin/sfsdump' --list-types | grep -qx QtSfsRequest"

for page in man8/kiln-sftp-server.8.gz man1/sfsdump.1.gz; do
    MANWIDTH=80 man --warnings -l "$unpacked/usr/share/man/$page" >"$work/page" 2>"$work/warnings"
    check "man -l $page renders without warnings" test ! -s "$work/warnings" -a -s "$work/page"
done
MANWIDTH=200 man -l "$unpacked/usr/share/man/man8/kiln-sftp-server.8.gz" 2>/dev/null >"$work/page"
missing=""
for option in $("$server" --help | grep -oE '(^|[ ,])--?[A-Za-z][a-z-]*' | tr -d ' ,' | sort -u); do
    grep -qF -- "$option" "$work/page" || missing="$missing $option"
done
check "the manual names every option of --help${missing:+ (missing:$missing)}" test -z "$missing"

[ $failed -eq 0 ] || {
    echo "server and client output:"; sed 's/^/    /' "$work/out" "$work/hash"; exit 1; }
