#!/usr/bin/python3
"""Many servers over one shared file system: one GlusterFS volume mounted
three times through FUSE, as three server machines would mount it, and one
kiln-sftp-server at protocol version 6 over each. A and B run on mounts with
POSIX ACLs, C on one without. Checks that what one server does the others
see: uploads byte for byte, share modes, byte-range locks (also after a
server is killed), rename and remove racing between servers, attribute bits
kept in extended attributes, ACLs (and a clear refusal where the mount has
none), and the volume's free space. Exit 77 where Gluster or FUSE cannot run
here; everything started is stopped again, on failure too."""
import hashlib
import os
import signal
import struct
import subprocess
import sys
import tempfile
import threading

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import gluster_volume  # noqa: E402
from sftp_raw import (RawSession, Reader, paramiko_session, read_attrs, s,  # noqa: E402
                      server_command)

DEADLINE = 240  # seconds for the whole run; CTest's timeout is above it

OK, NO_SUCH_FILE, OP_UNSUPPORTED, NO_SUCH_PATH, ALREADY_EXISTS = 0, 2, 8, 10, 11
LOCK_CONFLICT, RANGE_LOCK_REFUSED = 17, 26
READ, WRITE = 0x1, 0x2
READ_ATTRS, WRITE_ATTRS, READ_ACL, DELETE = 0x80, 0x100, 0x20000, 0x10000
CREATE_NEW, OPEN_EXISTING = 0, 2
BLOCK_READ, BLOCK_WRITE, BLOCK_DELETE = 0x40, 0x80, 0x100
ATTR_ACL, ATTR_BITS = 0x40, 0x200
BIT_SYSTEM, BIT_ARCHIVE = 0x2, 0x10


def parse_acl(blob):
    r = Reader(blob)
    flags, count = r.unpack(">II")
    aces = []
    for _ in range(count):
        aces.append(r.unpack(">III") + (r.string().decode(),))
    return flags, aces


def acl_blob(flags, aces):
    return s(struct.pack(">II", flags, len(aces)) +
             b"".join(struct.pack(">III", *ace[:3]) + s(ace[3]) for ace in aces))


def parse_attrs(r):
    """A version 6 ATTRS from the Reader `r`, its ACL parsed."""
    a = read_attrs(r, 6)
    if "acl" in a:
        a["acl"] = parse_acl(a["acl"])
    return a


