#!/usr/bin/python3
"""Load and soak through a real sshd: many concurrent paramiko sessions doing
mixed uploads, downloads, listings, renames and removes with checksums on one
shared tree, while whole client processes are killed at random.

Started by soak.sh, which runs the sshd. Every session writes what the server
acknowledged to its own log before going on (an appended line survives the
kill of its process); afterwards the tree is checked against every log: each
acknowledged byte is on disk, each finished file has its checksum, each
acknowledged rename and remove took effect. While the sessions run, /proc of
every server process is sampled: those that live through the whole run must
keep their file-descriptor count and RSS flat.

The defaults suit CI; KILN_SOAK_SECONDS and KILN_SOAK_SESSIONS make a longer
or larger run."""
import argparse
import hashlib
import os
import random
import signal
import subprocess
import sys
import threading
import time

import paramiko

PER_PROCESS = 5  # sessions (threads) per client process
DIRS = ["d0", "d1", "d2", "d3", "d4"]
SIZES = [0, 1, 4095, 32768, 65537, 200000, 700000]
CHUNK = 32768  # paramiko's request size: one write, one acknowledgement


def expected(key, length):
    """The content of a file is a function of its first name and length."""
    return hashlib.shake_256(key.encode()).digest(length) if length else b""


def digest(data):
    return hashlib.sha256(data).hexdigest()


# ---- One client process --------------------------------------------------------

class Session:
    def __init__(self, args, sid, deadline):
        self.args, self.sid, self.deadline = args, sid, deadline
        self.rng = random.Random(sid * 7919 + args.seed)
        self.mine = {}  # path -> (key, length) of finished files
        self.count = 0
        self.log_fd = os.open(os.path.join(args.work, "acks", "%d.log" % sid),
                              os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)

    def record(self, *fields):
        os.write(self.log_fd, (" ".join(str(f) for f in fields) + "\n").encode())

    def connect(self):
        client = paramiko.SSHClient()
        client.load_host_keys(os.path.join(self.args.work, "known_hosts"))
        client.set_missing_host_key_policy(paramiko.RejectPolicy())
        client.connect("127.0.0.1", self.args.port, username=self.args.user,
                       key_filename=os.path.join(self.args.work, "user_key"),
                       look_for_keys=False, allow_agent=False, timeout=60,
                       banner_timeout=120, auth_timeout=120)
        return client, client.open_sftp()

    def upload(self, sftp):
        self.count += 1
        key = "s%d-%d" % (self.sid, self.count)
        path = "%s/%s" % (self.rng.choice(DIRS), key)
        length = self.rng.choice(SIZES)
        data = expected(key, length)
        with sftp.open(path, "wb") as f:
            for at in range(0, length, CHUNK):
                f.write(data[at:at + CHUNK])
                self.record("W", path, key, min(at + CHUNK, length), length)
        self.record("C", path, key, length)
        self.mine[path] = (key, length)

    def download(self, sftp):
        if self.mine and self.rng.random() < 0.6:
            path = self.rng.choice(sorted(self.mine))
            key, length = self.mine[path]
            want = digest(expected(key, length))
        else:
            path = "fixtures/f%d" % self.rng.randrange(self.args.fixtures)
            want = self.args.fixture_digests[path]
        with sftp.open(path, "rb") as f:
            got = f.read()
        if digest(got) != want:
            raise AssertionError("checksum of %s differs after download" % path)

    def listing(self, sftp):
        d = self.rng.choice(DIRS)
        names = set(sftp.listdir(d))
        for path in self.mine:
            if path.startswith(d + "/") and path[len(d) + 1:] not in names:
                raise AssertionError("%s is missing from the listing of %s" % (path, d))

    def rename(self, sftp):
        if not self.mine:
            return
        old = self.rng.choice(sorted(self.mine))
        key, length = self.mine.pop(old)
        new = "%s/%s.r%d" % (self.rng.choice(DIRS), key, self.rng.randrange(1000000))
        self.record("r", old, new)
        sftp.rename(old, new)
        self.record("R", old, new)
        self.mine[new] = (key, length)
        if sftp.stat(new).st_size != length:
            raise AssertionError("%s has the wrong size after rename" % new)

    def remove(self, sftp):
        if not self.mine:
            return
        path = self.rng.choice(sorted(self.mine))
        del self.mine[path]
        self.record("d", path)
        sftp.remove(path)
        self.record("D", path)

    def run(self):
        client, sftp = self.connect()
        # Logins queue up on a loaded machine; every session still gets long
        # enough to tell a steady state from a leak.
        deadline = max(self.deadline, time.time() + 0.5 * self.args.seconds)
        ops = [self.upload] * 4 + [self.download] * 3 + [self.listing] * 2 + \
              [self.rename, self.remove]
        while time.time() < deadline:
            self.rng.choice(ops)(sftp)
        sftp.close()
        client.close()


