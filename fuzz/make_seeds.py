#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets: fuzz/corpus/server (one short session per message type,
in the event format that server_fuzz.cpp decodes) and fuzz/corpus/config (config files).
Run from anywhere; the files are checked in, so this is needed only when the formats change."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))

CHAT, GAME = 0, 1
ADVANCE = {0: 0, 1: 3, 2: 4, 4: 5, 10: 6, 11: 7}  # seconds -> index into the target's table


def event(socket, payload, sender=0, advance=0, raw=False, burst=False):
    """raw: the bytes go out without a checksum put in front; burst: the datagram waits with the next."""
    control = socket | (sender << 1) | (ADVANCE[advance] << 3) | ((3 if raw else 2 if burst else 0) << 6)
    assert len(payload) < 256
    return bytes([control, len(payload)]) + payload


def i32(v):
    return struct.pack("<i", v)


def i16(v):
    return struct.pack("<h", v)


POSE = b"".join(struct.pack("<f", float(i)) for i in range(9))


def join(sender=0, tag=7):
    return event(GAME, b"\x01" + POSE + i16(100) + i16(1) + i16(2) + b"\x03" + bytes([tag]), sender)


def state(pid, sender=0, advance=0, burst=False):
    return event(GAME, b"\x03" + i32(pid) + POSE + i16(55) + i16(4) + i16(5) + b"\x06", sender, advance, burst=burst)


def ack(pid, sender=0):
    return event(GAME, b"\x06" + i32(pid), sender)


def leave(pid, sender=0):
    return event(GAME, b"\x08" + i32(pid), sender)


def chat(type_byte, body, sender=0, advance=0):
    return event(CHAT, bytes([type_byte]) + body, sender, advance)


def set_name(pid, name, sender=0):
    return chat(0x80, i32(pid) + name + b"\x00", sender)


SETUP_4 = bytes([3])        # 4 slots, no loop message
SETUP_1 = bytes([0])        # 1 slot
SETUP_LOOP = bytes([3 | 1 << 3])  # 4 slots, loop message every second
SETUP_LONG = bytes([0 | 1 << 3 | 1 << 5])  # 1 slot, longest map name and loop message

two_named = join(0) + join(2) + set_name(1, b"Ann", 0) + set_name(2, b"Bo", 2)

SERVER = {
    "join": SETUP_4 + join(),
    "server_full": SETUP_1 + join(0) + join(2),
    "state_brief": SETUP_4 + join(0) + join(2) + state(1),
    "state_detail": SETUP_4 + join(0) + join(2) + ack(1) + state(1),
    "leave": SETUP_4 + join(0) + join(2) + leave(2, 3),
    "timeout": SETUP_4 + join(0) + join(2) + state(1, 0, 10) + state(1, 0, 4),
    "ask_slots": SETUP_4 + chat(0x02, b""),
    "ask_map": SETUP_LONG + chat(0x04, b"", 3),
    "set_name": SETUP_4 + join(0) + set_name(1, b"A" * 40),
    "chat": SETUP_4 + two_named + chat(0x81, i32(1) + b"hi\x00"),
    "whisper": SETUP_4 + two_named + chat(0x87, i32(1) + i32(2) + b"yo\x00"),
    "health_delta": SETUP_4 + two_named + chat(0x82, i32(2) + i16(-10), 0),
    "respawn": SETUP_4 + two_named + chat(0x83, i32(2), 2),
    "event_byte": SETUP_4 + two_named + chat(0x85, i32(1) + b"\x09"),
    "event_word": SETUP_4 + two_named + chat(0x86, i32(1) + b"\x01\x02\x03\x04"),
    "event_all": SETUP_4 + join(0) + join(2) + set_name(1, b"Ann") + chat(0x88, i32(1) + b"\x05"),
    "loop_message": SETUP_LOOP + join(0) + set_name(1, b"Ann") + state(1, 0, 2) + state(1, 0, 2),
    "unknown_chat": SETUP_4 + chat(0x84, b""),
    # Several game datagrams found at once: STATE answers may be held back and sent together.
    "burst_states": SETUP_4 + join(0) + join(2) + ack(1) + state(1, burst=True) + state(2, 2, burst=True)
                    + state(1, burst=True) + state(2, 2, burst=True) + state(1, burst=True) + state(2, 2),
    "burst_timeout": SETUP_4 + join(0) + join(2) + state(1, 0, 10, burst=True) + state(1, 0, 0, burst=True)
                     + state(1, 0, 1),
    "bad_checksum": SETUP_4 + event(GAME, b"\x12\x34\x01" + POSE, raw=True),
}
SERVER["session"] = SETUP_4 + b"".join(v[1:] for v in SERVER.values() if v[:1] == SETUP_4)

CONFIG = {
    "defaults": b"",
    "every_key": b"slots 16\nname My Server\nmap arena2 more words\npos 100 -50 7\nstart_time 23 59\n"
                 b"loop_time 60\nloop_msg Welcome to the arena\npublic 1\nlobby localhost:8080\n",
    "prefixes": b"slots16\nslots=16\nname=Some Name\nloop_msg=hi\nmap\npos 1\nstart_time 300\n",
    "crlf": b"# comment\r\nslots 8\r\nname Crlf Server\r\nmap dust\r\nloop_msg  two blanks \r\n",
    "long_comment": b"#" + b"x" * 600 + b"slots 2\n",
    "high_bytes": b"name Caf\xc3\xa9 Server\nloop_msg na\xefve\nmap \xc3\xa9t\xc3\xa9\n",
    "out_of_range": b"slots 0\nslots -5\nslots 99999\nstart_time -1 127\nloop_time -3\n",
    "long_values": b"name " + b"n" * 60 + b"\nmap " + b"m" * 300 + b"\nloop_msg " + b"l" * 300 + b"\nslots 1\nloop_time 1\n",
}


def write(folder, files):
    path = os.path.join(HERE, "corpus", folder)
    os.makedirs(path, exist_ok=True)
    for name, data in files.items():
        with open(os.path.join(path, name), "wb") as f:
            f.write(data)


write("server", SERVER)
write("config", CONFIG)
