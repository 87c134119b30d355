#!/usr/bin/python3
"""Servers on machines of their own over one replicated GlusterFS volume,
and machines that vanish. Every machine is a network namespace on one
switch: two storage machines, each a glusterd with one brick of a replica-2
volume, and three server machines A, B and C, each with its own FUSE client
of the volume and a kiln-sftp-server over it. Checks uploads and downloads
through every server; a server machine cut off from the network while it
holds share modes and byte-range locks (held for the others until the bricks
give up on it, then released, its acknowledged bytes intact, its own client
answered errors, never a false OK, and the error logged in words an
administrator can act on); and a storage machine cut off while the servers
write, healed when it returns, every acknowledged byte then on both bricks.
Exit 77 where Gluster, FUSE or network namespaces cannot run here;
everything started is stopped again, on failure too."""
import hashlib
import os
import signal
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import gluster_volume  # noqa: E402
from sftp_raw import RawSession  # noqa: E402
from gluster import (BLOCK_WRITE, CREATE_NEW, LOCK_CONFLICT, OK, RANGE_LOCK_REFUSED,  # noqa: E402
                     READ, WRITE, Abort, Session, check, failures)

# Seconds a machine may stay silent before its peers give up on it. The
# default run keeps it short; KILN_GLUSTER_PING_TIMEOUT=42 runs with
# Gluster's own default (and a deadline to match).
PING = int(os.environ.get("KILN_GLUSTER_PING_TIMEOUT", "5"))
DEADLINE = 60 + 10 * PING
# The client gives up on a silent brick after network.ping-timeout; a brick
# gives up on a silent client, and drops its locks, once TCP does: keepalive
# probes after keepalive-time idle seconds, the connection dropped after
# tcp-user-timeout without an answer. client.strict-locks: a client that
# comes back does not reopen files whose locks the bricks dropped, so its
# handles fail rather than go on unlocked. cluster.quorum-type auto: with two
# copies, writes need the first brick, so two halves of a split network can
# never both write.
OPTIONS = (("network.ping-timeout", PING), ("server.tcp-user-timeout", PING),
           ("server.keepalive-time", 1), ("server.keepalive-interval", 1),
           ("server.keepalive-count", PING), ("client.strict-locks", "on"),
           ("cluster.quorum-type", "auto"))
STORAGE = (("s1", "10.34.0.11"), ("s2", "10.34.0.12"))
SERVERS = (("A", "10.34.0.21"), ("B", "10.34.0.22"), ("C", "10.34.0.23"))
NOT_READY = 13  # "no media": a volume that does not answer, or lacks quorum

acknowledged = {}  # every file the servers wrote and were answered OK for
bytes_checked = [0]


def same(what, got, expected):
    """Compares by checksum (and counts the bytes compared)."""
    bytes_checked[0] += len(expected)
    check(what, (len(got), hashlib.sha256(got).hexdigest()),
          (len(expected), hashlib.sha256(expected).hexdigest()))


def uploads_everywhere():
    for i, up in enumerate(SESSIONS):
        content = os.urandom((1 << 20) + 4099 * i)
        up.upload("/from-" + up.name, content)
        acknowledged["from-" + up.name] = content
        for down in SESSIONS:
            same("%s's upload through %s" % (up.name, down.name),
                 down.download("/from-" + up.name), content)


