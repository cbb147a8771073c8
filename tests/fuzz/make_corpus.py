#!/usr/bin/env python3
"""Writes the fuzz target's seed inputs into corpus/: real frames, each input
prefixed with the control byte that fuzz_frames.cpp reads (text room and
piece sizes)."""
import pathlib
import struct

TEXT, FILE, RS = 1, 2, 3
CHUNK = 2000


def frame(kind, length, index=0, payload=b""):
    return struct.pack(">BIH3x", kind, length, index) + payload


def file_frames(content):
    chunks = len(content) // CHUNK
    frames = [frame(FILE, len(content), i, content[i * CHUNK:(i + 1) * CHUNK]) for i in range(chunks)]
    frames.append(frame(FILE, len(content), chunks, content[chunks * CHUNK:]))
    return b"".join(frames)


# Control byte: bits 0-1 text room (0 Station, 1 Terminal), bits 2-4 largest
# piece (0 whole stream, 2 three bytes, 4 ten bytes, 6 one file frame).
EXT_HELLO, EXT_TEXT, EXT_BEGIN, EXT_DATA, EXT_ABORT, EXT_RECEIPT = range(0x10, 0x16)
EXT_CHUNK = 65536


def ext_frame(kind, payload, fmt=1):
    return struct.pack(">BIB4x", kind, len(payload), fmt) + payload


def named_file(transfer, name, content):
    encoded = name.encode()
    frames = [ext_frame(EXT_BEGIN, struct.pack(">IQB", transfer, len(content), len(encoded)) + encoded)]
    for i in range(0, len(content), EXT_CHUNK):
        frames.append(ext_frame(EXT_DATA, struct.pack(">II", transfer, i // EXT_CHUNK) + content[i:i + EXT_CHUNK]))
    return b"".join(frames)


seeds = {
    "text_abc": (0x00, frame(TEXT, 3, payload=b"abc")),
    "text_empty": (0x01, frame(TEXT, 0)),
    "rs_abc": (0x08, frame(RS, 3, payload=b"abc")),
    "file_4500": (0x18, file_frames(bytes(i % 251 for i in range(4500)))),
    "unknown_kind": (0x10, frame(7, 0)),
    "text_claims_4gib": (0x00, frame(TEXT, 0xFFFFFFFF) + b"x" * 64),
    "ext_hello_text": (0x00, ext_frame(EXT_HELLO, struct.pack(">BI", 1, 7)) + ext_frame(EXT_TEXT, "€".encode())),
    "ext_named_70000": (0x1C, named_file(1, "a.bin", bytes(i % 253 for i in range(70000)))),
    "ext_named_aborted": (0x08, named_file(2, "../x", bytes(100))[:27] + ext_frame(EXT_ABORT, struct.pack(">I", 2))),
    "ext_receipt_unknown": (0x00, ext_frame(EXT_RECEIPT, struct.pack(">IB", 1, 4)) + ext_frame(0x16, b"zz")
                            + ext_frame(EXT_TEXT, b"ab", fmt=2)),
}

folder = pathlib.Path(__file__).resolve().parent / "corpus"
folder.mkdir(exist_ok=True)
for name, (control, stream) in seeds.items():
    (folder / name).write_bytes(bytes([control]) + stream)
