"""A private GlusterFS volume for one test run: its own glusterd with state,
logs and run files under one directory, two bricks on a small tmpfs there,
and FUSE mounts of the volume. Everything it starts it stops again, on
failure too; a run killed before it could clean up is cleaned up by the next
one (cleanup_stale)."""
import glob
import os
import shutil
import signal
import socket
import subprocess
import time

VOLUME = "kiln"
BRICK_SPACE = "256m"  # far below the root file system, so its figure is the volume's
SOCKET_LIST = "brick-sockets"
# Gluster's client-side caches answer one client from what it saw earlier:
# a write held back, a read, an attribute or a listing served from memory.
# Where other servers change the same files, and byte-range locks say who may
# read what, every server must ask the bricks (see the README).
UNCACHED = ("performance.write-behind", "performance.io-cache", "performance.read-ahead",
            "performance.quick-read", "performance.open-behind", "performance.stat-prefetch",
            "performance.readdir-ahead")


def missing_prerequisite():
    """Why this machine cannot run a volume, or None."""
    if os.geteuid() != 0:
        return "needs root (glusterd, FUSE mounts)"
    if not os.path.exists("/dev/fuse"):
        return "no /dev/fuse"
    for tool in ("glusterd", "gluster", "glusterfs"):
        if not shutil.which(tool, path=os.environ.get("PATH", "") + ":/usr/sbin:/sbin"):
            return "%s is not installed (scripts/install-deps)" % tool
    return None


def _sbin(tool):
    return shutil.which(tool, path=os.environ.get("PATH", "") + ":/usr/sbin:/sbin")


