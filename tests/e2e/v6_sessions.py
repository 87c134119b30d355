#!/usr/bin/python3
"""Several kiln-sftp-server processes on one root at protocol version 6, as
sshd runs one per session: share modes (BLOCK_READ/WRITE/DELETE of OPEN),
BLOCK byte-range locks, reads and writes into locked ranges, remove and
rename of a file held open, release when a server is killed, a server
running as another user, a lock of another program (fcntl), a file system
that refuses locks, and a hostile client's self-copies, lock floods and links
renamed outside."""
import fcntl
import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from sftp_raw import RawSession, Reader, s, server_command  # noqa: E402

OK, NO_SUCH_FILE, PERMISSION_DENIED, FAILURE, OP_UNSUPPORTED, QUOTA_EXCEEDED = 0, 2, 3, 4, 8, 15
LOCK_CONFLICT, NOT_A_DIRECTORY, INVALID_PARAMETER, RANGE_LOCK_REFUSED = 17, 19, 23, 26
READ, WRITE = 0x1, 0x2 | 0x4  # ACE4 data access
ATTRS = 0x80 | 0x100
DELETE = 0x10000
OPEN_EXISTING = 2
BLOCK_READ, BLOCK_WRITE, BLOCK_DELETE = 0x40, 0x80, 0x100

work = tempfile.mkdtemp(prefix="kiln-e2e-sessions.")
root = os.path.join(work, "root")
os.mkdir(root)
# The server running as nobody must reach the root and change its files.
os.chmod(work, 0o755)
os.chmod(root, 0o777)


class Session(RawSession):
    def __init__(self, user=None, options=(), version=6, **popen):
        cmd = server_command(root) + list(options)
        if user:
            cmd = ["setpriv", "--reuid=" + user, "--regid=nogroup", "--clear-groups"] + cmd
        super().__init__(cmd, version, **popen)

    def open(self, path, access, flags=0):
        return super().open(path, access, OPEN_EXISTING | flags)

    def close(self, h):
        assert super().close(h) == OK

    def read(self, h, offset, length):
        got = super().read(h, offset, length)
        return OK if isinstance(got, bytes) else got

    def rename(self, old, new):
        return super().rename(old, new, 1)  # OVERWRITE


def make(name, content=b"0123456789" * 100):
    path = os.path.join(root, name)
    with open(path, "wb") as f:
        f.write(content)
    os.chmod(path, 0o666)
    return path


def content(name):
    with open(os.path.join(root, name), "rb") as f:
        return f.read()


failures = []


def check(what, got, expected):
    if got != expected:
        failures.append("%s: got %r, expected %r" % (what, got, expected))


def share_modes():
    """A holds the file open denying one kind of access; B asks for it."""
    make("f")
    cases = [  # A's access and blocks, B's open access, B's answer
        (READ | WRITE, BLOCK_READ, READ, LOCK_CONFLICT),
        (READ, BLOCK_READ, WRITE, OK),
        (READ | WRITE, BLOCK_WRITE, WRITE, LOCK_CONFLICT),
        (READ, BLOCK_WRITE, READ, OK),
        (READ | DELETE, BLOCK_DELETE, DELETE, LOCK_CONFLICT),
        (WRITE, 0, READ | ATTRS, OK),
        # A handle denies only what it may do itself.
        (READ, BLOCK_READ, READ, OK),
        (READ, BLOCK_WRITE, WRITE, OK),
        (READ, BLOCK_DELETE, DELETE, OK),
        (READ | WRITE, BLOCK_DELETE, DELETE, OK),
    ]
    for a_access, a_blocks, b_access, expected in cases:
        h = A.must_open("/f", a_access, a_blocks)
        got = B.open("/f", b_access)
        if isinstance(got, bytes):
            B.close(got)
            got = OK
        check("open %#x after %#x/%#x" % (b_access, a_access, a_blocks), got, expected)
        A.close(h)
    # B's open denying write is refused while A writes.
    h = A.must_open("/f", WRITE)
    check("deny write while written", B.open("/f", READ | WRITE, BLOCK_WRITE), LOCK_CONFLICT)
    A.close(h)


