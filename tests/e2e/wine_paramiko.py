#!/usr/bin/python3
"""paramiko's SFTPClient served by kiln-sftp-server.exe under Wine, over a
socket pair: tests/e2e/wine_paramiko.py BIN_DIR. The caller sets up
WINEPREFIX. Each case checks the client's view and the files on the host."""
import hashlib
import os
import shutil
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from sftp_raw import paramiko_session  # noqa: E402

binary = os.path.join(sys.argv[1], "kiln-sftp-server.exe")
work = tempfile.mkdtemp(prefix="kiln-wine-paramiko.")
root = os.path.join(work, "root")
os.makedirs(os.path.join(work, "outside"))
os.mkdir(root)
with open(os.path.join(work, "outside", "secret.txt"), "w") as f:
    f.write("secret\n")
# A host link that leads out of the root: Wine follows it, the provider must not.
os.symlink(os.path.join(work, "outside"), os.path.join(root, "out"))
winroot = "Z:" + root.replace("/", "\\")
sftp, proc = paramiko_session(["wine", binary, "-e", "-l", "ERROR", "--root", winroot])
failed = 0


def case(name, fn):
    global failed
    try:
        fn()
        print("PASS", name)
    except Exception as e:  # noqa: BLE001 - every failure is reported
        failed = 1
        print("FAIL", name, repr(e))


def refused(fn, *args):
    try:
        fn(*args)
    except IOError:
        return
    raise AssertionError("%s%r was not refused" % (fn.__name__, args))


def transfers():
    data = os.urandom(5 << 20)
    with sftp.open("/data.bin", "wb") as f:
        f.write(data)
    with sftp.open("/data.bin", "rb") as f:
        back = f.read()
    with open(os.path.join(root, "data.bin"), "rb") as f:
        on_disk = f.read()
    digest = hashlib.sha256(data).digest()
    assert hashlib.sha256(back).digest() == digest and hashlib.sha256(on_disk).digest() == digest
    assert sftp.stat("/data.bin").st_size == len(data)


def names():
    sftp.mkdir("/d")
    sftp.rename("/data.bin", "/d/moved.bin")
    assert [a.filename for a in sftp.listdir_attr("/d")] == ["moved.bin"]
    sftp.remove("/d/moved.bin")
    sftp.rmdir("/d")
    assert not os.path.exists(os.path.join(root, "d"))


def confinement():
    assert sorted(sftp.listdir("/..")) == sorted(sftp.listdir("/"))
    assert sftp.normalize("/../..") == "/"
    refused(sftp.open, "/out/secret.txt")
    refused(sftp.listdir, "/out")
    refused(sftp.open, "/out/new.txt", "w")
    assert not os.path.exists(os.path.join(work, "outside", "new.txt"))


def windows_names():
    for name in ("a:b", "CON", "x?", "trailing."):
        refused(sftp.open, "/" + name, "w")
    assert sorted(os.listdir(root)) == ["out"]


case("upload and download with checksums", transfers)
case("mkdir, rename, listing, remove", names)
case("nothing outside the root", confinement)
case("names Windows cannot hold are refused", windows_names)
sftp.close()
proc.wait(timeout=60)
shutil.rmtree(work, ignore_errors=True)
sys.exit(failed)
