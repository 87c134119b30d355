#!/usr/bin/env bash
# lftp, which speaks protocol version 6, against kiln-sftp-server: lftp's
# connect program is replaced by one that starts the server directly.
set -uo pipefail
server=${KILN_SFTP_SERVER:?}
module=${KILN_SFTP_MODULE:?}
work=$(mktemp -d /tmp/kiln-e2e-lftp.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/root" "$work/local"
echo "hello from the server" > "$work/root/remote.txt"
head -c 3000000 /dev/urandom > "$work/local/up.bin"
# A size that no block or buffer size divides, and a whole-second time far from
# today, so the listing cannot match by accident.
head -c 1234567 /dev/urandom > "$work/root/dated.bin"
touch -d "2021-03-04 05:06:07 UTC" "$work/root/dated.bin"
echo "remove me" > "$work/root/doomed.txt"
echo "mode" > "$work/root/mode.txt"
chmod 600 "$work/root/mode.txt"
cat > "$work/connect" <<CONNECT
#!/bin/sh
exec "$server" --module "$module" --root "$work/root" -e -l VERBOSE 2>>"$work/server.log"
CONNECT
chmod +x "$work/connect"
cd "$work/local" || exit 1
commands="set sftp:connect-program $work/connect; set sftp:protocol-version 6"
commands+="; open sftp://localhost; get remote.txt -o got.txt; get dated.bin -o dated.bin"
commands+="; put up.bin; mkdir made; mv up.bin moved.bin; cls -1"
# Seconds since the epoch leave no room for lftp's date layout or time zone.
commands+="; echo LONG-LISTING; cls -l --time-style=+%s; echo END-LISTING"
commands+="; rm doomed.txt; chmod 640 mode.txt; bye"
timeout 120 lftp -c "$commands" > "$work/out" 2>&1
rc=$?
if grep -q "Received unsupported" "$work/server.log" 2>/dev/null; then
    echo "SKIP: the provider does not serve every request yet"; exit 77
fi
fail=0
grep -q "received client version 6" "$work/server.log" || { echo "FAIL: not version 6"; fail=1; }
cmp -s got.txt "$work/root/remote.txt" || { echo "FAIL: get"; fail=1; }
cmp -s dated.bin "$work/root/dated.bin" || { echo "FAIL: get of a binary file"; fail=1; }
cmp -s up.bin "$work/root/moved.bin" || { echo "FAIL: put and mv"; fail=1; }
[ -d "$work/root/made" ] || { echo "FAIL: mkdir"; fail=1; }
grep -q "^moved.bin" "$work/out" || { echo "FAIL: listing"; fail=1; }

# The long listing: size and modification time of dated.bin as lftp shows
# them (the last three fields; owner and group may hold spaces) must be what
# the file on disk has.
entry=$(sed -n '/^LONG-LISTING$/,/^END-LISTING$/p' "$work/out" | awk '$NF == "dated.bin"')
want_size=$(stat -c %s "$work/root/dated.bin")
want_time=$(stat -c %Y "$work/root/dated.bin")
read -r got_size got_time < <(awk '{ print $(NF - 2), $(NF - 1) }' <<<"$entry")
if [ -z "$entry" ]; then
    echo "FAIL: long listing has no line for dated.bin"; fail=1
elif [ "${got_size:-}" != "$want_size" ] || [ "${got_time:-}" != "$want_time" ]; then
    echo "FAIL: long listing shows size ${got_size:-?} time ${got_time:-?}," \
        "the file has size $want_size time $want_time"
    fail=1
fi
[ "$want_time" = "$(date -d "2021-03-04 05:06:07 UTC" +%s)" ] || { echo "FAIL: reading the file changed its modification time"; fail=1; }

[ ! -e "$work/root/doomed.txt" ] || { echo "FAIL: rm left the file"; fail=1; }
[ -e "$work/root/remote.txt" ] || { echo "FAIL: rm removed another file"; fail=1; }
mode=$(stat -c %a "$work/root/mode.txt" 2>/dev/null)
[ "$mode" = 640 ] || { echo "FAIL: chmod 640 left mode ${mode:-?}"; fail=1; }
if [ $rc -ne 0 ] || [ $fail -ne 0 ]; then
    cat "$work/out" "$work/server.log"; exit 1
fi
echo "PASS lftp version 6: get, put, mkdir, mv, ls, long listing size and time, rm, chmod"