def remove_and_rename():
    make("f")
    h = A.must_open("/f", READ | DELETE, BLOCK_DELETE)
    check("remove held", B.remove("/f"), LOCK_CONFLICT)
    check("rename held", B.rename("/f", "/g"), LOCK_CONFLICT)
    check("rename onto held", B.rename(make_name("other"), "/f"), LOCK_CONFLICT)
    check("still there", os.path.exists(os.path.join(root, "f")), True)
    A.close(h)
    check("rename released", B.rename("/f", "/g"), OK)
    check("remove released", B.remove("/g"), OK)


def make_name(name):
    make(name)
    return "/" + name


def blocks_three_sessions():
    # The provider takes exclusive blocks (BLOCK_WRITE); shared ones are
    # refused before they reach the platform.
    make("f")
    a, b, c = (S.must_open("/f", READ | WRITE) for S in (A, B, C))
    check("A blocks", A.block(a, 0, 100, BLOCK_WRITE), OK)
    check("B blocks into it", B.block(b, 50, 100, BLOCK_WRITE), RANGE_LOCK_REFUSED)
    check("B blocks next to it", B.block(b, 100, 50, BLOCK_WRITE), OK)
    check("C blocks into B's", C.block(c, 120, 10, BLOCK_READ | BLOCK_WRITE), RANGE_LOCK_REFUSED)
    check("C reads A's", C.read(c, 10, 10), LOCK_CONFLICT)
    check("C writes B's", C.write(c, 149, b"x"), LOCK_CONFLICT)
    check("A reads B's", A.read(a, 140, 20), LOCK_CONFLICT)
    check("A writes its own", A.write(a, 10, b"A"), OK)
    check("C writes beyond", C.write(c, 150, b"C"), OK)
    check("A unblocks", A.unblock(a, 0, 100), OK)
    check("C writes freed", C.write(c, 11, b"c"), OK)
    check("data", content("f")[10:12] + content("f")[149:151], b"Ac9C")
    for S, h in ((A, a), (B, b), (C, c)):
        S.close(h)


def killed_session():
    global A
    make("f")
    h = A.must_open("/f", READ | WRITE, BLOCK_DELETE | BLOCK_WRITE)
    check("A blocks", A.block(h, 0, 10, BLOCK_WRITE), OK)
    check("B while A lives", B.open("/f", WRITE), LOCK_CONFLICT)
    A.proc.send_signal(signal.SIGKILL)
    A.proc.wait(timeout=30)
    A = Session()
    g = B.must_open("/f", READ | WRITE)
    check("B blocks after kill", B.block(g, 0, 10, BLOCK_WRITE), OK)
    B.close(g)
    check("B removes after kill", B.remove("/f"), OK)


def another_user():
    if os.geteuid() != 0:
        print("SKIP another_user (needs root to start a server as nobody)")
        return
    make("f")
    N = Session("nobody")
    try:
        h = A.must_open("/f", READ | WRITE, BLOCK_WRITE)
        check("A blocks", A.block(h, 0, 10, BLOCK_WRITE), OK)
        check("nobody opens for write", N.open("/f", WRITE), LOCK_CONFLICT)
        n = N.must_open("/f", READ)
        check("nobody reads A's block", N.read(n, 0, 10), LOCK_CONFLICT)
        # A handle open for reading alone takes no block, which would keep
        # writers out.
        check("nobody blocks next to A", N.block(n, 20, 10, BLOCK_WRITE), PERMISSION_DENIED)
        check("A writes beside A's block", A.write(h, 25, b"x"), OK)
        check("nobody removes", N.remove("/f"), OK)  # delete was shared
        N.close(n)
        A.close(h)
    finally:
        N.end()


