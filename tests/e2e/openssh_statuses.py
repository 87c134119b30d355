#!/usr/bin/python3
"""Answers an administrator replacing OpenSSH's sftp-server would notice: at
version 3 what OpenSSH's server answers (both run as nobody under root, so
refusals are real), at version 6 the exact code; mkdir keeps special bits."""
import grp
import os
import pwd
import struct
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from sftp_raw import RawSession, Reader, s, server_command  # noqa: E402

OPENSSH = "/usr/lib/openssh/sftp-server"
os.access(OPENSSH, os.X_OK) or sys.exit(77)
drop = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"] if os.geteuid() == 0 else []
work = tempfile.mkdtemp(prefix="kiln-e2e-statuses.")
os.chmod(work, 0o755)
umask = os.umask(0o22)
os.umask(umask)
ME = (65534, 65534) if drop else (os.getuid(), os.getgid())  # who runs the servers
Q = lambda *v: struct.pack(">%dQ" % len(v), *v)  # noqa: E731
U = lambda *v: struct.pack(">%dI" % len(v), *v)  # noqa: E731


class Client(RawSession):
    def __init__(self, command, version, top):
        os.makedirs(top + "/d"), os.makedirs(top + "/empty")
        for f in ("f", "g"):
            open(top + "/" + f, "w").write("data\n")
        os.symlink(top + "/f", top + "/abs")
        open(top + "/rootf", "w"), os.symlink("rootf", top + "/lroot")  # rootf stays root's
        for n in set(os.listdir(top) + [""]) - {"rootf"} if drop else []:
            os.lchown(os.path.join(top, n), 65534, 65534)
        self.top, self.prefix = top, top if command == [OPENSSH] else ""
        super().__init__(drop + command, version)

    def p(self, name):
        return s(self.prefix + name)

    def st(self, ptype, *fields):
        return self.status(ptype, b"".join(fields))

    def attrs(self, flags, *fields):  # one type byte from version 4 on
        return U(flags) + b"\2" * (self.version > 3) + b"".join(fields)

    def open(self, name, write=False):
        how = U(1 | write * 2) if self.version == 3 else U(0x81 | write * 2, 2)
        rtype, data = self.call(3, self.p(name) + how + self.attrs(0))
        return s(Reader(data).string()) if rtype == 102 else Reader(data).u32()

    def lstat_size(self, name):
        r = Reader(self.call(7, self.p(name) + U(1)[:4 * (self.version > 3)])[1])
        return (r.u32(), r.take(self.version > 3), r.u64())[-1]

    def lsetstat(self, name, v3, v6):  # (flags, fields) of each version's attributes
        flags, fields = v3 if self.version == 3 else v6
        return self.st(200, s("lsetstat@openssh.com"), self.p(name), self.attrs(flags, fields))

    def rename(self, a, b, posix=False):
        return self.st(200, s("posix-rename@openssh.com"), self.p(a), self.p(b)) if posix else \
            self.st(18, self.p(a), self.p(b), U(1)[:4 * (self.version > 3)])  # OVERWRITE


ROWS = [  # label, request, version 6 answer (or a function of our tree)
    ("fsync, handle open for reading", lambda c: c.st(200, s("fsync@openssh.com"), c.open("/f")), 0),
    ("rename a file onto a directory", lambda c: c.rename("/f", "/d"), 24),
    ("rename a directory onto a file", lambda c: c.rename("/d", "/f"), 19),
    ("posix-rename a file onto a directory", lambda c: c.rename("/f", "/empty", True), 24),
    ("posix-rename a directory onto a file", lambda c: c.rename("/empty", "/g", True), 19),
    ("chown to root", lambda c: c.st(9, c.p("/g"), U(2, 0, 0) if c.version == 3
                                     else c.attrs(0x80, s("root"), s("root"))), 3),
    ("write at 2^64-1", lambda c: c.st(6, c.open("/g", True), Q(2**64 - 1), s("zz")), 5),
    ("write at 2^63", lambda c: c.st(6, c.open("/g", True), Q(2**63), s("zz")), 5),
    ("open of a file's name with /.", lambda c: c.open("/f/."), 20),
    ("size of a directory", lambda c: c.lstat_size("/d"), lambda top: os.lstat(top + "/d").st_size),
    ("an absolute link's size is its text's", lambda c: c.lstat_size("/abs") == len(
        Reader(c.call(19, c.p("/abs"))[1][4:]).string()), True),
    ("chown -h of a link to root's file",
     lambda c: c.lsetstat("/lroot", (2, U(*ME)), (0x80, s(pwd.getpwuid(ME[0]).pw_name) +
                                                 s(grp.getgrgid(ME[1]).gr_name))), 0),
    ("times of a link to root's file",
     lambda c: (c.lsetstat("/lroot", (8, U(10**6, 2 * 10**6)), (0x28, Q(10**6, 2 * 10**6))),
                os.lstat(c.top + "/lroot").st_mtime), (0, 2e6)),
    ("statvfs inode total", lambda c: struct.unpack(">11Q", c.call(
        200, s("statvfs@openssh.com") + c.p("/d"))[1])[5] or "0", lambda t: os.statvfs(t).f_files),
]
ROWS_V6 = [  # requests OpenSSH's server does not serve, or answers otherwise on purpose
    ("an alarm entry in an ACL", lambda c: c.st(
        9, c.p("/g"), c.attrs(0x40, s(U(3, 1, 3, 0, 1) + s("OWNER@")))), 23),
    ("chmod -h of a link", lambda c: c.lsetstat("/lroot", None, (4, U(0o600))), 8),  # OpenSSH: 4
    ("space of a name yet to be made", lambda c: c.call(200, s("space-available") + c.p("/d/n"))[0],
     201),
]
failures = 0
theirs = Client([OPENSSH], 3, work + "/theirs")
for version in (3, 6):
    ours = Client(server_command(work + "/ours%d" % version), version, work + "/ours%d" % version)
    for label, run, want in ROWS + ROWS_V6 * (version == 6):
        got, want = run(ours), run(theirs) if version == 3 else want(ours.top) if callable(want) \
            else want
        if got != want:
            print("FAIL v%d %s: %s, not %s" % (version, label, got, want))
            failures += 1
    for name, mode in (("/sticky", 0o1777), ("/setgid", 0o2750), ("/setuid", 0o4755)):
        got = ours.st(14, ours.p(name), ours.attrs(4, U(mode))) or os.stat(ours.top + name).st_mode
        if got & 0o7777 != mode & ~umask:
            print("FAIL v%d mkdir %s %o: status or mode %o" % (version, name, mode, got))
            failures += 1
    ours.end()
theirs.end()
os.system("rm -rf " + work)
print("statuses: %d failed" % failures)
sys.exit(1 if failures else 0)
