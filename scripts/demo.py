#!/usr/bin/env python3
"""The demo: the program on a settings file of its own, against the lamp panel and three unit stand-ins,
through a short scripted show. Normally started by scripts/demo, which installs and builds first.

  demo.py [--windows] [--exe PATH] [--tools DIR] [--own-display]

Uses the display in DISPLAY when there is one (an X11 session), otherwise an Xvfb of its own. Prints
each lamp change and each GP-out block as a unit receives it, saves build/demo/screen.png, and ends
with a one-line summary. Everything it starts is ended, also on Ctrl-C.
"""

import argparse
import ctypes
import ctypes.util
import os
import signal
import statistics
import subprocess
import sys
import threading
import time

Repo = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(Repo, "tests", "e2e"))
from e2elib import (ACTIVE, GP_OUT, GREY, ON_AIR, Build, Failure, LogProcess, Panel, Program,  # noqa: E402
                    Session, UnitSim)

DemoDir = os.path.join(Repo, "build", "demo")
PollMs = 100
ReconnectMs = 1000
LampSize = 32
LampStep = 48
Units = (1, 2, 3)
ColourNames = {ACTIVE: "active (selected)", ON_AIR: "on air", GREY: "off"}


class XDisplay:
    """Just enough Xlib, through ctypes, to ask for the screen size and the tray selection's owner."""

    def __init__(self, name):
        path = ctypes.util.find_library("X11") or "libX11.so.6"
        try:
            self.lib = ctypes.CDLL(path)
        except OSError as e:
            raise Failure(f"cannot load the X library ({path}): {e}")
        lib = self.lib
        lib.XOpenDisplay.restype = ctypes.c_void_p
        lib.XOpenDisplay.argtypes = [ctypes.c_char_p]
        lib.XCloseDisplay.argtypes = [ctypes.c_void_p]
        lib.XDefaultScreen.restype = ctypes.c_int
        lib.XDefaultScreen.argtypes = [ctypes.c_void_p]
        for f in (lib.XDisplayWidth, lib.XDisplayHeight):
            f.restype = ctypes.c_int
            f.argtypes = [ctypes.c_void_p, ctypes.c_int]
        lib.XInternAtom.restype = ctypes.c_ulong
        lib.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
        lib.XGetSelectionOwner.restype = ctypes.c_ulong
        lib.XGetSelectionOwner.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
        self.dpy = lib.XOpenDisplay(name.encode())
        if not self.dpy:
            raise Failure(f"cannot open the X display {name}")
        self.screen = lib.XDefaultScreen(self.dpy)
        self.tray_atom = lib.XInternAtom(self.dpy, f"_NET_SYSTEM_TRAY_S{self.screen}".encode(), 0)

    def size(self):
        return self.lib.XDisplayWidth(self.dpy, self.screen), self.lib.XDisplayHeight(self.dpy, self.screen)

    def tray_owned(self):
        return self.lib.XGetSelectionOwner(self.dpy, self.tray_atom) != 0

    def close(self):
        if self.dpy:
            self.lib.XCloseDisplay(self.dpy)
            self.dpy = None


class DemoPanel(Panel):
    """The lamp panel with the lamps placed for this screen rather than the tests' fixed grid."""

    def __init__(self, session, x, y):
        argv = [os.path.join(session.tools, "tavo-lamp-panel"), "--grid", f"{x},{y},{LampStep}",
                "--size", f"{LampSize},{LampSize}"]
        LogProcess.__init__(self, session, "panel", argv, env=session.x_env())
        self.wait_event("ready", 10, "lamp panel ready")


def demo_ini(units, lamp_x, lamp_y):
    lines = ["; Written by scripts/demo: three units on loopback, lamps where the demo's panel draws them.",
             "[General]", "Version=1", "", "[Devices]"]
    lines += [f"Unit{n}={units.get(n, '')}" for n in range(1, 9)]
    lines += ["", "[Configuration]", f"PollInterval={PollMs}", f"ReconnectDelay={ReconnectMs}", "", "[TavoGUI]"]
    for n in range(1, 9):
        x = lamp_x + (n - 1) * LampStep + LampSize // 2
        lines.append(f"UnitIndicator{n}={x},{lamp_y + LampSize // 2}")
    lines += [f"UnitActiveColor={ACTIVE}", f"UnitOnAirColor={ON_AIR}", ""]
    return "\r\n".join(lines)