def reader_denies_nothing():
    """A -R session of nobody holding root's 0644 file with every deny flag stops no one."""
    if os.geteuid() != 0:
        return print("SKIP reader_denies_nothing (needs root to start a server as nobody)")
    os.chmod(make("r"), 0o644)
    R = Session("nobody", ["-R"])
    n, h = R.must_open("/r", READ, BLOCK_READ | BLOCK_WRITE | BLOCK_DELETE), A.must_open("/r", WRITE)
    check("-R blocks; root writes, truncates, renames, removes",
          [R.block(n, 0, 2**64 - 1, BLOCK_WRITE), A.write(h, 0, b"w"),
           A.status(10, s(h) + struct.pack(">IBQ", 1, 1, 0)), A.rename("/r", "/s"), A.remove("/s")],
          [PERMISSION_DENIED, OK, OK, OK, OK])
    A.close(h)
    R.end()


def lock_bounds():
    """1,024 blocks per handle, 4,096 per session; a range ends at 2^64 at most."""
    make("f")
    hs = [A.must_open("/f", READ | WRITE) for _ in range(5)]
    got = [A.block(hs[0], i * 2, 1, BLOCK_WRITE) for i in range(1024)]
    got.append(A.block(hs[0], 9000, 1, BLOCK_WRITE))
    got += [A.block(hs[i // 1024], i * 2, 1, BLOCK_WRITE) for i in range(1024, 4096)]
    b = B.must_open("/f", READ | WRITE)
    check("blocks", [got.count(OK), got[1024], A.block(hs[4], 9000, 1, BLOCK_WRITE)] +
          [B.block(b, 2**64 - 10, n, BLOCK_WRITE) for n in (10, 11)],
          [4096, QUOTA_EXCEEDED, QUOTA_EXCEEDED, OK, INVALID_PARAMETER])
    for S, h in [(A, h) for h in hs] + [(B, b)]:
        S.close(h)


def copy_onto_itself():
    """copy-data within one file is refused where the ranges meet (length 0
    runs to the end), whatever names opened the handles."""
    data = os.urandom(1 << 20)
    os.link(make("f", data), os.path.join(root, "alias"))
    for src, at, length, dst, to, expected in (
            ("/f", 0, 0, "/f", 1 << 20, FAILURE), ("/alias", 0, 8192, "/f", 4096, FAILURE),
            ("/f", 4096, 4096, "/alias", 0, OK)):
        a, b = A.must_open(src, READ), A.must_open(dst, WRITE)
        check("copy %s+%d:%d to %s+%d" % (src, at, length, dst, to), A.status(200, s(
            "copy-data") + s(a) + struct.pack(">QQ", at, length) + s(b) + struct.pack(">Q", to)),
            expected)
        A.close(a)
        A.close(b)
    check("f after copies", content("f") == data[4096:8192] + data[4096:], True)


def links_moved_outside():
    """A link is renamed or hard-linked only where its text still leads
    inside; odd texts still read back; OPENDIR of a link judges its target."""
    for d in ("a", "a/b", "a/c"):
        os.mkdir(os.path.join(root, d))
    check("link", A.status(21, s("/a/b/l") + s("../../x") + b"\1"), OK)
    for request, old, new, expected in (
            (18, "/a/b/l", "/l", PERMISSION_DENIED), (18, "/a/b/l", "/a/b/k", OK),
            ("posix-rename@openssh.com", "/a/b/k", "/a/l", PERMISSION_DENIED),
            ("hardlink@openssh.com", "/a/b/k", "/l", PERMISSION_DENIED),
            ("hardlink@openssh.com", "/a/b/k", "/a/c/l", OK)):
        body = s(old) + s(new) + (struct.pack(">I", 0) if request == 18 else b"")
        got = A.status(request, body) if request == 18 else A.status(200, s(request) + body)
        check("%s %s %s" % (request, old, new), (got, os.path.lexists(root + new)),
              (expected, expected == OK))
    for target, request, expected in (("d/" * 2047 + "d", 19, 104), ("y" * 256, 19, 104),
                                      ("/etc", 11, NO_SUCH_FILE), ("none", 11, NO_SUCH_FILE),
                                      ("f", 11, NOT_A_DIRECTORY)):
        os.symlink(target, os.path.join(root, "t"))
        rtype, data = A.call(request, s("/t"))
        check("%d on a link to %.9s" % (request, target), Reader(data[4:]).string().decode()
              == target if rtype == 104 else Reader(data).u32(), expected == 104 or expected)
        os.remove(os.path.join(root, "t"))
    v3 = Session(version=3)
    check("v3 link to a NUL", v3.call(20, s("a\0b") + s("/nul"))[1],
          struct.pack(">I", NO_SUCH_FILE) + s("Invalid file name.") + s("en"))
    v3.end()


def other_program():
    path = make("f")
    locker = subprocess.Popen(
        [sys.executable, "-c",
         "import fcntl,sys\nf=open(sys.argv[1],'r+')\nfcntl.lockf(f,fcntl.LOCK_EX,10,100)\n"
         "print('held',flush=True)\nsys.stdin.read()", path],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    try:
        assert locker.stdout.readline().strip() == b"held"
        h = A.must_open("/f", READ | WRITE, BLOCK_READ | BLOCK_WRITE | BLOCK_DELETE)
        check("read into fcntl lock", A.read(h, 105, 10), LOCK_CONFLICT)
        check("write into fcntl lock", A.write(h, 100, b"x"), LOCK_CONFLICT)
        check("block over fcntl lock", A.block(h, 109, 1, BLOCK_WRITE), RANGE_LOCK_REFUSED)
        check("read beside it", A.read(h, 110, 10), OK)
        A.close(h)
    finally:
        locker.stdin.close()
        locker.wait(timeout=30)
    # The program may lock ranges while a session has the file open.
    h = A.must_open("/f", READ | WRITE)
    with open(path, "r+") as f:
        fcntl.lockf(f, fcntl.LOCK_EX | fcntl.LOCK_NB, 10, 500)
        check("read beside the program's lock", A.read(h, 0, 10), OK)
    A.close(h)


def locks_refused():
    """Where locks are refused, an open denying others is refused, the rest go on; told once."""
    make("f")
    env = dict(os.environ, LD_PRELOAD=os.environ["KILN_REFUSE_LOCKS"])
    with open(os.path.join(work, "refused.log"), "w+") as log:
        L = Session(options=["-l", "INFO"], env=env, stderr=log)
        got = [L.open("/f", READ | WRITE, BLOCK_WRITE), L.open("/f", READ | WRITE), L.open("/f", READ)]
        if all(isinstance(g, bytes) for g in got[1:]):
            got += [L.write(got[1], 0, b"w"), L.read(got[2], 0, 5)]
        L.end()
        check("opens, a write and a read where locks are refused",
              [OK if isinstance(g, bytes) else g for g in got], [OP_UNSUPPORTED] + [OK] * 4)
        log.seek(0)
        check("told once", sum("refuses file locks" in line for line in log), 1)


A, B, C = Session(), Session(), Session()
for case in (share_modes, remove_and_rename, blocks_three_sessions, killed_session,
             another_user, reader_denies_nothing, lock_bounds, copy_onto_itself,
             links_moved_outside, other_program, locks_refused):
    before = len(failures)
    try:
        case()
    except Exception as e:  # noqa: BLE001
        failures.append("%s: %r" % (case.__name__, e))
    print("PASS" if len(failures) == before else "FAIL", case.__name__)
for S in (A, B, C):
    S.end()
shutil.rmtree(work, ignore_errors=True)
for failure in failures:
    print("  ", failure)
sys.exit(1 if failures else 0)
