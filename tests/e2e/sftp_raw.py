"""Raw SFTP packets to and from a kiln-sftp-server child process, for the
end-to-end scripts that need requests and answers no real client exposes;
and paramiko's client over a socket pair, for those that want a real one
beside them."""
import os
import select
import socket
import struct
import subprocess
import time

STATUS, HANDLE, DATA, ATTRS, EXTENDED_REPLY = 101, 102, 103, 105, 201
OK, EOF = 0, 1
REGULAR, DIRECTORY = 1, 2


def s(b):
    """An SFTP string: a length, then the bytes (text is sent as UTF-8)."""
    b = b.encode() if isinstance(b, str) else b
    return struct.pack(">I", len(b)) + b


def server_command(root):
    """The server over `root` with the module the test environment names,
    logging errors only."""
    return [os.environ["KILN_SFTP_SERVER"], "--module", os.environ["KILN_SFTP_MODULE"],
            "--root", root, "-e", "-l", "ERROR"]


class Reader:
    """Reads the fields of a reply in order. Running past its end is an
    error: a short reply must not parse as a different one."""

    def __init__(self, data):
        self.data, self.at = data, 0

    def take(self, n):
        if self.at + n > len(self.data):
            raise AssertionError("reply of %d bytes ends before byte %d" %
                                 (len(self.data), self.at + n))
        self.at += n
        return self.data[self.at - n:self.at]

    def unpack(self, fmt):
        """The values of a struct format; a single value bare."""
        values = struct.unpack(fmt, self.take(struct.calcsize(fmt)))
        return values if len(values) > 1 else values[0]

    def u8(self):
        return self.take(1)[0]

    def u32(self):
        return self.unpack(">I")

    def u64(self):
        return self.unpack(">Q")

    def string(self):
        return self.take(self.u32())


def read_attrs(r, version):
    """An ATTRS of `version` from the Reader `r`: the fields present, by
    name. Owner is (uid, gid) at version 3 and (owner, group) after; times
    are seconds at version 3 and (seconds, nanoseconds or 0) after; acl is
    the blob; bits is (bits, valid), valid 0 before version 6."""
    a = {}
    flags = r.u32()
    if version == 3:
        if flags & 0x1:
            a["size"] = r.u64()
        if flags & 0x2:
            a["owner"] = (r.u32(), r.u32())
        if flags & 0x4:
            a["permissions"] = r.u32()
        if flags & 0x8:
            a["atime"], a["mtime"] = r.u32(), r.u32()
    else:
        a["type"] = r.u8()
        if flags & 0x1:
            a["size"] = r.u64()
        if flags & 0x400:
            a["allocation"] = r.u64()
        if flags & 0x80:
            a["owner"] = (r.string(), r.string())
        if flags & 0x4:
            a["permissions"] = r.u32()
        times = ((0x8, "atime"), (0x10, "createtime"), (0x20, "mtime"), (0x8000, "ctime"))
        for bit, name in times:
            if flags & bit:
                a[name] = (r.u64(), r.u32() if flags & 0x100 else 0)
        if flags & 0x40:
            a["acl"] = r.string()
        if flags & 0x200:
            a["bits"] = (r.u32(), r.u32() if version >= 6 else 0)
        if flags & 0x800:
            a["text_hint"] = r.u8()
        if flags & 0x1000:
            a["mime_type"] = r.string()
        if flags & 0x2000:
            a["link_count"] = r.u32()
        if flags & 0x4000:
            a["untranslated"] = r.string()
    if flags & 0x80000000:
        a["extended"] = [(r.string(), r.string()) for _ in range(r.u32())]
    return a