class Reporter(threading.Thread):
    """Prints the stand-ins' events in time order, a moment after they happen, and keeps the figures."""

    Settle = 0.1  # lines of different processes arrive through different pipes; sort those this close

    def __init__(self, t0, panel, sims):
        super().__init__(daemon=True)
        self.t0 = t0
        self.sources = [("panel", panel)] + [(u, s) for u, s in sims.items()]
        self.seen = {name: 0 for name, _ in self.sources}
        self.pending = []
        self.lock = threading.Lock()
        self.halt = threading.Event()
        self.last_lamp = None
        self.lamp_changes = 0
        self.blocks = {u: [] for u in sims}  # unit -> [(t, conn, latency_ms)]
        self.odd = []  # what a unit received that is not the GP-out block

    def say(self, t, text):
        with self.lock:
            print(f"{t - self.t0:6.1f} s  {text}", flush=True)

    def run(self):
        while not self.halt.wait(0.05):
            self.flush(self.Settle)

    def stop(self):
        self.halt.set()
        if self.is_alive():
            self.join(2)
        self.flush(0)

    def flush(self, settle):
        for name, proc in self.sources:
            lines = proc.snapshot()
            for line in lines[self.seen[name]:]:
                event = self.parse(name, line)
                if event:
                    self.pending.append(event)
            self.seen[name] = len(lines)
        self.pending.sort(key=lambda e: e[0])
        cut = time.monotonic() - settle
        while self.pending and self.pending[0][0] <= cut:
            self.show(*self.pending.pop(0))

    @staticmethod
    def parse(source, line):
        words = line.split()
        if not words:
            return None
        fields = dict(w.split("=", 1) for w in words[1:] if "=" in w)
        if "t" not in fields:
            return None
        return float(fields["t"]), source, words, fields

    def show(self, t, source, words, fields):
        kind = words[0]
        if source == "panel":
            if kind == "lamp":
                self.last_lamp = t
                self.lamp_changes += 1
                self.say(t, f"lamp {words[1]} -> {ColourNames.get(words[2].upper(), words[2])}")
            return
        unit = source
        if kind == "connected":
            self.say(t, f"unit {unit} connected (connection {fields['conn']})")
        elif kind == "closed":
            why = {"restart": "the unit restarted", "peer-closed": "closed by the program",
                   "peer-reset": "reset by the program"}.get(fields.get("reason"), fields.get("reason"))
            self.say(t, f"unit {unit} connection {fields['conn']} closed ({why})")
        elif kind == "block":
            if fields.get("hex") != GP_OUT.hex():
                self.odd.append((unit, fields))
                self.say(t, f"unit {unit} received something else: {fields.get('bytes')} bytes, hex {fields.get('hex')}")
                return
            latency = (t - self.last_lamp) * 1000 if self.last_lamp is not None else None
            self.blocks[unit].append((t, fields["conn"], latency))
            after = f"{latency:.0f} ms after the lamp" if latency is not None else "no lamp changed before it"
            self.say(t, f"unit {unit} received the GP-out block ({after})")

    def latencies(self):
        return [lat for blocks in self.blocks.values() for _, _, lat in blocks if lat is not None]

    def block_count(self):
        return sum(len(b) for b in self.blocks.values())


