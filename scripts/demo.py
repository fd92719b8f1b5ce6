"""The demo's show: the program on a settings file of its own, against the lamp panel and three unit
stand-ins, through a short scripted show; each step, what the units received and the program's own
diagnostic lines are printed. Started by scripts/demo (which installs and builds first).

Uses the display in DISPLAY when there is one (an X11 session), else an Xvfb of its own; runs from a
temp folder that it removes; ends everything it started, also on Ctrl-C. Leaves build/demo/screen-<build>.png.
"""

import argparse
import os
import statistics
import subprocess
import sys
import threading
import time

from harness import REPO, TOOLS
from harness.display import Xvfb, screenshot, start_trayer, tray_owned
from harness.proc import Failure, Workspace, stop_on_signals
from harness.program import built
from harness.standins import ACTIVE, GREY, ON_AIR, Panel
from harness.wine import Wine
from harness.world import World

OUT = os.path.join(REPO, "build", "demo")
POLL_MS, RECONNECT_MS = 100, 1000
NAMES = {ACTIVE: "selected", ON_AIR: "on air", GREY: "off"}
A, O, G = ACTIVE, ON_AIR, GREY


class Desktop:
    """The display in DISPLAY, as the demo sees it."""

    def __init__(self, display):
        self.display = display

    def env(self):
        return dict(os.environ)


