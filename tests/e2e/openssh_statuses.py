#!/usr/bin/python3
"""One table of requests whose answers an administrator replacing OpenSSH's
sftp-server would notice: each runs against both servers at version 3 and
must get OpenSSH's answer; at version 6 it must get the exact code of that
version. Both servers run as nobody when the test runs as root, so that
refusals are real. Directories made with special bits are checked on disk."""
import os
import shutil
import struct
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from sftp_raw import RawSession, Reader, s, server_command  # noqa: E402

OPENSSH = "/usr/lib/openssh/sftp-server"
if not os.access(OPENSSH, os.X_OK):
    print("SKIP: no %s to compare with" % OPENSSH)
    sys.exit(77)
NOBODY = 65534
drop = ["setpriv", "--reuid=%d" % NOBODY, "--regid=%d" % NOBODY, "--clear-groups"] \
    if os.geteuid() == 0 else []
work = tempfile.mkdtemp(prefix="kiln-e2e-statuses.")
os.chmod(work, 0o755)


def tree(name):
    """A fresh tree for one server, owned by whoever the servers run as."""
    top = os.path.join(work, name)
    os.makedirs(os.path.join(top, "d"))
    os.makedirs(os.path.join(top, "empty"))
    for f in ("f", "g"):
        with open(os.path.join(top, f), "w") as out:
            out.write("data\n")
    os.symlink(os.path.join(top, "f"), os.path.join(top, "abs"))
    if drop:
        for base, dirs, files in os.walk(top):
            for n in [base] + [os.path.join(base, x) for x in dirs + files]:
                os.chown(n, NOBODY, NOBODY)
    return top


def ext(name, *fields):
    return s(name) + b"".join(fields)


def handle_of(session, path, pflags):
    rtype, data = session.call(3, s(path) + (struct.pack(">II", pflags, 0) if session.version == 3
                                              else struct.pack(">IIIB", 0x81 | pflags & 2, 2, 0, 1)))
    assert rtype == 102, "open of %s failed" % path
    return Reader(data).string()


def fsync_read_only(session, p):
    h = handle_of(session, p("/f"), 1)
    return session.status(200, ext("fsync@openssh.com", s(h)))


def rename(a, b):
    def run(session, p):
        flags = b"" if session.version == 3 else struct.pack(">I", 1)  # OVERWRITE
        return session.status(18, s(p(a)) + s(p(b)) + flags)
    return run


def posix_rename(a, b):
    return lambda session, p: session.status(200, ext("posix-rename@openssh.com", s(p(a)),
                                                      s(p(b))))


def chown_to_root(session, p):
    attrs = struct.pack(">III", 2, 0, 0) if session.version == 3 else \
        struct.pack(">IB", 0x80, 1) + s("root") + s("root")
    return session.status(9, s(p("/g")) + attrs)


def write_at(offset):
    def run(session, p):
        h = handle_of(session, p("/g"), 2)
        return session.status(6, s(h) + struct.pack(">Q", offset) + s("zz"))
    return run


def open_status(name):
    def run(session, p):
        rtype, data = session.call(3, s(p(name)) + (struct.pack(">II", 1, 0)
                                                     if session.version == 3
                                                     else struct.pack(">IIIB", 0x81, 2, 0, 1)))
        return Reader(data).u32() if rtype == 101 else "a handle"
    return run


def lstat_size(name):
    def run(session, p):
        flags = b"" if session.version == 3 else struct.pack(">I", 1)
        rtype, data = session.call(7, s(p(name)) + flags)
        r = Reader(data)
        assert rtype == 105 and r.u32() & 1, "no size for %s" % name
        if session.version > 3:
            r.u8()
        return r.u64()
    return run


def link_size_is_its_text(session, p):
    """Whether an absolute link's size is the length of the text READLINK
    gives (under a root, the client's text, not the host's)."""
    rtype, data = session.call(19, s(p("/abs")))
    r = Reader(data)
    assert rtype == 104 and r.u32() == 1, "READLINK failed"
    return lstat_size("/abs")(session, p) == len(r.string())


