#!/usr/bin/python3
"""A listing's owner, group, permissions, type, size and modification time
equal what an LSTAT of the same entry answers, at every protocol version, for
plain files, directories, special mode bits, a POSIX ACL, another owner,
links and awkward names. Speaks the raw protocol to kiln-sftp-server."""
import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from sftp_raw import RawSession, Reader, read_attrs, server_command  # noqa: E402

work = tempfile.mkdtemp(prefix="kiln-e2e-listing.")
root = os.path.join(work, "root")
top = os.path.join(root, "d")
os.makedirs(top)


def make(name, kind, mode=None, owner=None):
    path = os.path.join(top.encode(), name)
    if kind == "file":
        with open(path, "wb") as f:
            f.write(b"x" * len(name))
    elif kind == "dir":
        os.mkdir(path)
    elif kind.startswith("link:"):
        os.symlink(kind[5:], path)
        return
    if mode is not None:
        os.chmod(path, mode)
    if owner is not None and os.geteuid() == 0:
        os.chown(path, owner, owner)


# name on disk, kind, mode, owner
ENTRIES = [
    (b"plain", "file", 0o640, None),
    (b"sub", "dir", 0o750, None),
    (b"setid", "file", 0o6755, None),
    (b"sticky", "dir", 0o1777, None),
    (b"nobody-owns", "file", 0o604, 65534),
    (b"with-acl", "file", 0o640, None),
    (b"to-plain", "link:plain", None, None),
    (b"dangling", "link:nowhere", None, None),
    (b"back\\slash:colon*star?", "file", 0o600, None),
    (b"caf\xc3\xa9 \xe2\x82\xac", "file", 0o644, None),
    (b"latin1-\xe9", "file", 0o644, None),
    (b"\xef\x80\xaa-private-use", "file", 0o644, None),
]
for entry in ENTRIES:
    make(*entry)
acl = shutil.which("setfacl")
if acl:
    subprocess.run([acl, "-m", "u:65534:rw", os.path.join(top, "with-acl")], check=True)


def attrs(r, version):
    """The fields compared: owner and group (ids or names), permissions,
    type, size, modification time."""
    got = read_attrs(r, version)
    return {k: got[k] for k in ("owner", "permissions", "type", "size", "mtime") if k in got}


class Session(RawSession):
    def __init__(self, version):
        super().__init__(server_command(root), version)

    def listing(self, path):
        return dict(super().listing(path, lambda r: attrs(r, self.version)))

    def lstat(self, path):
        r = self.stat(path, ptype=7)
        assert isinstance(r, Reader), "LSTAT of %r failed" % path
        return attrs(r, self.version)


failures = 0
for version in (3, 4, 5, 6):
    session = Session(version)
    listed = session.listing(b"/d")
    names = sorted(n for n in listed if n not in (b".", b".."))
    if len(names) != len(ENTRIES):
        print("FAIL v%d: listed %r" % (version, names))
        failures += 1
    for name in names:
        want = session.lstat(b"/d/" + name)
        got = listed[name]
        for field in ("owner", "permissions", "size", "mtime"):
            if field not in want:
                print("FAIL v%d %r: LSTAT has no %s" % (version, name, field))
                failures += 1
        if got != want:
            print("FAIL v%d %r: listing %r, LSTAT %r" % (version, name, got, want))
            failures += 1
    session.end()
    print("v%d: %d entries compared" % (version, len(names)))

shutil.rmtree(work, ignore_errors=True)
sys.exit(1 if failures else 0)