class Show(World):
    def __init__(self, ws, x, kind, wine, exe):
        info = subprocess.run(["xdpyinfo"], env=x.env(), capture_output=True, text=True, timeout=30).stdout
        w, h = map(int, info.split("dimensions:")[1].split()[0].split("x"))
        panel = Panel(ws, x.env(), x=max(0, (w - 8 * 48 - 126) // 2), y=h // 2, step=48, size=32, legend=True)
        super().__init__(ws, kind, exe, wine, x, panel, 40 if wine else 15, 10 if wine else 5)
        self.t0 = time.monotonic()
        self.said, self.lock, self.over = 0, threading.RLock(), threading.Event()
        self.latencies, self.expected, self.problems = [], 0, []
        self.units(1, 2, 3)
        self.program = self.launch(self.ini(poll=POLL_MS, reconnect=RECONNECT_MS))
        self.say(f"program started beside its settings ({self.program.ini}): units 1-3 on loopback, "
                 f"PollInterval {POLL_MS}, ReconnectDelay {RECONNECT_MS}")
        self.watcher = threading.Thread(target=self.watch, daemon=True)
        self.watcher.start()
        self.connect()

    def say(self, text):
        with self.lock:
            self.news()  # what the program said before, first
            print(f"{time.monotonic() - self.t0:5.1f} s  {text}", flush=True)

    def news(self):
        """The program's diagnostic lines since the last look, each at the time it came."""
        with self.lock:
            lines = self.program.diagnostics() if self.program else []
            for at, unit, text in lines[self.said:]:
                print(f"{at - self.t0:5.1f} s      program: Unit{unit}: {text}", flush=True)
            self.said = len(lines)

    def watch(self):
        """Prints the diagnostic lines as they come, beside the steps and the blocks the units receive."""
        while not self.over.wait(0.02):
            self.news()

    def step(self, title, lamps, unit, pause=1.2):
        """Shows lamps; unit must receive one block (None: nobody)."""
        self.say(f"-- {title}")
        self.say("   lamps: " + ", ".join(f"{n} {NAMES[c]}" for n, c in sorted(lamps.items())))
        if unit:
            self.expected += 1
            try:
                latency = self.select(unit, lamps, wait=True) * 1000
                self.latencies.append(latency)
                self.say(f"   unit {unit} received the GP-out block, {latency:.0f} ms after the lamp")
            except Failure:
                self.problems.append(f"unit {unit} received nothing within {self.trigger} s of: {title}")
        else:
            self.panel.set(lamps)
        time.sleep(pause)  # the show's pace, so a person can follow it

    def run(self):
        self.step("the operator selects unit 1", {1: A}, 1)
        self.step("the selection moves to unit 2", {1: G, 2: A}, 2)
        self.step("and to unit 3", {2: G, 3: A}, 3)
        self.step("nothing selected, unit 2 on air: the on-air unit is the selection", {3: G, 2: O}, 2)
        self.step("unit 3 selected while unit 2 stays on air: selected outranks on air", {3: A}, 3)
        self.say("-- unit 1 restarts; the program reconnects on its next connection check")
        self.bounce(1, "restart", 3 * RECONNECT_MS / 1000 + self.trigger)
        self.step("unit 1 selected again: the block goes over the new connection", {3: G, 1: A}, 1)
        self.say("-- unit 2 is switched off; the operator selects it meanwhile")
        self.down(2, 3 * RECONNECT_MS / 1000 + self.trigger)
        self.step("unit 2 selected while it is off: the selection waits for it", {1: G, 2: A}, None, 2.0)
        self.say("-- unit 2 is back: it gets the selection that waited")
        self.expected += 1
        waiting = len(self.sims[2].blocks()) + 1
        back = self.back(2)
        late = self.block(2, waiting, 3 * RECONNECT_MS / 1000 + self.trigger, "the waiting selection at unit 2") - back
        self.say(f"   unit 2 received the GP-out block that waited, {late * 1000:.0f} ms after it was back")
        self.step("lamp 6 lit, a unit this demo does not configure: nothing is sent", {2: G, 6: A}, None)
        self.step("unit 3 selected, unit 2 on air", {6: G, 3: A, 2: O}, 3, 0.5)
        self.over.set()
        self.watcher.join()
        self.news()
        os.makedirs(OUT, exist_ok=True)
        path = screenshot(self.x.env(), os.path.join(OUT, f"screen-{self.kind}.png"))
        self.say(f"picture of the screen: {os.path.relpath(path, REPO)}")
        received = sum(len(s.blocks()) for s in self.sims.values())
        if received != self.expected:
            self.problems.append(f"{received} blocks received, {self.expected} expected")
        median = f"{statistics.median(self.latencies):.0f} ms" if self.latencies else "n/a"
        print(f"demo ({self.kind}): {received} GP-out blocks received ({self.expected} expected), "
              f"median lamp-to-block {median}")
        for p in self.problems:
            print(f"  problem: {p}")
        return not self.problems


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--windows", action="store_true", help="the Windows release, the x86 build, under 32-bit wine")
    ap.add_argument("--x64", action="store_true", help="with --windows: the x64 build under wine64")
    ap.add_argument("--exe", help="the program (default: the build's)")
    ap.add_argument("--tools", default=TOOLS)
    ap.add_argument("--own-display", action="store_true", help="an Xvfb of its own even when DISPLAY is set")
    args = ap.parse_args()
    kind = ("win64" if args.x64 else "win32") if args.windows else "linux"
    exe = args.exe or built(kind)
    for path in (exe, os.path.join(args.tools, "tavo-unit-sim")):
        if not os.path.isfile(path):
            print(f"demo: {path} does not exist; build it first (scripts/demo does)", file=sys.stderr)
            return 2
    stop_on_signals()
    wine = Wine() if args.windows else None
    ok = False
    ws = Workspace("demo", os.path.abspath(args.tools))
    try:
        mine = args.own_display or not os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY")
        x = Xvfb(ws, size="800x450") if mine else Desktop(os.environ["DISPLAY"])
        print(f"TavoRouterControl demo, {kind} build{' under wine' * bool(wine)}, on "
              f"{'an Xvfb of its own' if mine else 'your display'} {x.display}", flush=True)
        if not wine and not tray_owned(x.display):
            start_trayer(ws, x.env(), x.display)
        if wine:
            print("starting wine (creating its prefix the first time: about a minute) ...", flush=True)
            wine.start(x.env())
        ok = Show(ws, x, kind, wine, os.path.abspath(exe)).run()
    except KeyboardInterrupt:
        print("\ninterrupted: ending everything the demo started", flush=True)
        ok = True  # nothing failed: no logs to keep
    except Failure as f:
        print(f"demo failed: {f}", flush=True)
    finally:
        try:
            if wine:
                wine.stop()
        finally:
            ws.close(ok)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