def statvfs_inodes(session, p):
    rtype, data = session.call(200, ext("statvfs@openssh.com", s(p("/d"))))
    fields = struct.unpack(">11Q", data)
    return "f_files %d, f_ffree %s" % (fields[5], "known" if fields[6] else "zero")


def mkdir(name, mode):
    def run(session, p):
        attrs = struct.pack(">II", 4, mode) if session.version == 3 else \
            struct.pack(">IBI", 4, 2, mode)
        return session.status(14, s(p(name)) + attrs)
    return run


# label, request (its status or value), what version 6 answers (or a function
# of our tree that says it)
ROWS = [
    ("fsync on a handle opened for reading", fsync_read_only, 0),
    ("rename a file onto a directory", rename("/f", "/d"), 24),
    ("rename a directory onto a file", rename("/d", "/f"), 19),
    ("posix-rename a file onto a directory", posix_rename("/f", "/empty"), 24),
    ("posix-rename a directory onto a file", posix_rename("/empty", "/g"), 19),
    ("chown to another user refused", chown_to_root, 3),
    ("write at offset 2^64-1", write_at(2**64 - 1), 5),
    ("write at offset 2^63", write_at(2**63), 5),
    ("open of a file's name with /.", open_status("/f/."), 20),
    ("size of a directory", lstat_size("/d"), lambda top: os.lstat(top + "/d").st_size),
    ("an absolute link's size", link_size_is_its_text, True),
    ("statvfs inode counts", statvfs_inodes,
     lambda top: "f_files %d, f_ffree known" % os.statvfs(top).f_files),
]


def alarm_ace(session, p):
    ace = struct.pack(">III", 3, 0, 1) + s("OWNER@")
    acl = struct.pack(">II", 0x03, 1) + ace  # the access list, given, with one entry
    return session.status(9, s(p("/g")) + struct.pack(">IB", 0x40, 1) + s(acl))


def space_available(name):
    def run(session, p):
        rtype, data = session.call(200, ext("space-available", s(p(name))))
        return Reader(data).u32() if rtype == 101 else 0
    return run


# Requests OpenSSH's server does not serve, at version 6 only.
ROWS_V6 = [
    ("an alarm entry in an ACL cannot be stored", alarm_ace, 23),
    ("space available for a name yet to be made", space_available("/d/new"), 0),
]
# Directories keep the special bits the client asked for, less the umask's
# permission bits, as SETSTAT sets them (OpenSSH's server loses setgid and
# setuid to mkdir(2), so these are not compared with it).
MKDIRS = [("/sticky", 0o1777), ("/setgid", 0o2750), ("/setuid", 0o4755)]
umask = os.umask(0o22)
os.umask(umask)


def check(version, theirs=None):
    """Runs every row in a session of ours at `version`; the number failed."""
    failed = 0
    top = tree("ours%d" % version)
    ours = RawSession(drop + server_command(top), version, "kiln-sftp-server")
    for label, run, code in ROWS + (ROWS_V6 if version == 6 else []):
        got = run(ours, lambda n: n)
        want = run(theirs, lambda n: theirs_top + n) if theirs else \
            code(top) if callable(code) else code
        if got != want:
            print("FAIL v%d %s: %s, %s %s" % (version, label, got,
                                              "OpenSSH's server" if theirs else "not", want))
            failed += 1
    for name, mode in MKDIRS:
        got = mkdir(name, mode)(ours, lambda n: n)
        on_disk = os.stat(top + name).st_mode & 0o7777
        if got != 0 or on_disk != (mode & 0o7000) | (mode & 0o777 & ~umask):
            print("FAIL v%d mkdir %s %o: status %d, mode %o" % (version, name, mode, got, on_disk))
            failed += 1
    ours.end()
    return failed


theirs_top = tree("theirs")
theirs = RawSession(drop + [OPENSSH], 3, "sftp-server")
failures = check(3, theirs) + check(6)
theirs.end()
shutil.rmtree(work)
print("statuses: %d failed" % failures)
sys.exit(1 if failures else 0)
