#!/usr/bin/env python3
"""Writes the checked-in seed corpus of each fuzz target (fuzz/corpus/<target>/), laid out as
each target reads its input. Run it again after changing a target's input layout."""
import os
import struct
import sys

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
NOW = 1700000000

STATUS = ('{"ok":true,"in_world":true,"ts":%d,"name":"Tamsin","zone":"Harbor Market",'
          '"guild":"Lantern Keepers","faction":"coastal","class":"Warden","race":"Human",'
          '"level":27}' % NOW)


def text(value, limit=256):
    data = value.encode("utf-8") if isinstance(value, str) else value
    assert len(data) < limit
    return bytes([len(data)]) + data


def le32(value):
    return struct.pack("<I", value & 0xFFFFFFFF)


def frame(opcode, payload):
    data = payload.encode() if isinstance(payload, str) else payload
    return le32(opcode) + le32(len(data)) + data


def seeds():
    out = {}
    out["json_scan"] = [
        text("ok") + bytes([32]) + b'{"ok":true}',
        text("ts") + bytes([32]) + b'{"ts": -9223372036854775808}',
        text("name") + bytes([32]) + b'{"name":"a\\"b\\\\c\\/d\\n\\u00b7"}',
        text("zone") + bytes([5]) + b'{"zone":\t"Harbor Market"}',
        text("level") + bytes([32]) + b'{"level":60.5,"x":{"level":"7"}}',
        text("k" * 77) + bytes([32]) + b'"' + b"k" * 77 + b'":"long key"',
        text("in_world") + bytes([2]) + b'{"in_world" :false,"in_world":trueish}',
    ]
    out["status_snapshot"] = [
        b"\x00" + STATUS.encode(),
        b"\x00" + ('{"ok":true,"in_world":true,"ts":%d,"guild":"G","level":60}' % (NOW - 30)).encode(),
        b"\x00" + ('{"ok":true,"in_world":true,"ts":%d,"zone":"Café \\"Q\\""}' % (NOW + 5)).encode(),
        b"\x00" + ('{"ok":false,"in_world":true,"ts":%d,"name":"X"}' % NOW).encode(),
        b"\x00" + ('{"ok":true,"in_world":true,"ts":%d,"name":"%s","level":4294967297}' % (NOW, "N" * 40)).encode(),
        b"\xF1" + STATUS.encode(),
        b"\xF5" + STATUS.encode(),
    ]
    def snapshot(name, zone, guild, faction, class_name, race, level, start, capacity=768):
        return (text(name, 32) + text(zone, 80) + text(guild, 64) + text(faction, 24) +
                text(class_name, 32) + text(race, 32) + struct.pack("<i", level) +
                struct.pack("<q", start) + struct.pack("<H", capacity))
    out["compose_activity"] = [
        snapshot("Tamsin", "Harbor Market", "Lantern Keepers", "coastal", "Warden", "Human", 27, NOW),
        snapshot("", "Z", "", "", "", "", 0, 0),
        snapshot("A", "", "", "", "", "", -5, -1, 10),
        snapshot("Q\"uo\\te", "tab\there\x01", "", "élan", "", "Elf", 1, NOW),
        snapshot(b"\xf0\x9f\x99\x82" * 7 + b"\xf0\x9f", b"\xe2\x82\xac" * 26, "G" * 63, "f" * 23,
                 "C" * 31, "R" * 31, 2147483647, -9223372036854775808),
        snapshot(b"\xff\xfe", b"\xc0\xaf", "", "", "", "", 3, NOW),
    ]
    # ipc_read_frame: capacity, ticks, closed, then chunks (kind, delay, data).
    def read_input(capacity, ticks, closed, chunks):
        return struct.pack("<HIB", capacity, ticks, closed) + b"".join(chunks)
    whole = lambda payload, delay=0: bytes([5, delay]) + text(payload) + b"\x01"
    raw = lambda data, delay=0: bytes([1, delay]) + struct.pack("<H", len(data)) + data
    out["ipc_read_frame"] = [
        read_input(2048, 1000, 0, [whole('{"evt":"READY"}')]),
        read_input(2048, 0xFFFFFFF0, 0, [raw(frame(1, "abcdef")[:8], 4), raw(b"abc", 6), raw(b"def", 7)]),
        read_input(16, 1000, 0, [raw(frame(1, "x" * 16))]),
        read_input(2048, 1000, 1, [raw(b"\x01\x00\x00\x00\x05\x00"), bytes([3, 0])]),
        read_input(2048, 1000, 0, [bytes([0, 0, 1]) + struct.pack("<H", 4), bytes([4, 0])]),
        read_input(0, 1000, 0, [raw(frame(1, ""))]),
    ]
    # ipc_session: present, busy, ticks, nonce, then operations; each frame's answer in line.
    def session(present, busy, ticks, nonce, body):
        return struct.pack("<BBII", present, busy, ticks, nonce) + body
    ready = bytes([1, 0, 0, 0, 0])                 # one chunk: reply, no delay, READY, opcode 0
    accepted = bytes([1, 0, 0, 1, 1])              # one chunk: SET_ACTIVITY reply
    refused = bytes([1, 0, 0, 2]) + text("bad") + b"\x01"
    connect = bytes([0, 0]) + ready
    publish = lambda choice, answer: bytes([1, 0, choice]) + answer
    clear = bytes([2, 0]) + accepted
    out["ipc_session"] = [
        session(1, 0, 1000, 41, connect + publish(0, accepted) + publish(0, b"") + publish(1, accepted) + clear),
        session(3, 1, 1000, 0xFFFFFFFF, connect + publish(1, refused) + publish(1, accepted) + clear),
        session(1, 0, 0xFFFFFF00, 7, connect + bytes([1, 6, 0]) + connect + publish(0, bytes([1, 6, 0])) + bytes([3, 0])),
        session(1, 0, 1000, 7, bytes([0, 0, 1, 0, 0, 4]) + text("nope") + b"\x00" + connect),
        session(0, 0, 1000, 7, bytes([0, 0, 1, 0, 0]) + publish(0, b"")),
    ]
    out["parse_pid_option"] = [
        b"--pid 812", b"--pid\t812abc", b"--pid=812", b"--pidfile a --pid 812", b"--pid -8",
        b"\"C:\\Games\\x.exe\" --pid  \t 99999999999", b"--PID 812", b"--pid",
        b"--pid \n+4294967295", b"--pid -4294967296",
    ]
    ids = [b"123456789012345", b"123456789012345678901234", b"12345678901234", b"\r\n  100000000000000002\r\n",
           b"\xef\xbb\xbf123456789012345", b"123456789012345\x00junk", b" " * 50 + b"1234567890123456789"]
    out["application_id"] = [bytes([64, 0]) + i for i in ids] + [bytes([64, 0xF0]), bytes([64, 0xF2]) + ids[0],
                                                                   bytes([10, 0]) + ids[0]]
    return out


def main():
    for target, inputs in seeds().items():
        folder = os.path.join(ROOT, target)
        os.makedirs(folder, exist_ok=True)
        for name in os.listdir(folder):
            if name.startswith("seed-"):
                os.remove(os.path.join(folder, name))
        for index, data in enumerate(inputs):
            with open(os.path.join(folder, "seed-%02d" % index), "wb") as f:
                f.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main())
