#!/usr/bin/env python3
"""Checks the stand-ins themselves, so that an end-to-end failure points at the program and not at them.

  test_standins.py --tools DIR [unit-sim|panel]
"""

import argparse
import os
import socket
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2elib import (GP_OUT, GRID_STEP, GRID_X, GRID_Y, Failure, Panel, Session, UnitSim,  # noqa: E402
                    lamp_centre)

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
        print(f"  FAIL: {message}")


def connect(sim, timeout=5):
    s = socket.create_connection(("127.0.0.1", sim.port), timeout=timeout)
    s.settimeout(timeout)
    return s


def read_until(s, ending, limit=1 << 20):
    data = b""
    while not data.endswith(ending) and len(data) < limit:
        chunk = s.recv(65536)
        if not chunk:
            break
        data += chunk
    return data


def read_to_end(s):
    """Everything until the peer ends the stream; the second value says how: 'eof' or 'reset'."""
    data = b""
    try:
        while True:
            chunk = s.recv(65536)
            if not chunk:
                return data, "eof"
            data += chunk
    except ConnectionResetError:
        return data, "reset"


def test_blocks(session):
    """The stand-in logs exactly the blocks a client sends, however the bytes are cut."""
    print("blocks are logged exactly as sent")
    big = b"X" * 5000 + b"\n\n"
    cases = [
        ("one GP-out block", [GP_OUT], [GP_OUT], b""),
        ("two blocks in one send", [GP_OUT + b"A: 1\n\n"], [GP_OUT, b"A: 1\n\n"], b""),
        ("a block cut into three sends", [GP_OUT[:3], GP_OUT[3:11], GP_OUT[11:]], [GP_OUT], b""),
        ("a block of 5002 bytes", [big], [big], b""),
        ("an unfinished block", [GP_OUT, b"CONTROL:\n"], [GP_OUT], b"CONTROL:\n"),
    ]
    sim = UnitSim(session, "sim-blocks", reply="none", greeting="none")
    for conn, (label, sends, blocks, partial) in enumerate(cases, start=1):
        s = connect(sim)
        sim.wait_event("connected", 5, f"{label}: connected", where=lambda f: f["conn"] == str(conn))
        for piece in sends:
            s.sendall(piece)
        s.shutdown(socket.SHUT_WR)
        sim.wait_event("closed", 5, f"{label}: closed", where=lambda f: f["conn"] == str(conn))
        s.close()
        got = [bytes.fromhex(b["hex"]) for b in sim.blocks() if b["conn"] == str(conn)]
        check(got == blocks, f"{label}: logged {got!r}, sent {blocks!r}")
        check(all(int(b["bytes"]) == len(bytes.fromhex(b["hex"])) for b in sim.blocks()),
              f"{label}: a bytes= field disagrees with its hex")
        got_partial = [bytes.fromhex(p["hex"]) for p in sim.events("partial") if p["conn"] == str(conn)]
        check(got_partial == ([partial] if partial else []), f"{label}: partial {got_partial!r}, sent {partial!r}")
    times = [float(b["t"]) for b in sim.blocks()]
    check(times == sorted(times) and all(t > 0 for t in times), f"block times not monotonic: {times}")


def test_greetings(session):
    print("greetings")
    for mode in ("lines", "none", "big", "delayed:300"):
        sim = UnitSim(session, f"sim-greeting-{mode.replace(':', '-')}", greeting=mode, reply="ack")
        started = time.monotonic()
        s = connect(sim)
        if mode == "none":
            # Nothing comes before the answer to our block: the first bytes are the reply.
            s.sendall(GP_OUT)
            data = read_until(s, b"ACK\n\n")
            check(data == b"ACK\n\n", f"greeting none: first bytes {data[:40]!r}")
        else:
            data = read_until(s, b"\n\n")
            elapsed = time.monotonic() - started
            check(data.endswith(b"\n\n") and data.count(b"\n\n") == 1, f"greeting {mode}: not one block")
            if mode == "big":
                check(len(data) > 4096, f"greeting big: only {len(data)} bytes")
            elif mode == "delayed:300":
                check(elapsed >= 0.29, f"greeting delayed:300 came after {elapsed:.3f} s")
            else:
                check(0 < len(data) < 200, f"greeting lines: {len(data)} bytes")
            sent = sim.wait_event("sent", 5, f"greeting {mode} logged", where=lambda f: f["what"] == "greeting")
            check(int(sent["bytes"]) == len(data), f"greeting {mode}: logged {sent['bytes']}, got {len(data)}")
        s.close()


