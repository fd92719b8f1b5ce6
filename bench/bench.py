"""Benchmark of the real program against the stand-ins: prints figures, asserts nothing.

  scripts/bench [--only linux|win64] [--changes N] [--linux EXE] [--win64 EXE] [--tools DIR]

Per build: lamp change -> block latency (the panel's on-screen time -> the unit stand-in's receive
time, both CLOCK_MONOTONIC) at PollInterval 200 and 20; processor use idle with eight units connected
and while a silent unit's reply is awaited; resident memory; and the goal rows: triggers while a name
server never answers, the first trigger with a connect hanging at start-up, and the delivery of a
selection made while its unit restarts.
"""

import argparse
import os
import random
import statistics
import sys
import time

from harness import REPO
from harness.display import Xvfb
from harness.names import SilentNameServer, Unavailable
from harness.proc import Failure, Workspace, stop_on_signals
from harness.program import Program, ini_text
from harness.standins import ACTIVE, GREY, Panel, UnitSim
from harness.wine import Wine

GOALS = {200: (105, 215), 20: (15, 30)}  # median, max (ms)
IDLE_GOAL, SILENT_GOAL = 0.5, 2.0  # % of a core
RSS_GOAL_MB = {"linux": 40, "win64": 25}


class World:
    """One display, the panel, stand-ins and the program; all ended on close."""

    def __init__(self, kind, exe, tools, wine):
        self.kind, self.exe, self.wine = kind, exe, wine
        self.ws = Workspace(f"bench-{kind}", tools)
        self.x = Xvfb(self.ws)
        self.panel = Panel(self.ws, self.x.env())
        self.current = None

    def start(self, poll, reconnect, units=range(1, 9), names=None, silent=(), hanging=(), prefix=()):
        self.sims = {u: UnitSim(self.ws, f"unit{u}", reply="none" if u in silent else "ack",
                                extra=("--stop-accepting",) if u in hanging else ()) for u in units}
        addresses = {u: f"127.0.0.1:{s.port}" for u, s in self.sims.items()} | (names or {})
        self.started = time.monotonic()
        self.program = Program(self.ws, self.kind, self.exe, self.x.env(),
                               ini_text(addresses, {n: self.panel.centre(n) for n in range(1, 9)}, poll=poll,
                                        reconnect=reconnect), self.wine, prefix=prefix)
        self.ws.watched.add(self.program)
        for u, s in self.sims.items():
            if u not in hanging:
                s.wait_connections(1, 60, f"unit {u} connected")
        return self

    def select(self, unit):
        """Lamp latency in ms (the unit must be connected)."""
        count = len(self.sims[unit].blocks())
        shown = self.panel.set({unit: ACTIVE} | ({self.current: GREY} if self.current not in (None, unit) else {}))
        self.current = unit
        return (float(self.sims[unit].wait_blocks(count + 1, 10, f"block at unit {unit}")["t"]) - shown) * 1000

    def cpu(self, seconds):
        start, t0 = self.program.cpu_seconds(), time.monotonic()
        time.sleep(seconds)  # a measuring window
        return 100 * (self.program.cpu_seconds() - start) / (time.monotonic() - t0)

    def close(self):
        self.ws.close(ok=True)
        if self.wine:
            self.wine.stop()


def figures(values):
    ordered = sorted(values)
    return statistics.median(ordered), ordered[int(0.95 * (len(ordered) - 1))], ordered[-1]


def run(make, body):
    w = make()
    try:
        return body(w)
    finally:
        w.close()