class Session(RawSession):
    """One kiln-sftp-server at version 6 over one mount, spoken to raw; on
    the machine whose network namespace is `netns`, if given. Extra keyword
    arguments go to Popen."""

    def __init__(self, root, name, netns=None, **popen):
        self.root, self.netns = root, netns
        super().__init__(gluster_volume.in_netns(netns, server_command(root)), 6, name=name,
                         **popen)

    def close(self, h):
        assert super().close(h) == OK

    def stat(self, path, flags):
        r = super().stat(path, flags)
        assert isinstance(r, Reader), "%s: stat %s failed with %r" % (self.name, path, r)
        return parse_attrs(r)

    def listdir(self, path):
        """The names in a directory, sorted, without . and .."""
        names = {name.decode() for name, _ in self.listing(path, parse_attrs)}
        return sorted(names - {".", ".."})

    def upload(self, path, content, chunk=32768):
        h = self.must_open(path, WRITE | READ_ATTRS | WRITE_ATTRS, CREATE_NEW)
        for at in range(0, len(content), chunk):
            assert self.write(h, at, content[at:at + chunk]) == OK
        self.close(h)

    def download(self, path, chunk=32768):
        h = self.must_open(path, READ | READ_ATTRS)
        out, at = [], 0
        while True:
            got = self.read(h, at, chunk)
            if got == 1:  # EOF
                break
            assert isinstance(got, bytes), "%s: read failed with %d" % (self.name, got)
            out.append(got)
            at += len(got)
        self.close(h)
        return b"".join(out)

    def end(self):
        try:
            super().end(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


failures = []


class Abort(BaseException):
    """Ends the run past the cases' own error handling (out of time, or
    terminated), so that everything is still stopped."""


def check(what, got, expected):
    if got != expected:
        failures.append("%s: got %r, expected %r" % (what, got, expected))


def upload_visible():
    # Sizes around the packet and FUSE read sizes; random content, so a
    # block out of place shows.
    sizes = {"empty": 0, "one": 1, "odd": 65536 + 7, "large": 3 << 20}
    for name, size in sizes.items():
        content = os.urandom(size)
        A.upload("/up-" + name, content)
        got = B.download("/up-" + name)
        check("%s through B" % name, hashlib.sha256(got).hexdigest(),
              hashlib.sha256(content).hexdigest())
        check("%s through C" % name, len(C.download("/up-" + name)), size)
    # A real client's pipelined transfers, up through one server, down
    # through another.
    content = os.urandom(5 << 20)
    sources = os.path.join(WORK, "local")
    os.mkdir(sources)
    with open(os.path.join(sources, "up"), "wb") as f:
        f.write(content)
    clients = [paramiko_session(server_command(M1)), paramiko_session(server_command(M2))]
    try:
        clients[0][0].put(os.path.join(sources, "up"), "/paramiko-up")
        clients[1][0].get("/paramiko-up", os.path.join(sources, "down"))
        with open(os.path.join(sources, "down"), "rb") as f:
            check("paramiko: up through A's mount, down through B's", f.read() == content, True)
    finally:
        for client, proc in clients:
            client.close()
            proc.wait(timeout=30)
    # An overwrite through B is what A reads next, with no wait.
    h = B.must_open("/up-odd", WRITE)
    check("B overwrites", B.write(h, 65536, b"B" * 7 + b"tail"), OK)
    B.close(h)
    check("A reads B's bytes", A.download("/up-odd")[65536:], b"BBBBBBBtail")


def share_modes():
    """A holds the file open denying some access; B asks for it."""
    A.upload("/shared", b"0123456789" * 100)
    cases = [  # A's access, what A denies, B's access, B's answer
        (WRITE, BLOCK_WRITE, WRITE, LOCK_CONFLICT),
        (WRITE, BLOCK_WRITE, READ, OK),
        (READ | WRITE, BLOCK_READ, READ, LOCK_CONFLICT),
        (READ, 0, WRITE, OK),
        (WRITE, 0, READ, OK),
        (READ | DELETE, BLOCK_DELETE, DELETE, LOCK_CONFLICT),
    ]
    for a_access, a_denies, b_access, expected in cases:
        h = A.must_open("/shared", a_access, OPEN_EXISTING | a_denies)
        got = B.open("/shared", b_access)
        if isinstance(got, bytes):
            B.close(got)
            got = OK
        check("B opens %#x while A holds %#x denying %#x" % (b_access, a_access, a_denies),
              got, expected)
        A.close(h)
    # B may not deny writing while A writes, nor remove or rename what A
    # holds without sharing delete.
    h = A.must_open("/shared", WRITE | DELETE, OPEN_EXISTING | BLOCK_DELETE)
    check("B denies write under A's writer",
          B.open("/shared", READ | WRITE, OPEN_EXISTING | BLOCK_WRITE), LOCK_CONFLICT)
    check("B removes A's file", B.remove("/shared"), LOCK_CONFLICT)
    check("B renames A's file", B.rename("/shared", "/shared2"), LOCK_CONFLICT)
    A.close(h)
    check("B renames it once A closed", B.rename("/shared", "/shared2"), OK)
    check("A removes it", A.remove("/shared2"), OK)


def byte_range_locks():
    global A
    A.upload("/locked", b"." * 300)
    a = A.must_open("/locked", READ | WRITE)
    b = B.must_open("/locked", READ | WRITE)
    c = C.must_open("/locked", READ | WRITE)
    cases = [  # who, what, answer
        ("A blocks 0-100", lambda: A.block(a, 0, 100, BLOCK_WRITE), OK),
        ("B blocks into A's", lambda: B.block(b, 50, 100, BLOCK_WRITE), RANGE_LOCK_REFUSED),
        ("B blocks beside it", lambda: B.block(b, 100, 50, BLOCK_WRITE), OK),
        ("C reads A's range", lambda: C.read(c, 10, 10), LOCK_CONFLICT),
        ("C writes B's range", lambda: C.write(c, 120, b"c"), LOCK_CONFLICT),
        ("A writes B's range", lambda: A.write(a, 149, b"a"), LOCK_CONFLICT),
        ("A writes its own", lambda: A.write(a, 10, b"A"), OK),
        ("C writes beyond both", lambda: C.write(c, 150, b"C"), OK),
        ("A unblocks", lambda: A.unblock(a, 0, 100), OK),
        ("C writes what A freed", lambda: C.write(c, 11, b"c"), OK),
        ("B unblocks", lambda: B.unblock(b, 100, 50), OK),
        ("A blocks again", lambda: A.block(a, 200, 10, BLOCK_WRITE), OK),
    ]
    for what, action, expected in cases:
        got = action()
        check(what, got if not isinstance(got, bytes) else OK, expected)
    check("data through B", B.read(b, 10, 2) + B.read(b, 150, 1), b"AcC")
    # A server killed with a lock held and the file open denying write: the
    # volume drops both with it.
    A.upload("/held", b"held")
    A.must_open("/held", READ | WRITE, OPEN_EXISTING | BLOCK_WRITE)
    check("C opens for write while A denies it", C.open("/held", WRITE), LOCK_CONFLICT)
    A.proc.send_signal(signal.SIGKILL)
    A.proc.wait(timeout=30)
    A = Session(A.root, "A")
    check("B blocks A's range after A was killed", B.block(b, 200, 10, BLOCK_WRITE), OK)
    got = C.open("/held", WRITE)
    check("C opens for write after A was killed", isinstance(got, bytes), True)
    if isinstance(got, bytes):
        C.close(got)
    for S, h in ((B, b), (C, c)):
        S.close(h)
    check("A removes them", (A.remove("/locked"), A.remove("/held")), (OK, OK))


def run_both(first, second):
    """Runs the two lists of calls at once, each in order; their answers."""
    answers = [None, None]

    def run(i, calls):
        answers[i] = [call() for call in calls]

    threads = [threading.Thread(target=run, args=(i, calls))
               for i, calls in enumerate((first, second))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return answers


def rename_remove_race():
    """A and B race over the same names; whatever order the volume picks,
    each file ends under one name, once, with its content, and every server
    lists the same tree."""
    count = int(os.environ.get("KILN_GLUSTER_RACES", "40"))
    check("mkdir", A.status(14, s("/race") + struct.pack(">IB", 0, 1)), OK)
    for i in range(count):
        for stem in ("f", "p", "q", "r"):
            with open(os.path.join(M1, "race", "%s%d" % (stem, i)), "wb") as f:
                f.write(b"%s%d" % (stem.encode(), i))
    n = range(count)
    races = [  # what A does to file i, what B does to it at the same time
        ([lambda i=i: A.rename("/race/f%d" % i, "/race/g%d" % i) for i in n],
         [lambda i=i: B.remove("/race/f%d" % i) for i in n]),
        ([lambda i=i: A.rename("/race/p%d" % i, "/race/h%d" % i) for i in n],
         [lambda i=i: B.rename("/race/p%d" % i, "/race/k%d" % i) for i in n]),
        ([lambda i=i: A.rename("/race/q%d" % i, "/race/t%d" % i) for i in n],
         [lambda i=i: B.rename("/race/r%d" % i, "/race/t%d" % i) for i in n]),
    ]
    (moved, removed), (to_h, to_k), (q_won, r_won) = (run_both(a, b) for a, b in races)
    # The loser of a race finds its name gone: "no such file" or, where the
    # name vanished while the rename was under way, "no such path".
    gone = {NO_SUCH_FILE, NO_SUCH_PATH}
    odd = {"rename and remove": [], "two renames": [], "two renames onto one name": []}
    expected = {}
    for i in n:
        # Never both refused, nothing but success or "gone".
        if not ({moved[i], removed[i]} <= gone | {OK} and OK in (moved[i], removed[i])):
            odd["rename and remove"].append((i, moved[i], removed[i]))
        if moved[i] == OK:
            expected["g%d" % i] = b"f%d" % i
        if sorted((to_h[i], to_k[i]))[0] != OK or sorted((to_h[i], to_k[i]))[1] not in gone:
            odd["two renames"].append((i, to_h[i], to_k[i]))
        expected[("h%d" if to_h[i] == OK else "k%d") % i] = b"p%d" % i
        if sorted((q_won[i], r_won[i])) != [OK, ALREADY_EXISTS]:
            odd["two renames onto one name"].append((i, q_won[i], r_won[i]))
        winner, loser = ("q", "r") if q_won[i] == OK else ("r", "q")
        expected["t%d" % i] = b"%s%d" % (winner.encode(), i)
        expected["%s%d" % (loser, i)] = b"%s%d" % (loser.encode(), i)
    print("   races won by A: rename over remove %d, rename over rename %d, onto one name %d,"
          " of %d each" % (moved.count(OK), to_h.count(OK), q_won.count(OK), count))
    for race, cases in odd.items():
        check("%s: (file, A's answer, B's answer)" % race, cases[:5], [])
    for mount in (M1, M2, M3):
        check("tree in %s" % os.path.basename(mount),
              sorted(os.listdir(os.path.join(mount, "race"))), sorted(expected))
    for S in (A, B, C):
        check("tree through %s" % S.name, S.listdir("/race"), sorted(expected))
    check("contents through C", [n for n, c in sorted(expected.items())
                                 if C.download("/race/" + n) != c], [])


def attribute_bits_and_acls():
    A.upload("/meta", b"meta")
    bits = struct.pack(">IB", ATTR_BITS, 1) + struct.pack(">II", BIT_SYSTEM | BIT_ARCHIVE,
                                                          BIT_SYSTEM | BIT_ARCHIVE)
    check("A sets system and archive", A.setstat("/meta", bits), OK)
    for S in (B, C):
        got = S.stat("/meta", ATTR_BITS)["bits"][0] & (BIT_SYSTEM | BIT_ARCHIVE)
        check("bits through %s" % S.name, got, BIT_SYSTEM | BIT_ARCHIVE)
    flags, aces = A.stat("/meta", ATTR_ACL)["acl"]
    grant = (0, 0, READ | READ_ATTRS | READ_ACL, "nobody")
    new_acl = struct.pack(">IB", ATTR_ACL, 1) + acl_blob(flags, aces + [grant])
    # On a mount without ACLs the named entry cannot be kept: a clear refusal,
    # and the file as it was.
    got = C.setstat("/meta", new_acl)
    check("C sets an ACL on a mount without them", got, OP_UNSUPPORTED)
    check("C's refusal leaves the file without one", _has_acl(M2, "meta"), False)
    check("A sets an ACL", A.setstat("/meta", new_acl), OK)
    whos = [ace[3] for ace in B.stat("/meta", ATTR_ACL)["acl"][1]]
    check("B sees the named entry", any("nobody" in who for who in whos), True)
    check("the volume holds it", _has_acl(M2, "meta"), True)


def _has_acl(mount, name):
    try:
        os.getxattr(os.path.join(mount, name), "system.posix_acl_access")
        return True
    except OSError:
        return False


def free_space():
    volume = os.statvfs(M1)
    local = os.statvfs(WORK)
    check("the volume is not the local disk", volume.f_blocks * volume.f_frsize !=
          local.f_blocks * local.f_frsize, True)
    for S in (A, B, C):
        data = S.extended("statvfs@openssh.com", s("/"))
        fields = struct.unpack(">11Q", data)
        check("%s: statvfs total" % S.name, fields[1] * fields[2],
              volume.f_frsize * volume.f_blocks)
        check("%s: statvfs free near the volume's" % S.name,
              abs(fields[1] * fields[4] - volume.f_frsize * volume.f_bavail) < (8 << 20), True)
        total, _, avail, _, unit = struct.unpack(">QQQQI",
                                                 S.extended("space-available", s("/")))
        check("%s: space-available total" % S.name, total, volume.f_frsize * volume.f_blocks)
        check("%s: space-available unit" % S.name, unit > 0 and avail <= total, True)


def main():
    global A, B, C, M1, M2, M3, WORK
    why = gluster_volume.missing_prerequisite()
    if why:
        print("SKIP: GlusterFS cannot run here: %s" % why)
        return 77
    parent = os.getcwd()
    gluster_volume.cleanup_stale(parent, "kiln-gluster.")
    WORK = tempfile.mkdtemp(prefix="kiln-gluster.", dir=parent)
    volume = gluster_volume.Volume(WORK)
    sessions = []
    gluster_volume.arm_deadline(DEADLINE, Abort)
    try:
        volume.start()
        M1, M2, M3 = (volume.mount(name, acl) for name, acl in
                      (("m1", True), ("m2", True), ("m3", False)))
        A, B, C = (Session(m, n) for m, n in ((M1, "A"), (M2, "B"), (M3, "C")))
        sessions[:] = [A, B, C]
        for case in (upload_visible, share_modes, byte_range_locks, rename_remove_race,
                     attribute_bits_and_acls, free_space):
            before = len(failures)
            try:
                case()
            except Exception as e:  # noqa: BLE001
                failures.append("%s: %r" % (case.__name__, e))
            print("PASS" if len(failures) == before else "FAIL", case.__name__, flush=True)
    except Abort as e:
        failures.append("run stopped: %s" % e)
    except Exception as e:  # noqa: BLE001
        failures.append("setting up: %r" % e)
    finally:
        signal.alarm(0)
        for S in sessions + [globals().get("A")]:
            if S:
                S.end()
        volume.stop()
        pids, mounts = volume.leftovers()
        check("processes left running", pids, [])
        check("mounts left", mounts, [])
        if not pids and not mounts:
            subprocess.run(["rm", "-rf", WORK], check=False)
        else:
            print("left %s for inspection" % WORK)
    for failure in failures:
        print("  ", failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
