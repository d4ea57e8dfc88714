#!/usr/bin/env python3
"""Writes the seed inputs of the fuzz targets into fuzz/corpus/<target>/.

The inputs are what the server meets in use: a dashboard's handshake and
sequenced packets, a session-info text, command lines, a small simulator
mapping laid out like the real one, "key" commands. Run it again after a
change of an input format; the files are small and kept in the repository.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data if isinstance(data, bytes) else data.encode("latin-1"))


# --- fuzz_intake: records of (head, length, datagram) -----------------------
# head bits 0-1 sender, bit 2 new pass, bits 3-7 clock step x 600 ms.

def record(sender, data, new_pass=False, step=0):
    head = (sender & 3) | (4 if new_pass else 0) | ((step & 31) << 3)
    return bytes([head]) + struct.pack("<H", len(data)) + data


def oob(text):
    return b"\xff\xff\xff\xff" + text.encode("latin-1")


def sequenced(seq, ack, qport, commands=b""):
    return struct.pack("<iiH", seq, ack, qport) + commands


def challenges():
    """The server's challenge sequence after a reset (fixed generator)."""
    seed = 1
    while True:
        seed = (seed * 214013 + 2531011) & 0xFFFFFFFF
        r1 = (seed >> 16) & 0x7FFF
        seed = (seed * 214013 + 2531011) & 0xFFFFFFFF
        r2 = (seed >> 16) & 0x7FFF
        yield (r1 << 16) ^ r2


def stringcmd(text):
    return b"\x04" + text.encode("latin-1") + b"\x00"


def intake_seeds():
    ch = challenges()
    first, second = next(ch), next(ch)
    hello = record(0, oob("getchallenge"))
    connect = record(0, oob('connect 1 4660 %d "Pit wall" 0' % first), new_pass=True)
    write("fuzz_intake", "getchallenge", hello)
    write("fuzz_intake", "connect", hello + connect)
    write("fuzz_intake", "bad_connect", hello + record(0, oob('connect 2 4660 %d "x" 0' % first)) +
          record(0, oob("connect 1 4660 12345 \"x\" 0")) + record(1, oob("hello")))
    cmds = (record(0, sequenced(1, 1, 4660, stringcmd("key 13") + b"\xff"), new_pass=True, step=1) +
            record(0, sequenced(2, 2, 4660, b"\x01" + stringcmd("key r3 +37 p500 32") + b"\x01\xff"),
                   new_pass=True, step=1) +
            record(0, sequenced(2, 2, 4660, stringcmd("key 9"))) +          # repeated: refused
            record(1, sequenced(3, 3, 4660, b"\x6e")) +                     # translated port, print
            record(0, sequenced(5, 3, 4660, b"\x04key 1"), new_pass=True))  # cut text: removed
    write("fuzz_intake", "commands", hello + connect + cmds)
    two = (hello + connect + record(2, oob("getchallenge")) +
           record(2, oob('connect 1 77 %d "Phone" 1' % second), new_pass=True) +
           record(2, sequenced(1, 0, 77, b"\x02"), new_pass=True, step=2) +
           record(0, sequenced(1, 0, 4660, b""), new_pass=True, step=26))   # time-out
    write("fuzz_intake", "two_clients", two)


# --- fuzz_session_info -------------------------------------------------------

def session_text():
    entries = ""
    for place, car, fastest, last in [(1, 3, "90.1234", "91.0021"), (2, 7, "90.5550", "92.1000"),
                                      (3, 11, "-1.0000", "-1.0000")]:
        entries += (" - Position: %d\n   ClassPosition: %d\n   CarIdx: %d\n   Lap: 4\n"
                    "   FastestTime: %s\n   LastTime: %s\n" % (place, place - 1, car, fastest, last))
    return ("---\nWeekendInfo:\n TrackName: ring_gp\n TrackID: 166\n"
            "SessionInfo:\n Sessions:\n"
            " - SessionNum: 0\n   SessionLaps: unlimited\n   SessionType: Practice\n"
            "   ResultsPositions:\n" + entries +
            " - SessionNum: 1\n   SessionLaps: 12\n   SessionType: Race\n"
            "   ResultsPositions:\n" + entries + "   ResultsLapsComplete: 4\n\n"
            "DriverInfo:\n DriverCarIdx: 7\n Drivers:\n - CarIdx: 7\n   UserName: Driver Seven\n"
            "   CarID: 67\n   CarNumber: \"7\"\n...\n")


# --- fuzz_shm: a small mapping laid out like the simulator's -----------------

VARS = ["Speed", "IsOnTrack", "Throttle", "Brake", "EngineWarnings", "SessionFlags", "RPM",
        "ShiftIndicatorPct", "Gear", "Lap", "FuelLevel", "WaterTemp", "OilTemp"]


def mapping(buffers=3, status=1):
    var_table, frame_len = 112, 64
    session_at = var_table + 144 * len(VARS)
    text = session_text().encode() + b"\x00"
    frames_at = (session_at + len(text) + 15) // 16 * 16
    size = frames_at + buffers * frame_len
    mem = bytearray(size)
    struct.pack_into("<iiiiiiiiii", mem, 0, 2, status, 60, 1, len(text), session_at, len(VARS),
                     var_table, buffers, frame_len)
    mem[session_at:session_at + len(text)] = text
    for b in range(buffers):
        struct.pack_into("<ii", mem, 48 + 16 * b, 100 + b, frames_at + b * frame_len)
    offsets = {}
    for i, name in enumerate(VARS):
        off = 0 if name == "IsOnTrack" else 4 * (i + 1)
        offsets[name] = off
        entry = var_table + 144 * i
        struct.pack_into("<iii", mem, entry, 1 if name == "IsOnTrack" else 4, off, 1)
        mem[entry + 16:entry + 16 + len(name)] = name.encode()
    for b in range(buffers):
        f = frames_at + b * frame_len
        mem[f] = 1
        for name, value in [("Speed", 41.5), ("Throttle", 0.8), ("Brake", 0.0), ("RPM", 7250.0),
                            ("ShiftIndicatorPct", 0.6), ("FuelLevel", 40.0 - b),
                            ("WaterTemp", 91.0), ("OilTemp", 101.5)]:
            struct.pack_into("<f", mem, f + offsets[name], value)
        for name, value in [("EngineWarnings", 0), ("SessionFlags", 4), ("Gear", 4), ("Lap", 3 + b)]:
            struct.pack_into("<i", mem, f + offsets[name], value)
    return bytes(mem)


def main():
    intake_seeds()
    write("fuzz_session_info", "session", session_text())
    write("fuzz_session_info", "no_positions", "DriverInfo:\n DriverCarIdx: 0\n - CarIdx: 0\n"
          "   CarID: 12\nSessionInfo:\n - SessionNum: 0\n   SessionLaps: 5\n")
    write("fuzz_tokenize", "connect", 'connect 1 4660 2745024 "Pit wall" 0\n')
    write("fuzz_tokenize", "comment", 'key 13 // lights\n+37 "a b" ""\n')
    write("fuzz_tokenize", "quote", 'say "open quote\nstill quoted\n')
    write("fuzz_relay", "key", "key 13")
    write("fuzz_relay", "repeat", "key r3 +37 p500 32\x00key r2\x00key 13 p0 p-5")
    write("fuzz_relay", "other", "say hello\x00key \"+13\" // 99\x00Key 13")
    write("fuzz_shm", "three_buffers", mapping())
    write("fuzz_shm", "one_buffer", mapping(buffers=1))
    write("fuzz_shm", "not_connected", mapping(status=0))


if __name__ == "__main__":
    main()