def bench(kind, exe, tools, changes):
    print(f"== {kind}: {exe}", flush=True)
    wine = Wine() if kind == "win64" else None

    def make():
        return World(kind, exe, tools, wine)
    rss = 0.0
    for poll in (200, 20):
        def latencies(w):
            w.start(poll, 3000)
            rng, out = random.Random(1), []
            for i in range(changes):
                out.append(w.select(i % 8 + 1))
                time.sleep(rng.uniform(0, poll / 1000))  # every phase against the poll timer
            return out, w.program.resources()[0] / 1024
        values, mb = run(make, latencies)
        rss = max(rss, mb)
        median, p95, worst = figures(values)
        goal = GOALS[poll]
        print(f"  PollInterval {poll:3d}: lamp -> block over {len(values)} changes: median {median:.1f} ms, p95 "
              f"{p95:.1f} ms, max {worst:.1f} ms (goal median <= {goal[0]}, max <= {goal[1]})", flush=True)
    idle, mb = run(make, lambda w: (w.start(200, 3000), time.sleep(1), w.cpu(10), w.program.resources()[0] / 1024)[2:])
    print(f"  idle, 8 units connected: {idle:.2f} % of a core (goal <= {IDLE_GOAL})", flush=True)

    def silent(w):
        w.start(200, 6000, silent=(1,))
        w.select(1)
        return w.cpu(4)  # the reply wait lasts 6 s
    print(f"  waiting for a silent unit: {run(make, silent):.2f} % of a core (goal <= {SILENT_GOAL})", flush=True)
    print(f"  resident memory (largest seen): {max(rss, mb):.1f} MB (goal <= {RSS_GOAL_MB[kind]} MB)", flush=True)

    def names(w):
        out = {}
        for label in ("without", "with"):
            server, prefix, unit2 = None, (), {}
            if label == "with":
                server = SilentNameServer(w.ws)
                prefix, unit2 = server.prefix, {2: "unit2.tavo-bench.test:9000"}
            w.start(50, 500, units=(1, 3), names=unit2, prefix=prefix)
            out[label] = [w.select(n) for n in (1, 3) * 20]
            w.program.stop()
        return out
    try:
        got = run(make, names)
        print("  triggers to units 1 and 3 (PollInterval 50), unit 2 named, its name server silent: "
              + ", ".join(f"{k} it median {figures(v)[0]:.1f} / max {figures(v)[2]:.1f} ms" for k, v in got.items())
              + " (goal max <= 60 ms)", flush=True)
    except Unavailable as e:
        print(f"  name server that never answers: not measured ({e})")

    def hanging(w):
        out = {}
        w.panel.set({2: ACTIVE})
        for label, hang in (("without", ()), ("with", (1,))):
            w.start(50, 1000, units=(1, 2, 3), hanging=hang)
            out[label] = (float(w.sims[2].wait_blocks(1, 30, "unit 2's block")["t"]) - w.started) * 1000
            w.program.stop()
        return out
    got = run(make, hanging)
    print(f"  first trigger after start (ReconnectDelay 1000): {got['without']:.0f} ms; with unit 1's connect "
          f"hanging {got['with']:.0f} ms (+{got['with'] - got['without']:.0f} ms, goal <= +1500)", flush=True)

    def restart(w):
        w.start(200, 1000, units=(1, 2))
        out = []
        for _ in range(5):
            w.select(1)
            w.sims[2].send("down")
            w.program.wait_diagnostic(2, "closed", 10, count=len(out) + 1)
            count = len(w.sims[2].blocks())
            w.panel.set({1: GREY, 2: ACTIVE})
            w.current = 2
            w.program.wait_diagnostic(2, "selection pending", 10, count=len(out) + 1)
            w.sims[2].send("up")
            back = float(w.sims[2].wait_event("listening", 5, "unit 2 back", count=len(out) + 2)["t"])
            out.append((float(w.sims[2].wait_blocks(count + 1, 10, "the pending block")["t"]) - back) * 1000)
        return out
    median, _, worst = figures(run(make, restart))
    print(f"  selection made while its unit restarts (ReconnectDelay 1000, PollInterval 200): delivered "
          f"median {median:.0f} / max {worst:.0f} ms after the unit was back (goal <= 1200)", flush=True)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--tools", default=os.path.join(REPO, "build", "linux", "tools"))
    ap.add_argument("--linux", default=os.path.join(REPO, "build", "linux", "TavoRouterControl"))
    ap.add_argument("--win64", default=os.path.join(REPO, "build", "win64", "TavoRouterControl.exe"))
    ap.add_argument("--changes", type=int, default=200)
    ap.add_argument("--only", choices=("linux", "win64"))
    args = ap.parse_args()
    stop_on_signals()
    for kind in ("linux", "win64"):
        exe = os.path.abspath(getattr(args, kind))
        if args.only in (None, kind):
            if not os.path.isfile(exe):
                print(f"== {kind}: {exe} not built, skipped")
                continue
            try:
                bench(kind, exe, os.path.abspath(args.tools), args.changes)
            except Failure as f:
                print(f"  {kind}: the benchmark broke off: {f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
