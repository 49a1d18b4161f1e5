#!/usr/bin/env python3
"""Writes the seed corpus of rpc_fuzz: one well-formed call per procedure (first byte: port and transport,
as rpc_fuzz reads it). The root's handle is 1; the fuzzer finds the others."""
import os
import struct
import sys

PMAP, MOUNT, NFS = 0, 1, 2
out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "corpus")
os.makedirs(out, exist_ok=True)


def u32(*values):
    return b"".join(struct.pack(">I", v) for v in values)


def u64(v):
    return struct.pack(">Q", v)


def opaque(data):
    return u32(len(data)) + data + b"\0" * (-len(data) % 4)


def handle(h):
    return u32(4, h)


def call(port, program, version, procedure, args=b"", tcp=False):
    header = u32(0x1234, 0, 2, program, version, procedure, 1, 20, 0, 0, 0, 0, 0, 0, 0)
    return bytes([port | (4 if tcp else 0)]) + header + args


seeds = {
    "pmap-null": call(PMAP, 100000, 2, 0),
    "pmap-getport": call(PMAP, 100000, 2, 3, u32(100003, 3, 6, 0)),
    "pmap-dump": call(PMAP, 100000, 2, 4, tcp=True),
    "pmap-gettime": call(PMAP, 100000, 2, 6),
    "mount-mnt": call(MOUNT, 100005, 3, 1, opaque(b"/dir/sub")),
    "mount-umnt": call(MOUNT, 100005, 3, 3, opaque(b"/dir")),
    "mount-umntall": call(MOUNT, 100005, 3, 4),
    "nfs-getattr": call(NFS, 100003, 3, 1, handle(1)),
    "nfs-lookup": call(NFS, 100003, 3, 3, handle(1) + opaque(b"dir")),
    "nfs-lookup-utf8": call(NFS, 100003, 3, 3, handle(1) + opaque("Grüße.txt".encode())),
    "nfs-access": call(NFS, 100003, 3, 4, handle(1) + u32(0x3F)),
    "nfs-read": call(NFS, 100003, 3, 6, handle(2) + u64(0) + u32(1048576), tcp=True),
    "nfs-readdir": call(NFS, 100003, 3, 16, handle(1) + u64(0) + u64(0) + u32(1024)),
    "nfs-readdirplus": call(NFS, 100003, 3, 17, handle(1) + u64(0) + u64(0) + u32(8192, 8192)),
    "nfs-fsstat": call(NFS, 100003, 3, 18, handle(1)),
    "nfs-fsinfo": call(NFS, 100003, 3, 19, handle(1)),
    "nfs-pathconf": call(NFS, 100003, 3, 20, handle(1)),
    "rpc-version-3": call(NFS, 100003, 3, 0)[:9] + u32(3) + call(NFS, 100003, 3, 0)[13:],
}
for name, data in seeds.items():
    with open(os.path.join(out, name), "wb") as f:
        f.write(data)