def server_cut():
    """A holds /held open denying write (its share marks) and a lock on
    bytes 0-100 of /locked, then its machine drops off the network."""
    global A
    content = os.urandom(1 << 20)
    h = A.must_open("/held", READ | WRITE, CREATE_NEW | BLOCK_WRITE)
    for at in range(0, len(content), 32768):
        assert A.write(h, at, content[at:at + 32768]) == OK
    A.upload("/locked", b"." * 300)
    lock = A.must_open("/locked", READ | WRITE)
    b = B.must_open("/locked", READ | WRITE)
    check("A locks 0-100", A.block(lock, 0, 100, BLOCK_WRITE), OK)
    probes = {  # what B tries, and what answers it while A's hold lasts
        "B opens /held denying write": (
            lambda: B.open("/held", READ | WRITE, 2 | BLOCK_WRITE), LOCK_CONFLICT),
        "B locks 50-60 of /locked": (lambda: B.block(b, 50, 10, BLOCK_WRITE), RANGE_LOCK_REFUSED),
    }
    for what, (probe, held) in probes.items():
        check(what + " before the cut", probe(), held)
    NETWORK.cut("A")
    cut = time.monotonic()
    late = {}
    writer = threading.Thread(target=lambda: late.update(
        write=A.write(h, len(content), b"late"), read=A.read(h, 0, 10),
        stat=A.open("/from-B", READ)))
    writer.start()
    # B polls until A's hold is gone: it must last past the first probes
    # and end within a few ping timeouts.
    released, gained = {}, {}
    while len(released) < len(probes) and time.monotonic() - cut < 4 * PING + 20:
        for what, (probe, held) in probes.items():
            if what in released:
                continue
            got = probe()
            if got == held:
                continue
            released[what] = time.monotonic() - cut
            gained[what] = got
        time.sleep(0.25)
    for what in probes:
        at = released.get(what)
        print("   %s: held for %s s after the cut" %
              (what, "%.1f" % at if at is not None else "ever"))
        check(what + ": held at first, released later", at is not None and at > 1.0, True)
    check("B's open once released", isinstance(gained.get("B opens /held denying write"), bytes),
          True)
    check("B's lock once released", gained.get("B locks 50-60 of /locked"), OK)
    same("what A acknowledged before the cut, through B", B.download("/held"), content)
    acknowledged["held"] = content
    writer.join(timeout=4 * PING + 20)
    print("   A's answers after the cut: write %r, read %r, open %r" %
          (late.get("write"), late.get("read"), late.get("stat")))
    check("A's write after the cut answers an error, never OK",
          late.get("write") not in (OK, None), True)
    check("A's read after the cut answers an error", isinstance(late.get("read"), int), True)
    check("A's open after the cut: the volume does not answer", late.get("stat"), NOT_READY)
    # Back on the network, A's handle is not its own any more: B holds the
    # file now, denying write.
    NETWORK.cut("A", cut=False)
    wait_for_mount(MOUNTS["A"])
    check("A writes through its old handle after the return",
          A.write(h, 0, b"stale") != OK, True)
    same("what B sees after A's return", B.download("/held")[:len(content)], content)
    A.end()
    with open(A.log) as f:
        log = f.read()
    print("   A's log:", log.strip().replace("\n", "\n      "))
    check("A's log says the volume does not answer",
          "kiln-sftp-server: the file system does not answer (transport endpoint is not "
          "connected): its storage servers, or the network to them, are down" in log, True)
    A = start_session("A")
    same("A's new session reads B's upload", A.download("/from-B"), acknowledged["from-B"])


def wait_for_mount(point, limit=30):
    """Until the mount answers again (its client reconnects on its own)."""
    end = time.monotonic() + limit
    while True:
        try:
            os.listdir(point)
            return
        except OSError:
            if time.monotonic() > end:
                raise
            time.sleep(0.5)


