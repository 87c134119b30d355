"""Raw SFTP packets to and from a kiln-sftp-server child process, for the
end-to-end scripts that need requests and answers no real client exposes."""
import os
import struct
import subprocess

STATUS = 101


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


class RawSession:
    """One server process, one session at `version`, requests numbered in
    turn. Extra keyword arguments go to Popen."""

    def __init__(self, command, version, name="the server", **popen):
        self.name, self.version, self.next_id = name, version, 0
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

    def recv(self):
        """The next packet's type and body."""
        head = self.proc.stdout.read(4)
        if len(head) < 4:
            raise self._ended()
        n = struct.unpack(">I", head)[0]
        assert n > 0, "%s sent an empty packet" % self.name
        data = self.proc.stdout.read(n)
        if len(data) < n:
            raise self._ended()
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

    def end(self, timeout=30):
        """Closes the session; the server's exit status once it has ended."""
        try:
            self.proc.stdin.close()
        except BrokenPipeError:
            pass  # it has ended already
        return self.proc.wait(timeout=timeout)