def _alive(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except (FileNotFoundError, ProcessLookupError, IndexError):
        return False


def _stop_pid(pid, grace=10.0):
    """SIGTERM, then SIGKILL after `grace` seconds; waits until it is gone."""
    for sig, wait in ((signal.SIGTERM, grace), (signal.SIGKILL, 5.0)):
        try:
            os.kill(pid, sig)
        except ProcessLookupError:
            return
        end = time.time() + wait
        while time.time() < end:
            if not _alive(pid):
                return
            time.sleep(0.05)


def _pids_of(directory):
    """Processes whose command line names `directory`: the bricks and mount
    clients of that run."""
    pids = []
    needle = directory.encode()
    for entry in os.listdir("/proc"):
        if not entry.isdigit() or int(entry) == os.getpid():
            continue
        try:
            with open("/proc/%s/cmdline" % entry, "rb") as f:
                if needle in f.read():
                    pids.append(int(entry))
        except OSError:
            pass
    return [p for p in pids if _alive(p)]


def _mounts_under(directory):
    with open("/proc/self/mounts") as f:
        points = [line.split()[1].encode().decode("unicode_escape") for line in f]
    return sorted((p for p in points if p.startswith(directory + "/")), key=len, reverse=True)


def arm_deadline(seconds, error):
    """Raises `error` in the main thread when the run outlives `seconds` or
    is terminated, so that its clean-up still runs."""
    def abort(signum, _):
        raise error("out of time (%d s)" % seconds if signum == signal.SIGALRM else "terminated")

    signal.signal(signal.SIGALRM, abort)
    signal.signal(signal.SIGTERM, abort)
    signal.alarm(seconds)


def cleanup_stale(parent, prefix):
    """Stops what an earlier run under `parent` left behind when it was
    killed before its own cleanup: its mounts, processes and files."""
    for old in glob.glob(os.path.join(parent, prefix + "*")):
        for point in _mounts_under(old):
            subprocess.run(["umount", "-l", point], check=False)
        for pid in _pids_of(old):
            _stop_pid(pid, grace=2.0)
        try:
            with open(os.path.join(old, SOCKET_LIST)) as f:
                _remove_sockets(f.read().split())
        except OSError:
            pass
        shutil.rmtree(old, ignore_errors=True)


class Peer:
    """One storage machine's glusterd, its state, run files and logs under
    `home`, known to the others and to clients by `address`; in the network
    namespace `netns`, or in this one where that is None."""

    def __init__(self, home, address, netns=None):
        self.home, self.address, self.netns = home, address, netns
        self.state = os.path.join(home, "state")
        self.run_dir = os.path.join(home, "run")
        self.logs = os.path.join(home, "log")
        self.socket = os.path.join(self.run_dir, "glusterd.socket")
        self.process = None
        for d in (self.state, self.run_dir, self.logs):
            os.makedirs(d)

    def cli(self, *args, check=True, timeout=60):
        r = subprocess.run([_sbin("gluster"), "--mode=script", "--glusterd-sock=" + self.socket,
                            "--log-file=" + os.path.join(self.logs, "cli.log")] + list(args),
                           capture_output=True, text=True, timeout=timeout)
        if check and r.returncode != 0:
            raise RuntimeError("gluster %s: %s%s" % (" ".join(args), r.stdout, r.stderr))
        return r

    def start(self):
        volfile = os.path.join(self.home, "glusterd.vol")
        with open(volfile, "w") as f:
            f.write("volume management\n    type mgmt/glusterd\n"
                    "    option working-directory %s\n    option run-directory %s\n"
                    "    option glusterd-sockfile %s\n    option logging-directory %s\n"
                    "    option transport-type socket\n    option ping-timeout 0\n"
                    # Without keepalive options glusterd refuses to probe a peer
                    # (Debian's own glusterd.vol sets these).
                    "    option transport.socket.keepalive-time 10\n"
                    "    option transport.socket.keepalive-interval 2\n"
                    "    option event-threads 1\nend-volume\n"
                    % (self.state, self.run_dir, self.socket, self.logs))
        log = os.path.join(self.logs, "glusterd.log")
        self.process = subprocess.Popen(in_netns(self.netns, [
            _sbin("glusterd"), "-N", "-f", volfile, "-l", log,
            "-p", os.path.join(self.run_dir, "glusterd.pid")]))
        end = time.time() + 30
        while self.cli("volume", "list", check=False).returncode != 0:
            if self.process.poll() is not None or time.time() > end:
                raise RuntimeError("glusterd did not come up (another one on port 24007?); "
                                   "its log:\n" + _tail(log))
            time.sleep(0.2)

    def stop(self):
        if self.process and self.process.poll() is None:
            _stop_pid(self.process.pid)
            self.process.wait(timeout=10)


class Volume:
    """Without `peers`, one glusterd on this machine serves two bricks of a
    distributed volume. Otherwise `peers` are (name, address, network
    namespace) of storage machines, one brick each, and `replica` copies."""

    def __init__(self, work, peers=None, replica=None):
        self.work = work
        self.replica = replica
        self.bricks = os.path.join(work, "bricks")
        os.makedirs(self.bricks)
        if peers is None:
            self.peers = [Peer(work, socket.gethostname())]
            self.brick_paths = ["%s/b%d" % (self.bricks, i) for i in (1, 2)]
        else:
            self.peers = [Peer(os.path.join(work, name), address, netns)
                          for name, address, netns in peers]
            self.brick_paths = ["%s/%s" % (self.bricks, name) for name, _, _ in peers]
        self.logs = self.peers[0].logs
        self.mounts = []
        self.brick_sockets = []

    def cli(self, *args, **kwargs):
        return self.peers[0].cli(*args, **kwargs)

    def start(self, options=()):
        """glusterd on every peer, the volume made, set (UNCACHED off, then
        `options`, pairs of name and value) and started."""
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=" + BRICK_SPACE, "kiln-bricks",
                        self.bricks], check=True)
        for peer in self.peers:
            peer.start()
        for peer in self.peers[1:]:
            self.cli("peer", "probe", peer.address)
        end = time.time() + 30
        while self.cli("peer", "status").stdout.count("(Connected)") < len(self.peers) - 1:
            if time.time() > end:
                raise RuntimeError("peers not connected: " + self.cli("peer", "status").stdout)
            time.sleep(0.2)
        hosts = [p.address for p in self.peers] * (len(self.brick_paths) // len(self.peers))
        layout = ["replica", str(self.replica)] if self.replica else []
        self.cli("volume", "create", VOLUME, *layout,
                 *("%s:%s" % b for b in zip(hosts, self.brick_paths)), "force")
        for option in UNCACHED:
            self.cli("volume", "set", VOLUME, option, "off")
        for name, value in options:
            self.cli("volume", "set", VOLUME, name, str(value))
        self.cli("volume", "start", VOLUME)
        # The bricks' sockets lie outside our directory, in Gluster's run
        # directory: noted, so that stop() or a later run removes them.
        self.brick_sockets = [a for p in _pids_of(self.bricks) for a in _socket_args(p)]
        with open(os.path.join(self.work, SOCKET_LIST), "w") as f:
            f.write("".join(path + "\n" for path in self.brick_sockets))

    def mount(self, name, acl, netns=None):
        """A FUSE mount of the volume, its client in the network namespace
        `netns`. The kernel's caches of attributes, names and file data are
        off, for the reason of UNCACHED."""
        point = os.path.join(self.work, name)
        os.mkdir(point)
        cmd = [_sbin("glusterfs")] + ["--volfile-server=" + p.address for p in self.peers] + [
            "--volfile-id=" + VOLUME, "--attribute-timeout=0", "--entry-timeout=0",
            "--negative-timeout=0", "--direct-io-mode=enable",
            "-l", os.path.join(self.logs, name + ".log"), point]
        if acl:
            cmd.insert(1, "--acl")
        subprocess.run(in_netns(netns, cmd), check=True, timeout=60)
        self.mounts.append(point)
        end = time.time() + 30
        while not os.path.ismount(point):
            if time.time() > end:
                raise RuntimeError("mount %s did not appear" % point)
            time.sleep(0.1)
        return point

    def stop(self):
        """Unmounts, stops the volume, glusterd and the bricks. Every step
        runs whatever the one before did."""
        for point in reversed(self.mounts):
            if subprocess.run(["umount", point], check=False).returncode != 0:
                subprocess.run(["umount", "-l", point], check=False)
        if self.peers[0].process and self.peers[0].process.poll() is None:
            try:
                self.cli("volume", "stop", VOLUME, "force", check=False, timeout=20)
            except subprocess.TimeoutExpired:
                pass  # the bricks are stopped below all the same
        for peer in self.peers:
            peer.stop()
        for pid in _pids_of(self.work):
            _stop_pid(pid, grace=5.0)
        _remove_sockets(self.brick_sockets)
        if os.path.ismount(self.bricks):
            subprocess.run(["umount", "-l", self.bricks], check=False)

    def leftovers(self):
        """Processes and mounts of this run still there after stop()."""
        return _pids_of(self.work), _mounts_under(self.work)


NETNS_PREFIX = "kiln-gl-"


def in_netns(netns, cmd):
    """`cmd` run in the network namespace `netns` (None: this one). Only the
    network is entered: mounts made there are everyone's."""
    return cmd if netns is None else ["nsenter", "--net=/run/netns/" + netns, "--"] + cmd


def _ip(*args):
    subprocess.run(["ip"] + list(args), check=True)


class Network:
    """Machines on one switch: each a network namespace with one link to a
    bridge in a namespace of its own, and one address. Nothing leaves these
    namespaces; namespaces a killed run left are removed first."""

    SWITCH = NETNS_PREFIX + "switch"

    def __init__(self, prefix_len=24):
        self.prefix_len = prefix_len
        self.machines = []
        remove_namespaces()
        _ip("netns", "add", self.SWITCH)
        _ip("-n", self.SWITCH, "link", "add", "switch", "type", "bridge")
        _ip("-n", self.SWITCH, "link", "set", "switch", "up")

    def machine(self, name, address):
        """A new machine; the name of its network namespace."""
        netns = NETNS_PREFIX + name
        _ip("netns", "add", netns)
        self.machines.append(name)
        _ip("-n", self.SWITCH, "link", "add", "port-" + name, "type", "veth", "peer", "name",
            "eth0", "netns", netns)
        _ip("-n", self.SWITCH, "link", "set", "port-" + name, "master", "switch", "up")
        _ip("-n", netns, "addr", "add", "%s/%d" % (address, self.prefix_len), "dev", "eth0")
        _ip("-n", netns, "link", "set", "eth0", "up")
        _ip("-n", netns, "link", "set", "lo", "up")
        return netns

    def cut(self, name, cut=True):
        """Pulls (or, with cut False, plugs back) the machine's cable at the
        switch: it hears nothing and nobody hears it, and nobody is told."""
        _ip("-n", self.SWITCH, "link", "set", "port-" + name, "down" if cut else "up")


def remove_namespaces():
    """Our namespaces (their processes stopped before), the switch last."""
    listed = subprocess.run(["ip", "netns", "list"], capture_output=True, text=True).stdout
    names = [line.split()[0] for line in listed.splitlines() if line.startswith(NETNS_PREFIX)]
    for name in sorted(names, key=lambda n: n == Network.SWITCH):
        subprocess.run(["ip", "netns", "del", name], check=False)


def _socket_args(pid):
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            args = f.read().decode().split("\0")
    except OSError:
        return []
    return [args[i + 1] for i, a in enumerate(args[:-1]) if a == "-S"]


def _remove_sockets(paths):
    for path in paths:
        if path.endswith(".socket") and os.path.exists(path):
            os.unlink(path)


def _tail(path, lines=20):
    try:
        with open(path) as f:
            return "".join(f.readlines()[-lines:])
    except OSError:
        return "(none)"
