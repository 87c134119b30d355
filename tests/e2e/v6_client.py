#!/usr/bin/python3
"""A small SFTP version 6 client for what common clients do not send:
BLOCK/UNBLOCK, text-seek, space-available and ACL attributes. Speaks the raw
protocol to kiln-sftp-server on a pipe pair. A case that fails only because
the provider answers OP_UNSUPPORTED is skipped; exit 77 when nothing
passed."""
import os
import shutil
import struct
import subprocess
import sys
import tempfile

server = os.environ["KILN_SFTP_SERVER"]
module = os.environ["KILN_SFTP_MODULE"]
work = tempfile.mkdtemp(prefix="kiln-e2e-v6.")
root = os.path.join(work, "root")
os.mkdir(root)
proc = subprocess.Popen([server, "--module", module, "--root", root, "-e", "-l", "ERROR"],
                        stdin=subprocess.PIPE, stdout=subprocess.PIPE)
OP_UNSUPPORTED = 8
next_id = [0]


def s(b):
    b = b.encode() if isinstance(b, str) else b
    return struct.pack(">I", len(b)) + b


def send(ptype, body):
    proc.stdin.write(struct.pack(">IB", len(body) + 1, ptype) + body)
    proc.stdin.flush()


def recv():
    n = struct.unpack(">I", proc.stdout.read(4))[0]
    data = proc.stdout.read(n)
    return data[0], data[1:]


def call(ptype, body):
    next_id[0] += 1
    send(ptype, struct.pack(">I", next_id[0]) + body)
    rtype, data = recv()
    assert struct.unpack(">I", data[:4])[0] == next_id[0]
    return rtype, data[4:]


class Unsupported(Exception):
    pass


def status_of(rtype, data):
    assert rtype == 101, "expected STATUS, got %d" % rtype
    code = struct.unpack(">I", data[:4])[0]
    if code == OP_UNSUPPORTED:
        raise Unsupported()
    return code


def open_file(path, access, flags):
    rtype, data = call(3, s(path) + struct.pack(">II", access, flags) + struct.pack(">IB", 0, 1))
    if rtype == 101:
        raise AssertionError("open failed with %d" % status_of(rtype, data))
    return data[4:4 + struct.unpack(">I", data[:4])[0]]


results = {"pass": 0, "skip": 0, "fail": 0}


def case(name, fn):
    try:
        fn()
        results["pass"] += 1
        print("PASS", name)
    except Unsupported:
        results["skip"] += 1
        print("SKIP", name, "(provider request not served yet)")
    except Exception as e:  # noqa: BLE001
        results["fail"] += 1
        print("FAIL", name, repr(e))


send(1, struct.pack(">I", 6))
rtype, data = recv()
assert rtype == 2 and struct.unpack(">I", data[:4])[0] == 6, "version 6 not negotiated"

with open(os.path.join(root, "text.txt"), "wb") as f:
    f.write(b"a\r\nb\r\nc")


def block_unblock():
    h = open_file("/text.txt", 0x3 | 0x80 | 0x100, 2)  # read+write, OPEN_EXISTING
    assert status_of(*call(22, s(h) + struct.pack(">QQI", 0, 10, 0x80))) == 0
    assert status_of(*call(23, s(h) + struct.pack(">QQ", 0, 10))) == 0
    # Unblocking again finds no lock.
    assert status_of(*call(23, s(h) + struct.pack(">QQ", 0, 10))) == 31
    status_of(*call(4, s(h)))


def text_seek():
    h = open_file("/text.txt", 0x1 | 0x80, 2 | 0x20)  # TEXT_MODE
    assert status_of(*call(200, s("text-seek") + s(h) + struct.pack(">Q", 2))) == 0
    rtype, data = call(5, s(h) + struct.pack(">QI", 0, 100))
    assert rtype == 103, "read after text-seek"
    assert data[4:4 + struct.unpack(">I", data[:4])[0]] == b"c"
    status_of(*call(4, s(h)))


def space_available():
    rtype, data = call(200, s("space-available") + s("/"))
    if rtype == 101:
        status_of(rtype, data)
        raise AssertionError("space-available failed")
    assert rtype == 201 and len(data) == 36
    total, unused, _, avail, unit = struct.unpack(">QQQQI", data)
    assert total > 0 and unused <= total and unit > 0


def acl_attributes():
    rtype, data = call(17, s("/text.txt") + struct.pack(">I", 0x40))  # STAT, ACL
    if rtype == 101:
        status_of(rtype, data)
        raise AssertionError("stat failed")
    flags = struct.unpack(">I", data[:4])[0]
    assert flags & 0x40, "no ACL in the reply"


def owned_creation_and_chown():
    # OPEN creating a file with permissions 0640 and owner nobody: it lands so.
    attrs = struct.pack(">IB", 0x80 | 0x4, 1) + s("nobody") + s("nogroup") + struct.pack(">I", 0o640)
    rtype, data = call(3, s("/owned.txt") + struct.pack(">II", 0x2, 0) + attrs)
    assert rtype == 102, "open failed with %d" % status_of(rtype, data)
    call(4, data)  # CLOSE
    st = os.stat(os.path.join(root, "owned.txt"))
    assert (st.st_mode & 0o7777, st.st_uid, st.st_gid) == (0o640, 65534, 65534), st
    # daemon is a user and a group: each field takes its own kind.
    attrs = struct.pack(">IB", 0x80, 1) + s("daemon") + s("daemon")
    assert status_of(*call(9, s("/owned.txt") + attrs)) == 0
    st = os.stat(os.path.join(root, "owned.txt"))
    assert (st.st_uid, st.st_gid) == (1, 1), st


case("BLOCK and UNBLOCK", block_unblock)
case("text-seek", text_seek)
case("space-available", space_available)
case("ACL attributes", acl_attributes)
case("creation with owner and permissions, chown by name", owned_creation_and_chown)

proc.stdin.close()
proc.wait(timeout=30)
shutil.rmtree(work, ignore_errors=True)
print("v6 client: %(pass)d passed, %(skip)d skipped, %(fail)d failed" % results)
if results["fail"]:
    sys.exit(1)
sys.exit(0 if results["pass"] else 77)
