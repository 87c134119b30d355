#!/usr/bin/python3
"""kiln-sftp-server on a file system that refuses: full (a small tmpfs),
read-only (a read-only bind mount) and a file size limit (RLIMIT_FSIZE, as
`ulimit -f` sets it). Speaks the raw protocol at versions 3 and 6, so that
both the old and the new status codes are seen.

For each: the status is the one the version has for the cause, nothing is
reported as done that was not, every acknowledged byte is on disk, and the
server keeps serving. Mounting needs root; without it those cases are
skipped (exit 77 when nothing could run)."""
import os
import resource
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from sftp_raw import RawSession, Reader, s, server_command  # noqa: E402

OK, FAILURE, PERMISSION_DENIED, WRITE_PROTECT, NO_SPACE = 0, 4, 3, 12, 14
CHUNK = 32768
servers = []  # every server started, so that a failed case leaves none behind


def content(n):
    return bytes((i * 7 + i // 251) & 0xFF for i in range(n))


class Client(RawSession):
    """One server process and one session of the given version."""

    def __init__(self, root, version, fsize=None):
        def limit():
            resource.setrlimit(resource.RLIMIT_FSIZE, (fsize, fsize))
        super().__init__(server_command(root), version, preexec_fn=limit if fsize else None)
        servers.append(self.proc)

    def open(self, path, write=True):
        """(status, handle): a new or truncated file for writing, else reading."""
        if self.version == 3:
            h = super().open(path, 0x2 | 0x8 | 0x10 if write else 0x1)
        else:
            h = super().open(path, 0x2 | 0x100 if write else 0x1 | 0x80, 1 if write else 2)
        return (OK, h) if isinstance(h, bytes) else (h, None)

    def stat_ok(self, path):
        return isinstance(self.stat(path), Reader)

    def end(self):
        assert super().end() == 0, "the server failed at the end of the session"


def upload_until_refused(c, path, limit):
    """Writes CHUNK after CHUNK until the server refuses. Returns the bytes
    acknowledged and the refusing status."""
    status, handle = c.open(path)
    assert status == OK, "open for writing failed with %d" % status
    data = content(limit)
    acked = 0
    while acked < limit:
        status = c.write(handle, acked, data[acked:acked + CHUNK])
        if status != OK:
            break
        acked += len(data[acked:acked + CHUNK])
    c.close(handle)
    return acked, status


def check_on_disk(local, acked, most):
    """Every acknowledged byte is there; what lies beyond is the file's own."""
    with open(local, "rb") as f:
        got = f.read()
    assert acked <= len(got) <= most, "%d bytes on disk, %d acknowledged" % (len(got), acked)
    assert got == content(most)[:len(got)], "the file's bytes differ from what was written"


def full_file_system(mount, version):
    c = Client(mount, version)
    acked, status = upload_until_refused(c, "/big", 4 << 20)
    want = NO_SPACE if version > 3 else FAILURE
    assert acked < 4 << 20, "4 MiB written to a 1 MiB file system"
    assert status == want, "a full disk answered %d, not %d" % (status, want)
    check_on_disk(os.path.join(mount, "big"), acked, 4 << 20)
    # Room again once the file is gone: the server recovers.
    assert c.status(13, s("/big")) == OK and not os.path.exists(os.path.join(mount, "big"))
    assert upload_until_refused(c, "/small", 1000) == (1000, OK)
    assert c.status(13, s("/small")) == OK
    c.end()


def read_only_file_system(mount, source, version):
    want = WRITE_PROTECT if version > 3 else PERMISSION_DENIED
    before = snapshot(source)
    c = Client(mount, version)
    attempts = {
        "create": lambda: c.open("/new")[0],
        "truncate": lambda: c.open("/keep.txt")[0],
        "mkdir": lambda: c.status(14, s("/made") + c.attrs(2)),
        "remove": lambda: c.status(13, s("/keep.txt")),
        "rename": lambda: c.rename("/keep.txt", "/moved.txt"),
        "rmdir": lambda: c.status(15, s("/sub")),
        "setstat": lambda: c.status(9, s("/keep.txt") + c.attrs(1, 0x4, 0o600)),
    }
    wrong = ["%s answered %d" % (name, got) for name, got in
             ((name, attempt()) for name, attempt in attempts.items()) if got != want]
    assert not wrong, "not %d: %s" % (want, ", ".join(wrong))
    status, handle = c.open("/keep.txt", write=False)
    assert status == OK, "reading failed with %d" % status
    assert c.read(handle, 0, 100) == b"kept\n", "reading gave other bytes"
    c.close(handle)
    c.end()
    assert snapshot(source) == before, "the read-only tree changed"


def size_limit(directory, version):
    limit = 100000  # not a multiple of the write size: one write is cut short
    c = Client(directory, version, fsize=limit)
    acked, status = upload_until_refused(c, "/limited", 256 << 10)
    assert status == FAILURE, "the size limit answered %d, not %d" % (status, FAILURE)
    assert acked <= limit, "%d bytes acknowledged beyond a %d byte limit" % (acked, limit)
    check_on_disk(os.path.join(directory, "limited"), acked, limit)
    assert c.stat_ok("/limited"), "the server stopped serving after the limit"
    c.end()


def snapshot(top):
    out = {}
    for base, dirs, files in os.walk(top):
        for name in dirs + files:
            p = os.path.join(base, name)
            st = os.lstat(p)
            data = open(p, "rb").read() if name in files else b""
            out[os.path.relpath(p, top)] = (st.st_mode, data)
    return out


def mount(*args):
    return subprocess.run(["mount", *args], capture_output=True, text=True)


def main():
    work = tempfile.mkdtemp(prefix="kiln-e2e-faults.")
    results = {"pass": 0, "skip": 0, "fail": 0}
    mounted = []

    def case(name, fn, *args):
        try:
            fn(*args)
            results["pass"] += 1
            print("PASS", name)
        except Exception as e:  # noqa: BLE001 - every failure is reported
            results["fail"] += 1
            print("FAIL", name, repr(e))

    try:
        full = os.path.join(work, "full")
        os.mkdir(full)
        r = mount("-t", "tmpfs", "-o", "size=1m", "kiln-e2e-full", full)
        if r.returncode == 0:
            mounted.append(full)
            for v in (3, 6):
                case("full file system, version %d" % v, full_file_system, full, v)
        else:
            results["skip"] += 2
            print("SKIP full file system: cannot mount a tmpfs here:", r.stderr.strip())

        source, ro = os.path.join(work, "source"), os.path.join(work, "ro")
        os.makedirs(os.path.join(source, "sub"))
        os.mkdir(ro)
        with open(os.path.join(source, "keep.txt"), "w") as f:
            f.write("kept\n")
        r = mount("--bind", source, ro)
        if r.returncode == 0:
            mounted.append(ro)
            r = mount("-o", "remount,bind,ro", ro)
        if r.returncode == 0:
            for v in (3, 6):
                case("read-only file system, version %d" % v, read_only_file_system, ro, source, v)
        else:
            results["skip"] += 2
            print("SKIP read-only file system: cannot bind-mount here:", r.stderr.strip())

        for v in (3, 6):
            limited = os.path.join(work, "limited%d" % v)
            os.mkdir(limited)
            case("file size limit, version %d" % v, size_limit, limited, v)
    finally:
        for proc in servers:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
        for m in reversed(mounted):
            # Lazily when still busy: no mount may outlive the test.
            if subprocess.run(["umount", m], check=False).returncode != 0:
                subprocess.run(["umount", "-l", m], check=False)
        shutil.rmtree(work, ignore_errors=True)
    print("faults: %(pass)d passed, %(skip)d skipped, %(fail)d failed" % results)
    if results["fail"]:
        return 1
    return 0 if results["pass"] else 77


if __name__ == "__main__":
    sys.exit(main())