def write_everywhere(stem):
    """Every server uploads a file of its own, all at once (each client
    waits out the ping timeout on its own). Each file's content and the
    answer its upload ended with."""
    results = {}

    def upload(i, S):
        name, content = stem + S.name, os.urandom((512 << 10) + 77 * i)
        try:
            results[name] = (content, upload_answer(S, name, content))
        except Exception as e:  # noqa: BLE001 (a session that ended, as the run is stopped)
            results[name] = (content, repr(e))

    def upload_answer(S, name, content):
        h = S.open("/" + name, WRITE, CREATE_NEW)
        answer = h if isinstance(h, int) else OK
        for at in range(0, len(content), 32768) if answer == OK else ():
            answer = S.write(h, at, content[at:at + 32768])
            if answer != OK:
                break
        if not isinstance(h, int):
            closed = RawSession.close(S, h)
            answer = answer if closed == OK else closed
        return answer

    threads = [threading.Thread(target=upload, args=(i, S)) for i, S in enumerate(SESSIONS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return results


def brick_cut():
    """A storage machine drops off while the servers write; it returns and
    heals. With quorum auto writes go on without s2, but not without s1 (the
    first brick), so two halves of a split network never both write."""
    for machine, writable in (("s2", True), ("s1", False)):
        NETWORK.cut(machine)
        cut = time.monotonic()
        results = write_everywhere("while-%s-away-" % machine)
        answers = sorted(set(answer for _, answer in results.values()), key=str)
        print("   uploads while %s was away answered %s after %.1f s" %
              (machine, answers, time.monotonic() - cut))
        if writable:
            check("uploads while %s is away" % machine, answers, [OK])
            acknowledged.update((name, c) for name, (c, answer) in results.items() if answer == OK)
            h = B.must_open("/from-A", WRITE)
            check("B overwrites while %s is away" % machine, B.write(h, 1000, b"B" * 5000), OK)
            B.close(h)
            changed = bytearray(acknowledged["from-A"])
            changed[1000:6000] = b"B" * 5000
            acknowledged["from-A"] = bytes(changed)
        else:
            check("uploads while %s is away are refused" % machine, answers, [NOT_READY])
        # Reads give the acknowledged bytes or an error, never other bytes.
        for attempt in (1, 2):
            got = {name: fetch(C, "/" + name) for name in acknowledged}
            for name, content in acknowledged.items():
                if isinstance(got[name], bytes):
                    same("%s through C while %s is away" % (name, machine), got[name], content)
            refused = sorted((n, a) for n, a in got.items() if not isinstance(a, bytes))
            print("   reads through C %.0f s into %s's absence: %d served, refused: %s" %
                  (time.monotonic() - cut, machine, len(got) - len(refused), refused))
            if writable:
                check("reads while %s is away" % machine, refused, [])
            if not refused:
                break
            time.sleep(PING)
        NETWORK.cut(machine, cut=False)
        back = time.monotonic()
        # The self-heal daemons copy what the machine missed, asked to start
        # at once. Done when both bricks hold every acknowledged byte.
        while time.monotonic() - back < 10 + 6 * PING:
            VOLUME.cli("volume", "heal", gluster_volume.VOLUME, check=False)
            behind = [name for name, content in acknowledged.items()
                      if any(brick_file(b, name) != content or pending(b, name) or pending(b, "")
                             for b in VOLUME.brick_paths)]
            if not behind:
                break
            time.sleep(1)
        print("   %s healed %.1f s after its return; still behind: %s" %
              (machine, time.monotonic() - back, behind[:3]))
        for name, content in sorted(acknowledged.items()):
            for brick in VOLUME.brick_paths:
                same("%s on brick %s after %s returned" % (name, os.path.basename(brick), machine),
                     brick_file(brick, name), content)


def fetch(S, path):
    """The file's bytes, or the status code that refused them."""
    h = S.open(path, READ)
    if isinstance(h, int):
        return h
    out, at = [], 0
    while True:
        got = S.read(h, at, 65536)
        if not isinstance(got, bytes):
            break
        out.append(got)
        at += len(got)
    RawSession.close(S, h)
    return b"".join(out) if got == 1 else got


def pending(brick, name):
    """The copies this brick's copy of `name` says are behind it: the
    replication's markers of writes not yet made on another brick."""
    path = os.path.join(brick, name)
    try:
        return [x for x in os.listxattr(path) if x.startswith("trusted.afr.")
                and any(os.getxattr(path, x))]
    except OSError:
        return ["(none)"]


def brick_file(brick, name):
    try:
        with open(os.path.join(brick, name), "rb") as f:
            return f.read()
    except OSError:
        return b""


def start_session(name):
    """The server on machine `name`, its log (errors only) kept in a file."""
    log = os.path.join(WORK, "log-" + name)
    with open(log, "a") as err:
        S = Session(MOUNTS[name], name, NAMESPACES[name], stderr=err)
    S.log = log
    return S


def reconnect_all():
    for name in NETWORK.machines:
        try:
            NETWORK.cut(name, cut=False)
        except subprocess.CalledProcessError as e:
            failures.append("reconnecting %s: %r" % (name, e))


def missing_prerequisite():
    why = gluster_volume.missing_prerequisite()
    if why:
        return why
    if subprocess.run(["ip", "netns", "list"], capture_output=True).returncode != 0:
        return "ip netns does not work here"
    return None


def main():
    global A, B, C, SESSIONS, NETWORK, VOLUME, MOUNTS, NAMESPACES, WORK
    why = missing_prerequisite()
    if why:
        print("SKIP: cannot run here: %s" % why)
        return 77
    started = time.monotonic()
    parent = os.getcwd()
    gluster_volume.cleanup_stale(parent, "kiln-gluster-machines.")
    WORK = tempfile.mkdtemp(prefix="kiln-gluster-machines.", dir=parent)
    NETWORK = VOLUME = None
    SESSIONS = []
    gluster_volume.arm_deadline(DEADLINE, Abort)
    try:
        NETWORK = gluster_volume.Network()
        NAMESPACES = {name: NETWORK.machine(name, address) for name, address in STORAGE + SERVERS}
        VOLUME = gluster_volume.Volume(WORK, [(n, a, NAMESPACES[n]) for n, a in STORAGE],
                                       replica=2)
        VOLUME.start(OPTIONS)
        MOUNTS = {name: VOLUME.mount("m" + name, True, NAMESPACES[name]) for name, _ in SERVERS}
        A, B, C = (start_session(name) for name, _ in SERVERS)
        SESSIONS[:] = [A, B, C]
        print("   volume and mounts ready after %.1f s" % (time.monotonic() - started))
        for case in (uploads_everywhere, server_cut, brick_cut):
            before = len(failures)
            try:
                case()
            except Exception as e:  # noqa: BLE001
                failures.append("%s: %r" % (case.__name__, e))
            SESSIONS[:] = [A, B, C]
            reconnect_all()  # a case that failed half way leaves no machine cut off
            print("PASS" if len(failures) == before else "FAIL", case.__name__, flush=True)
    except Abort as e:
        failures.append("run stopped: %s" % e)
    except Exception as e:  # noqa: BLE001
        failures.append("setting up: %r" % e)
    finally:
        signal.alarm(0)
        if NETWORK:
            reconnect_all()
        for S in SESSIONS + [globals().get("A")]:
            if S:
                S.end()
        pids, mounts = [], []
        if VOLUME:
            VOLUME.stop()
            pids, mounts = VOLUME.leftovers()
        gluster_volume.remove_namespaces()
        check("processes left running", pids, [])
        check("mounts left", mounts, [])
        if not pids and not mounts and not failures:
            subprocess.run(["rm", "-rf", WORK], check=False)
        else:
            print("left %s for inspection" % WORK)
    print("   %d bytes compared by checksum; the run took %.0f s" %
          (bytes_checked[0], time.monotonic() - started))
    for failure in failures:
        print("  ", failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
