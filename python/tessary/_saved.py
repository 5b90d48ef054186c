"""The container of a saved Profiler: magic, version, a JSON header and parts.

    b"TSRYPROF", u16 version, u32 header length, the header (compact JSON),
    then each part as u64 length and bytes; the last part is the engine's state.

Version 2 holds the table engine's state; version 1 (tessary before 0.3) held
one state per column and is refused with a message that says so.
"""

from __future__ import annotations

import json
import struct
from typing import Any

MAGIC = b"TSRYPROF"
VERSION = 2


def to_bytes(header: dict[str, Any], parts: list[bytes], engine: bytes) -> bytes:
    head = json.dumps(header, separators=(",", ":")).encode()
    out = [MAGIC, struct.pack("<HI", VERSION, len(head)), head]
    for part in (*parts, engine):
        out += [struct.pack("<Q", len(part)), part]
    return b"".join(out)


def from_bytes(data: bytes, keys: tuple[str, ...], parts: int) -> tuple[dict[str, Any], list[bytes], bytes]:
    """The header (checked to have exactly `keys`, in order, written as
    to_bytes writes it), the `parts` parts and the engine's state."""
    if data[:len(MAGIC)] != MAGIC:
        raise ValueError("it does not start with the profiler magic")
    if len(data) < len(MAGIC) + 6:
        raise ValueError("it is truncated")
    version, size = struct.unpack_from("<HI", data, len(MAGIC))
    if version == 1:
        raise ValueError("it was saved by tessary before 0.3, whose format this version does "
                         "not read; profile the data again")
    if version != VERSION:
        raise ValueError(f"format version {version} is not supported")
    at = len(MAGIC) + 6
    if size > len(data) - at:
        raise ValueError("it is truncated")
    head = data[at:at + size]
    header = json.loads(head)
    at += size
    blobs = []
    while at < len(data):
        if len(data) - at < 8:
            raise ValueError("it is truncated")
        (length,) = struct.unpack_from("<Q", data, at)
        if length > len(data) - at - 8:
            raise ValueError("it is truncated")
        blobs.append(data[at + 8:at + 8 + length])
        at += 8 + length
    if type(header) is not dict or tuple(header) != keys:
        raise ValueError(f"its header is not an object with the keys {', '.join(keys)}")
    if json.dumps(header, separators=(",", ":")).encode() != head:
        raise ValueError("its header is not written as to_bytes writes it")
    if len(blobs) != parts + 1:
        raise ValueError(f"it has {len(blobs)} parts, not {parts + 1}")
    return header, blobs[:parts], blobs[parts]
