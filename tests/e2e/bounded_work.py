#!/usr/bin/python3
"""Requests whose work has no natural bound, against kiln-sftp-server and the
real provider: a check-file whose reply could not fit a packet is refused at
once, and hashes of a huge sparse file stop when the client hangs up, even with
the in-flight bound full, so the server ends promptly instead of hashing for
hours; a client that only closes its input still gets its answers. Handles are
bounded, also in memory when a stalled client pipelines opens."""
import hashlib
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from sftp_raw import RawSession, Reader, s, server_command  # noqa: E402

work = tempfile.mkdtemp(prefix="kiln-e2e-bounded.")
root = os.path.join(work, "root")
os.mkdir(root)
# A TiB of zeros takes many minutes to hash; no disk is used.
with open(os.path.join(root, "huge"), "wb") as f:
    f.truncate(1 << 40)
with open(os.path.join(root, "mid"), "wb") as f:
    f.truncate(64 << 20)
os.mkdir(os.path.join(root, "d"))
for i in range(200):
    open(os.path.join(root, "d", "entry-with-a-longer-name-%04d" % i), "w").close()
# Generous: a working server answers in well under a second.
PROMPT = 10.0
FAILURE = 4
servers = []  # every session started, so that a failed case leaves none behind


def hash_body(path, block_size=0):
    return s("check-file-name") + s(path) + s("sha256") + struct.pack(">QQI", 0, 0, block_size)


def hashes(x, n):
    for i in range(n):
        x.send(200, struct.pack(">I", 100 + i) + hash_body("/huge"))


def hash_and_writes(x):  # the 15th WRITE passes the bound; the client's pipe holds the rest
    handle = Reader(x.call(3, s("/w") + struct.pack(">II", 0x1A, 0))[1]).string()
    hashes(x, 1)
    for i in range(16):
        x.send(6, struct.pack(">I", i) + s(handle) + struct.pack(">Q", i << 18) + s(bytes(1 << 18)))


def session(*options):
    servers.append(RawSession(server_command(root) + list(options), 3, timeout=PROMPT,
                              stderr=subprocess.DEVNULL))
    return servers[-1]


def hang_up(start, closed):
    x = session()
    start(x)
    time.sleep(0.5)  # the first hash is under way
    for pipe in closed:
        getattr(x.proc, pipe).close()
    x.proc.wait(timeout=PROMPT)


def half_close():
    x = session()
    x.send(200, struct.pack(">I", 7) + hash_body("/mid"))
    x.proc.stdin.close()
    rtype, data = x.recv()
    assert rtype == 201 and data.endswith(hashlib.sha256(bytes(64 << 20)).digest()), data[:80]
    assert x.proc.wait(timeout=PROMPT) == 0


def handle_limit():
    x = session("--max-handles", "3")
    handles = [Reader(x.call(11, s("/d"))[1]).string() for _ in range(3)]
    for rtype, body in ((11, s("/d")), (3, s("/mid") + struct.pack(">II", 1, 0))):
        rtype, data = x.call(rtype, body)
        expect_failure(rtype, struct.pack(">I", x.next_id) + data, x.next_id, b"Too many open")
    assert x.status(4, s(handles[0])) == 0 and x.call(11, s("/d"))[0] == 102


def stalled_opendirs():
    x = session()
    rss = lambda: int(open("/proc/%d/status" % x.proc.pid).read().split("VmRSS:")[1].split()[0])
    before = rss()
    x.proc.stdin.write(b"".join(struct.pack(">IBI", 11, 11, i) + s("/d") for i in range(20000)))
    x.proc.stdin.flush()
    time.sleep(2)
    assert rss() - before < 16 << 10, "%d KiB more" % (rss() - before)


CASES = [
    ("hang-up with 16 hashes filling the in-flight bound ends the session",
     lambda: hang_up(lambda x: hashes(x, 16), ("stdin", "stdout"))),
    ("hang-up with a hash and 16 large WRITEs filling the bound ends the session",
     lambda: hang_up(hash_and_writes, ("stdin", "stdout"))),
    ("a client that stops reading but keeps its input open ends the hashes",
     lambda: hang_up(lambda x: hashes(x, 8), ("stdout",))),
    ("a client that closes its input still gets its answers", half_close),
    ("open handles are bounded per session; a close makes room", handle_limit),
    ("20,000 pipelined OPENDIRs of a stalled client stay within 16 MiB", stalled_opendirs),
]


def expect_failure(rtype, data, request_id, text):
    assert rtype == 101, "expected STATUS, got %d" % rtype
    rid, code = struct.unpack(">II", data[:8])
    assert rid == request_id, "reply to %d, expected %d" % (rid, request_id)
    assert code == FAILURE, "status %d" % code
    assert text in data, data


failed = False
try:
    # 2^32 digests of 32 bytes would be 128 GiB of reply.
    first = session()
    first.send(200, struct.pack(">I", 1) + hash_body("/huge", 256))
    expect_failure(*first.recv(), 1, b"bytes of digests, more than the")
    print("PASS oversized check-file is refused at once")
except Exception as e:  # noqa: BLE001
    failed = True
    print("FAIL", repr(e))
for name, run in CASES:
    try:
        run()
        print("PASS", name)
    except Exception as e:  # noqa: BLE001
        failed = True
        print("FAIL %s: %r" % (name, e))
for p in [x.proc for x in servers]:
    if p.poll() is None:
        p.kill()
        p.wait()
shutil.rmtree(work, ignore_errors=True)
sys.exit(1 if failed else 0)
