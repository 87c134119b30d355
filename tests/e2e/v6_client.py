#!/usr/bin/python3
"""A small SFTP version 6 client for what common clients do not send:
BLOCK/UNBLOCK, text-seek, space-available and ACL attributes. Speaks the raw
protocol to kiln-sftp-server on a pipe pair. A case that fails only because
the provider answers OP_UNSUPPORTED is skipped; exit 77 when nothing
passed."""
import grp
import os
import pwd
import shutil
import struct
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from sftp_raw import RawSession, Reader, read_attrs, s, server_command  # noqa: E402

work = tempfile.mkdtemp(prefix="kiln-e2e-v6.")
root = os.path.join(work, "root")
os.mkdir(root)
OP_UNSUPPORTED = 8


class Unsupported(Exception):
    pass


def status_of(code):
    if code == OP_UNSUPPORTED:
        raise Unsupported()
    return code


def open_file(path, access, flags, attrs=None):
    h = c.open(path, access, flags, attrs)
    if not isinstance(h, bytes):
        raise AssertionError("open failed with %d" % status_of(h))
    return h


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


c = RawSession(server_command(root), 6)

with open(os.path.join(root, "text.txt"), "wb") as f:
    f.write(b"a\r\nb\r\nc")


def block_unblock():
    h = open_file("/text.txt", 0x3 | 0x80 | 0x100, 2)  # read+write, OPEN_EXISTING
    assert status_of(c.block(h, 0, 10, 0x80)) == 0
    assert status_of(c.unblock(h, 0, 10)) == 0
    # Unblocking again finds no lock.
    assert status_of(c.unblock(h, 0, 10)) == 31
    status_of(c.close(h))


def text_seek():
    h = open_file("/text.txt", 0x1 | 0x80, 2 | 0x20)  # TEXT_MODE
    assert status_of(c.extended("text-seek", s(h) + struct.pack(">Q", 2))) == 0
    assert c.read(h, 0, 100) == b"c", "read after text-seek"
    status_of(c.close(h))


def space_available():
    data = c.extended("space-available", s("/"))
    if not isinstance(data, bytes):
        raise AssertionError("space-available failed with %d" % status_of(data))
    assert len(data) == 36
    total, unused, _, avail, unit = struct.unpack(">QQQQI", data)
    assert total > 0 and unused <= total and unit > 0


def acl_attributes():
    r = c.stat("/text.txt", 0x40)  # ACL
    if not isinstance(r, Reader):
        raise AssertionError("stat failed with %d" % status_of(r))
    assert r.u32() & 0x40, "no ACL in the reply"


def owned_creation_and_chown():
    # OPEN creating a file with permissions 0640 and owner nobody: it lands so.
    attrs = struct.pack(">IB", 0x80 | 0x4, 1) + s("nobody") + s("nogroup") + struct.pack(">I", 0o640)
    c.close(open_file("/owned.txt", 0x2, 0, attrs))
    st = os.stat(os.path.join(root, "owned.txt"))
    assert (st.st_mode & 0o7777, st.st_uid, st.st_gid) == (0o640, 65534, 65534), st
    # daemon is a user and a group: each field takes its own kind.
    attrs = struct.pack(">IB", 0x80, 1) + s("daemon") + s("daemon")
    assert status_of(c.setstat("/owned.txt", attrs)) == 0
    st = os.stat(os.path.join(root, "owned.txt"))
    assert (st.st_uid, st.st_gid) == (1, 1), st


def owners_on_the_wire():
    # Clients see an account by its name and an id without one by its number,
    # at version 6 in the owner fields and at version 3 in the long name; a
    # number sent back sets that id.
    orphan = os.path.join(root, "orphan.txt")
    open(orphan, "wb").close()
    os.chown(orphan, 12345, 12345)
    me = (pwd.getpwuid(os.getuid()).pw_name.encode(), grp.getgrgid(os.getgid()).gr_name.encode())
    for path, owner in (("/orphan.txt", (b"12345", b"12345")), ("/text.txt", me)):
        assert read_attrs(c.stat(path, 0x80), 6)["owner"] == owner, path
    v3 = RawSession(server_command(root), 3)
    h = v3._handle_or_status(*v3.call(11, s("/")))
    r, longnames = Reader(v3.call(12, s(h))[1]), {}
    for _ in range(r.u32()):
        name = r.string()
        longnames[name] = r.string().split()
        read_attrs(r, 3)
    v3.end()
    assert longnames[b"orphan.txt"][2:4] == [b"12345", b"12345"], longnames[b"orphan.txt"]
    assert status_of(c.setstat("/orphan.txt", struct.pack(">IB", 0x80, 1) + s("4242") + s("4343"))) == 0
    assert (os.stat(orphan).st_uid, os.stat(orphan).st_gid) == (4242, 4343)


case("BLOCK and UNBLOCK", block_unblock)
case("text-seek", text_seek)
case("space-available", space_available)
case("ACL attributes", acl_attributes)
case("creation with owner and permissions, chown by name", owned_creation_and_chown)
case("owners on the wire: names, and numbers for ids without an account", owners_on_the_wire)

c.end()
shutil.rmtree(work, ignore_errors=True)
print("v6 client: %(pass)d passed, %(skip)d skipped, %(fail)d failed" % results)
if results["fail"]:
    sys.exit(1)
sys.exit(0 if results["pass"] else 77)