class Show:
    def __init__(self, session, sims, panel, reporter, wine):
        self.s = session
        self.sims = sims
        self.panel = panel
        self.rep = reporter
        self.expected = 0
        self.problems = []
        self.trigger_bound = 10 if wine else 5
        self.reconnect_secs = None

    def title(self, text):
        self.rep.say(time.monotonic(), f"-- {text}")

    def pace(self, until):
        """The show's own rhythm, so a person can follow it; the program's liveness is checked meanwhile."""
        while True:
            self.s.check_alive()
            left = until - time.monotonic()
            if left <= 0:
                return
            time.sleep(min(left, 0.1))

    def change(self, text, lamps, expect):
        self.title(text)
        before = {u: len(s.blocks()) for u, s in self.sims.items()}
        self.panel.set(lamps)
        if expect is None:
            return before
        self.expected += 1
        try:
            self.sims[expect].wait_blocks(before[expect] + 1, self.trigger_bound, f"GP-out block at unit {expect}")
        except Failure:
            self.problems.append(f"unit {expect} got no block within {self.trigger_bound} s of: {text}")
            self.rep.say(time.monotonic(), f"!! unit {expect} received nothing within {self.trigger_bound} s")
        return before

    def restart(self, unit):
        self.title(f"unit {unit} restarts; the program reconnects on its next connection check")
        sim = self.sims[unit]
        before = len(sim.connections())
        lost = time.monotonic()
        sim.send("restart")
        bound = 2 * ReconnectMs / 1000 + (6 if self.trigger_bound > 5 else 3)
        try:
            sim.wait_connections(before + 1, bound, f"unit {unit} reconnected")
            self.reconnect_secs = time.monotonic() - lost
        except Failure:
            self.problems.append(f"unit {unit} was not reconnected within {bound:.0f} s of its restart")
            self.rep.say(time.monotonic(), f"!! unit {unit} was not reconnected within {bound:.0f} s")
        return before + 1

    def run(self, screenshot):
        A, O, G = ACTIVE, ON_AIR, GREY
        start = time.monotonic()
        step = 2.3

        def at(k):
            self.pace(start + k * step)

        at(0.5)
        self.change("the operator selects unit 1", {1: A}, 1)
        at(1.5)
        self.change("selection moves to unit 2", {1: G, 2: A}, 2)
        at(2.5)
        self.change("selection moves to unit 3", {2: G, 3: A}, 3)
        at(3.5)
        self.change("back to unit 1", {3: G, 1: A}, 1)
        at(4.5)
        self.change("on air only: nothing selected in the panel, unit 2 on air", {1: G, 2: O}, 2)
        at(5.5)
        self.change("unit 3 selected while unit 2 stays on air: a selected lamp outranks an on-air one", {3: A}, 3)
        at(6.5)
        new_conn = self.restart(1)
        at(8.0)
        self.change("the operator selects unit 1 again: the block goes over the new connection",
                    {3: G, 1: A}, 1)
        got = self.sims[1].blocks()
        if got and got[-1]["conn"] != str(new_conn):
            self.problems.append(f"unit 1's block came on connection {got[-1]['conn']}, not {new_conn}")
        at(9.0)
        before = self.change("lamp 6 lights, a unit this demo does not configure: nothing is sent",
                             {1: G, 2: G, 6: A}, None)
        at(10.0)
        after = {u: len(s.blocks()) for u, s in self.sims.items()}
        if after != before:
            self.problems.append(f"blocks were sent for lamp 6: {before} -> {after}")
        else:
            self.title("nothing was sent; unit 1 is still the selection")
        self.change("unit 3 selected, unit 2 on air", {6: G, 3: A, 2: O}, 3)
        at(11.0)
        self.change("unit 2 selected, unit 3 on air", {3: O, 2: A}, 2)
        at(11.5)
        screenshot()
        at(12.0)


def screenshot(session, reporter):
    path = os.path.join(DemoDir, "screen.png")
    r = subprocess.run(["import", "-window", "root", path], env=session.x_env(), capture_output=True,
                       text=True, timeout=30)
    if r.returncode != 0:
        raise Failure(f"screenshot failed: {r.stderr.strip()}")
    reporter.say(time.monotonic(), f"screenshot saved: {os.path.relpath(path, Repo)}")
    return path


def wayland_session():
    return bool(os.environ.get("WAYLAND_DISPLAY")) or os.environ.get("XDG_SESSION_TYPE") == "wayland"


