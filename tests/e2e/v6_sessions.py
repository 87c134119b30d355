#!/usr/bin/python3
"""Several kiln-sftp-server processes on one root at protocol version 6, as
sshd runs one per session: share modes (BLOCK_READ/WRITE/DELETE of OPEN),
BLOCK byte-range locks, reads and writes into locked ranges, remove and
rename of a file held open, release when a server is killed, a server
running as another user, and a lock of another program (fcntl)."""
import fcntl
import os
import shutil
import signal
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from sftp_raw import RawSession, server_command  # noqa: E402

OK, LOCK_CONFLICT, RANGE_LOCK_REFUSED = 0, 17, 26
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
    def __init__(self, user=None):
        cmd = server_command(root)
        if user:
            cmd = ["setpriv", "--reuid=" + user, "--regid=nogroup", "--clear-groups"] + cmd
        super().__init__(cmd, 6)

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
        (READ, BLOCK_READ, READ, LOCK_CONFLICT),
        (READ, BLOCK_READ, WRITE, OK),
        (READ, BLOCK_WRITE, WRITE, LOCK_CONFLICT),
        (READ, BLOCK_WRITE, READ, OK),
        (READ, BLOCK_DELETE, DELETE, LOCK_CONFLICT),
        (WRITE, 0, READ | ATTRS, OK),
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
    check("deny write while written", B.open("/f", READ, BLOCK_WRITE), LOCK_CONFLICT)
    A.close(h)


def remove_and_rename():
    make("f")
    h = A.must_open("/f", READ, BLOCK_DELETE)
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
        check("nobody blocks over A", N.block(n, 5, 10, BLOCK_WRITE), RANGE_LOCK_REFUSED)
        # Through a handle open for reading alone, an exclusive block still
        # keeps writers out.
        check("nobody blocks next to A", N.block(n, 20, 10, BLOCK_WRITE), OK)
        check("A writes into nobody's block", A.write(h, 25, b"x"), LOCK_CONFLICT)
        check("nobody removes", N.remove("/f"), OK)  # delete was shared
        N.close(n)
        A.close(h)
    finally:
        N.end()


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


A, B, C = Session(), Session(), Session()
for case in (share_modes, remove_and_rename, blocks_three_sessions, killed_session,
             another_user, other_program):
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
