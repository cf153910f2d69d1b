"""A file system that stops answering, and a process that holds a file on it.

    unshare -m python3 fuse_holder.py MOUNTPOINT NAME COMMAND {hang|fail}

Mounts a FUSE file system of one file, NAME, on MOUNTPOINT (in the mount
namespace it was started in), serves it until a process named COMMAND (a
copy of sleep) has opened the file, prints "ready <pid of that process>",
and then: with "hang", reads every request and answers none, as a stale
sshfs or a hung GVFS does; with "fail", answers every request with EIO, so
that nothing of the file can be learnt but the text of its /proc link. It
runs until it is killed; its end aborts the connection, which ends every
request still waiting on it.

The kernel's FUSE protocol spoken directly: /dev/fuse and mount(2) need no
library.
"""

import ctypes
import errno
import os
import shutil
import stat
import struct
import subprocess
import sys
import tempfile
import threading
import time

# Operations (linux/fuse.h).
LOOKUP, FORGET, GETATTR, OPEN, RELEASE, FLUSH, INIT, INTERRUPT, BATCH_FORGET = \
    1, 2, 3, 14, 18, 25, 26, 36, 42
NO_REPLY = {FORGET, INTERRUPT, BATCH_FORGET}
IN_HEADER = struct.Struct("<IIQQIIIHH")
OUT_HEADER = struct.Struct("<IiQ")
ROOT, FILE = 1, 2


def attr(node):
    """fuse_attr of the root folder or the file, valid for no time at all:
    every look at it asks this daemon again."""
    mode = (stat.S_IFDIR | 0o755) if node == ROOT else (stat.S_IFREG | 0o644)
    return struct.pack("<QQQQQQIIIIIIIIII", node, 0, 0, 0, 0, 0, 0, 0, 0, mode, 1, 0, 0, 0,
                       4096, 0)


def answer(op, node, body):
    """The reply's error and body to a request while the daemon still serves."""
    if op == INIT:
        # major 7, minor 31; no flags; max_write 4096; the rest of fuse_init_out zero.
        return 0, struct.pack("<IIIIHHIIHHI7I", 7, 31, 0, 0, 0, 0, 4096, 1, 0, 0, 0,
                              *([0] * 7))
    if op == LOOKUP:
        name = body.split(b"\0", 1)[0].decode()
        if node != ROOT or name != sys.argv[2]:
            return -errno.ENOENT, b""
        return 0, struct.pack("<QQQQII", FILE, 0, 0, 0, 0, 0) + attr(FILE)
    if op == GETATTR:
        return 0, struct.pack("<QII", 0, 0, 0) + attr(node)
    if op == OPEN:
        return 0, struct.pack("<QII", 0, 0, 0)
    if op in (FLUSH, RELEASE):
        return 0, b""
    return -errno.ENOSYS, b""


def serve(fuse, mode):
    """Reads requests for ever; answers them while mode["serving"], then
    never (hang) or with EIO (fail)."""
    while True:
        try:
            request = os.read(fuse, 1 << 20)
        except OSError as error:
            if error.errno in (errno.EINTR, errno.ENOENT):  # an interrupted request
                continue
            return
        length, op, unique, node, *_ = IN_HEADER.unpack_from(request)
        if op in NO_REPLY:
            continue
        if mode["serving"]:
            error, body = answer(op, node, request[IN_HEADER.size:length])
        elif mode["after"] == "fail":
            error, body = -errno.EIO, b""
        else:
            continue
        os.write(fuse, OUT_HEADER.pack(OUT_HEADER.size + len(body), error, unique) + body)


def main():
    mountpoint, name, command, after = sys.argv[1:5]
    libc = ctypes.CDLL(None, use_errno=True)
    # The namespace's mounts are its own: none of them reaches the machine's.
    if libc.mount(b"none", b"/", None, 0x4000 | 0x40000, None) != 0:  # MS_REC | MS_PRIVATE
        sys.exit(f"mount --make-rprivate /: {os.strerror(ctypes.get_errno())}")
    os.makedirs(mountpoint, exist_ok=True)
    fuse = os.open("/dev/fuse", os.O_RDWR)
    options = f"fd={fuse},rootmode=40000,user_id=0,group_id=0".encode()
    if libc.mount(b"kqfuse", mountpoint.encode(), b"fuse", 0x2 | 0x4, options) != 0:
        sys.exit(f"mount of the FUSE file system: {os.strerror(ctypes.get_errno())}")
    mode = {"serving": True, "after": after}
    threading.Thread(target=serve, args=(fuse, mode), daemon=True).start()

    scratch = tempfile.mkdtemp()
    program = os.path.join(scratch, command)
    shutil.copy("/bin/sleep", program)
    holder = subprocess.Popen(
        ["/bin/sh", "-c", 'exec 3<"$1" && echo ready && exec "$0" 3600', program,
         os.path.join(mountpoint, name)], stdout=subprocess.PIPE, text=True)
    if holder.stdout.readline().strip() != "ready":
        sys.exit("the holder could not open the file")
    # Until the exec: its name is the command's then.
    while open(f"/proc/{holder.pid}/comm", "rb").read().rstrip(b"\n") != \
            os.fsencode(command)[:15]:
        time.sleep(0.005)
    mode["serving"] = False
    print("ready", holder.pid, flush=True)
    holder.wait()


if __name__ == "__main__":
    main()