def run(session, args, wine):
    kind = "win64" if wine else "linux"
    x = None
    why = ""
    if args.own_display:
        pass
    elif not os.environ.get("DISPLAY"):
        why = "no DISPLAY"
    elif wayland_session():
        why = "a Wayland session does not show other programs' pixels to it"
    else:
        try:
            x = XDisplay(os.environ["DISPLAY"])
            session.display = os.environ["DISPLAY"]
            where = f"your display {session.display}"
        except Failure as f:
            why = str(f)
    if x is None:
        session.start_xvfb()
        where = f"an Xvfb of its own ({session.display}{'; ' + why if why else ''})"
        x = XDisplay(session.display)
    try:
        width, height = x.size()
        lamp_x = max(0, (width - (7 * LampStep + LampSize)) // 2)
        lamp_y = max(0, height * 3 // 4 - LampSize // 2)

        tray = "the desktop's own tray"
        if wine:
            if not x.tray_owned():
                tray = "wine's tray window (top left)"
        elif not x.tray_owned():
            LogProcess(session, "trayer", ["trayer", "--edge", "bottom", "--align", "right", "--widthtype",
                                           "request", "--height", "32", "--SetDockType", "true"],
                       env=session.x_env(), stdin=False)
            deadline = time.monotonic() + 10
            while not x.tray_owned():
                if time.monotonic() > deadline:
                    raise Failure("trayer did not claim the tray within 10 s")
                time.sleep(0.05)
            tray = "trayer (bottom right)"
    finally:
        x.close()

    print(f"TavoRouterControl demo, {kind} build, on {where}, {width}x{height}; tray: {tray}")
    os.makedirs(DemoDir, exist_ok=True)
    if wine:
        prefix = session.wine_env()["WINEPREFIX"]
        fresh = not os.path.isfile(os.path.join(prefix, "system.reg"))
        if fresh:
            print(f"creating the demo's wine prefix in {os.path.relpath(prefix, Repo)} (once; about a minute)...",
                  flush=True)
        began = time.monotonic()
        session.prepare_wine_prefix()
        if fresh:
            print(f"wine prefix ready after {time.monotonic() - began:.0f} s", flush=True)

    t0 = time.monotonic()
    panel = DemoPanel(session, lamp_x, lamp_y)
    sims = {u: UnitSim(session, f"unit{u}") for u in Units}
    reporter = Reporter(t0, panel, sims)
    session.demo_reporter = reporter
    reporter.start()
    for u, sim in sims.items():
        reporter.say(time.monotonic(), f"unit {u} stand-in listening on 127.0.0.1:{sim.port}")
    reporter.say(time.monotonic(), f"lamp panel: eight lamps from {lamp_x},{lamp_y}, {LampStep} px apart")

    ini = demo_ini({u: f"127.0.0.1:{s.port}" for u, s in sims.items()}, lamp_x, lamp_y)
    with open(os.path.join(DemoDir, "TavoRouterControl.ini"), "w", newline="") as f:
        f.write(ini)
    program = Program(session, ini)
    reporter.say(time.monotonic(), f"program started: {os.path.basename(program.exe_copy)} beside its "
                                   f"settings (a copy is in {os.path.relpath(DemoDir, Repo)}/TavoRouterControl.ini)")
    for u, sim in sims.items():
        sim.wait_connections(1, 40 if wine else 15, f"unit {u} connected after the program's start")

    show = Show(session, sims, panel, reporter, wine)
    shot = []
    show.run(lambda: shot.append(screenshot(session, reporter)))
    reporter.stop()

    lat = reporter.latencies()
    median = f"{statistics.median(lat):.0f} ms" if lat else "n/a"
    problems = show.problems + [f"unit {u} received an unexpected block: {f}" for u, f in reporter.odd]
    if reporter.block_count() != show.expected:
        problems.append(f"{reporter.block_count()} blocks received, {show.expected} expected")
    reconnect = f", unit 1 back after {show.reconnect_secs:.1f} s" if show.reconnect_secs else ""
    print(f"demo ({kind}): {reporter.lamp_changes} lamp changes, {reporter.block_count()} GP-out blocks "
          f"received ({show.expected} expected), median latency {median}{reconnect}; "
          f"screenshot {os.path.relpath(shot[0], Repo) if shot else 'none'}")
    for p in problems:
        print(f"  problem: {p}")
    return not problems


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--windows", action="store_true", help="run the win64 build under wine64")
    ap.add_argument("--exe", help="the program (default: build/linux/TavoRouterControl, "
                                  "or build/win64/TavoRouterControl.exe with --windows)")
    ap.add_argument("--tools", default=os.path.join(Repo, "build", "linux", "tools"),
                    help="folder with tavo-unit-sim and tavo-lamp-panel")
    ap.add_argument("--own-display", action="store_true", help="use an Xvfb of its own even when DISPLAY is set")
    args = ap.parse_args()
    wine = args.windows
    exe = os.path.abspath(args.exe or os.path.join(Repo, "build", "win64" if wine else "linux",
                                                   "TavoRouterControl.exe" if wine else "TavoRouterControl"))
    for path in (exe, os.path.join(args.tools, "tavo-unit-sim"), os.path.join(args.tools, "tavo-lamp-panel")):
        if not os.path.isfile(path):
            print(f"demo: {path} does not exist; build it first (scripts/demo does)", file=sys.stderr)
            return 2
    if wine:
        # A prefix of the demo's own: its wine server is ended at the end, which must not hit a test run.
        os.environ.setdefault("TAVO_E2E_WINEPREFIX", os.path.join(DemoDir, "wine-prefix"))

    def stop_signal(signum, frame):
        raise KeyboardInterrupt

    signal.signal(signal.SIGTERM, stop_signal)
    signal.signal(signal.SIGHUP, stop_signal)
    session = Session(Build("win64" if wine else "linux", exe, Repo), os.path.abspath(args.tools))
    ok = interrupted = False
    try:
        ok = run(session, args, wine)
    except KeyboardInterrupt:
        interrupted = True
        print("\ninterrupted: stopping everything the demo started", flush=True)
    except Failure as f:
        print(f"demo failed: {f}", flush=True)
    finally:
        # A second Ctrl-C must not cut the clean-up short.
        for s in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(s, signal.SIG_IGN)
        reporter = getattr(session, "demo_reporter", None)
        if reporter:
            reporter.halt.set()
        session.close(ok=ok or interrupted)  # logs are kept only when something went wrong
    return 130 if interrupted else 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