def worker(args):
    deadline = time.time() + args.seconds
    failures = []

    def one(sid):
        try:
            Session(args, sid, deadline).run()
        except Exception as e:  # noqa: BLE001 - every failure is reported
            failures.append("session %d: %r" % (sid, e))

    threads = [threading.Thread(target=one, args=(sid,)) for sid in args.sessions]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for f in failures:
        print("FAIL", f, flush=True)
    return 1 if failures else 0


# ---- The driver --------------------------------------------------------------------

def server_processes(server, root):
    """pid -> (rss in KiB, open descriptors) of every server of this run."""
    found = {}
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                argv = f.read().split(b"\0")
            if argv[0] != server.encode() or root.encode() not in argv:
                continue
            with open("/proc/%s/status" % pid) as f:
                rss = next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))
            fds = len(os.listdir("/proc/%s/fd" % pid))
        except (OSError, StopIteration):
            continue  # ended meanwhile
        found[int(pid)] = (rss, fds)
    return found


def check_flat(samples, seconds):
    """Servers that lived through most of the run: RSS and descriptors once
    warmed up (the second quarter of their life) against the last quarter.
    Returns the failures and the number of servers checked."""
    failures, checked = [], 0
    by_pid = {}
    for t, procs in samples:
        for pid, value in procs.items():
            by_pid.setdefault(pid, []).append((t, value))
    for pid, series in by_pid.items():
        first, last = series[0][0], series[-1][0]
        life = last - first
        if life < 0.4 * seconds:
            continue
        base = [v for t, v in series if first + 0.25 * life <= t <= first + 0.5 * life]
        late = [v for t, v in series if t >= first + 0.75 * life]
        if not base or not late:
            continue
        checked += 1
        rss0, fd0 = max(v[0] for v in base), max(v[1] for v in base)
        rss1, fd1 = max(v[0] for v in late), max(v[1] for v in late)
        # Generous: allocator noise and a cache or two may grow, a leak of
        # one descriptor or buffer per request may not.
        if fd1 > fd0 + 8:
            failures.append("server %d: descriptors grew from %d to %d" % (pid, fd0, fd1))
        if rss1 > rss0 * 1.5 + 8192:
            failures.append("server %d: RSS grew from %d KiB to %d KiB" % (pid, rss0, rss1))
    return failures, checked


def verify_tree(root, work):
    """Replays every session's log against the tree."""
    failures = []

    def content_ok(path, key, low, high):
        """The file holds between low and high bytes of its content."""
        try:
            with open(os.path.join(root, path), "rb") as f:
                data = f.read()
        except OSError as e:
            return "%s: %s" % (path, e.strerror)
        if not low <= len(data) <= high or data != expected(key, high)[:len(data)]:
            return "%s: %d bytes, not the acknowledged %d..%d of its content" % (
                path, len(data), low, high)
        return None

    checked = 0
    for name in sorted(os.listdir(os.path.join(work, "acks"))):
        state = {}  # key -> the last thing acknowledged or attempted
        where = {}  # path -> key
        with open(os.path.join(work, "acks", name)) as f:
            for line in f:
                rec = line.split()
                if not line.endswith("\n"):
                    break  # torn by the kill: the operation was not acknowledged
                if rec[0] == "W":
                    state[rec[2]] = ("partial", rec[1], int(rec[3]), int(rec[4]))
                    where[rec[1]] = rec[2]
                elif rec[0] == "C":
                    state[rec[2]] = ("done", rec[1], int(rec[3]))
                    where[rec[1]] = rec[2]
                elif rec[0] in ("r", "R"):
                    key = where[rec[1]]
                    length = state[key][-1]
                    if rec[0] == "r":
                        state[key] = ("renaming", rec[1], rec[2], length)
                    else:
                        state[key] = ("done", rec[2], length)
                        where[rec[2]] = key
                elif rec[0] in ("d", "D"):
                    key = where[rec[1]]
                    state[key] = ("removing" if rec[0] == "d" else "gone", rec[1], state[key][-1])
        for key, st in state.items():
            checked += 1
            kind, path = st[0], st[1]
            exists = os.path.lexists(os.path.join(root, path))
            problem = None
            if kind == "partial":
                problem = content_ok(path, key, st[2], st[3])
            elif kind == "done":
                problem = content_ok(path, key, st[2], st[2])
            elif kind == "renaming":
                there = os.path.lexists(os.path.join(root, st[2]))
                if exists == there:
                    problem = "%s -> %s: %s" % (path, st[2], "both names exist" if there
                                                else "neither name exists")
                else:
                    problem = content_ok(st[2] if there else path, key, st[3], st[3])
            elif kind == "removing":
                problem = exists and content_ok(path, key, st[2], st[2])
            elif exists:
                problem = "%s still exists after its removal was acknowledged" % path
            if problem:
                failures.append("%s %s" % (name, problem))
    return failures, checked