def test_replies(session):
    print("replies")
    cases = [  # mode, expected bytes before the end, how the stream ends after "close" (or by itself)
        ("ack", b"ACK\n\n", "eof"),
        ("none", b"", "eof"),
        ("byte", b"A", "eof"),
        ("delayed:300", b"ACK\n\n", "eof"),
        ("reset", b"AC", "reset"),
        ("close", b"AC", "eof"),
    ]
    for mode, expected, ending in cases:
        sim = UnitSim(session, f"sim-reply-{mode.replace(':', '-')}", greeting="none", reply=mode)
        s = connect(sim)
        sent_at = time.monotonic()
        s.sendall(GP_OUT)
        sim.wait_event("block", 5, f"reply {mode}: block logged")
        if expected:
            data = b""
            while len(data) < len(expected):
                chunk = s.recv(64)
                if not chunk:
                    break
                data += chunk
            elapsed = time.monotonic() - sent_at
            check(data == expected, f"reply {mode}: got {data!r}, expected {expected!r}")
            if mode.startswith("delayed"):
                check(elapsed >= 0.29, f"reply {mode} came after {elapsed:.3f} s")
        if mode in ("reset", "close"):
            rest, how = read_to_end(s)
        else:
            # Ask for an orderly close: nothing may come before it.
            sim.send("close")
            rest, how = read_to_end(s)
        check(rest == b"" and how == ending, f"reply {mode}: then {rest!r} and {how}, expected {ending}")
        s.close()


def hangs(port, seconds):
    """True when a connect from another process does not complete within the given seconds."""
    code = ("import socket,sys\ns=socket.socket();s.settimeout(%s)\n"
            "try:\n s.connect(('127.0.0.1',%d));sys.exit(0)\nexcept socket.timeout:\n sys.exit(3)\n"
            "except OSError:\n sys.exit(4)\n") % (seconds, port)
    return subprocess.run([sys.executable, "-c", code], timeout=seconds + 10).returncode == 3


def test_commands(session):
    print("commands")
    sim = UnitSim(session, "sim-commands", greeting="lines", reply="ack")
    # reset: the client sees RST
    s = connect(sim)
    read_until(s, b"\n\n")
    sim.send("reset")
    rest, how = read_to_end(s)
    check(how == "reset", f"reset: the client saw {how}")
    sim.wait_event("closed", 5, "reset logged", where=lambda f: f["reason"] == "reset")
    s.close()
    # close: the client sees an orderly end
    s = connect(sim)
    read_until(s, b"\n\n")
    sim.send("close")
    rest, how = read_to_end(s)
    check(how == "eof" and rest == b"", f"close: the client saw {rest!r} then {how}")
    s.close()
    # flood: exactly that many unasked bytes
    s = connect(sim)
    greeting = read_until(s, b"\n\n")
    sim.send("flood:100000")
    data = b""
    while len(data) < 100000:
        chunk = s.recv(65536)
        if not chunk:
            break
        data += chunk
    check(len(data) == 100000 and len(greeting) > 0, f"flood:100000 delivered {len(data)} bytes")
    sim.wait_event("sent", 5, "flood logged", where=lambda f: f["what"] == "flood" and f["bytes"] == "100000")
    # stop-accepting: open connections stay, a connect from another process hangs; accept: it works again
    sim.send("stop-accepting")
    sim.wait_event("stopped-accepting", 5, "stop-accepting logged")
    check(hangs(sim.port, 1.5), "stop-accepting: a connect from another process did not hang")
    s.sendall(GP_OUT)
    check(read_until(s, b"ACK\n\n") == b"ACK\n\n", "stop-accepting: the open connection stopped answering")
    sim.send("accept")
    sim.wait_event("accepting", 5, "accept logged")
    check(not hangs(sim.port, 3), "accept: a connect still hangs")
    # restart: open connections are reset, the same port takes connections again
    sim.send("restart")
    rest, how = read_to_end(s)
    check(how == "reset", f"restart: the open connection saw {how}")
    s.close()
    relisten = sim.wait_until(
        lambda lines: [i for i, l in enumerate(lines) if l.startswith("listening ")][1:], 5, "listening again")[0]
    s = connect(sim)
    check(read_until(s, b"\n\n").endswith(b"\n\n"), "restart: no greeting on the same port")
    sim.wait_event("connected", 5, "restart: the new connection logged", start=relisten)
    s.close()
    # bad command: an error line, and the stand-in goes on
    for bad in ("bogus", "flood:", "flood:-5", "reply:maybe", "greeting:"):
        start = len(sim.snapshot())
        sim.send(bad)
        sim.wait_event("error", 5, f"bad command {bad!r} reported", start=start)
    check(sim.alive(), "the stand-in ended on a bad command")
    # --stop-accepting from the start
    full = UnitSim(session, "sim-stop-accepting", extra=("--stop-accepting",))
    check(hangs(full.port, 1.5), "--stop-accepting: a connect from another process did not hang")
    # quit ends it with code 0
    sim.send("quit")
    try:
        code = sim.proc.wait(5)
    except subprocess.TimeoutExpired:
        code = None
    check(code == 0, f"quit: exit code {code}")