class RawSession:
    """One server process, one session at `version`, requests numbered in
    turn. With a `timeout`, a reply that takes longer in coming is an error.
    Extra keyword arguments go to Popen."""

    def __init__(self, command, version, name="the server", timeout=None, **popen):
        self.name, self.version, self.next_id, self.timeout = name, version, 0, timeout
        self.proc = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     **popen)
        try:
            self.send(1, struct.pack(">I", version))
            rtype, data = self.recv()
            assert rtype == 2 and data[:4] == struct.pack(">I", version), \
                "%s: version %d not negotiated" % (self.name, version)
        except BaseException:
            # Nobody holds a session that failed to start: stop its server here.
            self.proc.kill()
            self.proc.wait()
            raise

    def _ended(self):
        try:
            code = self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            code = "none, still running"
        return AssertionError("%s ended (exit status %s)" % (self.name, code))

    def send(self, ptype, body):
        try:
            self.proc.stdin.write(struct.pack(">IB", len(body) + 1, ptype) + body)
            self.proc.stdin.flush()
        except BrokenPipeError:
            raise self._ended() from None

    def _read(self, n, deadline):
        # Straight from the descriptor: a buffered read could hold bytes that
        # select does not see.
        data = b""
        while len(data) < n:
            if deadline is not None:
                left = deadline - time.monotonic()
                if left <= 0 or not select.select([self.proc.stdout], [], [], left)[0]:
                    raise AssertionError("%s: no reply within %d s" % (self.name, self.timeout))
            chunk = os.read(self.proc.stdout.fileno(), n - len(data))
            if not chunk:
                raise self._ended()
            data += chunk
        return data

    def recv(self):
        """The next packet's type and body."""
        deadline = None if self.timeout is None else time.monotonic() + self.timeout
        n = struct.unpack(">I", self._read(4, deadline))[0]
        assert n > 0, "%s sent an empty packet" % self.name
        data = self._read(n, deadline)
        return data[0], data[1:]

    def call(self, ptype, body):
        """Sends a request under the next id; the reply's type and body past
        the id."""
        self.next_id += 1
        self.send(ptype, struct.pack(">I", self.next_id) + body)
        rtype, data = self.recv()
        assert data[:4] == struct.pack(">I", self.next_id), \
            "%s: reply to another request" % self.name
        return rtype, data[4:]

    def status(self, ptype, body):
        """The status code of a request answered by a status alone."""
        rtype, data = self.call(ptype, body)
        assert rtype == STATUS, "%s: expected a status, got packet type %d" % (self.name, rtype)
        return Reader(data).u32()

    def _handle_or_status(self, rtype, data):
        if rtype == STATUS:
            return Reader(data).u32()
        assert rtype == HANDLE, "%s: expected a handle, got packet type %d" % (self.name, rtype)
        return Reader(data).string()

    def attrs(self, file_type=REGULAR, flags=0, permissions=None):
        """ATTRS of the session's version: the flags, the type past version
        3, then the permissions if given."""
        body = struct.pack(">I", flags)
        if self.version > 3:
            body += struct.pack(">B", file_type)
        if permissions is not None:
            body += struct.pack(">I", permissions)
        return body

    def open(self, path, access, flags=2, attrs=None):
        """OPEN, by default of an existing file with no attributes; at
        version 3 `access` is the pflags and `flags` goes unused. The handle,
        or the status code of the refusal."""
        if self.version == 3:
            body = s(path) + struct.pack(">I", access)
        else:
            body = s(path) + struct.pack(">II", access, flags)
        rtype, data = self.call(3, body + (self.attrs() if attrs is None else attrs))
        return self._handle_or_status(rtype, data)

    def must_open(self, path, access, flags=2):
        h = self.open(path, access, flags)
        assert isinstance(h, bytes), "%s: open of %s failed with %d" % (self.name, path, h)
        return h

    def close(self, h):
        return self.status(4, s(h))

    def read(self, h, offset, length):
        """The bytes, or the status code of the refusal (EOF at the end)."""
        rtype, data = self.call(5, s(h) + struct.pack(">QI", offset, length))
        return Reader(data).string() if rtype == DATA else Reader(data).u32()

    def write(self, h, offset, data):
        return self.status(6, s(h) + struct.pack(">Q", offset) + s(data))

    def setstat(self, path, attrs):
        return self.status(9, s(path) + attrs)

    def remove(self, path):
        return self.status(13, s(path))

    def rename(self, old, new, flags=0):
        """RENAME; the flags are sent past version 4."""
        return self.status(18, s(old) + s(new) +
                           (struct.pack(">I", flags) if self.version > 4 else b""))

    def block(self, h, offset, length, mask):
        return self.status(22, s(h) + struct.pack(">QQI", offset, length, mask))

    def unblock(self, h, offset, length):
        return self.status(23, s(h) + struct.pack(">QQ", offset, length))

    def stat(self, path, flags=0, ptype=17):
        """STAT, or LSTAT with `ptype` 7, asking for `flags` past version 3:
        a Reader at the attributes, or the status code of the refusal."""
        rtype, data = self.call(ptype, s(path) +
                                (struct.pack(">I", flags) if self.version > 3 else b""))
        if rtype == STATUS:
            return Reader(data).u32()
        assert rtype == ATTRS, "%s: stat of %s gave packet type %d" % (self.name, path, rtype)
        return Reader(data)

    def listing(self, path, parse):
        """OPENDIR, READDIR to the end, CLOSE: every entry's name with what
        `parse` reads of its attributes from a Reader, in the order read."""
        h = self._handle_or_status(*self.call(11, s(path)))
        assert isinstance(h, bytes), "%s: opendir %s failed with %d" % (self.name, path, h)
        entries = []
        while True:
            rtype, data = self.call(12, s(h))
            r = Reader(data)
            if rtype == STATUS:
                assert r.u32() == EOF, "%s: readdir ended with an error" % self.name
                break
            for _ in range(r.u32()):
                name = r.string()
                if self.version == 3:
                    r.string()  # the long name
                entries.append((name, parse(r)))
        self.close(h)
        return entries

    def extended(self, name, body):
        """The body of the EXTENDED_REPLY, or the status code of the refusal."""
        rtype, data = self.call(200, s(name) + body)
        if rtype == STATUS:
            return Reader(data).u32()
        assert rtype == EXTENDED_REPLY, "%s: %s gave packet type %d" % (self.name, name, rtype)
        return data

    def end(self, timeout=30):
        """Closes the session; the server's exit status once it has ended."""
        try:
            self.proc.stdin.close()
        except BrokenPipeError:
            pass  # it has ended already
        return self.proc.wait(timeout=timeout)


class PairChannel:
    """What paramiko's SFTPClient needs of a channel, over a socket pair."""

    def __init__(self, sock):
        self.sock = sock

    def send(self, data):
        return self.sock.send(data)

    def recv(self, n):
        return self.sock.recv(n)

    def recv_ready(self):  # pipelined uploads ask
        return bool(select.select([self.sock], [], [], 0)[0])

    def close(self):
        self.sock.close()

    def get_name(self):
        return "kiln-sftp-server"


def paramiko_session(command, **popen):
    """paramiko's client (version 3) on a server of its own, started as
    `command`; the client and the server process. Extra keyword arguments
    go to Popen."""
    import paramiko
    ours, theirs = socket.socketpair()
    proc = subprocess.Popen(command, stdin=theirs, stdout=theirs, **popen)
    theirs.close()
    return paramiko.SFTPClient(PairChannel(ours)), proc