def driver(args):
    os.makedirs(os.path.join(args.work, "acks"))
    for d in DIRS + ["fixtures"]:
        os.mkdir(os.path.join(args.root, d))
    digests = {}
    for i in range(args.fixtures):
        data = os.urandom(random.choice([1000, 100000, 1 << 20]))
        with open(os.path.join(args.root, "fixtures", "f%d" % i), "wb") as f:
            f.write(data)
        digests["fixtures/f%d" % i] = digest(data)
    digest_file = os.path.join(args.work, "fixtures.sha256")
    with open(digest_file, "w") as f:
        f.writelines("%s %s\n" % kv for kv in digests.items())

    base = [sys.executable, os.path.abspath(__file__), "--worker", "--port", str(args.port),
            "--work", args.work, "--root", args.root, "--user", args.user,
            "--server", args.server, "--fixtures", str(args.fixtures),
            "--seed", str(args.seed)]
    start = time.time()
    next_sid = 0
    workers = {}  # pid -> Popen

    def launch(seconds):
        nonlocal next_sid
        sids = list(range(next_sid, next_sid + PER_PROCESS))
        next_sid += PER_PROCESS
        p = subprocess.Popen(base + ["--seconds", str(seconds),
                                     "--sessions", ",".join(map(str, sids))])
        workers[p.pid] = p

    for _ in range(args.sessions // PER_PROCESS):
        launch(args.seconds)
    rng = random.Random(args.seed)
    kill_at = sorted(rng.uniform(0.15, 0.7) * args.seconds for _ in range(args.kills))
    killed = set()
    samples = []
    while time.time() - start < args.seconds + 60:
        now = time.time() - start
        samples.append((now, server_processes(args.server, args.root)))
        if kill_at and now >= kill_at[0]:
            kill_at.pop(0)
            alive = [pid for pid, p in workers.items() if p.poll() is None and pid not in killed]
            if alive:
                victim = rng.choice(alive)
                os.kill(victim, signal.SIGKILL)
                killed.add(victim)
                print("killed client process %d at %.0f s" % (victim, now), flush=True)
                launch(max(5, args.seconds - now))  # keep the load up
        if all(p.poll() is not None for p in workers.values()):
            break
        time.sleep(1)

    failures = []
    for pid, p in workers.items():
        if p.poll() is None:
            failures.append("client process %d did not finish in time" % pid)
            p.kill()
        p.wait()
        if pid not in killed and p.returncode != 0:
            failures.append("client process %d failed (exit status %d)" % (pid, p.returncode))

    # Every client has gone, killed or not: so must every server, while sshd
    # still runs.
    for _ in range(100):
        left = server_processes(args.server, args.root)
        if not left:
            break
        time.sleep(0.2)
    else:
        failures.append("server processes left 20 s after their clients ended: %s" % sorted(left))

    flat_failures, flat_checked = check_flat(samples, args.seconds)
    failures += flat_failures
    if flat_checked < args.sessions // 2:
        failures.append("only %d servers lived through the run to check for growth" % flat_checked)
    tree_failures, files = verify_tree(args.root, args.work)
    failures += tree_failures
    for f in failures:
        print("FAIL", f)
    print("soak: %d sessions over %d s, %d client processes killed, %d files checked, "
          "%d long-lived servers flat" % (next_sid, args.seconds, len(killed), files,
                                          flat_checked - len(flat_failures)))
    return 1 if failures else 0


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--worker", action="store_true")
    p.add_argument("--port", type=int, required=True)
    p.add_argument("--work", required=True)
    p.add_argument("--root", required=True)
    p.add_argument("--user", required=True)
    p.add_argument("--server", required=True)
    p.add_argument("--seconds", type=float,
                   default=float(os.environ.get("KILN_SOAK_SECONDS", "60")))
    p.add_argument("--sessions", default=os.environ.get("KILN_SOAK_SESSIONS", "50"))
    p.add_argument("--fixtures", type=int, default=4)
    p.add_argument("--kills", type=int, default=3)
    p.add_argument("--seed", type=int, default=int(os.environ.get("KILN_SOAK_SEED",
                                                                  str(os.getpid()))))
    args = p.parse_args()
    if args.worker:
        args.sessions = [int(s) for s in args.sessions.split(",")]
        args.fixture_digests = {}
        with open(os.path.join(args.work, "fixtures.sha256")) as f:
            for line in f:
                path, value = line.split()
                args.fixture_digests[path] = value
        return worker(args)
    args.sessions = int(args.sessions)
    print("soak seed %d (KILN_SOAK_SEED repeats it)" % args.seed, flush=True)
    return driver(args)


if __name__ == "__main__":
    sys.exit(main())