def test_usage(session):
    print("usage and bad arguments")
    tool = os.path.join(session.tools, "tavo-unit-sim")
    text = subprocess.run([tool, "--help"], capture_output=True, text=True, timeout=5).stdout
    for word in ("--port", "--greeting", "--reply", "lines", "none", "big", "delayed:MS", "ack", "byte",
                 "reset", "close", "stop-accepting", "accept", "flood:BYTES", "restart", "quit", "block t=",
                 "connected", "closed", "listening"):
        check(word in text, f"unit-sim --help does not mention {word}")
    for argv in (["--port", "70000"], ["--port", "x"], [], ["--port", "0", "--reply", "maybe"],
                 ["--port", "0", "--greeting"], ["--port", "0", "--what"]):
        r = subprocess.run([tool, *argv], capture_output=True, text=True, timeout=5)
        check(r.returncode == 2 and "tavo-unit-sim:" in r.stderr, f"unit-sim {argv}: code {r.returncode}")
    panel = os.path.join(session.tools, "tavo-lamp-panel")
    text = subprocess.run([panel, "--help"], capture_output=True, text=True, timeout=5).stdout
    for word in ("--lamp", "--grid", "--size", "all", "quit", "ready", "lamp N #RRGGBB t=", "XSync"):
        check(word in text, f"lamp-panel --help does not mention {word}")
    for argv in ([], ["--grid", "1,2"], ["--lamp", "9=1,1"], ["--grid", "0,0,10", "--size", "0,4"], ["--x"]):
        r = subprocess.run([panel, *argv], capture_output=True, text=True, timeout=5)
        check(r.returncode == 2 and "tavo-lamp-panel:" in r.stderr, f"lamp-panel {argv}: code {r.returncode}")


def screen_colour(session, x, y):
    """The colour of one screen pixel, read by imagemagick from a screenshot of the root window."""
    r = subprocess.run(["import", "-silent", "-window", "root", "-crop", f"1x1+{x}+{y}", "-depth", "8", "txt:-"],
                       env=session.x_env(), capture_output=True, text=True, timeout=20)
    for word in r.stdout.split():
        if word.startswith("#") and len(word) >= 7:
            return word[:7].upper()
    raise Failure(f"could not read pixel {x},{y}: {r.stdout} {r.stderr}")


def test_panel(session):
    print("lamp panel")
    session.start_xvfb()
    before = time.monotonic()
    panel = Panel(session)
    state = {n: "#808080" for n in range(1, 9)}
    steps = [
        ({3: "#3296FF"}, None),
        ({1: "#E52F2F", 2: "#3296FF"}, None),
        ({n: "#101010" for n in range(1, 9)}, "all #101010"),
        ({8: "#ABCDEF", 3: "#000000"}, None),
    ]
    for changes, command in steps:
        if command:
            start = len(panel.snapshot())
            panel.send(command)
            panel.wait_until(lambda lines: len([l for l in lines[start:] if l.startswith("lamp ")]) == 8, 5, command)
            shown = float(panel.snapshot()[-1].split("t=")[1])
        else:
            shown = panel.set(changes)
        check(shown >= before, f"{changes}: logged time {shown} before the command was sent")
        before = shown
        state.update(changes)
        for n in range(1, 9):
            x, y = lamp_centre(n)
            got = screen_colour(session, x, y)
            check(got == state[n], f"after {changes}: lamp {n} at {x},{y} shows {got}, expected {state[n]}")
    # The lamp's whole square is painted, and nothing outside it.
    x, y = GRID_X, GRID_Y
    check(screen_colour(session, x, y) == state[1], "lamp 1's top-left pixel is not painted")
    check(screen_colour(session, x - 1, y) == "#000000", "the pixel left of lamp 1 is painted")
    check(screen_colour(session, x + GRID_STEP - 1, y) == "#000000", "the gap between lamps is painted")
    for bad in ("9 #000000", "1 #GG0000", "1", "x #000000", "2 #12345"):
        start = len(panel.snapshot())
        panel.send(bad)
        panel.wait_event("error", 5, f"bad panel command {bad!r} reported", start=start)
    check(screen_colour(session, *lamp_centre(1)) == state[1], "a bad command changed lamp 1")
    panel.send("quit")
    try:
        code = panel.proc.wait(5)
    except subprocess.TimeoutExpired:
        code = None
    check(code == 0, f"panel quit: exit code {code}")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--tools", required=True)
    ap.add_argument("part", nargs="?", choices=("unit-sim", "panel"))
    args = ap.parse_args()
    tests = {"unit-sim": [test_usage, test_blocks, test_greetings, test_replies, test_commands],
             "panel": [test_panel]}
    parts = [args.part] if args.part else ["unit-sim", "panel"]
    try:
        with Session(None, os.path.abspath(args.tools)) as session:
            for part in parts:
                for test in tests[part]:
                    test(session)
            if failures:
                raise Failure(f"{len(failures)} check(s) failed")
    except Failure as f:
        print(f"FAIL: {f}")
        for m in failures:
            print(f"  - {m}")
        return 1
    print("PASS")
    return 0


if __name__ == "__main__":
    sys.exit(main())
