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
seeds = {
    "text_abc": (0x00, frame(TEXT, 3, payload=b"abc")),
    "text_empty": (0x01, frame(TEXT, 0)),
    "rs_abc": (0x08, frame(RS, 3, payload=b"abc")),
    "file_4500": (0x18, file_frames(bytes(i % 251 for i in range(4500)))),
    "unknown_kind": (0x10, frame(7, 0)),
    "text_claims_4gib": (0x00, frame(TEXT, 0xFFFFFFFF) + b"x" * 64),
}

folder = pathlib.Path(__file__).resolve().parent / "corpus"
folder.mkdir(exist_ok=True)
for name, (control, stream) in seeds.items():
    (folder / name).write_bytes(bytes([control]) + stream)
