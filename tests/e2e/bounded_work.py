#!/usr/bin/python3
"""Requests whose work has no natural bound, against kiln-sftp-server and the
real provider: a check-file whose reply could not fit a packet is refused at
once, and hashes of a huge sparse file stop when the client closes its input,
so the server ends promptly instead of hashing for hours."""
import os
import shutil
import struct
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from sftp_raw import RawSession, s, server_command  # noqa: E402

work = tempfile.mkdtemp(prefix="kiln-e2e-bounded.")
root = os.path.join(work, "root")
os.mkdir(root)
# A TiB of zeros takes many minutes to hash; no disk is used.
with open(os.path.join(root, "huge"), "wb") as f:
    f.truncate(1 << 40)
# Generous: a working server answers in well under a second.
PROMPT = 10.0
FAILURE = 4
session = RawSession(server_command(root), 3, timeout=PROMPT)
proc, send, recv = session.proc, session.send, session.recv


def check_file(request_id, block_size):
    send(200, struct.pack(">I", request_id) + s("check-file-name") + s("/huge") + s("sha256") +
         struct.pack(">QQI", 0, 0, block_size))


def expect_failure(rtype, data, request_id, text):
    assert rtype == 101, "expected STATUS, got %d" % rtype
    rid, code = struct.unpack(">II", data[:8])
    assert rid == request_id, "reply to %d, expected %d" % (rid, request_id)
    assert code == FAILURE, "status %d" % code
    assert text in data, data


failed = False
try:
    # 2^32 digests of 32 bytes would be 128 GiB of reply.
    check_file(1, 256)
    expect_failure(*recv(), 1, b"bytes of digests, more than the")
    print("PASS oversized check-file is refused at once")

    for i in range(8):
        check_file(10 + i, 0)
    time.sleep(0.5)  # the first hash is under way
    proc.stdin.close()
    proc.wait(timeout=PROMPT)
    for i in range(8):
        expect_failure(*recv(), 10 + i, b"The session ended")
    print("PASS hashes stop when the client's input ends")
except Exception as e:  # noqa: BLE001
    failed = True
    print("FAIL", repr(e))
finally:
    if proc.poll() is None:
        proc.kill()
        proc.wait()
    shutil.rmtree(work, ignore_errors=True)
sys.exit(1 if failed else 0)
